// korvane-dct's measured gain and before/after picture, on the shipped JPEG quality-20 photos.
#include <gtest/gtest.h>

#include <regex>

#include "command_util.h"
#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

TEST(Command, ReportsGainOnTheSamplePhotosAndDrawsTheComparison) {
    TempDir dir;
    for (const char* name : {"astronaut", "camera"}) {
        SCOPED_TRACE(name);
        const Result r =
            tool({"--reference", kSamples + "/" + name + ".png", "--compare", dir / "cmp.png",
                  kSamples + "/" + name + "-q20.png", dir / "out.png"},
                 "", dir / "report.txt");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string report = read_file(dir / "report.txt");
        std::smatch m;
        ASSERT_TRUE(
            std::regex_search(report, m,
                              std::regex("mean of 1 frame: luma PSNR ([0-9.]+) -> ([0-9.]+) dB.*"
                                         "SSIM ([0-9.]+) -> ([0-9.]+)")))
            << report;
        EXPECT_GT(std::stod(m[2]), std::stod(m[1]) + 0.2);  // PSNR gain
        EXPECT_GT(std::stod(m[4]), std::stod(m[3]));        // SSIM gain
        const Png cmp = decode_png(read_file(dir / "cmp.png"));
        EXPECT_EQ(cmp.ihdr.width, 2u * 512 + 8);
        EXPECT_EQ(cmp.ihdr.height, 512u + 8 + 3 * 170);
    }
}

}  // namespace
}  // namespace korvane::test
