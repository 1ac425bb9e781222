// Controller across threads: slice failures, the cancelled task group, asynchronous evaluation
// with its wait, callback and cancellation, evaluations that meet on one node, and deep graphs
// on a worker thread. Every test runs with a scheduler of 1 and of 2 threads.

#include "support/ControllerNodes.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

using Mirel::CPURuntimeException;
using Mirel::InternalException;
using Mirel::SharedException;
using Mirel::DataFlow::Controller;
using test::HookNode;
using test::Latch;
using test::link;
using test::SettingsGuard;
using test::SlicedNode;
using test::storedError;
using test::wrappedBy;

using namespace std::chrono_literals;

constexpr char kControllerSource[] = "data_flow/controllers/Controller.cpp";
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
    std::optional<SettingsGuard> oSettings_;
};

INSTANTIATE_TEST_SUITE_P(Threads, ControllerConcurrency, ::testing::Values(1, 2),
                         [](auto const& info) { return std::to_string(info.param); });

//! A node whose computation waits for `release` after opening `entered`.
void blockIn(HookNode& node, Latch& entered, Latch& release) {
    node.onProcess = [&entered, &release](HookNode&) {
        entered.countDown();
        EXPECT_TRUE(release.wait());
    };
}

// ---------------------------------------------------------------------------------------------
// Slices on several threads

TEST_P(ControllerConcurrency, ASliceFailureComesBackAsACloneAndTheGroupStaysCancelledUntilWait) {
    Controller c, other;
    SlicedNode node("sliced", 1, 4096), bystander("bystander", 1, 1000);
    c.addNode(&node);
    c.setSinkNode(&node);
    other.addNode(&bystander);
    other.setSinkNode(&bystander);
    node.onSlice = [](std::size_t begin, std::size_t end) {
        if (begin <= 1000 && 1000 < end)
            throw InternalException("kernel.cpp", 17, "slice 1000 failed");
    };
    auto const pWrapped = wrappedBy([&] { c.process(); });
    auto const* pClone = dynamic_cast<InternalException const*>(pWrapped.get());
    ASSERT_NE(pClone, nullptr);
    EXPECT_STREQ(pClone->message(), "slice 1000 failed");
    EXPECT_STREQ(pClone->file(), "kernel.cpp");
    EXPECT_EQ(pClone->line(), 17);
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
    EXPECT_EQ(node.processCount(), 3);
    EXPECT_FALSE(node.slices().empty());
}

TEST_P(ControllerConcurrency, ForeignSliceFailuresComeBackAsCondition6OnceEvenWhenAllFail) {
    Controller c;
    SlicedNode node("sliced", 1, 20000);
    c.addNode(&node);
    c.setSinkNode(&node);
    std::function<void(std::size_t)> const aThrows[] = {
        [](std::size_t begin) {
            if (begin == 0)
                throw std::runtime_error("not ours");
        },
        [](std::size_t begin) {
            if (begin == 0)
                throw 42;
        },
        [](std::size_t) { throw std::runtime_error("every slice fails"); }};
    for (auto const& doThrow : aThrows) {
        node.onSlice = [&doThrow](std::size_t begin, std::size_t) { doThrow(begin); };
        auto const pWrapped = wrappedBy([&] { c.process(); });
        auto const* pInner = dynamic_cast<CPURuntimeException const*>(pWrapped.get());
        ASSERT_NE(pInner, nullptr);
        EXPECT_EQ(pInner->condition(), CPURuntimeException::ExceptionCondition(6));
        EXPECT_EQ(storedError(c), nullptr) << "one failure thrown, none left behind";
        EXPECT_TRUE(c.wait(kPatience, kPoll)); // resets the group and flushes the graph
    }
}

TEST_P(ControllerConcurrency, ASliceFailureOfANodeInNoControllerIsThrownByTheLoopsController) {
    Controller c;
    SlicedNode node("sliced", 1, 1000); // added to no controller
    node.onSlice = [](std::size_t begin, std::size_t) {
        if (begin == 0)
            throw InternalException("kernel.cpp", 5, "orphan slice failed");
    };
    auto const pWrapped = wrappedBy([&] { c.processSlices(&node); });
    auto const* pClone = dynamic_cast<InternalException const*>(pWrapped.get());
    ASSERT_NE(pClone, nullptr);
    EXPECT_STREQ(pClone->message(), "orphan slice failed");
    EXPECT_TRUE(c.wait(kPatience, kPoll));
}

// ---------------------------------------------------------------------------------------------
// Asynchronous evaluation

//! Counts the sleeps of wait() and, from a chosen one on, runs an action instead of sleeping.
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

struct CallbackRecord {
    Controller* pController = nullptr;
    std::atomic<int> iCalls{0};
    Controller::teControllerStatus eSeen = Controller::kProcessing;
    std::thread::id oThread;
};

bool recordCompletion(void* data) {
    auto* pRecord = static_cast<CallbackRecord*>(data);
    pRecord->eSeen = pRecord->pController->controllerStatus();
    pRecord->oThread = std::this_thread::get_id();
    ++pRecord->iCalls;
    return false; // the result is ignored
}

//! Nodes "first" and "second" feed the two inputs of "sink"; all three belong to the controller,
//! whose completion callback fills `record`.
struct TwoInputGraph {
    explicit TwoInputGraph(Controller& c) {
        link(first, sink, 0, 0);
        link(second, sink, 0, 1);
        for (HookNode* p : {&first, &second, &sink})
            c.addNode(p);
        c.setSinkNode(&sink);
        record.pController = &c;
        EXPECT_TRUE(c.registerProcessingCompletedCallback(&recordCompletion, &record));
    }
    HookNode first{"first", 0, 1}, second{"second", 0, 1}, sink{"sink", 2, 0};
    CallbackRecord record;
};

TEST_P(ControllerConcurrency, WaitPollsUntilTheTaskEndsAndTheCallbackRunsOnItsThreadSeeingStopped) {
    SleepCountingController c;
    TwoInputGraph g(c);

    // Nothing runs: true at once, no sleep, and the controller stays ready.
    EXPECT_TRUE(c.wait(0.0, 0.1));
    EXPECT_EQ(c.iSleeps_, 0);

    Latch entered, release;
    blockIn(g.sink, entered, release);
    c.processAsync();
    ASSERT_TRUE(entered.wait());
    EXPECT_FALSE(c.registerProcessingCompletedCallback(nullptr, nullptr)) << "processing";

    EXPECT_FALSE(c.wait(0.0, 0.1)) << "one sleep of 0.1 passes a timeout of 0";
    EXPECT_EQ(c.iSleeps_, 1);
    EXPECT_FALSE(c.wait(-1.0, 0.1));
    EXPECT_EQ(c.iSleeps_, 1) << "a negative timeout gives up before sleeping";
    EXPECT_FALSE(c.wait(0.25, 0.1));
    EXPECT_EQ(c.iSleeps_, 4) << "0.1 + 0.1 + 0.1 is the first sum above 0.25";
    EXPECT_EQ(c.controllerStatus(), Controller::kProcessing);

    // With an interval of 0 the time-out never comes: only the end of the evaluation ends it.
    c.onSleep = [&](int iSleep) {
        if (iSleep == 7)
            release.countDown();
    };
    EXPECT_TRUE(c.wait(0.0, 0.0));
    EXPECT_GE(c.iSleeps_, 7);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(g.sink.result(), 3.0f);
    EXPECT_EQ(g.record.iCalls, 1);
    EXPECT_EQ(g.record.eSeen, Controller::kStopped);
    EXPECT_EQ(g.record.oThread, g.sink.processThread());
    EXPECT_NE(g.record.oThread, std::this_thread::get_id()) << "processAsync returns at once";

    // A null callback removes it.
    g.sink.onProcess = nullptr;
    ASSERT_TRUE(c.flushGraph());
    ASSERT_TRUE(c.registerProcessingCompletedCallback(nullptr, nullptr));
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(g.sink.processCount(), 2);
    EXPECT_EQ(g.record.iCalls, 1);
}

TEST_P(ControllerConcurrency, WaitWithoutIntervalStillCallsAnOverridingSleep) {
    // A host that keeps its thread responsive in sleep() is called even while the wait could run
    // the still-queued task itself: here the evaluation needs that call to go on.
    SleepCountingController c;
    HookNode sink("sink", 0, 0);
    c.setSinkNode(&sink);
    Latch slept;
    c.onSleep = [&](int) { slept.countDown(); };
    sink.onProcess = [&](HookNode&) { slept.wait(2s); };
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, 0.0));
    EXPECT_TRUE(slept.isOpen());
}

TEST_P(ControllerConcurrency, AsynchronousFailuresAreStoredForCheckException) {
    Controller c;
    c.processAsync(); // a null sink: returns normally
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    auto pWrapped = storedError(c);
    auto const* pInner = dynamic_cast<InternalException const*>(pWrapped.get());
    ASSERT_NE(pInner, nullptr);
    EXPECT_STREQ(pInner->message(), "pSink");
    EXPECT_STREQ(pInner->file(), kControllerSource);
    EXPECT_EQ(storedError(c), nullptr);

    // The task stores a clone of the SharedException that processSlices threw.
    SlicedNode node("sliced", 1, 256);
    c.addNode(&node);
    c.setSinkNode(&node);
    node.onSlice = [](std::size_t begin, std::size_t) {
        if (begin == 0)
            throw InternalException("kernel.cpp", 3, "async slice failed");
    };
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    pWrapped = storedError(c);
    auto const* pMiddle = dynamic_cast<SharedException const*>(pWrapped.get());
    ASSERT_NE(pMiddle, nullptr);
    pInner = dynamic_cast<InternalException const*>(pMiddle->wrapped().get());
    ASSERT_NE(pInner, nullptr);
    EXPECT_STREQ(pInner->message(), "async slice failed");

    // An error nobody collected is dropped by the next processAsync.
    node.onSlice = nullptr;
    ASSERT_TRUE(c.flushGraph());
    c.saveException(MIREL_NEW InternalException("old", 1, "never collected"));
    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(node.processCount(), 2);
}

TEST_P(ControllerConcurrency, ATaskCancelledBeforeItStartsNeverRuns) {
    // The arena has one worker (also when it is one slot wide: queued work always gets one).
    // Keep it busy with another controller's evaluation so that the task stays queued.
    Controller busy;
    HookNode blocker("blocker", 0, 0);
    busy.setSinkNode(&blocker);
    Latch busyEntered, busyRelease;
    blockIn(blocker, busyEntered, busyRelease);
    busy.processAsync();
    ASSERT_TRUE(busyEntered.wait());

    Controller c;
    TwoInputGraph g(c);
    g.first.out().setData(MIREL_NEW float(1.0f)); // held data that the reset must flush

    c.processAsync();
    c.cancelProcess();
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    busyRelease.countDown();
    ASSERT_TRUE(busy.wait(kPatience, kPoll));

    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(g.second.processCount() + g.sink.processCount(), 0);
    EXPECT_EQ(g.record.iCalls, 0);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_FALSE(g.first.out().hasData()) << "the graph was flushed";

    c.processAsync();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(g.first.processCount(), 1);
    EXPECT_EQ(g.sink.processCount(), 1);
    EXPECT_EQ(g.record.iCalls, 1);
}

TEST_P(ControllerConcurrency, CancellingARunningEvaluationEndsTheVisitEarly) {
    for (bool bAsync : {true, false}) {
        SCOPED_TRACE(bAsync ? "processAsync" : "process on another thread");
        Controller c;
        TwoInputGraph g(c);
        Latch entered, release;
        blockIn(g.first, entered, release);
        std::thread evaluation;
        if (bAsync)
            c.processAsync();
        else
            evaluation = std::thread([&] { c.process(); }); // returns normally
        ASSERT_TRUE(entered.wait());
        c.cancelProcess();
        release.countDown();
        if (!bAsync) {
            evaluation.join();
            EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
        }
        ASSERT_TRUE(c.wait(kPatience, kPoll)); // the cancelled group is reset, the graph flushed
        EXPECT_EQ(g.first.processCount(), 1);
        EXPECT_EQ(g.second.processCount(), 0) << "the second input is not looked at";
        EXPECT_EQ(g.sink.processCount(), 0);
        EXPECT_EQ(g.record.iCalls, bAsync ? 1 : 0);
        EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
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
    EXPECT_EQ(g.record.iCalls, 1);
}

TEST_P(ControllerConcurrency, ProgressCountsNodesAndSliceItemsAndIsReadableMeanwhile) {
    Controller c;
    HookNode a("a", 0, 1), b("b", 1, 1), sink("sink", 1, 0);
    link(a, b);
    link(b, sink);
    for (HookNode* p : {&a, &b, &sink})
        c.addNode(p);
    c.setSinkNode(&sink);
    Latch entered, release;
    blockIn(sink, entered, release);
    c.processAsync();
    ASSERT_TRUE(entered.wait());
    EXPECT_EQ(c.progress().nodesProcessed, 2u) << "the producers are done, the sink runs";
    release.countDown();
    ASSERT_TRUE(c.wait(kPatience, kPoll));
    EXPECT_EQ(c.progress().nodesProcessed, 3u);
    EXPECT_EQ(c.progress().itemsProcessed, 0u);
    ASSERT_TRUE(c.flushGraph());

    // Slice items count as their sub-ranges finish; a new evaluation starts again from 0.
    Controller sliced;
    SlicedNode node("sliced", 1, 1000);
    sliced.addNode(&node);
    sliced.setSinkNode(&node);
    Latch sliceEntered, sliceRelease;
    node.onSlice = [&](std::size_t begin, std::size_t) {
        if (begin == 0) {
            sliceEntered.countDown();
            EXPECT_TRUE(sliceRelease.wait());
        }
    };
    sliced.processAsync();
    ASSERT_TRUE(sliceEntered.wait());
    Controller::Progress during = sliced.progress();
    EXPECT_EQ(during.nodesProcessed, 0u);
    EXPECT_LT(during.itemsProcessed, 1000u);
    sliceRelease.countDown();
    ASSERT_TRUE(sliced.wait(kPatience, kPoll));
    EXPECT_EQ(sliced.progress().nodesProcessed, 1u);
    EXPECT_EQ(sliced.progress().itemsProcessed, 1000u);

    node.onSlice = nullptr;
    sliced.process(); // a node without outputs is ready again at once
    EXPECT_EQ(sliced.progress().nodesProcessed, 1u);
    EXPECT_EQ(sliced.progress().itemsProcessed, 1000u);
}

TEST_P(ControllerConcurrency, DestroyingAControllerWaitsForItsRunningEvaluation) {
    auto pController = std::make_unique<Controller>();
    HookNode sink("sink", 0, 0);
    pController->setSinkNode(&sink);
    Latch entered, release, destroyed;
    blockIn(sink, entered, release);
    pController->processAsync();
    ASSERT_TRUE(entered.wait());

    std::thread destroyer([&] {
        pController.reset();
        destroyed.countDown();
    });
    EXPECT_FALSE(destroyed.wait(100ms)) << "the destructor returned while the task ran";
    release.countDown();
    EXPECT_TRUE(destroyed.wait());
    destroyer.join();
    EXPECT_EQ(sink.processCount(), 1);
}

TEST_P(ControllerConcurrency, ADerivedControllerKeepsItsOverridesUntilItsTaskHasEnded) {
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
    auto pController = std::make_unique<Derived>(completions);
    HookNode sink("sink", 0, 0);
    pController->setSinkNode(&sink);
    Latch entered, release;
    blockIn(sink, entered, release);
    pController->processAsync();
    ASSERT_TRUE(entered.wait());
    std::thread destroyer([&] { pController.reset(); });
    std::this_thread::sleep_for(50ms); // the destructor has begun
    release.countDown();
    destroyer.join();
    EXPECT_EQ(completions, 1) << "the task called the override of a whole object";
}

// ---------------------------------------------------------------------------------------------
// Evaluations that meet

TEST_P(ControllerConcurrency, ASinkBeingProcessedByAnotherThreadIsWaitedForAndNotRepeated) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 1, 1);
    link(src, sink);
    c.setSinkNode(&sink);
    Latch entered, release, secondReturned;
    blockIn(sink, entered, release);

    std::thread first([&] { c.process(); });
    ASSERT_TRUE(entered.wait());
    std::thread second([&] {
        c.process();
        secondReturned.countDown();
    });
    EXPECT_FALSE(secondReturned.wait(100ms)) << "the second evaluation did not wait for the sink";
    release.countDown();
    EXPECT_TRUE(secondReturned.wait());
    first.join();
    second.join();
    EXPECT_EQ(sink.processCount(), 1);
    EXPECT_EQ(src.processCount(), 1);
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
