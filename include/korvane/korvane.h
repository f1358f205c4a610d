/* Korvane DCT: the deblocking and denoising filter as a C library.
 *
 * One korvane_filter holds the settings, a set of worker threads and the memory of the last
 * frame; korvane_filter_process filters one frame in place. The samples are the host's own:
 * Y nominally 0..4096, Cb and Cr -2048..2048, signed 16-bit, and they go through the engine as
 * they are (korvane-dct gives the same bytes on raw .yc48 frames). Converting other formats
 * into that scale is the caller's business.
 *
 * The output depends on the frame and the settings alone: not on the number of threads nor on
 * the instruction set of the kernels, which each filter fixes when it is made (the best this
 * machine runs, or the one given to korvane_filter_create_cpu).
 *
 * Threads: a korvane_filter is used by one thread at a time; any number of filters may work at
 * the same time on different threads. No call lets a C++ exception escape.
 *
 * Versioning: the soname carries KORVANE_API_VERSION; a program built against this header runs
 * with any library of the same KORVANE_API_VERSION. */
#ifndef KORVANE_KORVANE_H
#define KORVANE_KORVANE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define KORVANE_VERSION_MAJOR 0
#define KORVANE_VERSION_MINOR 1
#define KORVANE_VERSION_PATCH 0
/* The interface's version: the number in the soname, libkorvane.so.KORVANE_API_VERSION. */
#define KORVANE_API_VERSION 0

#if defined(__GNUC__)
#define KORVANE_API __attribute__((visibility("default")))
#else
#define KORVANE_API
#endif

typedef enum korvane_status {
    KORVANE_OK = 0,
    /* A null pointer, a size or stride that does not fit, a setting out of its range. */
    KORVANE_ERROR_INVALID_ARGUMENT = 1,
    /* Memory or threads could not be obtained. The frame is untouched; a later call may work. */
    KORVANE_ERROR_OUT_OF_MEMORY = 2,
    /* Anything else that went wrong inside the library. The frame is untouched. */
    KORVANE_ERROR_INTERNAL = 3,
    /* korvane_filter_create_cpu: this machine, or this build of the library, lacks that
     * instruction set. */
    KORVANE_ERROR_UNSUPPORTED_CPU = 4,
    /* Not a status: makes the type as wide as int32_t, so that any such value is one. */
    KORVANE_STATUS_MAX_ENUM = 0x7FFFFFFF
} korvane_status;

/* The settings, with the ranges and defaults of the AviUtl plug-in's track bars. */
typedef struct korvane_settings {
    int32_t threshold;   /* 0..255, default 24: AC coefficients weaker than this are shaped */
    int32_t quant;       /* 1..255, default 8: luma step the shaped coefficients are rounded to */
    int32_t shifts;      /* 1..KORVANE_MAX_SHIFTS, default 4: shifted 8x8 grids averaged */
    int32_t zero_weight; /* 0..64, default 0: weight of the unfiltered frame, in grids */
} korvane_settings;

/* Grid i uses entry i mod 64 of a fixed table of offsets. The AviUtl plug-in on a host of T
 * threads averages n_shift rounded up to a multiple of T grids (at most 127): pass that as
 * `shifts` to get its bytes.
 *
 * Why 127: the mean is taken through a 16-bit sum per sample, of one value from every grid, each
 * within -256..256 for samples in the ranges above (the last column and row of a frame add the
 * source sample / 16 under every grid). 127 * 256 = 32512 fits; 128 * 256 = 32768 does not, and
 * would bring a white frame's last column back as -4096. More is refused
 * (KORVANE_ERROR_INVALID_ARGUMENT).
 * The sums stay exact at 127 grids for every sample in -4128..4143; samples beyond that are
 * summed exactly only up to 16 grids, and beyond 16 can wrap as they do in the AviUtl plug-in. */
#define KORVANE_MAX_SHIFTS 127
#define KORVANE_MAX_THREADS 1024

typedef enum korvane_layout {
    /* The host's layout: Y, Cb, Cr of a pixel side by side, 6 bytes a pixel. data[0] is the Y of
     * the top-left pixel; stride[0] is in bytes, a multiple of 6 and at least 6 * width.
     * data[1], data[2], stride[1], stride[2] are ignored. */
    KORVANE_LAYOUT_PACKED = 0,
    /* Three planes: data[0] Y, data[1] Cb, data[2] Cr, each with its stride in bytes, even and at
     * least 2 * width. The planes must not overlap: no sample of one may lie in a row of another
     * (rows of different planes may interleave in one buffer). A frame whose planes overlap, or
     * whose rows would pass the end of the address space, is refused. */
    KORVANE_LAYOUT_PLANAR = 1
} korvane_layout;

/* height rows of width pixels. Samples beyond the width of a row are never read nor written. */
typedef struct korvane_frame {
    int32_t layout; /* a korvane_layout */
    int32_t width;
    int32_t height;
    int16_t* data[3];
    ptrdiff_t stride[3];
} korvane_frame;

typedef struct korvane_filter korvane_filter;

/* Instruction-set tiers of the kernels. Every tier gives the same bytes; they differ in speed. */
typedef enum korvane_cpu {
    KORVANE_CPU_BEST = 0, /* the best tier this machine and this library run */
    KORVANE_CPU_SCALAR = 1,
    KORVANE_CPU_SSE41 = 2,  /* SSE4.1 */
    KORVANE_CPU_AVX2 = 3,   /* AVX2 */
    KORVANE_CPU_AVX512 = 4, /* AVX-512 F, BW, VL and DQ */
    KORVANE_CPU_MAX_ENUM = 0x7FFFFFFF
} korvane_cpu;

/* "0.1.0": the library's version, which may be newer than the header's. */
KORVANE_API const char* korvane_version(void);

/* A short English description of a status, for messages. Never null. */
KORVANE_API const char* korvane_status_message(korvane_status status);

/* Fills *settings with the defaults (24, 8, 4, 0). */
KORVANE_API void korvane_settings_default(korvane_settings* settings);

/* Creates a filter with these settings (null: the defaults) and `threads` worker threads in all,
 * the calling thread among them (0: as many as the machine has hardware threads, at most
 * KORVANE_MAX_THREADS). On success stores the filter in *filter; otherwise stores null. */
KORVANE_API korvane_status korvane_filter_create(const korvane_settings* settings, int32_t threads,
                                                 korvane_filter** filter);

/* korvane_filter_create with the kernels of `cpu`, a korvane_cpu (KORVANE_CPU_BEST: as
 * korvane_filter_create). A tier this machine or this library lacks gives
 * KORVANE_ERROR_UNSUPPORTED_CPU; a value that is no korvane_cpu, KORVANE_ERROR_INVALID_ARGUMENT.
 * For comparing tiers and measuring them: the bytes are the same on every tier. */
KORVANE_API korvane_status korvane_filter_create_cpu(const korvane_settings* settings,
                                                     int32_t threads, int32_t cpu,
                                                     korvane_filter** filter);

/* The tier whose kernels the filter runs (never KORVANE_CPU_BEST); 0 for a null filter. */
KORVANE_API int32_t korvane_filter_cpu(const korvane_filter* filter);

/* Stops the filter's threads and frees its memory. A null filter is ignored. */
KORVANE_API void korvane_filter_destroy(korvane_filter* filter);

/* Replaces the settings for the following frames; on an error they stay as they were. */
KORVANE_API korvane_status korvane_filter_set_settings(korvane_filter* filter,
                                                       const korvane_settings* settings);
KORVANE_API korvane_status korvane_filter_get_settings(const korvane_filter* filter,
                                                       korvane_settings* settings);

/* The number of threads the filter runs on; 0 for a null filter. */
KORVANE_API int32_t korvane_filter_threads(const korvane_filter* filter);

/* Filters one frame in place. On any status but KORVANE_OK the frame is untouched. A frame of
 * width or height 0 is left as it is. Memory is kept from one frame to the next while the size
 * stays the same. */
KORVANE_API korvane_status korvane_filter_process(korvane_filter* filter,
                                                  const korvane_frame* frame);

#ifdef __cplusplus
}
#endif

#endif /* KORVANE_KORVANE_H */
