#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <thread>

#include "cli/errors.h"
#include "engine/engine.h"
#include "engine/setting_texts.h"
#include "runtime/thread_pool.h"

namespace korvane::cli {
namespace {

constexpr std::int32_t kMaxCliThreads = 64;
static_assert(kDefaultThreadsMost <= kMaxCliThreads);

// --host-threads T runs n_shift rounded up to a multiple of T, as the plug-in does. Within the
// options' ranges that is at most 126 (--n-shift 64 --host-threads 63), inside kMaxShifts: no
// combination needs refusing, and every one gives the plug-in's bytes.
constexpr std::int32_t largest_host_rounding() {
    std::int32_t largest = 0;
    for (std::int32_t n = kTrackMin[kNShift]; n <= kTrackMax[kNShift]; ++n)
        for (std::int32_t t = 1; t <= kMaxCliThreads; ++t)
            largest = std::max(largest, (n + t - 1) / t * t);
    return largest;
}
static_assert(largest_host_rounding() <= kMaxShifts);

std::int32_t parse_positive(std::string_view text, const std::string& what) {
    std::int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 1)
        throw UsageError("malformed size '" + what + "': expected WxH with positive W and H");
    return v;
}

// A whole number in decimal, as users write numbers: "010" is ten, "0x10" is no number.
std::int32_t parse_decimal(const std::string& option, const std::string& text, std::int32_t min,
                           std::int32_t max) {
    const std::string range = std::to_string(min) + " to " + std::to_string(max);
    std::int64_t v = 0;
    const char* end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || stop != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
        throw UsageError(option + " " + (text.empty() ? "''" : text) +
                         ": not a whole number (expected " + range + ")");
    if (ec == std::errc::result_out_of_range || v < min || v > max)
        throw UsageError(option + " " + text + ": out of range (" + range + ")");
    return static_cast<std::int32_t>(v);
}

// Options that take a value may be given once: a second one is more likely a mistake than an
// intended override.
void refuse_repeated_options(int argc, const char* const* argv,
                             const std::vector<std::string>& with_values) {
    std::vector<std::string> seen;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        const std::string name = arg.substr(0, arg.find('='));
        if (std::find(with_values.begin(), with_values.end(), name) == with_values.end()) continue;
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
            throw UsageError(name + " is given more than once");
        seen.push_back(name);
        if (arg.find('=') == std::string::npos) ++i;  // its value
    }
}

constexpr const char* kHelpHint = "; see korvane-dct --help";

}  // namespace

FrameSize parse_size(const std::string& text) {
    const auto x = text.find('x');
    if (x == std::string::npos)
        throw UsageError("malformed size '" + text + "': expected WxH with positive W and H");
    return {parse_positive(std::string_view(text).substr(0, x), text),
            parse_positive(std::string_view(text).substr(x + 1), text)};
}

std::optional<Options> parse_options(int argc, const char* const* argv, std::string& out) {
    Options o;
    for (int i = 0; i < kTrackCount; ++i) o.tracks[static_cast<std::size_t>(i)] = kTrackDefault[i];
    o.threads = default_threads();

    CLI::App app{
        "korvane-dct: deblocking and denoising by averaged shifted-grid DCT "
        "reconstructions",
        "korvane-dct"};
    app.set_version_flag("--version", std::string(KORVANE_VERSION));
    // Whole numbers are read here, in decimal, rather than by the parser, which would take
    // "010" as octal and "0x10" as hexadecimal.
    auto int_option = [&](const char* name, std::int32_t& target, std::int32_t min,
                          std::int32_t max, const std::string& what) {
        return app
            .add_option_function<std::string>(
                name,
                [&target, name, min, max](const std::string& v) {
                    target = parse_decimal(name, v, min, max);
                },
                what + " (" + std::to_string(min) + ".." + std::to_string(max) + ")")
            ->type_name("N");
    };
    auto track_option = [&](const char* name, int track) {
        int_option(name, o.tracks[static_cast<std::size_t>(track)], kTrackMin[track],
                   kTrackMax[track],
                   std::string(kSettingTexts[track].meaning) + ", default " +
                       std::to_string(kTrackDefault[track]));
    };
    track_option("--threshold", kThreshold);
    track_option("--quant", kQuant);
    track_option("--n-shift", kNShift);
    track_option("--zero-weight", kZeroWeight);
    int_option("--chroma-threshold", o.chroma_threshold, kTrackMin[kThreshold],
               kTrackMax[kThreshold],
               "a threshold of chroma's own: chroma detail weaker than this is cleared, default: "
               "the threshold (automatic strength gives pictures one from JPEG quality 31 up)");
    app.add_option("--strength", o.strength,
                   "auto: threshold, quant and n_shift from how hard the source was compressed "
                   "(a JPEG's quantisation table, else estimated from the picture), except those "
                   "given; manual: the options as given (default: auto for JPEG input, manual "
                   "otherwise)")
        ->check(CLI::IsMember({"auto", "manual"}));
    int_option("--threads", o.threads, 1, kMaxCliThreads,
               "worker threads, default: hardware threads; the output is the same for any");
    int_option("--host-threads", o.host_threads, 1, kMaxCliThreads,
               "give the AviUtl plug-in's output on a host of this many threads (n_shift "
               "rounded up to a multiple of it)");
    std::string size;
    app.add_option("--size", size, "frame size WxH of raw .yc48 input");
    int_option("--max-megapixels", o.max_megapixels, 1, kMaxMegapixels,
               "refuse a JPEG or PNG picture of more million pixels, default " +
                   std::to_string(kDefaultMaxMegapixels));
    int_option("--png-level", o.png_level, 0, 9,
               "compression of a PNG output: 0 stored, 1 runs and Huffman codes (fast, and "
               "smaller than zlib's 2 to 4 on photos), 2 to 9 zlib's levels, 9 the smallest file; "
               "default " +
                   std::to_string(o.png_level));
    app.add_option("--format", o.input_format,
                   "input format: png, jpeg, y4m or yc48 (default: by extension; y4m for -)");
    app.add_option("--output-format", o.output_format,
                   "output format (default: by extension; the input's for -)");
    int_option("--quality", o.jpeg_quality, 1, 100, "libjpeg quality of a JPEG output, default 95");
    app.add_option("--jpeg-sampling", o.jpeg_sampling,
                   "chroma of a JPEG output: 444 (full resolution, the default) or 420")
        ->check(CLI::IsMember({"444", "420"}));
    app.add_option("--reference", o.reference,
                   "clean frames: print PSNR and SSIM of input and output against them");
    app.add_option("--compare", o.compare, "write a before/after picture of the first frame (PNG)");
    app.add_option("--cpu", o.cpu, "instruction-set tier of the kernels")
        ->check(CLI::IsMember({"auto", "scalar", "sse4.1", "avx2", "avx512"}))
        ->capture_default_str();
    app.add_flag("-q,--quiet", o.quiet,
                 "no progress line, and no line saying what --strength auto chose");
    app.add_flag("--stats", o.stats,
                 "at the end, one line on standard error: frames, time, frames per second, and "
                 "per frame the time spent filtering, reading and converting, and converting and "
                 "writing");
    app.add_option("-o,--output-dir", o.output_dir,
                   "many inputs at once: write each into this folder as NAME.png (or "
                   "--output-format's extension)")
        ->type_name("FOLDER");
    std::vector<std::string> files;
    app.add_option("files", files,
                   "INPUT OUTPUT (- for standard input or output), or INPUT... with -o FOLDER")
        ->type_name("FILE");

    try {
        std::vector<std::string> with_values;
        for (const CLI::Option* opt : app.get_options())
            if (opt->get_type_size() != 0 && !opt->get_lnames().empty())
                with_values.push_back("--" + opt->get_lnames().front());
        refuse_repeated_options(argc, argv, with_values);
        if (argc <= 1) throw UsageError("no input and output file given");
        app.allow_extras();
        app.parse(argc, argv);
        const std::vector<std::string> extras = app.remaining();
        if (!extras.empty()) throw UsageError("unknown option " + extras.front());
        if (!o.output_dir.empty()) {
            if (files.empty()) throw UsageError("no input file given for -o");
            for (const std::string& f : files)
                if (f == "-") throw UsageError("-o takes files, not standard input");
            o.inputs = files;
        } else {
            if (files.empty()) throw UsageError("no input and output file given");
            if (files.size() == 1) throw UsageError("no output file given");
            if (files.size() > 2)
                throw UsageError("unexpected argument '" + files[2] +
                                 "' (INPUT and OUTPUT are already given; -o FOLDER takes many "
                                 "inputs)");
            o.input = files[0];
            o.output = files[1];
        }
    } catch (const CLI::CallForHelp&) {
        out = app.help();
        return std::nullopt;
    } catch (const CLI::CallForVersion&) {
        out = std::string("korvane-dct ") + KORVANE_VERSION + "\n";
        return std::nullopt;
    } catch (const CLI::RequiredError&) {
        throw UsageError(std::string(o.input.empty() ? "no input and output file given"
                                                     : "no output file given") +
                         kHelpHint);
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what() + std::string(kHelpHint));
    } catch (const UsageError& e) {
        throw UsageError(e.what() + std::string(kHelpHint));
    }
    if (!size.empty()) o.size = parse_size(size);
    const char* const track_names[] = {"--threshold", "--quant", "--n-shift", "--zero-weight"};
    for (std::size_t t = 0; t < o.track_given.size(); ++t)
        o.track_given[t] = app.count(track_names[t]) > 0;
    o.chroma_threshold_given = app.count("--chroma-threshold") > 0;
    o.png_level_given = app.count("--png-level") > 0;
    o.jpeg_quality_given = app.count("--quality") > 0;
    o.jpeg_sampling_given = app.count("--jpeg-sampling") > 0;
    if (o.host_threads != 0 && o.chroma_threshold_given)
        throw UsageError(
            "--host-threads gives the AviUtl plug-in's output, which has one threshold for luma "
            "and chroma: --chroma-threshold cannot apply" +
            std::string(kHelpHint));
    if (!o.output_dir.empty() && !o.compare.empty())
        throw UsageError(
            "--compare writes one picture: give it with one INPUT and OUTPUT, not with -o "
            "FOLDER" +
            std::string(kHelpHint));
    return o;
}

}  // namespace korvane::cli
