#include "runtime/thread_pool.h"

#include <algorithm>
#include <stdexcept>

namespace korvane {

std::int32_t default_threads() {
    const unsigned n = std::thread::hardware_concurrency();  // 0 when it is not known
    return n == 0 ? 1 : static_cast<std::int32_t>(std::min<unsigned>(n, kDefaultThreadsMost));
}

ThreadPool::ThreadPool(std::int32_t count) : count_(count) {
    if (count < 1) throw std::invalid_argument("thread count must be at least 1");
    threads_.reserve(static_cast<std::size_t>(count - 1));
    try {
        for (std::int32_t i = 1; i < count; ++i)
            threads_.emplace_back(&ThreadPool::thread_main, this, i);
    } catch (...) {
        stop();
        throw;
    }
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void ThreadPool::run_on_all(Job worker, void* param1, void* param2) {
    {
        std::lock_guard lock(mutex_);
        worker_ = worker;
        param1_ = param1;
        param2_ = param2;
        pending_ = count_ - 1;
        ++generation_;
    }
    start_.notify_all();
    worker(0, count_, param1, param2);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
}

void ThreadPool::run(void* pool, Job job, void* param1, void* param2) {
    static_cast<ThreadPool*>(pool)->run_on_all(job, param1, param2);
}

void ThreadPool::thread_main(std::int32_t index) {
    std::uint64_t seen = 0;
    for (;;) {
        Job worker;
        void* param1;
        void* param2;
        {
            std::unique_lock lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
            worker = worker_;
            param1 = param1_;
            param2 = param2_;
        }
        worker(index, count_, param1, param2);
        bool last;
        {
            std::lock_guard lock(mutex_);
            last = --pending_ == 0;
        }
        if (last) done_.notify_one();
    }
}

}  // namespace korvane
