// The host binding: the filter table as the host reads it, the plug-in library's single export,
// and the substitute host's thread service.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "aviutl/filter_descriptor.h"
#include "aviutl/frame_callback.h"
#include "standalone/thread_pool.h"
#include "tests/frame_util.h"

namespace korvane {
namespace {

TEST(FilterTable, PresentsNameTracksAndCallback) {
    const FilterTable* t = GetFilterTable();
    ASSERT_EQ(GetFilterTable(), t);  // the same table every time
    EXPECT_EQ(t->flags, 0x40000);
    EXPECT_STREQ(t->name, "Korvane for AviUtl DCT");
    EXPECT_STREQ(t->information, "Korvane for AviUtl DCT");
    EXPECT_NE(static_cast<const void*>(t->name), static_cast<const void*>(t->information));
    ASSERT_EQ(t->track_count, 4);
    const char* names[] = {"threshold", "quant", "n_shift", "zero_weight"};
    const std::int32_t defaults[] = {24, 8, 4, 0}, minimums[] = {0, 1, 1, 0},
                       maximums[] = {255, 255, 64, 64};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(t->track_names[i], names[i]);
        EXPECT_EQ(t->track_defaults[i], defaults[i]) << names[i];
        EXPECT_EQ(t->track_minimums[i], minimums[i]) << names[i];
        EXPECT_EQ(t->track_maximums[i], maximums[i]) << names[i];
    }
    EXPECT_EQ(t->check_count, 0);
    EXPECT_EQ(t->check_names, nullptr);
    EXPECT_EQ(t->check_defaults, nullptr);
    EXPECT_EQ(t->callback, &process_frame);
    // Every word the table does not use is zero, among them words 17 and 24, where the host's
    // live record carries the track values and its services.
    EXPECT_EQ(t->words_1_2[0] | t->words_1_2[1], 0);
    for (std::uintptr_t w : t->words_13_20) EXPECT_EQ(w, 0u);
    for (std::uintptr_t w : t->words_22_34) EXPECT_EQ(w, 0u);
}

#ifdef KORVANE_PLUGIN_PATH
TEST(PluginLibrary, ExportsOnlyTheTableAndFiltersLikeTheEngine) {
    void* lib = dlopen(KORVANE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using GetTable = FilterTable* (*)();
    const auto get = reinterpret_cast<GetTable>(dlsym(lib, "GetFilterTable"));
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(dlsym(lib, "process_frame"), nullptr);
    EXPECT_EQ(dlsym(lib, "probe_worker"), nullptr);

    std::mt19937 rng(1);
    test::TestFrame a(50, 30, 52);
    test::fill_random(a, rng);
    test::TestFrame b = a;
    const test::Tracks t{20, 4, 6, 1};
    ASSERT_EQ(test::filter(a, 3, t, get()), 1);
    ASSERT_EQ(test::filter(b, 3, t), 1);
    EXPECT_EQ(a.pixels, b.pixels);
    dlclose(lib);
}
#endif

// Records every run of a worker: how often each index ran, with which count, and whether the
// run's (plain, unsynchronised) writes are visible to the caller after the call.
struct Runs {
    std::atomic<int> count[64];
    std::atomic<int> wrong_count{0};
    int written[64];
    std::int32_t expected;
};

extern "C" void record(std::int32_t index, std::int32_t count, void* param1, void* param2) {
    auto& r = *static_cast<Runs*>(param1);
    EXPECT_EQ(param2, &r.expected);
    if (count != r.expected) ++r.wrong_count;
    std::this_thread::sleep_for(std::chrono::microseconds(100));  // let the runs overlap
    if (index >= 0 && index < 64) {
        ++r.count[index];
        r.written[index] = index + 1000;
    }
}

TEST(ThreadPool, RunsEveryIndexOnceAndReturnsWhenAllAreDone) {
    for (std::int32_t threads : {1, 2, 3, 7, 8, 9, 16, 64}) {
        SCOPED_TRACE(threads);
        ThreadPool pool(threads);
        for (int call = 0; call < 3; ++call) {
            Runs r{};
            r.expected = threads;
            pool.run_on_all(&record, &r, &r.expected);
            EXPECT_EQ(r.wrong_count, 0);
            for (int i = 0; i < 64; ++i) {
                ASSERT_EQ(r.count[i], i < threads ? 1 : 0) << "index " << i;
                if (i < threads) {
                    ASSERT_EQ(r.written[i], i + 1000);
                }
            }
        }
    }
    EXPECT_THROW(ThreadPool(0), std::invalid_argument);
}

TEST(Host, ProbeSeesEveryThreadCountAndDropsReportsPastItsSlots) {
    for (std::int32_t threads : {1, 7, 8, 9, 16, 64}) {
        ThreadPool pool(threads);
        std::int32_t slots[8 + 4];
        std::fill(std::begin(slots), std::end(slots), -7);
        pool.run_on_all(&probe_worker, slots, nullptr);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(slots[i], i < threads ? threads : -7);
        for (int i = 8; i < 12; ++i) EXPECT_EQ(slots[i], -7) << "written past the 8 slots";
    }
    // Through the host: the frame callback runs on 64 threads and the shift index passes 63.
    std::mt19937 rng(3);
    test::TestFrame frame(40, 24);
    test::fill_random(frame, rng);
    test::TestFrame flat(40, 24);
    test::fill(flat, {160, -32, 48});
    for (std::int32_t threads : {9, 64}) {
        test::TestFrame f = frame;
        EXPECT_EQ(test::filter(f, threads, test::Tracks{24, 8, 64, 0}), 1);
        test::TestFrame g = flat;
        EXPECT_EQ(test::filter(g, threads, test::Tracks{24, 8, 64, 0}), 1);
        EXPECT_EQ(g.pixels, flat.pixels) << threads;  // every layer counted once per pixel
    }
}

}  // namespace
}  // namespace korvane
