// Checks a plug-in's filter table word by word at the byte offsets the editor reads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace host32 {

// What the host takes from a table that passed the check.
struct FilterEntry {
    const void* callback = nullptr;
    std::int32_t defaults[4] = {};
    std::int32_t minimums[4] = {};
    std::int32_t maximums[4] = {};
};

// Reads the 35-word table at `table`, which `module` returned from GetFilterTable. Every
// deviation is appended to `problems`; the entry is usable only when none were found.
FilterEntry check_filter_table(HMODULE module, const unsigned char* table,
                               std::vector<std::string>& problems);

}  // namespace host32
