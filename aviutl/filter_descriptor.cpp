#include "aviutl/filter_descriptor.h"

#include "aviutl/frame_callback.h"
#include "engine/engine.h"

namespace korvane {
namespace {

// The strings are read-only; the table and its arrays are writable storage, as the host expects,
// though the filter itself never writes them.
constexpr char kName[] = "Korvane for AviUtl DCT";
constexpr char kInformation[] = "Korvane for AviUtl DCT";
constexpr char kThresholdName[] = "threshold";
constexpr char kQuantName[] = "quant";
constexpr char kNShiftName[] = "n_shift";
constexpr char kZeroWeightName[] = "zero_weight";

const char* g_track_names[kTrackCount] = {kThresholdName, kQuantName, kNShiftName, kZeroWeightName};
std::int32_t g_track_defaults[kTrackCount] = {kTrackDefault[0], kTrackDefault[1], kTrackDefault[2],
                                              kTrackDefault[3]};
std::int32_t g_track_minimums[kTrackCount] = {kTrackMin[0], kTrackMin[1], kTrackMin[2],
                                              kTrackMin[3]};
std::int32_t g_track_maximums[kTrackCount] = {kTrackMax[0], kTrackMax[1], kTrackMax[2],
                                              kTrackMax[3]};

FilterTable g_filter_table = {
    kFilterTableFlags,
    {},
    kName,
    kTrackCount,
    g_track_names,
    g_track_defaults,
    g_track_minimums,
    g_track_maximums,
    0,
    nullptr,
    nullptr,
    &process_frame,
    {},
    kInformation,
    {},
};

}  // namespace
}  // namespace korvane

extern "C" korvane::FilterTable* GetFilterTable() { return &korvane::g_filter_table; }
