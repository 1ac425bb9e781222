#include "data_flow/nodes/ProcessLock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

#ifdef __linux__
#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace Mirel {
namespace DataFlow {

namespace {

// Waiting threads sleep on one of a few condition variables chosen by the lock's address, so a
// lock needs no room of its own for them; sharing one only costs an extra look.
struct Sleepers {
    std::mutex oMutex;
    std::condition_variable oWakeUp;
};
constexpr std::size_t kSleeperSets = 16;
Sleepers gSleepers[kSleeperSets];

Sleepers& sleepersOf(ProcessLock const* pLock) {
    return gSleepers[std::hash<ProcessLock const*>()(pLock) % kSleeperSets];
}

/* A full memory barrier on every running thread of the process (Linux membarrier, registered on
   first use); false where the system offers none. unlock() gives the lock back with a plain store
   and then looks for waiters, and those two may be reordered. A waiter that counts itself and
   then makes every thread pass a barrier before it looks at the lock is safe from that: either
   the holder's store is visible to its look, or the holder's look sees it counted and wakes it. */
bool barrierOnEveryThread() noexcept {
#ifdef __linux__
    static bool const bRegistered =
        syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
    return bRegistered && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0;
#else
    return false;
#endif
}

} // namespace

void ProcessLock::waitAndLock(std::thread::id self) {
    Sleepers& oSleepers = sleepersOf(this);
    std::unique_lock<std::mutex> oLock(oSleepers.oMutex);
    nWaiters_.fetch_add(1, std::memory_order_seq_cst);
    // Only the first look can race with a holder's unlock(): later ones follow a wake-up under
    // the sleepers' mutex, which the waking holder took after its store. Without the barrier,
    // waiters look again every millisecond on their own.
    bool const bPrompt = barrierOnEveryThread();
    std::thread::id none;
    while (!oOwner_.compare_exchange_strong(none, self, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        none = std::thread::id();
        // With the barrier the period is only a safety net; no wake-up is expected to need it.
        oSleepers.oWakeUp.wait_for(oLock, bPrompt ? std::chrono::milliseconds(100)
                                                  : std::chrono::milliseconds(1));
    }
    nWaiters_.fetch_sub(1, std::memory_order_relaxed);
}

void ProcessLock::wakeWaiters() noexcept {
    Sleepers& oSleepers = sleepersOf(this);
    {
        // Taken so that the notification cannot fall between a waiter's look and its sleep.
        std::lock_guard<std::mutex> oLock(oSleepers.oMutex);
    }
    oSleepers.oWakeUp.notify_all();
}

} // namespace DataFlow
} // namespace Mirel
