// The filter as korvane-dct runs it on pictures: the engine with a thread pool and a scratch of
// its own, and what the tool does around the engine call for samples that were converted from a
// file format. Every program that promises korvane-dct's bytes (the command itself, the plug-ins
// for other hosts) filters through this one class.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "standalone/thread_pool.h"

namespace korvane {

class PictureFilter {
public:
    // `threads` worker threads; the output does not depend on them.
    PictureFilter(const Settings& settings, const Kernels& kernels, std::int32_t threads);

    const Settings& settings() const { return settings_; }

    // Filters the frame in place. `converted`: its samples were converted from a file format
    // (PNG, Y4M, RGBA pixels) rather than read as the host's own, so they get the tool's
    // treatment around the engine call: luma centred on zero, so that no valid sample meets the
    // inverse transform's clamp, and the low 4 bits that the engine drops carried around it (see
    // picture_filter.cpp). Raw host frames go through the engine as they are. On any status but
    // ok the frame is as it was.
    Status filter(const FrameView& frame, bool converted);

private:
    Settings settings_;
    const Kernels* kernels_;
    ThreadPool pool_;
    Scratch scratch_;
    std::vector<std::int16_t> low_;  // the low 4 bits of every sample of the frame being filtered
};

}  // namespace korvane
