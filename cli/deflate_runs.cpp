#include "cli/deflate_runs.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane::cli {
namespace {

// Deflate's alphabets (RFC 1951, 3.2.5): literal/length codes 0..255 bytes, 256 the end of a
// block, 257..285 match lengths; the code-length code's 19 symbols, sent in kLengthOrder.
constexpr int kLitLenCodes = 286;
constexpr int kEndOfBlock = 256;
constexpr int kCodeLengthCodes = 19;
constexpr int kMaxCodeBits = 15;
constexpr int kMaxCodeLengthBits = 7;
constexpr std::array<int, kCodeLengthCodes> kLengthOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                            11, 4,  12, 3, 13, 2, 14, 1, 15};
constexpr int kMinRun = 3;
constexpr int kMaxRun = 258;

// A block's Huffman codes are fitted to this many tokens: smaller blocks follow the picture's
// statistics more closely and pay for more code tables (measured on photos: 8K to 64K tokens
// within 0.3 % of each other).
constexpr std::size_t kBlockTokens = std::size_t{1} << 15;

// A token: a literal byte (0..255), or a run of 3..258 copies of the byte before (256 + length).
using Token = std::uint16_t;

struct LengthCode {
    std::uint16_t symbol;
    std::uint8_t extra_bits;
    std::uint8_t extra;
};

// Symbol, extra bits and their value of every match length 3..258.
constexpr std::array<LengthCode, kMaxRun + 1> kLengthCodes = [] {
    constexpr int base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                              31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr int bits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    std::array<LengthCode, kMaxRun + 1> t{};
    for (int s = 0; s < 29; ++s) {
        const int end = s == 28 ? kMaxRun + 1 : base[s + 1];
        for (int len = base[s]; len < end; ++len)
            t[static_cast<std::size_t>(len)] = {static_cast<std::uint16_t>(257 + s),
                                                static_cast<std::uint8_t>(bits[s]),
                                                static_cast<std::uint8_t>(len - base[s])};
    }
    return t;
}();

// The literal/length symbol of every token.
constexpr std::array<std::uint16_t, kEndOfBlock + kMaxRun + 1> kSymbolOf = [] {
    std::array<std::uint16_t, kEndOfBlock + kMaxRun + 1> t{};
    for (int s = 0; s < kEndOfBlock; ++s)
        t[static_cast<std::size_t>(s)] = static_cast<std::uint16_t>(s);
    for (int len = kMinRun; len <= kMaxRun; ++len)
        t[static_cast<std::size_t>(kEndOfBlock + len)] =
            kLengthCodes[static_cast<std::size_t>(len)].symbol;
    return t;
}();

// The canonical codes of `lengths` (RFC 1951, 3.2.2), bit-reversed: deflate sends a Huffman
// code from its first bit on, into a stream filled from the low bits of each byte.
void canonical_codes(const std::uint8_t* lengths, int n, std::uint16_t* codes) {
    std::array<int, kMaxCodeBits + 1> count{};
    for (int s = 0; s < n; ++s) ++count[lengths[s]];
    count[0] = 0;
    std::array<unsigned, kMaxCodeBits + 1> next{};
    unsigned code = 0;
    for (int bits = 1; bits <= kMaxCodeBits; ++bits) {
        code = (code + static_cast<unsigned>(count[static_cast<std::size_t>(bits - 1)])) << 1;
        next[static_cast<std::size_t>(bits)] = code;
    }
    for (int s = 0; s < n; ++s) {
        const int len = lengths[s];
        if (len == 0) continue;
        unsigned c = next[static_cast<std::size_t>(len)]++, reversed = 0;
        for (int i = 0; i < len; ++i, c >>= 1) reversed = (reversed << 1) | (c & 1);
        codes[s] = static_cast<std::uint16_t>(reversed);
    }
}

// Bits into bytes, low bits first, into memory reserved beforehand with 8 bytes to spare. put
// takes up to 32 bits at a time and holds at most 56 before a flush; flush writes out whole
// bytes 8 at a time (the bytes past them are written again by the next flush).
class BitWriter {
public:
    explicit BitWriter(unsigned char* out) : out_(out) {}
    void put(std::uint32_t bits, int n) {
        buffer_ |= static_cast<std::uint64_t>(bits) << count_;
        count_ += n;
    }
    void flush() {
        for (int i = 0; i < 8; ++i) out_[i] = static_cast<unsigned char>(buffer_ >> (8 * i));
        out_ += count_ >> 3;
        buffer_ = count_ >= 64 ? 0 : buffer_ >> (count_ & ~7);
        count_ &= 7;
    }
    void put_flushed(std::uint32_t bits, int n) {
        put(bits, n);
        flush();
    }
    // Pads to a whole byte with zero bits and writes out what is held.
    void align() {
        count_ = (count_ + 7) & ~7;
        flush();
    }
    unsigned char* end() const { return out_; }

private:
    unsigned char* out_;
    std::uint64_t buffer_ = 0;
    int count_ = 0;
};

// An empty stored block (3 header bits, the padding to a byte, LEN 0 and NLEN 0xFFFF).
void put_empty_stored_block(BitWriter& w, bool final) {
    w.put_flushed(final ? 1 : 0, 3);
    w.align();
    w.put_flushed(0xFFFF0000u, 32);
}

// The bytes from i on that repeat in[i - 1], at most kMaxRun of them.
std::size_t run_length(const unsigned char* in, std::size_t i, std::size_t n) {
    const unsigned char before = in[i - 1];
    const std::size_t end = std::min(n, i + kMaxRun);
    std::size_t j = i;
#if defined(__SSE2__)
    const __m128i b = _mm_set1_epi8(static_cast<char>(before));
    for (; j + 16 <= end; j += 16) {
        const auto same = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + j)), b)));
        if (same != 0xFFFF) return j + static_cast<std::size_t>(__builtin_ctz(~same)) - i;
    }
#endif
    while (j < end && in[j] == before) ++j;
    return j - i;
}

// The tokens of `in`: a run wherever a byte repeats the one before it at least kMinRun times,
// literals elsewhere. Returns their number (at most in.size()).
std::size_t tokenize(std::span<const unsigned char> in, Token* tokens) {
    const unsigned char* p = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0, k = 0;
    if (n > 0) tokens[k++] = p[i++];
#if defined(__SSE2__)
    // Sixteen bytes at a time, all written as literal tokens (k <= i, so they fit); where one of
    // them starts three repeats of the byte before, the tokens up to it are kept and a run
    // follows (bytes i - 1 .. i + 32 are looked at).
    const __m128i zero = _mm_setzero_si128();
    while (i + 33 <= n) {
        const auto at = [&](std::size_t j) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + j));
        };
        const __m128i v = at(i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(tokens + k), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(tokens + k + 8), _mm_unpackhi_epi8(v, zero));
        const auto repeats =
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, at(i - 1)))) |
            static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(at(i + 16), at(i + 15))))
                << 16;
        const std::uint32_t starts = repeats & (repeats >> 1) & (repeats >> 2) & 0xFFFF;
        if (starts == 0) {
            i += 16;
            k += 16;
            continue;
        }
        const auto literals = static_cast<std::size_t>(__builtin_ctz(starts));
        i += literals;
        k += literals;
        const std::size_t run = run_length(p, i, n);
        tokens[k++] = static_cast<Token>(kEndOfBlock + run);
        i += run;
    }
#endif
    while (i < n) {
        const std::size_t run = run_length(p, i, n);
        if (run >= kMinRun) {
            tokens[k++] = static_cast<Token>(kEndOfBlock + run);
            i += run;
        } else {
            tokens[k++] = p[i++];
        }
    }
    return k;
}

// One dynamic block: the token counts, both codes, the header that describes them, the tokens.
// Distance codes: runs are matches at distance 1, code 0; a second code of length 1 beside it
// keeps the distance code complete, which every inflater accepts.
void put_block(BitWriter& w, const Token* tokens, std::size_t count, bool final) {
    // Four partial counts, so that a run of equal tokens does not wait on one counter.
    std::array<std::array<std::uint32_t, kLitLenCodes>, 4> part{};
    std::size_t at = 0;
    for (; at + 4 <= count; at += 4)
        for (std::size_t j = 0; j < 4; ++j) ++part[j][kSymbolOf[tokens[at + j]]];
    for (; at < count; ++at) ++part[0][kSymbolOf[tokens[at]]];
    std::array<std::uint32_t, kLitLenCodes> freq{};
    for (std::size_t s = 0; s < freq.size(); ++s)
        freq[s] = part[0][s] + part[1][s] + part[2][s] + part[3][s];
    freq[kEndOfBlock] = 1;
    std::array<std::uint8_t, kLitLenCodes> lengths{};
    std::array<std::uint16_t, kLitLenCodes> codes{};
    huffman_lengths(freq.data(), kLitLenCodes, kMaxCodeBits, lengths.data());
    canonical_codes(lengths.data(), kLitLenCodes, codes.data());

    int lit_count = kLitLenCodes;
    while (lit_count > 257 && lengths[static_cast<std::size_t>(lit_count - 1)] == 0) --lit_count;
    constexpr int kDistanceCount = 2;
    std::array<std::uint8_t, kLitLenCodes + kDistanceCount> all{};
    std::copy(lengths.begin(), lengths.begin() + lit_count, all.begin());
    all[static_cast<std::size_t>(lit_count)] = 1;
    all[static_cast<std::size_t>(lit_count) + 1] = 1;
    const int all_count = lit_count + kDistanceCount;

    // The code lengths, run-length coded: 16 repeats the last length 3-6 times, 17 and 18 give
    // 3-10 and 11-138 zeros. Each item: symbol | extra value << 8.
    std::array<std::uint16_t, kLitLenCodes + kDistanceCount> items{};
    std::size_t item_count = 0;
    std::array<std::uint32_t, kCodeLengthCodes> cl_freq{};
    const auto item = [&](int symbol, int extra) {
        items[item_count++] = static_cast<std::uint16_t>(symbol | extra << 8);
        ++cl_freq[static_cast<std::size_t>(symbol)];
    };
    for (int i = 0; i < all_count;) {
        const int v = all[static_cast<std::size_t>(i)];
        int run = 1;
        while (i + run < all_count && all[static_cast<std::size_t>(i + run)] == v) ++run;
        i += run;
        if (v == 0) {
            for (; run >= 11; run -= std::min(run, 138)) item(18, std::min(run, 138) - 11);
            if (run >= 3) {
                item(17, run - 3);
                run = 0;
            }
        } else {
            item(v, 0);
            --run;
            for (; run >= 3; run -= std::min(run, 6)) item(16, std::min(run, 6) - 3);
        }
        for (; run > 0; --run) item(v, 0);
    }
    int used = 0;
    for (const auto c : cl_freq) used += c > 0;
    for (std::size_t s = 0; used < 2; ++s)
        if (cl_freq[s] == 0) {
            cl_freq[s] = 1;
            ++used;
        }
    std::array<std::uint8_t, kCodeLengthCodes> cl_lengths{};
    std::array<std::uint16_t, kCodeLengthCodes> cl_codes{};
    huffman_lengths(cl_freq.data(), kCodeLengthCodes, kMaxCodeLengthBits, cl_lengths.data());
    canonical_codes(cl_lengths.data(), kCodeLengthCodes, cl_codes.data());
    int cl_count = kCodeLengthCodes;
    while (cl_count > 4 && cl_lengths[static_cast<std::size_t>(
                               kLengthOrder[static_cast<std::size_t>(cl_count - 1)])] == 0)
        --cl_count;

    w.put(final ? 1 : 0, 1);
    w.put(2, 2);  // dynamic Huffman codes
    w.put(static_cast<std::uint32_t>(lit_count - 257), 5);
    w.put(kDistanceCount - 1, 5);
    w.put_flushed(static_cast<std::uint32_t>(cl_count - 4), 4);
    for (int i = 0; i < cl_count; ++i)
        w.put_flushed(
            cl_lengths[static_cast<std::size_t>(kLengthOrder[static_cast<std::size_t>(i)])], 3);
    constexpr int kExtraBits[3] = {2, 3, 7};
    for (std::size_t i = 0; i < item_count; ++i) {
        const int symbol = items[i] & 0xFF, extra = items[i] >> 8;
        w.put(cl_codes[static_cast<std::size_t>(symbol)],
              cl_lengths[static_cast<std::size_t>(symbol)]);
        if (symbol >= 16) w.put(static_cast<std::uint32_t>(extra), kExtraBits[symbol - 16]);
        w.flush();
    }

    // Each token's bits in one word: its code, then (a run) the extra bits and the one-bit
    // distance code 0. At most 21 bits a token, so two fit between flushes.
    std::array<std::uint32_t, kEndOfBlock + kMaxRun + 1> bits{};
    std::array<std::uint8_t, kEndOfBlock + kMaxRun + 1> nbits{};
    for (int t = 0; t < kEndOfBlock; ++t) {
        bits[static_cast<std::size_t>(t)] = codes[static_cast<std::size_t>(t)];
        nbits[static_cast<std::size_t>(t)] = lengths[static_cast<std::size_t>(t)];
    }
    for (int len = kMinRun; len <= kMaxRun; ++len) {
        const LengthCode& lc = kLengthCodes[static_cast<std::size_t>(len)];
        const auto t = static_cast<std::size_t>(kEndOfBlock + len);
        bits[t] = codes[lc.symbol] | static_cast<std::uint32_t>(lc.extra) << lengths[lc.symbol];
        nbits[t] = static_cast<std::uint8_t>(lengths[lc.symbol] + lc.extra_bits + 1);
    }
    std::size_t i = 0;
    for (; i + 2 <= count; i += 2) {
        w.put(bits[tokens[i]], nbits[tokens[i]]);
        w.put_flushed(bits[tokens[i + 1]], nbits[tokens[i + 1]]);
    }
    if (i < count) w.put_flushed(bits[tokens[i]], nbits[tokens[i]]);
    w.put_flushed(codes[kEndOfBlock], lengths[kEndOfBlock]);
}

}  // namespace

// Code lengths of a Huffman code for freq[0 .. n), none longer than `limit`; symbols of
// frequency 0 get none. A Huffman tree by the two-queue method over the leaves sorted by
// frequency; while it is too deep, the same with every frequency halved (rounding up), which
// flattens it (at worst to a balanced tree: ceil(log2 n) <= limit for both alphabets here).
// At least two frequencies must be non-zero, so that the code is complete.
void huffman_lengths(const std::uint32_t* freq, int n, int limit, std::uint8_t* lengths) {
    if (n <= 0 || n > kLitLenCodes) return;
    std::array<std::uint32_t, kLitLenCodes> f{};
    std::copy(freq, freq + n, f.begin());
    std::array<int, kLitLenCodes> leaves{};
    std::array<std::uint64_t, 2 * kLitLenCodes> weight{};
    std::array<int, 2 * kLitLenCodes> parent{};
    std::array<std::uint8_t, 2 * kLitLenCodes> depth{};
    for (;;) {
        int m = 0;
        for (int s = 0; s < n; ++s)
            if (f[static_cast<std::size_t>(s)] > 0) leaves[static_cast<std::size_t>(m++)] = s;
        std::sort(leaves.begin(), leaves.begin() + m, [&](int a, int b) {
            const auto fa = f[static_cast<std::size_t>(a)], fb = f[static_cast<std::size_t>(b)];
            return fa != fb ? fa < fb : a < b;
        });
        if (m < 2) {  // outside the contract: a lone symbol gets one bit
            std::fill(lengths, lengths + n, std::uint8_t{0});
            if (m == 1) lengths[leaves[0]] = 1;
            return;
        }
        // Nodes 0 .. m-1 are the leaves in that order, m .. 2m-2 the inner nodes as made; the
        // inner nodes are made in order of weight, so the two smallest are always at the front
        // of the leaves not taken or of the inner nodes not taken.
        for (int i = 0; i < m; ++i)
            weight[static_cast<std::size_t>(i)] =
                f[static_cast<std::size_t>(leaves[static_cast<std::size_t>(i)])];
        int next_leaf = 0, next_inner = m;
        const auto take = [&](int made) {
            if (next_leaf < m &&
                (next_inner >= made || weight[static_cast<std::size_t>(next_leaf)] <=
                                           weight[static_cast<std::size_t>(next_inner)]))
                return next_leaf++;
            return next_inner++;
        };
        for (int made = m; made < 2 * m - 1; ++made) {
            const int a = take(made), b = take(made);
            weight[static_cast<std::size_t>(made)] =
                weight[static_cast<std::size_t>(a)] + weight[static_cast<std::size_t>(b)];
            parent[static_cast<std::size_t>(a)] = parent[static_cast<std::size_t>(b)] = made;
        }
        depth[static_cast<std::size_t>(2 * m - 2)] = 0;
        int deepest = 0;
        for (int i = 2 * m - 3; i >= 0; --i) {
            const auto d = static_cast<std::uint8_t>(
                depth[static_cast<std::size_t>(parent[static_cast<std::size_t>(i)])] + 1);
            depth[static_cast<std::size_t>(i)] = d;
            deepest = std::max<int>(deepest, d);
        }
        if (deepest <= limit) {
            std::fill(lengths, lengths + n, std::uint8_t{0});
            for (int i = 0; i < m; ++i)
                lengths[leaves[static_cast<std::size_t>(i)]] = depth[static_cast<std::size_t>(i)];
            return;
        }
        for (int s = 0; s < n; ++s) {
            auto& v = f[static_cast<std::size_t>(s)];
            if (v > 0) v = (v + 1) / 2;
        }
    }
}

std::span<const unsigned char> RunCoder::code(std::span<const unsigned char> in, bool last) {
    if (token_room_ < in.size()) {
        tokens_ = std::make_unique_for_overwrite<Token[]>(in.size());
        token_room_ = in.size();
    }
    const std::size_t count = tokenize(in, tokens_.get());
    // At most 15 bits a token (a run's 21 bits cover at least 3 bytes), so 2 bytes a byte in;
    // each block's header at most 19 * 3 + 288 * 7 bits and 17 more; the closing stored block
    // and the 8 bytes that every flush writes.
    const std::size_t blocks = in.size() / kBlockTokens + 1;
    const std::size_t bound = 2 * in.size() + blocks * 300 + 16;
    if (byte_room_ < bound) {
        bytes_ = std::make_unique_for_overwrite<unsigned char[]>(bound);
        byte_room_ = bound;
    }
    BitWriter w(bytes_.get());
    for (std::size_t b = 0; b < count; b += kBlockTokens) {
        const std::size_t n = std::min(kBlockTokens, count - b);
        put_block(w, tokens_.get() + b, n, last && b + n == count);
    }
    if (count == 0 || !last) put_empty_stored_block(w, last);
    w.align();
    return {bytes_.get(), static_cast<std::size_t>(w.end() - bytes_.get())};
}

}  // namespace korvane::cli
