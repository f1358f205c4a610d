// One input into one output, as korvane-dct runs it: the checks of its files and options,
// automatic strength, the frame pipeline with the filter, and what it reports. The command runs
// each file of a batch through it, and so does the Python module's batch run.
#pragma once

#include <string>

#include "cli/options.h"

namespace korvane::cli {

// Runs `options.input` into `options.output`. Returns the line of automatic strength (empty
// under manual strength), which it also prints unless `options.quiet`. Throws UsageError or
// InputError (korvane-dct's exit status 2) before any output is made, RunError while writing.
std::string run_file(const Options& options);

}  // namespace korvane::cli
