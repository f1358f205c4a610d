// The DCT pair's exact values: each case shows one property of the fixed-point arithmetic
// (orientation, truncated constants, shifts without a rounding addend, DC rounding, clamping).
#include "engine/dct.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <numbers>
#include <random>

namespace korvane {
namespace {

using Block = std::array<std::int32_t, 64>;

Block flat(std::int32_t v) {
    Block b;
    b.fill(v);
    return b;
}

Block single(int index, std::int32_t v) {
    Block b{};
    b[static_cast<std::size_t>(index)] = v;
    return b;
}

Block forward(Block b) {
    fdct_8x8(b.data());
    return b;
}

Block inverse(Block b) {
    idct_8x8(b.data());
    return b;
}

std::array<std::int32_t, 8> row(const Block& b, int r) {
    std::array<std::int32_t, 8> out;
    for (int c = 0; c < 8; ++c)
        out[static_cast<std::size_t>(c)] = b[static_cast<std::size_t>(8 * r + c)];
    return out;
}

std::array<std::int32_t, 8> column(const Block& b, int c) {
    std::array<std::int32_t, 8> out;
    for (int r = 0; r < 8; ++r)
        out[static_cast<std::size_t>(r)] = b[static_cast<std::size_t>(8 * r + c)];
    return out;
}

using Eight = std::array<std::int32_t, 8>;

TEST(Dct, FlatBlocksGiveDcOnlyAndComeBackClamped) {
    struct Case {
        std::int32_t value, dc, back;
    };
    for (const Case c : {Case{100, 800, 100}, Case{256, 2048, 255}, Case{-257, -2056, -256},
                         Case{0, 0, 0}, Case{-256, -2048, -256}}) {
        SCOPED_TRACE(c.value);
        const Block coeff = forward(flat(c.value));
        EXPECT_EQ(coeff[0], c.dc);
        for (std::size_t i = 1; i < 64; ++i) EXPECT_EQ(coeff[i], 0) << i;
        EXPECT_EQ(inverse(coeff), flat(c.back));
    }
}

TEST(Dct, DcIsRoundedMeanTimesEight) {
    struct Case {
        std::int32_t sample, dc;
    };
    for (const Case c : {Case{4, 1}, Case{3, 0}, Case{-4, 0}, Case{-5, -1}}) {
        SCOPED_TRACE(c.sample);
        for (int pos : {0, 27, 63}) EXPECT_EQ(forward(single(pos, c.sample))[0], c.dc) << pos;
    }
    // (S + 4) >> 3 for random blocks in the nominal range.
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int32_t> dist(-128, 128);
    for (int n = 0; n < 200; ++n) {
        Block b;
        std::int32_t sum = 0;
        for (auto& v : b) sum += v = dist(rng);
        EXPECT_EQ(forward(b)[0], (sum + 4) >> 3);
    }
}

TEST(Dct, InverseOfDcOnlyBlock) {
    struct Case {
        std::int32_t dc, value;
    };
    for (const Case c : {Case{12, 2}, Case{-12, -1}, Case{4, 1}, Case{-4, 0}, Case{3, 0},
                         Case{8000, 255}, Case{-8000, -256}, Case{2047, 255}, Case{-2049, -256}}) {
        SCOPED_TRACE(c.dc);
        EXPECT_EQ(inverse(single(0, c.dc)), flat(c.value));
    }
}

TEST(Dct, ImpulseGivesStatedCoefficientRows) {
    const Block coeff = forward(single(0, 100));
    EXPECT_EQ(row(coeff, 0), (Eight{13, 17, 16, 15, 13, 10, 7, 3}));
    EXPECT_EQ(row(coeff, 1), (Eight{17, 24, 23, 20, 17, 14, 9, 5}));
}

TEST(Dct, ConstantsAreTruncatedNotRounded) {
    Block b;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) b[static_cast<std::size_t>(8 * r + c)] = 22 * c;
    const Block coeff = forward(b);
    EXPECT_EQ(row(coeff, 0), (Eight{616, -401, 0, -42, 0, -12, 0, -3}));
    for (int r = 1; r < 8; ++r) EXPECT_EQ(row(coeff, r), Eight{}) << r;
}

TEST(Dct, FirstPassesShiftWithoutAddend) {
    // Forward row pass: with an addend element 22 would be -1.
    EXPECT_EQ(forward(single(1, 7))[22], -2);
    // Inverse row pass: with an addend the second value would be 3.
    const Block out = inverse(single(1, 17));
    for (int r = 0; r < 8; ++r) EXPECT_EQ(row(out, r), (Eight{3, 2, 2, 1, -1, -2, -2, -3})) << r;
}

TEST(Dct, InverseOrientation) {
    const Eight wave = {17, 15, 10, 3, -3, -10, -15, -17};
    const Block horizontal = inverse(single(1, 100));
    const Block vertical = inverse(single(8, 100));
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(row(horizontal, i), wave) << i;
        EXPECT_EQ(column(vertical, i), wave) << i;
    }
}

TEST(Dct, ForwardMatchesOrthonormalDctWithinOne) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<std::int32_t> dist(0, 256);
    for (int n = 0; n < 100; ++n) {
        Block b;
        for (auto& v : b) v = dist(rng);
        const Block coeff = forward(b);
        for (int u = 0; u < 8; ++u)
            for (int v = 0; v < 8; ++v) {
                double sum = 0;
                for (int r = 0; r < 8; ++r)
                    for (int c = 0; c < 8; ++c)
                        sum += b[static_cast<std::size_t>(8 * r + c)] *
                               std::cos((2 * r + 1) * u * std::numbers::pi / 16) *
                               std::cos((2 * c + 1) * v * std::numbers::pi / 16);
                const double cu = u == 0 ? std::numbers::sqrt2 / 2 : 1;
                const double cv = v == 0 ? std::numbers::sqrt2 / 2 : 1;
                EXPECT_NEAR(coeff[static_cast<std::size_t>(8 * u + v)], 0.25 * cu * cv * sum, 1.0)
                    << u << "," << v;
            }
    }
}

TEST(Dct, RoundTripWithinOneMostlyAndTwoAtMost) {
    std::mt19937 rng(3);
    int off_by_two = 0;
    for (int n = 0; n < 2000; ++n) {
        const std::int32_t low = std::uniform_int_distribution<std::int32_t>(-256, 0)(rng);
        std::uniform_int_distribution<std::int32_t> dist(low, low + 255);
        Block b;
        for (auto& v : b) v = dist(rng);
        const Block back = inverse(forward(b));
        for (std::size_t i = 0; i < 64; ++i) {
            const std::int32_t diff = std::abs(back[i] - b[i]);
            ASSERT_LE(diff, 2) << "block " << n << " element " << i;
            off_by_two += diff == 2;
        }
    }
    EXPECT_LT(off_by_two, 2000 * 64 / 1000);  // rare
}

TEST(Dct, InverseOutputAlwaysClampedAndDefinedOnExtremeInputs) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<std::int32_t> any(INT32_MIN, INT32_MAX);
    for (int n = 0; n < 2000; ++n) {
        Block b;
        for (auto& v : b) v = any(rng);
        for (std::int32_t v : inverse(b)) {
            ASSERT_GE(v, -256);
            ASSERT_LE(v, 255);
        }
        forward(b);  // defined (wrapping) for any input: the sanitizer build checks this
    }
}

TEST(Dct, ColumnShortcutValueWinsWhereTheFullKernelWouldWrap) {
    // Vertically constant columns of the extreme working-scale samples 2047 and -2048. The
    // inverse row pass leaves scratch values just past +-2^18 (e.g. -262219 in column 1) with
    // all-zero rows below, so every column takes the shortcut (s + 64) >> 7. The full kernel
    // would compute (s << 13) + 2^19, which wraps for |s| > 262143 and flips -256 to 255.
    const Eight columns = {2047, -2048, -2048, -2048, 2047, -2048, 2047, -2048};
    Block b;
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            b[static_cast<std::size_t>(8 * r + c)] = columns[static_cast<std::size_t>(c)];
    const Block back = inverse(forward(b));
    for (int c = 0; c < 8; ++c)
        for (std::int32_t v : column(back, c))
            EXPECT_EQ(v, columns[static_cast<std::size_t>(c)] > 0 ? 255 : -256) << "column " << c;
    // A DC-only block past the table's reach saturates as well.
    EXPECT_EQ(inverse(single(0, 1 << 20)), flat(255));
    EXPECT_EQ(inverse(single(0, -(1 << 20))), flat(-256));
}

TEST(Dct, ClampTable) {
    EXPECT_EQ(IdctClampTable[0], -256);
    EXPECT_EQ(IdctClampTable[256], -256);
    EXPECT_EQ(IdctClampTable[257], -255);
    EXPECT_EQ(IdctClampTable[512], 0);
    EXPECT_EQ(IdctClampTable[767], 255);
    EXPECT_EQ(IdctClampTable[1023], 255);
    for (std::int32_t v : {INT32_MIN, -513, -512, -257, -256, 255, 256, 511, 512, INT32_MAX})
        EXPECT_EQ(idct_clamp(v), std::clamp(v, -256, 255)) << v;
}

}  // namespace
}  // namespace korvane
