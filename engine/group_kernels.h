// The steps of a block row one by one, on groups of blocks: for checkasm and the benchmarks,
// which check and measure each step of every tier. No product calls them (the engine calls the
// composed block_row of engine/kernels.h), so they are built only into the library
// korvane_group_kernels that the tests and benchmarks link: the scalar steps here, each x86
// tier's from its own file compiled a second time with KORVANE_GROUP_KERNELS.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/cpu.h"
#include "engine/kernels.h"
#include "engine/pixel.h"

namespace korvane {

// A group holds kGroupBlocks blocks of one channel side by side (engine/kernels.h).
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

// The steps of exactly `tier`, or null when this build lacks it (whatever the CPU runs: the
// caller checks tier_runs_here).
const GroupKernels* group_kernels_for(CpuTier tier);

// Each x86 tier's steps, from its file compiled with KORVANE_GROUP_KERNELS.
const GroupKernels* sse41_group_kernels();
const GroupKernels* avx2_group_kernels();
const GroupKernels* avx512_group_kernels();

}  // namespace korvane
