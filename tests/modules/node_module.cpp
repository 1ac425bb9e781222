// A node kind that lives in its own module, loaded with dlopen by the catalogue tests: its
// connectors and factory come from another module than the host's, and still link and create.

#include "data_flow/connectors/Outputs.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/nodes/Node.h"

namespace {

using namespace Mirel;
using namespace Mirel::DataFlow;

//! Publishes 10 times the target it was made for on its output "out".
class ModuleSource : public Node {
public:
    explicit ModuleSource(NodeTargetType target)
        : Node("moduleSource")
        , oOut_("out", this)
        , fValue_(10.0f * static_cast<float>(target)) {
        addOutput(&oOut_);
    }

protected:
    void internalProcess() override { oOut_.setData(MIREL_NEW float(fValue_)); }

private:
    OutputTemplate<float> oOut_;
    float fValue_;
};

Node* createModuleSource(NodeTargetType target) {
    return MIREL_NEW ModuleSource(target);
}

} // namespace

//! Registers the module's node kind (client identifier "module.source") with the catalogue.
extern "C" __attribute__((visibility("default"))) void
registerNodeModule(Mirel::DataFlow::NodeLibrarian* pLibrarian) {
    pLibrarian->add(&createModuleSource,
                    MIREL_NEW NodeMetaData("Source", "test.module", "test", 1,
                                           "a source compiled into another module",
                                           "module.source"));
}
