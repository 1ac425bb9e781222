#pragma once
// Node kinds and helpers for the controller tests: a float node with any number of inputs and
// outputs and a hook in its computation, a node that slices its work, a lean node for very long
// chains, a controller that opens its protected members, and a guard for the process-wide
// settings.

#include "support/TestNodes.h"

#include "data_flow/controllers/Controller.h"
#include "data_flow/internal/ControllerImpl.h"

#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace test {

/** Float inputs "in0".. and outputs "out0..". Processing counts the run, remembers the thread,
    runs the hook, then publishes on every output the sum of the inputs plus 1. */
class HookNode : public CountingNode {
public:
    HookNode(Mirel::String const& name, std::size_t nInputs, std::size_t nOutputs,
             EventLog* pLog = nullptr)
        : CountingNode(name, pLog) {
        for (std::size_t i = 0; i < nInputs; ++i) {
            aIns_.push_back(std::make_unique<Mirel::DataFlow::ConstInput<float>>(
                Mirel::String("in") + std::to_string(i).c_str(), this));
            addInput(aIns_.back().get());
        }
        for (std::size_t i = 0; i < nOutputs; ++i) {
            aOuts_.push_back(std::make_unique<Mirel::DataFlow::OutputTemplate<float>>(
                Mirel::String("out") + std::to_string(i).c_str(), this));
            addOutput(aOuts_.back().get());
        }
    }

    Mirel::DataFlow::ConstInput<float>& in(std::size_t i) { return *aIns_.at(i); }
    Mirel::DataFlow::OutputTemplate<float>& out(std::size_t i = 0) { return *aOuts_.at(i); }
    //! The value this node publishes: the sum of its inputs plus 1.
    float result() const { return fResult_; }
    std::thread::id processThread() const { return oThread_; }

    //! Runs inside process(), with the node's lock held, before the outputs are published.
    std::function<void(HookNode&)> onProcess;

protected:
    void internalProcess() override {
        noteProcess();
        oThread_ = std::this_thread::get_id();
        if (onProcess)
            onProcess(*this);
        float fSum = 1.0f;
        for (auto& pIn : aIns_)
            fSum += pIn->value();
        fResult_ = fSum;
        for (auto& pOut : aOuts_)
            pOut->setData(MIREL_NEW float(fSum));
    }

private:
    std::vector<std::unique_ptr<Mirel::DataFlow::ConstInput<float>>> aIns_;
    std::vector<std::unique_ptr<Mirel::DataFlow::OutputTemplate<float>>> aOuts_;
    float fResult_ = 0.0f;
    std::thread::id oThread_;
};

//! Links output iOut of `from` to input iIn of `to`.
inline void link(HookNode& from, HookNode& to, std::size_t iOut = 0, std::size_t iIn = 0) {
    Mirel::DataFlow::Connect(from.out(iOut), to.in(iIn));
}

/** A node without connectors whose computation hands itself to its controller's
    processSlices. Every slice call is recorded; onSlice runs inside each one. */
class SlicedNode : public CountingNode {
public:
    struct Slice {
        std::size_t begin;
        std::size_t end;
        std::thread::id thread;
        int arenaConcurrency;
    };

    SlicedNode(Mirel::String const& name, std::size_t itemSize, std::size_t numberOfItems)
        : CountingNode(name)
        , oRange_(itemSize, numberOfItems) {}

    BlockedRange rangeToProcess() const override { return oRange_; }
    void processSlice(std::size_t begin, std::size_t end) override {
        {
            std::lock_guard<std::mutex> oLock(oMutex_);
            aSlices_.push_back(
                {begin, end, std::this_thread::get_id(), tbb::this_task_arena::max_concurrency()});
        }
        if (onSlice)
            onSlice(begin, end);
    }

    std::vector<Slice> slices() {
        std::lock_guard<std::mutex> oLock(oMutex_);
        return aSlices_;
    }
    void clearSlices() {
        std::lock_guard<std::mutex> oLock(oMutex_);
        aSlices_.clear();
    }

    //! Runs inside every slice call, possibly on several threads at once.
    std::function<void(std::size_t, std::size_t)> onSlice;

protected:
    void internalProcess() override {
        noteProcess();
        controller()->processSlices(this);
    }

private:
    BlockedRange oRange_;
    std::mutex oMutex_;
    std::vector<Slice> aSlices_;
};

//! An input that takes nothing: the lean chain node reads its producer's pointer directly.
class PlainInput : public Mirel::DataFlow::InputConnector {
public:
    using InputConnector::InputConnector;
    std::type_info const& datatype() const override { return typeid(float); }
    void acquireData() override {}
    void releaseData() override {}
    void flush() override {}
};

//! An output that publishes a pointer owned by its node; flush() clears it.
class PlainOutput : public Mirel::DataFlow::OutputConnector {
public:
    using OutputConnector::OutputConnector;
    std::type_info const& datatype() const override { return typeid(float); }
    void flush() override { setDataPtr(nullptr); }
};

/** One input, one output, the value of its producer plus 1 kept in the node itself: a million
    of these make a chain without a million value cells. The head of a chain has its input
    unlinked and is given its value with setHead(). */
class ChainNode : public Mirel::DataFlow::Node {
public:
    ChainNode()
        : Node("chain")
        , oIn_("in", this)
        , oOut_("out", this) {
        addOutput(&oOut_);
    }
    //! Makes the node a chain link: with an input fed by previous.
    void follow(ChainNode& previous) {
        addInput(&oIn_);
        Mirel::DataFlow::Connect(previous.oOut_, oIn_);
    }
    float value() const { return fValue_; }
    int processCount() const { return iProcessCount_; }

protected:
    void internalProcess() override {
        ++iProcessCount_;
        fValue_ = numberOfInputs() == 0
                      ? 0.0f
                      : *static_cast<float const*>(oIn_.connectedOutput()->data()) + 1.0f;
        oOut_.setDataPtr(&fValue_);
    }

private:
    PlainInput oIn_;
    PlainOutput oOut_;
    float fValue_ = -1.0f;
    int iProcessCount_ = 0;
};

//! n chain nodes, each fed by the one before.
inline std::unique_ptr<ChainNode[]> makeChain(std::size_t n) {
    std::unique_ptr<ChainNode[]> aChain(new ChainNode[n]);
    for (std::size_t i = 1; i < n; ++i)
        aChain[i].follow(aChain[i - 1]);
    return aChain;
}

//! What f throws wrapped in a SharedException; empty when it throws nothing.
template <class F>
boost::shared_ptr<std::exception> wrappedBy(F&& f) {
    try {
        f();
    } catch (Mirel::SharedException const& e) {
        return e.wrapped();
    }
    return {};
}

//! The error that c.checkException() throws, which takes it out of the store; empty when none.
inline boost::shared_ptr<std::exception> storedError(Mirel::DataFlow::Controller& c) {
    return wrappedBy([&] { c.checkException(); });
}

//! A controller whose protected members the tests may call.
class OpenController : public Mirel::DataFlow::Controller {
public:
    using Controller::terminateScheduler;
};

/** Restores the process-wide thread count and minimum grain size when it goes out of scope, and
    with restartScheduler() re-creates the scheduler with a chosen thread count. Construct it
    before any controller of the test, destroy it after the last. */
class SettingsGuard {
public:
    SettingsGuard()
        : nThreads_(Mirel::DataFlow::Controller::getNumberOfThreads())
        , nGrain_(Mirel::DataFlow::Controller::getMinimumGrainSize()) {}
    ~SettingsGuard() {
        Mirel::DataFlow::Controller::setMinimumGrainSize(nGrain_);
        if (bRestarted_) {
            Mirel::DataFlow::Controller::setNumberOfThreads(nThreads_);
            restart();
        }
        Mirel::DataFlow::Controller::setNumberOfThreads(nThreads_);
    }
    SettingsGuard(SettingsGuard const&) = delete;
    SettingsGuard& operator=(SettingsGuard const&) = delete;

    //! Terminates the scheduler; the next controller creates it with nThreads.
    void restartScheduler(std::size_t nThreads) {
        bRestarted_ = true;
        Mirel::DataFlow::Controller::setNumberOfThreads(nThreads);
        restart();
    }

private:
    static void restart() {
        OpenController oController; // terminating needs a controller to call it on
        oController.terminateScheduler();
    }

    std::size_t nThreads_;
    std::size_t nGrain_;
    bool bRestarted_ = false;
};

} // namespace test
