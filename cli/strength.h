// --strength auto in korvane-dct: the choice of strength/strength.h made for a run from its
// options and its input, and for each frame of a video.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "cli/formats.h"
#include "strength/strength.h"

namespace korvane::cli {

// The part of the host's luma range that a stream's codes span (estimate_quality's code_range).
double luma_code_range(const StreamInfo& info);

// What --strength decided for a run.
struct Strength {
    std::array<std::int32_t, 4> tracks{};  // threshold, quant, n_shift, zero_weight
    bool unfiltered = false;               // auto found nothing to gain: the filter is not run
    std::int32_t chroma_threshold = -1;    // auto: chroma's own threshold; -1: the threshold
    bool per_frame = false;  // video under auto: every frame gets frame_strength() of its own
    double code_range = 1;   // luma_code_range() of the stream, for frame_strength()
    std::string message;     // for standard error; empty under manual strength
};

// The tracks for this run. Under --strength manual, the options' tracks. Under auto (the default
// for input with a quantisation table, i.e. JPEG), threshold, quant and n_shift from the source,
// except those given on the command line; where the measurements show no gain at the source's
// compression (and no track was given), no filtering at all. Estimating reads the first frame of
// `reader`, which is then replaced by a reader that hands that frame back first.
Strength choose_strength(const Options& options, const Format& input,
                         std::unique_ptr<FrameReader>& reader);

// The stream a run's writer gets: a JPEG that automatic strength left as decoded is written as
// libjpeg's own RGB decode (StreamInfo::libjpeg_rgb), byte for byte.
StreamInfo written_stream(const StreamInfo& info, const Strength& strength);

// The options given that have nothing to act on where automatic strength leaves a picture or
// frame unfiltered ("--zero-weight", "--chroma-threshold", joined by "and"); empty if none.
std::string unused_when_unfiltered(const Options& options);

// Video under --strength auto: the tracks for the next frame of a video, from its own estimate
// and `video`'s account of the frames before it (VideoStrength).
Strength frame_strength(const Options& options, const Frame& frame, double code_range,
                        VideoStrength& video);

}  // namespace korvane::cli
