// SSE4.1 tier: four int32 lanes per vector (compiled with -msse4.1).
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
