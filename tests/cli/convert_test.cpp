// The conversions between file samples and the host's scale.
#include "picture/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/cpu.h"
#include "picture/rgb_vector.h"

namespace korvane::cli {
namespace {

TEST(Convert, NominalRangesLandOnTheHostScale) {
    const YcbcrScale limited8{8, false}, limited10{10, false}, full8{8, true};
    EXPECT_EQ(luma_to_host(16, limited8), 0);
    EXPECT_EQ(luma_to_host(235, limited8), 4096);
    EXPECT_EQ(chroma_to_host(16, limited8), -2048);
    EXPECT_EQ(chroma_to_host(128, limited8), 0);
    EXPECT_EQ(chroma_to_host(240, limited8), 2048);
    EXPECT_EQ(luma_to_host(64, limited10), 0);
    EXPECT_EQ(luma_to_host(940, limited10), 4096);
    EXPECT_EQ(chroma_to_host(960, limited10), 2048);
    EXPECT_EQ(luma_to_host(255, full8), 4096);
    // (200 - 16) * 4096 / 219 = 3441.39...; (100 - 128) * 2048 / 112 = -512.
    EXPECT_EQ(luma_to_host(200, limited8), 3441);
    EXPECT_EQ(chroma_to_host(100, limited8), -512);

    // BT.601: white, black and the primaries at the ends of Cb and Cr.
    auto eq = [](YcPixel p, int y, int cb, int cr) { return p.y == y && p.cb == cb && p.cr == cr; };
    EXPECT_TRUE(eq(rgb_to_host(255, 255, 255, 255), 4096, 0, 0));
    EXPECT_TRUE(eq(rgb_to_host(0, 0, 0, 255), 0, 0, 0));
    EXPECT_TRUE(eq(rgb_to_host(255, 0, 0, 255), 1225, -691, 2048));  // 4096*0.299 = 1224.7
    EXPECT_TRUE(eq(rgb_to_host(0, 0, 255, 255), 467, 2048, -333));
    EXPECT_TRUE(eq(rgb_to_host(65535, 65535, 65535, 65535), 4096, 0, 0));
    EXPECT_TRUE(eq(gray_to_host(128, 255), 2056, 0, 0));
}

TEST(Convert, EveryEightBitSampleComesBackExactly) {
    for (const YcbcrScale s : {YcbcrScale{8, false}, YcbcrScale{8, true}, YcbcrScale{10, false}}) {
        for (int v = 0; v < (1 << s.depth); ++v) {
            ASSERT_EQ(luma_from_host(luma_to_host(v, s), s), v) << s.depth << " " << s.full_range;
            ASSERT_EQ(chroma_from_host(chroma_to_host(v, s), s), v)
                << s.depth << " " << s.full_range;
        }
    }
    for (int g = 0; g < 256; ++g) ASSERT_EQ(gray_from_host(gray_to_host(g, 255), 255), g);
    // All 2^24 colours.
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b) {
                const auto back = rgb_from_host(rgb_to_host(r, g, b, 255), 255);
                if (back[0] != r || back[1] != g || back[2] != b)
                    FAIL() << r << "," << g << "," << b << " came back as " << back[0] << ","
                           << back[1] << "," << back[2];
            }
}

TEST(Convert, WayBackRoundsAndClamps) {
    const YcbcrScale limited8{8, false};
    EXPECT_EQ(luma_from_host(-2000, limited8), 0);
    EXPECT_EQ(luma_from_host(32767, limited8), 255);
    EXPECT_EQ(chroma_from_host(-32768, limited8), 0);
    // 4096 + 8 (half a filter step above white) is 235.43 in codes.
    EXPECT_EQ(luma_from_host(4104, limited8), 235);
    const auto rgb = rgb_from_host(YcPixel{4096, 2048, 2048}, 255);
    EXPECT_EQ(rgb[0], 255);
    EXPECT_EQ(rgb[2], 255);
    EXPECT_EQ(div_round(-7, 2), -4);
    EXPECT_EQ(div_round(7, 2), 4);
    EXPECT_EQ(div_round(-5, 4), -1);
}

// The row conversion to 8-bit RGB (vectors of doubles where the machine runs AVX2) gives
// rgb_from_host's bytes: on every int16 sample (random), on photo-like ones, on the colours of
// every 8-bit RGB triple that a picture comes back to, and where red or blue is an exact half
// before rounding (where a double a hair too low would round down).
TEST(Convert, RowsToEightBitRgbMatchThePixelConversion) {
    std::vector<YcPixel> pixels;
    std::uint32_t s = 99;
    const auto next = [&] { return s = s * 1664525u + 1013904223u; };
    for (int i = 0; i < 400000; ++i) {
        const auto v = [&] { return static_cast<std::int16_t>(next() >> 16); };
        pixels.push_back({v(), v(), v()});
        const auto in = [&](int lo, int hi) {
            return static_cast<std::int16_t>(lo + static_cast<int>(next() >> 8) % (hi - lo + 1));
        };
        pixels.push_back({in(-300, 4400), in(-2300, 2300), in(-2300, 2300)});
    }
    for (int r = 0; r < 256; r += 3)
        for (int g = 0; g < 256; g += 5)
            for (int b = 0; b < 256; b += 7) pixels.push_back(rgb_to_host(r, g, b, 255));
    // 255 (1000 Y + 1402 Cr) + 2048000 and 255 (1000 Y + 1772 Cb) + 2048000 multiples of 4096000.
    std::size_t halves = 0;
    for (int y = -500; y <= 4600; ++y)
        for (int c = -2400; c <= 2400; ++c) {
            const std::int64_t red = 255 * (1000 * std::int64_t{y} + 1402 * c) + 2048000;
            const std::int64_t blue = 255 * (1000 * std::int64_t{y} + 1772 * c) + 2048000;
            if (red % 4096000 == 0 || blue % 4096000 == 0) {
                pixels.push_back({static_cast<std::int16_t>(y), static_cast<std::int16_t>(c),
                                  static_cast<std::int16_t>(c)});
                ++halves;
            }
        }
    ASSERT_GT(halves, 100u);
    // The machine's choice, and each vector form that it runs.
    using Rows = void (*)(const YcPixel*, std::size_t, unsigned char*);
    std::vector<std::pair<const char*, Rows>> forms = {{"chosen", &rgb8_from_host}};
#if defined(KORVANE_HAVE_RGB_VECTORS)
    if (tier_runs_here(CpuTier::avx2)) forms.emplace_back("avx2", &rgb8_from_host_avx2);
    if (tier_runs_here(CpuTier::avx512)) forms.emplace_back("avx512", &rgb8_from_host_avx512);
#endif
    for (const auto& [name, rows] : forms) {
        SCOPED_TRACE(name);
        std::vector<unsigned char> out(3 * pixels.size());
        rows(pixels.data(), pixels.size(), out.data());
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const auto rgb = rgb_from_host(pixels[i], 255);
            for (std::size_t c = 0; c < 3; ++c)
                ASSERT_EQ(out[3 * i + c], rgb[c])
                    << "Y " << pixels[i].y << " Cb " << pixels[i].cb << " Cr " << pixels[i].cr;
        }
    }
}

}  // namespace
}  // namespace korvane::cli
