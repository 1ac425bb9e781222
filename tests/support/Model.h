#pragma once
// The randomized differential run of the stress test and the fuzzer (which builds without
// GoogleTest): a model node kind, the plain reference evaluator of its values, and GraphRun, which
// builds a graph of model nodes from a stream of choices and evaluates it several times, every
// value compared against the reference. The choices also pick the mode (synchronous or not,
// parallel branches or not), a node or slice that throws, a cancelProcess() from another thread,
// and parameter changes between evaluations, with the dirty-state service deciding the cache.

#include "support/Latch.h"

#include "core/Core.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/Parameter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace test {

// Node values are integers below this prime, held exactly in a float.
constexpr long long kModulus = 65521;
// What a node publishes when it could not finish: its slices were skipped by a cancellation, or
// an input carried this marker. Publishing something keeps the consumers' visit linear.
constexpr float kIncomplete = -1.0f;
constexpr char kFaultText[] = "injected fault";

inline long long sliceTerm(long long iIndex, int iId) {
    return (iIndex * iIndex + iId) % kModulus;
}

enum class Fault { kNone, kNode, kSlice };
enum class Thrown { kInternal, kStd, kInt };

[[noreturn]] inline void throwFault(Thrown eThrown) {
    if (eThrown == Thrown::kInternal)
        throw Mirel::InternalException(__FILE__, __LINE__, kFaultText);
    if (eThrown == Thrown::kStd)
        throw std::runtime_error(kFaultText);
    throw 7;
}

//! The plan of one node: what the run decided, and what the reference evaluator reads.
struct NodePlan {
    std::vector<int> aProducers; // producer node of each regular input
    int iGainSource = -1;        // producer driving the gain parameter, or -1
    float gain = 0.0f;           // the gain when no producer drives it
    std::size_t nSlices = 0;
};

//! Every node's value from scratch, in id order: producers must have smaller ids.
inline std::vector<long long> referenceValues(std::vector<NodePlan> const& aPlan) {
    std::vector<long long> aValue(aPlan.size());
    for (std::size_t i = 0; i < aPlan.size(); ++i) {
        NodePlan const& plan = aPlan[i];
        long long acc = static_cast<long long>(i) * 7 +
                        3 * (plan.iGainSource == -1 ? static_cast<long long>(plan.gain)
                                                    : aValue[std::size_t(plan.iGainSource)]);
        for (std::size_t k = 0; k < plan.aProducers.size(); ++k)
            acc += static_cast<long long>(k + 1) * aValue[std::size_t(plan.aProducers[k])];
        for (std::size_t s = 0; s < plan.nSlices; ++s)
            acc += sliceTerm(static_cast<long long>(s), static_cast<int>(i));
        aValue[i] = acc % kModulus;
    }
    return aValue;
}

/** An output that never keeps an incomplete result across a flush, whatever the cache rule says:
    the node kind's own decision, so that a cancelled evaluation cannot leave it cached. */
class ModelOutput final : public Mirel::DataFlow::OutputTemplate<float> {
public:
    using OutputTemplate<float>::OutputTemplate;

    bool holdsIncomplete() const {
        return hasData() && *static_cast<float const*>(data()) == kIncomplete;
    }
    void flush() override {
        if (holdsIncomplete())
            setData(nullptr);
        else
            OutputTemplate<float>::flush();
    }
};

/** The model node kind: float inputs and outputs (one output per consumer), a float parameter
    "gain" that may be driven through a proxy input, and optionally its work cut into slices. It
    computes what referenceValues computes. A node that throws publishes nothing; one that cannot
    finish publishes kIncomplete. The public fields are the host's, set while nothing runs and
    read after the evaluation. */
class ModelNode final : public Mirel::DataFlow::Node {
public:
    ModelNode(std::string const& name, int iId, NodePlan const& plan, std::size_t nItemSize)
        : Node(Mirel::String(name.c_str()))
        , iId_(iId)
        , oGain_(plan.gain, "gain")
        , nSlices_(plan.nSlices)
        , nItemSize_(nItemSize)
        , aPartial_(plan.nSlices)
        , aDone_(plan.nSlices) {
        registerParameter(&oGain_);
    }
    ~ModelNode() override {
        for (Mirel::DataFlow::InputConnector* pProxy : aProxies_)
            Mirel::Core::destroy(pProxy);
    }

    Fault eFault = Fault::kNone;
    Thrown eThrown = Thrown::kInternal;
    std::size_t iFailIndex = 0;
    std::function<void()> onProcess; //!< runs first in every computation
    std::atomic<int> nProcessed{0};
    std::atomic<bool> bFired{false};
    bool bPublished = false;
    long long iValue = 0; // kIncomplete when the node could not finish

    Mirel::DataFlow::ConstInput<float>& addFloatInput() {
        aIn_.push_back(std::make_unique<Mirel::DataFlow::ConstInput<float>>(
            Mirel::String(("in" + std::to_string(aIn_.size())).c_str()), this));
        addInput(aIn_.back().get());
        return *aIn_.back();
    }
    ModelOutput& addFloatOutput() {
        aOut_.push_back(std::make_unique<ModelOutput>(
            Mirel::String(("out" + std::to_string(aOut_.size())).c_str()), this));
        addOutput(aOut_.back().get());
        return *aOut_.back();
    }
    Mirel::DataFlow::InputConnector& gainAsInput() {
        aProxies_.push_back(convertToConnector(&oGain_));
        return *aProxies_.back();
    }
    Mirel::DataFlow::Parameter<float>& gain() { return oGain_; }
    void resetRun() {
        nProcessed.store(0);
        bFired.store(false);
        bPublished = false;
    }

    BlockedRange rangeToProcess() const override { return BlockedRange(nItemSize_, nSlices_, 0); }
    void processSlice(std::size_t begin, std::size_t end) override {
        for (std::size_t i = begin; i < end; ++i) {
            if (eFault == Fault::kSlice && i == iFailIndex) {
                bFired.store(true);
                throwFault(eThrown);
            }
            aPartial_[i] = sliceTerm(static_cast<long long>(i), iId_);
            aDone_[i] = 1; // distinct indices: no two slices write the same element
        }
    }

protected:
    void internalProcess() override {
        nProcessed.fetch_add(1);
        if (onProcess)
            onProcess();
        bool bComplete = oGain_.value() != kIncomplete;
        long long acc = iId_ * 7LL + static_cast<long long>(oGain_.value()) * 3;
        for (std::size_t k = 0; k < aIn_.size(); ++k) {
            bComplete = bComplete && aIn_[k]->value() != kIncomplete;
            acc += static_cast<long long>(k + 1) * static_cast<long long>(aIn_[k]->value());
        }
        if (nSlices_ > 0) {
            std::fill(aDone_.begin(), aDone_.end(), 0);
            controller()->processSlices(this);
            for (std::size_t i = 0; i < nSlices_; ++i) {
                bComplete = bComplete && aDone_[i];
                acc += aPartial_[i];
            }
        }
        if (eFault == Fault::kNode) {
            bFired.store(true);
            throwFault(eThrown);
        }
        iValue = bComplete ? acc % kModulus : static_cast<long long>(kIncomplete);
        bPublished = true;
        for (auto& pOut : aOut_)
            pOut->setData(MIREL_NEW float(static_cast<float>(iValue)));
    }

private:
    int iId_;
    Mirel::DataFlow::Parameter<float> oGain_;
    std::size_t nSlices_;
    std::size_t nItemSize_;
    std::vector<long long> aPartial_;
    std::vector<unsigned char> aDone_;
    std::vector<std::unique_ptr<Mirel::DataFlow::ConstInput<float>>> aIn_;
    std::vector<std::unique_ptr<ModelOutput>> aOut_;
    std::vector<Mirel::DataFlow::InputConnector*> aProxies_;
};

//! What reached the host, layer by layer: "shared(internal: injected fault)", "int", ...
inline std::string describe(std::exception const* e) {
    if (auto const* p = dynamic_cast<Mirel::SharedException const*>(e))
        return "shared(" + describe(p->wrapped().get()) + ")";
    if (auto const* p = dynamic_cast<Mirel::InternalException const*>(e))
        return std::string("internal: ") + p->message();
    if (auto const* p = dynamic_cast<Mirel::CPURuntimeException const*>(e))
        return "condition " + std::to_string(p->condition());
    return e != nullptr ? std::string("std: ") + e->what() : "nothing";
}

//! What f throws, described; "nothing" when it returns.
template <class F>
std::string thrownBy(F&& f) {
    try {
        f();
        return "nothing";
    } catch (std::exception const& e) {
        return describe(&e);
    } catch (int) {
        return "int";
    }
}

/** The text under nLayers SharedExceptions: with none, as thrown; under one or more, as a
    scheduler thread stores it (a clone of the core's exception, or the unknown condition). */
inline std::string expectedFault(int nLayers, Thrown eThrown) {
    std::string s = eThrown == Thrown::kInternal ? std::string("internal: ") + kFaultText
                    : nLayers > 0                ? "condition 6"
                    : eThrown == Thrown::kStd    ? std::string("std: ") + kFaultText
                                                 : "int";
    for (int i = 0; i < nLayers; ++i)
        s = "shared(" + s + ")";
    return s;
}

struct Totals {
    long graphs = 0, evaluations = 0, faults = 0, cancellations = 0, cached = 0;
};

/** One graph: built from the choices, evaluated several times, then destroyed. A broken promise
    is handed to `report`, naming the evaluation; the run stops after that evaluation. */
class GraphRun {
public:
    using Pick = std::function<std::size_t(std::size_t)>; //!< a choice below n
    using Report = std::function<void(std::string const&)>;

    // Evaluation limits: generous, since ThreadSanitizer slows everything down many times.
    static constexpr double kWaitTimeout = 120.0;
    static constexpr double kWaitInterval = 0.0002;

    GraphRun(Pick pick, Report report, Totals& totals)
        : pick_(std::move(pick))
        , report_(std::move(report))
        , oTotals_(totals) {}
    ~GraphRun() {
        for (auto& pNode : aNodes_)
            pNode->disconnect();
        pController_.reset(); // before the nodes
    }

    void run() {
        build();
        int const nRounds = 2 + int(pick(6));
        bool bPreviousClean = true;
        for (iRound_ = 0; iRound_ < nRounds && !bFailed_; ++iRound_)
            bPreviousClean = evaluate(bPreviousClean);
        ++oTotals_.graphs;
    }

private:
    std::size_t pick(std::size_t n) { return pick_(n); }
    bool chance(int percent) { return pick(100) < std::size_t(percent); }
    void check(bool bOk, std::string const& what) {
        if (!bOk) {
            bFailed_ = true;
            report_("evaluation " + std::to_string(iRound_) + ": " + what);
        }
    }

    //! Random DAG in id order: fan-in 0 to 4 from earlier nodes, some producers shared, some
    //! gains driven by a proxy input, some nodes sliced; the sink takes every unconsumed node.
    void build() {
        std::size_t const n = 1 + pick(300);
        std::vector<bool> aConsumed(n, false);
        for (std::size_t i = 0; i < n; ++i) {
            bool const bInner = i > 0 && i + 1 < n;
            std::vector<int> aProducers(bInner ? pick(5) : 0);
            for (int& p : aProducers)
                p = pickProducer(i);
            int const iGainSource = bInner && chance(10) ? pickProducer(i) : -1;
            for (std::size_t j = 0; i + 1 == n && j < i; ++j)
                if (!aConsumed[j])
                    aProducers.push_back(int(j));
            aPlan_.push_back({aProducers, iGainSource, 0.0f, chance(15) ? 1 + pick(64) : 0});
            aPlan_[i].gain = float(pick(1000));
            aNodes_.push_back(std::make_unique<ModelNode>("model" + std::to_string(i % 7), int(i),
                                                          aPlan_[i], 1 + pick(3)));
            pController_->addNode(aNodes_[i].get());
            // Every link gets its own output on the producer: no fan-out at connector level.
            for (int p : aProducers) {
                Connect(aNodes_[std::size_t(p)]->addFloatOutput(), aNodes_[i]->addFloatInput());
                aConsumed[std::size_t(p)] = true;
            }
            if (iGainSource >= 0) {
                Connect(aNodes_[std::size_t(iGainSource)]->addFloatOutput(),
                        aNodes_[i]->gainAsInput());
                aConsumed[std::size_t(iGainSource)] = true;
            }
        }
        pController_->setSinkNode(aNodes_.back().get());
    }

    int pickProducer(std::size_t i) {
        if (chance(70)) // mostly recent nodes, which makes deep graphs
            return int(i - 1 - pick(std::min<std::size_t>(i, 8)));
        return int(pick(i));
    }

    //! Changes some gains (some to the value they already have), then lets the dirty-state
    //! service mark what depends on them, and flushes with the cache decisions it gives.
    void prepare() {
        for (std::size_t c = iRound_ > 0 ? pick(4) : 0; c > 0; --c) {
            std::size_t const i = pick(aNodes_.size());
            if (aPlan_[i].iGainSource >= 0)
                continue; // driven upstream: the proxy would overwrite it
            if (chance(75))
                aPlan_[i].gain = float(pick(1000));
            aNodes_[i]->gain().setValue(aPlan_[i].gain);
        }
        for (auto& pNode : aNodes_) // ids are a topological order: producers first
            pNode->updateDirtyState();

        // A node keeps all its outputs or none: a node holding data on some outputs only would
        // never be ready again, and its other consumers would starve.
        for (auto& pNode : aNodes_)
            for (std::size_t o = 0; o < pNode->numberOfOutputs(); ++o)
                pNode->output(o)->keepCache(false);
        aCached_.assign(aNodes_.size(), false);
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            ModelNode& node = *aNodes_[i];
            bool const bKeep = node.keepsCache();
            for (std::size_t o = 0; o < node.numberOfOutputs(); ++o)
                node.output(o)->keepCache(bKeep);
            aCached_[i] = bKeep && node.numberOfOutputs() > 0 && node.output(0)->hasData() &&
                          node.iValue != kIncomplete;
        }
        check(pController_->flushGraph(), "flushGraph refused");
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            for (std::size_t o = 0; o < aNodes_[i]->numberOfOutputs(); ++o)
                check(aNodes_[i]->output(o)->hasData() == aCached_[i],
                      "flush of node " + std::to_string(i) + " went against keepsCache");
            check(!aNodes_[i]->isProcessing(), "node " + std::to_string(i) + " still processing");
        }
    }

    /** Injects at most one fault, returns the faulty node. Never in an evaluation after a
        troubled one, so that the evaluation after wait() is checked in full. */
    ModelNode& injectFault(bool bPreviousClean) {
        for (auto& pNode : aNodes_) {
            pNode->eFault = Fault::kNone;
            pNode->onProcess = nullptr;
        }
        std::size_t const iFaulty = pick(aNodes_.size());
        ModelNode& faulty = *aNodes_[iFaulty];
        faulty.eThrown = static_cast<Thrown>(pick(3));
        if (bPreviousClean && chance(20)) {
            std::size_t const nSlices = aPlan_[iFaulty].nSlices;
            faulty.eFault = nSlices > 0 && chance(60) ? Fault::kSlice : Fault::kNode;
            faulty.iFailIndex = faulty.eFault == Fault::kSlice ? pick(nSlices) : 0;
        }
        return faulty;
    }

    static bool onCompleted(void* pData) {
        static_cast<std::atomic<int>*>(pData)->fetch_add(1);
        return true;
    }

    //! One evaluation; returns whether it ran without fault or cancellation.
    bool evaluate(bool bPreviousClean) {
        prepare();
        if (bFailed_)
            return false;
        Mirel::DataFlow::Controller& c = *pController_;
        bool const bAsync = chance(50);
        bool const bSingleThread = chance(20);
        bool const bParallel = chance(50);
        c.setSingleThreadMode(bSingleThread);
        c.setParallelBranches(bParallel);
        for (auto& pNode : aNodes_)
            pNode->resetRun();
        ModelNode& faulty = injectFault(bPreviousClean);
        bool const bCancel = bPreviousClean && chance(15);

        // Registered before the canceller exists: a cancelled controller refuses callbacks.
        std::atomic<int> nCallbacks{0};
        c.registerProcessingCompletedCallback(bAsync ? &onCompleted : nullptr,
                                              bAsync ? &nCallbacks : nullptr);
        Latch trigger;
        std::thread canceller;
        std::atomic<bool> bCancelIssued{false};
        if (bCancel) {
            if (!chance(20)) // otherwise at once, racing the start of the evaluation
                aNodes_[pick(aNodes_.size())]->onProcess = [&trigger] { trigger.countDown(); };
            else
                trigger.countDown();
            unsigned const spin = unsigned(pick(20000));
            canceller = std::thread([&c, &trigger, &bCancelIssued, spin] {
                if (!trigger.wait(std::chrono::seconds(200)))
                    return;
                for (volatile unsigned i = 0; i < spin; i = i + 1) {
                }
                c.cancelProcess();
                bCancelIssued.store(true);
            });
        }

        // A deadlock must end the run, naming the evaluation, rather than hang it.
        Latch done;
        std::thread watchdog([&done, round = iRound_] {
            if (!done.wait(std::chrono::seconds(180))) {
                std::fprintf(stderr, "model run: evaluation %d presumed deadlocked\n", round);
                std::abort();
            }
        });
        std::string sThrown = "nothing";
        bool bWaited = true;
        if (bAsync) {
            c.processAsync();
            bWaited = c.wait(kWaitTimeout, kWaitInterval);
        } else {
            sThrown = thrownBy([&] { c.process(); });
        }
        trigger.countDown(); // the trigger node may not have run: never leave it waiting
        if (canceller.joinable())
            canceller.join();
        // A host that caught a failure, or cancelled, waits before it evaluates again; a
        // cancellation that landed after the evaluation is reset by this wait as well.
        bWaited = c.wait(kWaitTimeout, kWaitInterval) && bWaited;
        done.countDown();
        watchdog.join();
        if (bAsync)
            sThrown = thrownBy([&] { c.checkException(); });
        check(bWaited, "wait() gave up");
        check(c.controllerStatus() == Mirel::DataFlow::Controller::kStopped, "not stopped");
        check(thrownBy([&] { c.checkException(); }) == "nothing", "an error stayed stored");

        bool const bFired = faulty.bFired.load();
        bool const bCancelled = bCancelIssued.load();
        bool const bClean = !bFired && !bCancelled;
        ++oTotals_.evaluations;
        oTotals_.faults += bFired ? 1 : 0;
        oTotals_.cancellations += bCancelled ? 1 : 0;

        // The fault passes on unchanged, unless stored on the way: by processSlices for a slice on
        // the scheduler's threads, by a visit with parallel branches, and by the evaluation task
        // when asynchronous.
        int const nLayers = (bAsync ? 1 : 0) + (bParallel ? 1 : 0) +
                            (faulty.eFault == Fault::kSlice && !bSingleThread ? 1 : 0);
        std::string const expected = bFired ? expectedFault(nLayers, faulty.eThrown) : "nothing";
        check(sThrown == expected, "threw " + sThrown + ", not " + expected);
        check(!bAsync || nCallbacks.load() == 1 || (bCancelled && nCallbacks.load() == 0),
              "completion callback called " + std::to_string(nCallbacks.load()) + " times");

        // Any value published is the reference value, or incomplete when a cancellation or a
        // fault beside it (parallel branches) cut its slices short. A clean evaluation recomputes
        // every dirty node once, no cached one, and completes the sink.
        std::vector<long long> const aExpected = referenceValues(aPlan_);
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            ModelNode const& node = *aNodes_[i];
            int const count = node.nProcessed.load();
            std::string const at = "node " + std::to_string(i) + ": ";
            check(count <= 1, at + "processed twice");
            check(!node.bPublished || node.iValue == aExpected[i] ||
                      ((bCancelled || (bParallel && bFired)) && node.iValue == kIncomplete),
                  at + std::to_string(node.iValue) + ", not " + std::to_string(aExpected[i]));
            check(!aCached_[i] || count == 0, at + "cached, yet recomputed");
            check(!bClean || !node.isDirty() || count == 1, at + "dirty, not recomputed once");
            oTotals_.cached += aCached_[i] ? 1 : 0;
        }
        ModelNode const& sink = *aNodes_.back();
        check(!bClean || (sink.bPublished && sink.iValue != kIncomplete), "sink not evaluated");
        return bClean;
    }

    Pick pick_;
    Report report_;
    Totals& oTotals_;
    int iRound_ = 0;
    bool bFailed_ = false;
    std::vector<NodePlan> aPlan_;
    std::vector<std::unique_ptr<ModelNode>> aNodes_;
    std::unique_ptr<Mirel::DataFlow::Controller> pController_ =
        std::make_unique<Mirel::DataFlow::Controller>();
    std::vector<bool> aCached_;
};

} // namespace test
