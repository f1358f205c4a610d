#include "picture/picture_filter.h"

#include <algorithm>
#include <atomic>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace korvane {
namespace {

// Luma is moved from 0..4096 to -2048..2048 for the engine and back. The engine keeps
// sample / 16 and its inverse transform clamps to -256..255, so white at 4096 (256 after the
// division) would come back as 255 x 16; centred, every valid sample stays clear of the clamp.
// A shift by a multiple of 16 moves the working-scale samples by exactly 128, and the
// transforms, being linear on integers, move the reconstruction by exactly that.
constexpr std::int16_t kLumaCentre = 2048;

std::int16_t saturate(std::int32_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(v, -32768, 32767));
}

// The passes over one row of n = 3w samples (y, cb, cr, y, ...): `by` goes to every luma
// sample, with saturation, and the low 4 bits of each sample are kept in a row of low_bytes(n)
// bytes. In vectors of 8 samples the luma ones repeat every 3 vectors; the low bits of 96
// samples (12 vectors) are kept two to a byte, those of the samples after the last whole 96
// one to a byte.
#if defined(__SSE2__)
constexpr std::size_t kPackedRun = 96;

struct LumaPattern {
    __m128i v[3];
    explicit LumaPattern(std::int16_t by)
        : v{_mm_setr_epi16(by, 0, 0, by, 0, 0, by, 0), _mm_setr_epi16(0, by, 0, 0, by, 0, 0, by),
            _mm_setr_epi16(0, 0, by, 0, 0, by, 0, 0)} {}
};

template <typename T>
__m128i load(const T* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
template <typename T>
void store(T* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
#else
constexpr std::size_t kPackedRun = 0;
#endif

std::size_t packed_samples(std::size_t n) {
    return kPackedRun == 0 ? 0 : n / kPackedRun * kPackedRun;
}

std::size_t low_bytes(std::size_t n) { return packed_samples(n) / 2 + (n - packed_samples(n)); }

// The low 4 bits of every sample kept in `low`; then the luma samples moved by `by`, and every
// sample taken to the engine's working scale (>> 4, which the engine then leaves out).
void keep_low_and_prescale(std::int16_t* s, std::uint8_t* low, std::size_t n, std::int16_t by) {
    const std::size_t packed = packed_samples(n);
#if defined(__SSE2__)
    const LumaPattern pattern(by);
    const __m128i mask = _mm_set1_epi16(15);
    for (std::size_t i = 0; i < packed; i += kPackedRun) {
        __m128i bytes[6];
        for (int k = 0; k < 6; ++k) {
            std::int16_t* at = s + i + 16 * k;
            const __m128i a = load(at), b = load(at + 8);
            bytes[k] = _mm_packus_epi16(_mm_and_si128(a, mask), _mm_and_si128(b, mask));
            store(at, _mm_srai_epi16(_mm_adds_epi16(a, pattern.v[(2 * k) % 3]), 4));
            store(at + 8, _mm_srai_epi16(_mm_adds_epi16(b, pattern.v[(2 * k + 1) % 3]), 4));
        }
        for (int k = 0; k < 3; ++k)
            store(low + i / 2 + 16 * k, _mm_or_si128(bytes[k], _mm_slli_epi16(bytes[k + 3], 4)));
    }
#endif
    for (std::size_t i = packed; i < n; ++i) {
        low[packed / 2 + (i - packed)] = static_cast<std::uint8_t>(s[i] & 15);
        if (i % 3 == 0) s[i] = saturate(s[i] + by);
        s[i] = static_cast<std::int16_t>(s[i] >> 4);
    }
}

// The luma samples moved by `by`, then the kept low bits added to every sample (both with
// saturation).
void move_and_add_low(std::int16_t* s, const std::uint8_t* low, std::size_t n, std::int16_t by) {
    const std::size_t packed = packed_samples(n);
#if defined(__SSE2__)
    const LumaPattern pattern(by);
    const __m128i nibble = _mm_set1_epi8(15), zero = _mm_setzero_si128();
    for (std::size_t i = 0; i < packed; i += kPackedRun) {
        __m128i bytes[6];
        for (int k = 0; k < 3; ++k) {
            const __m128i p = load(low + i / 2 + 16 * k);
            bytes[k] = _mm_and_si128(p, nibble);
            bytes[k + 3] = _mm_and_si128(_mm_srli_epi16(p, 4), nibble);
        }
        for (int k = 0; k < 6; ++k) {
            std::int16_t* at = s + i + 16 * k;
            const __m128i a = _mm_adds_epi16(load(at), pattern.v[(2 * k) % 3]);
            const __m128i b = _mm_adds_epi16(load(at + 8), pattern.v[(2 * k + 1) % 3]);
            store(at, _mm_adds_epi16(a, _mm_unpacklo_epi8(bytes[k], zero)));
            store(at + 8, _mm_adds_epi16(b, _mm_unpackhi_epi8(bytes[k], zero)));
        }
    }
#endif
    for (std::size_t i = packed; i < n; ++i) {
        if (i % 3 == 0) s[i] = saturate(s[i] + by);
        s[i] = saturate(s[i] + low[packed / 2 + (i - packed)]);
    }
}

// What the engine's RowHooks run for a filter() call: the caller's steps, and the treatment of
// converted samples around the engine.
struct StepContext {
    const PictureFilter::RowSteps& steps;
    const FrameView& frame;
    bool converted;
    std::size_t n, row_bytes;
    std::uint8_t* low;
    bool timed;
    // Time on the threads, summed: each adds its own.
    std::atomic<std::int64_t> before_ns{0}, after_ns{0};

    std::int16_t* samples(std::int32_t y) const {
        return reinterpret_cast<std::int16_t*>(frame.row(y));
    }
    std::uint8_t* low_row(std::int32_t y) const {
        return low + static_cast<std::size_t>(y) * row_bytes;
    }
    template <typename Step>
    void time(std::atomic<std::int64_t>& total, const Step& step) {
        if (!timed) return step();
        const auto t0 = std::chrono::steady_clock::now();
        step();
        total += std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now() - t0)
                     .count();
    }
    static void before(void* context, std::int32_t y0, std::int32_t y1) {
        auto& c = *static_cast<StepContext*>(context);
        c.time(c.before_ns, [&] {
            if (c.steps.before) c.steps.before(y0, y1);
            if (c.converted)
                for (std::int32_t y = y0; y < y1; ++y)
                    keep_low_and_prescale(c.samples(y), c.low_row(y), c.n, -kLumaCentre);
        });
    }
    static void after(void* context, std::int32_t y0, std::int32_t y1) {
        auto& c = *static_cast<StepContext*>(context);
        c.time(c.after_ns, [&] {
            if (c.converted)
                for (std::int32_t y = y0; y < y1; ++y)
                    move_and_add_low(c.samples(y), c.low_row(y), c.n, kLumaCentre);
            if (c.steps.after) c.steps.after(y0, y1);
        });
    }
};

}  // namespace

PictureFilter::PictureFilter(const Kernels& kernels, std::int32_t threads)
    : kernels_(kernels), pool_(threads), scratch_(&allocate_large) {}

Status PictureFilter::filter(const Settings& settings, const FrameView& frame, bool converted,
                             const RowSteps& steps, Times* spent) {
    if (spent) *spent = Times{};
    const auto start = std::chrono::steady_clock::now();
    if (frame.w <= 0 || frame.h <= 0 || !frame.pixels) {
        const Status status = filter_frame(frame, settings, kernels_, pool_.parallel(), scratch_);
        if (spent) spent->engine = std::chrono::steady_clock::now() - start;
        return status;
    }

    // The engine drops the low 4 bits of every sample and returns multiples of 16. Those bits
    // are kept here and added back, so that where the filter leaves a region alone (flat or
    // smooth areas) a 10- or 16-bit picture keeps every level it had, and the output is not
    // biased half a step down. They are kept two to a byte: fresh memory is what a short run
    // pays most for. Rows are handled as runs of 3 w int16 samples (y, cb, cr).
    const std::size_t n = 3 * static_cast<std::size_t>(frame.w);
    const std::size_t row_bytes = low_bytes(n);
    if (converted) low_.resize(row_bytes * static_cast<std::size_t>(frame.h));

    // The steps and the treatment of converted samples run inside the engine's passes (its
    // RowHooks), so that a chunk of rows goes from the conversion to the engine's first step over
    // it, and from its last step to the conversion for the output, while it is in the cache.
    StepContext context{steps, frame, converted, n, row_bytes, low_.data(), spent != nullptr};

    RowHooks hooks;
    if (converted || steps.before) hooks.before = &StepContext::before;
    if (converted || steps.after) hooks.after = &StepContext::after;
    hooks.context = &context;
    hooks.prescaled = converted;
    const Status status =
        filter_frame(frame, settings, kernels_, pool_.parallel(), scratch_, hooks);
    // The engine turned the frame down before any hook ran: it is left as `before` makes it
    // (on this thread: the run fails anyway).
    if (status != Status::ok && steps.before)
        context.time(context.before_ns, [&] { steps.before(0, frame.h); });
    if (spent) {
        spent->before = std::chrono::nanoseconds(context.before_ns.load());
        spent->after = std::chrono::nanoseconds(context.after_ns.load());
        // The engine's share of the call: its wall time less the steps' time spread over the
        // threads that ran them (an estimate: the threads need not have been equally busy).
        const auto wall = std::chrono::steady_clock::now() - start;
        const auto steps_share = (spent->before + spent->after) / pool_.size();
        spent->engine = wall > steps_share ? wall - steps_share : std::chrono::nanoseconds{0};
    }
    return status;
}

}  // namespace korvane
