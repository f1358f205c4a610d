// The row kernels of the frame pass and the border completion: add, pre-scale and blend, on the
// samples of a row as one int16 stream.
//
// Part of the body of every x86 tier: included by engine/x86/kernels_x86.h into the anonymous
// namespace of a tier's file, after that file has defined the vector type V and its operations
// (the list is in kernels_x86.h).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/kernels.h"
#include "engine/x86/gather_scatter.h"

namespace korvane {
namespace {

inline std::int16_t load_sample(const char* p) {
    std::int16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_sample(char* p, std::int16_t v) { std::memcpy(p, &v, sizeof v); }

void add_pixels_row(YcPixel* dst, const YcPixel* src, std::int32_t count) {
    char* d = reinterpret_cast<char*>(dst);
    const char* s = reinterpret_cast<const char*>(src);
    const std::ptrdiff_t bytes = count * kPixelBytes;
    std::ptrdiff_t i = 0;
    for (; i + static_cast<std::ptrdiff_t>(sizeof(V)) <= bytes; i += sizeof(V))
        store(d + i, add16(load(d + i), load(s + i)));
    for (; i < bytes; i += 2)
        store_sample(d + i, static_cast<std::int16_t>(static_cast<std::uint16_t>(
                                load_sample(d + i) + load_sample(s + i))));
}

void prescale_row(YcPixel* row, std::int32_t count) {
    char* d = reinterpret_cast<char*>(row);
    const std::ptrdiff_t bytes = count * kPixelBytes;
    std::ptrdiff_t i = 0;
    for (; i + static_cast<std::ptrdiff_t>(sizeof(V)) <= bytes; i += sizeof(V))
        store(d + i, sar16<4>(load(d + i)));
    for (; i < bytes; i += 2)
        store_sample(d + i, static_cast<std::int16_t>(load_sample(d + i) >> 4));
}

// Four blended samples: n = (zero_weight * s + S) * 16 exactly (|n| < 2^30, make_blend_params),
// then n / divisor truncated toward zero as sign(n) * ((|n| * magic) >> shift). The 64-bit
// products come from pmuludq on the even lanes and on the odd lanes moved down.
inline __m128i blend4(__m128i s, __m128i sum, __m128i zw, __m128i magic, __m128i shift) {
    const __m128i n = _mm_slli_epi32(_mm_add_epi32(_mm_mullo_epi32(zw, s), sum), 4);
    const __m128i a = _mm_abs_epi32(n);
    const __m128i even = _mm_srl_epi64(_mm_mul_epu32(a, magic), shift);
    const __m128i odd = _mm_srl_epi64(_mm_mul_epu32(_mm_srli_epi64(a, 32), magic), shift);
    const __m128i q = _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
    return _mm_sign_epi32(q, n);
}

#if defined(__AVX2__)
// blend4 on eight lanes.
inline __m256i blend8(__m256i s, __m256i sum, __m256i zw, __m256i magic, __m128i shift) {
    const __m256i n = _mm256_slli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(zw, s), sum), 4);
    const __m256i a = _mm256_abs_epi32(n);
    const __m256i even = _mm256_srl_epi64(_mm256_mul_epu32(a, magic), shift);
    const __m256i odd = _mm256_srl_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), magic), shift);
    const __m256i q = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    return _mm256_sign_epi32(q, n);
}
#endif

// The blend without zero weight and with a divisor 2^k, k <= 19 (the usual case: n_shift 4 or
// 64 and no zero weight): the sample is (16 S) / 2^k truncated toward zero, S the 16-bit sum,
// low 16 bits kept. For k >= 4 that is S / 2^(k - 4) truncated toward zero, the arithmetic
// shift of S plus 2^(k - 4) - 1 where S < 0 (no overflow: |result| <= 2^15 / 2^(k - 4)); for
// k < 4 it is S * 2^(4 - k), whose low 16 bits the 16-bit shift keeps. Both on the 16-bit sums
// as they are, a whole vector of samples at a time. Bytes from `i` on are left to the caller.
inline std::ptrdiff_t blend_power_of_two(char* out, const char* in, std::ptrdiff_t plane_bytes,
                                         std::int32_t planes, std::ptrdiff_t bytes, int k) {
    const int down = k >= 4 ? k - 4 : 0;
    const __m128i down_count = _mm_cvtsi32_si128(down);
    const __m128i up_count = _mm_cvtsi32_si128(k >= 4 ? 0 : 4 - k);
    std::ptrdiff_t i = 0;
#if defined(__AVX2__)
    const __m256i bias = _mm256_set1_epi16(static_cast<short>((1 << down) - 1));
    for (; i + 32 <= bytes; i += 32) {
        __m256i sum = load256(in + i);
        for (std::int32_t t = 1; t < planes; ++t)
            sum = _mm256_add_epi16(sum, load256(in + t * plane_bytes + i));
        const __m256i below = _mm256_and_si256(_mm256_srai_epi16(sum, 15), bias);
        store256(out + i, k >= 4 ? _mm256_sra_epi16(_mm256_add_epi16(sum, below), down_count)
                                 : _mm256_sll_epi16(sum, up_count));
    }
#endif
    const __m128i bias128 = _mm_set1_epi16(static_cast<short>((1 << down) - 1));
    for (; i + 16 <= bytes; i += 16) {
        __m128i sum = load128(in + i);
        for (std::int32_t t = 1; t < planes; ++t)
            sum = _mm_add_epi16(sum, load128(in + t * plane_bytes + i));
        const __m128i below = _mm_and_si128(_mm_srai_epi16(sum, 15), bias128);
        store128(out + i, k >= 4 ? _mm_sra_epi16(_mm_add_epi16(sum, below), down_count)
                                 : _mm_sll_epi16(sum, up_count));
    }
    return i;
}

void blend_row(YcPixel* row, const YcPixel* acc, std::ptrdiff_t plane_size, std::int32_t planes,
               std::int32_t count, const BlendParams& params) {
    char* out = reinterpret_cast<char*>(row);
    const char* in = reinterpret_cast<const char*>(acc);
    const std::ptrdiff_t plane_bytes = plane_size * kPixelBytes;
    const std::ptrdiff_t bytes = count * kPixelBytes;
    int k = 0;
    while (k < 20 && (std::int32_t{1} << k) < params.divisor) ++k;
    if (params.zero_weight == 0 && params.divisor == (std::int32_t{1} << k) && k < 20) {
        for (std::ptrdiff_t i = blend_power_of_two(out, in, plane_bytes, planes, bytes, k);
             i < bytes; i += 2) {
            std::uint16_t sum = 0;
            for (std::int32_t t = 0; t < planes; ++t)
                sum = static_cast<std::uint16_t>(sum + load_sample(in + t * plane_bytes + i));
            const std::int32_t n = static_cast<std::int16_t>(sum) * 16;
            store_sample(out + i,
                         static_cast<std::int16_t>(static_cast<std::uint16_t>(n / params.divisor)));
        }
        return;
    }
    const __m128i zw = _mm_set1_epi32(params.zero_weight);
    const __m128i magic = _mm_set1_epi32(static_cast<std::int32_t>(params.magic));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(params.shift));
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    std::ptrdiff_t i = 0;
#if defined(__AVX2__)
    // Sixteen samples per step; packus works within 128-bit halves, so the halves are widened
    // as (samples 0-3, 8-11) and (4-7, 12-15) and come back in order.
    {
        const __m256i zw8 = _mm256_set1_epi32(params.zero_weight);
        const __m256i magic8 = _mm256_set1_epi32(static_cast<std::int32_t>(params.magic));
        const __m256i low16_8 = _mm256_set1_epi32(0xFFFF);
        for (; i + 32 <= bytes; i += 32) {
            __m256i sum = load256(in + i);
            for (std::int32_t t = 1; t < planes; ++t)
                sum = _mm256_add_epi16(sum, load256(in + t * plane_bytes + i));
            const __m256i s = load256(out + i);
            const __m256i lo =
                blend8(_mm256_srai_epi32(_mm256_unpacklo_epi16(s, s), 16),
                       _mm256_srai_epi32(_mm256_unpacklo_epi16(sum, sum), 16), zw8, magic8, shift);
            const __m256i hi =
                blend8(_mm256_srai_epi32(_mm256_unpackhi_epi16(s, s), 16),
                       _mm256_srai_epi32(_mm256_unpackhi_epi16(sum, sum), 16), zw8, magic8, shift);
            store256(out + i, _mm256_packus_epi32(_mm256_and_si256(lo, low16_8),
                                                  _mm256_and_si256(hi, low16_8)));
        }
    }
#endif
    for (; i + 16 <= bytes; i += 16) {
        __m128i sum = load128(in + i);
        for (std::int32_t t = 1; t < planes; ++t)
            sum = _mm_add_epi16(sum, load128(in + t * plane_bytes + i));
        const __m128i s = load128(out + i);
        const __m128i lo = blend4(_mm_cvtepi16_epi32(s), _mm_cvtepi16_epi32(sum), zw, magic, shift);
        const __m128i hi = blend4(_mm_cvtepi16_epi32(_mm_srli_si128(s, 8)),
                                  _mm_cvtepi16_epi32(_mm_srli_si128(sum, 8)), zw, magic, shift);
        // Low 16 bits of each lane: masked to 0..65535, packus keeps them unchanged.
        store128(out + i, _mm_packus_epi32(_mm_and_si128(lo, low16), _mm_and_si128(hi, low16)));
    }
    for (; i < bytes; i += 2) {
        std::uint16_t sum = 0;
        for (std::int32_t t = 0; t < planes; ++t)
            sum = static_cast<std::uint16_t>(sum + load_sample(in + t * plane_bytes + i));
        const std::int32_t n =
            (params.zero_weight * load_sample(out + i) + static_cast<std::int16_t>(sum)) * 16;
        store_sample(out + i,
                     static_cast<std::int16_t>(static_cast<std::uint16_t>(n / params.divisor)));
    }
}

}  // namespace
}  // namespace korvane
