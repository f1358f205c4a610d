// JPEG input and --strength auto: the reader in-process, and korvane-dct run as a user runs it.
// Test pictures are encoded here with libjpeg, the same library that reads them.
#include <gtest/gtest.h>

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "cli/errors.h"
#include "cli/formats.h"
#include "fixtures.h"
#include "picture/convert.h"
#include "run_command.h"
#include "strength/strength.h"

namespace korvane::test {
namespace {

using cli::kJpegFormat;

const std::string kTool = KORVANE_DCT;
const std::string kSamples = KORVANE_SAMPLES;

Result tool(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return run_command(args);
}

// How a test JPEG is written.
struct JpegRecipe {
    int quality = 90;
    int components = 3;          // 1 gray, 3 colour (RGB samples in), 4 CMYK
    int h_samp = 2, v_samp = 2;  // luma sampling factors against chroma 1x1: 2x2 is 4:2:0
    bool progressive = false;
    bool arithmetic = false;
    bool stored_as_rgb = false;  // colour kept as RGB, without the Y'CbCr transform
    std::vector<std::uint8_t> icc = {};
    unsigned flat_luma = 0;  // when not 0: a luma table of this step everywhere (not libjpeg's)
};

// Encodes interleaved 8-bit samples (gray, RGB or CMYK) of w x h pixels.
std::string encode_jpeg(int w, int h, const std::vector<unsigned char>& samples,
                        const JpegRecipe& recipe) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = recipe.components;
    cinfo.in_color_space = recipe.components == 1   ? JCS_GRAYSCALE
                           : recipe.components == 4 ? JCS_CMYK
                                                    : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, recipe.quality, TRUE);
    if (recipe.flat_luma) {
        const std::vector<unsigned> flat(64, recipe.flat_luma);
        jpeg_add_quant_table(&cinfo, 0, flat.data(), 100, TRUE);
    }
    if (recipe.stored_as_rgb) jpeg_set_colorspace(&cinfo, JCS_RGB);
    if (recipe.components == 3 && !recipe.stored_as_rgb) {
        cinfo.comp_info[0].h_samp_factor = recipe.h_samp;
        cinfo.comp_info[0].v_samp_factor = recipe.v_samp;
    }
    if (recipe.progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = recipe.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    if (!recipe.icc.empty())
        jpeg_write_icc_profile(&cinfo, recipe.icc.data(), static_cast<unsigned>(recipe.icc.size()));
    const auto stride = static_cast<std::size_t>(w) * static_cast<std::size_t>(recipe.components);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(&samples[cinfo.next_scanline * stride]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

// A smooth colour picture with a few soft edges: subsampled chroma loses little of it.
std::vector<unsigned char> smooth_picture(int w, int h, int components) {
    std::vector<unsigned char> s;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double d = std::hypot(x - w / 2.0, y - h / 2.0) / (w / 4.0);
            const int ring = static_cast<int>(60 / (1 + std::exp(8 * (d - 1))));
            const int c[4] = {std::clamp(30 + 3 * x + ring, 0, 255),
                              std::clamp(200 - 2 * y + ring, 0, 255),
                              std::clamp(90 + x + y - ring, 0, 255), 40};
            for (int k = 0; k < components; ++k) s.push_back(static_cast<unsigned char>(c[k]));
        }
    return s;
}

// The photo of a sample PNG as 8-bit gray or RGB samples.
struct Photo {
    int w = 0, h = 0, components = 0;
    std::vector<unsigned char> samples;
};
Photo load_photo(const std::string& name) {
    const Png png = decode_png(read_file(kSamples + "/" + name));
    return {static_cast<int>(png.ihdr.width), static_cast<int>(png.ihdr.height),
            png.ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE ? 1 : 3, png.data};
}

// What korvane-dct would make of a PNG of these samples: the frame the estimate sees.
cli::Frame frame_of(int w, int h, int components, const std::vector<unsigned char>& s) {
    cli::Frame f;
    f.w = w;
    f.h = h;
    for (std::size_t i = 0; i < static_cast<std::size_t>(w) * static_cast<std::size_t>(h); ++i)
        f.pixels.push_back(components == 1
                               ? gray_to_host(s[i], 255)
                               : rgb_to_host(s[3 * i], s[3 * i + 1], s[3 * i + 2], 255));
    return f;
}

// Decodes a JPEG to 8-bit RGB or gray with libjpeg, as an image viewer or djpeg does.
std::vector<unsigned char> decode_jpeg_to_rgb(const std::string& bytes, int& components) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    components = cinfo.output_components;
    std::vector<unsigned char> out(static_cast<std::size_t>(cinfo.output_width) *
                                   cinfo.output_height * static_cast<std::size_t>(components));
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out[static_cast<std::size_t>(cinfo.output_scanline) * cinfo.output_width *
                            static_cast<std::size_t>(components)];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

SourceQuality estimate_of(const cli::Frame& f) { return estimate_quality(f.pixels, f.w, f.h); }

std::unique_ptr<cli::FrameReader> open_jpeg(const std::string& path) {
    return kJpegFormat.open_reader(path, cli::Options{});
}

// ---------------------------------------------------------------------------------------------
// Reading.

TEST(JpegReader, EveryKindReadsAsFullRangeYcbcrCloseToItsSource) {
    struct Case {
        const char* name;
        int w, h;
        JpegRecipe recipe;
    };
    const std::vector<Case> cases = {
        {"gray, baseline", 40, 24, {.quality = 95, .components = 1}},
        {"colour 4:2:0, baseline", 40, 24, {.quality = 95}},
        {"colour 4:2:2, progressive",
         33,
         17,
         {.quality = 95, .h_samp = 2, .v_samp = 1, .progressive = true}},
        {"colour 4:4:4, arithmetic",
         16,
         16,
         {.quality = 95, .h_samp = 1, .v_samp = 1, .arithmetic = true}},
        {"colour stored as RGB", 21, 9, {.quality = 95, .stored_as_rgb = true}},
        {"gray 1x1, progressive", 1, 1, {.quality = 95, .components = 1, .progressive = true}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = smooth_picture(c.w, c.h, c.recipe.components);
        write_file(dir / "in.jpg", encode_jpeg(c.w, c.h, source, c.recipe));
        auto reader = open_jpeg(dir / "in.jpg");
        const cli::StreamInfo& info = reader->info();
        const bool gray = c.recipe.components == 1;
        EXPECT_EQ(info.layout, cli::Layout::ycbcr);
        EXPECT_EQ(info.w, c.w);
        EXPECT_EQ(info.h, c.h);
        EXPECT_EQ(info.depth, 8);
        EXPECT_TRUE(info.full_range);
        EXPECT_EQ(info.mono, gray);
        EXPECT_EQ(info.frame_count, 1);
        const std::vector<std::string> tags = {"F25:1", "Ip", "A1:1", gray ? "Cmono" : "C444",
                                               "XCOLORRANGE=FULL"};
        EXPECT_EQ(info.tags, tags);
        // libjpeg's table for the quality, in row-major order: also checks the table that auto
        // compares files against.
        const auto expected_table = libjpeg_luma_table(c.recipe.quality);
        EXPECT_EQ(info.luma_quant, std::vector<int>(expected_table.begin(), expected_table.end()));

        cli::Frame frame;
        ASSERT_TRUE(reader->read(frame));
        ASSERT_EQ(frame.pixels.size(), static_cast<std::size_t>(c.w * c.h));
        const cli::Frame want = frame_of(c.w, c.h, c.recipe.components, source);
        // Quality 95 on a smooth picture: within a few codes (1 code = 16 host units); a range,
        // channel or row mistake is off by tens of codes.
        int luma_error = 0, chroma_error = 0;
        for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
            luma_error = std::max(luma_error, std::abs(frame.pixels[i].y - want.pixels[i].y));
            chroma_error = std::max({chroma_error, std::abs(frame.pixels[i].cb - want.pixels[i].cb),
                                     std::abs(frame.pixels[i].cr - want.pixels[i].cr)});
        }
        EXPECT_LE(luma_error, 4 * 16);
        // Subsampled chroma: the soft edges lose more.
        EXPECT_LE(
            chroma_error,
            (c.recipe.components == 3 && !c.recipe.stored_as_rgb && c.recipe.v_samp == 2 ? 12 : 6) *
                16);
        EXPECT_FALSE(reader->read(frame));
    }
}

TEST(JpegReader, KeepsTheIccProfileEvenAcrossSeveralMarkers) {
    // 100000 bytes need two APP2 markers (at most 65519 bytes each).
    TempDir dir;
    for (const std::size_t size : {std::size_t{560}, std::size_t{100000}}) {
        SCOPED_TRACE(size);
        JpegRecipe recipe;
        for (std::size_t i = 0; i < size; ++i)
            recipe.icc.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
        write_file(dir / "in.jpg", encode_jpeg(16, 16, smooth_picture(16, 16, 3), recipe));
        EXPECT_EQ(open_jpeg(dir / "in.jpg")->info().icc_profile, recipe.icc);
    }
    write_file(dir / "none.jpg", encode_jpeg(16, 16, smooth_picture(16, 16, 3), {}));
    EXPECT_TRUE(open_jpeg(dir / "none.jpg")->info().icc_profile.empty());
}

// ---------------------------------------------------------------------------------------------
// The command on JPEG input.

TEST(JpegCommand, ColourBecomesRgbPngOrFullRangeY4mAndGrayStaysGray) {
    TempDir dir;
    JpegRecipe colour{.quality = 90};
    for (std::size_t i = 0; i < 700; ++i) colour.icc.push_back(static_cast<std::uint8_t>(i));
    write_file(dir / "colour.jpg", encode_jpeg(48, 32, smooth_picture(48, 32, 3), colour));
    write_file(dir / "gray.jpeg",
               encode_jpeg(48, 32, smooth_picture(48, 32, 1), {.quality = 90, .components = 1}));

    ASSERT_EQ(tool({"-q", dir / "colour.jpg", dir / "colour.png"}).status, 0);
    const Png rgb = decode_png(read_file(dir / "colour.png"));
    EXPECT_EQ(rgb.ihdr.color_type, SPNG_COLOR_TYPE_TRUECOLOR);
    EXPECT_EQ(rgb.ihdr.bit_depth, 8);
    // The ICC profile goes with the picture.
    {
        const std::string png = read_file(dir / "colour.png");
        spng_ctx* ctx = spng_ctx_new(0);
        spng_set_png_buffer(ctx, png.data(), png.size());
        spng_iccp iccp{};
        ASSERT_EQ(spng_get_iccp(ctx, &iccp), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(iccp.profile, iccp.profile + iccp.profile_len),
                  colour.icc);
        spng_ctx_free(ctx);
    }

    ASSERT_EQ(tool({"-q", dir / "gray.jpeg", dir / "gray.png"}).status, 0);
    const Png gray = decode_png(read_file(dir / "gray.png"));
    EXPECT_EQ(gray.ihdr.color_type, SPNG_COLOR_TYPE_GRAYSCALE);
    EXPECT_EQ(gray.ihdr.bit_depth, 8);

    for (const std::string name : {"colour.jpg", "gray.jpeg"}) {
        ASSERT_EQ(tool({"-q", dir / name, dir / "out.y4m"}).status, 0);
        const std::string y4m = read_file(dir / "out.y4m");
        const std::string header = y4m.substr(0, y4m.find('\n'));
        EXPECT_EQ(header, name == "colour.jpg"
                              ? "YUV4MPEG2 W48 H32 F25:1 Ip A1:1 C444 XCOLORRANGE=FULL"
                              : "YUV4MPEG2 W48 H32 F25:1 Ip A1:1 Cmono XCOLORRANGE=FULL");
        // The luma plane is the JPEG's own full-range Y: the picture's top-left corner is
        // RGB (30, 200, 90) plus the ring's edge, Y' = 0.299 R + 0.587 G + 0.114 B, about 136.
        const unsigned char corner = static_cast<unsigned char>(y4m[header.size() + 7]);
        EXPECT_NEAR(corner, name == "colour.jpg" ? 136 : 30, 6);
    }
}

// The JPEG `jpeg` with the quantised coefficients of its first luma block changed by `change`,
// written again as it was coded otherwise (libjpeg's transcoder).
template <typename Change>
std::string with_first_block(const std::string& jpeg, Change change) {
    jpeg_decompress_struct in{};
    jpeg_compress_struct out{};
    jpeg_error_mgr err{};
    in.err = out.err = jpeg_std_error(&err);
    jpeg_create_decompress(&in);
    jpeg_create_compress(&out);
    jpeg_mem_src(&in, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr* planes = jpeg_read_coefficients(&in);
    JBLOCKARRAY row =
        (*in.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&in), planes[0], 0, 1, TRUE);
    change(row[0][0]);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&out, &buffer, &size);
    jpeg_copy_critical_parameters(&in, &out);
    jpeg_write_coefficients(&out, planes);
    jpeg_finish_compress(&out);
    jpeg_finish_decompress(&in);
    jpeg_destroy_compress(&out);
    jpeg_destroy_decompress(&in);
    std::string result(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return result;
}

TEST(JpegCommand, BadJpegsExitTwoWithOneMessageAndNoOutput) {
    TempDir dir;
    const std::string good = encode_jpeg(64, 64, smooth_picture(64, 64, 3), {.quality = 80});
    const std::string progressive =
        encode_jpeg(64, 64, smooth_picture(64, 64, 3), {.quality = 80, .progressive = true});
    write_file(dir / "empty.jpg", "");
    write_file(dir / "header.jpg", good.substr(0, 40));
    write_file(dir / "cut.jpg", good.substr(0, good.size() / 2));
    write_file(dir / "cutprogressive.jpg", progressive.substr(0, progressive.size() - 40));
    // A stray marker in the middle of the compressed data.
    std::string garbled = good;
    const std::size_t scan = garbled.find("\xff\xda");
    garbled.insert((scan + garbled.size()) / 2, "\xff\xd5");
    write_file(dir / "garbled.jpg", garbled);
    write_file(dir / "text.jpg", "korvane\n");
    write_file(dir / "cmyk.jpg",
               encode_jpeg(16, 16, smooth_picture(16, 16, 4), {.quality = 80, .components = 4}));
    // Bytes between the end of the compressed data and the end-of-image marker: where a decoder
    // that lost step with damaged data finishes its scan early (past the few bytes that libjpeg
    // reads ahead, and so never sees as stray).
    write_file(dir / "stray.jpg", good.substr(0, good.size() - 2) + std::string(40, '\x12') +
                                      good.substr(good.size() - 2));
    // Well-formed data of blocks that no 8-bit picture has: an AC coefficient of 1000 steps
    // (at most 1024 / step fit), a DC of a mean far above white.
    write_file(dir / "ac.jpg", with_first_block(good, [](JCOEF* b) { b[9] = 1000; }));
    write_file(dir / "dc.jpg", with_first_block(good, [](JCOEF* b) { b[0] = 400; }));
    struct Case {
        const char* name;
        std::string input, output;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"empty file", "empty.jpg", "out.png", "Empty input file"},
        {"cut in the header", "header.jpg", "out.png", "Premature end of JPEG file"},
        {"cut in the data", "cut.jpg", "out.png", "Premature end of JPEG file"},
        {"progressive, cut in a later scan", "cutprogressive.jpg", "out.png", "Premature end"},
        {"corrupt data", "garbled.jpg", "out.png", "Corrupt JPEG data"},
        {"not a JPEG", "text.jpg", "out.png", "Not a JPEG file"},
        {"CMYK", "cmyk.jpg", "out.png", "CMYK JPEG is not supported"},
        {"stray bytes after the data", "stray.jpg", "out.png",
         "extraneous bytes before marker 0xd9"},
        {"an AC coefficient out of range", "ac.jpg", "out.png",
         "a block near row 1 decodes to values that no 8-bit picture has"},
        {"a DC coefficient out of range", "dc.jpg", "out.png", "no 8-bit picture has"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = tool({dir / c.input, dir / c.output});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.err.rfind("korvane-dct: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir / c.output));
    }
    std::vector<std::string> files = dir.files();
    EXPECT_EQ(files.size(), 10u) << "files left behind";
}

// A photo's own pixels as a JPEG: the middle w x h of a sample PNG.
std::string photo_jpeg(const std::string& name, int w, int h, const JpegRecipe& recipe) {
    const Photo photo = load_photo(name);
    std::vector<unsigned char> crop;
    const int x0 = (photo.w - w) / 2, y0 = (photo.h - h) / 2;
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            for (int k = 0; k < photo.components; ++k)
                crop.push_back(
                    photo.samples[(static_cast<std::size_t>(y) * photo.w + x) * photo.components +
                                  k]);
    JpegRecipe s = recipe;
    s.components = photo.components;
    return encode_jpeg(w, h, crop, s);
}

// ---------------------------------------------------------------------------------------------
// Damaged arithmetic-coded data and frames too large.

TEST(JpegCommand, ArithmeticDataThatEndsEarlyIsRefusedAndAFlatEndIsNot) {
    TempDir dir;
    const std::string arith =
        photo_jpeg("chelsea.png", 256, 192, {.quality = 75, .arithmetic = true});
    const std::string progressive = photo_jpeg(
        "camera.png", 256, 192, {.quality = 75, .progressive = true, .arithmetic = true});
    // Cut, and closed with an end-of-image marker: arithmetic coding reads zeros once its data
    // meets a marker, so libjpeg itself reports nothing.
    const std::string eoi = "\xff\xd9";
    write_file(dir / "cut-closed.jpg", arith.substr(0, arith.size() / 3) + eoi);
    write_file(dir / "cut-closed-late.jpg", arith.substr(0, arith.size() * 9 / 10) + eoi);
    write_file(dir / "cut.jpg", arith.substr(0, arith.size() / 2));
    // The first scans of a progressive file hold the DC of every block: cut in them.
    const std::size_t second_scan = progressive.find("\xff\xda", progressive.find("\xff\xda") + 2);
    const std::size_t first_scan = progressive.find("\xff\xda");
    write_file(dir / "progressive-cut-closed.jpg",
               progressive.substr(0, (first_scan + second_scan) / 2) + eoi);
    for (const char* name :
         {"cut-closed.jpg", "cut-closed-late.jpg", "cut.jpg", "progressive-cut-closed.jpg"}) {
        SCOPED_TRACE(name);
        std::remove((dir / "out.png").c_str());
        const Result r = tool({dir / name, dir / "out.png"});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(std::string("'") + dir / name + "': not a readable JPEG"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(exists(dir / "out.png"));
    }

    // Whole pictures whose lower part is flat: their encoder leaves out the trailing zero bytes,
    // so their data also ends before the last blocks, and they are read. So are pictures of the
    // most extreme blocks there are (pixels of 0 and 255 at random, every coefficient large:
    // the block check's bounds must hold them), in every coding, and one whose last scan is
    // followed by a few stray bytes, as some encoders leave (arithmetic-coded, so that libjpeg
    // reads no further than the data and sees two of them as stray).
    const int w = 256, h = 192;
    std::vector<unsigned char> flat = smooth_picture(w, h, 3);
    std::fill(flat.begin() + static_cast<std::ptrdiff_t>(flat.size() / 4), flat.end(),
              static_cast<unsigned char>(90));
    std::vector<unsigned char> extreme(static_cast<std::size_t>(w) * h * 3);
    std::uint32_t state = 12345;
    for (unsigned char& v : extreme) {
        state = state * 1664525u + 1013904223u;
        v = (state >> 31) ? 255 : 0;
    }
    const std::string whole =
        encode_jpeg(w, h, extreme, {.quality = 100, .h_samp = 1, .v_samp = 1});
    // A progressive photo of strong edges with its first scan alone (the DC of every block):
    // libjpeg estimates the rest from the neighbouring blocks, beyond what the blocks hold.
    const auto first_scan_alone = [](const std::string& jpeg) {
        std::size_t at = jpeg.find("\xff\xda") + 2;
        while (!(jpeg[at] == '\xff' && jpeg[at + 1] != 0 && (jpeg[at + 1] & 0xF8) != 0xD0)) ++at;
        return jpeg.substr(0, at) + "\xff\xd9";
    };
    const Photo camera = load_photo("camera.png");
    const std::string arithmetic =
        encode_jpeg(w, h, extreme, {.quality = 100, .h_samp = 1, .v_samp = 1, .arithmetic = true});
    const struct {
        const char* name;
        std::string jpeg;
    } wholes[] = {
        {"flat", encode_jpeg(w, h, flat, {.quality = 75, .arithmetic = true})},
        {"flat, progressive",
         encode_jpeg(w, h, flat, {.quality = 75, .progressive = true, .arithmetic = true})},
        {"extreme", whole},
        {"extreme, progressive",
         encode_jpeg(w, h, extreme,
                     {.quality = 100, .h_samp = 1, .v_samp = 1, .progressive = true})},
        {"extreme, arithmetic", arithmetic},
        {"extreme 4:2:0, quality 90", encode_jpeg(w, h, extreme, {.quality = 90})},
        {"progressive, its first scan alone",
         first_scan_alone(encode_jpeg(camera.w, camera.h, camera.samples,
                                      {.quality = 75, .components = 1, .progressive = true}))},
        {"progressive arithmetic, its first scan alone",
         first_scan_alone(encode_jpeg(
             camera.w, camera.h, camera.samples,
             {.quality = 75, .components = 1, .progressive = true, .arithmetic = true}))},
        {"stray bytes before the end", arithmetic.substr(0, arithmetic.size() - 2) +
                                           "\x12\x34\x56" +
                                           arithmetic.substr(arithmetic.size() - 2)},
    };
    for (const auto& c : wholes) {
        SCOPED_TRACE(c.name);
        write_file(dir / "whole.jpg", c.jpeg);
        const Result r = tool({"--n-shift", "1", dir / "whole.jpg", dir / "whole.png"});
        EXPECT_EQ(r.status, 0) << r.err;
    }
}

// The JPEG `jpeg` with its frame header rewritten to claim w x h.
std::string claiming(std::string jpeg, int w, int h) {
    std::size_t sof = 2;
    while (sof + 4 < jpeg.size()) {
        const auto m = static_cast<unsigned char>(jpeg[sof + 1]);
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) break;
        sof += 2 + (static_cast<unsigned char>(jpeg[sof + 2]) << 8) +
               static_cast<unsigned char>(jpeg[sof + 3]);
    }
    jpeg[sof + 5] = static_cast<char>(h >> 8);
    jpeg[sof + 6] = static_cast<char>(h & 0xFF);
    jpeg[sof + 7] = static_cast<char>(w >> 8);
    jpeg[sof + 8] = static_cast<char>(w & 0xFF);
    return jpeg;
}

TEST(JpegCommand, FramesAboveThePixelLimitAreRefusedBeforeDecoding) {
    TempDir dir;
    // 13 KB of arithmetic-coded data whose header claims 16000 x 16000 (256 megapixels).
    write_file(dir / "huge.jpg",
               claiming(photo_jpeg("chelsea.png", 320, 240, {.quality = 60, .arithmetic = true}),
                        16000, 16000));
    // 1-bit PNG of 2000 x 1000: 2 megapixels in a few hundred bytes.
    write_file(dir / "wide.png", encode_png(2000, 1000, SPNG_COLOR_TYPE_GRAYSCALE, 1,
                                            std::vector<unsigned char>(250 * 1000, 0x5A)));
    write_file(dir / "two.jpg", photo_jpeg("camera.png", 2000 / 4, 1000 / 4, {.quality = 90}));
    struct Case {
        const char* name;
        std::vector<std::string> args;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"JPEG at the default limit",
         {dir / "huge.jpg"},
         "16000x16000 is 256.0 megapixels, above the limit of 200"},
        {"PNG at a lowered limit",
         {"--max-megapixels", "1", dir / "wide.png"},
         "2000x1000 is 2.0 megapixels, above the limit of 1"},
        {"reference at a lowered limit",
         {"--max-megapixels", "1", "--reference", dir / "wide.png", dir / "two.jpg"},
         "wide.png"},
        {"limit above what a frame can hold",
         {"--max-megapixels", "269", dir / "two.jpg"},
         "--max-megapixels 269: out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.push_back(dir / "out.png");
        const auto start = std::chrono::steady_clock::now();
        const Result r = tool(args);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(exists(dir / "out.png"));
        // Refused from the header: no decoding, no filtering (which took most of a minute).
        EXPECT_LT(seconds, 5.0);
    }
    // Raised, the same PNG is read.
    const Result raised =
        tool({"-q", "--n-shift", "1", "--max-megapixels", "2", dir / "wide.png", dir / "out.png"});
    EXPECT_EQ(raised.status, 0) << raised.err;
}

// ---------------------------------------------------------------------------------------------
// EXIF orientation.

// The payload of an APP1 EXIF segment: a TIFF structure in either byte order whose IFD0 holds
// Make (out of line), Orientation and Software (in line). `broken` points Make's text past the
// end. kOrientationAt: where the orientation's value lies in the TIFF structure.
constexpr std::size_t kOrientationAt = 8 + 2 + 12 + 8;
std::string exif_app1(int orientation, bool big_endian, bool broken = false) {
    std::string t;
    auto put = [&](std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            const int shift = big_endian ? 8 * (bytes - 1 - i) : 8 * i;
            t.push_back(static_cast<char>((v >> shift) & 0xFF));
        }
    };
    t += big_endian ? "MM" : "II";
    put(42, 2);
    put(8, 4);  // IFD0
    put(3, 2);
    const std::uint32_t text_at = 8 + 2 + 3 * 12 + 4;
    put(0x010F, 2), put(2, 2), put(8, 4), put(broken ? 5000 : text_at, 4);  // Make
    put(0x0112, 2), put(3, 2), put(1, 4), put(static_cast<std::uint32_t>(orientation), 2),
        put(0, 2);                                                        // Orientation
    put(0x0131, 2), put(2, 2), put(3, 4), t += std::string("kd\0\0", 4);  // Software
    put(0, 4);                                                            // no IFD1
    t += std::string("Korvane\0", 8);
    return std::string("Exif\0\0", 6) + t;
}

// `jpeg` with an APP1 segment of `payload` right after its start marker.
std::string with_app1(const std::string& jpeg, const std::string& payload) {
    const std::size_t length = payload.size() + 2;
    return jpeg.substr(0, 2) + "\xff\xe1" + static_cast<char>(length >> 8) +
           static_cast<char>(length & 0xFF) + payload + jpeg.substr(2);
}

// An 8-bit RGB picture turned as a viewer turns EXIF orientation o: transposed for 5..8, then
// mirrored left-right for 2, 3, 6, 7, then top-bottom for 3, 4, 7, 8.
Png turned(Png png, int o) {
    auto at = [](Png& p, std::uint32_t x, std::uint32_t y) {
        return &p.data[(static_cast<std::size_t>(y) * p.ihdr.width + x) * 3];
    };
    // Each step makes a picture of size w x h whose pixel (x, y) is `from(x, y)` of the last.
    auto apply = [&](std::uint32_t w, std::uint32_t h, auto from) {
        Png out = png;
        out.ihdr.width = w;
        out.ihdr.height = h;
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const auto [fx, fy] = from(x, y);
                std::copy_n(at(png, fx, fy), 3, at(out, x, y));
            }
        png = out;
    };
    if (o >= 5)
        apply(png.ihdr.height, png.ihdr.width, [](std::uint32_t x, std::uint32_t y) {
            return std::pair{y, x};
        });
    const std::uint32_t w = png.ihdr.width, h = png.ihdr.height;
    if (o == 2 || o == 3 || o == 6 || o == 7)
        apply(w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{w - 1 - x, y}; });
    if (o == 3 || o == 4 || o == 7 || o == 8)
        apply(w, h, [&](std::uint32_t x, std::uint32_t y) { return std::pair{x, h - 1 - y}; });
    return png;
}

// The eXIf chunk of a PNG; empty when it has none.
std::string exif_chunk(const std::string& png) {
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, png.data(), png.size());
    spng_exif exif{};
    std::string out;
    if (spng_get_exif(ctx, &exif) == 0) out.assign(exif.data, exif.length);
    spng_ctx_free(ctx);
    return out;
}

TEST(JpegCommand, ExifOrientationTurnsTheFilteredPictureUpright) {
    TempDir dir;
    // 44 x 28: neither side a whole number of blocks, so that filtering the turned picture (on
    // another block grid) would give other pixels.
    const std::string jpeg = photo_jpeg("chelsea.png", 44, 28, {.quality = 30});
    write_file(dir / "stored.jpg", jpeg);
    ASSERT_EQ(tool({"-q", dir / "stored.jpg", dir / "stored.png"}).status, 0);
    const Png stored = decode_png(read_file(dir / "stored.png"));
    EXPECT_EQ(exif_chunk(read_file(dir / "stored.png")), "");

    for (int o = 1; o <= 8; ++o) {
        const bool big_endian = o % 2 == 0;
        SCOPED_TRACE("orientation " + std::to_string(o) + (big_endian ? ", MM" : ", II"));
        const std::string app1 = exif_app1(o, big_endian);
        write_file(dir / "turned.jpg", with_app1(jpeg, app1));
        const Result r = tool({"-q", dir / "turned.jpg", dir / "turned.png"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::string png = read_file(dir / "turned.png");
        const Png upright = decode_png(png);
        const Png want = turned(stored, o);
        EXPECT_EQ(upright.ihdr.width, want.ihdr.width);
        EXPECT_EQ(upright.ihdr.height, want.ihdr.height);
        EXPECT_TRUE(upright.data == want.data);
        // The EXIF data goes along, saying that the picture is now as stored.
        std::string exif = app1.substr(6);
        exif[kOrientationAt + (big_endian ? 0 : 1)] = 0;
        exif[kOrientationAt + (big_endian ? 1 : 0)] = 1;
        EXPECT_EQ(exif_chunk(png), exif);
    }

    // Turned a quarter: Y4M sizes swap, and the reference is the upright picture.
    write_file(dir / "right.jpg", with_app1(jpeg, exif_app1(6, false)));
    ASSERT_EQ(tool({"-q", dir / "right.jpg", dir / "right.y4m"}).status, 0);
    const std::string y4m = read_file(dir / "right.y4m");
    EXPECT_EQ(y4m.substr(0, y4m.find('\n')),
              "YUV4MPEG2 W28 H44 F25:1 Ip A1:1 C444 XCOLORRANGE=FULL");
    ASSERT_EQ(tool({"-q", dir / "right.jpg", dir / "right.png"}).status, 0);
    const std::string report = dir / "report.txt";
    const Result measured =
        run_shell("'" + kTool + "' -q --reference '" + dir / "right.png" + "' --compare '" +
                  dir / "compare.png" + "' '" + dir / "right.jpg" + "' '" + dir / "again.png" +
                  "' >'" + report + "'");
    ASSERT_EQ(measured.status, 0) << measured.err;
    // The output against its own PNG copy: only the PNG's rounding to 8-bit RGB differs (a
    // picture compared mirrored or turned the other way is off by tens of dB).
    const std::string text = read_file(report);
    const std::size_t arrow = text.find(" -> ");
    ASSERT_NE(arrow, std::string::npos) << text;
    EXPECT_GE(std::stod(text.substr(arrow + 4)), 50.0) << text;
    // The comparison picture is upright too: 28 wide on each side, 44 high above the crop.
    const Png compare = decode_png(read_file(dir / "compare.png"));
    EXPECT_EQ(compare.ihdr.width, 2u * 28 + 8);

    // Malformed EXIF data whose orientation can be read: turned, the EXIF data left out.
    write_file(dir / "broken.jpg", with_app1(jpeg, exif_app1(3, true, true)));
    // -q hides progress and the strength line, never what is lost from the file.
    const Result broken = tool({"-q", dir / "broken.jpg", dir / "broken.png"});
    ASSERT_EQ(broken.status, 0) << broken.err;
    EXPECT_NE(broken.err.find("EXIF data is malformed"), std::string::npos) << broken.err;
    const std::string broken_png = read_file(dir / "broken.png");
    EXPECT_TRUE(decode_png(broken_png).data == turned(stored, 3).data);
    EXPECT_EQ(exif_chunk(broken_png), "");
}

// ---------------------------------------------------------------------------------------------
// Files of another format.

TEST(JpegCommand, AFileOfAnotherFormatIsNamedForWhatItIs) {
    TempDir dir;
    const std::string jpeg = photo_jpeg("camera.png", 32, 32, {.quality = 80});
    const std::string png = read_file(kSamples + "/camera-q20.png");
    write_file(dir / "photo.png", jpeg);
    write_file(dir / "photo.jpg", png);
    write_file(dir / "real.png", png);
    write_file(dir / "real.jpg", jpeg);
    write_file(dir / "video.png", "YUV4MPEG2 W8 H8 C444\nFRAME\n" + std::string(192, '\x80'));
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string in;  // standard input
        std::string message;
    };
    const std::vector<Case> cases = {
        {"JPEG named .png",
         {dir / "photo.png", dir / "out.png"},
         "",
         "korvane-dct: '" + dir / "photo.png" +
             "': this is a JPEG file, not PNG (use --format jpeg or rename it)\n"},
        {"PNG named .jpg",
         {dir / "photo.jpg", dir / "out.png"},
         "",
         "': this is a PNG file, not JPEG (use --format png or rename it)\n"},
        {"Y4M named .png", {dir / "video.png", dir / "out.png"}, "", "this is a Y4M file, not PNG"},
        {"PNG on standard input",
         {"-", dir / "out.png"},
         dir / "real.png",
         "korvane-dct: '-': this is a PNG file, not Y4M (use --format png)\n"},
        {"JPEG on standard input", {"-", dir / "out.png"}, dir / "real.jpg", "JPEG file, not Y4M"},
        {"JPEG as raw frames",
         {"--format", "yc48", "--size", "8x8", dir / "real.jpg", dir / "out.png"},
         "",
         "JPEG file, not yc48"},
        {"PNG as a reference",
         {"--reference", dir / "photo.jpg", dir / "real.jpg", dir / "out.png"},
         "",
         "this is a PNG file, not JPEG"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), kTool);
        const Result r = run_command(args, c.in);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir / "out.png"));
    }
    // With --format, the same bytes on standard input are read.
    const Result given =
        run_command({kTool, "-q", "--format", "png", "-", dir / "out.png"}, dir / "real.png");
    EXPECT_EQ(given.status, 0) << given.err;
}

// ---------------------------------------------------------------------------------------------
// --strength auto.

TEST(Strength, TableQualityIsTheLibjpegQuality) {
    for (int quality = 1; quality <= 100; ++quality) {
        const auto table = libjpeg_luma_table(quality);
        const int found = quality_of_table(std::vector<int>(table.begin(), table.end()));
        // Near 100 several qualities share a table: any of them is right.
        EXPECT_EQ(libjpeg_luma_table(found), table) << quality;
    }
    // A table of another encoder: the nearest libjpeg table (here steps 10 % above quality 50's,
    // which lie between quality 45 and 46).
    std::vector<int> other;
    for (const int s : libjpeg_luma_table(50)) other.push_back((s * 11 + 5) / 10);
    EXPECT_NEAR(quality_of_table(other), 45, 1);
}

// Auto's setting for a source of this libjpeg quality (for video with odd levels, MPEG-4's).
StrengthSetting setting_at(int quality, bool video, bool odd = false) {
    SourceQuality source;
    source.quality = quality;
    if (odd) source.odd_levels = -1;
    return setting_for(source, video);
}

TEST(Strength, AutoSettingNeverStrengthensAsTheQualityRises) {
    // Quant (luma's step) and chroma's threshold never rise with the quality, nor (for video,
    // whose rows have one threshold) the threshold. A picture's luma threshold may: with a
    // threshold of chroma's own, the best luma threshold was measured higher than the one
    // setting of both (the picture rows from 70 up).
    for (const auto& [video, odd] : {std::pair{false, false}, {true, false}, {true, true}}) {
        SCOPED_TRACE(video ? odd ? "video, odd levels" : "video" : "pictures");
        StrengthSetting previous{};
        const auto chroma = [](const StrengthSetting& s) {
            return s.chroma_threshold < 0 ? s.threshold : s.chroma_threshold;
        };
        for (int quality = 1; quality <= 100; ++quality) {
            const StrengthSetting s = setting_at(quality, video, odd);
            EXPECT_EQ(s.n_shift, video ? 16 : 64);
            EXPECT_GE(s.quant, 1);
            EXPECT_LE(s.quant, std::max(s.threshold, 1));
            EXPECT_GE(s.chroma_threshold, -1);
            EXPECT_LE(s.chroma_threshold, 255);
            if (video) {
                EXPECT_EQ(s.chroma_threshold, -1) << quality;
            }
            if (quality > 1) {
                // Once left unfiltered, unfiltered for every higher quality.
                EXPECT_TRUE(!previous.unfiltered || s.unfiltered) << quality;
                if (!s.unfiltered) {
                    EXPECT_LE(s.quant, previous.quant) << quality;
                    EXPECT_LE(chroma(s), chroma(previous)) << quality;
                    if (video) {
                        EXPECT_LE(s.threshold, previous.threshold) << quality;
                    }
                }
            }
            previous = s;
        }
        EXPECT_GE(setting_at(10, video, odd).threshold, 24);
        EXPECT_FALSE(setting_at(10, video, odd).unfiltered);
        // Nothing found: left unfiltered.
        EXPECT_TRUE(setting_for(SourceQuality{}, video).unfiltered);
    }
}

TEST(Strength, VideoFramesTakeTheLastIntraFramesSetting) {
    // Frames as the estimate sees them: a quality with this many steps found (an intra frame
    // shows many; a predicted frame none, or a few from its intra-coded blocks), and odd levels
    // (MPEG-4) or not. Each frame's expected setting: from the intra frame named (0:
    // unfiltered), its own or a predicted frame's after it.
    struct Seen {
        int quality;  // -1: no steps found
        std::size_t steps;
        bool odd;
    };
    struct Case {
        const char* name;
        std::vector<Seen> frames;
        std::vector<int> setting_of;
        bool odd_setting;  // the expected settings are MPEG-4's
    };
    const Case cases[] = {
        {"predicted frames carry the intra frame's; the next intra frame replaces it",
         {{-1, 0, false},
          {-1, 0, false},
          {30, 12, false},
          {-1, 0, false},
          {80, 12, false},
          {-1, 0, false}},
         {0, 0, 3, 3, 5, 5},
         false},
        // A predicted frame with a few steps is set from its own estimate (here a quality
        // whose row leaves it unfiltered) and does not replace the intra frame.
        {"the first frame with steps is intra however few; a few steps later are not",
         {{40, 3, false}, {-1, 0, false}, {85, 3, false}, {-1, 0, false}, {85, 8, false}},
         {1, 1, 0, 1, 5},
         false},
        {"odd levels once seen hold for the video",
         {{60, 10, true}, {-1, 0, false}, {30, 10, false}, {95, 4, true}, {-1, 0, false}},
         {1, 1, 3, 0, 3},
         true},
    };
    const auto source_of = [](const Seen& f, bool odd) {
        SourceQuality q;
        if (f.quality >= 0) q.quality = f.quality;
        for (std::size_t i = 0; i < f.steps; ++i) q.steps.emplace_back(static_cast<int>(i), 10.0);
        q.odd_levels = odd ? -1 : 0.2;
        return q;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VideoStrength video;
        for (std::size_t i = 0; i < c.frames.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i + 1));
            const StrengthSetting got = video.next(source_of(c.frames[i], c.frames[i].odd));
            const int from = c.setting_of[i];
            if (from == 0) {
                EXPECT_TRUE(got.unfiltered);
                continue;
            }
            // The intra frame's own setting, or a predicted frame's after it.
            const SourceQuality intra =
                source_of(c.frames[static_cast<std::size_t>(from - 1)], c.odd_setting);
            VideoStrength fresh;
            StrengthSetting want = fresh.next(intra);
            if (static_cast<std::size_t>(from) != i + 1) want = fresh.next(SourceQuality{});
            EXPECT_FALSE(got.unfiltered);
            EXPECT_EQ(got.threshold, want.threshold);
            EXPECT_EQ(got.quant, want.quant);
            EXPECT_EQ(got.n_shift, 16);
        }
    }
    // A predicted frame takes its row's setting for predicted frames: never stronger than the
    // intra frame's, and at some quality weaker (a rate control may have raised the quality
    // since the intra frame).
    bool weaker = false;
    for (const bool odd : {false, true})
        for (int quality = 1; quality <= 100; ++quality) {
            SCOPED_TRACE(std::to_string(quality) + (odd ? ", odd levels" : ""));
            VideoStrength video;
            const StrengthSetting intra = video.next(source_of({quality, 10, odd}, odd));
            const StrengthSetting predicted = video.next(source_of({-1, 0, false}, false));
            EXPECT_EQ(intra.unfiltered, predicted.unfiltered);
            EXPECT_LE(predicted.threshold, intra.threshold);
            EXPECT_LE(predicted.quant, intra.quant);
            weaker |=
                predicted.threshold * 100 + predicted.quant != intra.threshold * 100 + intra.quant;
        }
    EXPECT_TRUE(weaker);
    // The cases above tell the frames and the tables apart: their settings differ.
    const auto at = [&](int quality, bool odd) {
        return setting_for(source_of({quality, 10, odd}, odd), true);
    };
    EXPECT_NE(at(30, false).threshold * 100 + at(30, false).quant,
              at(80, false).threshold * 100 + at(80, false).quant);
    EXPECT_NE(at(60, true).threshold * 100 + at(60, true).quant,
              at(60, false).threshold * 100 + at(60, false).quant);
    EXPECT_NE(at(30, true).threshold * 100 + at(30, true).quant,
              at(60, true).threshold * 100 + at(60, true).quant);
}

TEST(Strength, EstimateFindsTheQualityAndTheGridOfADecodedJpeg) {
    // The PNG copy of a JPEG: decoded to RGB, as a viewer saves it, and for one quality also
    // cropped by 3 columns and 5 rows, which moves the grid to (5, 3).
    for (const char* name : {"astronaut.png", "camera.png"}) {
        const Photo photo = load_photo(name);
        for (const int quality : {10, 30, 50, 75, 90}) {
            SCOPED_TRACE(std::string(name) + " at quality " + std::to_string(quality));
            int components = 0;
            const auto decoded = decode_jpeg_to_rgb(
                encode_jpeg(photo.w, photo.h, photo.samples,
                            {.quality = quality, .components = photo.components}),
                components);
            const SourceQuality found =
                estimate_of(frame_of(photo.w, photo.h, components, decoded));
            ASSERT_TRUE(found.quality);
            EXPECT_NEAR(*found.quality, quality, quality >= 75 ? 3 : 2);
            EXPECT_EQ(found.offset_x, 0);
            EXPECT_EQ(found.offset_y, 0);
            if (quality != 30) continue;
            const int w = photo.w - 3, h = photo.h - 5;
            std::vector<unsigned char> cropped;
            for (int y = 5; y < photo.h; ++y)
                for (int x = 3; x < photo.w; ++x)
                    for (int k = 0; k < components; ++k)
                        cropped.push_back(
                            decoded[(static_cast<std::size_t>(y) * photo.w + x) * components + k]);
            const SourceQuality moved = estimate_of(frame_of(w, h, components, cropped));
            EXPECT_EQ(moved.offset_x, 5);
            EXPECT_EQ(moved.offset_y, 3);
            ASSERT_TRUE(moved.quality);
            EXPECT_NEAR(*moved.quality, quality, 2);
        }
    }
}

// The whole number right after `key` in `text`, or -1.
int number_after(const std::string& text, const std::string& key) {
    const std::size_t at = text.find(key);
    if (at == std::string::npos) return -1;
    int v = -1;
    return std::sscanf(text.c_str() + at + key.size(), "%d", &v) == 1 ? v : -1;
}

// The setting that the message names: "--threshold T --quant Q --n-shift N".
std::vector<std::string> named_setting(const std::string& err) {
    const int t = number_after(err, "--threshold "), q = number_after(err, " --quant "),
              n = number_after(err, " --n-shift ");
    if (t < 0 || q < 0 || n < 0) return {};
    return {"--threshold",     std::to_string(t), "--quant",
            std::to_string(q), "--n-shift",       std::to_string(n)};
}

TEST(StrengthCommand, AutoIsTheDefaultForJpegAndGivenOptionsWin) {
    TempDir dir;
    const Photo photo = load_photo("camera.png");
    write_file(dir / "in.jpg",
               encode_jpeg(photo.w, photo.h, photo.samples, {.quality = 20, .components = 1}));

    // Auto by default: the message names the quality and the setting, and the output is that
    // setting's output.
    const Result r = tool({"--threads", "2", dir / "in.jpg", dir / "auto.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("strength auto: JPEG quality 20 "), std::string::npos) << r.err;
    const std::vector<std::string> chosen = named_setting(r.err);
    ASSERT_EQ(chosen.size(), 6u) << r.err;
    SourceQuality q20;
    q20.quality = 20;
    const StrengthSetting s = setting_for(q20, false);
    EXPECT_EQ(chosen[1], std::to_string(s.threshold));
    EXPECT_EQ(chosen[3], std::to_string(s.quant));
    EXPECT_EQ(chosen[5], "64");
    std::vector<std::string> manual = {"--strength", "manual", "-q"};
    manual.insert(manual.end(), chosen.begin(), chosen.end());
    manual.insert(manual.end(), {dir / "in.jpg", dir / "manual.png"});
    ASSERT_EQ(tool(manual).status, 0);
    EXPECT_EQ(read_file(dir / "auto.png"), read_file(dir / "manual.png"));

    // A given option wins over auto; the others stay auto's.
    const Result given = tool({"--quant", "5", dir / "in.jpg", dir / "given.png"});
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_NE(given.err.find("--threshold " + chosen[1] + " --quant 5 --n-shift 64"),
              std::string::npos)
        << given.err;
    EXPECT_NE(given.err.find("--quant as given"), std::string::npos) << given.err;

    // Another encoder's table: the nearest libjpeg quality, and the setting of one 10 above.
    write_file(dir / "flat.jpg", encode_jpeg(photo.w, photo.h, photo.samples,
                                             {.quality = 20, .components = 1, .flat_luma = 40}));
    const Result flat = tool({dir / "flat.jpg", dir / "flat.png"});
    ASSERT_EQ(flat.status, 0) << flat.err;
    const int nearest = number_after(flat.err, "strength auto: JPEG quality ");
    ASSERT_GT(nearest, 0) << flat.err;
    EXPECT_NE(flat.err.find("another encoder's, so the setting of quality " +
                            std::to_string(nearest + 10) + ")"),
              std::string::npos)
        << flat.err;
    SourceQuality above;
    above.quality = nearest + 10;
    EXPECT_EQ(named_setting(flat.err)[1], std::to_string(setting_for(above, false).threshold))
        << flat.err;

    // --strength manual: the defaults, as for any other input; --quiet: no message.
    const Result m = tool({"--strength", "manual", dir / "in.jpg", dir / "m.png"});
    EXPECT_EQ(m.err, "");
    ASSERT_EQ(tool({"-q", "--threshold", "24", "--quant", "8", "--n-shift", "4", "--strength",
                    "manual", dir / "in.jpg", dir / "d.png"})
                  .status,
              0);
    EXPECT_EQ(read_file(dir / "m.png"), read_file(dir / "d.png"));
    EXPECT_EQ(tool({"-q", dir / "in.jpg", dir / "q.png"}).err, "");
    EXPECT_EQ(tool({"--strength", "sometimes", dir / "in.jpg", dir / "x.png"}).status, 2);
}

TEST(StrengthCommand, PngIsManualByDefaultAndAutoEstimates) {
    TempDir dir;
    // The shipped quality-20 photo, as a PNG.
    const std::string q20 = kSamples + "/camera-q20.png";
    const Result plain = tool({q20, dir / "plain.png"});
    EXPECT_EQ(plain.err, "");
    const Result d = tool(
        {"-q", "--threshold", "24", "--quant", "8", "--n-shift", "4", q20, dir / "defaults.png"});
    EXPECT_EQ(read_file(dir / "plain.png"), read_file(dir / "defaults.png"));

    const Result r = tool({"--strength", "auto", q20, dir / "auto.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NEAR(number_after(r.err, "looks like JPEG quality "), 20, 2) << r.err;
}

// The frames of a Y4M stream (header lines dropped), 4:2:0 of w x h.
std::vector<std::string> y4m_frames(const std::string& y4m, int w, int h) {
    const std::size_t size = static_cast<std::size_t>(w) * h * 3 / 2;
    std::vector<std::string> frames;
    for (std::size_t at = y4m.find("FRAME"); at != std::string::npos;) {
        const std::size_t data = y4m.find('\n', at) + 1;
        frames.push_back(y4m.substr(data, size));
        at = y4m.find("FRAME", data + size) == data + size ? data + size : std::string::npos;
    }
    return frames;
}

TEST(StrengthCommand, VideoGetsASettingPerFrame) {
    // A group of 3 frames (intra, predicted, predicted, intra), encoded and decoded by FFmpeg,
    // MPEG-2 at -q:v 10 and MPEG-4 part 2 at -q:v 8 (FFmpeg's -c:v mpeg4 -g 3 -bf 0 over a
    // 128x96 window panning over samples/astronaut.png): the predicted frames show no steps and
    // take the setting for predicted frames after the intra frame, a weaker one, MPEG-4's from
    // its own rows (its levels lie on odd multiples); each frame exactly as a manual run with its
    // setting filters it. Without its
    // first frame, the stream starts with predicted frames, which are left as they are until the
    // intra frame.
    struct Case {
        const char* fixture;
        const char* odd;  // in the first frame's message, or not
        // The frames (from 0) taken for intra, predicted without steps, and predicted with a few
        // steps of their own (at 128x96 MPEG-4's second intra frame shows too few to count as
        // one), whose setting comes from those steps.
        std::vector<std::size_t> intra, predicted, own;
    };
    for (const Case& c :
         {Case{"mpeg2-gop3-128x96.y4m", nullptr, {0, 3}, {1, 2}, {}},
          Case{"mpeg4-gop3-128x96.y4m", "levels on odd multiples", {0}, {1, 2}, {3}}}) {
        SCOPED_TRACE(c.fixture);
        TempDir dir;
        const std::string in = kSamples + "/../tests/fixtures/" + c.fixture;
        const Result r = tool({"--strength", "auto", "--threads", "2", in, dir / "auto.y4m"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("strength auto, frame 1: looks like JPEG quality"), std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("levels on odd multiples") != std::string::npos, c.odd != nullptr)
            << r.err;
        const std::vector<std::string> chosen = named_setting(r.err);  // frame 1's
        ASSERT_EQ(chosen.size(), 6u) << r.err;
        EXPECT_EQ(chosen[5], "16");
        // The summary: how many frames took each setting.
        const std::size_t summary = r.err.find("strength auto per frame: ");
        ASSERT_NE(summary, std::string::npos) << r.err;
        std::vector<std::pair<std::size_t, std::vector<std::string>>> counted;
        std::stringstream parts(
            r.err.substr(summary + 25, r.err.find('\n', summary) - summary - 25));
        for (std::string part; std::getline(parts, part, ',');)
            counted.emplace_back(std::stoul(part), named_setting(part));
        ASSERT_EQ(counted.size(), c.own.empty() ? 2u : 3u) << r.err;
        // The intra frames take frame 1's setting, the predicted frames a weaker one.
        std::vector<std::string> weaker, own;
        for (const auto& [n, setting] : counted) {
            if (setting == chosen)
                EXPECT_EQ(n, c.intra.size()) << r.err;
            else if (n == c.predicted.size() && weaker.empty())
                weaker = setting;
            else
                own = setting;
        }
        ASSERT_EQ(weaker.size(), 6u) << r.err;
        EXPECT_LE(std::stoi(weaker[1]), std::stoi(chosen[1]));
        EXPECT_LE(std::stoi(weaker[3]), std::stoi(chosen[3]));
        EXPECT_EQ(own.empty(), c.own.empty()) << r.err;

        const std::string source_file = read_file(in);
        const auto source = y4m_frames(source_file, 128, 96);
        const auto out = y4m_frames(read_file(dir / "auto.y4m"), 128, 96);
        ASSERT_EQ(source.size(), 4u);
        ASSERT_EQ(out.size(), 4u);
        for (const auto& [setting, frames] :
             {std::pair{chosen, c.intra}, {weaker, c.predicted}, {own, c.own}}) {
            if (frames.empty()) continue;
            std::vector<std::string> manual = {"--strength", "manual", "-q"};
            manual.insert(manual.end(), setting.begin(), setting.end());
            manual.insert(manual.end(), {in, dir / "manual.y4m"});
            ASSERT_EQ(tool(manual).status, 0);
            const auto by_hand = y4m_frames(read_file(dir / "manual.y4m"), 128, 96);
            ASSERT_EQ(by_hand.size(), 4u);
            for (const std::size_t i : frames) EXPECT_EQ(out[i], by_hand[i]) << "frame " << i + 1;
        }
        for (std::size_t i = 0; i < 4; ++i) EXPECT_NE(out[i], source[i]) << "frame " << i + 1;
        // The same bytes on one thread.
        ASSERT_EQ(tool({"-q", "--strength", "auto", "--threads", "1", in, dir / "one.y4m"}).status,
                  0);
        EXPECT_EQ(read_file(dir / "one.y4m"), read_file(dir / "auto.y4m"));

        // Predicted, predicted, intra: the first two as they were read.
        const std::size_t first = source_file.find("FRAME");
        const std::size_t second = source_file.find("FRAME", first + 5 + 128 * 96 * 3 / 2);
        write_file(dir / "late.y4m", source_file.substr(0, first) + source_file.substr(second));
        const Result late = tool({"--strength", "auto", dir / "late.y4m", dir / "late-out.y4m"});
        ASSERT_EQ(late.status, 0) << late.err;
        EXPECT_NE(late.err.find("strength auto, frame 1: no block quantisation found: left "
                                "unfiltered"),
                  std::string::npos)
            << late.err;
        EXPECT_NE(late.err.find("per frame: 2 frames unfiltered, 1 frame "), std::string::npos)
            << late.err;
        const auto late_out = y4m_frames(read_file(dir / "late-out.y4m"), 128, 96);
        ASSERT_EQ(late_out.size(), 3u);
        EXPECT_EQ(late_out[0], source[1]);
        EXPECT_EQ(late_out[1], source[2]);
        EXPECT_NE(late_out[2], source[3]);
        // --zero-weight cannot act on the frames left as they were: the summary says so.
        const Result weighted = tool(
            {"--strength", "auto", "--zero-weight", "2", dir / "late.y4m", dir / "weighted.y4m"});
        ASSERT_EQ(weighted.status, 0) << weighted.err;
        EXPECT_NE(weighted.err.find("(--zero-weight not applied to the unfiltered frames)"),
                  std::string::npos)
            << weighted.err;
    }
}

TEST(StrengthCommand, CleanPicturesAreLeftUntouched) {
    // Never-compressed photos: auto finds no quantisation and leaves them exactly as they are.
    for (const char* name : {"astronaut.png", "camera.png", "brick.png"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string in = kSamples + "/" + name;
        const std::string report = dir / "report.txt";
        const Result r = run_shell("'" + kTool + "' --strength auto --reference '" + in + "' '" +
                                   in + "' '" + dir / "out.png" + "' >'" + report + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("no block quantisation found: left unfiltered"), std::string::npos)
            << r.err;
        EXPECT_NE(read_file(report).find("luma PSNR inf -> inf"), std::string::npos)
            << read_file(report);
    }
}

TEST(StrengthCommand, AutoNeverLosesAgainstTheUnfilteredPicture) {
    // The promise, on two photos of the corpus at qualities across the table (a row, between
    // rows, the last filtered row, the first unfiltered one): the PSNR that a viewer sees (RGB
    // for colour, gray for gray) of auto's output against the clean photo is at most 0.02 dB
    // below the unfiltered decode's.
    const auto psnr_of = [](const std::vector<unsigned char>& a,
                            const std::vector<unsigned char>& b) {
        double sum = 0;
        for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
        return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
    };
    for (const char* name : {"chelsea.png", "camera.png"}) {
        const Photo photo = load_photo(name);
        for (const int quality : {15, 50, 72, 88, 93, 94}) {
            SCOPED_TRACE(std::string(name) + " at quality " + std::to_string(quality));
            TempDir dir;
            write_file(dir / "in.jpg",
                       encode_jpeg(photo.w, photo.h, photo.samples,
                                   {.quality = quality, .components = photo.components}));
            ASSERT_EQ(tool({"-q", dir / "in.jpg", dir / "out.png"}).status, 0);
            // The unfiltered picture is libjpeg's decode, as a viewer shows it.
            int components = 0;
            const std::vector<unsigned char> unfiltered =
                decode_jpeg_to_rgb(read_file(dir / "in.jpg"), components);
            const Png out = decode_png(read_file(dir / "out.png"));
            ASSERT_EQ(out.data.size(), photo.samples.size());
            const double before = psnr_of(unfiltered, photo.samples);
            const double after = psnr_of(out.data, photo.samples);
            EXPECT_GE(after - before, -0.02) << before << " -> " << after;
            if (quality <= 50) {
                EXPECT_GT(after - before, 0.2) << before << " -> " << after;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------
// JPEG output.

// The JPEG's markers: (marker, payload) in file order up to the first scan.
std::vector<std::pair<int, std::string>> markers_of(const std::string& jpeg) {
    std::vector<std::pair<int, std::string>> out;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
        const int marker = static_cast<unsigned char>(jpeg[at + 1]);
        const std::size_t length = (static_cast<unsigned char>(jpeg[at + 2]) << 8) |
                                   static_cast<unsigned char>(jpeg[at + 3]);
        out.emplace_back(marker, jpeg.substr(at + 4, length - 2));
        if (marker == 0xDA) break;
        at += 2 + length;
    }
    return out;
}

// Sampling factors of the luma component, read by libjpeg.
std::pair<int, int> luma_sampling(const std::string& jpeg) {
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    const std::pair<int, int> s{cinfo.comp_info[0].h_samp_factor, cinfo.comp_info[0].v_samp_factor};
    jpeg_destroy_decompress(&cinfo);
    return s;
}

TEST(JpegOutput, AnUprightPictureWithItsProfileAndExifCloseToThePng) {
    TempDir dir;
    std::vector<std::uint8_t> icc(300);
    for (std::size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string app1 = exif_app1(6, false);
    write_file(dir / "in.jpg",
               with_app1(photo_jpeg("chelsea.png", 44, 28, {.quality = 30, .icc = icc}), app1));
    ASSERT_EQ(tool({"-q", dir / "in.jpg", dir / "out.png"}).status, 0);
    const Result r = tool({"-q", dir / "in.jpg", dir / "out.jpg"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string jpeg = read_file(dir / "out.jpg");

    // A standard JPEG that djpeg reads, upright (28 x 44), and the profile it extracts is ours.
    const Result d = run_shell("djpeg -icc '" + dir / "icc.bin" + "' -outfile '" +
                               dir / "djpeg.ppm" + "' '" + dir / "out.jpg" + "'");
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(read_file(dir / "icc.bin"), std::string(icc.begin(), icc.end()));
    EXPECT_EQ(read_file(dir / "djpeg.ppm").substr(0, 9), "P6\n28 44\n");

    // Its EXIF data, orientation now 1, as in the PNG.
    std::string exif = app1.substr(6);
    exif[kOrientationAt + 1] = 0;
    exif[kOrientationAt] = 1;
    int app1_count = 0;
    for (const auto& [marker, payload] : markers_of(jpeg))
        if (marker == 0xE1) {
            ++app1_count;
            EXPECT_EQ(payload, std::string("Exif\0\0", 6) + exif);
        }
    EXPECT_EQ(app1_count, 1);

    // Quality 95, chroma in full: the pixels within a few levels of the PNG's.
    EXPECT_EQ(luma_sampling(jpeg), std::make_pair(1, 1));
    int components = 0;
    const std::vector<unsigned char> got = decode_jpeg_to_rgb(jpeg, components);
    const Png png = decode_png(read_file(dir / "out.png"));
    ASSERT_EQ(components, 3);
    ASSERT_EQ(got.size(), png.data.size());
    double error = 0;
    for (std::size_t i = 0; i < got.size(); ++i) error += std::abs(got[i] - png.data[i]);
    EXPECT_LT(error / static_cast<double>(got.size()), 2.0);

    // --quality and --jpeg-sampling.
    ASSERT_EQ(
        tool({"-q", "--quality", "50", "--jpeg-sampling", "420", dir / "in.jpg", dir / "small.jpg"})
            .status,
        0);
    const std::string small = read_file(dir / "small.jpg");
    EXPECT_LT(small.size(), jpeg.size());
    EXPECT_EQ(luma_sampling(small), std::make_pair(2, 2));
}

TEST(JpegOutput, WhatAJpegCannotHoldIsRefused) {
    TempDir dir;
    write_file(dir / "alpha.png", encode_png(4, 4, 6, 8, std::vector<unsigned char>(64, 200)));
    write_file(dir / "two.y4m", make_y4m("W8 H8 F25:1 C444", 8, 8, 8, 8, 2, false,
                                         [](int, int x, int y, int) { return 16 * x + y; }));
    // Past libjpeg's 65500 pixels: refused before the filter runs, not when encoding fails.
    write_file(dir / "wide.png", encode_png(65501, 1, SPNG_COLOR_TYPE_GRAYSCALE, 8,
                                            std::vector<unsigned char>(65501)));
    write_file(dir / "tall.png", encode_png(1, 65501, SPNG_COLOR_TYPE_GRAYSCALE, 8,
                                            std::vector<unsigned char>(65501)));
    const struct {
        const char* input;
        const char* message;
    } cases[] = {
        {"alpha.png", "a JPEG has no alpha channel"},
        {"two.y4m", "a JPEG holds one frame"},
        {"wide.png", "a JPEG is at most 65500 pixels wide and tall, the picture is 65501x1"},
        {"tall.png", "a JPEG is at most 65500 pixels wide and tall, the picture is 1x65501"}};
    for (const auto& c : cases) {
        const Result r = tool({dir / c.input, dir / "out.jpg"});
        EXPECT_EQ(r.status, 2) << c.input;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(exists(dir / "out.jpg")) << c.input;
    }
    EXPECT_EQ(tool({"--quality", "101", dir / "two.y4m", dir / "out.jpg"}).status, 2);
}

TEST(StrengthCommand, AutoGivesChromaAThresholdOfItsOwn) {
    // Where auto's row has a threshold of chroma's own, the output's luma is that of the
    // manual run at its threshold and quant and its Cb and Cr those of the manual run at
    // chroma's threshold (the engine filters the channels apart): host-scale .yc48 samples.
    int quality = 0;
    StrengthSetting row;
    for (int q = 100; q >= 1 && quality == 0; --q) {
        row = setting_at(q, false);
        if (!row.unfiltered && row.chroma_threshold >= 0 && row.chroma_threshold != row.threshold)
            quality = q;
    }
    ASSERT_GT(quality, 0) << "no quality gives chroma a threshold of its own";
    TempDir dir;
    const Photo photo = load_photo("chelsea.png");
    write_file(dir / "in.jpg", encode_jpeg(photo.w, photo.h, photo.samples,
                                           {.quality = quality, .components = photo.components}));
    const Result r = tool({dir / "in.jpg", dir / "auto.yc48"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(", chroma threshold " + std::to_string(row.chroma_threshold)),
              std::string::npos)
        << r.err;
    const auto pixels_of = [&](const std::string& out) {
        return yc48_pixels(read_file(dir / out));
    };
    const auto manual = [&](int threshold, int quant, const std::string& out) {
        EXPECT_EQ(tool({"-q", "--strength", "manual", "--threshold", std::to_string(threshold),
                        "--quant", std::to_string(quant), "--n-shift", std::to_string(row.n_shift),
                        dir / "in.jpg", dir / out})
                      .status,
                  0);
        return pixels_of(out);
    };
    const auto got = pixels_of("auto.yc48");
    const auto luma = manual(row.threshold, row.quant, "luma.yc48");
    const auto chroma = manual(row.chroma_threshold, 1, "chroma.yc48");
    ASSERT_EQ(got.size(), static_cast<std::size_t>(photo.w) * photo.h);
    ASSERT_EQ(luma.size(), got.size());
    ASSERT_EQ(chroma.size(), got.size());
    std::size_t differ = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].y, luma[i].y) << i;
        EXPECT_EQ(got[i].cb, chroma[i].cb) << i;
        EXPECT_EQ(got[i].cr, chroma[i].cr) << i;
        differ += got[i].cb != luma[i].cb || got[i].cr != luma[i].cr;
        if (HasFailure()) return;
    }
    EXPECT_GT(differ, 0u) << "chroma came out as under the luma threshold";
    // The same by hand.
    ASSERT_EQ(tool({"-q", "--strength", "manual", "--threshold", std::to_string(row.threshold),
                    "--quant", std::to_string(row.quant), "--n-shift", std::to_string(row.n_shift),
                    "--chroma-threshold", std::to_string(row.chroma_threshold), dir / "in.jpg",
                    dir / "manual.yc48"})
                  .status,
              0);
    EXPECT_EQ(read_file(dir / "manual.yc48"), read_file(dir / "auto.yc48"));
    // The plug-in has one threshold: its output cannot be given with chroma's own.
    const Result host = tool({"--host-threads", "2", dir / "in.jpg", dir / "host.yc48"});
    EXPECT_EQ(host.status, 2);
    EXPECT_NE(host.err.find("automatic strength chose chroma threshold"), std::string::npos)
        << host.err;
    EXPECT_FALSE(exists(dir / "host.yc48"));
}

TEST(StrengthCommand, HighQualityJpegIsLeftAsDecoded) {
    // Where no setting gained on the photos measured, the output is the decoded JPEG with
    // nothing filtered.
    const auto unfiltered_at = [](int q) { return setting_at(q, false).unfiltered; };
    int quality = 100;  // the lowest quality left unfiltered
    while (quality > 1 && unfiltered_at(quality - 1)) --quality;
    ASSERT_TRUE(unfiltered_at(quality));
    EXPECT_LE(quality, 98);
    TempDir dir;
    const Photo photo = load_photo("chelsea.png");
    write_file(dir / "in.jpg", encode_jpeg(photo.w, photo.h, photo.samples,
                                           {.quality = quality, .components = photo.components}));
    const Result r = tool({dir / "in.jpg", dir / "out.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("strength auto: JPEG quality " + std::to_string(quality) +
                         " (its luma quantisation table): no setting was measured to gain "
                         "there: left unfiltered"),
              std::string::npos)
        << r.err;
    // The output is libjpeg's own decode, byte for byte: djpeg's RGB, for every chroma
    // sampling and for progressive files (the engine never runs).
    const auto djpeg_of = [&](const std::string& jpeg) {
        const Result d =
            run_shell("djpeg -ppm -outfile '" + dir / "djpeg.ppm" + "' '" + jpeg + "'");
        EXPECT_EQ(d.status, 0) << d.err;
        const std::string ppm = read_file(dir / "djpeg.ppm");
        std::size_t at = 0;  // after "P6\nW H\n255\n"
        for (int line = 0; line < 3; ++line) at = ppm.find('\n', at) + 1;
        return ppm.substr(at);
    };
    const Png out = decode_png(read_file(dir / "out.png"));
    const std::string djpeg = djpeg_of(dir / "in.jpg");
    ASSERT_EQ(djpeg.size(), out.data.size());
    EXPECT_TRUE(djpeg == std::string(out.data.begin(), out.data.end()));
    for (const auto& [h, v, progressive] : {std::tuple{1, 1, false}, {2, 1, false}, {2, 2, true}}) {
        SCOPED_TRACE(std::to_string(h) + "x" + std::to_string(v));
        write_file(
            dir / "kind.jpg",
            encode_jpeg(photo.w, photo.h, photo.samples,
                        {.quality = 100, .h_samp = h, .v_samp = v, .progressive = progressive}));
        ASSERT_EQ(tool({"-q", dir / "kind.jpg", dir / "kind.png"}).status, 0);
        const Png kind = decode_png(read_file(dir / "kind.png"));
        EXPECT_TRUE(djpeg_of(dir / "kind.jpg") == std::string(kind.data.begin(), kind.data.end()));
    }
    // --reference measures RGB too: the decoded picture's, which is the output's.
    write_file(dir / "clean.png",
               encode_png(photo.w, photo.h, SPNG_COLOR_TYPE_TRUECOLOR, 8, photo.samples));
    const Result measured = tool(
        {"-q", "--reference", dir / "clean.png", dir / "in.jpg", "--output-format", "png", "-"});
    ASSERT_EQ(measured.status, 0) << measured.err;
    const auto psnr_of = [&](const std::vector<unsigned char>& a) {
        double sum = 0;
        for (std::size_t i = 0; i < a.size(); ++i)
            sum += (a[i] - photo.samples[i]) * double(a[i] - photo.samples[i]);
        return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
    };
    char rgb[80];
    const double psnr = psnr_of(out.data);
    std::snprintf(rgb, sizeof rgb, "RGB PSNR %.3f -> %.3f dB (+0.000)", psnr, psnr);
    EXPECT_NE(measured.err.find(rgb), std::string::npos) << measured.err << rgb;
    ASSERT_EQ(tool({"-q", "--threads", "3", dir / "in.jpg", dir / "out3.png"}).status, 0);
    EXPECT_EQ(read_file(dir / "out.png"), read_file(dir / "out3.png"));
    // A track given by hand asks for filtering: the output then differs, and --reference
    // measures it as written against the decoded picture as libjpeg decodes it.
    const Result given = tool(
        {"--n-shift", "4", "--reference", dir / "clean.png", dir / "in.jpg", dir / "given.png"});
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_NE(given.err.find("--n-shift as given"), std::string::npos) << given.err;
    const Result again = tool({"-q", "--n-shift", "4", "--reference", dir / "clean.png",
                               dir / "in.jpg", "--output-format", "png", "-"});
    const double filtered = psnr_of(decode_png(read_file(dir / "given.png")).data);
    std::snprintf(rgb, sizeof rgb, "RGB PSNR %.3f -> %.3f dB", psnr, filtered);
    EXPECT_NE(again.err.find(rgb), std::string::npos) << again.err << rgb;
    // Options that only shape filtering are named as not applied, not dropped without a word.
    const Result unused =
        tool({"--zero-weight", "2", "--chroma-threshold", "3", dir / "in.jpg", dir / "unused.png"});
    ASSERT_EQ(unused.status, 0) << unused.err;
    EXPECT_NE(unused.err.find("left unfiltered; --zero-weight and --chroma-threshold not applied"),
              std::string::npos)
        << unused.err;
    EXPECT_EQ(read_file(dir / "unused.png"), read_file(dir / "out.png"));
}

}  // namespace
}  // namespace korvane::test
