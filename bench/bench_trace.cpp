// What recording a trace costs: process() + flushGraph() of a chain of 1,000 trivial float nodes
// with a TraceRecorder attached, against the same chain without an observer, in the same rounds.

#include "BenchGraphs.h"
#include "BenchSupport.h"

#include "data_flow/controllers/Trace.h"

namespace {

constexpr int kChain = 1000;

void evaluate(benchmark::State& state, Mirel::DataFlow::TraceRecorder* pRecorder) {
    bench::ChainGraph chain(kChain);
    chain.controller().setObserver(pRecorder);
    long n = 0;
    for (auto _ : state) {
        chain.controller().process();
        chain.controller().flushGraph();
        // A recorder keeps every event: a long run forgets them now and then, as a host that
        // records many evaluations would.
        if (pRecorder != nullptr && ++n % 256 == 0)
            pRecorder->clear();
    }
    state.SetItemsProcessed(state.iterations() * kChain);
}

void untraced(benchmark::State& state) {
    evaluate(state, nullptr);
}

void traced(benchmark::State& state) {
    // One recorder for every round, as a host keeps one: its buffers, once grown, are reused.
    static Mirel::DataFlow::TraceRecorder recorder;
    recorder.clear();
    evaluate(state, &recorder);
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    bench::registerRounds({{"chain/traced", traced}, {"chain/untraced", untraced}});

    using bench::Comparison;
    return bench::run(argc, argv,
                      {{"chain of 1000, with a TraceRecorder", "chain/traced", "chain/untraced",
                        Comparison::kAddedAtMost, 60.0, kChain, "ns/node"}});
}
