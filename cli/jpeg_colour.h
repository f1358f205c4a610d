// A JPEG's Y'CbCr to R'G'B' as libjpeg converts it when it decodes to RGB (djpeg, image
// viewers): full-range BT.601 in 16-bit fixed point, each term rounded as libjpeg's tables round
// it. A picture that the filter left as decoded then comes out as libjpeg's own decode, byte for
// byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/pixel.h"

namespace korvane::cli {

// From 8-bit codes.
std::array<int, 3> jpeg_rgb(int y, int cb, int cr);

// From host-scale samples: each rounded to its full-range 8-bit code (clamped) and converted
// as above. For samples that came from 8-bit codes this is those codes' conversion exactly.
void jpeg_rgb8_from_host(const YcPixel* in, std::size_t n, unsigned char* out);

}  // namespace korvane::cli
