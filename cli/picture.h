// The before/after picture of --compare: the whole frame before and after side by side, and
// below them the middle of the frame enlarged three times, before and after, so that the block
// edges and the fine noise are easy to see.
#pragma once

#include "cli/formats.h"

namespace korvane::cli {

// Writes an 8-bit RGB PNG of `before` and `after` (same size), read in the layout of `layout`.
void write_compare(OutputFile& file, const Frame& before, const Frame& after,
                   const StreamInfo& layout);

}  // namespace korvane::cli
