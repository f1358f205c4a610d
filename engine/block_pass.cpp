#include "engine/block_pass.h"

#include <cstddef>
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

std::int16_t g_threshold = 0;
std::int16_t g_quant = 1;
YcPixel* g_accum = nullptr;

namespace {

// End (exclusive) of the block grid that starts at `start` on an axis of `size` pixels: blocks
// start at start + 8i while that is below size - 8, so none reaches the last column or row.
inline std::int32_t grid_end(std::int32_t start, std::int32_t size) {
    std::int32_t end = start;
    while (end < size - 8) end += 8;
    return end;
}

inline const YcPixel* frame_row(const FrameInfo& frame, std::int32_t y) {
    return frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride;
}

inline YcPixel* plane_row(YcPixel* plane, std::int32_t w, std::int32_t y) {
    return plane + static_cast<std::ptrdiff_t>(y) * w;
}

// Adds (or with `store`, copies) the source samples of columns [x_begin, x_end) of rows
// [y_begin, y_end) into the plane.
void add_source(const FrameInfo& frame, YcPixel* plane, std::int32_t x_begin, std::int32_t x_end,
                std::int32_t y_begin, std::int32_t y_end, bool store) {
    if (x_end <= x_begin) return;
    const Kernels& k = kernels();
    for (std::int32_t y = y_begin; y < y_end; ++y) {
        YcPixel* dst = plane_row(plane, frame.w, y) + x_begin;
        const YcPixel* src = frame_row(frame, y) + x_begin;
        if (store)
            std::memcpy(dst, src, static_cast<std::size_t>(x_end - x_begin) * sizeof(YcPixel));
        else
            k.add_pixels(dst, src, x_end - x_begin);
    }
}

// One layer of shift index batch_base + thread_index added into plane thread_index.
void one_layer(std::int32_t thread_index, const FrameInfo& frame, std::int32_t batch_base) {
    const ShiftPosition shift = shift_position(static_cast<std::int32_t>(
        static_cast<std::uint32_t>(batch_base) + static_cast<std::uint32_t>(thread_index)));
    const std::int32_t w = frame.w;
    const std::int32_t h = frame.h;
    YcPixel* plane = g_accum + static_cast<std::ptrdiff_t>(thread_index) * w * h;
    const ShapeParams params = make_shape_params(g_threshold, g_quant);
    const Kernels& k = kernels();

    // Blocks start at x0 + 8i while that is below w - 8 (see grid_end).
    const std::int32_t blocks = (grid_end(shift.x0 < w ? shift.x0 : w, w) - shift.x0) / 8;
    if (blocks > 0) {
        for (std::int32_t y = shift.y0; y < h - 8; y += 8)
            k.block_row(frame_row(frame, y) + shift.x0, frame.stride,
                        plane_row(plane, w, y) + shift.x0, w, blocks, params, false);
    }
    fill_uncovered(frame, plane, shift.x0, shift.y0);
}

}  // namespace

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

void fill_uncovered(const FrameInfo& frame, YcPixel* plane, std::int32_t x0, std::int32_t y0) {
    const std::int32_t w = frame.w;
    const std::int32_t h = frame.h;
    // The block rectangle, clipped to the frame; the grid ends never pass w or h.
    const std::int32_t xb = x0 < w ? x0 : w;
    const std::int32_t yb = y0 < h ? y0 : h;
    const std::int32_t xe = grid_end(xb, w);
    const std::int32_t ye = grid_end(yb, h);
    add_source(frame, plane, 0, w, 0, yb, false);    // top
    add_source(frame, plane, 0, w, ye, h, false);    // bottom
    add_source(frame, plane, 0, xb, yb, ye, false);  // left
    add_source(frame, plane, xe, w, yb, ye, false);  // right
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
        shape_chroma(cb, params.threshold);
        shape_chroma(cr, params.threshold);
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

extern "C" void block_worker(std::int32_t thread_index, std::int32_t /*thread_count*/, void* param1,
                             void* param2) {
    one_layer(thread_index, *static_cast<const FrameInfo*>(param1),
              *static_cast<const std::int32_t*>(param2));
}

extern "C" void layers_worker(std::int32_t thread_index, std::int32_t /*thread_count*/,
                              void* param1, void* param2) {
    const FrameInfo& frame = *static_cast<const FrameInfo*>(param1);
    const LayerPlan& plan = *static_cast<const LayerPlan*>(param2);
    // Shift index of batch b on this thread, as block_worker computes it from batch_base b * T.
    const auto shift_of = [&](std::int32_t b) {
        return shift_position(static_cast<std::int32_t>(
            static_cast<std::uint32_t>(b) * static_cast<std::uint32_t>(plan.threads) +
            static_cast<std::uint32_t>(thread_index)));
    };
    const std::int32_t w = frame.w;
    const std::int32_t h = frame.h;
    YcPixel* plane = g_accum + static_cast<std::ptrdiff_t>(thread_index) * w * h;
    const ShapeParams params = make_shape_params(g_threshold, g_quant);
    const Kernels& k = kernels();

    // Batch 0's layer is stored, row by row ahead of the others: the first `stored` rows of the
    // plane hold it complete (its block rows with their side strips, and whole border rows), so
    // the plane needs no zeroing and the other layers only ever add to stored rows. The rows and
    // strips are those of fill_uncovered.
    const ShiftPosition first = shift_of(0);
    const std::int32_t xb = first.x0 < w ? first.x0 : w;
    const std::int32_t yb = first.y0 < h ? first.y0 : h;
    const std::int32_t xe = grid_end(xb, w);
    const std::int32_t ye = grid_end(yb, h);
    const std::int32_t first_blocks = (xe - first.x0) / 8;
    std::int32_t stored = 0;
    const auto store_until = [&](std::int32_t until) {
        while (stored < until) {
            if (stored >= yb && stored < ye && first_blocks > 0) {
                k.block_row(frame_row(frame, stored) + first.x0, frame.stride,
                            plane_row(plane, w, stored) + first.x0, w, first_blocks, params, true);
                add_source(frame, plane, 0, xb, stored, stored + 8, true);
                add_source(frame, plane, xe, w, stored, stored + 8, true);
                stored += 8;
            } else {
                add_source(frame, plane, 0, w, stored, stored + 1, true);
                stored += 1;
            }
        }
    };

    // The other layers add, interleaved by block row: block row j of every shift lies in rows
    // 8j .. 8j + 14, so the frame and plane rows that one shift brings into the cache serve the
    // others too. 16-bit sums wrap, so the order of the additions does not change them.
    for (std::int32_t y = 0; y < h - 8; y += 8) {
        store_until(h - y > 15 ? y + 15 : h);
        for (std::int32_t b = 1; b < plan.batches; ++b) {
            const ShiftPosition shift = shift_of(b);
            const std::int32_t row = y + shift.y0;
            const std::int32_t blocks = (grid_end(shift.x0 < w ? shift.x0 : w, w) - shift.x0) / 8;
            if (row >= h - 8 || blocks <= 0) continue;
            k.block_row(frame_row(frame, row) + shift.x0, frame.stride,
                        plane_row(plane, w, row) + shift.x0, w, blocks, params, false);
        }
    }
    store_until(h);
    for (std::int32_t b = 1; b < plan.batches; ++b) {
        const ShiftPosition shift = shift_of(b);
        fill_uncovered(frame, plane, shift.x0, shift.y0);
    }
}

}  // namespace korvane
