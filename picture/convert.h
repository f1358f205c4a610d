// Conversions between file samples and the host's scale (Y 0..4096, Cb/Cr -2048..2048 for the
// nominal range). Integer arithmetic with exact rational factors, rounded half away from zero:
// deterministic on every build, and for 8-bit samples the way back returns every input exactly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/pixel.h"

namespace korvane {

// round(num / den) with halves away from zero; den > 0. Inline, so that a constant den becomes a
// multiplication.
inline std::int64_t div_round(std::int64_t num, std::int64_t den) {
    return num >= 0 ? (num + den / 2) / den : -((-num + den / 2) / den);
}

// Y'CbCr samples of `depth` bits. Limited range: Y 16..235 and Cb/Cr 16..240 (times
// 2^(depth-8)) map to 0..4096 and -2048..2048. Full range: 0..2^depth-1 maps to 0..4096 and
// Cb/Cr centred on 2^(depth-1) with the same factor.
struct YcbcrScale {
    int depth = 8;
    bool full_range = false;
};
std::int16_t luma_to_host(int v, YcbcrScale s);
std::int16_t chroma_to_host(int v, YcbcrScale s);
int luma_from_host(std::int32_t h, YcbcrScale s);    // clamped to 0..2^depth-1
int chroma_from_host(std::int32_t h, YcbcrScale s);  // clamped to 0..2^depth-1

// R'G'B' of 0..max (max = 2^depth-1) through BT.601 Y'CbCr (Kr 0.299, Kb 0.114), full swing:
// Y = 4096 (0.299 R + 0.587 G + 0.114 B) / max, Cb = 4096 (B - Y') / (1.772 max),
// Cr = 4096 (R - Y') / (1.402 max).
YcPixel rgb_to_host(int r, int g, int b, int max);
std::array<int, 3> rgb_from_host(const YcPixel& p, int max);  // clamped to 0..max
// rgb_from_host(in[i], 255) for i < n, as bytes R, G, B at out + 3i: the same values, in vectors
// where the machine runs AVX2.
void rgb8_from_host(const YcPixel* in, std::size_t n, unsigned char* out);

// Gray: Y = 4096 g / max, Cb = Cr = 0 (R = G = B = g of the RGB conversion).
YcPixel gray_to_host(int g, int max);
int gray_from_host(const YcPixel& p, int max);

}  // namespace korvane
