#pragma once
// Graphs of the trivial float node kinds, built into a controller: the 1,000-node chain and the
// 32 x 32 lattice of the evaluation benchmark, for benchmarks that compare ways to evaluate them.

#include "BenchNodes.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace bench {

template <class T>
struct DestroyNode {
    void operator()(T* p) const noexcept { Mirel::Core::destroy(p); }
};
template <class T>
using OwnedNode = std::unique_ptr<T, DestroyNode<T>>;

//! A source and length - 1 nodes adding one, each fed by the one before; the last is the sink.
class ChainGraph {
public:
    explicit ChainGraph(int length)
        : pSource_(MIREL_NEW Source("n")) {
        controller_.addNode(pSource_.get());
        Mirel::DataFlow::OutputTemplate<float>* pLast = &pSource_->out();
        for (int i = 1; i < length; ++i) {
            aNodes_.emplace_back(MIREL_NEW AddOne("n"));
            Mirel::DataFlow::Connect(*pLast, aNodes_.back()->in());
            pLast = &aNodes_.back()->out();
            controller_.addNode(aNodes_.back().get());
        }
        controller_.setSinkNode(aNodes_.back().get());
    }
    ~ChainGraph() {
        for (auto& pNode : aNodes_)
            pNode->disconnect();
    }
    Mirel::DataFlow::Controller& controller() { return controller_; }
    //! Whether the sink holds a value, i.e. the last evaluation reached it.
    bool evaluated() const { return aNodes_.back()->out().hasData(); }

private:
    OwnedNode<Source> pSource_;
    std::vector<OwnedNode<AddOne>> aNodes_;
    Mirel::DataFlow::Controller controller_;
};

//! side x side cells, each fed by the cell above and the cell to its left; the last is the sink.
class LatticeGraph {
public:
    explicit LatticeGraph(int side) {
        for (int i = 0; i < side; ++i) {
            for (int j = 0; j < side; ++j) {
                aCells_.emplace_back(
                    MIREL_NEW LatticeNode("cell", i > 0, j > 0, i + 1 < side, j + 1 < side));
                LatticeNode& cell = *aCells_.back();
                if (i > 0)
                    Mirel::DataFlow::Connect(aCells_[std::size_t((i - 1) * side + j)]->down(),
                                             cell.up());
                if (j > 0)
                    Mirel::DataFlow::Connect(aCells_[std::size_t(i * side + j - 1)]->right(),
                                             cell.left());
                controller_.addNode(&cell);
            }
        }
        controller_.setSinkNode(aCells_.back().get());
    }
    ~LatticeGraph() {
        for (auto& pCell : aCells_)
            pCell->disconnect();
    }
    Mirel::DataFlow::Controller& controller() { return controller_; }

private:
    std::vector<OwnedNode<LatticeNode>> aCells_;
    Mirel::DataFlow::Controller controller_;
};

} // namespace bench
