// Controller across threads: slice failures, the cancelled task group, asynchronous evaluation
// with its wait, callback and cancellation, evaluations that meet on one node, and destruction
// while a task runs. Every test runs with a scheduler of 1 and of 2 threads.

#include "support/TestNodes.h"

#include <atomic>
#include <optional>

namespace {

using Mirel::CPURuntimeException;
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

//! An InternalException thrown from file "kernel.cpp" line 17 with `message`.
[[noreturn]] void fail(char const* message) {
    throw InternalException("kernel.cpp", 17, message);
}

//! Expects e to be an InternalException from "kernel.cpp" line 17 with `message`.
void expectKernelFailure(std::exception const* e, char const* message) {
    auto const* p = dynamic_cast<InternalException const*>(e);
    ASSERT_NE(p, nullptr) << (e != nullptr ? e->what() : "nothing");
    EXPECT_STREQ(p->message(), message);
    EXPECT_STREQ(p->file(), "kernel.cpp");
    EXPECT_EQ(p->line(), 17);
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
    expectKernelFailure(wrappedBy([&] { c.process(); }).get(), "slice 1000 failed");
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
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
    expectKernelFailure(wrappedBy([&] { c.processSlices(&orphan); }).get(), "orphan slice failed");
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
        g->eSeen = g->c.controllerStatus();
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
    EXPECT_FALSE(c.registerProcessingCompletedCallback(nullptr, nullptr)) << "processing";
    EXPECT_FALSE(c.wait(0.0, 0.1)) << "one sleep of 0.1 passes a timeout of 0";
    EXPECT_EQ(c.iSleeps_, 1);
    EXPECT_FALSE(c.wait(-1.0, 0.1));
    EXPECT_EQ(c.iSleeps_, 1) << "a negative timeout gives up before sleeping";
    EXPECT_FALSE(c.wait(0.25, 0.1));
    EXPECT_EQ(c.iSleeps_, 4) << "0.1 + 0.1 + 0.1 is the first sum above 0.25";
    EXPECT_EQ(c.controllerStatus(), Controller::kProcessing);

    // With an interval of 0 the time-out never comes: only the end of the evaluation ends it,
    // and the overriding sleep is still called.
    c.onSleep = [&](int iSleep) {
        if (iSleep == 7)
            blocked.release.countDown();
    };
    EXPECT_TRUE(c.wait(0.0, 0.0));
    EXPECT_GE(c.iSleeps_, 7);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_EQ(storedError(c), nullptr);
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

TEST_P(ControllerConcurrency, AnAsynchronousFailureIsStoredForCheckExceptionUntilTheNextRun) {
    Controller c;
    c.processAsync(); // a null sink: returns normally
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    auto const pWrapped = storedError(c);
    auto const* pInner = dynamic_cast<InternalException const*>(pWrapped.get());
    ASSERT_NE(pInner, nullptr);
    EXPECT_STREQ(pInner->message(), "pSink");
    EXPECT_STREQ(pInner->file(), "data_flow/controllers/Controller.cpp");
    EXPECT_EQ(storedError(c), nullptr) << "taken out by the throw";

    // An error nobody collected is dropped by the next processAsync.
    HookNode node("node", 0, 0);
    test::addAll(c, {&node});
    c.saveException(MIREL_NEW InternalException("old", 1, "never collected"));
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(node.processCount(), 1);
}

TEST_P(ControllerConcurrency, ATaskCancelledBeforeItStartsNeverRuns) {
    // The arena has one worker (also when it is one slot wide: queued work always gets one).
    // Keep it busy with another controller's evaluation so that the task stays queued.
    Controller busy, c;
    HookNode blocker("blocker", 0, 0);
    busy.setSinkNode(&blocker);
    Blocker blocked(blocker);
    busy.processAsync();
    ASSERT_TRUE(blocked.entered.wait());

    TwoInputGraph g(c);
    g.first.out().setData(MIREL_NEW float(1.0f)); // held data that the reset must flush
    c.processAsync();
    c.cancelProcess();
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    blocked.release.countDown();
    ASSERT_TRUE(busy.wait(kPatience, kPoll));
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(g.second.processCount() + g.sink.processCount(), 0);
    EXPECT_EQ(g.iCalls, 0);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_FALSE(g.first.out().hasData()) << "the graph was flushed";

    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(g.first.processCount() + g.sink.processCount(), 2);
    EXPECT_EQ(g.iCalls, 1);
}

TEST_P(ControllerConcurrency, CancellingARunningEvaluationEndsTheVisitEarly) {
    for (bool bAsync : {true, false}) {
        SCOPED_TRACE(bAsync ? "processAsync" : "process on another thread");
        Controller c;
        TwoInputGraph g(c);
        Blocker blocked(g.first);
        std::thread evaluation;
        if (bAsync)
            c.processAsync();
        else
            evaluation = std::thread([&] { c.process(); }); // returns normally
        ASSERT_TRUE(blocked.entered.wait());
        c.cancelProcess();
        blocked.release.countDown();
        if (!bAsync) {
            evaluation.join();
            EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
        }
        ASSERT_TRUE(c.wait(kPatience, kPoll)); // the cancelled group is reset, the graph flushed
        EXPECT_EQ(g.first.processCount(), 1);
        EXPECT_EQ(g.second.processCount(), 0) << "the second input is not looked at";
        EXPECT_EQ(g.sink.processCount(), 0);
        EXPECT_EQ(g.iCalls, bAsync ? 1 : 0);
        EXPECT_FALSE(g.first.out().hasData());
        g.first.onProcess = nullptr;
        c.process();
        EXPECT_EQ(g.sink.result(), 3.0f);
    }
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

TEST_P(ControllerConcurrency, ACancellationBeforeTheTaskBeginsItsVisitProcessesNoNode) {
    LateStartController c;
    TwoInputGraph g(c);
    c.processAsync();
    ASSERT_TRUE(c.pickedUp.wait());
    c.cancelProcess();
    c.go.countDown();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(g.first.processCount() + g.second.processCount() + g.sink.processCount(), 0);
    EXPECT_EQ(g.iCalls, 1);
}

TEST_P(ControllerConcurrency, ProgressCountsSliceItemsAndIsReadableMeanwhile) {
    // Slice items count as their sub-ranges finish; a new evaluation starts again from 0.
    Controller sliced;
    SlicedNode node("sliced", 1, 1000);
    test::addAll(sliced, {&node});
    Latch sliceEntered, sliceRelease;
    node.onSlice = [&](std::size_t begin, std::size_t) {
        if (begin == 0) {
            sliceEntered.countDown();
            EXPECT_TRUE(sliceRelease.wait());
        }
    };
    sliced.processAsync();
    ASSERT_TRUE(sliceEntered.wait());
    EXPECT_EQ(sliced.progress().nodesProcessed, 0u);
    EXPECT_LT(sliced.progress().itemsProcessed, 1000u);
    sliceRelease.countDown();
    ASSERT_TRUE(sliced.wait(kPatience, kPoll));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(sliced.progress().nodesProcessed, 1u);
        EXPECT_EQ(sliced.progress().itemsProcessed, 1000u);
        node.onSlice = nullptr;
        sliced.process(); // a node without outputs is ready again at once
    }
}

TEST_P(ControllerConcurrency, DestroyingAControllerWaitsForItsTaskAndKeepsDerivedOverrides) {
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
    for (bool bDerived : {false, true}) {
        std::unique_ptr<Controller> pController;
        if (bDerived)
            pController = std::make_unique<Derived>(completions);
        else
            pController = std::make_unique<Controller>();
        HookNode sink("sink", 0, 0);
        pController->setSinkNode(&sink);
        Blocker blocked(sink);
        Latch destroyed;
        pController->processAsync();
        ASSERT_TRUE(blocked.entered.wait());
        std::thread destroyer([&] {
            pController.reset();
            destroyed.countDown();
        });
        EXPECT_FALSE(destroyed.wait(100ms)) << "the destructor returned while the task ran";
        blocked.release.countDown();
        EXPECT_TRUE(destroyed.wait());
        destroyer.join();
        EXPECT_EQ(sink.processCount(), 1);
    }
    EXPECT_EQ(completions, 1) << "the task called the override of a whole object";
}

TEST_P(ControllerConcurrency, ASinkBeingProcessedByAnotherThreadIsWaitedForAndNotRepeated) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 1, 1);
    link(src, sink);
    c.setSinkNode(&sink);
    Blocker blocked(sink);
    Latch secondReturned;
    std::thread first([&] { c.process(); });
    ASSERT_TRUE(blocked.entered.wait());
    std::thread second([&] {
        c.process();
        secondReturned.countDown();
    });
    EXPECT_FALSE(secondReturned.wait(100ms)) << "the second evaluation did not wait for the sink";
    blocked.release.countDown();
    EXPECT_TRUE(secondReturned.wait());
    first.join();
    second.join();
    EXPECT_EQ(sink.processCount() + src.processCount(), 2);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
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
