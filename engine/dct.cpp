// Accurate integer 8x8 DCT and inverse, the Loeffler-Ligtenberg-Moschytz factorisation with
// twelve multiplications per 8-point transform, in 13-bit fixed point.
//
// Bit budget
//   forward, row pass:    even outputs << 4, rotated outputs (13 fraction bits) >> 9, so every
//                         row result carries 4 fraction bits; no rounding addend.
//   forward, column pass: drops the 4 row bits, 3 bits of the sqrt(8)^2 gain and, for rotated
//                         outputs, the 13 constant bits: even >> 7, rotated >> 20, each with half
//                         the divisor added first.
//   inverse, row pass:    every output carries 2^13, >> 9 keeps 4 fraction bits; no addend.
//   inverse, column pass: >> 20 with addend 2^19, then the table clamp to -256..255.
//
// The constants are c * 2^13 truncated toward zero (not rounded) and the first passes shift
// without an addend: both are part of the exact output.
//
// Arithmetic is carried out on uint32_t so that every add, subtract, multiply and left shift
// wraps modulo 2^32 (two's complement) without undefined behaviour on any input; right shifts
// go through int32_t and are arithmetic. On the nominal input ranges nothing wraps at all.
#include "engine/dct.h"

namespace korvane {
namespace {

using u32 = std::uint32_t;

// The constants of dct.h as the uint32_t factors of wrapping products.
constexpr u32 k(std::int32_t c) { return static_cast<u32>(c); }

constexpr u32 asr(u32 v, int n) { return static_cast<u32>(static_cast<std::int32_t>(v) >> n); }
constexpr u32 shl(u32 v, int n) { return v << n; }

struct Eight {
    u32 v[8];
};

// Shared odd part of both kernels: rotations of the four odd inputs a0..a3 (forward: the
// differences d0..d3; inverse: the coefficients c1, c3, c5, c7). Returns o1, o3, o5, o7.
// Twelve products of a full rotation share terms, so nine multiplies remain (libjpeg's z1..z5).
struct Odd {
    u32 o1, o3, o5, o7;
};
constexpr Odd odd_part(u32 a0, u32 a1, u32 a2, u32 a3) {
    const u32 p = (a0 + a1 + a2 + a3) * k(FIX_1_175875602);    // sqrt2 * c3
    const u32 q1 = (a3 + a0) * (0u - k(FIX_0_899976223));      // sqrt2 * (c7 - c3)
    const u32 q2 = (a2 + a1) * (0u - k(FIX_2_562915447));      // sqrt2 * (-c1 - c3)
    const u32 q3 = (a3 + a1) * (0u - k(FIX_1_961570560)) + p;  // sqrt2 * (-c3 - c5)
    const u32 q4 = (a2 + a0) * (0u - k(FIX_0_390180644)) + p;  // sqrt2 * (c5 - c3)
    return {a0 * k(FIX_1_501321110) + q1 + q4,                 // sqrt2 * (c1 + c3 - c5 - c7)
            a1 * k(FIX_3_072711026) + q2 + q3,                 // sqrt2 * (c1 + c3 + c5 - c7)
            a2 * k(FIX_2_053119869) + q2 + q4,                 // sqrt2 * (c1 + c3 - c5 + c7)
            a3 * k(FIX_0_298631336) + q1 + q3};                // sqrt2 * (-c1 + c3 + c5 - c7)
}

// Forward 8-point kernel: x0..x7 -> X0..X7 (X0, X4 unscaled; the others scaled by 2^13).
constexpr Eight fdct_kernel(const u32 (&x)[8]) {
    const u32 s0 = x[0] + x[7], s1 = x[1] + x[6], s2 = x[2] + x[5], s3 = x[3] + x[4];
    const u32 d0 = x[0] - x[7], d1 = x[1] - x[6], d2 = x[2] - x[5], d3 = x[3] - x[4];

    const u32 e0 = s0 + s3, e3 = s0 - s3, e1 = s1 + s2, e2 = s1 - s2;
    const u32 m = (e2 + e3) * k(FIX_0_541196100);  // sqrt2 * c6

    // Odd inputs d0..d3 take the places of the inverse's c1, c3, c5, c7; o1..o7 are X1..X7.
    const Odd o = odd_part(d0, d1, d2, d3);
    return {{e0 + e1, o.o1,
             m + e3 * k(FIX_0_765366865),  // sqrt2 * (c2 - c6)
             o.o3, e0 - e1, o.o5,
             m - e2 * k(FIX_1_847759065),  // sqrt2 * (c2 + c6)
             o.o7}};
}

// Inverse 8-point kernel: c0..c7 -> y0..y7, every output scaled by 2^13.
constexpr Eight idct_kernel(const u32 (&c)[8]) {
    const u32 m = (c[2] + c[6]) * k(FIX_0_541196100);  // sqrt2 * c6
    const u32 g2 = m - c[6] * k(FIX_1_847759065);      // sqrt2 * (c2 + c6)
    const u32 g3 = m + c[2] * k(FIX_0_765366865);      // sqrt2 * (c2 - c6)
    const u32 g0 = shl(c[0] + c[4], kConstBits);
    const u32 g1 = shl(c[0] - c[4], kConstBits);
    const u32 h0 = g0 + g3, h3 = g0 - g3, h1 = g1 + g2, h2 = g1 - g2;

    const Odd o = odd_part(c[1], c[3], c[5], c[7]);
    return {
        {h0 + o.o1, h1 + o.o3, h2 + o.o5, h3 + o.o7, h3 - o.o7, h2 - o.o5, h1 - o.o3, h0 - o.o1}};
}

}  // namespace

const std::array<std::int32_t, 1024> IdctClampTable = [] {
    std::array<std::int32_t, 1024> t{};
    for (int i = 0; i < 1024; ++i) {
        const int v = i - 512;
        t[static_cast<std::size_t>(i)] = v < -256 ? -256 : (v > 255 ? 255 : v);
    }
    return t;
}();

void fdct_row_pass(std::int32_t* row) {
    // Even outputs keep 4 fraction bits by << 4, rotated ones drop 9 of their 13 bits.
    u32 x[8];
    for (int i = 0; i < 8; ++i) x[i] = static_cast<u32>(row[i]);
    const Eight X = fdct_kernel(x);
    for (int i = 0; i < 8; ++i) {
        const u32 v = (i == 0 || i == 4) ? shl(X.v[i], 4) : asr(X.v[i], 9);
        row[i] = static_cast<std::int32_t>(v);
    }
}

void fdct_column_pass(std::int32_t* block) {
    // Drop the 4 row bits and 3 gain bits (and 13 constant bits), rounding.
    for (int c = 0; c < 8; ++c) {
        u32 x[8];
        for (int i = 0; i < 8; ++i) x[i] = static_cast<u32>(block[8 * i + c]);
        const Eight X = fdct_kernel(x);
        for (int i = 0; i < 8; ++i) {
            const u32 v = (i == 0 || i == 4) ? asr(X.v[i] + 64u, 7) : asr(X.v[i] + 0x80000u, 20);
            block[8 * i + c] = static_cast<std::int32_t>(v);
        }
    }
}

void fdct_8x8(std::int32_t* block) {
    for (int r = 0; r < 8; ++r) fdct_row_pass(block + 8 * r);
    fdct_column_pass(block);
}

void idct_8x8(std::int32_t* block) {
    std::int32_t scratch[64];
    for (int r = 0; r < 8; ++r) {
        const std::int32_t* in = block + 8 * r;
        std::int32_t* out = scratch + 8 * r;
        if ((in[1] | in[2] | in[3] | in[4] | in[5] | in[6] | in[7]) == 0) {
            const auto dc = static_cast<std::int32_t>(shl(static_cast<u32>(in[0]), 4));
            for (int i = 0; i < 8; ++i) out[i] = dc;
            continue;
        }
        u32 c[8];
        for (int i = 0; i < 8; ++i) c[i] = static_cast<u32>(in[i]);
        const Eight y = idct_kernel(c);
        for (int i = 0; i < 8; ++i) out[i] = static_cast<std::int32_t>(asr(y.v[i], 9));
    }
    for (int col = 0; col < 8; ++col) {
        const std::int32_t* in = scratch + col;
        bool ac_zero = true;
        for (int i = 1; i < 8; ++i) ac_zero = ac_zero && in[8 * i] == 0;
        if (ac_zero) {
            // The shortcut's value is the defined one even where the full kernel would wrap.
            const std::int32_t v =
                idct_clamp(static_cast<std::int32_t>(asr(static_cast<u32>(in[0]) + 64u, 7)));
            for (int i = 0; i < 8; ++i) block[8 * i + col] = v;
            continue;
        }
        u32 c[8];
        for (int i = 0; i < 8; ++i) c[i] = static_cast<u32>(in[8 * i]);
        const Eight y = idct_kernel(c);
        for (int i = 0; i < 8; ++i)
            block[8 * i + col] = idct_clamp(static_cast<std::int32_t>(asr(y.v[i] + 0x80000u, 20)));
    }
}

}  // namespace korvane
