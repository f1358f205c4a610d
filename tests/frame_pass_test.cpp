// The frame callback: batches and divisor, pre-scale and blend, flat frames, thread-count
// invariance, extreme values, and the failure paths that leave the frame untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "aviutl/frame_callback.h"
#include "engine/engine.h"
#include "tests/frame_util.h"
#include "tests/model/reference.h"

namespace korvane {
namespace {

using test::TestFrame;
using test::Tracks;

// The frame as the filter should leave it: the model's shift entries 0 .. layers - 1, each added
// once to a 16-bit sum, then blended with divisor zero_weight + layers.
TestFrame reference(const TestFrame& source, const Tracks& t, std::int32_t layers) {
    TestFrame frame = source;
    model::filter(frame.view(), Settings{t.threshold, t.quant, layers, t.zero_weight});
    return frame;
}

TEST(FramePass, BatchesRaiseTheShiftCountToAMultipleOfTheThreads) {
    struct Case {
        std::int32_t threads, n_shift, zero_weight, layers;
    };
    const Case cases[] = {
        {4, 1, 0, 4},   {4, 5, 0, 8},    {4, 5, 3, 8},  {1, 4, 0, 4}, {3, 7, 2, 9},
        {6, 64, 0, 66}, {2, 64, 64, 64}, {1, 1, 64, 1}, {9, 3, 1, 9},
    };
    std::mt19937 rng(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, n_shift " << c.n_shift
                                        << ", zero_weight " << c.zero_weight);
        TestFrame frame(35, 27, 40);
        test::fill_random(frame, rng);
        const Tracks t{24, 8, c.n_shift, c.zero_weight};
        const TestFrame want = reference(frame, t, c.layers);
        ASSERT_EQ(test::filter(frame, c.threads, t), 1);
        EXPECT_TRUE(frame.same_pixels(want));
    }
}

// A host of any number of threads that runs them one after the other, for thread counts far
// beyond what a pool here could start.
std::int32_t g_serial_threads = 1;

std::int32_t run_serially(ThreadWorker worker, void* param1, void* param2) {
    for (std::int32_t i = 0; i < g_serial_threads; ++i) worker(i, g_serial_threads, param1, param2);
    return 1;
}

std::int32_t filter_on_serial_host(TestFrame& frame, std::int32_t threads, const Tracks& t) {
    std::int32_t tracks[kTrackCount] = {t.threshold, t.quant, t.n_shift, t.zero_weight};
    HostFunctions functions{};
    functions.run_on_all_threads = &run_serially;
    FilterState state{};
    state.track = tracks;
    state.host = &functions;
    FrameInfo info = frame.info();
    g_serial_threads = threads;
    return process_frame(&state, &info);
}

TEST(FramePass, HostsOfManyThreadsGetNoMoreShiftsThanTheSumsHold) {
    // Up to 127 threads, n_shift rounded up to a multiple of the thread count, as always; from
    // 128 on, a batch of one shift per thread would overflow the 16-bit sums: 127 shifts.
    struct Case {
        std::int32_t threads, n_shift, layers;
    };
    const Case cases[] = {{63, 64, 126}, {64, 64, 64},   {127, 1, 127},
                          {128, 1, 127}, {200, 64, 127}, {65536, 4, 127}};
    std::mt19937 rng(13);
    TestFrame source(35, 27, 40);
    test::fill_random(source, rng);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, n_shift " << c.n_shift);
        const Tracks t{24, 8, c.n_shift, 3};
        TestFrame frame = source;
        ASSERT_EQ(filter_on_serial_host(frame, c.threads, t), 1);
        EXPECT_TRUE(frame.same_pixels(reference(source, t, c.layers)));
    }
    // The frames that came back wrong on such hosts: mid-grey as -2048 on 256 threads and as 0
    // on 512, and white, whose last column would wrap from 128 shifts on.
    for (std::int32_t threads : {256, 512, 4096}) {
        TestFrame grey(35, 27);
        test::fill(grey, {2048, 2048, -2048});
        ASSERT_EQ(filter_on_serial_host(grey, threads, Tracks{}), 1);
        for (const YcPixel& p : grey.pixels) ASSERT_EQ(p, (YcPixel{2048, 2048, -2048})) << threads;
        TestFrame white(35, 27);
        test::fill(white, {4096, 2048, -2048});
        ASSERT_EQ(filter_on_serial_host(white, threads, Tracks{}), 1);
        for (std::int32_t y = 0; y < white.h; ++y)
            ASSERT_EQ(white.at(white.w - 1, y), (YcPixel{4096, 2048, -2048})) << threads;
    }
    // Beyond the engine's thread limit the frame is refused and left as it was.
    TestFrame frame = source;
    EXPECT_EQ(filter_on_serial_host(frame, kMaxThreads + 1, Tracks{}), 0);
    EXPECT_EQ(frame.pixels, source.pixels);
}

TEST(FramePass, FlatFramesKeepTheirValues) {
    for (int k : {0, 1, 100, 255, -1, -128, -256}) {
        for (const Tracks t : {Tracks{24, 8, 1, 64}, Tracks{}, Tracks{255, 255, 64, 0}}) {
            TestFrame frame(40, 33);
            const auto v = static_cast<std::int16_t>(16 * k);
            test::fill(frame, {v, v, v});
            ASSERT_EQ(test::filter(frame, t.n_shift == 64 ? 2 : 1, t), 1);
            for (const YcPixel& p : frame.pixels) ASSERT_EQ(p, (YcPixel{v, v, v})) << k;
        }
    }
    // Samples below a multiple of 16 drop to it: -1 pre-scales to -1 and comes back as -16.
    TestFrame frame(24, 24);
    test::fill(frame, {-1, -1, -1});
    ASSERT_EQ(test::filter(frame, 1, Tracks{24, 8, 1, 64}), 1);
    for (const YcPixel& p : frame.pixels) ASSERT_EQ(p, (YcPixel{-16, -16, -16}));
}

TEST(FramePass, PrescaleFloorsAndBlendTruncatesTowardZero) {
    // A frame of 8 columns has no blocks: with zero_weight 0 every layer is the pre-scaled source,
    // so the output is (s >> 4) * 16.
    struct Case {
        std::int16_t in, out;
    };
    const Case cases[] = {{-1, -16}, {-16, -16},     {-17, -32},      {17, 16},
                          {15, 0},   {32767, 32752}, {-32768, -32768}};
    TestFrame frame(8, 7);
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
        const Case& c = cases[i % std::size(cases)];
        frame.pixels[i] = {c.in, c.in, c.in};
    }
    ASSERT_EQ(test::filter(frame, 3, Tracks{24, 8, 2, 0}), 1);
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
        const Case& c = cases[i % std::size(cases)];
        ASSERT_EQ(frame.pixels[i], (YcPixel{c.out, c.out, c.out})) << c.in;
    }
    // (-1 * 16) / 3 truncates to -5, not -6; the low 16 bits are kept.
    EXPECT_EQ(blend_sample(0, 0, -1, 3), -5);
    EXPECT_EQ(blend_sample(0, 0, 1, 3), 5);
    EXPECT_EQ(blend_sample(1, -1, 0, 2), -8);
    EXPECT_EQ(blend_sample(0, 0, 32767, 1), static_cast<std::int16_t>(0xFFF0));
}

TEST(FramePass, SameShiftsGiveTheSameFrameOnAnyThreadCount) {
    // n_shift 24 is a multiple of 1, 2, 3, 4 and 8: every count runs entries 0..23.
    std::mt19937 rng(4);
    TestFrame source(61, 45, 64);
    test::fill_random(source, rng);
    const Tracks t{30, 5, 24, 2};
    TestFrame first = source;
    ASSERT_EQ(test::filter(first, 1, t), 1);
    EXPECT_FALSE(first.same_pixels(source));
    for (std::int32_t threads : {2, 3, 4, 8}) {
        TestFrame frame = source;
        ASSERT_EQ(test::filter(frame, threads, t), 1);
        EXPECT_TRUE(frame.same_pixels(first)) << threads << " threads";
    }
}

TEST(FramePass, RowsBeyondTheWidthAreNeverTouched) {
    std::mt19937 rng(6);
    TestFrame frame(30, 20, 37);
    test::fill_random(frame, rng);
    const TestFrame before = frame;
    ASSERT_EQ(test::filter(frame, 3, Tracks{}), 1);
    for (std::int32_t y = 0; y < frame.h; ++y)
        for (std::int32_t x = frame.w; x < frame.stride; ++x)
            ASSERT_EQ(frame.at(x, y), before.at(x, y));
}

TEST(FramePass, ExtremeValuesAreDefinedAndThreadInvariant) {
    // Any int16 values: every intermediate wraps in a defined way (the sanitizer build checks
    // that nothing is undefined) and the result does not depend on the thread count.
    std::mt19937 rng(12);
    for (int n = 0; n < 12; ++n) {
        std::uniform_int_distribution<int> size(1, 40);
        TestFrame source(size(rng), size(rng));
        test::fill_random(source, rng, true);
        const Tracks t{std::uniform_int_distribution<int>(0, 255)(rng),
                       std::uniform_int_distribution<int>(1, 255)(rng), 12,
                       std::uniform_int_distribution<int>(0, 64)(rng)};
        TestFrame a = source, b = source;
        ASSERT_EQ(test::filter(a, 1, t), 1);
        ASSERT_EQ(test::filter(b, 4, t), 1);
        EXPECT_TRUE(a.same_pixels(b)) << source.w << "x" << source.h;
    }
}

TEST(FramePass, EmptyFramesAreLeftAlone) {
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {0, 0}}) {
        TestFrame frame(w, h, 5);
        frame.pixels.assign(25, YcPixel{1, 2, 3});
        EXPECT_EQ(test::filter(frame, 2, Tracks{}), 1);
        for (const YcPixel& p : frame.pixels) EXPECT_EQ(p, (YcPixel{1, 2, 3}));
    }
}

// Memory that cannot be obtained while g_refuse is set.
bool g_refuse = false;
void* refusing_allocator(std::size_t count, std::size_t size) {
    return g_refuse ? nullptr : std::calloc(count, size);
}

TEST(FramePass, FailureLeavesTheFrameUntouchedAndReportsZero) {
    std::mt19937 rng(9);
    TestFrame source(20, 20, 22);
    test::fill_random(source, rng);

    // The planes cannot be obtained: the callback's steps with a scratch that refuses, and then
    // gets, its memory.
    Host host(GetFilterTable(), 2);
    Scratch scratch(&refusing_allocator);
    const auto steps = [&](FilterState* state, FrameInfo* info) {
        return filter_host_frame(state, info, kernels_for(best_tier()), scratch);
    };
    TestFrame frame = source;
    g_refuse = true;
    EXPECT_EQ(host.filter_with(steps, frame.pixels.data(), 20, 20, 22), 0);
    EXPECT_EQ(frame.pixels, source.pixels);
    g_refuse = false;
    EXPECT_EQ(host.filter_with(steps, frame.pixels.data(), 20, 20, 22), 1);  // the next works
    EXPECT_NE(frame.pixels, source.pixels);

    // Track values the host never sends, and unusable records.
    const Tracks bad_tracks[] = {{-1, 8, 4, 0},   {256, 8, 4, 0}, {24, 0, 4, 0},
                                 {24, 256, 4, 0}, {24, 8, 0, 0},  {24, 8, 65, 0},
                                 {24, 8, 4, -1},  {24, 8, 4, 65}, {24, 65536 + 8, 4, 0}};
    for (const Tracks& t : bad_tracks) {
        TestFrame untouched = source;
        EXPECT_EQ(test::filter(untouched, 2, t), 0);
        EXPECT_EQ(untouched.pixels, source.pixels);
    }
    TestFrame untouched = source;
    YcPixel* pixels = untouched.pixels.data();
    EXPECT_EQ(host.filter(pixels, 20, 20, 19), 0);   // stride below w
    EXPECT_EQ(host.filter(pixels, -1, 20, 22), 0);   // negative width
    EXPECT_EQ(host.filter(pixels, 20, -3, 22), 0);   // negative height
    EXPECT_EQ(host.filter(nullptr, 20, 20, 22), 0);  // no pixels
    EXPECT_EQ(untouched.pixels, source.pixels);
    EXPECT_EQ(process_frame(nullptr, nullptr), 0);
}

}  // namespace
}  // namespace korvane
