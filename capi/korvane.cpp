// The C library over the engine: argument checks, a thread pool and a scratch per filter, and
// planar frames gathered into the host's layout and back. Every entry point catches everything.
#include "korvane/korvane.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "runtime/thread_pool.h"

static_assert(KORVANE_MAX_SHIFTS == korvane::kMaxShifts);
static_assert(KORVANE_MAX_THREADS <= korvane::kMaxThreads);
// korvane_cpu is the engine's tier plus one (0 is "best").
static_assert(KORVANE_CPU_SCALAR == static_cast<int>(korvane::CpuTier::scalar) + 1);
static_assert(KORVANE_CPU_AVX512 == static_cast<int>(korvane::CpuTier::avx512) + 1);

struct korvane_filter {
    korvane_filter(const korvane::Settings& s, const korvane::Kernels& k, std::int32_t threads)
        : settings(s), kernels(k), pool(threads) {}

    korvane::Settings settings;
    korvane::Kernels kernels;  // fixed when the filter is made
    korvane::ThreadPool pool;
    korvane::Scratch scratch;
    std::vector<korvane::YcPixel> planar_work;  // a planar frame in the host's layout
};

namespace {

using korvane::kTrackMax;
using korvane::kTrackMin;

bool in_range(std::int32_t v, korvane::Track t) { return v >= kTrackMin[t] && v <= kTrackMax[t]; }

bool valid(const korvane_settings& s) {
    return in_range(s.threshold, korvane::kThreshold) && in_range(s.quant, korvane::kQuant) &&
           s.shifts >= 1 && s.shifts <= korvane::kMaxShifts &&
           in_range(s.zero_weight, korvane::kZeroWeight);
}

korvane::Settings engine_settings(const korvane_settings& s) {
    return {s.threshold, s.quant, s.shifts, s.zero_weight};
}

korvane_status status_of(korvane::Status s) {
    switch (s) {
        case korvane::Status::ok:
            return KORVANE_OK;
        case korvane::Status::invalid_argument:
            return KORVANE_ERROR_INVALID_ARGUMENT;
        case korvane::Status::out_of_memory:
            return KORVANE_ERROR_OUT_OF_MEMORY;
    }
    return KORVANE_ERROR_INTERNAL;
}

// Runs `f`, turning whatever it throws into a status.
template <typename F>
korvane_status guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return KORVANE_ERROR_OUT_OF_MEMORY;
    } catch (const std::system_error&) {  // a thread that could not be started
        return KORVANE_ERROR_OUT_OF_MEMORY;
    } catch (...) {
        return KORVANE_ERROR_INTERNAL;
    }
}

constexpr std::ptrdiff_t kPixelBytes = sizeof(korvane::YcPixel);

// The bytes a plane's rows take: row y is [first + y * stride, first + y * stride + row_bytes).
// Addresses in 64 bits, wide enough for any address space and for row_bytes < 2^32.
struct PlaneSpan {
    std::uint64_t first, stride, row_bytes, rows;

    std::uint64_t row(std::uint64_t y) const { return first + y * stride; }
    std::uint64_t end() const { return row(rows - 1) + row_bytes; }
};

// The span of a plane of w samples of `sample_bytes` a row, with stride >= row_bytes > 0 and
// rows > 0, or false when its last row would pass the end of the address space (no such plane
// exists). Checked without overflow: every row start is then below end(), which is at most
// UINTPTR_MAX.
bool span_of(const std::int16_t* data, std::ptrdiff_t stride, std::int32_t w,
             std::ptrdiff_t sample_bytes, std::int32_t h, PlaneSpan& span) {
    constexpr std::uint64_t kTop = UINTPTR_MAX;
    span = {reinterpret_cast<std::uintptr_t>(data), static_cast<std::uint64_t>(stride),
            static_cast<std::uint64_t>(sample_bytes) * static_cast<std::uint64_t>(w),
            static_cast<std::uint64_t>(h)};
    if (span.row_bytes > kTop - span.first) return false;
    return span.rows - 1 <= (kTop - span.first - span.row_bytes) / span.stride;
}

// Whether a byte lies in a row of both planes (of the same row length). Rows of one plane are
// disjoint and ascending, so one pass over both lists finds any pair that meets.
bool overlap(const PlaneSpan& a, const PlaneSpan& b) {
    if (a.end() <= b.first || b.end() <= a.first) return false;
    for (std::uint64_t i = 0, j = 0; i < a.rows && j < b.rows;) {
        const std::uint64_t a0 = a.row(i), b0 = b.row(j);
        if (a0 + a.row_bytes <= b0)
            ++i;  // row i of a ends before row j of b and so before every later one
        else if (b0 + b.row_bytes <= a0)
            ++j;
        else
            return true;
    }
    return false;
}

korvane_status process_packed(korvane_filter& f, const korvane_frame& frame) {
    if (frame.width < 0 || frame.height < 0) return KORVANE_ERROR_INVALID_ARGUMENT;
    if (frame.width == 0 || frame.height == 0) return KORVANE_OK;
    PlaneSpan span;
    if (!frame.data[0] || frame.stride[0] % kPixelBytes != 0 ||
        static_cast<std::int64_t>(frame.stride[0]) < kPixelBytes * std::int64_t{frame.width} ||
        !span_of(frame.data[0], frame.stride[0], frame.width, kPixelBytes, frame.height, span))
        return KORVANE_ERROR_INVALID_ARGUMENT;
    const korvane::FrameView view{reinterpret_cast<korvane::YcPixel*>(frame.data[0]), frame.width,
                                  frame.height, frame.stride[0] / kPixelBytes};
    return status_of(
        korvane::filter_frame(view, f.settings, f.kernels, f.pool.parallel(), f.scratch));
}

korvane_status process_planar(korvane_filter& f, const korvane_frame& frame) {
    if (frame.width < 0 || frame.height < 0) return KORVANE_ERROR_INVALID_ARGUMENT;
    if (frame.width == 0 || frame.height == 0) return KORVANE_OK;
    PlaneSpan spans[3];
    for (int p = 0; p < 3; ++p)
        if (!frame.data[p] || frame.stride[p] % 2 != 0 ||
            static_cast<std::int64_t>(frame.stride[p]) < 2 * std::int64_t{frame.width} ||
            !span_of(frame.data[p], frame.stride[p], frame.width, 2, frame.height, spans[p]))
            return KORVANE_ERROR_INVALID_ARGUMENT;
    // Planes that share samples would have one plane's results written over the other's.
    if (overlap(spans[0], spans[1]) || overlap(spans[0], spans[2]) || overlap(spans[1], spans[2]))
        return KORVANE_ERROR_INVALID_ARGUMENT;
    const auto w = static_cast<std::size_t>(frame.width);
    const auto h = static_cast<std::size_t>(frame.height);
    f.planar_work.resize(w * h);  // throws bad_alloc before the frame is touched
    auto row = [&](int p, std::size_t y) { return frame.data[p] + y * (frame.stride[p] / 2); };
    korvane::YcPixel* work = f.planar_work.data();
    for (std::size_t y = 0; y < h; ++y) {
        const std::int16_t *py = row(0, y), *pb = row(1, y), *pr = row(2, y);
        for (std::size_t x = 0; x < w; ++x) work[y * w + x] = {py[x], pb[x], pr[x]};
    }
    const korvane::FrameView view{work, frame.width, frame.height, static_cast<std::ptrdiff_t>(w)};
    const korvane::Status s =
        korvane::filter_frame(view, f.settings, f.kernels, f.pool.parallel(), f.scratch);
    if (s != korvane::Status::ok) return status_of(s);
    for (std::size_t y = 0; y < h; ++y) {
        std::int16_t *py = row(0, y), *pb = row(1, y), *pr = row(2, y);
        for (std::size_t x = 0; x < w; ++x) {
            const korvane::YcPixel& p = work[y * w + x];
            py[x] = p.y;
            pb[x] = p.cb;
            pr[x] = p.cr;
        }
    }
    return KORVANE_OK;
}

}  // namespace

extern "C" {

const char* korvane_version(void) { return KORVANE_VERSION_STRING; }

const char* korvane_status_message(korvane_status status) {
    switch (status) {
        case KORVANE_OK:
            return "success";
        case KORVANE_ERROR_INVALID_ARGUMENT:
            return "invalid argument";
        case KORVANE_ERROR_OUT_OF_MEMORY:
            return "out of memory";
        case KORVANE_ERROR_INTERNAL:
            return "internal error";
        case KORVANE_ERROR_UNSUPPORTED_CPU:
            return "instruction set not supported by this machine or library";
        default:
            return "unknown status";
    }
}

void korvane_settings_default(korvane_settings* settings) {
    if (!settings) return;
    const korvane::Settings d;
    *settings = {d.threshold, d.quant, d.shifts, d.zero_weight};
}

korvane_status korvane_filter_create(const korvane_settings* settings, int32_t threads,
                                     korvane_filter** filter) {
    return korvane_filter_create_cpu(settings, threads, KORVANE_CPU_BEST, filter);
}

korvane_status korvane_filter_create_cpu(const korvane_settings* settings, int32_t threads,
                                         int32_t cpu, korvane_filter** filter) {
    if (!filter) return KORVANE_ERROR_INVALID_ARGUMENT;
    *filter = nullptr;
    korvane_settings s;
    korvane_settings_default(&s);
    if (settings) s = *settings;
    if (!valid(s) || threads < 0 || threads > KORVANE_MAX_THREADS || cpu < KORVANE_CPU_BEST ||
        cpu > KORVANE_CPU_AVX512)
        return KORVANE_ERROR_INVALID_ARGUMENT;
    const korvane::CpuTier tier =
        cpu == KORVANE_CPU_BEST ? korvane::best_tier() : static_cast<korvane::CpuTier>(cpu - 1);
    if (!korvane::tier_runs_here(tier)) return KORVANE_ERROR_UNSUPPORTED_CPU;
    if (threads == 0) threads = korvane::default_threads();
    return guarded([&] {
        *filter = new korvane_filter(engine_settings(s), korvane::kernels_for(tier), threads);
        return KORVANE_OK;
    });
}

void korvane_filter_destroy(korvane_filter* filter) { delete filter; }

korvane_status korvane_filter_set_settings(korvane_filter* filter,
                                           const korvane_settings* settings) {
    if (!filter || !settings || !valid(*settings)) return KORVANE_ERROR_INVALID_ARGUMENT;
    filter->settings = engine_settings(*settings);
    return KORVANE_OK;
}

korvane_status korvane_filter_get_settings(const korvane_filter* filter,
                                           korvane_settings* settings) {
    if (!filter || !settings) return KORVANE_ERROR_INVALID_ARGUMENT;
    const korvane::Settings& s = filter->settings;
    *settings = {s.threshold, s.quant, s.shifts, s.zero_weight};
    return KORVANE_OK;
}

int32_t korvane_filter_threads(const korvane_filter* filter) {
    return filter ? filter->pool.size() : 0;
}

int32_t korvane_filter_cpu(const korvane_filter* filter) {
    return filter ? static_cast<int32_t>(filter->kernels.tier) + 1 : 0;
}

korvane_status korvane_filter_process(korvane_filter* filter, const korvane_frame* frame) {
    if (!filter || !frame) return KORVANE_ERROR_INVALID_ARGUMENT;
    return guarded([&] {
        switch (frame->layout) {
            case KORVANE_LAYOUT_PACKED:
                return process_packed(*filter, *frame);
            case KORVANE_LAYOUT_PLANAR:
                return process_planar(*filter, *frame);
            default:
                return KORVANE_ERROR_INVALID_ARGUMENT;
        }
    });
}

}  // extern "C"
