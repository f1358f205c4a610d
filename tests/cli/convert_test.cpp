// The conversions between file samples and the host's scale.
#include "picture/convert.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace korvane::cli
