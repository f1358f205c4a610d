#include "cli/run.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "cli/errors.h"
#include "cli/exif.h"
#include "cli/file_identity.h"
#include "cli/formats.h"
#include "cli/metrics.h"
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

bool has_extension(const std::string& path, const std::string& extension) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext == extension;
}

// A file that is read must not also be written, nor may two outputs be one file: refused before
// any work, since the output would replace what is still to be read or the other output. Files
// are compared by identity, so that a hard or symbolic link, another spelling of the path, or
// standard output redirected onto the input is caught too.
void check_files(const Options& options) {
    if (!options.compare.empty()) {
        // The picture is a PNG whatever its name: a name that says otherwise is a mistake.
        if (options.compare != "-" && !has_extension(options.compare, ".png"))
            throw UsageError("'" + options.compare +
                             "': --compare writes a PNG picture: name it .png");
        if (options.compare == "-" && options.output == "-")
            throw UsageError("--compare - and OUTPUT - cannot both be standard output");
    }
    struct Named {
        const std::string* path;
        const char* what;
        std::optional<FileId> id;
    };
    std::vector<Named> read, written;
    read.push_back({&options.input, "INPUT", file_id(options.input)});
    if (!options.reference.empty())
        read.push_back({&options.reference, "--reference", file_id(options.reference)});
    written.push_back({&options.output, "OUTPUT", file_id(options.output, true)});
    if (!options.compare.empty())
        written.push_back({&options.compare, "--compare", file_id(options.compare, true)});
    auto refuse = [](const Named& a, const Named& b) {
        const std::string& shown = *a.path == "-" ? *b.path : *a.path;
        throw UsageError("'" + shown + "': " + a.what + " and " + b.what + " are the same file");
    };
    for (const Named& w : written) {
        if (!w.id) continue;
        for (const Named& r : read)
            if (r.id && *r.id == *w.id) refuse(w, r);
    }
    if (written.size() == 2 && written[0].id && written[1].id && *written[0].id == *written[1].id)
        refuse(written[1], written[0]);
}

// Options that act on one output format only are refused for another, like --size for input
// that carries its own size: given in vain, they would hide a mistake.
void check_output_options(const Options& options, const Format& out_format) {
    auto refuse = [&](const char* option, const char* format) {
        throw UsageError(std::string(option) + " is for " + format + " output; '" + options.output +
                         "' is " + out_format.name);
    };
    if (&out_format != &kPngFormat && options.png_level_given) refuse("--png-level", "PNG");
    const bool jpeg = &out_format == &kJpegFormat || &out_format == &kJpgFormat;
    if (!jpeg && options.jpeg_quality_given) refuse("--quality", "JPEG");
    if (!jpeg && options.jpeg_sampling_given) refuse("--jpeg-sampling", "JPEG");
}
}  // namespace

std::string run_file(const Options& options) {
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

    check_files(options);
    check_output_options(options, out_format);
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
    if (options.host_threads != 0 && strength.chroma_threshold >= 0)
        throw UsageError(
            "--host-threads gives the AviUtl plug-in's output, which has one "
            "threshold, but automatic strength chose chroma threshold " +
            std::to_string(strength.chroma_threshold) + " for '" + options.input +
            "': give --threshold or --strength manual with --host-threads");
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

    std::optional<OutputFile> compare_file;
    if (!options.compare.empty()) compare_file.emplace(options.compare);
    OutputFile output(options.output);
    // A JPEG left as decoded goes out as libjpeg's own decode (StreamInfo::libjpeg_rgb);
    // --reference measures the decoded picture as libjpeg decodes it, the output as written.
    const StreamInfo written_info = written_stream(info, strength);
    StreamInfo decoded_info = info;
    decoded_info.libjpeg_rgb = info.jpeg_colour;
    std::unique_ptr<FrameWriter> writer = out_format.open_writer(output, written_info, options);
    run.writer = writer.get();
    // After the writer took the stream: a writer that refuses alpha says so itself.
    if (info.alpha && &out_format != &kPngFormat)
        std::fprintf(
            stderr,
            "korvane-dct: note: '%s' has an alpha channel, which %s cannot hold: it is dropped\n",
            options.input.c_str(), out_format.name);
    // In a batch the line names its file, so that a log tells which photo got which setting.
    const std::string named = options.in_batch ? "'" + options.input + "': " : "";
    if (!options.quiet && !strength.message.empty())
        std::fprintf(stderr, "korvane-dct: %s%s\n", named.c_str(), strength.message.c_str());

    QualityReport report(options.output == "-" ? stderr : stdout,
                         info.layout == Layout::rgb || (info.jpeg_colour && !info.mono));
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
    // A JPEG's RGB is measured against the reference's own R'G'B' (its luma, as before, in the
    // input's codes).
    const std::optional<StreamInfo> reference_info =
        measuring ? std::optional<StreamInfo>(run.reference->info()) : std::nullopt;
    run.keep_before = [&](std::int64_t index) { return measuring || (compare_file && index == 1); };
    run.on_filtered = [&](std::int64_t index, const Frame* before, const Frame& after,
                          const Frame* reference) {
        if (reference) {
            MetricPlanes ref = metric_planes(*reference, info);
            if (info.jpeg_colour) ref.rgb = metric_planes(*reference, *reference_info).rgb;
            report.add(index, measure(metric_planes(*before, decoded_info), ref),
                       measure(metric_planes(after, written_info), ref), ref.peak);
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
        const std::string unused = unused_when_unfiltered(options);
        if (frames_per_setting.contains({-1, -1, -1, -1}) && !unused.empty())
            summary += " (" + unused + " not applied to the unfiltered frames)";
        std::fprintf(stderr, "korvane-dct: %sstrength auto per frame: %s\n", named.c_str(),
                     summary.c_str());
    }
    report.finish();
    if (compare_file) compare_file->commit();
    output.commit();
    if (options.stats) times->print(frames);
    return strength.message;
}

}  // namespace korvane::cli
