// korvane-dct: runs the filter over every frame of a file, through the same frame callback that
// the video editor calls.
#include <cstdio>
#include <exception>
#include <new>

#include "cli/errors.h"
#include "cli/formats.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "host/filter_descriptor.h"
#include "standalone/host.h"

namespace korvane::cli {
namespace {

int run(int argc, const char* const* argv) {
    std::string printed;
    const std::optional<Options> parsed = parse_options(argc, argv, printed);
    if (!parsed) {
        std::fputs(printed.c_str(), stdout);
        return 0;
    }
    const Options& options = *parsed;
    const Format& in_format = format_for(options.input);
    const Format& out_format = format_for(options.output);

    // Everything about the input is checked before the output is created.
    std::unique_ptr<FrameReader> reader = in_format.open_reader(options.input, options);
    Host host(GetFilterTable(), options.threads);
    for (int i = 0; i < 4; ++i) host.track(i) = options.tracks[static_cast<std::size_t>(i)];

    OutputFile output(options.output);
    std::unique_ptr<FrameWriter> writer = out_format.open_writer(output, options);
    Frame frame;
    std::int64_t index = 0;
    while (reader->read(frame)) {
        ++index;
        if (host.filter(frame.pixels.data(), frame.w, frame.h, frame.w) == 0)
            throw RunError("frame " + std::to_string(index) + " (" + std::to_string(frame.w) +
                           "x" + std::to_string(frame.h) +
                           "): the filter could not run (out of memory)");
        writer->write(frame);
    }
    output.commit();
    return 0;
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
    using namespace korvane::cli;
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
    } catch (const InputError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
    } catch (const RunError& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "korvane-dct: out of memory\n");
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-dct: %s\n", e.what());
        return 1;
    }
    return 2;
}
