// The formats' one interface, as the pipeline uses it: a frame read as bytes and converted band
// by band, in any order, is the frame read whole; a writer's bands make the bytes of one whole
// conversion; and frames written as raw frames from a converted input carry the filter's pixels.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/output_file.h"
#include "cli/pipeline.h"
#include "command_util.h"
#include "engine/cpu.h"
#include "engine/kernels.h"
#include "fixtures.h"
#include "picture/convert.h"
#include "picture/picture_filter.h"
#include "run_command.h"

namespace korvane::test {
namespace {

using cli::Frame;

// Small inputs of every format, of odd sizes, two frames where the format holds several.
std::vector<std::string> make_inputs(const TempDir& dir) {
    const auto sample = [](int top) {
        return [top](int p, int x, int y, int f) {
            return static_cast<int>((x * 7919u + y * 104729u + p * 13u + f * 31u) % 97u) * top /
                       400 +
                   top / 4;
        };
    };
    write_file(dir / "in.y4m", make_y4m("W37 H23 C420jpeg", 37, 23, 19, 12, 2, false, sample(255)));
    write_file(dir / "in10.y4m",
               make_y4m("W29 H18 C422p10", 29, 18, 15, 18, 2, true, sample(1023)));
    const std::string raw = read_file(kSamples + "/noise-64x48.yc48");
    write_file(dir / "in.yc48", raw + raw);
    std::vector<unsigned char> rgba, graya;
    for (int i = 0; i < 21 * 13 * 4; ++i) {
        rgba.push_back(static_cast<unsigned char>(i * 37 % 251));
        rgba.push_back(static_cast<unsigned char>(i * 11 % 256));
    }
    for (int i = 0; i < 19 * 15 * 2; ++i) graya.push_back(static_cast<unsigned char>(i * 29 % 256));
    write_file(dir / "rgba16.png", encode_png(21, 13, SPNG_COLOR_TYPE_TRUECOLOR_ALPHA, 16, rgba));
    write_file(dir / "graya.png", encode_png(19, 15, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 8, graya));
    write_file(dir / "rgb.png",
               encode_png(35, 27, SPNG_COLOR_TYPE_TRUECOLOR, 8, gradient_rgb(35, 27)));
    EXPECT_EQ(tool({"-q", dir / "rgb.png", dir / "in.jpg"}).status, 0);
    return {dir / "in.y4m",     dir / "in10.y4m",  dir / "in.yc48",
            dir / "rgba16.png", dir / "graya.png", dir / "in.jpg"};
}

cli::Options options_for(const std::string& path) {
    cli::Options options;
    options.size = cli::FrameSize{64, 48};  // for the raw frames
    options.input = path;
    return options;
}

TEST(FrameRows, BandsInAnyOrderConvertAsTheWholeFrame) {
    TempDir dir;
    for (const std::string& path : make_inputs(dir)) {
        SCOPED_TRACE(path);
        const cli::Options options = options_for(path);
        const cli::Format& format = cli::input_format(options);
        const auto whole = format.open_reader(path, options);
        const auto banded = format.open_reader(path, options);
        int frames = 0;
        for (Frame expected, read; whole->read(expected); ++frames) {
            ASSERT_TRUE(banded->read_bytes(read));
            const std::int32_t w = read.w, h = read.h;
            ASSERT_EQ(w, expected.w);
            ASSERT_EQ(h, expected.h);
            // Rows of 1 and of 3, last first, into rows wider than the frame.
            for (const std::int32_t band : {1, 3}) {
                const std::ptrdiff_t stride = w + 5;
                std::vector<YcPixel> rows(static_cast<std::size_t>(stride) * h,
                                          YcPixel{-1, -1, -1});
                for (std::int32_t y0 = (h - 1) / band * band; y0 >= 0; y0 -= band)
                    banded->convert_rows(read, y0, std::min(h, y0 + band),
                                         rows.data() + y0 * stride, stride);
                for (std::int32_t y = 0; y < h; ++y)
                    for (std::int32_t x = 0; x < w; ++x) {
                        const YcPixel& got = rows[static_cast<std::size_t>(y * stride + x)];
                        const YcPixel& want = expected.pixels[static_cast<std::size_t>(y * w + x)];
                        ASSERT_TRUE(got.y == want.y && got.cb == want.cb && got.cr == want.cr)
                            << "band " << band << " at " << x << "," << y;
                    }
            }
            EXPECT_EQ(read.alpha, expected.alpha);
            EXPECT_EQ(read.params, expected.params);

            // Every writer that can hold this frame: bands of two rows, last first, against one
            // conversion of the whole frame; bytes that no band writes would differ.
            cli::StreamInfo info = whole->info();
            info.frame_count = 1;
            for (const cli::Format* out :
                 {&cli::kY4mFormat, &cli::kPngFormat, &cli::kJpegFormat, &cli::kYc48Format}) {
                SCOPED_TRACE(out->name);
                if (out == &cli::kJpegFormat && info.alpha) continue;  // refused: no alpha
                cli::OutputFile file(dir / (std::string("out") + out->extension));
                const auto writer = out->open_writer(file, info, options);
                Frame one, bands;
                writer->size_bytes(one, w, h);
                writer->size_bytes(bands, w, h);
                std::fill(one.bytes.begin(), one.bytes.end(), 0x55);
                std::fill(bands.bytes.begin(), bands.bytes.end(), 0xAA);
                writer->convert_rows(expected, one, 0, h);
                for (std::int32_t y0 = (h - 1) / 2 * 2; y0 >= 0; y0 -= 2)
                    writer->convert_rows(expected, bands, y0, std::min(h, y0 + 2));
                EXPECT_TRUE(one.bytes == bands.bytes);
            }
        }
        Frame after_the_last;
        EXPECT_FALSE(banded->read_bytes(after_the_last));
        EXPECT_EQ(frames, path.ends_with(".y4m") || path.ends_with(".yc48") ? 2 : 1);
    }
}

TEST(Command, ConvertedInputWrittenAsRawFramesIsTheFiltersOutput) {
    // Raw frames are written from the filter's pixels themselves, which for a converted input
    // are the filter's own buffer, handed on frame after frame.
    TempDir dir;
    for (const std::string& path : make_inputs(dir)) {
        if (path.ends_with(".yc48")) continue;
        SCOPED_TRACE(path);
        const Result r = tool({"-q", "--strength", "manual", path, dir / "out.yc48"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string out = read_file(dir / "out.yc48");

        const cli::Options options = options_for(path);
        const auto reader = cli::input_format(options).open_reader(path, options);
        PictureFilter filter(kernels_for(best_tier()), 2);
        std::size_t at = 0;
        for (Frame frame; reader->read(frame);) {
            const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
            ASSERT_EQ(filter.filter(Settings{}, view, true), Status::ok);
            ASSERT_LE(at + frame.pixels.size() * 6, out.size());
            for (const YcPixel& p : frame.pixels) {
                const auto sample = [&](std::size_t i) {
                    return static_cast<std::int16_t>(static_cast<unsigned char>(out[i]) |
                                                     static_cast<unsigned char>(out[i + 1]) << 8);
                };
                ASSERT_TRUE(sample(at) == p.y && sample(at + 2) == p.cb && sample(at + 4) == p.cr)
                    << "pixel " << at / 6;
                at += 6;
            }
        }
        EXPECT_EQ(at, out.size());
    }
}

// A Y4M file's frames are read row by row when they are converted; a pipe's whole, with the
// frame. Both give the same pixels; rows that the file no longer holds come out as zeros and
// are an input error at the next check.
TEST(FrameRows, Y4mFileRowsAreReadWhenConvertedAndTheirLossIsAnError) {
    TempDir dir;
    const std::string path = make_inputs(dir).front();
    const std::string bytes = read_file(path);
    const std::string fifo = dir / "in.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread feed([&] { write_file(fifo, bytes); });
    const cli::Options options = options_for(path);
    const auto piped = cli::kY4mFormat.open_reader(fifo, options);
    const auto file = cli::kY4mFormat.open_reader(path, options);
    for (int f = 0; f < 2; ++f) {
        Frame from_pipe, from_file;
        ASSERT_TRUE(piped->read_bytes(from_pipe));
        ASSERT_TRUE(file->read_bytes(from_file));
        EXPECT_EQ(from_pipe.file_offset, -1);
        EXPECT_GT(from_file.file_offset, 0);
        EXPECT_TRUE(from_file.bytes.empty());
        std::vector<YcPixel> a(37 * 23), b(37 * 23);
        piped->convert_rows(from_pipe, 0, 23, a.data(), 37);
        file->convert_rows(from_file, 0, 23, b.data(), 37);
        EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(YcPixel)), 0) << "frame " << f;
        EXPECT_NO_THROW(file->check_rows());
    }
    feed.join();

    // The first frame's header read, then the file cut in its luma plane.
    const auto cut = cli::kY4mFormat.open_reader(path, options);
    Frame frame;
    ASSERT_TRUE(cut->read_bytes(frame));
    ASSERT_EQ(::truncate(path.c_str(), frame.file_offset + 37 * 10), 0);
    std::vector<YcPixel> rows(37 * 23, YcPixel{7, 7, 7});
    cut->convert_rows(frame, 0, 23, rows.data(), 37);
    EXPECT_NE(rows[9 * 37 + 36].y, 7);  // converted from the bytes that are left
    EXPECT_EQ(rows[22 * 37].y, luma_to_host(0, YcbcrScale{}));  // from zeros
    EXPECT_THROW(
        try { cut->check_rows(); } catch (const cli::InputError& e) {
            EXPECT_NE(std::string(e.what()).find("shorter"), std::string::npos) << e.what();
            throw;
        },
        cli::InputError);
    EXPECT_NO_THROW(cut->check_rows());  // reported once
}

// The pipeline asks the reader after every frame whether its rows could all be read, and a
// frame whose rows were lost ends the run with the reader's error, that frame not written.
TEST(FrameRows, LostRowsEndTheRunBeforeTheFrameIsWritten) {
    struct LosingReader final : cli::FrameReader {
        cli::StreamInfo stream;
        int frames = 0;
        mutable std::atomic<bool> lost{false};
        LosingReader() {
            stream.w = 16;
            stream.h = 16;
        }
        bool read_bytes(Frame& frame) override {
            if (frames == 3) return false;
            ++frames;
            frame.w = frame.h = 16;
            frame.bytes.assign(16 * 16, 0);
            frame.params = std::to_string(frames);
            return true;
        }
        void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                          std::ptrdiff_t stride) const override {
            for (std::int32_t y = y0; y < y1; ++y)
                std::fill(to + (y - y0) * stride, to + (y - y0) * stride + 16, YcPixel{1000, 0, 0});
            if (from.params == "2") lost = true;  // the second frame's rows are lost
        }
        void check_rows() const override {
            if (lost) throw cli::InputError("rows lost");
        }
        const cli::StreamInfo& info() const override { return stream; }
    };
    struct CountingWriter final : cli::FrameWriter {
        int written = 0;
        void size_bytes(Frame&, std::int32_t, std::int32_t) const override {}
        void convert_rows(const Frame&, Frame&, std::int32_t, std::int32_t) const override {}
        void write_bytes(const Frame&) override { ++written; }
    } writer;
    PictureFilter filter(kernels_for(best_tier()), 2);
    cli::Pipeline run;
    run.reader = std::make_unique<LosingReader>();
    run.writer = &writer;
    run.filter = &filter;
    run.settings_of = [](const cli::Strength&) { return Settings{}; };
    run.times = std::make_shared<cli::StageTimes>();
    EXPECT_THROW(
        try { cli::run_pipeline(std::move(run)); } catch (const cli::InputError& e) {
            EXPECT_STREQ(e.what(), "rows lost");
            throw;
        },
        cli::InputError);
    EXPECT_EQ(writer.written, 1);
}

}  // namespace
}  // namespace korvane::test
