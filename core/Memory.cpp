#include "core/Memory.h"

#include <atomic>
#include <cstddef>
#include <new>

namespace {

/* The count of live blocks is kept per thread: each thread that allocates or frees counts in a
   tally of its own with plain (unlocked) loads and stores, and liveAllocations() adds all
   tallies up. A locked instruction per allocation and per free would cost more than the rest of
   a small allocation on a machine where such an instruction takes ~10 ns. A block freed on
   another thread than the one that allocated it leaves one tally higher and another lower; the
   sum stays exact. A thread that ends hands its tally back unchanged (it stays in the sum) for
   a later thread to count on; tallies are never freed. */
struct alignas(64) Tally { // a cache line of its own: no false sharing between threads
    std::atomic<std::ptrdiff_t> n{0};
    std::atomic<bool> bTaken{true};
    Tally* pNext = nullptr;
};

std::atomic<Tally*> gTallies{nullptr};
// What threads count once their tally is handed back (thread-local objects destroyed after it may
// still free blocks) or when no tally can be had: locked, but rare.
std::atomic<std::ptrdiff_t> gUntallied{0};

// Constant-initialised, so reading it needs no guard; initial-exec, so it is one load off the
// thread pointer rather than a call (the library's thread-local block is a few bytes, which fits
// the static TLS that the C library keeps for modules loaded at run time).
__attribute__((tls_model("initial-exec"))) thread_local Tally* tpTally = nullptr;
thread_local bool tbTallyReturned = false;

//! Hands the thread's tally back when the thread ends.
struct TallyLease {
    Tally* pTally = nullptr;
    ~TallyLease() {
        tpTally = nullptr;
        tbTallyReturned = true;
        if (pTally != nullptr)
            pTally->bTaken.store(false, std::memory_order_release);
    }
};
thread_local TallyLease tTallyLease;

//! A tally handed back by an ended thread, or a new one; null when memory runs out.
Tally* takeTally() noexcept {
    for (Tally* p = gTallies.load(std::memory_order_acquire); p != nullptr; p = p->pNext) {
        bool bTaken = false;
        if (!p->bTaken.load(std::memory_order_relaxed) &&
            p->bTaken.compare_exchange_strong(bTaken, true, std::memory_order_acquire))
            return p;
    }
    Tally* p = new (std::nothrow) Tally; // plain heap: the tallies are not counted blocks
    if (p == nullptr)
        return nullptr;
    p->pNext = gTallies.load(std::memory_order_relaxed);
    while (!gTallies.compare_exchange_weak(p->pNext, p, std::memory_order_release,
                                           std::memory_order_relaxed)) {
    }
    return p;
}

//! The thread's tally on its first count; null after the thread handed it back, or when memory
//! runs out.
Tally* firstTally() noexcept {
    if (tbTallyReturned)
        return nullptr;
    tpTally = takeTally();
    tTallyLease.pTally = tpTally; // first use: the lease is made and returns it at thread end
    return tpTally;
}

void count(std::ptrdiff_t delta) noexcept {
    Tally* p = tpTally;
    if (p == nullptr && (p = firstTally()) == nullptr) {
        gUntallied.fetch_add(delta, std::memory_order_release);
        return;
    }
    // Only this thread writes its tally: no read-modify-write has to be atomic.
    p->n.store(p->n.load(std::memory_order_relaxed) + delta, std::memory_order_release);
}

// Countdown of the allocation-failure injection; negative means off.
std::atomic<long> gFailAfter{-1};

void injectFailure() {
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
    std::ptrdiff_t sum = gUntallied.load(std::memory_order_acquire);
    for (Tally* p = gTallies.load(std::memory_order_acquire); p != nullptr; p = p->pNext)
        sum += p->n.load(std::memory_order_acquire);
    // Below zero only while blocks move between threads that are still counting.
    return sum < 0 ? 0 : std::size_t(sum);
}

void failAllocationsAfter(long n) noexcept {
    gFailAfter.store(n < 0 ? -1 : n, std::memory_order_relaxed);
}

void* allocateBytes(std::size_t bytes) {
    injectFailure();
    void* p = ::operator new(bytes == 0 ? 1 : bytes);
    count(1);
    return p;
}

void deallocateBytes(void* p) noexcept {
    if (p == nullptr)
        return;
    count(-1);
    ::operator delete(p);
}

} // namespace Core
} // namespace Mirel
