#include "runtime/large_memory.h"

#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace korvane {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}
#endif

void* allocate_large(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    const std::size_t bytes = count * size == 0 ? 1 : count * size;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= kHugePage && bytes <= std::numeric_limits<std::size_t>::max() - kHugePage) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = std::aligned_alloc(kHugePage, rounded);
        // Only advice: where huge pages are off or none is free, the memory comes in small
        // pages.
        if (p) ::madvise(p, rounded, MADV_HUGEPAGE);
        return p;
    }
#endif
    return std::malloc(bytes);
}

void release_large(void* p) { std::free(p); }

}  // namespace korvane
