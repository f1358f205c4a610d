#include "cli/formats.h"

#include <algorithm>
#include <cctype>
#include <limits>

#include "cli/errors.h"

namespace korvane::cli {
namespace {

const Format* const kFormats[] = {&kYc48Format};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

const Format& format_for(const std::string& path) {
    const std::string name = lower(path);
    for (const Format* f : kFormats) {
        const std::string ext = f->extension;
        if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            return *f;
    }
    throw UsageError("'" + path + "': unknown format (known: .yc48)");
}

std::size_t frame_bytes(std::int32_t w, std::int32_t h, std::size_t bytes_per_pixel,
                        const std::string& path) {
    // The filter also needs planes of w x h pixels per thread: keep a frame well inside both the
    // address space and the int32 pixel counts of the frame records.
    const auto pixels = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
    constexpr std::uint64_t max_pixels = std::numeric_limits<std::int32_t>::max() / 8;
    if (w < 1 || h < 1 || pixels > max_pixels ||
        pixels * bytes_per_pixel > std::numeric_limits<std::size_t>::max() / 16)
        throw InputError("'" + path + "': frame size " + std::to_string(w) + "x" +
                         std::to_string(h) + " is too large to hold");
    return static_cast<std::size_t>(pixels * bytes_per_pixel);
}

}  // namespace korvane::cli
