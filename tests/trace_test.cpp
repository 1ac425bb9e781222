// Evaluation traces: the observer's hooks as a TraceRecorder writes them, read back with a real
// JSON parser. What a trace viewer relies on: the document parses, every node and slice of an
// evaluation appears exactly once, events on one track nest, failures and cancellations show.

#include "support/TestNodes.h"

#include "data_flow/controllers/Trace.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <set>

namespace {

using Mirel::DataFlow::Controller;
using Mirel::DataFlow::TraceRecorder;
using nlohmann::json;
using test::SlicedNode;

//! One complete event, its times in whole nanoseconds.
struct Span {
    long long begin, end;
    std::string name, cat;
    json args;
};

struct Trace {
    std::map<long long, std::string> aTrackNames;  // by tid
    std::map<long long, std::vector<Span>> aSpans; // by tid
    std::vector<Span> all(std::string const& cat) const {
        std::vector<Span> a;
        for (auto const& track : aSpans)
            for (Span const& s : track.second)
                if (s.cat == cat)
                    a.push_back(s);
        return a;
    }
};

/** Parses the recorder's output and checks what holds for every trace: the document's shape,
    a named track for every event, and exact nesting on each track. */
Trace parse(TraceRecorder const& recorder) {
    std::ostringstream os;
    recorder.writeChromeTrace(os);
    json const doc = json::parse(os.str()); // throws on malformed JSON
    EXPECT_EQ(doc.at("displayTimeUnit"), "ns");
    Trace t;
    auto const nanoseconds = [](json const& us) { return std::llround(us.get<double>() * 1e3); };
    for (json const& e : doc.at("traceEvents")) {
        EXPECT_EQ(e.at("pid"), 1);
        long long const tid = e.at("tid");
        if (e.at("ph") == "M") {
            EXPECT_EQ(e.at("name"), "thread_name");
            t.aTrackNames[tid] = e.at("args").at("name");
            continue;
        }
        EXPECT_EQ(e.at("ph"), "X");
        EXPECT_EQ(t.aTrackNames.count(tid), 1u) << "event before its track's name";
        long long const begin = nanoseconds(e.at("ts"));
        t.aSpans[tid].push_back(Span{begin, begin + nanoseconds(e.at("dur")), e.at("name"),
                                     e.at("cat"), e.value("args", json::object())});
    }
    for (auto& track : t.aSpans) {
        std::vector<Span> a = track.second;
        std::sort(a.begin(), a.end(), [](Span const& x, Span const& y) {
            return x.begin != y.begin ? x.begin < y.begin : x.end > y.end;
        });
        std::vector<Span const*> aOpen;
        for (Span const& s : a) {
            while (!aOpen.empty() && aOpen.back()->end <= s.begin)
                aOpen.pop_back();
            EXPECT_TRUE(aOpen.empty() || s.end <= aOpen.back()->end)
                << s.name << " overlaps " << aOpen.back()->name << " on track " << track.first;
            aOpen.push_back(&s);
        }
    }
    return t;
}

std::multiset<std::string> names(std::vector<Span> const& a) {
    std::multiset<std::string> s;
    for (Span const& span : a)
        s.insert(span.name);
    return s;
}

class TraceTest : public test::LibraryTest {};

TEST_F(TraceTest, EveryNodeAndSliceOfAnEvaluationAppearsOnceOnItsThreadsTrack) {
    // A chain long enough to fill more than one chunk of a thread's buffer, after a sliced node.
    constexpr std::size_t kChain = 5000, kItems = 64;
    SlicedNode sliced("sliced \"quoted\"\n", 1, kItems, 0, 1);
    std::vector<std::unique_ptr<test::HookNode>> aNodes;
    TraceRecorder recorder;
    Controller controller;
    controller.addNode(&sliced);
    for (test::HookNode* pLast = &sliced; aNodes.size() < kChain; pLast = aNodes.back().get()) {
        aNodes.push_back(std::make_unique<test::HookNode>("link", 1, 1));
        test::link(*pLast, *aNodes.back());
        controller.addNode(aNodes.back().get());
    }
    controller.setSinkNode(aNodes.back().get());
    ASSERT_TRUE(controller.setObserver(&recorder));
    controller.process();
    ASSERT_TRUE(controller.flushGraph());
    controller.processAsync();
    ASSERT_TRUE(controller.wait(20.0, 0.0));
    controller.checkException();
    ASSERT_TRUE(controller.flushGraph());
    Trace const t = parse(recorder);

    std::multiset<std::string> expected{sliced.debugId().c_str(), sliced.debugId().c_str()};
    for (auto& p : aNodes)
        expected.insert({p->debugId().c_str(), p->debugId().c_str()});
    EXPECT_EQ(names(t.all("node")), expected);
    std::vector<Span> const aEvaluations = t.all("evaluation");
    ASSERT_EQ(aEvaluations.size(), 2u);
    for (Span const& s : aEvaluations)
        EXPECT_EQ(s.args.at("outcome"), "completed");

    // The slices of both evaluations, each once, on the track of the thread that ran it: "host"
    // exactly when that was this test's thread (in the synchronous evaluation, where the host
    // runs slices itself, or when wait() ran the task).
    using Range = std::tuple<std::string, std::size_t, std::size_t, bool>; // the last: on host
    std::multiset<Range> aRun, aTraced;
    for (SlicedNode::Slice const& r : sliced.slices())
        aRun.insert(
            {sliced.debugId().c_str(), r.begin, r.end, r.thread == std::this_thread::get_id()});
    for (auto const& [tid, aTrack] : t.aSpans)
        for (Span const& s : aTrack)
            if (s.cat == "slice")
                aTraced.insert({s.name, s.args.at("begin"), s.args.at("end"),
                                t.aTrackNames.at(tid) == "host"});
    EXPECT_EQ(aTraced, aRun);
    for (auto& p : aNodes)
        p->disconnect();
}

TEST_F(TraceTest, FailuresAndCancellationsAreMarked) {
    test::HookNode source("source", 0, 1), sink("sink", 1, 0);
    SlicedNode sliced("sliced", 1, 16, 1, 1);
    test::link(source, sliced);
    test::link(sliced, sink);
    TraceRecorder recorder;
    Controller controller;
    test::addAll(controller, {&source, &sliced, &sink});
    ASSERT_TRUE(controller.setObserver(&recorder));

    // A failing slice: the slice, its node and the evaluation carry the failure.
    sliced.onSlice = [](std::size_t begin, std::size_t end) {
        if (begin <= 5 && 5 < end)
            throw Mirel::InternalException(__FILE__, __LINE__, "slice fault");
    };
    EXPECT_THROW(controller.process(), Mirel::SharedException);
    ASSERT_TRUE(controller.wait(1.0, 0.0));
    Trace t = parse(recorder);
    std::vector<Span> aFailed;
    for (Span const& s : t.all("slice"))
        if (s.args.contains("failure"))
            aFailed.push_back(s);
    ASSERT_EQ(aFailed.size(), 1u);
    EXPECT_LE(aFailed[0].args.at("begin").get<int>(), 5);
    EXPECT_GT(aFailed[0].args.at("end").get<int>(), 5);
    auto const mentionsFault = [](json const& text) {
        return text.get<std::string>().find("slice fault") != std::string::npos;
    };
    EXPECT_TRUE(mentionsFault(aFailed[0].args.at("failure")));
    std::vector<Span> const aNodes = t.all("node");
    ASSERT_EQ(names(aNodes), (std::multiset<std::string>{"source [0]", "sliced [0]"}));
    for (Span const& s : aNodes)
        EXPECT_EQ(s.args.contains("failure"), s.name == "sliced [0]");
    ASSERT_EQ(t.all("evaluation").size(), 1u);
    EXPECT_EQ(t.all("evaluation")[0].args.at("outcome"), "failed");
    EXPECT_TRUE(mentionsFault(t.all("evaluation")[0].args.at("failure")));

    // A cancellation from inside the source: the source ends cancelled, and so does every node
    // after it and the evaluation.
    recorder.clear();
    sliced.onSlice = nullptr;
    source.onProcess = [&](test::HookNode&) { controller.cancelProcess(); };
    controller.process();
    ASSERT_TRUE(controller.wait(1.0, 0.0));
    t = parse(recorder);
    ASSERT_FALSE(t.all("node").empty());
    for (Span const& s : t.all("node"))
        EXPECT_EQ(s.args, json({{"cancelled", true}})) << s.name;
    EXPECT_EQ(t.all("evaluation")[0].args.at("outcome"), "cancelled");
    controller.flushGraph();
    source.disconnect();
    sliced.disconnect();
}

} // namespace
