// Connectors: the link rules of Connect and connect, type compatibility, bound data, copies,
// lookups by name, and links between connectors made in a separately loaded module.
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "support/TestSupport.h"

#include <dlfcn.h>

#include <cstring>

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

TEST_F(ConnectorLinks, ConnectLinksBothSidesInEitherArgumentOrder) {
    Connect(a, x);
    expectLinked(a, x);
    Connect(y, b);
    expectLinked(b, y);
    // Relinking a linked pair keeps it linked.
    Connect(x, a);
    expectLinked(a, x);
    expectLinked(b, y);
}

TEST_F(ConnectorLinks, OneOutputFeedsOneInputAndOneInputHasOneProducer) {
    Connect(a, x);
    Connect(a, y); // the output moves to y: x loses its producer
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);

    Connect(b, y); // the input moves to b: a loses its consumer
    expectLinked(b, y);
    EXPECT_EQ(a.connectedInput(), nullptr);

    Connect(a, x);
    Connect(a, y); // both a's consumer x and y's producer b are unlinked
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);
    EXPECT_EQ(b.connectedInput(), nullptr);
}

TEST_F(ConnectorLinks, LinkingNeverTouchesData) {
    float value = 1.0f;
    a.setDataPtr(&value);
    x.setBoundData(&value);
    Connect(a, x);
    Connect(b, x);
    EXPECT_EQ(a.data(), &value);
    EXPECT_EQ(x.data(), &value);
    EXPECT_FALSE(b.hasData());
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
    expectLinked(a, x);
    expectLinked(intOut, intIn);

    // connect swallows the failure and reports it.
    EXPECT_FALSE(x.connect(&intOut));
    expectLinked(a, x);
    expectLinked(intOut, intIn);
    EXPECT_TRUE(y.connect(&a));
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);
}

TEST_F(ConnectorLinks, SameWidthIsNotTheSameType) {
    OutputTemplate<unsigned long> ulongOut("ul", nullptr);
    OutputTemplate<unsigned int> uintOut("ui", nullptr);
    ConstInput<unsigned int> uintIn("ui", nullptr);
    OutputTemplate<int> intOut("i", nullptr);

    EXPECT_FALSE(ConnectorsAreCompatible(ulongOut, uintIn));
    EXPECT_FALSE(uintIn.canConnect(&ulongOut));
    EXPECT_FALSE(uintIn.canConnect(&intOut));
    EXPECT_FALSE(uintIn.connect(&ulongOut));
    EXPECT_TRUE(uintIn.canConnect(&uintOut));
    EXPECT_FALSE(uintIn.canConnect(nullptr));
    // Names play no part; equal types do, in either order.
    EXPECT_TRUE(ConnectorsAreCompatible(a, x));
    EXPECT_TRUE(ConnectorsAreCompatible(x, b));
    EXPECT_EQ(ulongOut.connectedInput(), nullptr);
}

TEST_F(ConnectorLinks, ConnectNullForgetsOnlyTheInputSide) {
    Connect(a, x);
    EXPECT_TRUE(x.connect(nullptr));
    EXPECT_EQ(x.connectedOutput(), nullptr);
    EXPECT_EQ(a.connectedInput(), &x); // the producer is not told

    // The stale side is cleared by the next Connect from that output.
    Connect(a, y);
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);
}

TEST_F(ConnectorLinks, DisconnectClearsBothSides) {
    x.disconnect(); // unlinked: nothing happens
    a.disconnect();
    EXPECT_EQ(x.connectedOutput(), nullptr);

    Connect(a, x);
    Connect(b, y);
    x.disconnect();
    EXPECT_EQ(a.connectedInput(), nullptr);
    EXPECT_EQ(x.connectedOutput(), nullptr);
    b.disconnect();
    EXPECT_EQ(b.connectedInput(), nullptr);
    EXPECT_EQ(y.connectedOutput(), nullptr);
}

TEST_F(ConnectorLinks, DataAvailableFollowsTheProducer) {
    EXPECT_FALSE(x.dataAvailable()); // unlinked
    Connect(a, x);
    EXPECT_FALSE(x.dataAvailable());
    float value = 2.0f;
    a.setDataPtr(&value);
    EXPECT_TRUE(x.dataAvailable());
    EXPECT_FALSE(x.hasData()); // the input itself has acquired nothing
}

TEST_F(ConnectorLinks, BoundFlagOutlivesTheData) {
    float value = 3.0f;
    EXPECT_FALSE(a.bound());
    a.setBoundData(&value);
    EXPECT_TRUE(a.hasData());
    EXPECT_TRUE(a.bound());
    a.setDataPtr(nullptr);
    EXPECT_FALSE(a.hasData());
    EXPECT_TRUE(a.bound());

    a.setDataPtr(&value);
    EXPECT_EQ(a.data(), &value);
    EXPECT_TRUE(a.bound());
}

TEST_F(ConnectorLinks, CopiesCarryNoData) {
    float value = 4.0f;
    Connect(a, x);
    x.setBoundData(&value);
    FloatIn xCopy(x);
    EXPECT_FALSE(xCopy.hasData());
    EXPECT_TRUE(xCopy.bound());
    EXPECT_EQ(xCopy.connectedOutput(), &a);
    EXPECT_EQ(a.connectedInput(), &x); // the producer still knows only the original
    EXPECT_EQ(xCopy.name(), "x");

    a.setDataPtr(&value);
    a.keepCache(true);
    FloatOut aCopy(a);
    EXPECT_FALSE(aCopy.hasData());
    EXPECT_FALSE(aCopy.bound());
    EXPECT_EQ(aCopy.connectedInput(), nullptr);
    EXPECT_TRUE(aCopy.keepsCache()); // the keep-cache request is copied
    EXPECT_EQ(aCopy.name(), "a");
    EXPECT_EQ(x.connectedOutput(), &a);
}

TEST_F(ConnectorLinks, NameEqualsIsExactAndCaseSensitive) {
    FloatIn upper("X", nullptr);
    FloatIn longer("xx", nullptr);
    ConnectorNameEquals isX(String("x"));
    EXPECT_TRUE(isX(&x));
    EXPECT_FALSE(isX(&upper));
    EXPECT_FALSE(isX(&longer));

    ConnectorNameEquals copy(isX);
    EXPECT_TRUE(copy(&x));
    ConnectorNameEquals isY(String("y"));
    copy = isY;
    EXPECT_TRUE(copy(&y));
    EXPECT_FALSE(copy(&x));

    // A name with an embedded NUL is compared in full.
    String withNul("x\0y", 3);
    FloatIn nul(withNul, nullptr);
    EXPECT_FALSE(isX(&nul));
    EXPECT_TRUE(ConnectorNameEquals(withNul)(&nul));
}

// A module loaded with RTLD_LOCAL makes connectors of its own; they link with the library's and
// the test's, and a value crosses from an output made here to an input made there.
namespace {

struct ConnectorModule {
    void* pHandle = nullptr;
    InputConnector* (*makeFloatInput)(char const*) = nullptr;
    OutputConnector* (*makeIntOutput)(char const*) = nullptr;
    void (*destroyInput)(InputConnector*) = nullptr;
    void (*destroyOutput)(OutputConnector*) = nullptr;
    std::type_info const* (*floatType)() = nullptr;

    ConnectorModule() {
        pHandle = dlopen(TEST_MODULE_DIR "/connector_module.so", RTLD_NOW | RTLD_LOCAL);
        if (pHandle == nullptr)
            return;
        makeFloatInput =
            reinterpret_cast<decltype(makeFloatInput)>(dlsym(pHandle, "makeFloatInput"));
        makeIntOutput = reinterpret_cast<decltype(makeIntOutput)>(dlsym(pHandle, "makeIntOutput"));
        destroyInput = reinterpret_cast<decltype(destroyInput)>(dlsym(pHandle, "destroyInput"));
        destroyOutput = reinterpret_cast<decltype(destroyOutput)>(dlsym(pHandle, "destroyOutput"));
        floatType = reinterpret_cast<decltype(floatType)>(dlsym(pHandle, "floatType"));
    }
    ~ConnectorModule() {
        if (pHandle != nullptr)
            dlclose(pHandle);
    }
    bool complete() const {
        return makeFloatInput && makeIntOutput && destroyInput && destroyOutput && floatType;
    }
};

} // namespace

using ModuleConnectors = LeakChecked;

TEST_F(ModuleConnectors, ValueCrossesIntoAnInputMadeByAModule) {
    ConnectorModule module;
    ASSERT_NE(module.pHandle, nullptr) << dlerror();
    ASSERT_TRUE(module.complete());

    InputConnector* pIn = module.makeFloatInput("in");
    ASSERT_NE(pIn, nullptr);
    // Whether or not the module shares our type_info object, the names match.
    EXPECT_STREQ(module.floatType()->name(), typeid(float).name());

    OutputTemplate<float> out("out", nullptr);
    EXPECT_TRUE(pIn->canConnect(&out));
    Connect(out, *pIn);
    EXPECT_EQ(out.connectedInput(), pIn);

    float* pValue = MIREL_NEW float(6.5f);
    out.setData(pValue);
    pIn->acquireData(); // the module's input calls our output's delivery
    EXPECT_EQ(pIn->data(), pValue);
    auto* pTyped = dynamic_cast<ConstInput<float>*>(pIn);
    ASSERT_NE(pTyped, nullptr); // the module's instance is the library's exported one
    EXPECT_EQ(pTyped->value(), 6.5f);
    EXPECT_EQ(out.cell().use_count(), 2);

    // A module output of another type does not link with the module's float input.
    OutputConnector* pIntOut = module.makeIntOutput("int");
    EXPECT_FALSE(pIn->connect(pIntOut));
    EXPECT_EQ(pIn->connectedOutput(), &out);
    ConstInput<int> intIn("intIn", nullptr);
    EXPECT_TRUE(intIn.connect(pIntOut));

    pIn->releaseData();
    EXPECT_EQ(out.cell().use_count(), 1);
    out.disconnect();
    intIn.disconnect();
    module.destroyInput(pIn);
    module.destroyOutput(pIntOut);
    out.setData(nullptr);
}
