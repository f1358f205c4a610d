#include "aviutl/frame_callback.h"

#include <atomic>

namespace korvane {
namespace {

// The scratch kept from frame to frame. The editor calls the callback from one thread at a time;
// should two calls ever overlap, the second takes a scratch of its own for that frame.
Scratch g_scratch;
std::atomic<bool> g_scratch_busy{false};

class ScratchLease {
public:
    ScratchLease() : shared_(!g_scratch_busy.exchange(true, std::memory_order_acquire)) {}
    ~ScratchLease() {
        if (shared_) g_scratch_busy.store(false, std::memory_order_release);
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;
    Scratch& get() { return shared_ ? g_scratch : own_; }

private:
    bool shared_;
    Scratch own_;
};

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

// The engine's parallel-for on the host's thread service: engine jobs have the shape of the
// host's workers.
void run_on_host(void* context, Job job, void* param1, void* param2) {
    static_cast<HostFunctions*>(context)->run_on_all_threads(job, param1, param2);
}

}  // namespace

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

std::int32_t filter_host_frame(FilterState* state, FrameInfo* frame, const Kernels& kernels,
                               Scratch& scratch) {
    // Nothing may escape into the host: any failure leaves the frame as it was and reports 0.
    try {
        if (!usable(state, frame)) return 0;
        if (frame->w == 0 || frame->h == 0) return 1;
        const std::int32_t threads = probe_thread_count(state);
        if (threads > kMaxThreads) return 0;

        const std::int32_t* track = state->track;
        const Settings settings{track[kThreshold], track[kQuant],
                                shifts_on_host(track[kNShift], threads), track[kZeroWeight]};
        const Parallel parallel{threads, &run_on_host, state->host};
        const FrameView view{frame->pixels, frame->w, frame->h, frame->stride};
        return filter_frame(view, settings, kernels, parallel, scratch) == Status::ok ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" std::int32_t process_frame(FilterState* state, FrameInfo* frame) {
    try {
        ScratchLease scratch;
        return filter_host_frame(state, frame, kernels_for(plugin_tier()), scratch.get());
    } catch (...) {
        return 0;
    }
}

}  // namespace korvane
