// Gather and scatter between the interleaved pixel rows of a frame and groups: what every tier
// shares, and the 256-bit form of AVX2 and AVX-512. SSE4.1's 128-bit form is in sse41.cpp.
//
// Part of the body of every x86 tier: included by engine/x86/kernels_x86.h into the anonymous
// namespace of a tier's file, after that file has defined the vector type V and its operations
// (the list is in kernels_x86.h).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "engine/kernels.h"

namespace korvane {
namespace {

// One row of a block is 8 pixels = 24 int16 = three 16-byte parts; part p holds samples 8p ..
// 8p + 7 of the row in the order y0 cb0 cr0 y1 cb1 cr1 y2 ... Take part p of the same row of 8
// neighbouring blocks as the eight rows of an 8x8 int16 matrix: its transpose has in row i the
// sample 8p + i (pixel (8p + i) / 3, channel (8p + i) % 3) of all 8 blocks, which is exactly a
// group vector of 8 lanes. Three transposes per block row de-interleave and transpose at once;
// the scatter runs the same transposes backwards.

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store128(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// Group offset of row sample j (0..23) of block row r: channel j % 3, element 8r + j / 3. The
// gather also fills row stacks, whose channels lie kStackElements apart.
template <int kChannelStride = kGroupElements>
inline int sample_offset(int r, int j) {
    return (j % 3) * kChannelStride + (8 * r + j / 3) * kGroupBlocks;
}

constexpr std::ptrdiff_t kPixelBytes = sizeof(YcPixel);

#if defined(__AVX2__)
// Two block rows per 256-bit vector: row r in the low 128 bits, row r + 1 in the high ones. The
// unpacks of the transpose work within each 128-bit half, so one transpose serves both rows, and
// one sign extension widens all 8 lanes of a row at once.
inline __m256i load_rows(const char* lo, const char* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(lo)), load128(hi), 1);
}

inline void transpose8x8_16(__m256i (&m)[8]) {
    const __m256i t0 = _mm256_unpacklo_epi16(m[0], m[1]), t1 = _mm256_unpackhi_epi16(m[0], m[1]);
    const __m256i t2 = _mm256_unpacklo_epi16(m[2], m[3]), t3 = _mm256_unpackhi_epi16(m[2], m[3]);
    const __m256i t4 = _mm256_unpacklo_epi16(m[4], m[5]), t5 = _mm256_unpackhi_epi16(m[4], m[5]);
    const __m256i t6 = _mm256_unpacklo_epi16(m[6], m[7]), t7 = _mm256_unpackhi_epi16(m[6], m[7]);
    const __m256i u0 = _mm256_unpacklo_epi32(t0, t2), u1 = _mm256_unpackhi_epi32(t0, t2);
    const __m256i u2 = _mm256_unpacklo_epi32(t1, t3), u3 = _mm256_unpackhi_epi32(t1, t3);
    const __m256i u4 = _mm256_unpacklo_epi32(t4, t6), u5 = _mm256_unpackhi_epi32(t4, t6);
    const __m256i u6 = _mm256_unpacklo_epi32(t5, t7), u7 = _mm256_unpackhi_epi32(t5, t7);
    m[0] = _mm256_unpacklo_epi64(u0, u4);
    m[1] = _mm256_unpackhi_epi64(u0, u4);
    m[2] = _mm256_unpacklo_epi64(u1, u5);
    m[3] = _mm256_unpackhi_epi64(u1, u5);
    m[4] = _mm256_unpacklo_epi64(u2, u6);
    m[5] = _mm256_unpackhi_epi64(u2, u6);
    m[6] = _mm256_unpacklo_epi64(u3, u7);
    m[7] = _mm256_unpackhi_epi64(u3, u7);
}

inline void store256(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
inline __m256i load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }

// The transpose above holds sixteen vectors at its peak, twice the 8 registers of 32-bit mode
// (see the narrow transforms). Whole halves of a group go through it in halves instead: outputs
// 0-3 come from the unpacklo of the input pairs alone, outputs 4-7 from their unpackhi, so each
// half needs the four unpacked pairs of its own and no more than seven vectors in all. Measured
// on x86-64 as well, this gather and scatter are faster than the whole transpose with its
// group offsets computed per part (scripts/measure-narrow-kernels), so every build takes them.
// transpose_half finishes one half from its four unpacked pairs (t0, t2, t4, t6 or t1, t3, t5,
// t7 above) and hands output j of the half to emit(j, v).
template <typename Emit>
inline void transpose_half(__m256i ta, __m256i tb, __m256i tc, __m256i td, Emit emit) {
    const __m256i u0 = _mm256_unpacklo_epi32(ta, tb), u1 = _mm256_unpackhi_epi32(ta, tb);
    const __m256i u4 = _mm256_unpacklo_epi32(tc, td), u5 = _mm256_unpackhi_epi32(tc, td);
    emit(0, _mm256_unpacklo_epi64(u0, u4));
    emit(1, _mm256_unpackhi_epi64(u0, u4));
    emit(2, _mm256_unpacklo_epi64(u1, u5));
    emit(3, _mm256_unpackhi_epi64(u1, u5));
}

// Part kP (at `part`) of block rows r and r + 1 of eight whole blocks into the group, `out`
// pointing at element 8r: each half of the transpose loads the rows again (loads are cheap;
// holding the other half's four vectors is not). kP is a constant so that every group offset is
// one too, not a division by 3 per sample: general registers are as short as vector ones in
// 32-bit mode.
template <bool kHigh, int kP, int kChannelStride>
inline void gather_part_half(const char* part, std::ptrdiff_t row_bytes, std::int32_t* out) {
    const auto pair = [&](int k) {
        const char* a = part + 2 * k * 8 * kPixelBytes;
        const char* b = a + 8 * kPixelBytes;
        const __m256i m0 = load_rows(a, a + row_bytes), m1 = load_rows(b, b + row_bytes);
        return kHigh ? _mm256_unpackhi_epi16(m0, m1) : _mm256_unpacklo_epi16(m0, m1);
    };
    const __m256i t0 = pair(0);
    const __m256i t1 = pair(1);
    const __m256i t2 = pair(2);
    const __m256i t3 = pair(3);
    transpose_half(t0, t1, t2, t3, [&](int j, __m256i m) {
        std::int32_t* o = out + sample_offset<kChannelStride>(0, 8 * kP + (kHigh ? 4 : 0) + j);
        store256(o, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(m)));
        store256(o + 8 * kGroupBlocks, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(m, 1)));
    });
}

template <int kChannelStride = kGroupElements>
[[gnu::noinline]] void gather_group(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
                                    std::int32_t* groups) {
    const std::ptrdiff_t row_bytes = stride * kPixelBytes;
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        const int n = left < 0 ? 0 : (left > 8 ? 8 : static_cast<int>(left));
        std::int32_t* out = groups + 8 * half;
        if (n == 8) {
            for (int r = 0; r < 8; r += 2) {
                const char* row =
                    reinterpret_cast<const char*>(src + r * stride) + 8 * half * 8 * kPixelBytes;
                std::int32_t* o = out + 8 * r * kGroupBlocks;
                gather_part_half<false, 0, kChannelStride>(row, row_bytes, o);
                gather_part_half<true, 0, kChannelStride>(row, row_bytes, o);
                gather_part_half<false, 1, kChannelStride>(row + 16, row_bytes, o);
                gather_part_half<true, 1, kChannelStride>(row + 16, row_bytes, o);
                gather_part_half<false, 2, kChannelStride>(row + 32, row_bytes, o);
                gather_part_half<true, 2, kChannelStride>(row + 32, row_bytes, o);
            }
            continue;
        }
        for (int r = 0; r < 8; r += 2) {
            const char* row =
                reinterpret_cast<const char*>(src + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m256i m[8];
                for (int k = 0; k < 8; ++k) {
                    const char* part = row + k * 8 * kPixelBytes + 16 * p;
                    m[k] = k < n ? load_rows(part, part + row_bytes) : _mm256_setzero_si256();
                }
                transpose8x8_16(m);
                for (int i = 0; i < 8; ++i) {
                    std::int32_t* o = out + sample_offset<kChannelStride>(r, 8 * p + i);
                    store256(o, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(m[i])));
                    store256(o + 8 * kGroupBlocks,
                             _mm256_cvtepi16_epi32(_mm256_extracti128_si256(m[i], 1)));
                }
            }
        }
    }
}

// Part kP of block rows r and r + 1 of eight whole blocks from the group (`in` pointing at
// element 8r) into the pixels at `part`, the transpose in halves as in gather_part_half. Here the
// inputs cost a pack and a permute each, so they are made once: the low unpacks of each pair stay
// in registers, the high ones are parked on the stack until the first half is done.
template <bool kStore, int kP, int kChannelStride>
inline void scatter_part(const std::int32_t* in, char* part, std::ptrdiff_t row_bytes) {
    const auto input = [&](int i) {
        const std::int32_t* s = in + sample_offset<kChannelStride>(0, 8 * kP + i);
        return _mm256_permute4x64_epi64(
            _mm256_packs_epi32(load256(s), load256(s + 8 * kGroupBlocks)), 0xD8);
    };
    alignas(32) char parked[4 * sizeof(__m256i)];
    const auto pair = [&](int k) {
        const __m256i m0 = input(2 * k), m1 = input(2 * k + 1);
        store256(parked + k * sizeof(__m256i), _mm256_unpackhi_epi16(m0, m1));
        return _mm256_unpacklo_epi16(m0, m1);
    };
    const __m256i t0 = pair(0);
    const __m256i t1 = pair(1);
    const __m256i t2 = pair(2);
    const __m256i t3 = pair(3);
    // A compiler barrier, no instruction: with the buffer's address handed to it the buffer stays
    // in memory, and with the memory clobber the second half loads it again instead of the
    // compiler keeping the four vectors in registers all along.
    __asm__ volatile("" : : "r"(parked) : "memory");
    const auto emit = [&](int k, __m256i m) {
        char* d = part + k * 8 * kPixelBytes;
        const __m256i sum = kStore ? m : _mm256_add_epi16(load_rows(d, d + row_bytes), m);
        store128(d, _mm256_castsi256_si128(sum));
        store128(d + row_bytes, _mm256_extracti128_si256(sum, 1));
    };
    transpose_half(t0, t1, t2, t3, emit);
    transpose_half(load256(parked), load256(parked + 32), load256(parked + 64),
                   load256(parked + 96), [&](int j, __m256i m) { emit(4 + j, m); });
}

// packs_epi32 saturates; elements in -32768..32767 (all the inverse transform yields) pass
// unchanged, so the saturated value is the low 16 bits that the scalar scatter adds. The pack
// interleaves 128-bit halves (row r lanes 0-3, row r + 1 lanes 0-3, row r lanes 4-7, ...);
// the qword permute puts row r back in the low half.
template <bool kStore, int kChannelStride = kGroupElements>
[[gnu::noinline]] void scatter_group(const std::int32_t* groups, YcPixel* dst,
                                     std::ptrdiff_t stride, std::int32_t blocks) {
    const std::ptrdiff_t row_bytes = stride * kPixelBytes;
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        if (left <= 0) break;
        const int n = left > 8 ? 8 : static_cast<int>(left);
        const std::int32_t* in = groups + 8 * half;
        if (n == 8) {
            for (int r = 0; r < 8; r += 2) {
                char* row = reinterpret_cast<char*>(dst + r * stride) + 8 * half * 8 * kPixelBytes;
                const std::int32_t* i = in + 8 * r * kGroupBlocks;
                scatter_part<kStore, 0, kChannelStride>(i, row, row_bytes);
                scatter_part<kStore, 1, kChannelStride>(i, row + 16, row_bytes);
                scatter_part<kStore, 2, kChannelStride>(i, row + 32, row_bytes);
            }
            continue;
        }
        for (int r = 0; r < 8; r += 2) {
            char* row = reinterpret_cast<char*>(dst + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m256i m[8];
                for (int i = 0; i < 8; ++i) {
                    const std::int32_t* s = in + sample_offset<kChannelStride>(r, 8 * p + i);
                    m[i] = _mm256_permute4x64_epi64(
                        _mm256_packs_epi32(load256(s), load256(s + 8 * kGroupBlocks)), 0xD8);
                }
                transpose8x8_16(m);
                for (int k = 0; k < n; ++k) {
                    char* d = row + k * 8 * kPixelBytes + 16 * p;
                    const __m256i sum =
                        kStore ? m[k] : _mm256_add_epi16(load_rows(d, d + row_bytes), m[k]);
                    store128(d, _mm256_castsi256_si128(sum));
                    store128(d + row_bytes, _mm256_extracti128_si256(sum, 1));
                }
            }
        }
    }
}
#endif  // __AVX2__

}  // namespace
}  // namespace korvane
