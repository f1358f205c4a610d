// The body of every x86 tier, written once over a vector of int32 lanes.
//
// Each tier's file (sse41.cpp, avx2.cpp, avx512.cpp) is compiled with its own instruction-set
// flags, defines in an anonymous namespace the vector type V with kLanes int32 lanes and the
// handful of operations below, and then includes this file, which also lands in that anonymous
// namespace. So every tier gets its own copy of these kernels, built for its instruction set,
// and no function here is visible outside its file: a copy built for AVX-512 can never be the
// one the linker picks for another file. For the same reason this file calls no inline function
// of another header (no <algorithm>, no blend_sample): only intrinsics and its own code.
//
// Operations each tier provides (all on int32 lanes unless marked 16):
//   load, store                unaligned, from and to any address
//   set1, add, sub, mul        mul keeps the low 32 bits of the product
//   shl<N>, sar<N>, srl        srl shifts logically by a count held in an __m128i
//   or_, vmin, vmax, abs_
//   all_zero(v)                every lane 0
//   select_zero(t, a, b)       per lane: t == 0 ? a : b
//   select_inside(v, th, nth, a, b)   per lane: nth < v < th ? a : b (signed)
//   zero_inside(v, th, nth)    per lane: nth < v < th ? 0 : v (signed; needs no zero vector)
//   copy_sign(r, v)            per lane: v < 0 ? -r : r   (r where v > 0, anything where v == 0)
//   add16, sar16<N>            on 16-bit lanes
//
// Layout: a group holds kGroupBlocks blocks (kernels.h); a vector load at element e, lane s
// fetches element e of blocks s .. s + kLanes - 1. Both passes of both transforms are then the
// scalar 8-point kernels applied lane-wise to eight such vectors: a row pass takes elements
// 8r .. 8r + 7, a column pass elements c, c + 8, ..., c + 56. Every add, subtract, multiply
// and left shift of the scalar code is carried out modulo 2^32 there and here alike (the vector
// instructions wrap), and every right shift is arithmetic in both, so each lane reproduces the
// scalar value bit for bit on any input, including inputs where 32-bit intermediates wrap.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "engine/group_kernels.h"
#include "engine/kernels.h"

namespace korvane {
namespace {

// ---------------------------------------------------------------------------------------------
// Integer DCT pair (Loeffler-Ligtenberg-Moschytz, 12 multiplications per 8-point transform,
// 13-bit constants truncated toward zero); see engine/dct.cpp for the bit budget of each pass.

constexpr std::int32_t FIX_0_298631336 = 2446;   // sqrt2 * (-c1 + c3 + c5 - c7)
constexpr std::int32_t FIX_0_390180644 = 3196;   // sqrt2 * (c3 - c5), applied negated
constexpr std::int32_t FIX_0_541196100 = 4433;   // sqrt2 * c6
constexpr std::int32_t FIX_0_765366865 = 6269;   // sqrt2 * (c2 - c6)
constexpr std::int32_t FIX_0_899976223 = 7372;   // sqrt2 * (c3 - c7), applied negated
constexpr std::int32_t FIX_1_175875602 = 9632;   // sqrt2 * c3
constexpr std::int32_t FIX_1_501321110 = 12298;  // sqrt2 * (c1 + c3 - c5 - c7)
constexpr std::int32_t FIX_1_847759065 = 15136;  // sqrt2 * (c2 + c6)
constexpr std::int32_t FIX_1_961570560 = 16069;  // sqrt2 * (c3 + c5), applied negated
constexpr std::int32_t FIX_2_053119869 = 16819;  // sqrt2 * (c1 + c3 - c5 + c7)
constexpr std::int32_t FIX_2_562915447 = 20995;  // sqrt2 * (c1 + c3), applied negated
constexpr std::int32_t FIX_3_072711026 = 25171;  // sqrt2 * (c1 + c3 + c5 - c7)

struct Odd {
    V o1, o3, o5, o7;
};

// Rotations of the four odd inputs (forward: d0..d3; inverse: c1, c3, c5, c7).
inline Odd odd_part(V a0, V a1, V a2, V a3) {
    const V p = mul(add(add(a0, a1), add(a2, a3)), set1(FIX_1_175875602));
    const V q1 = mul(add(a3, a0), set1(-FIX_0_899976223));
    const V q2 = mul(add(a2, a1), set1(-FIX_2_562915447));
    const V q3 = add(mul(add(a3, a1), set1(-FIX_1_961570560)), p);
    const V q4 = add(mul(add(a2, a0), set1(-FIX_0_390180644)), p);
    return {add(add(mul(a0, set1(FIX_1_501321110)), q1), q4),
            add(add(mul(a1, set1(FIX_3_072711026)), q2), q3),
            add(add(mul(a2, set1(FIX_2_053119869)), q2), q4),
            add(add(mul(a3, set1(FIX_0_298631336)), q1), q3)};
}

// Forward 8-point kernel in place: x0..x7 -> X0..X7.
inline void fdct_kernel(V (&x)[8]) {
    const V s0 = add(x[0], x[7]), s1 = add(x[1], x[6]), s2 = add(x[2], x[5]), s3 = add(x[3], x[4]);
    const V d0 = sub(x[0], x[7]), d1 = sub(x[1], x[6]), d2 = sub(x[2], x[5]), d3 = sub(x[3], x[4]);
    const V e0 = add(s0, s3), e3 = sub(s0, s3), e1 = add(s1, s2), e2 = sub(s1, s2);
    const V m = mul(add(e2, e3), set1(FIX_0_541196100));
    const Odd o = odd_part(d0, d1, d2, d3);
    x[0] = add(e0, e1);
    x[1] = o.o1;
    x[2] = add(m, mul(e3, set1(FIX_0_765366865)));
    x[3] = o.o3;
    x[4] = sub(e0, e1);
    x[5] = o.o5;
    x[6] = sub(m, mul(e2, set1(FIX_1_847759065)));
    x[7] = o.o7;
}

// Inverse 8-point kernel in place: c0..c7 -> y0..y7.
inline void idct_kernel(V (&c)[8]) {
    const V m = mul(add(c[2], c[6]), set1(FIX_0_541196100));
    const V g2 = sub(m, mul(c[6], set1(FIX_1_847759065)));
    const V g3 = add(m, mul(c[2], set1(FIX_0_765366865)));
    const V g0 = shl<13>(add(c[0], c[4]));
    const V g1 = shl<13>(sub(c[0], c[4]));
    const V h0 = add(g0, g3), h3 = sub(g0, g3), h1 = add(g1, g2), h2 = sub(g1, g2);
    const Odd o = odd_part(c[1], c[3], c[5], c[7]);
    c[0] = add(h0, o.o1);
    c[7] = sub(h0, o.o1);
    c[1] = add(h1, o.o3);
    c[6] = sub(h1, o.o3);
    c[2] = add(h2, o.o5);
    c[5] = sub(h2, o.o5);
    c[3] = add(h3, o.o7);
    c[4] = sub(h3, o.o7);
}

inline V clamp_sample(V v) { return vmin(vmax(v, set1(-256)), set1(255)); }

// Element e of the lanes starting at `base` (base points at lane s of element 0).
inline V at(const std::int32_t* base, int e) { return load(base + e * kGroupBlocks); }
inline void put(std::int32_t* base, int e, V v) { store(base + e * kGroupBlocks, v); }

#if !defined(KORVANE_NARROW_KERNELS)
// The forward transform of a group with `shape` applied to every coefficient but the DC as
// the column pass stores it (the same values as shaping the stored group afterwards).
template <typename Shape>
void fdct_group_shaped(std::int32_t* group, Shape shape) {
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        std::int32_t* base = group + s;
        // Rows: even outputs << 4, rotated outputs >> 9 without addend.
        for (int r = 0; r < 8; ++r) {
            V x[8];
            for (int i = 0; i < 8; ++i) x[i] = at(base, 8 * r + i);
            fdct_kernel(x);
            for (int i = 0; i < 8; ++i)
                put(base, 8 * r + i, (i == 0 || i == 4) ? shl<4>(x[i]) : sar<9>(x[i]));
        }
        // Columns: even outputs (+ 2^6) >> 7, rotated outputs (+ 2^19) >> 20.
        for (int c = 0; c < 8; ++c) {
            V x[8];
            for (int i = 0; i < 8; ++i) x[i] = at(base, 8 * i + c);
            fdct_kernel(x);
            for (int i = 0; i < 8; ++i) {
                const V v = (i == 0 || i == 4) ? sar<7>(add(x[i], set1(64)))
                                               : sar<20>(add(x[i], set1(0x80000)));
                put(base, 8 * i + c, (i == 0 && c == 0) ? v : shape(v));
            }
        }
    }
}

void fdct_group(std::int32_t* group) {
    fdct_group_shaped(group, [](V v) { return v; });
}

// The scalar inverse skips the kernel for every row (and column) whose seven AC inputs are 0.
// While nothing wraps that shortcut equals the kernel's value; where the kernel wraps (column
// inputs beyond about +-262000) only the shortcut's value is right. Lanes whose AC inputs are all
// 0 therefore always take the shortcut's value, and a vector of such lanes skips the kernel.
void idct_group(std::int32_t* group) {
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        std::int32_t* base = group + s;
        // Rows, in place (a row's outputs depend on that row alone): >> 9 without addend.
        for (int r = 0; r < 8; ++r) {
            V c[8];
            for (int i = 0; i < 8; ++i) c[i] = at(base, 8 * r + i);
            const V ac = or_(or_(or_(c[1], c[2]), or_(c[3], c[4])), or_(or_(c[5], c[6]), c[7]));
            const V dc = shl<4>(c[0]);
            if (all_zero(ac)) {
                for (int i = 0; i < 8; ++i) put(base, 8 * r + i, dc);
                continue;
            }
            idct_kernel(c);
            for (int i = 0; i < 8; ++i) put(base, 8 * r + i, select_zero(ac, dc, sar<9>(c[i])));
        }
        // Columns: (+ 2^19) >> 20, shortcut (+ 2^6) >> 7, both clamped to -256..255.
        for (int col = 0; col < 8; ++col) {
            V c[8];
            for (int i = 0; i < 8; ++i) c[i] = at(base, 8 * i + col);
            const V ac = or_(or_(or_(c[1], c[2]), or_(c[3], c[4])), or_(or_(c[5], c[6]), c[7]));
            const V flat = clamp_sample(sar<7>(add(c[0], set1(64))));
            if (all_zero(ac)) {
                for (int i = 0; i < 8; ++i) put(base, 8 * i + col, flat);
                continue;
            }
            idct_kernel(c);
            for (int i = 0; i < 8; ++i)
                put(base, 8 * i + col,
                    select_zero(ac, flat, clamp_sample(sar<20>(add(c[i], set1(0x80000))))));
        }
    }
}
#endif  // !KORVANE_NARROW_KERNELS

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

// Chroma: v with -threshold < v < threshold becomes 0.
struct ShapeChroma {
    V th, nth;
    explicit ShapeChroma(const ShapeParams& p) : th(set1(p.threshold)), nth(set1(-p.threshold)) {}
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

#if defined(KORVANE_NARROW_KERNELS)
// ---------------------------------------------------------------------------------------------
// The transforms for 8 vector registers (KORVANE_NARROW_KERNELS, the default of 32-bit builds).
//
// In 32-bit mode x86 has 8 vector registers (xmm/ymm/zmm0-7) where x86-64 has 16 or 32, and 8
// general registers instead of 16. The transforms above load a whole line of eight vectors and
// run the kernel on it, which holds about a dozen vectors at its peak; in 32-bit mode the
// compiler then spills and reloads wherever it runs out, several times per line, and the 32-bit
// plug-in ran well behind the same code built for x86-64. Here a line goes through in three
// steps that need at most 8 registers, and the values that wait are parked in the line's own
// slots of the group on purpose:
//   forward: the pairs (x_i, x_7-i) give their sums and differences, two of the differences
//            parked in the odd slots that their pairs free; the even outputs from the sums; the
//            odd outputs from the differences.
//   inverse: the even half h0..h3 parked in the even slots; the odd part, each of its outputs
//            combined with its h as soon as it is done.
// The operations are the kernels' own modulo 2^32 (only the order of the odd outputs differs),
// so every lane's bits are the same as above and as the scalar code's.
//
// With 16 or 32 registers the parking only costs stores, so x86-64 builds keep the forms above
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
// is complete: never more than seven vectors live.
template <typename Emit>
inline void odd_part_narrow(const Consts& k, V a0, V a1, V a2, V a3, Emit emit) {
    const V p = mul(add(add(a0, a1), add(a2, a3)), k.fix_1_175875602);
    const V q3 = add(mul(add(a3, a1), k.neg_1_961570560), p);
    const V q4 = add(mul(add(a2, a0), k.neg_0_390180644), p);
    const V q1 = mul(add(a3, a0), k.neg_0_899976223);
    emit(1, add(add(mul(a0, k.fix_1_501321110), q1), q4));
    emit(7, add(add(mul(a3, k.fix_0_298631336), q1), q3));
    const V q2 = mul(add(a2, a1), k.neg_2_562915447);
    emit(3, add(add(mul(a1, k.fix_3_072711026), q2), q3));
    emit(5, add(add(mul(a2, k.fix_2_053119869), q2), q4));
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

// The shortcut of lanes whose AC inputs are all 0 (idct_group above) needs no selection where no
// lane's DC makes the kernel wrap: such a lane's kernel outputs are all c0 << 13, which the
// passes' shifts turn into exactly the shortcut's value, c0 << 4 in the rows (|c0| < 2^18) and
// (c0 + 2^6) >> 7 in the columns (|c0| < 2^17, so that the addend does not wrap either). Only a
// line with a DC beyond that carries the selection through the kernel.
void idct_group(std::int32_t* group) {
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
#endif  // KORVANE_NARROW_KERNELS

// ---------------------------------------------------------------------------------------------
// Gather and scatter between interleaved YcPixel rows and groups.
//
// One row of a block is 8 pixels = 24 int16 = three 16-byte parts; part p holds samples 8p ..
// 8p + 7 of the row in the order y0 cb0 cr0 y1 cb1 cr1 y2 ... Take part p of the same row of 8
// neighbouring blocks as the eight rows of an 8x8 int16 matrix: its transpose has in row i the
// sample 8p + i (pixel (8p + i) / 3, channel (8p + i) % 3) of all 8 blocks, which is exactly a
// group vector of 8 lanes. Three transposes per block row de-interleave and transpose at once;
// the scatter runs the same transposes backwards.

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store128(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

inline void transpose8x8_16(__m128i (&m)[8]) {
    const __m128i t0 = _mm_unpacklo_epi16(m[0], m[1]), t1 = _mm_unpackhi_epi16(m[0], m[1]);
    const __m128i t2 = _mm_unpacklo_epi16(m[2], m[3]), t3 = _mm_unpackhi_epi16(m[2], m[3]);
    const __m128i t4 = _mm_unpacklo_epi16(m[4], m[5]), t5 = _mm_unpackhi_epi16(m[4], m[5]);
    const __m128i t6 = _mm_unpacklo_epi16(m[6], m[7]), t7 = _mm_unpackhi_epi16(m[6], m[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    m[0] = _mm_unpacklo_epi64(u0, u4);
    m[1] = _mm_unpackhi_epi64(u0, u4);
    m[2] = _mm_unpacklo_epi64(u1, u5);
    m[3] = _mm_unpackhi_epi64(u1, u5);
    m[4] = _mm_unpacklo_epi64(u2, u6);
    m[5] = _mm_unpackhi_epi64(u2, u6);
    m[6] = _mm_unpacklo_epi64(u3, u7);
    m[7] = _mm_unpackhi_epi64(u3, u7);
}

// Group offset of row sample j (0..23) of block row r: channel j % 3, element 8r + j / 3.
inline int sample_offset(int r, int j) {
    return (j % 3) * kGroupElements + (8 * r + j / 3) * kGroupBlocks;
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
template <bool kHigh, int kP>
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
        std::int32_t* o = out + sample_offset(0, 8 * kP + (kHigh ? 4 : 0) + j);
        store256(o, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(m)));
        store256(o + 8 * kGroupBlocks, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(m, 1)));
    });
}

void gather_group(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
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
                gather_part_half<false, 0>(row, row_bytes, o);
                gather_part_half<true, 0>(row, row_bytes, o);
                gather_part_half<false, 1>(row + 16, row_bytes, o);
                gather_part_half<true, 1>(row + 16, row_bytes, o);
                gather_part_half<false, 2>(row + 32, row_bytes, o);
                gather_part_half<true, 2>(row + 32, row_bytes, o);
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
                    std::int32_t* o = out + sample_offset(r, 8 * p + i);
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
template <bool kStore, int kP>
inline void scatter_part(const std::int32_t* in, char* part, std::ptrdiff_t row_bytes) {
    const auto input = [&](int i) {
        const std::int32_t* s = in + sample_offset(0, 8 * kP + i);
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
template <bool kStore>
void scatter_group(const std::int32_t* groups, YcPixel* dst, std::ptrdiff_t stride,
                   std::int32_t blocks) {
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
                scatter_part<kStore, 0>(i, row, row_bytes);
                scatter_part<kStore, 1>(i, row + 16, row_bytes);
                scatter_part<kStore, 2>(i, row + 32, row_bytes);
            }
            continue;
        }
        for (int r = 0; r < 8; r += 2) {
            char* row = reinterpret_cast<char*>(dst + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m256i m[8];
                for (int i = 0; i < 8; ++i) {
                    const std::int32_t* s = in + sample_offset(r, 8 * p + i);
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
#else
void gather_group(const YcPixel* src, std::ptrdiff_t stride, std::int32_t blocks,
                  std::int32_t* groups) {
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        const int n = left < 0 ? 0 : (left > 8 ? 8 : static_cast<int>(left));
        std::int32_t* out = groups + 8 * half;
        for (int r = 0; r < 8; ++r) {
            const char* row =
                reinterpret_cast<const char*>(src + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m128i m[8];
                for (int k = 0; k < 8; ++k)
                    m[k] =
                        k < n ? load128(row + k * 8 * kPixelBytes + 16 * p) : _mm_setzero_si128();
                transpose8x8_16(m);
                for (int i = 0; i < 8; ++i) {
                    std::int32_t* o = out + sample_offset(r, 8 * p + i);
                    store128(o, _mm_cvtepi16_epi32(m[i]));
                    store128(o + 4, _mm_cvtepi16_epi32(_mm_srli_si128(m[i], 8)));
                }
            }
        }
    }
}

// packs_epi32 saturates; elements in -32768..32767 (all the inverse transform yields) pass
// unchanged, so the saturated value is the low 16 bits that the scalar scatter adds.
template <bool kStore>
void scatter_group(const std::int32_t* groups, YcPixel* dst, std::ptrdiff_t stride,
                   std::int32_t blocks) {
    for (int half = 0; half < kGroupBlocks / 8; ++half) {
        const std::int32_t left = blocks - 8 * half;
        if (left <= 0) break;
        const int n = left > 8 ? 8 : static_cast<int>(left);
        const std::int32_t* in = groups + 8 * half;
        for (int r = 0; r < 8; ++r) {
            char* row = reinterpret_cast<char*>(dst + r * stride) + 8 * half * 8 * kPixelBytes;
            for (int p = 0; p < 3; ++p) {
                __m128i m[8];
                for (int i = 0; i < 8; ++i) {
                    const std::int32_t* s = in + sample_offset(r, 8 * p + i);
                    m[i] = _mm_packs_epi32(load128(s), load128(s + 4));
                }
                transpose8x8_16(m);
                for (int k = 0; k < n; ++k) {
                    char* d = row + k * 8 * kPixelBytes + 16 * p;
                    store128(d, kStore ? m[k] : _mm_add_epi16(load128(d), m[k]));
                }
            }
        }
    }
}

#endif

void block_row(const YcPixel* src, std::ptrdiff_t src_stride, YcPixel* dst,
               std::ptrdiff_t dst_stride, std::int32_t blocks, const ShapeParams& params,
               bool store) {
    alignas(64) std::int32_t groups[kGroupChannels * kGroupElements];
    const ShapeLuma luma(params);
    const ShapeChroma chroma(params);
    for (std::int32_t b = 0; b < blocks; b += kGroupBlocks) {
        const std::int32_t n = blocks - b < kGroupBlocks ? blocks - b : kGroupBlocks;
        gather_group(src + 8 * b, src_stride, n, groups);
        fdct_group_shaped(groups, luma);
        fdct_group_shaped(groups + kGroupElements, chroma);
        fdct_group_shaped(groups + 2 * kGroupElements, chroma);
        for (int ch = 0; ch < kGroupChannels; ++ch) idct_group(groups + ch * kGroupElements);
        if (store)
            scatter_group<true>(groups, dst + 8 * b, dst_stride, n);
        else
            scatter_group<false>(groups, dst + 8 * b, dst_stride, n);
    }
}

// ---------------------------------------------------------------------------------------------
// Row kernels of the frame pass and the border completion, on the samples as one int16 stream.

inline std::int16_t load_sample(const char* p) {
    std::int16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_sample(char* p, std::int16_t v) { std::memcpy(p, &v, sizeof v); }

void add_pixels_row(YcPixel* dst, const YcPixel* src, std::int32_t count) {
    char* d = reinterpret_cast<char*>(dst);
    const char* s = reinterpret_cast<const char*>(src);
    const std::ptrdiff_t bytes = count * kPixelBytes;
    std::ptrdiff_t i = 0;
    for (; i + static_cast<std::ptrdiff_t>(sizeof(V)) <= bytes; i += sizeof(V))
        store(d + i, add16(load(d + i), load(s + i)));
    for (; i < bytes; i += 2)
        store_sample(d + i, static_cast<std::int16_t>(static_cast<std::uint16_t>(
                                load_sample(d + i) + load_sample(s + i))));
}

void prescale_row(YcPixel* row, std::int32_t count) {
    char* d = reinterpret_cast<char*>(row);
    const std::ptrdiff_t bytes = count * kPixelBytes;
    std::ptrdiff_t i = 0;
    for (; i + static_cast<std::ptrdiff_t>(sizeof(V)) <= bytes; i += sizeof(V))
        store(d + i, sar16<4>(load(d + i)));
    for (; i < bytes; i += 2)
        store_sample(d + i, static_cast<std::int16_t>(load_sample(d + i) >> 4));
}

// Four blended samples: n = (zero_weight * s + S) * 16 exactly (|n| < 2^30, make_blend_params),
// then n / divisor truncated toward zero as sign(n) * ((|n| * magic) >> shift). The 64-bit
// products come from pmuludq on the even lanes and on the odd lanes moved down.
inline __m128i blend4(__m128i s, __m128i sum, __m128i zw, __m128i magic, __m128i shift) {
    const __m128i n = _mm_slli_epi32(_mm_add_epi32(_mm_mullo_epi32(zw, s), sum), 4);
    const __m128i a = _mm_abs_epi32(n);
    const __m128i even = _mm_srl_epi64(_mm_mul_epu32(a, magic), shift);
    const __m128i odd = _mm_srl_epi64(_mm_mul_epu32(_mm_srli_epi64(a, 32), magic), shift);
    const __m128i q = _mm_blend_epi16(even, _mm_slli_epi64(odd, 32), 0xCC);
    return _mm_sign_epi32(q, n);
}

#if defined(__AVX2__)
// blend4 on eight lanes.
inline __m256i blend8(__m256i s, __m256i sum, __m256i zw, __m256i magic, __m128i shift) {
    const __m256i n = _mm256_slli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(zw, s), sum), 4);
    const __m256i a = _mm256_abs_epi32(n);
    const __m256i even = _mm256_srl_epi64(_mm256_mul_epu32(a, magic), shift);
    const __m256i odd = _mm256_srl_epi64(_mm256_mul_epu32(_mm256_srli_epi64(a, 32), magic), shift);
    const __m256i q = _mm256_blend_epi32(even, _mm256_slli_epi64(odd, 32), 0xAA);
    return _mm256_sign_epi32(q, n);
}
#endif

void blend_row(YcPixel* row, const YcPixel* acc, std::ptrdiff_t plane_size, std::int32_t planes,
               std::int32_t count, const BlendParams& params) {
    char* out = reinterpret_cast<char*>(row);
    const char* in = reinterpret_cast<const char*>(acc);
    const std::ptrdiff_t plane_bytes = plane_size * kPixelBytes;
    const std::ptrdiff_t bytes = count * kPixelBytes;
    const __m128i zw = _mm_set1_epi32(params.zero_weight);
    const __m128i magic = _mm_set1_epi32(static_cast<std::int32_t>(params.magic));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(params.shift));
    const __m128i low16 = _mm_set1_epi32(0xFFFF);
    std::ptrdiff_t i = 0;
#if defined(__AVX2__)
    // Sixteen samples per step; packus works within 128-bit halves, so the halves are widened
    // as (samples 0-3, 8-11) and (4-7, 12-15) and come back in order.
    {
        const __m256i zw8 = _mm256_set1_epi32(params.zero_weight);
        const __m256i magic8 = _mm256_set1_epi32(static_cast<std::int32_t>(params.magic));
        const __m256i low16_8 = _mm256_set1_epi32(0xFFFF);
        for (; i + 32 <= bytes; i += 32) {
            __m256i sum = load256(in + i);
            for (std::int32_t t = 1; t < planes; ++t)
                sum = _mm256_add_epi16(sum, load256(in + t * plane_bytes + i));
            const __m256i s = load256(out + i);
            const __m256i lo =
                blend8(_mm256_srai_epi32(_mm256_unpacklo_epi16(s, s), 16),
                       _mm256_srai_epi32(_mm256_unpacklo_epi16(sum, sum), 16), zw8, magic8, shift);
            const __m256i hi =
                blend8(_mm256_srai_epi32(_mm256_unpackhi_epi16(s, s), 16),
                       _mm256_srai_epi32(_mm256_unpackhi_epi16(sum, sum), 16), zw8, magic8, shift);
            store256(out + i, _mm256_packus_epi32(_mm256_and_si256(lo, low16_8),
                                                  _mm256_and_si256(hi, low16_8)));
        }
    }
#endif
    for (; i + 16 <= bytes; i += 16) {
        __m128i sum = load128(in + i);
        for (std::int32_t t = 1; t < planes; ++t)
            sum = _mm_add_epi16(sum, load128(in + t * plane_bytes + i));
        const __m128i s = load128(out + i);
        const __m128i lo = blend4(_mm_cvtepi16_epi32(s), _mm_cvtepi16_epi32(sum), zw, magic, shift);
        const __m128i hi = blend4(_mm_cvtepi16_epi32(_mm_srli_si128(s, 8)),
                                  _mm_cvtepi16_epi32(_mm_srli_si128(sum, 8)), zw, magic, shift);
        // Low 16 bits of each lane: masked to 0..65535, packus keeps them unchanged.
        store128(out + i, _mm_packus_epi32(_mm_and_si128(lo, low16), _mm_and_si128(hi, low16)));
    }
    for (; i < bytes; i += 2) {
        std::uint16_t sum = 0;
        for (std::int32_t t = 0; t < planes; ++t)
            sum = static_cast<std::uint16_t>(sum + load_sample(in + t * plane_bytes + i));
        const std::int32_t n =
            (params.zero_weight * load_sample(out + i) + static_cast<std::int16_t>(sum)) * 16;
        store_sample(out + i,
                     static_cast<std::int16_t>(static_cast<std::uint16_t>(n / params.divisor)));
    }
}

// The tier's kernels written into a table (its file's init function).
inline void write_kernels(Kernels& k, CpuTier tier) {
    k.tier = tier;
    k.block_row = &block_row;
    k.add_pixels = &add_pixels_row;
    k.prescale = &prescale_row;
    k.blend_row = &blend_row;
}

// The tier's steps one by one (its file compiled with KORVANE_GROUP_KERNELS).
constexpr GroupKernels make_group_table(CpuTier tier) {
    return {
        tier,          &fdct_group,          &idct_group, &shape_luma_group, &shape_chroma_group,
        &gather_group, &scatter_group<false>};
}

}  // namespace
}  // namespace korvane
