#include "cli/progress.h"

#include <atomic>
#include <cstdio>
#include <string>

namespace korvane::cli {
namespace {

// Whether the cursor stands at the end of a progress line.
std::atomic<bool> g_line_open{false};

std::string clock_text(double seconds) {
    const auto s = static_cast<long long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

}  // namespace

Progress::Progress(bool enabled, std::optional<std::int64_t> total)
    : enabled_(enabled), total_(total) {}

void Progress::frame_done() {
    ++done_;
    if (!enabled_) return;
    const auto now = Clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    show();
}

void Progress::show() {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    const double fps = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0;
    char line[160];
    int n = std::snprintf(line, sizeof line, "\rframe %lld", static_cast<long long>(done_));
    if (total_)
        n += std::snprintf(line + n, sizeof line - n, "/%lld", static_cast<long long>(*total_));
    n += std::snprintf(line + n, sizeof line - n, "  %.2f fps  elapsed %s", fps,
                       clock_text(elapsed).c_str());
    if (total_ && fps > 0)
        n += std::snprintf(line + n, sizeof line - n, "  left %s",
                           clock_text(static_cast<double>(*total_ - done_) / fps).c_str());
    std::snprintf(line + n, sizeof line - n, "\x1b[K");  // clear the rest of the line
    std::fputs(line, stderr);
    std::fflush(stderr);
    g_line_open = true;
    shown_ = true;
}

void Progress::finish() {
    if (!enabled_ || done_ == 0) return;
    show();
    end_progress_line();
}

void end_progress_line() {
    if (g_line_open.exchange(false)) std::fputc('\n', stderr);
}

void clear_progress_line() {
    if (g_line_open.exchange(false)) {
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
    }
}

}  // namespace korvane::cli
