// AVX-512 tier (F, BW, VL, DQ): sixteen int32 lanes per vector, one group per vector; selections
// go through mask registers.
#include <cstdint>

#include "engine/kernels.h"
#include "engine/x86/avx512_intrinsics.h"

namespace korvane {
namespace {

using V = __m512i;
constexpr int kLanes = 16;

inline V load(const void* p) { return _mm512_loadu_si512(p); }
inline void store(void* p, V v) { _mm512_storeu_si512(p, v); }
inline V set1(std::int32_t x) { return _mm512_set1_epi32(x); }
inline V add(V a, V b) { return _mm512_add_epi32(a, b); }
inline V sub(V a, V b) { return _mm512_sub_epi32(a, b); }
inline V mul(V a, V b) { return _mm512_mullo_epi32(a, b); }
template <int N>
inline V shl(V v) {
    return _mm512_slli_epi32(v, N);
}
template <int N>
inline V sar(V v) {
    return _mm512_srai_epi32(v, N);
}
inline V srl(V v, __m128i count) { return _mm512_srl_epi32(v, count); }
inline V or_(V a, V b) { return _mm512_or_si512(a, b); }
inline V vmin(V a, V b) { return _mm512_min_epi32(a, b); }
inline V vmax(V a, V b) { return _mm512_max_epi32(a, b); }
inline V abs_(V v) { return _mm512_abs_epi32(v); }
inline bool all_zero(V v) { return _mm512_test_epi32_mask(v, v) == 0; }
inline V select_zero(V t, V a, V b) {
    return _mm512_mask_blend_epi32(_mm512_testn_epi32_mask(t, t), b, a);
}
inline V select_inside(V v, V th, V nth, V a, V b) {
    const __mmask16 inside = _mm512_cmpgt_epi32_mask(th, v) & _mm512_cmpgt_epi32_mask(v, nth);
    return _mm512_mask_blend_epi32(inside, b, a);
}
inline V zero_inside(V v, V th, V nth) {
    const __mmask16 inside = _mm512_cmpgt_epi32_mask(th, v) & _mm512_cmpgt_epi32_mask(v, nth);
    return _mm512_maskz_mov_epi32(static_cast<__mmask16>(~inside), v);
}
inline V copy_sign(V r, V v) {
    return _mm512_mask_sub_epi32(r, _mm512_movepi32_mask(v), _mm512_setzero_si512(), r);
}
inline V add16(V a, V b) { return _mm512_add_epi16(a, b); }
template <int N>
inline V sar16(V v) {
    return _mm512_srai_epi16(v, N);
}

}  // namespace
}  // namespace korvane

#include "engine/x86/kernels_x86.h"

namespace korvane {

#if defined(KORVANE_GROUP_KERNELS)
// This file compiled a second time, for the tests and benchmarks: the steps one by one.
const GroupKernels* avx512_group_kernels() {
    static constexpr GroupKernels kTable = make_group_table(CpuTier::avx512);
    return &kTable;
}
#else
void init_avx512_kernels(Kernels& kernels) { write_kernels(kernels, CpuTier::avx512); }
#endif

}  // namespace korvane
