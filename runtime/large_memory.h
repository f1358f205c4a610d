// Memory for whole frames and the filter's frame-sized buffers: never zero-filled, since whoever
// sizes a frame writes all of it before reading it. It comes in the system's usual pages. Asking
// for transparent huge pages (madvise) was tried and dropped: on a KVM guest with a 6.18 kernel
// a 20-megapixel photo then spent 1.3 to 3.4 s of system time in huge-page faults against 0.15 s
// in small pages, and video frames got the same spikes.
#pragma once

#include <cstddef>
#include <new>
#include <utility>

namespace korvane {

// count * size bytes, or null when they cannot be had (or the product overflows). Release with
// release_large (or std::free).
void* allocate_large(std::size_t count, std::size_t size);
void release_large(void* p);

// The same for standard containers.
template <typename T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) {}

    T* allocate(std::size_t n) {
        void* p = allocate_large(n, sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t) { release_large(p); }

    // Elements that resize() adds are left uninitialised (default-initialised): whoever sizes a
    // frame writes all of it before reading it, and zeroing it first would only be one more
    // pass over memory.
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <typename U>
    bool operator==(const LargeAllocator<U>&) const {
        return true;
    }
};

}  // namespace korvane
