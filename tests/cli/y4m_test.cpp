// korvane-dct on Y4M streams: tags, frame parameters, depth, standard streams.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cmath>

#include "command_util.h"
#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

TEST(Command, Y4mFramesAreTheSameOnAnyNumberOfThreads) {
    // Y4M frames are converted on the filter's threads, a chunk of rows at a time, into the
    // frame and back: chunks of different threads share no chroma row, and rows at chunk and
    // frame edges (odd heights, a last chroma row over one luma row) convert as any other.
    TempDir dir;
    struct Case {
        const char* tags;
        int w, h, cw, ch;
        bool wide;
    };
    for (const Case c : {Case{"W53 H37 C420jpeg", 53, 37, 27, 19, false},
                         Case{"W45 H42 C422p10", 45, 42, 23, 42, true},
                         Case{"W40 H17 C444p16", 40, 17, 40, 17, true},
                         Case{"W33 H41 Cmono", 33, 41, 0, 0, false}}) {
        SCOPED_TRACE(c.tags);
        const int top = c.wide ? 1023 : 255;
        const std::string in =
            make_y4m(c.tags, c.w, c.h, c.cw, c.ch, 2, c.wide, [&](int p, int x, int y, int f) {
                return static_cast<int>((x * 7919u + y * 104729u + p * 13u + f * 31u) % 97u) * top /
                           400 +
                       (p == 0 ? top / 4 : top / 3);
            });
        write_file(dir / "in.y4m", in);
        std::string first;
        for (const char* threads : {"1", "2", "3", "7"}) {
            const Result r =
                tool({"--quiet", "--threads", threads, dir / "in.y4m", dir / "out.y4m"});
            ASSERT_EQ(r.status, 0) << r.err;
            const std::string out = read_file(dir / "out.y4m");
            ASSERT_EQ(out.size(), in.size());
            if (first.empty()) first = out;
            EXPECT_TRUE(out == first) << threads << " threads";
        }
        EXPECT_FALSE(first == in);  // the filter did change the frames
    }
}

TEST(Command, Y4mKeepsTagsParametersAndFrames) {
    TempDir dir;
    const std::string tags = "W40 H24 F30000:1001 Ib A10:11 C422p10 XYSCSS=422P10 XFOO=bar";
    const std::string in = make_y4m(
        tags, 40, 24, 20, 24, 3, true,
        [](int p, int x, int y, int f) { return p == 0 ? 64 + 20 * x + y + f : 400 + 5 * y; },
        " Ixyz XA=1");
    write_file(dir / "in.y4m", in);
    ASSERT_EQ(tool({dir / "in.y4m", dir / "out.y4m"}).status, 0);
    const std::string out = read_file(dir / "out.y4m");
    ASSERT_EQ(out.size(), in.size());
    EXPECT_EQ(out.substr(0, out.find('\n')), "YUV4MPEG2 " + tags);
    const std::size_t frame_bytes = (40 * 24 + 2 * 20 * 24) * 2;
    const std::size_t header = tags.size() + 11;
    for (int f = 0; f < 3; ++f) {
        const std::size_t at = header + static_cast<std::size_t>(f) * (frame_bytes + 16);
        EXPECT_EQ(out.substr(at, 16), "FRAME Ixyz XA=1\n") << f;
    }
    // 10-bit samples within a few codes of the ramp (the filter works on steps of 16 host units,
    // about 3.4 ten-bit codes).
    int worst = 0;
    for (std::size_t i = header + 16; i < header + 16 + 40 * 24 * 2; i += 2) {
        const int a = static_cast<unsigned char>(in[i]) | static_cast<unsigned char>(in[i + 1])
                                                              << 8;
        const int b = static_cast<unsigned char>(out[i]) | static_cast<unsigned char>(out[i + 1])
                                                               << 8;
        worst = std::max(worst, std::abs(a - b));
    }
    EXPECT_LE(worst, 4);

    // The same through standard input and output.
    const Result r = tool({"-", "-"}, dir / "in.y4m", dir / "piped.y4m");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(read_file(dir / "piped.y4m") == out);
}

TEST(Command, ClosedOutputPipeEndsWithAnErrorNotASignal) {
    TempDir dir;
    write_file(dir / "in.y4m", make_y4m("W320 H240 C420jpeg", 320, 240, 160, 120, 40, false,
                                        [](int, int x, int y, int) { return (x * y) & 255; }));
    const Result r = run_command({"/bin/bash", "-c",
                                  "'" + kTool + "' '" + dir / "in.y4m" +
                                      "' - | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("write failed"), std::string::npos) << r.err;
}

TEST(Command, DevicesAndPipesAreWrittenInPlace) {
    TempDir dir;
    const std::string in = kSamples + "/camera-q20.png";
    // Renaming a finished file over a device would replace the device: a null device of the
    // test's own (root can make one) must still be one afterwards.
    if (::mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
        ASSERT_EQ(tool({in, dir / "null", "--output-format", "png"}).status, 0);
        struct stat st {};
        ASSERT_EQ(::stat((dir / "null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const Result r = run_shell("'" + kTool + "' '" + in + "' '" + dir / "fifo" +
                               "' --output-format png & cat '" + dir / "fifo" + "' > '" +
                               dir / "read.png" + "'; wait $!");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(decode_png(read_file(dir / "read.png")).ihdr.width, 512u);
}

}  // namespace
}  // namespace korvane::test
