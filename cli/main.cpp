// korvane-dct: runs the filter over every frame of a file or stream, through the same engine
// call that the video editor's frame callback makes. Reading, filtering and writing overlap: one
// thread reads and converts the next frames while the current one is filtered and another thread
// converts and writes the frames before it.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <thread>

#include "aviutl/frame_callback.h"
#include "cli/channel.h"
#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/metrics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/picture.h"
#include "cli/progress.h"
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
};

// Reads and converts input frames (and their reference frames) ahead of the filter.
struct ReadStage {
    std::unique_ptr<FrameReader> reader;
    std::unique_ptr<FrameReader> reference;
    std::string reference_path;
    Channel<Item> out{2};
    std::exception_ptr error;

    void run() {
        try {
            std::int64_t index = 0;
            for (;;) {
                Item item;
                if (!reader->read(item.frame)) break;
                ++index;
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

const Kernels& select_cpu(const std::string& name) {
    const CpuTier tier = name == "auto" ? best_tier() : parse_tier(name).value_or(CpuTier::scalar);
    const Kernels* table = tier_kernels(tier);
    if (static_cast<int>(tier) > static_cast<int>(best_tier()) || !table)
        throw UsageError("--cpu " + name +
                         ": not available on this machine or in this build (best: " +
                         tier_name(best_tier()) + ")");
    return *table;
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
    void print(const char* what, const Quality& b, const Quality& a) {
        const double pb = psnr(b.luma_mse, peak_), pa = psnr(a.luma_mse, peak_);
        std::fprintf(out_, "%s: luma PSNR %.3f -> %.3f dB (%+.3f), SSIM %.5f -> %.5f (%+.5f)", what,
                     pb, pa, pa - pb, b.luma_ssim, a.luma_ssim, a.luma_ssim - b.luma_ssim);
        if (rgb_ && b.rgb_mse && a.rgb_mse) {
            const double rb = psnr(*b.rgb_mse, peak_), ra = psnr(*a.rgb_mse, peak_);
            std::fprintf(out_, "; RGB PSNR %.3f -> %.3f dB (%+.3f)", rb, ra, ra - rb);
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

int run(int argc, const char* const* argv) {
    std::string printed;
    const std::optional<Options> parsed = parse_options(argc, argv, printed);
    if (!parsed) {
        std::fputs(printed.c_str(), stdout);
        return 0;
    }
    const Options& options = *parsed;
    const Kernels& kernels = select_cpu(options.cpu);
    const Format& in_format = input_format(options);
    const Format& out_format = output_format(options, in_format);
    if (options.input == "-" && options.reference == "-")
        throw UsageError("the input and the reference cannot both be standard input");

    // Everything about the inputs is checked before any output is created.
    std::unique_ptr<FrameReader> reader = in_format.open_reader(options.input, options);
    const StreamInfo info = reader->info();
    std::unique_ptr<FrameReader> reference;
    if (!options.reference.empty()) {
        const Format& ref_format =
            options.reference == "-" ? kY4mFormat : format_for(options.reference);
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
    const auto& t = options.tracks;
    const Settings settings{
        t[kThreshold], t[kQuant],
        options.host_threads ? shifts_on_host(t[kNShift], options.host_threads) : t[kNShift],
        t[kZeroWeight]};
    PictureFilter filter(settings, kernels, options.threads);
    // Raw frames to raw frames are the filter's output exactly; wherever samples are converted,
    // the picture filter prepares them for the engine.
    const bool converted = &in_format != &kYc48Format || &out_format != &kYc48Format;

    std::optional<OutputFile> compare_file;
    if (!options.compare.empty()) compare_file.emplace(options.compare);
    OutputFile output(options.output);
    std::unique_ptr<FrameWriter> writer = out_format.open_writer(output, info, options);

    std::FILE* report_out = options.output == "-" ? stderr : stdout;
    Report report(report_out, info.layout == Layout::rgb);
    Progress progress(!options.quiet && ::isatty(STDERR_FILENO), info.frame_count);

    const bool measuring = reference != nullptr;
    // Reading stage. Its state is shared with the thread, which may outlive this function.
    auto reading = std::make_shared<ReadStage>();
    reading->reader = std::move(reader);
    reading->reference = std::move(reference);
    reading->reference_path = options.reference;
    std::thread read_thread([reading] { reading->run(); });
    Channel<Item>& to_filter = reading->out;

    // Writing stage.
    Channel<Frame> to_write(2);
    std::exception_ptr write_error;
    std::thread write_thread([&] {
        try {
            while (std::optional<Frame> frame = to_write.pop()) writer->write(*frame);
        } catch (...) {
            write_error = std::current_exception();
        }
        to_write.close();
        to_filter.close();
    });

    std::exception_ptr filter_error;
    try {
        std::int64_t index = 0;
        while (std::optional<Item> item = to_filter.pop()) {
            ++index;
            Frame& frame = item->frame;
            std::optional<Frame> before;
            if (measuring || (compare_file && index == 1)) before = frame;
            const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
            if (filter.filter(view, converted) != Status::ok)
                throw RunError("frame " + std::to_string(index) + " (" + std::to_string(frame.w) +
                               "x" + std::to_string(frame.h) +
                               "): the filter could not run (out of memory)");
            if (measuring) {
                const MetricPlanes ref = metric_planes(*item->reference, info);
                report.add(index, measure(metric_planes(*before, info), ref),
                           measure(metric_planes(frame, info), ref), ref.peak);
            }
            if (compare_file && index == 1) write_compare(*compare_file, *before, frame, info);
            if (!to_write.push(std::move(frame))) break;
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
    report.finish();
    if (compare_file) compare_file->commit();
    output.commit();
    return 0;
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
    int status = 2;
    try {
        status = run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
    } catch (const InputError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
    } catch (const RunError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
        status = 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane-dct: out of memory\n");
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
        status = 1;
    }
    if (g_abandoned_thread) {
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
