// processSlices over 2^24 items of a compute-bound kernel, against a bare tbb::parallel_for in a
// 2-slot arena and against the controller's single-thread mode.

#include "BenchSupport.h"

#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstddef>
#include <vector>

namespace {

using Mirel::DataFlow::Controller;

constexpr std::size_t kItems = std::size_t(1) << 24;

//! The kernel over [begin, end): a few Newton steps per item, no memory traffic beyond the store.
void kernel(float* pOut, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        float x = 0.25f + float(i & 1023u) * (1.0f / 2048.0f);
        for (int k = 0; k < 8; ++k)
            x = x * (1.5f - 0.5f * x * x);
        pOut[i] = x;
    }
}

//! A node whose whole work is the kernel, offered as 2^24 slice items of one unit each.
class KernelNode : public Mirel::DataFlow::Node {
public:
    explicit KernelNode(float* pOut)
        : Node("kernel")
        , pOut_(pOut) {}
    BlockedRange rangeToProcess() const override { return BlockedRange(1, kItems); }
    void processSlice(std::size_t begin, std::size_t end) override { kernel(pOut_, begin, end); }

private:
    float* pOut_;
};

std::vector<float>& output() {
    static std::vector<float> aOut(kItems);
    return aOut;
}

void slicesDataFlow(benchmark::State& state, bool bSingleThread) {
    KernelNode node(output().data());
    Controller controller;
    controller.addNode(&node);
    controller.setSingleThreadMode(bSingleThread);
    for (auto _ : state) {
        controller.processSlices(&node);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(kItems));
}

void slicesParallelFor(benchmark::State& state) {
    tbb::task_arena arena(2);
    float* pOut = output().data();
    for (auto _ : state) {
        arena.execute([pOut] {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, kItems),
                              [pOut](tbb::blocked_range<std::size_t> const& r) {
                                  kernel(pOut, r.begin(), r.end());
                              });
        });
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(kItems));
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    // An iteration takes tens of milliseconds: longer runs keep a round above one iteration.
    bench::registerRounds(
        {{"slices/data_flow", [](benchmark::State& state) { slicesDataFlow(state, false); }},
         {"slices/parallel_for", slicesParallelFor},
         {"slices/single_thread", [](benchmark::State& state) { slicesDataFlow(state, true); }}},
        0.2);

    using bench::Comparison;
    return bench::run(argc, argv,
                      {{"processSlices 2^24 items, vs parallel_for", "slices/data_flow",
                        "slices/parallel_for", Comparison::kAtMost, 1.05, 1e6, "ms"},
                       {"processSlices 2^24 items, vs single thread", "slices/data_flow",
                        "slices/single_thread", Comparison::kSpeedUp, 1.8, 1e6, "ms"}});
}
