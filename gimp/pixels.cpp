#include "gimp/pixels.h"

#include "picture/convert.h"

namespace korvane::gimp {
namespace {

template <typename Sample>
const Sample* row_of(const PixelsView& v, std::int32_t y) {
    return reinterpret_cast<const Sample*>(static_cast<const unsigned char*>(v.data) +
                                           y * v.stride);
}

template <typename Sample>
void to_host(const PixelsView& v, std::int32_t y0, std::int32_t y1, YcPixel* to) {
    const int max = (1 << v.depth) - 1;
    const auto channels = static_cast<std::size_t>(channels_of(v));
    const auto w = static_cast<std::size_t>(v.w);
    for (std::int32_t y = y0; y < y1; ++y) {
        const Sample* in = row_of<Sample>(v, y);
        YcPixel* out = to + static_cast<std::size_t>(y - y0) * w;
        for (std::size_t x = 0; x < w; ++x) {
            const Sample* p = in + x * channels;
            out[x] = v.gray ? gray_to_host(p[0], max) : rgb_to_host(p[0], p[1], p[2], max);
        }
    }
}

template <typename Sample>
void from_host(const PixelsView& v, std::int32_t y0, std::int32_t y1, const YcPixel* from) {
    const int max = (1 << v.depth) - 1;
    const auto channels = static_cast<std::size_t>(channels_of(v));
    const auto w = static_cast<std::size_t>(v.w);
    for (std::int32_t y = y0; y < y1; ++y) {
        auto* out = const_cast<Sample*>(row_of<Sample>(v, y));
        const YcPixel* in = from + static_cast<std::size_t>(y) * w;
        for (std::size_t x = 0; x < w; ++x) {
            Sample* p = out + x * channels;
            if (v.gray) {
                p[0] = static_cast<Sample>(gray_from_host(in[x], max));
            } else {
                const auto rgb = rgb_from_host(in[x], max);
                for (int c = 0; c < 3; ++c) p[c] = static_cast<Sample>(rgb[c]);
            }
        }
    }
}

}  // namespace

void pixels_to_host(const PixelsView& v, std::int32_t y0, std::int32_t y1, YcPixel* to) {
    if (v.depth == 8)
        to_host<std::uint8_t>(v, y0, y1, to);
    else
        to_host<std::uint16_t>(v, y0, y1, to);
}

Status filter_pixels(PictureFilter& filter, const Settings& settings, const PixelsView& v,
                     std::vector<YcPixel>& work) {
    const std::ptrdiff_t pixel_bytes = channels_of(v) * (v.depth == 8 ? 1 : 2);
    if (v.w < 0 || v.h < 0 || (v.w > 0 && v.h > 0 && !v.data) || (v.depth != 8 && v.depth != 16) ||
        v.stride < pixel_bytes * v.w)
        return Status::invalid_argument;
    const auto w = static_cast<std::size_t>(v.w);
    work.resize(w * static_cast<std::size_t>(v.h));
    // As for a PNG without alpha: both conversions on the filter's threads, row by row around
    // the engine call; the pixels are written only once the engine has succeeded.
    PictureFilter::RowSteps steps;
    steps.before = [&](std::int32_t y0, std::int32_t y1) {
        pixels_to_host(v, y0, y1, work.data() + static_cast<std::size_t>(y0) * w);
    };
    steps.after = [&](std::int32_t y0, std::int32_t y1) {
        if (v.depth == 8)
            from_host<std::uint8_t>(v, y0, y1, work.data());
        else
            from_host<std::uint16_t>(v, y0, y1, work.data());
    };
    const FrameView frame{work.data(), v.w, v.h, v.w};
    return filter.filter(settings, frame, true, steps);
}

}  // namespace korvane::gimp
