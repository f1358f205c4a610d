// Shifted-grid block pass: one worker per host thread reconstructs every 8x8 block of its shift
// position and adds the result into its own accumulation plane.
#pragma once

#include <array>
#include <cstdint>

#include "host/host_interface.h"

namespace korvane {

struct ShiftPosition {
    std::int32_t x0;  // column offset of the block grid, 0..7
    std::int32_t y0;  // row offset of the block grid, 0..7
};

// The 64 shift positions in the order in which frames use them; (0, 0) comes last.
extern const std::array<ShiftPosition, 64> ShiftTable;

// Shift position of a shift index. Indices past the table's end (a batch can reach them when
// batches x threads > 64) wrap around it: they still give a full layer, one value per pixel.
inline ShiftPosition shift_position(std::int32_t index) {
    return ShiftTable[static_cast<std::uint32_t>(index) % ShiftTable.size()];
}

// Per-frame parameters, set by the frame pass before any block worker runs.
extern std::int16_t g_threshold;  // AC coefficients with magnitude below it are shaped
extern std::int16_t g_quant;      // requantisation step of shaped luma coefficients, >= 1
extern YcPixel* g_accum;          // plane t starts at element t * w * h

// ThreadWorker: param1 is the FrameInfo (already in the working scale), param2 points at the
// int32 batch_base. Thread t uses shift index batch_base + t and adds one layer to plane t.
extern "C" void block_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                             void* param2);

// What layers_worker runs: `batches` batches of `threads` shift positions (the frame pass's
// T), as the frame pass would run block_worker once per batch.
struct LayerPlan {
    std::int32_t batches;
    std::int32_t threads;
};

// ThreadWorker: param1 is the FrameInfo, param2 the LayerPlan. Adds to plane t the layers that
// block_worker would add to it over all batches (shift indices b * threads + t), with one
// difference: the first layer is stored, not added, so the plane's contents beforehand do not
// matter. The result is that of the batches on a zeroed plane; the order of the work differs
// (see block_pass.cpp), the 16-bit wrapping sums do not.
extern "C" void layers_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                              void* param2);

// Adds the source sample to every pixel of `plane` (rows of exactly w pixels) that no block of
// the shift (x0, y0) covers.
void fill_uncovered(const FrameInfo& frame, YcPixel* plane, std::int32_t x0, std::int32_t y0);

// Coefficient shaping of one block's AC coefficients (index 0, the DC, is never changed).
void shape_luma(std::int32_t* block, std::int32_t threshold, std::int32_t quant);
void shape_chroma(std::int32_t* block, std::int32_t threshold);

}  // namespace korvane
