#pragma once
/** A picture of a controller's graph, in the Graphviz DOT language.

    writeDot describes the graph as the controller sees it: one box per node, labelled with the
    node's debug identity ("blur [0]"), and one arrow per link, labelled "output -> input" with
    the two connectors' names. The sink is drawn with a double border. Nodes that are linked to
    the graph but were not added to the controller are drawn dashed. A connector that is not
    linked is drawn as a dashed arrow to or from a small point, with "(unlinked)" in place of the
    missing peer, so that a half-built graph can be looked at too.

    The text depends only on the graph: nodes are numbered in the controller's order (a node
    added twice appears once), then the sink if it was not added, then the outside nodes in the
    order their links are met; links follow the nodes' connector order. Render it with, for
    example, `dot -Tpng graph.dot -o graph.png`. */

#include "data_flow/Export.h"

#include <iosfwd>

namespace Mirel {
namespace DataFlow {

class Controller;

/** Writes the controller's graph as a DOT digraph. Reads node names, the debug index and links
    only, so it must not overlap rewiring, node construction or renaming; it may run while the
    graph is evaluated. Throws what Node::debugId throws for a node missing from the index. */
DATA_FLOW_API void writeDot(std::ostream& os, Controller const& controller);

} // namespace DataFlow
} // namespace Mirel
