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
using test::EventLog;
using test::expectInternal;
using test::HookNode;
using test::link;
using test::OpenController;
using test::SettingsGuard;
using test::SlicedNode;
using test::storedError;
using test::wrappedBy;

constexpr char kControllerSource[] = "data_flow/controllers/Controller.cpp";

using Nodes = std::vector<Node*>;

Nodes nodesOf(Controller const& c) {
    return Nodes(c.nodesBegin(), c.nodesEnd());
}

//! Evaluates the sliced node alone with c and returns the concurrency its first slice saw.
int sliceConcurrency(Controller& c, SlicedNode& node) {
    node.clearSlices();
    c.addNode(&node); // tells the node its controller, which slices its work
    c.setSinkNode(&node);
    c.process(); // a node without outputs is ready again at once
    return node.slices().empty() ? -1 : node.slices()[0].arenaConcurrency;
}

class ControllerTest : public test::LibraryTest {};

// ---------------------------------------------------------------------------------------------
// Settings and membership

TEST_F(ControllerTest, StartsStoppedWithTheLoadTimeSettingsWhichChangeNoRunningScheduler) {
    // Every test that changes a setting restores it, so these are still the values at load.
    EXPECT_EQ(Controller::getNumberOfThreads(), std::size_t(tbb::info::default_concurrency()) + 1);
    EXPECT_EQ(Controller::getMinimumGrainSize(), 1u);
    SettingsGuard oGuard;
    Controller c;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_EQ(c.getSinkNode(), nullptr);
    EXPECT_EQ(c.nodesBegin(), c.nodesEnd());
    EXPECT_EQ(c.threadsAvailable(), Controller::getNumberOfThreads());

    SlicedNode node("sliced", 1, 2);
    EXPECT_EQ(sliceConcurrency(c, node), 2) << "the default count is capped at 2";
    EXPECT_TRUE(Controller::setNumberOfThreads(8));
    EXPECT_EQ(c.threadsAvailable(), 8u);
    Controller second; // the scheduler exists: no new initialisation
    EXPECT_EQ(sliceConcurrency(second, node), 2);
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
    EXPECT_EQ(sliceConcurrency(c, node), GetParam().second);

    c.terminateScheduler();
    c.terminateScheduler(); // a second time does nothing
    Controller::setNumberOfThreads(1);
    Controller fresh; // creates it again, with the count of this moment
    EXPECT_EQ(sliceConcurrency(fresh, node), 1);
}

INSTANTIATE_TEST_SUITE_P(Counts, SchedulerThreads,
                         ::testing::Values(std::make_pair(std::size_t(0), 1),
                                           std::make_pair(std::size_t(1), 1),
                                           std::make_pair(std::size_t(2), 2),
                                           std::make_pair(std::size_t(16), 2)));

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
    EXPECT_EQ(a.controller(), &c) << "removal leaves the back-pointer alone";
    EXPECT_TRUE(c.removeAllNodes());
    EXPECT_TRUE(c.removeAllNodes()) << "already empty";
    EXPECT_FALSE(c.removeNode(&b));

    // A node added to a second controller points at that one from then on.
    Controller other;
    EXPECT_TRUE(other.addNode(&a));
    EXPECT_EQ(a.controller(), &other);
}

//! Every change of membership and of the callback is refused and changes nothing.
void expectFrozen(Controller& c, Node& outsider) {
    Nodes const aBefore = nodesOf(c);
    EXPECT_FALSE(c.addNode(&outsider));
    EXPECT_EQ(outsider.controller(), nullptr) << "a refused node is not told the controller";
    EXPECT_FALSE(c.removeNode(aBefore.at(0)));
    EXPECT_FALSE(c.removeAllNodes());
    EXPECT_FALSE(c.registerProcessingCompletedCallback(nullptr, nullptr));
    EXPECT_EQ(nodesOf(c), aBefore);
}

TEST_F(ControllerTest, MembershipAndCallbackAreFrozenWhileProcessingOrCancelled) {
    Controller c;
    HookNode sink("sink", 0, 0), outsider("outsider", 0, 0);
    c.addNode(&sink);
    c.setSinkNode(&sink);
    Controller::teControllerStatus eSeen = Controller::kStopped;
    sink.onProcess = [&](HookNode&) {
        eSeen = c.controllerStatus();
        expectFrozen(c, outsider);
    };
    c.process();
    EXPECT_EQ(eSeen, Controller::kProcessing);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);

    c.cancelProcess(); // no evaluation runs; the status alone freezes membership
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    expectFrozen(c, outsider);

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

TEST_F(ControllerTest, FindsNodesWithAnUnlinkedConnectorOncePerEntry) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 2, 0);
    HookNode loose("loose", 2, 2);     // unlinked outputs and inputs: reported once
    HookNode halfway("halfway", 1, 1); // linked output, unlinked input
    HookNode bare("bare", 0, 0);       // no connectors at all
    link(src, sink, 0, 0);
    link(halfway, sink, 0, 1);
    for (HookNode* p : {&src, &loose, &halfway, &bare, &loose})
        c.addNode(p);
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &halfway, &loose}));
    HookNode feeder("feeder", 0, 1);
    link(feeder, halfway);
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &loose}));
}

// ---------------------------------------------------------------------------------------------
// The visit

TEST_F(ControllerTest, ProducersComeFirstDepthFirstInInputOrderAndOnlyWhileTheyHoldNoData) {
    EventLog log;
    Controller c;
    // sink(in0 <- left(top.out0), in1 <- right(top.out1), in2 <- held)
    HookNode top("top", 0, 2, &log), left("left", 1, 1, &log), right("right", 1, 1, &log);
    HookNode held("held", 0, 1, &log), sink("sink", 3, 0, &log);
    link(top, left, 0, 0);
    link(top, right, 1, 0);
    link(left, sink, 0, 0);
    link(right, sink, 0, 1);
    link(held, sink, 0, 2);
    held.out().setData(MIREL_NEW float(41.0f));
    for (HookNode* p : {&sink, &held, &right, &left, &top}) // list order plays no part
        c.addNode(p);
    c.setSinkNode(&sink);

    c.process();
    EXPECT_EQ(log, (EventLog{"top process", "left process", "right process", "sink process"}))
        << "the diamond's shared producer once; the producer holding data not at all";
    EXPECT_EQ(sink.result(), 1.0f + 2.0f + 2.0f + 41.0f);
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);

    // Processed producers hold their results: until a flush, a second evaluation processes only
    // the sink, which has no output to hold one.
    c.process();
    EXPECT_EQ(log.size(), 5u);
    EXPECT_EQ(log.back(), "sink process");
    ASSERT_TRUE(c.flushGraph());
    c.process();
    EXPECT_EQ(log.size(), 10u);
    EXPECT_EQ(log[8], "held process");
}

TEST_F(ControllerTest, ANullSinkAMissingLinkOrAnOwnerlessOutputIsReported) {
    Controller c;
    std::string sWhat = expectInternal([&] { c.process(); }, "pSink");
    EXPECT_NE(sWhat.find(kControllerSource), std::string::npos) << sWhat;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);

    HookNode mid("mid", 1, 1), sink("sink", 1, 0);
    link(mid, sink);
    c.setSinkNode(&sink);
    sWhat = expectInternal([&] { c.process(); }, "producerOutput");
    EXPECT_NE(sWhat.find(kControllerSource), std::string::npos) << sWhat;
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_FALSE(mid.isProcessing());

    OutputTemplate<float> ownerless("ownerless", nullptr);
    Mirel::DataFlow::Connect(ownerless, mid.in(0));
    expectInternal([&] { c.process(); }, "producer");
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
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
    sink.onProcess = [](HookNode&) { throw NodeFailure{7}; };
    try {
        c.process();
        ADD_FAILURE() << "no exception";
    } catch (NodeFailure const& f) {
        EXPECT_EQ(f.iCode, 7);
    }
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    EXPECT_TRUE(sink.isProcessing());

    // Until it is flushed, the failed node is waited for and left alone.
    sink.onProcess = nullptr;
    c.process();
    EXPECT_EQ(sink.processCount(), 1);
    ASSERT_TRUE(c.flushGraph());
    EXPECT_FALSE(sink.isProcessing());
    c.process();
    EXPECT_EQ(sink.processCount(), 2);
    EXPECT_EQ(src.processCount(), 2);
}

TEST_F(ControllerTest, AMillionNodeChainEvaluatesOnTheCallingThreadAndOnAWorker) {
    constexpr std::size_t kLength = 1000000;
    auto aChain = test::makeChain(kLength);
    Controller c;
    c.setSinkNode(&aChain[kLength - 1]);
    c.process();
    EXPECT_EQ(aChain[kLength - 1].value(), float(kLength - 1));
    for (std::size_t i = 0; i < kLength; ++i)
        aChain[i].flush();
    c.processAsync();
    ASSERT_TRUE(c.wait(600.0, 0.001));
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(aChain[0].processCount(), 2);
    EXPECT_EQ(aChain[kLength - 1].processCount(), 2);
    EXPECT_EQ(c.progress().nodesProcessed, kLength);
}

TEST_F(ControllerTest, EvaluatingAndFlushingMakeNoCountedAllocation) {
    // 64 nodes deep fits the visit stack made with the controller; the chain nodes publish
    // pointers they own. So any counted allocation here would be the controller's own.
    auto aChain = test::makeChain(64);
    Controller c;
    for (std::size_t i = 0; i < 64; ++i)
        c.addNode(&aChain[i]);
    c.setSinkNode(&aChain[63]);
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
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_EQ(aChain[63].processCount(), 2);
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLive);

    // A deeper visit grows the stack, then gives it back for one of the first size.
    auto aDeep = test::makeChain(5000);
    c.setSinkNode(&aDeep[4999]);
    std::size_t const nLiveDeep = Mirel::Core::liveAllocations();
    c.process();
    EXPECT_EQ(aDeep[4999].value(), 4999.0f);
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLiveDeep);
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
    EXPECT_EQ(aWhole[0].end - aWhole[0].begin, grain);
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
    EXPECT_TRUE(Controller::setMinimumGrainSize(0));
    expectGrain(1, 1);
}

TEST_F(ControllerTest, SlicesCoverTheRangeExactlyOnceAndAnEmptyRangeMakesNoCall) {
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
    EXPECT_TRUE(slicesOf(0, 100).empty());
    EXPECT_TRUE(slicesOf(4, 0).empty());
}

TEST_F(ControllerTest, SingleThreadModeMakesOneCallOnTheCallingThread) {
    Controller c;
    SlicedNode node("sliced", 1, 1000);
    c.setSingleThreadMode(true);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.process();
    std::vector<SlicedNode::Slice> const aSlices = node.slices();
    ASSERT_EQ(aSlices.size(), 1u);
    EXPECT_EQ(aSlices[0].begin, 0u);
    EXPECT_EQ(aSlices[0].end, 1000u);
    EXPECT_EQ(aSlices[0].thread, std::this_thread::get_id());
    EXPECT_EQ(c.progress().itemsProcessed, 1000u);
    EXPECT_EQ(c.progress().nodesProcessed, 1u);

    // Its exception passes straight through and nothing is stored or cancelled.
    node.onSlice = [](std::size_t, std::size_t) { throw NodeFailure{3}; };
    EXPECT_THROW(c.process(), NodeFailure);
    EXPECT_EQ(storedError(c), nullptr);
    ASSERT_TRUE(c.flushGraph()); // the failed node is left processing until flushed
    c.setSingleThreadMode(false);
    node.onSlice = nullptr;
    node.clearSlices();
    c.process();
    EXPECT_FALSE(node.slices().empty());
}

// ---------------------------------------------------------------------------------------------
// The error store and flushing

TEST_F(ControllerTest, TheStoreKeepsTheLastErrorUntilItIsThrownOnce) {
    Controller c;
    EXPECT_EQ(storedError(c), nullptr);
    c.saveException(MIREL_NEW InternalException("first", 1, "first"));
    ExceptionBase* pStored = MIREL_NEW InternalException("file", 12, "second");
    c.saveException(pStored); // the last one wins; the first is released
    EXPECT_EQ(storedError(c).get(), static_cast<std::exception*>(pStored));
    EXPECT_EQ(storedError(c), nullptr);

    // Saving stops a cancelled controller; saving null only empties the store.
    c.cancelProcess();
    c.saveException(nullptr);
    EXPECT_EQ(c.controllerStatus(), Controller::kCancelled);
    c.saveException(MIREL_NEW CPURuntimeException(CPURuntimeException::kUnknownException));
    EXPECT_EQ(c.controllerStatus(), Controller::kStopped);
    c.saveException(nullptr);
    EXPECT_EQ(storedError(c), nullptr);
    EXPECT_TRUE(c.wait(1.0, 0.001)); // resets the cancelled group

    // processSlices throws a stored error even for an empty range.
    SlicedNode node("sliced", 0, 100);
    ExceptionBase* pBefore = MIREL_NEW InternalException("here", 1, "stored before");
    c.saveException(pBefore);
    EXPECT_EQ(wrappedBy([&] { c.processSlices(&node); }).get(),
              static_cast<std::exception*>(pBefore));
    EXPECT_EQ(storedError(c), nullptr) << "taken out by the throw";
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

TEST_F(ControllerTest, ACopyEvaluatesOnItsOwnAndSharesTheStoredError) {
    Controller c;
    HookNode node("node", 0, 0);
    c.addNode(&node);
    c.setSinkNode(&node);
    c.setSingleThreadMode(true);
    ExceptionBase* pStored = MIREL_NEW InternalException("file", 1, "shared");
    c.saveException(pStored);

    Controller copy(c);
    EXPECT_EQ(nodesOf(copy), nodesOf(c));
    EXPECT_EQ(copy.getSinkNode(), &node);
    EXPECT_EQ(storedError(copy).get(), static_cast<std::exception*>(pStored));
    EXPECT_EQ(storedError(c).get(), static_cast<std::exception*>(pStored));

    Controller assigned;
    assigned = c;
    EXPECT_EQ(nodesOf(assigned), nodesOf(c));
    EXPECT_EQ(assigned.getSinkNode(), &node);
    // Both evaluate independently.
    copy.process();
    assigned.process();
    EXPECT_EQ(node.processCount(), 2);
}

} // namespace
