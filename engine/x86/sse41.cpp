// SSE4.1 tier: four int32 lanes per vector (compiled with -msse4.1): the vector operations of
// engine/x86/kernels_x86.h, and the tier's own gather and scatter (one block row per 128-bit
// vector; AVX2 and AVX-512 share the 256-bit form of gather_scatter.h).
#include <immintrin.h>

#include <cstdint>

#include "engine/kernels.h"

namespace korvane {
namespace {

using V = __m128i;
constexpr int kLanes = 4;

inline V load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(void* p, V v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
inline V set1(std::int32_t x) { return _mm_set1_epi32(x); }
inline V add(V a, V b) { return _mm_add_epi32(a, b); }
inline V sub(V a, V b) { return _mm_sub_epi32(a, b); }
inline V mul(V a, V b) { return _mm_mullo_epi32(a, b); }
template <int N>
inline V shl(V v) {
    return _mm_slli_epi32(v, N);
}
template <int N>
inline V sar(V v) {
    return _mm_srai_epi32(v, N);
}
inline V srl(V v, __m128i count) { return _mm_srl_epi32(v, count); }
inline V or_(V a, V b) { return _mm_or_si128(a, b); }
inline V vmin(V a, V b) { return _mm_min_epi32(a, b); }
inline V vmax(V a, V b) { return _mm_max_epi32(a, b); }
inline V abs_(V v) { return _mm_abs_epi32(v); }
inline bool all_zero(V v) { return _mm_testz_si128(v, v) != 0; }
inline V select_zero(V t, V a, V b) {
    return _mm_blendv_epi8(b, a, _mm_cmpeq_epi32(t, _mm_setzero_si128()));
}
inline V select_inside(V v, V th, V nth, V a, V b) {
    return _mm_blendv_epi8(b, a, _mm_and_si128(_mm_cmpgt_epi32(th, v), _mm_cmpgt_epi32(v, nth)));
}
inline V zero_inside(V v, V th, V nth) {
    return _mm_andnot_si128(_mm_and_si128(_mm_cmpgt_epi32(th, v), _mm_cmpgt_epi32(v, nth)), v);
}
inline V copy_sign(V r, V v) { return _mm_sign_epi32(r, v); }
inline V add16(V a, V b) { return _mm_add_epi16(a, b); }
template <int N>
inline V sar16(V v) {
    return _mm_srai_epi16(v, N);
}

}  // namespace
}  // namespace korvane

#include "engine/x86/gather_scatter.h"

namespace korvane {
namespace {

// SSE4.1's gather and scatter: one block row per 128-bit vector, each part of eight blocks'
// rows through a whole 8x8 transpose of int16 (the layout is described in gather_scatter.h).
inline void transpose8x8_16(__m128i (&m)[8]) {
    const __m128i t0 = _mm_unpacklo_epi16(m[0], m[1]), t1 = _mm_unpackhi_epi16(m[0], m[1]);
    const __m128i t2 = _mm_unpacklo_epi16(m[2], m[3]), t3 = _mm_unpackhi_epi16(m[2], m[3]);
    const __m128i t4 = _mm_unpacklo_epi16(m[4], m[5]), t5 = _mm_unpackhi_epi16(m[4], m[5]);
    const __m128i t6 = _mm_unpacklo_epi16(m[6], m[7]), t7 = _mm_unpackhi_epi16(m[6], m[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    m[0] = _mm_unpacklo_epi64(u0, u4);
    m[1] = _mm_unpackhi_epi64(u0, u4);
    m[2] = _mm_unpacklo_epi64(u1, u5);
    m[3] = _mm_unpackhi_epi64(u1, u5);
    m[4] = _mm_unpacklo_epi64(u2, u6);
    m[5] = _mm_unpackhi_epi64(u2, u6);
    m[6] = _mm_unpacklo_epi64(u3, u7);
    m[7] = _mm_unpackhi_epi64(u3, u7);
}

template <int kChannelStride = kGroupElements>
[[gnu::noinline]] void gather_group(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
                                    std::int32_t* groups) {
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        const int n = left < 0 ? 0 : (left > 8 ? 8 : static_cast<int>(left));
        std::int32_t* out = groups + 8 * half;
        for (int r = 0; r < 8; ++r) {
            const char* row =
                reinterpret_cast<const char*>(src + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m128i m[8];
                for (int k = 0; k < 8; ++k)
                    m[k] =
                        k < n ? load128(row + k * 8 * kPixelBytes + 16 * p) : _mm_setzero_si128();
                transpose8x8_16(m);
                for (int i = 0; i < 8; ++i) {
                    std::int32_t* o = out + sample_offset<kChannelStride>(r, 8 * p + i);
                    store128(o, _mm_cvtepi16_epi32(m[i]));
                    store128(o + 4, _mm_cvtepi16_epi32(_mm_srli_si128(m[i], 8)));
                }
            }
        }
    }
}

// packs_epi32 saturates; elements in -32768..32767 (all the inverse transform yields) pass
// unchanged, so the saturated value is the low 16 bits that the scalar scatter adds.
template <bool kStore, int kChannelStride = kGroupElements>
[[gnu::noinline]] void scatter_group(const std::int32_t* groups, YcPixel* dst,
                                     std::ptrdiff_t stride, std::int32_t blocks) {
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        if (left <= 0) break;
        const int n = left > 8 ? 8 : static_cast<int>(left);
        const std::int32_t* in = groups + 8 * half;
        for (int r = 0; r < 8; ++r) {
            char* row = reinterpret_cast<char*>(dst + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m128i m[8];
                for (int i = 0; i < 8; ++i) {
                    const std::int32_t* s = in + sample_offset<kChannelStride>(r, 8 * p + i);
                    m[i] = _mm_packs_epi32(load128(s), load128(s + 4));
                }
                transpose8x8_16(m);
                for (int k = 0; k < n; ++k) {
                    char* d = row + k * 8 * kPixelBytes + 16 * p;
                    store128(d, kStore ? m[k] : _mm_add_epi16(load128(d), m[k]));
                }
            }
        }
    }
}

}  // namespace
}  // namespace korvane

#include "engine/x86/kernels_x86.h"

namespace korvane {

#if defined(KORVANE_GROUP_KERNELS)
// This file compiled a second time, for the tests and benchmarks: the steps one by one.
const GroupKernels* sse41_group_kernels() {
    static constexpr GroupKernels kTable = make_group_table(CpuTier::sse41);
    return &kTable;
}
#else
void init_sse41_kernels(Kernels& kernels) { write_kernels(kernels, CpuTier::sse41); }
#endif

}  // namespace korvane
