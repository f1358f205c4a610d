// The records through which AviUtl ExEdit2 meets a 64-bit filter plug-in (.auf2).
//
// ExEdit2 is a 64-bit program: its records sit at the fixed byte offsets checked below, and every
// entry point uses the one x64 calling convention. Only the fields a simple picture filter touches
// are declared; the records go on beyond them, and nothing here reads past what is declared.
// Strings are UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::exedit2 {

// FilterPluginTable::flag bits.
enum : std::int32_t {
    kFlagVideo = 1,         // func_proc_video is called for every frame
    kFlagAudio = 2,         // func_proc_audio is called
    kFlagInput = 4,         // a media object of its own
    kFlagFilterObject = 8,  // also usable as a filter object, not only as an object's effect
    kFlagUserData = 16,     // func_create / func_destroy give every effect its own data
};

// One pixel of the pictures exchanged through ProcVideo: 8 bits each, in this order.
struct PixelRgba {
    std::uint8_t r, g, b, a;
};

struct SceneInfo {
    std::int32_t width, height;
    std::int32_t rate, scale;
    std::int32_t sample_rate;
};

// The object being filtered. The record continues past height with fields not declared here.
struct ObjectInfo {
    std::int64_t id;
    std::int32_t frame;
    std::int32_t frame_total;
    double time;
    double time_total;
    std::int32_t width;
    std::int32_t height;
};

// One call of func_proc_video. More host functions follow set_image_data (GPU textures,
// drawing); they are not declared, so they cannot be read by mistake.
struct ProcVideo {
    const SceneInfo* scene;
    const ObjectInfo* object;
    // Copies the object's current picture into buffer: width x height pixels of the object,
    // rows top to bottom, no padding.
    void (*get_image_data)(PixelRgba* buffer);
    // Replaces the object's picture with buffer (width x height pixels); a null buffer only
    // resizes. A filter object must keep the size.
    void (*set_image_data)(const PixelRgba* buffer, std::int32_t width, std::int32_t height);
};

// A track bar. The host reads every field and writes only `value`, before each call of
// func_proc_video; the plug-in owns the memory.
struct TrackItem {
    const wchar_t* type;  // L"track2"
    const wchar_t* name;
    double value;
    double min;
    double max;
    double step;                  // 1.0, 0.1, 0.01 or 0.001
    const wchar_t* zero_display;  // text shown for the value 0, or null
    double slider_ratio;          // 1.0: the slider spans min..max
};

// What GetFilterPluginTable returns.
struct FilterPluginTable {
    std::int32_t flag;
    const wchar_t* name;
    const wchar_t* label;  // category it is listed under; null: the default
    const wchar_t* information;
    void** items;  // null-terminated; each item begins with its type string
    bool (*func_proc_video)(ProcVideo* video);
    bool (*func_proc_audio)(void* audio);
    void* (*func_create)(std::int64_t effect_id);
    void (*func_destroy)(std::int64_t effect_id, void* user_data);
};

static_assert(sizeof(void*) == 8, "ExEdit2 plug-ins are 64-bit");
static_assert(sizeof(wchar_t) == 2, "ExEdit2 strings are UTF-16");
static_assert(sizeof(bool) == 1);

static_assert(sizeof(PixelRgba) == 4);
static_assert(offsetof(PixelRgba, r) == 0 && offsetof(PixelRgba, g) == 1);
static_assert(offsetof(PixelRgba, b) == 2 && offsetof(PixelRgba, a) == 3);

static_assert(offsetof(SceneInfo, width) == 0 && offsetof(SceneInfo, height) == 4);
static_assert(offsetof(SceneInfo, rate) == 8 && offsetof(SceneInfo, scale) == 12);
static_assert(offsetof(SceneInfo, sample_rate) == 16);

static_assert(offsetof(ObjectInfo, id) == 0 && offsetof(ObjectInfo, frame) == 8);
static_assert(offsetof(ObjectInfo, frame_total) == 12 && offsetof(ObjectInfo, time) == 16);
static_assert(offsetof(ObjectInfo, time_total) == 24);
static_assert(offsetof(ObjectInfo, width) == 32 && offsetof(ObjectInfo, height) == 36);

static_assert(offsetof(ProcVideo, scene) == 0 && offsetof(ProcVideo, object) == 8);
static_assert(offsetof(ProcVideo, get_image_data) == 16);
static_assert(offsetof(ProcVideo, set_image_data) == 24);

static_assert(sizeof(TrackItem) == 64);
static_assert(offsetof(TrackItem, type) == 0 && offsetof(TrackItem, name) == 8);
static_assert(offsetof(TrackItem, value) == 16 && offsetof(TrackItem, min) == 24);
static_assert(offsetof(TrackItem, max) == 32 && offsetof(TrackItem, step) == 40);
static_assert(offsetof(TrackItem, zero_display) == 48);
static_assert(offsetof(TrackItem, slider_ratio) == 56);

static_assert(sizeof(FilterPluginTable) == 72);
static_assert(offsetof(FilterPluginTable, flag) == 0);
static_assert(offsetof(FilterPluginTable, name) == 8);
static_assert(offsetof(FilterPluginTable, label) == 16);
static_assert(offsetof(FilterPluginTable, information) == 24);
static_assert(offsetof(FilterPluginTable, items) == 32);
static_assert(offsetof(FilterPluginTable, func_proc_video) == 40);
static_assert(offsetof(FilterPluginTable, func_proc_audio) == 48);
static_assert(offsetof(FilterPluginTable, func_create) == 56);
static_assert(offsetof(FilterPluginTable, func_destroy) == 64);

}  // namespace korvane::exedit2
