#pragma once
// White-box access to the steps of the node index, which the library otherwise runs only inside
// Library::initialize and Library::terminate, and whether the catalogue exists.

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/private/Lifecycle.h"

namespace Mirel {
namespace DataFlow {
namespace internal {

struct LifecycleProbe {
    static void initializeNodeMaps() { internal::initializeNodeMaps(); }
    static void terminateNodeMaps() { internal::terminateNodeMaps(); }
    static void debugAddNode(Node const* pNode, String const& name) {
        internal::debugAddNode(pNode, name);
    }
    static void debugRemoveNode(Node const* pNode) { internal::debugRemoveNode(pNode); }
    static bool nodeMapsExist() { return internal::nodeMapsExist(); }
    //! Asked as a client asks: Instance() throws while there is none.
    static bool librarianExists() {
        try {
            NodeLibrarian::Instance();
            return true;
        } catch (InternalException const&) {
            return false;
        }
    }
};

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
