#pragma once
/** The evaluator of one dataflow graph.

    A Controller holds the graph's nodes (not owned) and the sink, the node every evaluation
    starts from. An evaluation visits the sink depth-first: a node that is not ready has the
    producers of its missing inputs visited first, in input order, and is processed once it is
    ready, under its processing lock. Processed nodes hold their results until flushGraph().

    Parallelism lives inside a node: a node kind that wants its work sliced calls
    processSlices(this) on its controller, which runs processSlice over sub-ranges on the
    process-wide scheduler. processAsync() runs the whole evaluation as a task on that scheduler;
    wait() collects it, cancelProcess() stops it, and a failure on a scheduler thread is stored
    and thrown again, as SharedException, by checkException() on the thread that asked.

    Threads: host threads call the public operations; membership and the callback change only
    while the status is kStopped. The status is read and written by every thread without a lock,
    as whole 32-bit values. */

#include "core/Core.h"
#include "data_flow/Export.h"

#include <boost/shared_ptr.hpp>
#include <oneapi/tbb/blocked_range.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Mirel {
namespace DataFlow {

class EvaluationObserver;
class InputConnector;
class Node;
class OutputConnector;

namespace internal {
class BranchVisit;
class ControllerImpl;
} // namespace internal

class DATA_FLOW_API Controller {
public:
    //! Evaluation status.
    enum teControllerStatus : std::int32_t {
        kStopped = 0,    //!< no evaluation runs; membership and the callback may change
        kProcessing = 1, //!< an evaluation runs, on the caller's thread or as a task
        kCancelled = 2 //!< cancelProcess() was called and nothing has stopped the controller since
    };

    using NodeVector = std::vector<Node*, MirelAllocator<Node*>>;
    using CompletionCallback = bool (*)(void*);

    //! A stopped controller without nodes. The first controller of the process (or the first
    //! after terminateScheduler) creates the scheduler with getNumberOfThreads() threads, at
    //! most 2.
    Controller();
    //! A controller with the other's nodes, sink, callback, observer, status, stored error
    //! (shared), single-thread and parallel-branch flags and thread identity, but its own
    //! scheduler state and lock.
    Controller(Controller const& other);
    //! Copies the same fields as the copy constructor; the scheduler state and lock stay its own.
    Controller& operator=(Controller const& other);

    // Virtual operations: hosts derive from Controller, so their order is part of the binary
    // interface and must not change.

    //! Waits for every pending asynchronous evaluation, then frees the scheduler state. Deletes no
    //! node and leaves the nodes' controller pointers alone. A derived class's destructor calls
    //! waitForEvaluationTasks() first.
    virtual ~Controller();
    //! Appends node (no duplicate check) and tells it its controller; false, with no change,
    //! unless stopped.
    virtual bool addNode(Node* node);
    //! Removes the first entry equal to node; false unless stopped or when there is none.
    virtual bool removeNode(Node* node);
    //! Empties the node list; false unless stopped.
    virtual bool removeAllNodes();
    //! The nodes with an unlinked output, or else an unlinked input, in list order; null entries
    //! are skipped. Does not look at the status.
    virtual NodeVector findUnconnectedNodes();
    //! Evaluates the graph from the sink on the calling thread and stops. A failure passes out
    //! unchanged, after stop(); a null sink throws InternalException "pSink".
    virtual void process();
    //! Empties the error store and queues the evaluation as a task on the scheduler; returns at
    //! once. A scheduler thread runs it (also with a 1-thread scheduler); collect it with wait()
    //! and then checkException(). A second call while one runs starts a second task.
    virtual void processAsync();
    //! Sets kCancelled and cancels the task group: loops skip the slices not started, the visit
    //! looks at no further input and processes no further node, a task not started never runs.
    //! Lasts until wait().
    virtual void cancelProcess();
    //! Calls the completion callback, if any, with its argument, then stop().
    virtual void notifyOfCompletion();
    //! The configured thread count (getNumberOfThreads()), not what the scheduler runs with.
    virtual std::size_t threadsAvailable();
    //! Sets kStopped. Cancels nothing, waits for nothing.
    virtual void stop();
    //! Stores the callback and its argument (null removes it); false, with no change, unless
    //! stopped. The callback runs on the thread that ran the evaluation task.
    virtual bool registerProcessingCompletedCallback(CompletionCallback callback, void* data);
    //! stop(), then flushes every node in list order; false, without flushing, when the status is
    //! not kStopped after stop().
    virtual bool flushGraph();
    /** Polls every `interval` seconds while an evaluation runs and the group is not cancelled,
        giving up with false once the intervals asked for add up to more than `timeout`. Then
        waits for the tasks, re-arms the controller and, after a cancellation, flushes the graph
        (InternalException "bGraphFlushed" when that is refused) and resets the group. It does
        not throw a stored error: call checkException() for that. */
    virtual bool wait(double timeout, double interval);
    /** Blocks the calling thread for `seconds`. Called by wait() at every poll; in a wait that
        cannot time out (interval <= 0, timeout >= 0) this base version runs the evaluation task
        itself when no scheduler thread has taken it yet. An override is always called. */
    virtual void sleep(double seconds);
    //! The body of the asynchronous task: evaluates from the sink and stops; a failure is stored,
    //! not thrown. A task cancelled before it got here processes no node. Calls
    //! notifyOfCompletion() last in every case.
    virtual void processFrameFunction();

    //! Stores the sink without any check; null makes every evaluation fail with "pSink".
    void setSinkNode(Node* node) noexcept { pSinkNode_ = node; }
    Node* getSinkNode() const noexcept { return pSinkNode_; }
    teControllerStatus controllerStatus() const noexcept {
        return eStatus_.load(std::memory_order_acquire);
    }
    //! When true, processSlices makes one processSlice call over the whole range, on the calling
    //! thread, and lets its exception through unchanged.
    void setSingleThreadMode(bool singleThreadMode) noexcept {
        bSingleThreadMode_ = singleThreadMode;
    }
    /** Attaches the observer told of every evaluation, node and slice from now on (not owned;
        null removes it); false, with no change, unless stopped. Without one, the evaluation pays
        one predictable branch per node and per slice sub-range. */
    bool setObserver(EvaluationObserver* observer) noexcept;
    EvaluationObserver* observer() const noexcept { return pObserver_; }
    /** Off by default: an evaluation processes one node at a time, on one thread. On: where a
        node's missing producers head branches whose unprocessed nodes feed nothing outside
        their branch, those branches are evaluated concurrently on the scheduler, each node
        still once, under its lock, after all its producers. Node kinds must then allow
        process() of different nodes on different threads at once. A failure anywhere comes
        back as SharedException (the first one met), with the graph reusable after wait().
        False, with no change, unless stopped. */
    bool setParallelBranches(bool parallelBranches) noexcept;
    bool parallelBranches() const noexcept { return bParallelBranches_; }

    NodeVector::iterator nodesBegin() noexcept { return aNodes_.begin(); }
    NodeVector::iterator nodesEnd() noexcept { return aNodes_.end(); }
    NodeVector::const_iterator nodesBegin() const noexcept { return aNodes_.begin(); }
    NodeVector::const_iterator nodesEnd() const noexcept { return aNodes_.end(); }

    /** Runs node->processSlice over sub-ranges of node->rangeToProcess() on the scheduler's
        threads, the calling thread included, in the controller's task group; no sub-range is cut
        below getMinimumGrainSize() / itemSize indices (at least 1). Returns when all sub-ranges
        are done or skipped, then throws a stored failure as SharedException. A cancelled group
        runs no sub-range until wait() resets it. */
    void processSlices(Node* node);
    //! Stores e (tagged new, owned from now on), replacing and releasing the error stored before;
    //! null empties the store. A non-null e sets kStopped. Safe from any thread; does not throw:
    //! when memory runs out, e is released and an out-of-memory CPURuntimeException is stored.
    void saveException(ExceptionBase* e);
    //! Throws the stored error as a SharedException sharing it, and empties the store; returns
    //! when none is stored. Takes no lock: call it when none of the controller's work runs.
    void checkException();
    internal::ControllerImpl* getImpl() noexcept { return pImpl_; }

    //! How far an evaluation has got, counted from its start.
    struct Progress {
        std::size_t nodesProcessed; //!< nodes whose process() has returned normally
        std::size_t itemsProcessed; //!< slice indices whose processSlice() has returned normally
    };
    /** The counts of the current evaluation (or of the last one, once it has ended); process()
        and processAsync() set them back to 0. Lock-free: any thread may read them at any time,
        each count on its own (the two are not read as one snapshot). */
    Progress progress() const noexcept {
        std::size_t nNodes = nNodesProcessed_.load(std::memory_order_relaxed);
        for (NodeCount const& oCount : aOwnNodeCounts_)
            nNodes += oCount.n.load(std::memory_order_relaxed);
        return {nNodes, nItemsProcessed_.load(std::memory_order_relaxed)};
    }

    //! Sets the thread count the next scheduler initialisation uses; no validation. Always true.
    static bool setNumberOfThreads(std::size_t numberOfThreads);
    //! One more than the scheduler's default concurrency unless set.
    static std::size_t getNumberOfThreads();
    //! Sets the work units below which sub-ranges are not cut; 0 is accepted. Always true.
    static bool setMinimumGrainSize(std::size_t minimumGrainSize);
    //! 1 unless set.
    static std::size_t getMinimumGrainSize();

protected:
    /** Visits node depth-first as described above and processes what becomes ready. A node
        another thread is processing is waited for (its lock taken and released) and not
        processed again. Throws InternalException "producerOutput" for an unlinked input of a
        node that is not ready, "producer" for a producer output without a node. The visit keeps
        its own stack, so graph depth is not limited by the thread's stack. */
    void processRecursive(Node* node);
    //! After a cancellation: flushGraph() (InternalException "bGraphFlushed" if it refuses), then
    //! the task group is reset. Does nothing otherwise.
    void resetIfCancelled();
    //! Creates the process-wide scheduler unless it exists. Always true.
    bool initializeScheduler(std::size_t numberOfThreads);
    //! Destroys the process-wide scheduler; only while no controller exists or evaluates.
    void terminateScheduler();
    /** Waits until every asynchronous evaluation task of this controller has ended (a task not
        started runs, unless cancelled); the calling thread may run scheduler work meanwhile.
        A derived class whose overrides the task may call must call it first in its destructor:
        ~Controller waits as well, but only once the derived part is gone. Never call it from
        the controller's own task. Does not throw. */
    void waitForEvaluationTasks() noexcept;

    static std::size_t s_number_of_threads;
    static bool s_number_of_threads_set;
    static std::size_t s_minimum_grain_size;

private:
    friend struct processSliceHelper;
    friend class internal::BranchVisit;

    /** Processes node under its lock and counts it: in ownCount when the calling visit is that
        count's only writer, else in the shared count. thread is the calling thread's scheduler
        index when an observer is attached (observedThread()), for its hooks. next, when known,
        is the node the visit processes after this one (see processNodeObserved). */
    void processNode(Node* node, unsigned thread, std::atomic<std::size_t>* ownCount,
                     Node const* next = nullptr);
    //! The node count of the calling thread's scheduler slot, which only that thread writes;
    //! null outside the scheduler.
    std::atomic<std::size_t>* slotNodeCount() noexcept;
    //! Counts a processed node in ownCount, whose only writer the caller is, or when null in the
    //! shared count.
    void countNode(std::atomic<std::size_t>* ownCount) noexcept;
    //! The calling thread's scheduler index when an observer is attached, else 0 (not looked up).
    unsigned observedThread() const noexcept;
    /** The producer of node's first input from iInput on whose output holds no data, iInput
        left just past that input; null when none is left or the evaluation stopped. Throws
        InternalException "producerOutput" for an unlinked input, "producer" for an output
        without a node. */
    Node* nextMissingProducer(Node* node, std::size_t& iInput) const;
    //! Throws InternalException "producerOutput" for an unlinked input, else "producer".
    [[noreturn]] static void failVisit(bool bUnlinked);
    //! True while the status is kProcessing: a visit processes nothing once it is not.
    bool isRunning() const noexcept {
        return eStatus_.load(std::memory_order_relaxed) == kProcessing;
    }
    //! The task's switch to kProcessing; false, changing nothing, when it was cancelled before.
    bool beginTaskVisit() noexcept;
    void processBranches(Node* node);
    static void waitWhileProcessed(Node* node);
    static InputConnector* inputOf(Node* node, std::size_t i) noexcept;
    static OutputConnector* outputOf(Node* node, std::size_t i) noexcept;
    void processSlicesInArena(Node* node, std::size_t nItems, std::size_t nGrain);
    void processNodeObserved(Node* node, unsigned iThread, std::atomic<std::size_t>* ownCount,
                             Node const* next);
    void processSliceObserved(Node* node, std::size_t begin, std::size_t end);
    //! One sub-range's processSlice, counted, between the observer's hooks when there is one.
    void processSliceRange(Node* node, std::size_t begin, std::size_t end);
    void observeEvaluationEnd(unsigned thread, char const* failure);
    void resetProgress() noexcept;
    void copyFields(Controller const& other);

    NodeVector aNodes_;
    Node* pSinkNode_;
    CompletionCallback pCompletionCallback_;
    void* pCompletionData_;
    std::atomic<teControllerStatus> eStatus_;
    internal::ControllerImpl* pImpl_;
    std::recursive_mutex oExceptionLock_;
    boost::shared_ptr<ExceptionBase> pException_;
    bool bSingleThreadMode_;
    ThreadID oThreadID_;
    // Progress counters: one relaxed add per finished sub-range, and per node processed by a
    // visit that has no node count of its own.
    std::atomic<std::size_t> nNodesProcessed_;
    std::atomic<std::size_t> nItemsProcessed_;
    EvaluationObserver* pObserver_;
    bool bParallelBranches_;
    /* The node counts with a single writer, which adds with a plain load and store instead of a
       locked instruction (about a fifth of a small node's cost): [0] the serial visit that holds
       the controller's visit stack, [1 + i] the scheduler thread in slot i under parallel
       branches (the arena has at most 2 slots). Each on a cache line of its own, so that two
       slots' threads do not contend. */
    struct NodeCount {
        std::atomic<std::size_t> n{0};
        char aPadding[64 - sizeof(std::atomic<std::size_t>)];
    };
    NodeCount aOwnNodeCounts_[3];
};

/** The body of processSlices' parallel loop: runs the node's slice and stores its failure in the
    controller that runs the loop (whichever controller the node belongs to, if any), which it
    cancels. Nothing propagates to the scheduler. */
struct DATA_FLOW_API processSliceHelper {
    Node* pNode_;
    Controller* pController_;

    processSliceHelper(Node* node, Controller* controller) noexcept
        : pNode_(node)
        , pController_(controller) {}
    void operator()(tbb::blocked_range<std::size_t> const& range) const;
};

/** The asynchronous evaluation task: runs pController_->processFrameFunction() on a scheduler
    thread. A failure that escapes an overriding processFrameFunction is stored, not thrown. */
struct DATA_FLOW_API ProcessFrameTask {
    Controller* pController_;

    explicit ProcessFrameTask(Controller* controller) noexcept
        : pController_(controller) {}
    //! Calls processFrameFunction() through the virtual table.
    void execute() const;
    //! What the scheduler runs: execute(), then the task is counted as ended.
    void operator()() const;
};

} // namespace DataFlow
} // namespace Mirel
