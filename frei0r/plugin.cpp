// The filter as a frei0r plug-in (korvane_dct.so), for ffmpeg, MLT (Shotcut, Kdenlive) and
// GStreamer: RGBA8888 frames through filter_rgba8, the path korvane-dct takes for an 8-bit RGBA
// PNG, so that both give the same bytes. Each instance has its own worker threads and memory;
// nothing is shared between instances but read-only tables.
// frei0r.h declares the entry points without C linkage of its own.
extern "C" {
#include <frei0r.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/setting_texts.h"
#include "frei0r/params.h"
#include "picture/picture_filter.h"
#include "picture/rgba.h"

namespace korvane::frei0r {
namespace {

// What each parameter means (the setting's own text), with its two ends, how the host's 0..1
// maps onto it and its default in those terms. Made once, on first use.
const char* param_explanation(int t) {
    static const std::array<std::string, kTrackCount> texts = [] {
        std::array<std::string, kTrackCount> made;
        for (int i = 0; i < kTrackCount; ++i) {
            const auto track = static_cast<Track>(i);
            const std::int32_t range = kTrackMax[i] - kTrackMin[i];
            const std::string value =
                kTrackMin[i] == 0
                    ? "round(" + std::to_string(range) + " x)"
                    : std::to_string(kTrackMin[i]) + " + round(" + std::to_string(range) + " x)";
            char fraction[16];
            std::snprintf(fraction, sizeof fraction, "%.4g",
                          param_from_setting(track, kTrackDefault[i]));
            made[static_cast<std::size_t>(i)] =
                setting_sentence(i) + ". 0 = " + std::to_string(kTrackMin[i]) +
                ", 1 = " + std::to_string(kTrackMax[i]) + "; value = " + value + ", default " +
                fraction + " = " + std::to_string(kTrackDefault[i]);
        }
        return made;
    }();
    return texts[static_cast<std::size_t>(t)].c_str();
}

// Every instance runs on this many threads; the bytes do not depend on it.
std::int32_t worker_threads() { return default_threads(); }

class Instance {
public:
    Instance(std::int32_t w, std::int32_t h) : w_(w), h_(h) {
        for (int t = 0; t < kTrackCount; ++t)
            params_[t] = param_from_setting(static_cast<Track>(t), kTrackDefault[t]);
    }

    void set(int index, double value) {
        if (index >= 0 && index < kTrackCount && !std::isnan(value))
            params_[index] = std::clamp(value, 0.0, 1.0);
    }
    double get(int index) const { return index >= 0 && index < kTrackCount ? params_[index] : 0; }

    // Filters the RGBA frame at `pixels` in place; on failure leaves it as it is.
    void filter(std::uint32_t* pixels) {
        const Settings s{setting_from_param(kThreshold, params_[kThreshold]),
                         setting_from_param(kQuant, params_[kQuant]),
                         setting_from_param(kNShift, params_[kNShift]),
                         setting_from_param(kZeroWeight, params_[kZeroWeight])};
        // The threads start with the first frame and stay, whatever the settings of the next.
        if (!filter_)
            filter_ = std::make_unique<PictureFilter>(kernels_for(plugin_tier()), worker_threads());
        const RgbaView view{reinterpret_cast<std::uint8_t*>(pixels), w_, h_,
                            4 * static_cast<std::ptrdiff_t>(w_)};
        filter_rgba8(*filter_, s, view, work_);
    }

    std::size_t frame_bytes() const {
        return 4 * static_cast<std::size_t>(w_) * static_cast<std::size_t>(h_);
    }

private:
    std::int32_t w_, h_;
    double params_[kTrackCount];
    std::unique_ptr<PictureFilter> filter_;
    std::vector<YcPixel> work_;
};

}  // namespace
}  // namespace korvane::frei0r

using korvane::frei0r::Instance;

extern "C" {

int f0r_init(void) { return 1; }

void f0r_deinit(void) {}

void f0r_get_plugin_info(f0r_plugin_info_t* info) {
    if (!info) return;
    info->name = "Korvane DCT";
    info->author = "Korvane DCT developers";
    info->plugin_type = F0R_PLUGIN_TYPE_FILTER;
    info->color_model = F0R_COLOR_MODEL_RGBA8888;
    info->frei0r_version = FREI0R_MAJOR_VERSION;
    info->major_version = KORVANE_VERSION_MAJOR;
    info->minor_version = KORVANE_VERSION_MINOR;
    info->num_params = korvane::kTrackCount;
    info->explanation =
        "Deblocking and denoising: averages the frame over shifted 8x8 grids, each with its weak "
        "DCT detail smoothed; alpha passes through";
}

void f0r_get_param_info(f0r_param_info_t* info, int index) {
    if (!info || index < 0 || index >= korvane::kTrackCount) return;
    info->name = korvane::kSettingTexts[index].name;
    info->type = F0R_PARAM_DOUBLE;
    try {
        info->explanation = korvane::frei0r::param_explanation(index);
    } catch (...) {  // no memory for the longer text
        info->explanation = korvane::kSettingTexts[index].meaning;
    }
}

f0r_instance_t f0r_construct(unsigned int width, unsigned int height) {
    // At most 2^15 on a side, so that a frame's size in bytes fits every index the filter uses.
    if (width == 0 || height == 0 || width > 32768 || height > 32768) return nullptr;
    try {
        return new Instance(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
    } catch (...) {
        return nullptr;
    }
}

void f0r_destruct(f0r_instance_t instance) { delete static_cast<Instance*>(instance); }

void f0r_set_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance && param)
        static_cast<Instance*>(instance)->set(index, *static_cast<const f0r_param_double*>(param));
}

void f0r_get_param_value(f0r_instance_t instance, f0r_param_t param, int index) {
    if (instance && param)
        *static_cast<f0r_param_double*>(param) = static_cast<Instance*>(instance)->get(index);
}

void f0r_update(f0r_instance_t instance, double /*time*/, const uint32_t* inframe,
                uint32_t* outframe) {
    if (!instance || !inframe || !outframe) return;
    auto& self = *static_cast<Instance*>(instance);
    if (inframe != outframe) std::memmove(outframe, inframe, self.frame_bytes());
    try {
        self.filter(outframe);
    } catch (...) {
        // Threads or memory could not be had: the frame passes through unfiltered, which is all
        // a frei0r filter can do about it.
    }
}

void f0r_update2(f0r_instance_t instance, double time, const uint32_t* inframe1,
                 const uint32_t* /*inframe2*/, const uint32_t* /*inframe3*/, uint32_t* outframe) {
    f0r_update(instance, time, inframe1, outframe);
}

}  // extern "C"
