// Synchronous evaluation of graphs of trivial float nodes: process() then flushGraph(), for a
// chain of 1,000 nodes (publishing with publish(), and with setData(MIREL_NEW float(...))) and a
// 32 x 32 diamond lattice, against the same graphs as oneTBB flow graphs of serial function_nodes
// and against a hand-written loop of virtual calls.

#include "BenchGraphs.h"
#include "BenchSupport.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"

#include <oneapi/tbb/flow_graph.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Mirel::DataFlow::Connect;
using Mirel::DataFlow::Controller;
using Mirel::DataFlow::Node;
namespace flow = tbb::flow;

constexpr int kChain = 1000;
constexpr int kSide = 32; // the lattice has kSide * kSide nodes

template <class T>
struct Destroy {
    void operator()(T* p) const noexcept { Mirel::Core::destroy(p); }
};
template <class T>
using Owned = std::unique_ptr<T, Destroy<T>>;

void perNode(benchmark::State& state, int nodes) {
    state.SetItemsProcessed(state.iterations() * nodes);
    state.counters["per_node"] = benchmark::Counter(
        nodes, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// --- data_flow ----------------------------------------------------------------------------------

//! A chain of one SourceKind and AddOneKind nodes; the kinds decide how values are published.
template <class SourceKind, class AddOneKind>
void chainDataFlow(benchmark::State& state) {
    Owned<bench::Source> pSource(MIREL_NEW SourceKind("n"));
    std::vector<Owned<bench::AddOne>> aNodes;
    Controller controller;
    controller.addNode(pSource.get());
    Mirel::DataFlow::OutputTemplate<float>* pLast = &pSource->out();
    for (int i = 1; i < kChain; ++i) {
        aNodes.emplace_back(MIREL_NEW AddOneKind("n"));
        Connect(*pLast, aNodes.back()->in());
        pLast = &aNodes.back()->out();
        controller.addNode(aNodes.back().get());
    }
    controller.setSinkNode(aNodes.back().get());
    for (auto _ : state) {
        controller.process();
        benchmark::DoNotOptimize(aNodes.back()->out().data());
        controller.flushGraph();
    }
    if (aNodes.back()->out().hasData())
        state.SkipWithError("the chain was not flushed");
    perNode(state, kChain);
    for (auto& pNode : aNodes)
        pNode->disconnect();
}

void latticeDataFlow(benchmark::State& state) {
    bench::LatticeGraph lattice(kSide);
    Controller& controller = lattice.controller();
    for (auto _ : state) {
        controller.process();
        controller.flushGraph();
    }
    perNode(state, kSide * kSide);
}

// --- oneTBB flow graph --------------------------------------------------------------------------

void chainFlowGraph(benchmark::State& state) {
    flow::graph g;
    std::vector<std::unique_ptr<flow::function_node<float, float>>> aNodes;
    for (int i = 0; i < kChain; ++i) {
        aNodes.emplace_back(std::make_unique<flow::function_node<float, float>>(
            g, flow::serial, [](float v) { return v + 1.0f; }));
        if (i > 0)
            flow::make_edge(*aNodes[std::size_t(i - 1)], *aNodes.back());
    }
    for (auto _ : state) {
        aNodes.front()->try_put(0.0f);
        g.wait_for_all();
    }
    perNode(state, kChain);
}

void latticeFlowGraph(benchmark::State& state) {
    using Pair = std::tuple<float, float>;
    using Join = flow::join_node<Pair, flow::queueing>;
    flow::graph g;
    // Cells with two inputs are a join node in front of a function node on the pair.
    std::vector<std::unique_ptr<flow::function_node<float, float>>> aSingles;
    std::vector<std::unique_ptr<flow::function_node<Pair, float>>> aPairs;
    std::vector<std::unique_ptr<Join>> aJoins;
    std::vector<flow::sender<float>*> aOut(std::size_t(kSide * kSide));
    flow::function_node<float, float>* pFirst = nullptr;
    for (int i = 0; i < kSide; ++i) {
        for (int j = 0; j < kSide; ++j) {
            std::size_t const k = std::size_t(i * kSide + j);
            if (i > 0 && j > 0) {
                aJoins.emplace_back(std::make_unique<Join>(g));
                aPairs.emplace_back(std::make_unique<flow::function_node<Pair, float>>(
                    g, flow::serial,
                    [](Pair const& p) { return std::get<0>(p) + std::get<1>(p) + 1.0f; }));
                flow::make_edge(*aJoins.back(), *aPairs.back());
                flow::make_edge(*aOut[k - kSide], flow::input_port<0>(*aJoins.back()));
                flow::make_edge(*aOut[k - 1], flow::input_port<1>(*aJoins.back()));
                aOut[k] = aPairs.back().get();
            } else {
                aSingles.emplace_back(std::make_unique<flow::function_node<float, float>>(
                    g, flow::serial, [](float v) { return v + 1.0f; }));
                if (i > 0)
                    flow::make_edge(*aOut[k - kSide], *aSingles.back());
                else if (j > 0)
                    flow::make_edge(*aOut[k - 1], *aSingles.back());
                else
                    pFirst = aSingles.back().get();
                aOut[k] = aSingles.back().get();
            }
        }
    }
    for (auto _ : state) {
        pFirst->try_put(0.0f);
        g.wait_for_all();
    }
    perNode(state, kSide * kSide);
}

// --- hand-written loop of virtual calls ---------------------------------------------------------

struct Operation {
    virtual ~Operation() = default;
    virtual float apply(float a, float b) const = 0;
};
struct AddOperation : Operation {
    float apply(float a, float b) const override { return a + b + 1.0f; }
};

std::vector<std::unique_ptr<Operation>> makeOperations(int n) {
    std::vector<std::unique_ptr<Operation>> aOperations;
    for (int i = 0; i < n; ++i)
        aOperations.push_back(std::make_unique<AddOperation>());
    return aOperations;
}

void chainVirtualLoop(benchmark::State& state) {
    auto const aOperations = makeOperations(kChain);
    for (auto _ : state) {
        float v = 0.0f;
        for (auto const& pOperation : aOperations)
            v = pOperation->apply(v, 0.0f);
        benchmark::DoNotOptimize(v);
    }
    perNode(state, kChain);
}

void latticeVirtualLoop(benchmark::State& state) {
    auto const aOperations = makeOperations(kSide * kSide);
    std::vector<float> aValues(std::size_t(kSide * kSide));
    for (auto _ : state) {
        for (int i = 0; i < kSide; ++i) {
            for (int j = 0; j < kSide; ++j) {
                std::size_t const k = std::size_t(i * kSide + j);
                aValues[k] = aOperations[k]->apply(i > 0 ? aValues[k - kSide] : 0.0f,
                                                   j > 0 ? aValues[k - 1] : 0.0f);
            }
        }
        benchmark::DoNotOptimize(aValues.back());
    }
    perNode(state, kSide * kSide);
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    bench::registerRounds(
        {{"chain/publish", chainDataFlow<bench::Source, bench::AddOne>},
         {"chain/set_data", chainDataFlow<bench::SetDataSource, bench::SetDataAddOne>},
         {"chain/flow_graph", chainFlowGraph},
         {"chain/virtual_loop", chainVirtualLoop}});
    bench::registerRounds({{"lattice/data_flow", latticeDataFlow},
                           {"lattice/flow_graph", latticeFlowGraph},
                           {"lattice/virtual_loop", latticeVirtualLoop}});

    using bench::Comparison;
    return bench::run(
        argc, argv,
        {{"chain of 1000, setData(), vs flow graph", "chain/set_data", "chain/flow_graph",
          Comparison::kAtMost, 1.0, kChain, "ns/node"},
         {"chain of 1000, publish(), vs flow graph", "chain/publish", "chain/flow_graph",
          Comparison::kAtMost, 0.5, kChain, "ns/node"},
         {"chain of 1000, publish(), vs virtual calls", "chain/publish", "chain/virtual_loop",
          Comparison::kAtMost, 0.0, kChain, "ns/node"},
         {"lattice 32 x 32, vs flow graph", "lattice/data_flow", "lattice/flow_graph",
          Comparison::kAtMost, 1.0, kSide * kSide, "ns/node"},
         {"lattice 32 x 32, vs virtual calls", "lattice/data_flow", "lattice/virtual_loop",
          Comparison::kAtMost, 0.0, kSide * kSide, "ns/node"}});
}
