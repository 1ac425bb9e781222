#pragma once
// The model graph shared by the stress test and the fuzzer: a node kind whose value is a fixed
// function of its id, its gain, its inputs and its slices, the plain reference evaluator that
// computes the same values without the library, the graph a host holds, and what a host sees of
// a failure. Header-only and free of GoogleTest, so that the fuzzer (built without the tests)
// uses it too.

#include "core/Core.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/Parameter.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace test {

// Node values are integers below this prime, held exactly in a float.
constexpr long long kModulus = 65521;
// A producer index of an input that is not linked: the node cannot be evaluated.
constexpr int kUnlinked = -2;
// A value the reference gives a node that cannot be evaluated.
constexpr long long kNoValue = -1;
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

//! The plan of one node: what a generator decided, and what the reference evaluator reads.
struct NodePlan {
    std::vector<int> aProducers; // producer node of each regular input (or kUnlinked)
    int iGainSource = -1;        // producer driving the gain parameter, -1 none, or kUnlinked
    float gain = 0.0f;           // the gain when no producer drives it
    std::size_t nSlices = 0;
    bool bFails = false; // the node throws when processed
};

/** Every node's value from scratch, in id order: producers must have smaller ids. A node with an
    unlinked input, a failing node, and every node fed by one of them get kNoValue. */
inline std::vector<long long> referenceValues(std::vector<NodePlan> const& aPlan) {
    std::vector<long long> aValue(aPlan.size(), kNoValue);
    auto const valueOf = [&](int p) { return p < 0 ? kNoValue : aValue[std::size_t(p)]; };
    for (std::size_t i = 0; i < aPlan.size(); ++i) {
        NodePlan const& plan = aPlan[i];
        long long const gain =
            plan.iGainSource == -1 ? static_cast<long long>(plan.gain) : valueOf(plan.iGainSource);
        bool bValue = !plan.bFails && gain != kNoValue;
        long long acc = static_cast<long long>(i) * 7 + gain * 3;
        for (std::size_t k = 0; k < plan.aProducers.size(); ++k) {
            long long const v = valueOf(plan.aProducers[k]);
            bValue = bValue && v != kNoValue;
            acc += static_cast<long long>(k + 1) * v;
        }
        for (std::size_t s = 0; s < plan.nSlices; ++s)
            acc += sliceTerm(static_cast<long long>(s), static_cast<int>(i));
        aValue[i] = bValue ? acc % kModulus : kNoValue;
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
    ModelNode(Mirel::String const& name, int iId, float gain, std::size_t nSlices,
              std::size_t nItemSize = 1)
        : Node(name)
        , iId_(iId)
        , oGain_(gain, "gain")
        , nSlices_(nSlices)
        , nItemSize_(nItemSize)
        , aPartial_(nSlices)
        , aDone_(nSlices) {
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
    long long iValue = kNoValue; // kIncomplete when the node could not finish

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
    int id() const { return iId_; }
    Mirel::DataFlow::Parameter<float>& gain() { return oGain_; }
    Mirel::DataFlow::ConstInput<float>& floatInput(std::size_t i) { return *aIn_[i]; }
    std::size_t floatInputs() const { return aIn_.size(); }
    ModelOutput const& modelOutput(std::size_t i) const { return *aOut_[i]; }
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

/** A host's model graph: node i is aNodes[i] with the plan aPlan[i], added to one controller. A
    destroyed node leaves a null; the others are unlinked at the end and outlive the controller. */
struct ModelGraph {
    std::vector<NodePlan> aPlan;
    std::vector<std::unique_ptr<ModelNode>> aNodes;
    std::unique_ptr<Mirel::DataFlow::Controller> pController =
        std::make_unique<Mirel::DataFlow::Controller>();

    ~ModelGraph() {
        for (auto& pNode : aNodes)
            if (pNode)
                pNode->disconnect();
        pController.reset();
    }

    ModelNode& add(std::string const& name, NodePlan const& plan, std::size_t nItemSize = 1) {
        aPlan.push_back(plan);
        aNodes.push_back(std::make_unique<ModelNode>(
            Mirel::String(name.c_str()), int(aNodes.size()), plan.gain, plan.nSlices, nItemSize));
        if (!pController->addNode(aNodes.back().get()))
            throw std::logic_error("addNode refused a new node");
        return *aNodes.back();
    }

    //! Links a new output of node `from` to a new input of node `to`, or to its gain.
    void link(std::size_t from, std::size_t to, bool bGain = false) {
        ModelNode& consumer = *aNodes[to];
        Connect(aNodes[from]->addFloatOutput(),
                bGain ? consumer.gainAsInput() : consumer.addFloatInput());
        if (bGain)
            aPlan[to].iGainSource = int(from);
        else
            aPlan[to].aProducers.push_back(int(from));
    }

    void resetRun() {
        for (auto& pNode : aNodes)
            if (pNode)
                pNode->resetRun();
    }

    /** What is wrong with the last evaluation: a node that ran twice or published other than its
        reference value (kIncomplete allowed when bCutShort); empty when nothing is. */
    std::string wrongNode(bool bCutShort) const {
        std::vector<long long> const aExpected = referenceValues(aPlan);
        for (std::size_t i = 0; i < aNodes.size(); ++i) {
            ModelNode const* p = aNodes[i].get();
            if (p != nullptr && p->nProcessed.load() > 1)
                return "node " + std::to_string(i) + " processed twice";
            if (p != nullptr && p->bPublished && p->iValue != aExpected[i] &&
                !(bCutShort && p->iValue == kIncomplete))
                return "node " + std::to_string(i) + ": " + std::to_string(p->iValue) + ", not " +
                       std::to_string(aExpected[i]);
        }
        return {};
    }
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
inline std::string expectedFault(int nLayers, Thrown eThrown,
                                 std::string const& text = kFaultText) {
    std::string s = eThrown == Thrown::kInternal ? "internal: " + text
                    : nLayers > 0                ? "condition 6"
                    : eThrown == Thrown::kStd    ? "std: " + text
                                                 : "int";
    for (int i = 0; i < nLayers; ++i)
        s = "shared(" + s + ")";
    return s;
}

} // namespace test
