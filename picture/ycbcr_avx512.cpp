// The 8-bit Y'CbCr row conversions (ycbcr_vector.h) in AVX-512 (F, BW): 32 pixels at a time.
//
// Codes to host values go through the caller's tables of 256 entries, looked up 32 at a time by
// four two-table word permutes (64 entries each) and two selections on bits 6 and 7 of the
// code, so the values are the tables' own. The pixels' y, cb, cr words are put in place, and
// taken apart again, by word permutes too.
//
// Host values to codes: clamp(div_round(h * span, 2^shift) + black, 0, 255), the division an
// arithmetic shift of h * span plus half the divisor (one less for a negative product), in
// 32-bit lanes; chroma first takes the rounded mean of the 2 or 4 samples that it covers.
#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/x86/avx512_intrinsics.h"
#include "picture/ycbcr_vector.h"

namespace korvane {
namespace {

constexpr int kLanes = 32;  // int16 lanes of a vector, and pixels of a group

using Index = std::array<std::int16_t, kLanes>;

__m512i load(const Index& index) { return _mm512_loadu_si512(index.data()); }

// Interleaving: word j of output vector k of a group (y cb cr y cb cr ...) is pixel p =
// (32 k + j) / 3's channel (32 k + j) % 3. Its source: luma p of the Y vector, or the chroma
// sample of pixel p, whose place in the sources `chroma_lane` gives (bit 5 set: the second
// source of a two-source permute).
template <typename ChromaLane>
constexpr std::array<Index, 3> interleaving(ChromaLane chroma_lane) {
    std::array<Index, 3> idx{};
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < kLanes; ++j) {
            const int at = kLanes * k + j, p = at / 3, channel = at % 3;
            idx[k][j] = static_cast<std::int16_t>(channel == 0 ? p : chroma_lane(p, channel));
        }
    return idx;
}

// Lanes of output vector k of a group that hold a sample of channel c.
constexpr std::array<__mmask32, 3> channel_lanes(int channel) {
    std::array<__mmask32, 3> m{};
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < kLanes; ++j)
            if ((kLanes * k + j) % 3 == channel) m[k] |= __mmask32{1} << j;
    return m;
}

// Deinterleaving: word p of channel c's vector is word 3 p + c of the group's 96, of input
// vector (3 p + c) / 32: the first two by a two-source permute, the third merged in.
constexpr Index gathering(int channel, bool third) {
    Index idx{};
    for (int p = 0; p < kLanes; ++p) {
        const int at = 3 * p + channel;
        idx[p] = static_cast<std::int16_t>(third ? at % kLanes : at);  // < 64 for the first two
    }
    return idx;
}
constexpr __mmask32 third_lanes(int channel) {
    __mmask32 m = 0;
    for (int p = 0; p < kLanes; ++p)
        if (3 * p + channel >= 2 * kLanes) m |= __mmask32{1} << p;
    return m;
}

// A table of 256 int16 entries in eight vectors.
struct Table {
    __m512i part[8];
    explicit Table(const std::int16_t* t) {
        for (int i = 0; i < 8; ++i) part[i] = _mm512_loadu_si512(t + kLanes * i);
    }
    // The entries of 32 codes (0..255 in 16-bit lanes).
    __m512i operator()(__m512i codes) const {
        const __m512i a = _mm512_permutex2var_epi16(part[0], codes, part[1]);
        const __m512i b = _mm512_permutex2var_epi16(part[2], codes, part[3]);
        const __m512i c = _mm512_permutex2var_epi16(part[4], codes, part[5]);
        const __m512i d = _mm512_permutex2var_epi16(part[6], codes, part[7]);
        const __mmask32 bit6 = _mm512_test_epi16_mask(codes, _mm512_set1_epi16(64));
        const __mmask32 bit7 = _mm512_test_epi16_mask(codes, _mm512_set1_epi16(128));
        return _mm512_mask_blend_epi16(bit7, _mm512_mask_blend_epi16(bit6, a, b),
                                       _mm512_mask_blend_epi16(bit6, c, d));
    }
};

__mmask32 first(std::size_t n) { return n >= kLanes ? ~__mmask32{0} : (__mmask32{1} << n) - 1; }

// 32 codes (fewer at a row's end: zeros after the n-th) widened to 16-bit lanes.
__m512i codes32(const std::uint8_t* p, std::size_t n) {
    return _mm512_cvtepu8_epi16(_mm256_maskz_loadu_epi8(first(n), p));
}

// The 96 words of n <= 32 pixels stored from `out` on.
void store_group(YcPixel* out, const __m512i v[3], std::size_t n) {
    auto* o = reinterpret_cast<std::int16_t*>(out);
    if (n == kLanes) {
        for (std::size_t k = 0; k < 3; ++k) _mm512_storeu_si512(o + kLanes * k, v[k]);
        return;
    }
    const std::size_t words = 3 * n;
    for (std::size_t k = 0; k < 3 && kLanes * k < words; ++k)
        _mm512_mask_storeu_epi16(o + kLanes * k, first(words - kLanes * k), v[k]);
}

void to_host(const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr, std::size_t w,
             int shift_x, bool mono, const std::int16_t* luma_table,
             const std::int16_t* chroma_table, YcPixel* out) {
    const Table luma(luma_table), chroma(chroma_table);
    // Chroma over two pixels: one vector holds the group's 16 cb then its 16 cr.
    static constexpr auto kPairs =
        interleaving([](int p, int channel) { return kLanes + 16 * (channel - 1) + p / 2; });
    // Chroma per pixel: y and cb by one permute, cr merged into its lanes.
    static constexpr auto kYCb = interleaving([](int p, int) { return kLanes + p; });
    static constexpr auto kCr = interleaving([](int p, int) { return p; });
    static constexpr auto kCrLanes = channel_lanes(2);
    static constexpr auto kLumaLanes = channel_lanes(0);
    for (std::size_t x = 0; x < w; x += kLanes) {
        const std::size_t n = w - x < kLanes ? w - x : kLanes;
        const __m512i yv = luma(codes32(y + x, n));
        __m512i v[3];
        if (mono) {
            for (int k = 0; k < 3; ++k)
                v[k] = _mm512_maskz_permutexvar_epi16(kLumaLanes[k], load(kCr[k]), yv);
        } else if (shift_x) {
            const std::size_t c = x / 2, cn = (n + 1) / 2;
            const __m256i both = _mm256_inserti128_si256(
                _mm256_castsi128_si256(
                    _mm_maskz_loadu_epi8(static_cast<__mmask16>(first(cn)), cb + c)),
                _mm_maskz_loadu_epi8(static_cast<__mmask16>(first(cn)), cr + c), 1);
            const __m512i cv = chroma(_mm512_cvtepu8_epi16(both));
            for (int k = 0; k < 3; ++k) v[k] = _mm512_permutex2var_epi16(yv, load(kPairs[k]), cv);
        } else {
            const __m512i bv = chroma(codes32(cb + x, n)), rv = chroma(codes32(cr + x, n));
            for (int k = 0; k < 3; ++k)
                v[k] =
                    _mm512_mask_permutexvar_epi16(_mm512_permutex2var_epi16(yv, load(kYCb[k]), bv),
                                                  kCrLanes[k], load(kCr[k]), rv);
        }
        store_group(out + x, v, n);
    }
}

// The 96 words of n <= 32 pixels from `in` on (zeros after them), and one channel of them.
struct Group {
    __m512i v[3];
    Group(const YcPixel* in, std::size_t n) {
        const auto* p = reinterpret_cast<const std::int16_t*>(in);
        if (n == kLanes) {
            for (std::size_t k = 0; k < 3; ++k) v[k] = _mm512_loadu_si512(p + kLanes * k);
            return;
        }
        const std::size_t words = 3 * n;
        for (std::size_t k = 0; k < 3; ++k)
            v[k] = kLanes * k < words
                       ? _mm512_maskz_loadu_epi16(first(words - kLanes * k), p + kLanes * k)
                       : _mm512_setzero_si512();
    }
    template <int kChannel>
    __m512i channel() const {
        static constexpr Index kFirstTwo = gathering(kChannel, false);
        static constexpr Index kThird = gathering(kChannel, true);
        return _mm512_mask_permutexvar_epi16(_mm512_permutex2var_epi16(v[0], load(kFirstTwo), v[1]),
                                             third_lanes(kChannel), load(kThird), v[2]);
    }
};

// Codes of 16 host values (32-bit lanes) as 16 bytes.
struct Coder {
    __m512i span, half, black;
    __m128i shift;
    Coder(std::int32_t s, std::int32_t k, std::int32_t b)
        : span(_mm512_set1_epi32(s)),
          half(_mm512_set1_epi32(1 << (k - 1))),
          black(_mm512_set1_epi32(b)),
          shift(_mm_cvtsi32_si128(k)) {}
    __m128i operator()(__m512i h) const {
        const __m512i n = _mm512_mullo_epi32(h, span);
        const __m512i v = _mm512_add_epi32(
            _mm512_sra_epi32(_mm512_add_epi32(_mm512_add_epi32(n, half), _mm512_srai_epi32(n, 31)),
                             shift),
            black);
        return _mm512_cvtusepi32_epi8(_mm512_max_epi32(v, _mm512_setzero_si512()));
    }
};

void store16(std::uint8_t* out, __m128i bytes, std::size_t n) {
    if (n >= 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    else
        _mm_mask_storeu_epi8(out, static_cast<__mmask16>(first(n)), bytes);
}

void luma_from_host(const YcPixel* in, std::size_t n, const Ycbcr8Codes& codes, std::uint8_t* out) {
    const Coder code(codes.luma_span, codes.luma_shift, codes.luma_black);
    for (std::size_t i = 0; i < n; i += kLanes) {
        const std::size_t m = n - i < kLanes ? n - i : kLanes;
        const __m512i y = Group(in + i, m).channel<0>();
        store16(out + i, code(_mm512_cvtepi16_epi32(_mm512_castsi512_si256(y))), m);
        if (m > 16)
            store16(out + i + 16, code(_mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(y, 1))),
                    m - 16);
    }
}

void chroma_from_host(const YcPixel* top, const YcPixel* bottom, std::size_t count, int shift_x,
                      const Ycbcr8Codes& codes, std::uint8_t* cb, std::uint8_t* cr) {
    const Coder code(codes.chroma_span, codes.chroma_shift, codes.chroma_black);
    const int shift = shift_x + (bottom ? 1 : 0);
    const __m512i half = _mm512_set1_epi32(shift ? 1 << (shift - 1) : 0);
    const __m128i by = _mm_cvtsi32_si128(shift);
    // round(sum / 2^shift), halves away from zero.
    const auto mean = [&](__m512i sum) {
        if (shift == 0) return sum;
        return _mm512_sra_epi32(
            _mm512_add_epi32(_mm512_add_epi32(sum, half), _mm512_srai_epi32(sum, 31)), by);
    };
    const __m512i ones = _mm512_set1_epi16(1);
    if (shift_x) {
        // 16 samples over 32 pixels: the pairs summed into 32-bit lanes.
        for (std::size_t i = 0; i < count; i += 16) {
            const std::size_t m = count - i < 16 ? count - i : 16;
            const Group t(top + 2 * i, 2 * m);
            __m512i b = _mm512_madd_epi16(t.channel<1>(), ones);
            __m512i r = _mm512_madd_epi16(t.channel<2>(), ones);
            if (bottom) {
                const Group u(bottom + 2 * i, 2 * m);
                b = _mm512_add_epi32(b, _mm512_madd_epi16(u.channel<1>(), ones));
                r = _mm512_add_epi32(r, _mm512_madd_epi16(u.channel<2>(), ones));
            }
            store16(cb + i, code(mean(b)), m);
            store16(cr + i, code(mean(r)), m);
        }
        return;
    }
    for (std::size_t i = 0; i < count; i += 16) {
        const std::size_t m = count - i < 16 ? count - i : 16;
        const auto widened = [](__m512i v) {
            return _mm512_cvtepi16_epi32(_mm512_castsi512_si256(v));
        };
        const Group t(top + i, m);
        __m512i b = widened(t.channel<1>()), r = widened(t.channel<2>());
        if (bottom) {
            const Group u(bottom + i, m);
            b = _mm512_add_epi32(b, widened(u.channel<1>()));
            r = _mm512_add_epi32(r, widened(u.channel<2>()));
        }
        store16(cb + i, code(mean(b)), m);
        store16(cr + i, code(mean(r)), m);
    }
}

}  // namespace

const Ycbcr8Rows kYcbcr8RowsAvx512 = {&to_host, &luma_from_host, &chroma_from_host};

}  // namespace korvane
