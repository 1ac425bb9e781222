// Connectors: the link rules of Connect and connect, type compatibility, bound data, copies,
// lookups by name, typed delivery over all 22 value types (cells shared between output and
// input, each value freed exactly once, releases that allocate nothing, the exact failures),
// and links to connectors made in a separately loaded module.

#include "support/TestSupport.h"

#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "modules/Image.h"

#include <dlfcn.h>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::expectInternal;

namespace {

using FloatIn = ConstInput<float>;
constexpr char kInputs[] = "data_flow/connectors/Inputs.h";

// Makes the protected copy constructor reachable.
class FloatOut : public OutputTemplate<float> {
public:
    using OutputTemplate<float>::OutputTemplate;
    FloatOut(FloatOut const& other) = default;
};

class ConnectorLinks : public test::LeakChecked {
protected:
    FloatOut a{"a", nullptr}, b{"b", nullptr};
    FloatIn x{"x", nullptr}, y{"y", nullptr};

    void expectLinked(OutputConnector& out, InputConnector& in) {
        EXPECT_EQ(out.connectedInput(), &in);
        EXPECT_EQ(in.connectedOutput(), &out);
    }
};

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
    EXPECT_TRUE(a.connectedInput() == nullptr && b.connectedInput() == nullptr);
    EXPECT_TRUE(x.connectedOutput() == nullptr && y.connectedOutput() == nullptr);
}

TEST_F(ConnectorLinks, IncompatibleTypesThrowAndChangeNoLink) {
    OutputTemplate<int> intOut("i", nullptr);
    ConstInput<int> intIn("j", nullptr);
    // Both sides of the failing pair are linked elsewhere, so a partial unlink would show.
    Connect(a, x);
    Connect(intOut, intIn);
    expectInternal([&] { Connect(intOut, x); }, "ConnectorsAreCompatible(out, in)",
                   "data_flow/connectors/Connector.cpp");
    EXPECT_FALSE(x.connect(&intOut)); // connect reports the failure instead
    expectLinked(a, x);
    expectLinked(intOut, intIn);
    EXPECT_TRUE(y.connect(&a));
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);

    // Same width is not the same type, in either order; names play no part.
    OutputTemplate<unsigned long> ulongOut("ul", nullptr);
    ConstInput<unsigned int> uintIn("ui", nullptr);
    EXPECT_FALSE(ConnectorsAreCompatible(ulongOut, uintIn) ||
                 ConnectorsAreCompatible(uintIn, ulongOut));
    EXPECT_FALSE(uintIn.canConnect(nullptr) || uintIn.connect(&ulongOut));
    EXPECT_EQ(ulongOut.connectedInput(), nullptr);
}

TEST_F(ConnectorLinks, DataBoundFlagAndCopies) {
    float value = 1.0f;
    Connect(a, x);
    EXPECT_FALSE(x.dataAvailable());
    a.setDataPtr(&value);
    EXPECT_TRUE(x.dataAvailable());
    EXPECT_FALSE(x.hasData()); // the input itself has acquired nothing
    // Linking never touches data; the bound flag outlives the data.
    x.setBoundData(&value);
    Connect(b, x);
    EXPECT_TRUE(a.data() == &value && x.data() == &value && !b.hasData());
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

//! Runs f while every counted allocation throws: proves that f allocates nothing.
template <class F>
void withoutAllocation(F&& f) {
    Core::failAllocationsAfter(0);
    f();
    Core::failAllocationsAfter(-1);
}

template <class T>
class TypedConnectors : public test::LeakChecked {
protected:
    static T* newValue() { return MIREL_NEW T(test::otherValue<T>()); }
    static bool isOther(T const& v) { return v == test::otherValue<T>(); }
};
TYPED_TEST_SUITE(TypedConnectors, test::AllValueTypes);

TYPED_TEST(TypedConnectors, DeliverySharesCellsPublishCopiesOnWriteAndBoundDataIsAView) {
    using T = TypeParam;
    OutputTemplate<T> out("out", nullptr);
    ConstInput<T> in("in", nullptr);
    expectInternal([&] { (void)in.value(); }, "Enforce ptr != NULL", kInputs);
    expectInternal([&] { in.acquireData(); }, "pConnectedOutput_ != NULL", kInputs);
    Connect(out, in);
    T* p = this->newValue();
    out.setData(p);
    std::size_t const live = Core::liveAllocations();
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(&in.value(), p);
    EXPECT_EQ(out.cell().use_count(), 1); // lent to the input it feeds, without a count
    out.keepCache(true);
    out.flush();
    EXPECT_EQ(out.data(), p);
    out.keepCache(false);
    withoutAllocation([&] { out.flush(); }); // the input keeps the value alive
    EXPECT_FALSE(out.hasData());
    EXPECT_TRUE(in.cell().use_count() == 1 && this->isOther(in.value()));
    // The next delivery has nothing: the input empties, and the last holder frees the value.
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(in.data(), nullptr);
    EXPECT_LT(Core::liveAllocations(), live);

    out.publish(test::otherValue<T>());
    in.acquireData();
    out.publish(T()); // the input still shares the first value
    EXPECT_NE(in.data(), out.data());
    EXPECT_TRUE(this->isOther(in.value()) && out.value() == T());
    // Nobody shares the value now: republishing overwrites it in place (allocating nothing for
    // a plain value).
    in.releaseData();
    T const* pStored = &out.value();
    if (std::is_trivially_destructible<T>::value)
        withoutAllocation([&] { out.publish(test::otherValue<T>()); });
    else
        out.publish(test::otherValue<T>());
    EXPECT_EQ(&out.value(), pStored);
    EXPECT_TRUE(this->isOther(out.value()));
    out.setData(nullptr);

    { // An output going away leaves the value it lends with the input.
        OutputTemplate<T> lender("lender", nullptr);
        Connect(lender, in);
        lender.setData(this->newValue());
        in.acquireData();
        lender.disconnect();
    }
    EXPECT_TRUE(this->isOther(in.value()));
    std::size_t const holding = Core::liveAllocations();
    in.setData(this->newValue()); // the first value is freed at once
    EXPECT_EQ(Core::liveAllocations(), holding);
    withoutAllocation([&] { in.flush(); }); // a flush lets go of what the input holds
    EXPECT_LT(Core::liveAllocations(), holding);

    // Bound data replaces the output's value, which an input still holds, and is delivered as a
    // view; refused values stay with the caller.
    T value = test::otherValue<T>();
    T* const pLent = this->newValue();
    Connect(out, in);
    out.setData(pLent);
    in.acquireData();
    out.setBoundData(&value);
    EXPECT_TRUE(!out.cell() && &in.value() == pLent);
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(&in.value(), &value);
    EXPECT_EQ(in.cell().use_count(), 0); // a view: no count, nothing to free
    out.flush();                         // bound data stays
    EXPECT_EQ(out.data(), &value);
    withoutAllocation([&] { in.releaseData(); });

    T* const pRefused = this->newValue();
    std::size_t const withRefused = Core::liveAllocations();
    expectInternal([&] { out.setData(pRefused); }, "!this->bound()");
    EXPECT_EQ(out.data(), &value);
    in.setBoundData(&value);
    expectInternal([&] { in.releaseData(); }, "!this->bound()", kInputs);
    expectInternal([&] { in.setData(pRefused); }, "!this->bound()");
    expectInternal([&] { in.setCell(boost::shared_ptr<T>()); }, "!this->bound()");
    EXPECT_EQ(in.data(), &value);
    ASSERT_EQ(Core::liveAllocations(), withRefused) << "a refused value was freed";
    EXPECT_TRUE(this->isOther(*pRefused));
    Core::destroy(pRefused);
}

TEST_F(ConnectorLinks, AnOutputOfTheSameTypeThatIsNoOutputTemplateIsReported) {
    struct FloatView : OutputConnector { // a client's own output class
        using OutputConnector::OutputConnector;
        std::type_info const& datatype() const override { return typeid(float); }
        void flush() override {}
    } view("view", nullptr);
    Connect(view, x);
    expectInternal([&] { x.acquireData(); }, "the linked output is not an OutputTemplate<T>",
                   kInputs);
}

// Ownership of a value handed to setData, seen through a type that counts its destructions.
struct Probe {
    static int destroyed;
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

TEST_F(ConnectorLinks, SetDataOwnsTheValueUnlessReleasedAndFreesItIfItsCountCannotBeMade) {
    Probe::destroyed = 0;
    ConstInput<Probe> in("in", nullptr);
    Probe* p = MIREL_NEW Probe();
    in.setData(p);
    auto* pDeleter = boost::get_deleter<ReleasableDeleter<Probe>>(in.cell());
    ASSERT_NE(pDeleter, nullptr);
    pDeleter->release(); // the value is handed over: the cell no longer frees it
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 0);
    Core::destroy(p);
    p = MIREL_NEW Probe();
    Core::failAllocationsAfter(0); // the count block: setData still owns and frees the value
    EXPECT_THROW(in.setData(p), std::bad_alloc);
    Core::failAllocationsAfter(-1);
    EXPECT_EQ(Probe::destroyed, 2);
    EXPECT_EQ(in.data(), nullptr);
}

// A module loaded with RTLD_LOCAL makes connectors of its own; they link with the test's by type,
// and an Image, a value type of the client's own, crosses without a copy.
TEST_F(ConnectorLinks, ValuesCrossBetweenConnectorsMadeHereAndInAModule) {
    std::unique_ptr<void, int (*)(void*)> module(
        dlopen(TEST_MODULE_DIR "/connector_module.so", RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_TRUE(module) << dlerror();
    auto* makeIntOutput =
        reinterpret_cast<OutputConnector* (*)(char const*)>(dlsym(module.get(), "makeIntOutput"));
    auto* makeImageOutput = reinterpret_cast<OutputConnector* (*)(char const*, int)>(
        dlsym(module.get(), "makeImageOutput"));
    auto* destroy = reinterpret_cast<void (*)(Connector*)>(dlsym(module.get(), "destroy"));
    ASSERT_TRUE(makeIntOutput && makeImageOutput && destroy);

    OutputConnector* pIntOut = makeIntOutput("int");
    OutputConnector* pOut = makeImageOutput("image", 3);
    ConstInput<test::Image> in("in", nullptr);
    EXPECT_FALSE(in.connect(pIntOut));
    destroy(pIntOut);
    Connect(*pOut, in); // the module's Image is ours
    in.acquireData();   // the host's input asks the module's output to deliver
    EXPECT_EQ(in.data(), pOut->data()) << "the cell is shared, the image not copied";
    EXPECT_EQ(in.value().grey, std::vector<float>(3, 0.5f));
    pOut->disconnect();
    destroy(pOut); // the input still holds the image
    EXPECT_EQ(in.value().width, 3);
    in.releaseData();
}

} // namespace
