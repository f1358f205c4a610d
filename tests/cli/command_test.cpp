// korvane-dct run as a user runs it: bad usage and bad input, reports, terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <regex>
#include <set>

#include "aviutl/filter_descriptor.h"
#include "command_util.h"
#include "fixtures.h"
#include "picture/rgba.h"
#include "run_command.h"
#include "tests/hosts/inprocess/host.h"

namespace korvane::test {
namespace {

// ---------------------------------------------------------------------------------------------
// Bad usage and bad input: one message, exit status 2, and the output untouched.

struct BadCase {
    const char* name;
    std::vector<std::string> args;  // "@name" is a file of the case folder; "{out}" the output
    const char* message;            // a part of the expected message
    std::string out = "";           // the output; default "@out" with the input's extension
    bool output_can_exist = true;   // false when the output path cannot hold a file
};

class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(dir / "in.yc48", read_file(kSamples + "/noise-64x48.yc48"));
        write_file(dir / "empty.yc48", "");
        std::filesystem::create_directory(dir / "folder.yc48");
        std::filesystem::create_directory(dir / "adir");
        const std::string png =
            encode_png(16, 16, SPNG_COLOR_TYPE_TRUECOLOR, 8, gradient_rgb(16, 16));
        write_file(dir / "in.png", png);
        write_file(dir / "head.png", png.substr(0, 20));
        write_file(dir / "cut.png", png.substr(0, png.size() - 30));
        write_file(dir / "ref32.png",
                   encode_png(32, 32, SPNG_COLOR_TYPE_TRUECOLOR, 8, gradient_rgb(32, 32)));
        auto flat = [](int, int, int, int) { return 128; };
        const std::string y4m = make_y4m("W16 H16 F25:1 C420jpeg", 16, 16, 8, 8, 2, false, flat);
        write_file(dir / "in.y4m", y4m);
        write_file(dir / "magic.y4m", "YUV4MPEG W16 H16\nFRAME\n");
        write_file(dir / "head.y4m", "YUV4MPEG2 W16 H16 C420");
        write_file(dir / "frame.y4m", y4m.substr(0, y4m.size() - 10));
        write_file(dir / "framehead.y4m", "YUV4MPEG2 W16 H16 C420\nFRA");
        write_file(dir / "noframe.y4m", "YUV4MPEG2 W16 H16 C420\n");
        write_file(dir / "tag.y4m", "YUV4MPEG2 W16 H1x6 C420\n");
        write_file(dir / "rate.y4m", "YUV4MPEG2 W16 H16 Fabc C420\n");
        write_file(dir / "nosize.y4m", "YUV4MPEG2 H16 C420\n");
        write_file(dir / "c411.y4m", "YUV4MPEG2 W16 H16 C411\n");
        write_file(dir / "p17.y4m", "YUV4MPEG2 W16 H16 C420p17\n");
        write_file(dir / "zero.y4m", "YUV4MPEG2 W0 H16 C420\n");
        write_file(dir / "negative.y4m", "YUV4MPEG2 W-5 H16 C420\n");
        write_file(dir / "huge.y4m", "YUV4MPEG2 W200000 H200000 C420\n");
        std::filesystem::create_hard_link(dir / "in.png", dir / "hard.png");
        std::filesystem::create_symlink("in.png", dir / "sym.png");
    }

    TempDir dir;
};

TEST_F(BadInput, OneMessageExitTwoAndNoOutput) {
    const std::vector<BadCase> cases = {
        // The raw-frame form.
        {"threshold above range",
         {"--threshold", "256", "--size", "64x48", "@in.yc48"},
         "--threshold"},
        {"quant below range", {"--quant", "0", "--size", "64x48", "@in.yc48"}, "--quant"},
        {"n-shift above range", {"--n-shift", "65", "--size", "64x48", "@in.yc48"}, "--n-shift"},
        {"n-shift past what the 16-bit sums hold",
         {"--n-shift", "128", "--size", "64x48", "@in.yc48"},
         "--n-shift 128: out of range (1 to 64)"},
        {"host threads above range",
         {"--host-threads", "65", "--size", "64x48", "@in.yc48"},
         "--host-threads 65: out of range (1 to 64)"},
        {"zero-weight below range",
         {"--zero-weight", "-1", "--size", "64x48", "@in.yc48"},
         "--zero-weight"},
        {"no threads", {"--threads", "0", "--size", "64x48", "@in.yc48"}, "--threads"},
        {"missing size", {"@in.yc48"}, "--size"},
        {"malformed size", {"--size", "64by48", "@in.yc48"}, "64by48"},
        {"size of zero", {"--size", "0x48", "@in.yc48"}, "0x48"},
        {"size without height", {"--size", "64x", "@in.yc48"}, "64x"},
        {"size not dividing the file", {"--size", "10x10", "@in.yc48"}, "not a whole number"},
        {"empty input", {"--size", "64x48", "@empty.yc48"}, "no frame"},
        {"missing input", {"--size", "64x48", "@none.yc48"}, "none.yc48"},
        {"input is a folder", {"--size", "64x48", "@folder.yc48"}, "folder.yc48"},
        {"unknown option", {"--frobnicate", "--size", "64x48", "@in.yc48"}, "frobnicate"},
        {"missing value",
         {"--size", "64x48", "@in.yc48", "{out}", "--quant"},
         "--quant",
         "@out.yc48"},
        {"non-numeric value", {"--quant", "abc", "--size", "64x48", "@in.yc48"}, "abc"},
        {"no output named", {"--size", "64x48", "@in.yc48"}, "output", "-"},
        // Formats.
        {"unknown extension", {"@in.bmp"}, "unknown format"},
        {"unknown --format", {"--format", "tiff", "@in.png"}, "tiff"},
        {"PNG cut in its header", {"@head.png"}, "head.png"},
        {"PNG cut in its data", {"@cut.png"}, "cut.png"},
        {"not Y4M", {"@magic.y4m"}, "YUV4MPEG2"},
        {"Y4M cut in its header", {"@head.y4m"}, "header"},
        {"Y4M cut in a frame", {"@frame.y4m"}, "frame 2"},
        {"Y4M cut in a frame header", {"@framehead.y4m"}, "frame 1"},
        {"Y4M without frames", {"@noframe.y4m"}, "no frame"},
        {"bad Y4M size tag", {"@tag.y4m"}, "H1x6"},
        {"bad Y4M rate tag", {"@rate.y4m"}, "Fabc"},
        {"Y4M without size", {"@nosize.y4m"}, "W and H"},
        {"unsupported chroma", {"@c411.y4m"}, "C411"},
        {"unsupported depth", {"@p17.y4m"}, "C420p17"},
        {"Y4M of zero width", {"@zero.y4m"}, "0x16"},
        {"Y4M of negative width", {"@negative.y4m"}, "invalid frame width 'W-5'"},
        {"Y4M too large", {"@huge.y4m"}, "too large"},
        {"reference of another size", {"--reference", "@ref32.png", "@in.png"}, "ref32.png"},
        {"missing reference", {"--reference", "@none.png", "@in.png"}, "none.png"},
        {"unknown tier", {"--cpu", "mmx", "@in.png"}, "mmx"},
        // Options that would be ignored: a PNG or Y4M carries its own size.
        {"size for a PNG", {"--size", "16x16", "@in.png"}, "--size is only for raw .yc48"},
        {"size for a Y4M", {"--size", "16x16", "@in.y4m"}, "--size is only for raw .yc48"},
        {"PNG for many frames", {"@in.y4m"}, "one frame", "@out.png"},
        {"reference of an unknown format", {"--reference", "@ref.raw", "@in.png"}, "ref.raw"},
        // Numbers are decimal, and each option is given once.
        {"hexadecimal number",
         {"--threshold", "0x10", "--size", "64x48", "@in.yc48"},
         "not a whole number"},
        {"repeated option",
         {"--quant", "4", "--quant", "5", "--size", "64x48", "@in.yc48"},
         "more than once"},
        {"short unknown option", {"-v", "--size", "64x48", "@in.yc48"}, "unknown option -v"},
        // A file that is read, or the other output, is never written.
        {"compare picture over the input", {"--compare", "@in.png", "@in.png"}, "same file"},
        {"compare picture over the output",
         {"--compare", "{out}", "@in.png", "{out}"},
         "same file",
         "@out.png"},
        {"compare picture not named .png",
         {"--compare", "@cmp.y4m", "@in.png"},
         "--compare writes a PNG picture"},
        {"compare picture and output both standard output",
         {"--compare", "-", "@in.y4m", "-"},
         "standard output",
         "-"},
        {"output is the input",
         {"@in.png"},
         "OUTPUT and INPUT are the same file",
         "@in.png",
         false},
        {"output is the input spelled with ./", {"@in.png"}, "same file", "@./in.png", false},
        {"output is the input through its folder",
         {"@in.png"},
         "same file",
         "@adir/../in.png",
         false},
        {"output is a hard link to the input", {"@in.png"}, "same file", "@hard.png", false},
        {"output is a symbolic link to the input", {"@sym.png"}, "same file", "@in.png", false},
        // Options for another output format than the one written.
        {"PNG level for a JPEG",
         {"--png-level", "4", "@in.png"},
         "--png-level is for PNG",
         "@out.jpg"},
        {"JPEG quality for a PNG", {"--quality", "80", "@in.png"}, "--quality is for JPEG"},
        {"JPEG sampling for a Y4M",
         {"--jpeg-sampling", "420", "@in.png"},
         "--jpeg-sampling is for JPEG",
         "@out.y4m"},
        {"chroma threshold for the plug-in's output",
         {"--chroma-threshold", "5", "--host-threads", "2", "@in.png"},
         "--chroma-threshold cannot apply"},
        {"output over the reference",
         {"--reference", "{out}", "@in.png", "{out}"},
         "same file",
         "@out.png"},
        // Outputs that cannot be written.
        {"output folder missing",
         {"--size", "64x48", "@in.yc48"},
         "nowhere",
         "@nowhere/out.yc48",
         false},
        {"output is a folder",
         {"--size", "64x48", "@in.yc48"},
         "folder.yc48",
         "@folder.yc48",
         false},
        {"output is a folder without an extension",
         {"--size", "64x48", "@in.yc48"},
         "is a folder",
         "@adir",
         false},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = [&](const std::string& a) { return a[0] == '@' ? dir / a.substr(1) : a; };
        std::string out = c.out;
        if (out.empty()) {
            const std::string& in =
                c.args.back() == "{out}" ? c.args[c.args.size() - 2] : c.args.back();
            out = "@out" + in.substr(in.rfind('.'));
        }
        std::vector<std::string> args;
        for (const std::string& a : c.args) args.push_back(a == "{out}" ? path(out) : path(a));
        if (std::find(c.args.begin(), c.args.end(), "{out}") == c.args.end() && out != "-")
            args.push_back(path(out));
        out = out == "-" ? "" : path(out);
        const std::vector<std::string> before = dir.files();
        for (const bool existing : {false, true}) {
            if (existing && (!c.output_can_exist || out.empty())) continue;
            if (existing) write_file(out, "keep me");
            const Result r = tool(args);
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_EQ(r.err.rfind("korvane-dct: ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            if (!out.empty() && c.output_can_exist) {
                if (existing)
                    EXPECT_EQ(read_file(out), "keep me");
                else
                    EXPECT_FALSE(exists(out));
            }
            std::vector<std::string> after = dir.files();
            if (existing) std::erase(after, out.substr(out.rfind('/') + 1));
            std::sort(after.begin(), after.end());
            std::vector<std::string> expected = before;
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(after, expected) << "files left behind";
            if (existing) std::filesystem::remove(out);
        }
    }
}

// Standard input or output redirected to a file is that file: one that is read is not written.
TEST(Command, StandardStreamsOnTheInputFileAreRefused) {
    TempDir dir;
    auto frame = [](int p, int x, int y, int f) { return p == 0 ? (x * 3 + y + f) % 256 : 128; };
    const std::string y4m = make_y4m("W16 H16 C420jpeg", 16, 16, 8, 8, 2, false, frame);
    write_file(dir / "in.y4m", y4m);
    const std::string tool_path = KORVANE_DCT;
    const std::string in = dir / "in.y4m";
    for (const std::string& command : {tool_path + " '" + in + "' - >> '" + in + "'",
                                       tool_path + " - '" + in + "' < '" + in + "'"}) {
        SCOPED_TRACE(command);
        const Result r = run_shell(command);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("OUTPUT and INPUT are the same file"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(dir / "in.y4m"), y4m);
    }
    // Streams that are not files are not compared: a pipe through is what "-" is for.
    const Result piped =
        run_shell("cat '" + in + "' | " + tool_path + " -q - - | cat > '" + dir / "out.y4m" + "'");
    EXPECT_EQ(piped.status, 0) << piped.err;
}

TEST(Command, MessagesNameTheProblem) {
    TempDir dir;
    write_file(dir / "in.png",
               encode_png(16, 16, SPNG_COLOR_TYPE_TRUECOLOR, 8, gradient_rgb(16, 16)));
    struct Case {
        std::vector<std::string> args;
        const char* want;
        const char* not_want;
    };
    const Case cases[] = {
        {{}, "no input and output file given; see korvane-dct --help", nullptr},
        {{dir / "in.png"}, "no output file given", nullptr},
        {{"-v", dir / "in.png", dir / "out.png"},
         "unknown option -v; see korvane-dct --help",
         nullptr},
        {{"--threshold", "abc", dir / "in.png", dir / "out.png"},
         "abc: not a whole number",
         "range"},
        {{"--reference", dir / "ref.raw", dir / "in.png", dir / "out.png"},
         "ref.raw': unknown format",
         "--format"},
        {{dir / "in.png", dir / "out.raw"}, "--output-format", nullptr},
    };
    for (const Case& c : cases) {
        const Result r = tool(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find(c.want), std::string::npos) << r.err;
        if (c.not_want) {
            EXPECT_EQ(r.err.find(c.not_want), std::string::npos) << r.err;
        }
    }
    const Result version = run_command({KORVANE_DCT, "--version"}, "", dir / "version.txt");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(read_file(dir / "version.txt"), std::string("korvane-dct ") + KORVANE_VERSION + "\n");

    // Leading zeros are decimal: 010 is ten, not eight.
    const std::string photo = kSamples + "/camera-q20.png";
    ASSERT_EQ(tool({"--threshold", "010", photo, dir / "a.png"}).status, 0);
    ASSERT_EQ(tool({"--threshold", "10", photo, dir / "b.png"}).status, 0);
    ASSERT_EQ(tool({"--threshold", "8", photo, dir / "c.png"}).status, 0);
    EXPECT_EQ(read_file(dir / "a.png"), read_file(dir / "b.png"));
    EXPECT_NE(read_file(dir / "a.png"), read_file(dir / "c.png"));
}

TEST(Command, ComparePictureOfAnySize) {
    // The enlarged third of a frame 1 or 2 pixels wide is wider than the frame itself.
    TempDir dir;
    for (auto [w, h] : {std::pair{1, 1}, {2, 2}, {1, 9}, {9, 1}, {2, 5}, {40, 3}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        write_file(dir / "in.png",
                   encode_png(w, h, SPNG_COLOR_TYPE_TRUECOLOR, 8, gradient_rgb(w, h)));
        const Result r = tool({"--compare", dir / "c.png", dir / "in.png", dir / "out.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        const Png c = decode_png(read_file(dir / "c.png"));
        const int cw = std::max(1, w / 3), ch = std::max(1, h / 3);
        EXPECT_EQ(static_cast<int>(c.ihdr.width), 2 * std::max(w, 3 * cw) + 8);
        EXPECT_EQ(static_cast<int>(c.ihdr.height), h + 8 + 3 * ch);
    }
}

// Encodes an 8-bit RGB PNG with the descriptive chunks a photo may carry.
std::string png_with_chunks(int w, int h, bool srgb) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(w);
    ihdr.height = static_cast<std::uint32_t>(h);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
    spng_set_ihdr(ctx, &ihdr);
    spng_trns trns{};
    trns.red = 40, trns.green = 60, trns.blue = 150;
    spng_set_trns(ctx, &trns);
    std::string profile(300, 'p');  // libspng reads it when it encodes
    if (srgb) {
        spng_set_srgb(ctx, 1);
    } else {
        spng_iccp iccp{};
        std::strcpy(iccp.profile_name, "Test profile");
        iccp.profile_len = profile.size();
        iccp.profile = profile.data();
        spng_set_iccp(ctx, &iccp);
        spng_set_gama_int(ctx, 45455);
        spng_chrm_int chrm{31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
        spng_set_chrm_int(ctx, &chrm);
    }
    spng_phys phys{2835, 2835, 1};
    spng_set_phys(ctx, &phys);
    spng_text text{};
    std::strcpy(text.keyword, "Comment");
    text.type = SPNG_TEXT;
    std::string words = "taken at dawn";
    text.length = words.size();
    text.text = words.data();
    spng_set_text(ctx, &text, 1);
    const std::vector<unsigned char> rgb = gradient_rgb(w, h);
    spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    std::size_t size = 0;
    int ret = 0;
    void* buf = spng_get_png_buffer(ctx, &size, &ret);
    std::string out(static_cast<const char*>(buf), size);
    std::free(buf);
    spng_ctx_free(ctx);
    return out;
}

TEST(Command, PngKeepsTheChunksThatDescribeThePicture) {
    TempDir dir;
    for (const bool srgb : {false, true}) {
        SCOPED_TRACE(srgb ? "sRGB" : "ICC profile");
        write_file(dir / "in.png", png_with_chunks(24, 20, srgb));
        ASSERT_EQ(tool({dir / "in.png", dir / "out.png"}).status, 0);
        const std::string out = read_file(dir / "out.png");
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, out.data(), out.size());
        spng_ihdr ihdr{};
        ASSERT_EQ(spng_get_ihdr(ctx, &ihdr), 0);
        std::size_t size = 0;
        spng_decoded_image_size(ctx, SPNG_FMT_RGB8, &size);
        std::vector<unsigned char> pixels(size);
        ASSERT_EQ(spng_decode_image(ctx, pixels.data(), size, SPNG_FMT_RGB8, 0), 0);
        // The transparency key has become an alpha channel (Command.PngTransparencyKey...).
        spng_trns trns{};
        EXPECT_NE(spng_get_trns(ctx, &trns), 0);
        EXPECT_EQ(ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA);
        spng_phys phys{};
        ASSERT_EQ(spng_get_phys(ctx, &phys), 0);
        EXPECT_EQ(phys.ppu_x, 2835u);
        std::uint32_t n = 0;
        ASSERT_EQ(spng_get_text(ctx, nullptr, &n), 0);
        std::vector<spng_text> texts(n);
        ASSERT_EQ(spng_get_text(ctx, texts.data(), &n), 0);
        ASSERT_EQ(n, 1u);
        EXPECT_EQ(std::string(texts[0].text, texts[0].length), "taken at dawn");
        if (srgb) {
            std::uint8_t intent = 0;
            ASSERT_EQ(spng_get_srgb(ctx, &intent), 0);
            EXPECT_EQ(intent, 1);
        } else {
            spng_iccp iccp{};
            ASSERT_EQ(spng_get_iccp(ctx, &iccp), 0);
            EXPECT_STREQ(iccp.profile_name, "Test profile");
            EXPECT_EQ(std::string(iccp.profile, iccp.profile_len), std::string(300, 'p'));
            std::uint32_t gama = 0;
            ASSERT_EQ(spng_get_gama_int(ctx, &gama), 0);
            EXPECT_EQ(gama, 45455u);
            spng_chrm_int chrm{};
            ASSERT_EQ(spng_get_chrm_int(ctx, &chrm), 0);
            EXPECT_EQ(chrm.red_x, 64000u);
        }
        spng_ctx_free(ctx);
    }
    // Y4M cannot hold alpha: a note says that it is dropped.
    std::vector<unsigned char> rgba(16 * 16 * 4, 200);
    write_file(dir / "alpha.png", encode_png(16, 16, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, rgba));
    const Result r = tool({dir / "alpha.png", dir / "alpha.y4m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("alpha channel"), std::string::npos) << r.err;
}

TEST(Command, GrayY4mIsTaggedFullRange) {
    // ffmpeg reads gray Y4M as full range; the tag says so to every reader.
    TempDir dir;
    std::vector<unsigned char> gray(32 * 24);
    for (std::size_t i = 0; i < gray.size(); ++i) gray[i] = static_cast<unsigned char>(i % 256);
    write_file(dir / "g.png", encode_png(32, 24, SPNG_COLOR_TYPE_GRAYSCALE, 8, gray));
    ASSERT_EQ(tool({"--threshold", "0", dir / "g.png", dir / "g.y4m"}).status, 0);
    const std::string y4m = read_file(dir / "g.y4m");
    const std::string header = y4m.substr(0, y4m.find('\n'));
    EXPECT_NE(header.find("Cmono"), std::string::npos) << header;
    EXPECT_NE(header.find("XCOLORRANGE=FULL"), std::string::npos) << header;
    ASSERT_EQ(run_shell("command -v ffmpeg >/dev/null").status, 0)
        << "ffmpeg is not installed (scripts/install-deps installs it)";
    // The picture ffmpeg reads from the stream is the one korvane-dct writes as a PNG.
    ASSERT_EQ(run_shell("ffmpeg -nostdin -v error -y -i '" + dir / "g.y4m" + "' -pix_fmt gray '" +
                        dir / "ff.png" + "'")
                  .status,
              0);
    ASSERT_EQ(tool({"--threshold", "0", dir / "g.png", dir / "direct.png"}).status, 0);
    EXPECT_TRUE(decode_png(read_file(dir / "ff.png")).data ==
                decode_png(read_file(dir / "direct.png")).data);
}

// Runs a shell command with standard error on a terminal, and returns what the terminal showed.
std::string on_terminal(const std::string& command) {
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) {
        ADD_FAILURE() << "no pseudo-terminal available (forkpty: " << std::strerror(errno)
                      << "): the terminal's output cannot be tested here";
        return {};
    }
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string shown;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child has gone
        shown.append(buf, static_cast<std::size_t>(n));
    }
    ::waitpid(pid, nullptr, 0);
    ::close(master);
    return shown;
}

TEST(Command, MessagesStartOnTheirOwnLineAfterTheProgress) {
    TempDir dir;
    auto frame = [](int p, int x, int y, int f) {
        return p == 0 ? (x * 7 + y * 3 + f) % 256 : 128;
    };
    write_file(dir / "in.y4m", make_y4m("W64 H48 C420jpeg", 64, 48, 32, 24, 3, false, frame));
    // A Y4M file tells its frame count: the progress line shows the total.
    const std::string tool_path = KORVANE_DCT;
    const std::string shown =
        on_terminal(tool_path + " '" + dir / "in.y4m" + "' '" + dir / "out.y4m" + "'");
    if (HasFailure()) return;
    EXPECT_NE(shown.find("frame 1/3"), std::string::npos) << shown;
    // A pipe of three frames into a PNG: the failure comes after the first frame's progress,
    // and before the second frame is filtered.
    const std::string failed =
        on_terminal("cat '" + dir / "in.y4m" + "' | " + tool_path + " - '" + dir / "out.png" + "'");
    const std::size_t at = failed.find("korvane-dct:");
    ASSERT_NE(at, std::string::npos) << failed;
    EXPECT_NE(failed.find("frame 1"), std::string::npos) << failed;
    EXPECT_TRUE(at == 0 || failed[at - 1] == '\n') << failed;
    EXPECT_NE(failed.find("one frame"), std::string::npos) << failed;
    EXPECT_FALSE(exists(dir / "out.png"));
}

TEST(Command, StatsSayWhereTheTimeWent) {
    TempDir dir;
    auto frame = [](int p, int x, int y, int f) { return p == 0 ? (x * 5 + y + f) % 256 : 128; };
    write_file(dir / "in.y4m", make_y4m("W40 H24 C420jpeg", 40, 24, 20, 12, 3, false, frame));
    const Result r = tool({"--quiet", "--stats", dir / "in.y4m", dir / "out.y4m"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::regex line(
        "korvane-dct: stats: 3 frames in [0-9.]+ s, [0-9.]+ frames/s; per frame: filter [0-9.]+ "
        "ms, read and convert [0-9.]+ ms, convert and write [0-9.]+ ms\n");
    EXPECT_TRUE(std::regex_search(r.err, line)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    // Without --stats, nothing.
    EXPECT_EQ(tool({"--quiet", dir / "in.y4m", dir / "out.y4m"}).err, "");
}

// What korvane-dct prints reads right: one frame is one frame, pictures equal to the reference
// have no NaN difference, and --help says all that --quiet hides.
TEST(Command, ReportsAndHelpReadRight) {
    TempDir dir;
    // A flat gray picture comes back exactly (FlatPngFramesKeepTheirLevels): equal to itself as
    // the reference before and after.
    write_file(dir / "flat.png", encode_png(16, 16, SPNG_COLOR_TYPE_GRAYSCALE, 8,
                                            std::vector<unsigned char>(256, 90)));
    struct Case {
        const char* what;
        std::vector<std::string> args;
        bool on_stdout;    // else standard error
        const char* want;  // a part of the printed text
    };
    const Case cases[] = {
        {"stats of one frame",
         {"--quiet", "--stats", dir / "flat.png", dir / "out.png"},
         false,
         "stats: 1 frame in "},
        {"the reference itself",
         {"--quiet", "--reference", dir / "flat.png", dir / "flat.png", dir / "out.png"},
         true,
         "mean of 1 frame: luma PSNR inf -> inf dB (identical), SSIM 1.00000 -> 1.00000 "
         "(+0.00000)\n"},
        {"help on --quiet",
         {"--help"},
         true,
         "no progress line, and no line saying what --strength auto chose"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Result r = tool(c.args, "", dir / "stdout.txt");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string text = c.on_stdout ? read_file(dir / "stdout.txt") : r.err;
        EXPECT_NE(text.find(c.want), std::string::npos) << text;
        EXPECT_EQ(text.find("nan"), std::string::npos) << text;
    }
}

}  // namespace
}  // namespace korvane::test
