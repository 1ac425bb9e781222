// Parameters: the three dirty channels and the change-only rule, the guarded typed access,
// printing, cloning, interval bounds, ownership when allocations fail, visitor dispatch for
// every value type, and the proxy input through which an upstream output drives a parameter.
#include "support/TestSupport.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/parameters/Parameter.h"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::cleanAll;
using test::LeakChecked;

namespace {

using Flags = std::array<bool, 3>;
constexpr Flags kAllDirty{true, true, true};
constexpr Flags kAllClean{false, false, false};

Flags flagsOf(ParameterBase const& p) {
    return {p.isDirty(), p.isDirtySimpleCaching(), p.isDirtyLumet()};
}

template <class T>
std::string written(T const& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

using ProxyHandle = std::unique_ptr<InputConnector, MirelDeleter<InputConnector>>;

} // namespace

// Dirty channels and the change-only rule -----------------------------------------------------

using ParameterDirty = LeakChecked;

TEST_F(ParameterDirty, ChannelsClearOnTheirOwnAndAChangeRaisesAllThree) {
    using Clean = void (ParameterBase::*)();
    Clean const cleaners[3] = {&ParameterBase::setClean, &ParameterBase::setCleanSimpleCaching,
                               &ParameterBase::setCleanLumet};
    for (int i = 0; i < 3; ++i) {
        auto p = Parameter<int>::create(1, "p");
        ((*p).*cleaners[i])();
        Flags expected = kAllDirty;
        expected[i] = false;
        EXPECT_EQ(flagsOf(*p), expected) << "channel " << i;
    }

    auto p = Parameter<int>::create(5, "p");
    cleanAll(*p);
    p->resetToDefaultValue(); // already the default: no change
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValue(7);
    p->setCleanLumet(); // one consumer acknowledged, the others did not
    p->resetToDefaultValue();
    EXPECT_EQ(p->value(), 5);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
}

TEST_F(ParameterDirty, FloatsAndVectorsCompareByValue) {
    auto f = Parameter<float>::create(0.0f, "f");
    cleanAll(*f);
    f->setValue(-0.0f); // equal to 0.0: no change, and the stored zero keeps its sign
    EXPECT_EQ(flagsOf(*f), kAllClean);
    EXPECT_FALSE(std::signbit(f->value()));
    float const nan = std::numeric_limits<float>::quiet_NaN();
    f->setValue(nan);
    cleanAll(*f);
    f->setValue(nan); // a NaN equals nothing, itself included
    EXPECT_EQ(flagsOf(*f), kAllDirty);

    Float2Vector const points{float2(1.0f, 2.0f), float2(3.0f, 4.0f)};
    auto v = Parameter<Float2Vector>::create(points, "points");
    cleanAll(*v);
    v->setValue(Float2Vector(points));
    EXPECT_EQ(flagsOf(*v), kAllClean);
    Float2Vector moved = points;
    moved[1].y = 5.0f; // same length, one element differs
    v->setValue(moved);
    EXPECT_EQ(flagsOf(*v), kAllDirty);
    cleanAll(*v);
    v->setValue(Float2Vector(moved.begin(), moved.begin() + 1)); // a prefix is a change
    EXPECT_EQ(flagsOf(*v), kAllDirty);
}

TEST_F(ParameterDirty, WriteTextsPerKindOfValue) {
    std::ostringstream os;
    EXPECT_EQ(&(os << *Parameter<int>::create(5, "radius", "in pixels")), &os);
    EXPECT_EQ(os.str(), "radius in pixels 5");
    EXPECT_EQ(written(*Parameter<int>::create(5, "radius")), "radius  5"); // no line end
    EXPECT_EQ(written(*Parameter<Float2Vector>::create(
                  Float2Vector{float2(1.0f, 2.0f), float2(3.0f, 4.0f)}, "points")),
              "points  (1, 2) (3, 4) ");
    EXPECT_EQ(written(*Parameter<Float3Vector>::create(Float3Vector(), "empty", "none")),
              "empty none ");
    EXPECT_EQ(written(*Parameter<FloatVector>::create(FloatVector{0.5f, 2.0f}, "v", "d")),
              "v d 0.5 2 ");
    EXPECT_EQ(written(*Parameter<String>::create("hello world", "label", "caption")),
              "label caption hello world");
    EXPECT_EQ(written(*Parameter<bool>::create(true, "on")), "on  1");
    EXPECT_EQ(written(*Parameter<unsigned long>::create(4000000000ul, "n")), "n  4000000000");
    EXPECT_EQ(written(*Parameter<float>::create(0.25f, "f")), "f  0.25");
    EXPECT_EQ(written(*Parameter<int3>::create(int3(1, -2, 3), "i")), "i  (1, -2, 3)");
}

// The guarded typed access ----------------------------------------------------------------------

using ParameterTypeCheck = LeakChecked;

TEST_F(ParameterTypeCheck, MismatchOfDecoratedTypeNamesThrowsAndLeavesTheTargetAlone) {
    auto target = Parameter<float>::create(1.5f, "f");
    auto source = Parameter<int>::create(2, "i");
    cleanAll(*target);
    std::string const what =
        test::expectInternal([&] { target->setValueFromParameter(*source); },
                             "strcmp(data_type_name(), type_name(typeid(T)))==0");
    EXPECT_NE(what.find("data_flow/parameters/ParameterBase.h"), std::string::npos) << what;
    EXPECT_EQ(target->value(), 1.5f);
    EXPECT_EQ(flagsOf(*target), kAllClean);
    test::expectInternal([&] { (void)source->valueAs<float>(); },
                         "strcmp(data_type_name(), type_name(typeid(T)))==0");
    int const& live = static_cast<ParameterBase const&>(*source).valueAs<int>();
    source->setValue(8);
    EXPECT_EQ(live, 8); // valueAs reads the parameter's own value

    // Equal width is not the same type; a float interval parameter is a float parameter.
    auto u = Parameter<unsigned int>::create(1u, "u");
    auto ul = Parameter<unsigned long>::create(1ul, "ul");
    EXPECT_NE(std::strcmp(u->data_type_name(), ul->data_type_name()), 0);
    test::expectInternal([&] { u->setValueFromParameter(*ul); },
                         "strcmp(data_type_name(), type_name(typeid(T)))==0");

    auto f = Parameter<float>::create(1.0f, "f");
    auto fi = IntervalParameter<float>::create(2.0f, 0.0f, 4.0f, "fi");
    EXPECT_STREQ(f->data_type_name(), fi->data_type_name());
    f->setValueFromParameter(*fi);
    EXPECT_EQ(f->value(), 2.0f);
}

// Cloning and interval bounds -------------------------------------------------------------------

using ParameterClone = LeakChecked;

TEST_F(ParameterClone, RenamedCloneIsIndependentAndDirty) {
    auto p = Parameter<int>::create(5, "radius", "in pixels");
    p->setValue(7);
    cleanAll(*p);
    auto typed = boost::dynamic_pointer_cast<Parameter<int>>(p->clone("width"));
    ASSERT_TRUE(typed);
    EXPECT_EQ(written(*typed), "width in pixels 7");
    EXPECT_EQ(typed->defaultValue(), 5);
    EXPECT_EQ(flagsOf(*typed), kAllDirty);
    EXPECT_EQ(p->name(), "radius");
    EXPECT_EQ(flagsOf(*p), kAllClean);
    typed->setValue(9);
    EXPECT_EQ(p->value(), 7);
    p->setValue(1);
    EXPECT_EQ(typed->value(), 9);
}

TEST_F(ParameterClone, IntervalBoundsAreDescriptiveOnly) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level");
    cleanAll(*p);
    p->setValue(20); // outside: taken as it is
    EXPECT_EQ(p->value(), 20);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(IntervalParameter<int>::create(50, 0, 10, "outside")->value(), 50);
    auto reversed = IntervalParameter<int>::create(5, 10, 0, "reversed");
    EXPECT_EQ(reversed->lowerBound(), 10);
    EXPECT_EQ(reversed->upperBound(), 0);
}

// Every value type ------------------------------------------------------------------------------

namespace {

//! Records every call: how many, whether the fallback was taken, for which static type, and
//! with which object.
class RecordingVisitor : public ParameterVisitorBase {
public:
    int calls = 0;
    std::type_info const* pOperationType = nullptr; // null: the fallback
    ParameterBase const* pReceived = nullptr;

    void visit(ParameterBase* p) override { record(p, nullptr); }
#define RECORDING_VISITOR_OPERATION(T)                                                             \
    void visit(Parameter<T>* p) override {                                                         \
        record(p, &typeid(T));                                                                     \
    }
    RECORDING_VISITOR_OPERATION(int)
    RECORDING_VISITOR_OPERATION(bool)
    RECORDING_VISITOR_OPERATION(float)
    MIREL_CORE_VALUE_TYPES(RECORDING_VISITOR_OPERATION)
    RECORDING_VISITOR_OPERATION(::Mirel::String)
#undef RECORDING_VISITOR_OPERATION

private:
    void record(ParameterBase const* p, std::type_info const* pType) {
        ++calls;
        pOperationType = pType;
        pReceived = p;
    }
};

//! The six value types that have no operation of their own in the visitor.
template <class T>
constexpr bool kVisitsFallback =
    std::is_same<T, unsigned int>::value || std::is_same<T, unsigned long>::value ||
    std::is_same<T, FloatVector>::value || std::is_same<T, Float2Vector>::value ||
    std::is_same<T, Float3Vector>::value || std::is_same<T, Float4Vector>::value;

template <class T>
void expectVisit(Parameter<T>& p) {
    RecordingVisitor visitor;
    ParameterBase& base = p;
    base.visit(&visitor);
    EXPECT_EQ(visitor.calls, 1);
    EXPECT_EQ(visitor.pReceived, &base);
    if (kVisitsFallback<T>)
        EXPECT_EQ(visitor.pOperationType, nullptr);
    else
        EXPECT_TRUE(visitor.pOperationType && *visitor.pOperationType == typeid(T));
}

} // namespace

template <class T>
class EveryValueType : public LeakChecked {};
TYPED_TEST_SUITE(EveryValueType, test::AllValueTypes);

TYPED_TEST(EveryValueType, ChangeOnlyRuleCloneTypedAccessAndVisit) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = Parameter<T>::create(T(), "p", "d");
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_STREQ(p->data_type_name(), ParameterBase::type_name(typeid(T)));
    expectVisit(*p); // exactly the operation of T, or the fallback for types without one

    cleanAll(*p);
    p->setValue(T());
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValue(other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_TRUE(p->defaultValue() == T());
    EXPECT_TRUE(static_cast<ParameterBase const&>(*p).valueAs<T>() == other);
    EXPECT_EQ(written(*p), "p d " + written(other));

    boost::shared_ptr<Parameter<T>> copy = p->cloneParameter();
    EXPECT_TRUE(copy->value() == other);
    copy->resetToDefaultValue();
    EXPECT_TRUE(p->value() == other);
    cleanAll(*p);
    p->setValueFromParameter(*copy);
    EXPECT_TRUE(p->value() == T());
    EXPECT_EQ(flagsOf(*p), kAllDirty);

    if constexpr (!std::is_same<T, FloatVector>::value) { // the size is ignored
        EXPECT_EQ(written(*Parameter<T>::createArray("a", "b", 4)), "a b " + written(T()));
    }
}

TYPED_TEST(EveryValueType, ProxyInputWritesTheDeliveredValueIntoTheParameter) {
    using T = TypeParam;
    auto p = Parameter<T>::create(T(), "driven");
    ProxyHandle in(p->createProxyConnector(nullptr));
    EXPECT_EQ(in->name(), "driven");
    EXPECT_STREQ(ParameterBase::type_name(in->datatype()), p->data_type_name());

    OutputTemplate<T> out("out", nullptr);
    Connect(out, *in);
    out.setData(MIREL_NEW T(test::otherValue<T>()));
    cleanAll(*p);
    in->acquireData();
    EXPECT_TRUE(p->value() == test::otherValue<T>());
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    in->releaseData();
}

template <class T>
class EveryIntervalType : public LeakChecked {};
TYPED_TEST_SUITE(EveryIntervalType, test::IntervalValueTypes);

TYPED_TEST(EveryIntervalType, BoundsTravelWithCloneAndCopyOnlyAndVisitIsThePlainTypes) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = IntervalParameter<T>::create(T(), T(), other, "range", "d");
    p->setValue(other);
    cleanAll(*p);
    EXPECT_STREQ(p->data_type_name(), Parameter<T>::create(T(), "plain")->data_type_name());
    expectVisit<T>(*p);

    auto cloned = boost::dynamic_pointer_cast<IntervalParameter<T>>(p->clone("renamed"));
    ASSERT_TRUE(cloned);
    EXPECT_EQ(written(*cloned), "renamed d " + written(other));
    EXPECT_TRUE(cloned->defaultValue() == T());
    EXPECT_TRUE(cloned->lowerBound() == T() && cloned->upperBound() == other);
    EXPECT_EQ(flagsOf(*cloned), kAllDirty);
    boost::shared_ptr<Parameter<T>> plain = p->cloneParameter();
    EXPECT_FALSE(plain->isInterval());
    EXPECT_FALSE(boost::dynamic_pointer_cast<IntervalParameter<T>>(plain));
    EXPECT_TRUE(plain->value() == other);

    // Bounds copied from another interval raise nothing; a plain source leaves them.
    p->setValueFromParameter(*IntervalParameter<T>::create(other, other, T(), "source"));
    EXPECT_TRUE(p->lowerBound() == other && p->upperBound() == T());
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValueFromParameter(*Parameter<T>::create(T(), "plain"));
    EXPECT_TRUE(p->value() == T());
    EXPECT_TRUE(p->lowerBound() == other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
}

// Proxy inputs ----------------------------------------------------------------------------------

using ParameterProxy = LeakChecked;

TEST_F(ParameterProxy, OnlyADifferentUpstreamValueRaisesTheFlags) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "gain");
    ProxyHandle in(p->createProxyConnector(nullptr));
    OutputTemplate<int> out("out", nullptr);
    Connect(out, *in);
    cleanAll(*p);
    // Nothing delivered: the parameter stays as it was.
    std::string const what =
        test::expectInternal([&] { in->acquireData(); }, "Enforce ptr != NULL");
    EXPECT_NE(what.find("data_flow/connectors/Inputs.h"), std::string::npos) << what;
    EXPECT_EQ(p->value(), 5);
    EXPECT_EQ(flagsOf(*p), kAllClean);

    out.setData(MIREL_NEW int(5));
    in->acquireData();
    in->releaseData();
    EXPECT_EQ(flagsOf(*p), kAllClean);
    out.setData(MIREL_NEW int(42)); // outside the bounds: taken unchanged
    in->acquireData();
    in->releaseData();
    EXPECT_EQ(p->value(), 42); // the parameter keeps what it received
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(p->upperBound(), 10);
}
