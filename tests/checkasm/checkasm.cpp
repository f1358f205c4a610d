// Every vector kernel against the scalar one, tier by tier, in the manner of dav1d's checkasm.
//
// Each test runs the same kernel of the scalar table and of one vector tier on copies of the
// same random input and requires identical bytes in every output buffer, and intact guard bytes
// around every buffer. Inputs mix random values with the extremes where a vector form could
// part from the scalar one: full int16 frames, blocks spanning the whole range so that 32-bit
// intermediates wrap, coefficients at every threshold and quant boundary, all-zero rows and
// columns, and coefficient rows whose inverse column pass wraps where the shortcut does not.
//
// The random start value is printed; `korvane_checkasm --start=N` replays a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "aviutl/filter_descriptor.h"
#include "aviutl/frame_callback.h"
#include "engine/block_pass.h"
#include "engine/cpu.h"
#include "engine/dct.h"
#include "engine/engine.h"
#include "engine/group_kernels.h"
#include "engine/kernels.h"
#include "tests/hosts/inprocess/host.h"
#include "tests/model/reference.h"

namespace korvane {

void PrintTo(CpuTier tier, std::ostream* os) { *os << tier_name(tier); }

namespace {

std::uint64_t g_start = 0;

constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();

// A buffer of T with kGuard guard bytes on each side, filled with a pattern that is checked.
template <typename T>
class Guarded {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr unsigned char kPattern = 0xA5;

    explicit Guarded(std::size_t count) : count_(count), bytes_(count * sizeof(T) + 2 * kGuard) {
        std::memset(bytes_.data(), kPattern, kGuard);
        std::memset(bytes_.data() + kGuard + count * sizeof(T), kPattern, kGuard);
    }
    Guarded(const Guarded& o) = default;
    Guarded& operator=(const Guarded& o) = default;

    T* data() { return reinterpret_cast<T*>(bytes_.data() + kGuard); }
    const T* data() const { return reinterpret_cast<const T*>(bytes_.data() + kGuard); }
    std::size_t size() const { return count_; }
    T& operator[](std::size_t i) { return data()[i]; }

    bool guards_intact() const {
        for (std::size_t i = 0; i < kGuard; ++i)
            if (bytes_[i] != kPattern || bytes_[bytes_.size() - 1 - i] != kPattern) return false;
        return true;
    }
    bool same(const Guarded& o) const {
        return count_ == o.count_ && std::memcmp(data(), o.data(), count_ * sizeof(T)) == 0;
    }
    // Index of the first differing element, or size().
    std::size_t first_difference(const Guarded& o) const {
        for (std::size_t i = 0; i < count_; ++i)
            if (std::memcmp(data() + i, o.data() + i, sizeof(T)) != 0) return i;
        return count_;
    }

private:
    std::size_t count_;
    std::vector<unsigned char> bytes_;
};

using Group = Guarded<std::int32_t>;
using Pixels = Guarded<YcPixel>;

// Identical elements and intact guard bytes on both sides.
template <typename T>
::testing::AssertionResult same_buffer(const Guarded<T>& ref, const Guarded<T>& got) {
    if (!ref.guards_intact()) return ::testing::AssertionFailure() << "scalar guard bytes hit";
    if (!got.guards_intact()) return ::testing::AssertionFailure() << "guard bytes overwritten";
    if (!ref.same(got))
        return ::testing::AssertionFailure()
               << "first difference at element " << ref.first_difference(got);
    return ::testing::AssertionSuccess();
}

class Rng {
public:
    explicit Rng(const std::string& name) : gen_(g_start ^ std::hash<std::string>{}(name)) {}
    std::int32_t in(std::int32_t lo, std::int32_t hi) {
        return std::uniform_int_distribution<std::int32_t>(lo, hi)(gen_);
    }
    std::int32_t any32() { return in(kI32Min, kI32Max); }
    std::int16_t any16() { return static_cast<std::int16_t>(in(-32768, 32767)); }
    bool chance(int percent) { return in(0, 99) < percent; }

private:
    std::mt19937_64 gen_;
};

std::string test_name() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

// ---------------------------------------------------------------------------------------------
// Input makers.

// Sample blocks: nominal (span <= 256 within -2048..2047), full int16, full int32 (wraps in
// the first pass), or one of two extremes per block.
void fill_samples(Rng& rng, std::int32_t* group, int kind) {
    for (int b = 0; b < kGroupBlocks; ++b) {
        const std::int32_t base = rng.in(-2048, 2047 - 256);
        const int block_kind = kind == 3 ? rng.in(0, 2) : kind;
        const std::int32_t ext = rng.chance(50) ? 32767 : -32768;
        for (int e = 0; e < 64; ++e) {
            std::int32_t& v = group[e * kGroupBlocks + b];
            switch (block_kind) {
                case 0:
                    v = base + rng.in(0, 256);
                    break;
                case 1:
                    v = static_cast<std::int32_t>(rng.any16());
                    break;
                case 2:
                    v = rng.any32();
                    break;
                default:
                    break;
            }
            if (kind == 3 && block_kind == 2) v = ((e + b) & 1) ? ext : -ext - 1;
        }
    }
}

// Coefficient blocks for the inverse, each block of a random kind: realistic (forward output of
// a nominal block), sparse with whole rows and columns zero, full int32, or row 0 alone with
// values far beyond +-262000 (the column pass then takes the shortcut while the full kernel,
// whose DC term is shifted left by 13, would wrap).
void fill_coefficients(Rng& rng, std::int32_t* group) {
    std::int32_t block[64];
    for (int b = 0; b < kGroupBlocks; ++b) {
        const int kind = rng.in(0, 4);
        for (int e = 0; e < 64; ++e) block[e] = 0;
        if (kind == 0) {
            const std::int32_t base = rng.in(-2048, 2047 - 256);
            for (int e = 0; e < 64; ++e) block[e] = base + rng.in(0, 256);
            fdct_8x8(block);
        } else if (kind == 1) {
            const int zero_rows = rng.in(0, 255), zero_cols = rng.in(0, 255);
            for (int e = 0; e < 64; ++e) {
                if ((zero_rows >> (e / 8) & 1) || (zero_cols >> (e % 8) & 1)) continue;
                block[e] = rng.chance(30) ? rng.in(-300, 300) : 0;
            }
            if (rng.chance(50)) block[0] = rng.in(-20000, 20000);
        } else if (kind == 2) {
            for (int e = 0; e < 64; ++e) block[e] = rng.chance(80) ? rng.any32() : 0;
        } else if (kind == 3) {
            const std::int32_t mag = rng.chance(50) ? rng.in(262000, 1 << 24) : kI32Max;
            for (int c = 0; c < 8; ++c)
                block[c] = rng.chance(70) ? (rng.chance(50) ? mag : -mag) : rng.any32();
        } else {
            block[0] = rng.chance(50) ? rng.any32() : rng.in(-9000, 9000);
        }
        for (int e = 0; e < 64; ++e) group[e * kGroupBlocks + b] = block[e];
    }
}

// Coefficients around the shaping boundaries of (threshold, quant): +-threshold and its
// neighbours, multiples of quant and their neighbours, 0 and the int32 extremes.
void fill_boundaries(Rng& rng, std::int32_t* group, std::int32_t th, std::int32_t q) {
    const std::int64_t d = q < 0 ? -static_cast<std::int64_t>(q) : q;
    for (int i = 0; i < kGroupElements; ++i) {
        std::int64_t v = 0;
        switch (rng.in(0, 5)) {
            case 0:
                v = static_cast<std::int64_t>(rng.chance(50) ? th : -th) + rng.in(-2, 2);
                break;
            case 1:
                v = d * rng.in(-40, 40) + rng.in(-1, 1);
                break;
            case 2:
                v = rng.in(-th, th);
                break;
            case 3:
                v = rng.chance(50) ? kI32Min : kI32Max;
                break;
            case 4:
                v = rng.any16();
                break;
            default:
                v = rng.in(-1, 1);
                break;
        }
        if (v < kI32Min) v = kI32Min;
        if (v > kI32Max) v = kI32Max;
        group[i] = static_cast<std::int32_t>(v);
    }
}

void fill_pixels(Rng& rng, YcPixel* p, std::size_t n, bool nominal) {
    for (std::size_t i = 0; i < n; ++i) {
        if (nominal)
            p[i] = {static_cast<std::int16_t>(rng.in(0, 256)),
                    static_cast<std::int16_t>(rng.in(-128, 128)),
                    static_cast<std::int16_t>(rng.in(-128, 128))};
        else
            p[i] = {rng.any16(), rng.any16(), rng.any16()};
    }
}

// A frame of vertically constant columns of extreme values: every block's coefficients are
// row 0 alone, and they are large enough to wrap the inverse's full column kernel.
void fill_constant_columns(Rng& rng, YcPixel* p, std::int32_t w, std::int32_t h,
                           std::int32_t stride) {
    std::vector<YcPixel> column(static_cast<std::size_t>(w));
    for (auto& c : column) {
        auto pick = [&] {
            return static_cast<std::int16_t>(rng.chance(50) ? rng.in(32000, 32767)
                                                            : rng.in(-32768, -32000));
        };
        c = {pick(), pick(), pick()};
    }
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            p[static_cast<std::size_t>(y) * stride + x] = column[static_cast<std::size_t>(x)];
}

// A smooth frame: each channel a level of its own with noise of at most +-amplitude, so that
// many blocks' coefficients all fall below a threshold and some do not.
void fill_smooth(Rng& rng, YcPixel* p, std::size_t n, std::int32_t amplitude) {
    const std::int32_t y = rng.in(0, 256), cb = rng.in(-128, 128), cr = rng.in(-128, 128);
    for (std::size_t i = 0; i < n; ++i)
        p[i] = {static_cast<std::int16_t>(y + rng.in(-amplitude, amplitude)),
                static_cast<std::int16_t>(cb + rng.in(-amplitude, amplitude)),
                static_cast<std::int16_t>(cr + rng.in(-amplitude, amplitude))};
}

// Shaping of a block row: thresholds and quants of the whole int16 range, or, for smooth frames,
// small ones (1..40), so that some blocks are left with their DC alone; chroma's threshold the
// luma one or its own.
ShapeParams random_shape_params(Rng& rng, bool smooth) {
    const auto th = static_cast<std::int16_t>(
        smooth ? rng.in(1, 40) : (rng.chance(50) ? rng.in(0, 255) : rng.any16()));
    const auto quant = static_cast<std::int16_t>(
        smooth ? rng.in(1, 40) : (rng.chance(50) ? rng.in(1, 255) : rng.in(1, 32767)));
    return make_shape_params(th, quant, rng.chance(50) ? th : rng.in(0, smooth ? 40 : 255));
}

// ---------------------------------------------------------------------------------------------
// One vector tier against the scalar table.

class Checkasm : public ::testing::TestWithParam<CpuTier> {
protected:
    void SetUp() override {
        if (!tier_runs_here(GetParam()))
            GTEST_SKIP() << tier_name(GetParam())
                         << " is not available on this machine or in this build";
        ref_table_ = kernels_for(CpuTier::scalar);
        got_table_ = kernels_for(GetParam());
        gref_ = group_kernels_for(CpuTier::scalar);
        ggot_ = group_kernels_for(GetParam());
        ASSERT_NE(ggot_, nullptr);
    }

    // The plug-in's frame steps on `host` with the table and scratch given.
    static std::int32_t filter_frame_with(Host& host, const Kernels& kernels, Scratch& scratch,
                                          YcPixel* pixels, std::int32_t w, std::int32_t h,
                                          std::int32_t stride) {
        return host.filter_with(
            [&](FilterState* state, FrameInfo* frame) {
                return filter_host_frame(state, frame, kernels, scratch);
            },
            pixels, w, h, stride);
    }

    Kernels ref_table_{};
    Kernels got_table_{};
    const Kernels* ref_ = &ref_table_;
    const Kernels* got_ = &got_table_;
    const GroupKernels* gref_ = nullptr;
    const GroupKernels* ggot_ = nullptr;
};

TEST_P(Checkasm, IsItsOwnImplementation) {
    EXPECT_EQ(got_->tier, GetParam());
    EXPECT_EQ(ggot_->tier, GetParam());
    EXPECT_NE(ggot_->fdct, gref_->fdct);
    EXPECT_NE(ggot_->idct, gref_->idct);
    EXPECT_NE(got_->block_row, ref_->block_row);
    EXPECT_NE(got_->blend_row, ref_->blend_row);
    EXPECT_NE(got_->add_pixels, ref_->add_pixels);
    EXPECT_NE(got_->prescale, ref_->prescale);
    // The row-stack steps: the tier's own, or none (the narrow kernels have none).
    EXPECT_EQ(got_->row_pass == nullptr, got_->stack_blocks == nullptr);
    if (got_->row_pass) {
        EXPECT_NE(got_->row_pass, ref_->row_pass);
        EXPECT_NE(got_->stack_blocks, ref_->stack_blocks);
    }
    // A lower tier's table is not this one (each tier writes all of its kernels over the last).
    const Kernels below = kernels_for(static_cast<CpuTier>(static_cast<int>(GetParam()) - 1));
    EXPECT_NE(below.block_row, got_->block_row);
    EXPECT_NE(below.blend_row, got_->blend_row);
}

TEST_P(Checkasm, ForwardTransform) {
    Rng rng(test_name());
    for (int round = 0; round < 400; ++round) {
        Group ref(kGroupElements);
        fill_samples(rng, ref.data(), round % 4);
        Group got = ref;
        gref_->fdct(ref.data());
        ggot_->fdct(got.data());
        EXPECT_TRUE(same_buffer(ref, got));
        if (HasFailure()) return;
    }
}

TEST_P(Checkasm, InverseTransform) {
    Rng rng(test_name());
    for (int round = 0; round < 800; ++round) {
        Group ref(kGroupElements);
        fill_coefficients(rng, ref.data());
        Group got = ref;
        gref_->idct(ref.data());
        ggot_->idct(got.data());
        EXPECT_TRUE(same_buffer(ref, got));
        if (HasFailure()) return;
    }
}

// The column shortcut against the wrapped kernel, made certain: a coefficient row 0 of about
// +-2^30 gives scratch row 0 values whose full column kernel wraps (g0 = c0 << 13). Every other
// block also has a coefficient in row 1, so that vectors mix shortcut lanes with kernel lanes.
TEST_P(Checkasm, InverseTakesTheShortcutWhereTheKernelWraps) {
    Group ref(kGroupElements);
    for (int b = 0; b < kGroupBlocks; ++b) {
        for (int c = 0; c < 8; ++c) {
            ref[static_cast<std::size_t>(c * kGroupBlocks + b)] =
                ((b + c) & 1) ? (1 << 30) : -(1 << 30) + b;
            ref[static_cast<std::size_t>((8 + c) * kGroupBlocks + b)] = (b & 1) ? 3 + c : 0;
        }
    }
    Group got = ref;
    gref_->idct(ref.data());
    ggot_->idct(got.data());
    EXPECT_TRUE(same_buffer(ref, got));
}

// The shortcut at the edges of the range where the kernel does not wrap, which the narrow
// kernels rely on to skip the selection: the row kernel's c0 << 13 wraps from |c0| = 2^18; the
// column DC of a block with a DC alone is 16 c0, and the column kernel's (16 c0 << 13) + 2^19
// wraps from 16 c0 = 2^18 - 64. Even lanes hold the DC alone, odd lanes the same DC with
// coefficients in row 0 and row 1, so that every vector runs the kernel.
TEST_P(Checkasm, InverseShortcutAtTheEdgesOfTheKernelRange) {
    const std::int32_t dcs[] = {(1 << 18) - 1, 1 << 18,        -(1 << 18),    -(1 << 18) - 1,
                                (1 << 14) - 5, (1 << 14) - 4,  (1 << 14) - 1, 1 << 14,
                                -(1 << 14),    -(1 << 14) - 1, (1 << 13) - 1, 1 << 13,
                                -(1 << 13),    -(1 << 13) - 1};
    for (std::int32_t dc : dcs) {
        Group ref(kGroupElements);
        for (int b = 0; b < kGroupBlocks; ++b) {
            for (int e = 0; e < 64; ++e) ref[static_cast<std::size_t>(e * kGroupBlocks + b)] = 0;
            ref[static_cast<std::size_t>(b)] = dc;
            if (b % 2) {
                ref[static_cast<std::size_t>((1 + b % 7) * kGroupBlocks + b)] = 5;
                ref[static_cast<std::size_t>((8 + b % 8) * kGroupBlocks + b)] = -3;
            }
        }
        Group got = ref;
        gref_->idct(ref.data());
        ggot_->idct(got.data());
        EXPECT_TRUE(same_buffer(ref, got)) << "DC " << dc;
    }
}

TEST_P(Checkasm, Shaping) {
    Rng rng(test_name());
    const std::int32_t thresholds[] = {0, 1, 2, 7, 8, 9, 24, 255, 256, 1000, 32767, -1, -24};
    const std::int32_t quants[] = {1, 2, 3, 7, 8, 9, 24, 255, 256, 4097, 32767, -1, -8, -32768};
    const std::size_t count = std::size(thresholds);
    for (std::size_t t = 0; t < count; ++t) {
        const std::int32_t th = thresholds[t];
        // Chroma's threshold: the same, then another of the list.
        for (const std::int32_t ct : {th, thresholds[(t + 5) % count]}) {
            for (std::int32_t q : quants) {
                const ShapeParams params = make_shape_params(th, q, ct);
                for (int round = 0; round < 4; ++round) {
                    Group luma(kGroupElements);
                    fill_boundaries(rng, luma.data(), th, q);
                    Group chroma(kGroupElements);
                    fill_boundaries(rng, chroma.data(), ct, q);
                    Group got_luma = luma, got_chroma = chroma;
                    gref_->shape_luma(luma.data(), params);
                    ggot_->shape_luma(got_luma.data(), params);
                    gref_->shape_chroma(chroma.data(), params);
                    ggot_->shape_chroma(got_chroma.data(), params);
                    EXPECT_TRUE(same_buffer(luma, got_luma))
                        << "threshold " << th << " quant " << q;
                    EXPECT_TRUE(same_buffer(chroma, got_chroma))
                        << "chroma threshold " << ct << " quant " << q;
                    if (HasFailure()) return;
                }
            }
        }
    }
}

// Source rows with room beside the blocks; every block count from 1 to a full group.
TEST_P(Checkasm, GatherAndScatter) {
    Rng rng(test_name());
    for (int blocks = 1; blocks <= kGroupBlocks; ++blocks) {
        for (int round = 0; round < 6; ++round) {
            const std::int32_t stride = 8 * blocks + rng.in(0, 9);
            const std::size_t size = static_cast<std::size_t>(stride) * 8;
            Pixels src(size);
            fill_pixels(rng, src.data(), size, round % 2 == 0);
            const Pixels src_copy = src;
            Group ref(kGroupChannels * kGroupElements), got(kGroupChannels * kGroupElements);
            for (std::size_t i = 0; i < ref.size(); ++i) ref[i] = got[i] = rng.any32();
            gref_->gather(src.data(), stride, blocks, ref.data());
            ggot_->gather(src.data(), stride, blocks, got.data());
            EXPECT_TRUE(same_buffer(ref, got)) << blocks << " blocks";
            EXPECT_TRUE(same_buffer(src_copy, src)) << "gather wrote its source";

            // Scatter: int16-range values (the inverse yields -256..255; extremes included).
            Group values(kGroupChannels * kGroupElements);
            for (std::size_t i = 0; i < values.size(); ++i)
                values[i] = rng.chance(80) ? rng.in(-256, 255) : rng.any16();
            Pixels ref_dst(size);
            fill_pixels(rng, ref_dst.data(), size, false);
            Pixels got_dst = ref_dst;
            gref_->scatter_add(values.data(), ref_dst.data(), stride, blocks);
            ggot_->scatter_add(values.data(), got_dst.data(), stride, blocks);
            EXPECT_TRUE(same_buffer(ref_dst, got_dst)) << blocks << " blocks";
            if (HasFailure()) return;
        }
    }
}

// The composed pass over rows of blocks: several groups and a partial one, source and plane
// rows of different strides, nominal and full-range samples, constant extreme columns, and
// (rounds 6 and 7) smooth frames with small thresholds, where some blocks keep their DC alone.
TEST_P(Checkasm, BlockRow) {
    Rng rng(test_name());
    const std::int32_t counts[] = {1, 7, 15, 16, 17, 33, 40};
    for (std::int32_t blocks : counts) {
        for (int round = 0; round < 8; ++round) {
            const bool smooth = round >= 6;
            const std::int32_t w = 8 * blocks + rng.in(0, 12);
            const std::int32_t stride = w + rng.in(0, 5);
            Pixels src(static_cast<std::size_t>(stride) * 8);
            if (round == 5)
                fill_constant_columns(rng, src.data(), w, 8, stride);
            else if (smooth)
                fill_smooth(rng, src.data(), src.size(), rng.in(0, 6));
            else
                fill_pixels(rng, src.data(), src.size(), round % 2 == 0);
            Pixels ref(static_cast<std::size_t>(w) * 8);
            fill_pixels(rng, ref.data(), ref.size(), false);
            Pixels got = ref;
            const ShapeParams params = random_shape_params(rng, smooth);
            const bool store = round % 3 == 1;  // the first batch's form: store, don't add
            ref_->block_row(src.data(), stride, ref.data(), w, blocks, params, store);
            got_->block_row(src.data(), stride, got.data(), w, blocks, params, store);
            EXPECT_TRUE(same_buffer(ref, got))
                << blocks << " blocks, round " << round << (store ? ", storing" : "");
            if (HasFailure()) return;
        }
    }
}

// The row stack: the row pass of 8 to kStackRows rows of a partial or whole group, and the rest
// of the block pass from each row of it where 8 rows start, added once or several times. The
// scalar pair is also held to what it stands for: block_row on the same pixels, run once per
// copy.
TEST_P(Checkasm, RowStack) {
    if (!got_->row_pass) GTEST_SKIP() << tier_name(GetParam()) << " has no row-stack steps";
    Rng rng(test_name());
    const std::int32_t counts[] = {1, 7, 8, 9, 15, 16};
    const std::size_t stack_size = static_cast<std::size_t>(kGroupChannels) * kStackElements;
    for (std::int32_t blocks : counts) {
        // Rounds 8 and 9 are smooth, with small thresholds: blocks whose coefficients the
        // shaping surely clears but the DC, beside ones where it does not.
        for (int round = 0; round < 10; ++round) {
            const bool smooth = round >= 8;
            const std::int32_t rows = 8 + round % 8;
            const std::int32_t w = 8 * blocks + rng.in(0, 12);
            const std::int32_t stride = w + rng.in(0, 5);
            Pixels src(static_cast<std::size_t>(stride) * rows);
            if (round == 7)
                fill_constant_columns(rng, src.data(), w, rows, stride);
            else if (smooth)
                fill_smooth(rng, src.data(), src.size(), rng.in(0, 6));
            else
                fill_pixels(rng, src.data(), src.size(), round % 2 == 0);
            Group ref_stack(stack_size);
            for (std::size_t i = 0; i < stack_size; ++i) ref_stack.data()[i] = rng.any32();
            Group got_stack = ref_stack;
            ref_->row_pass(src.data(), stride, rows, blocks, ref_stack.data());
            got_->row_pass(src.data(), stride, rows, blocks, got_stack.data());
            EXPECT_TRUE(same_buffer(ref_stack, got_stack))
                << blocks << " blocks, " << rows << " rows";
            if (HasFailure()) return;

            // Round 6 feeds the column pass whatever int32 a stack can hold.
            if (round == 6)
                for (std::size_t i = 0; i < stack_size; ++i)
                    ref_stack.data()[i] = got_stack.data()[i] = rng.any32();
            const ShapeParams params = random_shape_params(rng, smooth);
            // Every row offset of the stack with 0 to 3 copies (at least one with some), the
            // sums of several offsets scattered together.
            for (int trial = 0; trial < 3; ++trial) {
                std::int32_t copies[kStackRows] = {};
                for (std::int32_t top = 0; top + 8 <= rows; ++top)
                    copies[top] = rng.chance(60) ? rng.in(1, 3) : 0;
                copies[rng.in(0, rows - 8)] = rng.in(1, 3);
                Pixels ref(static_cast<std::size_t>(w) * static_cast<std::size_t>(rows));
                fill_pixels(rng, ref.data(), ref.size(), false);
                Pixels got = ref;
                Pixels direct = ref;
                ref_->stack_blocks(ref_stack.data(), rows, copies, ref.data(), w, blocks, params);
                got_->stack_blocks(got_stack.data(), rows, copies, got.data(), w, blocks, params);
                EXPECT_TRUE(same_buffer(ref, got)) << blocks << " blocks, " << rows << " rows";
                if (round != 6) {
                    for (std::int32_t top = 0; top + 8 <= rows; ++top)
                        for (std::int32_t i = 0; i < copies[top]; ++i)
                            ref_->block_row(src.data() + top * stride, stride,
                                            direct.data() + top * w, w, blocks, params, false);
                    EXPECT_TRUE(same_buffer(direct, ref))
                        << "scalar stack against block_row: " << blocks << " blocks";
                }
                if (HasFailure()) return;
            }
        }
    }
}

// The edge of what the shaping surely clears: a stack whose one non-zero lane has a column of
// its row-pass output at +-limit or one past it (column 0: spread by 2 limit or 2 more, in the
// pattern of output 4), which makes a coefficient one below the clearing threshold or at it. A
// tier that took the DC-only path one step too far gives other samples there.
TEST_P(Checkasm, StackBlocksAtTheClearLimit) {
    if (!got_->stack_blocks) GTEST_SKIP() << tier_name(GetParam()) << " has no row-stack steps";
    Rng rng(test_name());
    struct Case {
        std::int32_t threshold, quant, chroma_threshold;
    };
    // Luma clears below min(threshold, |quant|); threshold 0 clears nothing; beyond 2048 the
    // limit stops growing.
    const Case cases[] = {{24, 16, 24}, {5, 8, 1},    {300, 3000, 255},
                          {0, 8, 0},    {24, -16, 2}, {4000, 5000, 4000}};
    const int output4[8] = {1, -1, -1, 1, 1, -1, -1, 1};
    const std::size_t stack_size = static_cast<std::size_t>(kGroupChannels) * kStackElements;
    const std::int32_t blocks = kGroupBlocks, w = 8 * blocks;
    for (const Case& c : cases) {
        const ShapeParams params = make_shape_params(c.threshold, c.quant, c.chroma_threshold);
        for (int ch = 0; ch < kGroupChannels; ++ch) {
            const std::int32_t limit =
                ch == 0 ? params.luma_clear_limit : params.chroma_clear_limit;
            for (int round = 0; round < 32; ++round) {
                const std::int32_t reach = (limit < 0 ? rng.in(0, 2) : limit) + round % 2;
                const std::int32_t lane = rng.in(0, kGroupBlocks - 1), col = rng.in(0, 7);
                const std::int32_t top = rng.in(0, kStackRows - 8);
                const std::int32_t sign = rng.chance(50) ? 1 : -1;
                const std::int32_t base = rng.in(-100000, 100000);
                Group stack(stack_size);
                std::fill(stack.data(), stack.data() + stack_size, 0);
                std::int32_t* rows = stack.data() + ch * kStackElements + top * 8 * kGroupBlocks;
                for (int r = 0; r < 8; ++r)
                    rows[(8 * r + col) * kGroupBlocks + lane] =
                        col == 0 ? base + (output4[r] == sign ? 2 * reach : 0) : sign * reach;
                Pixels ref(static_cast<std::size_t>(w) * kStackRows);
                fill_pixels(rng, ref.data(), ref.size(), true);
                Pixels got = ref;
                std::int32_t copies[kStackRows] = {};
                copies[top] = 1;
                ref_->stack_blocks(stack.data(), kStackRows, copies, ref.data(), w, blocks, params);
                got_->stack_blocks(stack.data(), kStackRows, copies, got.data(), w, blocks, params);
                EXPECT_TRUE(same_buffer(ref, got))
                    << "threshold " << c.threshold << ", quant " << c.quant << ", chroma "
                    << c.chroma_threshold << ", channel " << ch << ", column " << col << ", reach "
                    << reach << " (limit " << limit << ")";
                if (HasFailure()) return;
            }
        }
    }
}

TEST_P(Checkasm, RowKernels) {
    Rng rng(test_name());
    for (std::int32_t count = 0; count <= 70; ++count) {
        Pixels src(static_cast<std::size_t>(count));
        fill_pixels(rng, src.data(), src.size(), false);
        Pixels ref(static_cast<std::size_t>(count));
        fill_pixels(rng, ref.data(), ref.size(), false);
        Pixels got = ref;
        ref_->add_pixels(ref.data(), src.data(), count);
        got_->add_pixels(got.data(), src.data(), count);
        EXPECT_TRUE(same_buffer(ref, got)) << "add_pixels, " << count << " pixels";

        ref_->prescale(ref.data(), count);
        got_->prescale(got.data(), count);
        EXPECT_TRUE(same_buffer(ref, got)) << "prescale, " << count << " pixels";
        if (HasFailure()) return;
    }
}

// The blend's divide-free division: every thread count and zero weight the frame pass can
// give for up to 4 threads, full-range samples and sums, rows of every length up to 40.
TEST_P(Checkasm, Blend) {
    Rng rng(test_name());
    for (std::int32_t planes = 1; planes <= 4; ++planes) {
        for (std::int32_t zw : {0, 1, 2, 3, 17, 63, 64}) {
            for (std::int32_t batches : {1, 2, 3, 16, 64}) {
                const std::int32_t divisor = zw + batches * planes;
                const BlendParams params = make_blend_params(zw, divisor);
                const std::int32_t count = rng.in(0, 40);
                const std::ptrdiff_t plane_size = count + rng.in(0, 3);
                Pixels acc(static_cast<std::size_t>(plane_size * planes));
                fill_pixels(rng, acc.data(), acc.size(), false);
                Pixels ref(static_cast<std::size_t>(count));
                fill_pixels(rng, ref.data(), ref.size(), rng.chance(30));
                if (rng.chance(20))
                    for (std::size_t i = 0; i < ref.size(); ++i)
                        ref[i] = rng.chance(50) ? YcPixel{32767, 32767, 32767}
                                                : YcPixel{-32768, -32768, -32768};
                Pixels got = ref;
                ref_->blend_row(ref.data(), acc.data(), plane_size, planes, count, params);
                got_->blend_row(got.data(), acc.data(), plane_size, planes, count, params);
                EXPECT_TRUE(same_buffer(ref, got))
                    << planes << " planes, zero_weight " << zw << ", divisor " << divisor;
                if (HasFailure()) return;
            }
        }
    }
}

// One layer through the tier's block rows against the scalar ones, on full-range frames and on
// constant extreme columns, for a few shift indices.
TEST_P(Checkasm, OneLayer) {
    Rng rng(test_name());
    const std::int32_t w = 203, h = 61, stride = 210;
    for (int round = 0; round < 4; ++round) {
        std::vector<YcPixel> frame(static_cast<std::size_t>(stride) * h);
        if (round % 2)
            fill_constant_columns(rng, frame.data(), w, h, stride);
        else
            fill_pixels(rng, frame.data(), frame.size(), false);
        const FrameView view{frame.data(), w, h, stride};
        const std::int32_t threshold = rng.in(0, 255), quant = rng.in(1, 255);
        const std::int32_t shift = rng.in(0, 63);
        std::vector<YcPixel> plane[2];
        for (int t = 0; t < 2; ++t) {
            plane[t].assign(static_cast<std::size_t>(w) * h, YcPixel{1, -1, 7});
            model::add_layer(t == 0 ? *ref_ : *got_, view, plane[t].data(), shift, threshold,
                             quant);
        }
        EXPECT_EQ(0,
                  std::memcmp(plane[0].data(), plane[1].data(), plane[0].size() * sizeof(YcPixel)))
            << "round " << round;
    }
}

// Whole frames through the frame callback: every tier gives the scalar tier's frame for every
// thread count, size, stride and setting (thread count is part of the result, so each count is
// compared with the scalar run at that count).
TEST_P(Checkasm, WholeFrames) {
    Rng rng(test_name());
    struct Size {
        std::int32_t w, h, stride;
    };
    const Size sizes[] = {{64, 48, 64}, {77, 53, 80},   {16, 16, 16},  {9, 9, 12},
                          {8, 40, 8},   {300, 17, 301}, {131, 70, 131}};
    struct Tracks {
        std::int32_t threshold, quant, n_shift, zero_weight;
    };
    const Tracks settings[] = {{24, 8, 4, 0}, {255, 1, 5, 3}, {0, 8, 2, 64}, {40, 255, 64, 1}};
    for (std::int32_t threads = 1; threads <= 3; ++threads) {
        Host host(GetFilterTable(), threads);
        for (const Size& s : sizes) {
            const Tracks& t = settings[static_cast<std::size_t>(rng.in(0, 3))];
            host.track(kThreshold) = t.threshold;
            host.track(kQuant) = t.quant;
            host.track(kNShift) = t.n_shift;
            host.track(kZeroWeight) = t.zero_weight;
            const std::size_t n = static_cast<std::size_t>(s.stride) * s.h;
            std::vector<YcPixel> input(n);
            if (rng.chance(30))
                fill_constant_columns(rng, input.data(), s.w, s.h, s.stride);
            else
                fill_pixels(rng, input.data(), n, false);
            std::vector<YcPixel> out[2] = {input, input};
            for (int k = 0; k < 2; ++k) {
                Scratch scratch;
                ASSERT_EQ(1, filter_frame_with(host, k == 0 ? *ref_ : *got_, scratch, out[k].data(),
                                               s.w, s.h, s.stride));
            }
            EXPECT_EQ(0, std::memcmp(out[0].data(), out[1].data(), n * sizeof(YcPixel)))
                << s.w << "x" << s.h << " stride " << s.stride << ", " << threads
                << " threads, threshold " << t.threshold << " quant " << t.quant << " n_shift "
                << t.n_shift << " zero_weight " << t.zero_weight;
        }
    }
}

// Scratch memory full of garbage.
void* dirty_allocator(std::size_t count, std::size_t size) {
    void* p = std::malloc(count * size);
    if (p) std::memset(p, 0x5A, count * size);
    return p;
}

// Runs the jobs of each round one index after the other, last index first, as `threads` threads
// that never overlap: bands must not depend on the order in which the others run.
void run_in_turn(void* context, Job job, void* param1, void* param2) {
    const std::int32_t threads = *static_cast<const std::int32_t*>(context);
    for (std::int32_t i = threads - 1; i >= 0; --i) job(i, threads, param1, param2);
}

// The engine's bands against the model that runs one shift at a time over the whole frame into
// zeroed planes: every thread count (1 to 9 bands, and more threads than 8-row bands), scratch
// full of garbage. Sizes include frames without blocks (8 or fewer columns or rows), with one
// block row, and heights that end in every position of the 8-row grid.
TEST_P(Checkasm, BandsEqualTheShiftByShiftModel) {
    Rng rng(test_name());
    // The last two are more than one group of blocks wide (several row stacks per block row).
    const std::int32_t sizes[][2] = {{1, 1},   {8, 8},    {9, 9},    {16, 16}, {17, 30},
                                     {40, 8},  {8, 40},   {31, 17},  {64, 48}, {77, 53},
                                     {50, 71}, {33, 100}, {290, 37}, {140, 60}};
    for (const auto& size : sizes) {
        const std::int32_t w = size[0], h = size[1], stride = w + rng.in(0, 3);
        std::vector<YcPixel> frame(static_cast<std::size_t>(stride) * h);
        fill_pixels(rng, frame.data(), frame.size(), rng.chance(70));
        const Settings s{rng.in(0, 255), rng.in(1, 255), rng.in(1, 70), rng.in(0, 64)};
        std::vector<YcPixel> want = frame;
        model::filter(FrameView{want.data(), w, h, stride}, s);
        for (std::int32_t threads : {1, 2, 3, 5, 9, 16}) {
            std::vector<YcPixel> got = frame;
            Scratch scratch(&dirty_allocator);
            std::int32_t count = threads;
            const Parallel parallel{threads, &run_in_turn, &count};
            ASSERT_EQ(
                filter_frame(FrameView{got.data(), w, h, stride}, s, *got_, parallel, scratch),
                Status::ok);
            EXPECT_EQ(0, std::memcmp(want.data(), got.data(), want.size() * sizeof(YcPixel)))
                << w << "x" << h << ", " << threads << " threads, threshold " << s.threshold
                << " quant " << s.quant << " shifts " << s.shifts << " zero_weight "
                << s.zero_weight;
        }
        if (HasFailure()) return;
    }
}

// The scratch needs no zeroing: with memory full of garbage every tier gives the frames that
// the scalar tier gives on zeroed memory.

TEST_P(Checkasm, PlanesNeedNoZeroing) {
    Rng rng(test_name());
    for (std::int32_t threads = 1; threads <= 3; ++threads) {
        Host host(GetFilterTable(), threads);
        host.track(kNShift) = rng.in(1, 9);
        host.track(kZeroWeight) = rng.in(0, 2);
        const std::int32_t w = 45, h = 27;
        std::vector<YcPixel> input(static_cast<std::size_t>(w) * h);
        fill_pixels(rng, input.data(), input.size(), rng.chance(50));
        std::vector<YcPixel> out[2] = {input, input};
        for (int k = 0; k < 2; ++k) {
            Scratch scratch(k == 0 ? &std::calloc : &dirty_allocator);
            ASSERT_EQ(1, filter_frame_with(host, k == 0 ? *ref_ : *got_, scratch, out[k].data(), w,
                                           h, w));
        }
        EXPECT_EQ(0, std::memcmp(out[0].data(), out[1].data(), input.size() * sizeof(YcPixel)))
            << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Tiers, Checkasm,
                         ::testing::Values(CpuTier::sse41, CpuTier::avx2, CpuTier::avx512),
                         [](const ::testing::TestParamInfo<CpuTier>& tier) {
                             std::string name = tier_name(tier.param);
                             name.erase(std::remove(name.begin(), name.end(), '.'), name.end());
                             return name;
                         });

// The divide-free divisions themselves, over their whole domains where that is cheap and at
// the boundaries elsewhere.
TEST(DivideFree, ShapeQuotientIsExactForEveryCoefficientBelowAnInt16Threshold) {
    std::vector<std::int64_t> divisors;
    for (std::int64_t d = 1; d <= 600; ++d) divisors.push_back(d);
    for (std::int64_t d : {1023, 1024, 1025, 4097, 10000, 16383, 16384, 16385, 32767, 32768})
        divisors.push_back(d);
    for (std::int64_t d : divisors) {
        const ShapeParams p = make_shape_params(32767, static_cast<std::int32_t>(-d));
        ASSERT_EQ(p.step, d);
        for (std::uint64_t v = 0; v < 32767; ++v) {
            // The vector form keeps the low 32 bits of the product.
            const std::uint64_t product = v * p.magic;
            if (product >> 32 != 0 || product >> p.shift != v / static_cast<std::uint64_t>(d))
                FAIL() << "divisor " << d << " coefficient " << v;
        }
    }
}

TEST(DivideFree, BlendQuotientIsExactNearEveryMultipleAndAtTheEnds) {
    for (std::int32_t zw : {0, 1, 64}) {
        const std::uint64_t top = (static_cast<std::uint64_t>(zw) + 1) << 19;
        for (std::int32_t d = 1; d <= 70000; d += (d < 300 ? 1 : 997)) {
            const BlendParams p = make_blend_params(zw, d);
            bool exact = true;
            auto check = [&](std::uint64_t n) {
                if ((n * p.magic) >> p.shift != n / static_cast<std::uint64_t>(d)) {
                    ADD_FAILURE() << "zero_weight " << zw << " divisor " << d << " numerator " << n;
                    exact = false;
                }
            };
            for (std::uint64_t n = 0; n <= 2000; ++n) check(n);
            for (std::uint64_t n = top - 2000; n <= top; ++n) check(n);
            for (std::uint64_t m = static_cast<std::uint64_t>(d); m <= top;
                 m += static_cast<std::uint64_t>(d) * 97) {
                check(m - 1);
                check(m);
            }
            if (!exact) return;
        }
    }
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    korvane::g_start = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--start=", 0) == 0) {
            korvane::g_start = std::strtoull(arg.c_str() + 8, nullptr, 0);
        } else {
            std::cerr << "usage: korvane_checkasm [gtest options] [--start=N]\n";
            return 2;
        }
    }
    if (!GTEST_FLAG_GET(list_tests))
        std::cout << "random start value " << korvane::g_start
                  << " (replay with --start=" << korvane::g_start
                  << "); best tier here: " << korvane::tier_name(korvane::best_tier()) << std::endl;
    return RUN_ALL_TESTS();
}
