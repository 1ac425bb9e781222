// Parallel branches: process() + flushGraph() with Controller::setParallelBranches(true) against
// the same graph evaluated one node at a time, in the same rounds. The figure: 8 independent
// branches of 4 compute-bound nodes joined at a sink, where the switch should pay; the checks:
// the 1,000-node chain and the 32 x 32 lattice of trivial nodes, where it has nothing to run
// side by side and must cost next to nothing.

#include "BenchGraphs.h"
#include "BenchSupport.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/controllers/Controller.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using Mirel::DataFlow::Controller;

constexpr int kBranches = 8;
constexpr int kDepth = 4;
constexpr int kWork = 20000; // iterations of a dependent floating-point loop per node
constexpr int kChain = 1000;
constexpr int kSide = 32;

//! Any number of float inputs, one output: a fixed amount of arithmetic on their sum.
class Heavy : public Mirel::DataFlow::Node {
public:
    Heavy()
        : Node("heavy")
        , oOut_("out", this) {
        addOutput(&oOut_);
    }
    void feedFrom(Heavy& producer) {
        aIn_.push_back(std::make_unique<Mirel::DataFlow::ConstInput<float>>(
            Mirel::String(("in" + std::to_string(aIn_.size())).c_str()), this));
        addInput(aIn_.back().get());
        Mirel::DataFlow::Connect(producer.oOut_, *aIn_.back());
    }

protected:
    void internalProcess() override {
        float v = 1.0f;
        for (auto& pIn : aIn_)
            v += pIn->value();
        for (int i = 0; i < kWork; ++i)
            v = v * 0.999f + std::sqrt(v + float(i & 7));
        oOut_.publish(v);
    }

private:
    std::vector<std::unique_ptr<Mirel::DataFlow::ConstInput<float>>> aIn_;
    Mirel::DataFlow::OutputTemplate<float> oOut_;
};

//! kBranches chains of kDepth heavy nodes, each chain's last node feeding the sink.
class BranchesGraph {
public:
    BranchesGraph() {
        for (int b = 0; b < kBranches; ++b) {
            for (int d = 0; d < kDepth; ++d) {
                aNodes_.push_back(std::make_unique<Heavy>());
                if (d > 0)
                    aNodes_.back()->feedFrom(*aNodes_[aNodes_.size() - 2]);
            }
            oSink_.feedFrom(*aNodes_.back());
        }
        for (auto& pNode : aNodes_)
            controller_.addNode(pNode.get());
        controller_.addNode(&oSink_);
        controller_.setSinkNode(&oSink_);
    }
    ~BranchesGraph() {
        oSink_.disconnect();
        for (auto& pNode : aNodes_)
            pNode->disconnect();
    }
    Controller& controller() { return controller_; }

private:
    std::vector<std::unique_ptr<Heavy>> aNodes_;
    Heavy oSink_;
    Controller controller_;
};

template <class Graph, class... Args>
void evaluate(benchmark::State& state, bool bParallel, Args... args) {
    Graph graph(args...);
    graph.controller().setParallelBranches(bParallel);
    for (auto _ : state) {
        graph.controller().process();
        graph.controller().flushGraph();
    }
}

} // namespace

int main(int argc, char** argv) {
    bench::LibraryScope library(argc, argv);
    bench::registerRounds(
        {{"branches/parallel", [](auto& s) { evaluate<BranchesGraph>(s, true); }},
         {"branches/serial", [](auto& s) { evaluate<BranchesGraph>(s, false); }}});
    bench::registerRounds(
        {{"chain/parallel", [](auto& s) { evaluate<bench::ChainGraph>(s, true, kChain); }},
         {"chain/serial", [](auto& s) { evaluate<bench::ChainGraph>(s, false, kChain); }}});
    bench::registerRounds(
        {{"lattice/parallel", [](auto& s) { evaluate<bench::LatticeGraph>(s, true, kSide); }},
         {"lattice/serial", [](auto& s) { evaluate<bench::LatticeGraph>(s, false, kSide); }}});

    using bench::Comparison;
    int const nBranchNodes = kBranches * kDepth + 1;
    return bench::run(argc, argv,
                      {{"8 branches x 4 heavy nodes, on vs off", "branches/parallel",
                        "branches/serial", Comparison::kSpeedUp, 1.8, nBranchNodes, "ns/node"},
                       {"chain of 1000, on vs off", "chain/parallel", "chain/serial",
                        Comparison::kAtMost, 1.1, kChain, "ns/node"},
                       {"lattice 32 x 32, on vs off", "lattice/parallel", "lattice/serial",
                        Comparison::kAtMost, 1.1, kSide * kSide, "ns/node"}});
}
