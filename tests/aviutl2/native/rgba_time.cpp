// korvane-rgba-time T,Q,N,Z REPEAT W H IN.rgba
// The time of filter_rgba8 on one raw RGBA picture (the conversion and the filter, as korvane-dct
// runs them on an RGBA PNG, without the file) on this machine's threads: the minimum and median of
// REPEAT runs. The native side of the plug-in's timing under Wine.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "picture/picture_filter.h"
#include "picture/rgba.h"

int main(int argc, char** argv) {
    int v[4] = {};
    const bool usage_ok =
        argc == 6 && std::sscanf(argv[1], "%d,%d,%d,%d", &v[0], &v[1], &v[2], &v[3]) == 4;
    const int repeat = usage_ok ? std::atoi(argv[2]) : 0;
    const int w = usage_ok ? std::atoi(argv[3]) : 0;
    const int h = usage_ok ? std::atoi(argv[4]) : 0;
    if (!usage_ok || repeat < 1 || w < 1 || h < 1) {
        std::fprintf(stderr, "usage: korvane-rgba-time T,Q,N,Z REPEAT W H IN.rgba\n");
        return 2;
    }
    std::ifstream in(argv[5], std::ios::binary);
    const std::vector<unsigned char> picture(std::istreambuf_iterator<char>(in), {});
    if (picture.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4) {
        std::fprintf(stderr, "korvane-rgba-time: %s is not one %dx%d RGBA picture\n", argv[5], w,
                     h);
        return 2;
    }
    const korvane::Settings settings{v[0], v[1], v[2], v[3]};
    const unsigned hardware = std::thread::hardware_concurrency();
    const auto threads = static_cast<std::int32_t>(hardware ? hardware : 1);
    korvane::PictureFilter filter(korvane::kernels_for(korvane::plugin_tier()), threads);
    std::vector<korvane::YcPixel> work;
    std::vector<double> times;
    for (int r = 0; r < repeat; ++r) {
        std::vector<unsigned char> copy = picture;
        const auto t0 = std::chrono::steady_clock::now();
        const korvane::Status s = korvane::filter_rgba8(
            filter, settings, korvane::RgbaView{copy.data(), w, h, 4 * w}, work);
        const auto t1 = std::chrono::steady_clock::now();
        if (s != korvane::Status::ok) {
            std::fprintf(stderr, "korvane-rgba-time: the filter failed\n");
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("filter_rgba8 %dx%d on %d threads: min %.2f ms, median %.2f ms over %d runs\n", w,
                h, threads, times.front(), times[times.size() / 2], repeat);
    return 0;
}
