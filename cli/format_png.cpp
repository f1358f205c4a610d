// PNG stills through libspng: 1- to 16-bit gray, gray+alpha, RGB, RGBA and palette images.
// Gray goes to luma only; colour goes through BT.601 Y'CbCr; alpha passes through untouched.
// The output keeps the input's channels and depth (palette and low-depth gray come back as 8-bit
// RGB(A) and gray).
#include <spng.h>

#include <cstdlib>
#include <cstring>

#include "picture/convert.h"
#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/output_file.h"

namespace korvane::cli {
namespace {

struct CtxDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxDeleter>;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != stdin) std::fclose(f);
    }
};

int channels_of(const StreamInfo& info) {
    return (info.layout == Layout::gray ? 1 : 3) + (info.alpha ? 1 : 0);
}

class PngReader final : public FrameReader {
public:
    explicit PngReader(const std::string& path) : path_(path) {
        std::unique_ptr<std::FILE, FileCloser> file(open_input(path));
        Ctx ctx(spng_ctx_new(0));
        if (!ctx) throw std::bad_alloc();
        check(spng_set_png_file(ctx.get(), file.get()));
        // Generous, but an ancillary chunk can not make us hold gigabytes.
        check(spng_set_chunk_limits(ctx.get(), 1u << 26, 1u << 26));
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
        // Fuzzed bytes almost never carry valid checksums: read past them to reach the rest.
        check(spng_set_crc_action(ctx.get(), SPNG_CRC_USE, SPNG_CRC_USE));
#endif
        spng_ihdr ihdr{};
        check(spng_get_ihdr(ctx.get(), &ihdr));
        info_.w = static_cast<std::int32_t>(std::min<std::uint32_t>(ihdr.width, 1u << 30));
        info_.h = static_cast<std::int32_t>(std::min<std::uint32_t>(ihdr.height, 1u << 30));
        frame_bytes(info_.w, info_.h, 8, path);
        info_.frame_count = 1;

        int fmt = 0;
        const bool wide = ihdr.bit_depth == 16;
        info_.depth = wide ? 16 : 8;
        switch (ihdr.color_type) {
            case SPNG_COLOR_TYPE_GRAYSCALE:
                info_.layout = Layout::gray;
                fmt = ihdr.bit_depth < 8 ? SPNG_FMT_G8 : SPNG_FMT_RAW;
                break;
            case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
                info_.layout = Layout::gray;
                info_.alpha = true;
                fmt = SPNG_FMT_RAW;
                break;
            case SPNG_COLOR_TYPE_TRUECOLOR:
                info_.layout = Layout::rgb;
                fmt = SPNG_FMT_RAW;
                break;
            case SPNG_COLOR_TYPE_TRUECOLOR_ALPHA:
                info_.layout = Layout::rgb;
                info_.alpha = true;
                fmt = SPNG_FMT_RAW;
                break;
            case SPNG_COLOR_TYPE_INDEXED: {
                info_.layout = Layout::rgb;
                spng_trns trns{};
                info_.alpha = spng_get_trns(ctx.get(), &trns) == 0;
                fmt = info_.alpha ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
                break;
            }
            default:
                throw InputError("'" + path + "': unsupported PNG colour type " +
                                 std::to_string(ihdr.color_type));
        }
        std::size_t size = 0;
        check(spng_decoded_image_size(ctx.get(), fmt, &size));
        std::vector<unsigned char> data(size);
        check(spng_decode_image(ctx.get(), data.data(), size, fmt,
                                info_.alpha && !wide ? SPNG_DECODE_TRNS : 0));
        to_frame(data);
    }

    bool read(Frame& frame) override {
        if (done_) return false;
        done_ = true;
        frame = std::move(frame_);
        return true;
    }

    const StreamInfo& info() const override { return info_; }

private:
    void check(int ret) const {
        if (ret != 0)
            throw InputError("'" + path_ + "': not a readable PNG: " + spng_strerror(ret));
    }

    void to_frame(const std::vector<unsigned char>& data) {
        const int channels = channels_of(info_);
        const int max = (1 << info_.depth) - 1;
        const std::size_t n = static_cast<std::size_t>(info_.w) * static_cast<std::size_t>(info_.h);
        auto sample = [&](std::size_t i) -> int {
            if (info_.depth == 8) return data[i];
            return (data[2 * i] << 8) | data[2 * i + 1];  // 16-bit samples come as in the file
        };
        frame_.w = info_.w;
        frame_.h = info_.h;
        frame_.pixels.resize(n);
        if (info_.alpha) frame_.alpha.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t i = p * static_cast<std::size_t>(channels);
            if (info_.layout == Layout::gray) {
                frame_.pixels[p] = gray_to_host(sample(i), max);
            } else {
                frame_.pixels[p] = rgb_to_host(sample(i), sample(i + 1), sample(i + 2), max);
            }
            if (info_.alpha) frame_.alpha[p] = static_cast<std::uint16_t>(sample(i + channels - 1));
        }
    }

    std::string path_;
    StreamInfo info_;
    Frame frame_;
    bool done_ = false;
};

class PngWriter final : public FrameWriter {
public:
    PngWriter(OutputFile& file, const StreamInfo& source) : file_(file) {
        switch (source.layout) {
            case Layout::gray:
            case Layout::rgb:
                layout_ = source;
                break;
            case Layout::ycbcr:
                layout_.layout = source.mono ? Layout::gray : Layout::rgb;
                layout_.depth = source.depth > 8 ? 16 : 8;
                break;
            case Layout::raw:
                layout_.layout = Layout::rgb;
                layout_.depth = 8;
                break;
        }
        if (source.frame_count && *source.frame_count > 1)
            throw UsageError("'" + file.path() + "': a PNG holds one frame, the input has " +
                             std::to_string(*source.frame_count));
    }

    void write(const Frame& frame) override {
        if (written_)
            throw UsageError("'" + file_.path() + "': a PNG holds one frame, the input has more");
        written_ = true;
        const int channels = channels_of(layout_);
        const int max = (1 << layout_.depth) - 1;
        const std::size_t n = frame.pixels.size();
        std::vector<unsigned char> data(n * static_cast<std::size_t>(channels) *
                                        (layout_.depth == 16 ? 2 : 1));
        auto put = [&](std::size_t i, int v) {
            if (layout_.depth == 8) {
                data[i] = static_cast<unsigned char>(v);
            } else {
                data[2 * i] = static_cast<unsigned char>(v >> 8);  // big-endian, as in the file
                data[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
            }
        };
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t i = p * static_cast<std::size_t>(channels);
            if (layout_.layout == Layout::gray) {
                put(i, gray_from_host(frame.pixels[p], max));
            } else {
                const auto rgb = rgb_from_host(frame.pixels[p], max);
                put(i, rgb[0]);
                put(i + 1, rgb[1]);
                put(i + 2, rgb[2]);
            }
            if (layout_.alpha)
                put(i + channels - 1, frame.alpha.size() == n ? frame.alpha[p] : max);
        }
        const std::uint8_t colour =
            layout_.layout == Layout::gray
                ? (layout_.alpha ? SPNG_COLOR_TYPE_GRAYSCALE_ALPHA : SPNG_COLOR_TYPE_GRAYSCALE)
                : (layout_.alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR);
        write_png(file_, frame.w, frame.h, colour, static_cast<std::uint8_t>(layout_.depth), data);
    }

private:
    OutputFile& file_;
    StreamInfo layout_;
    bool written_ = false;
};

std::unique_ptr<FrameReader> open_png_reader(const std::string& path, const Options&) {
    return std::make_unique<PngReader>(path);
}

std::unique_ptr<FrameWriter> open_png_writer(OutputFile& file, const StreamInfo& source,
                                             const Options&) {
    return std::make_unique<PngWriter>(file, source);
}

}  // namespace

void write_png(OutputFile& file, std::int32_t w, std::int32_t h, std::uint8_t colour_type,
               std::uint8_t depth, const std::vector<unsigned char>& data) {
    Ctx ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw std::bad_alloc();
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(w);
    ihdr.height = static_cast<std::uint32_t>(h);
    ihdr.bit_depth = depth;
    ihdr.color_type = colour_type;
    int ret = spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    if (ret == 0) ret = spng_set_ihdr(ctx.get(), &ihdr);
    if (ret == 0)
        ret = spng_encode_image(ctx.get(), data.data(), data.size(), SPNG_FMT_RAW,
                                SPNG_ENCODE_FINALIZE);
    std::size_t size = 0;
    void* png = ret == 0 ? spng_get_png_buffer(ctx.get(), &size, &ret) : nullptr;
    if (ret != 0 || !png)
        throw RunError("'" + file.path() + "': cannot encode the PNG: " + spng_strerror(ret));
    std::unique_ptr<void, decltype(&std::free)> owned(png, &std::free);
    file.write(png, size);
}

const Format kPngFormat = {"png", ".png", &open_png_reader, &open_png_writer};

}  // namespace korvane::cli
