#pragma once
/** A controller's tie to the task scheduler.

    The process has one task arena, at most two slots wide, that every controller's parallel
    loops and asynchronous evaluations run in. The first ControllerImpl creates it; it stays until
    Controller::terminateScheduler. Each controller has its own isolated task group context (so a
    cancellation reaches exactly that controller's work and nothing cancels it from outside) and a
    task group bound to it, which carries the asynchronous evaluation tasks. A count of started
    tasks, 1 while idle, stands where a root task's reference count would be.

    The task group resets its context whenever it is waited for. A cancellation must nevertheless
    survive until Controller::wait() has seen it and flushed the graph, so the wait records it
    here and resetIfCancelled() clears it. */

#include "core/Allocator.h"
#include "data_flow/Export.h"

#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace Mirel {
namespace DataFlow {

class Node;

namespace internal {

class DATA_FLOW_API ControllerImpl {
public:
    //! One step of the depth-first visit: a node and the next of its inputs to look at.
    struct VisitFrame {
        Node* pNode;
        std::size_t iNextInput;
    };
    //! Frames as plain storage: its size is the room a visit may use (the visit keeps its own top).
    using VisitStack = std::vector<VisitFrame, MirelAllocator<VisitFrame>>;
    //! The visit stack is made with room for this many frames, so that common graphs are visited
    //! without any allocation: an evaluation leaves the number of live blocks as it found it.
    static constexpr std::size_t kInitialVisitFrames = 64;

    //! Makes the context and the task group; initialises the process-wide arena with
    //! numberOfThreads (capped at 2) when no controller did so before.
    explicit ControllerImpl(std::size_t numberOfThreads);
    //! Waits until every asynchronous task started through this object has ended.
    ~ControllerImpl();
    //! The same wait as the destructor's; the tasks store their own failures, so nothing throws.
    void joinTasks() noexcept;
    ControllerImpl(ControllerImpl const&) = delete;
    ControllerImpl& operator=(ControllerImpl const&) = delete;

    //! Cancels the task group: pending tasks do not start, parallel loops skip what is left.
    void cancelProcess();
    //! Makes a cancelled task group usable again and forgets the recorded cancellation.
    void resetIfCancelled();
    //! True from a cancellation until resetIfCancelled(), also across waitForTasks().
    bool isCancelled() noexcept {
        return bCancelled_.load(std::memory_order_acquire) ||
               oContext_.is_group_execution_cancelled();
    }

    //! Creates the process-wide arena under s_scheduler_mutex unless it exists: numberOfThreads
    //! slots, at most 2, and 1 for 0. A later call keeps the first thread count. Always true.
    static bool initializeScheduler(std::size_t numberOfThreads);
    //! Destroys the arena; the next ControllerImpl creates it again. Takes no lock: call it only
    //! while no controller exists or evaluates anywhere in the process.
    static void terminateScheduler();

    //! The process-wide arena, created again with this controller's thread count if it was
    //! terminated meanwhile.
    tbb::task_arena& arena() {
        tbb::task_arena* pArena = s_task_arena.load(std::memory_order_acquire);
        return pArena != nullptr ? *pArena : recreateArena();
    }

    /** Queues task in the arena, in the task group, and returns at once without joining the
        arena; false when no task could be made. A scheduler thread takes it (the arena always
        gets one for queued work, even when it is 1 slot wide), or the thread that waits in
        waitForTasks(). It never starts while the group is cancelled. */
    template <class Task>
    bool startTask(Task const& task) {
        tbb::task_handle oTask = oGroup_.defer(task);
        if (!oTask)
            return false;
        iTaskCount_.fetch_add(1, std::memory_order_relaxed);
        arena().enqueue(std::move(oTask));
        return true;
    }
    //! Called by a task when it ends.
    void taskEnded() noexcept { iTaskCount_.fetch_sub(1, std::memory_order_relaxed); }
    //! Called by a task when a thread takes it up.
    void taskStarted() noexcept { iStarted_.fetch_add(1, std::memory_order_relaxed); }
    //! True while a queued task has not been taken up by any thread yet (never true wrongly).
    bool hasQueuedTask() const noexcept {
        return iStarted_.load(std::memory_order_relaxed) <
               iTaskCount_.load(std::memory_order_relaxed) - 1;
    }
    /** Waits inside the arena until every started task has ended or was skipped, running tasks
        meanwhile. Records a cancellation of the group, which the wait itself clears from the
        context; returns whether there was one. */
    bool waitForTasks();
    //! 1 while idle; one more for each started task that has not ended.
    long taskCount() const noexcept { return iTaskCount_.load(std::memory_order_relaxed); }
    //! Back to the idle count, ready for the next asynchronous evaluation.
    void resetTaskCount() noexcept {
        iTaskCount_.store(1, std::memory_order_relaxed);
        iStarted_.store(0, std::memory_order_relaxed);
    }

    //! The visit stack kept for reuse, or null while another thread uses it.
    VisitStack* borrowVisitStack() noexcept {
        return bVisitStackInUse_.exchange(true, std::memory_order_acquire) ? nullptr
                                                                           : &aVisitStack_;
    }
    //! Gives the visit stack back; very deep visits do not keep their storage.
    void returnVisitStack() noexcept;

    //! The controller's task group context: every parallel loop of the controller runs in it.
    tbb::task_group_context oContext_;

private:
    tbb::task_arena& recreateArena();

    tbb::task_group oGroup_;
    std::atomic<long> iTaskCount_;
    std::atomic<long> iStarted_{0};
    std::atomic<bool> bCancelled_;
    std::size_t nThreads_;
    std::atomic<bool> bVisitStackInUse_;
    VisitStack aVisitStack_;

    static std::recursive_mutex s_scheduler_mutex;
    static std::atomic<tbb::task_arena*> s_task_arena;
};

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
