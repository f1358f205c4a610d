// 8-bit RGBA pixels (R, G, B, A bytes in that order, as frei0r, ExEdit2 and PNG lay them out)
// through the filter exactly as korvane-dct filters an 8-bit RGB or RGBA PNG: the same BT.601
// conversion, the same PictureFilter, alpha untouched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "picture/picture_filter.h"

namespace korvane {

struct RgbaView {
    std::uint8_t* data = nullptr;  // first byte of the top row
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::ptrdiff_t stride = 0;  // bytes from one row start to the next, at least 4 w
};

// Filters the pixels in place; `work` is reused from call to call (w x h pixels). On any status
// but ok the pixels are untouched.
Status filter_rgba8(PictureFilter& filter, const Settings& settings, const RgbaView& pixels,
                    std::vector<YcPixel>& work);

}  // namespace korvane
