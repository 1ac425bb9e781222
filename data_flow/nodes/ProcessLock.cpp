#include "data_flow/nodes/ProcessLock.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>

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

} // namespace

void ProcessLock::waitAndLock(std::thread::id self) {
    Sleepers& oSleepers = sleepersOf(this);
    std::unique_lock<std::mutex> oLock(oSleepers.oMutex);
    nWaiters_.fetch_add(1, std::memory_order_seq_cst);
    std::thread::id none;
    while (!oOwner_.compare_exchange_strong(none, self, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
        none = std::thread::id();
        oSleepers.oWakeUp.wait_for(oLock, std::chrono::milliseconds(1));
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
