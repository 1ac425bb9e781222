// A client module, loaded by the tests with dlopen(RTLD_LOCAL), that makes typed connectors of
// its own. Everything crosses the boundary as the library's exported classes.
#include "core/Core.h"
#include "data_flow/connectors/Outputs.h"
#include "modules/Image.h"

#define CONNECTOR_MODULE_EXPORT extern "C" __attribute__((visibility("default")))

using namespace Mirel;
using namespace Mirel::DataFlow;

CONNECTOR_MODULE_EXPORT OutputConnector* makeIntOutput(char const* name) {
    return MIREL_NEW OutputTemplate<int>(String(name), nullptr);
}

//! An output of the client type Image, made and filled by the module: a width x 1 image.
CONNECTOR_MODULE_EXPORT OutputConnector* makeImageOutput(char const* name, int width) {
    auto* pOutput = MIREL_NEW OutputTemplate<test::Image>(String(name), nullptr);
    pOutput->setData(MIREL_NEW test::Image{width, 1, std::vector<float>(width, 0.5f)});
    return pOutput;
}

CONNECTOR_MODULE_EXPORT void destroy(Connector* pConnector) {
    Core::destroy(pConnector);
}
