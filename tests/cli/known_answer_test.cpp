// Known answers of the converted paths: SHA-256 of what korvane-dct makes of PNG RGB (8 and 16
// bit) and Y4M 4:2:0 (8 and 10 bit), and of the RGBA pixels of the frei0r and ExEdit2 plug-ins,
// on a crop of a real JPEG-damaged photo, at two settings and on 1 and 3 threads. The engine's
// own known answers pin the frame callback; these pin the conversions around it, so that the
// command and the plug-ins cannot drift together unnoticed (every other test compares them with
// each other). PNG output is hashed as decoded samples, so that how it is compressed does not
// matter.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/cpu.h"
#include "engine/kernels.h"
#include "picture/picture_filter.h"
#include "picture/rgba.h"
#include "tests/cli/fixtures.h"
#include "tests/cli/run_command.h"
#include "tests/sha256.h"

namespace korvane::test {
namespace {

constexpr int kW = 72, kH = 56;

// The 72x56 crop at (203, 181) of the quality-20 astronaut, RGB 8-bit.
const std::vector<unsigned char>& crop() {
    static const std::vector<unsigned char> pixels = [] {
        const Png png = decode_png(read_file(std::string(KORVANE_SAMPLES) + "/astronaut-q20.png"));
        const std::size_t channels = png.ihdr.color_type == 6 ? 4 : 3;
        std::vector<unsigned char> out;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x)
                for (std::size_t c = 0; c < 3; ++c)
                    out.push_back(png.data[((181 + y) * png.ihdr.width + 203 + x) * channels + c]);
        return out;
    }();
    return pixels;
}

// Low bits that a 16-bit or 10-bit picture has and an 8-bit one lacks.
int low_bits(int x, int y, int c, int bits) {
    return ((x * 7 + y * 13 + c * 5) * 2654435761u >> 11) & ((1 << bits) - 1);
}

struct Setting {
    const char* args[4];  // threshold, quant, n-shift, zero-weight
};
constexpr Setting kSettings[] = {{{"24", "8", "4", "0"}}, {{"64", "16", "5", "3"}}};

// Runs korvane-dct on `input` with each setting and thread count; the hash of `digest(output)`
// must be the same on both thread counts and equal want[setting].
template <typename Digest>
void expect_known(const std::string& name, const std::string& input, const std::string& ext,
                  const Digest& digest, const std::string (&want)[2]) {
    TempDir dir;
    write_file(dir / ("in." + ext), input);
    for (std::size_t s = 0; s < std::size(kSettings); ++s) {
        std::string first;
        for (const char* threads : {"1", "3"}) {
            const std::string out = dir / ("out." + ext);
            const Result r =
                run_command({KORVANE_DCT, "-q", "--strength", "manual", "--threads", threads,
                             "--threshold", kSettings[s].args[0], "--quant", kSettings[s].args[1],
                             "--n-shift", kSettings[s].args[2], "--zero-weight",
                             kSettings[s].args[3], dir / ("in." + ext), out});
            ASSERT_EQ(r.status, 0) << name << ": " << r.err;
            const std::string got = digest(read_file(out));
            if (first.empty()) first = got;
            EXPECT_EQ(got, first) << name << ", setting " << s << ": threads change the output";
        }
        EXPECT_EQ(first, want[s]) << name << ", setting " << s;
    }
}

std::string hash_png_samples(const std::string& bytes) {
    const Png png = decode_png(bytes);
    return sha256_hex(png.data.data(), png.data.size());
}

std::string hash_bytes(const std::string& bytes) { return sha256_hex(bytes.data(), bytes.size()); }

TEST(ConvertedKnownAnswer, PngRgb8) {
    const std::string want[2] = {
        "c28956e821fae1591094132044713c8cd3e09d782fde66a790bbf153e5e1ebfa",
        "0b7e8706a3f8922cd5cc911d09ed2be28cd63163607c57d56f8acd93c775dc77"};
    expect_known("PNG RGB 8-bit", encode_png(kW, kH, 2, 8, crop()), "png", hash_png_samples, want);
}

TEST(ConvertedKnownAnswer, PngRgb16) {
    std::vector<unsigned char> data;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < 3; ++c) {
                const int v = crop()[(y * kW + x) * 3 + c] * 257 ^ low_bits(x, y, c, 8);
                data.push_back(static_cast<unsigned char>(v >> 8));
                data.push_back(static_cast<unsigned char>(v & 0xFF));
            }
    const std::string want[2] = {
        "61252aa2df22280c49ddfd8068f0e7946bbfc5977b5de94617cabda20640cea9",
        "3bc17b8dc637e7d58bb4871670d14be1a100392cf96880628b49118a61c39cef"};
    expect_known("PNG RGB 16-bit", encode_png(kW, kH, 2, 16, data), "png", hash_png_samples, want);
}

// Y4M 4:2:0 from the crop: luma from green, the chroma planes from blue and red averaged over
// each 2x2, two frames (the second mirrored), at `bits` bits.
std::string y4m_420(int bits) {
    const auto& px = crop();
    const auto at = [&](int x, int y, int c) { return px[(y * kW + x) * 3 + c]; };
    const int shift = bits - 8;
    const std::string tags =
        "W72 H56 F25:1 Ip A1:1 C" + std::string(bits == 8 ? "420jpeg" : "420p10");
    return make_y4m(tags, kW, kH, kW / 2, kH / 2, 2, bits > 8, [&](int p, int x, int y, int f) {
        if (f == 1) x = (p == 0 ? kW : kW / 2) - 1 - x;
        if (p == 0) return (at(x, y, 1) << shift) | low_bits(x, y, 0, shift);
        const int c = p == 1 ? 2 : 0;
        const int sum = at(2 * x, 2 * y, c) + at(2 * x + 1, 2 * y, c) + at(2 * x, 2 * y + 1, c) +
                        at(2 * x + 1, 2 * y + 1, c);
        return ((sum + 2) / 4 << shift) | low_bits(x, y, p, shift);
    });
}

TEST(ConvertedKnownAnswer, Y4m420Bits8) {
    const std::string want[2] = {
        "c181ba851943399a97d51e6e12d3f0d3d485adb89643929ad12984ad3f0556d2",
        "30bd14cca8cc83c641776f965776eddc055948085d6e19af990f53bc268c3866"};
    expect_known("Y4M 4:2:0 8-bit", y4m_420(8), "y4m", hash_bytes, want);
}

TEST(ConvertedKnownAnswer, Y4m420Bits10) {
    const std::string want[2] = {
        "6523797ddce31707961658bba45d8b0aa6ed599400932c7abef88e7a00a9e9bf",
        "bb93b5d0990f2af2019c24401995403d2a137d061335205df3d3b3b456aa2ee5"};
    expect_known("Y4M 4:2:0 10-bit", y4m_420(10), "y4m", hash_bytes, want);
}

// The RGBA pixels of the frei0r and ExEdit2 plug-ins, in rows padded as a host may pad them,
// with an alpha that varies (and must come back as it was).
TEST(ConvertedKnownAnswer, Rgba8) {
    constexpr std::ptrdiff_t kStride = kW * 4 + 12;
    std::vector<std::uint8_t> source(static_cast<std::size_t>(kStride) * kH, 0xA5);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            std::uint8_t* p = &source[static_cast<std::size_t>(y * kStride + x * 4)];
            for (int c = 0; c < 3; ++c) p[c] = crop()[(y * kW + x) * 3 + c];
            p[3] = static_cast<std::uint8_t>(x * 3 + y * 5);
        }
    const std::string want[2] = {
        "148242a6af7c163cd1bd7c4cebbad2fb434ecc3b372149b6b59c7ded500a2f0e",
        "2ccf376fe397fa43ee3e1f3a7f04fcfba5fa264b7054cd3b962063924dd7e06c"};
    const Settings settings[2] = {{24, 8, 4, 0}, {64, 16, 5, 3}};
    for (std::size_t s = 0; s < 2; ++s) {
        for (const std::int32_t threads : {1, 3}) {
            std::vector<std::uint8_t> pixels = source;
            PictureFilter filter(kernels_for(best_tier()), threads);
            std::vector<YcPixel> work;
            ASSERT_EQ(filter_rgba8(filter, settings[s], {pixels.data(), kW, kH, kStride}, work),
                      Status::ok);
            for (int y = 0; y < kH; ++y) {
                for (int x = 0; x < kW; ++x)
                    ASSERT_EQ(pixels[static_cast<std::size_t>(y * kStride + x * 4 + 3)],
                              source[static_cast<std::size_t>(y * kStride + x * 4 + 3)]);
                for (std::ptrdiff_t b = kW * 4; b < kStride; ++b)
                    ASSERT_EQ(pixels[static_cast<std::size_t>(y * kStride + b)], 0xA5);
            }
            EXPECT_EQ(sha256_hex(pixels.data(), pixels.size()), want[s])
                << "RGBA, setting " << s << ", " << threads << " threads";
        }
    }
}

}  // namespace
}  // namespace korvane::test
