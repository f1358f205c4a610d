// JPEG output through libjpeg(-turbo): one picture, baseline, optimised Huffman tables, at
// --quality (default 95) with chroma at full resolution (4:4:4) unless --jpeg-sampling says
// 4:2:0. Colour is handed to the encoder as full-range BT.601 Y'CbCr, the space the JPEG reader
// decodes to and that the encoder would convert RGB into anyway, so it takes no round trip
// through RGB. The ICC profile and the EXIF data of the input (its orientation already applied
// and set to 1) go into the file.
//
// As in the reader, libjpeg's fatal errors leave through longjmp into encode(), a function that
// keeps no C++ object with a destructor of its own.
// clang-format off
// jpeglib.h uses size_t and FILE without including their headers.
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/jpeg_errors.h"
#include "cli/output_file.h"
#include "picture/convert.h"

namespace korvane::cli {
namespace {

extern "C" void on_write_message(j_common_ptr, int) {}

// What one encode needs, owned by the caller so that a longjmp out of libjpeg leaks nothing.
struct Encoder {
    jpeg_compress_struct cinfo{};
    JpegErrors err{};
    unsigned char* out = nullptr;  // malloc'ed by jpeg_mem_dest
    unsigned long out_size = 0;
    bool created = false;
    ~Encoder() {
        if (created) jpeg_destroy_compress(&cinfo);
        std::free(out);
    }
};

struct Picture {
    int w, h, components;          // 1: gray, 3: Y'CbCr
    const unsigned char* samples;  // interleaved rows of w * components bytes
    int quality;
    bool subsample;  // 4:2:0 instead of 4:4:4
    const std::vector<std::uint8_t>* icc;
    const std::vector<std::uint8_t>* exif;  // TIFF structure, without the "Exif" header
};

// Encodes into e.out; false (with e.err.message) on a libjpeg error.
bool encode(Encoder& e, const Picture& p) {
    e.cinfo.err = jpeg_std_error(&e.err.pub);
    e.err.pub.error_exit = jpeg_error_jump;
    e.err.pub.emit_message = on_write_message;
    if (setjmp(e.err.jump)) return false;
    jpeg_create_compress(&e.cinfo);
    e.created = true;
    jpeg_mem_dest(&e.cinfo, &e.out, &e.out_size);
    e.cinfo.image_width = static_cast<JDIMENSION>(p.w);
    e.cinfo.image_height = static_cast<JDIMENSION>(p.h);
    e.cinfo.input_components = p.components;
    e.cinfo.in_color_space = p.components == 1 ? JCS_GRAYSCALE : JCS_YCbCr;
    jpeg_set_defaults(&e.cinfo);
    jpeg_set_quality(&e.cinfo, p.quality, TRUE);
    e.cinfo.optimize_coding = TRUE;
    e.cinfo.dct_method = JDCT_ISLOW;
    if (p.components == 3) {
        const int luma = p.subsample ? 2 : 1;
        e.cinfo.comp_info[0].h_samp_factor = luma;
        e.cinfo.comp_info[0].v_samp_factor = luma;
        for (int c = 1; c < 3; ++c) {
            e.cinfo.comp_info[c].h_samp_factor = 1;
            e.cinfo.comp_info[c].v_samp_factor = 1;
        }
    }
    jpeg_start_compress(&e.cinfo, TRUE);
    // APP1 "Exif": a marker holds at most 65533 bytes of data; larger EXIF data is left out.
    static const char kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};
    if (!p.exif->empty() && p.exif->size() + sizeof kExifHeader <= 65533) {
        jpeg_write_m_header(&e.cinfo, JPEG_APP0 + 1,
                            static_cast<unsigned>(p.exif->size() + sizeof kExifHeader));
        for (char c : kExifHeader) jpeg_write_m_byte(&e.cinfo, c);
        for (std::uint8_t b : *p.exif) jpeg_write_m_byte(&e.cinfo, b);
    }
    if (!p.icc->empty())
        jpeg_write_icc_profile(&e.cinfo, p.icc->data(), static_cast<unsigned>(p.icc->size()));
    const std::size_t row_bytes =
        static_cast<std::size_t>(p.w) * static_cast<std::size_t>(p.components);
    while (e.cinfo.next_scanline < e.cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(p.samples + e.cinfo.next_scanline * row_bytes);
        jpeg_write_scanlines(&e.cinfo, &row, 1);
    }
    jpeg_finish_compress(&e.cinfo);
    return true;
}

class JpegWriter final : public FrameWriter {
public:
    JpegWriter(OutputFile& file, const StreamInfo& source, const Options& options)
        : file_(file),
          gray_(source.layout == Layout::gray || (source.layout == Layout::ycbcr && source.mono)),
          quality_(options.jpeg_quality),
          subsample_(options.jpeg_sampling == "420"),
          icc_(source.icc_profile),
          exif_(source.exif) {
        if (source.alpha)
            throw UsageError("'" + file.path() +
                             "': a JPEG has no alpha channel, and the input has one; write .png");
        if (source.frame_count && *source.frame_count > 1)
            throw UsageError("'" + file.path() + "': a JPEG holds one frame, the input has " +
                             std::to_string(*source.frame_count));
        // libjpeg's own limit, which it would only report once the filter had run.
        if (source.w > JPEG_MAX_DIMENSION || source.h > JPEG_MAX_DIMENSION)
            throw UsageError("'" + file.path() + "': a JPEG is at most " +
                             std::to_string(JPEG_MAX_DIMENSION) + " pixels wide and tall, the " +
                             "picture is " + std::to_string(source.w) + "x" +
                             std::to_string(source.h) + "; write .png");
    }

    // The encoder takes the whole picture: the frame goes to write_bytes() with its pixels,
    // which are converted there into the encoder's 8-bit samples.
    void size_bytes(Frame& to, std::int32_t w, std::int32_t h) const override {
        to.w = w;
        to.h = h;
        to.bytes.clear();
    }

    void convert_rows(const Frame&, Frame&, std::int32_t, std::int32_t) const override {}

    void write_bytes(const Frame& frame) override {
        if (written_)
            throw UsageError("'" + file_.path() + "': a JPEG holds one frame, the input has more");
        written_ = true;
        constexpr YcbcrScale kScale{8, true};
        const int components = gray_ ? 1 : 3;
        std::vector<unsigned char> samples(frame.pixels.size() *
                                           static_cast<std::size_t>(components));
        for (std::size_t p = 0; p < frame.pixels.size(); ++p) {
            const YcPixel& px = frame.pixels[p];
            unsigned char* s = &samples[p * static_cast<std::size_t>(components)];
            s[0] = static_cast<unsigned char>(luma_from_host(px.y, kScale));
            if (!gray_) {
                s[1] = static_cast<unsigned char>(chroma_from_host(px.cb, kScale));
                s[2] = static_cast<unsigned char>(chroma_from_host(px.cr, kScale));
            }
        }
        Encoder e;
        const Picture picture{frame.w,  frame.h,    components, samples.data(),
                              quality_, subsample_, &icc_,      &exif_};
        if (!encode(e, picture))
            throw RunError("'" + file_.path() + "': cannot encode the JPEG: " + e.err.message);
        file_.write(e.out, e.out_size);
    }

private:
    OutputFile& file_;
    bool gray_;
    int quality_;
    bool subsample_;
    std::vector<std::uint8_t> icc_;
    std::vector<std::uint8_t> exif_;
    bool written_ = false;
};

}  // namespace

std::unique_ptr<FrameWriter> open_jpeg_output(OutputFile& file, const StreamInfo& source,
                                              const Options& options) {
    return std::make_unique<JpegWriter>(file, source, options);
}

}  // namespace korvane::cli
