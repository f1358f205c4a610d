// The filter's one entry point: everything one frame needs goes in with the call, and nothing
// outlives it but the caller's Scratch. Two frames can be filtered at once from two threads, each
// with its own Scratch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/kernels.h"
#include "engine/pixel.h"

namespace korvane {

// The four settings as the user sees them: the video editor's track bars, in its order.
enum Track : int { kThreshold = 0, kQuant = 1, kNShift = 2, kZeroWeight = 3, kTrackCount = 4 };
inline constexpr std::int32_t kTrackDefault[kTrackCount] = {24, 8, 4, 0};
inline constexpr std::int32_t kTrackMin[kTrackCount] = {0, 1, 1, 0};
inline constexpr std::int32_t kTrackMax[kTrackCount] = {255, 255, 64, 64};

// Most shift positions in one frame; shift index i uses table entry i mod 64. The video editor
// asks for up to 64 rounded up to a multiple of its thread count.
inline constexpr std::int32_t kMaxShifts = 1 << 22;
// Most threads a Parallel may offer.
inline constexpr std::int32_t kMaxThreads = 1 << 16;

struct Settings {
    std::int32_t threshold = kTrackDefault[kThreshold];     // 0..255
    std::int32_t quant = kTrackDefault[kQuant];             // 1..255
    std::int32_t shifts = kTrackDefault[kNShift];           // 1..kMaxShifts: entries 0..shifts-1
    std::int32_t zero_weight = kTrackDefault[kZeroWeight];  // 0..64
};

// h rows of w pixels, `stride` pixels from one row start to the next; filtered in place, and no
// sample beyond w in a row is read or written.
struct FrameView {
    YcPixel* pixels = nullptr;
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::ptrdiff_t stride = 0;

    YcPixel* row(std::int32_t y) const { return pixels + y * stride; }
};

// One run of a job on one thread: index in 0..count-1. The two pointers pass through unchanged.
// Deliberately the shape of the video editor's thread worker, so that its service runs jobs as
// they are.
extern "C" {
using Job = void (*)(std::int32_t index, std::int32_t count, void* param1, void* param2);
}

// A parallel-for: run(context, job, p1, p2) runs job(i, threads, p1, p2) exactly once for every i
// in 0..threads-1, possibly at the same time, and returns when all runs have returned, with
// their writes visible. It is the only source of threads and the only ordering the engine uses.
struct Parallel {
    std::int32_t threads = 1;
    void (*run)(void* context, Job job, void* param1, void* param2) = nullptr;
    void* context = nullptr;
};

// Runs every job on the calling thread, one index after the other.
Parallel serial();

// The per-frame memory of the filter, kept from one frame to the next while the size stays the
// same, so that a steady stream of frames asks the system for none.
class Scratch {
public:
    // Where the memory comes from; tests make it fail or hand out garbage. Returns null when
    // the memory cannot be obtained; its contents need not be initialised.
    using Allocator = void* (*)(std::size_t count, std::size_t size);
    explicit Scratch(Allocator allocator = nullptr) : allocator_(allocator) {}

    // `pixels` pixels, or null if they cannot be obtained. The memory of the previous call is
    // handed back when it has exactly this size, and released otherwise.
    YcPixel* get(std::size_t pixels);
    std::size_t size() const { return size_; }  // pixels held now
    void release();

private:
    struct Free {
        void operator()(YcPixel* p) const;
    };
    Allocator allocator_;
    std::unique_ptr<YcPixel[], Free> memory_;
    std::size_t size_ = 0;
};

enum class Status {
    ok = 0,
    invalid_argument,  // a null pointer, a negative size, stride below w, a setting out of range
    out_of_memory,     // the scratch could not be obtained; the frame is untouched
};

// Pixels of scratch that filter_frame asks for on a w x h frame with `threads` threads: one
// plane of the frame's size plus 7 rows per extra band of rows.
std::size_t scratch_pixels(std::int32_t w, std::int32_t h, std::int32_t threads);

// Filters one frame in place: the mean of the reconstructions under shift entries
// 0 .. shifts-1 and zero_weight times the source. On any status but ok the frame is untouched.
// The bytes depend on the frame and the settings alone: not on the kernels' tier, nor on the
// number of threads.
Status filter_frame(const FrameView& frame, const Settings& settings, const Kernels& kernels,
                    const Parallel& parallel, Scratch& scratch);

}  // namespace korvane
