#pragma once
/** The steps the serial visit and the visit with parallel branches share, inline: finding the
    next input of a node whose producer still has to be visited, processing a node or a slice
    sub-range, and the thread index an observer is given. */

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <oneapi/tbb/task_arena.h>

namespace Mirel {
namespace DataFlow {

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
