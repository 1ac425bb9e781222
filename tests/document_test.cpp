// Graph documents: value round trips for every value type, the problems a broken document
// reports, and edits and runs through a Graph.

#include "support/TestNodes.h"

#include "document/Graph.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/parameters/Parameter.h"

#include <cmath>
#include <cstring>
#include <limits>

using namespace Mirel::DataFlow;
using namespace Mirel::DataFlow::Document;
using Mirel::FloatVector;
using Mirel::String;

namespace {

float const kNaN = std::numeric_limits<float>::quiet_NaN();
float const kInf = std::numeric_limits<float>::infinity();

//! float out "out" from its parameter "value".
class Source : public Node {
public:
    Source()
        : Node("source")
        , out_("out", this)
        , value_(1.0f, "value") {
        addOutput(&out_);
        registerParameter(&value_);
    }

protected:
    void internalProcess() override { out_.publish(value_.value()); }

private:
    OutputTemplate<float> out_;
    Parameter<float> value_;
};

//! out = in * gain; "fail" != 0 makes it throw.
class Scale : public Node {
public:
    Scale()
        : Node("scale")
        , in_("in", this)
        , out_("out", this)
        , gain_(1.0f, 0.0f, 10.0f, "gain")
        , count_(0u, "count")
        , fail_(0, "fail") {
        addInput(&in_);
        addOutput(&out_);
        registerParameter(&gain_);
        registerParameter(&count_);
        registerParameter(&fail_);
    }
    int runs = 0;

protected:
    void internalProcess() override {
        ++runs;
        MIREL_THROW_UNLESS(fail_.value() == 0, Mirel::ParameterException, "fail == 0");
        out_.publish(in_.value() * gain_.value());
    }

private:
    ConstInput<float> in_;
    OutputTemplate<float> out_;
    IntervalParameter<float> gain_;
    Parameter<unsigned int> count_;
    Parameter<int> fail_;
};

//! A FloatVector input, for incompatible links.
class Picture : public Node {
public:
    Picture()
        : Node("picture")
        , image_("image", this) {
        addInput(&image_);
    }

private:
    ConstInput<FloatVector> image_;
};

template <class T>
void addParameter(Node& node) {
    node.parameters().insert(Parameter<T>::create(T(), typeName(typeid(T)).c_str()));
}

//! One parameter of every value type, named after its type.
class Values : public Node {
public:
    Values()
        : Node("values") {
#define ADD_PARAMETER(T) addParameter<T>(*this);
        DATA_FLOW_VALUE_TYPES(ADD_PARAMETER)
#undef ADD_PARAMETER
    }
};

template <class N>
Node* make(NodeTargetType) {
    return MIREL_NEW N();
}

void registerKinds() {
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    librarian.add(&make<Source>, MIREL_NEW NodeMetaData("Source", "t", "v", 1, "", "src"));
    librarian.add(&make<Source>, MIREL_NEW NodeMetaData("Source", "t", "v", 2, "", "src2"));
    librarian.add(&make<Scale>, MIREL_NEW NodeMetaData("Scale", "t", "v", 1, "", "scale"));
    librarian.add(&make<Picture>, MIREL_NEW NodeMetaData("Picture", "t", "v", 1, "", "picture"));
    librarian.add(&make<Values>, MIREL_NEW NodeMetaData("Values", "t", "v", 1, "", "values"));
}

class DocumentTest : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        registerKinds();
    }
};

// ---- Round trip of every value type, with the values that are easy to lose on the way.

template <class T>
T edgeValue() {
    using namespace Mirel;
    if constexpr (std::is_same<T, float>::value)
        return -1e-45f; // -0.0 equals the default 0.0, so setValue would keep the default
    else if constexpr (std::is_same<T, String>::value)
        return T("quote \" backslash \\ newline \n tab \t non-ASCII \xc3\xbc \xe6\xbc\xa2");
    else if constexpr (std::is_same<T, bool>::value)
        return true;
    else if constexpr (std::is_arithmetic<T>::value)
        return std::is_signed<T>::value ? std::numeric_limits<T>::min()
                                        : std::numeric_limits<T>::max();
    else if constexpr (std::is_same<T, float4>::value)
        return T(kNaN, kInf, -kInf, -0.0f);
    else if constexpr (std::is_same<T, FloatVector>::value)
        return T{kNaN, 0.1f, 1e-45f, std::numeric_limits<float>::max(), -kInf};
    else if constexpr (std::is_same<T, Float2Vector>::value)
        return T();
    else if constexpr (std::is_same<T, float3x3>::value) {
        T t;
        t.m[2][1] = 1.0f / 3.0f;
        return t;
    } else
        return test::otherValue<T>();
}

//! Bit-for-bit equality, so that NaN equals NaN and -0.0 differs from 0.0.
template <class T>
bool sameBits(T const& a, T const& b) {
    if constexpr (std::is_same<T, String>::value)
        return a == b;
    else if constexpr (test::detail::HasX<T>::value || test::detail::HasM<T>::value ||
                       std::is_arithmetic<T>::value)
        return std::memcmp(&a, &b, sizeof(T)) == 0;
    else
        return a.size() == b.size() &&
               (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0);
}

template <class T>
void setEdge(Node& node) {
    auto parameter = node.parameters().getParameter(typeName(typeid(T)).c_str());
    static_cast<Parameter<T>&>(*parameter).setValue(edgeValue<T>());
}

template <class T>
void expectEdge(Node const& node) {
    auto const parameter = node.parameters().getParameter(typeName(typeid(T)).c_str());
    EXPECT_TRUE(sameBits(parameter->valueAs<T>(), edgeValue<T>())) << typeName(typeid(T));
}

TEST_F(DocumentTest, SaveThenLoadKeepsEveryValueTypeExactly) {
    std::string text;
    {
        Graph graph;
        Node& node = graph.add("values", "v");
#define SET_EDGE(T) setEdge<T>(node);
        DATA_FLOW_VALUE_TYPES(SET_EDGE)
#undef SET_EDGE
        graph.meta() = {{"editor", {{"positions", {{"v", {120, 40}}}}}}};
        text = graph.toString();
    }
    std::unique_ptr<Graph> loaded = Graph::fromString(text);
#define EXPECT_EDGE(T) expectEdge<T>(*loaded->node("v"));
    DATA_FLOW_VALUE_TYPES(EXPECT_EDGE)
#undef EXPECT_EDGE
    EXPECT_EQ(loaded->toString(), text);
    // A float is written as the shortest text that reads back the same.
    EXPECT_NE(text.find(" 0.1,\n"), std::string::npos) << text;
}

// ---- Broken documents: every problem with its pointer, all at once, nothing left behind.

std::string document(std::string const& nodes, std::string const& links = "",
                     std::string const& more = "") {
    return R"({"format": "data_flow.graph", "version": 1, "nodes": [)" + nodes +
           R"(], "links": [)" + links + "]" + more + "}";
}

std::string const kChain = R"({"id": "a", "kind": {"clientID": "src"}},
                              {"id": "b", "kind": {"clientID": "scale"}},
                              {"id": "c", "kind": {"clientID": "scale"}})";

struct Broken {
    std::string text;
    std::vector<Problem> expected; // pointer and a part of the message
};

TEST_F(DocumentTest, BrokenDocumentsReportEveryProblemAndBuildNothing) {
    std::vector<Broken> const table = {
        {"{\"format\": \n  nodes", {{"", "not JSON: parse error at line 2, column 4"}}},
        {"77e777", {{"", "not JSON: number overflow parsing '77e777'"}}},
        {R"({"format": "graph", "version": 2, "nodes": []})",
         {{"/format", "expected \"data_flow.graph\", got \"graph\""},
          {"/version", "unsupported version 2 (this build reads version 1)"}}},
        {document(R"({"id": "a", "kind": "src", "paramters": {}})", "", R"(, "extra": 1)"),
         {{"/nodes/0/paramters", "unknown key \"paramters\""}, {"/extra", "unknown key"}}},
        {document(R"({"id": "a", "kind": "src"}, {"id": "a", "kind": "src"},
                     {"id": "9x", "kind": "src"})"),
         {{"/nodes/1/id", "duplicate id \"a\""}, {"/nodes/2/id", "invalid id \"9x\""}}},
        {document(R"({"id": "a", "kind": {"clientID": "blurr"}},
                     {"id": "b", "kind": {"vendor": "v", "namespace": "t", "name": "Sauce"}})",
                  R"({"from": "a.out", "to": "b.in"})"),
         {{"/nodes/0/kind", "no registered kind with client identifier \"blurr\""},
          {"/nodes/1/kind", "no registered kind \"v/t/Sauce\""}}},
        {document(R"({"id": "a", "kind": {"vendor": "v", "namespace": "t", "name": "Source",
                                          "version": 3}},
                     {"id": "b", "kind": {"vendor": "v", "namespace": "t", "name": "Source",
                                          "clientID": "src"}},
                     {"id": "c", "kind": {"vendor": "v", "namespace": "t", "name": "Source",
                                          "version": -1}})"),
         {{"/nodes/0/kind/version", "version 3 of \"v/t/Source\" is not registered "
                                    "(registered: 1, 2)"},
          {"/nodes/1/kind/clientID", "\"src\" does not match the kind's \"src2\""},
          {"/nodes/2/kind/version", "expected a version number, got -1"}}},
        {document(R"({"id": "b", "kind": "scale", "parameters": {"gian": 1, "gain": "x",
                                                               "count": -1}},
                     {"id": "c", "kind": "scale", "parameters": {"gain": 11}},
                     {"id": "v", "kind": "values", "parameters": {"int2": [1, "x"]}})"),
         {{"/nodes/0/parameters/gian",
           "unknown parameter \"gian\" (parameters: gain, count, fail)"},
          {"/nodes/0/parameters/gain", "expected a number"},
          {"/nodes/0/parameters/count", "-1 is negative"},
          {"/nodes/1/parameters/gain", "11 is above the maximum 10"},
          {"/nodes/2/parameters/int2/1", "expected an integer, got \"x\""}}},
        {document(kChain, R"({"from": "nope.out", "to": "b.in"}, {"from": "a.out", "to": "b.inn"},
                             {"from": "a.out", "to": "b.in"}, {"from": "c.out", "to": "b.in"})"),
         {{"/links/0/from", "node \"nope\" does not exist"},
          {"/links/1/to", "input \"b.inn\" does not exist (inputs: in)"},
          {"/links/3/to", "input \"b.in\" is linked already (from \"a.out\")"}}},
        {document(kChain + R"(, {"id": "p", "kind": "picture"})",
                  R"({"from": "a.out", "to": "p.image"}, {"from": "b.out", "to": "c.in"},
                     {"from": "c.out", "to": "b.in"}, {"from": "b.out", "to": "b.in"})"),
         {{"/links/0", "cannot link float output \"a.out\" to FloatVector input \"p.image\""},
          {"/links/2", "linking \"c.out\" to \"b.in\" would close a cycle"},
          {"/links/3/from", "output \"b.out\" feeds \"c.in\" already"}}},
        {document(R"({"id": "c", "kind": "scale", "driven": ["gain", "gian"]})", "",
                  R"(, "sink": "d")"),
         {{"/nodes/0/driven/1", "unknown parameter \"gian\""}, {"/sink", "no node with id \"d\""}}},
    };
    for (Broken const& row : table) {
        // The node index keeps one counter per node name it has seen (ids become names), so
        // each document is loaded once before its blocks are counted.
        EXPECT_THROW(Graph::fromString(row.text), DocumentError);
        std::size_t const before = Mirel::Core::liveAllocations();
        try {
            Graph::fromString(row.text);
            ADD_FAILURE() << "loaded: " << row.text;
        } catch (DocumentError const& e) {
            EXPECT_EQ(e.problems().size(), row.expected.size()) << e.what();
            for (Problem const& expected : row.expected) {
                bool found = false;
                for (Problem const& problem : e.problems())
                    found |= problem.pointer == expected.pointer &&
                             problem.message.find(expected.message) != std::string::npos;
                EXPECT_TRUE(found) << "missing " << format(expected) << "\nin:\n" << e.what();
            }
        }
        EXPECT_EQ(Mirel::Core::liveAllocations(), before) << row.text;
    }
}

// ---- Edits and runs through a Graph.

TEST_F(DocumentTest, EditsCheckLikeDocumentsAndRunsRecomputeOnlyWhatChanged) {
    Graph graph;
    graph.add(Json{{"vendor", "v"}, {"namespace", "t"}, {"name", "Source"}}, "a");
    graph.add("src", "g");
    graph.add("scale", "b");
    graph.connect("a.out", "b.in");
    graph.drive("b", "gain");
    EXPECT_THROW(graph.connect("a.out", "b.gain"), DocumentError); // "a.out" feeds one input
    graph.connect("g.out", "b.gain");
    graph.disconnect("b.in");
    EXPECT_THROW(graph.setSink("x"), DocumentError);
    graph.setSink("b");
    EXPECT_THROW(graph.run(), EvaluationError); // b.in unlinked
    graph.connect("a.out", "b.in");
    try {
        graph.setParameter("b", "count", -2);
        ADD_FAILURE() << "negative unsigned accepted";
    } catch (DocumentError const& e) {
        EXPECT_EQ(format(e.problems().at(0)), "(document): -2 is negative; the type is unsigned");
    }
    graph.setFromCommandLine("g.value", "3");
    graph.setFromCommandLine("a.value", "2");
    EXPECT_EQ(graph.kind("a").version(), 2u); // no version asked: the highest

    ASSERT_TRUE(graph.run());
    auto* b = static_cast<Scale*>(graph.node("b"));
    EXPECT_EQ(graph.parameter("b", "gain"), 3.0); // driven by g.out
    ASSERT_EQ(graph.times().size(), 3u);
    EXPECT_EQ(graph.times()[0].id, "a");
    EXPECT_EQ(graph.times()[1].id, "g");
    EXPECT_TRUE(graph.times()[2].recomputed);

    graph.setParameter("b", "count", 7);
    RunOptions async;
    async.async = true;
    ASSERT_TRUE(graph.run(async));
    EXPECT_FALSE(graph.times()[0].recomputed);
    EXPECT_TRUE(graph.times()[2].recomputed);
    EXPECT_EQ(b->runs, 2);

    graph.setParameter("b", "fail", 1);
    try {
        graph.run();
        ADD_FAILURE() << "no failure";
    } catch (EvaluationError const& e) {
        EXPECT_EQ(e.node(), "b");
        EXPECT_EQ(e.message(), "fail == 0");
        EXPECT_EQ(e.file(), "tests/document_test.cpp");
        EXPECT_GT(e.line(), 0);
    }
    std::unique_ptr<Graph> copy = Graph::fromJson(graph.toJson());
    EXPECT_EQ(copy->toJson(), graph.toJson());
}

} // namespace
