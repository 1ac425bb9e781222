// Heap bytes per node of a 1-input, 1-output float node: the node object with its connectors,
// its connector lists and its entry in the debug index, measured with the C library's own
// accounting (mallinfo2) around the creation of many nodes. Beside it, for reference, the same
// measurement for a oneTBB flow graph function_node<float, float>.

#include "BenchNodes.h"
#include "BenchSupport.h"

#include <oneapi/tbb/flow_graph.h>

#include <malloc.h>

#include <memory>
#include <vector>

namespace {

constexpr int kNodes = 10000;

std::size_t heapInUse() {
    struct mallinfo2 const info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

template <class T>
struct Destroy {
    void operator()(T* p) const noexcept { Mirel::Core::destroy(p); }
};

void dataFlowNode(benchmark::State& state) {
    double bytes = 0.0, blocks = 0.0;
    for (auto _ : state) {
        std::vector<std::unique_ptr<bench::AddOne, Destroy<bench::AddOne>>> aNodes;
        aNodes.reserve(kNodes); // the vector's own storage is not counted
        std::size_t const heapBefore = heapInUse();
        std::size_t const blocksBefore = Mirel::Core::liveAllocations();
        for (int i = 0; i < kNodes; ++i)
            aNodes.emplace_back(MIREL_NEW bench::AddOne("node"));
        bytes = double(heapInUse() - heapBefore) / kNodes;
        blocks = double(Mirel::Core::liveAllocations() - blocksBefore) / kNodes;
    }
    state.counters["bytes_per_node"] = bytes;
    state.counters["blocks_per_node"] = blocks;
    state.counters["sizeof_node_kind"] = double(sizeof(bench::AddOne));
    state.counters["sizeof_Node"] = double(sizeof(Mirel::DataFlow::Node));
}

void flowGraphNode(benchmark::State& state) {
    double bytes = 0.0;
    for (auto _ : state) {
        tbb::flow::graph g;
        std::vector<std::unique_ptr<tbb::flow::function_node<float, float>>> aNodes;
        aNodes.reserve(kNodes);
        std::size_t const heapBefore = heapInUse();
        for (int i = 0; i < kNodes; ++i)
            aNodes.emplace_back(std::make_unique<tbb::flow::function_node<float, float>>(
                g, tbb::flow::serial, [](float v) { return v + 1.0f; }));
        bytes = double(heapInUse() - heapBefore) / kNodes;
    }
    state.counters["bytes_per_node"] = bytes;
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    benchmark::RegisterBenchmark("memory/data_flow_node", dataFlowNode)
        ->Iterations(3)
        ->Repetitions(1);
    benchmark::RegisterBenchmark("memory/flow_graph_function_node", flowGraphNode)
        ->Iterations(3)
        ->Repetitions(1);
    return bench::run(
        argc, argv, {},
        {{"heap bytes per 1-in, 1-out float node", "memory/data_flow_node", "bytes_per_node", 512.0,
          "bytes"},
         {"  counted blocks per node", "memory/data_flow_node", "blocks_per_node", 0.0, "blocks"},
         {"  sizeof of the node kind", "memory/data_flow_node", "sizeof_node_kind", 0.0, "bytes"},
         {"  (flow graph function_node, for reference)", "memory/flow_graph_function_node",
          "bytes_per_node", 0.0, "bytes"}});
}
