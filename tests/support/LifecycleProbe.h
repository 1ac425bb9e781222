#pragma once
// White-box access to the private lifecycle steps of the node index and of the catalogue, which
// the library otherwise runs only inside Library::initialize and Library::terminate.

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/nodes/Node.h"

namespace Mirel {
namespace DataFlow {
namespace internal {

struct LifecycleProbe {
    static void initializeNodeMaps() { Node::initializeNodeMaps(); }
    static void terminateNodeMaps() { Node::terminateNodeMaps(); }
    static void debugAddNode(Node const* pNode, String const& name) {
        Node::debugAddNode(pNode, name);
    }
    static void debugRemoveNode(Node const* pNode) { Node::debugRemoveNode(pNode); }
    static int index(Node const* pNode) { return Node::index(pNode); }
    static bool nodeMapsExist() { return Node::pIndexMap_ != nullptr; }

    static void createLibrarian() { NodeLibrarian::Create(); }
    static void destroyLibrarian() { NodeLibrarian::Destroy(); }
    static bool librarianExists() { return NodeLibrarian::gpSingleton_ != nullptr; }
};

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
