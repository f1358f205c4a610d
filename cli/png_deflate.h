// The image data of a PNG (its zlib stream, what the IDAT chunks hold), filtered and compressed
// in bands of rows on several threads at once.
//
// zlib's stream is cut at band boundaries: each band's rows are filtered and compressed as a
// raw deflate stream of their own, ended by a full flush (a byte-aligned empty stored block) but
// for the last band, which ends the stream. Joined in order behind a zlib header, with the
// Adler-32 of the whole data combined from the bands' (adler32_combine), they make one valid
// zlib stream. Band boundaries depend only on the row size, never on the threads, so the bytes
// are the same for any thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace korvane {
class ThreadPool;
}

namespace korvane::cli {

// Levels: 0 stores; 1 is the run-length coder of deflate_runs.h; 2 to 9 are zlib's levels, 9 the
// smallest file. Level 1 is the default: on a filtered 4.9-megapixel photo (scripts/
// measure-png-photo's, --strength manual, 2 threads) the whole command took 0.17 CPU seconds
// storing, 0.20 at level 1, 0.29 at zlib's level 2, 0.43 at 4 and 0.97 at 6, and level 1's file
// was smaller than zlib's at 2 to 4 (4.77 MB; 2: 5.21, 4: 4.87, 6: 4.71 MB).
inline constexpr int kPngRunsLevel = 1;
inline constexpr int kPngDefaultLevel = kPngRunsLevel;
inline constexpr int kPngMaxLevel = 9;

struct PngRows {
    std::int32_t w = 0;
    std::int32_t h = 0;
    int bytes_per_pixel = 0;              // channels x bytes per sample (8- or 16-bit)
    std::span<const unsigned char> data;  // h rows of w x bytes_per_pixel bytes, as in the file
};

// Rows in a band of rows of `row_bytes` bytes each (the filter byte not counted).
std::int32_t png_band_rows(std::size_t row_bytes);

// The zlib stream of `rows`: each row filtered (the filter type per row chosen by the minimum
// sum of absolute differences, as libpng does), then compressed at `level`. `pool`: the threads
// that compress the bands; null: the calling thread alone.
std::vector<unsigned char> deflate_png_rows(const PngRows& rows, int level, ThreadPool* pool);

}  // namespace korvane::cli
