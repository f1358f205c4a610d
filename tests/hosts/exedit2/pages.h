// Memory the host hands to the plug-in, laid out so that a step outside it is caught where it
// happens: a record ends exactly where an inaccessible page begins, and is read-only while the
// plug-in runs. A fault on such a page is reported by name and ends the host with status 3.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "tests/hosts/common/host_common.h"

namespace host64 {

using hosts::kBroken;

// A record of `size` bytes whose last byte is followed by an inaccessible page.
class GuardedRecord {
public:
    GuardedRecord(std::size_t size, std::string name);
    ~GuardedRecord();
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;

    unsigned char* data() { return record_; }
    // Writable (the host fills it) or read-only (the plug-in runs).
    void set_writable(bool writable);

private:
    unsigned char* base_ = nullptr;  // the record's page(s), then the guard page
    std::size_t record_pages_ = 0;
    unsigned char* record_ = nullptr;
    std::size_t size_ = 0;
    std::string name_;
};

// True if [p, p + bytes) is committed memory that allows reading (and writing, if asked).
bool accessible(const void* p, std::size_t bytes, bool writable);

// Reports faults on guarded records; installed once.
void install_fault_reporter();

}  // namespace host64
