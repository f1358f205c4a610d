#include "picture/rgba.h"

#include "picture/convert.h"

namespace korvane {

Status filter_rgba8(PictureFilter& filter, const Settings& settings, const RgbaView& pixels,
                    std::vector<YcPixel>& work) {
    if (pixels.w < 0 || pixels.h < 0 || (pixels.w > 0 && pixels.h > 0 && !pixels.data) ||
        pixels.stride < 4 * static_cast<std::ptrdiff_t>(pixels.w))
        return Status::invalid_argument;
    const auto w = static_cast<std::size_t>(pixels.w);
    work.resize(w * static_cast<std::size_t>(pixels.h));
    // Both conversions run on the filter's threads, row by row around the engine call; the
    // pixels are written only once the engine has succeeded.
    PictureFilter::RowSteps steps;
    steps.before = [&](std::int32_t y0, std::int32_t y1) {
        for (std::int32_t y = y0; y < y1; ++y) {
            const std::uint8_t* in = pixels.data + y * pixels.stride;
            YcPixel* out = work.data() + static_cast<std::size_t>(y) * w;
            for (std::size_t x = 0; x < w; ++x)
                out[x] = rgb_to_host(in[4 * x], in[4 * x + 1], in[4 * x + 2], 255);
        }
    };
    steps.after = [&](std::int32_t y0, std::int32_t y1) {
        for (std::int32_t y = y0; y < y1; ++y) {
            std::uint8_t* out = pixels.data + y * pixels.stride;
            const YcPixel* in = work.data() + static_cast<std::size_t>(y) * w;
            for (std::size_t x = 0; x < w; ++x) {
                const auto rgb = rgb_from_host(in[x], 255);
                for (int c = 0; c < 3; ++c) out[4 * x + c] = static_cast<std::uint8_t>(rgb[c]);
            }
        }
    };
    const FrameView frame{work.data(), pixels.w, pixels.h, pixels.w};
    return filter.filter(settings, frame, true, steps);
}

}  // namespace korvane
