#include "cli/metrics.h"

#include <cmath>
#include <limits>
#include <string>

#include "cli/jpeg_colour.h"
#include "cli/progress.h"
#include "picture/convert.h"

namespace korvane::cli {

MetricPlanes metric_planes(const Frame& frame, const StreamInfo& layout) {
    MetricPlanes m;
    m.w = frame.w;
    m.h = frame.h;
    const std::size_t n = frame.pixels.size();
    m.luma.resize(n);
    switch (layout.layout) {
        case Layout::raw:
            m.peak = 4096;
            for (std::size_t i = 0; i < n; ++i) m.luma[i] = frame.pixels[i].y;
            break;
        case Layout::gray: {
            const int max = (1 << layout.depth) - 1;
            m.peak = max;
            for (std::size_t i = 0; i < n; ++i) m.luma[i] = gray_from_host(frame.pixels[i], max);
            break;
        }
        case Layout::rgb: {
            const int max = (1 << layout.depth) - 1;
            m.peak = max;
            m.rgb.resize(3 * n);
            for (std::size_t i = 0; i < n; ++i) {
                const auto c = rgb_from_host(frame.pixels[i], max);
                m.rgb[3 * i] = c[0];
                m.rgb[3 * i + 1] = c[1];
                m.rgb[3 * i + 2] = c[2];
                m.luma[i] = (299.0 * c[0] + 587.0 * c[1] + 114.0 * c[2]) / 1000.0;
            }
            break;
        }
        case Layout::ycbcr: {
            const YcbcrScale scale{layout.depth, layout.full_range};
            m.peak = (1 << layout.depth) - 1;
            for (std::size_t i = 0; i < n; ++i)
                m.luma[i] = luma_from_host(frame.pixels[i].y, scale);
            // JPEG colour: R'G'B' as a PNG output holds it.
            if (layout.jpeg_colour && !layout.mono && layout.depth == 8) {
                std::vector<unsigned char> rgb(3 * n);
                (layout.libjpeg_rgb ? jpeg_rgb8_from_host : rgb8_from_host)(frame.pixels.data(), n,
                                                                            rgb.data());
                m.rgb.assign(rgb.begin(), rgb.end());
            }
            break;
        }
    }
    return m;
}

namespace {

double mse_of(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return a.empty() ? 0 : sum / static_cast<double>(a.size());
}

}  // namespace

Quality measure(const MetricPlanes& image, const MetricPlanes& reference) {
    Quality q;
    q.luma_mse = mse_of(image.luma, reference.luma);
    q.luma_ssim = ssim(image.luma, reference.luma, image.w, image.h, reference.peak);
    if (!image.rgb.empty() && image.rgb.size() == reference.rgb.size())
        q.rgb_mse = mse_of(image.rgb, reference.rgb);
    return q;
}

double psnr(double mse, double peak) {
    if (mse <= 0) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(peak * peak / mse);
}

double ssim(const std::vector<double>& a, const std::vector<double>& b, std::int32_t w,
            std::int32_t h, double peak) {
    const double c1 = (0.01 * peak) * (0.01 * peak), c2 = (0.03 * peak) * (0.03 * peak);
    auto index = [&](double ma, double mb, double va, double vb, double cov) {
        return ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
    };
    constexpr int kSize = 11;
    if (w < kSize || h < kSize) {
        const double n = static_cast<double>(a.size());
        double ma = 0, mb = 0;
        for (std::size_t i = 0; i < a.size(); ++i) ma += a[i], mb += b[i];
        ma /= n;
        mb /= n;
        double va = 0, vb = 0, cov = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            va += (a[i] - ma) * (a[i] - ma);
            vb += (b[i] - mb) * (b[i] - mb);
            cov += (a[i] - ma) * (b[i] - mb);
        }
        return index(ma, mb, va / n, vb / n, cov / n);
    }
    double kernel[kSize];
    double total = 0;
    for (int i = 0; i < kSize; ++i) {
        const double d = i - kSize / 2;
        kernel[i] = std::exp(-d * d / (2 * 1.5 * 1.5));
        total += kernel[i];
    }
    for (double& k : kernel) k /= total;

    // Five statistics filtered horizontally, then vertically, over the valid window positions.
    const std::int32_t ow = w - kSize + 1, oh = h - kSize + 1;
    const std::size_t uw = static_cast<std::size_t>(w);
    std::vector<double> rows(5 * static_cast<std::size_t>(ow) * static_cast<std::size_t>(h));
    const std::size_t plane = static_cast<std::size_t>(ow) * static_cast<std::size_t>(h);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < ow; ++x) {
            double s[5] = {0, 0, 0, 0, 0};
            for (int k = 0; k < kSize; ++k) {
                const std::size_t i =
                    static_cast<std::size_t>(y) * uw + static_cast<std::size_t>(x + k);
                const double va = a[i], vb = b[i];
                s[0] += kernel[k] * va;
                s[1] += kernel[k] * vb;
                s[2] += kernel[k] * va * va;
                s[3] += kernel[k] * vb * vb;
                s[4] += kernel[k] * va * vb;
            }
            const std::size_t o = static_cast<std::size_t>(y) * static_cast<std::size_t>(ow) +
                                  static_cast<std::size_t>(x);
            for (int j = 0; j < 5; ++j) rows[static_cast<std::size_t>(j) * plane + o] = s[j];
        }
    }
    double sum = 0;
    for (std::int32_t y = 0; y < oh; ++y) {
        for (std::int32_t x = 0; x < ow; ++x) {
            double s[5] = {0, 0, 0, 0, 0};
            for (int k = 0; k < kSize; ++k) {
                const std::size_t o =
                    static_cast<std::size_t>(y + k) * static_cast<std::size_t>(ow) +
                    static_cast<std::size_t>(x);
                for (int j = 0; j < 5; ++j)
                    s[j] += kernel[k] * rows[static_cast<std::size_t>(j) * plane + o];
            }
            sum += index(s[0], s[1], s[2] - s[0] * s[0], s[3] - s[1] * s[1], s[4] - s[0] * s[1]);
        }
    }
    return sum / (static_cast<double>(ow) * static_cast<double>(oh));
}

namespace {

void accumulate(Quality& sum, const Quality& q) {
    sum.luma_mse += q.luma_mse;
    sum.luma_ssim += q.luma_ssim;
    if (q.rgb_mse) sum.rgb_mse = sum.rgb_mse.value_or(0) + *q.rgb_mse;
}

Quality mean(Quality sum, std::int64_t count) {
    const auto n = static_cast<double>(count);
    sum.luma_mse /= n;
    sum.luma_ssim /= n;
    if (sum.rgb_mse) *sum.rgb_mse /= n;
    return sum;
}

// The change of a PSNR. Infinite before and after (the frames equal the reference both times)
// is no change rather than inf - inf, NaN.
std::string psnr_change(double before, double after) {
    if (std::isinf(before) && std::isinf(after)) return "identical";
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f", after - before);
    return text;
}

}  // namespace

void QualityReport::add(std::int64_t index, const Quality& before, const Quality& after,
                        double peak) {
    peak_ = peak;
    print(("frame " + std::to_string(index)).c_str(), before, after);
    accumulate(sum_before_, before);
    accumulate(sum_after_, after);
    ++count_;
}

void QualityReport::finish() {
    if (count_ == 0) return;
    print(("mean of " + std::to_string(count_) + (count_ == 1 ? " frame" : " frames")).c_str(),
          mean(sum_before_, count_), mean(sum_after_, count_));
}

void QualityReport::print(const char* what, const Quality& b, const Quality& a) {
    clear_progress_line();
    const double pb = psnr(b.luma_mse, peak_), pa = psnr(a.luma_mse, peak_);
    std::fprintf(out_, "%s: luma PSNR %.3f -> %.3f dB (%s), SSIM %.5f -> %.5f (%+.5f)", what, pb,
                 pa, psnr_change(pb, pa).c_str(), b.luma_ssim, a.luma_ssim,
                 a.luma_ssim - b.luma_ssim);
    if (rgb_ && b.rgb_mse && a.rgb_mse) {
        const double rb = psnr(*b.rgb_mse, peak_), ra = psnr(*a.rgb_mse, peak_);
        std::fprintf(out_, "; RGB PSNR %.3f -> %.3f dB (%s)", rb, ra, psnr_change(rb, ra).c_str());
    }
    std::fputc('\n', out_);
    std::fflush(out_);
}

}  // namespace korvane::cli
