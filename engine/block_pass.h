// Shifted-grid block pass: the shift table, the block grid of a shift, the border completion, and
// the work of one band of rows: every shift's blocks that start in the band, reconstructed and
// summed into the band's rows of the accumulation plane.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/engine.h"
#include "engine/kernels.h"
#include "engine/pixel.h"

namespace korvane {

struct ShiftPosition {
    std::int32_t x0;  // column offset of the block grid, 0..7
    std::int32_t y0;  // row offset of the block grid, 0..7
};

// The 64 shift positions in the order in which frames use them; (0, 0) comes last.
extern const std::array<ShiftPosition, 64> ShiftTable;

// Shift position of a shift index. Indices past the table's end (the video editor reaches them
// when its batches x threads pass 64) wrap around it: they still give a full layer, one value
// per pixel.
inline ShiftPosition shift_position(std::int32_t index) {
    return ShiftTable[static_cast<std::uint32_t>(index) % ShiftTable.size()];
}

// The blocks of one shift on a w x h frame. Blocks have their top-left pixel at (x0 + 8i,
// y0 + 8j) while that is left of column w - 8 and above row h - 8, so none reaches the last
// column or row; together they cover exactly columns x0 .. xe-1 of rows y0 .. ye-1.
struct BlockGrid {
    std::int32_t x0, y0;  // the shift, clipped to the frame
    std::int32_t xe, ye;  // ends of the block rectangle (exclusive); xe == x0: no block columns
    std::int32_t columns() const { return (xe - x0) / 8; }
};
BlockGrid grid_of(std::int32_t w, std::int32_t h, ShiftPosition shift);

// Rows of an accumulation plane, w pixels each (not the frame's stride): frame row y lives at
// first + (y - first_row) * w. A band holds only some of the frame's rows.
struct PlaneRows {
    YcPixel* first;
    std::int32_t first_row;
    std::int32_t w;
    YcPixel* row(std::int32_t y) const {
        return first + static_cast<std::ptrdiff_t>(y - first_row) * w;
    }
};

// Adds the source sample to every pixel of rows [row_begin, row_end) that no block of `shift`
// covers (the border completion), wrapping in 16 bits.
void fill_uncovered(const Kernels& k, const FrameView& frame, const PlaneRows& plane,
                    ShiftPosition shift, std::int32_t row_begin, std::int32_t row_end);

// The block pass of shift indices 0 .. shifts-1 over the band of rows [b0, b1): b0 a multiple of
// 8, b1 a multiple of 8 or h. `band` must hold rows b0 .. spill_end-1, spill_end = min(b1 + 7, h),
// and may hold anything beforehand. Afterwards rows b0 .. b1-1 hold, per pixel, the 16-bit
// wrapping sum over all shifts of the reconstruction from each block that starts in the band,
// or of the source where the shift leaves the pixel uncovered; rows b1 .. spill_end-1 hold the
// sum of the parts of the band's blocks that reach below it, which the band under it adds in.
// Blocks start at b0 + y0 + 8m, so each belongs to exactly one band.
void band_layers(const Kernels& k, const FrameView& frame, const PlaneRows& band, std::int32_t b0,
                 std::int32_t b1, std::int32_t shifts, const ShapeParams& params);

// Coefficient shaping of one block's AC coefficients (index 0, the DC, is never changed).
void shape_luma(std::int32_t* block, std::int32_t threshold, std::int32_t quant);
void shape_chroma(std::int32_t* block, std::int32_t threshold);

}  // namespace korvane
