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

void fdct_8x8(std::int32_t* block);
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
