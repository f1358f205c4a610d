// Runs one of korvane-dct's frame readers over fuzzed bytes, as a file would reach it. A clean
// end or an InputError/UsageError (bad input, reported) is fine; anything else (another
// exception, a crash, a sanitizer report, a frame whose buffers disagree with its size) is not.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "cli/errors.h"
#include "cli/formats.h"

namespace korvane::fuzz {

inline void read_all(const cli::Format& format, const std::uint8_t* data, std::size_t size,
                     const cli::Options& options) {
    const int fd = ::memfd_create("input", 0);
    if (fd < 0) __builtin_trap();
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) __builtin_trap();
        done += static_cast<std::size_t>(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        auto reader = format.open_reader(path, options);
        cli::Frame frame;
        for (int frames = 0; frames < 8 && reader->read(frame); ++frames) {
            const auto pixels = static_cast<std::size_t>(frame.w) * frame.h;
            if (frame.w < 1 || frame.h < 1 || frame.pixels.size() != pixels ||
                (!frame.alpha.empty() && frame.alpha.size() != pixels))
                __builtin_trap();
        }
    } catch (const cli::InputError&) {
    } catch (const cli::UsageError&) {
    }
    ::close(fd);
}

}  // namespace korvane::fuzz
