// png-same A.png B.png: exit 0 when both PNGs hold the same picture: the same size, colour type
// and depth, and the same decoded samples (alpha included). png-same --alpha A.png B.png
// compares only the alpha samples (and the size). Exit 1 naming the first difference, 2 when a
// file cannot be read.
#include <spng.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Png {
    spng_ihdr ihdr{};
    std::vector<unsigned char> rgba16;  // every pixel as R, G, B, A, 16 bits each
};

bool read_png(const char* path, Png& png) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), &std::fclose);
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), &spng_ctx_free);
    std::size_t size = 0;
    if (!file || !ctx || spng_set_png_file(ctx.get(), file.get()) != 0 ||
        spng_get_ihdr(ctx.get(), &png.ihdr) != 0 ||
        spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA16, &size) != 0) {
        std::fprintf(stderr, "png-same: cannot read %s\n", path);
        return false;
    }
    png.rgba16.resize(size);
    if (spng_decode_image(ctx.get(), png.rgba16.data(), size, SPNG_FMT_RGBA16, 0) != 0) {
        std::fprintf(stderr, "png-same: cannot decode %s\n", path);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool alpha_only = argc == 4 && std::strcmp(argv[1], "--alpha") == 0;
    if (argc != 3 && !alpha_only) {
        std::fprintf(stderr, "usage: png-same [--alpha] A.png B.png\n");
        return 2;
    }
    const char* a_path = argv[argc - 2];
    const char* b_path = argv[argc - 1];
    Png a, b;
    if (!read_png(a_path, a) || !read_png(b_path, b)) return 2;
    if (a.ihdr.width != b.ihdr.width || a.ihdr.height != b.ihdr.height) {
        std::fprintf(stderr, "png-same: %s is %ux%u, %s is %ux%u\n", a_path, a.ihdr.width,
                     a.ihdr.height, b_path, b.ihdr.width, b.ihdr.height);
        return 1;
    }
    if (!alpha_only &&
        (a.ihdr.color_type != b.ihdr.color_type || a.ihdr.bit_depth != b.ihdr.bit_depth)) {
        std::fprintf(stderr, "png-same: colour type %u depth %u against colour type %u depth %u\n",
                     a.ihdr.color_type, a.ihdr.bit_depth, b.ihdr.color_type, b.ihdr.bit_depth);
        return 1;
    }
    const std::size_t samples = a.rgba16.size() / 2;
    std::size_t differ = 0, first = 0;
    for (std::size_t i = 0; i < samples; ++i) {
        if (alpha_only && i % 4 != 3) continue;
        if (std::memcmp(&a.rgba16[2 * i], &b.rgba16[2 * i], 2) != 0 && differ++ == 0) first = i;
    }
    if (differ == 0) return 0;
    const auto value = [](const Png& p, std::size_t i) {
        return p.rgba16[2 * i] << 8 | p.rgba16[2 * i + 1];
    };
    const std::size_t pixel = first / 4;
    std::fprintf(stderr,
                 "png-same: %zu samples differ; first at x %zu y %zu channel %zu: %d against %d\n",
                 differ, pixel % a.ihdr.width, pixel / a.ihdr.width, first % 4, value(a, first),
                 value(b, first));
    return 1;
}
