// The integer 8x8 DCT pair on which the block pass rests.
//
// Both transforms work in place on 64 int32 values in row-major order (element 8r + c is row r,
// column c). After fdct_8x8 element 8u + v holds the coefficient of vertical frequency u and
// horizontal frequency v; idct_8x8 takes the same layout and clamps its output to -256..255.
#pragma once

#include <array>
#include <cstdint>

namespace korvane {

inline constexpr int kBlockSize = 64;

// The multipliers of the Loeffler-Ligtenberg-Moschytz factorisation in 13-bit fixed point,
// FIX(x) = x * 2^13 truncated toward zero (not rounded: the truncation is part of the exact
// output). With cN = cos(N * pi / 16) they are
//   0.298631336 = sqrt2 * (-c1 + c3 + c5 - c7)
//   0.390180644 = sqrt2 * (c3 - c5)
//   0.541196100 = sqrt2 * c6
//   0.765366865 = sqrt2 * (c2 - c6)
//   0.899976223 = sqrt2 * (c3 - c7)
//   1.175875602 = sqrt2 * c3
//   1.501321110 = sqrt2 * (c1 + c3 - c5 - c7)
//   1.847759065 = sqrt2 * (c2 + c6)
//   1.961570560 = sqrt2 * (c3 + c5)
//   2.053119869 = sqrt2 * (c1 + c3 - c5 + c7)
//   2.562915447 = sqrt2 * (c1 + c3)
//   3.072711026 = sqrt2 * (c1 + c3 + c5 - c7)
// The scalar pair (dct.cpp) and every x86 tier (engine/x86/) multiply by exactly these; the odd
// part applies 0.899976223, 2.562915447, 1.961570560 and 0.390180644 negated.
inline constexpr int kConstBits = 13;
inline constexpr std::int32_t FIX_0_298631336 = 2446;  /* FIX(0.298631336) */
inline constexpr std::int32_t FIX_0_390180644 = 3196;  /* FIX(0.390180644) */
inline constexpr std::int32_t FIX_0_541196100 = 4433;  /* FIX(0.541196100) */
inline constexpr std::int32_t FIX_0_765366865 = 6269;  /* FIX(0.765366865) */
inline constexpr std::int32_t FIX_0_899976223 = 7372;  /* FIX(0.899976223) */
inline constexpr std::int32_t FIX_1_175875602 = 9632;  /* FIX(1.175875602) */
inline constexpr std::int32_t FIX_1_501321110 = 12298; /* FIX(1.501321110) */
inline constexpr std::int32_t FIX_1_847759065 = 15136; /* FIX(1.847759065) */
inline constexpr std::int32_t FIX_1_961570560 = 16069; /* FIX(1.961570560) */
inline constexpr std::int32_t FIX_2_053119869 = 16819; /* FIX(2.053119869) */
inline constexpr std::int32_t FIX_2_562915447 = 20995; /* FIX(2.562915447) */
inline constexpr std::int32_t FIX_3_072711026 = 25171; /* FIX(3.072711026) */

void fdct_8x8(std::int32_t* block);
// The two passes of fdct_8x8, which is the row pass on each of its 8 rows, then the column pass.
// A row's pass depends on that row's 8 samples alone, so blocks that share a row segment share
// its result.
void fdct_row_pass(std::int32_t* row);  // 8 values in place
void fdct_column_pass(std::int32_t* block);
void idct_8x8(std::int32_t* block);

// Output clamp of idct_8x8: entry v + 512 holds clamp(v, -256, 255).
extern const std::array<std::int32_t, 1024> IdctClampTable;

// clamp(v, -256, 255) for any v: inside the table's reach through the table, saturated beyond.
inline std::int32_t idct_clamp(std::int32_t v) {
    if (v < -512) return -256;
    if (v > 511) return 255;
    return IdctClampTable[static_cast<std::size_t>(v + 512)];
}

}  // namespace korvane
