#include "data_flow/controllers/GraphDot.h"

#include "core/Allocator.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/nodes/Node.h"

#include <algorithm>
#include <cstddef>
#include <ostream>
#include <vector>

namespace Mirel {
namespace DataFlow {

namespace {

using NodeList = std::vector<Node const*, MirelAllocator<Node const*>>;

constexpr char const* kUnlinked = "(unlinked)";

//! Writes text as the inside of a DOT string: quotes and backslashes escaped, line ends as \n.
void writeEscaped(std::ostream& os, String const& text) {
    for (char c : text) {
        if (c == '"' || c == '\\')
            os << '\\' << c;
        else if (c == '\n')
            os << "\\n";
        else
            os << c;
    }
}

/** The vertices in drawing order. The first `iInside` entries are the controller's nodes (and
    the sink), the rest were reached through links only. */
class Vertices {
public:
    std::size_t find(Node const* pNode) const {
        return static_cast<std::size_t>(std::find(aNodes_.begin(), aNodes_.end(), pNode) -
                                        aNodes_.begin());
    }
    bool contains(Node const* pNode) const { return find(pNode) < aNodes_.size(); }
    //! The vertex number of pNode, which becomes a vertex if it is not one yet.
    std::size_t add(Node const* pNode) {
        std::size_t const i = find(pNode);
        if (i == aNodes_.size())
            aNodes_.push_back(pNode);
        return i;
    }
    std::size_t size() const { return aNodes_.size(); }
    Node const* operator[](std::size_t i) const { return aNodes_[i]; }

private:
    NodeList aNodes_;
};

} // namespace

void writeDot(std::ostream& os, Controller const& controller) {
    Vertices oVertices;
    for (auto it = controller.nodesBegin(); it != controller.nodesEnd(); ++it) {
        if (*it != nullptr)
            oVertices.add(*it);
    }
    Node const* pSink = controller.getSinkNode();
    if (pSink != nullptr)
        oVertices.add(pSink);
    std::size_t const nInside = oVertices.size();

    // Outside nodes get their numbers in the order the links below meet them, so find them
    // before anything is written.
    for (std::size_t v = 0; v < nInside; ++v) {
        Node const* pNode = oVertices[v];
        for (std::size_t i = 0; i < pNode->numberOfInputs(); ++i) {
            OutputConnector const* pProducer = pNode->input(i)->connectedOutput();
            if (pProducer != nullptr && pProducer->node() != nullptr)
                oVertices.add(pProducer->node());
        }
        for (std::size_t i = 0; i < pNode->numberOfOutputs(); ++i) {
            InputConnector const* pConsumer = pNode->output(i)->connectedInput();
            if (pConsumer != nullptr && pConsumer->node() != nullptr)
                oVertices.add(pConsumer->node());
        }
    }

    os << "digraph data_flow {\n";
    os << "  rankdir=LR;\n";
    os << "  node [shape=box];\n";
    for (std::size_t v = 0; v < oVertices.size(); ++v) {
        os << "  n" << v << " [label=\"";
        writeEscaped(os, oVertices[v]->debugId());
        os << "\"";
        if (oVertices[v] == pSink)
            os << ", peripheries=2";
        if (v >= nInside)
            os << ", style=dashed";
        os << "];\n";
    }

    // Each link is written once, by the controller node that produces it; links into the graph
    // from outside nodes are written by their consumer. Points stand in for missing peers.
    std::size_t nPoints = 0;
    auto writePoint = [&os, &nPoints]() {
        os << "  p" << nPoints << " [shape=point];\n";
        return nPoints++;
    };
    for (std::size_t v = 0; v < nInside; ++v) {
        Node const* pNode = oVertices[v];
        for (std::size_t i = 0; i < pNode->numberOfInputs(); ++i) {
            InputConnector const* pInput = pNode->input(i);
            OutputConnector const* pProducer = pInput->connectedOutput();
            if (pProducer != nullptr && pProducer->node() != nullptr &&
                oVertices.find(pProducer->node()) < nInside &&
                pProducer->connectedInput() == pInput)
                continue; // written with the producer's outputs
            if (pProducer != nullptr && pProducer->node() != nullptr) {
                os << "  n" << oVertices.find(pProducer->node()) << " -> n" << v << " [label=\"";
                writeEscaped(os, pProducer->name());
            } else {
                std::size_t const p = writePoint();
                os << "  p" << p << " -> n" << v << " [style=dashed, label=\"";
                if (pProducer != nullptr)
                    writeEscaped(os, pProducer->name());
                else
                    os << kUnlinked;
            }
            os << " -> ";
            writeEscaped(os, pInput->name());
            os << "\"];\n";
        }
        for (std::size_t i = 0; i < pNode->numberOfOutputs(); ++i) {
            OutputConnector const* pOutput = pNode->output(i);
            InputConnector const* pConsumer = pOutput->connectedInput();
            if (pConsumer != nullptr && pConsumer->node() != nullptr) {
                os << "  n" << v << " -> n" << oVertices.find(pConsumer->node()) << " [label=\"";
            } else {
                std::size_t const p = writePoint();
                os << "  n" << v << " -> p" << p << " [style=dashed, label=\"";
            }
            writeEscaped(os, pOutput->name());
            os << " -> ";
            if (pConsumer != nullptr)
                writeEscaped(os, pConsumer->name());
            else
                os << kUnlinked;
            os << "\"];\n";
        }
    }
    os << "}\n";
}

} // namespace DataFlow
} // namespace Mirel
