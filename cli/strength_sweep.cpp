// korvane-strength-sweep: the measurements behind --strength auto (scripts/measure-strength runs
// it). Not installed; built on request (target korvane-strength-sweep).
//
//   korvane-strength-sweep sweep [--threads N] [--ratio R] --label L --thresholds LIST
//                          --quants LIST --shifts LIST REFERENCE INPUT
//     Filters INPUT with every setting of the grid and prints one line per setting. Quants
//     above a threshold are skipped (they act as the threshold itself), and so are quants below
//     threshold / R (default 8: the measured optimum never lies there):
//       L <tab> INPUT <tab> threshold <tab> quant <tab> n_shift <tab> PSNR before <tab> after
//     The frame goes through the same reader, PictureFilter and luma PSNR as
//     `korvane-dct --reference REFERENCE INPUT out`, so every figure is the one korvane-dct
//     prints for that setting.
//
//   korvane-strength-sweep table [--video-shifts N] [--tolerance DB] [--table-qualities LIST]
//                          [--auto AUTO.tsv] SWEEP.tsv...
//     Reads sweep lines (L is the JPEG quality) and prints, per quality, the mean gain of the
//     defaults, of the best fixed setting and of the worst, and the best setting at each
//     n_shift; with --auto (lines of quality, photo, "jpeg" or "png", gain, as
//     scripts/measure-strength writes them from korvane-dct runs) also the mean gain of
//     --strength auto on the JPEGs and on their PNG copies. Then the mapping for --strength
//     auto at the qualities of --table-qualities (default: all): for pictures and for video
//     (n_shift --video-shifts), per quality a setting within --tolerance dB of that quality's
//     best, chosen so that threshold and quant never rise with the quality (and the sum of the
//     mean gains along the table is as large as possible).
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

double luma_mse(const MetricPlanes& a, const MetricPlanes& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.luma.size(); ++i)
        sum += (a.luma[i] - b.luma[i]) * (a.luma[i] - b.luma[i]);
    return sum / static_cast<double>(a.luma.size());
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
    const StreamInfo info = reader->info();
    Frame source;
    if (!reader->read(source)) throw std::runtime_error(input + ": no frame");
    const MetricPlanes reference = metric_planes(read_one(files[0]), info);
    if (reference.w != source.w || reference.h != source.h)
        throw std::runtime_error(input + ": not the reference's size");
    const double before = psnr(luma_mse(metric_planes(source, info), reference), reference.peak);
    const Kernels kernels = kernels_for(best_tier());
    for (const int n : shifts)
        for (const int t : thresholds)
            for (const int q : quants) {
                if (q > std::max(t, 1) || q * ratio < t) continue;
                PictureFilter filter({t, q, n, 0}, kernels, threads);
                Frame frame = source;
                const FrameView view{frame.pixels.data(), frame.w, frame.h, frame.w};
                if (filter.filter(view, true) != Status::ok)
                    throw std::runtime_error("the filter failed");
                const double after =
                    psnr(luma_mse(metric_planes(frame, info), reference), reference.peak);
                std::printf("%s\t%s\t%d\t%d\t%d\t%.4f\t%.4f\n", label.c_str(), input.c_str(), t, q,
                            n, before, after);
            }
    std::fflush(stdout);
    return 0;
}

using Setting = std::tuple<int, int, int>;  // threshold, quant, n_shift

struct Table {
    // quality -> setting -> (sum of gains, count)
    std::map<double, std::map<Setting, std::pair<double, int>>> gains;
    std::map<double, std::set<std::string>> photos;
};

double mean(const std::pair<double, int>& s) { return s.first / s.second; }

std::string name(const Setting& s) {
    return std::to_string(std::get<0>(s)) + "/" + std::to_string(std::get<1>(s)) + "/" +
           std::to_string(std::get<2>(s));
}

// Per quality of `table`, a setting within `tolerance` of that quality's best (among those with
// n_shift `shifts`), threshold and quant never rising with the quality, the sum of mean gains
// largest.
std::vector<Setting> monotone_mapping(const Table& table, int shifts, double tolerance) {
    std::vector<std::vector<Setting>> candidates;
    std::vector<std::vector<double>> gain;
    for (const auto& [quality, settings] : table.gains) {
        double best = -1e9;
        for (const auto& [s, g] : settings)
            if (std::get<2>(s) == shifts) best = std::max(best, mean(g));
        candidates.emplace_back();
        gain.emplace_back();
        for (const auto& [s, g] : settings)
            if (std::get<2>(s) == shifts && mean(g) >= best - tolerance) {
                candidates.back().push_back(s);
                gain.back().push_back(mean(g));
            }
    }
    const std::size_t m = candidates.size();
    std::vector<std::vector<double>> value(m);
    std::vector<std::vector<int>> from(m);
    for (std::size_t i = 0; i < m; ++i) {
        value[i].assign(candidates[i].size(), -std::numeric_limits<double>::infinity());
        from[i].assign(candidates[i].size(), -1);
        for (std::size_t k = 0; k < candidates[i].size(); ++k) {
            if (i == 0) {
                value[i][k] = gain[i][k];
                continue;
            }
            const auto [t, q, n] = candidates[i][k];
            for (std::size_t j = 0; j < candidates[i - 1].size(); ++j) {
                const auto [pt, pq, pn] = candidates[i - 1][j];
                if (pt >= t && pq >= q && value[i - 1][j] + gain[i][k] > value[i][k]) {
                    value[i][k] = value[i - 1][j] + gain[i][k];
                    from[i][k] = static_cast<int>(j);
                }
            }
        }
    }
    std::vector<Setting> path(m);
    if (m == 0) return path;
    auto k = static_cast<int>(std::max_element(value[m - 1].begin(), value[m - 1].end()) -
                              value[m - 1].begin());
    if (!std::isfinite(value[m - 1][static_cast<std::size_t>(k)]))
        throw std::runtime_error("no monotone mapping within the tolerance; raise --tolerance");
    for (std::size_t i = m; i-- > 0;) {
        path[i] = candidates[i][static_cast<std::size_t>(k)];
        k = from[i][static_cast<std::size_t>(k)];
    }
    return path;
}

std::string signed3(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.3f", v);
    return text;
}

int table(const std::vector<std::string>& args) {
    int video_shifts = 16;
    double tolerance = 0.02;
    std::vector<int> table_qualities;
    std::string auto_file;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool has_value = i + 1 < args.size();
        if (args[i] == "--video-shifts" && has_value)
            video_shifts = std::stoi(args[++i]);
        else if (args[i] == "--tolerance" && has_value)
            tolerance = std::stod(args[++i]);
        else if (args[i] == "--table-qualities" && has_value)
            table_qualities = parse_list(args[++i]);
        else if (args[i] == "--auto" && has_value)
            auto_file = args[++i];
        else
            files.push_back(args[i]);
    }
    Table all, rows;
    for (const std::string& file : files) {
        std::ifstream in(file);
        if (!in) throw std::runtime_error(file + ": cannot read");
        std::string label, photo;
        int th = 0, q = 0, n = 0;
        double before = 0, after = 0;
        while (in >> label >> photo >> th >> q >> n >> before >> after) {
            const double quality = std::stod(label);
            for (Table* t : {&all, &rows}) {
                if (t == &rows && !table_qualities.empty() &&
                    std::find(table_qualities.begin(), table_qualities.end(),
                              static_cast<int>(quality)) == table_qualities.end())
                    continue;
                auto& g = t->gains[quality][{th, q, n}];
                g.first += after - before;
                g.second += 1;
                t->photos[quality].insert(photo);
            }
        }
    }
    // --auto: lines of quality, photo, "jpeg" or "png", gain.
    std::map<std::pair<double, std::string>, std::pair<double, int>> auto_gain;
    if (!auto_file.empty()) {
        std::ifstream in(auto_file);
        if (!in) throw std::runtime_error(auto_file + ": cannot read");
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string photo, kind, setting;
            double quality = 0, gain = 0, rgb = 0;
            if (!(fields >> quality >> photo >> kind >> gain >> setting))
                throw std::runtime_error(auto_file + ": a line without a gain: " + line);
            auto& g = auto_gain[{quality, kind}];
            g.first += gain;
            g.second += 1;
            if (fields >> rgb) {
                auto& r = auto_gain[{quality, kind + " rgb"}];
                r.first += rgb;
                r.second += 1;
            }
        }
    }
    std::set<int> all_shifts;
    for (const auto& [quality, settings] : all.gains)
        for (const auto& [s, g] : settings) all_shifts.insert(std::get<2>(s));
    const int picture_shifts = *all_shifts.rbegin();

    std::printf(
        "Mean luma PSNR gain in dB over the photos, setting as threshold/quant/n_shift.\n\n"
        "| JPEG quality | photos | defaults 24/8/4 | best fixed setting | worst |");
    for (const int n : all_shifts) std::printf(" best at n_shift %d |", n);
    std::printf(
        " auto on the JPEG | auto - best | PNG copy: the JPEG's setting | PNG copy: auto | auto - "
        "the JPEG's setting | PNG copy, colour: RGB PSNR gain of auto |\n|---|---|---|---|---|");
    for (std::size_t i = 0; i < all_shifts.size(); ++i) std::printf("---|");
    std::printf("---|---|---|---|---|---|\n");
    for (const auto& [quality, settings] : all.gains) {
        const auto count = all.photos[quality].size();
        auto best = settings.end(), worst = settings.end();
        for (auto it = settings.begin(); it != settings.end(); ++it) {
            if (it->second.second != static_cast<int>(count)) continue;  // not on every photo
            if (best == settings.end() || mean(it->second) > mean(best->second)) best = it;
            if (worst == settings.end() || mean(it->second) < mean(worst->second)) worst = it;
        }
        const auto defaults = settings.find({24, 8, 4});
        std::printf("| %g | %zu | %s | %+.3f (%s) | %+.3f |", quality, count,
                    defaults == settings.end() ? "-" : signed3(mean(defaults->second)).c_str(),
                    mean(best->second), name(best->first).c_str(), mean(worst->second));
        for (const int n : all_shifts) {
            auto b = settings.end();
            for (auto it = settings.begin(); it != settings.end(); ++it)
                if (std::get<2>(it->first) == n &&
                    (b == settings.end() || mean(it->second) > mean(b->second)))
                    b = it;
            std::printf(" %+.3f (%s) |", mean(b->second), name(b->first).c_str());
        }
        const auto j = auto_gain.find({quality, "jpeg"});
        const auto p = auto_gain.find({quality, "png"});
        const auto pt = auto_gain.find({quality, "pngtable"});
        const auto rgb = auto_gain.find({quality, "png rgb"});
        if (j == auto_gain.end() || p == auto_gain.end() || pt == auto_gain.end()) {
            std::printf(" - | - | - | - | - | - |\n");
            continue;
        }
        std::printf(" %+.3f | %+.3f | %+.3f | %+.3f | %+.3f | %s |\n", mean(j->second),
                    mean(j->second) - mean(best->second), mean(pt->second), mean(p->second),
                    mean(p->second) - mean(pt->second),
                    rgb == auto_gain.end() ? "-" : signed3(mean(rgb->second)).c_str());
    }

    const std::vector<Setting> picture = monotone_mapping(rows, picture_shifts, tolerance);
    const std::vector<Setting> video = monotone_mapping(rows, video_shifts, tolerance);
    std::printf(
        "\nThe mapping (within %.2f dB of the best at each quality, threshold and quant never "
        "rising with the quality):\n\n"
        "| JPEG quality | pictures: setting | mean gain | video: setting | mean gain |\n"
        "|---|---|---|---|---|\n",
        tolerance);
    std::size_t row = 0;
    for (const auto& [quality, settings] : rows.gains) {
        std::printf("| %g | %s | %+.3f | %s | %+.3f |\n", quality, name(picture[row]).c_str(),
                    mean(settings.at(picture[row])), name(video[row]).c_str(),
                    mean(settings.at(video[row])));
        ++row;
    }
    std::printf("\n// quality, threshold, quant (pictures, n_shift %d)\n", picture_shifts);
    row = 0;
    for (const auto& [quality, settings] : rows.gains) {
        std::printf("{%g, %d, %d},\n", quality, std::get<0>(picture[row]),
                    std::get<1>(picture[row]));
        ++row;
    }
    std::printf("// quality, threshold, quant (video, n_shift %d)\n", video_shifts);
    row = 0;
    for (const auto& [quality, settings] : rows.gains) {
        std::printf("{%g, %d, %d},\n", quality, std::get<0>(video[row]), std::get<1>(video[row]));
        ++row;
    }
    return 0;
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "sweep") return korvane::cli::sweep(args);
        if (mode == "table") return korvane::cli::table(args);
        std::fprintf(stderr, "usage: korvane-strength-sweep sweep|table ...\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-strength-sweep: %s\n", e.what());
    }
    return 2;
}
