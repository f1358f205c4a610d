// The kernel table: every hot step of the block and frame passes, for one instruction-set tier.
//
// The engine calls the steps of the Kernels table that its caller hands it with every frame;
// kernels_for builds the table of a tier, as dav1d does: the scalar kernels first (built from
// the reference functions of dct.h and block_pass.h), then each vector tier up to the one asked
// for writes its own kernels over them (engine/x86/). The vector kernels must give the same bits
// as the scalar ones for every input in the domains stated below. The steps of a block row one
// by one (gather, transforms, shaping, scatter) are in engine/group_kernels.h, for checkasm and
// the benchmarks only.
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

// A row stack: the forward row pass of up to kStackRows consecutive rows of a group's blocks,
// laid out as a group that runs on past 8 rows (element 8r + c of row r, lane b at index
// (8r + c) * kGroupBlocks + b), one channel after another. The 8 rows from row t on are then
// the row-pass output of the blocks whose top row is t: shifts that share a column offset and
// differ in their row offset take their blocks from one stack.
inline constexpr int kStackRows = 15;
inline constexpr int kStackElements = 8 * kStackRows * kGroupBlocks;  // int32 per channel

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
// Chroma's coefficients are cleared below a threshold of their own: the luma threshold unless
// Settings::chroma_threshold gives another.
// The clear limits say when the shaping surely clears every coefficient of a block but its DC,
// read off the row-pass output alone: when each of the block's eight rows has its outputs 1..7
// within +-limit and the spread of its outputs 0 (largest minus smallest) is at most 2 * limit.
// -1 where nothing is cleared for sure (make_shape_params gives the proof).
struct ShapeParams {
    std::int32_t threshold;
    std::int32_t quant;
    std::int32_t step;
    std::uint32_t magic;
    std::uint32_t shift;
    std::int32_t chroma_threshold;
    std::int32_t luma_clear_limit;
    std::int32_t chroma_clear_limit;
};
ShapeParams make_shape_params(std::int32_t threshold, std::int32_t quant,
                              std::int32_t chroma_threshold);
inline ShapeParams make_shape_params(std::int32_t threshold, std::int32_t quant) {
    return make_shape_params(threshold, quant, threshold);
}

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
    // The row stack's two steps; a tier without them has both null, and the frame pass then
    // runs block_row for every shift.
    // The forward row pass of rows 0 .. rows-1 (8 <= rows <= kStackRows) of `blocks` blocks
    // (1 <= blocks <= kGroupBlocks) side by side, block i's row r at src + r * src_stride + 8i,
    // into the row stack `stack` (kGroupChannels * kStackElements int32); lanes from `blocks` on
    // hold 0. The values are those fdct_8x8 holds after its row pass.
    void (*row_pass)(const YcPixel* src, std::ptrdiff_t src_stride, std::int32_t rows,
                     std::int32_t blocks, std::int32_t* stack);
    // The rest of block_row (column pass, shaping, inverse transforms, scatter-add) for the
    // shifts of one column offset whose blocks take their row-pass output from `stack` (rows
    // 0 .. rows-1, 8 <= rows <= kStackRows): for each top < rows - 7 with copies[top] > 0, the
    // blocks whose rows are top .. top+7, their reconstruction added copies[top] times
    // (wrapping) to the rows from dst + top * dst_stride on, block i's top-left pixel at
    // dst + 8i. The same result as block_row on the pixels that filled the stack, run
    // copies[top] times without `store` at every top. The copies add up to at most 64 (the
    // frame pass's do: 63 shifts at most after the first).
    void (*stack_blocks)(const std::int32_t* stack, std::int32_t rows, const std::int32_t* copies,
                         YcPixel* dst, std::ptrdiff_t dst_stride, std::int32_t blocks,
                         const ShapeParams& params);
    // dst[i] += src[i] channel by channel, wrapping, for i < count.
    void (*add_pixels)(YcPixel* dst, const YcPixel* src, std::int32_t count);
    // Every sample of row[0 .. count) shifted right by 4 with sign.
    void (*prescale)(YcPixel* row, std::int32_t count);
    // Blends row[0 .. count) with the sums of `planes` accumulation rows at acc, acc +
    // plane_size, ... (blend_sample on every sample).
    void (*blend_row)(YcPixel* row, const YcPixel* acc, std::ptrdiff_t plane_size,
                      std::int32_t planes, std::int32_t count, const BlendParams& params);
};

// The table of `tier`: the scalar kernels, overwritten by those of every tier up to `tier` that
// this build has (the table's `tier` says how far that went). A pure function; it does not ask
// the CPU, so the caller must know that the machine runs `tier` (tier_runs_here, engine/cpu.h).
Kernels kernels_for(CpuTier tier);

// One row of blocks through the scalar reference functions (the scalar table's block_row).
void block_row_scalar(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
                      std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
                      bool store);

// The row stack's two steps through the scalar reference functions.
void row_pass_scalar(const YcPixel* src, std::ptrdiff_t src_stride, std::int32_t rows,
                     std::int32_t blocks, std::int32_t* stack);
void stack_blocks_scalar(const std::int32_t* stack, std::int32_t rows, const std::int32_t* copies,
                         YcPixel* dst, std::ptrdiff_t dst_stride, std::int32_t blocks,
                         const ShapeParams& params);

// Each x86 tier's file (compiled for that instruction set) writes its kernels into the table.
void init_sse41_kernels(Kernels& kernels);
void init_avx2_kernels(Kernels& kernels);
void init_avx512_kernels(Kernels& kernels);

}  // namespace korvane
