// Evaluation with parallel branches: independent producers run at once, their consumer after
// them; a failure or a cancellation in a branch ends the evaluation the documented way and
// leaves the graph reusable; a graph that forks at every one of its many levels needs no deep
// stack. Every test runs with a scheduler of 1 and of 2 threads, synchronously and not.

#include "support/TestNodes.h"

#include "data_flow/controllers/Trace.h"

#include <optional>
#include <set>

namespace {

using Mirel::DataFlow::Controller;
using Mirel::DataFlow::Node;
using test::HookNode;
using test::Latch;
using test::link;

constexpr double kPatience = 60.0; // seconds a wait() may poll before the test gives up

class Branches : public test::LibraryTest,
                 public ::testing::WithParamInterface<std::tuple<std::size_t, bool>> {
protected:
    void SetUp() override {
        test::LibraryTest::SetUp();
        oSettings_.emplace();
        oSettings_->restartScheduler(threads());
    }
    void TearDown() override {
        oSettings_.reset();
        test::LibraryTest::TearDown();
    }
    std::size_t threads() const { return std::get<0>(GetParam()); }
    bool async() const { return std::get<1>(GetParam()); }

    //! One evaluation in the mode of the test; what it failed with, as the host sees it.
    boost::shared_ptr<std::exception> evaluate(Controller& c) const {
        if (!async())
            return test::wrappedBy([&] { c.process(); });
        c.processAsync();
        EXPECT_TRUE(c.wait(kPatience, 0.0));
        return test::storedError(c);
    }

private:
    std::optional<test::SettingsGuard> oSettings_;
};

INSTANTIATE_TEST_SUITE_P(ThreadsAndMode, Branches,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Bool()),
                         [](auto const& info) {
                             return std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) ? "_async" : "_sync");
                         });

//! The scheduler index of every thread that started a node.
class ThreadsSeen : public Mirel::DataFlow::EvaluationObserver {
public:
    void nodeStarted(Node const&, unsigned thread) override {
        std::lock_guard<std::mutex> oLock(oMutex_);
        aThreads_.insert(thread);
    }
    std::set<unsigned> threads() {
        std::lock_guard<std::mutex> oLock(oMutex_);
        return aThreads_;
    }

private:
    std::mutex oMutex_;
    std::set<unsigned> aThreads_;
};

/** The sink's producers: a1 (fed by a0 and c), b1 (fed by b0) and c. Only b1 heads an
    independent branch: c feeds a1 as well as the sink, so a1 and c stay with the visit. */
struct Forked {
    HookNode a0{"a0", 0, 1}, a1{"a1", 2, 1}, b0{"b0", 0, 1}, b1{"b1", 1, 1};
    HookNode c{"c", 0, 2}, sink{"sink", 3, 0};
    Controller controller;
    static constexpr float kResult = 1.0f + 3.0f + 2.0f + 1.0f;

    Forked() {
        link(a0, a1, 0, 0);
        link(c, a1, 0, 1);
        link(b0, b1);
        link(a1, sink, 0, 0);
        link(b1, sink, 0, 1);
        link(c, sink, 1, 2);
        for (HookNode* p : nodes())
            controller.addNode(p);
        controller.setSinkNode(&sink);
        EXPECT_TRUE(controller.setParallelBranches(true));
        // The sink runs after every other node has published.
        sink.onProcess = [this](HookNode&) {
            for (HookNode* p : nodes())
                EXPECT_TRUE(p == &sink || p->out().hasData()) << p->name().c_str();
        };
    }
    ~Forked() {
        for (HookNode* p : nodes())
            p->disconnect();
    }
    std::vector<HookNode*> nodes() { return {&a0, &a1, &b0, &b1, &c, &sink}; }
};

TEST_P(Branches, IndependentBranchesRunAtOnceAndTheirConsumerAfterThem) {
    Forked g;
    ThreadsSeen seen;
    ASSERT_TRUE(g.controller.setObserver(&seen));
    Latch meet(2);
    bool const bConcurrent = threads() == 2 && !async(); // the host's thread joins in
    if (bConcurrent) {
        // Each waits for the other: only concurrent branches get through.
        for (HookNode* p : {&g.a1, &g.b1})
            p->onProcess = [&meet](HookNode&) {
                meet.countDown();
                EXPECT_TRUE(meet.wait()) << "the branches did not run at once";
            };
    }
    EXPECT_EQ(evaluate(g.controller), nullptr);
    for (HookNode* p : g.nodes())
        EXPECT_EQ(p->processCount(), 1) << p->name().c_str();
    EXPECT_EQ(g.sink.result(), Forked::kResult);
    EXPECT_EQ(g.controller.progress().nodesProcessed, 6u);
    // Asynchronously, the waiting host may take up work the worker left queued: which threads
    // ran the nodes is then a matter of timing.
    if (!async()) {
        EXPECT_EQ(seen.threads().size(), bConcurrent ? 2u : 1u);
    }
}

TEST_P(Branches, TheFirstFailureComesBackAsSharedExceptionAndTheGraphStaysReusable) {
    Forked g;
    g.b0.onProcess = [](HookNode&) {
        throw Mirel::InternalException("branch.cpp", 3, "branch fault");
    };
    auto const pThrown = evaluate(g.controller);
    // Stored once by the visit, and once more by the asynchronous task.
    std::exception const* pInner = pThrown.get();
    if (async()) {
        auto const* pShared = dynamic_cast<Mirel::SharedException const*>(pInner);
        ASSERT_NE(pShared, nullptr);
        pInner = pShared->wrapped().get();
    }
    auto const* pFault = dynamic_cast<Mirel::InternalException const*>(pInner);
    ASSERT_NE(pFault, nullptr) << (pThrown ? pThrown->what() : "nothing thrown");
    EXPECT_STREQ(pFault->message(), "branch fault");
    EXPECT_EQ(g.sink.processCount(), 0);
    EXPECT_EQ(g.controller.controllerStatus(), Controller::kStopped);

    ASSERT_TRUE(g.controller.wait(kPatience, 0.0));
    ASSERT_TRUE(g.controller.flushGraph());
    g.b0.onProcess = nullptr;
    EXPECT_EQ(evaluate(g.controller), nullptr);
    EXPECT_EQ(g.sink.processCount(), 1);
    EXPECT_EQ(g.b0.processCount(), 2);
}

TEST_P(Branches, ACancelledEvaluationStopsAndTheNextOneRunsInFull) {
    Forked g;
    g.a0.onProcess = [&g](HookNode&) { g.controller.cancelProcess(); };
    EXPECT_EQ(evaluate(g.controller), nullptr);
    EXPECT_EQ(g.sink.processCount(), 0);
    ASSERT_TRUE(g.controller.wait(kPatience, 0.0));
    EXPECT_EQ(g.controller.controllerStatus(), Controller::kStopped);
    EXPECT_FALSE(g.a0.out().hasData()) << "wait() after a cancellation flushes the graph";

    g.a0.onProcess = nullptr;
    g.sink.onProcess = nullptr;
    EXPECT_EQ(evaluate(g.controller), nullptr);
    EXPECT_EQ(g.sink.processCount(), 1);
    EXPECT_EQ(g.sink.result(), Forked::kResult);
}

TEST_P(Branches, AGraphForkingAtEveryLevelOfAVeryDeepChainNeedsNoDeepStack) {
    // A chain whose every link also has a leaf of its own: a fork at each of its levels.
    constexpr std::size_t kLength = 50000;
    std::unique_ptr<test::LeanNode[]> aChain(new test::LeanNode[kLength]),
        aLeaves(new test::LeanNode[kLength]);
    for (std::size_t i = 1; i < kLength; ++i) {
        aChain[i].feedFrom(aChain[i - 1]);
        aChain[i].feedFrom(aLeaves[i]);
    }
    Controller c;
    c.setSinkNode(&aChain[kLength - 1]);
    ASSERT_TRUE(c.setParallelBranches(true));
    EXPECT_EQ(evaluate(c), nullptr);
    EXPECT_EQ(aChain[kLength - 1].value(), float(2 * kLength - 1));
    EXPECT_EQ(c.progress().nodesProcessed, 2 * kLength - 1);
    EXPECT_EQ(aLeaves[1].processCount(), 1);
}

} // namespace
