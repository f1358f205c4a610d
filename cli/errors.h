// Errors that end the command with a message. UsageError and InputError mean bad usage or bad
// input (exit status 2); RunError is a failure while the work runs (exit status 1).
#pragma once

#include <stdexcept>
#include <string>

namespace korvane::cli {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct RunError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace korvane::cli
