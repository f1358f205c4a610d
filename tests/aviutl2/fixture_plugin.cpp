// A plug-in that copies the picture unchanged, built once per fault (FAULT_...) to show that
// korvane-host64 notices each of them; FAULT_NONE breaks nothing.
#include <windows.h>

#include <cstdint>
#include <vector>

#include "aviutl2/host_interface.h"

namespace {

using namespace korvane::exedit2;

#ifdef FAULT_MAXIMUM
constexpr double kShiftMax = 63;
#else
constexpr double kShiftMax = 64;
#endif

TrackItem g_tracks[4] = {
    {L"track2", L"threshold", 24, 0, 255, 1.0, nullptr, 1.0},
    {L"track2", L"quant", 8, 1, 255, 1.0, nullptr, 1.0},
    {L"track2", L"n_shift", 4, 1, kShiftMax, 1.0, nullptr, 1.0},
    {L"track2", L"zero_weight", 0, 0, 64, 1.0, nullptr, 1.0},
};
void* g_items[] = {&g_tracks[0], &g_tracks[1], &g_tracks[2], &g_tracks[3], nullptr};

bool proc_video(ProcVideo* video) {
    const std::int32_t w = video->object->width;
    const std::int32_t h = video->object->height;
    std::vector<PixelRgba> picture(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    PixelRgba* buffer = picture.data();
#ifdef FAULT_SHORT_BUFFER
    // A buffer one pixel short, ending at the end of its memory.
    auto* page = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, 1 << 20, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    buffer = reinterpret_cast<PixelRgba*>(page + (1 << 20) - 4 * (picture.size() - 1));
#endif
#ifdef FAULT_READ_PAST
    // The function after set_image_data, which this filter has no business with.
    const void* volatile next = reinterpret_cast<void* const*>(video)[4];
    (void)next;
#endif
#ifdef FAULT_WRITE_RECORD
    const_cast<ObjectInfo*>(video->object)->frame = 5;
#endif
#ifdef FAULT_ITEM_WRITE
    g_tracks[2].value = 7;
#endif
    video->get_image_data(buffer);
#ifdef FAULT_NO_SET
    return true;
#endif
#ifdef FAULT_RESIZE
    video->set_image_data(buffer, w - 1, h);
#else
    video->set_image_data(buffer, w, h);
#endif
#ifdef FAULT_SET_ON_FAILURE
    return false;
#endif
    return true;
}

#ifdef FAULT_FLAG
constexpr std::int32_t kFlag = kFlagVideo;
#else
constexpr std::int32_t kFlag = kFlagVideo | kFlagFilterObject;
#endif

const FilterPluginTable kTable = {
    kFlag,   L"Korvane DCT", nullptr, L"Korvane DCT fixture", g_items, proc_video,
    nullptr, nullptr,        nullptr,
};

}  // namespace

extern "C" const FilterPluginTable* GetFilterPluginTable() { return &kTable; }
