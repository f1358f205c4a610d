#include "cli/picture.h"

#include <spng.h>

#include <algorithm>

#include "cli/output_file.h"
#include "picture/convert.h"

namespace korvane::cli {
namespace {

constexpr int kGap = 8;   // white pixels between the parts
constexpr int kZoom = 3;  // enlargement of the crop

std::array<int, 3> rgb_of(const YcPixel& p, const StreamInfo& layout) {
    // Luma-only layouts show gray even though filtered chroma is not exactly zero.
    if (layout.layout == Layout::gray || layout.mono) {
        const int g = gray_from_host(p, 255);
        return {g, g, g};
    }
    return rgb_from_host(p, 255);
}

}  // namespace

void write_compare(OutputFile& file, const Frame& before, const Frame& after,
                   const StreamInfo& layout) {
    const std::int32_t w = before.w, h = before.h;
    // The middle third of the frame (at least one pixel), enlarged three times below. For frames
    // narrower than 3 pixels the enlargement is wider than the frame, so each side of the
    // picture is as wide as the wider of the two, with both centred in it.
    const std::int32_t cw = std::max(1, w / kZoom), ch = std::max(1, h / kZoom);
    const std::int32_t cx = (w - cw) / 2, cy = (h - ch) / 2;
    const std::int32_t side = std::max(w, cw * kZoom);
    const std::int32_t pw = 2 * side + kGap, ph = h + kGap + ch * kZoom;
    std::vector<unsigned char> rgb(static_cast<std::size_t>(pw) * static_cast<std::size_t>(ph) * 3,
                                   255);
    auto put = [&](std::int32_t x, std::int32_t y, const YcPixel& p) {
        const auto c = rgb_of(p, layout);
        unsigned char* o = &rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(pw) +
                                 static_cast<std::size_t>(x)) *
                                3];
        o[0] = static_cast<unsigned char>(c[0]);
        o[1] = static_cast<unsigned char>(c[1]);
        o[2] = static_cast<unsigned char>(c[2]);
    };
    const Frame* frames[2] = {&before, &after};
    for (int side_index = 0; side_index < 2; ++side_index) {
        const Frame& f = *frames[side_index];
        const std::int32_t left = side_index * (side + kGap);
        const std::int32_t fleft = left + (side - w) / 2;
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                put(fleft + x, y,
                    f.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(w) +
                             static_cast<std::size_t>(x)]);
        const std::int32_t zleft = left + (side - cw * kZoom) / 2;
        for (std::int32_t y = 0; y < ch * kZoom; ++y)
            for (std::int32_t x = 0; x < cw * kZoom; ++x)
                put(zleft + x, h + kGap + y,
                    f.pixels[static_cast<std::size_t>(cy + y / kZoom) *
                                 static_cast<std::size_t>(w) +
                             static_cast<std::size_t>(cx + x / kZoom)]);
    }
    write_png(file, pw, ph, SPNG_COLOR_TYPE_TRUECOLOR, 8, rgb);
}

}  // namespace korvane::cli
