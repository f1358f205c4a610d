#include "cli/formats.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>

#include "cli/errors.h"

namespace korvane::cli {
namespace {

const Format* const kFormats[] = {&kPngFormat, &kJpegFormat, &kJpgFormat, &kY4mFormat,
                                  &kYc48Format};

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

const Format& format_named(const std::string& name) {
    for (const Format* f : kFormats)
        if (lower(name) == f->name) return *f;
    throw UsageError("unknown format '" + name + "' (known: png, jpeg, y4m, yc48)");
}

const Format& format_for(const std::string& path, const char* format_option) {
    const std::string name = lower(path);
    for (const Format* f : kFormats) {
        const std::string ext = f->extension;
        if (name.size() > ext.size() &&
            name.compare(name.size() - ext.size(), ext.size(), ext) == 0)
            return *f;
    }
    std::string known;
    for (const Format* f : kFormats) known += std::string(known.empty() ? "" : ", ") + f->extension;
    throw UsageError("'" + path + "': unknown format, by its extension (known: " + known +
                     (format_option ? std::string("; or name one with ") + format_option : "") +
                     ")");
}

const Format& input_format(const Options& options) {
    if (!options.input_format.empty()) return format_named(options.input_format);
    if (options.input == "-") return kY4mFormat;
    return format_for(options.input, "--format");
}

const Format& output_format(const Options& options, const Format& input) {
    if (!options.output_format.empty()) return format_named(options.output_format);
    if (options.output == "-") return input;
    struct stat st {};
    if (::stat(options.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw UsageError("'" + options.output + "': cannot write output: is a folder");
    return format_for(options.output, "--output-format");
}

std::size_t frame_bytes(std::int32_t w, std::int32_t h, std::size_t bytes_per_pixel,
                        const std::string& path) {
    // The filter also needs planes of w x h pixels per thread: keep a frame well inside both the
    // address space and the int32 pixel counts of the frame records.
    if (w < 1 || h < 1)
        throw InputError("'" + path + "': frame size " + std::to_string(w) + "x" +
                         std::to_string(h) + " has no pixels");
    const auto pixels = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
    constexpr std::uint64_t max_pixels = std::numeric_limits<std::int32_t>::max() / 8;
    if (pixels > max_pixels ||
        pixels * bytes_per_pixel > std::numeric_limits<std::size_t>::max() / 16)
        throw InputError("'" + path + "': frame size " + std::to_string(w) + "x" +
                         std::to_string(h) + " is too large to hold");
    return static_cast<std::size_t>(pixels * bytes_per_pixel);
}

void check_pixel_limit(std::int32_t w, std::int32_t h, const Options& options,
                       const std::string& path) {
    const auto pixels =
        static_cast<std::uint64_t>(std::max(w, 0)) * static_cast<std::uint64_t>(std::max(h, 0));
    const auto limit = static_cast<std::uint64_t>(options.max_megapixels) * 1000000;
    if (pixels <= limit) return;
    const std::uint64_t tenths = (pixels + 50000) / 100000;
    throw InputError("'" + path + "': frame size " + std::to_string(w) + "x" + std::to_string(h) +
                     " is " + std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) +
                     " megapixels, above the limit of " + std::to_string(options.max_megapixels) +
                     " (--max-megapixels raises it)");
}

void refuse_other_format(std::span<const unsigned char> head, const char* expected,
                         const std::string& path) {
    static constexpr unsigned char kPng[] = {0x89, 'P', 'N', 'G'};
    auto starts = [&](std::span<const unsigned char> magic) {
        return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
    };
    static constexpr unsigned char kJpeg[] = {0xFF, 0xD8, 0xFF};
    static constexpr unsigned char kY4m[] = {'Y', 'U', 'V', '4', 'M', 'P', 'E', 'G', '2'};
    const char* found = starts(kJpeg)  ? "JPEG"
                        : starts(kPng) ? "PNG"
                        : starts(kY4m) ? "Y4M"
                                       : nullptr;
    if (!found || std::strcmp(found, expected) == 0) return;
    const std::string name = lower(found);
    throw InputError("'" + path + "': this is a " + found + " file, not " + expected +
                     " (use --format " + (name == "jpeg" ? "jpeg" : name) +
                     (path == "-" ? ")" : " or rename it)"));
}

bool FrameReader::read(Frame& frame) {
    if (!read_bytes(frame)) return false;
    frame.pixels.resize(static_cast<std::size_t>(frame.w) * static_cast<std::size_t>(frame.h));
    convert_rows(frame, 0, frame.h, frame.pixels.data(), frame.w);
    check_rows();
    return true;
}

bool PictureReader::read_bytes(Frame& frame) {
    if (done_) return false;
    done_ = true;
    frame = std::move(frame_);
    return true;
}

void copy_pixel_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                     std::ptrdiff_t stride) {
    const auto w = static_cast<std::size_t>(from.w);
    const YcPixel* rows = from.pixels.data() + static_cast<std::size_t>(y0) * w;
    if (rows == to) return;
    for (std::int32_t y = y0; y < y1; ++y, rows += w, to += stride) std::copy(rows, rows + w, to);
}

InputFile open_input(const std::string& path) {
    if (path == "-") return InputFile(stdin);
    InputFile f(std::fopen(path.c_str(), "rb"));
    if (!f) throw InputError("'" + path + "': cannot read: " + std::strerror(errno));
    struct stat st {};
    if (::fstat(::fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode))
        throw InputError("'" + path + "': cannot read: is a folder");
    return f;
}

}  // namespace korvane::cli
