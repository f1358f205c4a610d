#include "picture/convert.h"

#include <algorithm>
#include <type_traits>

#include "engine/cpu.h"
#include "picture/rgb_vector.h"
#include "picture/ycbcr_vector.h"

namespace korvane {

namespace {

struct Range {
    std::int64_t black;  // code of Y 0 / centre of Cb, Cr
    std::int64_t span;   // codes spanning the nominal range
    std::int64_t host;   // host units over the same range
    std::int64_t top;    // largest code
};

Range luma_range(YcbcrScale s) {
    const std::int64_t top = (std::int64_t{1} << s.depth) - 1;
    if (s.full_range) return {0, top, 4096, top};
    const std::int64_t k = std::int64_t{1} << (s.depth - 8);
    return {16 * k, 219 * k, 4096, top};
}

Range chroma_range(YcbcrScale s) {
    const std::int64_t top = (std::int64_t{1} << s.depth) - 1;
    const std::int64_t centre = std::int64_t{1} << (s.depth - 1);
    if (s.full_range) return {centre, top, 4096, top};
    const std::int64_t k = std::int64_t{1} << (s.depth - 8);
    return {centre, 112 * k, 2048, top};
}

std::int16_t saturate(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, -32768, 32767));
}

int clamp_code(std::int64_t v, std::int64_t top) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, top));
}

}  // namespace

Ycbcr8Codes ycbcr8_codes(bool full_range) {
    const Range l = luma_range({8, full_range}), c = chroma_range({8, full_range});
    // host is a power of two: the division by it is a shift.
    const auto shift = [](const Range& r) {
        std::int32_t k = 0;
        while ((std::int64_t{1} << k) < r.host) ++k;
        return k;
    };
    return {static_cast<std::int32_t>(l.span), shift(l), static_cast<std::int32_t>(l.black),
            static_cast<std::int32_t>(c.span), shift(c), static_cast<std::int32_t>(c.black)};
}

const Ycbcr8Rows* ycbcr8_rows() {
#if defined(KORVANE_HAVE_YCBCR_VECTORS)
    static const bool runs = tier_runs_here(CpuTier::avx512);
    if (runs) return &kYcbcr8RowsAvx512;
#endif
    return nullptr;
}

std::int16_t luma_to_host(int v, YcbcrScale s) {
    const Range r = luma_range(s);
    return saturate(div_round((v - r.black) * r.host, r.span));
}

std::int16_t chroma_to_host(int v, YcbcrScale s) {
    const Range r = chroma_range(s);
    return saturate(div_round((v - r.black) * r.host, r.span));
}

int luma_from_host(std::int32_t h, YcbcrScale s) {
    const Range r = luma_range(s);
    return clamp_code(div_round(h * r.span, r.host) + r.black, r.top);
}

int chroma_from_host(std::int32_t h, YcbcrScale s) {
    const Range r = chroma_range(s);
    return clamp_code(div_round(h * r.span, r.host) + r.black, r.top);
}

// The RGB conversions, with `max` as a parameter: 8- and 16-bit pictures instantiate them with
// max a constant, so that the compiler turns every division by a constant into a multiplication
// with the same result, which matters at a few divisions per pixel.
template <typename Max>
YcPixel rgb_to_host_with(int red, int green, int blue, Max max) {
    // With the weights in thousandths, Y' = (299 R + 587 G + 114 B) / 1000, B - Y' =
    // (-299 R - 587 G + 886 B) / 1000 and R - Y' = (701 R - 587 G - 114 B) / 1000.
    const std::int64_t m = max, r = red, g = green, b = blue;
    YcPixel p;
    p.y = saturate(div_round(4096 * (299 * r + 587 * g + 114 * b), 1000 * m));
    p.cb = saturate(div_round(4096 * (-299 * r - 587 * g + 886 * b), 1772 * m));
    p.cr = saturate(div_round(4096 * (701 * r - 587 * g - 114 * b), 1402 * m));
    return p;
}

// The inverse: R = Y' + 1.402 Cr, B = Y' + 1.772 Cb and
// G = Y' - (0.114 * 1.772 / 0.587) Cb - (0.299 * 1.402 / 0.587) Cr, in host units times max/4096.
template <typename Max>
std::array<int, 3> rgb_from_host_with(const YcPixel& p, Max max) {
    const std::int64_t m = max, y = p.y, cb = p.cb, cr = p.cr;
    const std::int64_t r = div_round(m * (1000 * y + 1402 * cr), 4096 * 1000);
    const std::int64_t g =
        div_round(m * (587000 * y - 202008 * cb - 419198 * cr), std::int64_t{4096} * 587000);
    const std::int64_t b = div_round(m * (1000 * y + 1772 * cb), 4096 * 1000);
    return {clamp_code(r, m), clamp_code(g, m), clamp_code(b, m)};
}

YcPixel rgb_to_host(int red, int green, int blue, int max) {
    if (max == 255) return rgb_to_host_with(red, green, blue, std::integral_constant<int, 255>{});
    if (max == 65535)
        return rgb_to_host_with(red, green, blue, std::integral_constant<int, 65535>{});
    return rgb_to_host_with(red, green, blue, max);
}

std::array<int, 3> rgb_from_host(const YcPixel& p, int max) {
    if (max == 255) return rgb_from_host_with(p, std::integral_constant<int, 255>{});
    if (max == 65535) return rgb_from_host_with(p, std::integral_constant<int, 65535>{});
    return rgb_from_host_with(p, max);
}

void rgb8_from_host(const YcPixel* in, std::size_t n, unsigned char* out) {
#if defined(KORVANE_HAVE_RGB_VECTORS)
    static const CpuTier tier = best_tier();
    if (tier >= CpuTier::avx512) return rgb8_from_host_avx512(in, n, out);
    if (tier >= CpuTier::avx2) return rgb8_from_host_avx2(in, n, out);
#endif
    for (std::size_t i = 0; i < n; ++i) {
        const auto rgb = rgb_from_host_with(in[i], std::integral_constant<int, 255>{});
        for (int c = 0; c < 3; ++c)
            out[3 * i + static_cast<std::size_t>(c)] =
                static_cast<unsigned char>(rgb[static_cast<std::size_t>(c)]);
    }
}

YcPixel gray_to_host(int g, int max) {
    return YcPixel{saturate(div_round(std::int64_t{4096} * g, max)), 0, 0};
}

int gray_from_host(const YcPixel& p, int max) {
    return clamp_code(div_round(std::int64_t{p.y} * max, 4096), max);
}

}  // namespace korvane
