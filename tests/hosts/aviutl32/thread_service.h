// The editor's thread service as the plug-in sees it: run_on_all_threads(worker, param1, param2)
// runs worker(thread_index, thread_count, param1, param2) once on each of a fixed set of Win32
// threads and returns when all of them are done.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

namespace host32 {

class ThreadService {
public:
    // Starts `count` (1..64) worker threads. Throws std::runtime_error if Windows refuses.
    explicit ThreadService(int count);
    ~ThreadService();
    ThreadService(const ThreadService&) = delete;
    ThreadService& operator=(const ThreadService&) = delete;

    int count() const { return static_cast<int>(threads_.size()); }

    // The address to put into the host function table. Runs on this service; one service may
    // be active in the process at a time.
    const void* entry() const;

    // Calling-convention faults seen in workers since the start (CallFault bits), and the
    // number of run_on_all_threads calls.
    std::uint32_t faults() const { return faults_; }
    std::uint32_t calls() const { return calls_; }

private:
    struct Thread {
        ThreadService* service = nullptr;
        int index = 0;
        HANDLE go = nullptr;  // auto-reset: one run per signal
        HANDLE handle = nullptr;
    };

    static unsigned __stdcall thread_main(void* arg);
    static std::int32_t __cdecl run_on_all_threads(const void* worker, void* param1, void* param2);
    std::int32_t run(const void* worker, void* param1, void* param2);

    std::vector<Thread> threads_;
    HANDLE done_ = nullptr;  // auto-reset: set by the last thread of a run
    volatile LONG remaining_ = 0;
    volatile LONG faults_ = 0;
    std::uint32_t calls_ = 0;
    bool stopping_ = false;
    const void* worker_ = nullptr;
    void* param1_ = nullptr;
    void* param2_ = nullptr;
};

}  // namespace host32
