// The command line: arguments separated by zero bytes. Every outcome must be options, a
// printed text (--help, --version) or a UsageError; every accepted track value lies in its range.
#include <string>
#include <vector>

#include "cli/errors.h"
#include "cli/options.h"
#include "engine/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args{"korvane-dct"};
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    std::string out;
    try {
        const auto options =
            korvane::cli::parse_options(static_cast<int>(argv.size()), argv.data(), out);
        if (!options) return 0;
        for (int i = 0; i < korvane::kTrackCount; ++i) {
            const auto v = options->tracks[static_cast<std::size_t>(i)];
            if (v < korvane::kTrackMin[i] || v > korvane::kTrackMax[i]) __builtin_trap();
        }
        if (options->threads < 1 || options->threads > 64) __builtin_trap();
        if (options->size && (options->size->w < 1 || options->size->h < 1)) __builtin_trap();
    } catch (const korvane::cli::UsageError&) {
    }
    return 0;
}
