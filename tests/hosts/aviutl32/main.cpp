// korvane-host32: a stand-in for the video editor that loads a filter plug-in the way the editor
// does and runs raw frames through it. It knows the plug-in only through byte offsets: it shares
// no header with the filter, so a wrong offset on either side shows.
//
//   korvane-host32 PLUGIN.auf --check-table
//   korvane-host32 PLUGIN.auf [--threads N] [--track threshold,quant,n_shift,zero_weight]
//                  [--oversize WxH] --size WxH IN.yc48 OUT.yc48
//
// Exit status: 0 success; 1 the callback returned 0 for a frame; 2 bad usage or input;
// 3 the plug-in broke what the editor relies on (table, records, guards, calling convention).
#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "cdecl_call.h"
#include "table_check.h"
#include "tests/hosts/common/host_common.h"
#include "thread_service.h"

namespace host32 {
namespace {

using hosts::fail;
using hosts::Failure;
using hosts::File;
using hosts::kBroken;
using hosts::kRefused;
using hosts::kUsage;
using hosts::parse_int;
using hosts::Size;

// Byte offsets of the records the editor hands to the frame callback.
constexpr std::uint32_t kStateTrackValues = 68;
constexpr std::uint32_t kStateHostFunctions = 96;
constexpr std::uint32_t kFramePixels = 4;
constexpr std::uint32_t kFrameWidth = 12;
constexpr std::uint32_t kFrameHeight = 16;
constexpr std::uint32_t kFrameStride = 20;
constexpr std::uint32_t kHostRunOnAllThreads = 204;

// Pixels of padding after every row, and guard rows above and below the frame.
constexpr std::int32_t kRowPadding = 7;
constexpr std::size_t kPixelBytes = 6;

std::uint32_t word_of(const void* p) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

// A record of 32-bit words that the host fills at byte offsets. The words the filter has no
// business with hold values that point nowhere, so that reading the wrong word shows.
class Record {
public:
    Record(std::size_t bytes, std::uint32_t poison) : words_(bytes / 4) {
        for (std::size_t i = 0; i < words_.size(); ++i)
            words_[i] = poison | static_cast<std::uint32_t>(i * 4);
    }
    void put(std::uint32_t byte_offset, std::uint32_t value) { words_[byte_offset / 4] = value; }
    void* data() { return words_.data(); }
    std::vector<std::uint32_t> snapshot() const { return words_; }
    bool same_as(const std::vector<std::uint32_t>& before) const { return words_ == before; }

private:
    std::vector<std::uint32_t> words_;
};

Size parse_size(const std::string& s) { return hosts::parse_size(s, 65535); }

struct Options {
    std::string plugin;
    bool check_table_only = false;
    int threads = 0;
    std::optional<std::vector<long>> track;
    std::optional<Size> oversize;
    Size size;
    bool have_size = false;
    std::string in;
    std::string out;
};

Options parse_options(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) fail(kUsage, a + " needs a value");
            return argv[++i];
        };
        if (a == "--check-table") {
            o.check_table_only = true;
        } else if (a == "--threads") {
            const auto t = parse_int(value());
            if (!t || *t < 1 || *t > 64) fail(kUsage, "--threads takes 1..64");
            o.threads = static_cast<int>(*t);
        } else if (a == "--track") {
            o.track = hosts::parse_list(value(), 4, "--track");
        } else if (a == "--oversize") {
            o.oversize = parse_size(value());
        } else if (a == "--size") {
            o.size = parse_size(value());
            o.have_size = true;
        } else if (a.size() > 1 && a[0] == '-') {
            fail(kUsage, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    const hosts::Files files = hosts::take_files(
        positional, o.check_table_only, o.have_size,
        "usage: korvane-host32 PLUGIN.auf --check-table\n"
        "       korvane-host32 PLUGIN.auf [--threads N] [--track T,Q,N,Z] [--oversize WxH] "
        "--size WxH IN.yc48 OUT.yc48");
    o.plugin = files.plugin;
    o.in = files.in;
    o.out = files.out;
    return o;
}

struct Plugin {
    HMODULE module = nullptr;
    FilterEntry entry;
};

Plugin load_plugin(const std::string& path) {
    Plugin p;
    p.module = hosts::load_module(path);
    const void* get_table = hosts::export_of(p.module, "GetFilterTable");
    if (!get_table) fail(kBroken, path + " exports no GetFilterTable");

    const CallResult first = call_cdecl(get_table, nullptr, 0, next_misalignment());
    const CallResult second = call_cdecl(get_table, nullptr, 0, next_misalignment());
    if (first.faults | second.faults)
        fail(kBroken, "GetFilterTable does not keep the C calling convention");
    if (first.value != second.value) fail(kBroken, "GetFilterTable returned two different tables");

    std::vector<std::string> problems;
    p.entry = check_filter_table(
        p.module, reinterpret_cast<const unsigned char*>(static_cast<std::uintptr_t>(first.value)),
        problems);
    if (!problems.empty()) {
        std::string all = "the filter table is not what the editor reads:";
        for (const std::string& s : problems) all += "\n  " + s;
        fail(kBroken, all);
    }
    return p;
}

// The frame buffer: guard rows above and below, kRowPadding guard pixels after every row.
class FrameBuffer {
public:
    explicit FrameBuffer(Size size)
        : w_(size.w),
          h_(size.h),
          stride_(size.w + kRowPadding),
          samples_(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(h_ + 2) * 3) {
        for (std::size_t i = 0; i < samples_.size(); ++i) samples_[i] = guard_value(i);
    }
    std::int32_t stride() const { return stride_; }
    std::int16_t* pixels() { return samples_.data() + static_cast<std::size_t>(stride_) * 3; }

    void load(const std::vector<unsigned char>& tight) {
        for (std::int32_t y = 0; y < h_; ++y)
            std::memcpy(row(y), tight.data() + row_bytes() * static_cast<std::size_t>(y),
                        row_bytes());
    }
    void store(std::vector<unsigned char>& tight) {
        for (std::int32_t y = 0; y < h_; ++y)
            std::memcpy(tight.data() + row_bytes() * static_cast<std::size_t>(y), row(y),
                        row_bytes());
    }
    // The number of guard samples that no longer hold their value.
    std::size_t damaged_guards() const {
        std::size_t damaged = 0;
        const std::size_t row_samples = static_cast<std::size_t>(stride_) * 3;
        for (std::size_t i = 0; i < samples_.size(); ++i) {
            const std::size_t r = i / row_samples;
            const std::size_t column = (i % row_samples) / 3;
            const bool inside = r >= 1 && r <= static_cast<std::size_t>(h_) &&
                                column < static_cast<std::size_t>(w_);
            if (!inside && samples_[i] != guard_value(i)) ++damaged;
        }
        return damaged;
    }

private:
    static std::int16_t guard_value(std::size_t i) {
        return static_cast<std::int16_t>(0x5A5Au ^ ((i * 0x9E37u) & 0xFFFFu));
    }
    std::size_t row_bytes() const { return static_cast<std::size_t>(w_) * kPixelBytes; }
    std::int16_t* row(std::int32_t y) {
        return pixels() + static_cast<std::size_t>(y) * static_cast<std::size_t>(stride_) * 3;
    }

    std::int32_t w_, h_, stride_;
    std::vector<std::int16_t> samples_;
};

// The editor's records around one plug-in: FilterState, HostFunctions, the track values and
// FrameInfo, all at their byte offsets.
class Records {
public:
    Records(const ThreadService& service, const std::vector<std::int32_t>& track)
        : track_(track),
          state_(256, 0xBAD10000u),
          functions_(512, 0xBAD20000u),
          frame_(128, 0xBAD30000u) {
        functions_.put(kHostRunOnAllThreads, word_of(service.entry()));
        state_.put(kStateTrackValues, word_of(track_.data()));
        state_.put(kStateHostFunctions, word_of(functions_.data()));
    }

    // Calls the frame callback on `pixels`, then checks that the records are as they were.
    std::uint32_t call(const void* callback, void* pixels, Size size, std::int32_t stride) {
        frame_.put(kFramePixels, word_of(pixels));
        frame_.put(kFrameWidth, static_cast<std::uint32_t>(size.w));
        frame_.put(kFrameHeight, static_cast<std::uint32_t>(size.h));
        frame_.put(kFrameStride, static_cast<std::uint32_t>(stride));
        const auto state = state_.snapshot();
        const auto functions = functions_.snapshot();
        const auto frame = frame_.snapshot();
        const auto track = track_;
        const std::uint32_t args[2] = {word_of(state_.data()), word_of(frame_.data())};
        const CallResult r = call_cdecl(callback, args, 2, next_misalignment());
        if (r.faults) fail(kBroken, "the frame callback does not keep the C calling convention");
        if (!state_.same_as(state) || !functions_.same_as(functions) || !frame_.same_as(frame) ||
            track_ != track)
            fail(kBroken, "the frame callback wrote into the editor's records");
        return r.value;
    }

private:
    std::vector<std::int32_t> track_;
    Record state_;
    Record functions_;
    Record frame_;
};

// Address space held for the length of one call, so that the plug-in cannot get a piece of the
// given size anywhere: pieces of that size are reserved until the system has none left. How
// much a 32-bit process has free, and where, depends on Wine, the emulator and the executable's
// flags (often about 500 MB in one piece, plus areas that the system hands out only when the
// rest is gone), so a frame cannot be made too large by its size alone.
class Ballast {
public:
    explicit Ballast(std::size_t piece) {
        // 4 GB of address space at most, whatever the piece size.
        const std::size_t most = piece ? (std::size_t{0xFFFFFFFF} / piece) + 1 : 0;
        while (held_.size() < most) {
            void* r = VirtualAlloc(nullptr, piece, MEM_RESERVE, PAGE_NOACCESS);
            if (!r) break;
            held_.push_back(r);
        }
    }
    ~Ballast() {
        for (void* r : held_) VirtualFree(r, 0, MEM_RELEASE);
    }
    Ballast(const Ballast&) = delete;
    Ballast& operator=(const Ballast&) = delete;

private:
    std::vector<void*> held_;
};

// A frame too large for the memory the filter can still get: its pixels are reserved address
// space that may not be read or written, and no free piece of a quarter of its size is left for
// the planes the filter needs, so the callback must refuse it without touching it.
void offer_oversized_frame(Records& records, const void* callback, Size size) {
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(size.w) * static_cast<std::uint64_t>(size.h) * kPixelBytes;
    void* reserved = bytes <= 0x7FFFFFFFu ? VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes),
                                                         MEM_RESERVE, PAGE_NOACCESS)
                                          : nullptr;
    if (!reserved) fail(kUsage, "cannot reserve the address space of the oversized frame");
    std::uint32_t result;
    {
        const Ballast ballast(static_cast<std::size_t>(bytes / 4));
        result = records.call(callback, reserved, size, size.w);
    }
    VirtualFree(reserved, 0, MEM_RELEASE);
    if (result != 0)
        fail(kBroken, "the callback accepted an oversized frame (" + std::to_string(size.w) + "x" +
                          std::to_string(size.h) + ")");
}

int run(int argc, char** argv) {
    const Options o = parse_options(argc, argv);
    const Plugin plugin = load_plugin(o.plugin);
    if (o.check_table_only) {
        // The instruction sets the plug-in's dispatch sees, so that a run under an emulated
        // processor shows which kernels it exercised.
        __builtin_cpu_init();
        std::printf("%s: filter table as expected; processor: sse4.1 %s, avx2 %s, avx512f %s\n",
                    o.plugin.c_str(), __builtin_cpu_supports("sse4.1") ? "yes" : "no",
                    __builtin_cpu_supports("avx2") ? "yes" : "no",
                    __builtin_cpu_supports("avx512f") ? "yes" : "no");
        return 0;
    }

    std::vector<std::int32_t> track(plugin.entry.defaults, plugin.entry.defaults + 4);
    if (o.track) {
        for (std::size_t i = 0; i < 4; ++i) {
            const long v = (*o.track)[i];
            if (v < plugin.entry.minimums[i] || v > plugin.entry.maximums[i])
                fail(kUsage, "track value " + std::to_string(v) + " outside the track's range");
            track[i] = static_cast<std::int32_t>(v);
        }
    }
    int threads = o.threads;
    if (threads == 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        threads = static_cast<int>(info.dwNumberOfProcessors);
        threads = threads < 1 ? 1 : threads > 64 ? 64 : threads;
    }

    File in(std::fopen(o.in.c_str(), "rb"));
    if (!in.handle) fail(kUsage, "cannot open " + o.in);
    File out(std::fopen(o.out.c_str(), "wb"));
    if (!out.handle) fail(kUsage, "cannot create " + o.out);

    ThreadService service(threads);
    Records records(service, track);
    FrameBuffer buffer(o.size);
    std::vector<unsigned char> tight(static_cast<std::size_t>(o.size.w) *
                                     static_cast<std::size_t>(o.size.h) * kPixelBytes);
    for (long frame = 0;; ++frame) {
        const std::size_t got = std::fread(tight.data(), 1, tight.size(), in.handle);
        if (got == 0 && std::feof(in.handle)) break;
        if (got != tight.size())
            fail(kUsage, o.in + ": frame " + std::to_string(frame) + " is incomplete");
        if (o.oversize) offer_oversized_frame(records, plugin.entry.callback, *o.oversize);

        buffer.load(tight);
        const std::uint32_t result =
            records.call(plugin.entry.callback, buffer.pixels(), o.size, buffer.stride());
        if (service.faults()) fail(kBroken, "a worker does not keep the C calling convention");
        if (const std::size_t damaged = buffer.damaged_guards())
            fail(kBroken, "frame " + std::to_string(frame) + ": " + std::to_string(damaged) +
                              " samples outside the frame were changed");
        if (result == 0)
            fail(kRefused, "frame " + std::to_string(frame) + ": the callback returned 0");
        buffer.store(tight);
        if (std::fwrite(tight.data(), 1, tight.size(), out.handle) != tight.size())
            fail(kUsage, "cannot write " + o.out);
    }
    if (std::fflush(out.handle) != 0) fail(kUsage, "cannot write " + o.out);
    return 0;
}

}  // namespace
}  // namespace host32

int main(int argc, char** argv) {
    return hosts::host_main("korvane-host32", host32::run, argc, argv);
}
