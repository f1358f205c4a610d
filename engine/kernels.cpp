// kernels_for: the scalar kernels, built from the reference functions, with the vector tiers'
// written over them; and the per-frame constants of the divide-free forms the vector tiers use.
#include "engine/kernels.h"

#include "engine/block_pass.h"

namespace korvane {
namespace {

// Smallest l with 2^l >= d (d >= 1).
std::uint32_t ceil_log2(std::uint64_t d) {
    std::uint32_t l = 0;
    while ((std::uint64_t{1} << l) < d) ++l;
    return l;
}

void add_pixels_scalar(YcPixel* dst, const YcPixel* src, std::int32_t count) {
    for (std::int32_t x = 0; x < count; ++x) {
        dst[x].y = add_wrap(dst[x].y, src[x].y);
        dst[x].cb = add_wrap(dst[x].cb, src[x].cb);
        dst[x].cr = add_wrap(dst[x].cr, src[x].cr);
    }
}

inline std::int16_t prescale_sample(std::int16_t v) { return static_cast<std::int16_t>(v >> 4); }

void prescale_scalar(YcPixel* row, std::int32_t count) {
    for (std::int32_t x = 0; x < count; ++x) {
        row[x].y = prescale_sample(row[x].y);
        row[x].cb = prescale_sample(row[x].cb);
        row[x].cr = prescale_sample(row[x].cr);
    }
}

void blend_row_scalar(YcPixel* row, const YcPixel* acc, std::ptrdiff_t plane_size,
                      std::int32_t planes, std::int32_t count, const BlendParams& params) {
    for (std::int32_t x = 0; x < count; ++x) {
        YcPixel sum{0, 0, 0};
        for (std::int32_t t = 0; t < planes; ++t) {
            const YcPixel& a = acc[t * plane_size + x];
            sum.y = add_wrap(sum.y, a.y);
            sum.cb = add_wrap(sum.cb, a.cb);
            sum.cr = add_wrap(sum.cr, a.cr);
        }
        YcPixel& p = row[x];
        p.y = blend_sample(params.zero_weight, p.y, sum.y, params.divisor);
        p.cb = blend_sample(params.zero_weight, p.cb, sum.cb, params.divisor);
        p.cr = blend_sample(params.zero_weight, p.cr, sum.cr, params.divisor);
    }
}

// The clear limits. Every coefficient of the column pass is a linear form sum_k w_k x_k of the
// eight row-pass values x_k of its column, computed modulo 2^32 (the kernel only adds, subtracts
// and multiplies by constants). Measured against the 2^20 of the rotated outputs' final shift,
// sum_k |w_k| is at most 60544 for a rotated output and 8 * 2^13 = 65536 for an even one (eight
// weights of +-1 before >> 7). For the AC outputs of column 0 the weights sum to 0, so that
// column may be moved by any constant first: by min + limit it lies within +-limit when its
// spread is at most 2 * limit. With every x within +-A, A = 16 Z - 9 and 65536 * A < 2^31 - 2^19,
// the form's true value lies within +-65536 * A < (2 Z - 1) * 2^19, no lane wraps, and the
// rounded shift gives a coefficient v with -Z < v < Z. The luma shaping clears such a v when
// Z = min(threshold, |quant|) (quant * (v / quant) is 0 for |v| < |quant|), the chroma shaping
// when Z = chroma_threshold. Z is capped at 2048, which keeps 65536 * A below 2^31 - 2^19.
std::int32_t clear_limit(std::int64_t z) {
    if (z < 1) return -1;
    return static_cast<std::int32_t>(16 * (z < 2048 ? z : 2048) - 9);
}

}  // namespace

// Division by a constant d >= 1 without a divide (Granlund and Montgomery): for 0 <= n < 2^N,
// l = ceil(log2 d) and m = ceil(2^(N+l) / d), floor(n * m / 2^(N+l)) == floor(n / d).
// Proof: m * d = 2^(N+l) + e with 0 <= e < d <= 2^l, so n * m / 2^(N+l) = n / d + n * e /
// (d * 2^(N+l)), and the second term is below 2^N * 2^l / (d * 2^(N+l)) = 1 / d, too little to
// carry n / d (whose fraction is at most (d - 1) / d) past the next integer. m <= 2^(N+1).
ShapeParams make_shape_params(std::int32_t threshold, std::int32_t quant,
                              std::int32_t chroma_threshold) {
    const std::int64_t d = quant < 0 ? -static_cast<std::int64_t>(quant) : quant;
    ShapeParams p{threshold,
                  quant,
                  0,
                  0,
                  0,
                  chroma_threshold,
                  clear_limit(threshold < d ? threshold : d),
                  clear_limit(chroma_threshold)};
    // |quant| up to 2^15; shaped coefficients have |v| <= 32766 < 2^15 (N = 15), so the product
    // |v| * m stays below 2^15 * (2^16 + 1) < 2^32 and fits one 32-bit lane.
    if (d == 0 || d > 32768) return p;  // outside the domain (d > 32768: every quotient is 0)
    const std::uint32_t shift = 15 + ceil_log2(static_cast<std::uint64_t>(d));
    p.step = static_cast<std::int32_t>(d);
    p.magic = static_cast<std::uint32_t>(((std::uint64_t{1} << shift) + d - 1) /
                                         static_cast<std::uint64_t>(d));
    p.shift = shift;
    return p;
}

BlendParams make_blend_params(std::int32_t zero_weight, std::int32_t divisor) {
    BlendParams p{zero_weight, divisor, 0, 0};
    // |zero_weight * s + S| <= (|zero_weight| + 1) * 2^15 for int16 s and S; times 16.
    const std::uint64_t zw = zero_weight < 0 ? 0 - static_cast<std::uint64_t>(zero_weight)
                                             : static_cast<std::uint64_t>(zero_weight);
    const std::uint64_t max_numerator = (zw + 1) << 19;
    const std::uint32_t n_bits = ceil_log2(max_numerator + 1);
    if (divisor < 1 || n_bits > 30) return p;  // outside the domain
    const auto d = static_cast<std::uint64_t>(divisor);
    p.shift = n_bits + ceil_log2(d);
    p.magic = static_cast<std::uint32_t>(((std::uint64_t{1} << p.shift) + d - 1) / d);
    return p;
}

Kernels kernels_for(CpuTier tier) {
    Kernels k{CpuTier::scalar,    &block_row_scalar, &row_pass_scalar, &stack_blocks_scalar,
              &add_pixels_scalar, &prescale_scalar,  &blend_row_scalar};
    [[maybe_unused]] const auto has = [tier](CpuTier t) {
        return static_cast<int>(tier) >= static_cast<int>(t);
    };
#ifdef KORVANE_HAVE_SSE41
    if (has(CpuTier::sse41)) init_sse41_kernels(k);
#endif
#ifdef KORVANE_HAVE_AVX2
    if (has(CpuTier::avx2)) init_avx2_kernels(k);
#endif
#ifdef KORVANE_HAVE_AVX512
    if (has(CpuTier::avx512)) init_avx512_kernels(k);
#endif
    return k;
}

}  // namespace korvane
