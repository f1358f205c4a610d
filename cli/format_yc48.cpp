// Raw frames in the host's own pixel layout: h rows of exactly w pixels, each three
// little-endian int16 (y, cb, cr), frame after frame, no header. The size comes from --size.
#include <sys/stat.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/output_file.h"

namespace korvane::cli {
namespace {

constexpr std::size_t kBytesPerPixel = 6;
// A pixel in memory is three int16 without padding; on a little-endian machine its bytes are
// then exactly the file's.
constexpr bool kPixelsAreFileBytes =
    std::endian::native == std::endian::little && sizeof(YcPixel) == kBytesPerPixel;

class Yc48Reader final : public FrameReader {
public:
    Yc48Reader(const std::string& path, FrameSize size) : path_(path), size_(size) {
        frame_bytes_ = frame_bytes(size.w, size.h, kBytesPerPixel, path);
        info_.layout = Layout::raw;
        info_.w = size.w;
        info_.h = size.h;
        owner_ = open_input(path);
        file_ = owner_.get();
        struct stat st {};
        if (file_ != stdin && ::fstat(::fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
            const auto bytes = static_cast<std::uint64_t>(st.st_size);
            if (bytes == 0) fail("no frame in the input");
            if (bytes % frame_bytes_ != 0) {
                unsigned char head[16];
                refuse_other_format({head, std::fread(head, 1, sizeof head, file_)}, "yc48", path_);
                fail("size " + std::to_string(bytes) + " bytes is not a whole number of " +
                     std::to_string(size.w) + "x" + std::to_string(size.h) + " frames");
            }
            info_.frame_count = static_cast<std::int64_t>(bytes / frame_bytes_);
        }
    }

    // On a little-endian machine the file's bytes are the pixels' own: read in place.
    bool read_bytes(Frame& frame) override {
        frame.w = size_.w;
        frame.h = size_.h;
        unsigned char* into = nullptr;
        if (kPixelsAreFileBytes) {
            frame.pixels.resize(frame_bytes_ / kBytesPerPixel);
            into = reinterpret_cast<unsigned char*>(frame.pixels.data());
        } else {
            frame.bytes.resize(frame_bytes_);
            into = frame.bytes.data();
        }
        const std::size_t got = std::fread(into, 1, frame_bytes_, file_);
        if (frames_read_ == 0) refuse_other_format({into, got}, "yc48", path_);
        if (got == 0 && !std::ferror(file_)) {
            if (frames_read_ == 0) fail("no frame in the input");
            return false;
        }
        if (got != frame_bytes_) {
            if (std::ferror(file_))
                throw InputError("'" + path_ + "': read failed: " + std::strerror(errno));
            throw InputError("'" + path_ + "': ends in the middle of frame " +
                             std::to_string(frames_read_ + 1));
        }
        ++frames_read_;
        return true;
    }

    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        if (kPixelsAreFileBytes) return copy_pixel_rows(from, y0, y1, to, stride);
        const auto w = static_cast<std::size_t>(from.w);
        for (std::int32_t y = y0; y < y1; ++y, to += stride) {
            const unsigned char* b =
                from.bytes.data() + static_cast<std::size_t>(y) * w * kBytesPerPixel;
            for (std::size_t x = 0; x < w; ++x, b += kBytesPerPixel)
                to[x] = {sample(b), sample(b + 2), sample(b + 4)};
        }
    }

    const StreamInfo& info() const override { return info_; }

private:
    [[noreturn]] void fail(const std::string& what) {
        throw InputError("'" + path_ + "': " + what);
    }

    static std::int16_t sample(const unsigned char* b) {
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(b[0] | (b[1] << 8)));
    }

    std::string path_;
    FrameSize size_;
    InputFile owner_;
    std::FILE* file_ = nullptr;  // owner_'s
    std::size_t frame_bytes_ = 0;
    StreamInfo info_;
    std::int64_t frames_read_ = 0;
};

class Yc48Writer final : public FrameWriter {
public:
    explicit Yc48Writer(OutputFile& file) : file_(file) {}

    void size_bytes(Frame& to, std::int32_t w, std::int32_t h) const override {
        to.w = w;
        to.h = h;
        // Empty bytes: the frame is written from its pixels (see FrameWriter).
        to.bytes.resize(kPixelsAreFileBytes ? 0
                                            : static_cast<std::size_t>(w) *
                                                  static_cast<std::size_t>(h) * kBytesPerPixel);
    }

    void convert_rows(const Frame& from, Frame& to, std::int32_t y0,
                      std::int32_t y1) const override {
        if (kPixelsAreFileBytes) return;  // written from the pixels themselves
        const auto w = static_cast<std::size_t>(from.w);
        unsigned char* b = to.bytes.data() + static_cast<std::size_t>(y0) * w * kBytesPerPixel;
        const YcPixel* p = from.pixels.data() + static_cast<std::size_t>(y0) * w;
        for (const YcPixel* end = p + static_cast<std::size_t>(y1 - y0) * w; p != end; ++p) {
            put(b, p->y);
            put(b + 2, p->cb);
            put(b + 4, p->cr);
            b += kBytesPerPixel;
        }
    }

    void write_bytes(const Frame& frame) override {
        if (kPixelsAreFileBytes)
            file_.write(frame.pixels.data(), frame.pixels.size() * kBytesPerPixel);
        else
            file_.write(frame.bytes.data(), frame.bytes.size());
    }

private:
    static void put(unsigned char* b, std::int16_t v) {
        const auto u = static_cast<std::uint16_t>(v);
        b[0] = static_cast<unsigned char>(u & 0xFF);
        b[1] = static_cast<unsigned char>(u >> 8);
    }

    OutputFile& file_;
};

std::unique_ptr<FrameReader> open_yc48_reader(const std::string& path, const Options& options) {
    if (!options.size) throw UsageError("'" + path + "': raw .yc48 input needs --size WxH");
    return std::make_unique<Yc48Reader>(path, *options.size);
}

std::unique_ptr<FrameWriter> open_yc48_writer(OutputFile& file, const StreamInfo&, const Options&) {
    return std::make_unique<Yc48Writer>(file);
}

}  // namespace

const Format kYc48Format = {"yc48", ".yc48", &open_yc48_reader, &open_yc48_writer};

}  // namespace korvane::cli
