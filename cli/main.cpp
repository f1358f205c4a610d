// korvane-dct: runs the filter over every frame of a file or stream, through the same engine
// call that the video editor's frame callback makes. Reading, filtering and writing overlap: one
// thread reads the next frames while the current one is filtered and another writes the frames
// before it; the conversions of formats that convert row by row run on the filter's threads,
// around the engine call (PictureFilter::RowSteps).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "cli/channel.h"
#include "cli/errors.h"
#include "cli/exif.h"
#include "cli/formats.h"
#include "cli/metrics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/picture.h"
#include "cli/progress.h"
#include "cli/strength.h"
#include "engine/cpu.h"
#include "engine/engine.h"
#include "picture/convert.h"
#include "picture/picture_filter.h"

namespace korvane::cli {
namespace {

// A reader thread blocked on a pipe cannot be interrupted; after a failure it is left behind and
// the process ends without waiting for it.
std::atomic<bool> g_abandoned_thread{false};

struct Item {
    Frame frame;
    std::optional<Frame> reference;
    std::optional<Strength> strength;  // this frame's own, under per-frame --strength auto
};

// Time spent in each stage, summed over its frames and over the threads that work on it, for
// --stats: reading, and converting on the filter's threads before the engine call; the engine
// call; converting on the filter's threads after it, and writing.
struct StageTimes {
    using Clock = std::chrono::steady_clock;
    std::atomic<std::int64_t> read_ns{0}, filter_ns{0}, write_ns{0};

    // Runs f() and adds its duration to `total`.
    template <typename F>
    static auto timed(std::atomic<std::int64_t>& total, F&& f) {
        const auto start = Clock::now();
        struct Add {
            std::atomic<std::int64_t>& total;
            Clock::time_point start;
            ~Add() {
                total += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
                             .count();
            }
        } add{total, start};
        return f();
    }
};

// Frames that a stage is done with, for the reader and the filter to fill again: a steady
// stream then asks the system for no new memory (fresh frames cost a page fault per 4 KiB).
class FramePool {
public:
    // A frame that held pixels before (or bytes, for !pixels), else any, else a new one.
    Frame take(bool pixels) {
        std::lock_guard lock(mutex_);
        if (frames_.empty()) return Frame{};
        auto it = std::find_if(frames_.rbegin(), frames_.rend(), [&](const Frame& f) {
            return (pixels ? f.pixels.capacity() : f.bytes.capacity()) != 0;
        });
        const auto index = it == frames_.rend() ? frames_.size() - 1
                                                : static_cast<std::size_t>(frames_.rend() - it) - 1;
        Frame f = std::move(frames_[index]);
        frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(index));
        return f;
    }
    void give(Frame frame) {
        std::lock_guard lock(mutex_);
        if (frames_.size() < 6) frames_.push_back(std::move(frame));
    }

private:
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

// Reads input frames (and their reference frames) ahead of the filter: only their bytes, for a
// format that converts on the filter's threads.
struct ReadStage {
    std::unique_ptr<FrameReader> reader;
    std::unique_ptr<FrameReader> reference;
    std::string reference_path;
    Channel<Item> out{1};
    std::exception_ptr error;
    StageTimes* times = nullptr;
    // Per-frame --strength auto: every frame's setting is estimated here, ahead of the filter.
    std::optional<Options> per_frame;
    double code_range = 1;
    // Frames that the filter and the writer are done with; the filter takes its own from here.
    FramePool pool;

    void run() {
        try {
            std::int64_t index = 0;
            const bool bytes_only = reader->converts_rows();
            for (;;) {
                Item item;
                item.frame = pool.take(!bytes_only);
                if (!StageTimes::timed(times->read_ns, [&] {
                        return bytes_only ? reader->read_bytes(item.frame)
                                          : reader->read(item.frame);
                    }))
                    break;
                ++index;
                if (per_frame)
                    StageTimes::timed(times->read_ns, [&] {
                        item.strength = frame_strength(*per_frame, item.frame, code_range);
                    });
                if (reference) {
                    item.reference.emplace();
                    if (!reference->read(*item.reference))
                        throw InputError("'" + reference_path + "': no reference for frame " +
                                         std::to_string(index));
                }
                if (!out.push(std::move(item))) break;
            }
        } catch (...) {
            error = std::current_exception();
        }
        out.close();
    }
};

Kernels select_cpu(const std::string& name) {
    const CpuTier tier = name == "auto" ? best_tier() : parse_tier(name).value_or(CpuTier::scalar);
    if (!tier_runs_here(tier))
        throw UsageError("--cpu " + name +
                         ": not available on this machine or in this build (best: " +
                         tier_name(best_tier()) + ")");
    return kernels_for(tier);
}

// Prints the measured quality of one frame, or of all of them.
class Report {
public:
    Report(std::FILE* out, bool rgb) : out_(out), rgb_(rgb) {}

    void add(std::int64_t index, const Quality& before, const Quality& after, double peak) {
        peak_ = peak;
        print(("frame " + std::to_string(index)).c_str(), before, after);
        accumulate(sum_before_, before);
        accumulate(sum_after_, after);
        ++count_;
    }

    void finish() {
        if (count_ == 0) return;
        print(("mean of " + std::to_string(count_) + (count_ == 1 ? " frame" : " frames")).c_str(),
              mean(sum_before_), mean(sum_after_));
    }

private:
    void accumulate(Quality& sum, const Quality& q) {
        sum.luma_mse += q.luma_mse;
        sum.luma_ssim += q.luma_ssim;
        if (q.rgb_mse) sum.rgb_mse = sum.rgb_mse.value_or(0) + *q.rgb_mse;
    }
    Quality mean(Quality sum) const {
        const auto n = static_cast<double>(count_);
        sum.luma_mse /= n;
        sum.luma_ssim /= n;
        if (sum.rgb_mse) *sum.rgb_mse /= n;
        return sum;
    }
    // The change of a PSNR. Infinite before and after (the frames equal the reference both
    // times) is no change rather than inf - inf, NaN.
    static std::string psnr_change(double before, double after) {
        if (std::isinf(before) && std::isinf(after)) return "identical";
        char text[32];
        std::snprintf(text, sizeof text, "%+.3f", after - before);
        return text;
    }

    void print(const char* what, const Quality& b, const Quality& a) {
        clear_progress_line();
        const double pb = psnr(b.luma_mse, peak_), pa = psnr(a.luma_mse, peak_);
        std::fprintf(out_, "%s: luma PSNR %.3f -> %.3f dB (%s), SSIM %.5f -> %.5f (%+.5f)", what,
                     pb, pa, psnr_change(pb, pa).c_str(), b.luma_ssim, a.luma_ssim,
                     a.luma_ssim - b.luma_ssim);
        if (rgb_ && b.rgb_mse && a.rgb_mse) {
            const double rb = psnr(*b.rgb_mse, peak_), ra = psnr(*a.rgb_mse, peak_);
            std::fprintf(out_, "; RGB PSNR %.3f -> %.3f dB (%s)", rb, ra,
                         psnr_change(rb, ra).c_str());
        }
        std::fputc('\n', out_);
        std::fflush(out_);
    }

    std::FILE* out_;
    bool rgb_;
    double peak_ = 255;
    Quality sum_before_{0, 0, std::nullopt}, sum_after_{0, 0, std::nullopt};  // sums
    std::int64_t count_ = 0;
};

// Same file: the same inode where both exist, else the same absolute path.
bool same_file(const std::string& a, const std::string& b) {
    if (a == "-" || b == "-") return a == b;
    std::error_code ec;
    if (std::filesystem::equivalent(a, b, ec) && !ec) return true;
    return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}

bool has_extension(const std::string& path, const std::string& extension) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == extension;
}

// A file that is read must not also be written, nor may two outputs be one file: refused before
// any work, since the output would replace what is still to be read or the other output.
void check_not_an_output(const std::string& path, const char* what, const Options& options) {
    if (same_file(path, options.output))
        throw UsageError("'" + path + "': " + what + " and OUTPUT are the same file");
    if (!options.compare.empty() && same_file(path, options.compare))
        throw UsageError("'" + path + "': " + what + " and --compare are the same file");
}

void check_outputs(const Options& options) {
    if (options.compare.empty()) return;
    // The picture is a PNG whatever its name: a name that says otherwise is a mistake.
    if (options.compare != "-" && !has_extension(options.compare, ".png"))
        throw UsageError("'" + options.compare + "': --compare writes a PNG picture: name it .png");
    if (options.compare == "-" && options.output == "-")
        throw UsageError("--compare - and OUTPUT - cannot both be standard output");
    if (same_file(options.compare, options.output))
        throw UsageError("'" + options.compare + "': --compare and OUTPUT are the same file");
    if (same_file(options.compare, options.input))
        throw UsageError("'" + options.compare + "': --compare and INPUT are the same file");
}

// One line: frames, wall time, frames per second, and per frame the time in each stage, summed
// over the threads that run it (the stages overlap, so the three may add up to more than the
// wall time).
void print_stats(const StageTimes& t, StageTimes::Clock::time_point started, std::int64_t frames) {
    const double wall = std::chrono::duration<double>(StageTimes::Clock::now() - started).count();
    const double n = frames > 0 ? static_cast<double>(frames) : 1.0;
    auto ms = [&](const std::atomic<std::int64_t>& ns) {
        return static_cast<double>(ns) / n / 1e6;
    };
    std::fprintf(stderr,
                 "korvane-dct: stats: %lld %s in %.3f s, %.2f frames/s; per frame: filter "
                 "%.2f ms, read and convert %.2f ms, convert and write %.2f ms\n",
                 static_cast<long long>(frames), frames == 1 ? "frame" : "frames", wall,
                 wall > 0 ? static_cast<double>(frames) / wall : 0, ms(t.filter_ns), ms(t.read_ns),
                 ms(t.write_ns));
}

// One input into one output.
int run_file(const Options& options) {
    const Kernels kernels = select_cpu(options.cpu);
    const Format& in_format = input_format(options);
    const Format& out_format = output_format(options, in_format);
    if (options.input == "-" && options.reference == "-")
        throw UsageError("the input and the reference cannot both be standard input");
    // Only raw frames lack a size of their own; given for anything else, --size would be ignored,
    // which hides a mistake (the wrong file, or a format named wrongly).
    if (options.size && &in_format != &kYc48Format &&
        (options.reference.empty() || options.reference == "-" ||
         &format_for(options.reference) != &kYc48Format))
        throw UsageError("--size is only for raw .yc48 frames; '" + options.input + "' is " +
                         in_format.name + ", which carries its own size");

    check_outputs(options);
    // Everything about the inputs is checked before any output is created.
    // A picture format decodes its one picture when it is opened: counted as reading.
    const auto started = StageTimes::Clock::now();
    auto times = std::make_shared<StageTimes>();  // shared with the reading thread, as it is
    std::unique_ptr<FrameReader> reader = StageTimes::timed(
        times->read_ns, [&] { return in_format.open_reader(options.input, options); });
    // A JPEG whose EXIF data says how to turn it upright is filtered as stored, on its own block
    // grid, and each frame is turned upright after the filter: everything after the filter (the
    // output, the reference, the comparison picture) sees the upright picture.
    const int orientation = reader->info().orientation;
    const StreamInfo info = upright(reader->info());
    std::unique_ptr<FrameReader> reference;
    if (!options.reference.empty()) {
        const Format& ref_format =
            options.reference == "-" ? kY4mFormat : format_for(options.reference);
        check_not_an_output(options.reference, "--reference", options);
        reference = ref_format.open_reader(options.reference, options);
        const StreamInfo& ri = reference->info();
        if (ri.w != info.w || ri.h != info.h)
            throw InputError("'" + options.reference + "': reference frames are " +
                             std::to_string(ri.w) + "x" + std::to_string(ri.h) + ", the input's " +
                             std::to_string(info.w) + "x" + std::to_string(info.h));
        if (ri.frame_count && info.frame_count && *ri.frame_count < *info.frame_count)
            throw InputError("'" + options.reference + "': " + std::to_string(*ri.frame_count) +
                             " reference frames for " + std::to_string(*info.frame_count) +
                             " input frames");
    }
    // --strength auto may read the first frame to estimate the source's compression.
    const Strength strength = choose_strength(options, in_format, reader);
    const auto settings_of = [&](const std::array<std::int32_t, 4>& t) {
        return Settings{
            t[kThreshold], t[kQuant],
            options.host_threads ? shifts_on_host(t[kNShift], options.host_threads) : t[kNShift],
            t[kZeroWeight]};
    };
    // One filter, its threads and memory kept from frame to frame; each frame brings its own
    // setting (per-frame auto may use several).
    PictureFilter filter(kernels, options.threads);
    // Per-frame auto: how many frames got each setting (unfiltered as all -1), for the summary.
    std::map<std::array<std::int32_t, 4>, std::int64_t> frames_per_setting;
    // Raw frames to raw frames are the filter's output exactly; wherever samples are converted,
    // the picture filter prepares them for the engine.
    const bool converted = &in_format != &kYc48Format || &out_format != &kYc48Format;

    if (info.alpha && &out_format != &kPngFormat)
        std::fprintf(
            stderr,
            "korvane-dct: note: '%s' has an alpha channel, which %s cannot hold: it is dropped\n",
            options.input.c_str(), out_format.name);

    std::optional<OutputFile> compare_file;
    if (!options.compare.empty()) compare_file.emplace(options.compare);
    OutputFile output(options.output);
    std::unique_ptr<FrameWriter> writer = out_format.open_writer(output, info, options);
    if (!options.quiet && !strength.message.empty())
        std::fprintf(stderr, "korvane-dct: %s\n", strength.message.c_str());

    std::FILE* report_out = options.output == "-" ? stderr : stdout;
    Report report(report_out, info.layout == Layout::rgb);
    Progress progress(!options.quiet && ::isatty(STDERR_FILENO), info.frame_count);

    const bool measuring = reference != nullptr;
    // Formats that convert row by row do it on the filter's threads, band by band, around the
    // engine call; the reading and writing threads then only read and write bytes.
    const bool convert_in = reader->converts_rows();
    const bool convert_out = writer->converts_rows() && orientation == 1;
    // Reading stage. Its state is shared with the thread, which may outlive this function.
    auto reading = std::make_shared<ReadStage>();
    reading->reader = std::move(reader);
    reading->reference = std::move(reference);
    reading->reference_path = options.reference;
    reading->times = times.get();
    if (strength.per_frame) {
        reading->per_frame = options;
        reading->code_range = strength.code_range;
    }
    FramePool& pool = reading->pool;
    std::thread read_thread([reading, times] { reading->run(); });
    Channel<Item>& to_filter = reading->out;

    // Writing stage.
    Channel<Frame> to_write(1);
    std::exception_ptr write_error;
    std::thread write_thread([&] {
        try {
            while (std::optional<Frame> frame = to_write.pop()) {
                StageTimes::timed(times->write_ns, [&] {
                    convert_out ? writer->write_bytes(*frame) : writer->write(*frame);
                });
                pool.give(std::move(*frame));
            }
        } catch (...) {
            write_error = std::current_exception();
        }
        to_write.close();
        to_filter.close();
    });

    std::exception_ptr filter_error;
    try {
        std::int64_t index = 0;
        Frame converted_in;  // the frame the filter works on, when the input converts row by row
        while (std::optional<Item> item = to_filter.pop()) {
            ++index;
            // A stream whose length was not known up front: fail before filtering a frame that
            // the output cannot hold.
            if (index == 2 && &out_format == &kPngFormat)
                throw UsageError("'" + options.output +
                                 "': a PNG holds one frame, the input has more");
            Frame& in = item->frame;
            Frame& frame = convert_in ? converted_in : in;
            if (convert_in) {
                if (frame.pixels.capacity() == 0) frame = pool.take(true);
                frame.w = in.w;
                frame.h = in.h;
                frame.params = in.params;
                frame.alpha.clear();
                frame.pixels.resize(static_cast<std::size_t>(in.w) *
                                    static_cast<std::size_t>(in.h));
            }
            Frame out;
            if (convert_out) {
                out = pool.take(false);
                writer->size_bytes(out, frame.w, frame.h);
                out.params = frame.params;
            }
            std::optional<Frame> before;
            const bool keep_before = measuring || (compare_file && index == 1);
            if (keep_before) {
                if (convert_in) {
                    before.emplace();
                    before->w = frame.w;
                    before->h = frame.h;
                    before->pixels.resize(frame.pixels.size());
                } else {
                    before = frame;
                }
            }
            const auto w = static_cast<std::size_t>(frame.w);
            PictureFilter::RowSteps steps;
            if (convert_in)
                steps.before = [&](std::int32_t y0, std::int32_t y1) {
                    YcPixel* rows = frame.pixels.data() + static_cast<std::size_t>(y0) * w;
                    reading->reader->convert_rows(in, y0, y1, rows, frame.w);
                    if (before)
                        std::copy(rows, rows + static_cast<std::size_t>(y1 - y0) * w,
                                  before->pixels.data() + static_cast<std::size_t>(y0) * w);
                };
            if (convert_out)
                steps.after = [&](std::int32_t y0, std::int32_t y1) {
                    writer->convert_rows(frame, out, y0, y1);
                };
            const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
            const Strength& chosen = item->strength ? *item->strength : strength;
            if (strength.per_frame)
                ++frames_per_setting[chosen.unfiltered ? std::array<std::int32_t, 4>{-1, -1, -1, -1}
                                                       : chosen.tracks];
            Status status = Status::ok;
            if (chosen.unfiltered) {
                // Nothing to gain: the frame goes out as it was read, conversions only.
                StageTimes::timed(times->read_ns, [&] {
                    if (steps.before) steps.before(0, frame.h);
                });
                StageTimes::timed(times->write_ns, [&] {
                    if (steps.after) steps.after(0, frame.h);
                });
            } else {
                PictureFilter::Times spent;
                status = filter.filter(settings_of(chosen.tracks), view, converted, steps, &spent);
                times->filter_ns += spent.engine.count();
                times->read_ns += spent.before.count();
                times->write_ns += spent.after.count();
            }
            if (status != Status::ok)
                throw RunError("frame " + std::to_string(index) + " (" + std::to_string(frame.w) +
                               "x" + std::to_string(frame.h) +
                               "): the filter could not run (out of memory)");
            if (orientation != 1) {
                make_upright(frame, orientation);
                if (before) make_upright(*before, orientation);
            }
            if (measuring) {
                const MetricPlanes ref = metric_planes(*item->reference, info);
                report.add(index, measure(metric_planes(*before, info), ref),
                           measure(metric_planes(frame, info), ref), ref.peak);
            }
            if (compare_file && index == 1) write_compare(*compare_file, *before, frame, info);
            if (convert_in) pool.give(std::move(in));
            if (!to_write.push(convert_out ? std::move(out) : std::move(frame))) break;
            progress.frame_done();
        }
    } catch (...) {
        filter_error = std::current_exception();
        to_filter.close();
    }
    to_write.close();
    write_thread.join();
    if (filter_error || write_error) {
        to_filter.close();
        read_thread.detach();
        g_abandoned_thread = true;
    } else {
        read_thread.join();
    }
    if (filter_error) std::rethrow_exception(filter_error);
    if (write_error) std::rethrow_exception(write_error);
    if (reading->error) std::rethrow_exception(reading->error);

    progress.finish();
    if (strength.per_frame && !options.quiet) {
        std::string summary;
        for (const auto& [t, n] : frames_per_setting)
            summary += (summary.empty() ? "" : ", ") + std::to_string(n) +
                       (n == 1 ? " frame " : " frames ") +
                       (t[0] < 0 ? "unfiltered"
                                 : "--threshold " + std::to_string(t[kThreshold]) + " --quant " +
                                       std::to_string(t[kQuant]) + " --n-shift " +
                                       std::to_string(t[kNShift]));
        std::fprintf(stderr, "korvane-dct: strength auto per frame: %s\n", summary.c_str());
    }
    report.finish();
    if (compare_file) compare_file->commit();
    output.commit();
    if (options.stats) print_stats(*times, started, progress.frames());
    return 0;
}

// Runs `work` and turns what it throws into its message on standard error and an exit status:
// 2 for bad usage or input, 1 for a failure while the work ran.
template <typename Work>
int reported(const Work& work) {
    const auto failed = [](const char* message, int status) {
        end_progress_line();
        std::fprintf(stderr, "korvane-dct: %s\n", message);
        return status;
    };
    try {
        const int status = work();
        if (status != 0) end_progress_line();
        return status;
    } catch (const UsageError& e) {
        return failed(e.what(), 2);
    } catch (const InputError& e) {
        return failed(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return failed("out of memory", 1);
    } catch (const std::exception& e) {  // RunError, and anything unforeseen
        return failed(e.what(), 1);
    }
}

// -o FOLDER: every input into FOLDER/NAME.EXT, one after the other, each with a setting of its
// own under --strength auto and with every thread on it (the filter and the PNG writer split a
// picture in bands of rows, so one photo at a time keeps the cores busy without holding several
// in memory). A file that fails does not stop the others; the status is 0 when all succeeded,
// else the worst: 2 when some input was bad, 1 when only writing or memory failed.
int run_batch(const Options& options) {
    namespace fs = std::filesystem;
    const fs::path folder(options.output_dir);
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder))
        throw UsageError("-o '" + options.output_dir + "': cannot make a folder there" +
                         (error ? ": " + error.message() : std::string()));
    // Every output named before any is written: two inputs of one name, or an output that is an
    // input, are refused as a whole.
    std::vector<std::string> outputs;
    for (const std::string& input : options.inputs) {
        Options one = options;
        one.input = input;
        const Format& in_format = input_format(one);
        std::string extension = ".png";
        if (!options.output_format.empty())
            extension = format_named(options.output_format).extension;
        else if (&in_format == &kY4mFormat || &in_format == &kYc48Format)
            extension = in_format.extension;
        const std::string output = (folder / fs::path(input).stem()).string() + extension;
        for (std::size_t i = 0; i < outputs.size(); ++i)
            if (outputs[i] == output)
                throw UsageError("'" + options.inputs[i] + "' and '" + input +
                                 "' would both be written to '" + output + "'");
        for (const std::string& other : options.inputs)
            if (same_file(other, output))
                throw UsageError("'" + output + "' would be written over the input '" + other +
                                 "'");
        outputs.push_back(output);
    }
    const bool terminal = !options.quiet && isatty(STDERR_FILENO);
    int worst = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        if (terminal)
            std::fprintf(stderr, "korvane-dct: [%zu/%zu] %s\n", i + 1, options.inputs.size(),
                         options.inputs[i].c_str());
        Options one = options;
        one.input = options.inputs[i];
        one.output = outputs[i];
        one.inputs.clear();
        one.output_dir.clear();
        const int status = reported([&] { return run_file(one); });
        if (status != 0) {
            ++failed;
            worst = status == 2 || worst == 2 ? 2 : 1;
        }
    }
    if (failed != 0 && options.inputs.size() > 1)
        std::fprintf(stderr, "korvane-dct: %zu of %zu files failed\n", failed,
                     options.inputs.size());
    return worst;
}

int run(int argc, const char* const* argv) {
    std::string printed;
    const std::optional<Options> parsed = parse_options(argc, argv, printed);
    if (!parsed) {
        std::fputs(printed.c_str(), stdout);
        return 0;
    }
    return parsed->output_dir.empty() ? run_file(*parsed) : run_batch(*parsed);
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
    using namespace korvane::cli;
    // A reader that closes the output pipe early gets a write error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Likewise a file-size limit: the write fails, the message names it and the temporary file
    // is removed, instead of the process dying with a half-written file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // Interrupted or terminated: no temporary file is left behind, an existing output is kept.
    remove_temporary_files_on_signals();
    const int status = reported([&] { return run(argc, argv); });
    if (g_abandoned_thread) {
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
