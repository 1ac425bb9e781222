// Links a typed output to a typed input through the installed headers and libraries and passes
// one value across, and encodes a value type's name as graph documents do; prints OK when the
// input reads the output's value and the name is right.
#include "core/Core.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "document/Values.h"

#include <iostream>

int main() {
    using namespace Mirel::DataFlow;
    bool bOk = false;
    {
        OutputTemplate<float> out("out", nullptr);
        ConstInput<float> in("in", nullptr);
        Connect(out, in);
        out.setData(MIREL_NEW float(2.5f));
        in.acquireData();
        bOk = in.connectedOutput() == &out && in.data() == out.data() && in.value() == 2.5f;
        in.releaseData();
        out.flush();
    }
    bOk = bOk && Mirel::Core::liveAllocations() == 0 &&
          Mirel::DataFlow::Document::typeName(typeid(Mirel::float3x3)) == "float3x3";
    std::cout << (bOk ? "OK" : "FAILED") << std::endl;
    return bOk ? 0 : 1;
}
