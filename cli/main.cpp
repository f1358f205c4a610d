// korvane-dct: runs the filter over every frame of a file or stream, through the same engine
// call that the video editor's frame callback makes. This file takes the options, checks a
// batch's inputs and outputs, runs many files one after the other, and hands each one to
// run_file (cli/run.h).
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cli/errors.h"
#include "cli/file_identity.h"
#include "cli/formats.h"
#include "cli/options.h"
#include "cli/output_file.h"
#include "cli/pipeline.h"
#include "cli/progress.h"
#include "cli/run.h"

namespace korvane::cli {
namespace {

// The file name of `path` without its last extension, as a batch names its output.
std::string stem_of(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot != 0 && name != "..") name.resize(dot);
    return name;
}

// Runs `work` and turns what it throws into its message on standard error and an exit status:
// 2 for bad usage or input, 1 for a failure while the work ran.
template <typename Work>
int reported(const Work& work) {
    const auto failed = [](const char* message, int status) {
        end_progress_line();
        std::fprintf(stderr, "korvane-dct: %s\n", message);
        return status;
    };
    try {
        const int status = work();
        if (status != 0) end_progress_line();
        return status;
    } catch (const UsageError& e) {
        return failed(e.what(), 2);
    } catch (const InputError& e) {
        return failed(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return failed("out of memory", 1);
    } catch (const std::exception& e) {  // RunError, and anything unforeseen
        return failed(e.what(), 1);
    }
}

// -o FOLDER: every input into FOLDER/NAME.EXT, one after the other, each with a setting of its
// own under --strength auto and with every thread on it (the filter and the PNG writer split a
// picture in bands of rows, so one photo at a time keeps the cores busy without holding several
// in memory). A file that fails does not stop the others; the status is 0 when all succeeded,
// else the worst: 2 when some input was bad, 1 when only writing or memory failed.
int run_batch(const Options& options) {
    namespace fs = std::filesystem;
    const fs::path folder(options.output_dir);
    // Each file's run gets these options with its own input and output; the list of inputs is
    // not copied into every one.
    Options each = options;
    each.inputs.clear();
    each.output_dir.clear();
    each.in_batch = true;

    // Every output named before any is written: two inputs of one name, or an output that is an
    // input, are refused as a whole. Names are compared through hash sets, and only an output
    // that already exists is looked up and compared with the inputs by file identity, so that a
    // batch of many thousands starts at once. An input that cannot be a picture (an unknown
    // extension, a folder) fails on its own, as a damaged one does.
    const std::size_t n = options.inputs.size();
    std::vector<std::string> outputs(n);
    std::vector<std::string> refused(n);  // why an input fails before it is opened
    std::unordered_map<std::string, std::size_t> output_of;
    const std::string prefix = (folder / "").string();
    const char* const named_extension =
        options.output_format.empty() ? nullptr : format_named(options.output_format).extension;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string& input = options.inputs[i];
        const Format* in_format = nullptr;
        try {
            each.input = input;
            in_format = &input_format(each);
        } catch (const UsageError& e) {
            struct stat st {};
            refused[i] = ::stat(input.c_str(), &st) == 0 && S_ISDIR(st.st_mode)
                             ? "'" + input + "': cannot read: is a folder"
                             : e.what();
            continue;
        }
        const char* extension = !options.output_format.empty() ? named_extension
                                : in_format == &kY4mFormat || in_format == &kYc48Format
                                    ? in_format->extension
                                    : ".png";
        outputs[i] = prefix + stem_of(input) + extension;
        const auto [at, added] = output_of.emplace(outputs[i], i);
        if (!added)
            throw UsageError("'" + options.inputs[at->second] + "' and '" + input +
                             "' would both be written to '" + outputs[i] + "'");
    }
    std::unordered_map<FileId, std::size_t, FileIdHash> existing;  // outputs there already
    for (const auto& [name, id] : files_in(options.output_dir, [&](const std::string& name) {
             return output_of.contains(prefix + name);
         }))
        existing.emplace(id, output_of.at(prefix + name));
    if (!existing.empty()) {
        const std::vector<std::optional<FileId>> ids = file_ids(options.inputs, options.threads);
        for (std::size_t i = 0; i < n; ++i) {
            if (!ids[i]) continue;
            if (const auto output = existing.find(*ids[i]); output != existing.end())
                throw UsageError("'" + outputs[output->second] +
                                 "' would be written over the input '" + options.inputs[i] + "'");
        }
    }

    // Only now is the folder made, and found writable before the first photo is decoded.
    std::error_code error;
    fs::create_directories(folder, error);
    if (!fs::is_directory(folder))
        throw UsageError("-o '" + options.output_dir + "': cannot make a folder there" +
                         (error ? ": " + error.message() : std::string()));
    check_writable_folder(options.output_dir);

    const bool terminal = !options.quiet && isatty(STDERR_FILENO);
    int worst = 0;
    std::size_t failed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (terminal)
            std::fprintf(stderr, "korvane-dct: [%zu/%zu] %s\n", i + 1, n,
                         options.inputs[i].c_str());
        each.input = options.inputs[i];
        each.output = outputs[i];
        const int status = reported([&] {
            if (!refused[i].empty()) throw InputError(refused[i]);
            run_file(each);
            return 0;
        });
        if (status != 0) {
            ++failed;
            worst = status == 2 || worst == 2 ? 2 : 1;
        }
    }
    if (failed != 0 && n > 1)
        std::fprintf(stderr, "korvane-dct: %zu of %zu files failed\n", failed, n);
    return worst;
}

int run(int argc, const char* const* argv) {
    std::string printed;
    const std::optional<Options> parsed = parse_options(argc, argv, printed);
    if (!parsed) {
        std::fputs(printed.c_str(), stdout);
        return 0;
    }
    if (!parsed->output_dir.empty()) return run_batch(*parsed);
    run_file(*parsed);
    return 0;
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
    using namespace korvane::cli;
    // A reader that closes the output pipe early gets a write error, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    // Likewise a file-size limit: the write fails, the message names it and the temporary file
    // is removed, instead of the process dying with a half-written file left behind.
    std::signal(SIGXFSZ, SIG_IGN);
    // Interrupted or terminated: no temporary file is left behind, an existing output is kept.
    remove_temporary_files_on_signals();
    const int status = reported([&] { return run(argc, argv); });
    if (reading_thread_left_behind()) {
        std::fflush(stderr);
        std::_Exit(status);
    }
    return status;
}
