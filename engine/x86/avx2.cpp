// AVX2 tier: eight int32 lanes per vector (compiled with -mavx2).
#include <immintrin.h>

#include <cstdint>

#include "engine/kernels.h"

namespace korvane {
namespace {

using V = __m256i;
constexpr int kLanes = 8;

inline V load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void store(void* p, V v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
inline V set1(std::int32_t x) { return _mm256_set1_epi32(x); }
inline V add(V a, V b) { return _mm256_add_epi32(a, b); }
inline V sub(V a, V b) { return _mm256_sub_epi32(a, b); }
inline V mul(V a, V b) { return _mm256_mullo_epi32(a, b); }
template <int N>
inline V shl(V v) {
    return _mm256_slli_epi32(v, N);
}
template <int N>
inline V sar(V v) {
    return _mm256_srai_epi32(v, N);
}
inline V srl(V v, __m128i count) { return _mm256_srl_epi32(v, count); }
inline V or_(V a, V b) { return _mm256_or_si256(a, b); }
inline V vmin(V a, V b) { return _mm256_min_epi32(a, b); }
inline V vmax(V a, V b) { return _mm256_max_epi32(a, b); }
inline V abs_(V v) { return _mm256_abs_epi32(v); }
inline bool all_zero(V v) { return _mm256_testz_si256(v, v) != 0; }
inline V select_zero(V t, V a, V b) {
    return _mm256_blendv_epi8(b, a, _mm256_cmpeq_epi32(t, _mm256_setzero_si256()));
}
inline V select_inside(V v, V th, V nth, V a, V b) {
    return _mm256_blendv_epi8(
        b, a, _mm256_and_si256(_mm256_cmpgt_epi32(th, v), _mm256_cmpgt_epi32(v, nth)));
}
inline V zero_inside(V v, V th, V nth) {
    return _mm256_andnot_si256(
        _mm256_and_si256(_mm256_cmpgt_epi32(th, v), _mm256_cmpgt_epi32(v, nth)), v);
}
inline V copy_sign(V r, V v) { return _mm256_sign_epi32(r, v); }
inline V add16(V a, V b) { return _mm256_add_epi16(a, b); }
template <int N>
inline V sar16(V v) {
    return _mm256_srai_epi16(v, N);
}

}  // namespace
}  // namespace korvane

#include "engine/x86/kernels_x86.h"

namespace korvane {

#if defined(KORVANE_GROUP_KERNELS)
// This file compiled a second time, for the tests and benchmarks: the steps one by one.
const GroupKernels* avx2_group_kernels() {
    static constexpr GroupKernels kTable = make_group_table(CpuTier::avx2);
    return &kTable;
}
#else
void init_avx2_kernels(Kernels& kernels) { write_kernels(kernels, CpuTier::avx2); }
#endif

}  // namespace korvane
