// Runs a program as a user would and collects what the tests look at.
#pragma once

#include <string>
#include <vector>

namespace korvane::test {

struct Result {
    int status = -1;  // exit status; -1 when a signal ended the process
    int signal = 0;   // the signal that ended it, if any
    std::string err;  // standard error
};

// Runs `args` (args[0] is the program) with standard input from `in` and standard output to
// `out` (empty: /dev/null).
Result run_command(const std::vector<std::string>& args, const std::string& in = "",
                   const std::string& out = "");

// Runs a shell pipeline (`sh -c`).
Result run_shell(const std::string& command);

// A fresh folder, removed with its files at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> files() const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

}  // namespace korvane::test
