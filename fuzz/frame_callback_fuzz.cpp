// Fuzzes the frame callback with small frames of any int16 values, any track values the host may
// send, thread counts from 1 to 64 and strides wider than the frame. Beyond crashes and sanitizer
// reports it checks that no sample beyond the width of a row changes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "engine/engine.h"
#include "aviutl/filter_descriptor.h"
#include "tests/hosts/inprocess/host.h"

namespace {

using korvane::YcPixel;

class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() { return pos_ < size_ ? data_[pos_++] : 0; }
    // A value in [lo, hi] from the next byte.
    std::int32_t in(std::int32_t lo, std::int32_t hi) {
        return lo + static_cast<std::int32_t>(next() % static_cast<std::uint32_t>(hi - lo + 1));
    }
    std::int16_t sample() {
        const auto lo = next();
        return static_cast<std::int16_t>(static_cast<std::uint16_t>(lo | (next() << 8)));
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

korvane::Host& host_for(std::int32_t threads) {
    static std::map<std::int32_t, std::unique_ptr<korvane::Host>> hosts;
    auto& h = hosts[threads];
    if (!h) h = std::make_unique<korvane::Host>(GetFilterTable(), threads);
    return *h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Bytes in(data, size);
    const std::int32_t w = in.in(0, 40);
    const std::int32_t h = in.in(0, 40);
    const std::int32_t stride = w + in.in(0, 3);
    const std::uint8_t thread_choice = in.next();
    // Mostly few threads, sometimes many: counts past 8 exercise the probe's dropped reports,
    // large counts shift indices past the end of the shift table.
    const std::int32_t threads =
        thread_choice < 200 ? 1 + thread_choice % 9 : 1 + thread_choice % 64;
    korvane::Host& host = host_for(threads);
    for (int i = 0; i < korvane::kTrackCount; ++i)
        host.track(i) = in.in(korvane::kTrackMin[i], korvane::kTrackMax[i]);

    std::vector<YcPixel> pixels(static_cast<std::size_t>(stride) * static_cast<std::size_t>(h));
    for (YcPixel& p : pixels) p = {in.sample(), in.sample(), in.sample()};
    const std::vector<YcPixel> before = pixels;

    if (host.filter(pixels.data(), w, h, stride) != 1) __builtin_trap();
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = w; x < stride; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * stride + x;
            if (std::memcmp(&pixels[i], &before[i], sizeof(YcPixel)) != 0) __builtin_trap();
        }
    return 0;
}
