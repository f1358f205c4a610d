// korvane._korvane: the filter, automatic strength and korvane-dct's picture files for Python,
// on the layers the command runs on (picture/PictureFilter with its conversions, strength/, and
// the command's readers, writers and pipeline in korvane_cli). The package korvane wraps it with
// the checks of its arguments and the manual pages (python/korvane/__init__.py).
//
// An array's samples go through the conversions of a PNG of the same samples, so the bytes are
// those korvane-dct writes for that PNG. The GIL is released while pictures are decoded, filtered
// and written: no Python object is touched then, and the arrays read and written are kept alive
// by the references of the call.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/exif.h"
#include "cli/formats.h"
#include "cli/jpeg_colour.h"
#include "cli/options.h"
#include "cli/run.h"
#include "cli/strength.h"
#include "engine/cpu.h"
#include "engine/engine.h"
#include "engine/kernels.h"
#include "picture/convert.h"
#include "picture/picture_filter.h"
#include "runtime/thread_pool.h"

namespace py = pybind11;

namespace korvane::python {
namespace {

using cli::Frame;
using cli::Layout;
using cli::StreamInfo;

// Raised for files: InputFileError for an input that cannot be read (korvane-dct's exit status
// 2), OutputFileError for an output that cannot be written (status 1). Both are OSError.
PyObject* g_input_error = nullptr;
PyObject* g_output_error = nullptr;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Runs `work` without the GIL and turns the command's errors into Python's: bad usage and bad
// settings into ValueError, unreadable input into InputFileError, unwritable output into
// OutputFileError, lack of memory into MemoryError. Nothing else may escape the call.
template <typename Work>
auto released(Work&& work) {
    std::string message;
    PyObject* type = nullptr;
    {
        py::gil_scoped_release release;
        try {
            return work();
        } catch (const cli::UsageError& e) {
            type = PyExc_ValueError;
            message = e.what();
        } catch (const cli::InputError& e) {
            type = g_input_error;
            message = e.what();
        } catch (const cli::RunError& e) {
            type = g_output_error;
            message = e.what();
        } catch (const std::bad_alloc&) {
            type = PyExc_MemoryError;
            message = "out of memory";
        } catch (const std::exception& e) {
            type = PyExc_RuntimeError;
            message = e.what();
        }
    }
    raise(type, message);
}

// Filters, their threads and memory kept from call to call: one in use by one call at a time,
// so that calls from several Python threads run side by side, each on a filter of its own.
class FilterPool {
public:
    struct Lease {
        FilterPool* pool;
        std::int32_t threads;
        std::unique_ptr<PictureFilter> filter;
        ~Lease() { pool->give(threads, std::move(filter)); }
    };

    Lease take(std::int32_t threads) {
        {
            const std::lock_guard lock(mutex_);
            for (auto it = idle_.begin(); it != idle_.end(); ++it) {
                if (it->first == threads) {
                    std::unique_ptr<PictureFilter> filter = std::move(it->second);
                    idle_.erase(it);
                    return Lease{this, threads, std::move(filter)};
                }
            }
        }
        return {this, threads, std::make_unique<PictureFilter>(kernels_, threads)};
    }

private:
    void give(std::int32_t threads, std::unique_ptr<PictureFilter> filter) {
        if (!filter) return;
        const std::lock_guard lock(mutex_);
        if (idle_.size() < kKeep) idle_.emplace_back(threads, std::move(filter));
    }

    static constexpr std::size_t kKeep = 4;
    const Kernels kernels_ = kernels_for(best_tier());
    std::mutex mutex_;
    std::vector<std::pair<std::int32_t, std::unique_ptr<PictureFilter>>> idle_;
};

FilterPool& filters() {
    static FilterPool* pool = new FilterPool;  // never destroyed: threads may outlive exit
    return *pool;
}

// An array's samples: shape (h, w) or (h, w, c), strides in bytes (any sign), 8 or 16 bits.
struct Samples {
    const unsigned char* base = nullptr;
    unsigned char* out = nullptr;  // the output's first sample (same shape and dtype)
    std::int32_t w = 0, h = 0;
    int channels = 1, bytes = 1;
    std::ptrdiff_t sy = 0, sx = 0, sc = 0;  // the input's strides
    std::ptrdiff_t oy = 0, ox = 0, oc = 0;  // the output's
    int max() const { return bytes == 1 ? 255 : 65535; }
    bool colour() const { return channels >= 3; }
    bool alpha() const { return channels == 4; }

    int at(const unsigned char* p) const {
        if (bytes == 1) return *p;
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }
    int in(std::int32_t y, std::int32_t x, int c) const {
        return at(base + y * sy + x * sx + c * sc);
    }
    void put(std::int32_t y, std::int32_t x, int c, int v) const {
        unsigned char* p = out + y * oy + x * ox + c * oc;
        if (bytes == 1) {
            *p = static_cast<unsigned char>(v);
        } else {
            const auto s = static_cast<std::uint16_t>(v);
            std::memcpy(p, &s, 2);
        }
    }
};

// The checks of an array that the package's wrapper makes too, here again so that no input can
// reach the conversions with a shape or dtype they do not handle.
Samples samples_of(const py::array& a) {
    Samples s;
    const py::dtype dt = a.dtype();
    if (dt.is(py::dtype::of<std::uint8_t>()))
        s.bytes = 1;
    else if (dt.is(py::dtype::of<std::uint16_t>()))
        s.bytes = 2;
    else
        raise(PyExc_ValueError, "the array's dtype is " + dt.attr("name").cast<std::string>() +
                                    ": uint8 or uint16 it must be");
    if (a.ndim() != 2 && a.ndim() != 3)
        raise(PyExc_ValueError, "the array has " + std::to_string(a.ndim()) +
                                    " dimensions: (H, W), (H, W, 3) or (H, W, 4) it must be");
    if (a.ndim() == 3) {
        const auto c = a.shape(2);
        if (c != 1 && c != 3 && c != 4)
            raise(PyExc_ValueError, "the array has " + std::to_string(c) +
                                        " channels: 1 (gray), 3 (RGB) or 4 (RGBA) it must have");
        s.channels = static_cast<int>(c);
        s.sc = a.strides(2);
    }
    const auto h = a.shape(0), w = a.shape(1);
    if (h <= 0 || w <= 0)
        raise(PyExc_ValueError,
              "the picture is empty (" + std::to_string(w) + "x" + std::to_string(h) + ")");
    if (h > INT32_MAX / 8 || w > INT32_MAX / 8)
        raise(PyExc_ValueError,
              "the picture is too large (" + std::to_string(w) + "x" + std::to_string(h) + ")");
    s.h = static_cast<std::int32_t>(h);
    s.w = static_cast<std::int32_t>(w);
    s.sy = a.strides(0);
    s.sx = a.strides(1);
    s.base = static_cast<const unsigned char*>(a.data());
    return s;
}

// Rows y0 .. y1 - 1 of the array converted to the filter's samples, as korvane-dct's PNG reader
// converts the same samples.
void convert_in(const Samples& s, std::int32_t y0, std::int32_t y1, YcPixel* to) {
    const int max = s.max();
    for (std::int32_t y = y0; y < y1; ++y) {
        YcPixel* row = to + static_cast<std::ptrdiff_t>(y - y0) * s.w;
        for (std::int32_t x = 0; x < s.w; ++x)
            row[x] = s.colour() ? rgb_to_host(s.in(y, x, 0), s.in(y, x, 1), s.in(y, x, 2), max)
                                : gray_to_host(s.in(y, x, 0), max);
    }
}

// Rows y0 .. y1 - 1 of filtered samples into the output, as korvane-dct's PNG writer converts
// them; alpha from `alpha` (the input's, kept aside) or straight from the input.
void convert_out(const Samples& s, std::int32_t y0, std::int32_t y1, const YcPixel* from,
                 const std::uint16_t* alpha) {
    const int max = s.max();
    for (std::int32_t y = y0; y < y1; ++y) {
        const YcPixel* row = from + static_cast<std::ptrdiff_t>(y - y0) * s.w;
        if (s.channels == 3 && s.bytes == 1 && s.ox == 3 && s.oc == 1) {
            rgb8_from_host(row, static_cast<std::size_t>(s.w), s.out + y * s.oy);  // packed rows
        } else if (s.colour() && s.bytes == 1) {
            // The vector conversion in pieces of a buffer on the stack: a step may not throw,
            // so it allocates nothing.
            constexpr std::int32_t kPiece = 256;
            unsigned char rgb8[3 * kPiece];
            for (std::int32_t x0 = 0; x0 < s.w; x0 += kPiece) {
                const std::int32_t n = std::min(kPiece, s.w - x0);
                rgb8_from_host(row + x0, static_cast<std::size_t>(n), rgb8);
                for (std::int32_t x = 0; x < n; ++x)
                    for (int c = 0; c < 3; ++c) s.put(y, x0 + x, c, rgb8[3 * x + c]);
            }
        } else {
            for (std::int32_t x = 0; x < s.w; ++x) {
                if (s.colour()) {
                    const auto rgb = rgb_from_host(row[x], max);
                    for (int c = 0; c < 3; ++c) s.put(y, x, c, rgb[static_cast<std::size_t>(c)]);
                } else {
                    s.put(y, x, 0, gray_from_host(row[x], max));
                }
            }
        }
        if (s.alpha()) {
            for (std::int32_t x = 0; x < s.w; ++x)
                s.put(y, x, 3,
                      alpha ? alpha[static_cast<std::size_t>(y) * static_cast<std::size_t>(s.w) + x]
                            : s.in(y, x, 3));
        }
    }
}

// The bytes an array spans, [first, last], for the test of overlap between input and output.
std::pair<const unsigned char*, const unsigned char*> extent(const unsigned char* base,
                                                             const Samples& s, std::ptrdiff_t sy,
                                                             std::ptrdiff_t sx, std::ptrdiff_t sc) {
    const unsigned char *lo = base, *hi = base;
    for (auto [n, stride] :
         {std::pair<std::ptrdiff_t, std::ptrdiff_t>{s.h, sy}, {s.w, sx}, {s.channels, sc}}) {
        const std::ptrdiff_t span = (n - 1) * stride;
        (span < 0 ? lo : hi) += span;
    }
    return {lo, hi + s.bytes - 1};
}

std::int32_t threads_or_default(std::int32_t threads) {
    return threads > 0 ? threads : default_threads();
}

// Filters `in` into `out` (same shape and dtype; may be `in` itself or share its memory).
void deblock(const py::array& in, py::array& out, std::int32_t threshold, std::int32_t quant,
             std::int32_t n_shift, std::int32_t zero_weight, std::int32_t chroma_threshold,
             std::int32_t threads) {
    Samples s = samples_of(in);
    const Samples o = samples_of(out);
    if (o.w != s.w || o.h != s.h || o.channels != s.channels || o.bytes != s.bytes ||
        in.ndim() != out.ndim())
        raise(PyExc_ValueError, "out has another shape or dtype than the array");
    if (!out.writeable()) raise(PyExc_ValueError, "out is read-only");
    s.out = static_cast<unsigned char*>(out.mutable_data());
    s.oy = o.sy;
    s.ox = o.sx;
    s.oc = o.sc;
    const std::int32_t values[4] = {threshold, quant, n_shift, zero_weight};
    static const char* const names[4] = {"threshold", "quant", "n_shift", "zero_weight"};
    for (int t = 0; t < kTrackCount; ++t)
        if (values[t] < kTrackMin[t] || values[t] > kTrackMax[t])
            raise(PyExc_ValueError, std::string(names[t]) + " " + std::to_string(values[t]) +
                                        " is out of its range " + std::to_string(kTrackMin[t]) +
                                        ".." + std::to_string(kTrackMax[t]));
    if (chroma_threshold < -1 || chroma_threshold > 255)
        raise(PyExc_ValueError, "chroma_threshold " + std::to_string(chroma_threshold) +
                                    " is out of its range 0..255");
    if (threads < 0 || threads > 1024)
        raise(PyExc_ValueError,
              "threads " + std::to_string(threads) + " is out of its range 1..1024");

    const auto in_bytes = extent(s.base, s, s.sy, s.sx, s.sc);
    const auto out_bytes = extent(s.out, s, s.oy, s.ox, s.oc);
    const bool overlap = !(in_bytes.second < out_bytes.first || out_bytes.second < in_bytes.first);

    released([&] {
        const auto n = static_cast<std::size_t>(s.w) * static_cast<std::size_t>(s.h);
        std::vector<YcPixel, LargeAllocator<YcPixel>> pixels(n);
        std::vector<std::uint16_t> alpha;
        PictureFilter::RowSteps steps;
        if (overlap) {
            // The output would overwrite samples still to be read: every sample is read first.
            convert_in(s, 0, s.h, pixels.data());
            if (s.alpha()) {
                alpha.resize(n);
                for (std::int32_t y = 0; y < s.h; ++y)
                    for (std::int32_t x = 0; x < s.w; ++x)
                        alpha[static_cast<std::size_t>(y) * static_cast<std::size_t>(s.w) + x] =
                            static_cast<std::uint16_t>(s.in(y, x, 3));
            }
        } else {
            steps.before = [&](std::int32_t y0, std::int32_t y1) {
                convert_in(s, y0, y1, pixels.data() + static_cast<std::size_t>(y0) * s.w);
            };
        }
        const std::uint16_t* kept = alpha.empty() ? nullptr : alpha.data();
        steps.after = [&](std::int32_t y0, std::int32_t y1) {
            convert_out(s, y0, y1, pixels.data() + static_cast<std::size_t>(y0) * s.w, kept);
        };
        const Settings settings{threshold, quant, n_shift, zero_weight, chroma_threshold};
        FilterPool::Lease lease = filters().take(threads_or_default(threads));
        const FrameView view{pixels.data(), s.w, s.h, s.w};
        const Status status = lease.filter->filter(settings, view, true, steps);
        if (status == Status::out_of_memory) throw std::bad_alloc();
        if (status != Status::ok)
            throw cli::UsageError("the filter refused the picture (" + std::to_string(s.w) + "x" +
                                  std::to_string(s.h) + ")");
    });
}

// A picture held as pixels, as a reader of korvane-dct hands it over: for automatic strength
// from its tables or its pixels (choose_strength reads the one frame).
class HeldPicture final : public cli::PictureReader {
public:
    HeldPicture(StreamInfo info, Frame frame) {
        info_ = std::move(info);
        frame_ = std::move(frame);
    }
    void convert_rows(const Frame& from, std::int32_t y0, std::int32_t y1, YcPixel* to,
                      std::ptrdiff_t stride) const override {
        cli::copy_pixel_rows(from, y0, y1, to, stride);
    }
};

cli::Options default_options(std::int32_t threads) {
    cli::Options o;
    for (int i = 0; i < kTrackCount; ++i) o.tracks[static_cast<std::size_t>(i)] = kTrackDefault[i];
    o.threads = threads_or_default(threads);
    o.quiet = true;
    return o;
}

// What automatic strength decided, with what it was decided from.
py::dict strength_dict(const cli::Strength& s, const StreamInfo& info,
                       const std::optional<int>& quality) {
    py::dict d;
    d["threshold"] = s.tracks[kThreshold];
    d["quant"] = s.tracks[kQuant];
    d["n_shift"] = s.tracks[kNShift];
    d["zero_weight"] = s.tracks[kZeroWeight];
    d["chroma_threshold"] = s.chroma_threshold;
    d["unfiltered"] = s.unfiltered;
    d["message"] = s.message;
    d["orientation"] = info.orientation;
    d["quality"] = quality ? py::object(py::int_(*quality)) : py::object(py::none());
    return d;
}

// A JPEG given as bytes is read through a file in memory, under a name of its own; messages
// name it "<bytes>".
struct MemoryFile {
    int fd = -1;
    std::string path;
    explicit MemoryFile(std::string_view bytes) {
        fd = static_cast<int>(::memfd_create("korvane-jpeg", MFD_CLOEXEC));
        if (fd < 0)
            throw cli::RunError(std::string("cannot hold the bytes: ") + std::strerror(errno));
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ::close(fd);
                throw cli::RunError(std::string("cannot hold the bytes: ") + std::strerror(errno));
            }
            done += static_cast<std::size_t>(n);
        }
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    ~MemoryFile() { ::close(fd); }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
};

// Runs `read(path)` on a path, or on bytes through a MemoryFile, naming the bytes "<bytes>" in
// the messages.
template <typename Read>
auto on_source(const py::object& source, Read&& read) {
    if (py::isinstance<py::bytes>(source) || py::isinstance<py::bytearray>(source) ||
        py::isinstance<py::memoryview>(source)) {
        const auto copy = py::reinterpret_steal<py::object>(PyBytes_FromObject(source.ptr()));
        if (!copy) throw py::error_already_set();
        const std::string bytes = copy.cast<std::string>();
        return released([&] {
            MemoryFile file(bytes);
            try {
                return read(file.path);
            } catch (cli::InputError& e) {
                std::string m = e.what();
                const std::string quoted = "'" + file.path + "'";
                if (const auto at = m.find(quoted); at != std::string::npos)
                    m.replace(at, quoted.size(), "<bytes>");
                throw cli::InputError(m);
            }
        });
    }
    const std::string path = source.cast<std::string>();
    return released([&] { return read(path); });
}

py::dict strength_for_jpeg(const py::object& source) {
    struct Out {
        cli::Strength strength;
        StreamInfo info;
        std::optional<int> quality;
    };
    const Out out = on_source(source, [](const std::string& path) {
        const cli::Options options = default_options(1);
        std::unique_ptr<cli::FrameReader> reader = cli::kJpegFormat.open_reader(path, options);
        Out o;
        o.info = reader->info();
        o.strength = cli::choose_strength(options, cli::kJpegFormat, reader);
        if (!o.info.luma_quant.empty()) o.quality = quality_of_table(o.info.luma_quant);
        return o;
    });
    return strength_dict(out.strength, out.info, out.quality);
}

// From a luma quantisation table alone (64 steps, row-major), as the command decides for a JPEG
// with that table.
py::dict strength_for_table(const std::vector<int>& table) {
    if (table.size() != 64)
        raise(PyExc_ValueError,
              "a luma quantisation table has 64 steps, this one " + std::to_string(table.size()));
    for (int q : table)
        if (q < 1 || q > 65535)
            raise(PyExc_ValueError,
                  "a quantisation step is 1..65535, this table has " + std::to_string(q));
    StreamInfo info;
    info.layout = Layout::ycbcr;
    info.w = info.h = 8;
    info.full_range = true;
    info.luma_quant = table;
    const cli::Options options = default_options(1);
    std::unique_ptr<cli::FrameReader> reader = std::make_unique<HeldPicture>(info, Frame{});
    const cli::Strength s = cli::choose_strength(options, cli::kJpegFormat, reader);
    return strength_dict(s, info, quality_of_table(table));
}

// From the picture's own 8x8 blocks, as the command estimates for a PNG of the same samples
// under --strength auto.
py::dict estimate_strength(const py::array& array) {
    const Samples s = samples_of(array);
    struct Out {
        cli::Strength strength;
        StreamInfo info;
        std::optional<int> quality;
    };
    const Out out = released([&] {
        StreamInfo info;
        info.layout = s.colour() ? Layout::rgb : Layout::gray;
        info.w = s.w;
        info.h = s.h;
        info.depth = s.bytes * 8;
        info.alpha = s.alpha();
        Frame frame;
        frame.w = s.w;
        frame.h = s.h;
        frame.pixels.resize(static_cast<std::size_t>(s.w) * static_cast<std::size_t>(s.h));
        convert_in(s, 0, s.h, frame.pixels.data());
        cli::Options options = default_options(1);
        options.strength = "auto";
        std::unique_ptr<cli::FrameReader> reader =
            std::make_unique<HeldPicture>(info, std::move(frame));
        Out o;
        o.info = info;
        o.strength = cli::choose_strength(options, cli::kPngFormat, reader);
        Frame estimated;
        reader->read(estimated);
        o.quality = estimate_quality(estimated.pixels, estimated.w, estimated.h).quality;
        return o;
    });
    return strength_dict(out.strength, out.info, out.quality);
}

// Decodes a JPEG, filters it at its automatic strength, turns it upright: the picture that
// korvane-dct writes to a PNG, as (H, W, 3) uint8, or (H, W) for a gray JPEG.
py::tuple deblock_jpeg(const py::object& source, std::int32_t threads) {
    if (threads < 0 || threads > 1024)
        raise(PyExc_ValueError,
              "threads " + std::to_string(threads) + " is out of its range 1..1024");
    struct Out {
        Frame frame;
        cli::Strength strength;
        StreamInfo info;
        std::optional<int> quality;
    };
    Out out = on_source(source, [threads](const std::string& path) {
        const cli::Options options = default_options(threads);
        std::unique_ptr<cli::FrameReader> reader = cli::kJpegFormat.open_reader(path, options);
        Out o;
        o.info = reader->info();
        if (!o.info.luma_quant.empty()) o.quality = quality_of_table(o.info.luma_quant);
        o.strength = cli::choose_strength(options, cli::kJpegFormat, reader);
        if (!reader->read(o.frame)) throw cli::InputError("'" + path + "': no picture");
        if (!o.strength.unfiltered) {
            const auto& t = o.strength.tracks;
            const Settings settings{t[kThreshold], t[kQuant], t[kNShift], t[kZeroWeight],
                                    o.strength.chroma_threshold};
            FilterPool::Lease lease = filters().take(options.threads);
            const FrameView view{o.frame.pixels.data(), o.frame.w, o.frame.h, o.frame.w};
            const Status status = lease.filter->filter(settings, view, true);
            if (status != Status::ok) throw std::bad_alloc();
        }
        cli::make_upright(o.frame, o.info.orientation);
        return o;
    });
    const bool mono = out.info.mono;
    const auto h = static_cast<py::ssize_t>(out.frame.h), w = static_cast<py::ssize_t>(out.frame.w);
    py::array_t<std::uint8_t> result = mono ? py::array_t<std::uint8_t>({h, w})
                                            : py::array_t<std::uint8_t>({h, w, py::ssize_t{3}});
    std::uint8_t* data = result.mutable_data();
    {
        py::gil_scoped_release release;
        const std::size_t n = out.frame.pixels.size();
        if (mono) {
            for (std::size_t i = 0; i < n; ++i)
                data[i] = static_cast<std::uint8_t>(gray_from_host(out.frame.pixels[i], 255));
        } else if (out.strength.unfiltered && out.info.jpeg_colour) {
            // Left as decoded: libjpeg's own RGB decode, as korvane-dct writes it.
            cli::jpeg_rgb8_from_host(out.frame.pixels.data(), n, data);
        } else {
            rgb8_from_host(out.frame.pixels.data(), n, data);
        }
    }
    return py::make_tuple(result, strength_dict(out.strength, out.info, out.quality));
}

// One picture file into one output file, as `korvane-dct INPUT OUTPUT` with automatic strength
// would write it (korvane-dct's own run_file, quiet; the output appears under
// its name only when whole). `quality`: JPEG output's --quality, 0 for the command's default.
std::string filter_file(const std::string& input, const std::string& output, std::int32_t threads,
                        std::int32_t quality) {
    return released([&] {
        cli::Options options = default_options(threads);
        options.input = input;
        options.output = output;
        if (quality > 0) options.jpeg_quality = quality;
        return cli::run_file(options);
    });
}

}  // namespace
}  // namespace korvane::python

PYBIND11_MODULE(_korvane, m) {
    using namespace korvane::python;
    namespace py = pybind11;
    m.doc() = "The filter's native side; use the package korvane.";
    g_input_error = PyErr_NewException("korvane.InputFileError", PyExc_OSError, nullptr);
    g_output_error = PyErr_NewException("korvane.OutputFileError", PyExc_OSError, nullptr);
    m.add_object("InputFileError", py::handle(g_input_error));
    m.add_object("OutputFileError", py::handle(g_output_error));
    m.def("deblock", &deblock, py::arg("array"), py::arg("out"), py::arg("threshold"),
          py::arg("quant"), py::arg("n_shift"), py::arg("zero_weight"), py::arg("chroma_threshold"),
          py::arg("threads"));
    m.def("strength_for_jpeg", &strength_for_jpeg, py::arg("source"));
    m.def("strength_for_table", &strength_for_table, py::arg("table"));
    m.def("estimate_strength", &estimate_strength, py::arg("array"));
    m.def("deblock_jpeg", &deblock_jpeg, py::arg("source"), py::arg("threads"));
    m.def("filter_file", &filter_file, py::arg("input"), py::arg("output"), py::arg("threads"),
          py::arg("quality"));
    m.def("default_threads", &korvane::default_threads);
}
