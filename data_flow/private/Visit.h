#pragma once
/** The steps the serial visit and the visit with parallel branches share, inline: their stack
    of frames, finding the next input of a node whose producer still has to be visited,
    processing a node or a slice sub-range, and the thread index an observer is given. */

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <oneapi/tbb/task_arena.h>

#include <cstddef>

namespace Mirel {
namespace DataFlow {

/** A visit's stack of frames, kept in a vector used as plain storage: the vector's size is the
    room, and the top is a pointer of this object, which the compiler keeps in a register across
    the nodes' virtual calls as long as the object's address is not taken (it is used inline
    only). Through the vector's own end pointer every push and pop would be a store that the
    next step waits to read back, about a fifth of a small node's time. Growing doubles the
    room, which the storage keeps. Frames are any struct with a member pNode. */
template <class Vector>
class FrameStack {
public:
    using Frame = typename Vector::value_type;

    //! The frames [0, depth) of storage, which must have room for at least one frame.
    explicit FrameStack(Vector& storage, std::size_t depth = 0) noexcept
        : aStorage_(storage)
        , pBase_(storage.data())
        , pTop_(pBase_ + depth)
        , pEnd_(pBase_ + storage.size()) {}
    FrameStack(FrameStack const&) = delete;
    FrameStack& operator=(FrameStack const&) = delete;

    bool empty() const noexcept { return pTop_ == pBase_; }
    std::size_t depth() const noexcept { return std::size_t(pTop_ - pBase_); }
    //! The top frame; valid until the next push.
    Frame& top() noexcept { return pTop_[-1]; }
    //! The node of the frame below the top, which the visit resumes next; null for none.
    Node const* nodeBelowTop() const noexcept {
        return pTop_ - pBase_ > 1 ? pTop_[-2].pNode : nullptr;
    }
    //! Throws std::bad_alloc when the room cannot grow, leaving the frames as they were.
    void push(Frame const& frame) {
        if (pTop_ == pEnd_)
            grow();
        *pTop_++ = frame;
    }
    void pop() noexcept { --pTop_; }

private:
    void grow() {
        std::size_t const nFrames = depth();
        aStorage_.resize(2 * aStorage_.size());
        pBase_ = aStorage_.data();
        pTop_ = pBase_ + nFrames;
        pEnd_ = pBase_ + aStorage_.size();
    }

    Vector& aStorage_;
    Frame* pBase_;
    Frame* pTop_;
    Frame* pEnd_;
};

inline unsigned Controller::observedThread() const noexcept {
    if (pObserver_ == nullptr)
        return 0;
    // The calling thread's slot in the scheduler; 0 also for a thread outside it.
    int const iSlot = tbb::this_task_arena::current_thread_index();
    return iSlot < 0 ? 0u : unsigned(iSlot);
}

inline Node* Controller::nextMissingProducer(Node* node, std::size_t& iInput) const {
    // The input count is read again at every step, and the walk stops as soon as the
    // evaluation is cancelled or stopped.
    while (iInput < node->numberOfInputs() && isRunning()) {
        OutputConnector* pOutput = node->aInputs_[iInput++]->connectedOutput();
        if (pOutput == nullptr)
            failVisit(true);
        if (pOutput->hasData())
            continue;
        if (pOutput->node() == nullptr)
            failVisit(false);
        return pOutput->node();
    }
    return nullptr;
}

inline std::atomic<std::size_t>* Controller::slotNodeCount() noexcept {
    int const iSlot = tbb::this_task_arena::current_thread_index();
    if (iSlot < 0 || std::size_t(iSlot) + 1 >= sizeof aOwnNodeCounts_ / sizeof aOwnNodeCounts_[0])
        return nullptr;
    return &aOwnNodeCounts_[1 + iSlot].n;
}

inline void Controller::countNode(std::atomic<std::size_t>* ownCount) noexcept {
    if (ownCount == nullptr) {
        nNodesProcessed_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // Its only writer: readers on other threads still see the count grow one by one.
    ownCount->store(ownCount->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

inline void Controller::processNode(Node* node, unsigned thread, std::atomic<std::size_t>* ownCount,
                                    Node const* next) {
    if (pObserver_ != nullptr) {
        processNodeObserved(node, thread, ownCount, next);
        return;
    }
    std::lock_guard<ProcessLock> oLock(node->oProcessLock_);
    node->setProcessing(true);
    node->process();
    countNode(ownCount);
    // On a failure the flag stays set: later visits wait for the lock and leave the node alone
    // until it is flushed.
    node->setProcessing(false);
}

inline void Controller::processSliceRange(Node* node, std::size_t begin, std::size_t end) {
    if (pObserver_ != nullptr) {
        processSliceObserved(node, begin, end);
        return;
    }
    node->processSlice(begin, end);
    nItemsProcessed_.fetch_add(end - begin, std::memory_order_relaxed);
}

} // namespace DataFlow
} // namespace Mirel
