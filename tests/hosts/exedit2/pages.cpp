#include "pages.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace host64 {
namespace {

struct Region {
    std::uintptr_t begin, record_begin, record_end, end;  // pages, the record inside them
    const std::string* name;
};

std::mutex g_regions_mutex;
std::vector<Region> g_regions;

std::size_t page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

LONG CALLBACK report_fault(EXCEPTION_POINTERS* e) {
    const EXCEPTION_RECORD& r = *e->ExceptionRecord;
    if (r.ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r.NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    const bool write = r.ExceptionInformation[0] == 1;
    const auto address = static_cast<std::uintptr_t>(r.ExceptionInformation[1]);
    // No lock: the fault may have come while the list was held; it is only read here, and the
    // process ends right after.
    for (const Region& region : g_regions) {
        if (address < region.begin || address >= region.end) continue;
        if (address >= region.record_begin && address < region.record_end)
            std::fprintf(stderr, "korvane-host64: the plug-in wrote into the %s (byte %llu)\n",
                         region.name->c_str(),
                         static_cast<unsigned long long>(address - region.record_begin));
        else
            std::fprintf(
                stderr, "korvane-host64: the plug-in %s %llu bytes past the end of the %s\n",
                write ? "wrote" : "read",
                static_cast<unsigned long long>(address - region.record_end), region.name->c_str());
        std::fflush(stderr);
        TerminateProcess(GetCurrentProcess(), kBroken);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

GuardedRecord::GuardedRecord(std::size_t size, std::string name)
    : size_(size), name_(std::move(name)) {
    const std::size_t page = page_size();
    record_pages_ = (size + page - 1) / page;
    if (record_pages_ == 0) record_pages_ = 1;
    base_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, (record_pages_ + 1) * page,
                                                     MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!base_) throw std::runtime_error("cannot allocate the " + name_);
    DWORD old = 0;
    VirtualProtect(base_ + record_pages_ * page, page, PAGE_NOACCESS, &old);
    record_ = base_ + record_pages_ * page - size;
    std::lock_guard lock(g_regions_mutex);
    const auto begin = reinterpret_cast<std::uintptr_t>(base_);
    g_regions.push_back(Region{begin, reinterpret_cast<std::uintptr_t>(record_),
                               begin + record_pages_ * page, begin + (record_pages_ + 1) * page,
                               &name_});
}

GuardedRecord::~GuardedRecord() {
    {
        std::lock_guard lock(g_regions_mutex);
        const auto begin = reinterpret_cast<std::uintptr_t>(base_);
        for (auto it = g_regions.begin(); it != g_regions.end(); ++it)
            if (it->begin == begin) {
                g_regions.erase(it);
                break;
            }
    }
    VirtualFree(base_, 0, MEM_RELEASE);
}

void GuardedRecord::set_writable(bool writable) {
    DWORD old = 0;
    VirtualProtect(base_, record_pages_ * page_size(), writable ? PAGE_READWRITE : PAGE_READONLY,
                   &old);
}

bool accessible(const void* p, std::size_t bytes, bool writable) {
    auto at = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t end = at + bytes;
    if (!p || end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION info{};
        if (VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info) != sizeof info ||
            info.State != MEM_COMMIT)
            return false;
        const DWORD prot = info.Protect & 0xFFu;
        const bool can_write = prot == PAGE_READWRITE || prot == PAGE_WRITECOPY ||
                               prot == PAGE_EXECUTE_READWRITE || prot == PAGE_EXECUTE_WRITECOPY;
        const bool can_read = can_write || prot == PAGE_READONLY || prot == PAGE_EXECUTE_READ;
        if (!(writable ? can_write : can_read) || (info.Protect & PAGE_GUARD)) return false;
        at = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    }
    return true;
}

void install_fault_reporter() { AddVectoredExceptionHandler(1, report_fault); }

}  // namespace host64
