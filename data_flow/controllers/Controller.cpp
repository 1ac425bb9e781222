#include "data_flow/controllers/Controller.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Trace.h"
#include "data_flow/internal/ControllerImpl.h"
#include "data_flow/internal/Failures.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/private/Visit.h"

#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <chrono>
#include <limits>
#include <thread>
#include <utility>

namespace Mirel {
namespace DataFlow {

std::size_t Controller::s_number_of_threads = std::size_t(tbb::info::default_concurrency()) + 1;
bool Controller::s_number_of_threads_set = false;
std::size_t Controller::s_minimum_grain_size = 1;

namespace {

// iNextInput of a frame whose node has not been looked at yet.
constexpr std::size_t kNotVisited = std::numeric_limits<std::size_t>::max();

//! Asks for a node's memory to be brought to this core, to be written: the node and, in the
//! usual node kind, the connectors it holds as members, which follow it.
void prefetchNode(Node const* node) {
    constexpr int kLines = 6; // 384 bytes: a 1-input, 1-output node kind, connectors included
    char const* const p = reinterpret_cast<char const*>(node);
    for (int iLine = 0; iLine < kLines; ++iLine)
        __builtin_prefetch(p + 64 * iLine, 1);
}

/** Stored in place of a failure when memory ran out even for its record: the asking thread
    then learns that memory ran out instead of learning nothing. Its handle is made when the
    library is loaded, so storing it allocates nothing. */
CPURuntimeException gOutOfMemory(CPURuntimeException::kOutOfMemory);
boost::shared_ptr<ExceptionBase> const gpOutOfMemory(&gOutOfMemory, NullDeleter());

/** Stores the exception being handled in c's error store: a clone of an ExceptionBase, anything
    else as CPURuntimeException condition 6. Call it only inside a catch block. Never throws; when
    no record can be allocated, the store reports that memory ran out. */
void storeCurrentException(Controller& c) noexcept {
    c.saveException(internal::copyCurrentException());
}

/** The controller whose wait() polls on this thread without a time limit (an interval of 0 or
    less and a timeout of 0 or more). Such a wait ends only with the evaluation, so the base
    class's sleep() may run a task that no scheduler thread has taken yet instead of sleeping;
    an overriding sleep() is always called and decides for itself. */
thread_local Controller const* tpUnboundedWait = nullptr;

//! Marks the calling thread's wait() as unbounded for its duration, when it is.
class UnboundedWaitScope {
public:
    UnboundedWaitScope(Controller const* controller, bool unbounded) noexcept
        : pPrevious_(tpUnboundedWait) {
        if (unbounded)
            tpUnboundedWait = controller;
    }
    ~UnboundedWaitScope() { tpUnboundedWait = pPrevious_; }
    UnboundedWaitScope(UnboundedWaitScope const&) = delete;
    UnboundedWaitScope& operator=(UnboundedWaitScope const&) = delete;

private:
    Controller const* pPrevious_;
};

//! Cancels c; a failure of an overriding cancelProcess() is dropped, as the slice's own comes
//! first.
void cancelQuietly(Controller& c) noexcept {
    try {
        c.cancelProcess();
    } catch (...) {
    }
}

/** Cancels c and stores the exception being handled there: the fate of a failed slice on the
    scheduler's threads. Cancelling first makes the scheduler skip the sub-ranges not started
    yet. Call it only inside a catch block. */
void failSlice(Controller& c) noexcept {
    cancelQuietly(c);
    storeCurrentException(c);
}

//! What the exception being handled says; call it only inside a catch block.
char const* currentFailureText() noexcept {
    try {
        throw;
    } catch (std::exception const& e) {
        return e.what();
    } catch (...) {
        return "unknown exception (not derived from std::exception)";
    }
}

//! Lends the controller's visit stack for one visit, or a stack of its own when another thread
//! is visiting with the controller's. Either has room for frames (see FrameStack).
class VisitStackLease {
public:
    //! Throws std::bad_alloc when it needs a stack of its own and cannot make one.
    explicit VisitStackLease(internal::ControllerImpl& impl)
        : oImpl_(impl)
        , pStack_(impl.borrowVisitStack()) {
        if (pStack_ == nullptr) {
            aOwn_.resize(internal::ControllerImpl::kInitialVisitFrames);
            pStack_ = &aOwn_;
        }
    }
    ~VisitStackLease() {
        if (pStack_ != &aOwn_)
            oImpl_.returnVisitStack();
    }
    VisitStackLease(VisitStackLease const&) = delete;
    VisitStackLease& operator=(VisitStackLease const&) = delete;

    internal::ControllerImpl::VisitStack& stack() noexcept { return *pStack_; }
    //! True when the visit holds the controller's stack, which one visit at a time does.
    bool holdsControllerStack() const noexcept { return pStack_ != &aOwn_; }

private:
    internal::ControllerImpl& oImpl_;
    internal::ControllerImpl::VisitStack aOwn_;
    internal::ControllerImpl::VisitStack* pStack_;
};

} // namespace

// ---------------------------------------------------------------------------------------------
// Failures met on other threads

ExceptionBase* internal::copyCurrentException() noexcept {
    ExceptionBase* pCopy = nullptr;
    try {
        throw;
    } catch (ExceptionBase const& e) {
        try {
            pCopy = e.clone();
        } catch (...) {
        }
    } catch (...) {
    }
    if (pCopy == nullptr) {
        try {
            pCopy = MIREL_NEW CPURuntimeException(CPURuntimeException::kUnknownException);
        } catch (...) {
            pCopy = &gOutOfMemory;
        }
    }
    return pCopy;
}

boost::shared_ptr<ExceptionBase> internal::adoptException(ExceptionBase* copy) noexcept {
    if (copy == &gOutOfMemory)
        return gpOutOfMemory;
    try {
        return boost::shared_ptr<ExceptionBase>(copy, MirelDeleter<ExceptionBase>(),
                                                MirelAllocator<ExceptionBase>());
    } catch (std::bad_alloc const&) {
        return gpOutOfMemory; // boost has released copy: the failure reads as out of memory
    }
}

void internal::FirstFailure::rethrowShared() const {
    if (!pFailure_)
        return;
    ExceptionBase* pCopy = nullptr;
    try {
        std::rethrow_exception(pFailure_);
    } catch (...) {
        pCopy = copyCurrentException();
    }
    throw SharedException(boost::shared_ptr<std::exception>(adoptException(pCopy)));
}

// ---------------------------------------------------------------------------------------------
// Construction and copying

Controller::Controller()
    : aNodes_()
    , pSinkNode_(nullptr)
    , pCompletionCallback_(nullptr)
    , pCompletionData_(nullptr)
    , eStatus_(kStopped)
    , pImpl_(nullptr)
    , oExceptionLock_()
    , pException_()
    , bSingleThreadMode_(false)
    , oThreadID_()
    , nNodesProcessed_(0)
    , nItemsProcessed_(0)
    , pObserver_(nullptr)
    , bParallelBranches_(false) {
    pImpl_ = MIREL_NEW internal::ControllerImpl(s_number_of_threads);
}

Controller::Controller(Controller const& other)
    : aNodes_(other.aNodes_)
    , pSinkNode_(other.pSinkNode_)
    , pCompletionCallback_(other.pCompletionCallback_)
    , pCompletionData_(other.pCompletionData_)
    , eStatus_(other.eStatus_.load())
    , pImpl_(nullptr)
    , oExceptionLock_()
    , pException_(other.pException_)
    , bSingleThreadMode_(other.bSingleThreadMode_)
    , oThreadID_(other.oThreadID_)
    , nNodesProcessed_(0)
    , nItemsProcessed_(0)
    , pObserver_(other.pObserver_)
    , bParallelBranches_(other.bParallelBranches_) {
    // A copy never shares the scheduler state: both destructors would free it.
    pImpl_ = MIREL_NEW internal::ControllerImpl(s_number_of_threads);
}

Controller& Controller::operator=(Controller const& other) {
    if (this != &other)
        copyFields(other);
    return *this;
}

void Controller::copyFields(Controller const& other) {
    aNodes_ = other.aNodes_;
    pSinkNode_ = other.pSinkNode_;
    pCompletionCallback_ = other.pCompletionCallback_;
    pCompletionData_ = other.pCompletionData_;
    eStatus_.store(other.eStatus_.load());
    pException_ = other.pException_;
    bSingleThreadMode_ = other.bSingleThreadMode_;
    oThreadID_ = other.oThreadID_;
    pObserver_ = other.pObserver_;
    bParallelBranches_ = other.bParallelBranches_;
}

Controller::~Controller() {
    if (pImpl_ != nullptr)
        Core::destroy(pImpl_); // waits for the pending asynchronous evaluation first
}

void Controller::waitForEvaluationTasks() noexcept {
    pImpl_->joinTasks();
}

// ---------------------------------------------------------------------------------------------
// Graph membership

bool Controller::addNode(Node* node) {
    if (eStatus_.load() != kStopped)
        return false;
    aNodes_.push_back(node);
    node->setController(*this);
    return true;
}

bool Controller::removeNode(Node* node) {
    if (eStatus_.load() != kStopped)
        return false;
    for (NodeVector::iterator it = aNodes_.begin(); it != aNodes_.end(); ++it) {
        if (*it == node) {
            aNodes_.erase(it);
            return true;
        }
    }
    return false;
}

bool Controller::removeAllNodes() {
    if (eStatus_.load() != kStopped)
        return false;
    aNodes_.clear();
    return true;
}

Controller::NodeVector Controller::findUnconnectedNodes() {
    NodeVector aUnconnected;
    for (Node* pNode : aNodes_) {
        if (pNode == nullptr)
            continue;
        bool bUnconnected = false;
        for (std::size_t i = 0; i < pNode->numberOfOutputs() && !bUnconnected; ++i)
            bUnconnected = pNode->output(i)->connectedInput() == nullptr;
        for (std::size_t i = 0; i < pNode->numberOfInputs() && !bUnconnected; ++i)
            bUnconnected = pNode->input(i)->connectedOutput() == nullptr;
        if (bUnconnected)
            aUnconnected.push_back(pNode);
    }
    return aUnconnected;
}

// ---------------------------------------------------------------------------------------------
// Settings

std::size_t Controller::threadsAvailable() {
    return s_number_of_threads;
}

bool Controller::setNumberOfThreads(std::size_t numberOfThreads) {
    s_number_of_threads = numberOfThreads;
    s_number_of_threads_set = true;
    return true;
}

std::size_t Controller::getNumberOfThreads() {
    return s_number_of_threads;
}

bool Controller::setMinimumGrainSize(std::size_t minimumGrainSize) {
    s_minimum_grain_size = minimumGrainSize;
    return true;
}

std::size_t Controller::getMinimumGrainSize() {
    return s_minimum_grain_size;
}

// ---------------------------------------------------------------------------------------------
// Synchronous evaluation

void Controller::resetProgress() noexcept {
    nNodesProcessed_.store(0, std::memory_order_relaxed);
    for (NodeCount& oCount : aOwnNodeCounts_)
        oCount.n.store(0, std::memory_order_relaxed);
    nItemsProcessed_.store(0, std::memory_order_relaxed);
}

void Controller::process() {
    eStatus_.store(kProcessing);
    resetProgress();
    unsigned const iThread = observedThread();
    if (pObserver_ != nullptr)
        pObserver_->evaluationStarted(*this, iThread);
    try {
        MIREL_CHECK(pSinkNode_ != nullptr, "pSink");
        processRecursive(pSinkNode_);
    } catch (...) {
        observeEvaluationEnd(iThread, currentFailureText());
        stop();
        throw;
    }
    observeEvaluationEnd(iThread, nullptr);
    stop();
}

void Controller::observeEvaluationEnd(unsigned thread, char const* failure) {
    if (pObserver_ == nullptr)
        return;
    EvaluationObserver::teOutcome const eOutcome = failure != nullptr ? EvaluationObserver::kFailed
                                                   : eStatus_.load() == kCancelled
                                                       ? EvaluationObserver::kCancelled
                                                       : EvaluationObserver::kCompleted;
    pObserver_->evaluationEnded(*this, thread, eOutcome, failure);
}

bool Controller::setParallelBranches(bool parallelBranches) noexcept {
    if (eStatus_.load() != kStopped)
        return false;
    bParallelBranches_ = parallelBranches;
    return true;
}

bool Controller::setObserver(EvaluationObserver* observer) noexcept {
    if (eStatus_.load() != kStopped)
        return false;
    pObserver_ = observer;
    return true;
}

void Controller::processNodeObserved(Node* node, unsigned iThread,
                                     std::atomic<std::size_t>* ownCount, Node const* next) {
    // An observer that reads a clock at each hook waits there for every load before it to
    // finish, so the next node's memory, which a long graph has pushed out of the nearest
    // cache since the visit passed it on the way in, is asked for now, ahead of its turn.
    if (next != nullptr)
        prefetchNode(next);
    std::lock_guard<ProcessLock> oLock(node->oProcessLock_);
    pObserver_->nodeStarted(*node, iThread);
    node->setProcessing(true);
    try {
        node->process();
    } catch (...) {
        pObserver_->nodeEnded(*node, iThread, currentFailureText());
        throw;
    }
    countNode(ownCount);
    node->setProcessing(false);
    pObserver_->nodeEnded(*node, iThread, nullptr);
}

void Controller::waitWhileProcessed(Node* node) {
    std::lock_guard<ProcessLock> oWait(node->oProcessLock_);
}

void Controller::failVisit(bool bUnlinked) {
    // Out of line, with the visit's messages: the visit's inline steps only call it.
    MIREL_CHECK(!bUnlinked, "producerOutput");
    throw InternalException(__FILE__, __LINE__, "producer");
}

void Controller::processRecursive(Node* node) {
    // Depth-first, the producers of a node's missing inputs before the node, in input order.
    // Each frame is a node and the next input to look at; a chain of a million nodes is a
    // million frames here, not a million calls on the thread's stack. No lock is held from one
    // frame to the next: a node's lock is taken only around its own processing.
    if (bParallelBranches_) {
        processBranches(node);
        return;
    }
    VisitStackLease oLease(*pImpl_);
    FrameStack<internal::ControllerImpl::VisitStack> oFrames(oLease.stack());
    unsigned const iThread = observedThread(); // the visit stays on this thread
    std::atomic<std::size_t>* const pOwnCount =
        oLease.holdsControllerStack() ? &aOwnNodeCounts_[0].n : nullptr;
    oFrames.push({node, kNotVisited});
    while (!oFrames.empty()) {
        internal::ControllerImpl::VisitFrame& oTop = oFrames.top();
        Node* const pNode = oTop.pNode;
        if (oTop.iNextInput == kNotVisited) {
            if (pNode->isProcessing()) {
                // Another thread processes it: wait until it lets go, and leave the node alone.
                waitWhileProcessed(pNode);
                oFrames.pop();
                continue;
            }
            if (isRunning() && pNode->isReady()) {
                processNode(pNode, iThread, pOwnCount, oFrames.nodeBelowTop());
                oFrames.pop();
                continue;
            }
            oTop.iNextInput = 0;
        }

        if (Node* const pProducer = nextMissingProducer(pNode, oTop.iNextInput)) {
            oFrames.push({pProducer, kNotVisited});
            continue;
        }

        // Every input was looked at (or the walk was stopped): process the node if that made it
        // ready, unless the evaluation was cancelled or stopped meanwhile.
        if (isRunning() && pNode->isReady())
            processNode(pNode, iThread, pOwnCount, oFrames.nodeBelowTop());
        oFrames.pop();
    }
}

void processSliceHelper::operator()(tbb::blocked_range<std::size_t> const& range) const {
    try {
        pController_->processSliceRange(pNode_, range.begin(), range.end());
    } catch (...) {
        failSlice(*pController_);
    }
}

void Controller::processSliceObserved(Node* node, std::size_t begin, std::size_t end) {
    unsigned const iThread = observedThread();
    pObserver_->sliceStarted(*node, begin, end, iThread);
    try {
        node->processSlice(begin, end);
    } catch (...) {
        pObserver_->sliceEnded(*node, begin, end, iThread, currentFailureText());
        throw;
    }
    nItemsProcessed_.fetch_add(end - begin, std::memory_order_relaxed);
    pObserver_->sliceEnded(*node, begin, end, iThread, nullptr);
}

void Controller::processSlices(Node* node) {
    Node::BlockedRange const oRange = node->rangeToProcess();
    if (oRange.numberOfItems != 0 && oRange.itemSize != 0) {
        if (bSingleThreadMode_) {
            processSliceRange(node, 0, oRange.numberOfItems);
        } else {
            std::size_t nGrain = s_minimum_grain_size / oRange.itemSize;
            if (nGrain == 0)
                nGrain = 1;
            processSlicesInArena(node, oRange.numberOfItems, nGrain);
        }
    }
    checkException();
}

void Controller::processSlicesInArena(Node* node, std::size_t nItems, std::size_t nGrain) {
    tbb::task_group_context& oContext = pImpl_->oContext_;
    internal::FirstFailure oFailure; // this loop's own failure, with parallel branches
    pImpl_->arena().execute([&] {
        // Isolated: while this thread waits for the slices it runs only slices of this loop,
        // never another evaluation that happens to be queued in the arena.
        tbb::this_task_arena::isolate([&] {
            tbb::affinity_partitioner oPartitioner;
            tbb::blocked_range<std::size_t> const oAll(0, nItems, nGrain);
            if (!bParallelBranches_) {
                tbb::parallel_for(oAll, processSliceHelper(node, this), oPartitioner, oContext);
                return;
            }
            // Beside other branches: a failure is kept for this loop alone (the error store is
            // shared by every branch's loops) and thrown by the node that runs it.
            tbb::parallel_for(
                oAll,
                [&](tbb::blocked_range<std::size_t> const& range) {
                    try {
                        processSliceRange(node, range.begin(), range.end());
                    } catch (...) {
                        oFailure.offerCurrent();
                        cancelQuietly(*this);
                    }
                },
                oPartitioner, oContext);
        });
    });
    oFailure.rethrowShared();
}

bool Controller::flushGraph() {
    stop();
    if (eStatus_.load() != kStopped)
        return false; // an overriding stop() kept the evaluation going
    for (Node* pNode : aNodes_)
        if (pNode != nullptr)
            pNode->flush();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Asynchronous evaluation

void ProcessFrameTask::execute() const {
    pController_->processFrameFunction();
}

void ProcessFrameTask::operator()() const {
    pController_->getImpl()->taskStarted();
    try {
        execute();
    } catch (...) {
        storeCurrentException(*pController_);
    }
    pController_->getImpl()->taskEnded();
}

void Controller::processAsync() {
    internal::ControllerImpl* pRoot = pImpl_;
    MIREL_CHECK(pRoot != nullptr, "Enforce root != NULL");
    boost::shared_ptr<ExceptionBase> pDropped;
    {
        std::lock_guard<std::recursive_mutex> oLock(oExceptionLock_);
        pDropped.swap(pException_);
    }
    eStatus_.store(kProcessing);
    resetProgress();
    MIREL_CHECK(pRoot->startTask(ProcessFrameTask(this)), "Enforce new_task != NULL");
}

bool Controller::beginTaskVisit() noexcept {
    // A cancellation may land after a thread took the task up and before this point: it stands,
    // and the visit does not begin, since the cancelled group would skip every slice.
    teControllerStatus eSeen = eStatus_.load();
    while (eSeen != kCancelled && !eStatus_.compare_exchange_weak(eSeen, kProcessing)) {
    }
    return eSeen != kCancelled && !pImpl_->isCancelled();
}

void Controller::processFrameFunction() {
    unsigned const iThread = observedThread();
    try {
        if (beginTaskVisit()) {
            if (pObserver_ != nullptr)
                pObserver_->evaluationStarted(*this, iThread);
            MIREL_CHECK(pSinkNode_ != nullptr, "pSink");
            processRecursive(pSinkNode_);
            observeEvaluationEnd(iThread, nullptr);
        }
        stop();
    } catch (...) {
        observeEvaluationEnd(iThread, currentFailureText());
        storeCurrentException(*this); // sets kStopped; the group is not cancelled
    }
    notifyOfCompletion();
}

void Controller::notifyOfCompletion() {
    if (pCompletionCallback_ != nullptr)
        pCompletionCallback_(pCompletionData_);
    stop();
}

bool Controller::registerProcessingCompletedCallback(CompletionCallback callback, void* data) {
    if (eStatus_.load() != kStopped)
        return false;
    pCompletionCallback_ = callback;
    pCompletionData_ = data;
    return true;
}

bool Controller::wait(double timeout, double interval) {
    internal::ControllerImpl* pRoot = pImpl_;
    double elapsed = 0.0; // the intervals asked for, not clock time
    // A poll that can never time out (no interval to add up, and a timeout that 0 does not
    // exceed) ends only with the tasks: sleep() may wait for them at once.
    UnboundedWaitScope const oScope(this, interval <= 0.0 && timeout >= 0.0);
    while (eStatus_.load() == kProcessing) {
        if (pRoot->isCancelled())
            break;
        if (elapsed > timeout)
            return false; // the evaluation goes on
        sleep(interval);
        elapsed += interval;
    }
    if (pRoot->taskCount() > 0)
        pRoot->waitForTasks(); // a cancellation it clears from the group stays recorded
    pRoot->resetTaskCount();
    resetIfCancelled();
    return true;
}

void Controller::sleep(double seconds) {
    if (seconds <= 0.0 && tpUnboundedWait == this && pImpl_->hasQueuedTask()) {
        // Runs the task no scheduler thread has taken yet here rather than waiting for one to
        // wake: this thread's wait() ends only with the tasks anyway.
        pImpl_->waitForTasks();
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

void Controller::resetIfCancelled() {
    // The status counts too: a cancelProcess() from another thread that lands while an earlier
    // cancellation is being reset leaves kCancelled behind, and the next wait() clears it.
    if (!pImpl_->isCancelled() && eStatus_.load() != kCancelled)
        return;
    MIREL_CHECK(flushGraph(), "bGraphFlushed");
    pImpl_->resetIfCancelled();
}

// ---------------------------------------------------------------------------------------------
// Status operations and the error store

void Controller::stop() {
    eStatus_.store(kStopped);
}

void Controller::cancelProcess() {
    eStatus_.store(kCancelled);
    pImpl_->cancelProcess();
}

void Controller::saveException(ExceptionBase* e) {
    boost::shared_ptr<ExceptionBase> pNew;
    if (e != nullptr)
        pNew = internal::adoptException(e);
    {
        std::lock_guard<std::recursive_mutex> oLock(oExceptionLock_);
        pNew.swap(pException_);
    }
    // pNew now holds the error stored before; it is released here, outside the lock.
    if (e != nullptr)
        eStatus_.store(kStopped);
}

void Controller::checkException() {
    if (!pException_)
        return;
    boost::shared_ptr<ExceptionBase> pTaken;
    pTaken.swap(pException_);
    throw SharedException(boost::shared_ptr<std::exception>(pTaken));
}

// ---------------------------------------------------------------------------------------------
// Scheduler

bool Controller::initializeScheduler(std::size_t numberOfThreads) {
    internal::ControllerImpl::initializeScheduler(numberOfThreads);
    return true;
}

void Controller::terminateScheduler() {
    internal::ControllerImpl::terminateScheduler();
}

} // namespace DataFlow
} // namespace Mirel
