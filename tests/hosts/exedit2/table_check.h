// The plug-in table as ExEdit2 reads it, checked at its byte offsets.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace host64 {

struct PluginEntry {
    const void* proc_video = nullptr;
    unsigned char* tracks[4] = {};  // the track items, in the order of kTrackNames
    double defaults[4] = {};
    double minimums[4] = {};
    double maximums[4] = {};
    std::string information;
};

// Byte offsets of a track item that the host writes and reads.
constexpr std::size_t kItemValue = 16;
constexpr std::size_t kItemBytes = 64;

// Checks the table at `table` of the plug-in loaded as `module`; every problem found is added to
// `problems`.
PluginEntry check_plugin_table(HMODULE module, const unsigned char* table,
                               std::vector<std::string>& problems);

}  // namespace host64
