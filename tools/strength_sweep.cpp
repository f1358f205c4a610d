// korvane-strength-sweep: the measurements behind --strength auto (scripts/measure-strength runs
// it). Not installed; built on request (target korvane-strength-sweep).
//
//   korvane-strength-sweep sweep [--threads N] [--ratio R] --label L --thresholds LIST
//                          --quants LIST --shifts LIST REFERENCE INPUT
//     Filters INPUT with every setting of the grid and prints one line per setting. Quants
//     above a threshold are skipped (they act as the threshold itself), and so are quants below
//     threshold / R (default 8: the measured optimum never lies there):
//       L <tab> INPUT <tab> threshold <tab> quant <tab> n_shift <tab> PSNR before <tab> after
//     The frame goes through the same reader and PictureFilter as korvane-dct.
//
//   korvane-strength-sweep auto [--threads N] REFERENCE INPUT [REFERENCE INPUT ...]
//     What --strength auto does to each INPUT (see auto_gain below).
//
// The PSNR is the one --strength auto optimises: over R, G and B for colour, of luma for gray.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "cli/formats.h"
#include "cli/metrics.h"
#include "cli/strength.h"
#include "engine/cpu.h"
#include "engine/engine.h"
#include "picture/picture_filter.h"

namespace korvane::cli {
namespace {

std::vector<int> parse_list(const std::string& text) {
    std::vector<int> values;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) values.push_back(std::stoi(item));
    return values;
}

// What auto optimises: the PSNR over R, G and B for colour (every channel the viewer sees, with
// equal weight), luma for gray.
double seen_psnr(const MetricPlanes& a, const MetricPlanes& b) {
    const bool colour = !a.rgb.empty() && !b.rgb.empty();
    const std::vector<double>& x = colour ? a.rgb : a.luma;
    const std::vector<double>& y = colour ? b.rgb : b.luma;
    double sum = 0;
    for (std::size_t i = 0; i < x.size(); ++i) sum += (x[i] - y[i]) * (x[i] - y[i]);
    return psnr(sum / static_cast<double>(x.size()), b.peak);
}

Frame read_one(const std::string& path) {
    const Options options;
    auto reader = format_for(path).open_reader(path, options);
    Frame frame;
    if (!reader->read(frame)) throw std::runtime_error(path + ": no frame");
    return frame;
}

int sweep(const std::vector<std::string>& args) {
    std::string label = "-";
    std::vector<int> thresholds, quants, shifts;
    int threads = 1, ratio = 8;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::runtime_error(a + " needs a value");
            return args[++i];
        };
        if (a == "--label")
            label = value();
        else if (a == "--thresholds")
            thresholds = parse_list(value());
        else if (a == "--quants")
            quants = parse_list(value());
        else if (a == "--shifts")
            shifts = parse_list(value());
        else if (a == "--threads")
            threads = std::stoi(value());
        else if (a == "--ratio")
            ratio = std::stoi(value());
        else
            files.push_back(a);
    }
    if (files.size() != 2 || thresholds.empty() || quants.empty() || shifts.empty())
        throw std::runtime_error(
            "usage: sweep --label L --thresholds .. --quants .. --shifts .. "
            "REFERENCE INPUT");
    const std::string& input = files[1];
    const Options options;
    auto reader = format_for(input).open_reader(input, options);
    StreamInfo info = reader->info();
    // A colour JPEG's samples are full-range BT.601 Y'CbCr, the same host values as an RGB
    // picture's: measured in RGB like its reference.
    if (info.layout == Layout::ycbcr && !info.mono) info.layout = Layout::rgb;
    Frame source;
    if (!reader->read(source)) throw std::runtime_error(input + ": no frame");
    const MetricPlanes reference = metric_planes(read_one(files[0]), info);
    if (reference.w != source.w || reference.h != source.h)
        throw std::runtime_error(input + ": not the reference's size");
    const double before = seen_psnr(metric_planes(source, info), reference);
    const Kernels kernels = kernels_for(best_tier());
    PictureFilter filter(kernels, threads);
    for (const int n : shifts)
        for (const int t : thresholds)
            for (const int q : quants) {
                if (q > std::max(t, 1) || q * ratio < t) continue;
                Frame frame = source;
                const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
                if (filter.filter({t, q, n, 0}, view, true) != Status::ok)
                    throw std::runtime_error("the filter failed");
                const double after = seen_psnr(metric_planes(frame, info), reference);
                std::printf("%s\t%s\t%d\t%d\t%d\t%.4f\t%.4f\n", label.c_str(), input.c_str(), t, q,
                            n, before, after);
            }
    std::fflush(stdout);
    return 0;
}

// What --strength auto does to each INPUT, measured against its REFERENCE: the setting it
// chooses through the function korvane-dct calls, and the PSNR before and after (after equal to
// before where it leaves the picture unfiltered). Lines: INPUT, setting or "unfiltered", PSNR
// before, after.
int auto_gain(const std::vector<std::string>& args) {
    int threads = 1;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--threads" && i + 1 < args.size())
            threads = std::stoi(args[++i]);
        else
            files.push_back(args[i]);
    }
    if (files.size() % 2 != 0) throw std::runtime_error("usage: auto REFERENCE INPUT ...");
    const Kernels kernels = kernels_for(best_tier());
    for (std::size_t i = 0; i < files.size(); i += 2) {
        const std::string& input = files[i + 1];
        Options options;
        options.strength = "auto";
        options.quiet = true;
        const Format& format = format_for(input);
        auto reader = format.open_reader(input, options);
        const Strength strength = choose_strength(options, format, reader);
        StreamInfo info = reader->info();
        if (info.layout == Layout::ycbcr && !info.mono) info.layout = Layout::rgb;
        Frame frame;
        if (!reader->read(frame)) throw std::runtime_error(input + ": no frame");
        const MetricPlanes reference = metric_planes(read_one(files[i]), info);
        const double before = seen_psnr(metric_planes(frame, info), reference);
        double after = before;
        std::string setting = "unfiltered";
        if (!strength.unfiltered) {
            const auto& t = strength.tracks;
            PictureFilter filter(kernels, threads);
            const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
            if (filter.filter({t[0], t[1], t[2], t[3]}, view, true) != Status::ok)
                throw std::runtime_error("the filter failed");
            after = seen_psnr(metric_planes(frame, info), reference);
            setting =
                std::to_string(t[0]) + "/" + std::to_string(t[1]) + "/" + std::to_string(t[2]);
        }
        std::printf("%s\t%s\t%.4f\t%.4f\n", input.c_str(), setting.c_str(), before, after);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "sweep") return korvane::cli::sweep(args);
        if (mode == "auto") return korvane::cli::auto_gain(args);
        std::fprintf(stderr, "usage: korvane-strength-sweep sweep|auto ...\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-strength-sweep: %s\n", e.what());
    }
    return 2;
}
