#include "cli/exif.h"

#include <cstring>
#include <type_traits>
#include <utility>

namespace korvane::cli {
namespace {

constexpr std::uint16_t kOrientationTag = 0x0112;
constexpr std::uint16_t kShort = 3;

// The TIFF structure's numbers, in its byte order ("II" little-endian, "MM" big-endian), all
// reads bounds-checked by the caller.
struct Tiff {
    std::span<std::uint8_t> bytes;
    bool big_endian = false;

    std::uint32_t get(std::size_t at, int size) const {
        std::uint32_t v = 0;
        for (int i = 0; i < size; ++i) {
            const std::uint32_t b = bytes[at + static_cast<std::size_t>(i)];
            v |= big_endian ? b << (8 * (size - 1 - i)) : b << (8 * i);
        }
        return v;
    }
    void put16(std::size_t at, std::uint16_t v) {
        bytes[at + (big_endian ? 1 : 0)] = static_cast<std::uint8_t>(v & 0xFF);
        bytes[at + (big_endian ? 0 : 1)] = static_cast<std::uint8_t>(v >> 8);
    }
};

// Bytes of one value of a TIFF field type; 0 for a type that TIFF does not define.
std::uint32_t type_size(std::uint32_t type) {
    static constexpr std::uint32_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < std::size(kSizes) ? kSizes[type] : 0;
}

}  // namespace

Exif read_exif(std::span<const std::uint8_t> app1) {
    Exif exif;
    static constexpr std::uint8_t kHeader[] = {'E', 'x', 'i', 'f', 0, 0};
    if (app1.size() < sizeof kHeader || std::memcmp(app1.data(), kHeader, sizeof kHeader) != 0)
        return exif;
    std::vector<std::uint8_t> bytes(app1.begin() + sizeof kHeader, app1.end());
    Tiff tiff{bytes};
    const std::size_t size = bytes.size();
    if (size < 8) return exif;
    if (bytes[0] == 'M' && bytes[1] == 'M')
        tiff.big_endian = true;
    else if (bytes[0] != 'I' || bytes[1] != 'I')
        return exif;
    if (tiff.get(2, 2) != 42) return exif;
    // IFD0: a count, 12-byte entries (tag, type, count, value or offset), the next IFD's offset.
    const std::size_t ifd = tiff.get(4, 4);
    if (ifd < 8 || ifd > size - 2) return exif;
    const std::size_t entries = tiff.get(ifd, 2);
    if (entries > (size - ifd - 2) / 12) return exif;
    bool well_formed = size - ifd - 2 - entries * 12 >= 4;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t e = ifd + 2 + 12 * i;
        const std::uint32_t tag = tiff.get(e, 2), type = tiff.get(e + 2, 2),
                            count = tiff.get(e + 4, 4);
        const std::uint64_t bytes_of_value = std::uint64_t{type_size(type)} * count;
        if (bytes_of_value > 4) {
            const std::uint64_t offset = tiff.get(e + 8, 4);
            if (offset < 8 || offset + bytes_of_value > size) well_formed = false;
        }
        if (tag != kOrientationTag || type != kShort || count != 1) continue;
        const std::uint32_t value = tiff.get(e + 8, 2);
        if (value >= 1 && value <= 8) {
            exif.orientation = static_cast<int>(value);
            tiff.put16(e + 8, 1);
        }
    }
    if (well_formed) {
        const std::uint64_t next = tiff.get(ifd + 2 + 12 * entries, 4);
        if (next != 0 && (next < 8 || next > size - 2)) well_formed = false;
    }
    if (well_formed) exif.tiff = std::move(bytes);
    return exif;
}

void make_upright(Frame& frame, int orientation) {
    if (orientation < 2 || orientation > 8) return;
    const auto w = static_cast<std::ptrdiff_t>(frame.w), h = static_cast<std::ptrdiff_t>(frame.h);
    const bool swap = orientation >= 5;
    const std::ptrdiff_t out_w = swap ? h : w, out_h = swap ? w : h;
    // The stored pixel of upright pixel (x, y) is at start + x * step_x + y * step_y.
    std::ptrdiff_t start = 0, step_x = 1, step_y = w;
    switch (orientation) {
        case 2:
            start = w - 1, step_x = -1, step_y = w;
            break;  // mirrored
        case 3:
            start = h * w - 1, step_x = -1, step_y = -w;
            break;  // turned 180
        case 4:
            start = (h - 1) * w, step_x = 1, step_y = -w;
            break;  // upside down
        case 5:
            start = 0, step_x = w, step_y = 1;
            break;  // transposed
        case 6:
            start = (h - 1) * w, step_x = -w, step_y = 1;
            break;  // turn right
        case 7:
            start = h * w - 1, step_x = -w, step_y = -1;
            break;  // transverse
        default:
            start = w - 1, step_x = w, step_y = -1;
            break;  // 8: turn left
    }
    auto turn = [&](auto& samples) {
        std::remove_reference_t<decltype(samples)> out(samples.get_allocator());
        out.resize(samples.size());
        for (std::ptrdiff_t y = 0; y < out_h; ++y) {
            const std::ptrdiff_t from = start + y * step_y;
            auto* row = out.data() + y * out_w;
            for (std::ptrdiff_t x = 0; x < out_w; ++x)
                row[x] = samples[static_cast<std::size_t>(from + x * step_x)];
        }
        samples = std::move(out);
    };
    turn(frame.pixels);
    if (!frame.alpha.empty()) turn(frame.alpha);
    frame.w = static_cast<std::int32_t>(out_w);
    frame.h = static_cast<std::int32_t>(out_h);
}

StreamInfo upright(StreamInfo info) {
    if (info.orientation >= 5 && info.orientation <= 8) std::swap(info.w, info.h);
    info.orientation = 1;
    return info;
}

}  // namespace korvane::cli
