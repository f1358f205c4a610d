// The plug-in inside the programs people use: ffmpeg's frei0r filter, MLT's melt and GStreamer's
// frei0r elements, each on a short RGBA clip and each frame compared with korvane-dct's output.
// The clip goes in and comes out as raw RGBA, so that the plug-in sees exactly the clip's pixels
// and its output reaches the comparison unconverted. The three hosts are in scripts/install-deps'
// default list: a missing one fails its test and says how to install it.
#include "tests/frei0r/frei0r_util.h"

namespace korvane::test {
namespace {

constexpr int kW = 96, kH = 64, kFrames = 3;

// Parameter values as a user writes them on each host's command line, and the korvane-dct
// options they stand for (min + round(x * (max - min))).
struct HostCase {
    const char* what;
    std::array<const char*, 4> values;  // threshold, quant, n_shift, zero_weight; null: unset
    std::vector<std::string> options;
};
const HostCase kCases[] = {
    {"defaults", {nullptr, nullptr, nullptr, nullptr}, {}},
    {"rounding",
     {"0.2", "0.5", "0.0556", "0.0078125"},
     {"--threshold", "51", "--quant", "128", "--n-shift", "5", "--zero-weight", "1"}},
    {"ends",
     {"1", "0", "1", "1"},
     {"--threshold", "255", "--quant", "1", "--n-shift", "64", "--zero-weight", "64"}},
};

bool have(const std::string& program) {
    return run_shell("command -v " + program + " >/dev/null 2>&1").status == 0;
}

class Hosts : public testing::Test {
protected:
    void SetUp() override {
        for (int f = 0; f < kFrames; ++f) {
            const auto frame = test_picture(kW, kH, static_cast<std::uint32_t>(20 + f));
            clip_.insert(clip_.end(), frame.begin(), frame.end());
        }
        write_file(dir_ / "clip.rgba", std::string(clip_.begin(), clip_.end()));
    }

    // korvane-dct's output for every frame of the clip.
    std::vector<std::uint8_t> expected(const HostCase& c) const {
        std::vector<std::uint8_t> all;
        const std::size_t bytes = 4 * kW * kH;
        for (int f = 0; f < kFrames; ++f) {
            const std::vector<std::uint8_t> frame(clip_.begin() + f * bytes,
                                                  clip_.begin() + (f + 1) * bytes);
            const auto out = command_output(frame, kW, kH, c.options, dir_);
            all.insert(all.end(), out.begin(), out.end());
        }
        return all;
    }

    // Runs a shell command with the plug-in's folder on FREI0R_PATH and returns the raw RGBA it
    // wrote to out.rgba.
    std::vector<std::uint8_t> run_host(const std::string& command) const {
        std::remove((dir_ / "out.rgba").c_str());
        const Result r = run_shell(in_dir(command));
        EXPECT_EQ(r.status, 0) << command << "\n" << r.err;
        const std::string out = exists(dir_ / "out.rgba") ? read_file(dir_ / "out.rgba") : "";
        return {out.begin(), out.end()};
    }

    // The command run in the test's folder, with the plug-in's folder on FREI0R_PATH and a
    // GStreamer registry of its own (a cached one may predate the plug-in).
    std::string in_dir(const std::string& command) const {
        return "cd '" + dir_.path() +
               "' && export FREI0R_PATH='" KORVANE_FREI0R_DIR "' GST_REGISTRY='" +
               dir_ / "gst-registry.bin" + "' && " + command;
    }

    void check(const char* host, const std::function<std::string(const HostCase&)>& command) {
        for (const HostCase& c : kCases) {
            SCOPED_TRACE(testing::Message() << host << ", " << c.what);
            const auto out = run_host(command(c));
            const auto want = expected(c);
            EXPECT_EQ(first_difference(out, want, kW, kH), "");
            EXPECT_NE(out, clip_) << "the clip came out unfiltered";
        }
    }

    TempDir dir_;
    std::vector<std::uint8_t> clip_;
};

const char* const kNames[] = {"threshold", "quant", "n_shift", "zero_weight"};

TEST_F(Hosts, Ffmpeg) {
    ASSERT_TRUE(have("ffmpeg")) << "ffmpeg is not installed (scripts/install-deps installs it)";
    check("ffmpeg", [](const HostCase& c) {
        // filter_params: the values by position, '|' between them.
        std::string params;
        for (int i = 0; i < 4 && c.values[i]; ++i)
            params += std::string(i ? "|" : ":") + c.values[i];
        return "ffmpeg -nostdin -v error -y -f rawvideo -pix_fmt rgba -s " + std::to_string(kW) +
               "x" + std::to_string(kH) + " -r 25 -i clip.rgba -vf 'frei0r=korvane_dct" + params +
               "' -f rawvideo -pix_fmt rgba out.rgba";
    });
}

TEST_F(Hosts, Melt) {
    ASSERT_TRUE(have("melt")) << "melt is not installed (scripts/install-deps installs it)";
    ASSERT_TRUE(have("ffmpeg")) << "ffmpeg is not installed (scripts/install-deps installs it); "
                                   "it makes melt's input";
    // melt reads a container, not raw frames: the clip losslessly in NUT, and a profile of its
    // size, progressive, square pixels, so that MLT neither scales nor deinterlaces (melt 7.12
    // crashes on a profile without a description).
    Result r = run_shell("cd '" + dir_.path() + "' && ffmpeg -nostdin -v error -y -f rawvideo " +
                         "-pix_fmt rgba -s 96x64 -r 25 -i clip.rgba -c:v rawvideo -pix_fmt rgba " +
                         "clip.nut");
    ASSERT_EQ(r.status, 0) << r.err;
    write_file(dir_ / "profile",
               "description=clip\nwidth=96\nheight=64\nprogressive=1\nframe_rate_num=25\nframe_"
               "rate_den=1\n"
               "sample_aspect_num=1\nsample_aspect_den=1\ndisplay_aspect_num=3\n"
               "display_aspect_den=2\ncolorspace=601\n");
    check("melt", [](const HostCase& c) {
        std::string params;
        for (int i = 0; i < 4; ++i)
            if (c.values[i]) params += std::string(" ") + kNames[i] + "=" + c.values[i];
        // MLT takes the NUT's length as one frame short: the length is given. melt 7.12 on a
        // loaded machine now and then ends with status 0 before its consumer has written every
        // frame, or waits forever after its consumer thread has ended (its main thread alone
        // left, asleep); real_time=-1 and 0 do the same. So a short file or a melt still running
        // after 30 s is tried again, up to five times; wrong bytes or a failure still fail.
        return "for try in 1 2 3 4 5; do rm -f out.rgba; timeout -k 5 30 melt -quiet -profile "
               "profile clip.nut length=3 out=2 -filter frei0r.korvane_dct" +
               params +
               " -consumer avformat:out.rgba f=rawvideo vcodec=rawvideo pix_fmt=rgba an=1 "
               "2>melt.log; s=$?; [ $s = 124 ] && continue; [ $s = 0 ] || { cat melt.log >&2; "
               "exit 1; }; [ \"$(stat -c %s out.rgba 2>/dev/null || echo 0)\" -ge " +
               std::to_string(4 * kW * kH * kFrames) + " ] && break; done";
    });
}

TEST_F(Hosts, GStreamer) {
    ASSERT_TRUE(have("gst-launch-1.0"))
        << "gst-launch-1.0 is not installed (scripts/install-deps installs it)";
    ASSERT_EQ(run_shell(in_dir("gst-inspect-1.0 frei0r-filter-korvane-dct >/dev/null 2>&1 && "
                               "gst-inspect-1.0 rawvideoparse >/dev/null 2>&1"))
                  .status,
              0)
        << "GStreamer's frei0r or rawvideoparse element is missing "
           "(scripts/install-deps installs gstreamer1.0-plugins-bad)";
    check("gstreamer", [](const HostCase& c) {
        // Property names are the parameter names with '-' for '_'.
        std::string params;
        for (int i = 0; i < 4; ++i)
            if (c.values[i]) {
                std::string name = kNames[i];
                std::replace(name.begin(), name.end(), '_', '-');
                params += " " + name + "=" + c.values[i];
            }
        return "gst-launch-1.0 -q filesrc location=clip.rgba ! rawvideoparse width=96 height=64 "
               "format=rgba framerate=25/1 ! frei0r-filter-korvane-dct" +
               params + " ! filesink location=out.rgba";
    });
}

}  // namespace
}  // namespace korvane::test
