#pragma once
/** Private to the library (never installed): the steps of Library::initialize and
    Library::terminate that set up the process-wide index of nodes, exported so that white-box
    tests can run them one by one. */

#include "core/String.h"
#include "data_flow/Export.h"

namespace Mirel {
namespace DataFlow {

class Node;

namespace internal {

//! Creates the debug index; throws "!pIndexMap_" (or "!pNameCounter_") when it exists.
DATA_FLOW_API void initializeNodeMaps();
//! Destroys the debug index; throws "pIndexMap_" (or "pNameCounter_") when it is missing.
DATA_FLOW_API void terminateNodeMaps();
//! True between initializeNodeMaps() and terminateNodeMaps().
DATA_FLOW_API bool nodeMapsExist() noexcept;
//! Gives pNode the next ordinal of name; throws when pNode is registered already.
DATA_FLOW_API void debugAddNode(Node const* pNode, String const& name);
//! Takes pNode out of the index; its name's counter keeps its value.
DATA_FLOW_API void debugRemoveNode(Node const* pNode);
//! pNode's ordinal; throws when pNode is not registered.
DATA_FLOW_API int nodeIndex(Node const* pNode);

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
