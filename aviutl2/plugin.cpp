// korvane_dct.auf2: the filter as an AviUtl ExEdit2 filter effect and filter object.
//
// Each frame the editor hands over the object's picture as 8-bit RGBA; it goes through
// filter_rgba8 (the conversion and PictureFilter that korvane-dct uses on an RGBA PNG) with exactly
// n_shift shift positions on the engine's own worker threads, and the result goes back at the
// same size with alpha untouched. So a frame here equals `korvane-dct in.png out.png` with the
// same four settings, whatever the machine's thread count.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "aviutl2/host_interface.h"
#include "engine/engine.h"
#include "picture/picture_filter.h"
#include "picture/rgba.h"

namespace korvane::exedit2 {
namespace {

constexpr TrackItem track_item(const wchar_t* name, Track track) {
    return {L"track2",
            name,
            static_cast<double>(kTrackDefault[track]),
            static_cast<double>(kTrackMin[track]),
            static_cast<double>(kTrackMax[track]),
            1.0,
            nullptr,
            1.0};
}

// The host writes each value before every frame; the rest is read-only to it.
TrackItem g_tracks[kTrackCount] = {
    track_item(L"threshold", kThreshold),
    track_item(L"quant", kQuant),
    track_item(L"n_shift", kNShift),
    track_item(L"zero_weight", kZeroWeight),
};
void* g_items[] = {&g_tracks[kThreshold], &g_tracks[kQuant], &g_tracks[kNShift],
                   &g_tracks[kZeroWeight], nullptr};

bool proc_video(ProcVideo* video) noexcept;

const FilterPluginTable kTable = {
    kFlagVideo | kFlagFilterObject,
    L"Korvane DCT",
    nullptr,
    L"Korvane DCT " KORVANE_VERSION " (deblocking and denoising), by the Korvane DCT developers",
    g_items,
    proc_video,
    nullptr,
    nullptr,
    nullptr,
};

// A track value as the engine takes it: the nearest integer inside the track's range (the host
// keeps values on the 1.0 step, so this only guards against what it should never send).
std::int32_t track_value(Track track) {
    const double v = g_tracks[track].value;
    if (std::isnan(v)) return kTrackDefault[track];
    if (v <= kTrackMin[track]) return kTrackMin[track];
    if (v >= kTrackMax[track]) return kTrackMax[track];
    return static_cast<std::int32_t>(std::lround(v));
}

std::int32_t worker_threads() { return default_threads(); }

// What one frame needs, kept from frame to frame: the filter with its threads and scratch, and
// the picture and sample buffers, kept while the frame size stays the same.
struct FrameState {
    std::unique_ptr<PictureFilter> filter;
    std::vector<PixelRgba> picture;
    std::vector<YcPixel> work;
};

// One frame at a time: every frame already runs on all the machine's threads, so frames from
// several host threads would only compete for them. The state lives on the heap and is released
// by UninitializePlugin, never by a static destructor: that would run while Windows unloads the
// DLL, when the pool's threads cannot be joined.
std::mutex g_mutex;
FrameState* g_state = nullptr;

void release_state() {
    delete g_state;
    g_state = nullptr;
}

// Filters the object's picture in place; false, with the picture left as it was, when it cannot
// be done (memory). g_mutex held.
bool filter_picture(ProcVideo& video, const Settings& settings, std::int32_t w, std::int32_t h) {
    if (!g_state) g_state = new FrameState;
    FrameState& state = *g_state;
    // The threads and the scratch start with the first frame and stay, whatever the settings.
    if (!state.filter)
        state.filter =
            std::make_unique<PictureFilter>(kernels_for(plugin_tier()), worker_threads());
    const std::size_t pixels = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
    if (state.picture.size() != pixels) {
        state.picture = {};
        state.work = {};
        state.picture.resize(pixels);
    }
    video.get_image_data(state.picture.data());
    const RgbaView view{reinterpret_cast<std::uint8_t*>(state.picture.data()), w, h,
                        4 * static_cast<std::ptrdiff_t>(w)};
    if (filter_rgba8(*state.filter, settings, view, state.work) != Status::ok) return false;
    video.set_image_data(state.picture.data(), w, h);
    return true;
}

bool proc_video(ProcVideo* video) noexcept {
    if (!video || !video->object || !video->get_image_data || !video->set_image_data) return false;
    // The values of this call: read before waiting, as the host may write the next call's values
    // while this one waits.
    const Settings settings{track_value(kThreshold), track_value(kQuant), track_value(kNShift),
                            track_value(kZeroWeight)};
    const std::int32_t w = video->object->width;
    const std::int32_t h = video->object->height;
    if (w <= 0 || h <= 0) return true;  // no pixels, nothing to filter
    try {
        std::lock_guard lock(g_mutex);
        try {
            if (filter_picture(*video, settings, w, h)) return true;
        } catch (...) {
        }
        // Out of memory (or threads): give back all this frame took, so that the next frame
        // starts clean and the rest of the editor gets the memory.
        release_state();
        return false;
    } catch (...) {  // the lock itself failed
        return false;
    }
}

}  // namespace
}  // namespace korvane::exedit2

// The exports (korvane_dct.def names them).
extern "C" {

const korvane::exedit2::FilterPluginTable* GetFilterPluginTable() {
    return &korvane::exedit2::kTable;
}

// The host calls this before it unloads the plug-in: the worker threads are joined here, outside
// the loader's lock.
void UninitializePlugin() {
    try {
        std::lock_guard lock(korvane::exedit2::g_mutex);
        korvane::exedit2::release_state();
    } catch (...) {
    }
}

}  // extern "C"
