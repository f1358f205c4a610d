// The raw .yc48 reader with its --size argument: the input is the size text, a zero byte, then
// the file's bytes.
#include <cstring>

#include "cli/options.h"
#include "fuzz/reader_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    if (!end) return 0;
    korvane::cli::Options options;
    try {
        options.size = korvane::cli::parse_size(
            std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(end - data)));
    } catch (const korvane::cli::UsageError&) {
        return 0;
    }
    const std::size_t header = static_cast<std::size_t>(end - data) + 1;
    korvane::fuzz::read_all(korvane::cli::kYc48Format, data + header, size - header, options);
    return 0;
}
