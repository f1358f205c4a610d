// The scalar steps of a block row, on groups: each block is copied out of its lane, handed to
// the reference function and copied back. For the tests and benchmarks only
// (engine/group_kernels.h).
#include "engine/group_kernels.h"

#include "engine/block_pass.h"
#include "engine/dct.h"

namespace korvane {
namespace {

template <typename F>
void per_block(std::int32_t* group, F&& f) {
    std::int32_t block[kBlockSize];
    for (int b = 0; b < kGroupBlocks; ++b) {
        for (int e = 0; e < kBlockSize; ++e) block[e] = group[e * kGroupBlocks + b];
        f(block);
        for (int e = 0; e < kBlockSize; ++e) group[e * kGroupBlocks + b] = block[e];
    }
}

void fdct_scalar(std::int32_t* group) { per_block(group, fdct_8x8); }
void idct_scalar(std::int32_t* group) { per_block(group, idct_8x8); }

void shape_luma_scalar(std::int32_t* group, const ShapeParams& p) {
    per_block(group, [&](std::int32_t* block) { shape_luma(block, p.threshold, p.quant); });
}

void shape_chroma_scalar(std::int32_t* group, const ShapeParams& p) {
    per_block(group, [&](std::int32_t* block) { shape_chroma(block, p.chroma_threshold); });
}

void gather_scalar(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
                   std::int32_t* groups) {
    std::int32_t* y = groups;
    std::int32_t* cb = groups + kGroupElements;
    std::int32_t* cr = groups + 2 * kGroupElements;
    for (int b = 0; b < kGroupBlocks; ++b) {
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 8; ++c) {
                const int i = (8 * r + c) * kGroupBlocks + b;
                if (b < blocks) {
                    const YcPixel& p = src[r * stride + 8 * b + c];
                    y[i] = p.y;
                    cb[i] = p.cb;
                    cr[i] = p.cr;
                } else {
                    y[i] = cb[i] = cr[i] = 0;
                }
            }
        }
    }
}

void scatter_add_scalar(const std::int32_t* groups, YcPixel* dst, std::ptrdiff_t stride,
                        std::int32_t blocks) {
    const std::int32_t* y = groups;
    const std::int32_t* cb = groups + kGroupElements;
    const std::int32_t* cr = groups + 2 * kGroupElements;
    for (int b = 0; b < blocks; ++b) {
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 8; ++c) {
                const int i = (8 * r + c) * kGroupBlocks + b;
                YcPixel& p = dst[r * stride + 8 * b + c];
                p.y = add_wrap(p.y, y[i]);
                p.cb = add_wrap(p.cb, cb[i]);
                p.cr = add_wrap(p.cr, cr[i]);
            }
        }
    }
}

}  // namespace

const GroupKernels* group_kernels_for(CpuTier tier) {
    static constexpr GroupKernels kScalar = {
        CpuTier::scalar,      &fdct_scalar,   &idct_scalar,        &shape_luma_scalar,
        &shape_chroma_scalar, &gather_scalar, &scatter_add_scalar,
    };
    switch (tier) {
        case CpuTier::scalar:
            return &kScalar;
#ifdef KORVANE_HAVE_SSE41
        case CpuTier::sse41:
            return sse41_group_kernels();
#endif
#ifdef KORVANE_HAVE_AVX2
        case CpuTier::avx2:
            return avx2_group_kernels();
#endif
#ifdef KORVANE_HAVE_AVX512
        case CpuTier::avx512:
            return avx512_group_kernels();
#endif
        default:
            return nullptr;
    }
}

}  // namespace korvane
