// A stand-in for the video editor: owns the records it hands to a filter's frame callback and
// provides run_on_all_threads on a thread pool of its own, so that the filter runs exactly as it
// does inside the editor.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "aviutl/filter_descriptor.h"
#include "aviutl/host_interface.h"
#include "runtime/thread_pool.h"

namespace korvane {

class Host {
public:
    // `table` is what the plug-in's GetFilterTable returned; its callback gets every frame.
    // The track values start at the table's defaults.
    Host(const FilterTable* table, std::int32_t threads);

    std::int32_t threads() const { return pool_.size(); }
    std::int32_t& track(int index) { return tracks_.at(static_cast<std::size_t>(index)); }

    // Calls the frame callback on the frame at `pixels` (h rows of w pixels, `stride` pixels
    // apart) and returns the callback's result. One frame at a time per process.
    std::int32_t filter(YcPixel* pixels, std::int32_t w, std::int32_t h, std::int32_t stride);

    // The same with `callback` called in place of the table's: for tests and benchmarks that
    // run the plug-in's frame steps with a kernel tier and a scratch of their own
    // (filter_host_frame of aviutl/frame_callback.h).
    using Callback = std::function<std::int32_t(FilterState* state, FrameInfo* frame)>;
    std::int32_t filter_with(const Callback& callback, YcPixel* pixels, std::int32_t w,
                             std::int32_t h, std::int32_t stride);

private:
    static std::int32_t run_on_all_threads(ThreadWorker worker, void* param1, void* param2);

    const FilterTable* table_;
    ThreadPool pool_;
    std::array<std::int32_t, 4> tracks_{};
    HostFunctions functions_{};
    FilterState state_{};
    FrameInfo frame_{};
};

}  // namespace korvane
