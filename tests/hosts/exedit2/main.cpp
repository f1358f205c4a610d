// korvane-host64: a stand-in for AviUtl ExEdit2 that loads a .auf2 filter plug-in the way the
// editor does and runs 8-bit RGBA pictures through it. It knows the plug-in only through byte
// offsets: it shares no header with the filter, so a wrong offset on either side shows.
//
//   korvane-host64 PLUGIN.auf2 --check-table
//   korvane-host64 PLUGIN.auf2 [--track threshold,quant,n_shift,zero_weight]... [--callers N]
//                  [--repeat N] [--refuse WxH] --size WxH IN.rgba OUT.rgba
//
// IN.rgba holds frames of WxH pixels, 4 bytes each (r, g, b, a), rows top to bottom; OUT.rgba gets
// the filtered frames. Frame i is filtered with the i-th --track values, taken in turn (the
// defaults without any). --callers N calls func_proc_video from N host threads at once, each on an
// object of its own holding the same picture, and requires the same output from all. --repeat N
// calls it N times per frame and prints the time of the calls. --refuse WxH first offers an
// object of WxH with too little address space left for the plug-in to filter it: it must return
// false without replacing the picture.
//
// Exit status: 0 success; 1 func_proc_video returned false for a frame; 2 bad usage or input;
// 3 the plug-in broke what the editor relies on (table, records, items, buffers).
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pages.h"
#include "table_check.h"
#include "tests/hosts/common/host_common.h"

namespace host64 {
namespace {

using hosts::fail;
using hosts::Failure;
using hosts::File;
using hosts::kRefused;
using hosts::kUsage;
using hosts::parse_int;
using hosts::Size;

// The records of one call, at their byte offsets.
constexpr std::size_t kSceneBytes = 20;  // width, height, rate, scale, sample_rate
constexpr std::size_t kObjectBytes = 40;
constexpr std::size_t kObjectId = 0;
constexpr std::size_t kObjectFrame = 8;
constexpr std::size_t kObjectFrameTotal = 12;
constexpr std::size_t kObjectWidth = 32;
constexpr std::size_t kObjectHeight = 36;
constexpr std::size_t kVideoBytes = 32;  // the functions a simple filter may use end here
constexpr std::size_t kVideoScene = 0;
constexpr std::size_t kVideoObject = 8;
constexpr std::size_t kVideoGetImage = 16;
constexpr std::size_t kVideoSetImage = 24;

template <typename T>
void write_at(unsigned char* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof value);
}

Size parse_size(const std::string& s) { return hosts::parse_size(s, 100000); }

std::size_t picture_bytes(Size s) {
    return static_cast<std::size_t>(s.w) * static_cast<std::size_t>(s.h) * 4;
}

struct Options {
    std::string plugin;
    bool check_table_only = false;
    std::vector<std::vector<long>> tracks;
    int callers = 1;
    int repeat = 1;
    std::optional<Size> refuse;
    std::optional<Size> size;
    std::string in;
    std::string out;
};

Options parse_options(int argc, char** argv) {
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) fail(kUsage, a + " needs a value");
            return argv[++i];
        };
        auto count = [&](int most) {
            const auto v = parse_int(value());
            if (!v || *v < 1 || *v > most) fail(kUsage, a + " takes 1.." + std::to_string(most));
            return static_cast<int>(*v);
        };
        if (a == "--check-table") {
            o.check_table_only = true;
        } else if (a == "--track") {
            o.tracks.push_back(hosts::parse_list(value(), 4, "--track"));
        } else if (a == "--callers") {
            o.callers = count(16);
        } else if (a == "--repeat") {
            o.repeat = count(1000);
        } else if (a == "--refuse") {
            o.refuse = parse_size(value());
        } else if (a == "--size") {
            o.size = parse_size(value());
        } else if (a.size() > 1 && a[0] == '-') {
            fail(kUsage, "unknown option " + a);
        } else {
            positional.push_back(a);
        }
    }
    const hosts::Files files = hosts::take_files(
        positional, o.check_table_only, o.size.has_value(),
        "usage: korvane-host64 PLUGIN.auf2 --check-table\n"
        "       korvane-host64 PLUGIN.auf2 [--track T,Q,N,Z]... [--callers N] [--repeat N] "
        "[--refuse WxH] --size WxH IN.rgba OUT.rgba");
    o.plugin = files.plugin;
    o.in = files.in;
    o.out = files.out;
    return o;
}

struct Plugin {
    HMODULE module = nullptr;
    PluginEntry entry;
    void (*uninitialize)() = nullptr;
};

Plugin load_plugin(const std::string& path) {
    Plugin p;
    p.module = hosts::load_module(path);
    using GetTable = const unsigned char* (*)();
    const auto get_table =
        reinterpret_cast<GetTable>(hosts::export_of(p.module, "GetFilterPluginTable"));
    if (!get_table) fail(kBroken, path + " exports no GetFilterPluginTable");
    if (const auto initialize = reinterpret_cast<bool (*)(std::uint32_t)>(
            hosts::export_of(p.module, "InitializePlugin")))
        if (!initialize(2000000)) fail(kBroken, "InitializePlugin refused to load");
    p.uninitialize = reinterpret_cast<void (*)()>(hosts::export_of(p.module, "UninitializePlugin"));

    const unsigned char* table = get_table();
    if (get_table() != table) fail(kBroken, "GetFilterPluginTable returned two different tables");
    std::vector<std::string> problems;
    p.entry = check_plugin_table(p.module, table, problems);
    if (!problems.empty()) {
        std::string all = "the plug-in table is not what the editor reads:";
        for (const std::string& s : problems) all += "\n  " + s;
        fail(kBroken, all);
    }
    return p;
}

// --- One call of func_proc_video --------------------------------------------------------------

// The object one call filters, and what the plug-in did to it through the two functions.
struct Call {
    Size size;
    std::vector<unsigned char>* picture;
    int gets = 0;
    int sets = 0;
    std::string problem;  // the first thing the plug-in did wrong, if any
};

thread_local Call* t_call = nullptr;
std::atomic<bool> g_stray_call{false};  // a function called outside func_proc_video's thread

void note(Call& call, const std::string& problem) {
    if (call.problem.empty()) call.problem = problem;
}

void get_image_data(void* buffer) {
    Call* call = t_call;
    if (!call) {
        g_stray_call = true;
        return;
    }
    ++call->gets;
    const std::size_t bytes = picture_bytes(call->size);
    if (!accessible(buffer, bytes, true)) {
        note(*call, "get_image_data was given a buffer that is not " + std::to_string(bytes) +
                        " writable bytes");
        return;
    }
    std::memcpy(buffer, call->picture->data(), bytes);
}

void set_image_data(const void* buffer, std::int32_t w, std::int32_t h) {
    Call* call = t_call;
    if (!call) {
        g_stray_call = true;
        return;
    }
    ++call->sets;
    if (w != call->size.w || h != call->size.h) {
        note(*call, "set_image_data changed the object's size from " +
                        std::to_string(call->size.w) + "x" + std::to_string(call->size.h) + " to " +
                        std::to_string(w) + "x" + std::to_string(h));
        return;
    }
    const std::size_t bytes = picture_bytes(call->size);
    if (!buffer || !accessible(buffer, bytes, false)) {
        note(*call, "set_image_data was given a buffer that is not " + std::to_string(bytes) +
                        " readable bytes");
        return;
    }
    std::memcpy(call->picture->data(), buffer, bytes);
}

// The records of one object, each ending at an inaccessible page and read-only during the call.
class Records {
public:
    Records(Size scene, Size object, std::int64_t id)
        : scene_(kSceneBytes, "scene record"),
          object_(kObjectBytes, "object record"),
          video_(kVideoBytes, "video record") {
        unsigned char* s = scene_.data();
        write_at<std::int32_t>(s, 0, scene.w);
        write_at<std::int32_t>(s, 4, scene.h);
        write_at<std::int32_t>(s, 8, 30000);
        write_at<std::int32_t>(s, 12, 1001);
        write_at<std::int32_t>(s, 16, 48000);
        unsigned char* o = object_.data();
        std::memset(o, 0xA5, kObjectBytes);  // the times are no business of this filter
        write_at<std::int64_t>(o, kObjectId, id);
        write_at<std::int32_t>(o, kObjectFrame, 0);
        write_at<std::int32_t>(o, kObjectFrameTotal, 1);
        write_at<std::int32_t>(o, kObjectWidth, object.w);
        write_at<std::int32_t>(o, kObjectHeight, object.h);
        unsigned char* v = video_.data();
        write_at<const void*>(v, kVideoScene, s);
        write_at<const void*>(v, kVideoObject, o);
        write_at<void*>(v, kVideoGetImage, reinterpret_cast<void*>(&get_image_data));
        write_at<void*>(v, kVideoSetImage, reinterpret_cast<void*>(&set_image_data));
        for (GuardedRecord* r : {&scene_, &object_, &video_}) r->set_writable(false);
    }
    unsigned char* video() { return video_.data(); }

private:
    GuardedRecord scene_, object_, video_;
};

// The host's side of the items: it writes the values, then no byte of an item may change.
class Tracks {
public:
    Tracks(const PluginEntry& entry, const std::vector<double>& values) : entry_(entry) {
        for (std::size_t i = 0; i < 4; ++i) {
            write_at<double>(entry.tracks[i], kItemValue, values[i]);
            std::memcpy(before_[i], entry.tracks[i], kItemBytes);
        }
    }
    void check() const {
        for (std::size_t i = 0; i < 4; ++i)
            if (std::memcmp(before_[i], entry_.tracks[i], kItemBytes) != 0)
                fail(kBroken, "the plug-in changed item " + std::to_string(i) + " during a call");
    }

private:
    const PluginEntry& entry_;
    unsigned char before_[4][kItemBytes];
};

struct Outcome {
    bool result = false;
    double milliseconds = 0;
};

// Calls func_proc_video on `picture` (an object of `size`) from the calling thread.
Outcome call_plugin(const PluginEntry& entry, Records& records, Call& call) {
    using ProcVideo = bool (*)(void*);
    const auto proc = reinterpret_cast<ProcVideo>(const_cast<void*>(entry.proc_video));
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    t_call = &call;
    QueryPerformanceCounter(&start);
    const bool result = proc(records.video());
    QueryPerformanceCounter(&end);
    t_call = nullptr;
    return {result, 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                        static_cast<double>(frequency.QuadPart)};
}

// Checks what one call did: on true exactly one get and one set, on false no set at all.
void check_call(const Call& call, const Outcome& outcome, const std::string& what) {
    if (!call.problem.empty()) fail(kBroken, what + ": " + call.problem);
    if (outcome.result && (call.gets != 1 || call.sets != 1))
        fail(kBroken, what + ": func_proc_video returned true after " + std::to_string(call.gets) +
                          " get_image_data and " + std::to_string(call.sets) +
                          " set_image_data calls, expected one of each");
    if (!outcome.result && call.sets != 0)
        fail(kBroken, what + ": func_proc_video returned false but replaced the picture");
}

// Takes the address space the process has left but `leave` bytes, and gives it back when it goes:
// whatever the plug-in then asks the system for beyond that fails, as it would when the editor
// has used up the machine's memory. The process must run with a limited address space (ulimit -v
// under Wine): Wine keeps tables for all it reserves, so it takes at most kMostTaken.
class AddressSpaceHog {
public:
    static constexpr std::size_t kMostTaken = std::size_t{16} << 30;

    explicit AddressSpaceHog(std::size_t leave) {
        blocks_.reserve(1 << 16);  // no allocation of the host's own while the space is taken
        void* kept = VirtualAlloc(nullptr, leave, MEM_RESERVE, PAGE_NOACCESS);
        std::size_t taken = 0;
        for (std::size_t chunk = std::size_t{1} << 30; chunk >= (1 << 16); chunk /= 2)
            while (taken < kMostTaken && blocks_.size() < blocks_.capacity()) {
                void* p = VirtualAlloc(nullptr, chunk, MEM_RESERVE, PAGE_NOACCESS);
                if (!p) break;
                blocks_.push_back(p);
                taken += chunk;
            }
        if (kept) VirtualFree(kept, 0, MEM_RELEASE);
        unlimited_ = !kept || taken >= kMostTaken;
    }
    ~AddressSpaceHog() {
        for (void* p : blocks_) VirtualFree(p, 0, MEM_RELEASE);
    }
    AddressSpaceHog(const AddressSpaceHog&) = delete;
    AddressSpaceHog& operator=(const AddressSpaceHog&) = delete;

    // True if the space could not be taken as asked.
    bool failed() const { return unlimited_; }

private:
    std::vector<void*> blocks_;
    bool unlimited_ = false;
};

// An object larger than the memory left to the plug-in: it must be refused untouched, and the
// frames after it must be filtered again.
void offer_oversized_object(const PluginEntry& entry, Size size) {
    std::vector<unsigned char> picture;
    try {
        picture.resize(picture_bytes(size));
    } catch (const std::bad_alloc&) {
        fail(kUsage, "no memory for the host's own copy of the oversized object");
    }
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<unsigned char>(i * 7 + (i >> 12));
    Records records(size, size, 2);
    Call call{size, &picture, 0, 0, {}};
    // Room for the host thread's stack and the plug-in's threads, and for a copy of the picture,
    // but not for all the plug-in needs besides.
    // Wine loads what ending a thread takes when the first thread ends: not while the space is
    // taken.
    std::thread([] {}).join();
    Outcome outcome;
    {
        const AddressSpaceHog hog(picture.size() + (std::size_t{64} << 20));
        if (hog.failed())
            fail(kUsage,
                 "--refuse needs a process of limited address space (ulimit -v), with "
                 "room for the picture");
        std::thread caller([&] { outcome = call_plugin(entry, records, call); });
        caller.join();
    }
    const std::string what =
        "oversized object " + std::to_string(size.w) + "x" + std::to_string(size.h);
    check_call(call, outcome, what);
    if (outcome.result) fail(kBroken, what + ": filtered, expected a refusal (out of memory)");
}

int run(int argc, char** argv) {
    install_fault_reporter();
    const Options o = parse_options(argc, argv);
    Plugin plugin = load_plugin(o.plugin);
    if (o.check_table_only) {
        std::printf("%s: plug-in table as expected; information: %s\n", o.plugin.c_str(),
                    plugin.entry.information.c_str());
    } else {
        std::vector<std::vector<double>> track_sets;
        for (const std::vector<long>& set : o.tracks) {
            std::vector<double> values(4);
            for (std::size_t i = 0; i < 4; ++i) {
                values[i] = static_cast<double>(set[i]);
                if (values[i] < plugin.entry.minimums[i] || values[i] > plugin.entry.maximums[i])
                    fail(kUsage,
                         "track value " + std::to_string(set[i]) + " outside the track's range");
            }
            track_sets.push_back(values);
        }
        if (track_sets.empty())
            track_sets.emplace_back(plugin.entry.defaults, plugin.entry.defaults + 4);
        const Size size = *o.size;
        File in(std::fopen(o.in.c_str(), "rb"));
        if (!in.handle) fail(kUsage, "cannot open " + o.in);
        File out(std::fopen(o.out.c_str(), "wb"));
        if (!out.handle) fail(kUsage, "cannot create " + o.out);

        std::vector<unsigned char> frame(picture_bytes(size));
        std::vector<double> times;
        for (long index = 0;; ++index) {
            const std::size_t got = std::fread(frame.data(), 1, frame.size(), in.handle);
            if (got == 0 && std::feof(in.handle)) break;
            if (got != frame.size())
                fail(kUsage, o.in + ": frame " + std::to_string(index) + " is incomplete");
            const std::string what = "frame " + std::to_string(index);
            const Tracks tracks(plugin.entry,
                                track_sets[static_cast<std::size_t>(index) % track_sets.size()]);
            if (o.refuse) offer_oversized_object(plugin.entry, *o.refuse);

            std::vector<unsigned char> first;
            for (int r = 0; r < o.repeat; ++r) {
                // Every caller on a host thread of its own, all at once.
                std::vector<std::vector<unsigned char>> pictures(
                    static_cast<std::size_t>(o.callers), frame);
                std::vector<Call> calls;
                std::vector<Outcome> outcomes(pictures.size());
                for (auto& p : pictures) calls.push_back(Call{size, &p, 0, 0, {}});
                std::vector<std::exception_ptr> errors(pictures.size());
                std::vector<std::thread> threads;
                for (std::size_t c = 0; c < pictures.size(); ++c)
                    threads.emplace_back([&, c] {
                        try {
                            Records records(size, size, 1 + static_cast<std::int64_t>(c));
                            outcomes[c] = call_plugin(plugin.entry, records, calls[c]);
                        } catch (...) {
                            errors[c] = std::current_exception();
                        }
                    });
                for (std::thread& t : threads) t.join();
                for (const auto& e : errors)
                    if (e) std::rethrow_exception(e);
                if (g_stray_call)
                    fail(kBroken, what +
                                      ": the image functions were called from a thread "
                                      "that was not in func_proc_video");
                tracks.check();
                for (std::size_t c = 0; c < pictures.size(); ++c) {
                    check_call(calls[c], outcomes[c], what);
                    if (!outcomes[c].result)
                        fail(kRefused, what + ": func_proc_video returned false");
                    times.push_back(outcomes[c].milliseconds);
                    if (first.empty()) first = pictures[c];
                    if (pictures[c] != first)
                        fail(kBroken, what +
                                          ": two calls on the same picture gave different "
                                          "pictures");
                }
            }
            if (std::fwrite(first.data(), 1, first.size(), out.handle) != first.size())
                fail(kUsage, "cannot write " + o.out);
        }
        if (std::fflush(out.handle) != 0) fail(kUsage, "cannot write " + o.out);
        if (o.repeat > 1 && !times.empty()) {
            std::sort(times.begin(), times.end());
            std::printf("func_proc_video %dx%d: min %.2f ms, median %.2f ms over %zu calls\n",
                        size.w, size.h, times.front(), times[times.size() / 2], times.size());
        }
    }
    // Unloading as the editor does: the plug-in lets go of its threads, then the DLL goes.
    if (plugin.uninitialize) plugin.uninitialize();
    if (!FreeLibrary(plugin.module)) fail(kBroken, "FreeLibrary failed");
    return 0;
}

}  // namespace
}  // namespace host64

int main(int argc, char** argv) {
    return hosts::host_main("korvane-host64", host64::run, argc, argv);
}
