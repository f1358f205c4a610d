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

// Most shift positions in one frame; shift index i uses table entry i mod 64.
//
// The blend adds, per pixel and channel, one value from every shift into a 16-bit sum that wraps
// (the plug-in's own arithmetic, which its bytes keep), so the mean is right only while the true
// sum stays within -32768..32767. Each shift adds either an inverse-transform output, which the
// transform clamps to -256..255, or, where it leaves the pixel uncovered, the pre-scaled source
// sample s >> 4. The frame's last column and last row are uncovered under every shift, so there
// the sum is exactly shifts * (s >> 4).
//   Samples in the documented ranges (Y 0..4096, Cb and Cr -2048..2048) pre-scale to 0..256 and
//   -128..128, so every value added lies in -256..256, and
//     127 * 256 = 32512 <= 32767,  127 * -256 = -32512 >= -32768,
//   while 128 * 256 = 32768 wraps (a flat frame of Y 4096 would come back with -4096 in its last
//   column). Hence 127. It holds for every sample in -4128..4143 (pre-scaled -258..258,
//   127 * 258 = 32766).
//   zero_weight does not enter the 16-bit sum: zero_weight * s is added to it in 32 bits
//   (blend_sample), and the divisor is zero_weight + shifts <= 64 + 127.
//   Samples further out keep exact sums only up to 16 shifts, whatever their value (int16
//   pre-scales to -2048..2047: 16 * 2047 = 32752, 16 * -2048 = -32768); from 17 shifts on their
//   sums can wrap, as they do in the AviUtl plug-in, whose bytes for 64 and 66 shifts on such a
//   frame are pinned (KnownAnswer.PluginOutputBytes, extreme-37x29): a limit of 16 would break
//   them, so the limit is drawn for the documented ranges.
// The video editor asks for n_shift (1..64) rounded up to a multiple of its thread count: at most
// 126 (64 on 63 threads) up to 63 threads, the thread count itself from 64 on; see
// shifts_on_host below for hosts of more than 127.
inline constexpr std::int32_t kMaxShifts = 127;
// The products that take n_shift as it is (the ExEdit2 and frei0r plug-ins, korvane-dct without
// --host-threads) stay within it.
static_assert(kTrackMax[kNShift] <= kMaxShifts);
// Most threads a Parallel may offer.
inline constexpr std::int32_t kMaxThreads = 1 << 16;

// The shift positions a frame gets on a host of `threads` threads (n_shift 1..64, threads
// 1..kMaxThreads): batches of one shift per thread, as many as n_shift needs, so n_shift rounded
// up to a multiple of the thread count, but never more than kMaxShifts.
// Up to 127 threads the rounding stays within kMaxShifts (at most 126 below 64 threads, the
// thread count itself from 64 on), so those hosts get what they always got. On a host of more
// threads a single batch would be more shifts than the 16-bit sums hold (a bright frame came back
// as garbage), so the frame gets kMaxShifts shifts instead: the most that hold, and the count
// nearest to that batch (shift i uses table entry i mod 64, so both cover the table about evenly).
inline std::int32_t shifts_on_host(std::int32_t n_shift, std::int32_t threads) {
    const std::int32_t rounded = (n_shift + threads - 1) / threads * threads;
    return rounded < kMaxShifts ? rounded : kMaxShifts;
}

struct Settings {
    std::int32_t threshold = kTrackDefault[kThreshold];     // 0..255
    std::int32_t quant = kTrackDefault[kQuant];             // 1..255
    std::int32_t shifts = kTrackDefault[kNShift];           // 1..kMaxShifts: entries 0..shifts-1
    std::int32_t zero_weight = kTrackDefault[kZeroWeight];  // 0..64
    // Chroma's own threshold, 0..255, or -1 for `threshold`. Not a track of the AviUtl plug-ins:
    // korvane-dct (--chroma-threshold), the Python module and the GIMP plug-in set it, through
    // automatic strength for pictures, where a lower chroma threshold was measured to gain more.
    std::int32_t chroma_threshold = -1;
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

// The caller's own work on the frame's rows, done on the filter's threads inside its passes, a
// chunk of rows at a time, so that each chunk is still in the cache from one step to the next:
// before(context, y0, y1) on rows y0 .. y1 - 1 just before the engine first reads them (to
// convert them from a file's samples, say), after(context, y0, y1) just after their filtered
// values are in place (to convert them for the output). Chunks start on multiples of 8 rows and
// end on them or at the frame's last row; calls for different chunks run at the same time on
// different threads; neither may throw. Either may be null.
// With `prescaled`, before() leaves its rows in the working scale itself (every sample s as
// s >> 4, arithmetic, the engine's own first step), and the engine does not scale them again.
struct RowHooks {
    void (*before)(void* context, std::int32_t y0, std::int32_t y1) = nullptr;
    void (*after)(void* context, std::int32_t y0, std::int32_t y1) = nullptr;
    void* context = nullptr;
    bool prescaled = false;
};

// filter_frame with `hooks` run on every row of the frame, once each. On any status but ok
// neither hook has run, and the frame is untouched.
Status filter_frame(const FrameView& frame, const Settings& settings, const Kernels& kernels,
                    const Parallel& parallel, Scratch& scratch, const RowHooks& hooks);

}  // namespace korvane
