// Node: structure, debug index and text, evaluation hooks, readiness, dirty state.

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/parameters/Parameter.h"

#include <sstream>

namespace {

using Mirel::String;
using namespace Mirel::DataFlow;
using Probe = Mirel::DataFlow::internal::LifecycleProbe;
using test::EventLog;
using test::expectInternal;

std::string id(Node const& node) {
    return node.debugId().c_str();
}

//! A node whose protected members are open to the tests, with one float input "in", one float
//! output "out" and two member parameters "gain" and "bias".
class OpenNode : public Node {
public:
    using Node::addInput;
    using Node::addOutput;
    using Node::hasDirtyParametersSimpleCaching;
    using Node::hasDirtyProducer;
    using Node::registerParameter;
    using Node::setCleanAllParametersSimpleCaching;

    explicit OpenNode(String const& name)
        : Node(name) {
        addInput(&in);
        addOutput(&out);
        registerParameter(&gain);
        registerParameter(&bias);
    }
    ConstInput<float> in{"in", this};
    OutputTemplate<float> out{"out", this};
    Parameter<float> gain{1.0f, "gain"}, bias{0.0f, "bias"};
};

using NodeTest = test::LibraryTest;

TEST_F(NodeTest, LookupsRefuseBadIndicesAndFindTheFirstOfANameOrNothing) {
    Node bare("blur");
    EXPECT_TRUE(bare.isReady()) << "a node without connectors is ready";
    expectInternal([&] { bare.processSlice(0, 1); }, "0");

    OpenNode node("n");
    Node const& constNode = node;
    expectInternal([&] { constNode.input(1); }, "Range error: iInput < aInputs_.size()",
                   "data_flow/nodes/Node.cpp");
    expectInternal([&] { node.output(1); }, "Range error: iOutput < aOutputs_.size()");
    expectInternal([&] { node.parameter(2); }, "Range error: iParameter < size()");
    ConstInput<float> second("in", &node);
    node.addInput(&second);
    Parameter<float> p2(2.0f, "gain");
    node.registerParameter(&p2);
    EXPECT_EQ(node.input(1), &second);
    EXPECT_EQ(constNode.input(String("in")), &node.in);
    EXPECT_EQ(node.parameter(String("gain")), &node.gain);
    EXPECT_EQ(node.input(String("In")), nullptr) << "names are case-sensitive";

    // A proxy input comes after the inputs; the parameter stays in the set; the caller owns it.
    InputConnector* pProxy = node.convertToConnector(&p2);
    EXPECT_EQ(node.input(2), pProxy);
    EXPECT_EQ(pProxy->node(), &node);
    EXPECT_EQ(node.numberOfParameters(), 3u);
    Mirel::Core::destroy(pProxy);
}

TEST_F(NodeTest, DestructionLeavesConnectorsAloneAndDisconnectUnlinksEveryPeer) {
    // The connectors and the parameter outlive the node: the node must neither delete them (the
    // leak and sanitizer runs would see a double free) nor unlink them.
    ConstInput<float> in("in", nullptr), consumer("c", nullptr), x("x", nullptr);
    OutputTemplate<float> out("out", nullptr), producer("p", nullptr), other("other", nullptr);
    Parameter<float> parameter(2.0f, "gain");
    {
        OpenNode node("n");
        node.addInput(&in);
        node.addOutput(&out);
        node.registerParameter(&parameter);
        Connect(producer, in);
        Connect(out, consumer);
    }
    EXPECT_EQ(in.connectedOutput(), &producer);
    EXPECT_EQ(out.connectedInput(), &consumer);

    OpenNode node("m");
    node.addInput(&in);
    node.addOutput(&out);
    node.disconnect();
    EXPECT_EQ(producer.connectedInput(), nullptr);
    EXPECT_EQ(in.connectedOutput(), nullptr);
    EXPECT_EQ(out.connectedInput(), nullptr);
    EXPECT_EQ(consumer.connectedOutput(), nullptr);

    // An output whose input let go is unlinked too; the input's new link stays.
    Connect(out, x);
    x.connect(nullptr); // the output still points at x
    Connect(other, x);
    node.disconnect();
    EXPECT_EQ(out.connectedInput(), nullptr);
    EXPECT_EQ(x.connectedOutput(), &other);
    EXPECT_EQ(other.connectedInput(), &x);
}

TEST_F(NodeTest, OrdinalsArePerNameAndNeverReusedAndTheIndexRefusesMisuse) {
    auto a = std::make_unique<Node>("blur");
    Node b("blur"), c("sharpen");
    EXPECT_EQ(id(*a) + id(b) + id(c), "blur [0]blur [1]sharpen [0]");
    a.reset();
    Node d("blur");
    EXPECT_EQ(id(d), "blur [2]") << "a destroyed node's ordinal is not given out again";
    for (char const* name : {"blur", "sharpen", "sharpen"})
        c.setName(name); // renaming, also to the same name, gives a fresh ordinal
    EXPECT_EQ(id(c), "sharpen [2]");

    expectInternal([] { Probe::initializeNodeMaps(); }, "!pIndexMap_");
    expectInternal([&] { Probe::debugAddNode(&b, "other"); },
                   "pIndexMap_->find( pNode ) == pIndexMap_->end()");
    EXPECT_EQ(id(b), "blur [1]") << "a refused registration changes nothing";
    Probe::debugRemoveNode(&b);
    expectInternal([&] { b.debugId(); }, "pIndexMap_->find( pNode ) != pIndexMap_->end()");
    Probe::debugAddNode(&b, b.name());
    EXPECT_EQ(id(b), "blur [4]");

    Library::terminate();
    expectInternal([] { Node early("early"); }, "pIndexMap_");
    Library::initialize();
}

std::string text(Node const& node) {
    std::ostringstream os;
    os << node;
    return os.str();
}

TEST_F(NodeTest, DebugWritePrintsTheFiveLinesOfALinkedNode) {
    test::HookNode src("src", 0, 1), sink("sink", 1, 0), lone("lone", 1, 1);
    OpenNode named("blur");
    Node empty("sink");
    Connect(src.out(), named.in);
    Connect(named.out, sink.in());
    EXPECT_EQ(text(named), "Node blur [0]\n  1 inputs\n  src [0] : out0 -> blur [0] : in\n"
                           "  1 outputs\n  blur [0] : out -> sink [0] : in0\n");
    EXPECT_EQ(text(empty), "Node sink [1]\n  0 inputs\n  0 outputs\n");
    EXPECT_EQ(text(lone), "Node lone [0]\n  1 inputs\n  (unlinked) -> lone [0] : in0\n"
                          "  1 outputs\n  lone [0] : out0 -> (unlinked)\n");
}

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
}

TEST_F(NodeTest, ReadinessFollowsOutputsAndProducersWithoutAllocating) {
    test::HookNode src("src", 0, 1), sink("sink", 1, 0), lonely("lonely", 1, 0);
    test::link(src, sink);
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
    EXPECT_EQ(sink.result(), 2.0f);
    float fBound = 1.0f;
    src.out().setBoundData(&fBound);
    EXPECT_TRUE(src.isReady()) << "bound data does not block";
    EXPECT_TRUE(sink.isReady());
}

TEST_F(NodeTest, ParameterScansCleanTheirOwnChannelOnly) {
    OpenNode node("n");
    node.bias.setCleanSimpleCaching();
    EXPECT_TRUE(node.hasDirtyParameters());
    EXPECT_FALSE(node.gain.isDirty());
    EXPECT_FALSE(node.bias.isDirty()) << "the scan must not stop at the first dirty one";
    EXPECT_TRUE(node.gain.isDirtySimpleCaching()) << "other channels are left alone";
    EXPECT_FALSE(node.hasDirtyParameters());
    node.bias.setValue(4.0f);
    EXPECT_TRUE(node.hasDirtyParameters());
    EXPECT_FALSE(node.hasDirtyParameters());

    node.gain.setCleanSimpleCaching();
    EXPECT_TRUE(node.hasDirtyParametersSimpleCaching()) << "bias is still dirty";
    EXPECT_TRUE(node.bias.isDirtySimpleCaching()) << "asking changes nothing";
    node.setCleanAllParametersSimpleCaching();
    EXPECT_FALSE(node.hasDirtyParametersSimpleCaching());
    EXPECT_TRUE(node.bias.isDirtyLumet()) << "only the simple-caching channel is lowered";
}

TEST_F(NodeTest, DirtinessFlowsFromProducerToConsumerWhichKeepsTheProducersCache) {
    OpenNode producer("p"), consumer("c");
    Connect(producer.out, consumer.in);
    EXPECT_FALSE(producer.out.keepsCache()) << "clean feeds clean";
    EXPECT_FALSE(producer.hasDirtyProducer()) << "an unlinked input has no dirty producer";
    consumer.setCleanAllParametersSimpleCaching(); // only the producer can make it dirty now
    producer.updateDirtyState();                   // new parameters are dirty
    EXPECT_TRUE(producer.isDirty());
    EXPECT_FALSE(producer.gain.isDirtySimpleCaching());
    EXPECT_FALSE(producer.out.keepsCache()) << "a dirty node's results are stale";
    consumer.updateDirtyState();
    EXPECT_TRUE(consumer.isDirty());

    // A dirty producer decides at once, yet every parameter's simple-caching change is consumed.
    consumer.gain.setValue(2.0f);
    consumer.bias.setValue(3.0f);
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.gain.isDirtySimpleCaching() || consumer.bias.isDirtySimpleCaching());
    EXPECT_TRUE(consumer.gain.isDirty()) << "only the simple-caching channel is consumed";

    // The consumer stays dirty until it updates again after its producer turned clean; until
    // then the clean producer keeps its results for it, also across a flush.
    producer.updateDirtyState();
    EXPECT_FALSE(producer.isDirty());
    EXPECT_TRUE(consumer.isDirty());
    EXPECT_TRUE(producer.out.keepsCache() && producer.keepsCache());
    producer.out.setData(MIREL_NEW float(3.0f));
    producer.flush();
    EXPECT_TRUE(producer.out.hasData()) << "kept for the dirty consumer";
    consumer.updateDirtyState();
    EXPECT_FALSE(consumer.isDirty());
    producer.flush();
    EXPECT_FALSE(producer.out.hasData());
}

} // namespace
