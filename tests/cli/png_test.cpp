// korvane-dct on PNG layouts: the output keeps channels and depth, alpha passes through untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "command_util.h"
#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

TEST(Command, PngKeepsLayoutDepthAndAlpha) {
    TempDir dir;
    struct Layout {
        int colour, depth, channels;
        int out_colour;  // palette comes back as RGB(A)
    };
    const int w = 24, h = 20;
    for (const Layout l : {Layout{SPNG_COLOR_TYPE_GRAYSCALE, 8, 1, 0},
                           {SPNG_COLOR_TYPE_GRAYSCALE, 16, 1, 0},
                           {SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8, 2, 4},
                           {SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 16, 2, 4},
                           {SPNG_COLOR_TYPE_TRUECOLOR, 8, 3, 2},
                           {SPNG_COLOR_TYPE_TRUECOLOR, 16, 3, 2},
                           {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 4, 6},
                           {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16, 4, 6},
                           {SPNG_COLOR_TYPE_INDEXED, 8, 1, 6}}) {
        SCOPED_TRACE(std::to_string(l.colour) + "/" + std::to_string(l.depth));
        const int bytes = l.depth / 8;
        const int max = (1 << l.depth) - 1;
        // A smooth ramp in every colour channel, alpha a pattern the filter would smear.
        std::vector<unsigned char> data;
        std::vector<int> values;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < l.channels; ++c) {
                    const bool alpha = (l.channels == 2 || l.channels == 4) && c == l.channels - 1;
                    int v = alpha ? ((x * 37 + y * 11) % 7 == 0 ? 0 : max - x * 3)
                                  : (l.colour == SPNG_COLOR_TYPE_INDEXED
                                         ? (x + y) / 3
                                         : max / 4 + (max / 64) * (x + y + 7 * c) / 4);
                    values.push_back(v);
                    if (bytes == 2) data.push_back(static_cast<unsigned char>(v >> 8));
                    data.push_back(static_cast<unsigned char>(v & 0xFF));
                }
        std::vector<spng_plte_entry> palette;
        std::vector<std::uint8_t> palette_alpha;
        if (l.colour == SPNG_COLOR_TYPE_INDEXED)
            for (int i = 0; i < 16; ++i) {
                palette.push_back({static_cast<std::uint8_t>(100 + 4 * i),
                                   static_cast<std::uint8_t>(80 + 2 * i),
                                   static_cast<std::uint8_t>(60 + 3 * i), 255});
                palette_alpha.push_back(static_cast<std::uint8_t>(255 - 16 * i));
            }
        write_file(dir / "in.png",
                   encode_png(w, h, l.colour, l.depth, data, palette, palette_alpha));
        const Result r = tool({dir / "in.png", dir / "out.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        const Png out = decode_png(read_file(dir / "out.png"));
        EXPECT_EQ(out.ihdr.color_type, l.out_colour);
        EXPECT_EQ(out.ihdr.bit_depth, l.depth);
        ASSERT_EQ(out.ihdr.width, static_cast<std::uint32_t>(w));
        const int out_channels = l.colour == SPNG_COLOR_TYPE_INDEXED ? 4 : l.channels;
        double worst = 0;
        for (int p = 0; p < w * h; ++p) {
            for (int c = 0; c < out_channels; ++c) {
                const std::size_t i = static_cast<std::size_t>(p * out_channels + c);
                const bool alpha =
                    (out_channels == 2 || out_channels == 4) && c == out_channels - 1;
                int expected;
                if (l.colour == SPNG_COLOR_TYPE_INDEXED) {
                    const int index = values[static_cast<std::size_t>(p)];
                    const spng_plte_entry& e = palette[static_cast<std::size_t>(index)];
                    expected = alpha    ? palette_alpha[static_cast<std::size_t>(index)]
                               : c == 0 ? e.red
                               : c == 1 ? e.green
                                        : e.blue;
                } else {
                    expected = values[i];
                }
                if (alpha)
                    ASSERT_EQ(out.sample(i), expected) << "alpha of pixel " << p;
                else
                    worst = std::max(worst, std::abs(out.sample(i) - expected) / double(max));
            }
        }
        // A ramp survives the filter closely: within 2% of full scale.
        EXPECT_LT(worst, 0.02);
    }
}

}  // namespace
}  // namespace korvane::test
