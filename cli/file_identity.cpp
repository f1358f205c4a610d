#include "cli/file_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <thread>

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

std::vector<std::pair<std::string, FileId>> files_in(
    const std::string& folder, const std::function<bool(const std::string&)>& wanted) {
    std::vector<std::pair<std::string, FileId>> found;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return found;
    const int fd = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!wanted(name)) continue;
        struct stat st {};
        if (::fstatat(fd, entry->d_name, &st, 0) == 0) found.emplace_back(name, of_stat(st));
    }
    ::closedir(dir);
    return found;
}

std::vector<std::optional<FileId>> file_ids(const std::vector<std::string>& paths, int threads) {
    std::vector<std::optional<FileId>> ids(paths.size());
    const auto look_up = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) ids[i] = file_id(paths[i]);
    };
    const std::size_t parts =
        std::clamp<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), 1,
                                std::max<std::size_t>(paths.size() / 1024, 1));
    std::vector<std::jthread> helpers;
    for (std::size_t p = 1; p < parts; ++p)
        helpers.emplace_back(look_up, paths.size() * p / parts, paths.size() * (p + 1) / parts);
    look_up(0, paths.size() / parts);
    return ids;
}

}  // namespace korvane::cli
