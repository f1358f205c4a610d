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
    // biased half a step down.
    const auto w = static_cast<std::size_t>(frame.w);
    low_.resize(w * static_cast<std::size_t>(frame.h));
    const auto rows = [&](auto&& each) {
        for (std::int32_t y = 0; y < frame.h; ++y)
            each(frame.pixels + y * frame.stride, low_.data() + static_cast<std::size_t>(y) * w);
    };
    rows([&](YcPixel* row, YcPixel* low) {
        for (std::size_t x = 0; x < w; ++x) {
            YcPixel& p = row[x];
            low[x] = {static_cast<std::int16_t>(p.y & 15), static_cast<std::int16_t>(p.cb & 15),
                      static_cast<std::int16_t>(p.cr & 15)};
            p.y = saturate(p.y - kLumaCentre);
        }
    });
    const Status status = filter_frame(frame, settings_, *kernels_, pool_.parallel(), scratch_);
    if (status != Status::ok) {
        rows([&](YcPixel* row, YcPixel*) {
            for (std::size_t x = 0; x < w; ++x) row[x].y = saturate(row[x].y + kLumaCentre);
        });
        return status;
    }
    rows([&](YcPixel* row, YcPixel* low) {
        for (std::size_t x = 0; x < w; ++x) {
            YcPixel& p = row[x];
            p.y = saturate(p.y + kLumaCentre + low[x].y);
            p.cb = saturate(p.cb + low[x].cb);
            p.cr = saturate(p.cr + low[x].cr);
        }
    });
    return Status::ok;
}

}  // namespace korvane
