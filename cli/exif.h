// EXIF data and picture orientation. A camera stores a picture as its sensor saw it and names in
// the EXIF Orientation tag how to turn it upright; korvane-dct filters the picture as stored (on
// the grid of its 8x8 blocks) and turns it afterwards, so its output is upright, with the EXIF
// data kept and its orientation set to 1 ("as stored") to say so.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "cli/formats.h"

namespace korvane::cli {

struct Exif {
    int orientation = 1;  // 1..8 as in the Orientation tag; 1 when there is none or it is bad
    // The TIFF structure of the EXIF data with its orientation rewritten to 1, as a PNG eXIf
    // chunk holds it; empty when there is no EXIF data or its structure is malformed.
    std::vector<std::uint8_t> tiff;
};

// Reads the payload of a JPEG APP1 EXIF segment ("Exif\0\0" and a TIFF structure). Never throws
// on bad data: a malformed structure gives no `tiff`, and the orientation if it could be read.
Exif read_exif(std::span<const std::uint8_t> app1);

// The picture of `frame` (pixels and alpha) turned upright from EXIF orientation 2..8: mirrored,
// rotated, or both; width and height swap for 5..8. Orientation 1 leaves it.
void make_upright(Frame& frame, int orientation);

// The description of the stream once its frames are upright: width and height swapped for
// orientations 5..8, orientation 1.
StreamInfo upright(StreamInfo info);

}  // namespace korvane::cli
