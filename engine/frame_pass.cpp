// The frame pass: pre-scale, the block pass of every shift band by band, and the blend, each on
// all threads.
//
// The blend needs, per pixel, the 16-bit wrapping sum of one value from every shift, and that sum
// does not depend on the order of the additions. So the frame is split by rows, not by shifts:
// thread k takes band k and runs every shift's blocks that start in it, summing into the band's
// rows of one accumulation plane. A block that starts near the bottom of a band reaches up to 7
// rows into the next; those parts go into 7 rows of scratch just below the band's own, which
// the next band adds in as it blends. The scratch is therefore one frame plus 7 rows per band,
// whatever the number of shifts, and each thread blends its own band.
//
// Three rounds of jobs, ordered by the parallel-for alone: the pre-scale (blocks read up to 7
// rows of the next band, which must be in the working scale by then), the bands, and the blend
// (which writes frame rows that the band above read). The caller's hooks run in the first round
// just before the pre-scale of their rows and in the last just after the blend of them.
#include "engine/frame_pass.h"

#include <cstdlib>
#include <limits>

#include "engine/block_pass.h"
#include "engine/engine.h"

namespace korvane {
namespace {

constexpr std::int32_t kSpillRows = 7;

// Rows per call of the caller's hooks: small enough that a chunk stays in the cache between the
// hook and the engine's step over it.
constexpr std::int32_t kHookRows = 8;

struct FrameJob {
    FrameView frame;
    const Kernels* kernels;
    BandPlan plan;
    std::int32_t shifts;
    ShapeParams shape;
    BlendParams blend;
    YcPixel* scratch;
    RowHooks hooks;

    PlaneRows band_rows(std::int32_t band) const {
        return {scratch + plan.scratch_offset(band) * frame.w, plan.begin(band), frame.w};
    }
};

extern "C" void prescale_job(std::int32_t index, std::int32_t /*count*/, void* param1,
                             void* /*param2*/) {
    const FrameJob& job = *static_cast<const FrameJob*>(param1);
    if (index < 0 || index >= job.plan.bands) return;
    const std::int32_t b1 = job.plan.end(index);
    for (std::int32_t y0 = job.plan.begin(index); y0 < b1; y0 += kHookRows) {
        const std::int32_t y1 = y0 + kHookRows < b1 ? y0 + kHookRows : b1;
        if (job.hooks.before) job.hooks.before(job.hooks.context, y0, y1);
        if (!job.hooks.prescaled)
            for (std::int32_t y = y0; y < y1; ++y)
                job.kernels->prescale(job.frame.row(y), job.frame.w);
    }
}

extern "C" void band_job(std::int32_t index, std::int32_t /*count*/, void* param1,
                         void* /*param2*/) {
    const FrameJob& job = *static_cast<const FrameJob*>(param1);
    if (index < 0 || index >= job.plan.bands) return;
    band_layers(*job.kernels, job.frame, job.band_rows(index), job.plan.begin(index),
                job.plan.end(index), job.shifts, job.shape);
}

extern "C" void blend_job(std::int32_t index, std::int32_t /*count*/, void* param1,
                          void* /*param2*/) {
    const FrameJob& job = *static_cast<const FrameJob*>(param1);
    if (index < 0 || index >= job.plan.bands) return;
    const std::int32_t b0 = job.plan.begin(index);
    const std::int32_t b1 = job.plan.end(index);
    const PlaneRows own = job.band_rows(index);
    // The first rows also take what the band above spilled into its rows below it.
    std::int32_t spilled = b0;
    PlaneRows above = own;
    if (index > 0) {
        above = job.band_rows(index - 1);
        spilled = b0 + kSpillRows < b1 ? b0 + kSpillRows : b1;
    }
    for (std::int32_t y0 = b0; y0 < b1; y0 += kHookRows) {
        const std::int32_t y1 = y0 + kHookRows < b1 ? y0 + kHookRows : b1;
        for (std::int32_t y = y0; y < y1; ++y) {
            if (y < spilled)
                job.kernels->blend_row(job.frame.row(y), above.row(y), own.row(y) - above.row(y), 2,
                                       job.frame.w, job.blend);
            else
                job.kernels->blend_row(job.frame.row(y), own.row(y), 0, 1, job.frame.w, job.blend);
        }
        if (job.hooks.after) job.hooks.after(job.hooks.context, y0, y1);
    }
}

bool valid(const FrameView& frame, const Settings& s, const Parallel& parallel) {
    if (s.threshold < kTrackMin[kThreshold] || s.threshold > kTrackMax[kThreshold]) return false;
    if (s.chroma_threshold < -1 || s.chroma_threshold > kTrackMax[kThreshold]) return false;
    if (s.quant < kTrackMin[kQuant] || s.quant > kTrackMax[kQuant]) return false;
    if (s.zero_weight < kTrackMin[kZeroWeight] || s.zero_weight > kTrackMax[kZeroWeight])
        return false;
    if (s.shifts < 1 || s.shifts > kMaxShifts) return false;
    if (parallel.threads < 1 || parallel.threads > kMaxThreads || !parallel.run) return false;
    if (frame.w < 0 || frame.h < 0) return false;
    if (frame.w == 0 || frame.h == 0) return true;
    return frame.pixels != nullptr && frame.stride >= frame.w;
}

void run_serially(void* /*context*/, Job job, void* param1, void* param2) {
    job(0, 1, param1, param2);
}

}  // namespace

BandPlan::BandPlan(std::int32_t height, std::int32_t threads) : h(height) {
    const std::int32_t units = (height + 7) / 8;
    bands = threads < units ? threads : units;
}

std::int32_t BandPlan::begin(std::int32_t band) const {
    const std::int32_t units = (h + 7) / 8;
    return static_cast<std::int32_t>(8 * (static_cast<std::int64_t>(units) * band / bands));
}

std::int64_t BandPlan::scratch_offset(std::int32_t band) const {
    return begin(band) + static_cast<std::int64_t>(kSpillRows) * band;
}

Parallel serial() { return {1, &run_serially, nullptr}; }

void Scratch::Free::operator()(YcPixel* p) const { std::free(p); }

YcPixel* Scratch::get(std::size_t pixels) {
    if (memory_ && size_ == pixels) return memory_.get();
    release();
    if (pixels == 0 || pixels > std::numeric_limits<std::ptrdiff_t>::max() / sizeof(YcPixel))
        return nullptr;
    void* p =
        allocator_ ? allocator_(pixels, sizeof(YcPixel)) : std::malloc(pixels * sizeof(YcPixel));
    memory_.reset(static_cast<YcPixel*>(p));
    size_ = memory_ ? pixels : 0;
    return memory_.get();
}

void Scratch::release() {
    memory_.reset();
    size_ = 0;
}

std::size_t scratch_pixels(std::int32_t w, std::int32_t h, std::int32_t threads) {
    if (w <= 0 || h <= 0 || threads < 1) return 0;
    const BandPlan plan(h, threads);
    const std::uint64_t rows =
        static_cast<std::uint64_t>(h) + static_cast<std::uint64_t>(kSpillRows) * (plan.bands - 1);
    const std::uint64_t pixels = rows * static_cast<std::uint64_t>(w);
    if (pixels > std::numeric_limits<std::size_t>::max()) return 0;
    return static_cast<std::size_t>(pixels);
}

Status filter_frame(const FrameView& frame, const Settings& settings, const Kernels& kernels,
                    const Parallel& parallel, Scratch& scratch) {
    return filter_frame(frame, settings, kernels, parallel, scratch, RowHooks{});
}

Status filter_frame(const FrameView& frame, const Settings& settings, const Kernels& kernels,
                    const Parallel& parallel, Scratch& scratch, const RowHooks& hooks) {
    if (!valid(frame, settings, parallel)) return Status::invalid_argument;
    if (frame.w == 0 || frame.h == 0) return Status::ok;
    const std::size_t pixels = scratch_pixels(frame.w, frame.h, parallel.threads);
    YcPixel* memory = pixels ? scratch.get(pixels) : nullptr;
    if (!memory) return Status::out_of_memory;

    FrameJob job{frame,
                 &kernels,
                 BandPlan(frame.h, parallel.threads),
                 settings.shifts,
                 make_shape_params(static_cast<std::int16_t>(settings.threshold),
                                   static_cast<std::int16_t>(settings.quant),
                                   static_cast<std::int16_t>(settings.chroma_threshold < 0
                                                                 ? settings.threshold
                                                                 : settings.chroma_threshold)),
                 make_blend_params(settings.zero_weight, settings.zero_weight + settings.shifts),
                 memory,
                 hooks};
    parallel.run(parallel.context, &prescale_job, &job, nullptr);
    parallel.run(parallel.context, &band_job, &job, nullptr);
    parallel.run(parallel.context, &blend_job, &job, nullptr);
    return Status::ok;
}

}  // namespace korvane
