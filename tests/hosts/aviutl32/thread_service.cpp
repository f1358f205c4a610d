#include "thread_service.h"

#include <process.h>

#include <stdexcept>

#include "cdecl_call.h"

namespace host32 {
namespace {

// run_on_all_threads carries no context: the active service is found here.
ThreadService* g_active = nullptr;

}  // namespace

ThreadService::ThreadService(int count) {
    if (count < 1 || count > 64) throw std::runtime_error("thread count outside 1..64");
    if (g_active) throw std::runtime_error("a thread service is already active");
    threads_.resize(static_cast<std::size_t>(count));
    done_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!done_) throw std::runtime_error("CreateEvent failed");
    for (int i = 0; i < count; ++i) {
        Thread& t = threads_[static_cast<std::size_t>(i)];
        t.service = this;
        t.index = i;
        t.go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (!t.go) throw std::runtime_error("CreateEvent failed");
        const std::uintptr_t h = _beginthreadex(nullptr, 0, &thread_main, &t, 0, nullptr);
        if (h == 0) throw std::runtime_error("cannot start a worker thread");
        t.handle = reinterpret_cast<HANDLE>(h);
    }
    g_active = this;
}

ThreadService::~ThreadService() {
    stopping_ = true;
    for (Thread& t : threads_) {
        if (t.handle) {
            SetEvent(t.go);
            WaitForSingleObject(t.handle, INFINITE);
            CloseHandle(t.handle);
        }
        if (t.go) CloseHandle(t.go);
    }
    if (done_) CloseHandle(done_);
    if (g_active == this) g_active = nullptr;
}

const void* ThreadService::entry() const {
    return reinterpret_cast<const void*>(&ThreadService::run_on_all_threads);
}

unsigned __stdcall ThreadService::thread_main(void* arg) {
    Thread& t = *static_cast<Thread*>(arg);
    ThreadService& s = *t.service;
    for (;;) {
        WaitForSingleObject(t.go, INFINITE);
        if (s.stopping_) return 0;
        // The event wait orders these reads after the caller's writes.
        const std::uint32_t args[4] = {
            static_cast<std::uint32_t>(t.index), static_cast<std::uint32_t>(s.count()),
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(s.param1_)),
            static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(s.param2_))};
        const CallResult r = call_cdecl(s.worker_, args, 4, next_misalignment());
        if (r.faults) InterlockedOr(&s.faults_, static_cast<LONG>(r.faults));
        // The interlocked decrement and SetEvent publish this run's writes to the caller.
        if (InterlockedDecrement(&s.remaining_) == 0) SetEvent(s.done_);
    }
}

std::int32_t __cdecl ThreadService::run_on_all_threads(const void* worker, void* param1,
                                                       void* param2) {
    if (!g_active || !worker) return 0;
    return g_active->run(worker, param1, param2);
}

std::int32_t ThreadService::run(const void* worker, void* param1, void* param2) {
    ++calls_;
    worker_ = worker;
    param1_ = param1;
    param2_ = param2;
    remaining_ = count();
    for (Thread& t : threads_) SetEvent(t.go);
    WaitForSingleObject(done_, INFINITE);
    return 1;
}

}  // namespace host32
