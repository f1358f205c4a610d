#include "tests/hosts/inprocess/host.h"

#include <algorithm>
#include <stdexcept>

namespace korvane {
namespace {

// run_on_all_threads has no context argument: the pool of the frame being filtered on this
// thread is found here.
thread_local ThreadPool* t_pool = nullptr;

}  // namespace

Host::Host(const FilterTable* table, std::int32_t threads) : table_(table), pool_(threads) {
    if (!table || !table->callback || table->track_count != static_cast<int>(tracks_.size()) ||
        !table->track_defaults)
        throw std::invalid_argument("not a filter table with four track bars and a callback");
    std::copy_n(table->track_defaults, tracks_.size(), tracks_.begin());
    functions_.run_on_all_threads = &Host::run_on_all_threads;
    state_.track = tracks_.data();
    state_.host = &functions_;
}

std::int32_t Host::run_on_all_threads(ThreadWorker worker, void* param1, void* param2) {
    if (!t_pool || !worker) return 0;
    t_pool->run_on_all(worker, param1, param2);
    return 1;
}

std::int32_t Host::filter(YcPixel* pixels, std::int32_t w, std::int32_t h, std::int32_t stride) {
    return filter_with(table_->callback, pixels, w, h, stride);
}

std::int32_t Host::filter_with(const Callback& callback, YcPixel* pixels, std::int32_t w,
                               std::int32_t h, std::int32_t stride) {
    frame_ = FrameInfo{};
    frame_.pixels = pixels;
    frame_.w = w;
    frame_.h = h;
    frame_.stride = stride;
    struct PoolScope {
        explicit PoolScope(ThreadPool* p) { t_pool = p; }
        ~PoolScope() { t_pool = nullptr; }
    } scope(&pool_);
    return callback(&state_, &frame_);
}

}  // namespace korvane
