#include "data_flow/internal/ControllerImpl.h"

#include <new>

namespace Mirel {
namespace DataFlow {
namespace internal {

namespace {

// The arena lives in static storage rather than on the counted heap: it is one object for the
// whole process, made by whichever controller comes first, and must not count as a block that
// that controller's owner leaked.
alignas(tbb::task_arena) unsigned char gArenaStorage[sizeof(tbb::task_arena)];

// Visits deeper than this give their large stack back for one of the initial size.
constexpr std::size_t kKeptVisitFrames = 4096;

} // namespace

std::recursive_mutex ControllerImpl::s_scheduler_mutex;
std::atomic<tbb::task_arena*> ControllerImpl::s_task_arena{nullptr};

ControllerImpl::ControllerImpl(std::size_t numberOfThreads)
    : oContext_(tbb::task_group_context::isolated, tbb::task_group_context::default_traits)
    , oGroup_(oContext_)
    , iTaskCount_(0)
    , bCancelled_(false)
    , nThreads_(numberOfThreads)
    , bVisitStackInUse_(false) {
    initializeScheduler(numberOfThreads);
    aVisitStack_.resize(kInitialVisitFrames);
    iTaskCount_.store(1, std::memory_order_relaxed);
}

ControllerImpl::~ControllerImpl() {
    joinTasks();
}

void ControllerImpl::joinTasks() noexcept {
    // An asynchronous evaluation still pending or running is completed first. Without an arena
    // nothing can be pending: the arena is only terminated while no controller works.
    if (s_task_arena.load(std::memory_order_acquire) != nullptr) {
        try {
            arena().execute([this] { oGroup_.wait(); });
        } catch (...) {
            // The tasks store their failures themselves; a destructor has nobody to tell.
        }
    }
}

void ControllerImpl::cancelProcess() {
    // Recorded here as well: the task group's wait resets its context, and would wipe out a
    // cancellation that arrives while a Controller::wait() is finishing.
    bCancelled_.store(true, std::memory_order_release);
    oContext_.cancel_group_execution();
}

void ControllerImpl::resetIfCancelled() {
    if (isCancelled()) {
        oContext_.reset();
        bCancelled_.store(false, std::memory_order_release);
    }
}

bool ControllerImpl::waitForTasks() {
    bool const bCancelled =
        arena().execute([this] { return oGroup_.wait(); }) == tbb::task_group_status::canceled;
    if (bCancelled)
        bCancelled_.store(true, std::memory_order_release);
    return bCancelled;
}

void ControllerImpl::returnVisitStack() noexcept {
    // The visit uses the frames as plain storage and keeps its own top: nothing to clear.
    if (aVisitStack_.size() > kKeptVisitFrames) {
        try {
            VisitStack aSmall(kInitialVisitFrames);
            aSmall.swap(aVisitStack_);
        } catch (std::bad_alloc const&) {
            // Keeping the large stack is as good.
        }
    }
    bVisitStackInUse_.store(false, std::memory_order_release);
}

bool ControllerImpl::initializeScheduler(std::size_t numberOfThreads) {
    std::lock_guard<std::recursive_mutex> oLock(s_scheduler_mutex);
    if (s_task_arena.load(std::memory_order_relaxed) == nullptr) {
        int const nSlots = numberOfThreads == 0  ? 1
                           : numberOfThreads > 2 ? 2
                                                 : int(numberOfThreads);
        // One slot is kept for the threads that call into the library; the rest are workers.
        tbb::task_arena* pArena = new (gArenaStorage) tbb::task_arena(nSlots);
        pArena->initialize();
        s_task_arena.store(pArena, std::memory_order_release);
    }
    return true;
}

void ControllerImpl::terminateScheduler() {
    tbb::task_arena* pArena = s_task_arena.exchange(nullptr, std::memory_order_acq_rel);
    if (pArena != nullptr) {
        if (pArena->is_active())
            pArena->terminate();
        pArena->~task_arena();
    }
}

tbb::task_arena& ControllerImpl::recreateArena() {
    initializeScheduler(nThreads_);
    return *s_task_arena.load(std::memory_order_acquire);
}

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
