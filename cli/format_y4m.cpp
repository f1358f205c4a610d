// YUV4MPEG2 streams, as ffmpeg and x264 pipe them: a header line of tags, then frames of
// "FRAME[ params]\n" and the Y, Cb and Cr planes (8-bit samples, or 16-bit little-endian above 8
// bits). Subsampled chroma is repeated over its 2x1 or 2x2 pixels for the filter and averaged
// back, so that unfiltered frames come back exactly. Header tags and frame parameters are kept.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstring>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/output_file.h"
#include "picture/convert.h"
#include "picture/ycbcr_vector.h"

namespace korvane::cli {
namespace {

constexpr std::size_t kMaxLine = 4096;
constexpr const char kMagic[] = "YUV4MPEG2";

bool parse_int(std::string_view text, std::int64_t& v) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && end == text.data() + text.size();
}

bool parse_ratio(std::string_view text) {
    const auto colon = text.find(':');
    std::int64_t n = 0, d = 0;
    return colon != std::string_view::npos && parse_int(text.substr(0, colon), n) &&
           parse_int(text.substr(colon + 1), d) && n >= 0 && d >= 0;
}

// Plane geometry of a stream.
struct Planes {
    std::size_t luma = 0;    // samples
    std::size_t chroma = 0;  // samples of each chroma plane
    std::int32_t cw = 0, ch = 0;
    std::size_t bytes_per_sample = 1;
    std::size_t frame_bytes() const { return (luma + 2 * chroma) * bytes_per_sample; }
};

Planes planes_of(const StreamInfo& s) {
    Planes p;
    p.luma = static_cast<std::size_t>(s.w) * static_cast<std::size_t>(s.h);
    if (!s.mono) {
        p.cw = (s.w + (1 << s.chroma_shift_x) - 1) >> s.chroma_shift_x;
        p.ch = (s.h + (1 << s.chroma_shift_y) - 1) >> s.chroma_shift_y;
        p.chroma = static_cast<std::size_t>(p.cw) * static_cast<std::size_t>(p.ch);
    }
    p.bytes_per_sample = s.depth > 8 ? 2 : 1;
    return p;
}

class Y4mReader final : public FrameReader {
public:
    explicit Y4mReader(const std::string& path)
        : path_(path), owner_(open_input(path)), file_(owner_.get()) {
        parse_header();
    }

    bool read_bytes(Frame& frame) override {
        int c = std::getc(file_);
        if (c == EOF) {
            if (std::ferror(file_)) fail("read failed: " + std::string(std::strerror(errno)));
            if (frames_read_ == 0) fail("no frame in the input");
            return false;
        }
        const std::string where = "frame " + std::to_string(frames_read_ + 1);
        std::string line;
        while (c != '\n') {
            if (c == EOF) fail("ends in the header of " + where);
            if (line.size() >= kMaxLine) fail("the header of " + where + " is too long");
            line.push_back(static_cast<char>(c));
            c = std::getc(file_);
        }
        if (line.compare(0, 5, "FRAME") != 0 || (line.size() > 5 && line[5] != ' '))
            fail(where + " does not start with FRAME");
        frame.params = line.substr(5);
        frame.w = info_.w;
        frame.h = info_.h;
        const std::size_t size = planes_.frame_bytes();
        if (seekable_) {
            // A regular file keeps the frame's bytes: convert_rows reads the rows it converts.
            const off_t at = ::ftello(file_);
            struct stat st {};
            if (at < 0 || ::fstat(::fileno(file_), &st) != 0)
                fail("read failed: " + std::string(std::strerror(errno)));
            if (static_cast<std::uint64_t>(st.st_size) < static_cast<std::uint64_t>(at) + size)
                fail("ends in the middle of " + where);
            if (::fseeko(file_, static_cast<off_t>(size), SEEK_CUR) != 0)
                fail("read failed: " + std::string(std::strerror(errno)));
            frame.bytes.clear();
            frame.file_offset = at;
        } else {
            frame.file_offset = -1;
            frame.bytes.resize(size);
            if (std::fread(frame.bytes.data(), 1, size, file_) != size)
                fail("ends in the middle of " + where);
        }
        ++frames_read_;
        return true;
    }

    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        if (y0 >= y1) return;
        const std::size_t b = planes_.bytes_per_sample;
        const std::size_t row = static_cast<std::size_t>(info_.w) * b;
        const std::size_t chroma_row = static_cast<std::size_t>(planes_.cw) * b;
        const int sy = info_.chroma_shift_y;
        const std::int32_t cy0 = y0 >> sy, cy1 = info_.mono ? cy0 : ((y1 - 1) >> sy) + 1;
        const std::size_t luma_bytes = static_cast<std::size_t>(y1 - y0) * row;
        const std::size_t chroma_bytes = static_cast<std::size_t>(cy1 - cy0) * chroma_row;
        const std::size_t cb_at = planes_.luma * b + static_cast<std::size_t>(cy0) * chroma_row;
        const std::size_t cr_at = cb_at + planes_.chroma * b;
        Rows rows;
        if (from.file_offset < 0) {
            const unsigned char* bytes = from.bytes.data();
            rows = {bytes + static_cast<std::size_t>(y0) * row, bytes + cb_at, bytes + cr_at};
        } else {
            // The rows' bytes, read from the file into this thread's buffer: they go from the
            // file to the conversion while they are in the cache, on the filter's threads.
            thread_local std::vector<unsigned char> buffer;
            buffer.resize(luma_bytes + 2 * chroma_bytes);
            unsigned char* at = buffer.data();
            const auto offset = static_cast<std::uint64_t>(from.file_offset);
            read_at(at, luma_bytes, offset + static_cast<std::size_t>(y0) * row);
            read_at(at + luma_bytes, chroma_bytes, offset + cb_at);
            read_at(at + luma_bytes + chroma_bytes, chroma_bytes, offset + cr_at);
            rows = {at, at + luma_bytes, at + luma_bytes + chroma_bytes};
        }
        const int sx = info_.mono ? 0 : info_.chroma_shift_x;
        if (b == 1)
            sx ? convert_rows_of<1, 1>(rows, y0, y1, to, stride)
               : convert_rows_of<1, 0>(rows, y0, y1, to, stride);
        else
            sx ? convert_rows_of<2, 1>(rows, y0, y1, to, stride)
               : convert_rows_of<2, 0>(rows, y0, y1, to, stride);
    }

    void check_rows() const override {
        if (const int error = read_error_.exchange(0))
            fail(error > 0 ? "read failed: " + std::string(std::strerror(error))
                           : "the file became shorter while it was read");
    }

    const StreamInfo& info() const override { return info_; }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw InputError("'" + path_ + "': " + what);
    }

    void parse_header() {
        std::string line;
        // Another format's file (a PNG or JPEG on standard input, where Y4M is the default) is
        // told apart by its first bytes, before its first line is looked for.
        auto check_magic = [&] {
            if (line.compare(0, sizeof kMagic - 1, kMagic) == 0) return;
            refuse_other_format({reinterpret_cast<const unsigned char*>(line.data()), line.size()},
                                "Y4M", path_);
            fail("not a Y4M stream (no YUV4MPEG2 header)");
        };
        for (int c = std::getc(file_); c != '\n'; c = std::getc(file_)) {
            if (c == EOF) {
                if (line.empty()) fail("empty input, not a Y4M stream");
                check_magic();
                fail("ends in the Y4M header");
            }
            if (line.size() >= kMaxLine) fail("the Y4M header is too long");
            line.push_back(static_cast<char>(c));
            if (line.size() == sizeof kMagic - 1) check_magic();
        }
        check_magic();
        if (line.size() > sizeof kMagic - 1 && line[sizeof kMagic - 1] != ' ')
            fail("not a Y4M stream (no YUV4MPEG2 header)");
        info_.layout = Layout::ycbcr;
        // Without a C tag a stream is 4:2:0, 8-bit.
        info_.chroma = "420jpeg";
        info_.chroma_shift_x = info_.chroma_shift_y = 1;
        std::int64_t w = -1, h = -1;
        std::string_view rest = std::string_view(line).substr(sizeof kMagic - 1);
        while (!rest.empty()) {
            const auto space = rest.find(' ');
            const std::string_view tag = rest.substr(0, space);
            rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
            if (tag.empty()) continue;
            const std::string_view value = tag.substr(1);
            auto bad = [&]() { fail("bad Y4M header tag '" + std::string(tag) + "'"); };
            switch (tag[0]) {
                case 'W':
                    if (!parse_int(value, w)) bad();
                    if (w < 0)
                        fail("invalid frame width '" + std::string(tag) + "' in the Y4M header");
                    break;
                case 'H':
                    if (!parse_int(value, h)) bad();
                    if (h < 0)
                        fail("invalid frame height '" + std::string(tag) + "' in the Y4M header");
                    break;
                case 'C':
                    parse_chroma(value);
                    info_.tags.emplace_back(tag);
                    break;
                case 'F':
                case 'A':
                    if (!parse_ratio(value)) bad();
                    info_.tags.emplace_back(tag);
                    break;
                case 'I':
                    if (value.size() != 1 || std::strchr("ptbm?", value[0]) == nullptr) bad();
                    info_.tags.emplace_back(tag);
                    break;
                default:
                    if (tag == "XCOLORRANGE=FULL") info_.full_range = true;
                    info_.tags.emplace_back(tag);
                    break;
            }
        }
        if (w < 0 || h < 0) fail("the Y4M header lacks the frame size (W and H)");
        if (w > (1 << 30) || h > (1 << 30))
            fail("frame size " + std::to_string(w) + "x" + std::to_string(h) +
                 " is too large to hold");
        info_.w = static_cast<std::int32_t>(w);
        info_.h = static_cast<std::int32_t>(h);
        frame_bytes(info_.w, info_.h, sizeof(YcPixel), path_);
        planes_ = planes_of(info_);
        count_frames(line.size() + 1);
        struct stat st {};
        seekable_ = regular_file(st);
        const YcbcrScale scale{info_.depth, info_.full_range};
        // One entry for every code the sample container can hold: a high-depth stream may carry
        // codes above its depth's maximum, which read as that maximum.
        luma_.resize(planes_.bytes_per_sample == 1 ? 256 : 65536);
        chroma_.resize(luma_.size());
        const int max_code = (1 << info_.depth) - 1;
        for (std::size_t v = 0; v < luma_.size(); ++v) {
            const int code = std::min(static_cast<int>(v), max_code);
            luma_[v] = luma_to_host(code, scale);
            chroma_[v] = chroma_to_host(code, scale);
        }
    }

    void parse_chroma(std::string_view c) {
        std::string_view base = c;
        std::string_view depth;
        if (const auto p = c.find('p', 3); c.substr(0, 4) != "mono" &&
                                           p != std::string_view::npos && p + 1 < c.size() &&
                                           std::isdigit(static_cast<unsigned char>(c[p + 1]))) {
            base = c.substr(0, p);
            depth = c.substr(p + 1);
        }
        if (base.substr(0, 4) == "mono") {
            depth = base.substr(4);
            base = "mono";
        }
        std::int64_t bits = 8;
        if (!depth.empty() && (!parse_int(depth, bits) || bits < 8 || bits > 16))
            fail("unsupported Y4M sample depth in 'C" + std::string(c) + "' (8 to 16 bits)");
        info_.depth = static_cast<int>(bits);
        info_.chroma = std::string(base);
        if (base == "420" || base == "420jpeg" || base == "420mpeg2" || base == "420paldv") {
            info_.chroma_shift_x = info_.chroma_shift_y = 1;
        } else if (base == "422") {
            info_.chroma_shift_x = 1;
            info_.chroma_shift_y = 0;
        } else if (base == "444") {
            info_.chroma_shift_x = info_.chroma_shift_y = 0;
        } else if (base == "mono") {
            info_.mono = true;
        } else {
            fail("unsupported Y4M chroma 'C" + std::string(c) +
                 "' (known: 420jpeg, 420mpeg2, 420paldv, 420, 422, 444, mono, with p9..p16)");
        }
    }

    // A file whose frames all have plain "FRAME" headers holds (size - header) / (6 + frame
    // bytes) of them: known up front for progress and for outputs that hold one frame. Frame
    // parameters make the count unknowable without reading, and pipes have no size.
    void count_frames(std::size_t header_bytes) {
        struct stat st {};
        if (!regular_file(st)) return;
        const auto size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t frame = 6 + planes_.frame_bytes();
        if (size >= header_bytes && (size - header_bytes) % frame == 0)
            info_.frame_count = static_cast<std::int64_t>((size - header_bytes) / frame);
    }

    // Whether the input is a regular file named on the command line (st: its status).
    bool regular_file(struct stat& st) const {
        return file_ != stdin && ::fstat(::fileno(file_), &st) == 0 && S_ISREG(st.st_mode);
    }

    // Sample x of a plane row: 8-bit, or 16-bit little-endian.
    template <int kBytes>
    static std::size_t code(const unsigned char* row, std::size_t x) {
        if constexpr (kBytes == 1) return row[x];
        return static_cast<std::size_t>(row[2 * x] | (row[2 * x + 1] << 8));
    }

    // The bytes of rows y0 .. y1 - 1 of a frame: the first luma row, and the first Cb and Cr
    // rows that they cover (row y0 >> chroma_shift_y); each plane's rows follow one another.
    struct Rows {
        const unsigned char *luma = nullptr, *cb = nullptr, *cr = nullptr;
    };

    // Reads n bytes at `offset` of the file; what cannot be read is zeros, and the failure is
    // kept for check_rows().
    void read_at(unsigned char* to, std::size_t n, std::uint64_t offset) const {
        while (n > 0) {
            const ssize_t got = ::pread(::fileno(file_), to, n, static_cast<off_t>(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                int expected = 0;
                read_error_.compare_exchange_strong(expected, got < 0 ? errno : -1);
                std::memset(to, 0, n);
                return;
            }
            to += got;
            n -= static_cast<std::size_t>(got);
            offset += static_cast<std::uint64_t>(got);
        }
    }

    // Rows y0 .. y1 - 1: luma through its table, chroma through its own, each chroma sample
    // repeated over the 1 << kShiftX pixels of its row that it covers (and over 1 << sy rows).
    template <int kBytes, int kShiftX>
    void convert_rows_of(const Rows& rows, std::int32_t y0, std::int32_t y1, YcPixel* to,
                         std::ptrdiff_t stride) const {
        const std::int16_t* luma = luma_.data();
        const std::int16_t* chroma = chroma_.data();
        const auto w = static_cast<std::size_t>(info_.w);
        const auto cw = static_cast<std::size_t>(planes_.cw);
        const int sy = info_.chroma_shift_y;
        for (std::int32_t y = y0; y < y1; ++y) {
            YcPixel* out = to + (y - y0) * stride;
            const unsigned char* yrow = rows.luma + static_cast<std::size_t>(y - y0) * w * kBytes;
            const std::size_t chroma_at =
                static_cast<std::size_t>((y >> sy) - (y0 >> sy)) * cw * kBytes;
            const unsigned char* cbrow = rows.cb + chroma_at;
            const unsigned char* crrow = rows.cr + chroma_at;
            if (kBytes == 1 && vectors_) {
                vectors_->to_host(yrow, cbrow, crrow, w, kShiftX, info_.mono, luma, chroma, out);
                continue;
            }
            if (info_.mono) {
                for (std::size_t x = 0; x < w; ++x) out[x] = {luma[code<kBytes>(yrow, x)], 0, 0};
                continue;
            }
            std::size_t x = 0;
            if constexpr (kShiftX == 1) {
                for (; x + 1 < w; x += 2) {
                    const std::int16_t cb = chroma[code<kBytes>(cbrow, x / 2)];
                    const std::int16_t cr = chroma[code<kBytes>(crrow, x / 2)];
                    out[x] = {luma[code<kBytes>(yrow, x)], cb, cr};
                    out[x + 1] = {luma[code<kBytes>(yrow, x + 1)], cb, cr};
                }
            }
            for (; x < w; ++x) {
                const std::size_t c = x >> kShiftX;
                out[x] = {luma[code<kBytes>(yrow, x)], chroma[code<kBytes>(cbrow, c)],
                          chroma[code<kBytes>(crrow, c)]};
            }
        }
    }

    std::string path_;
    InputFile owner_;
    std::FILE* file_;  // owner_'s
    StreamInfo info_;
    Planes planes_;
    std::vector<std::int16_t> luma_, chroma_;  // host value of every sample code
    // 8-bit rows in vectors, where the machine has them.
    const Ycbcr8Rows* vectors_ = ycbcr8_rows();
    std::int64_t frames_read_ = 0;
    bool seekable_ = false;                   // a regular file: frames are read row by row
    mutable std::atomic<int> read_error_{0};  // errno of a failed row read, -1 for a short one
};

// round(sum / 2^shift), halves away from zero: div_round for a power of two. For a negative
// sum, -((half - sum) >> shift) = (sum + half - 1) >> shift, so no branch is needed.
inline std::int32_t mean_of(std::int32_t sum, int shift) {
    if (shift == 0) return sum;
    const std::int32_t half = 1 << (shift - 1);
    return (sum + half - (sum < 0 ? 1 : 0)) >> shift;
}

class Y4mWriter final : public FrameWriter {
public:
    Y4mWriter(OutputFile& file, const StreamInfo& source) : file_(file) {
        info_ = source;
        if (source.layout != Layout::ycbcr) {
            // Stills and raw frames become full-resolution chroma at their own depth.
            info_ = StreamInfo{};
            info_.layout = Layout::ycbcr;
            info_.w = source.w;
            info_.h = source.h;
            info_.depth = source.layout == Layout::raw ? 8 : source.depth;
            info_.mono = source.layout == Layout::gray;
            const std::string suffix = info_.depth > 8 ? std::to_string(info_.depth) : "";
            info_.tags = {
                "F25:1", "Ip", "A1:1",
                info_.mono ? "Cmono" + suffix : "C444" + (suffix.empty() ? "" : "p" + suffix)};
            // Gray pictures are full range, and so is gray Y4M as ffmpeg reads it: tagged, so
            // that every reader takes the codes as they are meant.
            if (info_.mono) {
                info_.full_range = true;
                info_.tags.emplace_back("XCOLORRANGE=FULL");
            }
        }
        planes_ = planes_of(info_);
        const YcbcrScale scale{info_.depth, info_.full_range};
        luma_.resize(65536);
        chroma_.resize(65536);
        for (std::int32_t h = -32768; h < 32768; ++h) {
            luma_[static_cast<std::uint16_t>(h)] =
                static_cast<std::uint16_t>(luma_from_host(h, scale));
            chroma_[static_cast<std::uint16_t>(h)] =
                static_cast<std::uint16_t>(chroma_from_host(h, scale));
        }
        codes8_ = ycbcr8_codes(info_.full_range);
    }

    void size_bytes(Frame& to, std::int32_t w, std::int32_t h) const override {
        to.w = w;
        to.h = h;
        to.bytes.resize(planes_.frame_bytes());
    }

    void convert_rows(const Frame& from, Frame& to, std::int32_t y0,
                      std::int32_t y1) const override {
        if (planes_.bytes_per_sample == 1)
            fill_rows<1>(from, to.bytes.data(), y0, y1);
        else
            fill_rows<2>(from, to.bytes.data(), y0, y1);
    }

    void write_bytes(const Frame& frame) override {
        if (!header_written_) {
            std::string header = std::string(kMagic) + " W" + std::to_string(frame.w) + " H" +
                                 std::to_string(frame.h);
            for (const std::string& tag : info_.tags) header += " " + tag;
            header += "\n";
            file_.write(header.data(), header.size());
            header_written_ = true;
        }
        const std::string line = "FRAME" + frame.params + "\n";
        file_.write(line.data(), line.size());
        file_.write(frame.bytes.data(), frame.bytes.size());
    }

private:
    // Sample i of the planes: 8-bit, or 16-bit little-endian (stored byte by byte, so that the
    // bytes need no alignment and are the same on any host).
    template <int kBytes>
    static void store(unsigned char* bytes, std::size_t i, std::uint16_t v) {
        if constexpr (kBytes == 1) {
            bytes[i] = static_cast<unsigned char>(v);
        } else {
            bytes[2 * i] = static_cast<unsigned char>(v & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(v >> 8);
        }
    }

    // Luma of rows y0 .. y1 - 1 and the chroma rows that they cover.
    template <int kBytes>
    void fill_rows(const Frame& frame, unsigned char* bytes, std::int32_t y0,
                   std::int32_t y1) const {
        // Locals, not members: stores through unsigned char may alias anything, so a member
        // would be loaded again after every sample.
        const std::uint16_t* luma = luma_.data();
        const YcPixel* pixels = frame.pixels.data();
        const auto w = static_cast<std::size_t>(frame.w);
        if (kBytes == 1 && vectors_) {
            const std::size_t first = static_cast<std::size_t>(y0) * w;
            vectors_->luma_from_host(pixels + first, static_cast<std::size_t>(y1 - y0) * w, codes8_,
                                     bytes + first);
        } else {
            for (std::size_t i = static_cast<std::size_t>(y0) * w;
                 i < static_cast<std::size_t>(y1) * w; ++i)
                store<kBytes>(bytes, i, luma[static_cast<std::uint16_t>(pixels[i].y)]);
        }
        if (info_.mono) return;
        if (info_.chroma_shift_x)
            fill_chroma_rows<kBytes, 1>(frame, bytes, y0, y1);
        else
            fill_chroma_rows<kBytes, 0>(frame, bytes, y0, y1);
    }

    // The chroma rows that rows y0 .. y1 - 1 cover: each sample the mean of the pixels it
    // covers, 1 << kShiftX across and 1 or 2 rows down (fewer at a ragged edge, so the count is
    // always 1, 2 or 4 and the rounded division a shift).
    template <int kBytes, int kShiftX>
    void fill_chroma_rows(const Frame& frame, unsigned char* bytes, std::int32_t y0,
                          std::int32_t y1) const {
        const int sy = info_.chroma_shift_y;
        const auto w = static_cast<std::size_t>(frame.w);
        const std::uint16_t* chroma = chroma_.data();
        const std::int32_t whole = frame.w >> kShiftX;  // samples over 1 << kShiftX pixels
        const std::int32_t cy1 = std::min(planes_.ch, (y1 + (1 << sy) - 1) >> sy);
        for (std::int32_t cy = y0 >> sy; cy < cy1; ++cy) {
            const std::int32_t r0 = cy << sy, rows = std::min(frame.h, (cy + 1) << sy) - r0;
            const YcPixel* top = frame.pixels.data() + static_cast<std::size_t>(r0) * w;
            const YcPixel* bottom = top + w;
            unsigned char* cb_out =
                bytes + (planes_.luma +
                         static_cast<std::size_t>(cy) * static_cast<std::size_t>(planes_.cw)) *
                            kBytes;
            unsigned char* cr_out = cb_out + planes_.chroma * kBytes;
            const auto put = [&](std::int32_t cx, std::int32_t cb, std::int32_t cr, int shift) {
                store<kBytes>(cb_out, static_cast<std::size_t>(cx),
                              chroma[static_cast<std::uint16_t>(mean_of(cb, shift))]);
                store<kBytes>(cr_out, static_cast<std::size_t>(cx),
                              chroma[static_cast<std::uint16_t>(mean_of(cr, shift))]);
            };
            if (kBytes == 1 && vectors_) {
                vectors_->chroma_from_host(top, rows == 2 ? bottom : nullptr,
                                           static_cast<std::size_t>(whole), kShiftX, codes8_,
                                           cb_out, cr_out);
            } else if (rows == 2) {
                for (std::int32_t cx = 0; cx < whole; ++cx) {
                    std::int32_t cb = 0, cr = 0;
                    for (int k = 0; k < (1 << kShiftX); ++k) {
                        const std::size_t x = (static_cast<std::size_t>(cx) << kShiftX) + k;
                        cb += top[x].cb + bottom[x].cb;
                        cr += top[x].cr + bottom[x].cr;
                    }
                    put(cx, cb, cr, kShiftX + 1);
                }
            } else {
                for (std::int32_t cx = 0; cx < whole; ++cx) {
                    std::int32_t cb = 0, cr = 0;
                    for (int k = 0; k < (1 << kShiftX); ++k) {
                        const std::size_t x = (static_cast<std::size_t>(cx) << kShiftX) + k;
                        cb += top[x].cb;
                        cr += top[x].cr;
                    }
                    put(cx, cb, cr, kShiftX);
                }
            }
            if (whole < planes_.cw) {  // an odd width's last sample covers one column
                const std::size_t x = w - 1;
                const std::int32_t cb = top[x].cb + (rows == 2 ? bottom[x].cb : 0);
                const std::int32_t cr = top[x].cr + (rows == 2 ? bottom[x].cr : 0);
                put(whole, cb, cr, rows == 2 ? 1 : 0);
            }
        }
    }

    OutputFile& file_;
    StreamInfo info_;
    Planes planes_;
    std::vector<std::uint16_t> luma_, chroma_;  // sample code of every host value
    // 8-bit rows in vectors, where the machine has them.
    const Ycbcr8Rows* vectors_ = ycbcr8_rows();
    Ycbcr8Codes codes8_{};
    bool header_written_ = false;
};

std::unique_ptr<FrameReader> open_y4m_reader(const std::string& path, const Options&) {
    return std::make_unique<Y4mReader>(path);
}

std::unique_ptr<FrameWriter> open_y4m_writer(OutputFile& file, const StreamInfo& source,
                                             const Options&) {
    return std::make_unique<Y4mWriter>(file, source);
}

}  // namespace

const Format kY4mFormat = {"y4m", ".y4m", &open_y4m_reader, &open_y4m_writer};

}  // namespace korvane::cli
