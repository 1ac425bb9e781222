// Typed inputs and outputs over all 22 value types: cells shared between output and input, each
// value freed exactly once, releases that allocate nothing, bound data, and the exact failures.
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "support/TestSupport.h"

#include <string>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::LeakChecked;

namespace {

// An input its node fills itself, with setData or setCell.
template <class T>
class SetInput : public InputTemplate<T> {
public:
    using InputTemplate<T>::InputTemplate;
    void acquireData() override {}
};

//! Runs f while every counted allocation throws: proves that f allocates nothing.
template <class F>
void withoutAllocation(F&& f) {
    Core::failAllocationsAfter(0);
    f();
    Core::failAllocationsAfter(-1);
}

//! The exception text names the header where the check sits.
void expectFromInputs(std::string const& what) {
    EXPECT_NE(what.find("data_flow/connectors/Inputs.h"), std::string::npos) << what;
}

} // namespace

template <class T>
class TypedConnectors : public LeakChecked {
protected:
    OutputTemplate<T> out{"out", nullptr};
    ConstInput<T> in{"in", nullptr};

    static T* newValue() { return MIREL_NEW T(test::otherValue<T>()); }
    static bool isOther(T const& v) { return v == test::otherValue<T>(); }
};
TYPED_TEST_SUITE(TypedConnectors, test::AllValueTypes);

TYPED_TEST(TypedConnectors, DeliverySharesTheCellUntilTheLastHolderLetsGo) {
    expectFromInputs(test::expectInternal([&] { (void)this->in.value(); }, "Enforce ptr != NULL"));
    test::expectInternal([&] { (void)this->out.value(); }, "Enforce ptr != NULL");
    Connect(this->out, this->in);
    TypeParam* p = this->newValue();
    this->out.setData(p);
    std::size_t const live = Core::liveAllocations();
    withoutAllocation([&] { this->in.acquireData(); });
    EXPECT_EQ(this->in.data(), this->out.data());
    EXPECT_EQ(&this->in.value(), p);
    EXPECT_EQ(this->out.cell().use_count(), 2);

    this->out.keepCache(true);
    this->out.flush();
    EXPECT_EQ(this->out.data(), p);
    this->out.keepCache(false);
    withoutAllocation([&] { this->out.flush(); }); // the input keeps the value alive
    EXPECT_FALSE(this->out.hasData());
    EXPECT_EQ(this->in.cell().use_count(), 1);
    EXPECT_TRUE(this->isOther(this->in.value()));
    // The next delivery has nothing: the input empties, and the last holder frees the value.
    withoutAllocation([&] { this->in.acquireData(); });
    EXPECT_EQ(this->in.data(), nullptr);
    EXPECT_LT(Core::liveAllocations(), live);
    test::expectInternal([&] { (void)this->in.value(); }, "Enforce ptr != NULL");
}

TYPED_TEST(TypedConnectors, PublishNeverWritesIntoAValueAnInputStillHolds) {
    using T = TypeParam;
    Connect(this->out, this->in);
    this->out.publish(test::otherValue<T>());
    this->in.acquireData();
    EXPECT_EQ(this->in.data(), this->out.data());
    this->out.publish(T()); // the input still shares the first value
    EXPECT_NE(this->in.data(), this->out.data());
    EXPECT_TRUE(this->isOther(this->in.value()));
    EXPECT_TRUE(this->out.value() == T());

    // Nobody shares the value now: republishing overwrites it in place (allocating nothing for
    // a plain value).
    this->in.releaseData();
    T const* p = &this->out.value();
    if (std::is_trivially_destructible<T>::value)
        withoutAllocation([&] { this->out.publish(test::otherValue<T>()); });
    else
        this->out.publish(test::otherValue<T>());
    EXPECT_EQ(&this->out.value(), p);
    EXPECT_TRUE(this->isOther(this->out.value()));
    std::size_t const live = Core::liveAllocations();
    this->out.flush();
    EXPECT_FALSE(this->out.hasData());
    EXPECT_FALSE(this->out.cell());
    this->in.acquireData(); // nothing to deliver after the flush
    EXPECT_EQ(this->in.data(), nullptr);
    if (std::is_trivially_destructible<T>::value) {
        // A plain value's storage stays for the next publish, which allocates nothing.
        EXPECT_EQ(Core::liveAllocations(), live);
        withoutAllocation([&] { this->out.publish(T()); });
        EXPECT_EQ(&this->out.value(), p);
        this->out.setData(nullptr); // a new value of its own gives the storage back
        EXPECT_EQ(Core::liveAllocations(), live - 1);
    } else {
        EXPECT_LT(Core::liveAllocations(), live); // strings and vectors are given back
    }
}

TYPED_TEST(TypedConnectors, SetDataFreesTheReplacedValueAndReleaseAllocatesNothing) {
    SetInput<TypeParam> set("set", nullptr);
    set.setData(this->newValue());
    std::size_t const holding = Core::liveAllocations();
    set.setData(this->newValue()); // the first value is freed at once
    EXPECT_EQ(Core::liveAllocations(), holding);
    withoutAllocation([&] { set.releaseData(); });
    EXPECT_EQ(set.data(), nullptr);
    EXPECT_LT(Core::liveAllocations(), holding);
    this->out.setData(this->newValue());
    withoutAllocation([&] { this->out.setData(nullptr); });
    EXPECT_FALSE(this->out.hasData());
}

TYPED_TEST(TypedConnectors, BoundDataIsDeliveredAsAViewAndNeverReleased) {
    using T = TypeParam;
    T value = test::otherValue<T>();
    Connect(this->out, this->in);
    this->out.setData(this->newValue());
    this->out.setDataPtr(&value); // storage the producer owns itself is delivered as a view
    this->in.acquireData();
    EXPECT_EQ(&this->in.value(), &value);
    EXPECT_EQ(this->in.cell().use_count(), 0);

    this->out.setBoundData(&value); // drops the owned value: the output carries the caller's
    EXPECT_FALSE(this->out.cell());
    withoutAllocation([&] { this->in.acquireData(); });
    EXPECT_EQ(&this->in.value(), &value);
    EXPECT_EQ(this->in.cell().use_count(), 0); // a view: no count, nothing to free
    this->out.flush();                         // bound data stays
    EXPECT_EQ(this->out.data(), &value);
    withoutAllocation([&] { this->in.releaseData(); });
    // A refused value stays with the caller.
    T* const pRefused = this->newValue();
    std::size_t const live = Core::liveAllocations();
    test::expectInternal([&] { this->out.setData(pRefused); }, "!this->bound()");
    EXPECT_EQ(this->out.data(), &value);
    ASSERT_EQ(Core::liveAllocations(), live) << "the output freed the refused value";

    this->in.setBoundData(&value);
    expectFromInputs(test::expectInternal([&] { this->in.releaseData(); }, "!this->bound()"));
    test::expectInternal([&] { this->in.flush(); }, "!this->bound()");
    test::expectInternal([&] { this->in.setData(pRefused); }, "!this->bound()");
    test::expectInternal([&] { this->in.setCell(boost::shared_ptr<T>()); }, "!this->bound()");
    EXPECT_EQ(this->in.data(), &value);
    ASSERT_EQ(Core::liveAllocations(), live) << "the input freed the refused value";
    EXPECT_TRUE(this->isOther(*pRefused));
    Core::destroy(pRefused);
}

using TypedInputFailures = LeakChecked;

TEST_F(TypedInputFailures, UnlinkedInputCannotAcquireAndACopyHoldsNoValue) {
    OutputTemplate<float> out("out", nullptr);
    ConstInput<float> in("in", nullptr);
    expectFromInputs(test::expectInternal([&] { in.acquireData(); }, "pConnectedOutput_ != NULL"));
    Connect(out, in);
    out.setData(MIREL_NEW float(1.5f));
    in.acquireData();
    ConstInput<float> copy(in);
    EXPECT_EQ(copy.data(), nullptr);
    EXPECT_EQ(out.cell().use_count(), 2);
    copy.acquireData(); // the copy still reads from the producer
    EXPECT_EQ(copy.value(), 1.5f);
    EXPECT_EQ(out.cell().use_count(), 3);
}

TEST_F(TypedInputFailures, AnOutputOfTheSameTypeThatIsNoOutputTemplateIsReported) {
    struct FloatView : OutputConnector { // a client's own output class
        using OutputConnector::OutputConnector;
        std::type_info const& datatype() const override { return typeid(float); }
        void flush() override {}
    } view("view", nullptr);
    ConstInput<float> in("in", nullptr);
    Connect(view, in);
    expectFromInputs(test::expectInternal([&] { in.acquireData(); },
                                          "the linked output is not an OutputTemplate<T>"));
}

// Ownership of values, seen through a type that counts its destructions.
namespace {

struct Probe {
    static int destroyed;
    int value;
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

} // namespace

using ValueOwnership = LeakChecked;

TEST_F(ValueOwnership, EachValueIsFreedOnceByItsOwner) {
    Probe::destroyed = 0;
    OutputTemplate<Probe> out("out", nullptr);
    ConstInput<Probe> in("in", nullptr);
    Connect(out, in);
    out.setData(MIREL_NEW Probe{1});
    in.acquireData();
    in.releaseData(); // the output still holds it
    in.acquireData();
    out.setData(MIREL_NEW Probe{2}); // the input still holds the first
    EXPECT_EQ(Probe::destroyed, 0);
    EXPECT_EQ(in.value().value, 1);
    in.acquireData(); // the first value's last holder lets go
    EXPECT_EQ(Probe::destroyed, 1);
    EXPECT_EQ(in.value().value, 2);
    out.flush();
    EXPECT_EQ(Probe::destroyed, 1);
    in.flush();
    in.flush();
    EXPECT_EQ(Probe::destroyed, 2);

    {
        OutputTemplate<Probe> producer("producer", nullptr); // the input outlives its producer
        Connect(producer, in);
        producer.setData(MIREL_NEW Probe{3});
        in.acquireData();
        producer.disconnect();
    }
    EXPECT_EQ(in.value().value, 3);
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 3);

    Probe* p = MIREL_NEW Probe{4};
    in.setData(p);
    auto* pDeleter = boost::get_deleter<ReleasableDeleter<Probe>>(in.cell());
    ASSERT_NE(pDeleter, nullptr);
    pDeleter->release(); // the value is handed over: the cell no longer frees it
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 3);
    Core::destroy(p);

    p = MIREL_NEW Probe{5};
    Core::failAllocationsAfter(0); // the count block: setData still owns and frees the value
    EXPECT_THROW(in.setData(p), std::bad_alloc);
    Core::failAllocationsAfter(-1);
    EXPECT_EQ(Probe::destroyed, 5);
    EXPECT_EQ(in.data(), nullptr);
}
