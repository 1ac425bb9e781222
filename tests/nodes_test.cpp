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

// --- Structure ---------------------------------------------------------------------------------

using NodeTest = test::LibraryTest;

TEST_F(NodeTest, ANewNodeIsCleanReadyAndSlicesNothing) {
    Node node("blur");
    EXPECT_EQ(node.controller(), nullptr);
    EXPECT_FALSE(node.isDirty());
    EXPECT_TRUE(node.isReady()) << "a node without connectors is ready";
    EXPECT_FALSE(node.canEmit());
    EXPECT_TRUE(node.hasBufferChanged());
    Node::BlockedRange range = node.rangeToProcess();
    EXPECT_EQ(range.itemSize + range.numberOfItems + range.reserved, 0u);
    expectInternal([&] { node.processSlice(0, 1); }, "0");
}

TEST_F(NodeTest, LookupsRefuseBadIndicesAndFindTheFirstOfANameOrNothing) {
    ParamNode node("n");
    Node const& constNode = node;
    std::string what =
        expectInternal([&] { node.input(1); }, "Range error: iInput < aInputs_.size()");
    EXPECT_NE(what.find("data_flow/nodes/Node.cpp"), std::string::npos) << what;
    expectInternal([&] { constNode.input(1); }, "Range error: iInput < aInputs_.size()");
    expectInternal([&] { node.output(1); }, "Range error: iOutput < aOutputs_.size()");
    expectInternal([&] { constNode.output(7); }, "Range error: iOutput < aOutputs_.size()");
    expectInternal([&] { node.parameter(2); }, "Range error: iParameter < size()");

    ConstInput<float> second("in", &node);
    node.addInput(&second);
    Parameter<float> p2(2.0f, "gain");
    node.registerParameter(&p2);
    EXPECT_EQ(node.input(1), &second);
    EXPECT_EQ(constNode.input(String("in")), &node.oIn_);
    EXPECT_EQ(node.output(String("out")), &node.oOut_);
    EXPECT_EQ(node.parameter(String("gain")), &node.oGain_);
    EXPECT_EQ(node.parameter(2), &p2);
    EXPECT_EQ(node.input(String("In")), nullptr) << "names are case-sensitive";
    EXPECT_EQ(node.output(String("in")), nullptr);
    EXPECT_EQ(node.parameter(String("q")), nullptr);
    EXPECT_TRUE(node.hasUniqueName(&p2));
}

TEST_F(NodeTest, DestructionLeavesConnectorsAloneAndDisconnectUnlinksEveryPeer) {
    // The connectors and the parameter outlive the node: the node must neither delete them (the
    // leak and sanitizer runs would see a double free) nor unlink them.
    ConstInput<float> in("in", nullptr), consumer("c", nullptr);
    OutputTemplate<float> out("out", nullptr), producer("p", nullptr);
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
    EXPECT_EQ(out.connectedInput(), &consumer);

    OpenNode other("m");
    other.addInput(&in);
    other.addOutput(&out);
    other.disconnect();
    EXPECT_EQ(producer.connectedInput(), nullptr);
    EXPECT_EQ(in.connectedOutput(), nullptr);
    EXPECT_EQ(out.connectedInput(), nullptr);
    EXPECT_EQ(consumer.connectedOutput(), nullptr);
    other.disconnect(); // again, with nothing linked
}

TEST_F(NodeTest, DisconnectUnlinksAnOutputWhoseInputLetGoAndLeavesThatInputsNewLink) {
    OutputTemplate<float> out("out", nullptr), other("other", nullptr);
    ConstInput<float> x("x", nullptr);
    OpenNode node("n");
    node.addOutput(&out);
    Mirel::DataFlow::Connect(out, x);
    x.connect(nullptr); // the output still points at x
    Mirel::DataFlow::Connect(other, x);
    node.disconnect();
    EXPECT_EQ(out.connectedInput(), nullptr);
    EXPECT_EQ(x.connectedOutput(), &other);
    EXPECT_EQ(other.connectedInput(), &x);
}

TEST_F(NodeTest, ConvertToConnectorAppendsTheProxyAfterTheInputs) {
    ParamNode node("n");
    Parameter<int> count(3, "count");
    node.registerParameter(&count);
    InputConnector* pProxy = node.convertToConnector(&count);
    ASSERT_EQ(node.numberOfInputs(), 2u);
    EXPECT_EQ(node.input(1), pProxy);
    EXPECT_EQ(pProxy->name(), String("count"));
    EXPECT_EQ(pProxy->node(), &node);
    EXPECT_STREQ(pProxy->datatype().name(), count.datatype().name());
    EXPECT_EQ(node.numberOfParameters(), 3u) << "the parameter stays in the set";
    Mirel::Core::destroy(pProxy); // the caller owns the proxy
}

// --- Debug index and debug text ----------------------------------------------------------------

TEST_F(NodeTest, OrdinalsArePerNameAndNeverReused) {
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

TEST_F(NodeTest, MisuseOfTheIndexIsRefused) {
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

    Mirel::DataFlow::Library::terminate();
    expectInternal([] { Node early("early"); }, "pIndexMap_");
    expectInternal([] { LifecycleProbe::terminateNodeMaps(); }, "pIndexMap_");
    Mirel::DataFlow::Library::initialize();
}

TEST_F(NodeTest, DebugWritePrintsTheFiveLinesOfALinkedNodeOrTheOverride) {
    Node empty("sink");
    test::FloatSource src("src", 1.0f);
    ParamNode named("blur");
    test::FloatSink sink("sink");
    test::FloatAddOne lone("lone");
    Mirel::DataFlow::Connect(src.out(), named.oIn_);
    Mirel::DataFlow::Connect(named.oOut_, sink.in());

    EXPECT_EQ(text(named), "Node blur [0]\n"
                           "  1 inputs\n"
                           "  src [0] : out -> blur [0] : in\n"
                           "  1 outputs\n"
                           "  blur [0] : out -> sink [1] : in\n");
    EXPECT_EQ(text(empty), "Node sink [0]\n  0 inputs\n  0 outputs\n");
    EXPECT_EQ(text(lone), "Node lone [0]\n"
                          "  1 inputs\n"
                          "  (unlinked) -> lone [0] : in\n"
                          "  1 outputs\n"
                          "  lone [0] : out -> (unlinked)\n");

    struct Custom : Node {
        using Node::Node;
        void debugWrite(std::ostream& os) const override { os << "custom " << debugId(); }
    } custom("c");
    EXPECT_EQ(text(custom), "custom c [0]");
}

// --- Evaluation hooks --------------------------------------------------------------------------

TEST_F(NodeTest, ProcessAndFlushRunTheHooksInOrder) {
    EventLog log;
    test::RecordingNode node("r", &log, 2, 2);
    node.process();
    EXPECT_EQ(log, (EventLog{"r.in0 acquire", "r.in1 acquire", "r process", "r.in0 release",
                             "r.in1 release"}));
    log.clear();
    node.setProcessing(true);
    node.flush();
    EXPECT_EQ(log, (EventLog{"r.in0 flush", "r.in1 flush", "r.out0 flush", "r.out1 flush"}));
    EXPECT_FALSE(node.isProcessing());

    log.clear();
    struct Failing : test::RecordingNode {
        using RecordingNode::RecordingNode;
        void internalProcess() override { throw std::runtime_error("boom"); }
    } failing("f", &log, 1, 0);
    EXPECT_THROW(failing.process(), std::runtime_error);
    EXPECT_EQ(log, (EventLog{"f.in0 acquire"})) << "a failing computation skips the release";
}

TEST_F(NodeTest, ReadinessFollowsOutputsAndProducersWithoutAllocating) {
    test::FloatSource src("src", 2.0f);
    test::FloatSink sink("sink"), lonely("lonely");
    Mirel::DataFlow::Connect(src.out(), sink.in());
    EXPECT_FALSE(lonely.isReady()) << "an unlinked input is never ready";
    EXPECT_TRUE(src.isReady());
    EXPECT_FALSE(sink.isReady()) << "the producer has not delivered";
    src.process();

    Mirel::Core::failAllocationsAfter(0); // readiness, the hooks and flush allocate nothing
    EXPECT_FALSE(src.isReady()) << "an unflushed result blocks its node";
    EXPECT_TRUE(sink.isReady());
    sink.process(); // the sink only reads: its hooks share the producer's cell
    src.flush();
    sink.flush();
    EXPECT_TRUE(src.isReady());
    EXPECT_FALSE(sink.isReady());
    Mirel::Core::failAllocationsAfter(-1);
    EXPECT_EQ(sink.lastValue(), 2.0f);

    float fBound = 1.0f;
    src.out().setBoundData(&fBound);
    EXPECT_TRUE(src.isReady()) << "bound data does not block";
    EXPECT_TRUE(sink.isReady());
}

// --- Dirty state -------------------------------------------------------------------------------

TEST_F(NodeTest, ParameterScansCleanTheirOwnChannelOnly) {
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

    node.oGain_.setCleanSimpleCaching();
    EXPECT_TRUE(node.hasDirtyParametersSimpleCaching()) << "bias is still dirty";
    EXPECT_TRUE(node.oBias_.isDirtySimpleCaching()) << "asking changes nothing";
    node.setCleanAllParametersSimpleCaching();
    EXPECT_FALSE(node.hasDirtyParametersSimpleCaching());
    EXPECT_TRUE(node.oBias_.isDirtyLumet()) << "only the simple-caching channel is lowered";
}

TEST_F(NodeTest, DirtinessFlowsFromProducerToConsumer) {
    ParamNode producer("p");
    ParamNode consumer("c");
    Mirel::DataFlow::Connect(producer.oOut_, consumer.oIn_);
    EXPECT_FALSE(producer.hasDirtyProducer()) << "an unlinked input has no dirty producer";
    consumer.setCleanAllParametersSimpleCaching(); // only the producer can make it dirty now
    producer.updateDirtyState();                   // new parameters are dirty
    EXPECT_TRUE(producer.isDirty());
    EXPECT_FALSE(producer.oGain_.isDirtySimpleCaching());
    consumer.updateDirtyState();
    EXPECT_TRUE(consumer.isDirty());

    // A dirty producer decides at once, yet every parameter's simple-caching change is consumed.
    consumer.oGain_.setValue(2.0f);
    consumer.oBias_.setValue(3.0f);
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.oGain_.isDirtySimpleCaching());
    EXPECT_FALSE(consumer.oBias_.isDirtySimpleCaching());
    EXPECT_TRUE(consumer.oGain_.isDirty()) << "only the simple-caching channel is consumed";

    // The consumer stays dirty until it updates again after its producer turned clean.
    producer.updateDirtyState();
    EXPECT_FALSE(producer.isDirty());
    EXPECT_TRUE(consumer.isDirty());
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.isDirty());
}

TEST_F(NodeTest, KeepsCacheWhenAskedOrWhenACleanNodeFeedsADirtyOne) {
    ParamNode producer("p");
    ParamNode consumer("c");
    OutputConnector& out = producer.oOut_;
    EXPECT_FALSE(out.keepsCache()) << "unlinked output of a clean node";
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
