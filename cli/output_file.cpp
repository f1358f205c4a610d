#include "cli/output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cli/errors.h"

namespace korvane::cli {
namespace {

std::string describe_errno() { return std::strerror(errno); }

// Temporary files not yet renamed into place, for the signal handler to remove: fixed storage,
// since a handler may touch nothing else (unlink is async-signal-safe, allocation is not).
constexpr int kTempSlots = 4;
constexpr std::size_t kTempPathMax = 4096;
char g_temp_paths[kTempSlots][kTempPathMax];
volatile std::sig_atomic_t g_temp_used[kTempSlots];

int register_temp(const std::string& path) {
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_used[i]) continue;
        std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
        g_temp_used[i] = 1;
        return i;
    }
    return -1;
}

void unregister_temp(int slot) {
    if (slot >= 0) g_temp_used[slot] = 0;
}

extern "C" void remove_temps_and_die(int sig) {
    for (int i = 0; i < kTempSlots; ++i)
        if (g_temp_used[i]) ::unlink(g_temp_paths[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// The file a path finally names: symbolic links followed, so that the output is written
// through them and the link stays a link. A dangling link names the file it points at.
std::string resolve_links(const std::string& path) {
    std::string current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n < 0) return current;
        target.resize(static_cast<std::size_t>(n));
        if (!target.empty() && target[0] != '/') {
            const auto slash = current.rfind('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    return current;
}

}  // namespace

void remove_temporary_files_on_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal the caller chose to ignore (nohup) stays ignored.
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction sa {};
        sa.sa_handler = &remove_temps_and_die;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

void check_writable_folder(const std::string& folder) {
    std::string templ = folder + "/.korvane-dct.XXXXXX";
    const int fd = ::mkstemp(templ.data());
    if (fd < 0)
        throw UsageError("-o '" + folder + "': cannot write into the folder: " + describe_errno());
    const int slot = register_temp(templ);
    ::close(fd);
    ::unlink(templ.c_str());
    unregister_temp(slot);
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    if (path_ == "-") {
        is_stdout_ = true;
        file_ = stdout;
        return;
    }
    struct stat st {};
    const bool found = ::stat(path_.c_str(), &st) == 0;
    // Written through symbolic links: the temporary file lies beside, and is renamed over, the
    // file the link points at.
    target_ = resolve_links(path_);
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
    std::string templ = target_ + ".XXXXXX";
    const int fd = ::mkstemp(templ.data());
    if (fd < 0) throw UsageError("'" + path_ + "': cannot write output: " + describe_errno());
    temp_path_ = templ;
    temp_slot_ = register_temp(temp_path_);
    if (found) {
        // The replaced file's permissions, and its owner where this process may give it.
        ::fchmod(fd, st.st_mode & 07777);
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not the owner: the new file is this user's, as any editor's saved file would be.
        }
    } else {
        // Permissions as a newly created file would get (mkstemp makes it 0600).
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
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
    unregister_temp(temp_slot_);
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
    if (::rename(temp_path_.c_str(), target_.c_str()) != 0)
        throw RunError("'" + path_ + "': cannot replace the output: " + describe_errno());
    unregister_temp(temp_slot_);
    temp_path_.clear();
}

}  // namespace korvane::cli
