// JPEG stills through libjpeg(-turbo): baseline, progressive and arithmetic-coded, gray, YCbCr
// and RGB, any chroma subsampling. Colour is decoded straight to the file's own full-range
// BT.601 Y'CbCr (chroma upsampled by the library's usual interpolation), not through RGB, so the
// samples reach the filter as the encoder's transform left them. The luma quantisation table and
// the ICC profile are kept in the stream's description.
//
// libjpeg reports fatal errors through a callback that must not return. It leaves through
// longjmp, back into decode() below: a function that keeps no C++ object with a destructor of
// its own, so the jump skips only libjpeg's C frames and the callback. Everything that needs
// cleaning up (the decompressor, the ICC buffer, the bytes read) belongs to the Decoder in the
// caller's frame.
// clang-format off
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// The inverse DCT's methods, which the reader wraps to look at every block (BlockCheck).
#include <jpegint.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cli/errors.h"
#include "cli/exif.h"
#include "cli/formats.h"
#include "cli/jpeg_errors.h"
#include "cli/output_file.h"
#include "picture/convert.h"

namespace korvane::cli {
namespace {

// Warnings about metadata that this reader does not use, or about bytes between segments that
// libjpeg skipped (the picture itself is whole; after compressed data began, see
// stray_bytes_after_a_scan()): the decode goes on. Every other warning means
// that the compressed picture is damaged or cut short, where libjpeg would go on and hand back
// grey or garbled blocks that the filter cannot repair and the output would hide: the first one
// ends the decode like an error.
bool harmless(int code) {
    switch (code) {
        case JWRN_ADOBE_XFORM:
        case JWRN_BOGUS_ICC:
        case JWRN_EXTRANEOUS_DATA:
        case JWRN_JFIF_MAJOR:
            return true;
        default:
            return false;
    }
}

// Bytes skipped after compressed data began: a scan's entropy-coded data must end where its
// last block does, so bytes left over before the next marker mean that the decoder lost step
// with the data (a flipped bit of Huffman data usually ends its scan early, or late, where
// libjpeg meets the marker and says so). Some encoders leave one or two bytes before the
// end-of-image marker of a whole picture: those pass, with a warning.
bool stray_bytes_after_a_scan(j_common_ptr cinfo) {
    if (cinfo->err->msg_code != JWRN_EXTRANEOUS_DATA || !cinfo->is_decompressor) return false;
    const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
    const int count = cinfo->err->msg_parm.i[0], marker = cinfo->err->msg_parm.i[1];
    return d->input_scan_number > 0 && !(marker == JPEG_EOI && count <= 2);
}

extern "C" void on_message(j_common_ptr cinfo, int level) {
    if (level >= 0) return;  // trace messages
    auto* err = reinterpret_cast<JpegErrors*>(cinfo->err);
    const int code = cinfo->err->msg_code;
    if (!harmless(code) || stray_bytes_after_a_scan(cinfo)) {
        (*cinfo->err->format_message)(cinfo, err->message);
        std::longjmp(err->jump, 1);
    }
    if (code == JWRN_EXTRANEOUS_DATA) err->extraneous_data = true;
    if (code == JWRN_BOGUS_ICC) err->bad_icc = true;
}

// What a JPEG without damage can hold, checked on every block as it goes to the inverse DCT.
// JPEG has no checksum: damaged entropy-coded data decodes into other coefficients, silently
// where libjpeg meets no invalid code (one flipped bit of Huffman data can garble the rest of a
// scan), and arithmetic-coded data may legitimately end before its last blocks, so libjpeg says
// nothing about data cut short and closed by a marker (the rest decodes from zeros). Garbage
// coefficients soon describe a block that no 8-bit picture has. JPEG's DCT is orthonormal, with F00
// = 8 times the block's mean of level-shifted samples s (-128..127), so for every block
//   - F00 lies in -1024..1016 (the mean of samples in range), and
//   - the AC energy, the sum of F(u,v)^2 over u,v not both 0, equals the sum of (s - mean)^2,
//     which samples in -128..127 hold to at most 64 (127 - mean) (mean + 128).
// Each coefficient is quantised: an encoder's coefficient lies within one step q of the decoded
// c q (rounding, or a trellis that picks the other neighbour), and its DCT may be off by a few
// units more (integer DCTs), so each |c q| is taken q + 4 closer to 0, and F00 anywhere within
// q + 4 of c q. A block that fails either is evidence of damage; a block that passes
// proves nothing.
struct BlockCheck {
    inverse_DCT_method_ptr idct[MAX_COMPONENTS] = {};
    // Per component: every coefficient is known. In a progressive file that lacks some of its
    // later scans, libjpeg estimates what is missing (AC, and DC where no AC is known) from the
    // neighbouring blocks (block smoothing), without bound, before the inverse DCT: such a
    // component's blocks are checked in the coefficients as decoded instead (check_decoded()),
    // whose missing bits only make them smaller.
    bool whole[MAX_COMPONENTS] = {};
    bool implausible = false;
    JDIMENSION row = 0;  // the output row being made when the first implausible block was met
};

bool plausible_block(const JCOEF* coef, const UINT16* step) {
    const std::int32_t q0 = step[0], dc = coef[0] * q0, slack = q0 + 4;
    if (dc < -1024 - slack || dc > 1016 + slack) return false;
    // (1016 - m) (m + 1024) is 64 (127 - mean) (mean + 128) for m = 8 mean, the most AC energy a
    // block of that mean can hold; largest at m = -4, so m is taken as close to -4 as the
    // step allows.
    const std::int32_t m = std::clamp<std::int32_t>(-4, dc - slack, dc + slack);
    const std::int32_t most =
        std::max<std::int32_t>(0, 1016 - m) * std::max<std::int32_t>(0, m + 1024);
    // Each term is capped at 1100^2, more than any one coefficient may have: the sum of 63
    // stays within 32 bits, and the loop vectorises.
    std::int32_t energy = 0;
    for (int k = 1; k < DCTSIZE2; ++k) {
        const std::int32_t q = step[k];
        const std::int32_t a = std::abs(std::int32_t{coef[k]}) * q - (q + 4);
        const std::int32_t t = std::clamp<std::int32_t>(a, 0, 1100);
        energy += t * t;
    }
    return energy <= most;
}

extern "C" void checked_idct(j_decompress_ptr cinfo, jpeg_component_info* comp, JCOEFPTR coef,
                             JSAMPARRAY out, JDIMENSION col) {
    auto* check = static_cast<BlockCheck*>(cinfo->client_data);
    if (!check->implausible && check->whole[comp->component_index] && comp->quant_table &&
        !plausible_block(coef, comp->quant_table->quantval)) {
        check->implausible = true;
        check->row = cinfo->output_scanline;
    }
    check->idct[comp->component_index](cinfo, comp, coef, out, col);
}

// The check of the blocks of components that are not whole (BlockCheck::whole), in the
// coefficients of a progressive file as its scans left them; before jpeg_finish_decompress()
// releases them.
void check_decoded(j_decompress_ptr cinfo, BlockCheck& check) {
    if (!cinfo->progressive_mode || !cinfo->coef || !cinfo->coef->coef_arrays) return;
    for (int c = 0; c < cinfo->num_components && c < MAX_COMPONENTS; ++c) {
        const jpeg_component_info& comp = cinfo->comp_info[c];
        if (check.whole[c] || !comp.quant_table) continue;
        for (JDIMENSION by = 0; by < comp.height_in_blocks && !check.implausible; ++by) {
            JBLOCKARRAY row = (*cinfo->mem->access_virt_barray)(
                reinterpret_cast<j_common_ptr>(cinfo), cinfo->coef->coef_arrays[c], by, 1, FALSE);
            for (JDIMENSION bx = 0; bx < comp.width_in_blocks; ++bx)
                if (!plausible_block(row[0][bx], comp.quant_table->quantval)) {
                    check.implausible = true;
                    check.row =
                        by * DCTSIZE *
                        static_cast<JDIMENSION>(cinfo->max_v_samp_factor / comp.v_samp_factor);
                    break;
                }
        }
    }
}

// Reads the file through a buffer of its own, after the bytes that decode_file() read first to
// see what the file is (served from Decoder::head).
struct Source {
    jpeg_source_mgr pub;  // first, so that cinfo->src points at the whole source
    std::FILE* file = nullptr;
    bool started = false;  // something was read
    JOCTET buffer[4096];
};

extern "C" void source_init(j_decompress_ptr) {}
extern "C" void source_term(j_decompress_ptr) {}

extern "C" boolean source_fill(j_decompress_ptr cinfo) {
    auto* src = reinterpret_cast<Source*>(cinfo->src);
    std::size_t n = std::fread(src->buffer, 1, sizeof src->buffer, src->file);
    if (n == 0) {
        if (std::ferror(src->file)) ERREXIT(cinfo, JERR_FILE_READ);
        if (!src->started) ERREXIT(cinfo, JERR_INPUT_EMPTY);
        WARNMS(cinfo, JWRN_JPEG_EOF);  // ends the decode (on_message)
        src->buffer[0] = 0xFF;
        src->buffer[1] = JPEG_EOI;
        n = 2;
    }
    src->started = true;
    src->pub.next_input_byte = src->buffer;
    src->pub.bytes_in_buffer = n;
    return TRUE;
}

extern "C" void source_skip(j_decompress_ptr cinfo, long count) {
    jpeg_source_mgr* src = cinfo->src;
    if (count <= 0) return;
    while (count > static_cast<long>(src->bytes_in_buffer)) {
        count -= static_cast<long>(src->bytes_in_buffer);
        source_fill(cinfo);
    }
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<std::size_t>(count);
}

// The decompressor and what it allocated, released whichever way the decode ends.
struct Decoder {
    jpeg_decompress_struct cinfo{};
    JpegErrors err{};
    Source src{};
    BlockCheck blocks{};
    std::vector<unsigned char> head;  // the first bytes of the file
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
    int quant[64] = {};              // luma table in natural order; all 0 when none
    std::vector<std::uint8_t> exif;  // the APP1 EXIF segment after its marker; empty when none
};

// The EXIF segment: APP1 starting "Exif\0\0"; the first one, as readers take it.
void keep_exif(const jpeg_decompress_struct& cinfo, Header& header) {
    static constexpr char kExif[] = {'E', 'x', 'i', 'f', 0, 0};
    for (jpeg_saved_marker_ptr m = cinfo.marker_list; m; m = m->next) {
        if (m->marker == JPEG_APP0 + 1 && m->data_length >= sizeof kExif &&
            std::memcmp(m->data, kExif, sizeof kExif) == 0) {
            header.exif.assign(m->data, m->data + m->data_length);
            return;
        }
    }
}

// Fuzzed headers name huge frames in a few bytes, and a progressive one makes libjpeg fill
// coefficient buffers for all of it before anything is read: in fuzz builds the reader keeps
// frames, beyond --max-megapixels, small enough that every input is quick.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr std::uint64_t kMaxFuzzPixels = std::uint64_t{1} << 22;
#else
constexpr std::uint64_t kMaxFuzzPixels = ~std::uint64_t{0};
#endif

enum class Outcome { failed, decoded, unsupported_colour, too_large };

// Reads the header into `header` and, when the picture can be read and has at most
// `max_pixels`, calls `prepare()` and decodes it, handing each row to `row_out(samples,
// components, y)`. On `failed` libjpeg's message is in d.err.message. Keeps no object with a
// destructor in its own frame (see the top of the file); the callbacks may throw (a frame too
// large, bad_alloc), which leaves normally, as does bad_alloc from keeping the EXIF segment.
template <typename Prepare, typename RowOut>
Outcome decode(Decoder& d, std::FILE* file, Header& header, std::uint64_t max_pixels,
               Prepare&& prepare, RowOut&& row_out) {
    if (setjmp(d.err.jump)) return Outcome::failed;
    jpeg_create_decompress(&d.cinfo);
    d.created = true;
    d.src.pub.init_source = source_init;
    d.src.pub.fill_input_buffer = source_fill;
    d.src.pub.skip_input_data = source_skip;
    d.src.pub.resync_to_restart = jpeg_resync_to_restart;
    d.src.pub.term_source = source_term;
    d.src.pub.next_input_byte = d.head.data();
    d.src.pub.bytes_in_buffer = d.head.size();
    d.src.file = file;
    d.src.started = !d.head.empty();
    d.cinfo.src = &d.src.pub;
    d.cinfo.client_data = &d.blocks;
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 1, 0xFFFF);  // EXIF
    jpeg_save_markers(&d.cinfo, JPEG_APP0 + 2, 0xFFFF);  // ICC profile chunks
    jpeg_read_header(&d.cinfo, TRUE);
    jpeg_read_icc_profile(&d.cinfo, &d.icc, &d.icc_size);
    keep_exif(d.cinfo, header);

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
    if (std::uint64_t{d.cinfo.image_width} * d.cinfo.image_height >
        std::min(max_pixels, kMaxFuzzPixels))
        return Outcome::too_large;
    prepare();
    jpeg_start_decompress(&d.cinfo);
    // Set for the one output pass by jpeg_start_decompress(), which for a progressive file has
    // read every scan: each block goes through the check once, with its final coefficients.
    for (int c = 0; c < d.cinfo.num_components && c < MAX_COMPONENTS; ++c) {
        d.blocks.idct[c] = d.cinfo.idct->inverse_DCT[c];
        d.cinfo.idct->inverse_DCT[c] = checked_idct;
        // coef_bits: the precision still missing from each coefficient (0: none, -1: all).
        d.blocks.whole[c] = true;
        if (d.cinfo.progressive_mode && d.cinfo.coef_bits)
            for (int k = 0; k < DCTSIZE2; ++k) d.blocks.whole[c] &= d.cinfo.coef_bits[c][k] == 0;
    }
    JSAMPARRAY row = (*d.cinfo.mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(&d.cinfo), JPOOL_IMAGE,
        d.cinfo.output_width * static_cast<JDIMENSION>(d.cinfo.output_components), 1);
    while (d.cinfo.output_scanline < d.cinfo.output_height) {
        const JDIMENSION y = d.cinfo.output_scanline;
        if (jpeg_read_scanlines(&d.cinfo, row, 1) == 1)
            row_out(row[0], d.cinfo.output_components, static_cast<std::int32_t>(y));
    }
    check_decoded(&d.cinfo, d.blocks);
    jpeg_finish_decompress(&d.cinfo);
    return Outcome::decoded;
}

class JpegReader final : public PictureReader {
public:
    JpegReader(const std::string& path, const Options& options) : path_(path) {
        const InputFile file = open_input(path);
        decode_file(file.get(), options);
    }

    // The picture, decoded into pixels when the file was opened.

    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        copy_pixel_rows(from, y0, y1, to, stride);
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw InputError("'" + path_ + "': " + what);
    }

    void decode_file(std::FILE* file, const Options& options) {
        Decoder d;
        // What the file is, from its first bytes; they are then decoded from d.bytes.
        d.head.resize(16);
        d.head.resize(std::fread(d.head.data(), 1, d.head.size(), file));
        refuse_other_format(d.head, "JPEG", path_);

        // Host value of every 8-bit code: JPEG's Y'CbCr is full range.
        constexpr YcbcrScale kScale{8, true};
        std::int16_t luma[256], chroma[256];
        for (int v = 0; v < 256; ++v) {
            luma[v] = luma_to_host(v, kScale);
            chroma[v] = chroma_to_host(v, kScale);
        }

        d.cinfo.err = jpeg_std_error(&d.err.pub);
        d.err.pub.error_exit = jpeg_error_jump;
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
        const std::uint64_t max_pixels =
            std::uint64_t{1000000} * static_cast<std::uint64_t>(options.max_megapixels);
        switch (decode(d, file, header, max_pixels, prepare, row_out)) {
            case Outcome::failed:
                fail(std::string("not a readable JPEG: ") + d.err.message);
            case Outcome::unsupported_colour:
                fail(header.colour == JCS_CMYK || header.colour == JCS_YCCK
                         ? "CMYK JPEG is not supported (gray and colour are)"
                         : "JPEG of an unknown colour space is not supported (gray and colour "
                           "are)");
            case Outcome::too_large:
                check_pixel_limit(header.w, header.h, options, path_);
                fail("frame size " + std::to_string(header.w) + "x" + std::to_string(header.h) +
                     " is too large to hold");
            case Outcome::decoded:
                break;
        }
        if (d.blocks.implausible)
            fail("not a readable JPEG: its compressed data is damaged: a block near row " +
                 std::to_string(d.blocks.row + 1) +
                 " decodes to values that no 8-bit picture has (the file is cut short or "
                 "corrupt)");
        const Exif exif = read_exif(header.exif);
        info_.orientation = exif.orientation;
        info_.exif = exif.tiff;
        info_.layout = Layout::ycbcr;
        info_.w = header.w;
        info_.h = header.h;
        info_.depth = 8;
        info_.full_range = true;
        info_.mono = header.colour == JCS_GRAYSCALE;
        info_.jpeg_colour = header.colour == JCS_YCbCr;
        info_.chroma = info_.mono ? "mono" : "444";
        info_.tags = {"F25:1", "Ip", "A1:1", info_.mono ? "Cmono" : "C444", "XCOLORRANGE=FULL"};
        info_.frame_count = 1;
        if (header.quant[0] != 0) info_.luma_quant.assign(header.quant, header.quant + 64);
        if (d.icc && d.icc_size > 0) {
            info_.icc_name = "ICC profile";
            info_.icc_profile.assign(d.icc, d.icc + d.icc_size);
        }
        // Not hidden by --quiet, which hides progress and the strength line: what is lost
        // from the file is always said.
        if (d.err.bad_icc) warn("its ICC profile is malformed and is left out of the output");
        if (d.err.extraneous_data)
            warn("stray bytes between its segments were skipped (the picture is whole)");
        if (!header.exif.empty() && exif.tiff.empty())
            warn(std::string("its EXIF data is malformed and is left out of the output") +
                 (exif.orientation != 1 ? " (its orientation is applied)" : ""));
    }

    void warn(const std::string& what) const {
        std::fprintf(stderr, "korvane-dct: warning: '%s': %s\n", path_.c_str(), what.c_str());
    }

    std::string path_;
};

std::unique_ptr<FrameReader> open_jpeg_reader(const std::string& path, const Options& options) {
    return std::make_unique<JpegReader>(path, options);
}

std::unique_ptr<FrameWriter> open_jpeg_writer(OutputFile& file, const StreamInfo& source,
                                              const Options& options) {
    return open_jpeg_output(file, source, options);
}

}  // namespace

const Format kJpegFormat = {"jpeg", ".jpeg", &open_jpeg_reader, &open_jpeg_writer};
const Format kJpgFormat = {"jpg", ".jpg", &open_jpeg_reader, &open_jpeg_writer};

}  // namespace korvane::cli
