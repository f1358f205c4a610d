// korvane-dct's frame pipeline: one thread reads the next frames while the current one is
// filtered and another writes the frames before it. The formats' conversions run on the
// filter's threads, band by band around the engine call (PictureFilter::RowSteps), so the
// reading and writing threads only read and write what the files hold.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "cli/formats.h"
#include "cli/strength.h"
#include "engine/engine.h"

namespace korvane {
class PictureFilter;
}

namespace korvane::cli {

// Time spent in each stage, summed over its frames and over the threads that work on it, for
// --stats: reading, and converting before the engine call; the engine call; converting after
// it, and writing. Made before the input is opened, since a picture decodes when it opens.
struct StageTimes {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point started = Clock::now();
    std::atomic<std::int64_t> read_ns{0}, filter_ns{0}, write_ns{0};

    // Runs f() and adds its duration to `total`.
    template <typename F>
    static auto timed(std::atomic<std::int64_t>& total, F&& f) {
        struct Add {
            std::atomic<std::int64_t>& total;
            Clock::time_point start = Clock::now();
            ~Add() {
                total += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start)
                             .count();
            }
        } add{total};
        return f();
    }

    // One line on standard error: frames, wall time since `started`, frames per second, and per
    // frame the time in each stage (the stages overlap, so they may add up to more than the
    // wall time).
    void print(std::int64_t frames) const;
};

// One input through the filter into one output.
struct Pipeline {
    std::unique_ptr<FrameReader> reader;
    // Reference frames, read beside the input's (null: none); a frame short is an InputError
    // naming reference_path.
    std::unique_ptr<FrameReader> reference;
    std::string reference_path;
    FrameWriter* writer = nullptr;
    PictureFilter* filter = nullptr;
    bool converted = true;  // the samples are converted from a file's (PictureFilter::filter)
    int orientation = 1;    // EXIF orientation: each frame is turned upright after the filter
    Strength strength;      // every frame's, unless strength_of gives one of its own
    // On the reading thread, for every frame read (per-frame automatic strength).
    std::function<Strength(const Frame&)> strength_of;
    // The engine's settings for a strength.
    std::function<Settings(const Strength&)> settings_of;
    // Before frame `index` (from 1) is filtered, with its strength; may throw to stop the run.
    std::function<void(std::int64_t index, const Strength&)> on_start;
    // Whether to keep frame `index` as it was before the filter, for on_filtered.
    std::function<bool(std::int64_t index)> keep_before;
    // A frame filtered and upright, before it is written: `before` when kept, `reference` when
    // there is one (else null).
    std::function<void(std::int64_t index, const Frame* before, const Frame& after,
                       const Frame* reference)>
        on_filtered;
    // Shared with the reading thread, which may outlive the run.
    std::shared_ptr<StageTimes> times;
};

// Runs every frame through and returns the number of frames. Throws what a stage threw: the
// filter's or the writer's failure first, else the reader's.
std::int64_t run_pipeline(Pipeline pipeline);

// A reading thread blocked on a pipe cannot be interrupted: after a failure it is left behind,
// and the process must end without waiting for it (std::_Exit).
bool reading_thread_left_behind();

}  // namespace korvane::cli
