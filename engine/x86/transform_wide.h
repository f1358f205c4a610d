// The forward and inverse transforms of a group for 16 or more vector registers (x86-64): the
// scalar 8-point kernels of engine/dct.cpp applied lane-wise to a whole line of eight vectors.
//
// Part of the body of every x86 tier: included by engine/x86/kernels_x86.h into the anonymous
// namespace of a tier's file, after that file has defined the vector type V and its operations
// (the list is in kernels_x86.h).
#pragma once

#include <cstdint>

#include "engine/dct.h"
#include "engine/kernels.h"

namespace korvane {
namespace {

// Integer DCT pair (Loeffler-Ligtenberg-Moschytz, 12 multiplications per 8-point transform,
// the 13-bit constants of engine/dct.h); see engine/dct.cpp for the bit budget of each pass and
// the trigonometric term of every multiply. The operations are the scalar ones in the same
// order, each carried out modulo 2^32 in every lane.

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

// The inverse kernel where c4..c7 are 0 in every lane: the same values, with the terms of the
// zero inputs left out (each of them adds or multiplies a 0).
inline void idct_kernel_low4(V (&c)[8]) {
    const V m = mul(c[2], set1(FIX_0_541196100));
    const V g2 = m;
    const V g3 = add(m, mul(c[2], set1(FIX_0_765366865)));
    const V g0 = shl<13>(c[0]);
    const V h0 = add(g0, g3), h3 = sub(g0, g3), h1 = add(g0, g2), h2 = sub(g0, g2);
    // odd_part(c1, c3, 0, 0)
    const V p = mul(add(c[1], c[3]), set1(FIX_1_175875602));
    const V q1 = mul(c[1], set1(-FIX_0_899976223));
    const V q2 = mul(c[3], set1(-FIX_2_562915447));
    const V q3 = add(mul(c[3], set1(-FIX_1_961570560)), p);
    const V q4 = add(mul(c[1], set1(-FIX_0_390180644)), p);
    const V o1 = add(add(mul(c[1], set1(FIX_1_501321110)), q1), q4);
    const V o3 = add(add(mul(c[3], set1(FIX_3_072711026)), q2), q3);
    const V o5 = add(q2, q4), o7 = add(q1, q3);
    c[0] = add(h0, o1);
    c[7] = sub(h0, o1);
    c[1] = add(h1, o3);
    c[6] = sub(h1, o3);
    c[2] = add(h2, o5);
    c[5] = sub(h2, o5);
    c[3] = add(h3, o7);
    c[4] = sub(h3, o7);
}

// The inverse kernel where c2..c7 are 0 in every lane.
inline void idct_kernel_low2(V (&c)[8]) {
    const V h = shl<13>(c[0]);
    // odd_part(c1, 0, 0, 0)
    const V p = mul(c[1], set1(FIX_1_175875602));
    const V q1 = mul(c[1], set1(-FIX_0_899976223));
    const V q4 = add(mul(c[1], set1(-FIX_0_390180644)), p);
    const V o1 = add(add(mul(c[1], set1(FIX_1_501321110)), q1), q4);
    const V o3 = p, o5 = q4, o7 = add(q1, p);
    c[0] = add(h, o1);
    c[7] = sub(h, o1);
    c[1] = add(h, o3);
    c[6] = sub(h, o3);
    c[2] = add(h, o5);
    c[5] = sub(h, o5);
    c[3] = add(h, o7);
    c[4] = sub(h, o7);
}

inline V clamp_sample(V v) { return vmin(vmax(v, set1(-256)), set1(255)); }

// Element e of the lanes starting at `base` (base points at lane s of element 0).
inline V at(const std::int32_t* base, int e) { return load(base + e * kGroupBlocks); }
inline void put(std::int32_t* base, int e, V v) { store(base + e * kGroupBlocks, v); }

// The forward row pass of row r of the lanes at `base`: even outputs << 4, rotated outputs
// >> 9 without addend.
inline void fdct_row(std::int32_t* base, int r) {
    V x[8];
    for (int i = 0; i < 8; ++i) x[i] = at(base, 8 * r + i);
    fdct_kernel(x);
    for (int i = 0; i < 8; ++i)
        put(base, 8 * r + i, (i == 0 || i == 4) ? shl<4>(x[i]) : sar<9>(x[i]));
}

// The forward column pass of column c from the row-pass output at `in` into `out` (the same
// lanes of another group, or of the same one): even outputs (+ 2^6) >> 7, rotated outputs
// (+ 2^19) >> 20, `shape` applied to every coefficient but the DC as it is stored (the same
// values as shaping the stored group afterwards).
template <typename Shape>
inline void fdct_column(const std::int32_t* in, std::int32_t* out, int c, Shape shape) {
    V x[8];
    for (int i = 0; i < 8; ++i) x[i] = at(in, 8 * i + c);
    fdct_kernel(x);
    for (int i = 0; i < 8; ++i) {
        const V v =
            (i == 0 || i == 4) ? sar<7>(add(x[i], set1(64))) : sar<20>(add(x[i], set1(0x80000)));
        put(out, 8 * i + c, (i == 0 && c == 0) ? v : shape(v));
    }
}

// The forward transform of a group with `shape` applied to every coefficient but the DC.
template <typename Shape>
void fdct_group_shaped(std::int32_t* group, Shape shape) {
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        std::int32_t* base = group + s;
        for (int r = 0; r < 8; ++r) fdct_row(base, r);
        for (int c = 0; c < 8; ++c) fdct_column(base, base, c, shape);
    }
}

// The row pass of rows 0 .. rows-1 of one channel of a row stack, in place.
inline void fdct_stack_rows(std::int32_t* stack, int rows) {
    for (int s = 0; s < kGroupBlocks; s += kLanes)
        for (int r = 0; r < rows; ++r) fdct_row(stack + s, r);
}

// Whether the shaping surely clears every coefficient but the DC of the blocks in the lanes at
// `rows` (8 rows of row-pass output), read off those rows by ShapeParams' clear limit `limit`
// (>= 0): outputs 1..7 of every row within +-limit, outputs 0 spread by at most 2 * limit.
// The spread is hi - lo >= 0 as an unsigned number, so a lane whose spread does not fit int32
// reads as negative and fails. Column 0 and 1, where a block's energy mostly lies, are checked
// first, so that a block that fails usually fails after a quarter of the work.
inline bool ac_cleared(const std::int32_t* rows, std::int32_t limit) {
    const V above = set1(limit + 1), below = set1(-limit - 1);
    V hi0 = at(rows, 0), lo0 = hi0, hi = at(rows, 1), lo = hi;
    for (int r = 1; r < 8; ++r) {
        hi0 = vmax(hi0, at(rows, 8 * r));
        lo0 = vmin(lo0, at(rows, 8 * r));
        hi = vmax(hi, at(rows, 8 * r + 1));
        lo = vmin(lo, at(rows, 8 * r + 1));
    }
    const V spread = zero_inside(sub(hi0, lo0), set1(2 * limit + 1), set1(-1));
    if (!all_zero(or_(spread, or_(zero_inside(hi, above, below), zero_inside(lo, above, below)))))
        return false;
    for (int r = 0; r < 8; ++r)
        for (int c = 2; c < 8; ++c) {
            hi = vmax(hi, at(rows, 8 * r + c));
            lo = vmin(lo, at(rows, 8 * r + c));
        }
    return all_zero(or_(zero_inside(hi, above, below), zero_inside(lo, above, below)));
}

// The reconstruction of blocks whose shaped coefficients are their DC alone (ac_cleared), from
// the row-pass output at `rows`: the DC as the column pass gives it, then what the inverse makes
// of a DC alone (its row and column shortcuts), the same in every sample.
inline V dc_flat(const std::int32_t* rows) {
    V sum = at(rows, 0);
    for (int r = 1; r < 8; ++r) sum = add(sum, at(rows, 8 * r));
    const V dc = sar<7>(add(sum, set1(64)));
    return clamp_sample(sar<7>(add(shl<4>(dc), set1(64))));
}

void fdct_group(std::int32_t* group) {
    fdct_group_shaped(group, [](V v) { return v; });
}

// The column pass of the inverse where rows N .. 7 hold 0 in every lane: (+ 2^19) >> 20, the
// shortcut of columns whose AC inputs are 0 (+ 2^6) >> 7, both clamped to -256..255.
// Each output goes to emit(e, v), e = 8 * row + column.
template <int N, typename Emit>
inline void idct_columns(const std::int32_t* base, Emit emit) {
    for (int col = 0; col < 8; ++col) {
        V c[8];
        for (int i = 0; i < N; ++i) c[i] = at(base, 8 * i + col);
        V ac = N > 1 ? c[1] : c[0];
        for (int i = 2; i < N; ++i) ac = or_(ac, c[i]);
        const V flat = clamp_sample(sar<7>(add(c[0], set1(64))));
        if (N == 1 || all_zero(ac)) {
            for (int i = 0; i < 8; ++i) emit(8 * i + col, flat);
            continue;
        }
        if constexpr (N == 2)
            idct_kernel_low2(c);
        else if constexpr (N == 4)
            idct_kernel_low4(c);
        else
            idct_kernel(c);
        for (int i = 0; i < 8; ++i)
            emit(8 * i + col,
                 select_zero(ac, flat, clamp_sample(sar<20>(add(c[i], set1(0x80000))))));
    }
}

// The inverse of the lanes at `base`, the row pass in place, each output sample handed to
// emit(e, v) (e = 8 * row + column; a column's outputs come after its inputs are read, so emit
// may write them back in place).
// The scalar inverse skips the kernel for every row (and column) whose seven AC inputs are 0.
// While nothing wraps that shortcut equals the kernel's value; where the kernel wraps (column
// inputs beyond about +-262000) only the shortcut's value is right. Lanes whose AC inputs are all
// 0 therefore always take the shortcut's value, and a vector of such lanes skips the kernel.
template <typename Emit>
inline void idct_lanes_to(std::int32_t* base, Emit emit) {
    // Rows, in place (a row's outputs depend on that row alone): >> 9 without addend. A row
    // whose coefficients from column 4 (or 2) on are 0 in every lane takes the kernel without
    // them. `rows` counts the rows up to the last one with a coefficient other than 0.
    int rows = 0;
    for (int r = 0; r < 8; ++r) {
        V c[8];
        for (int i = 0; i < 8; ++i) c[i] = at(base, 8 * r + i);
        const V high = or_(or_(c[4], c[5]), or_(c[6], c[7]));
        const V middle = or_(c[2], c[3]);
        const V ac = or_(or_(c[1], middle), high);
        const V dc = shl<4>(c[0]);
        if (all_zero(ac)) {
            for (int i = 0; i < 8; ++i) put(base, 8 * r + i, dc);
            if (!all_zero(c[0])) rows = r + 1;
            continue;
        }
        rows = r + 1;
        if (!all_zero(high))
            idct_kernel(c);
        else if (!all_zero(middle))
            idct_kernel_low4(c);
        else
            idct_kernel_low2(c);
        for (int i = 0; i < 8; ++i) put(base, 8 * r + i, select_zero(ac, dc, sar<9>(c[i])));
    }
    // Columns: (+ 2^19) >> 20, shortcut (+ 2^6) >> 7, both clamped to -256..255. Rows from
    // `rows` on hold 0 in every lane, and the kernel goes without them.
    if (rows <= 1)
        idct_columns<1>(base, emit);
    else if (rows <= 2)
        idct_columns<2>(base, emit);
    else if (rows <= 4)
        idct_columns<4>(base, emit);
    else
        idct_columns<8>(base, emit);
}

[[gnu::noinline]] void idct_lanes(std::int32_t* base) {
    idct_lanes_to(base, [base](int e, V v) { put(base, e, v); });
}

void idct_group(std::int32_t* group) {
    for (int s = 0; s < kGroupBlocks; s += kLanes) idct_lanes(group + s);
}

// The rest of a block row from 8 rows of a row stack, for one channel: the column pass, shaped,
// and the inverse, or for lanes whose coefficients the shaping surely clears but the DC, the DC's
// reconstruction at once (`clear_limit` < 0: never). The reconstruction, times `copies`, is added
// to `sums` (lanes laid out as in the group), or with `store` stored there. `group` is scratch.
template <typename Shape>
[[gnu::noinline]] void stack_channel(const std::int32_t* rows, std::int32_t* group, Shape shape,
                                     std::int32_t clear_limit, std::int32_t* sums,
                                     std::int32_t copies, bool store) {
    const V times = set1(copies);
    for (int s = 0; s < kGroupBlocks; s += kLanes) {
        std::int32_t* sum = sums + s;
        const auto to_sums = [&](auto emit) {
            if (clear_limit >= 0 && ac_cleared(rows + s, clear_limit)) {
                const V flat = dc_flat(rows + s);
                for (int e = 0; e < 64; ++e) emit(e, flat);
                return;
            }
            for (int c = 0; c < 8; ++c) fdct_column(rows + s, group + s, c, shape);
            idct_lanes_to(group + s, emit);
        };
        if (store && copies == 1)
            to_sums([sum](int e, V v) { put(sum, e, v); });
        else if (store)
            to_sums([sum, times](int e, V v) { put(sum, e, mul(v, times)); });
        else if (copies == 1)
            to_sums([sum](int e, V v) { put(sum, e, add(at(sum, e), v)); });
        else
            to_sums([sum, times](int e, V v) { put(sum, e, add(at(sum, e), mul(v, times))); });
    }
}

}  // namespace
}  // namespace korvane
