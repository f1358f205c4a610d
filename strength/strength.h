// Automatic strength: the filter's setting chosen from how hard the source was compressed.
//
// The measure of compression is the libjpeg quality (1..100) whose luma quantisation table is
// closest to the source's: read from a JPEG's own table, or, for pictures and frames without one,
// estimated from the picture itself. A picture decoded from a block-DCT codec keeps that codec's
// 8x8 grid, and its DCT coefficients on that grid lie near multiples of the quantisation steps;
// the estimate finds those steps for the low frequencies. The setting for a quality comes from a
// table measured on photos (scripts/measure-strength, docs/strength.md); where no setting was
// measured to gain, the picture is left unfiltered. Used by korvane-dct and the GIMP plug-in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/pixel.h"

namespace korvane {

// The source's compression as automatic strength sees it.
struct SourceQuality {
    enum class From { jpeg_table, estimate };
    From from = From::estimate;
    // The libjpeg-equivalent quality, or nothing when the picture shows no block quantisation.
    std::optional<int> quality;
    // From a JPEG table: the table is libjpeg's own at that quality (else another encoder's).
    bool libjpeg_table = true;
    // Estimate: the block grid's offset (the first column and row of a block), and the
    // quantisation steps found: (row-major position, step in 8-bit full-range codes).
    int offset_x = 0, offset_y = 0;
    std::vector<std::pair<int, double>> steps;
    // How much block edges stand out: the mean absolute difference between neighbours across
    // the 8x8 grid's edges (columns and rows together) over the mean at the other seven phases;
    // near 1 for a picture without blocks. Found whether the codec quantised the samples or,
    // in a predicted frame, their residual.
    double blockiness = 1;
    // The median over the positions with a step of how their coefficients beyond the first
    // level sit on odd multiples of the step (-1: all of them, as H.263's and MPEG-4's default
    // quantiser reconstructs; about 0 or above for JPEG and MPEG-2); 0 when unknown.
    double odd_levels = 0;
};

struct StrengthSetting {
    std::int32_t threshold = 0;
    std::int32_t quant = 1;
    std::int32_t n_shift = 1;
    // No setting was measured to gain at this compression (or none was found): the frames are
    // left as they were read, the filter not run at all.
    bool unfiltered = false;
    // Chroma's own threshold (Settings::chroma_threshold), -1 for the threshold.
    std::int32_t chroma_threshold = -1;
};

// Another encoder's JPEG table takes the setting of a quality this much higher than the nearest
// libjpeg table's (see setting_for).
inline constexpr int kOtherTableMargin = 10;

// libjpeg's luma table at `quality` (1..100), baseline (steps at most 255), row-major order.
std::array<int, 64> libjpeg_luma_table(int quality);

// The quality whose libjpeg table is closest to `luma_quant` (64 steps, row-major): the least sum
// of |log ratio| over the positions; among equals the highest quality.
int quality_of_table(const std::vector<int>& luma_quant);

// Whether `table` is libjpeg's luma table at `quality`: baseline (steps up to 255) or not (cjpeg
// without -baseline keeps larger steps below quality 25).
bool is_libjpeg_table(const std::vector<int>& table, int quality);

// Estimates the quality from a w x h frame in the host's scale (luma only), rows of exactly w
// pixels. `code_range`: the part of the host's luma range that the source's codes span (219/255
// for limited-range video, whose codec quantised the codes 16..235), so that the steps come out
// in the codec's own units.
SourceQuality estimate_quality(std::span<const YcPixel> pixels, std::int32_t w, std::int32_t h,
                               double code_range = 1.0);

// The setting for a source: the measured table's row for its quality, n_shift 64 for pictures,
// and for another encoder's JPEG table a higher one (see strength.cpp); for video n_shift 16 and
// the row of a video table, MPEG-4's for odd levels (odd_levels below kOddLevels); unfiltered where
// the row says no setting gains, and when no quantisation was found.
StrengthSetting setting_for(const SourceQuality& source, bool video);

// odd_levels below this: the levels of a quantiser that reconstructs at odd multiples of the
// step found, two steps apart (MPEG-4 part 2 and H.263 by default, "odd" below).
inline constexpr double kOddLevels = -0.5;

// A frame whose estimate found steps at this many of the frequencies looked at is taken for an
// intra frame; a predicted frame shows none or, from its intra-coded blocks, a few.
inline constexpr std::size_t kIntraSteps = 8;

// Automatic strength for the frames of one video, fed in order: each frame takes its setting
// from the last intra frame's estimate (its own, if it is one), from the video table's row for
// intra frames or for predicted frames. A predicted frame of MPEG-2 or MPEG-4 shows no steps of
// its own (its residual was quantised, not its samples), yet it carries the errors of that
// residual and of the intra frame it was predicted from; its row's setting is never stronger
// than the intra frame's, since a rate control may have raised the quality since. A predicted
// frame that shows a few steps of its own is set from them (setting_for's picture rows, higher
// by a margin). The first frame
// with steps is taken for intra whatever their number. Frames before it, and video that never shows
// steps (H.264), are left unfiltered. Once an intra frame has shown odd levels, the video is
// taken for MPEG-4's: at strong compression few coefficients lie beyond the first level, and
// the sign is not seen in every frame.
class VideoStrength {
public:
    StrengthSetting next(const SourceQuality& frame);
    // The intra frame whose setting the last frame took (odd_levels: the video's), and whether
    // that frame was it.
    const std::optional<SourceQuality>& intra() const { return intra_; }
    bool own() const { return own_; }

private:
    std::optional<SourceQuality> intra_;
    bool own_ = false, odd_ = false;
};

// The weakest setting the table filters with, at `shifts`: for a source that would be left
// unfiltered when filtering is asked for anyway.
StrengthSetting weakest_setting(std::int32_t shifts);

}  // namespace korvane
