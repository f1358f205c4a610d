// rgb8_from_host (convert.h) in vectors, one file per instruction set compiled with its flags on
// x86 (KORVANE_HAVE_RGB_VECTORS); call each only where the machine runs its instruction set.
#pragma once

#include <cstddef>

#include "engine/pixel.h"

namespace korvane {

void rgb8_from_host_avx2(const YcPixel* in, std::size_t n, unsigned char* out);
void rgb8_from_host_avx512(const YcPixel* in, std::size_t n, unsigned char* out);

}  // namespace korvane
