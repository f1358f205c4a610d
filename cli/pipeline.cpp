#include "cli/pipeline.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cli/channel.h"
#include "cli/errors.h"
#include "cli/exif.h"
#include "picture/picture_filter.h"

namespace korvane::cli {
namespace {

std::atomic<bool> g_left_behind{false};

struct Item {
    Frame frame;
    std::optional<Frame> reference;
    std::optional<Strength> strength;  // this frame's own, from Pipeline::strength_of
};

// Frames that the filter and the writer are done with, for the reader and the filter to fill
// again: a steady stream then asks the system for no new memory (fresh frames cost a page fault
// per 4 KiB). They hold the bytes of frames read or written, and the pixels of frames read or
// written as pixels; the pixels of converted frames stay with the filter.
class FramePool {
public:
    // A frame that holds memory for pixels (or none, for !pixels), else any, else a new one.
    Frame take(bool pixels) {
        std::lock_guard lock(mutex_);
        if (frames_.empty()) return Frame{};
        auto it = std::find_if(frames_.rbegin(), frames_.rend(), [&](const Frame& f) {
            return (f.pixels.capacity() != 0) == pixels;
        });
        const auto index = it == frames_.rend() ? frames_.size() - 1
                                                : static_cast<std::size_t>(frames_.rend() - it) - 1;
        Frame f = std::move(frames_[index]);
        frames_.erase(frames_.begin() + static_cast<std::ptrdiff_t>(index));
        f.alpha.clear();
        f.params.clear();
        return f;
    }
    void give(Frame frame) {
        std::lock_guard lock(mutex_);
        if (frames_.size() < 6) frames_.push_back(std::move(frame));
    }

private:
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

// Reads input frames (and their reference frames) ahead of the filter. Shared with its thread,
// which may outlive the run.
struct ReadStage {
    std::unique_ptr<FrameReader> reader;
    std::unique_ptr<FrameReader> reference;
    std::string reference_path;
    std::function<Strength(const Frame&)> strength_of;
    std::shared_ptr<StageTimes> times;
    Channel<Item> out{1};
    std::exception_ptr error;
    FramePool pool;
    Frame probe;  // the pixels of the frame read, for strength_of

    void run() {
        bool reads_pixels = false;
        try {
            for (std::int64_t index = 1;; ++index) {
                Item item;
                // Frames read as pixels need memory for them; the others leave it unused.
                item.frame = pool.take(reads_pixels);
                item.frame.pixels.clear();
                if (!StageTimes::timed(times->read_ns,
                                       [&] { return reader->read_bytes(item.frame); }))
                    break;
                reads_pixels = !item.frame.pixels.empty();
                if (strength_of) {
                    // The estimate looks at pixels: converted here as well as on the filter's
                    // threads, into a frame of this stage's own.
                    StageTimes::timed(times->read_ns, [&] {
                        probe.w = item.frame.w;
                        probe.h = item.frame.h;
                        probe.pixels.resize(static_cast<std::size_t>(probe.w) *
                                            static_cast<std::size_t>(probe.h));
                        reader->convert_rows(item.frame, 0, probe.h, probe.pixels.data(), probe.w);
                        item.strength = strength_of(probe);
                    });
                }
                if (reference) {
                    item.reference.emplace();
                    if (!reference->read(*item.reference))
                        throw InputError("'" + reference_path + "': no reference for frame " +
                                         std::to_string(index));
                }
                if (!out.push(std::move(item))) break;
            }
        } catch (...) {
            error = std::current_exception();
        }
        out.close();
    }
};

// Filters the frames from `in` and hands them to `out`; returns their number.
std::int64_t filter_frames(Pipeline& p, Channel<Item>& in, Channel<Frame>& out, FramePool& pool,
                           const FrameReader& reader) {
    FrameWriter& writer = *p.writer;
    StageTimes& times = *p.times;
    // The pixels of frames that are converted; frames read as pixels are filtered where they are.
    Frame own;
    std::int64_t index = 0;
    while (std::optional<Item> item = in.pop()) {
        ++index;
        Frame& read = item->frame;
        const Strength& chosen = item->strength ? *item->strength : p.strength;
        if (p.on_start) p.on_start(index, chosen);
        const auto w = static_cast<std::size_t>(read.w);
        const std::size_t n = w * static_cast<std::size_t>(read.h);
        Frame& picture = read.pixels.size() == n ? read : own;
        if (&picture == &own && own.pixels.capacity() < n) {
            // Handed to a writer of pixels with the last frame: memory that held pixels again.
            Frame spare = pool.take(true);
            own.pixels.swap(spare.pixels);
            pool.give(std::move(spare));
        }
        picture.w = read.w;
        picture.h = read.h;
        picture.pixels.resize(n);
        if (&picture != &read) picture.alpha.swap(read.alpha);
        std::optional<Frame> before;
        if (p.keep_before && p.keep_before(index)) {
            before.emplace();
            before->w = read.w;
            before->h = read.h;
            before->pixels.resize(n);
        }
        PictureFilter::RowSteps steps;
        steps.before = [&](std::int32_t y0, std::int32_t y1) {
            YcPixel* rows = picture.pixels.data() + static_cast<std::size_t>(y0) * w;
            reader.convert_rows(read, y0, y1, rows, read.w);
            if (before)
                std::copy(rows, rows + static_cast<std::size_t>(y1 - y0) * w,
                          before->pixels.data() + static_cast<std::size_t>(y0) * w);
        };
        Frame written = pool.take(false);
        written.params = read.params;
        // A frame to be turned upright converts for the writer once it is whole.
        const bool upright = p.orientation == 1;
        if (upright) {
            writer.size_bytes(written, read.w, read.h);
            steps.after = [&](std::int32_t y0, std::int32_t y1) {
                writer.convert_rows(picture, written, y0, y1);
            };
        }
        Status status = Status::ok;
        if (chosen.unfiltered) {
            // Nothing to gain: the frame goes out as it was read, conversions only.
            StageTimes::timed(times.read_ns, [&] { steps.before(0, read.h); });
            StageTimes::timed(times.write_ns, [&] {
                if (steps.after) steps.after(0, read.h);
            });
        } else {
            const FrameView view{picture.pixels.data(), read.w, read.h, read.w};
            PictureFilter::Times spent;
            status = p.filter->filter(p.settings_of(chosen), view, p.converted, steps, &spent);
            times.filter_ns += spent.engine.count();
            times.read_ns += spent.before.count();
            times.write_ns += spent.after.count();
        }
        reader.check_rows();
        if (status != Status::ok)
            throw RunError("frame " + std::to_string(index) + " (" + std::to_string(read.w) + "x" +
                           std::to_string(read.h) + "): the filter could not run (out of memory)");
        if (!upright) {
            make_upright(picture, p.orientation);
            if (before) make_upright(*before, p.orientation);
            StageTimes::timed(times.write_ns, [&] {
                writer.size_bytes(written, picture.w, picture.h);
                writer.convert_rows(picture, written, 0, picture.h);
            });
        }
        if (p.on_filtered)
            p.on_filtered(index, before ? &*before : nullptr, picture,
                          item->reference ? &*item->reference : nullptr);
        // A writer of pixels as they are (no bytes) takes the frame that holds them.
        if (written.bytes.empty()) {
            if (&picture == &read) {
                std::swap(written, read);
            } else {
                written.pixels.swap(own.pixels);
                written.alpha.swap(own.alpha);
            }
        }
        pool.give(std::move(read));
        if (!out.push(std::move(written))) break;
    }
    return index;
}

}  // namespace

void StageTimes::print(std::int64_t frames) const {
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    const double n = frames > 0 ? static_cast<double>(frames) : 1.0;
    auto ms = [&](const std::atomic<std::int64_t>& ns) {
        return static_cast<double>(ns) / n / 1e6;
    };
    std::fprintf(stderr,
                 "korvane-dct: stats: %lld %s in %.3f s, %.2f frames/s; per frame: filter "
                 "%.2f ms, read and convert %.2f ms, convert and write %.2f ms\n",
                 static_cast<long long>(frames), frames == 1 ? "frame" : "frames", wall,
                 wall > 0 ? static_cast<double>(frames) / wall : 0, ms(filter_ns), ms(read_ns),
                 ms(write_ns));
}

std::int64_t run_pipeline(Pipeline p) {
    auto reading = std::make_shared<ReadStage>();
    const FrameReader& reader = *p.reader;
    reading->reader = std::move(p.reader);
    reading->reference = std::move(p.reference);
    reading->reference_path = p.reference_path;
    reading->strength_of = p.strength_of;
    reading->times = p.times;
    std::thread read_thread([reading] { reading->run(); });
    Channel<Item>& to_filter = reading->out;

    Channel<Frame> to_write(1);
    std::exception_ptr write_error;
    std::thread write_thread([&] {
        try {
            while (std::optional<Frame> frame = to_write.pop()) {
                StageTimes::timed(p.times->write_ns, [&] { p.writer->write_bytes(*frame); });
                reading->pool.give(std::move(*frame));
            }
        } catch (...) {
            write_error = std::current_exception();
        }
        to_write.close();
        to_filter.close();
    });

    std::int64_t frames = 0;
    std::exception_ptr filter_error;
    try {
        frames = filter_frames(p, to_filter, to_write, reading->pool, reader);
    } catch (...) {
        filter_error = std::current_exception();
        to_filter.close();
    }
    to_write.close();
    write_thread.join();
    if (filter_error || write_error) {
        to_filter.close();
        read_thread.detach();
        g_left_behind = true;
    } else {
        read_thread.join();
    }
    if (filter_error) std::rethrow_exception(filter_error);
    if (write_error) std::rethrow_exception(write_error);
    if (reading->error) std::rethrow_exception(reading->error);
    return frames;
}

bool reading_thread_left_behind() { return g_left_behind; }

}  // namespace korvane::cli
