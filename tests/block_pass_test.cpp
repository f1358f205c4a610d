// The shifted-grid block pass: coefficient shaping, the shift table, tiling and border
// completion (every pixel of a plane gains exactly one value per batch), and the wrapping adds.
#include "engine/block_pass.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <utility>

#include "engine/dct.h"
#include "tests/frame_util.h"
#include "tests/model/reference.h"

namespace korvane {
namespace {

using test::TestFrame;
using Block = std::array<std::int32_t, 64>;

TEST(Shaping, LumaRequantisesAndChromaClearsBelowThreshold) {
    struct Case {
        std::int32_t threshold, quant, in, luma, chroma;
    };
    const Case cases[] = {
        {24, 8, 23, 16, 0},     {24, 8, -23, -16, 0}, {24, 8, 5, 0, 0},     {24, 8, 24, 24, 24},
        {24, 8, -24, -24, -24}, {24, 8, 16, 16, 0},   {24, 8, 13, 8, 0},    {24, 8, -13, -8, 0},
        {0, 8, 5, 5, 5},        {0, 8, -1, -1, -1},   {24, 1, 23, 23, 0},   {24, 1, -7, -7, 0},
        {10, 16, 9, 0, 0},      {10, 16, -9, 0, 0},   {10, 10, 10, 10, 10}, {255, 200, 254, 200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "threshold " << c.threshold << " quant " << c.quant << " value " << c.in);
        Block luma, chroma;
        luma.fill(c.in);
        chroma.fill(c.in);
        shape_luma(luma.data(), c.threshold, c.quant);
        shape_chroma(chroma.data(), c.threshold);
        EXPECT_EQ(luma[0], c.in);  // the DC is never shaped
        EXPECT_EQ(chroma[0], c.in);
        for (std::size_t i = 1; i < 64; ++i) {
            ASSERT_EQ(luma[i], c.luma) << i;
            ASSERT_EQ(chroma[i], c.chroma) << i;
        }
    }
}

TEST(ShiftTable, HoldsFiftySevenPositionsWithTheUnshiftedGridLast) {
    std::set<std::pair<int, int>> distinct;
    for (const ShiftPosition& s : ShiftTable) {
        ASSERT_GE(s.x0, 0);
        ASSERT_LE(s.x0, 7);
        ASSERT_GE(s.y0, 0);
        ASSERT_LE(s.y0, 7);
        distinct.insert({s.x0, s.y0});
    }
    EXPECT_EQ(distinct.size(), 57u);
    for (auto missing : {std::pair{0, 6}, {1, 0}, {2, 2}, {2, 5}, {3, 4}, {5, 5}, {6, 7}})
        EXPECT_EQ(distinct.count(missing), 0u);
    for (auto [a, b] : {std::pair{0, 40}, {1, 20}, {2, 41}, {3, 16}, {4, 51}, {6, 11}, {7, 30}}) {
        EXPECT_EQ(ShiftTable[a].x0, ShiftTable[b].x0);
        EXPECT_EQ(ShiftTable[a].y0, ShiftTable[b].y0);
    }
    EXPECT_EQ(ShiftTable[63].x0, 0);
    EXPECT_EQ(ShiftTable[63].y0, 0);
    const std::pair<int, int> first[] = {{3, 1}, {1, 4}, {4, 7}, {7, 3}};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(std::pair(ShiftTable[i].x0, ShiftTable[i].y0), first[i]);
    // Indices past the table wrap around it.
    for (int i : {64, 65, 127, 1000}) {
        EXPECT_EQ(shift_position(i).x0, ShiftTable[static_cast<std::size_t>(i % 64)].x0);
        EXPECT_EQ(shift_position(i).y0, ShiftTable[static_cast<std::size_t>(i % 64)].y0);
    }
}

// Adds one layer of `shift_index` to a zeroed plane (or `plane` as given) and returns it.
std::vector<YcPixel> run_block_worker(TestFrame& frame, std::int32_t shift_index,
                                      std::vector<YcPixel> plane = {}, std::int32_t threshold = 24,
                                      std::int32_t quant = 8) {
    if (plane.empty()) plane.resize(static_cast<std::size_t>(frame.w) * frame.h);
    model::add_layer(kernels_for(CpuTier::scalar), frame.view(), plane.data(), shift_index,
                     threshold, quant);
    return plane;
}

TEST(BlockPass, EveryPixelGainsExactlyOneValueForEverySizeAndShift) {
    // A flat frame reconstructs exactly, so a plane equal to the frame means one value per pixel;
    // a pixel covered twice or never would show 2 or 0 times the sample.
    const std::pair<int, int> sizes[] = {{1, 1},   {8, 8},   {9, 9},   {15, 9},  {16, 16},
                                         {16, 20}, {17, 23}, {64, 48}, {65, 49}, {3, 40}};
    for (auto [w, h] : sizes) {
        TestFrame frame(w, h, w + 3);
        test::fill(frame, {1, 2, -3});
        for (std::int32_t i = 0; i < 66; ++i) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << " shift index " << i);
            const std::vector<YcPixel> plane = run_block_worker(frame, i);
            for (const YcPixel& p : plane) ASSERT_EQ(p, (YcPixel{1, 2, -3}));
        }
    }
}

// The block rectangle of a shift, counted the way the tiling rule states it.
struct Rect {
    int x0, y0, xe, ye;
};
Rect block_rect(int w, int h, ShiftPosition s) {
    auto count = [](int size, int start) { return std::max(0, (size - 8 - start + 7) / 8); };
    return {s.x0, s.y0, s.x0 + 8 * count(w, s.x0), s.y0 + 8 * count(h, s.y0)};
}

TEST(BlockPass, SourceFillsExactlyThePixelsOutsideTheBlocks) {
    // Stated cases: 16x16 under (0, 0) and (7, 7); 16x20 under (0, 0) and (0, 5).
    struct Case {
        int w, h;
        ShiftPosition shift;
        Rect expect;
    };
    const Case stated[] = {{16, 16, {0, 0}, {0, 0, 8, 8}},   {16, 16, {7, 7}, {7, 7, 15, 15}},
                           {16, 20, {0, 0}, {0, 0, 8, 16}},  {16, 20, {0, 5}, {0, 5, 8, 13}},
                           {64, 48, {0, 0}, {0, 0, 56, 40}}, {8, 30, {3, 1}, {3, 1, 3, 25}}};
    for (const Case& c : stated) {
        const Rect r = block_rect(c.w, c.h, c.shift);
        EXPECT_EQ(r.xe, c.expect.xe);
        EXPECT_EQ(r.ye, c.expect.ye);
    }
    for (int w : {1, 8, 9, 16, 23, 64}) {
        for (int h : {1, 8, 9, 16, 20, 31}) {
            TestFrame frame(w, h);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    frame.at(x, y) = {static_cast<std::int16_t>(1 + x + 64 * y), 7, -7};
            for (const ShiftPosition& s : ShiftTable) {
                std::vector<YcPixel> plane(static_cast<std::size_t>(w) * h, YcPixel{0, 0, 0});
                fill_uncovered(kernels_for(CpuTier::scalar), frame.view(),
                               PlaneRows{plane.data(), 0, w}, s, 0, h);
                const Rect r = block_rect(w, h, s);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const bool inside = x >= r.x0 && x < r.xe && y >= r.y0 && y < r.ye;
                        const YcPixel want = inside ? YcPixel{0, 0, 0} : frame.at(x, y);
                        ASSERT_EQ(plane[static_cast<std::size_t>(y * w + x)], want)
                            << w << "x" << h << " shift (" << s.x0 << "," << s.y0 << ") at " << x
                            << "," << y;
                    }
            }
        }
    }
}

TEST(BlockPass, BlockIsReconstructedInPlaceAndTheRestIsSource) {
    // 16x16 under (0, 0) (entry 63): one block at columns 0..7, rows 0..7.
    std::mt19937 rng(21);
    TestFrame frame(16, 16, 19);
    std::uniform_int_distribution<int> dist(0, 200);
    for (YcPixel& p : frame.pixels)
        p = {static_cast<std::int16_t>(dist(rng)), static_cast<std::int16_t>(dist(rng) - 100),
             static_cast<std::int16_t>(dist(rng) - 100)};
    const std::vector<YcPixel> plane = run_block_worker(frame, 63, {}, 30, 6);

    Block y, cb, cr;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const YcPixel& p = frame.at(c, r);
            const auto i = static_cast<std::size_t>(8 * r + c);
            y[i] = p.y, cb[i] = p.cb, cr[i] = p.cr;
        }
    for (Block* b : {&y, &cb, &cr}) fdct_8x8(b->data());
    shape_luma(y.data(), 30, 6);
    shape_chroma(cb.data(), 30);
    shape_chroma(cr.data(), 30);
    for (Block* b : {&y, &cb, &cr}) idct_8x8(b->data());

    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 16; ++c) {
            const YcPixel got = plane[static_cast<std::size_t>(16 * r + c)];
            YcPixel want = frame.at(c, r);
            if (r < 8 && c < 8) {
                const auto i = static_cast<std::size_t>(8 * r + c);
                want = {static_cast<std::int16_t>(y[i]), static_cast<std::int16_t>(cb[i]),
                        static_cast<std::int16_t>(cr[i])};
            }
            ASSERT_EQ(got, want) << c << "," << r;
        }
}

TEST(BlockPass, AddsWrapInSixteenBits) {
    TestFrame frame(20, 20);
    test::fill(frame, {1, -1, 2});
    std::vector<YcPixel> plane(400, YcPixel{32767, -32768, 32766});
    plane = run_block_worker(frame, 0, std::move(plane));
    for (const YcPixel& p : plane) ASSERT_EQ(p, (YcPixel{-32768, 32767, -32768}));
}

TEST(BlockPass, ReadsNothingBeyondTheWidthOfARow) {
    std::mt19937 rng(8);
    TestFrame packed(37, 29);
    test::fill_random(packed, rng);
    TestFrame strided(37, 29, 45);
    for (int y = 0; y < 29; ++y) {
        for (int x = 0; x < 37; ++x) strided.at(x, y) = packed.at(x, y);
        for (int x = 37; x < 45; ++x) strided.at(x, y) = {32767, -32768, 12345};
    }
    for (int i : {0, 17, 63}) {
        const auto a = run_block_worker(packed, i);
        const auto b = run_block_worker(strided, i);
        ASSERT_EQ(a, b) << i;
    }
}

TEST(BlockPass, ExtremeVerticallyConstantColumnsTakeTheShortcutValue) {
    // Working-scale columns of 2047 and -2048 under the unshifted grid: the inverse transform's
    // scratch values pass +-2^18, where its column shortcut gives 255 and -256 but a wrapped
    // full kernel would flip some -256 to 255. Every covered pixel keeps its column's sign.
    const std::int16_t pattern[8] = {2047, -2048, -2048, -2048, 2047, -2048, 2047, -2048};
    TestFrame frame(33, 17);
    for (std::int32_t y = 0; y < frame.h; ++y)
        for (std::int32_t x = 0; x < frame.w; ++x) {
            const std::int16_t v = pattern[x % 8];
            frame.at(x, y) = {v, v, v};
        }
    const std::vector<YcPixel> plane = run_block_worker(frame, 63, {}, 0, 1);
    for (std::int32_t y = 0; y < 8; ++y)
        for (std::int32_t x = 0; x < 24; ++x) {
            const std::int16_t want = pattern[x % 8] > 0 ? 255 : -256;
            ASSERT_EQ(plane[static_cast<std::size_t>(y * frame.w + x)], (YcPixel{want, want, want}))
                << x << "," << y;
        }
}

}  // namespace
}  // namespace korvane
