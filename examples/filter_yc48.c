/* Filters raw frames with libkorvane: frames of width x height pixels in the host's layout
 * (three little-endian int16 per pixel: Y, Cb, Cr), read from one file and written to another.
 *
 *   filter_yc48 WIDTH HEIGHT IN.yc48 OUT.yc48 [THRESHOLD QUANT SHIFTS ZERO_WEIGHT]
 *
 * Gives the same bytes as `korvane-dct --size WIDTHxHEIGHT IN.yc48 OUT.yc48` with the same
 * settings; like it, refuses an input that is not a whole number of frames, or holds none, with
 * a message and exit status 2, and leaves no output then. Build it against an installed library
 * with either
 *   cc filter_yc48.c $(pkg-config --cflags --libs korvane) -o filter_yc48
 * or the CMakeLists.txt beside it (find_package(korvane)). */
#include <korvane/korvane.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

static int fail(const char* what, const char* detail) {
    fprintf(stderr, "filter_yc48: %s: %s\n", what, detail);
    return 1;
}

/* Bad input ends the run with status 2 and the message korvane-dct gives for it. */
static int bad_input(const char* path, const char* format, ...) {
    va_list args;
    va_start(args, format);
    fprintf(stderr, "filter_yc48: '%s': ", path);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return 2;
}

int main(int argc, char** argv) {
    if (argc != 5 && argc != 9) {
        fprintf(stderr,
                "usage: filter_yc48 WIDTH HEIGHT IN.yc48 OUT.yc48 "
                "[THRESHOLD QUANT SHIFTS ZERO_WEIGHT]\n");
        return 2;
    }
    const int32_t w = atoi(argv[1]), h = atoi(argv[2]);
    if (w <= 0 || h <= 0) return fail("size", "width and height must be positive");

    korvane_settings settings;
    korvane_settings_default(&settings);
    if (argc == 9) {
        settings.threshold = atoi(argv[5]);
        settings.quant = atoi(argv[6]);
        settings.shifts = atoi(argv[7]);
        settings.zero_weight = atoi(argv[8]);
    }
    korvane_filter* filter = NULL;
    korvane_status status = korvane_filter_create(&settings, 0, &filter);
    if (status != KORVANE_OK) return fail("settings", korvane_status_message(status));

    /* The samples are little-endian in the file; so is every machine this example targets. */
    const size_t frame_bytes = (size_t)w * (size_t)h * 6;
    int16_t* pixels = malloc(frame_bytes);
    FILE* in = fopen(argv[3], "rb");
    if (!pixels || !in) return fail(!pixels ? "memory" : argv[3], "cannot open");

    /* A file must hold whole frames, at least one: checked before the output is created. */
    if (fseek(in, 0, SEEK_END) == 0) {
        const long long bytes = ftell(in);
        if (bytes == 0) return bad_input(argv[3], "no frame in the input");
        if (bytes > 0 && bytes % (long long)frame_bytes != 0)
            return bad_input(argv[3], "size %lld bytes is not a whole number of %dx%d frames",
                             bytes, (int)w, (int)h);
        rewind(in);
    }
    FILE* out = fopen(argv[4], "wb");
    if (!out) return fail(argv[4], "cannot open");

    korvane_frame frame = {
        KORVANE_LAYOUT_PACKED, w, h, {pixels, NULL, NULL}, {6 * (ptrdiff_t)w, 0, 0}};
    long frames = 0;
    size_t got;
    while ((got = fread(pixels, 1, frame_bytes, in)) == frame_bytes) {
        status = korvane_filter_process(filter, &frame);
        if (status != KORVANE_OK) return fail("filter", korvane_status_message(status));
        if (fwrite(pixels, 1, frame_bytes, out) != frame_bytes)
            return fail(argv[4], "write failed");
        ++frames;
    }
    /* A stream (a pipe) has no size to check up front: a frame cut short shows only here. */
    if (ferror(in) || got != 0 || frames == 0) {
        fclose(out);
        remove(argv[4]);
        if (ferror(in)) return bad_input(argv[3], "read failed");
        return got != 0 ? bad_input(argv[3], "ends in the middle of frame %ld", frames + 1)
                        : bad_input(argv[3], "no frame in the input");
    }
    fprintf(stderr, "filter_yc48: %ld frames of %dx%d with libkorvane %s on %d threads\n", frames,
            (int)w, (int)h, korvane_version(), (int)korvane_filter_threads(filter));
    korvane_filter_destroy(filter);
    free(pixels);
    fclose(in);
    return fclose(out) == 0 ? 0 : 1;
}
