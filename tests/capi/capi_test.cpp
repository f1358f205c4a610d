// The C library as a program sees it: the engine's bytes through either frame layout on any
// number of threads, the settings' ranges, and errors that leave the frame alone.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "korvane/korvane.h"
#include "tests/frame_util.h"

namespace korvane {
namespace {

constexpr std::ptrdiff_t kPixelBytes = sizeof(YcPixel);

struct Filter {
    korvane_filter* f = nullptr;
    Filter(const korvane_settings& s, std::int32_t threads) {
        EXPECT_EQ(korvane_filter_create(&s, threads, &f), KORVANE_OK);
    }
    ~Filter() { korvane_filter_destroy(f); }
};

korvane_frame packed(test::TestFrame& t) {
    return {KORVANE_LAYOUT_PACKED,
            t.w,
            t.h,
            {&t.pixels[0].y, nullptr, nullptr},
            {t.stride * kPixelBytes, 0, 0}};
}

// The engine's own bytes for the frame, on one thread.
test::TestFrame engine_output(test::TestFrame t, const korvane_settings& s) {
    Scratch scratch;
    const Settings es{s.threshold, s.quant, s.shifts, s.zero_weight};
    EXPECT_EQ(filter_frame(t.view(), es, kernels_for(CpuTier::scalar), serial(), scratch),
              Status::ok);
    return t;
}

TEST(CApi, SettingsHaveTheTrackBarsRangesAndDefaults) {
    korvane_settings d;
    korvane_settings_default(&d);
    EXPECT_EQ(d.threshold, 24);
    EXPECT_EQ(d.quant, 8);
    EXPECT_EQ(d.shifts, 4);
    EXPECT_EQ(d.zero_weight, 0);

    struct Case {
        korvane_settings s;
        bool ok;
    };
    const Case cases[] = {
        {{0, 1, 1, 0}, true},    {{255, 255, KORVANE_MAX_SHIFTS, 64}, true},
        {{-1, 8, 4, 0}, false},  {{256, 8, 4, 0}, false},
        {{24, 0, 4, 0}, false},  {{24, 256, 4, 0}, false},
        {{24, 8, 0, 0}, false},  {{24, 8, KORVANE_MAX_SHIFTS + 1, 0}, false},
        {{24, 8, 4, -1}, false}, {{24, 8, 4, 65}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.s.threshold << " " << c.s.quant << " " << c.s.shifts
                                        << " " << c.s.zero_weight);
        korvane_filter* f = reinterpret_cast<korvane_filter*>(&d);  // must be overwritten
        EXPECT_EQ(korvane_filter_create(&c.s, 1, &f),
                  c.ok ? KORVANE_OK : KORVANE_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(f != nullptr, c.ok);
        korvane_filter_destroy(f);

        // On a filter that exists, bad settings leave the ones it has.
        Filter g(d, 1);
        EXPECT_EQ(korvane_filter_set_settings(g.f, &c.s),
                  c.ok ? KORVANE_OK : KORVANE_ERROR_INVALID_ARGUMENT);
        korvane_settings now;
        ASSERT_EQ(korvane_filter_get_settings(g.f, &now), KORVANE_OK);
        EXPECT_EQ(std::memcmp(&now, c.ok ? &c.s : &d, sizeof now), 0);
    }

    korvane_filter* f = nullptr;
    EXPECT_EQ(korvane_filter_create(nullptr, -1, &f), KORVANE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(korvane_filter_create(nullptr, KORVANE_MAX_THREADS + 1, &f),
              KORVANE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(korvane_filter_create(nullptr, 1, nullptr), KORVANE_ERROR_INVALID_ARGUMENT);
    ASSERT_EQ(korvane_filter_create(nullptr, 0, &f), KORVANE_OK);  // null: the defaults
    EXPECT_GE(korvane_filter_threads(f), 1);
    korvane_settings now;
    korvane_filter_get_settings(f, &now);
    EXPECT_EQ(std::memcmp(&now, &d, sizeof now), 0);
    korvane_filter_destroy(f);
    korvane_filter_destroy(nullptr);
    EXPECT_EQ(korvane_filter_threads(nullptr), 0);
}

// Every grid adds one value to a 16-bit sum per sample: 127 grids are the most whose sum holds
// for every sample in the documented ranges; more are refused, not wrapped into garbage.
TEST(CApi, ShiftCountsUpToTheLimitWorkAndBeyondItAreRefused) {
    static_assert(KORVANE_MAX_SHIFTS == 127);
    struct Case {
        std::int32_t shifts;
        korvane_status want;
    };
    const Case cases[] = {
        {1, KORVANE_OK},
        {16, KORVANE_OK},
        {126, KORVANE_OK},
        {127, KORVANE_OK},
        {128, KORVANE_ERROR_INVALID_ARGUMENT},
        {160, KORVANE_ERROR_INVALID_ARGUMENT},
        {256, KORVANE_ERROR_INVALID_ARGUMENT},
        {512, KORVANE_ERROR_INVALID_ARGUMENT},
        {1 << 22, KORVANE_ERROR_INVALID_ARGUMENT},
        {INT32_MAX, KORVANE_ERROR_INVALID_ARGUMENT},
    };
    korvane_settings d;
    korvane_settings_default(&d);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.shifts << " shifts");
        const korvane_settings s{24, 8, c.shifts, 0};
        korvane_filter* f = nullptr;
        EXPECT_EQ(korvane_filter_create(&s, 1, &f), c.want);
        korvane_filter_destroy(f);
        Filter g(d, 1);
        EXPECT_EQ(korvane_filter_set_settings(g.f, &s), c.want);
    }

    // At the limit, flat frames come back as they were: mid-grey (the frame that came back as
    // -2048 at 256 grids), and white, whose last column and row add 256 from every grid
    // (127 * 256 = 32512, the largest sum the limit allows; 128 grids would wrap it).
    for (std::int32_t zero_weight : {0, 64}) {
        for (std::int32_t threads : {1, 3}) {
            SCOPED_TRACE(testing::Message()
                         << "zero_weight " << zero_weight << ", " << threads << " threads");
            Filter f(korvane_settings{24, 8, KORVANE_MAX_SHIFTS, zero_weight}, threads);
            test::TestFrame grey(37, 29);
            test::fill(grey, {2048, 2048, -2048});
            korvane_frame frame = packed(grey);
            ASSERT_EQ(korvane_filter_process(f.f, &frame), KORVANE_OK);
            for (const YcPixel& p : grey.pixels) ASSERT_EQ(p, (YcPixel{2048, 2048, -2048}));

            test::TestFrame white(37, 29);
            test::fill(white, {4096, 2048, -2048});
            frame = packed(white);
            ASSERT_EQ(korvane_filter_process(f.f, &frame), KORVANE_OK);
            for (std::int32_t y = 0; y < white.h; ++y)
                for (std::int32_t x = 0; x < white.w; ++x)
                    if (x == white.w - 1 || y == white.h - 1) {
                        ASSERT_EQ(white.at(x, y), (YcPixel{4096, 2048, -2048})) << x << "," << y;
                    } else {
                        // Inside, blocks reconstruct 256 as 255 (the transform's clamp).
                        ASSERT_GE(white.at(x, y).y, 4080) << x << "," << y;
                        ASSERT_LE(white.at(x, y).y, 4096) << x << "," << y;
                    }
        }
    }
}

TEST(CApi, BothLayoutsGiveTheEngineBytesOnAnyThreadCount) {
    std::mt19937 rng(12);
    const korvane_settings settings[] = {{24, 8, 4, 0}, {90, 3, 11, 5}, {255, 255, 64, 64}};
    for (auto [w, h, stride] : {std::array{67, 45, 70}, std::array{16, 16, 16}}) {
        test::TestFrame source(w, h, stride);
        test::fill_random(source, rng);
        for (const korvane_settings& s : settings) {
            const test::TestFrame expected = engine_output(source, s);
            for (std::int32_t threads : {1, 3, 8}) {
                SCOPED_TRACE(testing::Message() << w << "x" << h << " shifts " << s.shifts << ", "
                                                << threads << " threads");
                Filter f(s, threads);
                ASSERT_EQ(korvane_filter_threads(f.f), threads);

                test::TestFrame a = source;
                korvane_frame frame = packed(a);
                ASSERT_EQ(korvane_filter_process(f.f, &frame), KORVANE_OK);
                EXPECT_EQ(a.pixels, expected.pixels);  // padding included

                // Planes of their own widths and paddings, beyond which nothing is written.
                const std::ptrdiff_t pad[3] = {3, 0, 8};
                std::vector<std::int16_t> planes[3];
                for (int p = 0; p < 3; ++p) {
                    const std::ptrdiff_t ps = w + pad[p];
                    planes[p].assign(static_cast<std::size_t>(ps * h), -12345);
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x) {
                            const YcPixel& px = source.at(x, y);
                            planes[p][y * ps + x] = p == 0 ? px.y : p == 1 ? px.cb : px.cr;
                        }
                }
                frame = {KORVANE_LAYOUT_PLANAR,
                         w,
                         h,
                         {planes[0].data(), planes[1].data(), planes[2].data()},
                         {2 * (w + pad[0]), 2 * (w + pad[1]), 2 * (w + pad[2])}};
                ASSERT_EQ(korvane_filter_process(f.f, &frame), KORVANE_OK);
                for (int p = 0; p < 3; ++p)
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w + pad[p]; ++x) {
                            const YcPixel& px = expected.at(x < w ? x : 0, y);
                            const std::int16_t want = x >= w   ? -12345
                                                      : p == 0 ? px.y
                                                      : p == 1 ? px.cb
                                                               : px.cr;
                            ASSERT_EQ(planes[p][y * (w + pad[p]) + x], want)
                                << "plane " << p << " at " << x << "," << y;
                        }
            }
        }
    }
}

TEST(CApi, BadFramesAreRejectedAndLeftUntouched) {
    korvane_settings d;
    korvane_settings_default(&d);
    Filter f(d, 2);
    std::mt19937 rng(5);
    test::TestFrame t(24, 16);
    test::fill_random(t, rng);
    const test::TestFrame before = t;
    std::vector<std::int16_t> plane(24 * 16 * 4);  // room for every plane of every case
    std::int16_t* p = plane.data();

    const korvane_frame good = packed(t);
    struct Case {
        const char* what;
        korvane_frame frame;
    };
    auto with = [&](auto change) {
        korvane_frame fr = good;
        change(fr);
        return fr;
    };
    const Case cases[] = {
        {"unknown layout", with([](korvane_frame& fr) { fr.layout = 7; })},
        {"negative width", with([](korvane_frame& fr) { fr.width = -24; })},
        {"negative height", with([](korvane_frame& fr) { fr.height = -1; })},
        {"null pixels", with([](korvane_frame& fr) { fr.data[0] = nullptr; })},
        {"stride below the width", with([](korvane_frame& fr) { fr.stride[0] = 6 * 23; })},
        {"stride not whole pixels", with([](korvane_frame& fr) { fr.stride[0] = 6 * 24 + 2; })},
        {"planar, a null plane",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, nullptr, p + 800}, {48, 48, 48}}},
        {"planar, odd stride",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 400, p + 800}, {48, 49, 48}}},
        {"planar, short stride",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 400, p + 800}, {48, 48, 46}}},
        // Planes that share samples (Y spans samples 0..383 with a stride of 24).
        {"planar, Cb is Y", {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p, p + 800}, {48, 48, 48}}},
        {"planar, Cb starts on Y's last sample",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 383, p + 800}, {48, 48, 48}}},
        {"planar, Y's stride carries its last row into Cb",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 400, p + 800}, {52, 48, 48}}},
        {"planar, Cr's rows between Cb's, one sample too early",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 400, p + 423}, {48, 96, 96}}},
        {"planar, Cr before Cb reaching into it",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 800, p + 420}, {48, 48, 48}}},
        {"rows past the end of the address space",
         with([](korvane_frame& fr) { fr.stride[0] = (PTRDIFF_MAX / 6) * 6; })},
        {"planar, rows past the end of the address space",
         {KORVANE_LAYOUT_PLANAR, 24, 16, {p, p + 400, p + 800}, {48, 48, PTRDIFF_MAX - 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(korvane_filter_process(f.f, &c.frame), KORVANE_ERROR_INVALID_ARGUMENT);
        EXPECT_TRUE(t == before);
        EXPECT_TRUE(std::all_of(plane.begin(), plane.end(), [](std::int16_t v) { return v == 0; }));
    }
    EXPECT_EQ(korvane_filter_process(nullptr, &good), KORVANE_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(korvane_filter_process(f.f, nullptr), KORVANE_ERROR_INVALID_ARGUMENT);
    // Empty frames need no pixels and are left as they are.
    for (korvane_layout layout : {KORVANE_LAYOUT_PACKED, KORVANE_LAYOUT_PLANAR}) {
        const korvane_frame empty{layout, 0, 16, {nullptr, nullptr, nullptr}, {0, 0, 0}};
        EXPECT_EQ(korvane_filter_process(f.f, &empty), KORVANE_OK);
    }
    // The filter still works after all that.
    korvane_frame fr = good;
    EXPECT_EQ(korvane_filter_process(f.f, &fr), KORVANE_OK);
    EXPECT_TRUE(t == engine_output(before, d));
}

// Planes may share one buffer as long as no sample lies in two of them: here the rows of Y, Cb
// and Cr take turns, each plane's stride three rows, each row ending where the next begins.
TEST(CApi, PlanesInterleavedRowByRowAreNotAnOverlap) {
    std::mt19937 rng(21);
    const std::int32_t w = 24, h = 16;
    test::TestFrame source(w, h);
    test::fill_random(source, rng);
    korvane_settings s;
    korvane_settings_default(&s);
    const test::TestFrame expected = engine_output(source, s);

    std::vector<std::int16_t> buffer(static_cast<std::size_t>(3 * w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const YcPixel& px = source.at(x, y);
            buffer[static_cast<std::size_t>((3 * y + 0) * w + x)] = px.y;
            buffer[static_cast<std::size_t>((3 * y + 1) * w + x)] = px.cb;
            buffer[static_cast<std::size_t>((3 * y + 2) * w + x)] = px.cr;
        }
    std::int16_t* b = buffer.data();
    const korvane_frame frame{
        KORVANE_LAYOUT_PLANAR, w, h, {b, b + w, b + 2 * w}, {6 * w, 6 * w, 6 * w}};
    Filter f(s, 2);
    ASSERT_EQ(korvane_filter_process(f.f, &frame), KORVANE_OK);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const YcPixel got{buffer[static_cast<std::size_t>((3 * y + 0) * w + x)],
                              buffer[static_cast<std::size_t>((3 * y + 1) * w + x)],
                              buffer[static_cast<std::size_t>((3 * y + 2) * w + x)]};
            ASSERT_EQ(got, expected.at(x, y)) << x << "," << y;
        }
}

TEST(CApi, VersionAndMessages) {
    EXPECT_EQ(std::string(korvane_version()), std::to_string(KORVANE_VERSION_MAJOR) + "." +
                                                  std::to_string(KORVANE_VERSION_MINOR) + "." +
                                                  std::to_string(KORVANE_VERSION_PATCH));
    std::vector<std::string> seen;
    for (int s = 0; s <= 5; ++s) {
        const char* m = korvane_status_message(korvane_status(s));
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(std::find(seen.begin(), seen.end(), m), seen.end()) << m;
        seen.push_back(m);
    }
}

// Each filter runs the tier it was made with: every tier this machine runs gives the scalar
// engine's bytes, the others are refused as unsupported, and values that are no tier as invalid.
TEST(CApi, AFilterRunsTheTierItWasMadeWith) {
    std::mt19937 rng(12);
    test::TestFrame source(67, 45);
    test::fill_random(source, rng, true);
    const korvane_settings s{30, 6, 5, 1};
    const test::TestFrame expected = engine_output(source, s);

    korvane_filter* f = nullptr;
    ASSERT_EQ(korvane_filter_create(&s, 2, &f), KORVANE_OK);
    EXPECT_EQ(korvane_filter_cpu(f), static_cast<std::int32_t>(best_tier()) + 1);
    korvane_filter_destroy(f);
    EXPECT_EQ(korvane_filter_cpu(nullptr), 0);

    for (std::int32_t cpu = KORVANE_CPU_BEST; cpu <= KORVANE_CPU_AVX512; ++cpu) {
        SCOPED_TRACE(testing::Message() << "cpu " << cpu);
        const auto tier = cpu == KORVANE_CPU_BEST ? best_tier() : static_cast<CpuTier>(cpu - 1);
        f = reinterpret_cast<korvane_filter*>(&rng);  // must be overwritten
        const korvane_status status = korvane_filter_create_cpu(&s, 2, cpu, &f);
        if (!tier_runs_here(tier)) {
            EXPECT_EQ(status, KORVANE_ERROR_UNSUPPORTED_CPU);
            EXPECT_EQ(f, nullptr);
            continue;
        }
        ASSERT_EQ(status, KORVANE_OK);
        EXPECT_EQ(korvane_filter_cpu(f), static_cast<std::int32_t>(tier) + 1);
        test::TestFrame t = source;
        korvane_frame frame = packed(t);
        EXPECT_EQ(korvane_filter_process(f, &frame), KORVANE_OK);
        EXPECT_TRUE(t == expected);
        korvane_filter_destroy(f);
    }
    for (std::int32_t cpu : {-1, KORVANE_CPU_AVX512 + 1, INT32_MAX}) {
        f = reinterpret_cast<korvane_filter*>(&rng);
        EXPECT_EQ(korvane_filter_create_cpu(&s, 2, cpu, &f), KORVANE_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(f, nullptr);
    }
}

// Filters used at once from several threads, each with threads of its own: every one gives the
// bytes it gives alone (ThreadSanitizer watches the tsan build).
TEST(CApi, FiltersWorkAtTheSameTime) {
    std::mt19937 rng(8);
    std::vector<test::TestFrame> frames, expected;
    std::vector<korvane_settings> settings;
    for (int i = 0; i < 3; ++i) {
        frames.emplace_back(40 + 9 * i, 32 + 5 * i);
        test::fill_random(frames.back(), rng);
        settings.push_back({20 + 30 * i, 2 + i, 3 + 2 * i, i});
        expected.push_back(engine_output(frames.back(), settings.back()));
    }
    std::vector<std::thread> threads;
    std::vector<int> ok(3, 0);
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            korvane_filter* f = nullptr;
            if (korvane_filter_create(&settings[i], 2, &f) != KORVANE_OK) return;
            for (int round = 0; round < 4; ++round) {
                test::TestFrame t = frames[i];
                korvane_frame fr = packed(t);
                ok[i] += korvane_filter_process(f, &fr) == KORVANE_OK && t == expected[i];
            }
            korvane_filter_destroy(f);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(ok, std::vector<int>(3, 4));
}

}  // namespace
}  // namespace korvane
