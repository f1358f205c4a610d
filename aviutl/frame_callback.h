// The frame callback that the video editor calls: its records checked, its thread count probed,
// n_shift rounded up to a multiple of it (within kMaxShifts), and the frame handed to the engine.
#pragma once

#include <cstdint>

#include "aviutl/host_interface.h"
#include "engine/engine.h"

namespace korvane {

// Filters one frame in place. Returns 1 on success. Returns 0 and leaves the frame untouched
// when the records are unusable (null pointers, negative sizes, stride below w, track values
// outside their ranges) or when the scratch memory cannot be obtained.
extern "C" std::int32_t process_frame(FilterState* state, FrameInfo* frame);

// The host's thread count as its workers report it; at least 1.
std::int32_t probe_thread_count(FilterState* state);

// ThreadWorker: param1 points at 8 int32 slots; thread t stores thread_count in slot t (t < 8).
extern "C" void probe_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                             void* param2);

// What process_frame does, with the kernel table and the scratch given: the plug-in's callback
// passes the table of plugin_tier() (engine/cpu.h) and the scratch it keeps between frames;
// tests and benchmarks pass a tier and a scratch of their choice.
std::int32_t filter_host_frame(FilterState* state, FrameInfo* frame, const Kernels& kernels,
                               Scratch& scratch);


}  // namespace korvane
