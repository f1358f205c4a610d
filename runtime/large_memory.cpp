#include "runtime/large_memory.h"

#include <cstdlib>
#include <limits>

namespace korvane {

void* allocate_large(std::size_t count, std::size_t size) {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    return std::malloc(count * size == 0 ? 1 : count * size);
}

void release_large(void* p) { std::free(p); }

}  // namespace korvane
