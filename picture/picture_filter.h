// The filter as korvane-dct runs it on pictures: the engine with a thread pool and a scratch of
// its own, and what the tool does around the engine call for samples that were converted from a
// file format. Every program that promises korvane-dct's bytes (the command itself, the plug-ins
// for other hosts) filters through this one class.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/engine.h"
#include "runtime/large_memory.h"
#include "runtime/thread_pool.h"

namespace korvane {

class PictureFilter {
public:
    // `threads` worker threads; the output does not depend on them, nor on the kernels' tier
    // (the filter keeps its own copy of the table). The threads and the memory are kept from
    // call to call, whatever the settings of each call.
    PictureFilter(const Kernels& kernels, std::int32_t threads);

    // Work on the filter's threads inside the engine's passes, a chunk of rows at a time
    // (RowHooks): `before` on rows y0 .. y1 - 1 before the engine sees them (converting them
    // from a file's samples, say), `after` on them once the engine is done with them (converting
    // them to the output's). Chunks start and end on multiples of 8 rows (or the frame's last
    // row); calls for different chunks may run at the same time; neither step may throw. Doing
    // the conversions here puts every thread on them and keeps each chunk in the cache from the
    // conversion to the engine's first step over it, and from its last step to the conversion.
    struct RowSteps {
        std::function<void(std::int32_t y0, std::int32_t y1)> before, after;
    };

    // Where a filter() call spent its time, when asked: the threads' work before and after the
    // engine's own (`before` and `after` with the preparation around the engine), summed over
    // the threads, and the engine's share of the call's wall time (the call's time less those
    // steps' spread over the threads: an estimate, since they run inside the engine's passes).
    // Only korvane-dct's --stats asks; the plug-ins read no clock.
    struct Times {
        std::chrono::nanoseconds engine{0}, before{0}, after{0};
    };

    // Filters the frame in place with `settings` (checked by the engine: a setting out of its
    // range gives invalid_argument and leaves the frame alone). `converted`: its samples were
    // converted from a file format (PNG, Y4M, RGBA pixels) rather than read as the host's own, so
    // they get the tool's treatment around the engine call: luma centred on zero, so that no valid
    // sample meets the inverse transform's clamp, and the low 4 bits that the engine drops carried
    // around it (see picture_filter.cpp). Raw host frames go through the engine as they are. On any
    // status but ok the frame is as it was after `before`, and `after` has not run.
    Status filter(const Settings& settings, const FrameView& frame, bool converted,
                  const RowSteps& steps = {}, Times* spent = nullptr);

private:
    Kernels kernels_;
    ThreadPool pool_;
    Scratch scratch_;
    std::vector<std::uint8_t, LargeAllocator<std::uint8_t>>
        low_;  // the low 4 bits of every sample of the frame being filtered
};

}  // namespace korvane
