// An output written to a temporary file beside its destination and renamed over it only when
// complete, so that an existing file is never left half-written. An existing file keeps its
// permissions; a symbolic link is written through (the file it points at is replaced, the link
// stays). A file with other hard links is replaced by a new file: the other names keep the old
// bytes, as with any save that renames into place. "-" is standard output; an existing device or
// named pipe is written in place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace korvane::cli {

class OutputFile {
public:
    // Creates the temporary file; throws UsageError when the destination's folder is not
    // writable.
    explicit OutputFile(std::string path);
    ~OutputFile();  // removes the temporary file unless committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& path() const { return path_; }
    // Throws RunError when the bytes cannot be written.
    void write(const void* data, std::size_t size);
    // Flushes, closes and renames the temporary file over the destination.
    void commit();

private:
    std::string path_;
    std::string target_;  // path_ with symbolic links followed
    std::string temp_path_;
    int temp_slot_ = -1;  // where the signal handler finds temp_path_
    std::FILE* file_ = nullptr;
    bool is_stdout_ = false;
    bool is_stream_ = false;  // an existing device or pipe, written in place
};

// Throws UsageError unless a file can be created in `folder` (found by creating and removing a
// temporary one), so that a batch learns of a folder it cannot write before it reads anything.
void check_writable_folder(const std::string& folder);

// From now on SIGINT, SIGTERM and SIGHUP remove every temporary file of an OutputFile that has
// not been committed, then end the process as the signal would (existing outputs keep their
// bytes). Signals that are ignored stay ignored.
void remove_temporary_files_on_signals();

}  // namespace korvane::cli
