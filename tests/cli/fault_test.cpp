// Faults around korvane-dct: a full disk, unwritable folders, input cut short in a pipe, and runs
// over an existing output. Where a run fails it says so and exits non-zero, and an existing
// output is either complete and new or untouched, never half-written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "run_command.h"

namespace korvane::test {
namespace {

const std::string kTool = KORVANE_DCT;
const std::string kSamples = KORVANE_SAMPLES;

std::string quote(const std::string& s) { return "'" + s + "'"; }

// A .yc48 file of `frames` copies of the shipped 64x48 sample.
std::string frames_file(const TempDir& dir, int frames) {
    const std::string one = read_file(kSamples + "/noise-64x48.yc48");
    std::string all;
    for (int i = 0; i < frames; ++i) all += one;
    write_file(dir / "in.yc48", all);
    return dir / "in.yc48";
}

TEST(Faults, FullDiskFailsCleanlyAndKeepsTheOldOutput) {
    TempDir dir;
    const std::string in = frames_file(dir, 30);  // 1.1 MB of output
    write_file(dir / "out.yc48", "keep me");
    // A file-size limit of 256 KiB stands in for a full disk.
    const Result r = run_command({"/bin/bash", "-c",
                                  "ulimit -f 256; exec " + quote(kTool) + " --size 64x48 " +
                                      quote(in) + " " + quote(dir / "out.yc48")});
    EXPECT_EQ(r.signal, 0) << "killed by a signal";
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("write failed"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir / "out.yc48"), "keep me");
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"in.yc48", "out.yc48"}))
        << "temporary file left behind";
}

TEST(Faults, UnwritableFolderIsBadUsage) {
    TempDir dir;
    const std::string in = frames_file(dir, 1);
    std::vector<std::string> outputs = {"/proc/self/out.yc48"};  // no one can create files there
    if (::geteuid() != 0) {                                      // permissions do not stop root
        ASSERT_EQ(::mkdir((dir / "ro").c_str(), 0555), 0);
        outputs.push_back(dir / "ro/out.yc48");
    }
    for (const std::string& out : outputs) {
        const Result r = run_command({kTool, "--size", "64x48", in, out});
        EXPECT_EQ(r.status, 2) << out << ": " << r.err;
        EXPECT_NE(r.err.find(out), std::string::npos) << r.err;
        EXPECT_FALSE(exists(out));
    }
}

TEST(Faults, InputCutShortInAPipeCreatesNoOutput) {
    TempDir dir;
    const std::string in = frames_file(dir, 3);
    const std::string one_and_a_half = std::to_string(64 * 48 * 6 * 3 / 2);
    const Result r =
        run_shell("head -c " + one_and_a_half + " " + quote(in) + " | " + quote(kTool) +
                  " --format yc48 --size 64x48 - " + quote(dir / "out.yc48"));
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("frame 2"), std::string::npos) << r.err;
    EXPECT_FALSE(exists(dir / "out.yc48"));
    EXPECT_EQ(dir.files(), std::vector<std::string>{"in.yc48"});
}

TEST(Faults, SecondRunReplacesTheOutputWhole) {
    TempDir dir;
    const std::string in = frames_file(dir, 2);
    const std::string out = dir / "out.yc48";
    ASSERT_EQ(run_command({kTool, "--size", "64x48", "--threads", "1", in, out}).status, 0);
    const std::string first = read_file(out);
    ASSERT_EQ(run_command({kTool, "--size", "64x48", "--threads", "1", "--n-shift", "16",
                           "--threshold", "60", in, out})
                  .status,
              0);
    ASSERT_EQ(run_command({kTool, "--size", "64x48", "--threads", "1", "--n-shift", "16",
                           "--threshold", "60", in, dir / "fresh.yc48"})
                  .status,
              0);
    EXPECT_NE(read_file(out), first);
    EXPECT_EQ(read_file(out), read_file(dir / "fresh.yc48"));
}

}  // namespace
}  // namespace korvane::test
