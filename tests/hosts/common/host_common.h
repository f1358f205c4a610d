// What the stand-in editors for the Windows plug-ins (aviutl32, exedit2) share: their exit
// statuses and failures, their argument parsing, files, loading a plug-in, and main().
// Header-only: each host is one executable of its own bitness.
#pragma once

#include <windows.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace hosts {

// Exit statuses: 0 success; 1 the plug-in refused a frame; 2 bad usage or input; 3 the plug-in
// broke what the editor relies on (table, records, guards, calling convention).
constexpr int kRefused = 1;
constexpr int kUsage = 2;
constexpr int kBroken = 3;

struct Failure {
    int status;
    std::string message;
};

[[noreturn]] inline void fail(int status, const std::string& message) {
    throw Failure{status, message};
}

struct Size {
    std::int32_t w = 0;
    std::int32_t h = 0;
};

// A whole decimal integer, or nothing.
inline std::optional<long> parse_int(const std::string& s) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (errno != 0 || end == s.c_str() || *end != '\0') return std::nullopt;
    return v;
}

// WxH with both sides in 1..most.
inline Size parse_size(const std::string& s, long most) {
    const std::size_t x = s.find('x');
    const auto w = x == std::string::npos ? std::nullopt : parse_int(s.substr(0, x));
    const auto h = x == std::string::npos ? std::nullopt : parse_int(s.substr(x + 1));
    if (!w || !h || *w < 1 || *h < 1 || *w > most || *h > most)
        fail(kUsage,
             "bad size \"" + s + "\", expected WxH with sides of 1.." + std::to_string(most));
    return {static_cast<std::int32_t>(*w), static_cast<std::int32_t>(*h)};
}

// `count` integers separated by commas (the track values of --track).
inline std::vector<long> parse_list(const std::string& list, std::size_t count,
                                    const std::string& option) {
    std::vector<long> values;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const auto v = parse_int(list.substr(start, comma - start));
        if (!v) fail(kUsage, option + " takes integers separated by commas");
        values.push_back(*v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (values.size() != count)
        fail(kUsage, option + " takes " + std::to_string(count) + " integers");
    return values;
}

// The files named on a host's command line: PLUGIN alone with --check-table, otherwise PLUGIN IN
// OUT (and a size given); anything else is bad usage, answered with `usage`.
struct Files {
    std::string plugin, in, out;
};
inline Files take_files(const std::vector<std::string>& positional, bool check_table_only,
                        bool have_size, const std::string& usage) {
    if (positional.size() != (check_table_only ? 1u : 3u) || (!check_table_only && !have_size))
        fail(kUsage, usage);
    if (check_table_only) return {positional[0], "", ""};
    return {positional[0], positional[1], positional[2]};
}

// A FILE* closed when it goes.
struct File {
    explicit File(std::FILE* f) : handle(f) {}
    ~File() {
        if (handle) std::fclose(handle);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::FILE* handle;
};

// The plug-in's module, loaded as the editor loads it; a failure to load is bad usage.
inline HMODULE load_module(const std::string& path) {
    const HMODULE module = LoadLibraryA(path.c_str());
    if (!module)
        fail(kUsage, "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")");
    return module;
}

// An export of the module, or null.
inline void* export_of(HMODULE module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(module, name));
}

// main() of a host: runs `run`, and turns a failure into its message on standard error and its
// exit status.
template <typename Run>
int host_main(const char* name, Run run, int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& f) {
        std::fprintf(stderr, "%s: %s\n", name, f.message.c_str());
        return f.status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return kUsage;
    }
}

}  // namespace hosts
