// rgb8_from_host (convert.h) in AVX2, compiled apart with AVX2 on x86 (KORVANE_HAVE_RGB_AVX2);
// call it only where the machine runs AVX2.
#pragma once

#include <cstddef>

#include "engine/pixel.h"

namespace korvane {

void rgb8_from_host_avx2(const YcPixel* in, std::size_t n, unsigned char* out);

}  // namespace korvane
