// Which file a path names, found once per path: two spellings of one file (hard links, symbolic
// links, "./" and "..", or standard input or output redirected to it) have the same identity, so
// that many files are compared through a hash table instead of pair by pair.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvane::cli {

struct FileId {
    // An existing file: its device and inode. A file that does not exist yet: device and inode 0
    // and its absolute path with the folders' symbolic links resolved.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string path;

    bool operator==(const FileId&) const = default;
};

struct FileIdHash {
    std::size_t operator()(const FileId& id) const;
};

// The file `path` names; "-" is standard input (or output, with `output`). A stream that is not
// a regular file (a terminal, a pipe) has no identity: nothing else can name what it reads or
// writes.
std::optional<FileId> file_id(const std::string& path, bool output = false);

// The identities of the files in `folder` whose names `wanted` accepts, read with one pass over
// the folder and each file looked up relative to it (symbolic links followed). Empty when the
// folder does not exist.
std::vector<std::pair<std::string, FileId>> files_in(
    const std::string& folder, const std::function<bool(const std::string&)>& wanted);

// file_id() of many paths, looked up on `threads` threads (the look-ups wait on the file system,
// not on the processor).
std::vector<std::optional<FileId>> file_ids(const std::vector<std::string>& paths, int threads);

}  // namespace korvane::cli
