// Speed of the engine per kernel and per frame, at every tier this machine has.
//
//   Kernel/<kernel>/<tier>        ns_per_block: one 8x8 block (kernels on groups divide by 16;
//                                 block_row counts blocks of three channels)
//   Frame/<tier>/<n_shift>/<threads>
//                                 1920x1080 through the frame callback: ms_per_frame and
//                                 Mpix_shifts_per_s (pixels x shift positions actually run,
//                                 n_shift raised to a multiple of the thread count); the frames
//                                 of KORVANE_BENCH_FRAMES when it is set (callback_frames)
//   MemoryBound/<threads>
//                                 plain streaming passes over buffers of the same sizes that move
//                                 the bytes one such frame must move between memory and the
//                                 caches: the frame pre-scaled in place, per thread the frame read
//                                 and its plane written once (a thread's later layers find both
//                                 in the cache), the blend reading frame and planes and writing
//                                 the frame. The same for every n_shift.
//
// Tiers are numbered 0 scalar, 1 sse4.1, 2 avx2, 3 avx512; a tier the machine lacks reports an
// error instead of a time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "aviutl/filter_descriptor.h"
#include "aviutl/frame_callback.h"
#include "engine/cpu.h"
#include "engine/engine.h"
#include "engine/group_kernels.h"
#include "engine/kernels.h"
#include "runtime/thread_pool.h"
#include "tests/hosts/inprocess/host.h"

namespace korvane {
namespace {

constexpr std::int32_t kWidth = 1920;
constexpr std::int32_t kHeight = 1080;

bool pick_tier(benchmark::State& state, std::int64_t tier) {
    if (!tier_runs_here(static_cast<CpuTier>(tier))) {
        state.SkipWithError("tier not available on this machine");
        return false;
    }
    state.SetLabel(tier_name(static_cast<CpuTier>(tier)));
    return true;
}

// ns per unit: an inverted rate of units * 1e-9 per second.
benchmark::Counter ns_per(double units) {
    return benchmark::Counter(units * 1e-9,
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A frame in the host's scale that behaves like decoded video: smooth gradients with a blocky
// 8x8 staircase (the artefact the filter is for), a few hard edges, and low-level noise.
std::vector<YcPixel> make_frame(std::int32_t w, std::int32_t h) {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> noise(-48, 48);
    std::vector<YcPixel> f(static_cast<std::size_t>(w) * h);
    for (std::int32_t y = 0; y < h; ++y) {
        for (std::int32_t x = 0; x < w; ++x) {
            const int bx = x / 8, by = y / 8;
            int luma = 600 + (bx * 23 + by * 11) % 2400 + ((x / 240 + y / 135) % 2) * 700;
            luma += noise(rng);
            const int cb = ((bx * 7) % 900) - 450 + noise(rng) / 2;
            const int cr = ((by * 9) % 800) - 400 + noise(rng) / 2;
            f[static_cast<std::size_t>(y) * w + x] = {static_cast<std::int16_t>(luma),
                                                      static_cast<std::int16_t>(cb),
                                                      static_cast<std::int16_t>(cr)};
        }
    }
    return f;
}

// The frames of the Frame benchmarks: make_frame's, or those of the raw .yc48 file that
// KORVANE_BENCH_FRAMES names (1920x1080 YC48, as `korvane-dct --threshold 0 --quant 1 --n-shift
// 1 video.y4m frames.yc48` writes them; up to 32), taken in turn, so that the callback can be
// timed on the frames that the whole command is timed on. Empty: the file holds no whole frame.
std::vector<std::vector<YcPixel>> callback_frames(std::int32_t w, std::int32_t h) {
    const char* path = std::getenv("KORVANE_BENCH_FRAMES");
    if (!path || !*path) return {make_frame(w, h)};
    std::vector<std::vector<YcPixel>> frames;
    if (std::FILE* file = std::fopen(path, "rb")) {
        std::vector<YcPixel> f(static_cast<std::size_t>(w) * h);
        while (frames.size() < 32 &&
               std::fread(f.data(), sizeof(YcPixel), f.size(), file) == f.size())
            frames.push_back(f);
        std::fclose(file);
    }
    return frames;
}

// The same frame pre-scaled (the block pass's working scale).
std::vector<YcPixel> make_working_frame(std::int32_t w, std::int32_t h) {
    std::vector<YcPixel> f = make_frame(w, h);
    for (YcPixel& p : f) {
        p.y = static_cast<std::int16_t>(p.y >> 4);
        p.cb = static_cast<std::int16_t>(p.cb >> 4);
        p.cr = static_cast<std::int16_t>(p.cr >> 4);
    }
    return f;
}

// Groups of realistic coefficients: forward transforms of blocks of the working frame.
std::vector<std::int32_t> make_groups(bool coefficients) {
    const std::vector<YcPixel> frame = make_working_frame(8 * kGroupBlocks, 8);
    std::vector<std::int32_t> groups(kGroupChannels * kGroupElements);
    const GroupKernels& scalar = *group_kernels_for(CpuTier::scalar);
    scalar.gather(frame.data(), 8 * kGroupBlocks, kGroupBlocks, groups.data());
    if (coefficients)
        for (int ch = 0; ch < kGroupChannels; ++ch)
            scalar.fdct(groups.data() + ch * kGroupElements);
    return groups;
}

enum KernelId { kFdct, kIdct, kShapeLuma, kShapeChroma, kGather, kScatter, kBlockRow };

void BM_Kernel(benchmark::State& state) {
    const auto id = static_cast<KernelId>(state.range(0));
    if (!pick_tier(state, state.range(1))) return;
    const auto tier = static_cast<CpuTier>(state.range(1));
    const Kernels k = kernels_for(tier);
    const GroupKernels& g = *group_kernels_for(tier);
    const ShapeParams shape = make_shape_params(24, 8);
    const std::vector<std::int32_t> input =
        make_groups(id == kIdct || id == kShapeLuma || id == kShapeChroma);
    std::vector<std::int32_t> work(input.size());
    const std::vector<YcPixel> frame = make_working_frame(kWidth, 8);
    std::vector<YcPixel> plane(frame.size());
    const std::int32_t row_blocks = (kWidth - 8) / 8;  // one row of a 1920-wide frame
    double blocks = 0;
    for (auto _ : state) {
        switch (id) {
            case kFdct:
                std::memcpy(work.data(), input.data(), kGroupElements * sizeof(std::int32_t));
                g.fdct(work.data());
                blocks += kGroupBlocks;
                break;
            case kIdct:
                std::memcpy(work.data(), input.data(), kGroupElements * sizeof(std::int32_t));
                g.idct(work.data());
                blocks += kGroupBlocks;
                break;
            case kShapeLuma:
                std::memcpy(work.data(), input.data(), kGroupElements * sizeof(std::int32_t));
                g.shape_luma(work.data(), shape);
                blocks += kGroupBlocks;
                break;
            case kShapeChroma:
                std::memcpy(work.data(), input.data(), kGroupElements * sizeof(std::int32_t));
                g.shape_chroma(work.data(), shape);
                blocks += kGroupBlocks;
                break;
            case kGather:
                g.gather(frame.data() + 8 * (state.iterations() % 200), kWidth, kGroupBlocks,
                         work.data());
                blocks += kGroupBlocks;
                break;
            case kScatter:
                g.scatter_add(input.data(), plane.data() + 8 * (state.iterations() % 200), kWidth,
                              kGroupBlocks);
                blocks += kGroupBlocks;
                break;
            case kBlockRow:
                k.block_row(frame.data(), kWidth, plane.data(), kWidth, row_blocks, shape, false);
                blocks += row_blocks;
                break;
        }
        benchmark::DoNotOptimize(work.data());
        benchmark::DoNotOptimize(plane.data());
        benchmark::ClobberMemory();
    }
    state.counters["ns_per_block"] = ns_per(blocks);
}

std::string kernel_name(int id) {
    static const char* const names[] = {"fdct",   "idct",    "shape_luma", "shape_chroma",
                                        "gather", "scatter", "block_row"};
    return names[id];
}

// The effective number of shift positions: n_shift raised to a multiple of the thread count.
std::int64_t effective_shifts(std::int64_t n_shift, std::int64_t threads) {
    return (n_shift + threads - 1) / threads * threads;
}

void BM_Frame(benchmark::State& state) {
    if (!pick_tier(state, state.range(0))) return;
    const auto n_shift = static_cast<std::int32_t>(state.range(1));
    const auto threads = static_cast<std::int32_t>(state.range(2));
    Host host(GetFilterTable(), threads);
    host.track(kNShift) = n_shift;
    // The frame callback's steps with the tier's table and a scratch kept between frames, as
    // the plug-in keeps its own.
    const Kernels kernels = kernels_for(static_cast<CpuTier>(state.range(0)));
    Scratch scratch;
    const auto callback = [&](FilterState* s, FrameInfo* f) {
        return filter_host_frame(s, f, kernels, scratch);
    };
    const std::vector<std::vector<YcPixel>> sources = callback_frames(kWidth, kHeight);
    if (sources.empty()) {
        state.SkipWithError("KORVANE_BENCH_FRAMES holds no 1920x1080 frame");
        return;
    }
    std::vector<YcPixel> frame(sources.front().size());
    std::size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<YcPixel>& source = sources[next++ % sources.size()];
        std::memcpy(frame.data(), source.data(), source.size() * sizeof(YcPixel));
        state.ResumeTiming();
        if (host.filter_with(callback, frame.data(), kWidth, kHeight, kWidth) != 1) {
            state.SkipWithError("the frame callback failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    const double frames = static_cast<double>(state.iterations());
    state.counters["ms_per_frame"] = benchmark::Counter(
        frames * 1e-3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["Mpix_shifts_per_s"] = benchmark::Counter(
        frames * kWidth * kHeight * static_cast<double>(effective_shifts(n_shift, threads)) * 1e-6,
        benchmark::Counter::kIsRate);
}

using Words = std::vector<std::uint64_t>;

struct StreamJob {
    Words* frame;
    Words* plane;
};

// Streaming passes with the traffic of the frame pass's rounds (one 64-bit add per word, which
// the compiler vectorises; no arithmetic worth the name, so memory sets the pace). Each thread
// takes its band of the frame and of the one accumulation plane, as the engine does.
std::pair<std::size_t, std::size_t> band(std::size_t n, std::int32_t t, std::int32_t count) {
    return {n * static_cast<std::size_t>(t) / static_cast<std::size_t>(count),
            n * static_cast<std::size_t>(t + 1) / static_cast<std::size_t>(count)};
}

// The pre-scale: the frame in place.
extern "C" void prescale_stream_worker(std::int32_t t, std::int32_t count, void* param1, void*) {
    const StreamJob& job = *static_cast<const StreamJob*>(param1);
    std::uint64_t* frame = job.frame->data();
    const auto [begin, end] = band(job.frame->size(), t, count);
    for (std::size_t i = begin; i < end; ++i) frame[i] += 1;
    benchmark::ClobberMemory();
}

// The bands: the frame read and the plane written, once (later shifts find their rows in the
// cache).
extern "C" void stream_worker(std::int32_t t, std::int32_t count, void* param1, void*) {
    const StreamJob& job = *static_cast<const StreamJob*>(param1);
    const std::uint64_t* frame = job.frame->data();
    std::uint64_t* plane = job.plane->data();
    const auto [begin, end] = band(job.frame->size(), t, count);
    for (std::size_t i = begin; i < end; ++i) plane[i] = frame[i] + 1;
    benchmark::ClobberMemory();
}

// The blend: the plane and the frame read, the frame written.
extern "C" void blend_stream_worker(std::int32_t t, std::int32_t count, void* param1, void*) {
    const StreamJob& job = *static_cast<const StreamJob*>(param1);
    std::uint64_t* frame = job.frame->data();
    const std::uint64_t* plane = job.plane->data();
    const auto [begin, end] = band(job.frame->size(), t, count);
    for (std::size_t i = begin; i < end; ++i) frame[i] += plane[i];
    benchmark::ClobberMemory();
}

void BM_MemoryBound(benchmark::State& state) {
    const auto threads = static_cast<std::int32_t>(state.range(0));
    const std::size_t bytes_per_frame =
        static_cast<std::size_t>(kWidth) * kHeight * sizeof(YcPixel);
    const std::size_t words = bytes_per_frame / sizeof(std::uint64_t);
    Words frame(words, 1);
    Words plane(words, 2);
    StreamJob job{&frame, &plane};
    ThreadPool pool(threads);
    for (auto _ : state) {
        pool.run_on_all(&prescale_stream_worker, &job, nullptr);
        pool.run_on_all(&stream_worker, &job, nullptr);
        pool.run_on_all(&blend_stream_worker, &job, nullptr);
    }
    const double frames = static_cast<double>(state.iterations());
    // Bytes moved per frame, in frame sizes F: 2 F pre-scale, 2 F bands, 3 F blend.
    const double bytes = static_cast<double>(bytes_per_frame) * 7.0;
    state.counters["ms_per_frame"] = benchmark::Counter(
        frames * 1e-3, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["GB_per_s"] =
        benchmark::Counter(frames * bytes * 1e-9, benchmark::Counter::kIsRate);
}

void register_all() {
    for (int id = kFdct; id <= kBlockRow; ++id)
        for (int tier = 0; tier < 4; ++tier)
            benchmark::RegisterBenchmark(
                ("Kernel/" + kernel_name(id) + "/" + tier_name(static_cast<CpuTier>(tier))).c_str(),
                BM_Kernel)
                ->Args({id, tier});
    for (int tier = 0; tier < 4; ++tier)
        for (int n_shift : {1, 4, 16, 64})
            for (int threads : {1, 2, 16})
                benchmark::RegisterBenchmark(
                    ("Frame/" + std::string(tier_name(static_cast<CpuTier>(tier))) + "/n" +
                     std::to_string(n_shift) + "/t" + std::to_string(threads))
                        .c_str(),
                    BM_Frame)
                    ->Args({tier, n_shift, threads})
                    ->Unit(benchmark::kMillisecond)
                    ->UseRealTime()
                    ->MinTime(0.5);
    for (int threads : {1, 2})
        benchmark::RegisterBenchmark(("MemoryBound/t" + std::to_string(threads)).c_str(),
                                     BM_MemoryBound)
            ->Arg(threads)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime()
            ->MinTime(0.5);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
    korvane::register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("best tier", korvane::tier_name(korvane::best_tier()));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
