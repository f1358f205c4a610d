// Interleaved pixels as GIMP hands them over through babl ("R'G'B' u8", "R'G'B'A u16", "Y' u8",
// "Y'A u16", ...) through the filter exactly as korvane-dct filters a PNG of the same layout and
// depth: gray to luma only, colour through BT.601 Y'CbCr, alpha untouched, the same
// PictureFilter. No GIMP in here, so that it reads like the PNG path it must equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "picture/picture_filter.h"

namespace korvane::gimp {

struct PixelsView {
    void* data = nullptr;  // first sample of the top row; 16-bit samples in the machine's order
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::ptrdiff_t stride = 0;  // bytes from one row start to the next
    bool gray = false;          // one luma sample per pixel, else R', G', B'
    bool alpha = false;         // an alpha sample follows the colour ones; it passes through
    int depth = 8;              // 8 or 16 bits per sample
};

// Samples per pixel of `v`: 1 to 4.
inline int channels_of(const PixelsView& v) { return (v.gray ? 1 : 3) + (v.alpha ? 1 : 0); }

// Rows y0 .. y1 - 1 of `v` in the host's scale, w pixels a row from `to` on.
void pixels_to_host(const PixelsView& v, std::int32_t y0, std::int32_t y1, YcPixel* to);

// Filters the pixels in place; `work` is reused from call to call (w x h pixels). On any status
// but ok the pixels are untouched.
Status filter_pixels(PictureFilter& filter, const Settings& settings, const PixelsView& v,
                     std::vector<YcPixel>& work);

}  // namespace korvane::gimp
