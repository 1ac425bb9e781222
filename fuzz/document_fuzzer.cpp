// A libFuzzer target for graph documents: the input is document text. Loading must either give a
// graph or throw DocumentError with at least one problem, each at a JSON pointer; a loaded graph
// saves to a document that loads again and saves to the same text; and once the library is down
// again every block it allocated for the input has been given back, so that a refused document
// leaves no node, proxy input or registration behind.
//
// The kinds are those of the example plugin module (compiled in) and one kind with a parameter of
// every value type, so that the example documents seed it and every value decoder is reached.

#include "FuzzCheck.h"

#include "document/Graph.h"

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/Parameter.h"

#include <cstdint>
#include <string>

extern "C" void data_flow_plugin_register();

namespace {

using namespace Mirel;
using namespace Mirel::DataFlow;

template <class T>
void addParameter(Node& node) {
    node.parameters().insert(Parameter<T>::create(T(), Document::typeName(typeid(T)).c_str()));
}

//! One parameter of every value type, named after its type ("int", "float3x3", ...).
class Values : public Node {
public:
    Values()
        : Node("values") {
#define FUZZ_ADD_PARAMETER(T) addParameter<T>(*this);
        DATA_FLOW_VALUE_TYPES(FUZZ_ADD_PARAMETER)
#undef FUZZ_ADD_PARAMETER
    }
};

Node* createValues(NodeTargetType) {
    return MIREL_NEW Values();
}

void load(std::string const& text) {
    try {
        std::unique_ptr<Document::Graph> graph = Document::Graph::fromString(text);
        std::string const saved = graph->toString();
        FUZZ_CHECK(Document::Graph::fromString(saved)->toString() == saved);
    } catch (Document::DocumentError const& e) {
        FUZZ_CHECK(!e.problems().empty());
        for (Document::Problem const& problem : e.problems())
            FUZZ_CHECK(problem.pointer.empty() || problem.pointer[0] == '/');
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Core::Library::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* bytes, size_t size) {
    std::size_t const start = Core::liveAllocations();
    Library::initialize();
    data_flow_plugin_register();
    NodeLibrarian::Instance()->add(
        &createValues, MIREL_NEW NodeMetaData("Values", "fuzz", "fuzz", 1, "", "values"));
    load(std::string(reinterpret_cast<char const*>(bytes), size));
    Library::terminate();
    FUZZ_CHECK(Core::liveAllocations() == start);
    return 0;
}
