// Controller across threads: slice failures, the cancelled task group, asynchronous evaluation
// with its wait, callback and cancellation, destruction while a task runs, evaluations that meet
// on one node, and parallel branches. Every test runs with a scheduler of 1 and of 2 threads.

#include "support/TestNodes.h"

#include <atomic>
#include <optional>

namespace {

using Mirel::InternalException;
using Mirel::DataFlow::Controller;
using test::HookNode;
using test::Latch;
using test::link;
using test::SlicedNode;
using test::storedError;
using test::wrappedBy;
using namespace std::chrono_literals;

constexpr double kPatience = 20.0; // seconds a wait() may poll before the test gives up
constexpr double kPoll = 0.0005;

class ControllerConcurrency : public test::LibraryTest,
                              public ::testing::WithParamInterface<std::size_t> {
protected:
    void SetUp() override {
        test::LibraryTest::SetUp();
        oSettings_.emplace();
        oSettings_->restartScheduler(GetParam());
    }
    void TearDown() override {
        oSettings_.reset();
        test::LibraryTest::TearDown();
    }

private:
    std::optional<test::SettingsGuard> oSettings_;
};

INSTANTIATE_TEST_SUITE_P(Threads, ControllerConcurrency, ::testing::Values(1, 2),
                         [](auto const& info) { return std::to_string(info.param); });

//! Makes the node's computation open `entered`, then wait until `release` opens.
struct Blocker {
    explicit Blocker(HookNode& node) {
        node.onProcess = [this](HookNode&) {
            entered.countDown();
            EXPECT_TRUE(release.wait());
        };
    }
    Latch entered, release;
};

//! An InternalException thrown from file "kernel.cpp" with `message`.
[[noreturn]] void fail(char const* message) {
    throw InternalException("kernel.cpp", 17, message);
}

//! Expects e to be the InternalException of fail(message), not a copy sliced to a base.
void expectFailure(std::exception const* e, char const* message) {
    auto const* p = dynamic_cast<InternalException const*>(e);
    ASSERT_NE(p, nullptr) << (e != nullptr ? e->what() : "nothing");
    EXPECT_STREQ(p->message(), message);
    EXPECT_STREQ(p->file(), "kernel.cpp");
}

TEST_P(ControllerConcurrency, ASliceFailureComesBackAsACloneAndTheGroupStaysCancelledUntilWait) {
    Controller c, other;
    SlicedNode node("sliced", 1, 4096), bystander("bystander", 1, 1000), orphan("orphan", 1, 100);
    test::addAll(c, {&node});
    test::addAll(other, {&bystander});
    node.onSlice = [](std::size_t begin, std::size_t end) {
        if (begin <= 1000 && 1000 < end)
            fail("slice 1000 failed");
    };
    expectFailure(wrappedBy([&] { c.process(); }).get(), "slice 1000 failed");
    EXPECT_EQ(storedError(c), nullptr) << "the throw took it out of the store";

    // Cancelled: an evaluation visits the node, but its loop runs no slice at all.
    node.onSlice = nullptr;
    node.clearSlices();
    ASSERT_TRUE(c.flushGraph()); // the failed node is left processing until flushed
    c.process();
    EXPECT_EQ(node.processCount(), 2);
    EXPECT_TRUE(node.slices().empty());
    other.process(); // each controller has a group of its own
    EXPECT_FALSE(bystander.slices().empty());
    EXPECT_TRUE(c.wait(kPatience, kPoll));
    c.process();
    EXPECT_FALSE(node.slices().empty());

    // A node in no controller: its failure is thrown by the controller that runs the loop.
    orphan.onSlice = [](std::size_t begin, std::size_t) {
        if (begin == 0)
            fail("orphan slice failed");
    };
    expectFailure(wrappedBy([&] { c.processSlices(&orphan); }).get(), "orphan slice failed");
    EXPECT_TRUE(c.wait(kPatience, kPoll));
}

//! Counts the sleeps of wait() and runs onSleep in each.
class SleepCountingController : public Controller {
public:
    void sleep(double seconds) override {
        int const iSleep = ++iSleeps_;
        if (onSleep)
            onSleep(iSleep);
        if (seconds > 0.0)
            Controller::sleep(std::min(seconds, 0.001));
        else
            std::this_thread::yield();
    }
    std::atomic<int> iSleeps_{0};
    std::function<void(int)> onSleep;
};

//! Nodes "first" and "second" feed the two inputs of "sink"; all three belong to the controller,
//! whose completion callback counts its calls and notes the status and thread it saw.
struct TwoInputGraph {
    explicit TwoInputGraph(Controller& c)
        : c(c) {
        link(first, sink, 0, 0);
        link(second, sink, 0, 1);
        test::addAll(c, {&first, &second, &sink});
        EXPECT_TRUE(c.registerProcessingCompletedCallback(&completed, this));
    }
    static bool completed(void* data) {
        auto* g = static_cast<TwoInputGraph*>(data);
        g->eSeen = g->c.controllerStatus(); // stopped: the callback may start the next one
        g->oThread = std::this_thread::get_id();
        ++g->iCalls;
        return false; // the result is ignored
    }
    Controller& c;
    HookNode first{"first", 0, 1}, second{"second", 0, 1}, sink{"sink", 2, 0};
    std::atomic<int> iCalls{0};
    Controller::teControllerStatus eSeen = Controller::kProcessing;
    std::thread::id oThread;
};

TEST_P(ControllerConcurrency, WaitPollsUntilTheTaskEndsAndTheCallbackRunsOnItsThreadSeeingStopped) {
    SleepCountingController c;
    TwoInputGraph g(c);
    EXPECT_TRUE(c.wait(0.0, 0.1)); // nothing runs: true at once, no sleep
    EXPECT_EQ(c.iSleeps_, 0);

    Blocker blocked(g.sink);
    c.processAsync();
    ASSERT_TRUE(blocked.entered.wait());
    EXPECT_FALSE(c.wait(0.0, 0.1)) << "one sleep of 0.1 passes a timeout of 0";
    EXPECT_EQ(c.iSleeps_, 1);
    EXPECT_FALSE(c.wait(0.25, 0.1));
    EXPECT_EQ(c.iSleeps_, 4) << "0.1 + 0.1 + 0.1 is the first sum above 0.25";
    EXPECT_EQ(c.progress().nodesProcessed, 2u) << "readable meanwhile, counted as nodes end";

    // With an interval of 0 the time-out never comes: only the end of the evaluation ends it,
    // and the overriding sleep is still called.
    c.onSleep = [&](int iSleep) {
        if (iSleep == 7)
            blocked.release.countDown();
    };
    EXPECT_TRUE(c.wait(0.0, 0.0));
    EXPECT_GE(c.iSleeps_, 7);
    EXPECT_EQ(g.sink.result(), 3.0f);
    EXPECT_EQ(g.iCalls, 1);
    EXPECT_EQ(g.eSeen, Controller::kStopped);
    EXPECT_EQ(g.oThread, g.sink.processThread());
    EXPECT_NE(g.oThread, std::this_thread::get_id()) << "processAsync returns at once";

    // A null callback removes it; a sleep-less wait still calls an overriding sleep() even where
    // it could run the queued task itself: here the evaluation needs that call to go on.
    Latch slept;
    c.onSleep = [&](int) { slept.countDown(); };
    g.sink.onProcess = [&](HookNode&) { EXPECT_TRUE(slept.wait()); };
    ASSERT_TRUE(c.flushGraph());
    ASSERT_TRUE(c.registerProcessingCompletedCallback(nullptr, nullptr));
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, 0.0));
    EXPECT_EQ(g.sink.processCount(), 2);
    EXPECT_EQ(g.iCalls, 1);
}

//! Holds its task, once a thread has taken it up, until the test lets the evaluation begin.
class LateStartController : public Controller {
public:
    void processFrameFunction() override {
        pickedUp.countDown();
        EXPECT_TRUE(go.wait());
        Controller::processFrameFunction();
    }
    Latch pickedUp, go;
};

TEST_P(ControllerConcurrency, ACancelledEvaluationProcessesNoFurtherNodeAndWaitFlushesTheGraph) {
    for (bool bInTheVisit : {false, true}) {
        SCOPED_TRACE(bInTheVisit ? "from the visit" : "after a thread took up the task");
        LateStartController c;
        TwoInputGraph g(c);
        if (bInTheVisit)
            g.first.onProcess = [&c](HookNode&) { c.cancelProcess(); };
        else
            g.first.out().setData(MIREL_NEW float(1.0f)); // held data that the reset must flush
        c.processAsync();
        ASSERT_TRUE(c.pickedUp.wait());
        if (!bInTheVisit)
            c.cancelProcess();
        c.go.countDown();
        ASSERT_TRUE(c.wait(kPatience, kPoll));
        EXPECT_EQ(g.second.processCount() + g.sink.processCount(), 0);
        EXPECT_EQ(g.iCalls, 1) << "the task reports its end";
        EXPECT_FALSE(g.first.out().hasData()) << "the graph was flushed";

        // The next evaluation runs in full, and drops an error nobody collected.
        g.first.onProcess = nullptr;
        c.saveException(MIREL_NEW InternalException("old", 1, "never collected"));
        c.processAsync();
        ASSERT_TRUE(c.wait(kPatience, kPoll));
        EXPECT_EQ(storedError(c), nullptr);
        EXPECT_EQ(g.sink.result(), 3.0f);
    }
}

TEST_P(ControllerConcurrency, DestructionAndASecondEvaluationWaitForTheRunningOneAndRepeatNothing) {
    struct Derived : Controller {
        explicit Derived(std::atomic<int>& completions)
            : completions_(completions) {}
        ~Derived() override { waitForEvaluationTasks(); }
        void notifyOfCompletion() override {
            ++completions_;
            Controller::notifyOfCompletion();
        }
        std::atomic<int>& completions_;
    };
    std::atomic<int> completions{0};
    enum Waiter { kDestroy, kDestroyDerived, kEvaluateAgain };
    for (Waiter eWaiter : {kDestroy, kDestroyDerived, kEvaluateAgain}) {
        SCOPED_TRACE(eWaiter);
        std::unique_ptr<Controller> pController(
            eWaiter == kDestroyDerived ? new Derived(completions) : new Controller());
        HookNode src("src", 0, 1), sink("sink", 1, 0);
        link(src, sink);
        pController->setSinkNode(&sink);
        Blocker blocked(sink);
        Latch returned;
        pController->processAsync();
        ASSERT_TRUE(blocked.entered.wait());
        std::thread waiter([&] {
            if (eWaiter == kEvaluateAgain)
                pController->process(); // the sink, without outputs, would be ready again
            else
                pController.reset();
            returned.countDown();
        });
        EXPECT_FALSE(returned.wait(100ms)) << "returned while the sink was being processed";
        blocked.release.countDown();
        EXPECT_TRUE(returned.wait());
        waiter.join();
        EXPECT_TRUE(!pController || pController->wait(kPatience, kPoll));
        EXPECT_EQ(sink.processCount() + src.processCount(), 2);
        src.disconnect();
    }
    EXPECT_EQ(completions, 1) << "the task called the override of a whole object";
}

// Failures and cancellations with parallel branches are checked against a reference by the
// stress test.
TEST_P(ControllerConcurrency, IndependentBranchesRunAtOnceAndTheirConsumerAfterThem) {
    // The sink's producers: a1 (fed by a0 and c), b1 (fed by b0) and c. Only b1 heads an
    // independent branch: c feeds a1 as well as the sink, so a1 and c stay with the visit. A
    // consumer run before its producers would fail or sum the wrong values.
    HookNode a0{"a0", 0, 1}, a1{"a1", 2, 1}, b0{"b0", 0, 1}, b1{"b1", 1, 1};
    HookNode c{"c", 0, 2}, sink{"sink", 3, 0};
    std::vector<HookNode*> const aNodes{&a0, &a1, &b0, &b1, &c, &sink};
    link(a0, a1, 0, 0);
    link(c, a1, 0, 1);
    link(b0, b1);
    link(a1, sink, 0, 0);
    link(b1, sink, 0, 1);
    link(c, sink, 1, 2);
    Controller controller;
    test::addAll(controller, {&a0, &a1, &b0, &b1, &c, &sink});
    ASSERT_TRUE(controller.setParallelBranches(true));
    // With two threads, the host's and the worker: each branch waits for the other, so that
    // only concurrent branches get through.
    Latch meet(2);
    for (HookNode* p : {&a1, &b1})
        p->onProcess = [&](HookNode&) {
            meet.countDown();
            EXPECT_TRUE(GetParam() == 1 || meet.wait()) << "the branches did not run at once";
        };
    controller.process();
    for (HookNode* p : aNodes) {
        EXPECT_EQ(p->processCount(), 1) << p->name().c_str();
        p->disconnect();
    }
    EXPECT_EQ(sink.result(), 1.0f + 3.0f + 2.0f + 1.0f);
    EXPECT_EQ(controller.progress().nodesProcessed, 6u);
}

TEST_P(ControllerConcurrency, AGraphForkingAtEveryLevelOfAVeryDeepChainNeedsNoDeepStack) {
    // A chain whose every link also has a leaf of its own: a fork at each of its levels, visited
    // by a scheduler thread, whose stack is the smaller one.
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
    c.processAsync();
    ASSERT_TRUE(c.wait(600.0, kPoll));
    c.checkException();
    EXPECT_EQ(aChain[kLength - 1].value(), float(2 * kLength - 1));
    EXPECT_EQ(c.progress().nodesProcessed, 2 * kLength - 1);
}

TEST(ProcessLock, TheHolderMayTakeItAgainAndOthersWaitUntilItIsGivenBackAsOftenAsTaken) {
    Mirel::DataFlow::ProcessLock lock;
    int nShared = 0; // a data race here is what ThreadSanitizer reports
    lock.lock();
    lock.lock();
    Latch taken;
    std::thread other([&] {
        lock.lock();
        ++nShared;
        taken.countDown();
        lock.unlock();
    });
    lock.unlock();
    EXPECT_FALSE(taken.wait(50ms)) << "taken while still held once";
    ++nShared;
    lock.unlock();
    EXPECT_TRUE(taken.wait());
    other.join();
    EXPECT_EQ(nShared, 2);
}

} // namespace
