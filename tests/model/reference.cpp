#include "tests/model/reference.h"

#include "engine/block_pass.h"

namespace korvane::model {

void add_layer(const Kernels& k, const FrameView& frame, YcPixel* plane, std::int32_t shift_index,
               std::int32_t threshold, std::int32_t quant) {
    const ShiftPosition shift = shift_position(shift_index);
    const BlockGrid grid = grid_of(frame.w, frame.h, shift);
    const ShapeParams params =
        make_shape_params(static_cast<std::int16_t>(threshold), static_cast<std::int16_t>(quant));
    if (grid.columns() > 0)
        for (std::int32_t y = grid.y0; y < grid.ye; y += 8)
            k.block_row(frame.row(y) + grid.x0, frame.stride,
                        plane + static_cast<std::ptrdiff_t>(y) * frame.w + grid.x0, frame.w,
                        grid.columns(), params, false);
    fill_uncovered(k, frame, PlaneRows{plane, 0, frame.w}, shift, 0, frame.h);
}

void filter(const FrameView& frame, const Settings& s) {
    const auto n = static_cast<std::size_t>(frame.w) * static_cast<std::size_t>(frame.h);
    auto at = [&](std::int32_t x, std::int32_t y) -> YcPixel& {
        return frame.pixels[y * frame.stride + x];
    };
    for (std::int32_t y = 0; y < frame.h; ++y)
        for (std::int32_t x = 0; x < frame.w; ++x) {
            YcPixel& p = at(x, y);
            p = {static_cast<std::int16_t>(p.y >> 4), static_cast<std::int16_t>(p.cb >> 4),
                 static_cast<std::int16_t>(p.cr >> 4)};
        }
    std::vector<YcPixel> sum(n, YcPixel{0, 0, 0});
    for (std::int32_t i = 0; i < s.shifts; ++i) {
        std::vector<YcPixel> plane(n, YcPixel{0, 0, 0});
        add_layer(kernels_for(CpuTier::scalar), frame, plane.data(), i, s.threshold, s.quant);
        for (std::size_t k = 0; k < n; ++k) {
            sum[k].y = add_wrap(sum[k].y, plane[k].y);
            sum[k].cb = add_wrap(sum[k].cb, plane[k].cb);
            sum[k].cr = add_wrap(sum[k].cr, plane[k].cr);
        }
    }
    const std::int32_t d = s.zero_weight + s.shifts;
    for (std::int32_t y = 0; y < frame.h; ++y)
        for (std::int32_t x = 0; x < frame.w; ++x) {
            YcPixel& p = at(x, y);
            const YcPixel& t = sum[static_cast<std::size_t>(y) * frame.w + x];
            p = {blend_sample(s.zero_weight, p.y, t.y, d),
                 blend_sample(s.zero_weight, p.cb, t.cb, d),
                 blend_sample(s.zero_weight, p.cr, t.cr, d)};
        }
}

}  // namespace korvane::model
