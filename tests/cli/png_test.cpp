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

TEST(Command, PngTransparencyKeyBecomesAnAlphaChannel) {
    // A keyed background around a disc: the filter moves background samples near the disc off
    // the key, which left them opaque. The key becomes alpha before filtering instead, so
    // exactly the keyed pixels stay transparent.
    TempDir dir;
    const int w = 40, h = 32;
    struct Keyed {
        int colour, depth, out_depth;
    };
    for (const Keyed k : {Keyed{SPNG_COLOR_TYPE_TRUECOLOR, 8, 8},
                          {SPNG_COLOR_TYPE_TRUECOLOR, 16, 16},
                          {SPNG_COLOR_TYPE_GRAYSCALE, 8, 8},
                          {SPNG_COLOR_TYPE_GRAYSCALE, 16, 16},
                          {SPNG_COLOR_TYPE_GRAYSCALE, 2, 8}}) {
        SCOPED_TRACE(std::to_string(k.colour) + "/" + std::to_string(k.depth));
        const bool gray = k.colour == SPNG_COLOR_TYPE_GRAYSCALE;
        const int channels = gray ? 1 : 3, max = (1 << k.depth) - 1;
        spng_trns key{};
        key.gray = static_cast<std::uint16_t>(max / 3);
        key.red = 0;
        key.green = static_cast<std::uint16_t>(max);
        key.blue = 0;
        std::vector<int> values;
        std::vector<bool> keyed;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const bool inside = std::hypot(x - w / 2.0, y - h / 2.0) < 10;
                keyed.push_back(!inside);
                for (int c = 0; c < channels; ++c) {
                    const int in = gray ? max : (c == 1 ? max / 5 : max * 4 / 5);
                    const int out = gray ? key.gray : (c == 1 ? max : 0);
                    values.push_back(inside ? in : out);
                }
            }
        std::vector<unsigned char> data;
        if (k.depth < 8) {
            for (std::size_t i = 0; i < values.size(); i += 4)
                data.push_back(static_cast<unsigned char>(values[i] << 6 | values[i + 1] << 4 |
                                                          values[i + 2] << 2 | values[i + 3]));
        } else {
            for (const int v : values) {
                if (k.depth == 16) data.push_back(static_cast<unsigned char>(v >> 8));
                data.push_back(static_cast<unsigned char>(v & 0xFF));
            }
        }
        write_file(dir / "in.png", encode_png(w, h, k.colour, k.depth, data, {}, {}, &key));
        const Result r = tool({"--threshold", "64", "--quant", "16", "--n-shift", "16",
                               dir / "in.png", dir / "out.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string file = read_file(dir / "out.png");
        const Png out = decode_png(file);
        EXPECT_EQ(out.ihdr.color_type,
                  gray ? SPNG_COLOR_TYPE_GRAYSCALE_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
        ASSERT_EQ(out.ihdr.bit_depth, k.out_depth);
        EXPECT_EQ(file.find("tRNS"), std::string::npos);
        const int out_max = (1 << k.out_depth) - 1;
        const std::size_t out_channels = static_cast<std::size_t>(channels + 1);
        ASSERT_EQ(out.data.size(), keyed.size() * out_channels * (k.out_depth / 8));
        std::size_t moved = 0;  // keyed pixels whose colour the filter changed
        for (std::size_t p = 0; p < keyed.size(); ++p) {
            ASSERT_EQ(out.sample(p * out_channels + out_channels - 1), keyed[p] ? 0 : out_max)
                << "alpha of pixel " << p;
            const int scale = out_max / max;
            if (keyed[p])
                for (std::size_t c = 0; c + 1 < out_channels; ++c)
                    moved += out.sample(p * out_channels + c) != values[p * channels + c] * scale;
        }
        EXPECT_GT(moved, 0u) << "the filter left the background as it was: nothing was tested";
    }
}

}  // namespace
}  // namespace korvane::test
