// The kernel tables: every hot step of the block and frame passes, once per instruction-set tier.
//
// The engine calls the steps of a Kernels table that its caller hands it (engine/cpu.h finds the
// tiers). The group kernels, the pieces that a block row is made of, are in a table of their own:
// only the tests and benchmarks call them one by one. The scalar tables are built from the
// reference functions of dct.h and block_pass.h; the x86 tables (engine/x86/) must give the same
// bits for every input in the domains stated below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/cpu.h"
#include "engine/pixel.h"

namespace korvane {

// A group holds kGroupBlocks blocks of one channel side by side: element e (= 8r + c) of block b
// sits at index e * kGroupBlocks + b, "lane" b. One vector load then fetches the same element of
// several blocks, so both passes of either transform are plain element-wise arithmetic on eight
// vectors with no transposes; the transposes move into the gather and the scatter.
inline constexpr int kGroupBlocks = 16;
inline constexpr int kGroupElements = 64 * kGroupBlocks;  // int32 per channel
inline constexpr int kGroupChannels = 3;                  // y, cb, cr groups, one after another

// 16-bit add that wraps: planes and their sums hold values modulo 2^16. b's low 16 bits count.
inline std::int16_t add_wrap(std::int16_t a, std::int32_t b) {
    return static_cast<std::int16_t>(
        static_cast<std::uint16_t>(static_cast<std::uint16_t>(a) + static_cast<std::uint16_t>(b)));
}

// One blended sample: ((zero_weight * source + sum) * 16) / divisor, truncated toward zero, low
// 16 bits kept (zero_weight 0..64, so the product fits 32 bits).
inline std::int16_t blend_sample(std::int32_t zero_weight, std::int16_t source, std::int16_t sum,
                                 std::int32_t divisor) {
    const std::int32_t numerator = (zero_weight * source + sum) * 16;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(numerator / divisor));
}

// Coefficient shaping of one frame: threshold and quant as the block pass reads them (int16,
// sign-extended; quant != 0) and the divide-free form of the luma requantisation:
//   quant * (v / quant) == sign(v) * step * ((|v| * magic) >> shift),  step = |quant|,
// exact for every |v| < 2^15, which covers every coefficient below an int16 threshold.
struct ShapeParams {
    std::int32_t threshold;
    std::int32_t quant;
    std::int32_t step;
    std::uint32_t magic;
    std::uint32_t shift;
};
ShapeParams make_shape_params(std::int32_t threshold, std::int32_t quant);

// The blend of one frame: sample = ((zero_weight * s + S) * 16) / divisor, truncated toward zero,
// with the division done as (|n| * magic) >> shift on a 64-bit product and the sign put back.
// Exact for every numerator the int16 samples can produce when |zero_weight| < 2^11 and
// divisor >= 1 (make_blend_params picks the numerator width from zero_weight).
struct BlendParams {
    std::int32_t zero_weight;
    std::int32_t divisor;
    std::uint32_t magic;
    std::uint32_t shift;
};
BlendParams make_blend_params(std::int32_t zero_weight, std::int32_t divisor);

// The steps of a block row one by one, on groups: for checking and measuring each of them.
struct GroupKernels {
    CpuTier tier;

    // fdct_8x8 / idct_8x8 on each of the kGroupBlocks blocks of one group, in place.
    void (*fdct)(std::int32_t* group);
    void (*idct)(std::int32_t* group);
    // shape_luma / shape_chroma on each block of one group (coefficient 0 of every block kept).
    void (*shape_luma)(std::int32_t* group, const ShapeParams& params);
    void (*shape_chroma)(std::int32_t* group, const ShapeParams& params);
    // Reads `blocks` (1..kGroupBlocks) blocks 8 pixels apart starting at src (rows `stride`
    // pixels apart) into the three groups, sign-extended; lanes from `blocks` on become 0.
    void (*gather)(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
                   std::int32_t* groups);
    // Adds the low 16 bits of the first `blocks` lanes of the three groups into the pixels at
    // dst, wrapping. Elements must lie in -32768..32767 (idct output always does).
    void (*scatter_add)(const std::int32_t* groups, YcPixel* dst, std::ptrdiff_t stride,
                        std::int32_t blocks);
};

// What the engine calls.
struct Kernels {
    CpuTier tier;

    // The block pass over one row of `blocks` blocks: gather, forward transforms, shaping,
    // inverse transforms, scatter-add; block i has its top-left pixel at src + 8i / dst + 8i.
    // With `store` the reconstruction is stored into dst instead of added to it (the same
    // result when dst holds zeros, which is how the first batch of a frame uses it).
    void (*block_row)(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
                      std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
                      bool store);
    // dst[i] += src[i] channel by channel, wrapping, for i < count.
    void (*add_pixels)(YcPixel* dst, const YcPixel* src, std::int32_t count);
    // Every sample of row[0 .. count) shifted right by 4 with sign.
    void (*prescale)(YcPixel* row, std::int32_t count);
    // Blends row[0 .. count) with the sums of `planes` accumulation rows at acc, acc +
    // plane_size, ... (blend_sample on every sample).
    void (*blend_row)(YcPixel* row, const YcPixel* acc, std::ptrdiff_t plane_size,
                      std::int32_t planes, std::int32_t count, const BlendParams& params);
};

// The default table: the best tier of this machine, or the one that KORVANE_CPU names (read
// once, at the first call), or the one select_tier chose last.
const Kernels& kernels();

// The tables of `tier` if this build has them, whatever the CPU supports (tests compare tables
// only for tiers that best_tier() admits).
const Kernels* tier_kernels(CpuTier tier);
const GroupKernels* tier_group_kernels(CpuTier tier);

// One row of blocks through the scalar reference functions (the scalar table's block_row).
void block_row_scalar(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
                      std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
                      bool store);

extern const Kernels kScalarKernels;
extern const GroupKernels kScalarGroupKernels;

// Tables of the x86 tiers, each defined in its own file compiled for that instruction set.
const Kernels* sse41_kernels();
const Kernels* avx2_kernels();
const Kernels* avx512_kernels();
const GroupKernels* sse41_group_kernels();
const GroupKernels* avx2_group_kernels();
const GroupKernels* avx512_group_kernels();

}  // namespace korvane
