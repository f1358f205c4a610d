// Picture quality against a clean reference: PSNR and SSIM of luma, and PSNR over R, G and B for
// colour stills. Measured in the code values of the stream's own format (8-bit PNG samples, Y4M
// luma codes, or host units for raw frames), so the figures match what other tools report on the
// same files.
#pragma once

#include <cstdio>
#include <optional>
#include <vector>

#include "cli/formats.h"

namespace korvane::cli {

// The samples the metrics look at, recovered from a host-scale frame in the layout of `layout`.
struct MetricPlanes {
    std::int32_t w = 0;
    std::int32_t h = 0;
    double peak = 255;
    std::vector<double> luma;  // w*h
    std::vector<double> rgb;   // 3*w*h interleaved, for colour stills only
};
MetricPlanes metric_planes(const Frame& frame, const StreamInfo& layout);

struct Quality {
    double luma_mse = 0;
    double luma_ssim = 1;
    std::optional<double> rgb_mse;
};
// Both of the same size.
Quality measure(const MetricPlanes& image, const MetricPlanes& reference);

// 10 log10(peak^2 / mse); infinity for mse 0.
double psnr(double mse, double peak);

// Mean SSIM of two planes (11x11 Gaussian window, sigma 1.5, K1 0.01, K2 0.03, over the window
// positions inside the picture; one window over the whole picture when it is smaller).
double ssim(const std::vector<double>& a, const std::vector<double>& b, std::int32_t w,
            std::int32_t h, double peak);

// Prints the measured quality of each frame, before and after the filter, and their mean.
class QualityReport {
public:
    QualityReport(std::FILE* out, bool rgb) : out_(out), rgb_(rgb) {}
    void add(std::int64_t index, const Quality& before, const Quality& after, double peak);
    // The mean over the frames added, when there were any.
    void finish();

private:
    void print(const char* what, const Quality& b, const Quality& a);

    std::FILE* out_;
    bool rgb_;
    double peak_ = 255;
    Quality sum_before_{0, 0, std::nullopt}, sum_after_{0, 0, std::nullopt};  // sums
    std::int64_t count_ = 0;
};

}  // namespace korvane::cli
