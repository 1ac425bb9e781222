// Controller on the calling thread: membership, the depth-first visit, slicing and its grain,
// the error store, flushing, copies, settings and the scheduler's thread count.

#include "support/ControllerNodes.h"

#include <oneapi/tbb/info.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Mirel::CPURuntimeException;
using Mirel::ExceptionBase;
using Mirel::InternalException;
using Mirel::SharedException;
using Mirel::DataFlow::Controller;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::OutputTemplate;
using test::ChainNode;
using test::EventLog;
using test::expectInternal;
using test::HookNode;
using test::link;
using test::OpenController;
using test::SettingsGuard;
using test::SlicedNode;

constexpr char kControllerSource[] = "data_flow/controllers/Controller.cpp";

using Nodes = std::vector<Node*>;

Nodes nodesOf(Controller const& c) {
    return Nodes(c.nodesBegin(), c.nodesEnd());
}

class ControllerTest : public test::LibraryTest {};

// ---------------------------------------------------------------------------------------------
// Settings and membership

TEST_F(ControllerTest, StartsStoppedEmptyAndWithTheLoadTimeSettings) {
    // Every test that changes a setting restores it, so these are still the values at load.
    EXPECT_EQ(Controller::getNumberOfThreads(), std::size_t(tbb::info::default_concurrency()) + 1);
    EXPECT_EQ(Controller::getMinimumGrainSize(), 1u);

    Controller c;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_EQ(c.getSinkNode(), nullptr);
    EXPECT_EQ(c.nodesBegin(), c.nodesEnd());
    EXPECT_NE(c.getImpl(), nullptr);
    EXPECT_EQ(c.getImpl()->taskCount(), 1);
    EXPECT_EQ(c.threadsAvailable(), Controller::getNumberOfThreads());
}

TEST_F(ControllerTest, AddingTwiceGivesTwoEntriesAndRemovalTakesTheFirstOnly) {
    Controller c;
    HookNode a("a", 0, 0), b("b", 0, 0);
    EXPECT_TRUE(c.addNode(&a));
    EXPECT_TRUE(c.addNode(&b));
    EXPECT_TRUE(c.addNode(&a));
    EXPECT_EQ(a.controller(), &c);
    EXPECT_EQ(nodesOf(c), (Nodes{&a, &b, &a}));

    EXPECT_TRUE(c.removeNode(&a));
    EXPECT_EQ(nodesOf(c), (Nodes{&b, &a}));
    EXPECT_TRUE(c.removeNode(&a));
    EXPECT_FALSE(c.removeNode(&a));
    EXPECT_EQ(nodesOf(c), (Nodes{&b}));
    EXPECT_EQ(a.controller(), &c) << "removal leaves the back-pointer alone";

    EXPECT_TRUE(c.removeAllNodes());
    EXPECT_TRUE(c.removeAllNodes()) << "already empty";
    EXPECT_FALSE(c.removeNode(&b));

    // A node added to a second controller points at that one from then on.
    Controller other;
    EXPECT_TRUE(other.addNode(&a));
    EXPECT_EQ(a.controller(), &other);
}

TEST_F(ControllerTest, MembershipAndCallbackAreFrozenWhileCancelled) {
    Controller c;
    HookNode member("member", 0, 0), outsider("outsider", 0, 0);
    ASSERT_TRUE(c.addNode(&member));

    c.cancelProcess(); // no evaluation runs; the status alone freezes membership
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    EXPECT_FALSE(c.addNode(&outsider));
    EXPECT_EQ(outsider.controller(), nullptr) << "a refused node is not told the controller";
    EXPECT_FALSE(c.removeNode(&member));
    EXPECT_FALSE(c.removeAllNodes());
    EXPECT_FALSE(c.registerProcessingCompletedCallback(nullptr, nullptr));
    EXPECT_EQ(nodesOf(c), (Nodes{&member}));

    // wait() resets a cancelled controller: the graph is flushed and the status stopped.
    EXPECT_TRUE(c.wait(1.0, 0.001));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_TRUE(c.addNode(&outsider));

    c.cancelProcess();
    EXPECT_TRUE(c.flushGraph()) << "flushGraph stops first";
    EXPECT_TRUE(c.removeNode(&outsider));
    c.cancelProcess();
    c.stop();
    EXPECT_TRUE(c.removeAllNodes());
    EXPECT_TRUE(c.wait(1.0, 0.001)); // leaves the task group as it found it
}

TEST_F(ControllerTest, MembershipAndCallbackAreFrozenWhileProcessing) {
    Controller c;
    HookNode sink("sink", 0, 0), outsider("outsider", 0, 0);
    c.addNode(&sink);
    c.setSinkNode(&sink);
    bool bAdded = true, bRemoved = true, bCleared = true, bRegistered = true;
    Controller::teControllerStatus eSeen = Controller::kStopped;
    sink.onProcess = [&](HookNode&) {
        eSeen = c.controllerStatus();
        bAdded = c.addNode(&outsider);
        bRemoved = c.removeNode(&sink);
        bCleared = c.removeAllNodes();
        bRegistered = c.registerProcessingCompletedCallback(nullptr, nullptr);
    };
    c.process();
    EXPECT_EQ(eSeen, Controller::kProcessing);
    EXPECT_FALSE(bAdded);
    EXPECT_FALSE(bRemoved);
    EXPECT_FALSE(bCleared);
    EXPECT_FALSE(bRegistered);
    EXPECT_EQ(outsider.controller(), nullptr);
    EXPECT_EQ(nodesOf(c), (Nodes{&sink}));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
}

TEST_F(ControllerTest, FindsNodesWithAnUnlinkedConnectorOncePerEntry) {
    Controller c;
    HookNode src("src", 0, 1), mid("mid", 1, 1), sink("sink", 1, 0);
    link(src, mid);
    link(mid, sink);
    for (Node* p : {static_cast<Node*>(&src), static_cast<Node*>(&mid), static_cast<Node*>(&sink)})
        c.addNode(p);
    EXPECT_TRUE(c.findUnconnectedNodes().empty()) << "a fully linked chain";

    HookNode loose("loose", 2, 2);     // unlinked outputs and inputs: reported once
    HookNode halfway("halfway", 1, 1); // linked output, unlinked input
    HookNode bare("bare", 0, 0);       // no connectors at all
    HookNode feeder("feeder", 0, 1);
    Mirel::DataFlow::Connect(feeder.out(), halfway.in(0));
    HookNode consumer("consumer", 1, 0);
    Mirel::DataFlow::Connect(halfway.out(), consumer.in(0));
    c.addNode(&loose);
    c.addNode(&halfway);
    c.addNode(&bare);
    c.addNode(&loose);
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &loose}))
        << "halfway's input is fed";

    halfway.in(0).disconnect();
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &halfway, &loose}));

    c.cancelProcess(); // the status plays no part
    EXPECT_EQ(c.findUnconnectedNodes().size(), 3u);
    c.wait(1.0, 0.001);
}

TEST_F(ControllerTest, ThreadSettingsChangeTheReportedCountButNotARunningScheduler) {
    SettingsGuard oGuard;
    Controller c;
    SlicedNode node("sliced", 1, 2);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.process();
    int const nConcurrency = node.slices().at(0).arenaConcurrency;
    EXPECT_EQ(nConcurrency, 2) << "the default count is capped at 2";

    EXPECT_TRUE(Controller::setNumberOfThreads(8));
    EXPECT_EQ(Controller::getNumberOfThreads(), 8u);
    EXPECT_EQ(c.threadsAvailable(), 8u);
    Controller second; // the scheduler exists: no new initialisation
    second.addNode(&node);
    second.setSinkNode(&node);
    node.clearSlices();
    ASSERT_TRUE(second.flushGraph());
    second.process();
    EXPECT_EQ(node.slices().at(0).arenaConcurrency, nConcurrency);

    EXPECT_TRUE(Controller::setMinimumGrainSize(0));
    EXPECT_EQ(Controller::getMinimumGrainSize(), 0u);
}

// The scheduler's thread count comes from the count set before it is created: capped at 2, and
// 0 gives 1. Terminating it lets the next controller create it again.
class SchedulerThreads : public ControllerTest,
                         public ::testing::WithParamInterface<std::pair<std::size_t, int>> {};

TEST_P(SchedulerThreads, FollowTheCountSetBeforeCreation) {
    SettingsGuard oGuard;
    oGuard.restartScheduler(GetParam().first);
    OpenController c;
    SlicedNode node("sliced", 1, 64);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.process();
    for (SlicedNode::Slice const& s : node.slices())
        EXPECT_EQ(s.arenaConcurrency, GetParam().second);

    c.terminateScheduler();
    c.terminateScheduler(); // a second time does nothing
    Controller::setNumberOfThreads(1);
    Controller fresh; // creates it again, with the count of this moment
    fresh.addNode(&node);
    fresh.setSinkNode(&node);
    fresh.flushGraph();
    node.clearSlices();
    fresh.process();
    ASSERT_FALSE(node.slices().empty());
    EXPECT_EQ(node.slices().at(0).arenaConcurrency, 1);
}

INSTANTIATE_TEST_SUITE_P(Counts, SchedulerThreads,
                         ::testing::Values(std::make_pair(std::size_t(0), 1),
                                           std::make_pair(std::size_t(1), 1),
                                           std::make_pair(std::size_t(2), 2),
                                           std::make_pair(std::size_t(16), 2)));

// ---------------------------------------------------------------------------------------------
// The visit

TEST_F(ControllerTest, NullSinkThrowsPSinkAndStops) {
    Controller c;
    std::string const sWhat = expectInternal([&] { c.process(); }, "pSink");
    EXPECT_NE(sWhat.find(kControllerSource), std::string::npos) << sWhat;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
}

TEST_F(ControllerTest, ProducersAreProcessedFirstInInputOrder) {
    EventLog log;
    Controller c;
    // sink(in0 <- a, in1 <- b(in0 <- d), in2 <- e)
    HookNode a("a", 0, 1, &log), d("d", 0, 1, &log), b("b", 1, 1, &log), e("e", 0, 1, &log);
    HookNode sink("sink", 3, 0, &log);
    link(a, sink, 0, 0);
    link(d, b);
    link(b, sink, 0, 1);
    link(e, sink, 0, 2);
    for (HookNode* p : {&sink, &e, &b, &d, &a}) // list order plays no part in the visit
        c.addNode(p);
    c.setSinkNode(&sink);

    c.process();
    EXPECT_EQ(log, (EventLog{"a process", "d process", "b process", "e process", "sink process"}));
    EXPECT_EQ(sink.result(), 1.0f + 1.0f + 2.0f + 1.0f);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);

    // Processed producers hold their results: until a flush, a second evaluation processes only
    // the sink, which has no output to hold one.
    c.process();
    EXPECT_EQ(log.size(), 6u);
    EXPECT_EQ(log.back(), "sink process");
    ASSERT_TRUE(c.flushGraph());
    c.process();
    EXPECT_EQ(log.size(), 11u);
    EXPECT_EQ(a.processCount(), 2);
    EXPECT_EQ(sink.processCount(), 3);
}

TEST_F(ControllerTest, ASharedProducerOfADiamondIsProcessedOnce) {
    EventLog log;
    Controller c;
    HookNode top("top", 0, 2, &log), left("left", 1, 1, &log), right("right", 1, 1, &log);
    HookNode sink("sink", 2, 0, &log);
    link(top, left, 0, 0);
    link(top, right, 1, 0);
    link(left, sink, 0, 0);
    link(right, sink, 0, 1);
    c.setSinkNode(&sink);
    c.process();
    EXPECT_EQ(log, (EventLog{"top process", "left process", "right process", "sink process"}));
    EXPECT_EQ(top.processCount(), 1);
}

TEST_F(ControllerTest, AProducerWhoseOutputHoldsDataIsNotVisited) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 1, 0);
    link(src, sink);
    src.out().setData(MIREL_NEW float(41.0f));
    c.setSinkNode(&sink);
    c.process();
    EXPECT_EQ(src.processCount(), 0);
    EXPECT_EQ(sink.processCount(), 1);
    EXPECT_EQ(sink.result(), 42.0f);
}

TEST_F(ControllerTest, MissingLinksAndOwnerlessOutputsAreReported) {
    Controller c;
    HookNode mid("mid", 1, 1), sink("sink", 1, 0);
    link(mid, sink);
    c.setSinkNode(&sink);
    std::string const sWhat = expectInternal([&] { c.process(); }, "producerOutput");
    EXPECT_NE(sWhat.find(kControllerSource), std::string::npos) << sWhat;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_FALSE(mid.isProcessing());

    OutputTemplate<float> ownerless("ownerless", nullptr);
    Mirel::DataFlow::Connect(ownerless, mid.in(0));
    expectInternal([&] { c.process(); }, "producer");
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    mid.in(0).disconnect();
}

struct NodeFailure {
    int iCode;
};

TEST_F(ControllerTest, ANodesExceptionPassesUnchangedAndLeavesTheNodeProcessing) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 1, 0);
    link(src, sink);
    c.addNode(&src);
    c.addNode(&sink);
    c.setSinkNode(&sink);
    bool bFail = true;
    sink.onProcess = [&](HookNode&) {
        if (bFail)
            throw NodeFailure{7};
    };
    try {
        c.process();
        ADD_FAILURE() << "no exception";
    } catch (NodeFailure const& f) {
        EXPECT_EQ(f.iCode, 7);
    }
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_TRUE(sink.isProcessing());

    // Until it is flushed, the failed node is waited for and left alone.
    bFail = false;
    c.process();
    EXPECT_EQ(sink.processCount(), 1);
    ASSERT_TRUE(c.flushGraph());
    EXPECT_FALSE(sink.isProcessing());
    c.process();
    EXPECT_EQ(sink.processCount(), 2);
    EXPECT_EQ(src.processCount(), 2);
}

TEST_F(ControllerTest, VisitingWithoutAnEvaluationLooksAtNoInput) {
    // The input walk runs only while the status is kProcessing.
    OpenController c;
    HookNode src("src", 0, 1), sink("sink", 1, 0), lone("lone", 0, 0);
    link(src, sink);
    c.processRecursive(&sink);
    EXPECT_EQ(src.processCount(), 0);
    EXPECT_EQ(sink.processCount(), 0);
    c.processRecursive(&lone); // a ready node is processed all the same
    EXPECT_EQ(lone.processCount(), 1);
}

TEST_F(ControllerTest, AMillionNodeChainEvaluatesOnTheCallingThread) {
    constexpr std::size_t kLength = 1000000;
    std::unique_ptr<ChainNode[]> aChain(new ChainNode[kLength]);
    for (std::size_t i = 1; i < kLength; ++i)
        aChain[i].follow(aChain[i - 1]);
    Controller c;
    c.setSinkNode(&aChain[kLength - 1]);
    c.addNode(&aChain[0]);
    c.process();
    EXPECT_EQ(aChain[kLength - 1].value(), float(kLength - 1));
    EXPECT_EQ(aChain[0].processCount(), 1);
    EXPECT_EQ(aChain[kLength / 2].processCount(), 1);
    EXPECT_EQ(aChain[kLength - 1].processCount(), 1);
    for (std::size_t i = 0; i < kLength; ++i)
        aChain[i].disconnect();
}

TEST_F(ControllerTest, EvaluatingAndFlushingMakeNoCountedAllocation) {
    // 64 nodes deep fits the visit stack made with the controller; the chain nodes publish
    // pointers they own. So any counted allocation here would be the controller's own.
    constexpr std::size_t kLength = 64;
    std::unique_ptr<ChainNode[]> aChain(new ChainNode[kLength]);
    Controller c;
    for (std::size_t i = 0; i < kLength; ++i) {
        if (i > 0)
            aChain[i].follow(aChain[i - 1]);
        c.addNode(&aChain[i]);
    }
    c.setSinkNode(&aChain[kLength - 1]);
    std::size_t const nLive = Mirel::Core::liveAllocations();
    Mirel::Core::failAllocationsAfter(0); // the next counted allocation throws std::bad_alloc
    EXPECT_NO_THROW({
        c.process();
        c.flushGraph();
        c.processAsync();
        EXPECT_TRUE(c.wait(20.0, 0.0005));
        c.flushGraph();
    });
    Mirel::Core::failAllocationsAfter(-1);
    c.checkException();
    EXPECT_EQ(aChain[kLength - 1].processCount(), 2);
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLive);

    // A deeper visit grows the stack, then gives it back for one of the first size.
    std::unique_ptr<ChainNode[]> aDeep(new ChainNode[5000]);
    for (std::size_t i = 1; i < 5000; ++i)
        aDeep[i].follow(aDeep[i - 1]);
    c.setSinkNode(&aDeep[4999]);
    std::size_t const nLiveDeep = Mirel::Core::liveAllocations();
    c.process();
    EXPECT_EQ(aDeep[4999].value(), 4999.0f);
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLiveDeep);
    for (std::size_t i = 0; i < kLength; ++i)
        aChain[i].disconnect();
    for (std::size_t i = 0; i < 5000; ++i)
        aDeep[i].disconnect();
}

// ---------------------------------------------------------------------------------------------
// Slicing

//! Evaluates a fresh sliced node of `items` items of size `itemSize` and returns its slices.
std::vector<SlicedNode::Slice> slicesOf(std::size_t itemSize, std::size_t items) {
    Controller c;
    SlicedNode node("sliced", itemSize, items);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.process();
    return node.slices();
}

// A range of exactly `grain` items is never cut; one more item is. So the grain is pinned down
// from both sides by the number of processSlice calls.
void expectGrain(std::size_t itemSize, std::size_t grain) {
    std::vector<SlicedNode::Slice> const aWhole = slicesOf(itemSize, grain);
    ASSERT_EQ(aWhole.size(), 1u) << "itemSize " << itemSize << ", grain " << grain;
    EXPECT_EQ(aWhole[0].begin, 0u);
    EXPECT_EQ(aWhole[0].end, grain);
    EXPECT_GT(slicesOf(itemSize, grain + 1).size(), 1u)
        << "itemSize " << itemSize << ", grain " << grain;
}

TEST_F(ControllerTest, TheGrainIsTheMinimumGrainSizeOverTheItemSizeAndAtLeastOne) {
    SettingsGuard oGuard;
    expectGrain(1, 1); // the defaults
    Controller::setMinimumGrainSize(4096);
    expectGrain(1000, 4);
    expectGrain(5000, 1);
    expectGrain(1, 4096);
    Controller::setMinimumGrainSize(0);
    expectGrain(1, 1);
}

TEST_F(ControllerTest, SlicesCoverTheRangeExactlyOnce) {
    std::vector<SlicedNode::Slice> aSlices = slicesOf(1, 10000);
    std::sort(aSlices.begin(), aSlices.end(),
              [](auto const& a, auto const& b) { return a.begin < b.begin; });
    std::size_t iNext = 0;
    for (SlicedNode::Slice const& s : aSlices) {
        EXPECT_EQ(s.begin, iNext);
        EXPECT_LT(s.begin, s.end);
        iNext = s.end;
    }
    EXPECT_EQ(iNext, 10000u);
}

TEST_F(ControllerTest, AnEmptyRangeMakesNoSliceCallButStillThrowsAStoredError) {
    Controller c;
    SlicedNode node("sliced", 0, 100);
    c.processSlices(&node);
    node.setRange(4, 0);
    c.processSlices(&node);
    EXPECT_TRUE(node.slices().empty());

    c.saveException(MIREL_NEW InternalException("here", 1, "stored before"));
    try {
        c.processSlices(&node);
        ADD_FAILURE() << "no exception";
    } catch (SharedException const& e) {
        auto const* pInner = dynamic_cast<InternalException const*>(e.wrapped().get());
        ASSERT_NE(pInner, nullptr);
        EXPECT_STREQ(pInner->message(), "stored before");
    }
    c.checkException(); // taken out by the throw
}

TEST_F(ControllerTest, SingleThreadModeMakesOneCallOnTheCallingThread) {
    Controller c;
    SlicedNode node("sliced", 1, 1000);
    c.setSingleThreadMode(true);
    c.setSinkNode(&node);
    c.addNode(&node);
    c.process();
    std::vector<SlicedNode::Slice> const aSlices = node.slices();
    ASSERT_EQ(aSlices.size(), 1u);
    EXPECT_EQ(aSlices[0].begin, 0u);
    EXPECT_EQ(aSlices[0].end, 1000u);
    EXPECT_EQ(aSlices[0].thread, std::this_thread::get_id());

    // Its exception passes straight through and nothing is stored or cancelled.
    node.onSlice = [](std::size_t, std::size_t) { throw NodeFailure{3}; };
    ASSERT_TRUE(c.flushGraph());
    EXPECT_THROW(c.process(), NodeFailure);
    c.checkException();
    c.setSingleThreadMode(false);
    node.onSlice = nullptr;
    node.clearSlices();
    ASSERT_TRUE(c.flushGraph());
    c.process();
    EXPECT_FALSE(node.slices().empty());
}

// ---------------------------------------------------------------------------------------------
// The error store and flushing

TEST_F(ControllerTest, CheckExceptionThrowsTheStoredObjectOnce) {
    Controller c;
    c.checkException(); // nothing stored
    c.saveException(MIREL_NEW InternalException("first", 1, "first"));
    ExceptionBase* pStored = MIREL_NEW InternalException("file", 12, "second");
    c.saveException(pStored); // the last one wins; the first is released
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    try {
        c.checkException();
        ADD_FAILURE() << "no exception";
    } catch (ExceptionBase const& e) {
        auto const* pShared = dynamic_cast<SharedException const*>(&e);
        ASSERT_NE(pShared, nullptr);
        EXPECT_EQ(pShared->wrapped().get(), static_cast<std::exception*>(pStored));
    }
    c.checkException();
}

TEST_F(ControllerTest, SavingSetsStoppedAndSavingNullOnlyEmptiesTheStore) {
    Controller c;
    c.cancelProcess();
    c.saveException(nullptr);
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    c.saveException(MIREL_NEW CPURuntimeException(CPURuntimeException::kUnknownException));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    c.saveException(nullptr);
    c.checkException();
    EXPECT_TRUE(c.wait(1.0, 0.001)); // resets the cancelled group
}

//! A controller whose stop() can be told to keep the evaluation going.
class StubbornController : public Controller {
public:
    void stop() override {
        ++iStops_;
        if (!bStubborn_)
            Controller::stop();
    }
    bool bStubborn_ = false;
    int iStops_ = 0;
};

TEST_F(ControllerTest, FlushGraphFlushesEveryEntryInOrderUnlessStopIsRefused) {
    EventLog log;
    StubbornController c;
    EXPECT_TRUE(c.flushGraph()) << "no nodes";
    test::RecordingNode a("a", &log, 1, 1), b("b", &log, 0, 1);
    c.addNode(&b);
    c.addNode(&a);
    a.setProcessing(true);
    EXPECT_TRUE(c.flushGraph());
    EXPECT_EQ(log, (EventLog{"b.out0 flush", "a.in0 flush", "a.out0 flush"}));
    EXPECT_FALSE(a.isProcessing());

    log.clear();
    c.bStubborn_ = true;
    c.cancelProcess();
    EXPECT_FALSE(c.flushGraph());
    EXPECT_TRUE(log.empty());
    // The library reaches stop() through the virtual table.
    int const iStops = c.iStops_;
    expectInternal([&] { c.wait(1.0, 0.001); }, "bGraphFlushed");
    EXPECT_GT(c.iStops_, iStops);
    c.bStubborn_ = false;
    EXPECT_TRUE(c.wait(1.0, 0.001));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
}

// ---------------------------------------------------------------------------------------------
// Copies

TEST_F(ControllerTest, ACopyHasItsOwnSchedulerStateAndSharesTheStoredError) {
    Controller c;
    HookNode node("node", 0, 0);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.setSingleThreadMode(true);
    ExceptionBase* pStored = MIREL_NEW InternalException("file", 1, "shared");
    c.saveException(pStored);

    Controller copy(c);
    EXPECT_NE(copy.getImpl(), c.getImpl());
    EXPECT_EQ(nodesOf(copy), nodesOf(c));
    EXPECT_EQ(copy.getSinkNode(), &node);
    EXPECT_EQ(copy.controllerStatus(), Controller::kStopped);
    for (Controller* p : {&copy, &c}) {
        try {
            p->checkException();
            ADD_FAILURE() << "no exception";
        } catch (SharedException const& e) {
            EXPECT_EQ(e.wrapped().get(), static_cast<std::exception*>(pStored));
        }
    }

    Controller assigned;
    {
        auto* pImpl = assigned.getImpl();
        assigned = c;
        EXPECT_EQ(assigned.getImpl(), pImpl);
    }
    EXPECT_EQ(nodesOf(assigned), nodesOf(c));
    EXPECT_EQ(assigned.getSinkNode(), &node);
    // Both evaluate independently.
    copy.process();
    ASSERT_TRUE(assigned.flushGraph());
    assigned.process();
    EXPECT_EQ(node.processCount(), 2);
}

} // namespace
