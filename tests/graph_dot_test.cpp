// The Graphviz picture of a controller's graph: exact text, so that the output stays stable and
// a half-built graph is drawn rather than refused.

#include "support/TestNodes.h"

#include "data_flow/controllers/Controller.h"
#include "data_flow/controllers/GraphDot.h"

#include <sstream>
#include <string>

namespace {

using Mirel::DataFlow::Connect;
using Mirel::DataFlow::Controller;
using Mirel::DataFlow::writeDot;

std::string dot(Controller const& controller) {
    std::ostringstream os;
    writeDot(os, controller);
    return os.str();
}

constexpr char const* kHead = "digraph data_flow {\n"
                              "  rankdir=LR;\n"
                              "  node [shape=box];\n";

class GraphDotTest : public test::LibraryTest {};

TEST_F(GraphDotTest, ChainGivesOneVertexPerNodeAndOneEdgePerLinkWithTheSinkMarked) {
    test::FloatSource src("src", 1.0f);
    test::FloatAddOne add("add");
    test::FloatSink sink("sink");
    Connect(src.out(), add.in());
    Connect(add.out(), sink.in());
    {
        Controller controller;
        controller.addNode(&src);
        controller.addNode(&add);
        controller.addNode(&sink);
        controller.setSinkNode(&sink);
        EXPECT_EQ(dot(controller), std::string(kHead) +
                                       "  n0 [label=\"src [0]\"];\n"
                                       "  n1 [label=\"add [0]\"];\n"
                                       "  n2 [label=\"sink [0]\", peripheries=2];\n"
                                       "  n0 -> n1 [label=\"out -> in\"];\n"
                                       "  n1 -> n2 [label=\"out -> in\"];\n"
                                       "}\n");
        // Drawing reads the graph only: an evaluation afterwards still runs.
        controller.process();
        EXPECT_EQ(sink.lastValue(), 2.0f);
        controller.flushGraph();
    }
    add.disconnect();
}

TEST_F(GraphDotTest, UnlinkedConnectorsAreDrawnAsDashedEdgesToPoints) {
    test::FloatAddOne add("add");
    test::FloatSink sink("sink");
    Controller controller;
    controller.addNode(&add);
    controller.addNode(&sink);
    EXPECT_EQ(dot(controller), std::string(kHead) +
                                   "  n0 [label=\"add [0]\"];\n"
                                   "  n1 [label=\"sink [0]\"];\n"
                                   "  p0 [shape=point];\n"
                                   "  p0 -> n0 [style=dashed, label=\"(unlinked) -> in\"];\n"
                                   "  p1 [shape=point];\n"
                                   "  n0 -> p1 [style=dashed, label=\"out -> (unlinked)\"];\n"
                                   "  p2 [shape=point];\n"
                                   "  p2 -> n1 [style=dashed, label=\"(unlinked) -> in\"];\n"
                                   "}\n");
}

TEST_F(GraphDotTest, OutsideNodesDuplicatesAndAnUnlistedSinkAreEachDrawnOnce) {
    // src feeds the graph but was never added; sink is the sink but not in the list; add was
    // added twice.
    test::FloatSource src("src", 1.0f);
    test::FloatAddOne add("add");
    test::FloatSink sink("sink");
    Connect(src.out(), add.in());
    Connect(add.out(), sink.in());
    {
        Controller controller;
        controller.addNode(&add);
        controller.addNode(&add);
        controller.setSinkNode(&sink);
        EXPECT_EQ(dot(controller), std::string(kHead) +
                                       "  n0 [label=\"add [0]\"];\n"
                                       "  n1 [label=\"sink [0]\", peripheries=2];\n"
                                       "  n2 [label=\"src [0]\", style=dashed];\n"
                                       "  n2 -> n0 [label=\"out -> in\"];\n"
                                       "  n0 -> n1 [label=\"out -> in\"];\n"
                                       "}\n");
    }
    add.disconnect();
}

TEST_F(GraphDotTest, LabelsUseDebugIdentitiesAndAreEscaped) {
    test::FloatSink first("say \"hi\"\\");
    test::FloatSink second("say \"hi\"\\");
    Controller controller;
    controller.addNode(&second);
    controller.addNode(&first);
    EXPECT_EQ(dot(controller), std::string(kHead) +
                                   "  n0 [label=\"say \\\"hi\\\"\\\\ [1]\"];\n"
                                   "  n1 [label=\"say \\\"hi\\\"\\\\ [0]\"];\n"
                                   "  p0 [shape=point];\n"
                                   "  p0 -> n0 [style=dashed, label=\"(unlinked) -> in\"];\n"
                                   "  p1 [shape=point];\n"
                                   "  p1 -> n1 [style=dashed, label=\"(unlinked) -> in\"];\n"
                                   "}\n");
}

TEST_F(GraphDotTest, EmptyControllerGivesAnEmptyGraph) {
    Controller controller;
    EXPECT_EQ(dot(controller), std::string(kHead) + "}\n");
}

} // namespace
