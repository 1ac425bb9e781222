// Links a typed output to a typed input through the installed headers and libraries and passes
// one value across; prints OK when the input reads the output's value.
#include "core/Core.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"

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
    bOk = bOk && Mirel::Core::liveAllocations() == 0;
    std::cout << (bOk ? "OK" : "FAILED") << std::endl;
    return bOk ? 0 : 1;
}
