// korvane-dct: runs the filter over every frame of a file or stream, through the same engine
// call that the video editor's frame callback makes. This file takes the options, checks the
// inputs and outputs, runs many files one after the other, and hands each one to the frame
// pipeline (cli/pipeline.h).
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <new>

#include "cli/errors.h"
#include "cli/exif.h"
#include "cli/formats.h"
#include "cli/metrics.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/picture.h"
#include "cli/pipeline.h"
#include "cli/progress.h"
#include "cli/strength.h"
#include "engine/cpu.h"
#include "engine/engine.h"
#include "picture/picture_filter.h"

namespace korvane::cli {
namespace {

Kernels select_cpu(const std::string& name) {
    const CpuTier tier = name == "auto" ? best_tier() : parse_tier(name).value_or(CpuTier::scalar);
    if (!tier_runs_here(tier))
        throw UsageError("--cpu " + name +
                         ": not available on this machine or in this build (best: " +
                         tier_name(best_tier()) + ")");
    return kernels_for(tier);
}

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
    Pipeline run;
    run.times = std::make_shared<StageTimes>();
    run.reader = StageTimes::timed(run.times->read_ns,
                                   [&] { return in_format.open_reader(options.input, options); });
    // A JPEG whose EXIF data says how to turn it upright is filtered as stored, on its own block
    // grid, and each frame is turned upright after the filter: everything after the filter (the
    // output, the reference, the comparison picture) sees the upright picture.
    run.orientation = run.reader->info().orientation;
    const StreamInfo info = upright(run.reader->info());
    if (!options.reference.empty()) {
        const Format& ref_format =
            options.reference == "-" ? kY4mFormat : format_for(options.reference);
        check_not_an_output(options.reference, "--reference", options);
        run.reference = ref_format.open_reader(options.reference, options);
        run.reference_path = options.reference;
        const StreamInfo& ri = run.reference->info();
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
    const Strength strength = choose_strength(options, in_format, run.reader);
    run.strength = strength;
    if (strength.per_frame)
        run.strength_of = [&options, range = strength.code_range,
                           video = std::make_shared<VideoStrength>()](const Frame& frame) {
            return frame_strength(options, frame, range, *video);
        };
    run.settings_of = [&](const Strength& s) {
        const auto& t = s.tracks;
        return Settings{
            t[kThreshold], t[kQuant],
            options.host_threads ? shifts_on_host(t[kNShift], options.host_threads) : t[kNShift],
            t[kZeroWeight], s.chroma_threshold};
    };
    // One filter, its threads and memory kept from frame to frame; each frame brings its own
    // setting (per-frame auto may use several).
    PictureFilter filter(kernels, options.threads);
    run.filter = &filter;
    // Raw frames to raw frames are the filter's output exactly; wherever samples are converted,
    // the picture filter prepares them for the engine.
    run.converted = &in_format != &kYc48Format || &out_format != &kYc48Format;

    if (info.alpha && &out_format != &kPngFormat)
        std::fprintf(
            stderr,
            "korvane-dct: note: '%s' has an alpha channel, which %s cannot hold: it is dropped\n",
            options.input.c_str(), out_format.name);

    std::optional<OutputFile> compare_file;
    if (!options.compare.empty()) compare_file.emplace(options.compare);
    OutputFile output(options.output);
    std::unique_ptr<FrameWriter> writer = out_format.open_writer(output, info, options);
    run.writer = writer.get();
    if (!options.quiet && !strength.message.empty())
        std::fprintf(stderr, "korvane-dct: %s\n", strength.message.c_str());

    QualityReport report(options.output == "-" ? stderr : stdout, info.layout == Layout::rgb);
    Progress progress(!options.quiet && ::isatty(STDERR_FILENO), info.frame_count);
    // Per-frame auto: how many frames got each setting (unfiltered as all -1), for the summary.
    std::map<std::array<std::int32_t, 4>, std::int64_t> frames_per_setting;
    run.on_start = [&](std::int64_t index, const Strength& chosen) {
        // A stream whose length was not known up front: fail before filtering a frame that the
        // output cannot hold.
        if (index == 2 && &out_format == &kPngFormat)
            throw UsageError("'" + options.output + "': a PNG holds one frame, the input has more");
        if (strength.per_frame)
            ++frames_per_setting[chosen.unfiltered ? std::array<std::int32_t, 4>{-1, -1, -1, -1}
                                                   : chosen.tracks];
    };
    const bool measuring = run.reference != nullptr;
    run.keep_before = [&](std::int64_t index) { return measuring || (compare_file && index == 1); };
    run.on_filtered = [&](std::int64_t index, const Frame* before, const Frame& after,
                          const Frame* reference) {
        if (reference) {
            const MetricPlanes ref = metric_planes(*reference, info);
            report.add(index, measure(metric_planes(*before, info), ref),
                       measure(metric_planes(after, info), ref), ref.peak);
        }
        if (compare_file && index == 1) write_compare(*compare_file, *before, after, info);
        progress.frame_done();
    };
    const std::shared_ptr<const StageTimes> times = run.times;
    const std::int64_t frames = run_pipeline(std::move(run));

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
    if (options.stats) times->print(frames);
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
    if (reading_thread_left_behind()) {
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
