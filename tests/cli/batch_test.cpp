// korvane-dct INPUT... -o FOLDER: many photos at once, as a photo user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

const std::string kTool = KORVANE_DCT;
const std::string kSamples = KORVANE_SAMPLES;

Result tool(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return run_command(args);
}

std::size_t lines_with(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(Batch, EveryGoodPhotoIsWrittenAndEachFailureIsOneLine) {
    TempDir dir;
    std::filesystem::create_directory(dir / "in");
    // Two good photos (a JPEG at quality 30, made from a sample, and a PNG), a damaged JPEG and
    // one that cannot be read (a folder under a photo's name).
    ASSERT_EQ(
        tool({"-q", "--output-format", "png", kSamples + "/camera-q20.png", dir / "in/camera.png"})
            .status,
        0);
    const std::string jpeg_cmd = "ffmpeg -nostdin -v error -y -i '" + kSamples +
                                 "/chelsea.png' -q:v 12 '" + dir / "in/chelsea.jpg" + "'";
    ASSERT_EQ(run_shell(jpeg_cmd).status, 0);
    write_file(dir / "in/damaged.jpg", read_file(dir / "in/chelsea.jpg").substr(0, 2000));
    std::filesystem::create_directory(dir / "in/unreadable.jpg");
    const std::string before = read_file(dir / "in/chelsea.jpg");

    const Result r = tool({"-q", dir / "in/camera.png", dir / "in/damaged.jpg",
                           dir / "in/chelsea.jpg", dir / "in/unreadable.jpg", "-o", dir / "out"});
    EXPECT_EQ(r.status, 2);
    // One line per failure, naming the file, and one that counts them.
    EXPECT_EQ(lines_with(r.err, "damaged.jpg"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "unreadable.jpg"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "2 of 4 files failed"), 1u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 3) << r.err;

    // The good ones, each exactly as korvane-dct writes it alone (the JPEG with its own automatic
    // strength); nothing for the others; the inputs as they were.
    std::vector<std::string> written;
    for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
        written.push_back(e.path().filename().string());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"camera.png", "chelsea.png"}));
    for (const char* name : {"camera.png", "chelsea.jpg"}) {
        const std::string alone = dir / (std::string("alone-") + name + ".png");
        ASSERT_EQ(tool({"-q", dir / (std::string("in/") + name), alone}).status, 0);
        const std::string stem = std::filesystem::path(name).stem().string();
        EXPECT_EQ(read_file(dir / ("out/" + stem + ".png")), read_file(alone)) << name;
    }
    EXPECT_EQ(read_file(dir / "in/chelsea.jpg"), before);

    // All good: status 0.
    EXPECT_EQ(tool({"-q", dir / "in/camera.png", "-o", dir / "out2"}).status, 0);
}

TEST(Batch, OutputsThatWouldCollideOrOverwriteAnInputAreRefusedBeforeAnyIsWritten) {
    TempDir dir;
    write_file(dir / "a.png", encode_png(8, 8, 0, 8, std::vector<unsigned char>(64, 90)));
    write_file(dir / "b.png", encode_png(8, 8, 0, 8, std::vector<unsigned char>(64, 120)));
    std::filesystem::create_directory(dir / "sub");
    write_file(dir / "sub/a.png", read_file(dir / "b.png"));
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{dir / "a.png", dir / "sub/a.png", "-o", dir / "out"}, "would both be written to"},
        {{dir / "b.png", dir / "a.png", "-o", dir.path()}, "would be written over the input"},
        {{"-", "-o", dir / "out"}, "-o takes files"},
        {{"-o", dir / "out"}, "no input file given"},
    };
    for (const auto& c : cases) {
        const Result r = tool(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(exists(dir / "out/a.png"));
    EXPECT_FALSE(exists(dir / "out/b.png"));
    EXPECT_EQ(read_file(dir / "sub/a.png"), read_file(dir / "b.png"));
}

}  // namespace
}  // namespace korvane::test
