#include "engine/block_pass.h"

#include <cstring>

#include "engine/dct.h"
#include "engine/kernels.h"

namespace korvane {

// 57 distinct positions; seven occur twice and seven never. The order is part of the output:
// a frame with n shifts on T threads uses entries 0 .. ceil(n / T) * T - 1.
const std::array<ShiftPosition, 64> ShiftTable = {{
    {3, 1}, {1, 4}, {4, 7}, {7, 3}, {1, 1}, {7, 1}, {1, 7}, {7, 7}, {5, 2}, {7, 6}, {0, 1},
    {1, 7}, {6, 0}, {4, 6}, {0, 3}, {4, 1}, {7, 3}, {4, 3}, {3, 7}, {3, 0}, {1, 4}, {6, 4},
    {0, 5}, {5, 1}, {5, 7}, {0, 2}, {7, 5}, {0, 7}, {4, 2}, {2, 1}, {7, 7}, {1, 2}, {4, 5},
    {1, 6}, {6, 2}, {2, 3}, {6, 6}, {0, 4}, {6, 1}, {2, 6}, {3, 1}, {4, 7}, {1, 5}, {5, 3},
    {1, 3}, {5, 0}, {3, 5}, {6, 5}, {7, 0}, {3, 2}, {5, 6}, {1, 1}, {3, 6}, {7, 4}, {2, 0},
    {5, 4}, {6, 3}, {2, 7}, {3, 3}, {4, 0}, {2, 4}, {4, 4}, {7, 2}, {0, 0},
}};

namespace {

// Number of block starts start + 8i below size - 8.
inline std::int32_t block_count(std::int32_t start, std::int32_t size) {
    const std::int32_t room = size - 8 - start;
    return room > 0 ? (room + 7) / 8 : 0;
}

// Adds (or with `store`, copies) the source samples of columns [x_begin, x_end) of rows
// [y_begin, y_end) into the plane.
void add_source(const Kernels& k, const FrameView& frame, const PlaneRows& plane,
                std::int32_t x_begin, std::int32_t x_end, std::int32_t y_begin, std::int32_t y_end,
                bool store) {
    if (x_end <= x_begin) return;
    for (std::int32_t y = y_begin; y < y_end; ++y) {
        YcPixel* dst = plane.row(y) + x_begin;
        const YcPixel* src = frame.row(y) + x_begin;
        if (store)
            std::memcpy(dst, src, static_cast<std::size_t>(x_end - x_begin) * sizeof(YcPixel));
        else
            k.add_pixels(dst, src, x_end - x_begin);
    }
}

}  // namespace

BlockGrid grid_of(std::int32_t w, std::int32_t h, ShiftPosition shift) {
    const std::int32_t x0 = shift.x0 < w ? shift.x0 : w;
    const std::int32_t y0 = shift.y0 < h ? shift.y0 : h;
    return {x0, y0, x0 + 8 * block_count(x0, w), y0 + 8 * block_count(y0, h)};
}

void shape_luma(std::int32_t* block, std::int32_t threshold, std::int32_t quant) {
    for (int i = 1; i < kBlockSize; ++i) {
        const std::int32_t v = block[i];
        if (v < threshold && v > -threshold) block[i] = quant * (v / quant);
    }
}

void shape_chroma(std::int32_t* block, std::int32_t threshold) {
    for (int i = 1; i < kBlockSize; ++i) {
        const std::int32_t v = block[i];
        if (v < threshold && v > -threshold) block[i] = 0;
    }
}

void fill_uncovered(const Kernels& k, const FrameView& frame, const PlaneRows& plane,
                    ShiftPosition shift, std::int32_t row_begin, std::int32_t row_end) {
    const BlockGrid g = grid_of(frame.w, frame.h, shift);
    const auto clip = [&](std::int32_t y) {
        return y < row_begin ? row_begin : (y > row_end ? row_end : y);
    };
    const std::int32_t w = frame.w;
    add_source(k, frame, plane, 0, w, clip(0), clip(g.y0), false);        // top
    add_source(k, frame, plane, 0, w, clip(g.ye), clip(frame.h), false);  // bottom
    add_source(k, frame, plane, 0, g.x0, clip(g.y0), clip(g.ye), false);  // left
    add_source(k, frame, plane, g.xe, w, clip(g.y0), clip(g.ye), false);  // right
}

void block_row_scalar(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
                      std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
                      bool store) {
    std::int32_t luma[kBlockSize];
    std::int32_t cb[kBlockSize];
    std::int32_t cr[kBlockSize];
    for (std::int32_t b = 0; b < blocks; ++b) {
        for (int r = 0; r < 8; ++r) {
            const YcPixel* in = src + r * src_stride + 8 * b;
            for (int c = 0; c < 8; ++c) {
                luma[8 * r + c] = in[c].y;
                cb[8 * r + c] = in[c].cb;
                cr[8 * r + c] = in[c].cr;
            }
        }
        fdct_8x8(luma);
        fdct_8x8(cb);
        fdct_8x8(cr);
        shape_luma(luma, params.threshold, params.quant);
        shape_chroma(cb, params.chroma_threshold);
        shape_chroma(cr, params.chroma_threshold);
        idct_8x8(luma);
        idct_8x8(cb);
        idct_8x8(cr);
        for (int r = 0; r < 8; ++r) {
            YcPixel* acc = dst + r * dst_stride + 8 * b;
            if (store) {
                for (int c = 0; c < 8; ++c)
                    acc[c] = {static_cast<std::int16_t>(luma[8 * r + c]),
                              static_cast<std::int16_t>(cb[8 * r + c]),
                              static_cast<std::int16_t>(cr[8 * r + c])};
                continue;
            }
            for (int c = 0; c < 8; ++c) {
                acc[c].y = add_wrap(acc[c].y, luma[8 * r + c]);
                acc[c].cb = add_wrap(acc[c].cb, cb[8 * r + c]);
                acc[c].cr = add_wrap(acc[c].cr, cr[8 * r + c]);
            }
        }
    }
}

void row_pass_scalar(const YcPixel* src, std::ptrdiff_t src_stride, std::int32_t rows,
                     std::int32_t blocks, std::int32_t* stack) {
    for (std::int32_t r = 0; r < rows; ++r) {
        for (std::int32_t b = 0; b < kGroupBlocks; ++b) {
            std::int32_t line[kGroupChannels][8] = {};
            if (b < blocks) {
                const YcPixel* in = src + r * src_stride + 8 * b;
                for (int c = 0; c < 8; ++c) {
                    line[0][c] = in[c].y;
                    line[1][c] = in[c].cb;
                    line[2][c] = in[c].cr;
                }
            }
            for (int ch = 0; ch < kGroupChannels; ++ch) {
                fdct_row_pass(line[ch]);
                for (int c = 0; c < 8; ++c)
                    stack[ch * kStackElements + (8 * r + c) * kGroupBlocks + b] = line[ch][c];
            }
        }
    }
}

namespace {

// The shifts at one row offset `top` of stack_blocks_scalar.
void stack_blocks_at(const std::int32_t* stack, std::int32_t top, YcPixel* dst,
                     std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
                     std::int32_t copies) {
    std::int32_t block[kGroupChannels][kBlockSize];
    for (std::int32_t b = 0; b < blocks; ++b) {
        for (int ch = 0; ch < kGroupChannels; ++ch) {
            for (int e = 0; e < kBlockSize; ++e)
                block[ch][e] = stack[ch * kStackElements + (8 * top + e) * kGroupBlocks + b];
            fdct_column_pass(block[ch]);
        }
        shape_luma(block[0], params.threshold, params.quant);
        shape_chroma(block[1], params.chroma_threshold);
        shape_chroma(block[2], params.chroma_threshold);
        for (int ch = 0; ch < kGroupChannels; ++ch) idct_8x8(block[ch]);
        for (int r = 0; r < 8; ++r) {
            YcPixel* acc = dst + r * dst_stride + 8 * b;
            for (int c = 0; c < 8; ++c) {
                // copies additions of v modulo 2^16 are one of v * copies (|v| <= 256).
                acc[c].y = add_wrap(acc[c].y, block[0][8 * r + c] * copies);
                acc[c].cb = add_wrap(acc[c].cb, block[1][8 * r + c] * copies);
                acc[c].cr = add_wrap(acc[c].cr, block[2][8 * r + c] * copies);
            }
        }
    }
}

}  // namespace

void stack_blocks_scalar(const std::int32_t* stack, std::int32_t rows, const std::int32_t* copies,
                         YcPixel* dst, std::ptrdiff_t dst_stride, std::int32_t blocks,
                         const ShapeParams& params) {
    for (std::int32_t top = 0; top + 8 <= rows; ++top)
        if (copies[top] > 0)
            stack_blocks_at(stack, top, dst + top * dst_stride, dst_stride, blocks, params,
                            copies[top]);
}

void band_layers(const Kernels& k, const FrameView& frame, const PlaneRows& band, std::int32_t b0,
                 std::int32_t b1, std::int32_t shifts, const ShapeParams& params) {
    const std::int32_t w = frame.w;
    const std::int32_t h = frame.h;
    const std::int32_t spill_end = b1 + 7 < h ? b1 + 7 : h;
    for (std::int32_t y = b1; y < spill_end; ++y)
        std::memset(band.row(y), 0, static_cast<std::size_t>(w) * sizeof(YcPixel));

    // Shift 0's layer is stored, row by row ahead of the others: rows b0 .. stored-1 hold it
    // complete (its block rows, their side strips, the rows of blocks from the band above as
    // zeros with their side strips, and whole border rows), so the band needs no zeroing and
    // the other shifts only ever add to stored rows. Rows and strips are those of
    // fill_uncovered.
    const BlockGrid first = grid_of(w, h, shift_position(0));
    std::int32_t stored = b0;
    const auto store_until = [&](std::int32_t until) {
        while (stored < until) {
            if (stored < first.y0 || stored >= first.ye || first.columns() == 0) {
                add_source(k, frame, band, 0, w, stored, stored + 1, true);
                stored += 1;
            } else if ((stored - first.y0) % 8 == 0) {
                k.block_row(frame.row(stored) + first.x0, frame.stride, band.row(stored) + first.x0,
                            w, first.columns(), params, true);
                const std::int32_t end = stored + 8 < b1 ? stored + 8 : b1;
                add_source(k, frame, band, 0, first.x0, stored, end, true);
                add_source(k, frame, band, first.xe, w, stored, end, true);
                stored += 8;
            } else {
                // Covered by a block of the band above, which adds it in at the blend.
                std::memset(band.row(stored) + first.x0, 0,
                            static_cast<std::size_t>(first.xe - first.x0) * sizeof(YcPixel));
                add_source(k, frame, band, 0, first.x0, stored, stored + 1, true);
                add_source(k, frame, band, first.xe, w, stored, stored + 1, true);
                stored += 1;
            }
        }
    };

    // The other shifts add, interleaved by block row: block row j of every shift lies in rows
    // b0 + 8j .. b0 + 8j + 14, so the frame and plane rows that one shift brings into the cache
    // serve the others too. 16-bit sums wrap, so the order of the additions does not change
    // them. Each add touches rows below y + 15 only, all of them stored by then.
    //
    // With the row-stack kernels, the shifts that share a column offset x0 share the forward
    // row pass: a row segment of 8 pixels from column x0 + 8i has one row-pass output whatever
    // the row offset of the block it belongs to. So for each block row and x0, the rows of
    // every block of those shifts go through the row pass once (one stack per group of
    // kGroupBlocks block columns), and each shift takes its 8 rows from the stack. Shifts at the
    // same position (the table repeats some) give the same reconstruction, added once per shift.
    // A column offset with one block row to do in a block row (few shifts) takes block_row.
    const bool share_rows = k.row_pass != nullptr && k.stack_blocks != nullptr;
    std::int32_t copies[8][8] = {};
    if (share_rows)
        for (std::int32_t i = 1; i < shifts; ++i) {
            const ShiftPosition shift = shift_position(i);
            ++copies[shift.x0][shift.y0];
        }
    // 23,040 bytes on the thread's stack, next to block_row's groups; nothing per thread in the
    // frame's scratch.
    alignas(64) std::int32_t stack[kGroupChannels * kStackElements];
    for (std::int32_t y = b0; y < b1; y += 8) {
        store_until(y + 15 < b1 ? y + 15 : b1);
        if (share_rows) {
            for (std::int32_t x0 = 0; x0 < 8; ++x0) {
                const std::int32_t columns = block_count(x0, w);
                std::int32_t low = 8, high = -1;
                for (std::int32_t y0 = 0; y0 < 8; ++y0) {
                    if (copies[x0][y0] == 0 || y + y0 >= h - 8) continue;
                    low = y0 < low ? y0 : low;
                    high = y0;
                }
                if (columns == 0 || high < 0) continue;
                if (low == high && copies[x0][low] == 1) {
                    // One block row alone shares nothing: block_row keeps the groups in place.
                    k.block_row(frame.row(y + low) + x0, frame.stride, band.row(y + low) + x0, w,
                                columns, params, false);
                    continue;
                }
                for (std::int32_t b = 0; b < columns; b += kGroupBlocks) {
                    const std::int32_t n = columns - b < kGroupBlocks ? columns - b : kGroupBlocks;
                    k.row_pass(frame.row(y + low) + x0 + 8 * b, frame.stride, high - low + 8, n,
                               stack);
                    k.stack_blocks(stack, high - low + 8, copies[x0] + low,
                                   band.row(y + low) + x0 + 8 * b, w, n, params);
                }
            }
            continue;
        }
        for (std::int32_t i = 1; i < shifts; ++i) {
            const ShiftPosition shift = shift_position(i);
            const std::int32_t row = y + shift.y0;
            const std::int32_t columns = block_count(shift.x0, w);
            if (row >= h - 8 || columns == 0) continue;
            k.block_row(frame.row(row) + shift.x0, frame.stride, band.row(row) + shift.x0, w,
                        columns, params, false);
        }
    }
    store_until(b1);
    for (std::int32_t i = 1; i < shifts; ++i)
        fill_uncovered(k, frame, band, shift_position(i), b0, b1);
}

}  // namespace korvane
