// Node: structure, debug index and text, evaluation hooks, readiness, dirty state.

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/parameters/Parameter.h"

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

using Mirel::String;
using Mirel::DataFlow::ConstInput;
using Mirel::DataFlow::InputConnector;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::OutputConnector;
using Mirel::DataFlow::OutputTemplate;
using Mirel::DataFlow::Parameter;
using Mirel::DataFlow::internal::LifecycleProbe;
using test::EventLog;
using test::expectInternal;

std::string id(Node const& node) {
    return node.debugId().c_str();
}

std::string text(Node const& node) {
    std::ostringstream os;
    os << node;
    return os.str();
}

//! A node whose protected registration and dirty-state helpers are open to the tests.
class OpenNode : public Node {
public:
    using Node::addInput;
    using Node::addOutput;
    using Node::hasDirtyParametersSimpleCaching;
    using Node::hasDirtyProducer;
    using Node::hasUniqueName;
    using Node::Node;
    using Node::registerParameter;
    using Node::setCleanAllParametersSimpleCaching;
};

//! One float input "in", one float output "out", two member parameters "gain" and "bias".
class ParamNode : public OpenNode {
public:
    explicit ParamNode(String const& name)
        : OpenNode(name)
        , oIn_("in", this)
        , oOut_("out", this)
        , oGain_(1.0f, "gain")
        , oBias_(0.0f, "bias") {
        addInput(&oIn_);
        addOutput(&oOut_);
        registerParameter(&oGain_);
        registerParameter(&oBias_);
    }

    ConstInput<float> oIn_;
    OutputTemplate<float> oOut_;
    Parameter<float> oGain_;
    Parameter<float> oBias_;
};

//! Lowers every channel of p.
void cleanAll(Mirel::DataFlow::ParameterBase& p) {
    p.setClean();
    p.setCleanSimpleCaching();
    p.setCleanLumet();
}

// --- Structure ---------------------------------------------------------------------------------

using NodeStructure = test::LibraryTest;

TEST_F(NodeStructure, NewNodeIsEmptyCleanAndIdle) {
    Node node("blur");
    EXPECT_EQ(node.name(), String("blur"));
    EXPECT_EQ(node.numberOfInputs(), 0u);
    EXPECT_EQ(node.numberOfOutputs(), 0u);
    EXPECT_EQ(node.numberOfParameters(), 0u);
    EXPECT_EQ(node.color(), 0u);
    EXPECT_EQ(node.controller(), nullptr);
    EXPECT_FALSE(node.isDirty());
    EXPECT_FALSE(node.isProcessing());
    EXPECT_TRUE(node.isReady()) << "a node without connectors is ready";
    EXPECT_FALSE(node.canEmit());
    EXPECT_TRUE(node.hasBufferChanged());
}

TEST_F(NodeStructure, RangeErrorsNameTheViolatedCondition) {
    ParamNode node("n");
    std::string what =
        expectInternal([&] { node.input(1); }, "Range error: iInput < aInputs_.size()");
    EXPECT_NE(what.find("data_flow/nodes/Node.cpp"), std::string::npos) << what;
    expectInternal([&] { static_cast<Node const&>(node).input(1); },
                   "Range error: iInput < aInputs_.size()");
    expectInternal([&] { node.output(1); }, "Range error: iOutput < aOutputs_.size()");
    expectInternal([&] { static_cast<Node const&>(node).output(7); },
                   "Range error: iOutput < aOutputs_.size()");
    expectInternal([&] { node.parameter(2); }, "Range error: iParameter < size()");
    EXPECT_EQ(node.input(0), &node.oIn_);
    EXPECT_EQ(node.output(0), &node.oOut_);
}

TEST_F(NodeStructure, LookupsByNameFindTheFirstRegisteredOrNothing) {
    OpenNode node("n");
    ConstInput<float> first("x", &node), second("x", &node);
    OutputTemplate<float> out("x", &node);
    node.addInput(&first);
    node.addInput(&second);
    node.addOutput(&out);
    Parameter<int> p1(1, "p"), p2(2, "p");
    node.registerParameter(&p1);
    node.registerParameter(&p2);

    EXPECT_EQ(node.input(String("x")), &first);
    EXPECT_EQ(static_cast<Node const&>(node).input(String("x")), &first);
    EXPECT_EQ(node.output(String("x")), &out);
    EXPECT_EQ(node.parameter(String("p")), &p1);
    EXPECT_EQ(node.parameter(1), &p2);
    EXPECT_EQ(node.input(String("X")), nullptr) << "names are case-sensitive";
    EXPECT_EQ(node.output(String("y")), nullptr);
    EXPECT_EQ(node.parameter(String("q")), nullptr);
    EXPECT_TRUE(node.hasUniqueName(&p2));
}

TEST_F(NodeStructure, DestructionLeavesConnectorsAndMemberParametersAlone) {
    // The connectors and the parameter outlive the node: the node must neither delete them (the
    // leak and sanitizer runs would see a double free) nor unlink them.
    ConstInput<float> in("in", nullptr);
    OutputTemplate<float> out("out", nullptr);
    OutputTemplate<float> producer("p", nullptr);
    ConstInput<float> consumer("c", nullptr);
    Parameter<float> parameter(2.0f, "gain");
    {
        OpenNode node("n");
        node.addInput(&in);
        node.addOutput(&out);
        node.registerParameter(&parameter);
        Mirel::DataFlow::Connect(producer, in);
        Mirel::DataFlow::Connect(out, consumer);
    }
    EXPECT_EQ(in.connectedOutput(), &producer);
    EXPECT_EQ(producer.connectedInput(), &in);
    EXPECT_EQ(out.connectedInput(), &consumer);
    EXPECT_EQ(parameter.value(), 2.0f);
}

TEST_F(NodeStructure, ConvertToConnectorAppendsTheProxyAfterTheInputs) {
    OpenNode node("n");
    ConstInput<float> a("a", &node), b("b", &node);
    node.addInput(&a);
    node.addInput(&b);
    Parameter<int> count(3, "count");
    node.registerParameter(&count);

    InputConnector* pProxy = node.convertToConnector(&count);
    ASSERT_NE(pProxy, nullptr);
    ASSERT_EQ(node.numberOfInputs(), 3u);
    EXPECT_EQ(node.input(2), pProxy);
    EXPECT_EQ(pProxy->name(), String("count"));
    EXPECT_EQ(pProxy->node(), &node);
    EXPECT_STREQ(pProxy->datatype().name(), count.datatype().name());
    EXPECT_EQ(node.numberOfParameters(), 1u) << "the parameter stays in the set";

    // Driving the proxy writes the upstream value into the parameter.
    OutputTemplate<int> upstream("up", nullptr);
    Mirel::DataFlow::Connect(upstream, *pProxy);
    upstream.setData(MIREL_NEW int(9));
    pProxy->acquireData();
    pProxy->releaseData();
    EXPECT_EQ(count.value(), 9);
    upstream.disconnect();
    Mirel::Core::destroy(pProxy); // the caller owns the proxy
}

TEST_F(NodeStructure, ProcessingFlagAndSimpleState) {
    Node node("n");
    node.setProcessing(true);
    EXPECT_TRUE(node.isProcessing());
    node.flush();
    EXPECT_FALSE(node.isProcessing());
    node.setPriority(7);
    node.setColor(Node::kBlack);
    EXPECT_EQ(node.priority(), 7u);
    EXPECT_EQ(node.color(), Node::kBlack);
}

// --- Debug index and debug text ----------------------------------------------------------------

using NodeDebugIndex = test::LibraryTest;

TEST_F(NodeDebugIndex, OrdinalsArePerNameAndNeverReused) {
    auto a = std::make_unique<Node>("blur");
    Node b("blur");
    Node c("sharpen");
    EXPECT_EQ(id(*a), "blur [0]");
    EXPECT_EQ(id(b), "blur [1]");
    EXPECT_EQ(id(c), "sharpen [0]");
    a.reset();
    Node d("blur");
    EXPECT_EQ(id(d), "blur [2]") << "a destroyed node's ordinal is not given out again";
    c.setName("blur");
    EXPECT_EQ(id(c), "blur [3]");
    c.setName("sharpen");
    EXPECT_EQ(id(c), "sharpen [1]");
    c.setName("sharpen");
    EXPECT_EQ(id(c), "sharpen [2]") << "renaming to the same name gives a fresh ordinal";
}

TEST_F(NodeDebugIndex, RestartingTheLibraryRestartsTheOrdinals) {
    {
        Node a("blur"), b("blur");
        EXPECT_EQ(id(b), "blur [1]");
    }
    Mirel::DataFlow::Library::terminate();
    Mirel::DataFlow::Library::initialize();
    Node c("blur");
    EXPECT_EQ(id(c), "blur [0]");
}

TEST_F(NodeDebugIndex, MisuseOfTheIndexIsRefused) {
    Node node("n");
    expectInternal([] { LifecycleProbe::initializeNodeMaps(); }, "!pIndexMap_");
    expectInternal([&] { LifecycleProbe::debugAddNode(&node, "other"); },
                   "pIndexMap_->find( pNode ) == pIndexMap_->end()");
    EXPECT_EQ(id(node), "n [0]") << "a refused registration changes nothing";

    LifecycleProbe::debugRemoveNode(&node);
    expectInternal([&] { node.debugId(); }, "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    expectInternal([&] { LifecycleProbe::debugRemoveNode(&node); },
                   "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    LifecycleProbe::debugAddNode(&node, node.name());
    EXPECT_EQ(id(node), "n [1]");
}

TEST_F(NodeDebugIndex, NodesNeedTheLibraryUp) {
    Mirel::DataFlow::Library::terminate();
    expectInternal([] { Node node("early"); }, "pIndexMap_");
    expectInternal([] { LifecycleProbe::terminateNodeMaps(); }, "pIndexMap_");
    Mirel::DataFlow::Library::initialize();
}

TEST_F(NodeDebugIndex, DebugWritePrintsTheFiveLinesOfALinkedNode) {
    Node sink0("sink"), sink1("sink");
    test::FloatSource src("src", 1.0f);
    OpenNode named("blur");
    test::FloatSink sink("sink");
    test::FloatAddOne lone("lone");
    ConstInput<float> in("in", &named);
    OutputTemplate<float> result("result", &named);
    ConstInput<float> image("image", &sink);
    named.addInput(&in);
    named.addOutput(&result);
    Mirel::DataFlow::Connect(src.out(), in);
    Mirel::DataFlow::Connect(result, image);

    EXPECT_EQ(id(sink), "sink [2]");
    EXPECT_EQ(text(named), "Node blur [0]\n"
                           "  1 inputs\n"
                           "  src [0] : out -> blur [0] : in\n"
                           "  1 outputs\n"
                           "  blur [0] : result -> sink [2] : image\n");
    EXPECT_EQ(text(sink0), "Node sink [0]\n  0 inputs\n  0 outputs\n");
    EXPECT_EQ(text(lone), "Node lone [0]\n"
                          "  1 inputs\n"
                          "  (unlinked) -> lone [0] : in\n"
                          "  1 outputs\n"
                          "  lone [0] : out -> (unlinked)\n");
}

TEST_F(NodeDebugIndex, StreamingUsesTheOverride) {
    struct Custom : Node {
        using Node::Node;
        void debugWrite(std::ostream& os) const override { os << "custom " << debugId(); }
    } node("c");
    EXPECT_EQ(text(node), "custom c [0]");
}

// --- Evaluation hooks --------------------------------------------------------------------------

using NodeEvaluation = test::LibraryTest;

TEST_F(NodeEvaluation, ProcessAcquiresBeforeAndReleasesAfterTheComputation) {
    EventLog log;
    test::RecordingNode node("r", &log, 2, 1);
    node.process();
    EXPECT_EQ(log, (EventLog{"r.in0 acquire", "r.in1 acquire", "r process", "r.in0 release",
                             "r.in1 release"}));
    EXPECT_TRUE(log.size() == 5 && node.processCount() == 1);
}

TEST_F(NodeEvaluation, AFailingComputationSkipsTheRelease) {
    EventLog log;
    struct Failing : test::RecordingNode {
        using RecordingNode::RecordingNode;
        void internalProcess() override { throw std::runtime_error("boom"); }
    } node("f", &log, 1, 0);
    EXPECT_THROW(node.process(), std::runtime_error);
    EXPECT_EQ(log, (EventLog{"f.in0 acquire"}));
}

TEST_F(NodeEvaluation, FlushVisitsInputsThenOutputsAndEndsProcessing) {
    EventLog log;
    test::RecordingNode node("r", &log, 2, 2);
    node.setProcessing(true);
    node.flush();
    EXPECT_EQ(log, (EventLog{"r.in0 flush", "r.in1 flush", "r.out0 flush", "r.out1 flush"}));
    EXPECT_FALSE(node.isProcessing());
}

TEST_F(NodeEvaluation, SlicesAreOptIn) {
    Node node("n");
    Node::BlockedRange range = node.rangeToProcess();
    EXPECT_EQ(range.itemSize, 0u);
    EXPECT_EQ(range.numberOfItems, 0u);
    EXPECT_EQ(range.reserved, 0u);
    expectInternal([&] { node.processSlice(0, 1); }, "0");
}

TEST_F(NodeEvaluation, ReadinessFollowsOutputsAndProducers) {
    EventLog log;
    test::RecordingNode producer("p", &log, 0, 1);
    test::RecordingNode consumer("c", &log, 1, 1);
    test::RecordingNode lonely("l", &log, 1, 0);
    Mirel::DataFlow::Connect(producer.recordingOutput(0), consumer.recordingInput(0));
    float value = 1.0f;

    EXPECT_FALSE(lonely.isReady()) << "an unlinked input is never ready";
    EXPECT_TRUE(producer.isReady());
    EXPECT_FALSE(consumer.isReady()) << "the producer has not delivered";

    producer.recordingOutput(0).setDataPtr(&value);
    EXPECT_FALSE(producer.isReady()) << "an unflushed result blocks its node";
    EXPECT_TRUE(consumer.isReady());

    consumer.recordingOutput(0).setBoundData(&value);
    EXPECT_TRUE(consumer.isReady()) << "bound data does not block";
    producer.recordingOutput(0).setDataPtr(nullptr);
    EXPECT_FALSE(consumer.isReady());
}

TEST_F(NodeEvaluation, ReadinessAndFlushAllocateNothing) {
    test::FloatSource src("src", 2.0f);
    test::FloatSink sink("sink");
    Mirel::DataFlow::Connect(src.out(), sink.in());
    src.process();
    Mirel::Core::failAllocationsAfter(0); // any counted allocation from here on throws
    bool const bReady = sink.isReady() && !src.isReady();
    sink.process(); // the sink only reads: its hooks share the producer's cell
    src.flush();
    sink.flush();
    Mirel::Core::failAllocationsAfter(-1);
    EXPECT_TRUE(bReady);
    EXPECT_EQ(sink.lastValue(), 2.0f);
    EXPECT_TRUE(src.isReady());
}

TEST_F(NodeEvaluation, DisconnectUnlinksEveryPeer) {
    test::FloatSource src("src", 1.0f);
    test::FloatAddOne mid("mid");
    test::FloatSink sink("sink");
    Mirel::DataFlow::Connect(src.out(), mid.in());
    Mirel::DataFlow::Connect(mid.out(), sink.in());
    mid.disconnect();
    EXPECT_EQ(src.out().connectedInput(), nullptr);
    EXPECT_EQ(mid.in().connectedOutput(), nullptr);
    EXPECT_EQ(mid.out().connectedInput(), nullptr);
    EXPECT_EQ(sink.in().connectedOutput(), nullptr);
    mid.disconnect(); // again, with nothing linked
}

TEST_F(NodeEvaluation, AValueTravelsThroughAChain) {
    EventLog log;
    test::FloatSource src("src", 1.5f, &log);
    test::FloatAddOne mid("mid", &log);
    test::FloatSink sink("sink", &log);
    Mirel::DataFlow::Connect(src.out(), mid.in());
    Mirel::DataFlow::Connect(mid.out(), sink.in());
    for (Node* pNode :
         {static_cast<Node*>(&src), static_cast<Node*>(&mid), static_cast<Node*>(&sink)}) {
        ASSERT_TRUE(pNode->isReady()) << pNode->debugId().c_str();
        pNode->process();
    }
    EXPECT_EQ(sink.lastValue(), 2.5f);
    EXPECT_EQ(log, (EventLog{"src process", "mid process", "sink process"}));
    src.flush();
    mid.flush();
    sink.flush();
    EXPECT_FALSE(src.out().hasData());
    EXPECT_FALSE(mid.out().hasData());
}

// --- Dirty state -------------------------------------------------------------------------------

using NodeDirtyState = test::LibraryTest;

TEST_F(NodeDirtyState, HasDirtyParametersCleansEveryDirtyParameterInOneCall) {
    ParamNode node("n");
    node.oBias_.setCleanSimpleCaching();
    EXPECT_TRUE(node.hasDirtyParameters());
    EXPECT_FALSE(node.oGain_.isDirty());
    EXPECT_FALSE(node.oBias_.isDirty()) << "the scan must not stop at the first dirty one";
    EXPECT_TRUE(node.oGain_.isDirtySimpleCaching()) << "other channels are left alone";
    EXPECT_FALSE(node.hasDirtyParameters());
    node.oBias_.setValue(4.0f);
    EXPECT_TRUE(node.hasDirtyParameters());
    EXPECT_FALSE(node.hasDirtyParameters());
}

TEST_F(NodeDirtyState, SimpleCachingHelpers) {
    ParamNode node("n");
    cleanAll(node.oGain_);
    EXPECT_TRUE(node.hasDirtyParametersSimpleCaching()) << "bias is still dirty";
    EXPECT_TRUE(node.oBias_.isDirtySimpleCaching()) << "asking changes nothing";
    node.setCleanAllParametersSimpleCaching();
    EXPECT_FALSE(node.hasDirtyParametersSimpleCaching());
    EXPECT_TRUE(node.oBias_.isDirty());
}

TEST_F(NodeDirtyState, DirtinessFlowsFromProducerToConsumer) {
    ParamNode producer("p");
    ParamNode consumer("c");
    Mirel::DataFlow::Connect(producer.oOut_, consumer.oIn_);
    EXPECT_FALSE(producer.hasDirtyProducer()) << "an unlinked input has no dirty producer";

    producer.updateDirtyState(); // new parameters are dirty
    EXPECT_TRUE(producer.isDirty());
    EXPECT_FALSE(producer.oGain_.isDirtySimpleCaching());
    EXPECT_TRUE(consumer.hasDirtyProducer());

    // A dirty producer decides at once, yet every parameter's simple-caching change is consumed.
    consumer.updateDirtyState();
    EXPECT_TRUE(consumer.isDirty());
    EXPECT_FALSE(consumer.oGain_.isDirtySimpleCaching());
    EXPECT_FALSE(consumer.oBias_.isDirtySimpleCaching());
    EXPECT_TRUE(consumer.oGain_.isDirty()) << "only the simple-caching channel is consumed";

    // The consumer stays dirty until it updates again after its producer turned clean.
    producer.updateDirtyState();
    EXPECT_FALSE(producer.isDirty());
    EXPECT_TRUE(consumer.isDirty());
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.isDirty());

    // A real change of a parameter marks its node again; an equal value does not.
    consumer.oBias_.setValue(0.0f);
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.isDirty());
    consumer.oBias_.setValue(0.5f);
    consumer.updateDirtyState();
    EXPECT_TRUE(consumer.isDirty());
}

TEST_F(NodeDirtyState, KeepsCacheWhenAskedOrWhenACleanNodeFeedsADirtyOne) {
    ParamNode producer("p");
    ParamNode consumer("c");
    OutputConnector& out = producer.oOut_;
    EXPECT_FALSE(out.keepsCache()) << "unlinked output of a clean node";
    out.keepCache(true);
    EXPECT_TRUE(out.keepsCache());
    out.keepCache(false);

    Mirel::DataFlow::Connect(producer.oOut_, consumer.oIn_);
    EXPECT_FALSE(out.keepsCache()) << "clean feeds clean";
    consumer.updateDirtyState(); // its new parameters make it dirty
    ASSERT_TRUE(consumer.isDirty());
    EXPECT_TRUE(out.keepsCache()) << "clean feeds dirty: the consumer will run again";
    EXPECT_TRUE(producer.keepsCache());
    EXPECT_FALSE(Node("bare").keepsCache()) << "no outputs";

    producer.updateDirtyState();
    ASSERT_TRUE(producer.isDirty());
    EXPECT_FALSE(out.keepsCache()) << "a dirty node's results are stale";
    out.keepCache(true);
    EXPECT_TRUE(out.keepsCache()) << "an explicit request wins";
    out.keepCache(false);

    // The typed output's flush follows the answer.
    producer.updateDirtyState();
    ASSERT_FALSE(producer.isDirty());
    producer.oOut_.setData(MIREL_NEW float(3.0f));
    producer.flush();
    EXPECT_TRUE(producer.oOut_.hasData()) << "kept for the dirty consumer";
    consumer.updateDirtyState();
    ASSERT_FALSE(consumer.isDirty());
    producer.flush();
    EXPECT_FALSE(producer.oOut_.hasData());
}

} // namespace
