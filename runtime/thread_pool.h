// A fixed set of threads that runs one worker call per thread and waits for all of them: the
// thread service a host offers its filters.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/engine.h"

namespace korvane {

// The threads a filter gets when its user names none, the one rule of every front end: the
// machine's hardware threads, at most 64 (beyond that a 4K frame's bands of rows grow too thin
// to pay for the threads). The output never depends on it.
inline constexpr std::int32_t kDefaultThreadsMost = 64;
std::int32_t default_threads();

class ThreadPool {
public:
    // count >= 1 threads: the calling thread plays index 0, count - 1 threads of the pool the rest.
    explicit ThreadPool(std::int32_t count);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    std::int32_t size() const { return count_; }

    // The engine's parallel-for on this pool.
    Parallel parallel() { return {count_, &ThreadPool::run, this}; }

    // Runs worker(i, size(), param1, param2) exactly once for every i in 0..size()-1, possibly at
    // the same time, and returns when all runs have returned; their writes are then visible to
    // the caller. One run_on_all at a time per pool.
    void run_on_all(Job worker, void* param1, void* param2);

private:
    static void run(void* pool, Job job, void* param1, void* param2);
    void thread_main(std::int32_t index);
    void stop();

    std::int32_t count_;
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    std::uint64_t generation_ = 0;  // bumped for every job
    std::int32_t pending_ = 0;      // runs of the current job not yet finished
    bool stopping_ = false;
    Job worker_ = nullptr;
    void* param1_ = nullptr;
    void* param2_ = nullptr;
    std::vector<std::thread> threads_;
};

}  // namespace korvane
