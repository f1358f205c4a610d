// JPEG input and --strength auto: the reader in-process, and korvane-dct run as a user runs it.
// Test pictures are encoded here with libjpeg, the same library that reads them.
#include <gtest/gtest.h>

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/strength.h"
#include "fixtures.h"
#include "picture/convert.h"
#include "run_command.h"

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
struct JpegSpec {
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
                        const JpegSpec& spec) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr err{};
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(w);
    cinfo.image_height = static_cast<JDIMENSION>(h);
    cinfo.input_components = spec.components;
    cinfo.in_color_space = spec.components == 1   ? JCS_GRAYSCALE
                           : spec.components == 4 ? JCS_CMYK
                                                  : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, spec.quality, TRUE);
    if (spec.flat_luma) {
        const std::vector<unsigned> flat(64, spec.flat_luma);
        jpeg_add_quant_table(&cinfo, 0, flat.data(), 100, TRUE);
    }
    if (spec.stored_as_rgb) jpeg_set_colorspace(&cinfo, JCS_RGB);
    if (spec.components == 3 && !spec.stored_as_rgb) {
        cinfo.comp_info[0].h_samp_factor = spec.h_samp;
        cinfo.comp_info[0].v_samp_factor = spec.v_samp;
    }
    if (spec.progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = spec.arithmetic ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    if (!spec.icc.empty())
        jpeg_write_icc_profile(&cinfo, spec.icc.data(), static_cast<unsigned>(spec.icc.size()));
    const auto stride = static_cast<std::size_t>(w) * static_cast<std::size_t>(spec.components);
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

std::unique_ptr<cli::FrameReader> open_jpeg(const std::string& path) {
    return kJpegFormat.open_reader(path, cli::Options{});
}

// ---------------------------------------------------------------------------------------------
// Reading.

TEST(JpegReader, EveryKindReadsAsFullRangeYcbcrCloseToItsSource) {
    struct Case {
        const char* name;
        int w, h;
        JpegSpec spec;
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
        const auto source = smooth_picture(c.w, c.h, c.spec.components);
        write_file(dir / "in.jpg", encode_jpeg(c.w, c.h, source, c.spec));
        auto reader = open_jpeg(dir / "in.jpg");
        const cli::StreamInfo& info = reader->info();
        const bool gray = c.spec.components == 1;
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
        const auto expected_table = cli::libjpeg_luma_table(c.spec.quality);
        EXPECT_EQ(info.luma_quant, std::vector<int>(expected_table.begin(), expected_table.end()));

        cli::Frame frame;
        ASSERT_TRUE(reader->read(frame));
        ASSERT_EQ(frame.pixels.size(), static_cast<std::size_t>(c.w * c.h));
        const cli::Frame want = frame_of(c.w, c.h, c.spec.components, source);
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
            (c.spec.components == 3 && !c.spec.stored_as_rgb && c.spec.v_samp == 2 ? 12 : 6) * 16);
        EXPECT_FALSE(reader->read(frame));
    }
}

TEST(JpegReader, KeepsTheIccProfileEvenAcrossSeveralMarkers) {
    // 100000 bytes need two APP2 markers (at most 65519 bytes each).
    TempDir dir;
    for (const std::size_t size : {std::size_t{560}, std::size_t{100000}}) {
        SCOPED_TRACE(size);
        JpegSpec spec;
        for (std::size_t i = 0; i < size; ++i)
            spec.icc.push_back(static_cast<std::uint8_t>(i * 7 + i / 256));
        write_file(dir / "in.jpg", encode_jpeg(16, 16, smooth_picture(16, 16, 3), spec));
        EXPECT_EQ(open_jpeg(dir / "in.jpg")->info().icc_profile, spec.icc);
    }
    write_file(dir / "none.jpg", encode_jpeg(16, 16, smooth_picture(16, 16, 3), {}));
    EXPECT_TRUE(open_jpeg(dir / "none.jpg")->info().icc_profile.empty());
}

// ---------------------------------------------------------------------------------------------
// The command on JPEG input.

TEST(JpegCommand, ColourBecomesRgbPngOrFullRangeY4mAndGrayStaysGray) {
    TempDir dir;
    JpegSpec colour{.quality = 90};
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
    write_file(dir / "png.jpg", read_file(kSamples + "/camera.png"));
    write_file(dir / "cmyk.jpg",
               encode_jpeg(16, 16, smooth_picture(16, 16, 4), {.quality = 80, .components = 4}));
    write_file(dir / "good.jpg", good);
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
        {"not a JPEG", "png.jpg", "out.png", "Not a JPEG file"},
        {"CMYK", "cmyk.jpg", "out.png", "CMYK JPEG is not supported"},
        {"JPEG output", "good.jpg", "out.jpg", "does not write it"},
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
    EXPECT_EQ(files.size(), 8u) << "files left behind";
}

// ---------------------------------------------------------------------------------------------
// --strength auto.

TEST(Strength, TableQualityIsTheLibjpegQuality) {
    for (int quality = 1; quality <= 100; ++quality) {
        const auto table = cli::libjpeg_luma_table(quality);
        const int found = cli::quality_of_table(std::vector<int>(table.begin(), table.end()));
        // Near 100 several qualities share a table: any of them is right.
        EXPECT_EQ(cli::libjpeg_luma_table(found), table) << quality;
    }
    // A table of another encoder: the nearest libjpeg table (here steps 10 % above quality 50's,
    // which lie between quality 45 and 46).
    std::vector<int> other;
    for (const int s : cli::libjpeg_luma_table(50)) other.push_back((s * 11 + 5) / 10);
    EXPECT_NEAR(cli::quality_of_table(other), 45, 1);
}

TEST(Strength, AutoSettingNeverStrengthensAsTheQualityRises) {
    for (const bool video : {false, true}) {
        SCOPED_TRACE(video ? "video" : "pictures");
        cli::StrengthSetting previous{};
        for (int quality = 1; quality <= 100; ++quality) {
            cli::SourceQuality source;
            source.quality = quality;
            const cli::StrengthSetting s = cli::setting_for(source, video);
            EXPECT_EQ(s.n_shift, video ? 16 : 64);
            EXPECT_GE(s.quant, 1);
            EXPECT_LE(s.quant, std::max(s.threshold, 1));
            if (quality > 1) {
                // Once left unfiltered, unfiltered for every higher quality.
                EXPECT_TRUE(!previous.unfiltered || s.unfiltered) << quality;
                if (!s.unfiltered) {
                    EXPECT_LE(s.threshold, previous.threshold) << quality;
                    EXPECT_LE(s.quant, previous.quant) << quality;
                }
            }
            previous = s;
        }
        cli::SourceQuality low;
        low.quality = 10;
        EXPECT_GE(cli::setting_for(low, video).threshold, 24);
        EXPECT_FALSE(cli::setting_for(low, video).unfiltered);
        // Nothing found: left unfiltered.
        EXPECT_TRUE(cli::setting_for(cli::SourceQuality{}, video).unfiltered);
    }
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
            const cli::SourceQuality found =
                cli::estimate_quality(frame_of(photo.w, photo.h, components, decoded));
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
            const cli::SourceQuality moved =
                cli::estimate_quality(frame_of(w, h, components, cropped));
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
    cli::SourceQuality q20;
    q20.quality = 20;
    const cli::StrengthSetting s = cli::setting_for(q20, false);
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
    cli::SourceQuality above;
    above.quality = nearest + 10;
    EXPECT_EQ(named_setting(flat.err)[1], std::to_string(cli::setting_for(above, false).threshold))
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
    // MPEG-2 with a group of 3 frames (intra, predicted, predicted, intra), decoded by FFmpeg:
    // the predicted frames show no block quantisation and are left as they are, the intra frames
    // are filtered, each frame exactly as a manual run with its setting filters it.
    TempDir dir;
    const std::string in = kSamples + "/../tests/fixtures/mpeg2-gop3-128x96.y4m";
    const Result r = tool({"--strength", "auto", "--threads", "2", in, dir / "auto.y4m"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("strength auto, frame 1: looks like JPEG quality"), std::string::npos)
        << r.err;
    const std::size_t summary = r.err.find("strength auto per frame: 2 frames unfiltered, ");
    ASSERT_NE(summary, std::string::npos) << r.err;
    const std::vector<std::string> chosen = named_setting(r.err);  // frame 1's
    ASSERT_EQ(chosen.size(), 6u) << r.err;
    EXPECT_EQ(chosen[5], "16");

    std::vector<std::string> manual = {"--strength", "manual", "-q"};
    manual.insert(manual.end(), chosen.begin(), chosen.end());
    manual.insert(manual.end(), {in, dir / "manual.y4m"});
    ASSERT_EQ(tool(manual).status, 0);
    const auto source = y4m_frames(read_file(in), 128, 96);
    const auto out = y4m_frames(read_file(dir / "auto.y4m"), 128, 96);
    const auto by_hand = y4m_frames(read_file(dir / "manual.y4m"), 128, 96);
    ASSERT_EQ(source.size(), 4u);
    ASSERT_EQ(out.size(), 4u);
    ASSERT_EQ(by_hand.size(), 4u);
    EXPECT_EQ(out[0], by_hand[0]);
    EXPECT_NE(out[0], source[0]);
    EXPECT_EQ(out[1], source[1]);
    EXPECT_EQ(out[2], source[2]);
    EXPECT_NE(out[3], source[3]);
    // The same bytes on one thread.
    ASSERT_EQ(tool({"-q", "--strength", "auto", "--threads", "1", in, dir / "one.y4m"}).status, 0);
    EXPECT_EQ(read_file(dir / "one.y4m"), read_file(dir / "auto.y4m"));
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
            auto reader = open_jpeg(dir / "in.jpg");
            cli::Frame frame;
            ASSERT_TRUE(reader->read(frame));
            std::vector<unsigned char> unfiltered;
            for (const YcPixel& p : frame.pixels) {
                if (photo.components == 1) {
                    unfiltered.push_back(static_cast<unsigned char>(gray_from_host(p, 255)));
                } else {
                    for (const int c : rgb_from_host(p, 255))
                        unfiltered.push_back(static_cast<unsigned char>(c));
                }
            }
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

TEST(StrengthCommand, HighQualityJpegIsLeftAsDecoded) {
    // Where no setting gained on the photos measured, the output is the decoded JPEG with
    // nothing filtered.
    const auto unfiltered_at = [](int q) {
        cli::SourceQuality s;
        s.quality = q;
        return cli::setting_for(s, false).unfiltered;
    };
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
    // The output's samples are korvane-dct's decode of the file converted to RGB, the engine
    // never run: exactly, and within one code of libjpeg's own RGB.
    auto reader = open_jpeg(dir / "in.jpg");
    cli::Frame frame;
    ASSERT_TRUE(reader->read(frame));
    const Png out = decode_png(read_file(dir / "out.png"));
    ASSERT_EQ(out.data.size(), frame.pixels.size() * 3);
    int components = 0;
    const auto libjpeg = decode_jpeg_to_rgb(read_file(dir / "in.jpg"), components);
    ASSERT_EQ(libjpeg.size(), out.data.size());
    std::size_t differ = 0;
    int worst = 0;
    for (std::size_t i = 0; i < frame.pixels.size(); ++i) {
        const auto rgb = rgb_from_host(frame.pixels[i], 255);
        for (std::size_t k = 0; k < 3; ++k) {
            differ += out.data[3 * i + k] != rgb[k];
            worst = std::max(worst, std::abs(int{out.data[3 * i + k]} - int{libjpeg[3 * i + k]}));
        }
    }
    EXPECT_EQ(differ, 0u);
    EXPECT_LE(worst, 1);
    ASSERT_EQ(tool({"-q", "--threads", "3", dir / "in.jpg", dir / "out3.png"}).status, 0);
    EXPECT_EQ(read_file(dir / "out.png"), read_file(dir / "out3.png"));
    // A track given by hand asks for filtering: the output then differs.
    const Result given = tool({"--n-shift", "4", dir / "in.jpg", dir / "given.png"});
    ASSERT_EQ(given.status, 0) << given.err;
    EXPECT_NE(given.err.find("--n-shift as given"), std::string::npos) << given.err;
}

}  // namespace
}  // namespace korvane::test
