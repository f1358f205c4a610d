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
    // What a * also catches: notes, and a folder (the output folder of an earlier run).
    write_file(dir / "in/notes.txt", "taken in March");
    std::filesystem::create_directory(dir / "in/earlier");
    const std::string before = read_file(dir / "in/chelsea.jpg");

    const Result r = tool({"-q", dir / "in/camera.png", dir / "in/damaged.jpg", dir / "in/earlier",
                           dir / "in/chelsea.jpg", dir / "in/notes.txt", dir / "in/unreadable.jpg",
                           "-o", dir / "out"});
    EXPECT_EQ(r.status, 2);
    // One line per failure, naming the file, and one that counts them.
    EXPECT_EQ(lines_with(r.err, "damaged.jpg"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "unreadable.jpg"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "notes.txt': unknown format"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "earlier': cannot read: is a folder"), 1u) << r.err;
    EXPECT_EQ(lines_with(r.err, "4 of 6 files failed"), 1u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;

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

    // All good: status 0. Off a terminal, the strength line names its photo.
    const Result good = tool({dir / "in/camera.png", dir / "in/chelsea.jpg", "-o", dir / "out2"});
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_EQ(
        lines_with(good.err, "korvane-dct: '" + dir / "in/chelsea.jpg" + "': strength auto: "), 1u)
        << good.err;
}

TEST(Batch, OutputsThatWouldCollideOrOverwriteAnInputAreRefusedBeforeAnyIsWritten) {
    TempDir dir;
    write_file(dir / "a.png", encode_png(8, 8, 0, 8, std::vector<unsigned char>(64, 90)));
    write_file(dir / "b.png", encode_png(8, 8, 0, 8, std::vector<unsigned char>(64, 120)));
    std::filesystem::create_directory(dir / "sub");
    write_file(dir / "sub/a.png", read_file(dir / "b.png"));
    std::filesystem::create_directory_symlink("sub", dir / "link");
    std::filesystem::create_hard_link(dir / "b.png", dir / "sub/b.png");
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{dir / "a.png", dir / "sub/a.png", "-o", dir / "out"}, "would both be written to"},
        {{dir / "b.png", dir / "a.png", "-o", dir.path()}, "would be written over the input"},
        {{dir / "link/a.png", "-o", dir / "sub"}, "would be written over the input"},
        {{dir / "b.png", "-o", dir / "./sub/."}, "would be written over the input"},
        {{"--compare", dir / "c.png", dir / "a.png", dir / "b.png", "-o", dir / "out"},
         "--compare writes one picture"},
        {{dir / "a.png", dir / "b.png", "-o", "/proc"}, "cannot write into the folder"},
        {{"-", "-o", dir / "out"}, "-o takes files"},
        {{"-o", dir / "out"}, "no input file given"},
    };
    for (const auto& c : cases) {
        const Result r = tool(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Nothing written, not even the folder.
    EXPECT_FALSE(exists(dir / "out"));
    EXPECT_FALSE(exists(dir / "c.png"));
    EXPECT_EQ(read_file(dir / "sub/a.png"), read_file(dir / "b.png"));
    EXPECT_EQ(read_file(dir / "a.png"), encode_png(8, 8, 0, 8, std::vector<unsigned char>(64, 90)));
}

}  // namespace
}  // namespace korvane::test
