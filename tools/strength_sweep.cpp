// korvane-strength-sweep: the measurements behind --strength auto (scripts/measure-strength runs
// it). Not installed; built on request (target korvane-strength-sweep).
//
//   korvane-strength-sweep sweep [--threads N] [--ratio R] [--only luma|chroma] --label L
//                          --thresholds LIST --quants LIST --shifts LIST REFERENCE INPUT
//     Filters INPUT with every setting of the grid and prints one line per setting. Quants
//     above a threshold are skipped (they act as the threshold itself), and so are quants below
//     threshold / R (default 8: the measured optimum never lies there):
//       L <tab> INPUT <tab> threshold <tab> quant <tab> n_shift <tab> PSNR before <tab> after
//     The frame goes through the same reader and PictureFilter as korvane-dct. --only: the
//     other part of the filtered frame (Cb and Cr, or Y) is put back to the unfiltered samples,
//     what a filter that left that part alone would give (the engine filters each channel on its
//     own), to measure how much of a gain or loss comes from luma and from chroma.
//
//     --chroma-thresholds LIST (colour): each setting's luma is also put together with the
//     chroma of the frame filtered at threshold C (quant 1; -1: the chroma as decoded), for each
//     C of LIST, as an engine with a threshold of chroma's own would give (chroma's shaping reads
//     the threshold alone); one line per setting and C, with C as an eighth column.
//
//   korvane-strength-sweep auto [--threads N] REFERENCE INPUT [REFERENCE INPUT ...]
//     What --strength auto does to each INPUT (see auto_gain below).
//
//   korvane-strength-sweep estimate INPUT
//     Every frame's estimate (estimate_quality): quality, blockiness, steps found, grid.
//
//   korvane-strength-sweep decode REFERENCE INPUT REFERENCE_OUT INPUT_OUT
//     Writes the 8-bit samples the PSNR is measured on, of the reference and of the unfiltered
//     INPUT as korvane-dct decodes it: a binary PPM (R, G, B) for colour, a PGM (luma) for gray.
//     Other denoisers are measured on these (scripts/measure-strength-peers), so their gains
//     and the filter's have the same reference, decode and measure. Prints the PSNR before.
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
    std::vector<int> thresholds, quants, shifts, chroma_thresholds;
    int threads = 1, ratio = 8;
    std::string only;
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
        else if (a == "--only")
            only = value();
        else if (a == "--chroma-thresholds")
            chroma_thresholds = parse_list(value());
        else
            files.push_back(a);
    }
    if (files.size() != 2 || thresholds.empty() || quants.empty() || shifts.empty() ||
        !(only.empty() || only == "luma" || only == "chroma") ||
        (!chroma_thresholds.empty() && !only.empty()))
        throw std::runtime_error(
            "usage: sweep [--only luma|chroma] --label L --thresholds .. --quants .. "
            "--shifts .. REFERENCE INPUT");
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
    const auto filtered = [&](int t, int q, int n) {
        Frame frame = source;
        const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
        if (filter.filter({t, q, n, 0}, view, true) != Status::ok)
            throw std::runtime_error("the filter failed");
        return frame;
    };
    for (const int n : shifts) {
        std::vector<std::pair<int, Frame>> chroma;  // (C, the frame filtered at C)
        for (const int c : chroma_thresholds)
            chroma.emplace_back(c, c < 0 ? source : filtered(c, 1, n));
        for (const int t : thresholds)
            for (const int q : quants) {
                if (q > std::max(t, 1) || q * ratio < t) continue;
                Frame frame = filtered(t, q, n);
                for (const auto& [c, with] : chroma) {
                    Frame mixed = frame;
                    for (std::size_t k = 0; k < mixed.pixels.size(); ++k) {
                        mixed.pixels[k].cb = with.pixels[k].cb;
                        mixed.pixels[k].cr = with.pixels[k].cr;
                    }
                    std::printf("%s\t%s\t%d\t%d\t%d\t%.4f\t%.4f\t%d\n", label.c_str(),
                                input.c_str(), t, q, n, before,
                                seen_psnr(metric_planes(mixed, info), reference), c);
                }
                if (!chroma.empty()) continue;
                for (std::size_t k = 0; k < frame.pixels.size() && !only.empty(); ++k) {
                    if (only == "luma") {
                        frame.pixels[k].cb = source.pixels[k].cb;
                        frame.pixels[k].cr = source.pixels[k].cr;
                    } else {
                        frame.pixels[k].y = source.pixels[k].y;
                    }
                }
                const double after = seen_psnr(metric_planes(frame, info), reference);
                std::printf("%s\t%s\t%d\t%d\t%d\t%.4f\t%.4f\n", label.c_str(), input.c_str(), t, q,
                            n, before, after);
            }
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
            if (filter.filter({t[0], t[1], t[2], t[3], strength.chroma_threshold}, view, true) !=
                Status::ok)
                throw std::runtime_error("the filter failed");
            after = seen_psnr(metric_planes(frame, info), reference);
            setting =
                std::to_string(t[0]) + "/" + std::to_string(t[1]) + "/" + std::to_string(t[2]) +
                (strength.chroma_threshold >= 0 ? "/c" + std::to_string(strength.chroma_threshold)
                                                : "");
        }
        std::printf("%s\t%s\t%.4f\t%.4f\n", input.c_str(), setting.c_str(), before, after);
    }
    std::fflush(stdout);
    return 0;
}

// The planes seen_psnr() compares, as an 8-bit PPM (colour) or PGM (gray).
void write_pnm(const MetricPlanes& m, const std::string& path) {
    const bool colour = !m.rgb.empty();
    const std::vector<double>& v = colour ? m.rgb : m.luma;
    if (m.peak != 255) throw std::runtime_error(path + ": not 8-bit samples");
    std::string bytes;
    bytes.reserve(v.size());
    for (const double x : v) {
        if (x != std::floor(x) || x < 0 || x > 255)
            throw std::runtime_error(path + ": a sample off the 8-bit codes");
        bytes.push_back(static_cast<char>(static_cast<unsigned char>(x)));
    }
    std::ofstream out(path, std::ios::binary);
    out << (colour ? "P6\n" : "P5\n") << m.w << ' ' << m.h << "\n255\n" << bytes;
    if (!out.flush()) throw std::runtime_error(path + ": cannot write");
}

// Every frame's estimate, one line a frame:
//   frame <tab> quality (-1: none) <tab> blockiness <tab> steps found <tab> grid x,y <tab>
//   odd levels <tab> the steps (position:step)
int estimate(const std::vector<std::string>& args) {
    if (args.size() != 1) throw std::runtime_error("usage: estimate INPUT");
    const Options options;
    auto reader = format_for(args[0]).open_reader(args[0], options);
    const double range = luma_code_range(reader->info());
    Frame frame;
    for (int index = 1; reader->read(frame); ++index) {
        const SourceQuality q = estimate_quality(frame.pixels, frame.w, frame.h, range);
        std::printf("%d\t%d\t%.4f\t%zu\t%d,%d\t%.3f\t", index, q.quality.value_or(-1), q.blockiness,
                    q.steps.size(), q.offset_x, q.offset_y, q.odd_levels);
        for (const auto& [position, step] : q.steps) std::printf(" %d:%.1f", position, step);
        std::printf("\n");
    }
    return 0;
}

int decode(const std::vector<std::string>& args) {
    if (args.size() != 4)
        throw std::runtime_error("usage: decode REFERENCE INPUT REFERENCE_OUT INPUT_OUT");
    const Options options;
    auto reader = format_for(args[1]).open_reader(args[1], options);
    StreamInfo info = reader->info();
    if (info.layout == Layout::ycbcr && !info.mono) info.layout = Layout::rgb;
    Frame frame;
    if (!reader->read(frame)) throw std::runtime_error(args[1] + ": no frame");
    const MetricPlanes reference = metric_planes(read_one(args[0]), info);
    const MetricPlanes input = metric_planes(frame, info);
    if (reference.w != input.w || reference.h != input.h)
        throw std::runtime_error(args[1] + ": not the reference's size");
    write_pnm(reference, args[2]);
    write_pnm(input, args[3]);
    std::printf("%s\t%.4f\n", args[1].c_str(), seen_psnr(input, reference));
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
        if (mode == "decode") return korvane::cli::decode(args);
        if (mode == "estimate") return korvane::cli::estimate(args);
        std::fprintf(stderr, "usage: korvane-strength-sweep sweep|auto|decode|estimate ...\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-strength-sweep: %s\n", e.what());
    }
    return 2;
}
