#include "picture/picture_filter.h"

#include "picture/convert.h"

namespace korvane {
namespace {

// The engine keeps only sample / 16, rounded down, and writes its result back times 16, so every
// filtered sample would lie on average half a step below its input; adding half a step first
// makes that rounding to nearest.
void add_compensation(const FrameView& frame) {
    for (std::int32_t y = 0; y < frame.h; ++y) {
        YcPixel* row = frame.pixels + y * frame.stride;
        for (std::int32_t x = 0; x < frame.w; ++x)
            for (std::int16_t* s : {&row[x].y, &row[x].cb, &row[x].cr})
                *s = static_cast<std::int16_t>(
                    *s < 32767 - kPrescaleCompensation ? *s + kPrescaleCompensation : 32767);
    }
}

}  // namespace

PictureFilter::PictureFilter(const Settings& settings, const Kernels& kernels, std::int32_t threads)
    : settings_(settings), kernels_(&kernels), pool_(threads) {}

Status PictureFilter::filter(const FrameView& frame, bool converted) {
    if (converted) add_compensation(frame);
    return filter_frame(frame, settings_, *kernels_, pool_.parallel(), scratch_);
}

}  // namespace korvane
