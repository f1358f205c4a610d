#include "cli/png_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "cli/deflate_runs.h"
#include "runtime/thread_pool.h"

namespace korvane::cli {

namespace {

// About this many bytes of rows a band: enough that restarting the compressor's window costs
// little (under 0.5 % of the size on photos), small enough that two to eight threads share
// even a 1-megapixel picture's bands evenly.
constexpr std::size_t kBandBytes = std::size_t{1} << 18;

// The Paeth predictor without branches, so that the row loop below vectorises.
inline int paeth(int a, int b, int c) {
    const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    const int bc = pb <= pc ? b : c;
    return pa <= pb && pa <= pc ? a : bc;
}

inline unsigned magnitude(unsigned char v) {
    return static_cast<unsigned>(std::abs(static_cast<int>(static_cast<signed char>(v))));
}

// A row's five filtered forms, and the one with the least sum of absolute values (as signed
// bytes) written to `out`: its filter type byte, then the row. `prev` is the row above (zeros
// above the first row). The filters and their sums are made in one pass over the row.
class RowFilter {
public:
    RowFilter(std::size_t n, int bpp) : n_(n), bpp_(static_cast<std::size_t>(bpp)), tried_(4 * n) {}

    void filter(const unsigned char* row, const unsigned char* prev, unsigned char* out) {
        const std::size_t n = n_, bpp = std::min(bpp_, n_);
        unsigned char* const sub = tried_.data();
        unsigned char* const up = sub + n;
        unsigned char* const avg = up + n;
        unsigned char* const pae = avg + n;
        std::uint64_t sums[5] = {};
        // The first pixel has no left neighbour (a = c = 0).
        for (std::size_t i = 0; i < bpp; ++i) {
            sub[i] = row[i];
            up[i] = static_cast<unsigned char>(row[i] - prev[i]);
            avg[i] = static_cast<unsigned char>(row[i] - (prev[i] >> 1));
            pae[i] = static_cast<unsigned char>(row[i] - paeth(0, prev[i], 0));
        }
        // Sums of at most 2^16 bytes of 128 at most each fit 32 bits: summed a stretch at a time.
        for (std::size_t from = 0; from < n; from += 65536) {
            const std::size_t to = std::min(n, from + 65536), start = std::max(from, bpp);
            std::uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
            for (std::size_t i = from; i < start; ++i) {
                s0 += magnitude(row[i]);
                s1 += magnitude(sub[i]);
                s2 += magnitude(up[i]);
                s3 += magnitude(avg[i]);
                s4 += magnitude(pae[i]);
            }
            main_stretch(row, prev, sub, up, avg, pae, start, to, bpp, s0, s1, s2, s3, s4);
            sums[0] += s0;
            sums[1] += s1;
            sums[2] += s2;
            sums[3] += s3;
            sums[4] += s4;
        }
        int best = 0;
        for (int t = 1; t < 5; ++t)
            if (sums[t] < sums[best]) best = t;
        out[0] = static_cast<unsigned char>(best);
        std::memcpy(out + 1,
                    best == 0 ? row : tried_.data() + static_cast<std::size_t>(best - 1) * n, n);
    }

private:
    // Bytes start .. to - 1, past the first pixel. The pointers do not alias (restrict), which
    // lets the compiler vectorise the tail's loop.
    static void main_stretch(const unsigned char* __restrict row,
                             const unsigned char* __restrict prev, unsigned char* __restrict sub,
                             unsigned char* __restrict up, unsigned char* __restrict avg,
                             unsigned char* __restrict pae, std::size_t start, std::size_t to,
                             std::size_t bpp, std::uint32_t& sum0, std::uint32_t& sum1,
                             std::uint32_t& sum2, std::uint32_t& sum3, std::uint32_t& sum4) {
        std::uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
        std::size_t i = start;
#if defined(__SSE2__)
        // Sixteen bytes at a time: the byte filters directly, Paeth's predictor in 16-bit
        // halves (every term fits: |a + b - 2c| <= 510), and the sums of magnitudes by psadbw
        // (|v| of a signed byte v is the distance of v + 128 from 128, as unsigned bytes).
        const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
        const __m128i flip = _mm_set1_epi8(static_cast<char>(0x80));
        __m128i t0 = zero, t1 = zero, t2 = zero, t3 = zero, t4 = zero;
        const auto magnitudes = [&](__m128i v) {
            return _mm_sad_epu8(_mm_xor_si128(v, flip), flip);
        };
        const auto load = [](const unsigned char* p) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        };
        const auto predict = [&](__m128i a, __m128i b, __m128i c) {
            const __m128i pa0 = _mm_sub_epi16(b, c), pb0 = _mm_sub_epi16(a, c);
            const __m128i pc0 = _mm_add_epi16(pa0, pb0);
            const auto abs16 = [&](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
            const __m128i pa = abs16(pa0), pb = abs16(pb0), pc = abs16(pc0);
            // a where pa <= pb and pa <= pc, else b where pb <= pc, else c.
            const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
            const __m128i c_over_b = _mm_cmpgt_epi16(pb, pc);
            const __m128i bc =
                _mm_or_si128(_mm_and_si128(c_over_b, c), _mm_andnot_si128(c_over_b, b));
            return _mm_or_si128(_mm_and_si128(not_a, bc), _mm_andnot_si128(not_a, a));
        };
        for (; i + 16 <= to; i += 16) {
            const __m128i x = load(row + i), a = load(row + i - bpp), b = load(prev + i),
                          c = load(prev + i - bpp);
            const __m128i f1 = _mm_sub_epi8(x, a), f2 = _mm_sub_epi8(x, b);
            // (a + b) >> 1: pavgb rounds up, so take the odd sums' 1 back.
            const __m128i mean =
                _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
            const __m128i f3 = _mm_sub_epi8(x, mean);
            const __m128i lo = predict(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero),
                                       _mm_unpacklo_epi8(c, zero));
            const __m128i hi = predict(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero),
                                       _mm_unpackhi_epi8(c, zero));
            const __m128i f4 = _mm_sub_epi8(x, _mm_packus_epi16(lo, hi));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(sub + i), f1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(up + i), f2);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(avg + i), f3);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pae + i), f4);
            t0 = _mm_add_epi64(t0, magnitudes(x));
            t1 = _mm_add_epi64(t1, magnitudes(f1));
            t2 = _mm_add_epi64(t2, magnitudes(f2));
            t3 = _mm_add_epi64(t3, magnitudes(f3));
            t4 = _mm_add_epi64(t4, magnitudes(f4));
        }
        const auto total = [](__m128i v) {
            return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v) +
                                              _mm_cvtsi128_si32(_mm_srli_si128(v, 8)));
        };
        s0 = total(t0);
        s1 = total(t1);
        s2 = total(t2);
        s3 = total(t3);
        s4 = total(t4);
#endif
        for (; i < to; ++i) {
            const int x = row[i], a = row[i - bpp], b = prev[i], c = prev[i - bpp];
            const auto f1 = static_cast<unsigned char>(x - a);
            const auto f2 = static_cast<unsigned char>(x - b);
            const auto f3 = static_cast<unsigned char>(x - ((a + b) >> 1));
            const auto f4 = static_cast<unsigned char>(x - paeth(a, b, c));
            sub[i] = f1;
            up[i] = f2;
            avg[i] = f3;
            pae[i] = f4;
            s0 += magnitude(static_cast<unsigned char>(x));
            s1 += magnitude(f1);
            s2 += magnitude(f2);
            s3 += magnitude(f3);
            s4 += magnitude(f4);
        }
        sum0 += s0;
        sum1 += s1;
        sum2 += s2;
        sum3 += s3;
        sum4 += s4;
    }

    std::size_t n_, bpp_;
    std::vector<unsigned char> tried_;
};

struct Band {
    std::vector<unsigned char> out;  // raw deflate, ended by a full flush or by the end
    uLong adler = 1;                 // Adler-32 of the band's filtered bytes
    std::size_t length = 0;          // and their number
};

struct Job {
    const PngRows* rows;
    int level;
    std::int32_t band_rows;
    std::vector<Band>* bands;
    std::atomic<std::int32_t> next{0};
    std::atomic<bool> failed{false};
};

// Filters and compresses band b; false when memory runs out.
bool compress_band(const Job& job, std::int32_t b, RowFilter& filter, RunCoder& coder,
                   std::vector<unsigned char>& filtered, const std::vector<unsigned char>& zeros) {
    const PngRows& rows = *job.rows;
    const std::size_t n =
        static_cast<std::size_t>(rows.w) * static_cast<std::size_t>(rows.bytes_per_pixel);
    const std::int32_t y0 = b * job.band_rows, y1 = std::min(rows.h, y0 + job.band_rows);
    const auto count = static_cast<std::size_t>(y1 - y0);
    filtered.resize(count * (n + 1));
    for (std::int32_t y = y0; y < y1; ++y) {
        const unsigned char* row = rows.data.data() + static_cast<std::size_t>(y) * n;
        filter.filter(row, y == 0 ? zeros.data() : row - n,
                      filtered.data() + static_cast<std::size_t>(y - y0) * (n + 1));
    }
    Band& band = (*job.bands)[static_cast<std::size_t>(b)];
    band.length = filtered.size();
    band.adler = adler32_z(adler32_z(0, nullptr, 0), filtered.data(), filtered.size());
    const bool last = y1 == rows.h;
    if (job.level == kPngRunsLevel) {
        const std::span<const unsigned char> coded = coder.code(filtered, last);
        band.out.assign(coded.begin(), coded.end());
        return true;
    }

    z_stream z{};
    // Z_FILTERED (short matches count less in the lazy search of levels 4 and up) makes photos
    // about 1 % smaller at the same speed; levels 1 to 3 ignore it.
    if (deflateInit2(&z, job.level, Z_DEFLATED, -15, 8, Z_FILTERED) != Z_OK) return false;
    // The bound covers the stream's end; a full flush adds at most an empty stored block.
    band.out.resize(deflateBound(&z, filtered.size()) + 16);
    z.next_in = filtered.data();
    z.avail_in = static_cast<uInt>(filtered.size());
    z.next_out = band.out.data();
    z.avail_out = static_cast<uInt>(band.out.size());
    const int ret = deflate(&z, last ? Z_FINISH : Z_FULL_FLUSH);
    const bool ok = last ? ret == Z_STREAM_END : ret == Z_OK && z.avail_in == 0 && z.avail_out != 0;
    band.out.resize(band.out.size() - z.avail_out);
    deflateEnd(&z);
    return ok;
}

void run_bands(std::int32_t, std::int32_t, void* param, void*) {
    Job& job = *static_cast<Job*>(param);
    try {
        const std::size_t n = static_cast<std::size_t>(job.rows->w) *
                              static_cast<std::size_t>(job.rows->bytes_per_pixel);
        RowFilter filter(n, job.rows->bytes_per_pixel);
        std::vector<unsigned char> filtered;
        RunCoder coder;
        const std::vector<unsigned char> zeros(n);
        const auto count = static_cast<std::int32_t>(job.bands->size());
        for (std::int32_t b = job.next++; b < count && !job.failed; b = job.next++)
            if (!compress_band(job, b, filter, coder, filtered, zeros)) job.failed = true;
    } catch (const std::bad_alloc&) {
        job.failed = true;
    }
}

}  // namespace

std::int32_t png_band_rows(std::size_t row_bytes) {
    return static_cast<std::int32_t>(
        std::clamp<std::size_t>(kBandBytes / std::max<std::size_t>(row_bytes + 1, 1), 1, 1 << 30));
}

std::vector<unsigned char> deflate_png_rows(const PngRows& rows, int level, ThreadPool* pool) {
    const std::size_t n =
        static_cast<std::size_t>(rows.w) * static_cast<std::size_t>(rows.bytes_per_pixel);
    const std::int32_t band_rows = png_band_rows(n);
    std::vector<Band> bands(static_cast<std::size_t>((rows.h + band_rows - 1) / band_rows));
    Job job{&rows, level, band_rows, &bands};
    if (pool && pool->size() > 1 && bands.size() > 1)
        pool->run_on_all(&run_bands, &job, nullptr);
    else
        run_bands(0, 1, &job, nullptr);
    if (job.failed) throw std::bad_alloc();

    // The zlib header: deflate with a 32 KB window, the level's class in FLEVEL, and the check
    // bits that make the 16-bit header a multiple of 31.
    const unsigned flevel = level <= 1 ? 0 : level <= 5 ? 1 : level == 6 ? 2 : 3;
    const unsigned cmf = 0x78, flg0 = flevel << 6;
    const unsigned flg = flg0 + (31 - (cmf * 256 + flg0) % 31) % 31;
    std::size_t size = 2 + 4;
    for (const Band& band : bands) size += band.out.size();
    std::vector<unsigned char> stream;
    stream.reserve(size);
    stream.push_back(static_cast<unsigned char>(cmf));
    stream.push_back(static_cast<unsigned char>(flg));
    uLong adler = adler32_z(0, nullptr, 0);
    for (const Band& band : bands) {
        stream.insert(stream.end(), band.out.begin(), band.out.end());
        adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.length));
    }
    for (int shift = 24; shift >= 0; shift -= 8)
        stream.push_back(static_cast<unsigned char>((adler >> shift) & 0xFF));
    return stream;
}

}  // namespace korvane::cli
