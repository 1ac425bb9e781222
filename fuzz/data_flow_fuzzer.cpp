// A libFuzzer target over the public API. The input is a sequence of operations: one byte picks
// the operation, the bytes after it are its operands. The operations come in four
// areas: the graph (nodes, links, unlinking, renaming, destruction), parameters (values and their
// dirty flags), the catalogue (registration and lookup) and evaluation (synchronous and
// asynchronous, against the reference evaluator the stress test uses). A model of the graph is
// kept beside the library's and compared after every operation; every broken promise aborts,
// which libFuzzer reports with the input that caused it.
//
// The host rules are kept, as a host must: links run from a node to a later one only (graphs stay
// acyclic), a node is unlinked and removed from its controller before it is destroyed, and
// nothing runs while the graph changes.

#include "FuzzCheck.h"

#include "support/Model.h"

#include "data_flow/DataFlow.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <tuple>

namespace {

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::kNoValue;
using test::kUnlinked;
using test::ModelNode;
using test::NodePlan;

// Small pools, so that shared names, duplicate registrations and lookups that hit are common.
char const* const kNames[] = {"a", "b", "blur", ""};
char const* const kClientIDs[] = {"x", "y", ""};

//! A registration as the catalogue must remember it; kind is the gain of the nodes it makes.
struct Kind {
    std::string vendor, name, clientID;
    unsigned version;
    bool bHasVersion;
    int kind;
};

class KindFactory : public NodeFactory {
public:
    explicit KindFactory(int kind)
        : kind_(kind) {}
    Node* create(NodeTargetType) override {
        return MIREL_NEW ModelNode("made", 0, float(kind_), 0); // the gain tells the kind
    }

private:
    int kind_;
};

class World {
public:
    explicit World(FuzzedDataProvider& data)
        : data_(data) {}
    ~World() {
        for (std::size_t i = 0; i < aNodes_.size(); ++i)
            if (aNodes_[i])
                destroyNode(i);
    }

    void run() {
        // The input's encoding: a byte picks the entry. The committed seeds depend on the order.
        using Step = void (World::*)();
        // clang-format off
        static constexpr Step kSteps[] = {
            &World::addNode, &World::link<false>, &World::link<true>, &World::unlinkInput,
            &World::moveOutput, &World::onNode<&World::disconnectNode>,
            &World::onNode<&World::destroyNode>, &World::renameNode, &World::setGain,
            &World::onNode<&World::setFailing>, &World::onNode<&World::updateDirty>,
            &World::registerKind, &World::lookUpKind, &World::onNode<&World::evaluate>};
        // clang-format on
        constexpr std::uint32_t nLast = std::size(kSteps) - 1;
        for (int steps = 0; data_.remaining_bytes() > 0 && steps < 300; ++steps) {
            (this->*kSteps[data_.ConsumeIntegralInRange<std::uint32_t>(0, nLast)])();
            checkLinks();
        }
    }

private:
    // --- the graph ------------------------------------------------------------------------------

    //! Runs F on a live node picked by the input; nothing when there is none.
    template <void (World::*F)(std::size_t)>
    void onNode() {
        withNode([&](std::size_t i) { (this->*F)(i); });
    }

    //! Calls f with the index of a live node picked by the input; nothing when there is none.
    template <class F>
    void withNode(F&& f) {
        std::vector<std::size_t> aLive;
        for (std::size_t i = 0; i < aNodes_.size(); ++i)
            if (aNodes_[i])
                aLive.push_back(i);
        if (!aLive.empty())
            f(aLive[data_.ConsumeIntegralInRange<std::size_t>(0, aLive.size() - 1)]);
    }

    void noteName(ModelNode const& node, std::string const& name) {
        std::string const expected = name + " [" + std::to_string(aNameCount_[name]++) + "]";
        FUZZ_CHECK(std::string(node.debugId().c_str()) == expected);
    }

    void addNode() {
        std::string const name = kNames[data_.ConsumeIntegralInRange<std::size_t>(0, 3)];
        NodePlan plan;
        plan.gain = static_cast<float>(data_.ConsumeIntegralInRange(0, 999));
        plan.nSlices = data_.ConsumeBool() ? data_.ConsumeIntegralInRange(1, 40) : 0;
        aNodes_.push_back(std::make_unique<ModelNode>(String(name.c_str()), int(aNodes_.size()),
                                                      plan.gain, plan.nSlices));
        aPlan_.push_back(plan);
        noteName(*aNodes_.back(), name);
        FUZZ_CHECK(oController_.addNode(aNodes_.back().get()));
    }

    //! Links a new output of a node to a new input (or the gain) of a later one.
    template <bool bGain>
    void link() {
        withNode([&](std::size_t from) {
            withNode([&](std::size_t to) {
                if (from >= to || (bGain && aPlan_[to].iGainSource != -1))
                    return;
                ModelNode& consumer = *aNodes_[to];
                InputConnector& in = bGain ? consumer.gainAsInput() : consumer.addFloatInput();
                Connect(aNodes_[from]->addFloatOutput(), in);
                if (bGain)
                    aPlan_[to].iGainSource = int(from);
                else
                    aPlan_[to].aProducers.push_back(int(from));
            });
        });
    }

    void unlinkInput() {
        withNode([&](std::size_t i) {
            ModelNode& node = *aNodes_[i];
            if (node.floatInputs() == 0)
                return;
            std::size_t const k =
                data_.ConsumeIntegralInRange<std::size_t>(0, node.floatInputs() - 1);
            node.floatInput(k).disconnect();
            aPlan_[i].aProducers[k] = kUnlinked;
        });
    }

    //! Links an existing output to an input of a later node: both former peers end up unlinked.
    void moveOutput() {
        withNode([&](std::size_t from) {
            withNode([&](std::size_t to) {
                ModelNode& producer = *aNodes_[from];
                ModelNode& consumer = *aNodes_[to];
                if (from >= to || producer.numberOfOutputs() == 0 || consumer.floatInputs() == 0)
                    return;
                OutputConnector& out = *producer.output(
                    data_.ConsumeIntegralInRange<std::size_t>(0, producer.numberOfOutputs() - 1));
                std::size_t const k =
                    data_.ConsumeIntegralInRange<std::size_t>(0, consumer.floatInputs() - 1);
                if (out.connectedInput() != nullptr)
                    forget(*out.connectedInput());
                Connect(out, consumer.floatInput(k));
                aPlan_[to].aProducers[k] = int(from);
            });
        });
    }

    //! Marks the input `in` unlinked in the model: one of the node's float inputs, or its gain.
    void forget(InputConnector const& in) {
        auto const it = std::find_if(aNodes_.begin(), aNodes_.end(),
                                     [&](auto const& p) { return p.get() == in.node(); });
        ModelNode& node = **it;
        NodePlan& plan = aPlan_[std::size_t(it - aNodes_.begin())];
        for (std::size_t k = 0; k < node.floatInputs(); ++k)
            if (&node.floatInput(k) == &in) {
                plan.aProducers[k] = kUnlinked;
                return;
            }
        plan.iGainSource = kUnlinked;
    }

    //! The node's inputs and every input it feeds are unlinked.
    void disconnectNode(std::size_t i) {
        aNodes_[i]->disconnect();
        for (NodePlan& plan : aPlan_) {
            for (int& p : plan.aProducers)
                p = p == int(i) ? kUnlinked : p;
            if (plan.iGainSource == int(i))
                plan.iGainSource = kUnlinked;
        }
        for (int& p : aPlan_[i].aProducers)
            p = kUnlinked;
        if (aPlan_[i].iGainSource != -1)
            aPlan_[i].iGainSource = kUnlinked;
        for (std::size_t o = 0; o < aNodes_[i]->numberOfOutputs(); ++o)
            FUZZ_CHECK(aNodes_[i]->output(o)->connectedInput() == nullptr);
    }

    void destroyNode(std::size_t i) {
        disconnectNode(i);
        FUZZ_CHECK(oController_.removeNode(aNodes_[i].get()));
        aNodes_[i].reset();
    }

    void renameNode() {
        withNode([&](std::size_t i) {
            std::string const name = kNames[data_.ConsumeIntegralInRange<std::size_t>(0, 3)];
            aNodes_[i]->setName(String(name.c_str()));
            noteName(*aNodes_[i], name);
        });
    }

    //! Every link is mutual, and the model's producers are the library's.
    void checkLinks() {
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            if (!aNodes_[i])
                continue;
            ModelNode& node = *aNodes_[i];
            for (std::size_t k = 0; k < node.numberOfInputs(); ++k) {
                OutputConnector const* pOut = node.input(k)->connectedOutput();
                FUZZ_CHECK(pOut == nullptr || pOut->connectedInput() == node.input(k));
            }
            for (std::size_t o = 0; o < node.numberOfOutputs(); ++o) {
                InputConnector const* pIn = node.output(o)->connectedInput();
                FUZZ_CHECK(pIn == nullptr || pIn->connectedOutput() == node.output(o));
            }
            for (std::size_t k = 0; k < node.floatInputs(); ++k) {
                OutputConnector const* pOut = node.floatInput(k).connectedOutput();
                int const p = aPlan_[i].aProducers[k];
                FUZZ_CHECK(p == kUnlinked ? pOut == nullptr
                                          : pOut != nullptr && pOut->node() == aNodes_[p].get());
            }
        }
    }

    // --- parameters and dirty state -------------------------------------------------------------

    //! A change raises the three flags of the gain, an equal value none.
    void setGain() {
        withNode([&](std::size_t i) {
            Parameter<float>& gain = aNodes_[i]->gain();
            float const value = static_cast<float>(data_.ConsumeIntegralInRange(0, 999));
            bool const bChange = value != gain.value();
            gain.setClean();
            gain.setCleanSimpleCaching();
            gain.setCleanLumet();
            gain.setValue(value);
            FUZZ_CHECK(gain.isDirty() == bChange && gain.isDirtySimpleCaching() == bChange &&
                       gain.isDirtyLumet() == bChange);
            if (aPlan_[i].iGainSource == -1)
                aPlan_[i].gain = value;
        });
    }

    void setFailing(std::size_t i) {
        aPlan_[i].bFails = data_.ConsumeBool();
        aNodes_[i]->eFault = aPlan_[i].bFails ? test::Fault::kNode : test::Fault::kNone;
    }

    //! A node is dirty when a producer is or its own parameters were; they are clean after.
    void updateDirty(std::size_t i) {
        ModelNode& node = *aNodes_[i];
        bool bExpected = node.gain().isDirtySimpleCaching();
        for (std::size_t k = 0; k < node.numberOfInputs(); ++k) {
            OutputConnector const* pOut = node.input(k)->connectedOutput();
            bExpected = bExpected || (pOut != nullptr && pOut->node()->isDirty());
        }
        node.updateDirtyState();
        FUZZ_CHECK(node.isDirty() == bExpected);
        FUZZ_CHECK(!node.gain().isDirtySimpleCaching());
    }

    // --- the catalogue --------------------------------------------------------------------------

    //! A registration's place in the catalogue: vendor, name and version (0 without one).
    static auto key(Kind const& k) { return std::tie(k.vendor, k.name, k.version); }

    void registerKind() {
        Kind k{data_.ConsumeBool() ? "v" : "w",
               kNames[data_.ConsumeIntegralInRange(0, 3)],
               kClientIDs[data_.ConsumeIntegralInRange(0, 2)],
               data_.ConsumeIntegralInRange<unsigned>(0, 2),
               data_.ConsumeBool(),
               int(aKinds_.size())};
        if (!k.bHasVersion) // an unversioned record carries neither version nor identifier
            k.version = 0, k.clientID.clear();
        auto* pRecord = k.bHasVersion
                            ? MIREL_NEW NodeMetaData(k.name.c_str(), "space", k.vendor.c_str(),
                                                     k.version, "", k.clientID.c_str())
                            : MIREL_NEW NodeMetaData(k.name.c_str(), "space", k.vendor.c_str());
        bool const bDuplicate = std::any_of(aKinds_.begin(), aKinds_.end(),
                                            [&](Kind const& o) { return key(o) == key(k); });
        try {
            NodeLibrarian::Instance()->add(MIREL_NEW KindFactory(k.kind), pRecord);
            FUZZ_CHECK(!bDuplicate);
            aKinds_.push_back(k);
        } catch (ParameterException const& e) {
            FUZZ_CHECK(bDuplicate && std::strcmp(e.message(), "!bDuplicate") == 0);
        }
    }

    //! The kind of the node made (its gain), or -1 for none; the node is destroyed.
    int made(Node* pNode) {
        if (pNode == nullptr)
            return -1;
        noteName(static_cast<ModelNode&>(*pNode), "made");
        int const kind = int(static_cast<ModelNode*>(pNode)->gain().value());
        Core::destroy(pNode);
        return kind;
    }

    //! By record: exactly that version, or without one the highest of vendor and name.
    int expectedByRecord(std::string const& vendor, std::string const& name, bool bVersion,
                         unsigned version) const {
        Kind const* pBest = nullptr;
        for (Kind const& k : aKinds_)
            if (k.vendor == vendor && k.name == name && (!bVersion || k.version == version) &&
                (pBest == nullptr || k.version > pBest->version))
                pBest = &k;
        return pBest == nullptr ? -1 : pBest->kind;
    }

    //! By client identifier: the first kind that carries it; an unversioned one stands for the
    //! highest version of its vendor and name.
    int expectedByClientID(std::string const& id) const {
        for (Kind const& k : aKinds_)
            if (k.clientID == id)
                return k.bHasVersion ? k.kind : expectedByRecord(k.vendor, k.name, false, 0);
        return -1;
    }

    void lookUpKind() {
        std::string const vendor = data_.ConsumeBool() ? "v" : "w";
        std::string const name = kNames[data_.ConsumeIntegralInRange(0, 3)];
        bool const bVersion = data_.ConsumeBool();
        unsigned const version = data_.ConsumeIntegralInRange<unsigned>(0, 2);
        NodeMetaData const record =
            bVersion ? NodeMetaData(name.c_str(), "space", vendor.c_str(), version, "", "")
                     : NodeMetaData(name.c_str(), "space", vendor.c_str());
        FUZZ_CHECK(
            made(NodeLibrarian::Instance()->createNodeByMetadata(&record, NodeTargetType())) ==
            expectedByRecord(vendor, name, bVersion, version));
        std::string const id = kClientIDs[data_.ConsumeIntegralInRange(0, 2)];
        FUZZ_CHECK(made(NodeLibrarian::Instance()->createNodeByClientID(
                       id.c_str(), NodeTargetType())) == expectedByClientID(id));
    }

    // --- evaluation -----------------------------------------------------------------------------

    /** Flushes, evaluates from the sink (synchronously or not, sliced on the scheduler or on the
        calling thread) and compares with the reference: the sink's value, or the failure when a
        node it needs has an unlinked input or throws; every needed node runs once, no other.
        Every node runs at most once. */
    void evaluate(std::size_t iSink) {
        // An output whose producer is clean and consumer dirty keeps its value across the flush
        // (the host's cache): then the outcome depends on history and is checked only in part.
        FUZZ_CHECK(oController_.flushGraph());
        bool bHeld = false;
        for (auto& p : aNodes_) {
            for (std::size_t o = 0; p && o < p->numberOfOutputs(); ++o)
                bHeld = bHeld || p->output(o)->hasData();
            if (p)
                p->resetRun();
        }
        oController_.setSinkNode(aNodes_[iSink].get());
        oController_.setSingleThreadMode(data_.ConsumeBool());
        std::string failure;
        if (data_.ConsumeBool()) {
            try {
                oController_.process();
            } catch (InternalException const& e) {
                failure = e.message();
            }
        } else {
            oController_.processAsync();
            FUZZ_CHECK(oController_.wait(60.0, 0.0001));
            try {
                oController_.checkException();
            } catch (SharedException const& e) {
                auto const* pInner = dynamic_cast<InternalException const*>(e.wrapped().get());
                FUZZ_CHECK(pInner != nullptr);
                failure = pInner->message();
            }
        }
        FUZZ_CHECK(oController_.controllerStatus() == Controller::kStopped);
        for (auto& p : aNodes_)
            FUZZ_CHECK(!p || p->nProcessed.load() <= 1);
        if (bHeld)
            return;
        std::vector<long long> const aExpected = test::referenceValues(aPlan_);
        if (aExpected[iSink] == kNoValue) {
            FUZZ_CHECK(failure == "producerOutput" || failure == test::kFaultText);
            return;
        }
        FUZZ_CHECK(failure.empty());
        FUZZ_CHECK(aNodes_[iSink]->iValue == aExpected[iSink]);
        std::vector<bool> aNeeded(aNodes_.size(), false);
        aNeeded[iSink] = true;
        for (std::size_t i = iSink + 1; i-- > 0;) {
            if (!aNeeded[i])
                continue;
            for (int p : aPlan_[i].aProducers)
                aNeeded[std::size_t(p)] = true; // linked: the sink has a value
            if (aPlan_[i].iGainSource >= 0)
                aNeeded[std::size_t(aPlan_[i].iGainSource)] = true;
        }
        for (std::size_t i = 0; i < aNodes_.size(); ++i)
            FUZZ_CHECK(!aNodes_[i] || aNodes_[i]->nProcessed.load() == (aNeeded[i] ? 1 : 0));
    }

    FuzzedDataProvider& data_;
    Controller oController_;
    std::vector<std::unique_ptr<ModelNode>> aNodes_; // destroyed nodes leave a null
    std::vector<NodePlan> aPlan_;
    std::map<std::string, int> aNameCount_;
    std::vector<Kind> aKinds_;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Core::Library::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* bytes, std::size_t size) {
    std::size_t const start = Core::liveAllocations();
    Library::initialize();
    {
        FuzzedDataProvider data(bytes, size);
        World(data).run();
    }
    Library::terminate();
    FUZZ_CHECK(Core::liveAllocations() == start); // everything given back
    return 0;
}
