#pragma once

#include "data_flow/Export.h"

#include <atomic>
#include <cstdint>
#include <thread>

namespace Mirel {
namespace DataFlow {

/** The recursive lock a controller holds while it processes a node. Taken when free it costs one
    locked instruction and given back none, where a system recursive mutex costs one each way: on
    a chain of small nodes that is a large share of each node's cost. A thread that finds it held
    by another sleeps until it is given back (woken at once on Linux, elsewhere at most a
    millisecond late, see unlock). The thread that holds it may take it again; it is free once
    given back as often as it was taken. */
class DATA_FLOW_API ProcessLock {
public:
    ProcessLock() noexcept = default;
    ProcessLock(ProcessLock const&) = delete;
    ProcessLock& operator=(ProcessLock const&) = delete;

    //! Takes the lock, waiting while another thread holds it. Throws std::system_error only when
    //! a waiting thread cannot sleep.
    void lock() {
        std::thread::id const self = std::this_thread::get_id();
        if (oOwner_.load(std::memory_order_relaxed) == self) {
            ++nDepth_;
            return;
        }
        std::thread::id none;
        if (!oOwner_.compare_exchange_strong(none, self, std::memory_order_acquire,
                                             std::memory_order_relaxed))
            waitAndLock(self);
        nDepth_ = 1;
    }
    //! Gives the lock back; only the thread that holds it may call this.
    void unlock() noexcept {
        if (--nDepth_ != 0)
            return;
        oOwner_.store(std::thread::id(), std::memory_order_release);
        // Without a full fence this load may pass the store above, so a thread that starts to
        // wait just now could miss the wake-up below: a waiter makes every thread pass a barrier
        // before it looks (Linux membarrier), or, where there is none, looks again every
        // millisecond on its own.
        if (nWaiters_.load(std::memory_order_relaxed) != 0)
            wakeWaiters();
    }

private:
    void waitAndLock(std::thread::id self);
    void wakeWaiters() noexcept;

    std::atomic<std::thread::id> oOwner_{};
    std::uint32_t nDepth_ = 0; // changed by the holder only
    std::atomic<std::uint32_t> nWaiters_{0};
};

} // namespace DataFlow
} // namespace Mirel
