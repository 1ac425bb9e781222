#pragma once
// What the demo's node kinds share, in the host and in the plugin module: a node base that times
// its computation and counts its runs, so that the host can tell what an evaluation recomputed,
// and the row-sliced image helpers.

#include "core/Core.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/nodes/Node.h"

#include <chrono>
#include <memory>

namespace demo {

//! The target type every demo kind is made for: plain CPU memory.
constexpr Mirel::DataFlow::NodeTargetType kCpuTarget = Mirel::DataFlow::NodeTargetType(0);

//! Frees a value made with MIREL_NEW: for results held while they are computed.
struct Destroy {
    template <class T>
    void operator()(T* p) const noexcept {
        Mirel::Core::destroy(p);
    }
};
template <class T>
using Owned = std::unique_ptr<T, Destroy>;

/** Base of the demo's node kinds. internalProcess times compute() and counts the run. When
    compute() published its results, the parameters' simple-caching change is marked as
    consumed: those results were computed from the current values, so Node::updateDirtyState
    must not count them as a change again. (Without this, a value that a proxy input wrote
    during the evaluation would make the node dirty at the next update.) */
class TimedNode : public Mirel::DataFlow::Node {
public:
    explicit TimedNode(Mirel::String const& name)
        : Node(name) {}

    //! How many times the node computed; the host compares it across evaluations.
    unsigned int runs() const { return nRuns_; }
    //! Duration of the last computation in milliseconds.
    double lastMilliseconds() const { return dLastMilliseconds_; }

protected:
    //! The node kind's computation: reads the inputs and publishes on the outputs. False when
    //! it published nothing because the evaluation was cancelled.
    virtual bool compute() = 0;

    void internalProcess() override {
        auto const start = std::chrono::steady_clock::now();
        bool const bPublished = compute();
        dLastMilliseconds_ =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        ++nRuns_;
        if (bPublished)
            setCleanAllParametersSimpleCaching();
    }

    /** Runs this node's slices on its controller. False when the evaluation was cancelled
        meanwhile: the slices that had not started were skipped, so the result is incomplete
        and must not be published. A slice failure comes out as SharedException. */
    bool runSlices() {
        Mirel::DataFlow::Controller* pController = controller();
        pController->processSlices(this);
        return pController->controllerStatus() != Mirel::DataFlow::Controller::kCancelled;
    }

private:
    unsigned int nRuns_ = 0;
    double dLastMilliseconds_ = 0.0;
};

} // namespace demo
