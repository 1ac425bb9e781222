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

TYPED_TEST(TypedConnectors, NewConnectorsHoldNothing) {
    using T = TypeParam;
    SetInput<T> set("set", nullptr);
    EXPECT_EQ(this->in.data(), nullptr);
    EXPECT_EQ(set.data(), nullptr);
    EXPECT_EQ(this->out.data(), nullptr);
    EXPECT_FALSE(this->in.cell());
    EXPECT_TRUE(this->in.datatype() == typeid(T));
    EXPECT_TRUE(set.datatype() == typeid(T));
    EXPECT_TRUE(this->out.datatype() == typeid(T));
    expectFromInputs(test::expectInternal([&] { (void)this->in.value(); }, "Enforce ptr != NULL"));
    test::expectInternal([&] { (void)set.value(); }, "Enforce ptr != NULL");
    test::expectInternal([&] { (void)this->out.value(); }, "Enforce ptr != NULL");
}

TYPED_TEST(TypedConnectors, DeliverySharesTheOutputsCellWithoutCopyOrAllocation) {
    Connect(this->out, this->in);
    TypeParam* p = this->newValue();
    this->out.setData(p);
    EXPECT_EQ(this->out.data(), p);
    EXPECT_TRUE(this->isOther(this->out.value()));

    std::size_t live = Core::liveAllocations();
    withoutAllocation([&] { this->in.acquireData(); });
    EXPECT_EQ(Core::liveAllocations(), live);
    EXPECT_EQ(this->in.data(), this->out.data());
    EXPECT_EQ(&this->in.value(), p);
    EXPECT_EQ(this->out.cell().use_count(), 2);

    // The output lets go first: the input keeps the value alive.
    this->out.flush();
    EXPECT_FALSE(this->out.hasData());
    EXPECT_FALSE(this->out.cell());
    EXPECT_EQ(this->in.cell().use_count(), 1);
    EXPECT_TRUE(this->isOther(this->in.value()));

    // The last release frees the value and allocates nothing.
    withoutAllocation([&] { this->in.releaseData(); });
    EXPECT_EQ(this->in.data(), nullptr);
    EXPECT_FALSE(this->in.cell());
    EXPECT_LT(Core::liveAllocations(), live);
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

    this->in.releaseData();
    // Nobody shares the value now: republishing overwrites it in place (allocating nothing for
    // a plain value).
    TypeParam const* p = &this->out.value();
    if (std::is_trivially_destructible<T>::value)
        withoutAllocation([&] { this->out.publish(test::otherValue<T>()); });
    else
        this->out.publish(test::otherValue<T>());
    EXPECT_EQ(&this->out.value(), p);
    EXPECT_TRUE(this->isOther(this->out.value()));

    std::size_t const live = Core::liveAllocations();
    this->out.flush(); // value and count go in one block
    EXPECT_FALSE(this->out.hasData());
    if (std::is_trivially_destructible<T>::value)
        EXPECT_EQ(Core::liveAllocations() + 1, live);
    else
        EXPECT_LT(Core::liveAllocations(), live);
}

TYPED_TEST(TypedConnectors, SetDataReplacesAndReleases) {
    using T = TypeParam;
    SetInput<T> set("set", nullptr);
    std::size_t start = Core::liveAllocations();
    T* p1 = this->newValue();
    set.setData(p1);
    EXPECT_EQ(set.data(), p1);
    EXPECT_EQ(&set.value(), p1);
    std::size_t holding = Core::liveAllocations();
    EXPECT_GT(holding, start);

    set.setData(this->newValue()); // frees p1: the count stays where one value puts it
    EXPECT_EQ(Core::liveAllocations(), holding);
    EXPECT_TRUE(this->isOther(set.value()));

    withoutAllocation([&] { set.flush(); }); // flush is releaseData
    EXPECT_EQ(set.data(), nullptr);
    EXPECT_EQ(Core::liveAllocations(), start);

    // The same for the output's own cell.
    this->out.setData(this->newValue());
    this->out.setData(this->newValue());
    EXPECT_EQ(Core::liveAllocations(), holding);
    withoutAllocation([&] { this->out.setData(nullptr); });
    EXPECT_FALSE(this->out.hasData());
    EXPECT_EQ(Core::liveAllocations(), start);
}

TYPED_TEST(TypedConnectors, BoundInputRefusesToRelease) {
    using T = TypeParam;
    T value = test::otherValue<T>();
    this->in.setBoundData(&value);
    expectFromInputs(test::expectInternal([&] { this->in.releaseData(); }, "!this->bound()"));
    test::expectInternal([&] { this->in.flush(); }, "!this->bound()");
    // A refused value is freed, not leaked (the fixture counts).
    test::expectInternal([&] { this->in.setData(this->newValue()); }, "!this->bound()");
    test::expectInternal([&] { this->in.setCell(boost::shared_ptr<T>()); }, "!this->bound()");
    EXPECT_EQ(this->in.data(), &value);
    EXPECT_TRUE(this->in.bound());
}

TYPED_TEST(TypedConnectors, BoundOutputIsDeliveredAsAView) {
    using T = TypeParam;
    T value = test::otherValue<T>();
    Connect(this->out, this->in);
    this->out.setData(this->newValue());
    this->out.setBoundData(&value); // drops the owned value: the output carries the caller's
    EXPECT_FALSE(this->out.cell());

    withoutAllocation([&] { this->in.acquireData(); });
    EXPECT_EQ(this->in.data(), &value);
    EXPECT_EQ(&this->in.value(), &value);
    EXPECT_EQ(this->in.cell().use_count(), 0); // a view: no count, nothing to free

    this->out.flush(); // bound data stays
    EXPECT_EQ(this->out.data(), &value);
    withoutAllocation([&] { this->in.releaseData(); });
    EXPECT_TRUE(this->isOther(value));

    test::expectInternal([&] { this->out.setData(this->newValue()); }, "!this->bound()");
    EXPECT_EQ(this->out.data(), &value);
}

TYPED_TEST(TypedConnectors, PublishedPointerIsDeliveredAsAView) {
    using T = TypeParam;
    T value = test::otherValue<T>();
    Connect(this->out, this->in);
    this->out.setData(this->newValue());
    this->out.setDataPtr(&value); // the producer publishes storage it owns itself
    this->in.acquireData();
    EXPECT_EQ(&this->in.value(), &value);
    EXPECT_EQ(this->in.cell().use_count(), 0);
    this->in.releaseData();
    this->out.flush();
    EXPECT_FALSE(this->out.hasData());
}

TYPED_TEST(TypedConnectors, OutputWithoutDataLeavesTheInputEmpty) {
    Connect(this->out, this->in);
    this->out.setData(this->newValue());
    this->in.acquireData();
    this->out.setData(nullptr); // the input still holds the old value...
    EXPECT_TRUE(this->isOther(this->in.value()));
    this->in.acquireData(); // ...until the next delivery, which has nothing
    EXPECT_EQ(this->in.data(), nullptr);
    test::expectInternal([&] { (void)this->in.value(); }, "Enforce ptr != NULL");
}

TYPED_TEST(TypedConnectors, OutputAskedToKeepItsCacheSurvivesFlush) {
    Connect(this->out, this->in);
    TypeParam* p = this->newValue();
    this->out.setData(p);
    this->out.keepCache(true);
    this->out.flush();
    EXPECT_EQ(this->out.data(), p);
    this->in.acquireData(); // still delivered after the flush
    EXPECT_EQ(this->in.data(), p);
    this->in.flush();
    this->out.keepCache(false);
    this->out.flush();
    EXPECT_FALSE(this->out.hasData());
}

using TypedInputFailures = LeakChecked;

TEST_F(TypedInputFailures, UnlinkedConstInputCannotAcquire) {
    ConstInput<float> in("in", nullptr);
    expectFromInputs(test::expectInternal([&] { in.acquireData(); }, "pConnectedOutput_ != NULL"));
    EXPECT_EQ(in.data(), nullptr);
}

TEST_F(TypedInputFailures, CopyOfAnInputHoldsNoValue) {
    OutputTemplate<float> out("out", nullptr);
    ConstInput<float> in("in", nullptr);
    Connect(out, in);
    out.setData(MIREL_NEW float(1.5f));
    in.acquireData();
    ConstInput<float> copy(in);
    EXPECT_EQ(copy.data(), nullptr);
    EXPECT_FALSE(copy.cell());
    EXPECT_EQ(copy.connectedOutput(), &out);
    EXPECT_EQ(out.cell().use_count(), 2);
    copy.acquireData(); // the copy still reads from the producer
    EXPECT_EQ(copy.value(), 1.5f);
    EXPECT_EQ(out.cell().use_count(), 3);
}

// Ownership of values, seen through a type that counts its destructions.
namespace {

struct Probe {
    static int destroyed;
    int value;
    explicit Probe(int v)
        : value(v) {}
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

class ValueOwnership : public LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        Probe::destroyed = 0;
    }
    OutputTemplate<Probe> out{"out", nullptr};
    ConstInput<Probe> in{"in", nullptr};
};

} // namespace

TEST_F(ValueOwnership, SharedValueIsFreedOnceByItsLastHolder) {
    Connect(out, in);
    out.setData(MIREL_NEW Probe(1));
    in.acquireData();
    in.releaseData(); // the output still holds it
    EXPECT_EQ(Probe::destroyed, 0);
    in.acquireData();
    out.flush();
    EXPECT_EQ(Probe::destroyed, 0);
    in.flush();
    EXPECT_EQ(Probe::destroyed, 1);
    out.flush();
    in.flush();
    EXPECT_EQ(Probe::destroyed, 1);
}

TEST_F(ValueOwnership, NewValueOnTheOutputLeavesTheDeliveredOneAlone) {
    Connect(out, in);
    out.setData(MIREL_NEW Probe(1));
    in.acquireData();
    out.setData(MIREL_NEW Probe(2));
    EXPECT_EQ(Probe::destroyed, 0);
    EXPECT_EQ(in.value().value, 1);
    in.acquireData(); // the old value's last holder lets go
    EXPECT_EQ(Probe::destroyed, 1);
    EXPECT_EQ(in.value().value, 2);
    in.releaseData();
    out.setData(nullptr);
    EXPECT_EQ(Probe::destroyed, 2);
}

TEST_F(ValueOwnership, InputOutlivesItsProducer) {
    {
        OutputTemplate<Probe> producer("producer", nullptr);
        Connect(producer, in);
        producer.setData(MIREL_NEW Probe(3));
        in.acquireData();
        producer.disconnect();
    }
    EXPECT_EQ(Probe::destroyed, 0);
    EXPECT_EQ(in.value().value, 3);
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 1);
}

TEST_F(ValueOwnership, ReleasedDeleterHandsTheValueOver) {
    Probe* p = MIREL_NEW Probe(4);
    in.setData(p);
    auto* pDeleter = boost::get_deleter<ReleasableDeleter<Probe>>(in.cell());
    ASSERT_NE(pDeleter, nullptr);
    EXPECT_FALSE(pDeleter->bReleased_);
    pDeleter->release();
    in.releaseData();
    EXPECT_EQ(Probe::destroyed, 0);
    Core::destroy(p); // now ours
    EXPECT_EQ(Probe::destroyed, 1);
}

TEST_F(ValueOwnership, FailedCellAllocationFreesTheValue) {
    Probe* p = MIREL_NEW Probe(5);
    Core::failAllocationsAfter(0); // the count block
    EXPECT_THROW(in.setData(p), std::bad_alloc);
    Core::failAllocationsAfter(-1);
    EXPECT_EQ(Probe::destroyed, 1);
    EXPECT_EQ(in.data(), nullptr);
}
