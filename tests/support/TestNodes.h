#pragma once
// The fixture that brings the library up around a test, node kinds shared by the tests (a float
// node with a hook, a sliced node, a lean node for long chains) and controller helpers.

#include "support/TestSupport.h"

#include "data_flow/DataFlowLibrary.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <oneapi/tbb/task_arena.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace test {

/** Initialises the core library and data_flow's Library in SetUp and terminates both in
    TearDown; the leak count spans both, so the node index and the catalogue must be given back
    too. Create nodes inside the test body: they must be gone before TearDown runs. */
class LibraryTest : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        Mirel::Core::Library::initialize();
        Mirel::DataFlow::Library::initialize();
    }
    void TearDown() override {
        // A test may take the library down itself; the leak count must still see it all freed.
        if (Mirel::DataFlow::Library::isInitialized())
            Mirel::DataFlow::Library::terminate();
        Mirel::Core::Library::terminate();
        LeakChecked::TearDown();
    }
};

//! A shared record of what happened, in order ("src process", "a.in0 acquire", ...).
using EventLog = std::vector<std::string>;

/** Float inputs "in0".. and outputs "out0..". Processing counts the run, logs "<name> process"
    when given a log, remembers the thread, runs the hook, then publishes on every output the sum
    of the inputs plus 1. */
class HookNode : public Mirel::DataFlow::Node {
public:
    HookNode(Mirel::String const& name, std::size_t nInputs, std::size_t nOutputs,
             EventLog* pLog = nullptr);

    Mirel::DataFlow::ConstInput<float>& in(std::size_t i = 0) { return *aIns_.at(i); }
    Mirel::DataFlow::OutputTemplate<float>& out(std::size_t i = 0) { return *aOuts_.at(i); }
    int processCount() const { return iProcessCount_; }
    //! The value this node published last: the sum of its inputs plus 1.
    float result() const { return fResult_; }
    std::thread::id processThread() const { return oThread_; }

    //! Runs inside process(), with the node's lock held, before the outputs are published.
    std::function<void(HookNode&)> onProcess;

protected:
    void internalProcess() override;

private:
    EventLog* pLog_;
    std::vector<std::unique_ptr<Mirel::DataFlow::ConstInput<float>>> aIns_;
    std::vector<std::unique_ptr<Mirel::DataFlow::OutputTemplate<float>>> aOuts_;
    int iProcessCount_ = 0;
    float fResult_ = 0.0f;
    std::thread::id oThread_;
};

//! Links output iOut of `from` to input iIn of `to`.
inline void link(HookNode& from, HookNode& to, std::size_t iOut = 0, std::size_t iIn = 0) {
    Mirel::DataFlow::Connect(from.out(iOut), to.in(iIn));
}

/** A HookNode whose computation hands itself to its controller's processSlices before it
    publishes. Every slice call is recorded; onSlice runs inside each one. */
class SlicedNode : public HookNode {
public:
    struct Slice {
        std::size_t begin, end;
        std::thread::id thread;
        int arenaConcurrency;
    };

    SlicedNode(Mirel::String const& name, std::size_t itemSize, std::size_t numberOfItems,
               std::size_t nInputs = 0, std::size_t nOutputs = 0)
        : HookNode(name, nInputs, nOutputs)
        , oRange_(itemSize, numberOfItems) {
        onProcess = [this](HookNode&) { controller()->processSlices(this); };
    }
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

private:
    BlockedRange oRange_;
    std::mutex oMutex_;
    std::vector<Slice> aSlices_;
};

/** A float input that takes nothing (its node reads the producer's pointer directly) and logs
    each hook call ("r.in0 acquire") when given a log. */
class PlainInput : public Mirel::DataFlow::InputConnector {
public:
    PlainInput(Mirel::String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog = nullptr)
        : InputConnector(name, pNode)
        , pLog_(pLog) {}
    std::type_info const& datatype() const override { return typeid(float); }
    void acquireData() override { note(pLog_, *this, " acquire"); }
    void releaseData() override { note(pLog_, *this, " release"); }
    void flush() override { note(pLog_, *this, " flush"); }

    //! Logs "<node>.<connector><what>" when there is a log.
    static void note(EventLog* pLog, Connector const& c, char const* what) {
        if (pLog != nullptr)
            pLog->push_back(std::string(c.node()->name().c_str()) + "." + c.name().c_str() + what);
    }

private:
    EventLog* pLog_;
};

//! An output that publishes a pointer owned by its node; flush() clears it, logged as above.
class PlainOutput : public Mirel::DataFlow::OutputConnector {
public:
    PlainOutput(Mirel::String const& name, Mirel::DataFlow::Node* pNode, EventLog* pLog = nullptr)
        : OutputConnector(name, pNode)
        , pLog_(pLog) {}
    std::type_info const& datatype() const override { return typeid(float); }
    void flush() override {
        PlainInput::note(pLog_, *this, " flush");
        setDataPtr(nullptr);
    }

private:
    EventLog* pLog_;
};

/** Inputs "in0".. and outputs "out0.." whose every hook call is logged ("r.in0 acquire",
    "r.out1 flush"), and whose computation logs "<name> process". For tests of hook order. */
class RecordingNode : public Mirel::DataFlow::Node {
public:
    RecordingNode(Mirel::String const& name, EventLog* pLog, std::size_t nInputs,
                  std::size_t nOutputs);

protected:
    void internalProcess() override;

private:
    EventLog* pLog_;
    std::vector<std::unique_ptr<PlainInput>> aIns_;
    std::vector<std::unique_ptr<PlainOutput>> aOuts_;
};

/** Up to two inputs and one output, the sum of its inputs plus 1 kept in the node itself: a
    million of these make a graph without a million value cells. */
class LeanNode : public Mirel::DataFlow::Node {
public:
    LeanNode()
        : Node("lean")
        , aIn_{{"a", this}, {"b", this}}
        , oOut_("out", this) {
        addOutput(&oOut_);
    }
    void feedFrom(LeanNode& producer) {
        Mirel::DataFlow::InputConnector& in = aIn_[numberOfInputs()];
        addInput(&in);
        Mirel::DataFlow::Connect(producer.oOut_, in);
    }
    float value() const { return fValue_; }
    int processCount() const { return iProcessCount_; }

protected:
    void internalProcess() override {
        ++iProcessCount_;
        fValue_ = 1.0f;
        for (std::size_t i = 0; i < numberOfInputs(); ++i)
            fValue_ += *static_cast<float const*>(input(i)->connectedOutput()->data());
        oOut_.setDataPtr(&fValue_);
    }

private:
    PlainInput aIn_[2];
    PlainOutput oOut_;
    float fValue_ = 0.0f;
    int iProcessCount_ = 0;
};

//! n lean nodes, each fed by the one before: node i holds i + 1.
inline std::unique_ptr<LeanNode[]> makeChain(std::size_t n) {
    std::unique_ptr<LeanNode[]> aChain(new LeanNode[n]);
    for (std::size_t i = 1; i < n; ++i)
        aChain[i].feedFrom(aChain[i - 1]);
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

//! Adds the nodes to c in order and makes the last one the sink.
inline void addAll(Mirel::DataFlow::Controller& c,
                   std::initializer_list<Mirel::DataFlow::Node*> aNodes) {
    for (Mirel::DataFlow::Node* p : aNodes)
        c.addNode(p);
    c.setSinkNode(*(aNodes.end() - 1));
}

/** Restores the process-wide thread count and minimum grain size when it goes out of scope, and
    with restartScheduler() re-creates the scheduler with a chosen thread count. Construct it
    before any controller of the test, destroy it after the last. */
class SettingsGuard {
public:
    SettingsGuard() = default;
    SettingsGuard(SettingsGuard const&) = delete;
    SettingsGuard& operator=(SettingsGuard const&) = delete;
    ~SettingsGuard() {
        Mirel::DataFlow::Controller::setMinimumGrainSize(nGrain_);
        Mirel::DataFlow::Controller::setNumberOfThreads(nThreads_);
        if (bRestarted_)
            terminateScheduler();
    }

    //! Terminates the scheduler; the next controller creates it with nThreads.
    void restartScheduler(std::size_t nThreads) {
        bRestarted_ = true;
        Mirel::DataFlow::Controller::setNumberOfThreads(nThreads);
        terminateScheduler();
    }
    //! Terminates the scheduler through a controller, which is what may call it.
    static void terminateScheduler() {
        struct Open : Mirel::DataFlow::Controller {
            using Controller::terminateScheduler;
        };
        Open().terminateScheduler();
    }

private:
    std::size_t nThreads_ = Mirel::DataFlow::Controller::getNumberOfThreads();
    std::size_t nGrain_ = Mirel::DataFlow::Controller::getMinimumGrainSize();
    bool bRestarted_ = false;
};

} // namespace test
