// The run-length deflate coder: zlib's own inflate reads back every kind of input (runs of every
// length, noise, alphabets skewed enough that a plain Huffman code would be too deep, many
// blocks), and pieces coded apart join into one stream.
#include "cli/deflate_runs.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::test {
namespace {

using Bytes = std::vector<unsigned char>;

// Raw inflate of `stream` (no zlib header), which must end exactly at the stream's end; the
// bytes it gives, or a note of what went wrong.
std::string inflate_raw(const Bytes& stream, Bytes& out) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return "inflateInit2";
    out.assign(stream.size() * 1040 + 1024, 0);  // deflate expands at most 1032 times
    z.next_in = const_cast<unsigned char*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int ret = inflate(&z, Z_FINISH);
    const std::string msg = z.msg ? z.msg : "";
    out.resize(out.size() - z.avail_out);
    const uInt left = z.avail_in;
    inflateEnd(&z);
    if (ret != Z_STREAM_END) return "inflate returned " + std::to_string(ret) + " " + msg;
    if (left != 0) return std::to_string(left) + " bytes after the stream's end";
    return "";
}

Bytes coded(const Bytes& in) {
    cli::RunCoder coder;
    const auto piece = coder.code(in, true);
    return Bytes(piece.begin(), piece.end());
}

struct Lcg {
    std::uint32_t s = 2024;
    std::uint32_t next() { return s = s * 1664525u + 1013904223u; }
};

TEST(DeflateRuns, InflateReadsBackEveryKindOfInput) {
    Lcg rng;
    struct Case {
        const char* name;
        Bytes data;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"one byte", {7}});
    cases.push_back({"two equal bytes", {7, 7}});
    // Runs of every length up to two maximal runs and more, each after a different byte.
    Bytes runs;
    for (int len = 1; len <= 600; ++len)
        runs.insert(runs.end(), static_cast<std::size_t>(len),
                    static_cast<unsigned char>(len % 251));
    cases.push_back({"runs of 1 to 600", runs});
    cases.push_back({"one long run", Bytes(100000, 0)});
    Bytes noise(200000);
    for (auto& b : noise) b = static_cast<unsigned char>(rng.next() >> 24);
    cases.push_back({"noise", noise});
    // Residual-like: mostly small values around 0, some runs, across many 32K-token blocks.
    Bytes residuals(400000);
    for (std::size_t i = 0; i < residuals.size(); ++i) {
        const std::uint32_t r = rng.next() >> 8;
        residuals[i] = r % 5 == 0 ? 0 : static_cast<unsigned char>((r >> 4) % 9 - 4);
    }
    cases.push_back({"residuals", residuals});
    // Byte b occurring fib(b) times, in a shuffled order: an optimal Huffman code for that is
    // 25 bits deep, so the coder has to limit the lengths to 15 (and the code-length code to 7).
    Bytes skewed;
    std::uint32_t a = 1, b = 1;
    for (int sym = 0; sym < 26; ++sym) {
        skewed.insert(skewed.end(), a, static_cast<unsigned char>(sym * 9));
        const std::uint32_t c = a + b;
        a = b;
        b = c;
    }
    for (std::size_t i = skewed.size() - 1; i > 0; --i)
        std::swap(skewed[i], skewed[rng.next() % (i + 1)]);
    cases.push_back({"skewed", skewed});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes back;
        const Bytes stream = coded(c.data);
        ASSERT_EQ(inflate_raw(stream, back), "");
        EXPECT_TRUE(back == c.data);
    }
    // Runs and residuals code smaller than they are; noise grows by little.
    EXPECT_LT(coded(Bytes(100000, 0)).size(), 1000u);
    EXPECT_LT(coded(residuals).size(), residuals.size() / 2);
    EXPECT_LT(coded(noise).size(), noise.size() + noise.size() / 50);
}

// Pieces coded apart, the last one ending the stream, join in order into one stream; a run at
// the start of a piece never refers back into the piece before.
TEST(DeflateRuns, PiecesJoinIntoOneStream) {
    const Bytes pieces[] = {Bytes(1000, 5), Bytes{5, 5, 5, 5, 1, 2, 3}, Bytes{9}, Bytes(70000, 9)};
    Bytes stream, whole;
    cli::RunCoder coder;  // one coder for all pieces, as a thread of the PNG writer has
    for (std::size_t i = 0; i < 4; ++i) {
        const auto piece = coder.code(pieces[i], i == 3);
        stream.insert(stream.end(), piece.begin(), piece.end());
        whole.insert(whole.end(), pieces[i].begin(), pieces[i].end());
    }
    Bytes back;
    ASSERT_EQ(inflate_raw(stream, back), "");
    EXPECT_TRUE(back == whole);
    // Without the last piece the stream is unfinished: inflate wants more.
    const auto first = coder.code(pieces[0], false);
    const Bytes open(first.begin(), first.end());
    EXPECT_NE(inflate_raw(open, back), "");
}

// The code lengths: complete (the Kraft sum is exactly 1), within the limit, and for
// frequencies that allow it, those of a plain Huffman code (the cost of the optimum).
TEST(DeflateRuns, HuffmanLengthsAreCompleteAndWithinTheLimit) {
    struct Case {
        const char* name;
        std::vector<std::uint32_t> freq;
        int limit;
        std::uint64_t optimal_cost;  // sum of freq x length of an unlimited Huffman code, or 0
    };
    std::vector<std::uint32_t> fib(19), fib286(286), flat(286, 3), two(286, 0);
    fib[0] = fib[1] = 1;
    for (std::size_t i = 2; i < fib.size(); ++i) fib[i] = fib[i - 1] + fib[i - 2];
    fib286[0] = fib286[1] = 1;
    for (std::size_t i = 2; i < 30; ++i) fib286[i] = fib286[i - 1] + fib286[i - 2];
    two[17] = 1;
    two[200] = 1000;
    const Case cases[] = {
        {"fibonacci, code-length alphabet", fib, 7, 0},
        {"fibonacci, literal alphabet", fib286, 15, 0},
        {"flat", flat, 15, 3 * (226 * 8 + 60 * 9)},  // 286 = 2^8 + 30: 30 leaves split in two
        {"two symbols", two, 15, 1001},
        {"1 2 3 4", {1, 2, 3, 4}, 7, 1 * 3 + 2 * 3 + 3 * 2 + 4 * 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int n = static_cast<int>(c.freq.size());
        std::vector<std::uint8_t> lengths(c.freq.size(), 99);
        cli::huffman_lengths(c.freq.data(), n, c.limit, lengths.data());
        double kraft = 0;
        std::uint64_t cost = 0;
        for (int s = 0; s < n; ++s) {
            const int len = lengths[static_cast<std::size_t>(s)];
            EXPECT_EQ(len == 0, c.freq[static_cast<std::size_t>(s)] == 0) << s;
            EXPECT_LE(len, c.limit) << s;
            if (len > 0) kraft += 1.0 / static_cast<double>(1u << len);
            cost += std::uint64_t{c.freq[static_cast<std::size_t>(s)]} * static_cast<unsigned>(len);
        }
        EXPECT_EQ(kraft, 1.0);
        if (c.optimal_cost) {
            EXPECT_EQ(cost, c.optimal_cost);
        }
    }
}

}  // namespace
}  // namespace korvane::test
