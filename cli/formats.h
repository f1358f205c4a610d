// Frame formats of korvane-dct (PNG, JPEG, Y4M and raw .yc48). Every format reads into and writes
// from frames of YcPixel in the host's scale, the engine's samples; a format's conversions run on
// the filter's threads, around the engine's passes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/png_deflate.h"
#include "engine/pixel.h"
#include "runtime/large_memory.h"

namespace korvane {
class ThreadPool;
}

namespace korvane::cli {

class OutputFile;

// One frame, rows of exactly w pixels, in the host's scale.
struct Frame {
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::vector<YcPixel, LargeAllocator<YcPixel>> pixels;
    std::vector<std::uint16_t> alpha;  // PNG alpha, one sample per pixel; empty when none
    std::string params;                // Y4M frame parameters (the text after "FRAME")
    // The frame as a file holds it: what FrameReader::read_bytes read, or what
    // FrameWriter::convert_rows made for FrameWriter::write_bytes. Unused by a format whose
    // frames are held as pixels (see FrameReader).
    std::vector<unsigned char, LargeAllocator<unsigned char>> bytes;
    // Where the frame's bytes begin in the input, when its reader left them there (a Y4M file):
    // bytes is then empty and convert_rows reads the rows it converts. -1: in bytes.
    std::int64_t file_offset = -1;
};

// PNG chunks that describe the picture (transparency key, colour space, gamma, chromaticities,
// pixel size, text), kept from a PNG input for a PNG output; defined with the PNG format.
struct PngChunks;

// What the samples of a stream are, so that a writer can give the output the input's layout.
enum class Layout {
    raw,    // host-scale samples as they are (.yc48)
    gray,   // one luma sample per pixel (PNG gray)
    rgb,    // R'G'B', converted through BT.601 Y'CbCr (PNG RGB, palette)
    ycbcr,  // Y'CbCr planes (Y4M)
};

struct StreamInfo {
    Layout layout = Layout::raw;
    std::int32_t w = 0;
    std::int32_t h = 0;
    int depth = 8;           // bits per sample (PNG, Y4M)
    bool alpha = false;      // PNG: an alpha channel passes through
    bool mono = false;       // Y4M: luma plane only
    int chroma_shift_x = 0;  // Y4M: log2 of the chroma subsampling
    int chroma_shift_y = 0;
    bool full_range = false;  // Y4M: XCOLORRANGE=FULL
    std::string chroma;       // Y4M: the C tag without the depth suffix ("420jpeg", "444", ...)
    std::vector<std::string> tags;  // Y4M: header tags other than W, H and C, in their order
    // Number of frames, when known before reading.
    std::optional<std::int64_t> frame_count;
    // The colour profile of a picture (PNG iCCP, JPEG APP2 ICC_PROFILE): its name and its bytes,
    // uncompressed; written to a PNG output. Empty bytes: none.
    std::string icc_name;
    std::vector<std::uint8_t> icc_profile;
    std::shared_ptr<const PngChunks> png_chunks;  // PNG input: its descriptive chunks
    // JPEG: the luma quantisation table, 64 steps in row-major order of frequency (vertical,
    // horizontal); empty when the input has none.
    std::vector<int> luma_quant;
    // JPEG: how the stored picture turns upright (EXIF orientation 1..8; 1: as stored), and the
    // EXIF data (its TIFF structure, orientation rewritten to 1) for a PNG output's eXIf chunk.
    int orientation = 1;
    std::vector<std::uint8_t> exif;
    // JPEG colour stored as Y'CbCr (which the RGB metrics convert to R'G'B' too, as a PNG output
    // holds it).
    bool jpeg_colour = false;
    // Convert such colour to R'G'B' as libjpeg does (cli/jpeg_colour.h), from the samples
    // rounded to 8-bit codes, rather than with korvane-dct's exact conversion: for a picture
    // left as decoded, which then is libjpeg's own decode byte for byte. A filtered picture
    // keeps the exact conversion, which keeps more of the gain (docs/command.md).
    bool libjpeg_rgb = false;
};

// Reading is split so that the reading thread only reads and the filter's threads convert, band
// by band: read_bytes() reads the next frame as the file holds it into frame.bytes (with its w,
// h, params and alpha), and convert_rows() converts rows y0 .. y1 - 1 of those bytes into rows
// of w pixels, `stride` pixels apart, from `to` on (row y0 at `to`). A format whose frames are
// pixels already (raw frames on a little-endian machine, a picture decoded when it is opened)
// puts them in frame.pixels instead; its convert_rows() copies rows of from.pixels, and does
// nothing when `to` is those rows, so that such a frame is filtered where it was read.
class FrameReader {
public:
    virtual ~FrameReader() = default;
    // False at the end of the input. Throws InputError on a malformed or truncated input.
    virtual bool read_bytes(Frame& frame) = 0;
    // May run for different rows on several threads at once; does not throw. Rows that it had
    // to read and could not come out as zeros, and check_rows() then throws.
    virtual void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                              std::ptrdiff_t stride) const = 0;
    // Throws InputError if convert_rows() could not read rows since the last check.
    virtual void check_rows() const {}
    virtual const StreamInfo& info() const = 0;

    // Both at once: the next frame, converted into frame.pixels.
    bool read(Frame& frame);
};

// A reader of one picture, decoded when it is opened: read_bytes() hands it over once.
class PictureReader : public FrameReader {
public:
    bool read_bytes(Frame& frame) override;
    const StreamInfo& info() const override { return info_; }

protected:
    StreamInfo info_;
    Frame frame_;

private:
    bool done_ = false;
};

// Writing, the same way round: size_bytes() sizes to.bytes for a w x h frame, convert_rows()
// fills the bytes of rows y0 .. y1 - 1 from from.pixels and from.alpha (y0 and y1 even, or
// y1 = h; from any threads at once for different rows; does not throw), and write_bytes() writes
// a frame, its bytes with its params, on the writing thread. A writer that writes from the whole
// picture (raw frames as they are, on a little-endian machine; the JPEG encoder) sizes no bytes,
// converts nothing and writes from frame.pixels: a frame whose bytes are empty goes to
// write_bytes() with its pixels.
class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    virtual void size_bytes(Frame& to, std::int32_t w, std::int32_t h) const = 0;
    virtual void convert_rows(const Frame& from, Frame& to, std::int32_t y0,
                              std::int32_t y1) const = 0;
    // Throws RunError when the output cannot be written.
    virtual void write_bytes(const Frame& frame) = 0;
};

// convert_rows() of a frame held as pixels: rows y0 .. y1 - 1 of from.pixels copied to `to`,
// unless they are there already.
void copy_pixel_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                     std::ptrdiff_t stride);

// A format: how files of one kind are recognised, read and written.
struct Format {
    const char* name;       // as given to --format
    const char* extension;  // with the dot, e.g. ".yc48"
    // Opens and checks the input (a path, or "-" for standard input).
    std::unique_ptr<FrameReader> (*open_reader)(const std::string& path, const Options& options);
    // A writer whose output has the layout of `source` as far as the format can hold it.
    std::unique_ptr<FrameWriter> (*open_writer)(OutputFile& file, const StreamInfo& source,
                                                const Options& options);
};

// The format named `name` ("png", "y4m", "yc48"); throws UsageError for an unknown one.
const Format& format_named(const std::string& name);
// The format of a file by its extension; throws UsageError for an unknown one, pointing at
// `format_option` (the option that names the format instead) when there is one.
const Format& format_for(const std::string& path, const char* format_option = nullptr);
// The input format: --format, else the extension; standard input defaults to Y4M.
const Format& input_format(const Options& options);
// The output format: --output-format, else the extension; standard output defaults to the
// input's format.
const Format& output_format(const Options& options, const Format& input);

// Bytes of a frame of w x h pixels of `bytes_per_pixel`; throws InputError when a frame of that
// size cannot be held.
std::size_t frame_bytes(std::int32_t w, std::int32_t h, std::size_t bytes_per_pixel,
                        const std::string& path);

// Throws InputError when a w x h frame has more pixels than --max-megapixels allows: checked as
// soon as a header gives the size, before anything of that size is allocated or decoded.
void check_pixel_limit(std::int32_t w, std::int32_t h, const Options& options,
                       const std::string& path);

// Throws InputError when the first bytes of an input read as `expected` ("JPEG", "PNG", "Y4M",
// or "yc48" for raw frames) are those of another format that korvane-dct reads, saying which.
void refuse_other_format(std::span<const unsigned char> head, const char* expected,
                         const std::string& path);

// An input file, closed when it goes out of scope; standard input is left open.
struct InputCloser {
    void operator()(std::FILE* f) const {
        if (f && f != stdin) std::fclose(f);
    }
};
using InputFile = std::unique_ptr<std::FILE, InputCloser>;

// The JPEG writer (cli/format_jpeg_write.cpp): one picture at --quality and --jpeg-sampling.
std::unique_ptr<FrameWriter> open_jpeg_output(OutputFile& file, const StreamInfo& source,
                                              const Options& options);

// Opens `path` for reading ("-": standard input); throws InputError naming the file.
InputFile open_input(const std::string& path);

extern const Format kYc48Format;
extern const Format kPngFormat;
extern const Format kY4mFormat;
extern const Format kJpegFormat;  // also as "jpg" (.jpg)
extern const Format kJpgFormat;

}  // namespace korvane::cli

namespace korvane::cli {

// Encodes one PNG image of samples laid out as in the file (16-bit ones big-endian; colour type
// and depth as in the PNG header) and writes it to `file`; throws RunError on failure.
// `meta`, when given, adds its colour profile and its PNG chunks. The bytes depend on
// `encoding.level`, never on `encoding.pool` (the threads that compress; null: this one).
struct PngEncoding {
    int level = kPngDefaultLevel;  // 0 (stored) to 9 (smallest), png_deflate.h
    ThreadPool* pool = nullptr;
};
void write_png(OutputFile& file, std::int32_t w, std::int32_t h, std::uint8_t colour_type,
               std::uint8_t depth, std::span<const unsigned char> data,
               const StreamInfo* meta = nullptr, const PngEncoding& encoding = {});

}  // namespace korvane::cli
