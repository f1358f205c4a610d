// korvane-dct on every instruction-set tier: the scalar output, or a message that it is not there.
#include <gtest/gtest.h>

#include <filesystem>

#include "command_util.h"
#include "fixtures.h"
#include "run_command.h"

namespace korvane::test {
namespace {

TEST(Command, EveryCpuTierGivesTheSameBytesOrExitsTwo) {
    TempDir dir;
    const std::string in = kSamples + "/camera-q20.png";
    ASSERT_EQ(tool({"--cpu", "scalar", in, dir / "scalar.png"}).status, 0);
    const std::string scalar = read_file(dir / "scalar.png");
    for (const char* tier : {"sse4.1", "avx2", "avx512", "auto"}) {
        SCOPED_TRACE(tier);
        const Result r = tool({"--cpu", tier, in, dir / "tier.png"});
        if (r.status == 2) {
            EXPECT_NE(r.err.find("not available"), std::string::npos) << r.err;
            EXPECT_FALSE(exists(dir / "tier.png"));
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(read_file(dir / "tier.png") == scalar);
        std::filesystem::remove(dir / "tier.png");
    }
}

TEST(Command, HighDepthCodesAboveTheDepthReadAsItsMaximum) {
    // A 10-bit stream carries 16-bit containers: codes above 1023 are malformed but must not
    // reach past the conversion tables; they read as 1023.
    TempDir dir;
    auto stream = [](int code) {
        return make_y4m("W16 H16 C444p10", 16, 16, 16, 16, 1, true,
                        [code](int, int, int, int) { return code; });
    };
    write_file(dir / "wild.y4m", stream(0xFFFF));
    write_file(dir / "max.y4m", stream(1023));
    ASSERT_EQ(tool({dir / "wild.y4m", dir / "wild-out.y4m"}).status, 0);
    ASSERT_EQ(tool({dir / "max.y4m", dir / "max-out.y4m"}).status, 0);
    EXPECT_EQ(read_file(dir / "wild-out.y4m"), read_file(dir / "max-out.y4m"));
}

}  // namespace
}  // namespace korvane::test
