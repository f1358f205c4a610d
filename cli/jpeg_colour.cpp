#include "cli/jpeg_colour.h"

#include <algorithm>

#include "picture/convert.h"

namespace korvane::cli {
namespace {

// libjpeg's constants: 16 fractional bits, halves rounded up, shifts that floor.
constexpr int kBits = 16;
constexpr std::int32_t kHalf = std::int32_t{1} << (kBits - 1);
constexpr std::int32_t fix(double x) {
    return static_cast<std::int32_t>(x * (std::int32_t{1} << kBits) + 0.5);
}

// The 8-bit code of every host value in range (luma 0..4096, chroma -2048..2048); values
// beyond clamp to the ends, as the codes do.
struct Codes {
    std::uint8_t luma[4097];
    std::uint8_t chroma[4097];
    Codes() {
        constexpr YcbcrScale kScale{8, true};
        for (int h = 0; h <= 4096; ++h) {
            luma[h] = static_cast<std::uint8_t>(luma_from_host(h, kScale));
            chroma[h] = static_cast<std::uint8_t>(chroma_from_host(h - 2048, kScale));
        }
    }
};

int clamp8(int v) { return std::clamp(v, 0, 255); }

}  // namespace

std::array<int, 3> jpeg_rgb(int y, int cb, int cr) {
    // Arithmetic right shifts of negative values floor, as libjpeg's RIGHT_SHIFT does; the
    // products stay far inside 32 bits (|x| <= 128).
    const std::int32_t x_cb = cb - 128, x_cr = cr - 128;
    const int r = static_cast<int>((fix(1.40200) * x_cr + kHalf) >> kBits);
    const int b = static_cast<int>((fix(1.77200) * x_cb + kHalf) >> kBits);
    const int g = static_cast<int>((-fix(0.34414) * x_cb + kHalf - fix(0.71414) * x_cr) >> kBits);
    return {clamp8(y + r), clamp8(y + g), clamp8(y + b)};
}

void jpeg_rgb8_from_host(const YcPixel* in, std::size_t n, unsigned char* out) {
    static const Codes codes;
    for (std::size_t i = 0; i < n; ++i) {
        const YcPixel& p = in[i];
        const auto rgb = jpeg_rgb(codes.luma[std::clamp<int>(p.y, 0, 4096)],
                                  codes.chroma[std::clamp<int>(p.cb + 2048, 0, 4096)],
                                  codes.chroma[std::clamp<int>(p.cr + 2048, 0, 4096)]);
        out[3 * i] = static_cast<unsigned char>(rgb[0]);
        out[3 * i + 1] = static_cast<unsigned char>(rgb[1]);
        out[3 * i + 2] = static_cast<unsigned char>(rgb[2]);
    }
}

}  // namespace korvane::cli
