// The slow model that the fast frame pass is checked against: the block pass one shift at a time
// over the whole frame, each into a zeroed plane of its own, the planes summed, then the blend.
// This is the filter as first defined, before the work was split by bands and shifts were
// interleaved; it shares only the kernels it is given and the border completion with the engine.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "engine/kernels.h"

namespace korvane::model {

// Adds the layer of shift index `shift_index` into `plane` (h rows of exactly w pixels): every
// block of that shift reconstructed, and the source where no block lies.
void add_layer(const Kernels& k, const FrameView& frame, YcPixel* plane, std::int32_t shift_index,
               std::int32_t threshold, std::int32_t quant);

// Filters the frame in place as filter_frame must: pre-scale, shift indices 0 .. shifts-1 each
// on a zeroed plane, their 16-bit wrapping sum, the blend. Uses the scalar kernels.
void filter(const FrameView& frame, const Settings& settings);

}  // namespace korvane::model
