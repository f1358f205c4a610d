// The pixel the filter works on: the video editor's YCbCr sample triple.
#pragma once

#include <cstdint>

namespace korvane {

// Three signed 16-bit samples, no gap: Y nominally 0..4096, Cb and Cr -2048..2048.
struct YcPixel {
    std::int16_t y;
    std::int16_t cb;
    std::int16_t cr;
};
static_assert(sizeof(YcPixel) == 6);

}  // namespace korvane
