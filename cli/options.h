// The command line of korvane-dct.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/png_deflate.h"

namespace korvane::cli {

struct FrameSize {
    std::int32_t w = 0;
    std::int32_t h = 0;
};

// JPEG and PNG pictures above this many million pixels are refused unless --max-megapixels
// raises it: it covers every single-shot camera (the largest, 151 MP) and phone panoramas, and
// keeps a header that claims a huge picture in a few bytes from costing gigabytes first.
constexpr std::int32_t kDefaultMaxMegapixels = 200;
// The most the frame records can hold (2^28 pixels).
constexpr std::int32_t kMaxMegapixels = 268;

struct Options {
    std::array<std::int32_t, 4> tracks{};  // threshold, quant, n_shift, zero_weight
    std::int32_t threads = 1;  // --threads: worker threads; the bytes do not depend on it
    std::int32_t host_threads =
        0;  // --host-threads: the plug-in's output on a host of this many
            // threads (n_shift rounded up to a multiple); 0: exactly n_shift
    std::optional<FrameSize> size;                        // raw formats only
    std::int32_t max_megapixels = kDefaultMaxMegapixels;  // --max-megapixels: JPEG, PNG input
    std::int32_t png_level = kPngDefaultLevel;  // --png-level: compression of a PNG output
    std::int32_t jpeg_quality = 95;             // --quality: libjpeg quality of a JPEG output
    std::string jpeg_sampling = "444";  // --jpeg-sampling: chroma of a JPEG output, 444 or 420
    std::string input;
    std::string output;
    // -o/--output-dir: many inputs at once, each written into this folder as NAME.EXT; the
    // inputs are then `inputs`, and `input` and `output` are set per file.
    std::string output_dir;
    std::vector<std::string> inputs;
    std::string input_format;   // --format; empty: by extension
    std::string output_format;  // --output-format; empty: by extension
    std::string reference;      // --reference: clean frames to measure against
    std::string compare;        // --compare: before/after picture
    std::string cpu = "auto";   // --cpu: instruction-set tier of the kernels
    bool quiet = false;         // --quiet: no progress
    bool stats = false;         // --stats: where the time went, at the end
    // --strength: "auto" or "manual"; empty: auto for input with a quantisation table (JPEG),
    // manual otherwise. Under auto, a track given on the command line keeps its value.
    std::string strength;
    std::array<bool, 4> track_given{};  // --threshold, --quant, --n-shift, --zero-weight given
    // --chroma-threshold: chroma's own threshold (not a setting of the AviUtl plug-ins, which
    // have one threshold); -1: the threshold. Under auto, given by hand it keeps its value.
    std::int32_t chroma_threshold = -1;
    bool chroma_threshold_given = false;
    // The output options given on the command line, which apply to one output format only.
    bool png_level_given = false;      // PNG
    bool jpeg_quality_given = false;   // JPEG
    bool jpeg_sampling_given = false;  // JPEG
    // Set for each file of a batch (-o): messages about one file name it.
    bool in_batch = false;
};

// Parses argv. Throws UsageError with a one-line message on any usage error. Returns nullopt
// when the command only had to print something (--help, --version) to `out`.
std::optional<Options> parse_options(int argc, const char* const* argv, std::string& out);

// "WxH" with both positive; throws UsageError otherwise.
FrameSize parse_size(const std::string& text);

}  // namespace korvane::cli
