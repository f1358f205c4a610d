#include "strength/strength.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>

namespace korvane {
namespace {

// libjpeg's luma table at quality 50, row-major (vertical frequency, horizontal frequency).
constexpr int kBaseLuma[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,   //
    12, 12, 14, 19, 26,  58,  60,  55,   //
    14, 13, 16, 24, 40,  57,  69,  56,   //
    14, 17, 22, 29, 51,  87,  80,  62,   //
    18, 22, 37, 56, 68,  109, 103, 77,   //
    24, 35, 55, 64, 81,  104, 113, 92,   //
    49, 64, 78, 87, 103, 121, 120, 101,  //
    72, 92, 95, 98, 112, 100, 103, 99,
};

// One row of the auto table: the setting measured at a JPEG quality; quant 0 for "leave the
// picture unfiltered".
struct Row {
    int quality;
    std::int32_t threshold;
    std::int32_t quant;
    // Pictures: luma's threshold and quant, and chroma's own threshold; picture_quant 0: the
    // row's setting above, which is also what weakest_setting() reads.
    std::int32_t picture_threshold = 0;
    std::int32_t picture_quant = 0;
    std::int32_t picture_chroma = 0;
};

// Measured by scripts/measure-strength (docs/strength.md): per quality the setting with the
// largest mean gain (RGB PSNR for colour, luma PSNR for gray) over the corpus among those that
// lose at most 0.005 dB on every picture of it; unfiltered where none gains 0.01 dB on average.
// 85 and 90 from a finer grid around them (thresholds and quants 5..10): 7/7 and 5/5 gain more
// than the coarse grid's 8/6 and 4/4 and lose on no picture.
// A quality between two rows takes the higher row's setting, the one made for a picture with
// less compression: weaker, so it cannot do the harm a stronger one might.
// From 40 up, pictures take luma's threshold and quant and chroma's threshold apart: the best
// safe of a grid of (luma threshold, quant) x chroma threshold on the corpus (korvane-strength-
// sweep --chroma-thresholds). One threshold for both held luma's down where chroma's had to stay
// low; apart, luma's best lies at 20 to 32 and chroma's below it, and the mean gain rose by 0.01
// to 0.02 dB at 40 to 60, by 0.04 to 0.07 dB at 70 to 90 and by 0.15 to 0.30 dB from 93 to 97,
// where the one setting lost on some picture or was left unfiltered. At 30 the one setting
// stayed the best.
constexpr int kPictureShifts = 64;
constexpr Row kPictureTable[] = {
    {2, 96, 48},
    {5, 96, 48},
    {10, 48, 32},
    {15, 48, 24},
    {20, 32, 24},
    {30, 24, 16},
    {40, 16, 16, 24, 12, 16},
    {50, 16, 12, 24, 12, 16},
    {60, 12, 12, 32, 8, 12},
    {70, 12, 8, 24, 8, 10},
    {75, 8, 8, 24, 6, 8},
    {80, 8, 8, 24, 6, 6},
    {85, 7, 7, 24, 5, 5},
    {90, 5, 5, 20, 4, 4},
    {93, 2, 2, 16, 3, 3},
    {95, 0, 0, 12, 3, 2},
    {97, 0, 0, 12, 2, 1},
    {98, 0, 0},
    {100, 0, 0},
};
// Video: n_shift 16, a quarter of the work per frame, and rows of its own, measured on clips of
// MPEG-2 and MPEG-4 part 2 (scripts/measure-strength-video-clips and measure-strength-video,
// docs/strength.md): per quality of the last intra frame, the setting for it and for the
// predicted frames after it. The picture rows, made for JPEG, filtered intra frames too weakly:
// MPEG-2's intra matrix and rounding and MPEG-4's levels put more error into a frame than a JPEG
// of the same estimate. MPEG-4's default quantiser (odd levels) takes rows of its own: at the
// same estimate it wants a stronger setting than MPEG-2. Predicted frames take weaker settings
// than their intra frame: the B-frames just before the next intra frame lost up to 0.67 dB under
// the intra frame's setting on a finely textured photo (Path) and, under a rate control that
// raised the quality within the group, up to 0.44 dB under 8/4 and 0.63 dB under 4/4 where 4/2
// gained. Under MPEG-4 at 400 kbit/s the intra frames estimated above 70 (MPEG-4's above 60)
// lost up to 0.80 dB under 8/4 (0.98 under 16/8): they take 4/2 (8/4). From 31 to 50, 16/8:
// under 16/12 a Motion JPEG clip (aitzgorri, -q:v 8) lost 0.004 dB on average.
constexpr int kVideoShifts = 16;
// A predicted frame with steps of its own: the picture rows (their own setting, one threshold)
// of a quality this much above its estimate. Under its own row an MPEG-2 or MPEG-4 frame lost up
// to 0.3 dB; with the margin none lost on the clips measured, and on the frames of MPEG-2
// without B-frames at -q:v 10 that show 2 to 7 steps it gained 1.1 to 1.3 dB where the
// predicted frames' 8/4 gained 0.4.
constexpr int kVideoMargin = 20;
struct VideoRow {
    int quality;
    std::int32_t threshold, quant;                      // the intra frame's; quant 0: unfiltered
    std::int32_t predicted_threshold, predicted_quant;  // the predicted frames' after it
};
constexpr VideoRow kVideoTable[] = {
    {15, 24, 16, 8, 4}, {30, 16, 16, 8, 4}, {50, 16, 8, 8, 4},
    {70, 12, 6, 4, 2},  {90, 4, 2, 4, 2},   {100, 0, 0, 0, 0},
};
constexpr VideoRow kVideoOddTable[] = {
    {34, 24, 24, 8, 4},
    {60, 16, 12, 8, 4},
    {90, 8, 4, 4, 2},
    {100, 0, 0, 0, 0},
};

// The frequencies the estimate looks at: the first 20 in zigzag order. The lowest keep the most
// non-zero coefficients in a strongly compressed picture; the higher ones have steps of 2 and
// more, which stand out from the decoder's rounding, when the lower ones are down to 1 (quality
// 90 and above). Row-major positions.
constexpr int kEstimatePositions[] = {1,  8,  16, 9, 2, 3,  10, 17, 24, 32,
                                      25, 18, 11, 4, 5, 12, 19, 26, 33, 40};
// At most this many blocks are transformed, whole rows of blocks spread over the picture.
constexpr std::int32_t kEstimateBlocks = 12000;

// Engine units per 8-bit code of a full-range picture: the host's 4096 for 255, divided by 16.
constexpr double kEngineUnitsPerCode = 4096.0 / 255.0 / 16.0;

// cos(2 pi t) for t >= 0: t reduced to 0..1/2 (t minus the nearest integer, rounded by the
// 1.5 * 2^52 trick, which needs no call), then by symmetry to 0..1/4, where the Taylor polynomial
// to x^16 is within 1e-12 of the cosine. Branch-free, so that the loop over a frame's
// coefficients vectorises: std::cos there made the estimate of a 1080p frame take 160 ms.
inline double cos_turns(double t) {
    constexpr double kRound = 6755399441055744.0;  // 1.5 * 2^52
    const double near = (t + kRound) - kRound;
    const double u = std::abs(t - near);         // 0 .. 1/2
    const double folded = std::min(u, 0.5 - u);  // cos(2 pi (1/2 - u)) = -cos(2 pi u)
    const double x = 2 * std::numbers::pi * folded, y = x * x;
    double p = 1.0 / 20922789888000;  // 1/16!
    for (const double f : {-1.0 / 87178291200, 1.0 / 479001600, -1.0 / 3628800, 1.0 / 40320,
                           -1.0 / 720, 1.0 / 24, -1.0 / 2, 1.0})
        p = p * y + f;
    return u > 0.25 ? -p : p;
}

// The largest quantisation step at which the coefficients `c` cluster on multiples, or 0. For a
// step q the score is the mean of cos(2 pi c / q) over the coefficients at least q/4 from zero
// (which leaves out the cluster at zero): near 1 when they lie on multiples of q (or of q / k);
// near or below 0 for smooth distributions (a Laplacian tail scores negative) and for multiples
// of the true step, whose first cluster, at a quarter to a half of q, scores -1.
double find_step(const std::vector<float>& c) {
    constexpr double kMinScore = 0.5;
    constexpr std::size_t kMinCount = 50;
    // The magnitudes, largest first: the cosine is even, and the coefficients at least q/4 from
    // zero are then a prefix.
    std::vector<double> magnitude(c.size());
    std::transform(c.begin(), c.end(), magnitude.begin(),
                   [](float v) { return std::abs(static_cast<double>(v)); });
    std::sort(magnitude.begin(), magnitude.end(), std::greater<>());
    const auto score = [&](double q, std::size_t& count) {
        const double quarter = q / 4, turns = 1 / q;
        count =
            static_cast<std::size_t>(std::partition_point(magnitude.begin(), magnitude.end(),
                                                          [&](double m) { return m >= quarter; }) -
                                     magnitude.begin());
        double sum = 0;
        for (std::size_t i = 0; i < count; ++i) sum += cos_turns(turns * magnitude[i]);
        return count ? sum / static_cast<double>(count) : 0.0;
    };
    double found = 0;
    for (double q = 1.5; q < 160; q *= 1.04) {
        std::size_t count = 0;
        if (score(q, count) >= kMinScore && count >= kMinCount) found = q;
    }
    if (found == 0) return 0;
    // The score falls off slowly away from the true step, so the largest passing candidate can be
    // up to about 10% above it: the step is the best score below it.
    double best = found, best_score = -2;
    for (double q = found / 1.12; q <= found * 1.01; q *= 1.002) {
        std::size_t count = 0;
        const double s = score(q, count);
        if (count >= kMinCount && s > best_score) {
            best_score = s;
            best = q;
        }
    }
    return best;
}

// How the coefficients `c` beyond the first level sit on the multiples of `step`: the mean of
// cos(pi c / step) over those at least 1.5 steps from zero, -1 when they all lie on odd
// multiples (a quantiser whose levels are 2 steps apart, reconstructed at odd multiples of half
// their spacing, as H.263's and MPEG-4's default), about 0 or above for one that uses every
// multiple (JPEG, MPEG-2). -2 when fewer than 20 coefficients are that far out.
double odd_multiples(const std::vector<float>& c, double step) {
    double sum = 0;
    std::size_t count = 0;
    for (const float v : c) {
        const double m = std::abs(static_cast<double>(v));
        if (m < 1.5 * step) continue;
        sum += cos_turns(m / (2 * step));
        ++count;
    }
    return count >= 20 ? sum / static_cast<double>(count) : -2;
}

// The offset in 0..7 at which differences across `sums` (one sum of absolute differences per
// phase) stand out as block edges; 0 when none does.
int grid_phase(const double (&sums)[8]) {
    const int top = static_cast<int>(std::max_element(sums, sums + 8) - sums);
    double others = 0;
    for (int p = 0; p < 8; ++p)
        if (p != top) others += sums[p];
    others /= 7;
    return sums[top] > 1.05 * others ? top : 0;
}

int table_distance_quality(const std::vector<std::pair<int, double>>& steps) {
    int best_quality = 100;
    double best = std::numeric_limits<double>::infinity();
    for (int quality = 100; quality >= 1; --quality) {
        const std::array<int, 64> table = libjpeg_luma_table(quality);
        double d = 0;
        for (const auto& [position, step] : steps)
            d += std::abs(std::log(step / table[static_cast<std::size_t>(position)]));
        if (d < best - 1e-9) {
            best = d;
            best_quality = quality;
        }
    }
    return best_quality;
}

StrengthSetting row_for(int quality, std::int32_t shifts, bool picture = true) {
    const Row* row = std::end(kPictureTable) - 1;
    for (const Row& r : kPictureTable)
        if (r.quality >= quality) {
            row = &r;
            break;
        }
    if (picture && row->picture_quant != 0)
        return {row->picture_threshold, row->picture_quant, shifts, false, row->picture_chroma};
    if (row->quant == 0) return {0, 1, shifts, true};
    return {row->threshold, row->quant, shifts, false};
}

// The video table's setting for the intra frame `intra` or, `predicted`, for a predicted frame
// after it.
StrengthSetting video_setting(const SourceQuality& intra, bool predicted) {
    const std::span<const VideoRow> table = intra.odd_levels < kOddLevels
                                                ? std::span<const VideoRow>(kVideoOddTable)
                                                : std::span<const VideoRow>(kVideoTable);
    const auto row = std::find_if(table.begin(), table.end(), [&](const VideoRow& r) {
        return r.quality >= intra.quality.value_or(101);
    });
    if (row == table.end() || row->quant == 0) return {0, 1, kVideoShifts, true};
    return predicted ? StrengthSetting{row->predicted_threshold, row->predicted_quant, kVideoShifts}
                     : StrengthSetting{row->threshold, row->quant, kVideoShifts};
}

}  // namespace

// Whether `table` is libjpeg's luma table at `quality`: baseline (steps up to 255) or not (cjpeg
// without -baseline keeps larger steps below quality 25).
bool is_libjpeg_table(const std::vector<int>& table, int quality) {
    if (table.size() != 64) return false;
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (std::size_t i = 0; i < 64; ++i) {
        const int step = std::clamp((kBaseLuma[i] * scale + 50) / 100, 1, 32767);
        if (table[i] != step && !(step > 255 && table[i] == 255)) return false;
    }
    return true;
}

std::array<int, 64> libjpeg_luma_table(int quality) {
    quality = std::clamp(quality, 1, 100);
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    std::array<int, 64> t{};
    for (std::size_t i = 0; i < 64; ++i)
        t[i] = std::clamp((kBaseLuma[i] * scale + 50) / 100, 1, 255);
    return t;
}

int quality_of_table(const std::vector<int>& luma_quant) {
    std::vector<std::pair<int, double>> steps;
    for (std::size_t i = 0; i < luma_quant.size() && i < 64; ++i)
        steps.emplace_back(static_cast<int>(i), std::max(1, luma_quant[i]));
    return table_distance_quality(steps);
}

SourceQuality estimate_quality(std::span<const YcPixel> pixels, std::int32_t w, std::int32_t h,
                               double code_range) {
    SourceQuality result;
    if (w < 16 || h < 16 || pixels.size() != static_cast<std::size_t>(w) * h) return result;
    const auto luma = [&](std::int32_t x, std::int32_t y) {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                      static_cast<std::size_t>(x)]
                   .y /
               16.0;
    };

    // The grid: where differences between neighbours stand out every 8 columns and rows.
    double column_edges[8] = {}, row_edges[8] = {};
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x) {
            if (x > 0) column_edges[x % 8] += std::abs(luma(x, y) - luma(x - 1, y));
            if (y > 0) row_edges[y % 8] += std::abs(luma(x, y) - luma(x, y - 1));
        }
    result.offset_x = grid_phase(column_edges);
    result.offset_y = grid_phase(row_edges);
    {
        double on = column_edges[result.offset_x] + row_edges[result.offset_y], off = 0;
        for (int p = 0; p < 8; ++p)
            off += (p != result.offset_x ? column_edges[p] : 0) +
                   (p != result.offset_y ? row_edges[p] : 0);
        result.blockiness = off > 0 ? on * 7 / off : 1;
    }

    // The orthonormal 8x8 DCT of the blocks on that grid, skipping blocks that touch black or
    // white, where the decoder's clamp moved samples off the quantised values.
    double basis[8][8];
    for (int u = 0; u < 8; ++u)
        for (int i = 0; i < 8; ++i)
            basis[u][i] = (u == 0 ? std::sqrt(0.125) : 0.5) *
                          std::cos((2 * i + 1) * u * std::numbers::pi / 16);
    const std::int32_t bx = (w - result.offset_x) / 8, by = (h - result.offset_y) / 8;
    const std::int32_t row_step =
        std::max<std::int32_t>(1, (bx * by + kEstimateBlocks - 1) / kEstimateBlocks);
    constexpr std::size_t kPositions = std::size(kEstimatePositions);
    std::vector<float> coefficients[kPositions];
    for (std::int32_t j = 0; j < by; j += row_step)
        for (std::int32_t i = 0; i < bx; ++i) {
            double block[8][8], rows[8][8];
            bool clipped = false;
            for (int r = 0; r < 8; ++r)
                for (int c = 0; c < 8; ++c) {
                    block[r][c] = luma(result.offset_x + 8 * i + c, result.offset_y + 8 * j + r);
                    clipped |= block[r][c] <= 0.5 || block[r][c] >= 255.5;
                }
            if (clipped) continue;
            for (int r = 0; r < 8; ++r)
                for (int v = 0; v < 8; ++v) {
                    double s = 0;
                    for (int c = 0; c < 8; ++c) s += basis[v][c] * block[r][c];
                    rows[r][v] = s;
                }
            for (std::size_t k = 0; k < kPositions; ++k) {
                const int u = kEstimatePositions[k] / 8, v = kEstimatePositions[k] % 8;
                double s = 0;
                for (int r = 0; r < 8; ++r) s += basis[u][r] * rows[r][v];
                coefficients[k].push_back(static_cast<float>(s));
            }
        }

    std::vector<double> odd;
    for (std::size_t k = 0; k < kPositions; ++k)
        if (const double step = find_step(coefficients[k]); step > 0) {
            result.steps.emplace_back(kEstimatePositions[k],
                                      step / kEngineUnitsPerCode * code_range);
            if (const double o = odd_multiples(coefficients[k], step); o > -2) odd.push_back(o);
        }
    if (!odd.empty()) {
        std::nth_element(odd.begin(), odd.begin() + static_cast<std::ptrdiff_t>(odd.size() / 2),
                         odd.end());
        result.odd_levels = odd[odd.size() / 2];
    }
    if (result.steps.size() >= 2) result.quality = table_distance_quality(result.steps);
    return result;
}

StrengthSetting VideoStrength::next(const SourceQuality& frame) {
    own_ = frame.quality && (frame.steps.size() >= kIntraSteps || !intra_);
    if (own_) {
        odd_ = odd_ || frame.odd_levels < kOddLevels;
        intra_ = frame;
        if (odd_) intra_->odd_levels = std::min(intra_->odd_levels, -1.0);
    }
    if (!intra_) return {0, 1, kVideoShifts, true};
    // A predicted frame that shows steps of its own (from its intra-coded or skipped blocks) takes
    // the picture table's row of a quality kVideoMargin above its estimate.
    if (!own_ && frame.quality) return row_for(*frame.quality + kVideoMargin, kVideoShifts, false);
    return video_setting(*intra_, !own_);
}

StrengthSetting setting_for(const SourceQuality& source, bool video) {
    const std::int32_t shifts = video ? kVideoShifts : kPictureShifts;
    if (!source.quality) return {0, 1, shifts, true};
    if (video) return video_setting(source, false);
    // Another encoder's table (FFmpeg's Motion JPEG, tables of one's own) quantises differently
    // from libjpeg's at the nearest quality: the row of a quality kOtherTableMargin higher. Under
    // their own row, FFmpeg's -q:v 4 lost 0.12 dB on one photo (docs/strength.md).
    const int margin = source.libjpeg_table ? 0 : kOtherTableMargin;
    return row_for(*source.quality + margin, shifts);
}

StrengthSetting weakest_setting(std::int32_t shifts) {
    for (auto r = std::end(kPictureTable); r-- != std::begin(kPictureTable);)
        if (r->quant != 0) return {r->threshold, r->quant, shifts, false};
    return {0, 1, shifts, true};
}

}  // namespace korvane
