// A libFuzzer target over the public API. The input is a sequence of operations: one byte picks
// the operation, the bytes after it are its operands. The operations come in three areas: the
// graph (nodes, links, unlinking, renaming, destruction), parameters (values and their dirty
// flags) and evaluation (synchronous and asynchronous). The model graph the stress test uses is
// kept beside the library's and compared after every operation; every broken promise aborts,
// which libFuzzer reports with the input that caused it. (The catalogue's lookups are a table of
// cases in librarian_test.)
//
// The host rules are kept, as a host must: links run from a node to a later one only (graphs stay
// acyclic), a node is unlinked and removed from its controller before it is destroyed, and
// nothing runs while the graph changes.

#include "FuzzCheck.h"

#include "support/Model.h"

#include "data_flow/DataFlow.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <map>

namespace {

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::kUnlinked;
using test::ModelNode;
using test::NodePlan;

// A small pool, so that shared names are common.
char const* const kNames[] = {"a", "b", "blur", ""};

class World {
public:
    explicit World(FuzzedDataProvider& data)
        : data_(data) {}

    void run() {
        // The input's encoding: a byte picks the entry. The committed seeds depend on the order.
        using Step = void (World::*)();
        // clang-format off
        static constexpr Step kSteps[] = {
            &World::addNode, &World::link<false>, &World::link<true>, &World::unlinkInput,
            &World::moveOutput, &World::onNode<&World::disconnectNode>,
            &World::onNode<&World::destroyNode>, &World::renameNode, &World::setGain,
            &World::onNode<&World::setFailing>, &World::onNode<&World::updateDirty>,
            &World::onNode<&World::evaluate>};
        // clang-format on
        for (int steps = 0; data_.remaining_bytes() > 0 && steps < 300; ++steps) {
            (this->*kSteps[pick(std::size(kSteps))])();
            checkLinks();
        }
    }

private:
    //! An operand below n (0 once the input is used up); pick(2) is a coin.
    std::size_t pick(std::size_t n) { return data_.ConsumeIntegralInRange<std::size_t>(0, n - 1); }

    //! Runs F on a live node picked by the input; nothing when there is none.
    template <void (World::*F)(std::size_t)>
    void onNode() {
        withNode([&](std::size_t i) { (this->*F)(i); });
    }

    //! Calls f with the index of a live node picked by the input; nothing when there is none.
    template <class F>
    void withNode(F&& f) {
        std::vector<std::size_t> aLive;
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i)
            if (g_.aNodes[i])
                aLive.push_back(i);
        if (!aLive.empty())
            f(aLive[pick(aLive.size())]);
    }

    // --- the graph ------------------------------------------------------------------------------

    void noteName(ModelNode const& node, std::string const& name) {
        std::string const expected = name + " [" + std::to_string(aNameCount_[name]++) + "]";
        FUZZ_CHECK(std::string(node.debugId().c_str()) == expected);
    }

    void addNode() {
        std::string const name = kNames[pick(4)];
        NodePlan plan;
        plan.gain = float(pick(1000));
        plan.nSlices = pick(2) ? 1 + pick(40) : 0;
        noteName(g_.add(name, plan), name);
    }

    //! Links a new output of a node to a new input (or the gain) of a later one.
    template <bool bGain>
    void link() {
        withNode([&](std::size_t from) {
            withNode([&](std::size_t to) {
                if (from < to && !(bGain && g_.aPlan[to].iGainSource != -1))
                    g_.link(from, to, bGain);
            });
        });
    }

    void unlinkInput() {
        withNode([&](std::size_t i) {
            if (g_.aNodes[i]->floatInputs() == 0)
                return;
            std::size_t const k = pick(g_.aNodes[i]->floatInputs());
            g_.aNodes[i]->floatInput(k).disconnect();
            g_.aPlan[i].aProducers[k] = kUnlinked;
        });
    }

    //! Links an existing output to an input of a later node: both former peers end up unlinked.
    void moveOutput() {
        withNode([&](std::size_t from) {
            withNode([&](std::size_t to) {
                ModelNode& producer = *g_.aNodes[from];
                ModelNode& consumer = *g_.aNodes[to];
                if (from >= to || producer.numberOfOutputs() == 0 || consumer.floatInputs() == 0)
                    return;
                OutputConnector& out = *producer.output(pick(producer.numberOfOutputs()));
                std::size_t const k = pick(consumer.floatInputs());
                if (InputConnector const* pIn = out.connectedInput())
                    forget(*pIn);
                Connect(out, consumer.floatInput(k));
                g_.aPlan[to].aProducers[k] = int(from);
            });
        });
    }

    //! Marks the input `in` unlinked in the model: one of the node's float inputs, or its gain.
    void forget(InputConnector const& in) {
        auto& node = static_cast<ModelNode&>(*in.node());
        NodePlan& plan = g_.aPlan[std::size_t(node.id())];
        for (std::size_t k = 0; k < node.floatInputs(); ++k)
            if (&node.floatInput(k) == &in) {
                plan.aProducers[k] = kUnlinked;
                return;
            }
        plan.iGainSource = kUnlinked;
    }

    //! The node's inputs and every input it feeds are unlinked.
    void disconnectNode(std::size_t i) {
        g_.aNodes[i]->disconnect();
        for (std::size_t j = 0; j < g_.aPlan.size(); ++j)
            for (int* p : sources(j))
                *p = *p == int(i) || (j == i && *p != -1) ? kUnlinked : *p;
        for (std::size_t o = 0; o < g_.aNodes[i]->numberOfOutputs(); ++o)
            FUZZ_CHECK(g_.aNodes[i]->output(o)->connectedInput() == nullptr);
    }

    //! Where node j's plan names its producers: each input's, then the gain's.
    std::vector<int*> sources(std::size_t j) {
        std::vector<int*> aSources;
        for (int& p : g_.aPlan[j].aProducers)
            aSources.push_back(&p);
        aSources.push_back(&g_.aPlan[j].iGainSource);
        return aSources;
    }

    void destroyNode(std::size_t i) {
        disconnectNode(i);
        FUZZ_CHECK(g_.pController->removeNode(g_.aNodes[i].get()));
        g_.aNodes[i].reset();
    }

    void renameNode() {
        withNode([&](std::size_t i) {
            std::string const name = kNames[pick(4)];
            g_.aNodes[i]->setName(String(name.c_str()));
            noteName(*g_.aNodes[i], name);
        });
    }

    //! Every link is mutual, and the model's producers are the library's.
    void checkLinks() {
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i) {
            ModelNode* pNode = g_.aNodes[i].get();
            for (std::size_t k = 0; pNode && k < pNode->numberOfInputs(); ++k) {
                OutputConnector const* pOut = pNode->input(k)->connectedOutput();
                FUZZ_CHECK(pOut == nullptr || pOut->connectedInput() == pNode->input(k));
            }
            for (std::size_t o = 0; pNode && o < pNode->numberOfOutputs(); ++o) {
                InputConnector const* pIn = pNode->output(o)->connectedInput();
                FUZZ_CHECK(pIn == nullptr || pIn->connectedOutput() == pNode->output(o));
            }
            for (std::size_t k = 0; pNode && k < pNode->floatInputs(); ++k) {
                OutputConnector const* pOut = pNode->floatInput(k).connectedOutput();
                int const p = g_.aPlan[i].aProducers[k];
                FUZZ_CHECK(p == kUnlinked ? pOut == nullptr
                                          : pOut != nullptr && pOut->node() == g_.aNodes[p].get());
            }
        }
    }

    // --- parameters and dirty state -------------------------------------------------------------

    //! A change raises the three flags of the gain, an equal value none.
    void setGain() {
        withNode([&](std::size_t i) {
            Parameter<float>& gain = g_.aNodes[i]->gain();
            float const value = float(pick(1000));
            bool const bChange = value != gain.value();
            gain.setClean();
            gain.setCleanSimpleCaching();
            gain.setCleanLumet();
            gain.setValue(value);
            FUZZ_CHECK(gain.isDirty() == bChange && gain.isDirtySimpleCaching() == bChange &&
                       gain.isDirtyLumet() == bChange);
            if (g_.aPlan[i].iGainSource == -1)
                g_.aPlan[i].gain = value;
        });
    }

    void setFailing(std::size_t i) {
        g_.aPlan[i].bFails = pick(2);
        g_.aNodes[i]->eFault = g_.aPlan[i].bFails ? test::Fault::kNode : test::Fault::kNone;
    }

    //! A node is dirty when a producer is or its own parameters were; they are clean after.
    void updateDirty(std::size_t i) {
        ModelNode& node = *g_.aNodes[i];
        bool bExpected = node.gain().isDirtySimpleCaching();
        for (std::size_t k = 0; k < node.numberOfInputs(); ++k) {
            OutputConnector const* pOut = node.input(k)->connectedOutput();
            bExpected = bExpected || (pOut != nullptr && pOut->node()->isDirty());
        }
        node.updateDirtyState();
        FUZZ_CHECK(node.isDirty() == bExpected);
        FUZZ_CHECK(!node.gain().isDirtySimpleCaching());
    }

    // --- evaluation -----------------------------------------------------------------------------

    /** Flushes, evaluates from the sink (synchronously or not, sliced on the scheduler or on the
        calling thread) and compares with the reference: the sink's value, or the failure when a
        node it needs has an unlinked input or throws; every needed node runs once, no other. */
    void evaluate(std::size_t iSink) {
        // An output whose producer is clean and consumer dirty keeps its value across the flush
        // (the host's cache): then the outcome depends on history and is checked only in part.
        Controller& c = *g_.pController;
        FUZZ_CHECK(c.flushGraph());
        bool bHeld = false;
        for (auto& p : g_.aNodes)
            for (std::size_t o = 0; p && o < p->numberOfOutputs(); ++o)
                bHeld = bHeld || p->output(o)->hasData();
        g_.resetRun();
        c.setSinkNode(g_.aNodes[iSink].get());
        c.setSingleThreadMode(pick(2));
        bool const bAsync = !pick(2);
        std::string const failure = test::thrownBy([&] {
            if (!bAsync)
                return c.process();
            c.processAsync();
            FUZZ_CHECK(c.wait(60.0, 0.0001));
            c.checkException();
        });
        FUZZ_CHECK(c.controllerStatus() == Controller::kStopped);
        for (auto& p : g_.aNodes)
            FUZZ_CHECK(!p || p->nProcessed.load() <= 1);
        if (bHeld)
            return;
        FUZZ_CHECK(g_.wrongNode(false).empty());
        std::vector<long long> const aExpected = test::referenceValues(g_.aPlan);
        if (aExpected[iSink] == test::kNoValue) {
            FUZZ_CHECK(failure == test::expectedFault(bAsync, test::Thrown::kInternal) ||
                       failure ==
                           test::expectedFault(bAsync, test::Thrown::kInternal, "producerOutput"));
            return;
        }
        FUZZ_CHECK(failure == "nothing" && g_.aNodes[iSink]->bPublished);
        std::vector<bool> aNeeded(g_.aNodes.size(), false);
        aNeeded[iSink] = true;
        for (std::size_t i = iSink + 1; i-- > 0;)
            for (int* p : sources(i))
                if (aNeeded[i] && *p >= 0) // linked: the sink has a value
                    aNeeded[std::size_t(*p)] = true;
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i)
            FUZZ_CHECK(!g_.aNodes[i] || g_.aNodes[i]->nProcessed.load() == int(aNeeded[i]));
    }

    FuzzedDataProvider& data_;
    test::ModelGraph g_; // destroyed nodes leave a null
    std::map<std::string, int> aNameCount_;
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
