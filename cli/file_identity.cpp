#include "cli/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

namespace korvane::cli {
namespace {

FileId of_stat(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino), {}};
}

// The absolute path of a file that does not exist (yet), with its folders' links resolved.
std::string resolved_path(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec) return path;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(absolute, ec);
    return (ec ? absolute : resolved).lexically_normal().string();
}

}  // namespace

std::size_t FileIdHash::operator()(const FileId& id) const {
    if (!id.path.empty()) return std::hash<std::string>{}(id.path);
    return std::hash<std::uint64_t>{}(id.inode * 0x9E3779B97F4A7C15ull ^ id.device);
}

std::optional<FileId> file_id(const std::string& path, bool output) {
    struct stat st {};
    if (path == "-") {
        if (::fstat(output ? STDOUT_FILENO : STDIN_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        return of_stat(st);
    }
    if (::stat(path.c_str(), &st) == 0) return of_stat(st);
    return FileId{0, 0, resolved_path(path)};
}

}  // namespace korvane::cli
