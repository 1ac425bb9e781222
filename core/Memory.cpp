#include "core/Memory.h"

#include <atomic>
#include <new>

namespace {

std::atomic<std::size_t> gLiveAllocations{0};
// Countdown of the allocation-failure injection; negative means off.
std::atomic<long> gFailAfter{-1};

void countAllocation() {
    // The common case costs one relaxed load.
    if (gFailAfter.load(std::memory_order_relaxed) >= 0 &&
        gFailAfter.fetch_sub(1, std::memory_order_relaxed) == 0)
        throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size, Mirel::MemoryType, char const*, int) {
    return Mirel::Core::allocateBytes(size);
}

void operator delete(void* p, Mirel::MemoryType, char const*, int) noexcept {
    Mirel::Core::deallocateBytes(p);
}

namespace Mirel {
namespace Core {

std::size_t liveAllocations() noexcept {
    return gLiveAllocations.load(std::memory_order_relaxed);
}

void failAllocationsAfter(long n) noexcept {
    gFailAfter.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

void* allocateBytes(std::size_t bytes) {
    countAllocation();
    void* p = ::operator new(bytes == 0 ? 1 : bytes);
    gLiveAllocations.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void deallocateBytes(void* p) noexcept {
    if (p == nullptr)
        return;
    gLiveAllocations.fetch_sub(1, std::memory_order_relaxed);
    ::operator delete(p);
}

} // namespace Core
} // namespace Mirel
