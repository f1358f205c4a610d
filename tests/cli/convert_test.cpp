// The conversions between file samples and the host's scale.
#include "picture/convert.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "engine/cpu.h"
#include "picture/rgb_vector.h"
#include "picture/ycbcr_vector.h"

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

// The 8-bit Y'CbCr rows in vectors (where the machine runs them) give the values of the tables
// and of luma_from_host / chroma_from_host: every code and every int16 luma value, random and
// extreme chroma, both ranges, every chroma layout, widths around the vector's 32 pixels; nothing
// is written past the end.
TEST(Convert, EightBitYcbcrRowsMatchThePixelConversion) {
    std::vector<std::pair<const char*, const Ycbcr8Rows*>> forms;
#if defined(KORVANE_HAVE_YCBCR_VECTORS)
    if (tier_runs_here(CpuTier::avx512)) forms.emplace_back("avx512", &kYcbcr8RowsAvx512);
#endif
    EXPECT_EQ(ycbcr8_rows(), forms.empty() ? nullptr : forms.front().second);
    std::mt19937 rng(37);
    const auto code = [&] { return static_cast<std::uint8_t>(rng() >> 24); };
    const std::size_t widths[] = {1, 2, 7, 31, 32, 33, 64, 95, 1921};
    for (const auto& [name, rows] : forms)
        for (const bool full : {false, true}) {
            SCOPED_TRACE(std::string(name) + (full ? " full range" : " limited range"));
            const YcbcrScale scale{8, full};
            const Ycbcr8Codes codes = ycbcr8_codes(full);
            std::int16_t luma[256], chroma[256];
            for (int v = 0; v < 256; ++v) {
                luma[v] = luma_to_host(v, scale);
                chroma[v] = chroma_to_host(v, scale);
            }
            for (const std::size_t w : widths)
                for (const int shift_x : {0, 1})
                    for (const bool mono : {false, true}) {
                        SCOPED_TRACE(std::to_string(w) + " wide, shift " + std::to_string(shift_x) +
                                     (mono ? ", mono" : ""));
                        const std::size_t cw = (w + shift_x) >> shift_x;
                        std::vector<std::uint8_t> y(w), cb(cw), cr(cw);
                        for (std::size_t x = 0; x < w; ++x)
                            y[x] = x < 256 ? static_cast<std::uint8_t>(x) : code();
                        for (std::size_t c = 0; c < cw; ++c) {
                            cb[c] = c < 256 ? static_cast<std::uint8_t>(255 - c) : code();
                            cr[c] = code();
                        }
                        std::vector<YcPixel> out(w + 1, YcPixel{7, 7, 7});
                        rows->to_host(y.data(), cb.data(), cr.data(), w, shift_x, mono, luma,
                                      chroma, out.data());
                        for (std::size_t x = 0; x < w; ++x) {
                            const std::size_t c = x >> shift_x;
                            const YcPixel want{luma[y[x]], mono ? std::int16_t{0} : chroma[cb[c]],
                                               mono ? std::int16_t{0} : chroma[cr[c]]};
                            ASSERT_TRUE(out[x].y == want.y && out[x].cb == want.cb &&
                                        out[x].cr == want.cr)
                                << "pixel " << x;
                        }
                        ASSERT_EQ(out[w].y + out[w].cb + out[w].cr, 21) << "written past the end";
                    }
            // Luma: every int16 value, in runs whose ends fall anywhere in a vector.
            std::vector<YcPixel> pixels(65536 + 40);
            for (std::size_t i = 0; i < pixels.size(); ++i)
                pixels[i] = {static_cast<std::int16_t>(i - 32768), static_cast<std::int16_t>(i),
                             static_cast<std::int16_t>(~i)};
            for (const std::size_t n :
                 {std::size_t{65536 + 40}, std::size_t{65536 + 17}, std::size_t{5}}) {
                std::vector<std::uint8_t> got(n + 1, 77);
                rows->luma_from_host(pixels.data(), n, codes, got.data());
                for (std::size_t i = 0; i < n; ++i)
                    ASSERT_EQ(got[i], luma_from_host(pixels[i].y, scale)) << "Y " << pixels[i].y;
                ASSERT_EQ(got[n], 77) << "written past the end";
            }
            // Chroma: the mean of 1, 2 or 4 samples, random or at the ends of int16.
            for (const std::size_t count : {1, 15, 16, 17, 100})
                for (const int shift_x : {0, 1})
                    for (const bool two_rows : {false, true}) {
                        const std::size_t w = count << shift_x;
                        std::vector<YcPixel> top(w), bottom(w);
                        for (auto* row : {&top, &bottom})
                            for (YcPixel& p : *row) {
                                const auto sample = [&]() -> std::int16_t {
                                    const auto r = static_cast<std::uint32_t>(rng());
                                    if (r % 4 == 0) return r % 8 == 0 ? -32768 : 32767;
                                    return static_cast<std::int16_t>(r >> 16);
                                };
                                p = {0, sample(), sample()};
                            }
                        std::vector<std::uint8_t> cb(count + 1, 77), cr(count + 1, 77);
                        rows->chroma_from_host(top.data(), two_rows ? bottom.data() : nullptr,
                                               count, shift_x, codes, cb.data(), cr.data());
                        const int shift = shift_x + (two_rows ? 1 : 0);
                        const auto mean = [&](std::int32_t sum) {
                            return static_cast<std::int32_t>(
                                div_round(sum, std::int64_t{1} << shift));
                        };
                        for (std::size_t c = 0; c < count; ++c) {
                            std::int32_t b = 0, r = 0;
                            for (std::size_t x = c << shift_x; x < (c + 1) << shift_x; ++x) {
                                b += top[x].cb + (two_rows ? bottom[x].cb : 0);
                                r += top[x].cr + (two_rows ? bottom[x].cr : 0);
                            }
                            ASSERT_EQ(cb[c], chroma_from_host(mean(b), scale)) << "Cb sum " << b;
                            ASSERT_EQ(cr[c], chroma_from_host(mean(r), scale)) << "Cr sum " << r;
                        }
                        ASSERT_EQ(cb[count] + cr[count], 154) << "written past the end";
                    }
        }
}

}  // namespace
}  // namespace korvane::cli
