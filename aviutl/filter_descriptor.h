// The filter table through which the host finds the filter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aviutl/host_interface.h"

namespace korvane {

// 35 words in the host's filter-table layout. Words not named here are zero.
struct FilterTable {
    std::int32_t flags;              // word 0
    std::int32_t words_1_2[2];       // words 1-2
    const char* name;                // word 3
    std::int32_t track_count;        // word 4
    const char* const* track_names;  // word 5: track_count string pointers
    std::int32_t* track_defaults;    // word 6
    std::int32_t* track_minimums;    // word 7
    std::int32_t* track_maximums;    // word 8
    std::int32_t check_count;        // word 9
    const char* const* check_names;  // word 10
    std::int32_t* check_defaults;    // word 11
    FrameCallback callback;          // word 12
    std::uintptr_t words_13_20[8];   // words 13-20 (17: the live track values' place)
    const char* information;         // word 21
    std::uintptr_t words_22_34[13];  // words 22-34 (24: the host services' place)
};

inline constexpr std::int32_t kFilterTableFlags = 0x40000;

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(FilterTable) == 140);
static_assert(offsetof(FilterTable, name) == 12);
static_assert(offsetof(FilterTable, track_count) == 16);
static_assert(offsetof(FilterTable, track_names) == 20);
static_assert(offsetof(FilterTable, track_defaults) == 24);
static_assert(offsetof(FilterTable, track_minimums) == 28);
static_assert(offsetof(FilterTable, track_maximums) == 32);
static_assert(offsetof(FilterTable, check_count) == 36);
static_assert(offsetof(FilterTable, callback) == 48);
static_assert(offsetof(FilterTable, information) == 84);
#endif

}  // namespace korvane

// The one export of the library: the address of the static filter table. Every call returns the
// same address and has no side effects.
#if defined(__GNUC__) && !defined(_WIN32)
#define KORVANE_EXPORT __attribute__((visibility("default")))
#else
#define KORVANE_EXPORT  // Windows: exported through the module-definition file
#endif
extern "C" KORVANE_EXPORT korvane::FilterTable* GetFilterTable();
