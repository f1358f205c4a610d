// The JPEG reader: baseline, progressive and arithmetic-coded pictures, ICC chunks, and broken or
// truncated files, through libjpeg and the reader's error handling.
#include "fuzz/reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvane::fuzz::read_all(korvane::cli::kJpegFormat, data, size, {});
    return 0;
}
