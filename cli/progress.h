// Progress on standard error while frames are filtered: frames done, frames per second and time
// elapsed, with the total and the time left when the number of frames is known. Shown only when
// standard error is a terminal, at most a few times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace korvane::cli {

class Progress {
public:
    Progress(bool enabled, std::optional<std::int64_t> total);
    void frame_done();
    // Ends the line; call once after the last frame.
    void finish();

private:
    void show();

    using Clock = std::chrono::steady_clock;
    bool enabled_;
    std::optional<std::int64_t> total_;
    std::int64_t done_ = 0;
    Clock::time_point start_ = Clock::now();
    Clock::time_point last_{};
    bool shown_ = false;
};

}  // namespace korvane::cli
