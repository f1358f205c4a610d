// The engine's entry point: the same bytes on any number of threads, two frames at once, the
// scratch kept between frames and bounded whatever the thread count, and the statuses that
// leave the frame untouched.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/thread_pool.h"
#include "tests/frame_util.h"
#include "tests/model/reference.h"

namespace korvane {
namespace {

using test::TestFrame;

TEST(Engine, SameBytesOnAnyNumberOfThreads) {
    std::mt19937 rng(31);
    const Settings settings[] = {{24, 8, 4, 0}, {60, 12, 7, 5}, {255, 255, 66, 64}};
    for (auto [w, h] : {std::pair{61, 45}, {130, 131}, {9, 300}}) {
        TestFrame source(w, h, w + 5);
        test::fill_random(source, rng);
        for (const Settings& s : settings) {
            TestFrame want = source;
            model::filter(want.view(), s);
            for (std::int32_t threads : {1, 2, 3, 8, 64}) {
                ThreadPool pool(threads);
                Scratch scratch;
                TestFrame got = source;
                ASSERT_EQ(
                    filter_frame(got.view(), s, kernels_for(best_tier()), pool.parallel(), scratch),
                    Status::ok);
                EXPECT_TRUE(got.same_pixels(want))
                    << w << "x" << h << ", " << threads << " threads, " << s.shifts << " shifts";
            }
        }
    }
}

TEST(Engine, ChromasOwnThresholdShapesChromaAlone) {
    // Luma and chroma are filtered apart: with a threshold of chroma's own, Y is that of the
    // frame filtered at the luma setting and Cb and Cr those of the frame filtered at chroma's
    // threshold (chroma's shaping reads no quant); -1 is the luma threshold.
    std::mt19937 rng(35);
    TestFrame source(77, 53, 80);
    test::fill_random(source, rng);
    ThreadPool pool(2);
    Scratch scratch;
    const auto filtered = [&](const Settings& s) {
        TestFrame f = source;
        EXPECT_EQ(filter_frame(f.view(), s, kernels_for(best_tier()), pool.parallel(), scratch),
                  Status::ok);
        return f;
    };
    for (const Settings& s :
         {Settings{12, 4, 5, 0, 4}, Settings{40, 9, 3, 2, 0}, Settings{2, 2, 6, 0, 255}}) {
        SCOPED_TRACE(s.chroma_threshold);
        const TestFrame got = filtered(s);
        const TestFrame luma = filtered({s.threshold, s.quant, s.shifts, s.zero_weight});
        const TestFrame chroma = filtered({s.chroma_threshold, s.quant, s.shifts, s.zero_weight});
        std::size_t differ = 0;
        for (std::size_t i = 0; i < got.pixels.size(); ++i) {
            EXPECT_EQ(got.pixels[i].y, luma.pixels[i].y) << i;
            EXPECT_EQ(got.pixels[i].cb, chroma.pixels[i].cb) << i;
            EXPECT_EQ(got.pixels[i].cr, chroma.pixels[i].cr) << i;
            differ += got.pixels[i].cb != luma.pixels[i].cb;
            if (HasFailure()) return;
        }
        EXPECT_GT(differ, 0u) << "chroma's threshold changed nothing";
    }
    const Settings same{24, 8, 4, 0, 24}, unset{24, 8, 4, 0, -1};
    EXPECT_EQ(filtered(same).pixels, filtered(unset).pixels);
}

TEST(Engine, TwoFramesAtOnceFromTwoThreads) {
    // Each caller has its own pool and scratch; nothing else is shared (ThreadSanitizer watches).
    std::mt19937 rng(32);
    TestFrame a(96, 70), b(77, 83, 80);
    test::fill_random(a, rng);
    test::fill_random(b, rng);
    const Settings sa{24, 8, 6, 0}, sb{40, 5, 9, 2};
    TestFrame want_a = a, want_b = b;
    model::filter(want_a.view(), sa);
    model::filter(want_b.view(), sb);
    for (int round = 0; round < 3; ++round) {
        TestFrame got_a = a, got_b = b;
        Status status_a{}, status_b{};
        std::thread other([&] {
            ThreadPool pool(3);
            Scratch scratch;
            status_b =
                filter_frame(got_b.view(), sb, kernels_for(best_tier()), pool.parallel(), scratch);
        });
        ThreadPool pool(2);
        Scratch scratch;
        status_a =
            filter_frame(got_a.view(), sa, kernels_for(best_tier()), pool.parallel(), scratch);
        other.join();
        ASSERT_EQ(status_a, Status::ok);
        ASSERT_EQ(status_b, Status::ok);
        EXPECT_TRUE(got_a.same_pixels(want_a));
        EXPECT_TRUE(got_b.same_pixels(want_b));
    }
}

std::atomic<int> g_allocations{0};
void* counting_allocator(std::size_t count, std::size_t size) {
    ++g_allocations;
    return std::malloc(count * size);
}

TEST(Engine, ScratchIsKeptWhileTheSizeStaysAndDoesNotGrowWithThreads) {
    std::mt19937 rng(33);
    ThreadPool pool(4);
    Scratch scratch(&counting_allocator);
    g_allocations = 0;
    for (auto [w, h, frames] : {std::tuple{64, 48, 5}, {64, 48, 1}, {50, 20, 3}, {64, 48, 2}}) {
        for (int i = 0; i < frames; ++i) {
            TestFrame frame(w, h);
            test::fill_random(frame, rng);
            ASSERT_EQ(filter_frame(frame.view(), Settings{}, kernels_for(best_tier()),
                                   pool.parallel(), scratch),
                      Status::ok);
        }
    }
    EXPECT_EQ(g_allocations, 3);  // one per change of size

    // One plane and 7 rows per further band, at most one band per 8 rows: about one frame for
    // any thread count.
    for (std::int32_t threads : {1, 2, 16, 32, 64, 65536}) {
        const std::size_t pixels = scratch_pixels(3840, 2160, threads);
        EXPECT_GE(pixels, std::size_t{3840} * 2160);
        EXPECT_LE(pixels, std::size_t{3840} * (2160 + 7 * 270)) << threads;
        EXPECT_LE(pixels, std::size_t{3840} * (2160 + 7 * (threads - 1))) << threads;
    }
}

// The caller's row hooks run once on every row, in chunks that start on multiples of 8: `before`
// before the engine reads a row (here it writes the source into a frame of garbage, as a
// conversion would, or the source pre-scaled where it says so), `after` once the row is final
// (here it copies it out). The frame and the copy are then the frame filtered without hooks, on
// any number of threads.
YcPixel prescale(const YcPixel& p) {
    return {static_cast<std::int16_t>(p.y >> 4), static_cast<std::int16_t>(p.cb >> 4),
            static_cast<std::int16_t>(p.cr >> 4)};
}

TEST(Engine, RowHooksSeeEveryRowBeforeAndAfter) {
    std::mt19937 rng(36);
    for (auto [w, h] : {std::pair{61, 45}, {33, 8}, {20, 131}}) {
        TestFrame source(w, h, w + 3);
        test::fill_random(source, rng);
        TestFrame want = source;
        model::filter(want.view(), Settings{});
        for (const auto& [threads, prescaled] :
             {std::pair{1, false}, {2, true}, {3, false}, {16, true}}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + ", " +
                         std::to_string(threads) + " threads" + (prescaled ? ", prescaled" : ""));
            struct Seen {
                const TestFrame* source;
                TestFrame* frame;
                TestFrame copy;
                std::vector<std::atomic<int>> before, after;
                std::atomic<bool> aligned{true};
                bool prescaled;
                Seen(const TestFrame& s, TestFrame& f, bool p)
                    : source(&s),
                      frame(&f),
                      copy(s.w, s.h),
                      before(s.h),
                      after(s.h),
                      prescaled(p) {}
                static void on_before(void* c, std::int32_t y0, std::int32_t y1) {
                    auto& seen = *static_cast<Seen*>(c);
                    if (y0 % 8 != 0 || (y1 % 8 != 0 && y1 != seen.source->h)) seen.aligned = false;
                    for (std::int32_t y = y0; y < y1; ++y) {
                        ++seen.before[static_cast<std::size_t>(y)];
                        for (std::int32_t x = 0; x < seen.source->w; ++x)
                            seen.frame->at(x, y) = seen.prescaled ? prescale(seen.source->at(x, y))
                                                                  : seen.source->at(x, y);
                    }
                }
                static void on_after(void* c, std::int32_t y0, std::int32_t y1) {
                    auto& seen = *static_cast<Seen*>(c);
                    if (y0 % 8 != 0 || (y1 % 8 != 0 && y1 != seen.source->h)) seen.aligned = false;
                    for (std::int32_t y = y0; y < y1; ++y) {
                        ++seen.after[static_cast<std::size_t>(y)];
                        for (std::int32_t x = 0; x < seen.source->w; ++x)
                            seen.copy.at(x, y) = seen.frame->at(x, y);
                    }
                }
            };
            TestFrame frame(w, h, w + 3);
            test::fill_random(frame, rng);  // garbage until `before` has written the source
            Seen seen(source, frame, prescaled);
            ThreadPool pool(threads);
            Scratch scratch;
            const RowHooks hooks{&Seen::on_before, &Seen::on_after, &seen, prescaled};
            ASSERT_EQ(filter_frame(frame.view(), Settings{}, kernels_for(best_tier()),
                                   pool.parallel(), scratch, hooks),
                      Status::ok);
            EXPECT_TRUE(frame.same_pixels(want));
            EXPECT_TRUE(seen.copy.same_pixels(want));
            EXPECT_TRUE(seen.aligned);
            for (std::int32_t y = 0; y < h; ++y) {
                EXPECT_EQ(seen.before[static_cast<std::size_t>(y)], 1) << "row " << y;
                EXPECT_EQ(seen.after[static_cast<std::size_t>(y)], 1) << "row " << y;
            }
            // Refused: no hook runs.
            Settings bad;
            bad.shifts = 0;
            EXPECT_EQ(filter_frame(frame.view(), bad, kernels_for(best_tier()), pool.parallel(),
                                   scratch, hooks),
                      Status::invalid_argument);
            EXPECT_EQ(seen.before[0], 1);
            EXPECT_EQ(seen.after[0], 1);
        }
    }
}

void* failing_allocator(std::size_t, std::size_t) { return nullptr; }

TEST(Engine, FailuresLeaveTheFrameUntouched) {
    std::mt19937 rng(34);
    TestFrame source(40, 30, 44);
    test::fill_random(source, rng);
    ThreadPool pool(2);
    Scratch failing(&failing_allocator);
    TestFrame frame = source;
    EXPECT_EQ(
        filter_frame(frame.view(), Settings{}, kernels_for(best_tier()), pool.parallel(), failing),
        Status::out_of_memory);
    EXPECT_EQ(frame.pixels, source.pixels);

    Scratch scratch;
    const Settings bad_settings[] = {
        {-1, 8, 4, 0},     {256, 8, 4, 0},    {24, 0, 4, 0},  {24, 256, 4, 0},
        {24, 8, 0, 0},     {24, 8, 4, -1},    {24, 8, 4, 65}, {24, 8, kMaxShifts + 1, 0},
        {24, 8, 4, 0, -2}, {24, 8, 4, 0, 256}};
    for (const Settings& s : bad_settings)
        EXPECT_EQ(filter_frame(frame.view(), s, kernels_for(best_tier()), pool.parallel(), scratch),
                  Status::invalid_argument)
            << s.threshold << " " << s.quant << " " << s.shifts << " " << s.zero_weight;
    FrameView view = frame.view();
    for (FrameView bad : {FrameView{view.pixels, 40, 30, 39}, FrameView{view.pixels, -1, 30, 44},
                          FrameView{view.pixels, 40, -1, 44}, FrameView{nullptr, 40, 30, 44}})
        EXPECT_EQ(filter_frame(bad, Settings{}, kernels_for(best_tier()), pool.parallel(), scratch),
                  Status::invalid_argument);
    Parallel no_threads = pool.parallel();
    no_threads.threads = 0;
    EXPECT_EQ(filter_frame(view, Settings{}, kernels_for(best_tier()), no_threads, scratch),
              Status::invalid_argument);
    EXPECT_EQ(frame.pixels, source.pixels);
    EXPECT_EQ(scratch.size(), 0u);  // nothing obtained for a call that was refused

    EXPECT_EQ(filter_frame(view, Settings{}, kernels_for(best_tier()), serial(), scratch),
              Status::ok);
    EXPECT_NE(frame.pixels, source.pixels);  // the next frame works
}

// Every tier this machine runs gets its own table, and the plug-ins' tier follows KORVANE_CPU only
// down to what the machine runs.
TEST(Engine, TablesAndThePluginsTierOverride) {
    for (int t = 0; t <= static_cast<int>(best_tier()); ++t)
        EXPECT_EQ(kernels_for(static_cast<CpuTier>(t)).tier, static_cast<CpuTier>(t));

    const char* saved = std::getenv("KORVANE_CPU");
    const std::string restore = saved ? saved : "";
    struct Case {
        const char* value;  // null: unset
        CpuTier want;
    };
    const Case cases[] = {
        {nullptr, best_tier()},
        {"scalar", CpuTier::scalar},
        {"auto", best_tier()},
        {"AVX2", best_tier()},  // not a tier's name
        {"", best_tier()},
        {"avx512", tier_runs_here(CpuTier::avx512) ? CpuTier::avx512 : best_tier()},
        {"sse4.1", tier_runs_here(CpuTier::sse41) ? CpuTier::sse41 : best_tier()},
    };
    for (const Case& c : cases) {
        if (c.value)
            ::setenv("KORVANE_CPU", c.value, 1);
        else
            ::unsetenv("KORVANE_CPU");
        EXPECT_EQ(plugin_tier(), c.want) << (c.value ? c.value : "(unset)");
    }
    if (saved)
        ::setenv("KORVANE_CPU", restore.c_str(), 1);
    else
        ::unsetenv("KORVANE_CPU");
}

}  // namespace
}  // namespace korvane
