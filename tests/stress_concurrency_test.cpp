// Randomized differential stress: seeded random graphs evaluated by the Controller, synchronously
// and asynchronously, with parallel branches every other evaluation, every value compared against
// the reference evaluator. Mixed in at random: a node or a slice that throws, a cancelProcess()
// from another thread at a random moment, and parameter changes between evaluations, with the
// dirty-state service deciding which results stay cached.
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
using namespace test;

// Evaluation limits: generous, since ThreadSanitizer slows everything down many times.
constexpr double kWaitTimeout = 120.0;
constexpr double kWaitInterval = 0.0002;
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

struct Totals {
    long graphs = 0, evaluations = 0, faults = 0, cancellations = 0, cached = 0;
};

/** One graph: built from its seed, evaluated several times, then destroyed. Failures are
    reported through GoogleTest, each naming the seed. */
class GraphRun {
public:
    GraphRun(unsigned long long seed, Totals& totals)
        : seed_(seed)
        , oRandom_(seed)
        , oTotals_(totals) {}

    void run() {
        build();
        int const nRounds = 2 + int(pick(6));
        bool bPreviousClean = true;
        for (iRound_ = 0; iRound_ < nRounds && !::testing::Test::HasFailure(); ++iRound_)
            bPreviousClean = evaluate(bPreviousClean);
        ++oTotals_.graphs;
    }

private:
    std::size_t pick(std::size_t n) { return std::size_t(oRandom_() % n); }
    bool chance(int percent) { return pick(100) < std::size_t(percent); }
    std::string where() const {
        return "graph seed " + std::to_string(seed_) + ", evaluation " + std::to_string(iRound_) +
               " (replay: DATA_FLOW_STRESS_SEED=" + std::to_string(seed_) +
               " DATA_FLOW_STRESS_GRAPHS=1): ";
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
            NodePlan plan;
            plan.nSlices = chance(15) ? 1 + pick(64) : 0;
            plan.gain = float(pick(1000));
            g_.add(nodeName(i), plan, 1 + pick(3));
            // Every link gets its own output on the producer: no fan-out at connector level.
            for (int p : aProducers)
                g_.link(std::size_t(p), i);
            if (iGainSource >= 0)
                g_.link(std::size_t(iGainSource), i, true);
            for (int p : aProducers)
                aConsumed[std::size_t(p)] = true;
            if (iGainSource >= 0)
                aConsumed[std::size_t(iGainSource)] = true;
        }
        g_.pController->setSinkNode(g_.aNodes.back().get());
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
            std::size_t const i = pick(g_.aNodes.size());
            if (g_.aPlan[i].iGainSource >= 0)
                continue; // driven upstream: the proxy would overwrite it
            if (chance(75))
                g_.aPlan[i].gain = float(pick(1000));
            g_.aNodes[i]->gain().setValue(g_.aPlan[i].gain);
        }
        for (auto& pNode : g_.aNodes) // ids are a topological order: producers first
            pNode->updateDirtyState();

        // A node keeps all its outputs or none: a node holding data on some outputs only would
        // never be ready again, and its other consumers would starve.
        for (auto& pNode : g_.aNodes)
            for (std::size_t o = 0; o < pNode->numberOfOutputs(); ++o)
                pNode->output(o)->keepCache(false);
        std::vector<std::vector<bool>> aKept(g_.aNodes.size());
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i) {
            ModelNode& node = *g_.aNodes[i];
            bool const bKeep = node.keepsCache();
            for (std::size_t o = 0; o < node.numberOfOutputs(); ++o) {
                node.output(o)->keepCache(bKeep);
                aKept[i].push_back(bKeep && node.output(o)->hasData() &&
                                   !node.modelOutput(o).holdsIncomplete());
            }
        }
        ASSERT_TRUE(g_.pController->flushGraph()) << where();
        aCached_.assign(g_.aNodes.size(), false);
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i) {
            ModelNode const& node = *g_.aNodes[i];
            for (std::size_t o = 0; o < node.numberOfOutputs(); ++o)
                EXPECT_EQ(node.output(o)->hasData(), aKept[i][o])
                    << where() << "flush of node " << i << " output " << o
                    << " went against keepsCache";
            aCached_[i] = node.numberOfOutputs() > 0 && node.output(0)->hasData();
            EXPECT_FALSE(node.isProcessing()) << where() << "node " << i;
        }
    }

    /** Injects at most one fault, returns the faulty node. Never in an evaluation after a
        troubled one, so that the evaluation after wait() is checked in full. */
    ModelNode& injectFault(bool bPreviousClean) {
        for (auto& pNode : g_.aNodes) {
            pNode->eFault = Fault::kNone;
            pNode->onProcess = nullptr;
        }
        std::size_t const iFaulty = pick(g_.aNodes.size());
        ModelNode& faulty = *g_.aNodes[iFaulty];
        faulty.eThrown = static_cast<Thrown>(pick(3));
        if (bPreviousClean && chance(20)) {
            std::size_t const nSlices = g_.aPlan[iFaulty].nSlices;
            faulty.eFault = nSlices > 0 && chance(60) ? Fault::kSlice : Fault::kNode;
            faulty.iFailIndex = faulty.eFault == Fault::kSlice ? pick(nSlices) : 0;
        }
        return faulty;
    }

    //! One evaluation; returns whether it ran without fault or cancellation.
    bool evaluate(bool bPreviousClean) {
        prepare();
        if (::testing::Test::HasFailure())
            return false;
        Controller& c = *g_.pController;
        bool const bAsync = chance(50);
        bool const bSingleThread = chance(20);
        c.setSingleThreadMode(bSingleThread);
        // Every other evaluation with parallel branches, without drawing from the generator.
        bool const bParallel = (seed_ + static_cast<unsigned long long>(iRound_)) % 2 == 1;
        EXPECT_TRUE(c.setParallelBranches(bParallel)) << where();
        g_.resetRun();
        ModelNode& faulty = injectFault(bPreviousClean);
        bool const bCancel = bPreviousClean && chance(15);

        // Registered before the canceller exists: a cancelled controller refuses callbacks.
        std::atomic<int> nCallbacks{0};
        EXPECT_TRUE(c.registerProcessingCompletedCallback(bAsync ? &onCompleted : nullptr,
                                                          bAsync ? &nCallbacks : nullptr))
            << where();
        Latch trigger;
        std::thread canceller;
        std::atomic<bool> bCancelIssued{false};
        if (bCancel) {
            if (!chance(20)) // otherwise at once, racing the start of the evaluation
                g_.aNodes[pick(g_.aNodes.size())]->onProcess = [&trigger] { trigger.countDown(); };
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

        // A deadlock must end the run, naming the graph, rather than hang it.
        Latch done;
        std::thread watchdog([&done, what = where()] {
            if (!done.wait(std::chrono::seconds(180))) {
                std::fprintf(stderr, "stress: no progress, presumed deadlock: %s\n", what.c_str());
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
        EXPECT_TRUE(bWaited) << where() << "wait() gave up";
        EXPECT_EQ(c.controllerStatus(), Controller::kStopped) << where();
        EXPECT_EQ(thrownBy([&] { c.checkException(); }), "nothing") << where() << "error kept";

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
        EXPECT_EQ(sThrown, bFired ? expectedFault(nLayers, faulty.eThrown) : "nothing") << where();
        EXPECT_TRUE(!bAsync || nCallbacks.load() == 1 || (bCancelled && nCallbacks.load() == 0))
            << where() << "completion callback called " << nCallbacks.load() << " times";

        // Any value published is the reference value, or incomplete when a cancellation or a
        // fault beside it (parallel branches) cut its slices short. A clean evaluation recomputes
        // every dirty node once, no cached one, and completes the sink.
        EXPECT_EQ(g_.wrongNode(bCancelled || (bParallel && bFired)), "") << where();
        for (std::size_t i = 0; i < g_.aNodes.size(); ++i) {
            int const count = g_.aNodes[i]->nProcessed.load();
            EXPECT_FALSE(aCached_[i] && count != 0)
                << where() << "cached node " << i << " recomputed";
            EXPECT_FALSE(bClean && g_.aNodes[i]->isDirty() && count != 1)
                << where() << "dirty node " << i << " not recomputed once";
            oTotals_.cached += aCached_[i] ? 1 : 0;
        }
        ModelNode const& sink = *g_.aNodes.back();
        EXPECT_TRUE(!bClean || (sink.bPublished && sink.iValue != kIncomplete))
            << where() << "the sink was not evaluated";
        return bClean;
    }

    unsigned long long seed_;
    std::mt19937_64 oRandom_;
    Totals& oTotals_;
    int iRound_ = 0;
    ModelGraph g_;
    std::vector<bool> aCached_;
};

using StressTest = LibraryTest;

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
        std::size_t const startBlocks = Mirel::Core::liveAllocations();
        GraphRun(firstSeed + static_cast<unsigned long long>(g), totals).run();
        EXPECT_EQ(Mirel::Core::liveAllocations(), startBlocks)
            << "graph seed " << firstSeed + g << " leaked blocks";
    }
    std::printf("stress: from seed %llu: %ld graphs, %ld evaluations, %ld faults fired, %ld "
                "cancellations, %ld nodes kept cached\n",
                firstSeed, totals.graphs, totals.evaluations, totals.faults, totals.cancellations,
                totals.cached);
    EXPECT_GT(totals.graphs, 0);
}

} // namespace
