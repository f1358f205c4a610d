// PNG stills through libspng: 1- to 16-bit gray, gray+alpha, RGB, RGBA and palette images.
// Gray goes to luma only; colour goes through BT.601 Y'CbCr; alpha passes through untouched.
// The output keeps the input's channels and depth (palette and low-depth gray come back as 8-bit
// RGB(A) and gray). A transparency key (tRNS of a gray or RGB image) becomes an alpha channel
// when the picture is read: it names one exact sample value, which the filter would move most
// keyed pixels away from (they would turn opaque), while an alpha channel passes it untouched.
#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/jpeg_colour.h"
#include "cli/output_file.h"
#include "cli/png_deflate.h"
#include "picture/convert.h"
#include "runtime/thread_pool.h"

namespace korvane::cli {

// What a PNG says about its picture beyond the pixels. Its transparency (tRNS) has become the
// alpha channel.
struct PngChunks {
    std::optional<std::uint8_t> srgb;
    std::optional<std::uint32_t> gama;
    std::optional<spng_chrm_int> chrm;
    std::optional<spng_phys> phys;
    struct Text {
        std::string keyword;
        int type = 0;
        std::string text;
        std::uint8_t compression_flag = 0;
        std::uint8_t compression_method = 0;
        std::string language_tag;
        std::string translated_keyword;
    };
    std::vector<Text> texts;
};

namespace {

struct CtxDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using Ctx = std::unique_ptr<spng_ctx, CtxDeleter>;

int channels_of(const StreamInfo& info) {
    return (info.layout == Layout::gray ? 1 : 3) + (info.alpha ? 1 : 0);
}

// The file for libspng, its first bytes (read first, to see what the file is) served again.
struct PngStream {
    std::FILE* file = nullptr;
    unsigned char head[16] = {};
    std::size_t head_size = 0, head_used = 0;
};

int read_png_stream(spng_ctx*, void* user, void* to, std::size_t length) {
    auto* s = static_cast<PngStream*>(user);
    auto* out = static_cast<unsigned char*>(to);
    const std::size_t from_head = std::min(length, s->head_size - s->head_used);
    std::memcpy(out, s->head + s->head_used, from_head);
    s->head_used += from_head;
    const std::size_t rest = length - from_head;
    if (rest != 0 && std::fread(out + from_head, 1, rest, s->file) != rest)
        return std::ferror(s->file) ? SPNG_IO_ERROR : SPNG_IO_EOF;
    return 0;
}

class PngReader final : public PictureReader {
public:
    PngReader(const std::string& path, const Options& options) : path_(path) {
        const InputFile file = open_input(path);
        PngStream stream;
        stream.file = file.get();
        stream.head_size = std::fread(stream.head, 1, sizeof stream.head, file.get());
        refuse_other_format({stream.head, stream.head_size}, "PNG", path);
        Ctx ctx(spng_ctx_new(0));
        if (!ctx) throw std::bad_alloc();
        check(spng_set_png_stream(ctx.get(), read_png_stream, &stream));
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
        check_pixel_limit(info_.w, info_.h, options, path);
        frame_bytes(info_.w, info_.h, 8, path);
        info_.frame_count = 1;

        int fmt = 0;
        const bool wide = ihdr.bit_depth == 16;
        spng_trns key{};
        const bool keyed = (ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ||
                            ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR) &&
                           spng_get_trns(ctx.get(), &key) == 0;
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
        frame_.w = info_.w;
        frame_.h = info_.h;
        frame_.bytes.resize(size);
        check(spng_decode_image(ctx.get(), frame_.bytes.data(), size, fmt,
                                info_.alpha && !wide ? SPNG_DECODE_TRNS : 0));
        if (keyed) {
            add_key_alpha(key, ihdr);
            info_.alpha = true;
        }
        // The alpha channel travels with the frame, past the filter, to the writer.
        if (info_.alpha) take_alpha();
        keep_chunks(ctx.get());
    }

    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        if (info_.depth == 8)
            convert_rows_of<1>(from, y0, y1, to, stride);
        else
            convert_rows_of<2>(from, y0, y1, to, stride);
    }

private:
    void check(int ret) const {
        if (ret != 0)
            throw InputError("'" + path_ + "': not a readable PNG: " + spng_strerror(ret));
    }

    // Chunks after the image data are read with it, so this comes after decoding.
    void keep_chunks(spng_ctx* ctx) {
        spng_iccp iccp{};
        if (spng_get_iccp(ctx, &iccp) == 0 && iccp.profile) {
            info_.icc_name = std::string(iccp.profile_name, strnlen(iccp.profile_name, 80));
            info_.icc_profile.assign(iccp.profile, iccp.profile + iccp.profile_len);
        }
        auto chunks = std::make_shared<PngChunks>();
        std::uint8_t intent = 0;
        if (spng_get_srgb(ctx, &intent) == 0) chunks->srgb = intent;
        std::uint32_t gama = 0;
        if (spng_get_gama_int(ctx, &gama) == 0) chunks->gama = gama;
        spng_chrm_int chrm{};
        if (spng_get_chrm_int(ctx, &chrm) == 0) chunks->chrm = chrm;
        spng_phys phys{};
        if (spng_get_phys(ctx, &phys) == 0) chunks->phys = phys;
        std::uint32_t n = 0;
        if (spng_get_text(ctx, nullptr, &n) == 0 && n > 0) {
            std::vector<spng_text> texts(n);
            if (spng_get_text(ctx, texts.data(), &n) == 0) {
                for (const spng_text& t : texts) {
                    PngChunks::Text kept;
                    kept.keyword = std::string(t.keyword, strnlen(t.keyword, 80));
                    kept.type = t.type;
                    if (t.text) kept.text.assign(t.text, t.length);
                    kept.compression_flag = t.compression_flag;
                    kept.compression_method = t.compression_method;
                    if (t.language_tag) kept.language_tag = t.language_tag;
                    if (t.translated_keyword) kept.translated_keyword = t.translated_keyword;
                    chunks->texts.push_back(std::move(kept));
                }
            }
        }
        info_.png_chunks = std::move(chunks);
    }

    // Sample i of the decoded image: 8-bit, or 16-bit big-endian as in the file.
    template <int kBytes>
    static int sample(const unsigned char* data, std::size_t i) {
        if constexpr (kBytes == 1) return data[i];
        return (data[2 * i] << 8) | data[2 * i + 1];
    }

    template <int kBytes>
    void convert_rows_of(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                         std::ptrdiff_t stride) const {
        const int channels = channels_of(info_);
        const int max = (1 << info_.depth) - 1;
        const auto w = static_cast<std::size_t>(info_.w);
        for (std::int32_t y = y0; y < y1; ++y) {
            const unsigned char* row =
                from.bytes.data() + static_cast<std::size_t>(y) * w * channels * kBytes;
            YcPixel* out = to + (y - y0) * stride;
            for (std::size_t x = 0; x < w; ++x) {
                const std::size_t i = x * static_cast<std::size_t>(channels);
                out[x] = info_.layout == Layout::gray
                             ? gray_to_host(sample<kBytes>(row, i), max)
                             : rgb_to_host(sample<kBytes>(row, i), sample<kBytes>(row, i + 1),
                                           sample<kBytes>(row, i + 2), max);
            }
        }
    }

    // A gray or RGB image's transparency key as an alpha channel after its samples: 0 where
    // every sample equals the key's, opaque elsewhere. Low-depth gray was decoded to 8 bits,
    // each value scaled by 255 / (2^depth - 1), and its key is scaled alike.
    void add_key_alpha(const spng_trns& key, const spng_ihdr& ihdr) {
        const bool gray = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE;
        const std::size_t channels = gray ? 1 : 3;
        const std::size_t bytes = info_.depth == 16 ? 2 : 1;
        int keys[3] = {key.red, key.green, key.blue};
        if (gray) keys[0] = key.gray;
        if (gray && ihdr.bit_depth < 8) keys[0] *= 255 / ((1 << ihdr.bit_depth) - 1);
        const std::size_t n = static_cast<std::size_t>(info_.w) * static_cast<std::size_t>(info_.h);
        const std::size_t in_pixel = channels * bytes, out_pixel = (channels + 1) * bytes;
        decltype(frame_.bytes) with_alpha(n * out_pixel);
        const int opaque = (1 << info_.depth) - 1;
        for (std::size_t p = 0; p < n; ++p) {
            const unsigned char* in = frame_.bytes.data() + p * in_pixel;
            unsigned char* out = with_alpha.data() + p * out_pixel;
            std::memcpy(out, in, in_pixel);
            bool transparent = true;
            for (std::size_t c = 0; c < channels; ++c)
                transparent = transparent &&
                              (info_.depth == 16 ? sample<2>(in, c) : sample<1>(in, c)) == keys[c];
            const int alpha = transparent ? 0 : opaque;
            out[in_pixel] = static_cast<unsigned char>(alpha >> (8 * (bytes - 1)));
            if (bytes == 2) out[in_pixel + 1] = static_cast<unsigned char>(alpha & 0xFF);
        }
        frame_.bytes.swap(with_alpha);
    }

    // The alpha channel of the whole image, from the decoded bytes.
    void take_alpha() {
        const int channels = channels_of(info_);
        const std::size_t n = static_cast<std::size_t>(info_.w) * static_cast<std::size_t>(info_.h);
        frame_.alpha.resize(n);
        for (std::size_t p = 0; p < n; ++p) {
            const std::size_t i = p * static_cast<std::size_t>(channels) + channels - 1;
            frame_.alpha[p] =
                static_cast<std::uint16_t>(info_.depth == 8 ? sample<1>(frame_.bytes.data(), i)
                                                            : sample<2>(frame_.bytes.data(), i));
        }
    }

    std::string path_;
};

class PngWriter final : public FrameWriter {
public:
    PngWriter(OutputFile& file, const StreamInfo& source, const Options& options)
        : file_(file), level_(options.png_level), threads_(options.threads) {
        switch (source.layout) {
            case Layout::gray:
            case Layout::rgb:
                layout_ = source;
                break;
            case Layout::ycbcr:
                layout_.layout = source.mono ? Layout::gray : Layout::rgb;
                layout_.depth = source.depth > 8 ? 16 : 8;
                libjpeg_rgb_ = source.libjpeg_rgb && !source.mono && layout_.depth == 8;
                break;
            case Layout::raw:
                layout_.layout = Layout::rgb;
                layout_.depth = 8;
                break;
        }
        layout_.icc_name = source.icc_name;
        layout_.icc_profile = source.icc_profile;
        layout_.exif = source.exif;
        if (source.frame_count && *source.frame_count > 1)
            throw UsageError("'" + file.path() + "': a PNG holds one frame, the input has " +
                             std::to_string(*source.frame_count));
    }

    void size_bytes(Frame& to, std::int32_t w, std::int32_t h) const override {
        to.w = w;
        to.h = h;
        to.bytes.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) *
                        static_cast<std::size_t>(channels_of(layout_)) *
                        (layout_.depth == 16 ? 2 : 1));
    }

    // The samples of rows y0 .. y1 - 1, as in the file (16-bit ones big-endian), alpha from the
    // frame's or opaque.
    void convert_rows(const Frame& from, Frame& to, std::int32_t y0,
                      std::int32_t y1) const override {
        if (layout_.depth == 8)
            fill_rows<1>(from, to, y0, y1);
        else
            fill_rows<2>(from, to, y0, y1);
    }

    void write_bytes(const Frame& frame) override {
        if (written_)
            throw UsageError("'" + file_.path() + "': a PNG holds one frame, the input has more");
        written_ = true;
        const std::uint8_t colour =
            layout_.layout == Layout::gray
                ? (layout_.alpha ? SPNG_COLOR_TYPE_GRAYSCALE_ALPHA : SPNG_COLOR_TYPE_GRAYSCALE)
                : (layout_.alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR);
        // The threads compress once the filter's are done with the picture: a pool of its own.
        ThreadPool pool(threads_);
        write_png(file_, frame.w, frame.h, colour, static_cast<std::uint8_t>(layout_.depth),
                  frame.bytes, &layout_, {level_, &pool});
    }

private:
    template <int kBytes>
    void fill_rows(const Frame& from, Frame& to, std::int32_t y0, std::int32_t y1) const {
        // Locals, not members: stores through unsigned char may alias anything, so a member
        // would be loaded again after every sample.
        const std::size_t channels = static_cast<std::size_t>(channels_of(layout_));
        const int max = (1 << layout_.depth) - 1;
        const bool gray = layout_.layout == Layout::gray, alpha = layout_.alpha;
        const std::size_t n = from.pixels.size();
        const YcPixel* pixels = from.pixels.data();
        const std::uint16_t* alpha_in = from.alpha.size() == n ? from.alpha.data() : nullptr;
        unsigned char* data = to.bytes.data();
        auto put = [&](std::size_t i, int v) {
            if constexpr (kBytes == 1) {
                data[i] = static_cast<unsigned char>(v);
            } else {
                data[2 * i] = static_cast<unsigned char>(v >> 8);  // big-endian, as in the file
                data[2 * i + 1] = static_cast<unsigned char>(v & 0xFF);
            }
        };
        const auto w = static_cast<std::size_t>(from.w);
        if (kBytes == 1 && !gray && !alpha) {
            const std::size_t first = static_cast<std::size_t>(y0) * w;
            (libjpeg_rgb_ ? jpeg_rgb8_from_host : rgb8_from_host)(
                pixels + first, static_cast<std::size_t>(y1 - y0) * w, data + 3 * first);
            return;
        }
        for (std::size_t p = static_cast<std::size_t>(y0) * w; p < static_cast<std::size_t>(y1) * w;
             ++p) {
            const std::size_t i = p * channels;
            if (gray) {
                put(i, gray_from_host(pixels[p], max));
            } else {
                const auto rgb = rgb_from_host(pixels[p], max);
                put(i, rgb[0]);
                put(i + 1, rgb[1]);
                put(i + 2, rgb[2]);
            }
            if (alpha) put(i + channels - 1, alpha_in ? alpha_in[p] : max);
        }
    }

    OutputFile& file_;
    int level_;
    std::int32_t threads_;
    StreamInfo layout_;
    bool libjpeg_rgb_ = false;  // libjpeg's conversion of a JPEG's Y'CbCr (cli/jpeg_colour.h)
    bool written_ = false;
};

std::unique_ptr<FrameReader> open_png_reader(const std::string& path, const Options& options) {
    return std::make_unique<PngReader>(path, options);
}

std::unique_ptr<FrameWriter> open_png_writer(OutputFile& file, const StreamInfo& source,
                                             const Options& options) {
    return std::make_unique<PngWriter>(file, source, options);
}

// libspng keeps pointers to the profile and the texts it is given until it encodes: they live
// here, beside the encoder.
struct ChunkData {
    std::vector<char> profile;
    std::vector<char> exif;
    std::vector<PngChunks::Text> texts;
    std::vector<spng_text> spng_texts;
};

int set_chunks(spng_ctx* ctx, const StreamInfo& meta, ChunkData& data) {
    int ret = 0;
    if (!meta.icc_profile.empty()) {
        spng_iccp iccp{};
        std::string name = meta.icc_name.empty() ? "ICC profile" : meta.icc_name.substr(0, 79);
        std::memcpy(iccp.profile_name, name.c_str(), name.size() + 1);
        data.profile.assign(meta.icc_profile.begin(), meta.icc_profile.end());
        iccp.profile_len = data.profile.size();
        iccp.profile = data.profile.data();
        ret = spng_set_iccp(ctx, &iccp);
    }
    if (ret == 0 && !meta.exif.empty()) {
        data.exif.assign(meta.exif.begin(), meta.exif.end());
        spng_exif exif{};
        exif.length = data.exif.size();
        exif.data = data.exif.data();
        ret = spng_set_exif(ctx, &exif);
    }
    const PngChunks* c = meta.png_chunks.get();
    if (!c || ret != 0) return ret;
    if (c->srgb) ret = spng_set_srgb(ctx, *c->srgb);
    if (ret == 0 && c->gama) ret = spng_set_gama_int(ctx, *c->gama);
    if (ret == 0 && c->chrm) {
        spng_chrm_int chrm = *c->chrm;
        ret = spng_set_chrm_int(ctx, &chrm);
    }
    if (ret == 0 && c->phys) {
        spng_phys phys = *c->phys;
        ret = spng_set_phys(ctx, &phys);
    }
    if (ret == 0 && !c->texts.empty()) {
        data.texts = c->texts;
        data.spng_texts.assign(data.texts.size(), spng_text{});
        for (std::size_t i = 0; i < data.texts.size(); ++i) {
            PngChunks::Text& t = data.texts[i];
            spng_text& out = data.spng_texts[i];
            std::memcpy(out.keyword, t.keyword.c_str(),
                        std::min<std::size_t>(t.keyword.size() + 1, 80));
            out.type = t.type;
            out.length = t.text.size();
            out.text = t.text.data();
            out.compression_flag = t.compression_flag;
            out.compression_method = t.compression_method;
            out.language_tag = t.language_tag.data();
            out.translated_keyword = t.translated_keyword.data();
        }
        ret = spng_set_text(ctx, data.spng_texts.data(),
                            static_cast<std::uint32_t>(data.spng_texts.size()));
    }
    return ret;
}

}  // namespace

void write_png(OutputFile& file, std::int32_t w, std::int32_t h, std::uint8_t colour_type,
               std::uint8_t depth, std::span<const unsigned char> data, const StreamInfo* meta,
               const PngEncoding& encoding) {
    // libspng writes the signature and every chunk before the image data; the image data is
    // compressed here, on several threads, and its IDAT chunks and IEND written after them.
    std::vector<unsigned char> png;
    const auto append = [](spng_ctx*, void* user, void* from, std::size_t length) {
        auto* to = static_cast<std::vector<unsigned char>*>(user);
        const auto* bytes = static_cast<const unsigned char*>(from);
        to->insert(to->end(), bytes, bytes + length);
        return 0;
    };
    Ctx ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) throw std::bad_alloc();
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(w);
    ihdr.height = static_cast<std::uint32_t>(h);
    ihdr.bit_depth = depth;
    ihdr.color_type = colour_type;
    int ret = spng_set_png_stream(ctx.get(), append, &png);
    if (ret == 0) ret = spng_set_ihdr(ctx.get(), &ihdr);
    ChunkData chunk_data;
    if (ret == 0 && meta) ret = set_chunks(ctx.get(), *meta, chunk_data);
    if (ret == 0) ret = spng_encode_chunks(ctx.get());
    if (ret != 0)
        throw RunError("'" + file.path() + "': cannot encode the PNG: " + spng_strerror(ret));

    const int channels = (colour_type == SPNG_COLOR_TYPE_GRAYSCALE         ? 1
                          : colour_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ? 2
                          : colour_type == SPNG_COLOR_TYPE_TRUECOLOR       ? 3
                                                                           : 4);
    PngRows rows;
    rows.w = w;
    rows.h = h;
    rows.bytes_per_pixel = channels * (depth == 16 ? 2 : 1);
    rows.data = data;
    const std::vector<unsigned char> stream = deflate_png_rows(rows, encoding.level, encoding.pool);

    const auto chunk = [&](const char* type, const unsigned char* body, std::size_t length) {
        unsigned char head[8];
        for (int i = 0; i < 4; ++i) {
            head[i] = static_cast<unsigned char>((length >> (24 - 8 * i)) & 0xFF);
            head[4 + i] = static_cast<unsigned char>(type[i]);
        }
        uLong crc = crc32_z(crc32_z(0, nullptr, 0), head + 4, 4);
        if (length != 0) crc = crc32_z(crc, body, length);  // (a null body would restart it)
        unsigned char tail[4];
        for (int i = 0; i < 4; ++i)
            tail[i] = static_cast<unsigned char>((crc >> (24 - 8 * i)) & 0xFF);
        png.insert(png.end(), head, head + 8);
        png.insert(png.end(), body, body + length);
        png.insert(png.end(), tail, tail + 4);
    };
    // IDAT chunks of at most 1 MB, as other encoders write them.
    constexpr std::size_t kIdatBytes = std::size_t{1} << 20;
    png.reserve(png.size() + stream.size() + 12 * (stream.size() / kIdatBytes + 2));
    for (std::size_t at = 0; at < stream.size(); at += kIdatBytes)
        chunk("IDAT", stream.data() + at, std::min(kIdatBytes, stream.size() - at));
    chunk("IEND", nullptr, 0);
    file.write(png.data(), png.size());
}

const Format kPngFormat = {"png", ".png", &open_png_reader, &open_png_writer};

}  // namespace korvane::cli
