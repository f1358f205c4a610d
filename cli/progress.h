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
    std::int64_t frames() const { return done_; }
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

// Messages and the progress line share standard error (and, on a terminal, the screen with
// standard output). end_progress_line ends a progress line that is showing, so that what follows
// starts on a line of its own; clear_progress_line erases it, for a line that is to scroll
// above it (the next update draws it again). Both do nothing when no progress line shows.
void end_progress_line();
void clear_progress_line();

}  // namespace korvane::cli
