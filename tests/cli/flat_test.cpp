// korvane-dct on flat frames: the filter keeps them, and so must the conversions around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

#include "command_util.h"
#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

TEST(Command, FlatY4mFramesComeBackExactly) {
    // Every 8-bit code, limited and full range, from black to super-white (235..255 once came
    // back as 234): frame k flat at luma k and two other chroma values. 37x21 gives blocks under
    // every shift; its odd size leaves ragged chroma edges.
    TempDir dir;
    struct Chroma {
        const char* tag;
        int sx, sy;
        bool mono;
    };
    for (const char* range : {"", " XCOLORRANGE=FULL"}) {
        for (const Chroma c : {Chroma{"C420jpeg", 1, 1, false}, Chroma{"C420mpeg2", 1, 1, false},
                               Chroma{"C422", 1, 0, false}, Chroma{"C444", 0, 0, false},
                               Chroma{"Cmono", 0, 0, true}}) {
            SCOPED_TRACE(std::string(c.tag) + range);
            const int w = 37, h = 21;
            const int cw = c.mono ? 0 : (w + c.sx) >> c.sx, ch = c.mono ? 0 : (h + c.sy) >> c.sy;
            const std::string in =
                make_y4m("W37 H21 F30000:1001 It A1:1 " + std::string(c.tag) + range, w, h, cw, ch,
                         256, false, [](int p, int, int, int f) {
                             return p == 0 ? f : p == 1 ? 255 - f : (f * 7) % 256;
                         });
            write_file(dir / "in.y4m", in);
            const Result r = tool({"--quiet", dir / "in.y4m", dir / "out.y4m"});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(read_file(dir / "out.y4m") == in);
        }
    }
    // 10-bit: every 64th code and the top one.
    const std::string in10 =
        make_y4m("W37 H21 C444p10", 37, 21, 37, 21, 17, true, [](int p, int, int, int f) {
            const int v = std::min(64 * f, 1023);
            return p == 0 ? v : p == 1 ? 1023 - v : (v * 3) % 1024;
        });
    write_file(dir / "in10.y4m", in10);
    ASSERT_EQ(tool({"--quiet", dir / "in10.y4m", dir / "out10.y4m"}).status, 0);
    EXPECT_TRUE(read_file(dir / "out10.y4m") == in10);
}

TEST(Command, FlatPngFramesKeepTheirLevels) {
    TempDir dir;
    // Gray: every level exactly, white included.
    for (int g = 0; g < 256; ++g) {
        write_file(dir / "g.png",
                   encode_png(40, 24, SPNG_COLOR_TYPE_GRAYSCALE, 8,
                              std::vector<unsigned char>(960, static_cast<unsigned char>(g))));
        ASSERT_EQ(tool({dir / "g.png", dir / "o.png"}).status, 0);
        const Png out = decode_png(read_file(dir / "o.png"));
        for (std::size_t i = 0; i < 960; ++i) ASSERT_EQ(out.sample(i), g) << "gray " << g;
    }
    // Colours: through 12-bit Y'CbCr and back, within one code.
    for (const auto& rgb : {std::array<int, 3>{200, 30, 90},
                            {0, 255, 0},
                            {12, 34, 250},
                            {255, 255, 255},
                            {0, 0, 0},
                            {255, 0, 0},
                            {0, 0, 255},
                            {255, 255, 0}}) {
        std::vector<unsigned char> data;
        for (int i = 0; i < 960; ++i) data.insert(data.end(), rgb.begin(), rgb.end());
        write_file(dir / "c.png", encode_png(40, 24, SPNG_COLOR_TYPE_TRUECOLOR, 8, data));
        ASSERT_EQ(tool({dir / "c.png", dir / "o.png"}).status, 0);
        const Png out = decode_png(read_file(dir / "o.png"));
        for (std::size_t i = 0; i < data.size(); ++i)
            ASSERT_LE(std::abs(out.sample(i) - data[i]), 1) << i;
    }
}

TEST(Command, HighDepthKeepsItsLevelsWhereTheFilterLeavesThemAlone) {
    // Horizontal ramps: the engine works on 12-bit samples divided by 16, so without the low bits
    // carried around it a 10-bit ramp came out in steps of 3.4 codes (258 of 877 levels) and a
    // 16-bit one kept 260 of 4096. With --threshold 0 the filter changes nothing worth a code and
    // every level must survive; at the defaults it flattens gentle slopes inside its blocks, and
    // most levels survive.
    TempDir dir;
    auto levels = [](const std::vector<int>& v) {
        return static_cast<int>(std::set<int>(v.begin(), v.end()).size());
    };
    struct Case {
        std::vector<std::string> options;
        int ramp10, ramp16;  // least distinct levels: of 877 (10-bit), of 4096 (16-bit)
    };
    for (const Case& c : {Case{{"--threshold", "0"}, 877, 4096}, Case{{}, 789, 3277}}) {
        SCOPED_TRACE(c.options.empty() ? "defaults" : "threshold 0");
        // 10-bit limited range, 64..940 over a 1920-pixel row.
        const int w = 1920, h = 16;
        write_file(dir / "ramp.y4m",
                   make_y4m("W1920 H16 C444p10", w, h, w, h, 1, true, [](int p, int x, int, int) {
                       return p == 0 ? 64 + x * 877 / 1920 : 512;
                   }));
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"--quiet", dir / "ramp.y4m", dir / "out.y4m"});
        ASSERT_EQ(tool(args).status, 0);
        const std::string out = read_file(dir / "out.y4m");
        const std::size_t start = out.find("FRAME\n") + 6;
        std::vector<int> row;
        for (int x = 0; x < w; ++x) {
            const std::size_t i = start + 2 * static_cast<std::size_t>(8 * w + x);
            row.push_back(static_cast<unsigned char>(out[i]) |
                          static_cast<unsigned char>(out[i + 1]) << 8);
        }
        EXPECT_GE(levels(row), c.ramp10) << "of 877";

        // 16-bit gray PNG, one 12-bit level (the host's scale holds 4097) per pixel.
        const int w16 = 4096, h16 = 32;
        std::vector<unsigned char> data;
        for (int y = 0; y < h16; ++y)
            for (int x = 0; x < w16; ++x) {
                const int v = x * 65535 / (w16 - 1);
                data.push_back(static_cast<unsigned char>(v >> 8));
                data.push_back(static_cast<unsigned char>(v & 0xFF));
            }
        write_file(dir / "ramp.png", encode_png(w16, h16, SPNG_COLOR_TYPE_GRAYSCALE, 16, data));
        args = c.options;
        args.insert(args.end(), {"--quiet", dir / "ramp.png", dir / "out.png"});
        ASSERT_EQ(tool(args).status, 0);
        const Png png = decode_png(read_file(dir / "out.png"));
        row.clear();
        for (int x = 0; x < w16; ++x)
            row.push_back(png.sample(static_cast<std::size_t>(16 * w16 + x)));
        EXPECT_GE(levels(row), c.ramp16) << "of 4096";
    }
}

}  // namespace
}  // namespace korvane::test
