#include "cli/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"

namespace korvane::cli {
namespace {

std::string describe_errno() { return std::strerror(errno); }

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    if (path_ == "-") {
        is_stdout_ = true;
        file_ = stdout;
        return;
    }
    struct stat st {};
    const bool found = ::stat(path_.c_str(), &st) == 0;
    if (found && S_ISDIR(st.st_mode))
        throw UsageError("'" + path_ + "': cannot write output: is a folder");
    if (found && !S_ISREG(st.st_mode)) {
        // A device or a named pipe (/dev/null, /dev/stdout, a FIFO): written in place, since
        // renaming a file over it would replace the device itself.
        file_ = std::fopen(path_.c_str(), "wb");
        if (!file_) throw UsageError("'" + path_ + "': cannot write output: " + describe_errno());
        is_stream_ = true;
        return;
    }
    // The temporary file lies in the destination's folder so that the final rename is atomic.
    std::string templ = path_ + ".XXXXXX";
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) throw UsageError("'" + path_ + "': cannot write output: " + describe_errno());
    temp_path_ = templ;
    // Permissions as a newly created file would get (mkstemp makes it 0600).
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
        ::close(fd);
        ::unlink(temp_path_.c_str());
        throw UsageError("'" + path_ + "': cannot write output: " + describe_errno());
    }
}

OutputFile::~OutputFile() {
    if (is_stream_ && file_) std::fclose(file_);
    if (is_stdout_ || is_stream_ || temp_path_.empty()) return;
    if (file_) std::fclose(file_);
    ::unlink(temp_path_.c_str());
}

void OutputFile::write(const void* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, file_) != size)
        throw RunError("'" + path_ + "': write failed: " + describe_errno());
}

void OutputFile::commit() {
    if (is_stdout_) {
        if (std::fflush(file_) != 0)
            throw RunError("'" + path_ + "': write failed: " + describe_errno());
        return;
    }
    if (is_stream_) {
        std::FILE* f = file_;
        file_ = nullptr;
        if (std::fclose(f) != 0)
            throw RunError("'" + path_ + "': write failed: " + describe_errno());
        return;
    }
    std::FILE* f = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    const int saved = errno;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) {
        errno = flushed ? errno : saved;
        throw RunError("'" + path_ + "': write failed: " + describe_errno());
    }
    if (::rename(temp_path_.c_str(), path_.c_str()) != 0)
        throw RunError("'" + path_ + "': cannot replace the output: " + describe_errno());
    temp_path_.clear();
}

}  // namespace korvane::cli
