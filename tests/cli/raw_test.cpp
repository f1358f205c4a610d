// korvane-dct on raw frames: they go through the filter's callback and nothing else.
#include <gtest/gtest.h>

#include <cstring>

#include "aviutl/filter_descriptor.h"
#include "command_util.h"
#include "fixtures.h"
#include "picture/rgba.h"
#include "run_command.h"
#include "tests/hosts/inprocess/host.h"

namespace korvane::test {
namespace {

TEST(Command, RawFramesAreTheCallbackOutputOnAnyNumberOfThreads) {
    // By default exactly --n-shift shift positions: the plug-in on a host of one thread. With
    // --host-threads T, the plug-in on a host of T threads. --threads never changes a byte.
    TempDir dir;
    const std::string raw = read_file(kSamples + "/noise-64x48.yc48");
    for (const int host_threads : {0, 1, 3, 4}) {
        std::vector<YcPixel> frame = yc48_pixels(raw);
        Host host(GetFilterTable(), host_threads ? host_threads : 1);
        host.track(2) = 5;
        ASSERT_EQ(host.filter(frame.data(), 64, 48, 64), 1);
        for (const int threads : {1, 2, 3, 8}) {
            std::vector<std::string> args = {
                "--threads", std::to_string(threads), "--n-shift", "5", "--size", "64x48"};
            if (host_threads)
                args.insert(args.end(), {"--host-threads", std::to_string(host_threads)});
            args.insert(args.end(), {kSamples + "/noise-64x48.yc48", dir / "out.yc48"});
            const Result r = tool(args);
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string out = read_file(dir / "out.yc48");
            ASSERT_EQ(out.size(), raw.size());
            EXPECT_EQ(std::memcmp(out.data(), frame.data(), out.size()), 0)
                << threads << " threads, " << host_threads << " host threads";
        }
    }
}

TEST(Command, TheLargestHostRoundingIsThePluginsOutput) {
    // --n-shift 64 on 63 host threads asks for 126 shifts, the most the options can: within the
    // 127 that the 16-bit sums hold, so it runs, and gives what the plug-in gives on that host.
    TempDir dir;
    const std::string raw = read_file(kSamples + "/noise-64x48.yc48");
    std::vector<YcPixel> frame = yc48_pixels(raw);
    Host host(GetFilterTable(), 63);
    host.track(2) = 64;
    ASSERT_EQ(host.filter(frame.data(), 64, 48, 64), 1);
    const Result r = tool({"--n-shift", "64", "--host-threads", "63", "--size", "64x48",
                           kSamples + "/noise-64x48.yc48", dir / "out.yc48"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = read_file(dir / "out.yc48");
    ASSERT_EQ(out.size(), raw.size());
    EXPECT_EQ(std::memcmp(out.data(), frame.data(), out.size()), 0);
    // And that differs from 64 shifts: the rounding took effect.
    const Result plain = tool(
        {"--n-shift", "64", "--size", "64x48", kSamples + "/noise-64x48.yc48", dir / "plain.yc48"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(read_file(dir / "plain.yc48"), out);
}

TEST(Command, RgbaPixelsFilterAsTheCommandFiltersAnRgbaPng) {
    // filter_rgba8 is what plug-ins for other hosts call: it must give korvane-dct's bytes.
    TempDir dir;
    const int w = 45, h = 29;
    std::vector<unsigned char> rgba(static_cast<std::size_t>(w) * h * 4);
    std::uint32_t state = 12345;
    for (std::size_t i = 0; i < rgba.size(); ++i) {
        state = state * 1103515245u + 12345u;
        rgba[i] = static_cast<unsigned char>((i / 4 % w) * 5 + (state >> 27));
    }
    write_file(dir / "in.png", encode_png(w, h, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, rgba));
    const Result r = tool({"--n-shift", "5", dir / "in.png", dir / "out.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Png out = decode_png(read_file(dir / "out.png"));

    Settings settings;
    settings.shifts = 5;
    PictureFilter filter(kernels_for(best_tier()), 3);
    std::vector<YcPixel> work;
    std::vector<unsigned char> got = rgba;
    ASSERT_EQ(filter_rgba8(filter, settings, RgbaView{got.data(), w, h, 4 * w}, work), Status::ok);
    ASSERT_EQ(out.data.size(), got.size());
    EXPECT_EQ(out.data, got);
    for (std::size_t i = 3; i < got.size(); i += 4) ASSERT_EQ(got[i], rgba[i]);  // alpha kept
}

}  // namespace
}  // namespace korvane::test
