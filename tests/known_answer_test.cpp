// Known answers: SHA-256 of the plug-in's output for shipped frames, several settings and several
// host thread counts. Every other equality test compares the code with itself (a tier with the
// scalar kernels, the .auf with the native build); these hashes pin the bytes, so a change that
// moves an output bit fails here even when it moves every build the same way.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/frame_util.h"
#include "tests/sha256.h"

namespace korvane {
namespace {

using test::TestFrame;
using test::Tracks;

TestFrame load_yc48(const std::string& name, std::int32_t w, std::int32_t h) {
    std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/" + name, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TestFrame frame(w, h);
    if (bytes.size() != frame.pixels.size() * sizeof(YcPixel)) {
        ADD_FAILURE() << name << ": " << bytes.size() << " bytes";
        return frame;
    }
    std::memcpy(frame.pixels.data(), bytes.data(), bytes.size());  // little-endian, as the file
    return frame;
}

TEST(KnownAnswer, Sha256ItselfIsRight) {
    EXPECT_EQ(test::sha256_hex("abc", 3),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(test::sha256_hex("", 0),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(KnownAnswer, PluginOutputBytes) {
    struct Fixture {
        const char* file;
        std::int32_t w, h;
    };
    const Fixture fixtures[] = {{"samples/noise-64x48.yc48", 64, 48},
                                {"tests/fixtures/astronaut-q20-72x56.yc48", 72, 56},
                                {"tests/fixtures/extreme-37x29.yc48", 37, 29}};
    const Tracks settings[] = {{24, 8, 4, 0}, {64, 16, 5, 3}, {255, 255, 64, 64}};
    const std::int32_t host_threads[] = {1, 2, 3, 8};
    // Indexed [fixture][setting][host threads].
    const char* const want[3][3][4] = {
#include "tests/known_answers.inc"
    };
    std::string table;
    bool all = true;
    for (std::size_t f = 0; f < std::size(fixtures); ++f) {
        const TestFrame source = load_yc48(fixtures[f].file, fixtures[f].w, fixtures[f].h);
        table += "    {\n";
        for (std::size_t s = 0; s < std::size(settings); ++s) {
            table += "        {";
            for (std::size_t t = 0; t < std::size(host_threads); ++t) {
                TestFrame frame = source;
                ASSERT_EQ(test::filter(frame, host_threads[t], settings[s]), 1);
                const std::string got =
                    test::sha256_hex(frame.pixels.data(), frame.pixels.size() * sizeof(YcPixel));
                const bool same = got == want[f][s][t];
                all = all && same;
                EXPECT_TRUE(same) << fixtures[f].file << ", setting " << s << ", "
                                  << host_threads[t] << " host threads: " << got;
                table += std::string(t ? ",\n         " : "") + "\"" + got + "\"";
            }
            table += "},\n";
        }
        table += "    },\n";
    }
    if (!all) std::cout << "hashes of this build:\n" << table;
}

}  // namespace
}  // namespace korvane
