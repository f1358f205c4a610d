// Coefficient shaping on vectors: luma requantised without a divide, chroma cleared.
//
// Part of the body of every x86 tier: included by engine/x86/kernels_x86.h into the anonymous
// namespace of a tier's file, after that file has defined the vector type V and its operations
// (the list is in kernels_x86.h).
#pragma once

#include <immintrin.h>

#include <cstdint>

#include "engine/kernels.h"

namespace korvane {
namespace {

// Luma: v with -threshold < v < threshold becomes quant * (v / quant). Since v / quant truncates
// toward zero, quant * (v / quant) = sign(v) * |quant| * (|v| / |quant|) whatever the sign of
// quant, and |v| / |quant| is the divide-free quotient of make_shape_params.
struct ShapeLuma {
    V th, nth, magic, step;
    __m128i shift;
    explicit ShapeLuma(const ShapeParams& p)
        : th(set1(p.threshold)),
          nth(set1(-p.threshold)),
          magic(set1(static_cast<std::int32_t>(p.magic))),
          step(set1(p.step)),
          shift(_mm_cvtsi32_si128(static_cast<int>(p.shift))) {}
    V operator()(V v) const {
        const V q = mul(srl(mul(abs_(v), magic), shift), step);
        return select_inside(v, th, nth, copy_sign(q, v), v);
    }
};

// Chroma: v with -threshold < v < threshold becomes 0 (chroma's threshold).
struct ShapeChroma {
    V th, nth;
    explicit ShapeChroma(const ShapeParams& p)
        : th(set1(p.chroma_threshold)), nth(set1(-p.chroma_threshold)) {}
    V operator()(V v) const { return zero_inside(v, th, nth); }
};

// Element 0 (the DC of every block) is left alone.
template <typename Shape>
void shape_group(std::int32_t* group, const Shape& shape) {
    for (int i = kGroupBlocks; i < kGroupElements; i += kLanes)
        store(group + i, shape(load(group + i)));
}

void shape_luma_group(std::int32_t* group, const ShapeParams& p) {
    shape_group(group, ShapeLuma(p));
}
void shape_chroma_group(std::int32_t* group, const ShapeParams& p) {
    shape_group(group, ShapeChroma(p));
}

}  // namespace
}  // namespace korvane
