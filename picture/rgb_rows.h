// The body of rgb8_from_host (convert.h) in doubles, which the compiler turns into vectors:
// included by one file per instruction set (rgb_avx2.cpp, rgb_avx512.cpp), each compiled with its
// own flags. Everything here has internal linkage and calls no inline function of another header,
// so that no copy built for one instruction set can be the one the linker keeps for another file.
//
// Why doubles give exactly the integer result: with N the channel's integer numerator (for red
// 1000 Y + 1402 Cr, green 587000 Y - 202008 Cb - 419198 Cr, blue 1000 Y + 1772 Cb) and D its
// denominator over 255 (4096000, 2404352000, 4096000), the integer code is div_round(255 N, D)
// clamped to 0..255. Where 255 N < 0 that clamps to 0, and so does floor((255 N + D / 2) / D)
// (it is <= 0); elsewhere both are floor(q) with q = (255 N + D / 2) / D. For int16 samples
// 255 N + D / 2 is an integer below 2^53, so every product and sum up to it is exact in a double.
// Multiplying by 1 / D (rounded) and adding 1e-11 gives q within 1e-11 + 1e-13 above it, never
// below: where q is an integer that keeps floor(q); where it is not, q is at least 1 / D >
// 4e-10 below the next integer, which the error does not reach. Clamping to 0..255 before
// truncating makes truncation the floor.
#pragma once

#include <cstddef>

#include "engine/pixel.h"

namespace korvane {
namespace {

inline double clamp_255(double v) {
    v = v > 0.0 ? v : 0.0;
    return v < 255.0 ? v : 255.0;
}

inline void rgb8_rows(const YcPixel* in, std::size_t n, unsigned char* out) {
    constexpr double kRedBlue = 1.0 / 4096000.0, kGreen = 1.0 / 2404352000.0, kAbove = 1e-11;
    for (std::size_t i = 0; i < n; ++i) {
        const double y = in[i].y, cb = in[i].cb, cr = in[i].cr;
        const double r = (255.0 * (1000.0 * y + 1402.0 * cr) + 2048000.0) * kRedBlue + kAbove;
        const double g =
            (255.0 * (587000.0 * y - 202008.0 * cb - 419198.0 * cr) + 1202176000.0) * kGreen +
            kAbove;
        const double b = (255.0 * (1000.0 * y + 1772.0 * cb) + 2048000.0) * kRedBlue + kAbove;
        out[3 * i] = static_cast<unsigned char>(static_cast<int>(clamp_255(r)));
        out[3 * i + 1] = static_cast<unsigned char>(static_cast<int>(clamp_255(g)));
        out[3 * i + 2] = static_cast<unsigned char>(static_cast<int>(clamp_255(b)));
    }
}

}  // namespace
}  // namespace korvane
