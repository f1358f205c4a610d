// Faults around korvane-dct: a full disk, unwritable folders, input cut short in a pipe, and runs
// over an existing output. Where a run fails it says so and exits non-zero, and an existing
// output is either complete and new or untouched, never half-written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
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

pid_t spawn(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

TEST(Faults, SignalsRemoveTheTemporaryFileAndKeepTheOldOutput) {
    // The input is a pipe whose writer stays open after one frame, so the run is still going,
    // its temporary file written, when the signal comes.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        frames_file(dir, 1);
        write_file(dir / "out.yc48", "keep me");
        ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
        const pid_t feeder = spawn({"/bin/sh", "-c",
                                    "exec > " + quote(dir / "pipe") + "; cat " +
                                        quote(dir / "in.yc48") + "; exec sleep 20"});
        const pid_t tool =
            spawn({kTool, "--format", "yc48", "--size", "64x48", dir / "pipe", dir / "out.yc48"});
        bool temp_seen = false;
        for (int i = 0; i < 100 && !temp_seen; ++i) {
            ::usleep(20000);
            for (const std::string& f : dir.files())
                temp_seen = temp_seen || f.rfind("out.yc48.", 0) == 0;
        }
        ::usleep(100000);
        ::kill(tool, sig);
        int status = 0;
        ::waitpid(tool, &status, 0);
        ::kill(feeder, SIGKILL);
        ::waitpid(feeder, nullptr, 0);
        EXPECT_TRUE(temp_seen) << "the run never wrote its temporary file";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << "status " << status;
        EXPECT_TRUE(read_file(dir / "out.yc48") == "keep me");
        EXPECT_EQ(dir.files().size(), 3u) << "temporary file left behind";  // in, out, pipe
    }
}

TEST(Faults, OutputKeepsItsModeAndSymbolicLinksAreWrittenThrough) {
    TempDir dir;
    const std::string in = frames_file(dir, 1);
    write_file(dir / "private.yc48", "old");
    ASSERT_EQ(::chmod((dir / "private.yc48").c_str(), 0600), 0);
    ASSERT_EQ(run_command({kTool, "--size", "64x48", in, dir / "private.yc48"}).status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "private.yc48").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_NE(read_file(dir / "private.yc48"), "old");

    // A link to an existing file, and a link to a file yet to be made.
    ::mkdir((dir / "real").c_str(), 0755);
    write_file(dir / "real/target.yc48", "old");
    ASSERT_EQ(::symlink("real/target.yc48", (dir / "link.yc48").c_str()), 0);
    ASSERT_EQ(::symlink("real/new.yc48", (dir / "dangling.yc48").c_str()), 0);
    for (const char* link : {"link.yc48", "dangling.yc48"}) {
        ASSERT_EQ(run_command({kTool, "--size", "64x48", in, dir / link}).status, 0) << link;
        struct stat lst {};
        ASSERT_EQ(::lstat((dir / link).c_str(), &lst), 0);
        EXPECT_TRUE(S_ISLNK(lst.st_mode)) << link << " is no longer a link";
        EXPECT_EQ(read_file(dir / link), read_file(dir / "private.yc48")) << link;
    }
}

}  // namespace
}  // namespace korvane::test
