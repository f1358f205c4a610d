#include "cli/strength.h"

#include <algorithm>
#include <cstring>

#include "cli/errors.h"
#include "engine/engine.h"

namespace korvane::cli {
namespace {

// A frame reader that hands back a frame already read, then reads on.
class PeekedReader final : public FrameReader {
public:
    PeekedReader(std::unique_ptr<FrameReader> inner, Frame first)
        : inner_(std::move(inner)), first_(std::move(first)) {}
    bool read_bytes(Frame& frame) override {
        if (first_) {
            frame = std::move(*first_);
            first_.reset();
            return true;
        }
        return inner_->read_bytes(frame);
    }
    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        inner_->convert_rows(from, y0, y1, to, stride);
    }
    void check_rows() const override { inner_->check_rows(); }
    const StreamInfo& info() const override { return inner_->info(); }

private:
    std::unique_ptr<FrameReader> inner_;
    std::optional<Frame> first_;
};

// The tracks for a source under --strength auto from auto's setting `s` for it, the options'
// tracks where given.
Strength decide(const Options& options, const SourceQuality& source, StrengthSetting s) {
    Strength strength;
    strength.tracks = options.tracks;
    const bool any_given = options.track_given[kThreshold] || options.track_given[kQuant] ||
                           options.track_given[kNShift];
    if (s.unfiltered && any_given) {
        // A track given by hand asks for filtering: the others from the weakest measured setting.
        s = weakest_setting(s.n_shift);
    }
    strength.unfiltered = s.unfiltered;
    // A threshold given by hand is the threshold of both, as under manual strength, unless
    // chroma's is given too.
    strength.chroma_threshold = options.chroma_threshold_given    ? options.chroma_threshold
                                : options.track_given[kThreshold] ? -1
                                                                  : s.chroma_threshold;
    const std::int32_t chosen[3] = {s.threshold, s.quant, s.n_shift};
    std::string given;
    for (int t = 0; t < 3; ++t) {
        if (options.track_given[static_cast<std::size_t>(t)]) {
            given += std::string(given.empty() ? "" : ", ") + (t == kThreshold ? "--threshold"
                                                               : t == kQuant   ? "--quant"
                                                                               : "--n-shift");
        } else {
            strength.tracks[static_cast<std::size_t>(t)] = chosen[t];
        }
    }
    if (options.chroma_threshold_given)
        given += std::string(given.empty() ? "" : ", ") + "--chroma-threshold";

    std::string why;
    if (source.from == SourceQuality::From::jpeg_table) {
        why = "JPEG quality " + std::to_string(*source.quality) +
              (source.libjpeg_table
                   ? " (its luma quantisation table)"
                   : " (the nearest libjpeg table to its luma quantisation table; another "
                     "encoder's, so the setting of quality " +
                         std::to_string(std::min(100, *source.quality + kOtherTableMargin)) + ")");
    } else if (source.quality) {
        why = "looks like JPEG quality " + std::to_string(*source.quality) +
              " (quantisation estimated from its 8x8 blocks, grid at " +
              std::to_string(source.offset_x) + "," + std::to_string(source.offset_y) +
              (source.odd_levels < kOddLevels ? "; levels on odd multiples, as MPEG-4's" : "") +
              ")";
    } else {
        why = "no block quantisation found";
    }
    if (strength.unfiltered) {
        const std::string unused = unused_when_unfiltered(options);
        strength.message =
            "strength auto: " + why +
            (source.quality ? ": no setting was measured to gain there" : "") +
            ": left unfiltered" +
            (unused.empty() ? ""
                            : "; " + unused +
                                  " not applied (--threshold, --quant or --n-shift asks for "
                                  "filtering)");
        return strength;
    }
    const auto& t = strength.tracks;
    strength.message = "strength auto: " + why + ": --threshold " + std::to_string(t[kThreshold]) +
                       " --quant " + std::to_string(t[kQuant]) + " --n-shift " +
                       std::to_string(t[kNShift]) +
                       (given.empty() ? "" : " (" + given + " as given)") +
                       (strength.chroma_threshold >= 0
                            ? ", chroma threshold " + std::to_string(strength.chroma_threshold)
                            : "");
    return strength;
}

}  // namespace

Strength choose_strength(const Options& options, const Format& input,
                         std::unique_ptr<FrameReader>& reader) {
    Strength strength;
    strength.tracks = options.tracks;
    strength.chroma_threshold = options.chroma_threshold;
    const StreamInfo& info = reader->info();
    const bool automatic =
        options.strength.empty() ? !info.luma_quant.empty() : options.strength == "auto";
    if (!automatic) return strength;

    SourceQuality source;
    if (!info.luma_quant.empty()) {
        source.from = SourceQuality::From::jpeg_table;
        source.quality = quality_of_table(info.luma_quant);
        source.libjpeg_table = is_libjpeg_table(info.luma_quant, *source.quality);
    } else {
        Frame first;
        if (reader->read(first)) {
            source = estimate_quality(first.pixels, first.w, first.h, luma_code_range(info));
            reader = std::make_unique<PeekedReader>(std::move(reader), std::move(first));
        }
    }
    const bool video = &input == &kY4mFormat || &input == &kYc48Format;
    const bool per_frame = video && source.from == SourceQuality::From::estimate;
    // Per frame, the first frame's setting is the one the frames' own VideoStrength gives it.
    Strength chosen = decide(options, source,
                             per_frame ? VideoStrength{}.next(source) : setting_for(source, video));
    // Video estimated from its frames: each frame gets its own setting, from the last intra
    // frame's estimate (frame_strength).
    chosen.per_frame = per_frame;
    chosen.code_range = luma_code_range(info);
    if (chosen.per_frame && !chosen.message.empty())
        chosen.message.replace(0, std::strlen("strength auto"), "strength auto, frame 1");
    return chosen;
}

StreamInfo written_stream(const StreamInfo& info, const Strength& strength) {
    StreamInfo written = info;
    written.libjpeg_rgb = info.jpeg_colour && strength.unfiltered && !strength.per_frame;
    return written;
}

std::string unused_when_unfiltered(const Options& options) {
    std::string unused = options.track_given[kZeroWeight] ? "--zero-weight" : "";
    if (options.chroma_threshold_given)
        unused += std::string(unused.empty() ? "" : " and ") + "--chroma-threshold";
    return unused;
}

double luma_code_range(const StreamInfo& info) {
    return info.layout == Layout::ycbcr && !info.full_range ? 219.0 / 255.0 : 1.0;
}

Strength frame_strength(const Options& options, const Frame& frame, double code_range,
                        VideoStrength& video) {
    const SourceQuality source = estimate_quality(frame.pixels, frame.w, frame.h, code_range);
    return decide(options, source, video.next(source));
}

}  // namespace korvane::cli
