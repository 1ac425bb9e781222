// One asynchronous round trip of a 10-node graph, processAsync() then wait(), against running
// the same evaluation through a tbb::task_group (run + wait). Every iteration also flushes the
// graph, so that the next one evaluates all ten nodes again.

#include "BenchNodes.h"
#include "BenchSupport.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"

#include <oneapi/tbb/task_group.h>

#include <memory>
#include <vector>

namespace {

using Mirel::DataFlow::Connect;
using Mirel::DataFlow::Controller;

constexpr int kNodes = 10;

template <class T>
struct Destroy {
    void operator()(T* p) const noexcept { Mirel::Core::destroy(p); }
};

//! A chain of ten trivial float nodes on its own controller.
class Chain {
public:
    Chain()
        : pSource_(MIREL_NEW bench::Source("n")) {
        controller_.addNode(pSource_.get());
        Mirel::DataFlow::OutputTemplate<float>* pLast = &pSource_->out();
        for (int i = 1; i < kNodes; ++i) {
            aNodes_.emplace_back(MIREL_NEW bench::AddOne("n"));
            Connect(*pLast, aNodes_.back()->in());
            pLast = &aNodes_.back()->out();
            controller_.addNode(aNodes_.back().get());
        }
        controller_.setSinkNode(aNodes_.back().get());
    }
    ~Chain() {
        for (auto& pNode : aNodes_)
            pNode->disconnect();
    }
    Controller& controller() { return controller_; }
    bool evaluated() const { return aNodes_.back()->out().hasData(); }

private:
    std::unique_ptr<bench::Source, Destroy<bench::Source>> pSource_;
    std::vector<std::unique_ptr<bench::AddOne, Destroy<bench::AddOne>>> aNodes_;
    Controller controller_; // declared last: destroyed before the nodes
};

void asyncDataFlow(benchmark::State& state) {
    Chain chain;
    Controller& controller = chain.controller();
    for (auto _ : state) {
        controller.processAsync();
        controller.wait(10.0, 0.0); // poll without sleeping
        if (!chain.evaluated())
            state.SkipWithError("the evaluation did not run");
        controller.flushGraph();
    }
    controller.checkException();
}

void asyncTaskGroup(benchmark::State& state) {
    Chain chain;
    Controller& controller = chain.controller();
    tbb::task_group group;
    for (auto _ : state) {
        group.run([&controller] { controller.process(); });
        group.wait();
        if (!chain.evaluated())
            state.SkipWithError("the evaluation did not run");
        controller.flushGraph();
    }
}

void syncDataFlow(benchmark::State& state) {
    Chain chain;
    Controller& controller = chain.controller();
    for (auto _ : state) {
        controller.process();
        controller.flushGraph();
    }
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    bench::registerRounds({{"async/data_flow", asyncDataFlow},
                           {"async/task_group", asyncTaskGroup},
                           {"async/synchronous", syncDataFlow}});

    using bench::Comparison;
    return bench::run(argc, argv,
                      {{"async round trip, 10 nodes, vs task_group", "async/data_flow",
                        "async/task_group", Comparison::kAtMost, 2.0, 1e3, "us"},
                       {"async round trip, vs synchronous process()", "async/data_flow",
                        "async/synchronous", Comparison::kAtMost, 0.0, 1e3, "us"}});
}
