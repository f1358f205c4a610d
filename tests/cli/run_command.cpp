#include "run_command.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace korvane::test {

Result run_command(const std::vector<std::string>& args, const std::string& in,
                   const std::string& out) {
    char err_path[] = "/tmp/korvane-err-XXXXXX";
    const int err_fd = ::mkstemp(err_path);
    if (err_fd < 0) throw std::runtime_error("mkstemp");
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in_fd = ::open(in.empty() ? "/dev/null" : in.c_str(), O_RDONLY);
        const int out_fd =
            ::open(out.empty() ? "/dev/null" : out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in_fd < 0 || out_fd < 0) ::_exit(127);
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    ::waitpid(pid, &wstatus, 0);
    ::close(err_fd);
    Result r;
    if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
    r.err = read_file(err_path);
    ::unlink(err_path);
    return r;
}

Result run_shell(const std::string& command) { return run_command({"/bin/sh", "-c", command}); }

TempDir::TempDir() {
    char templ[] = "/tmp/korvane-cli-XXXXXX";
    if (!::mkdtemp(templ)) throw std::runtime_error("mkdtemp");
    path_ = templ;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::files() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        names.push_back(e.path().filename().string());
    return names;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace korvane::test
