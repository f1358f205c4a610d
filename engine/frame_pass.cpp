#include "engine/frame_pass.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

#include "engine/block_pass.h"
#include "engine/kernels.h"

namespace korvane {
namespace {

// Far above any real host; keeps the shift indices and the divisor clear of overflow.
constexpr std::int32_t kMaxThreads = 1 << 16;

ScratchAllocator g_scratch_allocator = nullptr;

struct FreeDeleter {
    void operator()(YcPixel* p) const { std::free(p); }
};
using ScratchPtr = std::unique_ptr<YcPixel[], FreeDeleter>;

// Default scratch: uninitialised memory (the first batch stores every sample of every plane).
void* allocate_uninitialised(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    return std::malloc(count * size);
}

// T planes of w x h pixels, or null if they cannot be obtained (including a size that
// does not fit the address space).
ScratchPtr allocate_planes(std::int32_t threads, std::int32_t w, std::int32_t h) {
    const auto pixels = static_cast<std::uint64_t>(threads) * static_cast<std::uint64_t>(w) *
                        static_cast<std::uint64_t>(h);
    constexpr std::uint64_t max_pixels =
        std::min<std::uint64_t>(std::numeric_limits<std::size_t>::max() / sizeof(YcPixel),
                                std::numeric_limits<std::ptrdiff_t>::max() / sizeof(YcPixel));
    if (pixels == 0 || pixels > max_pixels) return nullptr;
    ScratchAllocator alloc = g_scratch_allocator ? g_scratch_allocator : &allocate_uninitialised;
    return ScratchPtr(
        static_cast<YcPixel*>(alloc(static_cast<std::size_t>(pixels), sizeof(YcPixel))));
}

bool usable(const FilterState* state, const FrameInfo* frame) {
    if (!state || !frame || !state->track || !state->host || !state->host->run_on_all_threads)
        return false;
    for (int i = 0; i < kTrackCount; ++i) {
        const std::int32_t v = state->track[i];
        if (v < kTrackMin[i] || v > kTrackMax[i]) return false;
    }
    if (frame->w < 0 || frame->h < 0) return false;
    if (frame->w == 0 || frame->h == 0) return true;
    return frame->pixels != nullptr && frame->stride >= frame->w;
}

void blend(const FrameInfo& frame, const YcPixel* planes, std::int32_t threads,
           std::int32_t zero_weight, std::int32_t divisor) {
    const std::int32_t w = frame.w;
    const std::int32_t h = frame.h;
    const std::ptrdiff_t plane_size = static_cast<std::ptrdiff_t>(w) * h;
    const BlendParams params = make_blend_params(zero_weight, divisor);
    const Kernels& k = kernels();
    for (std::int32_t y = 0; y < h; ++y)
        k.blend_row(frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride,
                    planes + static_cast<std::ptrdiff_t>(y) * w, plane_size, threads, w, params);
}

}  // namespace

void set_scratch_allocator(ScratchAllocator allocator) { g_scratch_allocator = allocator; }

extern "C" void probe_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                             void* /*param2*/) {
    // Only 8 slots: the other threads report the same count, so their reports are dropped.
    if (thread_index >= 0 && thread_index < 8)
        static_cast<std::int32_t*>(param1)[thread_index] = thread_count;
}

std::int32_t probe_thread_count(FilterState* state) {
    std::int32_t slots[8] = {};
    state->host->run_on_all_threads(&probe_worker, slots, nullptr);
    std::int32_t count = 1;
    for (std::int32_t s : slots) count = s > count ? s : count;
    return count;
}

extern "C" void prescale_worker(std::int32_t thread_index, std::int32_t thread_count, void* param1,
                                void* /*param2*/) {
    const FrameInfo& frame = *static_cast<const FrameInfo*>(param1);
    // 64-bit products: the bands must tile 0..h-1 exactly even for very tall frames.
    const auto h = static_cast<std::int64_t>(frame.h);
    const auto begin = static_cast<std::int32_t>(h * thread_index / thread_count);
    const auto end = static_cast<std::int32_t>(h * (thread_index + 1) / thread_count);
    const Kernels& k = kernels();
    for (std::int32_t y = begin; y < end; ++y)
        k.prescale(frame.pixels + static_cast<std::ptrdiff_t>(y) * frame.stride, frame.w);
}

extern "C" std::int32_t process_frame(FilterState* state, FrameInfo* frame) {
    // Nothing may escape into the host: any failure leaves the frame as it was and reports 0.
    try {
        if (!usable(state, frame)) return 0;
        if (frame->w == 0 || frame->h == 0) return 1;

        g_threshold = static_cast<std::int16_t>(state->track[kThreshold]);
        g_quant = static_cast<std::int16_t>(state->track[kQuant]);
        const std::int32_t n_shift = state->track[kNShift];
        const std::int32_t zero_weight = state->track[kZeroWeight];

        const std::int32_t threads = probe_thread_count(state);
        if (threads > kMaxThreads) return 0;
        ScratchPtr planes = allocate_planes(threads, frame->w, frame->h);
        if (!planes) return 0;
        g_accum = planes.get();

        RunOnAllThreads run = state->host->run_on_all_threads;
        run(&prescale_worker, frame, nullptr);

        // ceil(n_shift / T) batches of T shift positions; each thread runs its layers of all
        // batches in one go (layers_worker), the first of them stored into its plane.
        LayerPlan plan{(n_shift + threads - 1) / threads, threads};
        run(&layers_worker, frame, &plan);
        const std::int32_t divisor = zero_weight + plan.batches * threads;

        blend(*frame, planes.get(), threads, zero_weight, divisor);
        g_accum = nullptr;
        return 1;
    } catch (...) {
        g_accum = nullptr;
        return 0;
    }
}

}  // namespace korvane
