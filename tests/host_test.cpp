// The host binding: the filter table as the host reads it, what the native shared library
// exports, and the substitute host's thread service.
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
#include "korvane/korvane.h"
#include "runtime/thread_pool.h"
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

#ifdef KORVANE_LIBRARY_PATH
// The native shared library is the C library: it exports the C interface, and neither the AviUtl
// table (only the .auf exports that; its PE tables are checked in tests/win32) nor anything of
// the engine. Given the plug-in's rounded shift count it gives the plug-in's bytes.
TEST(SharedLibrary, ExportsTheCInterfaceNotTheTableAndFiltersLikeThePlugin) {
    void* lib = dlopen(KORVANE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_EQ(dlsym(lib, "GetFilterTable"), nullptr);
    EXPECT_EQ(dlsym(lib, "process_frame"), nullptr);
    EXPECT_EQ(dlsym(lib, "probe_worker"), nullptr);
    const auto create =
        reinterpret_cast<decltype(&korvane_filter_create)>(dlsym(lib, "korvane_filter_create"));
    const auto process =
        reinterpret_cast<decltype(&korvane_filter_process)>(dlsym(lib, "korvane_filter_process"));
    const auto destroy =
        reinterpret_cast<decltype(&korvane_filter_destroy)>(dlsym(lib, "korvane_filter_destroy"));
    ASSERT_TRUE(create && process && destroy);

    std::mt19937 rng(1);
    test::TestFrame a(50, 30, 52);
    test::fill_random(a, rng);
    test::TestFrame b = a;
    // n_shift 5 on a host of 3 threads: the plug-in averages 6 grids.
    const test::Tracks t{20, 4, 5, 1};
    ASSERT_EQ(test::filter(b, 3, t), 1);
    const korvane_settings s{20, 4, shifts_on_host(5, 3), 1};
    korvane_filter* f = nullptr;
    ASSERT_EQ(create(&s, 2, &f), KORVANE_OK);
    const korvane_frame frame{KORVANE_LAYOUT_PACKED,
                              a.w,
                              a.h,
                              {&a.pixels[0].y, nullptr, nullptr},
                              {a.stride * static_cast<std::ptrdiff_t>(sizeof(YcPixel)), 0, 0}};
    EXPECT_EQ(process(f, &frame), KORVANE_OK);
    destroy(f);
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
