// The records and the thread service that the host hands to the filter.
//
// The host is a 32-bit program: every field below sits at a fixed byte offset in its memory and
// every entry point uses the default C calling convention. Only the fields the filter touches are
// named; the rest are opaque words. In a build with wider pointers the pointer words widen with
// them, so the byte offsets are checked only where pointers are 32 bits wide.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/pixel.h"

namespace korvane {

// Per-frame description of the pixel buffer. The filter reads pixels, w, h and stride and writes
// only through pixels.
struct FrameInfo {
    std::int32_t flags;   // host's own
    YcPixel* pixels;      // rows of YcPixel, filtered in place
    void* temp_pixels;    // host's own
    std::int32_t w;       // width in pixels
    std::int32_t h;       // height in rows
    std::int32_t stride;  // pixels from one row start to the next, at least w
};

// A function the host runs once on each of its worker threads.
extern "C" {
using ThreadWorker = void (*)(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                              void* param2);
using RunOnAllThreads = std::int32_t (*)(ThreadWorker worker, void* param1, void* param2);
}

// The host's service table. The filter calls only run_on_all_threads, which
//  1. runs the worker exactly once for each thread_index 0..thread_count-1 (any order, possibly
//     concurrently), every run with the same thread_count >= 1;
//  2. returns only after every run has returned, with their writes visible to the caller;
//  3. uses the same thread_count for every call during one frame callback.
inline constexpr int kRunOnAllThreadsIndex = 51;
struct HostFunctions {
    void* other_services[kRunOnAllThreadsIndex];
    RunOnAllThreads run_on_all_threads;
};

// The live filter record the host passes with every frame. Word 17 carries the live track values
// (int32 each, in track order), word 24 the host's service table.
struct FilterState {
    std::uintptr_t words_0_16[17];
    std::int32_t* track;
    std::uintptr_t words_18_23[6];
    HostFunctions* host;
};

// The frame callback: filters one frame in place; nonzero on success.
extern "C" {
using FrameCallback = std::int32_t (*)(FilterState* state, FrameInfo* frame);
}

#if UINTPTR_MAX == 0xFFFFFFFFu
// The 32-bit host reads and writes these records at these byte offsets.
static_assert(offsetof(FrameInfo, pixels) == 4);
static_assert(offsetof(FrameInfo, w) == 12);
static_assert(offsetof(FrameInfo, h) == 16);
static_assert(offsetof(FrameInfo, stride) == 20);
static_assert(offsetof(FilterState, track) == 68);
static_assert(offsetof(FilterState, host) == 96);
static_assert(offsetof(HostFunctions, run_on_all_threads) == 204);
#endif

}  // namespace korvane
