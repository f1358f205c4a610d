// The forward and inverse transforms of a group for 8 vector registers (32-bit x86, or any build
// with KORVANE_NARROW_KERNELS).
//
// Part of the body of every x86 tier: included by engine/x86/kernels_x86.h into the anonymous
// namespace of a tier's file, after that file has defined the vector type V and its operations
// (the list is in kernels_x86.h).
#pragma once

#include <cstdint>
#include <type_traits>

#include "engine/dct.h"
#include "engine/kernels.h"

namespace korvane {
namespace {

// In 32-bit mode x86 has 8 vector registers (xmm/ymm/zmm0-7) where x86-64 has 16 or 32, and 8
// general registers instead of 16. The wide transforms (transform_wide.h) load a whole line of
// eight vectors and run the kernel on it, which holds about a dozen vectors at its peak; in 32-bit
// mode the compiler then spills and reloads wherever it runs out, several times per line, and the
// 32-bit plug-in ran well behind the same code built for x86-64. Here a line goes through in three
// steps that need at most 8 registers, and the values that wait are parked in the line's own
// slots of the group on purpose:
//   forward: the pairs (x_i, x_7-i) give their sums and differences, two of the differences
//            parked in the odd slots that their pairs free; the even outputs from the sums; the
//            odd outputs from the differences.
//   inverse: the even half h0..h3 parked in the even slots; the odd part, each of its outputs
//            combined with its h as soon as it is done.
// The operations are the kernels' own modulo 2^32 (only the order of the odd outputs differs),
// so every lane's bits are the same as the wide forms' and the scalar code's.
//
// With 16 or 32 registers the parking only costs stores, so x86-64 builds keep the wide forms
// unless KORVANE_NARROW_KERNELS is set. Nothing here can run as 32-bit code on the machines
// that build this, so the narrow forms are checked natively (CI builds them with the option on
// and runs checkasm) and measured natively with the kernel files limited to 8 vector and 8
// general registers (-ffixed-xmm8..31, -ffixed-r8..15: scripts/measure-narrow-kernels).

// Elements 0..7 of a line: a row (kStep 1) or a column (kStep 8) of the lanes at p.
template <int kStep>
struct Line {
    std::int32_t* p;
    V operator[](int i) const { return load(p + i * kStep * kGroupBlocks); }
    void put(int i, V v) const { store(p + i * kStep * kGroupBlocks, v); }
};

// A compiler barrier, no instruction: memory may have changed, so what was stored to the group
// is loaded again when needed. Without it the compiler forwards parked values from the stores to
// the later loads and keeps them in registers all along, which is what parking is to avoid.
inline void reload_after_parking() { __asm__ volatile("" ::: "memory"); }

// The constants of the kernels as vectors whose values the compiler does not see. Seen as
// constants, GCC 12 builds each one again inside the loops when registers run short (an
// immediate moved to a general register and broadcast: three instructions, two of them on the
// shuffle port, per use); opaque, it builds each once per call and keeps what does not fit in a
// stack slot that the multiplies read as a memory operand.
inline V opaque(std::int32_t c) {
    V v = set1(c);
    __asm__("" : "+x"(v));
    return v;
}

struct Consts {
    V fix_0_298631336 = opaque(FIX_0_298631336);
    V neg_0_390180644 = opaque(-FIX_0_390180644);
    V fix_0_541196100 = opaque(FIX_0_541196100);
    V fix_0_765366865 = opaque(FIX_0_765366865);
    V neg_0_899976223 = opaque(-FIX_0_899976223);
    V fix_1_175875602 = opaque(FIX_1_175875602);
    V fix_1_501321110 = opaque(FIX_1_501321110);
    V fix_1_847759065 = opaque(FIX_1_847759065);
    V neg_1_961570560 = opaque(-FIX_1_961570560);
    V fix_2_053119869 = opaque(FIX_2_053119869);
    V neg_2_562915447 = opaque(-FIX_2_562915447);
    V fix_3_072711026 = opaque(FIX_3_072711026);
    V round7 = opaque(64);
    V round20 = opaque(0x80000);
    V lo = opaque(-256);
    V hi = opaque(255);
    V half18 = opaque(1 << 17);
    V half19 = opaque(1 << 18);
};

inline V clamp_sample_k(const Consts& k, V v) { return vmin(vmax(v, k.lo), k.hi); }

// odd_part with its outputs o1, o7, o3, o5 handed to emit(n, o_n) in that order as soon as each
// is complete: never more than seven vectors live. The scalar odd part (engine/dct.cpp) and this
// one side by side, cN = cos(N pi / 16):
//   scalar: p, q1, q2, q3, q4; then o1, o3, o5, o7
//   here:   p, q3, q4, q1; o1, o7; q2; o3, o5
// Every product and sum is the same expression on the same operands (each o_n is still
// (a_i * FIX + q) + q'), only computed in another order, and each is a value modulo 2^32 that
// does not depend on when it is computed: so the outputs are the scalar ones bit for bit.
template <typename Emit>
inline void odd_part_narrow(const Consts& k, V a0, V a1, V a2, V a3, Emit emit) {
    const V p = mul(add(add(a0, a1), add(a2, a3)), k.fix_1_175875602);  // sqrt2 * c3
    const V q3 = add(mul(add(a3, a1), k.neg_1_961570560), p);           // sqrt2 * (-c3 - c5)
    const V q4 = add(mul(add(a2, a0), k.neg_0_390180644), p);           // sqrt2 * (c5 - c3)
    const V q1 = mul(add(a3, a0), k.neg_0_899976223);                   // sqrt2 * (c7 - c3)
    emit(1, add(add(mul(a0, k.fix_1_501321110), q1), q4));  // sqrt2 * (c1 + c3 - c5 - c7)
    emit(7, add(add(mul(a3, k.fix_0_298631336), q1), q3));  // sqrt2 * (-c1 + c3 + c5 - c7)
    const V q2 = mul(add(a2, a1), k.neg_2_562915447);       // sqrt2 * (-c1 - c3)
    emit(3, add(add(mul(a1, k.fix_3_072711026), q2), q3));  // sqrt2 * (c1 + c3 + c5 - c7)
    emit(5, add(add(mul(a2, k.fix_2_053119869), q2), q4));  // sqrt2 * (c1 + c3 - c5 + c7)
}

// fdct_kernel on a line in place; out(i, X_i) stores output i.
template <int kStep, typename Out>
inline void fdct_line(const Consts& k, Line<kStep> x, Out out) {
    V a = x[0], b = x[7];
    const V s0 = add(a, b), d0 = sub(a, b);
    a = x[1];
    b = x[6];
    const V s1 = add(a, b), d1 = sub(a, b);
    a = x[2];
    b = x[5];
    const V s2 = add(a, b);
    x.put(5, sub(a, b));  // d2
    a = x[3];
    b = x[4];
    const V s3 = add(a, b);
    x.put(3, sub(a, b));  // d3
    reload_after_parking();

    const V e0 = add(s0, s3), e3 = sub(s0, s3), e1 = add(s1, s2), e2 = sub(s1, s2);
    out(0, add(e0, e1));
    out(4, sub(e0, e1));
    const V m = mul(add(e2, e3), k.fix_0_541196100);
    out(2, add(m, mul(e3, k.fix_0_765366865)));
    out(6, sub(m, mul(e2, k.fix_1_847759065)));

    odd_part_narrow(k, d0, d1, x[5], x[3], out);
}

// idct_kernel on a line in place, its even inputs c0, c2, c4, c6 already loaded; out(i, y_i)
// stores output i.
template <int kStep, typename Out>
inline void idct_line(const Consts& k, Line<kStep> c, V c0, V c2, V c4, V c6, Out out) {
    {
        const V g0 = shl<13>(add(c0, c4));
        const V g1 = shl<13>(sub(c0, c4));
        const V m = mul(add(c2, c6), k.fix_0_541196100);
        const V g2 = sub(m, mul(c6, k.fix_1_847759065));
        const V g3 = add(m, mul(c2, k.fix_0_765366865));
        c.put(0, add(g0, g3));  // h0
        c.put(4, sub(g0, g3));  // h3
        c.put(6, add(g1, g2));  // h1
        c.put(2, sub(g1, g2));  // h2
    }
    reload_after_parking();
    // o_n pairs with h at slot `from` into outputs j and 7 - j. Every slot is read before it is
    // written: the odd inputs are all loaded first, and each h is read before its pair's
    // outputs land (o1: h0 at 0 -> 0, 7; o7: h3 at 4 -> 3, 4; o3: h1 at 6 -> 1, 6; o5: h2 at 2
    // -> 2, 5).
    odd_part_narrow(k, c[1], c[3], c[5], c[7], [&](int n, V o) {
        const int from = n == 1 ? 0 : (n == 7 ? 4 : (n == 3 ? 6 : 2));
        const int j = n == 1 ? 0 : (n == 7 ? 3 : (n == 3 ? 1 : 2));
        const V h = c[from];
        out(j, add(h, o));
        out(7 - j, sub(h, o));
    });
}

// The forward transform of a group with `shape` applied to every coefficient but the DC as
// the column pass stores it (the same values as shaping the stored group afterwards). Output 1
// of a column comes first in the odd part, while seven vectors are live: it is shaped after the
// line instead, from the group.
struct NoShape {};

template <typename Shape>
void fdct_group_shaped(std::int32_t* group, const Shape& shape) {
    constexpr bool kShapes = !std::is_same_v<Shape, NoShape>;
    const Consts k;
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        // Rows: even outputs << 4, rotated outputs >> 9 without addend.
        for (int r = 0; r < 8; ++r) {
            const Line<1> row{group + s + 8 * r * kGroupBlocks};
            fdct_line(k, row, [row](int i, V v) {
                row.put(i, (i == 0 || i == 4) ? shl<4>(v) : sar<9>(v));
            });
        }
        // Columns: even outputs (+ 2^6) >> 7, rotated outputs (+ 2^19) >> 20.
        for (int c = 0; c < 8; ++c) {
            const Line<8> col{group + s + c * kGroupBlocks};
            fdct_line(k, col, [&](int i, V v) {
                const V r =
                    (i == 0 || i == 4) ? sar<7>(add(v, k.round7)) : sar<20>(add(v, k.round20));
                if constexpr (kShapes) {
                    if (i == 1 || (i == 0 && c == 0)) {
                        col.put(i, r);
                        return;
                    }
                    col.put(i, shape(r));
                } else {
                    col.put(i, r);
                }
            });
            if constexpr (kShapes) col.put(1, shape(col[1]));
        }
    }
}

void fdct_group(std::int32_t* group) { fdct_group_shaped(group, NoShape{}); }

// Every lane of v in -2^(N-1) .. 2^(N-1) - 1 (half = 2^(N-1) in every lane).
template <int N>
inline bool fits(V v, V half) {
    return all_zero(sar<N>(add(v, half)));
}

// The shortcut of lanes whose AC inputs are all 0 (idct_group of transform_wide.h) needs no
// selection where no lane's DC makes the kernel wrap: such a lane's kernel outputs are all c0 <<
// 13, which the passes' shifts turn into exactly the shortcut's value, c0 << 4 in the rows (|c0| <
// 2^18) and (c0 + 2^6) >> 7 in the columns (|c0| < 2^17, so that the addend does not wrap either).
// Only a line with a DC beyond that carries the selection through the kernel.
[[gnu::noinline]] void idct_group(std::int32_t* group) {
    const Consts k;
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        for (int r = 0; r < 8; ++r) {
            const Line<1> row{group + s + 8 * r * kGroupBlocks};
            const V c0 = row[0], c2 = row[2], c4 = row[4], c6 = row[6];
            const V ac = or_(or_(or_(row[1], row[3]), or_(row[5], row[7])), or_(or_(c2, c4), c6));
            if (all_zero(ac)) {
                const V dc = shl<4>(c0);
                for (int i = 0; i < 8; ++i) row.put(i, dc);
            } else if (fits<19>(c0, k.half19)) {
                idct_line(k, row, c0, c2, c4, c6, [row](int i, V v) { row.put(i, sar<9>(v)); });
            } else {
                const V dc = shl<4>(c0);
                idct_line(k, row, c0, c2, c4, c6,
                          [&](int i, V v) { row.put(i, select_zero(ac, dc, sar<9>(v))); });
            }
        }
        for (int c = 0; c < 8; ++c) {
            const Line<8> col{group + s + c * kGroupBlocks};
            const V c0 = col[0], c2 = col[2], c4 = col[4], c6 = col[6];
            const V ac = or_(or_(or_(col[1], col[3]), or_(col[5], col[7])), or_(or_(c2, c4), c6));
            if (all_zero(ac)) {
                const V flat = clamp_sample_k(k, sar<7>(add(c0, k.round7)));
                for (int i = 0; i < 8; ++i) col.put(i, flat);
            } else if (fits<18>(c0, k.half18)) {
                idct_line(k, col, c0, c2, c4, c6, [&k, col](int i, V v) {
                    col.put(i, clamp_sample_k(k, sar<20>(add(v, k.round20))));
                });
            } else {
                const V flat = clamp_sample_k(k, sar<7>(add(c0, k.round7)));
                idct_line(k, col, c0, c2, c4, c6, [&](int i, V v) {
                    col.put(i,
                            select_zero(ac, flat, clamp_sample_k(k, sar<20>(add(v, k.round20)))));
                });
            }
        }
    }
}

}  // namespace
}  // namespace korvane
