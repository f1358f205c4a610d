// The PNG reader: every colour type and depth, and broken or truncated files.
#include "fuzz/reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    korvane::fuzz::read_all(korvane::cli::kPngFormat, data, size, {});
    return 0;
}
