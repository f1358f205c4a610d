#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <thread>

#include "cli/errors.h"
#include "engine/engine.h"

namespace korvane::cli {
namespace {

constexpr std::int32_t kMaxCliThreads = 64;

std::int32_t parse_positive(std::string_view text, const std::string& what) {
    std::int32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < 1)
        throw UsageError("malformed size '" + what + "': expected WxH with positive W and H");
    return v;
}

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
    const unsigned hw = std::thread::hardware_concurrency();
    o.threads = hw == 0 ? 1 : static_cast<std::int32_t>(std::min<unsigned>(hw, kMaxCliThreads));

    CLI::App app{
        "korvane-dct: deblocking and denoising by averaged shifted-grid DCT "
        "reconstructions",
        "korvane-dct"};
    app.set_version_flag("--version", std::string(KORVANE_VERSION));
    auto track_option = [&](const char* name, int track, const char* what) {
        app.add_option(name, o.tracks[static_cast<std::size_t>(track)], what)
            ->check(CLI::Range(kTrackMin[track], kTrackMax[track]))
            ->capture_default_str();
    };
    track_option("--threshold", kThreshold, "AC coefficients with magnitude below this are shaped");
    track_option("--quant", kQuant, "requantisation step of shaped luma coefficients");
    track_option("--n-shift", kNShift, "number of shifted block grids averaged per frame");
    track_option("--zero-weight", kZeroWeight, "weight of the unfiltered frame in the mean");
    app.add_option("--threads", o.threads,
                   "worker threads (default: hardware threads); the output is the same for any")
        ->check(CLI::Range(1, kMaxCliThreads))
        ->capture_default_str();
    app.add_option("--host-threads", o.host_threads,
                   "give the AviUtl plug-in's output on a host of this many threads (n_shift "
                   "rounded up to a multiple of it)")
        ->check(CLI::Range(1, kMaxCliThreads));
    std::string size;
    app.add_option("--size", size, "frame size WxH of raw .yc48 input");
    app.add_option("--format", o.input_format,
                   "input format: png, y4m or yc48 (default: by extension; y4m for -)");
    app.add_option("--output-format", o.output_format,
                   "output format (default: by extension; the input's for -)");
    app.add_option("--reference", o.reference,
                   "clean frames: print PSNR and SSIM of input and output against them");
    app.add_option("--compare", o.compare, "write a before/after picture of the first frame (PNG)");
    app.add_option("--cpu", o.cpu, "instruction-set tier of the kernels")
        ->check(CLI::IsMember({"auto", "scalar", "sse4.1", "avx2", "avx512"}))
        ->capture_default_str();
    app.add_flag("-q,--quiet", o.quiet, "no progress on a terminal");
    app.add_option("input", o.input, "input file, - for standard input")->required();
    app.add_option("output", o.output, "output file, - for standard output")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        out = app.help();
        return std::nullopt;
    } catch (const CLI::CallForVersion&) {
        out = std::string(KORVANE_VERSION) + "\n";
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        throw UsageError(e.what());
    }
    if (!size.empty()) o.size = parse_size(size);
    return o;
}

}  // namespace korvane::cli
