// JPEG stills through libjpeg(-turbo): baseline, progressive and arithmetic-coded, gray, YCbCr
// and RGB, any chroma subsampling. Colour is decoded straight to the file's own full-range
// BT.601 Y'CbCr (chroma upsampled by the library's usual interpolation), not through RGB, so the
// samples reach the filter as the encoder's transform left them. The luma quantisation table and
// the ICC profile are kept in the stream's description.
//
// libjpeg reports fatal errors through a callback that must not return. It leaves through
// longjmp, back into decode() below: a function that keeps no C++ object with a destructor of
// its own, so the jump skips only libjpeg's C frames and the callback. Everything that needs
// cleaning up (the decompressor, the ICC buffer) belongs to the Decoder in the caller's frame.
// clang-format off
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/output_file.h"
#include "picture/convert.h"

namespace korvane::cli {
namespace {

struct ErrorManager {
    jpeg_error_mgr pub;  // first, so that a j_common_ptr's err points at the whole manager
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    bool extraneous_data;  // a warning that the data had stray bytes between segments
    bool bad_icc;          // a warning that an ICC marker was malformed
};

// Warnings that mean the compressed picture is damaged or cut short: libjpeg would go on and
// hand back a picture with grey or garbled blocks, which the filter cannot repair and the output
// would hide. They end the decode like errors.
bool damages_the_picture(int code) {
    switch (code) {
        case JWRN_ARITH_BAD_CODE:
        case JWRN_BOGUS_PROGRESSION:
        case JWRN_HIT_MARKER:
        case JWRN_HUFF_BAD_CODE:
        case JWRN_JPEG_EOF:
        case JWRN_MUST_RESYNC:
        case JWRN_NOT_SEQUENTIAL:
            return true;
        default:
            return false;
    }
}

extern "C" void on_error(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

extern "C" void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    const int code = cinfo->err->msg_code;
    if (damages_the_picture(code)) {
        (*cinfo->err->format_message)(cinfo, err->message);
        std::longjmp(err->jump, 1);
    }
    if (code == JWRN_EXTRANEOUS_DATA) err->extraneous_data = true;
    if (code == JWRN_BOGUS_ICC) err->bad_icc = true;
    // Other warnings (an unknown JFIF revision or Adobe transform code) are about metadata that
    // this reader does not use.
}

// The decompressor and what it allocated, released whichever way the decode ends.
struct Decoder {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    bool created = false;
    JOCTET* icc = nullptr;  // malloc'ed by jpeg_read_icc_profile
    unsigned int icc_size = 0;

    ~Decoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
        std::free(icc);
    }
};

// What decode() learns from the header.
struct Header {
    J_COLOR_SPACE colour = JCS_UNKNOWN;
    std::int32_t w = 0, h = 0;
    int quant[64] = {};  // luma table in natural order; all 0 when none
};

// Largest frame the reader decodes. libjpeg allows 65500 x 65500; the frame checks allow 2^28
// pixels. Fuzzed headers name huge frames in a few bytes, and a progressive one makes libjpeg
// fill coefficient buffers for all of it before anything is read: in fuzz builds keep frames
// small enough that every input is quick.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr std::uint64_t kMaxDecodePixels = std::uint64_t{1} << 22;
#else
constexpr std::uint64_t kMaxDecodePixels = ~std::uint64_t{0};
#endif

enum class Outcome { failed, decoded, unsupported_colour, too_large };

// Reads the header into `header` and, when the picture can be read, calls `prepare()` and
// decodes it, handing each row to `row_out(samples, components, y)`. On `failed` libjpeg's
// message is in d.err.message. Keeps no object with a destructor in its own frame (see the top
// of the file); the callbacks may throw (a frame too large, bad_alloc), which leaves normally.
template <typename Prepare, typename RowOut>
Outcome decode(Decoder& d, std::FILE* file, Header& header, Prepare&& prepare, RowOut&& row_out) {
    if (setjmp(d.err.jump)) return Outcome::failed;
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    jpeg_stdio_src(&d.cinfo, file);
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
    jpeg_read_header(&d.cinfo, TRUE);
    jpeg_read_icc_profile(&d.cinfo, &d.icc, &d.icc_size);

    header.colour = d.cinfo.jpeg_color_space;
    header.w = static_cast<std::int32_t>(d.cinfo.image_width);
    header.h = static_cast<std::int32_t>(d.cinfo.image_height);
    if (d.cinfo.num_components >= 1) {
        const int slot = d.cinfo.comp_info[0].quant_tbl_no;
        const JQUANT_TBL* table =
            slot >= 0 && slot < NUM_QUANT_TBLS ? d.cinfo.quant_tbl_ptrs[slot] : nullptr;
        if (table)
            for (int i = 0; i < 64; ++i) header.quant[i] = table->quantval[i];
    }
    switch (header.colour) {
        case JCS_GRAYSCALE:
        case JCS_YCbCr:
        case JCS_RGB:
            d.cinfo.out_color_space = header.colour;
            break;
        default:
            return Outcome::unsupported_colour;
    }
    if (std::uint64_t{d.cinfo.image_width} * d.cinfo.image_height > kMaxDecodePixels)
        return Outcome::too_large;
    prepare();

    jpeg_start_decompress(&d.cinfo);
    JSAMPARRAY row = (*d.cinfo.mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(&d.cinfo), JPOOL_IMAGE,
        d.cinfo.output_width * static_cast<JDIMENSION>(d.cinfo.output_components), 1);
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION y = d.cinfo.output_scanline;
        if (jpeg_read_scanlines(&d.cinfo, row, 1) == 1)
            row_out(row[0], d.cinfo.output_components, static_cast<std::int32_t>(y));
    }
    jpeg_finish_decompress(&d.cinfo);
    return Outcome::decoded;
}

class JpegReader final : public FrameReader {
public:
    JpegReader(const std::string& path, const Options& options) : path_(path) {
        const InputFile file = open_input(path);
        decode_file(file.get(), options);
    }

    bool read(Frame& frame) override {
        if (done_) return false;
        done_ = true;
        frame = std::move(frame_);
        return true;
    }

    const StreamInfo& info() const override { return info_; }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw InputError("'" + path_ + "': " + what);
    }

    void decode_file(std::FILE* file, const Options& options) {
        // Host value of every 8-bit code: JPEG's Y'CbCr is full range.
        constexpr YcbcrScale kScale{8, true};
        std::int16_t luma[256], chroma[256];
        for (int v = 0; v < 256; ++v) {
            luma[v] = luma_to_host(v, kScale);
            chroma[v] = chroma_to_host(v, kScale);
        }

        Decoder d;
        d.cinfo.err = jpeg_std_error(&d.err.pub);
        d.err.pub.error_exit = on_error;
        d.err.pub.emit_message = on_message;
        Header header;
        const auto prepare = [&] {
            frame_bytes(header.w, header.h, sizeof(YcPixel), path_);
            frame_.w = header.w;
            frame_.h = header.h;
            frame_.pixels.resize(static_cast<std::size_t>(header.w) *
                                 static_cast<std::size_t>(header.h));
        };
        const auto row_out = [&](const JSAMPLE* in, int components, std::int32_t y) {
            const auto w = static_cast<std::size_t>(header.w);
            YcPixel* out = frame_.pixels.data() + static_cast<std::size_t>(y) * w;
            for (std::size_t x = 0; x < w; ++x) {
                const JSAMPLE* s = in + x * static_cast<std::size_t>(components);
                if (components == 1)
                    out[x] = {luma[s[0]], 0, 0};
                else if (header.colour == JCS_RGB)
                    out[x] = rgb_to_host(s[0], s[1], s[2], 255);
                else
                    out[x] = {luma[s[0]], chroma[s[1]], chroma[s[2]]};
            }
        };
        switch (decode(d, file, header, prepare, row_out)) {
            case Outcome::failed:
                fail(std::string("not a readable JPEG: ") + d.err.message);
            case Outcome::unsupported_colour:
                fail(header.colour == JCS_CMYK || header.colour == JCS_YCCK
                         ? "CMYK JPEG is not supported (gray and colour are)"
                         : "JPEG of an unknown colour space is not supported (gray and colour "
                           "are)");
            case Outcome::too_large:
                fail("frame size " + std::to_string(header.w) + "x" + std::to_string(header.h) +
                     " is too large to hold");
            case Outcome::decoded:
                break;
        }
        info_.layout = Layout::ycbcr;
        info_.w = header.w;
        info_.h = header.h;
        info_.depth = 8;
        info_.full_range = true;
        info_.mono = header.colour == JCS_GRAYSCALE;
        info_.chroma = info_.mono ? "mono" : "444";
        info_.tags = {"F25:1", "Ip", "A1:1", info_.mono ? "Cmono" : "C444", "XCOLORRANGE=FULL"};
        info_.frame_count = 1;
        if (header.quant[0] != 0) info_.luma_quant.assign(header.quant, header.quant + 64);
        if (d.icc && d.icc_size > 0) {
            info_.icc_name = "ICC profile";
            info_.icc_profile.assign(d.icc, d.icc + d.icc_size);
        }
        if (!options.quiet) {
            if (d.err.bad_icc) warn("its ICC profile is malformed and is left out of the output");
            if (d.err.extraneous_data)
                warn("stray bytes between its segments were skipped (the picture is whole)");
        }
    }

    void warn(const std::string& what) const {
        std::fprintf(stderr, "korvane-dct: warning: '%s': %s\n", path_.c_str(), what.c_str());
    }

    std::string path_;
    StreamInfo info_;
    Frame frame_;
    bool done_ = false;
};

std::unique_ptr<FrameReader> open_jpeg_reader(const std::string& path, const Options& options) {
    return std::make_unique<JpegReader>(path, options);
}

std::unique_ptr<FrameWriter> open_jpeg_writer(OutputFile& file, const StreamInfo&, const Options&) {
    throw UsageError("'" + file.path() +
                     "': korvane-dct reads JPEG but does not write it; write .png or .y4m");
}

}  // namespace

const Format kJpegFormat = {"jpeg", ".jpeg", &open_jpeg_reader, &open_jpeg_writer};
const Format kJpgFormat = {"jpg", ".jpg", &open_jpeg_reader, &open_jpeg_writer};

}  // namespace korvane::cli
