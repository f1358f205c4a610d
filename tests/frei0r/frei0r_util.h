// The frei0r plug-in as a host loads it, RGBA test pictures, and korvane-dct's output for them.
#pragma once

extern "C" {
#include <frei0r.h>
}
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/cli/fixtures.h"
#include "tests/cli/run_command.h"

namespace korvane::test {

// The plug-in's entry points, looked up by name as a host does.
struct Frei0rPlugin {
    void* lib = nullptr;
    decltype(&f0r_init) init = nullptr;
    decltype(&f0r_deinit) deinit = nullptr;
    decltype(&f0r_get_plugin_info) get_plugin_info = nullptr;
    decltype(&f0r_get_param_info) get_param_info = nullptr;
    decltype(&f0r_construct) construct = nullptr;
    decltype(&f0r_destruct) destruct = nullptr;
    decltype(&f0r_set_param_value) set_param_value = nullptr;
    decltype(&f0r_get_param_value) get_param_value = nullptr;
    decltype(&f0r_update) update = nullptr;
    decltype(&f0r_update2) update2 = nullptr;

    Frei0rPlugin() {
        lib = dlopen(KORVANE_FREI0R_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        if (!lib) throw std::runtime_error(dlerror());
        auto get = [&](auto& f, const char* name) {
            f = reinterpret_cast<std::remove_reference_t<decltype(f)>>(dlsym(lib, name));
            if (!f) throw std::runtime_error(std::string("no ") + name);
        };
        get(init, "f0r_init");
        get(deinit, "f0r_deinit");
        get(get_plugin_info, "f0r_get_plugin_info");
        get(get_param_info, "f0r_get_param_info");
        get(construct, "f0r_construct");
        get(destruct, "f0r_destruct");
        get(set_param_value, "f0r_set_param_value");
        get(get_param_value, "f0r_get_param_value");
        get(update, "f0r_update");
        get(update2, "f0r_update2");
        init();
    }
    ~Frei0rPlugin() {
        deinit();
        dlclose(lib);
    }
    Frei0rPlugin(const Frei0rPlugin&) = delete;
    Frei0rPlugin& operator=(const Frei0rPlugin&) = delete;

    // One frame through a new instance: parameters set (if given) as a host sets them.
    std::vector<std::uint8_t> filter(const std::vector<std::uint8_t>& rgba, int w, int h,
                                     const std::optional<std::array<double, 4>>& params) const {
        f0r_instance_t inst = construct(static_cast<unsigned>(w), static_cast<unsigned>(h));
        if (!inst) throw std::runtime_error("f0r_construct failed");
        if (params)
            for (int i = 0; i < 4; ++i) {
                double v = (*params)[i];
                set_param_value(inst, &v, i);
            }
        std::vector<std::uint8_t> out(rgba.size());
        update(inst, 0.0, reinterpret_cast<const std::uint32_t*>(rgba.data()),
               reinterpret_cast<std::uint32_t*>(out.data()));
        destruct(inst);
        return out;
    }
};

// An RGBA picture with what the filter acts on: 8x8 blocks of flat colour (block edges), noise,
// and an alpha channel that varies across it.
inline std::vector<std::uint8_t> test_picture(int w, int h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> level(0, 255), noise(-12, 12);
    std::vector<std::array<int, 3>> blocks(static_cast<std::size_t>((w + 7) / 8 * ((h + 7) / 8)));
    for (auto& b : blocks) b = {level(rng), level(rng), level(rng)};
    std::vector<std::uint8_t> p(static_cast<std::size_t>(4 * w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto& b = blocks[static_cast<std::size_t>(y / 8 * ((w + 7) / 8) + x / 8)];
            std::uint8_t* px = &p[static_cast<std::size_t>(4 * (y * w + x))];
            for (int c = 0; c < 3; ++c)
                px[c] = static_cast<std::uint8_t>(std::clamp(b[c] + noise(rng), 0, 255));
            px[3] = static_cast<std::uint8_t>((7 * x + 3 * y + 40) & 255);
        }
    return p;
}

// korvane-dct's output for the picture as an 8-bit RGBA PNG, with the given options.
inline std::vector<std::uint8_t> command_output(const std::vector<std::uint8_t>& rgba, int w, int h,
                                                const std::vector<std::string>& options,
                                                const TempDir& dir) {
    const std::string in = dir / "command-in.png", out = dir / "command-out.png";
    write_file(in, encode_png(w, h, 6, 8, std::vector<unsigned char>(rgba.begin(), rgba.end())));
    std::vector<std::string> args{KORVANE_DCT, "--quiet"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {in, out});
    const Result r = run_command(args);
    if (r.status != 0) throw std::runtime_error("korvane-dct failed: " + r.err);
    const Png png = decode_png(read_file(out));
    if (png.ihdr.color_type != 6 || png.ihdr.bit_depth != 8)
        throw std::runtime_error("korvane-dct did not write 8-bit RGBA");
    return {png.data.begin(), png.data.end()};
}

// Where two RGBA frames first differ, for a failure message; empty when they are equal.
inline std::string first_difference(const std::vector<std::uint8_t>& a,
                                    const std::vector<std::uint8_t>& b, int w, int h) {
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) {
            const std::size_t pixel = i / 4, frame = pixel / static_cast<std::size_t>(w * h);
            const std::size_t at = pixel % static_cast<std::size_t>(w * h);
            return "frame " + std::to_string(frame) + " pixel (" +
                   std::to_string(at % static_cast<std::size_t>(w)) + ", " +
                   std::to_string(at / static_cast<std::size_t>(w)) + ") channel " +
                   std::to_string(i % 4) + ": " + std::to_string(a[i]) + " vs " +
                   std::to_string(b[i]);
        }
    return "";
}

}  // namespace korvane::test
