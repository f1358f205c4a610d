// Rows of 8-bit Y'CbCr planes to host pixels and back, in vectors: codes to host values through
// the caller's tables, and back with the values of luma_from_host and chroma_from_host
// (convert.h) at 8 bits, a row or a run of rows at a time. Built for AVX-512 on x86
// (KORVANE_HAVE_YCBCR_VECTORS); ycbcr8_rows() tells whether this machine runs them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/pixel.h"

namespace korvane {

// Host values to codes: clamp(((h * span) >> shift, rounded) + black, 0, 255), per channel.
struct Ycbcr8Codes {
    std::int32_t luma_span, luma_shift, luma_black;
    std::int32_t chroma_span, chroma_shift, chroma_black;
};
Ycbcr8Codes ycbcr8_codes(bool full_range);

struct Ycbcr8Rows {
    // w pixels of one row from its w luma codes and, unless mono, the chroma codes of each plane
    // that cover it, one per 1 << shift_x pixels (shift_x 0 or 1), each code's value the entry
    // of its table (256 entries each); mono pixels get Cb = Cr = 0.
    void (*to_host)(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr,
                    std::size_t w, int shift_x, bool mono, const std::int16_t* luma_table,
                    const std::int16_t* chroma_table, YcPixel* out);
    // The luma codes of n pixels.
    void (*luma_from_host)(const YcPixel* in, std::size_t n, const Ycbcr8Codes& codes,
                           std::uint8_t* out);
    // `count` chroma codes of each plane, each from the rounded mean (halves away from zero) of
    // the 1 << shift_x pixels of `top` that it covers and, where `bottom` is not null, of the
    // pixels below them in `bottom`.
    void (*chroma_from_host)(const YcPixel* top, const YcPixel* bottom, std::size_t count,
                             int shift_x, const Ycbcr8Codes& codes, std::uint8_t* cb,
                             std::uint8_t* cr);
};

// The vector rows where this machine runs them, else null.
const Ycbcr8Rows* ycbcr8_rows();
// The AVX-512 rows themselves, on x86 builds (KORVANE_HAVE_YCBCR_VECTORS); call them only
// where tier_runs_here(CpuTier::avx512).
extern const Ycbcr8Rows kYcbcr8RowsAvx512;

}  // namespace korvane
