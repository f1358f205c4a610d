// A real round trip with ffmpeg: a synthetic clip compressed by a block-based codec, decoded to
// Y4M, filtered through pipes, and compared with the uncompressed clip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "run_command.h"

namespace korvane::test {
namespace {

struct Y4m {
    std::string header;
    std::vector<std::string> lumas;  // luma plane of every frame
};

// Enough of a reader for 8-bit 4:2:0 streams.
Y4m parse_y4m(const std::string& s, int w, int h) {
    Y4m y;
    std::size_t at = s.find('\n');
    y.header = s.substr(0, at);
    ++at;
    const std::size_t frame = static_cast<std::size_t>(w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2));
    while (at < s.size()) {
        const std::size_t nl = s.find('\n', at);
        if (nl == std::string::npos || s.compare(at, 5, "FRAME") != 0 || nl + 1 + frame > s.size())
            throw std::runtime_error("bad Y4M frame");
        y.lumas.push_back(s.substr(nl + 1, static_cast<std::size_t>(w * h)));
        at = nl + 1 + frame;
    }
    return y;
}

double mean_squared_error(const Y4m& a, const Y4m& b) {
    double sum = 0, n = 0;
    for (std::size_t f = 0; f < a.lumas.size(); ++f)
        for (std::size_t i = 0; i < a.lumas[f].size(); ++i) {
            const double d = static_cast<unsigned char>(a.lumas[f][i]) -
                             static_cast<unsigned char>(b.lumas[f][i]);
            sum += d * d;
            ++n;
        }
    return sum / n;
}

// The frames of a Y4M stream, each without its FRAME line; `frame` bytes each.
std::string y4m_payload(const std::string& s, std::size_t frame) {
    std::string all;
    std::size_t at = s.find('\n') + 1;
    while (at < s.size()) {
        const std::size_t nl = s.find('\n', at);
        if (nl == std::string::npos || s.compare(at, 5, "FRAME") != 0 || nl + 1 + frame > s.size())
            throw std::runtime_error("bad Y4M frame");
        all += s.substr(nl + 1, frame);
        at = nl + 1 + frame;
    }
    return all;
}

// ffmpeg is in scripts/install-deps' default list: a machine without it is not set up for the
// tests, which must say so rather than pass.
bool have_ffmpeg() { return run_shell("command -v ffmpeg >/dev/null").status == 0; }
constexpr const char* kNoFfmpeg = "ffmpeg is not installed (scripts/install-deps installs it)";

TEST(Ffmpeg, CompressedClipFilteredThroughPipesComesCloserToTheSource) {
    ASSERT_TRUE(have_ffmpeg()) << kNoFfmpeg;
    TempDir dir;
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    Result r = run_shell(ff + "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 12 " +
                         "-pix_fmt yuv420p '" + dir / "source.y4m" + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    // MPEG-4 part 2 at a coarse fixed quantiser: 8x8 DCT blocks with visible edges.
    r = run_shell(ff + "-i '" + dir / "source.y4m" + "' -c:v mpeg4 -q:v 20 -g 12 '" +
                  dir / "coded.avi" + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_shell(ff + "-i '" + dir / "coded.avi" + "' -f yuv4mpegpipe -pix_fmt yuv420p '" +
                  dir / "decoded.y4m" + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run_shell(ff + "-i '" + dir / "coded.avi" + "' -f yuv4mpegpipe -pix_fmt yuv420p - | '" +
                  KORVANE_DCT + "' --quiet - - > '" + dir / "filtered.y4m" + "'");
    ASSERT_EQ(r.status, 0) << r.err;

    const Y4m source = parse_y4m(read_file(dir / "source.y4m"), 320, 240);
    const Y4m decoded = parse_y4m(read_file(dir / "decoded.y4m"), 320, 240);
    const Y4m filtered = parse_y4m(read_file(dir / "filtered.y4m"), 320, 240);
    ASSERT_EQ(filtered.lumas.size(), 12u);
    EXPECT_EQ(filtered.header, decoded.header);
    const double before = mean_squared_error(decoded, source);
    const double after = mean_squared_error(filtered, source);
    const double gain = 10 * std::log10(before / after);
    RecordProperty("luma_gain_db", std::to_string(gain));
    EXPECT_GT(gain, 0.05) << "MSE " << before << " -> " << after;

    // ffmpeg reads the filtered stream back.
    r = run_shell(ff + "-i '" + dir / "filtered.y4m" + "' -c:v mpeg4 '" + dir / "again.avi" + "'");
    EXPECT_EQ(r.status, 0) << r.err;
}

// The route the README gives for ffmpeg: decode to a Y4M pipe, filter, encode from the pipe. At
// 854x480 ffmpeg's frei0r filter pads the rows it hands a plug-in (frei0r has no stride), so its
// frames come out sheared; through Y4M every frame is korvane-dct's, byte for byte.
TEST(Ffmpeg, Y4mPipeGivesKorvaneDctsBytesAtAWidthThatFrei0rShears) {
    ASSERT_TRUE(have_ffmpeg()) << kNoFfmpeg;
    constexpr int w = 854, h = 480, frames = 3;
    TempDir dir;
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    Result r = run_shell(ff + "-f lavfi -i testsrc2=size=854x480:rate=25 -frames:v 3 " +
                         "-pix_fmt yuv420p -c:v mpeg4 -q:v 12 '" + dir / "in.mp4" + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    // What korvane-dct gives on the decoded frames, file to file.
    r = run_shell(ff + "-i '" + dir / "in.mp4" + "' -f yuv4mpegpipe '" + dir / "decoded.y4m" +
                  "' && '" + KORVANE_DCT + "' --quiet '" + dir / "decoded.y4m" + "' '" +
                  dir / "expected.y4m" + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    // The pipeline, as a user types it; the last ffmpeg writes the frames as they are.
    r = run_shell(ff + "-i '" + dir / "in.mp4" + "' -f yuv4mpegpipe - | '" + KORVANE_DCT +
                  "' --quiet - - | " + ff + "-i - -f rawvideo -pix_fmt yuv420p '" +
                  dir / "out.yuv" + "'");
    ASSERT_EQ(r.status, 0) << r.err;

    const std::size_t frame = w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    const std::string expected = y4m_payload(read_file(dir / "expected.y4m"), frame);
    const std::string decoded = y4m_payload(read_file(dir / "decoded.y4m"), frame);
    const std::string out = read_file(dir / "out.yuv");
    ASSERT_EQ(expected.size(), frames * frame);
    EXPECT_NE(expected, decoded) << "the frames came out unfiltered";
    ASSERT_EQ(out.size(), expected.size());
    const auto [mismatch, unused] = std::mismatch(out.begin(), out.end(), expected.begin());
    EXPECT_TRUE(mismatch == out.end())
        << "first difference at byte " << (mismatch - out.begin()) << " of " << out.size();
}

}  // namespace
}  // namespace korvane::test
