// Randomized differential stress: seeded random graphs evaluated by the Controller, synchronously
// and asynchronously, with every value compared against the plain reference evaluator. Mixed in
// at random: a node or a slice that throws, a cancelProcess() from another thread at a random
// moment, and parameter changes between evaluations, with the dirty-state service deciding which
// results stay cached.
//
// Environment (all optional):
//   DATA_FLOW_STRESS_SEED     seed of the first graph (graph g uses seed + g); default 1
//   DATA_FLOW_STRESS_GRAPHS   number of graphs; default 100, or unlimited with SECONDS
//   DATA_FLOW_STRESS_SECONDS  run until this many seconds have passed
// A failing graph prints the line that replays it on its own.

#include "support/Model.h"
#include "support/TestNodes.h"

#include <cstdio>
#include <random>

namespace {

using namespace Mirel::DataFlow;
using test::Fault;
using test::kIncomplete;
using test::ModelNode;
using test::NodePlan;
using test::Thrown;

//! What reached the host, layer by layer: "shared(internal: injected fault)", "int", ...
std::string describe(std::exception const* e) {
    if (auto const* p = dynamic_cast<Mirel::SharedException const*>(e))
        return "shared(" + describe(p->wrapped().get()) + ")";
    if (auto const* p = dynamic_cast<Mirel::InternalException const*>(e))
        return std::string("internal: ") + p->message();
    if (auto const* p = dynamic_cast<Mirel::CPURuntimeException const*>(e))
        return "condition " + std::to_string(p->condition());
    return e != nullptr ? std::string("std: ") + e->what() : "nothing";
}

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

/** The injected fault under nLayers SharedExceptions: with none, as thrown; under one, as a
    scheduler thread stores it (a clone of the core's exception, or the unknown condition). */
std::string expectedFault(int nLayers, Thrown eThrown) {
    std::string s = eThrown == Thrown::kInternal ? std::string("internal: ") + test::kFaultText
                    : nLayers > 0                ? "condition 6"
                    : eThrown == Thrown::kStd    ? std::string("std: ") + test::kFaultText
                                                 : "int";
    for (int i = 0; i < nLayers; ++i)
        s = "shared(" + s + ")";
    return s;
}

// Evaluation limits: generous, since ThreadSanitizer slows everything down many times.
constexpr double kWaitTimeout = 120.0;
constexpr double kWaitInterval = 0.0002;

/** Aborts the process, naming the graph, when an evaluation outlives 180 s: a deadlock must end
    the run, not hang it. One per evaluation. */
struct Watchdog {
    explicit Watchdog(std::string what)
        : oThread([this, what] {
            if (!oDone.wait(std::chrono::seconds(180))) {
                std::fprintf(stderr, "stress: no progress, presumed deadlock: %s\n", what.c_str());
                std::abort();
            }
        }) {}
    ~Watchdog() {
        oDone.countDown();
        oThread.join();
    }
    test::Latch oDone;
    std::thread oThread; // last: starts once the latch is made
};

struct Totals {
    long graphs = 0, evaluations = 0, faults = 0, cancellations = 0, cached = 0;
};

constexpr std::size_t kNames = 7;

std::string nodeName(std::size_t i) {
    return "stress" + std::to_string(i % kNames);
}

bool onCompleted(void* pData) {
    static_cast<std::atomic<int>*>(pData)->fetch_add(1);
    return true;
}

long envLong(char const* name, long fallback) {
    char const* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

/** One graph: built from its seed, evaluated several times, then destroyed. Failures are
    reported through GoogleTest, each naming the seed. */
class GraphRun {
public:
    GraphRun(unsigned long long seed, Totals& totals)
        : seed_(seed)
        , oRandom_(seed)
        , oTotals_(totals) {}

    void run() {
        std::size_t const startBlocks = Mirel::Core::liveAllocations();
        build();
        int const nRounds = 2 + static_cast<int>(pick(6));
        bool bPreviousClean = true;
        for (iRound_ = 0; iRound_ < nRounds && !::testing::Test::HasFailure(); ++iRound_)
            bPreviousClean = evaluate(bPreviousClean);
        for (auto& pNode : aNodes_)
            pNode->disconnect();
        pController_.reset();
        aNodes_.clear();
        EXPECT_EQ(Mirel::Core::liveAllocations(), startBlocks) << where() << "blocks leaked";
        ++oTotals_.graphs;
    }

private:
    std::size_t pick(std::size_t n) { return static_cast<std::size_t>(oRandom_() % n); }
    bool chance(int percent) { return pick(100) < static_cast<std::size_t>(percent); }
    std::string where() const {
        return "graph seed " + std::to_string(seed_) + ", evaluation " + std::to_string(iRound_) +
               " (replay: DATA_FLOW_STRESS_SEED=" + std::to_string(seed_) +
               " DATA_FLOW_STRESS_GRAPHS=1): ";
    }

    //! Random DAG in id order: fan-in 0 to 4 from earlier nodes, some producers shared, some
    //! gains driven by a proxy input, some nodes sliced; the sink takes every unconsumed node.
    void build() {
        std::size_t const n = 1 + pick(300);
        aPlan_.assign(n, NodePlan());
        std::vector<bool> aConsumed(n, false);
        for (std::size_t i = 0; i < n; ++i) {
            NodePlan& plan = aPlan_[i];
            for (std::size_t k = i > 0 && i + 1 < n ? pick(5) : 0; k > 0; --k)
                plan.aProducers.push_back(pickProducer(i));
            if (i > 0 && i + 1 < n && chance(10))
                plan.iGainSource = pickProducer(i);
            for (std::size_t j = 0; i + 1 == n && j < i; ++j)
                if (!aConsumed[j])
                    plan.aProducers.push_back(static_cast<int>(j));
            plan.nSlices = chance(15) ? 1 + pick(64) : 0;
            plan.gain = static_cast<float>(pick(1000));
            aNodes_.push_back(std::make_unique<ModelNode>(Mirel::String(nodeName(i).c_str()),
                                                          static_cast<int>(i), plan.gain,
                                                          plan.nSlices, 1 + pick(3)));
            // Every link gets its own output on the producer: no fan-out at connector level.
            for (int p : plan.aProducers) {
                Connect(aNodes_[p]->addFloatOutput(), aNodes_[i]->addFloatInput());
                aConsumed[p] = true;
            }
            if (plan.iGainSource >= 0) {
                Connect(aNodes_[plan.iGainSource]->addFloatOutput(), aNodes_[i]->gainAsInput());
                aConsumed[plan.iGainSource] = true;
            }
        }
        pController_ = std::make_unique<Controller>();
        for (auto& pNode : aNodes_)
            ASSERT_TRUE(pController_->addNode(pNode.get()));
        pController_->setSinkNode(aNodes_.back().get());
    }

    int pickProducer(std::size_t i) {
        if (chance(70)) // mostly recent nodes, which makes deep graphs
            return static_cast<int>(i - 1 - pick(std::min<std::size_t>(i, 8)));
        return static_cast<int>(pick(i));
    }

    //! Changes some gains (some to the value they already have), then lets the dirty-state
    //! service mark what depends on them, and flushes with the cache decisions it gives.
    void prepare() {
        for (std::size_t c = iRound_ > 0 ? pick(4) : 0; c > 0; --c) {
            std::size_t const i = pick(aNodes_.size());
            if (aPlan_[i].iGainSource >= 0)
                continue; // driven upstream: the proxy would overwrite it
            if (chance(75))
                aPlan_[i].gain = static_cast<float>(pick(1000));
            aNodes_[i]->gain().setValue(aPlan_[i].gain);
        }
        for (auto& pNode : aNodes_) // ids are a topological order: producers first
            pNode->updateDirtyState();

        // A node keeps all its outputs or none: a node holding data on some outputs only would
        // never be ready again, and its other consumers would starve.
        for (auto& pNode : aNodes_)
            for (std::size_t o = 0; o < pNode->numberOfOutputs(); ++o)
                pNode->output(o)->keepCache(false);
        std::vector<std::vector<bool>> aKept(aNodes_.size());
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            bool const bKeep = aNodes_[i]->keepsCache();
            for (std::size_t o = 0; o < aNodes_[i]->numberOfOutputs(); ++o) {
                aNodes_[i]->output(o)->keepCache(bKeep);
                aKept[i].push_back(bKeep && aNodes_[i]->output(o)->hasData() &&
                                   !aNodes_[i]->modelOutput(o).holdsIncomplete());
            }
        }
        ASSERT_TRUE(pController_->flushGraph()) << where();
        aCached_.assign(aNodes_.size(), false);
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            bool bAll = aNodes_[i]->numberOfOutputs() > 0;
            for (std::size_t o = 0; o < aNodes_[i]->numberOfOutputs(); ++o) {
                bool const bHas = aNodes_[i]->output(o)->hasData();
                EXPECT_EQ(bHas, aKept[i][o]) << where() << "flush of node " << i << " output " << o
                                             << " went against keepsCache";
                bAll = bAll && bHas;
            }
            aCached_[i] = bAll;
            EXPECT_FALSE(aNodes_[i]->isProcessing()) << where() << "node " << i;
        }
    }

    //! One evaluation; returns whether it ran without fault or cancellation.
    bool evaluate(bool bPreviousClean) {
        prepare();
        if (::testing::Test::HasFailure())
            return false;
        bool const bAsync = chance(50);
        bool const bSingleThread = chance(20);
        pController_->setSingleThreadMode(bSingleThread);
        // Every other evaluation with parallel branches, without drawing from the generator.
        bool const bParallel = (seed_ + static_cast<unsigned long long>(iRound_)) % 2 == 1;
        EXPECT_TRUE(pController_->setParallelBranches(bParallel)) << where();
        for (auto& pNode : aNodes_) {
            pNode->resetRun();
            pNode->eFault = Fault::kNone;
            pNode->onProcess = nullptr;
        }

        // At most one fault and one cancellation, and never two troubled evaluations in a row,
        // so that the evaluation after wait() is checked in full.
        std::size_t const iFaulty = pick(aNodes_.size());
        ModelNode& faulty = *aNodes_[iFaulty];
        Thrown const eThrown = static_cast<Thrown>(pick(3));
        bool const bCancel = bPreviousClean && chance(15);
        if (bPreviousClean && chance(20)) {
            std::size_t const nSlices = aPlan_[iFaulty].nSlices;
            faulty.eFault = nSlices > 0 && chance(60) ? Fault::kSlice : Fault::kNode;
            faulty.eThrown = eThrown;
            faulty.iFailIndex = faulty.eFault == Fault::kSlice ? pick(nSlices) : 0;
        }

        // Registered before the canceller exists: a cancelled controller refuses callbacks.
        std::atomic<int> nCallbacks{0};
        EXPECT_TRUE(pController_->registerProcessingCompletedCallback(
            bAsync ? &onCompleted : nullptr, bAsync ? &nCallbacks : nullptr))
            << where();
        test::Latch trigger;
        std::thread canceller;
        std::atomic<bool> bCancelIssued{false};
        if (bCancel) {
            if (!chance(20)) // otherwise at once, racing the start of the evaluation
                aNodes_[pick(aNodes_.size())]->onProcess = [&trigger] { trigger.countDown(); };
            else
                trigger.countDown();
            unsigned const spin = static_cast<unsigned>(pick(20000));
            canceller = std::thread([this, &trigger, &bCancelIssued, spin] {
                if (!trigger.wait(std::chrono::seconds(200)))
                    return;
                for (volatile unsigned i = 0; i < spin; i = i + 1) {
                }
                pController_->cancelProcess();
                bCancelIssued.store(true);
            });
        }

        std::string sThrown = "nothing";
        bool bWaited = true;
        {
            Watchdog const watchdog(where());
            if (bAsync) {
                pController_->processAsync();
                bWaited = pController_->wait(kWaitTimeout, kWaitInterval);
            } else {
                sThrown = thrownBy([&] { pController_->process(); });
            }
            trigger.countDown(); // the trigger node may not have run: never leave it waiting
            if (canceller.joinable())
                canceller.join();
            // A host that caught a failure, or cancelled, waits before it evaluates again; a
            // cancellation that landed after the evaluation is reset by this wait as well.
            bWaited = pController_->wait(kWaitTimeout, kWaitInterval) && bWaited;
        }
        if (bAsync)
            sThrown = thrownBy([&] { pController_->checkException(); });
        EXPECT_TRUE(bWaited) << where() << "wait() gave up";
        EXPECT_EQ(pController_->controllerStatus(), Controller::kStopped) << where();
        EXPECT_NO_THROW(pController_->checkException()) << where() << "an error stayed stored";

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
        EXPECT_EQ(sThrown, bFired ? expectedFault(nLayers, eThrown) : "nothing") << where();
        if (bAsync) {
            EXPECT_TRUE(nCallbacks.load() == 1 || (bCancelled && nCallbacks.load() == 0))
                << where() << "completion callback called " << nCallbacks.load() << " times";
        }

        // Every node at most once; a clean evaluation recomputes every dirty node once, no cached
        // one, and completes the sink. Any value published is the reference value, or incomplete
        // when a cancellation or a fault beside it (parallel branches) cut its slices short.
        std::vector<long long> const aExpected = test::referenceValues(aPlan_);
        bool const bCutShort = bCancelled || (bParallel && bFired);
        for (std::size_t i = 0; i < aNodes_.size(); ++i) {
            ModelNode const& node = *aNodes_[i];
            int const count = node.nProcessed.load();
            EXPECT_LE(count, 1) << where() << "node " << i << " processed twice";
            EXPECT_TRUE(!node.bPublished || node.iValue == aExpected[i] ||
                        (bCutShort && node.iValue == kIncomplete))
                << where() << "node " << i << ": " << node.iValue << ", not " << aExpected[i];
            EXPECT_FALSE(aCached_[i] && count != 0)
                << where() << "cached node " << i << " recomputed";
            EXPECT_FALSE(bClean && node.isDirty() && count != 1)
                << where() << "dirty node " << i << " not recomputed once";
            oTotals_.cached += aCached_[i] ? 1 : 0;
        }
        ModelNode const& sink = *aNodes_.back();
        EXPECT_TRUE(!bClean || (sink.bPublished && sink.iValue != kIncomplete))
            << where() << "the sink was not evaluated";
        return bClean;
    }

    unsigned long long seed_;
    std::mt19937_64 oRandom_;
    Totals& oTotals_;
    int iRound_ = 0;
    std::vector<NodePlan> aPlan_;
    std::vector<bool> aCached_;
    std::vector<std::unique_ptr<ModelNode>> aNodes_;
    std::unique_ptr<Controller> pController_;
};

using StressTest = test::LibraryTest;

TEST_F(StressTest, RandomGraphsAgreeWithTheReferenceUnderFaultsAndCancellation) {
    long const seconds = envLong("DATA_FLOW_STRESS_SECONDS", 0);
    long const graphs = envLong("DATA_FLOW_STRESS_GRAPHS", seconds > 0 ? -1 : 100);
    auto const firstSeed = static_cast<unsigned long long>(envLong("DATA_FLOW_STRESS_SEED", 1));
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    // The debug index keeps a counter for every name it has seen until the library goes down:
    // give it the graphs' names first, so that each graph can be checked for leaks on its own.
    for (std::size_t i = 0; i < kNames; ++i)
        Node(Mirel::String(nodeName(i).c_str()));

    Totals totals;
    for (long g = 0; (graphs < 0 || g < graphs) && !HasFailure(); ++g) {
        if (seconds > 0 && std::chrono::steady_clock::now() >= deadline)
            break;
        GraphRun(firstSeed + static_cast<unsigned long long>(g), totals).run();
    }
    std::printf("stress: from seed %llu: %ld graphs, %ld evaluations, %ld faults fired, %ld "
                "cancellations, %ld nodes kept cached\n",
                firstSeed, totals.graphs, totals.evaluations, totals.faults, totals.cancellations,
                totals.cached);
    EXPECT_GT(totals.graphs, 0);
}

} // namespace
