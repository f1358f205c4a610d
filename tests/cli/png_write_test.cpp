// The PNG writer's image data, compressed in bands on several threads: read back by libspng (and
// by ffmpeg) it gives the samples written, for every colour type and depth the writer makes, and
// its bytes do not depend on the threads.
#include <gtest/gtest.h>
#include <spng.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/formats.h"
#include "cli/output_file.h"
#include "cli/png_deflate.h"
#include "fixtures.h"
#include "run_command.h"
#include "runtime/thread_pool.h"

namespace korvane::test {
namespace {

using cli::PngEncoding;

int channels_of(int colour_type) {
    switch (colour_type) {
        case SPNG_COLOR_TYPE_GRAYSCALE:
            return 1;
        case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA:
            return 2;
        case SPNG_COLOR_TYPE_TRUECOLOR:
            return 3;
        default:
            return 4;
    }
}

// Samples that give every row filter something to win on: smooth gradients, flat runs and
// noise, in bands of rows and columns.
std::vector<unsigned char> picture(int w, int h, int colour_type, int depth) {
    const int bytes = channels_of(colour_type) * (depth == 16 ? 2 : 1);
    std::vector<unsigned char> data(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) *
                                    static_cast<std::size_t>(bytes));
    std::uint32_t noise = 12345;
    std::size_t i = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int b = 0; b < bytes; ++b) {
                noise = noise * 1664525u + 1013904223u;
                const int kind = (x / 16 + y / 8) % 3;
                const int v = kind == 0 ? x + 3 * y + 40 * b : kind == 1 ? 77 : int(noise >> 24);
                data[i++] = static_cast<unsigned char>(v);
            }
    return data;
}

std::string write(const TempDir& dir, int w, int h, int colour_type, int depth,
                  const std::vector<unsigned char>& data, PngEncoding encoding,
                  const cli::StreamInfo* meta = nullptr) {
    const std::string path = dir / "out.png";
    cli::OutputFile file(path);
    cli::write_png(file, w, h, static_cast<std::uint8_t>(colour_type),
                   static_cast<std::uint8_t>(depth), data, meta, encoding);
    file.commit();
    return read_file(path);
}

TEST(PngWrite, EveryLayoutAndSizeReadsBackAsWritten) {
    struct Case {
        int colour_type, depth, w, h;
    };
    // The tall ones hold many bands of rows (checked below), the odd widths end rows mid-pixel
    // of a 16-byte vector, and 1x1 is one band of one row.
    const Case cases[] = {
        {SPNG_COLOR_TYPE_TRUECOLOR, 8, 1, 1},           {SPNG_COLOR_TYPE_TRUECOLOR, 8, 7, 5},
        {SPNG_COLOR_TYPE_TRUECOLOR, 8, 1999, 301},      {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 1, 1},
        {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, 333, 517}, {SPNG_COLOR_TYPE_GRAYSCALE, 8, 1, 1},
        {SPNG_COLOR_TYPE_GRAYSCALE, 8, 3001, 401},      {SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8, 9, 3},
        {SPNG_COLOR_TYPE_TRUECOLOR, 16, 1, 1},          {SPNG_COLOR_TYPE_TRUECOLOR, 16, 1001, 123},
        {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16, 5, 7},    {SPNG_COLOR_TYPE_GRAYSCALE, 16, 2047, 250},
        {SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 16, 3, 2},
    };
    TempDir dir;
    ThreadPool pool(3);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.colour_type) + "/" + std::to_string(c.depth) + " " +
                     std::to_string(c.w) + "x" + std::to_string(c.h));
        const auto data = picture(c.w, c.h, c.colour_type, c.depth);
        const Png png = decode_png(write(dir, c.w, c.h, c.colour_type, c.depth, data, {2, &pool}));
        EXPECT_EQ(png.ihdr.width, static_cast<std::uint32_t>(c.w));
        EXPECT_EQ(png.ihdr.height, static_cast<std::uint32_t>(c.h));
        EXPECT_EQ(png.ihdr.color_type, c.colour_type);
        EXPECT_EQ(png.ihdr.bit_depth, c.depth);
        EXPECT_TRUE(png.data == data);
    }
    // The large cases are really cut in several bands.
    EXPECT_LT(cli::png_band_rows(1999 * 3), 301 / 4);
    EXPECT_LT(cli::png_band_rows(1001 * 6), 123 / 2);
}

TEST(PngWrite, EveryLevelReadsBackAsWritten) {
    TempDir dir;
    ThreadPool pool(2);
    const int w = 641, h = 480;
    const auto data = picture(w, h, SPNG_COLOR_TYPE_TRUECOLOR, 8);
    std::size_t stored = 0, smallest = 0;
    for (int level = 0; level <= cli::kPngMaxLevel; ++level) {
        SCOPED_TRACE(level);
        const std::string bytes =
            write(dir, w, h, SPNG_COLOR_TYPE_TRUECOLOR, 8, data, {level, &pool});
        EXPECT_TRUE(decode_png(bytes).data == data);
        if (level == 0) stored = bytes.size();
        if (level == cli::kPngMaxLevel) smallest = bytes.size();
    }
    EXPECT_LT(smallest, stored / 2);
}

// The zlib stream made of bands is one valid stream: zlib itself inflates it and checks its
// Adler-32, to the filtered rows (a filter type byte before each).
TEST(PngWrite, BandsJoinIntoOneZlibStream) {
    const int w = 1500, h = 211;
    const auto data = picture(w, h, SPNG_COLOR_TYPE_TRUECOLOR, 8);
    cli::PngRows rows{w, h, 3, data};
    ThreadPool pool(2);
    const std::vector<unsigned char> stream = cli::deflate_png_rows(rows, 6, &pool);
    std::vector<unsigned char> raw(static_cast<std::size_t>(h) * (3 * w + 1) + 1);
    uLongf size = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &size, stream.data(), stream.size()), Z_OK);
    EXPECT_EQ(size, static_cast<uLongf>(h) * (3 * w + 1));
    for (int y = 0; y < h; ++y) EXPECT_LE(raw[static_cast<std::size_t>(y) * (3 * w + 1)], 4);
    // A damaged checksum is seen: the Adler-32 is that of the whole data.
    std::vector<unsigned char> damaged = stream;
    damaged.back() ^= 1;
    size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &size, damaged.data(), damaged.size()), Z_DATA_ERROR);
}

TEST(PngWrite, TheBytesDoNotDependOnTheThreads) {
    TempDir dir;
    const int w = 1200, h = 700;  // 11 rows a band: 64 bands
    const auto data = picture(w, h, SPNG_COLOR_TYPE_TRUECOLOR, 16);
    const std::string one = write(dir, w, h, SPNG_COLOR_TYPE_TRUECOLOR, 16, data, {2, nullptr});
    for (const std::int32_t threads : {1, 2, 3, 7}) {
        SCOPED_TRACE(threads);
        ThreadPool pool(threads);
        EXPECT_TRUE(write(dir, w, h, SPNG_COLOR_TYPE_TRUECOLOR, 16, data, {2, &pool}) == one);
    }
}

// Chunks that libspng writes before the image data are kept, and the file still reads: an ICC
// profile, EXIF, and the descriptive chunks of a PNG input (through the command, which is the
// only way to make them).
TEST(PngWrite, ProfileAndExifComeBeforeTheImageData) {
    TempDir dir;
    cli::StreamInfo meta;
    meta.icc_name = "test profile";
    meta.icc_profile.assign(600, 7);
    meta.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
    const auto data = picture(40, 30, SPNG_COLOR_TYPE_TRUECOLOR, 8);
    ThreadPool pool(2);
    const std::string bytes =
        write(dir, 40, 30, SPNG_COLOR_TYPE_TRUECOLOR, 8, data, {2, &pool}, &meta);
    const auto iccp = bytes.find("iCCP"), exif = bytes.find("eXIf"), idat = bytes.find("IDAT"),
               iend = bytes.find("IEND");
    ASSERT_NE(iccp, std::string::npos);
    ASSERT_NE(exif, std::string::npos);
    EXPECT_LT(iccp, idat);
    EXPECT_LT(exif, idat);
    EXPECT_EQ(iend, bytes.size() - 8);

    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, bytes.data(), bytes.size());
    std::size_t size = 0;
    ASSERT_EQ(spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size), 0);
    std::vector<unsigned char> out(size);
    ASSERT_EQ(spng_decode_image(ctx, out.data(), size, SPNG_FMT_RAW, 0), 0);
    spng_iccp got{};
    EXPECT_EQ(spng_get_iccp(ctx, &got), 0);
    EXPECT_EQ(got.profile_len, 600u);
    EXPECT_STREQ(got.profile_name, "test profile");
    spng_exif got_exif{};
    EXPECT_EQ(spng_get_exif(ctx, &got_exif), 0);
    EXPECT_EQ(got_exif.length, meta.exif.size());
    spng_ctx_free(ctx);
    EXPECT_TRUE(out == data);
}

// Another decoder: ffmpeg reads the same samples back (gray and RGB, 8 and 16 bits).
TEST(PngWrite, FfmpegReadsWhatWasWritten) {
    struct Case {
        int colour_type, depth;
        const char* pix_fmt;
    };
    const Case cases[] = {{SPNG_COLOR_TYPE_TRUECOLOR, 8, "rgb24"},
                          {SPNG_COLOR_TYPE_GRAYSCALE, 8, "gray"},
                          {SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 8, "rgba"},
                          {SPNG_COLOR_TYPE_TRUECOLOR, 16, "rgb48be"}};
    TempDir dir;
    ThreadPool pool(2);
    const int w = 1001, h = 203;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pix_fmt);
        const auto data = picture(w, h, c.colour_type, c.depth);
        write(dir, w, h, c.colour_type, c.depth, data, {3, &pool});
        // ffmpeg is in scripts/install-deps' default list: without it this fails.
        const Result r =
            run_shell("ffmpeg -v error -nostdin -y -i '" + dir / "out.png" +
                      "' -f rawvideo -pix_fmt " + c.pix_fmt + " '" + dir / "out.raw" + "'");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string raw = read_file(dir / "out.raw");
        EXPECT_TRUE(raw == std::string(data.begin(), data.end()));
    }
}

// The command: --png-level changes the file's size, never its pixels, nor do the threads; a
// level out of range is a usage error.
TEST(PngWrite, LevelOptionChangesTheSizeNotThePixels) {
    TempDir dir;
    const std::string in = std::string(KORVANE_SAMPLES) + "/astronaut.png";
    const auto run = [&](const std::string& level, const std::string& threads,
                         const std::string& out) {
        return run_command(
            {KORVANE_DCT, "-q", "--png-level", level, "--threads", threads, in, dir / out});
    };
    ASSERT_EQ(run("0", "1", "stored.png").status, 0);
    ASSERT_EQ(run("9", "3", "smallest.png").status, 0);
    ASSERT_EQ(run("2", "1", "default1.png").status, 0);
    ASSERT_EQ(run("2", "2", "default2.png").status, 0);
    const std::string stored = read_file(dir / "stored.png"),
                      smallest = read_file(dir / "smallest.png");
    EXPECT_LT(smallest.size(), stored.size() / 2);
    EXPECT_TRUE(decode_png(stored).data == decode_png(smallest).data);
    EXPECT_TRUE(read_file(dir / "default1.png") == read_file(dir / "default2.png"));
    const Result bad = run("10", "1", "bad.png");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--png-level"), std::string::npos) << bad.err;
    EXPECT_FALSE(exists(dir / "bad.png"));
}

}  // namespace
}  // namespace korvane::test
