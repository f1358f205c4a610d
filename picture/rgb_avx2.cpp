// rgb8_from_host (convert.h) built for AVX2: vectors of four doubles.
#include "picture/rgb_rows.h"
#include "picture/rgb_vector.h"

namespace korvane {

void rgb8_from_host_avx2(const YcPixel* in, std::size_t n, unsigned char* out) {
    rgb8_rows(in, n, out);
}

}  // namespace korvane
