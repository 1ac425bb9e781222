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
    expectInternal([&] { Connect(x, intOut); }, "ConnectorsAreCompatible(out, in)");
    EXPECT_FALSE(x.connect(&intOut)); // connect reports the failure instead
    expectLinked(a, x);
    expectLinked(intOut, intIn);
    EXPECT_TRUE(y.connect(&a));
    expectLinked(a, y);
    EXPECT_EQ(x.connectedOutput(), nullptr);

    // Same width is not the same type, in either order; names play no part.
    OutputTemplate<unsigned long> ulongOut("ul", nullptr);
    OutputTemplate<unsigned int> uintOut("ui", nullptr);
    ConstInput<unsigned int> uintIn("ui", nullptr);
    EXPECT_FALSE(ConnectorsAreCompatible(ulongOut, uintIn) ||
                 ConnectorsAreCompatible(uintIn, ulongOut));
    EXPECT_FALSE(uintIn.canConnect(nullptr) || uintIn.connect(&ulongOut));
    EXPECT_EQ(ulongOut.connectedInput(), nullptr);
    EXPECT_TRUE(uintIn.canConnect(&uintOut));
    EXPECT_TRUE(ConnectorsAreCompatible(x, b));
}

TEST_F(ConnectorLinks, DataBoundFlagCopiesAndNames) {
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

    String const withNul("x\0y", 3); // compared in full, past the NUL
    FloatIn upper("X", nullptr), longer("xx", nullptr), nul(withNul, nullptr);
    ConnectorNameEquals isX(String("x"));
    EXPECT_TRUE(isX(&x));
    EXPECT_FALSE(isX(&upper) || isX(&longer) || isX(&nul));
    EXPECT_TRUE(ConnectorNameEquals(withNul)(&nul));
}

//! Runs f while every counted allocation throws: proves that f allocates nothing.
template <class F>
void withoutAllocation(F&& f) {
    Core::failAllocationsAfter(0);
    f();
    Core::failAllocationsAfter(-1);
}

// An input its node fills itself, with setData or setCell.
template <class T>
class SetInput : public InputTemplate<T> {
public:
    using InputTemplate<T>::InputTemplate;
    void acquireData() override {}
};

template <class T>
class TypedConnectors : public test::LeakChecked {
protected:
    OutputTemplate<T> out{"out", nullptr};
    ConstInput<T> in{"in", nullptr};
    static T* newValue() { return MIREL_NEW T(test::otherValue<T>()); }
    static bool isOther(T const& v) { return v == test::otherValue<T>(); }
};
TYPED_TEST_SUITE(TypedConnectors, test::AllValueTypes);

TYPED_TEST(TypedConnectors, DeliverySharesTheCellUntilTheLastHolderLetsGo) {
    auto& out = this->out;
    auto& in = this->in;
    expectInternal([&] { (void)in.value(); }, "Enforce ptr != NULL", kInputs);
    expectInternal([&] { (void)out.value(); }, "Enforce ptr != NULL");
    expectInternal([&] { in.acquireData(); }, "pConnectedOutput_ != NULL", kInputs);
    Connect(out, in);
    TypeParam* p = this->newValue();
    out.setData(p);
    std::size_t const live = Core::liveAllocations();
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(&in.value(), p);
    EXPECT_EQ(out.cell().use_count(), 1); // lent to the input it feeds, without a count
    ConstInput<TypeParam> copy(in);       // holds no value, reads from the same producer
    EXPECT_EQ(copy.data(), nullptr);
    copy.acquireData();
    EXPECT_EQ(out.cell().use_count(), 2); // the output does not feed the copy: a count
    copy.releaseData();

    out.keepCache(true);
    out.flush();
    EXPECT_EQ(out.data(), p);
    out.keepCache(false);
    withoutAllocation([&] { out.flush(); }); // the input keeps the value alive
    EXPECT_FALSE(out.hasData());
    EXPECT_EQ(in.cell().use_count(), 1);
    EXPECT_TRUE(this->isOther(in.value()));
    // The next delivery has nothing: the input empties, and the last holder frees the value.
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(in.data(), nullptr);
    EXPECT_LT(Core::liveAllocations(), live);
}

TYPED_TEST(TypedConnectors, PublishNeverWritesIntoAValueAnInputStillHolds) {
    using T = TypeParam;
    auto& out = this->out;
    auto& in = this->in;
    Connect(out, in);
    out.publish(test::otherValue<T>());
    in.acquireData();
    out.publish(T()); // the input still shares the first value
    EXPECT_NE(in.data(), out.data());
    EXPECT_TRUE(this->isOther(in.value()));
    EXPECT_TRUE(out.value() == T());
    // Nobody shares the value now: republishing overwrites it in place (allocating nothing for
    // a plain value).
    in.releaseData();
    T const* p = &out.value();
    constexpr bool bPlain = std::is_trivially_destructible<T>::value;
    if (bPlain)
        withoutAllocation([&] { out.publish(test::otherValue<T>()); });
    else
        out.publish(test::otherValue<T>());
    EXPECT_EQ(&out.value(), p);
    EXPECT_TRUE(this->isOther(out.value()));
    std::size_t const live = Core::liveAllocations();
    out.flush();
    EXPECT_FALSE(out.hasData() || out.cell());
    in.acquireData(); // nothing to deliver after the flush
    EXPECT_EQ(in.data(), nullptr);
    if (bPlain) {
        // A plain value's storage stays for the next publish, which allocates nothing.
        EXPECT_EQ(Core::liveAllocations(), live);
        withoutAllocation([&] { out.publish(T()); });
        EXPECT_EQ(&out.value(), p);
        out.setData(nullptr); // a new value of its own gives the storage back
        EXPECT_EQ(Core::liveAllocations(), live - 1);
    } else {
        EXPECT_LT(Core::liveAllocations(), live); // strings and vectors are given back
    }

    SetInput<T> set("set", nullptr);
    set.setData(this->newValue());
    std::size_t const holding = Core::liveAllocations();
    set.setData(this->newValue()); // the first value is freed at once
    EXPECT_EQ(Core::liveAllocations(), holding);
    withoutAllocation([&] { set.releaseData(); });
    EXPECT_EQ(set.data(), nullptr);
    EXPECT_LT(Core::liveAllocations(), holding);
}

TYPED_TEST(TypedConnectors, BoundDataIsDeliveredAsAViewAndRefusedValuesStayWithTheCaller) {
    using T = TypeParam;
    auto& out = this->out;
    auto& in = this->in;
    T value = test::otherValue<T>();
    Connect(out, in);
    out.setData(this->newValue());
    out.setDataPtr(&value); // storage the producer owns itself is delivered as a view
    in.acquireData();
    EXPECT_EQ(&in.value(), &value);
    EXPECT_EQ(in.cell().use_count(), 0);
    out.setBoundData(&value); // drops the owned value: the output carries the caller's
    EXPECT_FALSE(out.cell());
    withoutAllocation([&] { in.acquireData(); });
    EXPECT_EQ(&in.value(), &value);
    EXPECT_EQ(in.cell().use_count(), 0); // a view: no count, nothing to free
    out.flush();                         // bound data stays
    EXPECT_EQ(out.data(), &value);
    withoutAllocation([&] { in.releaseData(); });

    T* const pRefused = this->newValue();
    std::size_t const live = Core::liveAllocations();
    expectInternal([&] { out.setData(pRefused); }, "!this->bound()");
    EXPECT_EQ(out.data(), &value);
    in.setBoundData(&value);
    expectInternal([&] { in.releaseData(); }, "!this->bound()", kInputs);
    expectInternal([&] { in.flush(); }, "!this->bound()");
    expectInternal([&] { in.setData(pRefused); }, "!this->bound()");
    expectInternal([&] { in.setCell(boost::shared_ptr<T>()); }, "!this->bound()");
    EXPECT_EQ(in.data(), &value);
    ASSERT_EQ(Core::liveAllocations(), live) << "a refused value was freed";
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

// Ownership of values, seen through a type that counts its destructions.
struct Probe {
    static int destroyed;
    int value;
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

TEST_F(ConnectorLinks, EachValueIsFreedOnceByItsOwner) {
    Probe::destroyed = 0;
    OutputTemplate<Probe> out("out", nullptr);
    ConstInput<Probe> in("in", nullptr);
    Connect(out, in);
    out.setData(MIREL_NEW Probe{1});
    in.acquireData();
    out.setData(MIREL_NEW Probe{2}); // the input still holds the first
    EXPECT_EQ(Probe::destroyed, 0);
    in.acquireData(); // the first value's last holder lets go
    EXPECT_EQ(Probe::destroyed, 1);
    out.disconnect(); // the input outlives its producer
    out.flush();
    EXPECT_EQ(in.value().value, 2);
    in.flush();
    in.flush();
    EXPECT_EQ(Probe::destroyed, 2);

    Probe* p = MIREL_NEW Probe{4};
    in.setData(p);
    auto* pDeleter = boost::get_deleter<ReleasableDeleter<Probe>>(in.cell());
    ASSERT_NE(pDeleter, nullptr);
    pDeleter->release(); // the value is handed over: the cell no longer frees it
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 2);
    Core::destroy(p);
    p = MIREL_NEW Probe{5};
    Core::failAllocationsAfter(0); // the count block: setData still owns and frees the value
    EXPECT_THROW(in.setData(p), std::bad_alloc);
    Core::failAllocationsAfter(-1);
    EXPECT_EQ(Probe::destroyed, 4);
    EXPECT_EQ(in.data(), nullptr);

    // An output that drops a value it lends, binding storage or going away, leaves it with the
    // input.
    Probe bound{0};
    for (bool bBind : {true, false}) {
        {
            OutputTemplate<Probe> lender("lender", nullptr);
            Connect(lender, in);
            lender.setData(MIREL_NEW Probe{6});
            in.acquireData();
            if (bBind)
                lender.setBoundData(&bound);
            lender.disconnect();
        }
        EXPECT_EQ(Probe::destroyed, 4);
        EXPECT_EQ(in.value().value, 6);
        in.releaseData();
        EXPECT_EQ(Probe::destroyed, 5);
        Probe::destroyed = 4;
    }
}

// A module loaded with RTLD_LOCAL makes connectors of its own; they link with the library's and
// the test's, and values cross in both directions: a float of the library's types, and an Image,
// a value type of the client's own.
TEST_F(ConnectorLinks, ValuesCrossBetweenConnectorsMadeHereAndInAModule) {
    std::unique_ptr<void, int (*)(void*)> module(
        dlopen(TEST_MODULE_DIR "/connector_module.so", RTLD_NOW | RTLD_LOCAL), dlclose);
    ASSERT_TRUE(module) << dlerror();
    auto* makeFloatInput =
        reinterpret_cast<InputConnector* (*)(char const*)>(dlsym(module.get(), "makeFloatInput"));
    auto* makeIntOutput =
        reinterpret_cast<OutputConnector* (*)(char const*)>(dlsym(module.get(), "makeIntOutput"));
    auto* makeImageOutput = reinterpret_cast<OutputConnector* (*)(char const*, int)>(
        dlsym(module.get(), "makeImageOutput"));
    auto* destroy = reinterpret_cast<void (*)(Connector*)>(dlsym(module.get(), "destroy"));
    ASSERT_TRUE(makeFloatInput && makeIntOutput && makeImageOutput && destroy);

    InputConnector* pIn = makeFloatInput("in");
    Connect(a, *pIn); // the module's float type is ours: no throw
    a.setData(MIREL_NEW float(6.5f));
    pIn->acquireData(); // the module's input calls our output's delivery
    EXPECT_EQ(pIn->data(), a.data());
    EXPECT_NE(dynamic_cast<ConstInput<float>*>(pIn), nullptr); // the library's exported class
    // A module output of another type does not link with the module's float input.
    OutputConnector* pIntOut = makeIntOutput("int");
    EXPECT_FALSE(pIn->connect(pIntOut));
    EXPECT_EQ(pIn->connectedOutput(), &a);
    pIn->releaseData();
    a.disconnect();
    destroy(pIn);
    destroy(pIntOut);
    a.setData(nullptr);

    OutputConnector* pOut = makeImageOutput("image", 3);
    ConstInput<test::Image> in("in", nullptr);
    Connect(*pOut, in); // the module's Image is ours
    in.acquireData();   // the host's input asks the module's output to deliver
    EXPECT_EQ(in.data(), pOut->data()) << "the cell is shared, the image not copied";
    EXPECT_EQ(in.value().width, 3);
    EXPECT_EQ(in.value().grey, std::vector<float>(3, 0.5f));
    pOut->disconnect();
    destroy(pOut); // the input still holds the image
    EXPECT_EQ(in.value().width, 3);
    in.releaseData();
}

} // namespace
