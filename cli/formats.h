// Frame formats of korvane-dct. Every format reads into and writes from frames of YcPixel in
// the host's scale, so that every frame goes through the filter's frame callback unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "host/host_interface.h"

namespace korvane::cli {

class OutputFile;

// One frame, rows of exactly w pixels.
struct Frame {
    std::int32_t w = 0;
    std::int32_t h = 0;
    std::vector<YcPixel> pixels;
};

class FrameReader {
public:
    virtual ~FrameReader() = default;
    // Reads the next frame into `frame`; false at the end of the input. Throws InputError on a
    // malformed or truncated input.
    virtual bool read(Frame& frame) = 0;
    // Number of frames, when known before reading.
    virtual std::optional<std::int64_t> frame_count() const { return std::nullopt; }
};

class FrameWriter {
public:
    virtual ~FrameWriter() = default;
    // Throws RunError when the output cannot be written.
    virtual void write(const Frame& frame) = 0;
};

// A format: how files of one kind are recognised, read and written.
struct Format {
    const char* name;
    const char* extension;  // with the dot, e.g. ".yc48"
    std::unique_ptr<FrameReader> (*open_reader)(const std::string& path, const Options& options);
    std::unique_ptr<FrameWriter> (*open_writer)(OutputFile& file, const Options& options);
};

// The format of a file by its extension; throws UsageError for an unknown one.
const Format& format_for(const std::string& path);

// Bytes of a frame of w x h pixels of `bytes_per_pixel`; throws InputError when a frame of that
// size cannot be held.
std::size_t frame_bytes(std::int32_t w, std::int32_t h, std::size_t bytes_per_pixel,
                        const std::string& path);

extern const Format kYc48Format;

}  // namespace korvane::cli
