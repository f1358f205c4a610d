// Small inputs for the command-line tests, written the way other tools write them.
#pragma once

#include <spng.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/pixel.h"

namespace korvane::test {

// The pixels of a .yc48 file's bytes (the host's own layout, little-endian like the machine).
inline std::vector<YcPixel> yc48_pixels(const std::string& bytes) {
    std::vector<YcPixel> pixels(bytes.size() / sizeof(YcPixel));
    std::memcpy(pixels.data(), bytes.data(), pixels.size() * sizeof(YcPixel));
    return pixels;
}

// A Y4M stream: `header_tags` after "YUV4MPEG2 ", then frames of "FRAME<params>\n" and planes
// made by `sample(plane, x, y, frame)` (8-bit, or 16-bit little-endian when `wide`).
inline std::string make_y4m(const std::string& header_tags, int w, int h, int cw, int ch,
                            int frames, bool wide,
                            const std::function<int(int, int, int, int)>& sample,
                            const std::string& params = "") {
    std::string s = "YUV4MPEG2 " + header_tags + "\n";
    for (int f = 0; f < frames; ++f) {
        s += "FRAME" + params + "\n";
        for (int p = 0; p < 3; ++p) {
            const int pw = p == 0 ? w : cw, ph = p == 0 ? h : ch;
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw; ++x) {
                    const int v = sample(p, x, y, f);
                    s.push_back(static_cast<char>(v & 0xFF));
                    if (wide) s.push_back(static_cast<char>(v >> 8));
                }
        }
    }
    return s;
}

// A decoded PNG, samples as in the file (16-bit big-endian).
struct Png {
    spng_ihdr ihdr{};
    std::vector<unsigned char> data;
    int sample(std::size_t i) const {
        return ihdr.bit_depth == 16 ? (data[2 * i] << 8) | data[2 * i + 1] : data[i];
    }
};

inline Png decode_png(const std::string& bytes) {
    Png png;
    spng_ctx* ctx = spng_ctx_new(0);
    std::size_t size = 0;
    int ret = spng_set_png_buffer(ctx, bytes.data(), bytes.size());
    if (ret == 0) ret = spng_get_ihdr(ctx, &png.ihdr);
    if (ret == 0) ret = spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size);
    if (ret == 0) {
        png.data.resize(size);
        ret = spng_decode_image(ctx, png.data.data(), size, SPNG_FMT_RAW, 0);
    }
    spng_ctx_free(ctx);
    if (ret != 0) throw std::runtime_error(std::string("bad PNG: ") + spng_strerror(ret));
    return png;
}

// Encodes samples laid out as in the file; `palette` is used for colour type 3.
inline std::string encode_png(int w, int h, int colour_type, int depth,
                              const std::vector<unsigned char>& data,
                              const std::vector<spng_plte_entry>& palette = {},
                              const std::vector<std::uint8_t>& palette_alpha = {},
                              const spng_trns* key = nullptr) {
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(w);
    ihdr.height = static_cast<std::uint32_t>(h);
    ihdr.bit_depth = static_cast<std::uint8_t>(depth);
    ihdr.color_type = static_cast<std::uint8_t>(colour_type);
    spng_set_ihdr(ctx, &ihdr);
    if (!palette.empty()) {
        spng_plte plte{};
        plte.n_entries = static_cast<std::uint32_t>(palette.size());
        for (std::size_t i = 0; i < palette.size(); ++i) plte.entries[i] = palette[i];
        spng_set_plte(ctx, &plte);
    }
    if (!palette_alpha.empty()) {
        spng_trns trns{};
        trns.n_type3_entries = static_cast<std::uint32_t>(palette_alpha.size());
        for (std::size_t i = 0; i < palette_alpha.size(); ++i)
            trns.type3_alpha[i] = palette_alpha[i];
        spng_set_trns(ctx, &trns);
    }
    if (key) {
        spng_trns trns = *key;
        spng_set_trns(ctx, &trns);
    }
    int ret = spng_encode_image(ctx, data.data(), data.size(), SPNG_FMT_RAW, SPNG_ENCODE_FINALIZE);
    std::size_t len = 0;
    void* buf = ret == 0 ? spng_get_png_buffer(ctx, &len, &ret) : nullptr;
    spng_ctx_free(ctx);
    if (!buf) throw std::runtime_error(std::string("cannot encode PNG: ") + spng_strerror(ret));
    std::string out(static_cast<const char*>(buf), len);
    std::free(buf);
    return out;
}

}  // namespace korvane::test
