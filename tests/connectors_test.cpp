// Connectors: the link rules of Connect and connect, type compatibility, bound data, copies,
// lookups by name, and links between connectors made in a separately loaded module.
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "modules/Image.h"
#include "support/TestSupport.h"

#include <dlfcn.h>

#include <memory>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::LeakChecked;

namespace {

using FloatIn = ConstInput<float>;

// Makes the protected copy constructor reachable.
class FloatOut : public OutputTemplate<float> {
public:
    using OutputTemplate<float>::OutputTemplate;
    FloatOut(FloatOut const& other) = default;
};

class ConnectorLinks : public LeakChecked {
protected:
    FloatOut a{"a", nullptr};
    FloatOut b{"b", nullptr};
    FloatIn x{"x", nullptr};
    FloatIn y{"y", nullptr};

    void expectLinked(OutputConnector& out, InputConnector& in) {
        EXPECT_EQ(out.connectedInput(), &in);
        EXPECT_EQ(in.connectedOutput(), &out);
    }
};

} // namespace

TEST_F(ConnectorLinks, ConnectRelinksBothSidesAndUnlinksFormerPeers) {
    Connect(a, x);
    Connect(y, b); // either argument order
    expectLinked(a, x);
    expectLinked(b, y);
    Connect(x, a); // relinking a linked pair keeps it
    expectLinked(a, x);

    Connect(a, y); // a's consumer x and y's producer b both lose their link
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);
    EXPECT_EQ(b.connectedInput(), nullptr);

    // connect(nullptr) forgets the input side only; the next Connect from a clears the rest.
    EXPECT_TRUE(y.connect(nullptr));
    EXPECT_EQ(y.connectedOutput(), nullptr);
    EXPECT_EQ(a.connectedInput(), &y);
    Connect(a, x);
    expectLinked(a, x);
    EXPECT_EQ(y.connectedOutput(), nullptr);

    // disconnect from either side clears both; on an unlinked connector it does nothing.
    Connect(b, y);
    x.disconnect();
    b.disconnect();
    y.disconnect();
    for (FloatOut* p : {&a, &b})
        EXPECT_EQ(p->connectedInput(), nullptr);
    for (FloatIn* p : {&x, &y})
        EXPECT_EQ(p->connectedOutput(), nullptr);
}

TEST_F(ConnectorLinks, IncompatibleTypesThrowAndChangeNoLink) {
    OutputTemplate<int> intOut("i", nullptr);
    ConstInput<int> intIn("j", nullptr);
    // Both sides of the failing pair are linked elsewhere, so a partial unlink would show.
    Connect(a, x);
    Connect(intOut, intIn);
    std::string what =
        test::expectInternal([&] { Connect(intOut, x); }, "ConnectorsAreCompatible(out, in)");
    EXPECT_NE(what.find("data_flow/connectors/Connector.cpp"), std::string::npos) << what;
    test::expectInternal([&] { Connect(x, intOut); }, "ConnectorsAreCompatible(out, in)");
    EXPECT_FALSE(x.connect(&intOut)); // connect reports the failure instead
    expectLinked(a, x);
    expectLinked(intOut, intIn);
    EXPECT_TRUE(y.connect(&a));
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);

    // Same width is not the same type; names play no part.
    OutputTemplate<unsigned long> ulongOut("ul", nullptr);
    OutputTemplate<unsigned int> uintOut("ui", nullptr);
    ConstInput<unsigned int> uintIn("ui", nullptr);
    EXPECT_FALSE(ConnectorsAreCompatible(ulongOut, uintIn));
    EXPECT_FALSE(ConnectorsAreCompatible(uintIn, ulongOut));
    EXPECT_FALSE(uintIn.canConnect(nullptr));
    EXPECT_FALSE(uintIn.connect(&ulongOut));
    EXPECT_EQ(ulongOut.connectedInput(), nullptr);
    EXPECT_TRUE(uintIn.canConnect(&uintOut));
    EXPECT_TRUE(ConnectorsAreCompatible(x, b));
}

TEST_F(ConnectorLinks, DataBoundFlagAndCopies) {
    float value = 1.0f;
    Connect(a, x);
    EXPECT_FALSE(x.dataAvailable());
    a.setDataPtr(&value);
    EXPECT_TRUE(x.dataAvailable());
    EXPECT_FALSE(x.hasData());       // the input itself has acquired nothing
    EXPECT_FALSE(y.dataAvailable()); // unlinked

    // Linking never touches data; the bound flag outlives the data.
    x.setBoundData(&value);
    Connect(b, x);
    EXPECT_EQ(a.data(), &value);
    EXPECT_EQ(x.data(), &value);
    EXPECT_FALSE(b.hasData());
    x.setDataPtr(nullptr);
    EXPECT_FALSE(x.hasData());
    EXPECT_TRUE(x.bound());

    // Copies carry no data; an input's copy keeps the producer, which knows only the original.
    FloatIn xCopy(x);
    EXPECT_FALSE(xCopy.hasData());
    EXPECT_TRUE(xCopy.bound());
    EXPECT_EQ(xCopy.connectedOutput(), &b);
    EXPECT_EQ(b.connectedInput(), &x);
    b.setDataPtr(&value);
    b.keepCache(true);
    FloatOut bCopy(b);
    EXPECT_FALSE(bCopy.hasData());
    EXPECT_EQ(bCopy.connectedInput(), nullptr);
    EXPECT_TRUE(bCopy.keepsCache());
}

TEST_F(ConnectorLinks, NameEqualsIsExactAndCaseSensitive) {
    String const withNul("x\0y", 3); // compared in full, past the NUL
    FloatIn upper("X", nullptr), longer("xx", nullptr), nul(withNul, nullptr);
    ConnectorNameEquals isX(String("x"));
    EXPECT_TRUE(isX(&x));
    EXPECT_FALSE(isX(&upper));
    EXPECT_FALSE(isX(&longer));
    EXPECT_FALSE(isX(&nul));
    EXPECT_TRUE(ConnectorNameEquals(withNul)(&nul));
}

// A module loaded with RTLD_LOCAL makes connectors of its own; they link with the library's and
// the test's, and a value crosses from an output made here to an input made there.
namespace {

template <class F>
F* symbol(void* pHandle, char const* name) {
    return reinterpret_cast<F*>(dlsym(pHandle, name));
}

} // namespace

using ModuleConnectors = LeakChecked;

TEST_F(ModuleConnectors, ValueCrossesIntoAnInputMadeByAModule) {
    std::unique_ptr<void, int (*)(void*)> module(
        dlopen(TEST_MODULE_DIR "/connector_module.so", RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_TRUE(module) << dlerror();
    auto* makeFloatInput = symbol<InputConnector*(char const*)>(module.get(), "makeFloatInput");
    auto* makeIntOutput = symbol<OutputConnector*(char const*)>(module.get(), "makeIntOutput");
    auto* destroyInput = symbol<void(InputConnector*)>(module.get(), "destroyInput");
    auto* destroyOutput = symbol<void(OutputConnector*)>(module.get(), "destroyOutput");
    ASSERT_TRUE(makeFloatInput && makeIntOutput && destroyInput && destroyOutput);

    InputConnector* pIn = makeFloatInput("in");
    OutputTemplate<float> out("out", nullptr);
    Connect(out, *pIn); // the module's float type is ours: no throw
    float* pValue = MIREL_NEW float(6.5f);
    out.setData(pValue);
    pIn->acquireData(); // the module's input calls our output's delivery
    EXPECT_EQ(pIn->data(), pValue);
    EXPECT_NE(dynamic_cast<ConstInput<float>*>(pIn), nullptr); // the library's exported class
    EXPECT_EQ(out.cell().use_count(), 2);

    // A module output of another type does not link with the module's float input.
    OutputConnector* pIntOut = makeIntOutput("int");
    EXPECT_FALSE(pIn->connect(pIntOut));
    EXPECT_EQ(pIn->connectedOutput(), &out);

    pIn->releaseData();
    EXPECT_EQ(out.cell().use_count(), 1);
    out.disconnect();
    destroyInput(pIn);
    destroyOutput(pIntOut);
    out.setData(nullptr);
}

TEST_F(ModuleConnectors, AClientValueTypeCrossesFromAModuleOutputToAHostInput) {
    std::unique_ptr<void, int (*)(void*)> module(
        dlopen(TEST_MODULE_DIR "/connector_module.so", RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_TRUE(module) << dlerror();
    auto* makeImageOutput =
        symbol<OutputConnector*(char const*, int)>(module.get(), "makeImageOutput");
    auto* destroyOutput = symbol<void(OutputConnector*)>(module.get(), "destroyOutput");
    ASSERT_TRUE(makeImageOutput && destroyOutput);

    OutputConnector* pOut = makeImageOutput("image", 3);
    ConstInput<test::Image> in("in", nullptr);
    Connect(*pOut, in); // the module's Image is ours
    in.acquireData();   // the host's input asks the module's output to deliver
    EXPECT_EQ(in.data(), pOut->data()) << "the cell is shared, the image not copied";
    EXPECT_EQ(in.value().width, 3);
    EXPECT_EQ(in.value().grey, std::vector<float>(3, 0.5f));
    pOut->disconnect();
    destroyOutput(pOut); // the input still holds the image
    EXPECT_EQ(in.value().width, 3);
    in.releaseData();
}
