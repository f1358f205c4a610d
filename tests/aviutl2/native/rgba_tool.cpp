// korvane-rgba: native help for the ExEdit2 plug-in's tests, which see pictures as raw RGBA.
//
//   korvane-rgba make W H SEED alpha|opaque OUT.png OUT.rgba
//       a test picture (gradients, 8x8 block steps, noise, clipped areas, a hard edge) as an 8-bit
//       RGBA PNG and as raw RGBA; `alpha` gives it a varying alpha, `opaque` alpha 255
//   korvane-rgba to-raw IN.png OUT.rgba
//       an 8-bit RGBA PNG (korvane-dct's output for one) as raw RGBA
//   korvane-rgba compare W H SOURCE.rgba EXPECTED.rgba GOT.rgba
//       GOT's red, green and blue equal EXPECTED's, and GOT's alpha SOURCE's, byte for byte
//
// Exit status 0, or 1 when compare finds a difference, 2 on bad usage or input.
#include <spng.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

int number(const std::string& s, int low, int high) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < low || v > high)
        throw Error("\"" + s + "\" is not a number in " + std::to_string(low) + ".." +
                    std::to_string(high));
    return static_cast<int>(v);
}

Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Error("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const void* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) throw Error("cannot write " + path);
}

Bytes read_raw(const std::string& path, int w, int h) {
    Bytes b = read_file(path);
    if (b.size() != static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4)
        throw Error(path + " is not one " + std::to_string(w) + "x" + std::to_string(h) +
                    " RGBA picture");
    return b;
}

using Ctx = std::unique_ptr<spng_ctx, decltype(&spng_ctx_free)>;

void write_png(const std::string& path, int w, int h, const Bytes& rgba) {
    Ctx ctx(spng_ctx_new(SPNG_CTX_ENCODER), &spng_ctx_free);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(w);
    ihdr.height = static_cast<std::uint32_t>(h);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    int ret = spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    if (ret == 0) ret = spng_set_ihdr(ctx.get(), &ihdr);
    if (ret == 0)
        ret = spng_encode_image(ctx.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG,
                                SPNG_ENCODE_FINALIZE);
    std::size_t size = 0;
    void* png = ret == 0 ? spng_get_png_buffer(ctx.get(), &size, &ret) : nullptr;
    if (ret != 0 || !png) throw Error(path + ": cannot encode: " + spng_strerror(ret));
    std::unique_ptr<void, decltype(&std::free)> owned(png, &std::free);
    write_file(path, png, size);
}

Bytes read_png_rgba8(const std::string& path) {
    const Bytes file = read_file(path);
    Ctx ctx(spng_ctx_new(0), &spng_ctx_free);
    spng_ihdr ihdr{};
    std::size_t size = 0;
    int ret = spng_set_png_buffer(ctx.get(), file.data(), file.size());
    if (ret == 0) ret = spng_get_ihdr(ctx.get(), &ihdr);
    if (ret != 0) throw Error(path + ": " + spng_strerror(ret));
    if (ihdr.bit_depth != 8 || ihdr.color_type != SPNG_COLOR_TYPE_TRUECOLOR_ALPHA)
        throw Error(path + ": not an 8-bit RGBA PNG (depth " + std::to_string(ihdr.bit_depth) +
                    ", colour type " + std::to_string(ihdr.color_type) + ")");
    ret = spng_decoded_image_size(ctx.get(), SPNG_FMT_RAW, &size);
    Bytes rgba(size);
    if (ret == 0) ret = spng_decode_image(ctx.get(), rgba.data(), size, SPNG_FMT_RAW, 0);
    if (ret != 0) throw Error(path + ": " + spng_strerror(ret));
    return rgba;
}

// A picture with what the filter acts on: smooth ramps, a step at every 8x8 block, noise, clipped
// patches at 0 and 255, and a hard vertical edge.
Bytes make_picture(int w, int h, std::uint32_t seed, bool alpha) {
    Bytes rgba(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
    std::uint32_t state = seed * 2654435761u + 1;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgba[(static_cast<std::size_t>(y) * w + x) * 4];
            const int patch = (x / 16 + 3 * (y / 16) + static_cast<int>(seed)) % 11;
            for (int c = 0; c < 3; ++c) {
                const int ramp = c == 0   ? x * 255 / std::max(w, 1)
                                 : c == 1 ? y * 255 / std::max(h, 1)
                                          : (x + y) * 255 / std::max(w + h, 1);
                const int block = static_cast<int>((x / 8 * 37 + y / 8 * 101 + c * 13) % 41) - 20;
                const int noise = static_cast<int>(next() % 25) - 12;
                int v = ramp + block + noise + (x >= w / 2 ? 50 : -30);
                if (patch == 0) v = 255;
                if (patch == 1) v = 0;
                p[c] = static_cast<unsigned char>(std::clamp(v, 0, 255));
            }
            p[3] = alpha ? static_cast<unsigned char>((x * 7 + y * 13 + next() % 3) & 255) : 255;
        }
    return rgba;
}

int compare(int w, int h, const Bytes& source, const Bytes& expected, const Bytes& got) {
    static const char* const kChannel[] = {"red", "green", "blue", "alpha"};
    for (std::size_t i = 0; i < got.size(); ++i) {
        const int c = static_cast<int>(i % 4);
        const unsigned char want = c == 3 ? source[i] : expected[i];
        if (got[i] == want) continue;
        const std::size_t p = i / 4;
        std::printf("%s of pixel (%zu, %zu) is %d, expected %d (%s)\n", kChannel[c],
                    p % static_cast<std::size_t>(w), p / static_cast<std::size_t>(w), got[i], want,
                    c == 3 ? "the source's alpha" : "korvane-dct's output");
        return 1;
    }
    std::printf("%dx%d: red, green and blue as korvane-dct's, alpha as the source's\n", w, h);
    return 0;
}

int run(const std::vector<std::string>& a) {
    const std::string command = a.empty() ? "" : a[0];
    if (command == "make" && a.size() == 7) {
        const int w = number(a[1], 1, 20000), h = number(a[2], 1, 20000);
        if (a[4] != "alpha" && a[4] != "opaque") throw Error("kind: alpha or opaque");
        const Bytes rgba = make_picture(w, h, static_cast<std::uint32_t>(number(a[3], 0, 1 << 30)),
                                        a[4] == "alpha");
        write_png(a[5], w, h, rgba);
        write_file(a[6], rgba.data(), rgba.size());
        return 0;
    }
    if (command == "to-raw" && a.size() == 3) {
        const Bytes rgba = read_png_rgba8(a[1]);
        write_file(a[2], rgba.data(), rgba.size());
        return 0;
    }
    if (command == "compare" && a.size() == 6) {
        const int w = number(a[1], 1, 20000), h = number(a[2], 1, 20000);
        return compare(w, h, read_raw(a[3], w, h), read_raw(a[4], w, h), read_raw(a[5], w, h));
    }
    throw Error(
        "usage: korvane-rgba make W H SEED alpha|opaque OUT.png OUT.rgba\n"
        "       korvane-rgba to-raw IN.png OUT.rgba\n"
        "       korvane-rgba compare W H SOURCE.rgba EXPECTED.rgba GOT.rgba");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-rgba: %s\n", e.what());
        return 2;
    }
}
