#include "picture/picture_filter.h"

#include <algorithm>

namespace korvane {
namespace {

// Luma is moved from 0..4096 to -2048..2048 for the engine and back. The engine keeps
// sample / 16 and its inverse transform clamps to -256..255, so white at 4096 (256 after the
// division) would come back as 255 x 16; centred, every valid sample stays clear of the clamp.
// A shift by a multiple of 16 moves the working-scale samples by exactly 128, and the
// transforms, being linear on integers, move the reconstruction by exactly that.
constexpr std::int32_t kLumaCentre = 2048;

std::int16_t saturate(std::int32_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(v, -32768, 32767));
}

}  // namespace

PictureFilter::PictureFilter(const Settings& settings, const Kernels& kernels, std::int32_t threads)
    : settings_(settings), kernels_(&kernels), pool_(threads) {}

Status PictureFilter::filter(const FrameView& frame, bool converted) {
    if (!converted || frame.w <= 0 || frame.h <= 0 || !frame.pixels)
        return filter_frame(frame, settings_, *kernels_, pool_.parallel(), scratch_);

    // The engine drops the low 4 bits of every sample and returns multiples of 16. Those bits
    // are kept here and added back, so that where the filter leaves a region alone (flat or
    // smooth areas) a 10- or 16-bit picture keeps every level it had, and the output is not
    // biased half a step down. Rows are handled as runs of 3 w int16 samples (y, cb, cr).
    const auto n = static_cast<std::size_t>(3) * static_cast<std::size_t>(frame.w);
    low_.resize(n * static_cast<std::size_t>(frame.h));
    const auto samples = [&](std::int32_t y) {
        return reinterpret_cast<std::int16_t*>(frame.row(y));
    };
    const auto centre = [&](std::int32_t by) {
        for (std::int32_t y = 0; y < frame.h; ++y) {
            std::int16_t* s = samples(y);
            for (std::size_t i = 0; i < n; i += 3) s[i] = saturate(s[i] + by);
        }
    };
    for (std::int32_t y = 0; y < frame.h; ++y) {
        const std::int16_t* s = samples(y);
        std::int16_t* low = low_.data() + static_cast<std::size_t>(y) * n;
        for (std::size_t i = 0; i < n; ++i) low[i] = static_cast<std::int16_t>(s[i] & 15);
    }
    centre(-kLumaCentre);
    const Status status = filter_frame(frame, settings_, *kernels_, pool_.parallel(), scratch_);
    centre(kLumaCentre);
    if (status != Status::ok) return status;
    for (std::int32_t y = 0; y < frame.h; ++y) {
        std::int16_t* s = samples(y);
        const std::int16_t* low = low_.data() + static_cast<std::size_t>(y) * n;
        for (std::size_t i = 0; i < n; ++i) s[i] = saturate(s[i] + low[i]);
    }
    return Status::ok;
}

}  // namespace korvane
