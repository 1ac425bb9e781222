// Controller on the calling thread: settings and the scheduler's thread count, membership, the
// depth-first visit, slicing and its grain, the error store, flushing, copies, and the Graphviz
// picture of a graph.

#include "support/TestNodes.h"

#include "data_flow/controllers/GraphDot.h"

#include <oneapi/tbb/info.h>

#include <array>
#include <sstream>

namespace {

using namespace Mirel::DataFlow;
using test::EventLog;
using test::expectInternal;
using test::HookNode;
using test::link;
using test::SlicedNode;
using test::storedError;

constexpr char kSource[] = "data_flow/controllers/Controller.cpp";
using Nodes = std::vector<Node*>;

Nodes nodesOf(Controller const& c) {
    return Nodes(c.nodesBegin(), c.nodesEnd());
}

//! Evaluates the sliced node alone with c and returns its slices.
std::vector<SlicedNode::Slice> slicesOf(Controller& c, SlicedNode& node) {
    node.clearSlices();
    c.addNode(&node); // tells the node its controller, which slices its work
    c.setSinkNode(&node);
    c.process(); // a node without outputs is ready again at once
    return node.slices();
}

std::vector<SlicedNode::Slice> slicesOf(std::size_t itemSize, std::size_t items) {
    Controller c;
    SlicedNode node("sliced", itemSize, items);
    return slicesOf(c, node);
}

using ControllerTest = test::LibraryTest;

TEST_F(ControllerTest, TheSchedulerAndTheSlicesFollowTheSettingsMadeBeforeThem) {
    // Every test that changes a setting restores it, so these are still the values at load.
    EXPECT_EQ(Controller::getNumberOfThreads(), std::size_t(tbb::info::default_concurrency()) + 1);
    EXPECT_EQ(Controller::getMinimumGrainSize(), 1u);
    test::SettingsGuard oGuard;
    // Threads: capped at 2, and 0 gives 1; terminating twice does nothing more than once; a
    // count set while the scheduler exists changes nothing until the next one.
    SlicedNode node("sliced", 1, 64);
    for (auto [nSet, nSeen] : {std::pair<std::size_t, int>{0, 1}, {1, 1}, {2, 2}, {16, 2}}) {
        oGuard.restartScheduler(nSet);
        test::SettingsGuard::terminateScheduler();
        Controller c;
        EXPECT_EQ(slicesOf(c, node).at(0).arenaConcurrency, nSeen) << nSet << " threads set";
        EXPECT_TRUE(Controller::setNumberOfThreads(nSet == 0 ? 2 : 0));
        EXPECT_EQ(c.threadsAvailable(), nSet == 0 ? 2u : 0u);
        Controller second;
        EXPECT_EQ(slicesOf(second, node).at(0).arenaConcurrency, nSeen);
    }

    // Grains: a range of exactly `grain` items is never cut, one more item is; an empty range
    // or items of size 0 make no call. Whether sub-ranges cover the range exactly once shows in
    // every computed value of the stress test.
    EXPECT_TRUE(slicesOf(0, 100).empty());
    EXPECT_TRUE(slicesOf(4, 0).empty());
    for (auto [nMinimum, itemSize, grain] : {std::array<std::size_t, 3>{1, 1, 1},
                                             {4096, 1000, 4},
                                             {4096, 5000, 1},
                                             {4096, 1, 4096},
                                             {0, 1, 1}}) {
        EXPECT_TRUE(Controller::setMinimumGrainSize(nMinimum));
        std::vector<SlicedNode::Slice> const aWhole = slicesOf(itemSize, grain);
        ASSERT_EQ(aWhole.size(), 1u) << "itemSize " << itemSize << ", grain " << grain;
        EXPECT_EQ(aWhole[0].end - aWhole[0].begin, grain);
        EXPECT_GT(slicesOf(itemSize, grain + 1).size(), 1u) << "itemSize " << itemSize;
    }
}

//! A controller whose stop() can be told to keep the evaluation going.
class StubbornController : public Controller {
public:
    void stop() override {
        if (!bStubborn_)
            Controller::stop();
    }
    bool bStubborn_ = false;
};

TEST_F(ControllerTest, MembershipIsFrozenWhileNotStoppedAndFlushGraphStopsThenFlushesInOrder) {
    EventLog log;
    StubbornController c;
    test::RecordingNode a("a", &log, 1, 1), b("b", &log, 0, 1);
    HookNode sink("sink", 0, 0), outsider("outsider", 0, 0);
    EXPECT_TRUE(c.addNode(&a) && c.addNode(&b) && c.addNode(&a) && c.removeNode(&a));
    EXPECT_TRUE(c.addNode(&sink));
    EXPECT_EQ(nodesOf(c), (Nodes{&b, &a, &sink}));

    // Processing or cancelled, every change of membership and of the callback is refused.
    auto const expectFrozen = [&] {
        EXPECT_FALSE(c.addNode(&outsider) || c.removeNode(&b) || c.removeAllNodes() ||
                     c.registerProcessingCompletedCallback(nullptr, nullptr));
        EXPECT_EQ(outsider.controller(), nullptr) << "a refused node is not told the controller";
        EXPECT_EQ(nodesOf(c), (Nodes{&b, &a, &sink}));
    };
    c.setSinkNode(&sink);
    sink.onProcess = [&](HookNode&) { expectFrozen(); };
    c.process();
    c.cancelProcess(); // no evaluation runs; the status alone freezes membership
    expectFrozen();
    EXPECT_TRUE(c.wait(1.0, 0.001)); // resets a cancelled controller

    // flushGraph stops first, then flushes every entry in list order; a refused stop leaves the
    // graph alone, and wait() reaches stop() through the virtual table.
    log.clear(); // that wait flushed the graph too
    a.setProcessing(true);
    c.cancelProcess();
    EXPECT_TRUE(c.flushGraph());
    EXPECT_EQ(log, (EventLog{"b.out0 flush", "a.in0 flush", "a.out0 flush"}));
    EXPECT_FALSE(a.isProcessing());
    log.clear();
    c.bStubborn_ = true;
    c.cancelProcess();
    EXPECT_FALSE(c.flushGraph());
    EXPECT_TRUE(log.empty());
    expectInternal([&] { c.wait(1.0, 0.001); }, "bGraphFlushed");
    c.bStubborn_ = false;
    EXPECT_TRUE(c.wait(1.0, 0.001));
    EXPECT_TRUE(c.removeNode(&a) && !c.removeNode(&a));
    EXPECT_EQ(a.controller(), &c) << "removal leaves the back-pointer alone";
    EXPECT_TRUE(c.removeAllNodes());
}

TEST_F(ControllerTest, FindsNodesWithAnUnlinkedConnectorOncePerEntry) {
    Controller c;
    HookNode src("src", 0, 1), sink("sink", 2, 0), feeder("feeder", 0, 1);
    HookNode loose("loose", 2, 2);     // unlinked outputs and inputs: reported once
    HookNode halfway("halfway", 1, 1); // linked output, unlinked input
    HookNode bare("bare", 0, 0);       // no connectors at all
    link(src, sink, 0, 0);
    link(halfway, sink, 0, 1);
    for (HookNode* p : {&src, &loose, &halfway, &bare, &loose})
        c.addNode(p);
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &halfway, &loose}));
    link(feeder, halfway);
    EXPECT_EQ(c.findUnconnectedNodes(), (Controller::NodeVector{&loose, &loose}));
}

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
    test::addAll(c, {&held, &right, &left, &top, &sink}); // list order plays no part
    c.process();
    EXPECT_EQ(log, (EventLog{"top process", "left process", "right process", "sink process"}))
        << "the diamond's shared producer once; the producer holding data not at all";
    EXPECT_EQ(sink.result(), 1.0f + 2.0f + 2.0f + 41.0f);
    EXPECT_EQ(c.progress().nodesProcessed, 4u);
    // Processed producers hold their results: until a flush, only the sink runs again.
    c.process();
    EXPECT_EQ(log.size(), 5u);
}

struct NodeFailure {
    int iCode;
};

TEST_F(ControllerTest, AMissingSinkOrLinkIsReportedAndAFailedNodeWaitsForAFlush) {
    Controller c;
    expectInternal([&] { c.process(); }, "pSink", kSource);
    HookNode src("src", 0, 1), mid("mid", 1, 1), sink("sink", 1, 0);
    link(mid, sink);
    c.setSinkNode(&sink);
    expectInternal([&] { c.process(); }, "producerOutput", kSource);
    EXPECT_FALSE(mid.isProcessing());
    OutputTemplate<float> ownerless("ownerless", nullptr);
    Connect(ownerless, mid.in());
    expectInternal([&] { c.process(); }, "producer", kSource);

    // A node's own exception passes unchanged (the stress test throws every kind); the failed
    // node is left processing, waited for and left alone until it is flushed.
    link(src, mid);
    test::addAll(c, {&src, &mid, &sink});
    sink.onProcess = [](HookNode&) { throw NodeFailure{7}; };
    EXPECT_THROW(c.process(), NodeFailure);
    EXPECT_TRUE(sink.isProcessing());
    sink.onProcess = nullptr;
    c.process();
    EXPECT_EQ(sink.processCount(), 1);
}

TEST_F(ControllerTest, EvaluatingMakesNoCountedAllocationAndAMillionDeepVisitNeedsNoDeepStack) {
    // 64 nodes deep fits the visit stack made with the controller; the lean nodes publish
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
    // A million deep, the visit grows its own stack, then gives it back for one of the first
    // size.
    constexpr std::size_t kLength = 1000000;
    auto aDeep = test::makeChain(kLength);
    c.setSinkNode(&aDeep[kLength - 1]);
    std::size_t const nLiveDeep = Mirel::Core::liveAllocations();
    c.process();
    EXPECT_EQ(aDeep[kLength - 1].value(), float(kLength));
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLiveDeep);
}

TEST_F(ControllerTest, SingleThreadModeMakesOneCallOnTheCallingThreadAndEveryModeCountsItems) {
    Controller c;
    SlicedNode node("sliced", 1, 1000);
    for (bool bSingle : {false, true}) { // each evaluation counts from 0
        c.setSingleThreadMode(bSingle);
        EXPECT_EQ(slicesOf(c, node).size() > 1, !bSingle);
        EXPECT_EQ(c.progress().itemsProcessed, 1000u);
        EXPECT_EQ(c.progress().nodesProcessed, 1u);
    }
    std::vector<SlicedNode::Slice> const aSlices = node.slices();
    ASSERT_EQ(aSlices.size(), 1u);
    EXPECT_EQ(aSlices[0].thread, std::this_thread::get_id());
}

TEST_F(ControllerTest, TheStoreKeepsTheLastErrorUntilItIsThrownOnceAndCopiesShareIt) {
    Controller c;
    SlicedNode node("sliced", 0, 100);
    test::addAll(c, {&node});
    c.saveException(MIREL_NEW Mirel::InternalException("first", 1, "first"));
    Mirel::ExceptionBase* pStored = MIREL_NEW Mirel::InternalException("file", 12, "second");
    c.saveException(pStored); // the last one wins; the first is released
    // Copies have the nodes, the sink and the stored error, and evaluate on their own.
    Controller copy(c), assigned;
    assigned = c;
    EXPECT_EQ(nodesOf(copy), Nodes{&node});
    EXPECT_EQ(assigned.getSinkNode(), &node);
    EXPECT_EQ(storedError(copy).get(), static_cast<std::exception*>(pStored));
    EXPECT_EQ(storedError(assigned).get(), static_cast<std::exception*>(pStored));
    // processSlices throws a stored error even for an empty range, and takes it out.
    EXPECT_EQ(test::wrappedBy([&] { c.processSlices(&node); }).get(),
              static_cast<std::exception*>(pStored));
    EXPECT_EQ(storedError(c), nullptr);
    copy.process();
    assigned.process();
    EXPECT_EQ(node.processCount(), 2);
}

TEST_F(ControllerTest, TheGraphPictureDrawsEveryNodeOnceAndLinksExactly) {
    auto const dot = [](Controller const& controller) {
        std::ostringstream os;
        writeDot(os, controller);
        return os.str();
    };
    constexpr char kHead[] = "digraph data_flow {\n  rankdir=LR;\n  node [shape=box];\n";
    Controller c;
    EXPECT_EQ(dot(c), std::string(kHead) + "}\n");
    // src feeds the graph but was never added; sink is the sink but not in the list; add was
    // added twice; lone has both connectors unlinked.
    HookNode src("say \"hi\"\\", 0, 1), add("add", 1, 1), sink("sink", 1, 0), lone("lone", 1, 1);
    link(src, add);
    link(add, sink);
    c.addNode(&add);
    c.addNode(&lone);
    c.addNode(&add);
    c.setSinkNode(&sink);
    EXPECT_EQ(dot(c), std::string(kHead) +
                          "  n0 [label=\"add [0]\"];\n"
                          "  n1 [label=\"lone [0]\"];\n"
                          "  n2 [label=\"sink [0]\", peripheries=2];\n"
                          "  n3 [label=\"say \\\"hi\\\"\\\\ [0]\", style=dashed];\n"
                          "  n3 -> n0 [label=\"out0 -> in0\"];\n"
                          "  n0 -> n2 [label=\"out0 -> in0\"];\n"
                          "  p0 [shape=point];\n"
                          "  p0 -> n1 [style=dashed, label=\"(unlinked) -> in0\"];\n"
                          "  p1 [shape=point];\n"
                          "  n1 -> p1 [style=dashed, label=\"out0 -> (unlinked)\"];\n"
                          "}\n");
}

} // namespace
