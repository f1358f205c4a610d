// A fast raw deflate coder for filtered image rows: a byte repeating the one before it, three
// times or more, becomes a match at distance 1 (a run), everything else a literal, in blocks
// with Huffman codes of their own. No search for longer-distance matches: on the filtered rows
// of photos, what a general LZ77 search finds is mostly short matches that code worse than the
// literals they replace, so this comes out smaller than zlib's levels 1 to 3 and several times
// faster (docs/performance.md has the measurements).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace korvane::cli {

// A coder keeps its memory (the tokens and the coded bytes of a piece) from one piece to the
// next, and never fills it with zeros first: a thread that codes many pieces pays for the pages
// once.
class RunCoder {
public:
    // The deflate blocks of `in`, valid until the next call. With `last` the final block ends
    // the stream and the bits are padded to a byte; otherwise the piece ends with an empty
    // stored block, byte aligned, so that pieces coded apart join, in order, into one stream (as
    // zlib's full flush does). Nothing refers back before the start of `in`.
    std::span<const unsigned char> code(std::span<const unsigned char> in, bool last);

private:
    std::unique_ptr<std::uint16_t[]> tokens_;
    std::size_t token_room_ = 0;
    std::unique_ptr<unsigned char[]> bytes_;
    std::size_t byte_room_ = 0;
};

// Code lengths of a complete Huffman code for freq[0 .. n) (n <= 286), none longer than `limit`
// (ceil(log2 n) <= limit <= 15); symbols of frequency 0 get length 0. At least two frequencies
// must be non-zero. The coder's own, for both of its alphabets.
void huffman_lengths(const std::uint32_t* freq, int n, int limit, std::uint8_t* lengths);

}  // namespace korvane::cli
