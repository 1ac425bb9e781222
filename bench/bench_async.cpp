// One asynchronous round trip of a 10-node graph, processAsync() then wait(), against running
// the same evaluation through a tbb::task_group (run + wait). Every iteration also flushes the
// graph, so that the next one evaluates all ten nodes again.

#include "BenchGraphs.h"
#include "BenchSupport.h"

#include "data_flow/controllers/Controller.h"

#include <oneapi/tbb/task_group.h>

namespace {

using Mirel::DataFlow::Controller;

constexpr int kNodes = 10;

void asyncDataFlow(benchmark::State& state) {
    bench::ChainGraph chain(kNodes);
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
    bench::ChainGraph chain(kNodes);
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
    bench::ChainGraph chain(kNodes);
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
