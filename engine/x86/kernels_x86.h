// The body of every x86 tier, written once over a vector of int32 lanes.
//
// Each tier's file (sse41.cpp, avx2.cpp, avx512.cpp) is compiled with its own instruction-set
// flags, defines in an anonymous namespace the vector type V with kLanes int32 lanes and the
// handful of operations below, and then includes this file, which brings in the shared bodies
// (each of them in that anonymous namespace too):
//   transform_wide.h     the group transforms for 16 or more vector registers
//   transform_narrow.h   the same for 8 vector registers (KORVANE_NARROW_KERNELS, 32-bit builds)
//   shape.h              coefficient shaping
//   gather_scatter.h     pixel rows <-> groups (SSE4.1's own form is in sse41.cpp)
//   rows.h               add, pre-scale and blend of the frame pass
// and composes block_row and the tier's tables from them. So every tier gets its own copy of these
// kernels, built for its instruction set, and no function here is visible outside its file: a copy
// built for AVX-512 can never be the one the linker picks for another file. For the same reason
// this file calls no inline function of another header (no <algorithm>, no blend_sample): only
// intrinsics and its own code.
//
// Operations each tier provides (all on int32 lanes unless marked 16):
//   load, store                unaligned, from and to any address
//   set1, add, sub, mul        mul keeps the low 32 bits of the product
//   shl<N>, sar<N>, srl        srl shifts logically by a count held in an __m128i
//   or_, vmin, vmax, abs_
//   all_zero(v)                every lane 0
//   select_zero(t, a, b)       per lane: t == 0 ? a : b
//   select_inside(v, th, nth, a, b)   per lane: nth < v < th ? a : b (signed)
//   zero_inside(v, th, nth)    per lane: nth < v < th ? 0 : v (signed; needs no zero vector)
//   copy_sign(r, v)            per lane: v < 0 ? -r : r   (r where v > 0, anything where v == 0)
//   add16, sar16<N>            on 16-bit lanes
//
// Layout: a group holds kGroupBlocks blocks (kernels.h); a vector load at element e, lane s
// fetches element e of blocks s .. s + kLanes - 1. Both passes of both transforms are then the
// scalar 8-point kernels applied lane-wise to eight such vectors: a row pass takes elements
// 8r .. 8r + 7, a column pass elements c, c + 8, ..., c + 56. Every add, subtract, multiply
// and left shift of the scalar code is carried out modulo 2^32 there and here alike (the vector
// instructions wrap), and every right shift is arithmetic in both, so each lane reproduces the
// scalar value bit for bit on any input, including inputs where 32-bit intermediates wrap.
//
// Each tier's file ends with its init function, which writes the tier's kernels into a table
// (write_kernels below); compiled a second time with KORVANE_GROUP_KERNELS, for checkasm and the
// benchmarks, it defines its table of the steps one by one instead (make_group_table).

#include <cstddef>
#include <cstdint>

#include "engine/group_kernels.h"
#include "engine/kernels.h"
#if defined(KORVANE_NARROW_KERNELS)
#include "engine/x86/transform_narrow.h"
#else
#include "engine/x86/transform_wide.h"
#endif
#include "engine/x86/gather_scatter.h"
#include "engine/x86/rows.h"
#include "engine/x86/shape.h"

namespace korvane {
namespace {

// The block pass over a row of blocks, a group of kGroupBlocks blocks at a time: gather,
// forward transforms with the shaping folded into their last stores, inverse transforms, and
// the scatter that adds (or stores) the reconstruction.
// gather_group, idct_group and scatter_group are marked noinline: they stay functions of their
// own, as they were tuned and measured, where the compiler would otherwise inline them here
// (one call site each) and then, built for 32-bit x86, spill about a tenth more vector values
// in the combined function.
void block_row(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
               std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
               bool store) {
    alignas(64) std::int32_t groups[kGroupChannels * kGroupElements];
    const ShapeLuma luma(params);
    const ShapeChroma chroma(params);
    for (std::int32_t b = 0; b < blocks; b += kGroupBlocks) {
        const std::int32_t n = blocks - b < kGroupBlocks ? blocks - b : kGroupBlocks;
        gather_group(src + 8 * b, src_stride, n, groups);
        fdct_group_shaped(groups, luma);
        fdct_group_shaped(groups + kGroupElements, chroma);
        fdct_group_shaped(groups + 2 * kGroupElements, chroma);
        for (int ch = 0; ch < kGroupChannels; ++ch) idct_group(groups + ch * kGroupElements);
        if (store)
            scatter_group<true>(groups, dst + 8 * b, dst_stride, n);
        else
            scatter_group<false>(groups, dst + 8 * b, dst_stride, n);
    }
}

#if !defined(KORVANE_NARROW_KERNELS)
// The row stack's steps (kernels.h): the gather of block_row into a stack, rows 0-7 and then
// rows rows-8 .. rows-1 (rows the two share are written twice with the same values), and the
// row pass on every row; then the rest of block_row from 8 rows of a stack, the scatter run once
// per copy.
void row_pass(const YcPixel* src, std::ptrdiff_t src_stride, std::int32_t rows, std::int32_t blocks,
              std::int32_t* stack) {
    gather_group<kStackElements>(src, src_stride, blocks, stack);
    if (rows > 8)
        gather_group<kStackElements>(src + (rows - 8) * src_stride, src_stride, blocks,
                                     stack + (rows - 8) * 8 * kGroupBlocks);
    for (int ch = 0; ch < kGroupChannels; ++ch) fdct_stack_rows(stack + ch * kStackElements, rows);
}

// The reconstructions of every row offset are summed in 32 bits, in a stack-shaped buffer (row t
// of the sums takes row t - top of the blocks at top), and the sums scattered once: 16-bit sums
// wrap, so adding the sum (|sum| <= 64 * 256, which the scatter's saturating pack keeps) equals
// adding each reconstruction. The sums' rows 0-7 go first; then rows rows-8 .. 7, already added,
// are cleared, and rows rows-8 .. rows-1 go.
void stack_blocks(const std::int32_t* stack, std::int32_t rows, const std::int32_t* copies,
                  YcPixel* dst, std::ptrdiff_t dst_stride, std::int32_t blocks,
                  const ShapeParams& params) {
    alignas(64) std::int32_t group[kGroupElements];
    alignas(64) std::int32_t sums[kGroupChannels * kStackElements];
    const int row_elements = 8 * kGroupBlocks;
    // Row offset 0, when it has shifts, stores its rows; every other row starts at 0.
    const bool first_stores = copies[0] > 0;
    for (int ch = 0; ch < kGroupChannels; ++ch)
        for (int i = first_stores ? 8 * row_elements : 0; i < rows * row_elements; i += kLanes)
            store(sums + ch * kStackElements + i, set1(0));
    for (std::int32_t top = 0; top + 8 <= rows; ++top) {
        const std::int32_t n = copies[top];
        if (n <= 0) continue;
        const std::int32_t offset = top * row_elements;
        const bool first = top == 0;
        stack_channel(stack + offset, group, ShapeLuma(params), params.luma_clear_limit,
                      sums + offset, n, first);
        for (int ch = 1; ch < kGroupChannels; ++ch)
            stack_channel(stack + ch * kStackElements + offset, group, ShapeChroma(params),
                          params.chroma_clear_limit, sums + ch * kStackElements + offset, n, first);
    }
    scatter_group<false, kStackElements>(sums, dst, dst_stride, blocks);
    if (rows > 8) {
        for (int ch = 0; ch < kGroupChannels; ++ch)
            for (int i = (rows - 8) * row_elements; i < 8 * row_elements; i += kLanes)
                store(sums + ch * kStackElements + i, set1(0));
        scatter_group<false, kStackElements>(sums + (rows - 8) * row_elements,
                                             dst + (rows - 8) * dst_stride, dst_stride, blocks);
    }
}
#endif

// The tier's kernels written into a table (its file's init function). The narrow transforms
// have no row-stack steps: there the frame pass runs block_row for every shift.
inline void write_kernels(Kernels& k, CpuTier tier) {
    k.tier = tier;
    k.block_row = &block_row;
#if defined(KORVANE_NARROW_KERNELS)
    k.row_pass = nullptr;
    k.stack_blocks = nullptr;
#else
    k.row_pass = &row_pass;
    k.stack_blocks = &stack_blocks;
#endif
    k.add_pixels = &add_pixels_row;
    k.prescale = &prescale_row;
    k.blend_row = &blend_row;
}

// The tier's steps one by one (its file compiled with KORVANE_GROUP_KERNELS).
constexpr GroupKernels make_group_table(CpuTier tier) {
    return {tier,
            &fdct_group,
            &idct_group,
            &shape_luma_group,
            &shape_chroma_group,
            &gather_group<kGroupElements>,
            &scatter_group<false>};
}

}  // namespace
}  // namespace korvane
