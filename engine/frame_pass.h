// The frame callback: pre-scale, batches of shifted-grid reconstructions on all host threads,
// and the blend back into the host's frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "host/host_interface.h"

namespace korvane {

// Track order of the live values in FilterState::track.
enum Track : int { kThreshold = 0, kQuant = 1, kNShift = 2, kZeroWeight = 3, kTrackCount = 4 };

// Defaults and ranges of the four tracks; the host keeps live values inside the ranges.
inline constexpr std::int32_t kTrackDefault[kTrackCount] = {24, 8, 4, 0};
inline constexpr std::int32_t kTrackMin[kTrackCount] = {0, 1, 1, 0};
inline constexpr std::int32_t kTrackMax[kTrackCount] = {255, 255, 64, 64};

// Filters one frame in place. Returns 1 on success. Returns 0 and leaves the frame untouched
// when the records are unusable (null pointers, negative sizes, stride below w, track values
// outside their ranges) or when the accumulation planes cannot be obtained.
extern "C" std::int32_t process_frame(FilterState* state, FrameInfo* frame);

// The host's thread count as its workers report it; at least 1.
std::int32_t probe_thread_count(FilterState* state);

// ThreadWorker: param1 points at 8 int32 slots; thread t stores thread_count in slot t (t < 8).
extern "C" void probe_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                             void* param2);

// ThreadWorker: param1 is the FrameInfo. Shifts the samples of this thread's band of rows right
// by 4 with sign, in place.
extern "C" void prescale_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                                void* param2);

// One blended sample: ((zero_weight * source + sum) * 16) / divisor, truncated toward zero, low
// 16 bits kept.
inline std::int16_t blend_sample(std::int32_t zero_weight, std::int16_t source, std::int16_t sum,
                                 std::int32_t divisor) {
    const std::int32_t numerator = (zero_weight * source + sum) * 16;
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(numerator / divisor));
}

// Memory for the accumulation planes. Tests replace it to make the allocation fail; the default
// is std::malloc. Its contents do not matter (the first batch stores into every sample); it
// returns null when the memory cannot be obtained.
using ScratchAllocator = void* (*)(std::size_t count, std::size_t size);
void set_scratch_allocator(ScratchAllocator allocator);  // null restores the default

}  // namespace korvane
