// The Y4M reader: header, tags, frame headers and frame data.
#include "fuzz/reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvane::fuzz::read_all(korvane::cli::kY4mFormat, data, size, {});
    return 0;
}
