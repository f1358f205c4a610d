// Frames for the engine tests: owned pixel buffers with an optional stride and guard pixels.
#pragma once

#include <cstdint>
#include <ostream>
#include <random>
#include <vector>

#include "aviutl/filter_descriptor.h"
#include "aviutl/host_interface.h"
#include "engine/engine.h"
#include "tests/hosts/inprocess/host.h"

namespace korvane {

inline bool operator==(const YcPixel& a, const YcPixel& b) {
    return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

inline std::ostream& operator<<(std::ostream& os, const YcPixel& p) {
    return os << "(" << p.y << ", " << p.cb << ", " << p.cr << ")";
}

}  // namespace korvane

namespace korvane::test {

// h rows of `stride` pixels, of which the first w belong to the frame.
struct TestFrame {
    std::int32_t w = 0, h = 0, stride = 0;
    std::vector<YcPixel> pixels;

    TestFrame(std::int32_t w_, std::int32_t h_, std::int32_t stride_ = -1)
        : w(w_),
          h(h_),
          stride(stride_ < 0 ? w_ : stride_),
          pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h)) {}

    YcPixel& at(std::int32_t x, std::int32_t y) { return pixels[index(x, y)]; }
    const YcPixel& at(std::int32_t x, std::int32_t y) const { return pixels[index(x, y)]; }
    std::size_t index(std::int32_t x, std::int32_t y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
               static_cast<std::size_t>(x);
    }
    FrameView view() { return {pixels.data(), w, h, stride}; }
    FrameInfo info() {
        FrameInfo f{};
        f.pixels = pixels.data();
        f.w = w;
        f.h = h;
        f.stride = stride;
        return f;
    }
    bool operator==(const TestFrame& o) const { return w == o.w && h == o.h && same_pixels(o); }
    bool same_pixels(const TestFrame& o) const {
        for (std::int32_t y = 0; y < h; ++y)
            for (std::int32_t x = 0; x < w; ++x)
                if (!(at(x, y) == o.at(x, y))) return false;
        return true;
    }
};

inline void fill(TestFrame& f, YcPixel v) {
    for (std::int32_t y = 0; y < f.h; ++y)
        for (std::int32_t x = 0; x < f.w; ++x) f.at(x, y) = v;
}

// Samples in the host's nominal ranges (Y 0..4096, Cb/Cr -2048..2048), or any int16 values.
inline void fill_random(TestFrame& f, std::mt19937& rng, bool full_range = false) {
    std::uniform_int_distribution<int> luma(full_range ? -32768 : 0, full_range ? 32767 : 4096);
    std::uniform_int_distribution<int> chroma(full_range ? -32768 : -2048,
                                              full_range ? 32767 : 2048);
    for (YcPixel& p : f.pixels)
        p = {static_cast<std::int16_t>(luma(rng)), static_cast<std::int16_t>(chroma(rng)),
             static_cast<std::int16_t>(chroma(rng))};
}

struct Tracks {
    std::int32_t threshold = 24, quant = 8, n_shift = 4, zero_weight = 0;
};

// Filters the frame in place through the filter table's callback, as the host would.
inline std::int32_t filter(TestFrame& f, std::int32_t threads, Tracks t = {},
                           const FilterTable* table = GetFilterTable()) {
    Host host(table, threads);
    host.track(0) = t.threshold;
    host.track(1) = t.quant;
    host.track(2) = t.n_shift;
    host.track(3) = t.zero_weight;
    return host.filter(f.pixels.data(), f.w, f.h, f.stride);
}

}  // namespace korvane::test
