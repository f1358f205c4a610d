// PictureFilter's passes around the engine (carry_vector.h) in AVX-512 (F, BW): a run of 96
// samples is three vectors of 32.
// GCC 12's AVX-512 headers start many intrinsics from _mm512_undefined_epi32(), a variable
// initialised with itself, which -Wuninitialized reports wherever they are inlined (GCC bug
// 105593). The pragma covers those headers only.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include "picture/carry_vector.h"

namespace korvane {
namespace {

// Lanes of vector k of a run that hold luma: sample 32 k + lane is a multiple of 3.
constexpr __mmask32 luma_lanes(int k) {
    __mmask32 m = 0;
    for (int lane = 0; lane < 32; ++lane)
        if ((32 * k + lane) % 3 == 0) m |= __mmask32{1} << lane;
    return m;
}
constexpr __mmask32 kLuma[3] = {luma_lanes(0), luma_lanes(1), luma_lanes(2)};

}  // namespace

void keep_low_and_prescale_avx512(std::int16_t* s, std::uint8_t* low, std::size_t runs,
                                  std::int16_t luma_by) {
    const __m512i by = _mm512_set1_epi16(luma_by), nibble = _mm512_set1_epi16(15);
    // Samples 48 .. 79 of a run: lanes 16 .. 31 of the second vector, then 0 .. 15 of the third.
    const __m512i middle = _mm512_add_epi16(
        _mm512_set1_epi16(16),
        _mm512_set_epi16(31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13,
                         12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0));
    for (std::size_t r = 0; r < runs; ++r, s += 96, low += 48) {
        __m512i v[3], n[3];
        for (int k = 0; k < 3; ++k) {
            v[k] = _mm512_loadu_si512(s + 32 * k);
            n[k] = _mm512_and_si512(v[k], nibble);
            _mm512_storeu_si512(
                s + 32 * k, _mm512_srai_epi16(_mm512_mask_adds_epi16(v[k], kLuma[k], v[k], by), 4));
        }
        // Bytes 0 .. 31: samples 0 .. 31 and 48 .. 79; bytes 32 .. 47: 32 .. 47 and 80 .. 95.
        const __m512i first = _mm512_or_si512(
            n[0], _mm512_slli_epi16(_mm512_permutex2var_epi16(n[1], middle, n[2]), 4));
        const __m256i last = _mm256_or_si256(
            _mm512_castsi512_si256(n[1]), _mm256_slli_epi16(_mm512_extracti64x4_epi64(n[2], 1), 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(low), _mm512_cvtepi16_epi8(first));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(low + 32), _mm256_cvtepi16_epi8(last));
    }
}

void move_and_add_low_avx512(std::int16_t* s, const std::uint8_t* low, std::size_t runs,
                             std::int16_t luma_by) {
    const __m512i by = _mm512_set1_epi16(luma_by), nibble = _mm512_set1_epi16(15);
    const __m256i nibble256 = _mm256_set1_epi16(15);
    for (std::size_t r = 0; r < runs; ++r, s += 96, low += 48) {
        const __m512i a =
            _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(low)));
        const __m256i b =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(low + 32)));
        const __m512i a_high = _mm512_srli_epi16(a, 4);  // samples 48 .. 79
        const __m256i b_low = _mm256_and_si256(b, nibble256), b_high = _mm256_srli_epi16(b, 4);
        const __m512i add[3] = {
            _mm512_and_si512(a, nibble),
            _mm512_inserti64x4(_mm512_castsi256_si512(b_low), _mm512_castsi512_si256(a_high), 1),
            _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_extracti64x4_epi64(a_high, 1)), b_high,
                               1)};
        for (int k = 0; k < 3; ++k) {
            const __m512i v = _mm512_loadu_si512(s + 32 * k);
            _mm512_storeu_si512(
                s + 32 * k, _mm512_adds_epi16(_mm512_mask_adds_epi16(v, kLuma[k], v, by), add[k]));
        }
    }
}

}  // namespace korvane
