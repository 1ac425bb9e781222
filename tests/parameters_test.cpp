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
using test::LeakChecked;

namespace {

using Flags = std::array<bool, 3>;
constexpr Flags kAllDirty{true, true, true};
constexpr Flags kAllClean{false, false, false};

Flags flagsOf(ParameterBase const& p) {
    return {p.isDirty(), p.isDirtySimpleCaching(), p.isDirtyLumet()};
}

void cleanAll(ParameterBase& p) {
    p.setClean();
    p.setCleanSimpleCaching();
    p.setCleanLumet();
}

std::string written(ParameterBase const& p) {
    std::ostringstream os;
    os << p;
    return os.str();
}

template <class T>
std::string streamed(T const& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

//! Runs make() with the n-th allocation failing, for n = 0, 1, ... until it succeeds; every
//! failure must be std::bad_alloc and leave no block behind. Returns the number of failures.
template <class Make>
int failEachAllocationOf(Make make) {
    int failures = 0;
    for (long n = 0; n < 64; ++n) {
        std::size_t before = Core::liveAllocations();
        Core::failAllocationsAfter(n);
        try {
            make();
            Core::failAllocationsAfter(-1);
            return failures;
        } catch (std::bad_alloc const&) {
            ++failures;
        }
        Core::failAllocationsAfter(-1);
        EXPECT_EQ(Core::liveAllocations(), before) << "leak when allocation " << n << " failed";
    }
    ADD_FAILURE() << "never succeeded";
    return failures;
}

struct DestroyConnector {
    void operator()(InputConnector* p) const noexcept { Core::destroy(p); }
};
using ProxyHandle = std::unique_ptr<InputConnector, DestroyConnector>;

} // namespace

// Dirty channels and the change-only rule -----------------------------------------------------

using ParameterDirty = LeakChecked;

TEST_F(ParameterDirty, NewParameterIsDirtyEverywhereAndWritesNameDescriptionValue) {
    auto p = Parameter<int>::create(5, "radius");
    EXPECT_EQ(p->value(), 5);
    EXPECT_EQ(p->defaultValue(), 5);
    EXPECT_EQ(p->description(), "");
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_FALSE(p->isInterval());
    EXPECT_EQ(written(*p), "radius  5"); // empty description: two spaces, no line end

    auto q = Parameter<int>::create(5, "radius", "in pixels");
    std::ostringstream os;
    EXPECT_EQ(&(os << *q), &os);
    EXPECT_EQ(os.str(), "radius in pixels 5");
}

TEST_F(ParameterDirty, EachChannelIsClearedOnItsOwn) {
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
}

TEST_F(ParameterDirty, OnlyARealChangeRaisesAllThreeFlags) {
    auto p = Parameter<int>::create(5, "p");
    cleanAll(*p);
    p->setValue(5);
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValue(6);
    EXPECT_EQ(p->value(), 6);
    EXPECT_EQ(flagsOf(*p), kAllDirty);

    // One consumer acknowledged, another did not: a change raises all of them again.
    p->setCleanLumet();
    p->setValue(7);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(p->defaultValue(), 5);
}

TEST_F(ParameterDirty, ResetToDefaultFollowsTheSameRule) {
    auto p = Parameter<int>::create(5, "p");
    cleanAll(*p);
    p->resetToDefaultValue();
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValue(9);
    cleanAll(*p);
    p->resetToDefaultValue();
    EXPECT_EQ(p->value(), 5);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
}

TEST_F(ParameterDirty, FloatsCompareAsFloats) {
    auto p = Parameter<float>::create(0.0f, "f");
    cleanAll(*p);
    p->setValue(-0.0f); // equal to 0.0: no change, and the stored zero keeps its sign
    EXPECT_EQ(flagsOf(*p), kAllClean);
    EXPECT_FALSE(std::signbit(p->value()));

    float const nan = std::numeric_limits<float>::quiet_NaN();
    p->setValue(nan);
    EXPECT_TRUE(std::isnan(p->value()));
    for (int i = 0; i < 2; ++i) { // a NaN equals nothing, itself included
        cleanAll(*p);
        p->setValue(nan);
        EXPECT_EQ(flagsOf(*p), kAllDirty);
    }
}

TEST_F(ParameterDirty, VectorsCompareElementByElement) {
    Float2Vector const points{float2(1.0f, 2.0f), float2(3.0f, 4.0f)};
    auto p = Parameter<Float2Vector>::create(points, "points");
    cleanAll(*p);
    p->setValue(Float2Vector(points));
    EXPECT_EQ(flagsOf(*p), kAllClean);

    Float2Vector moved = points;
    moved[1].y = 5.0f;
    p->setValue(moved);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(p->value()[1].y, 5.0f);

    cleanAll(*p);
    p->setValue(Float2Vector(moved.begin(), moved.begin() + 1)); // a prefix is a change
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(p->value().size(), 1u);
}

TEST_F(ParameterDirty, WriteTextsPerKindOfValue) {
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

TEST_F(ParameterDirty, CreateArrayIgnoresItsSize) {
    auto a = Parameter<int>::createArray("counts", "per bin", 10);
    auto b = Parameter<int>::createArray("counts", "per bin", 0);
    for (auto const& p : {a, b}) {
        EXPECT_EQ(p->name(), "counts");
        EXPECT_EQ(p->description(), "per bin");
        EXPECT_EQ(p->value(), 0);
        EXPECT_EQ(p->defaultValue(), 0);
        EXPECT_EQ(flagsOf(*p), kAllDirty);
    }
    EXPECT_EQ(Parameter<float4x4>::createArray("m", "", 3)->value(), float4x4());
    EXPECT_TRUE(Parameter<Float4Vector>::createArray("v", "", 3)->value().empty());
}

// The guarded typed access ----------------------------------------------------------------------

using ParameterTypeCheck = LeakChecked;

TEST_F(ParameterTypeCheck, MismatchThrowsAndLeavesTheTargetAlone) {
    auto target = Parameter<float>::create(1.5f, "f");
    auto source = Parameter<int>::create(2, "i");
    cleanAll(*target);
    try {
        target->setValueFromParameter(*source);
        ADD_FAILURE() << "no exception";
    } catch (InternalException const& e) {
        EXPECT_STREQ(e.message(), "strcmp(data_type_name(), type_name(typeid(T)))==0");
        EXPECT_STREQ(e.file(), "data_flow/parameters/ParameterBase.h");
    }
    EXPECT_EQ(target->value(), 1.5f);
    EXPECT_EQ(flagsOf(*target), kAllClean);
    test::expectInternal([&] { (void)source->valueAs<float>(); },
                         "strcmp(data_type_name(), type_name(typeid(T)))==0");
}

TEST_F(ParameterTypeCheck, SameTypeMeansEqualDecoratedNames) {
    auto u = Parameter<unsigned int>::create(1u, "u");
    auto ul = Parameter<unsigned long>::create(1ul, "ul");
    EXPECT_NE(std::strcmp(u->data_type_name(), ul->data_type_name()), 0);
    test::expectInternal([&] { u->setValueFromParameter(*ul); },
                         "strcmp(data_type_name(), type_name(typeid(T)))==0");

    auto f = Parameter<float>::create(1.0f, "f");
    auto fi = IntervalParameter<float>::create(2.0f, 0.0f, 4.0f, "fi");
    EXPECT_STREQ(f->data_type_name(), fi->data_type_name());
    EXPECT_STREQ(f->data_type_name(), ParameterBase::type_name(typeid(float)));
    EXPECT_NE(std::strcmp(f->data_type_name(), Parameter<int>::create(0, "i")->data_type_name()),
              0);
    f->setValueFromParameter(*fi);
    EXPECT_EQ(f->value(), 2.0f);
    f->setValue(3.0f);
    fi->setValueFromParameter(*f);
    EXPECT_EQ(fi->value(), 3.0f);
}

TEST_F(ParameterTypeCheck, ValueAsReadsTheLiveValue) {
    auto p = Parameter<int>::create(1, "p");
    ParameterBase const& base = *p;
    int const& v = base.valueAs<int>();
    p->setValue(8);
    EXPECT_EQ(v, 8);
}

// Cloning ---------------------------------------------------------------------------------------

using ParameterClone = LeakChecked;

TEST_F(ParameterClone, RenamedCloneIsIndependentAndDirty) {
    auto p = Parameter<int>::create(5, "radius", "in pixels");
    p->setValue(7);
    cleanAll(*p);

    boost::shared_ptr<ParameterBase> copy = p->clone("width");
    auto typed = boost::dynamic_pointer_cast<Parameter<int>>(copy);
    ASSERT_TRUE(typed);
    EXPECT_NE(typed.get(), p.get());
    EXPECT_EQ(typed->name(), "width");
    EXPECT_EQ(typed->description(), "in pixels");
    EXPECT_EQ(typed->value(), 7);
    EXPECT_EQ(typed->defaultValue(), 5);
    EXPECT_EQ(flagsOf(*typed), kAllDirty);
    EXPECT_EQ(p->name(), "radius");
    EXPECT_EQ(flagsOf(*p), kAllClean);

    typed->setValue(9);
    EXPECT_EQ(p->value(), 7);
    p->setValue(1);
    EXPECT_EQ(typed->value(), 9);
}

TEST_F(ParameterClone, OnlyCloneKeepsTheInterval) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level", "d");
    p->setValue(7);

    auto interval = boost::dynamic_pointer_cast<IntervalParameter<int>>(p->clone());
    ASSERT_TRUE(interval);
    EXPECT_TRUE(interval->isInterval());
    EXPECT_EQ(interval->value(), 7);
    EXPECT_EQ(interval->defaultValue(), 5);
    EXPECT_EQ(interval->lowerBound(), 0);
    EXPECT_EQ(interval->upperBound(), 10);
    EXPECT_EQ(flagsOf(*interval), kAllDirty);

    auto renamed = boost::dynamic_pointer_cast<IntervalParameter<int>>(p->clone("other"));
    ASSERT_TRUE(renamed);
    EXPECT_EQ(renamed->name(), "other");
    EXPECT_EQ(renamed->upperBound(), 10);

    boost::shared_ptr<Parameter<int>> plain = p->cloneParameter();
    EXPECT_FALSE(plain->isInterval());
    EXPECT_FALSE(boost::dynamic_pointer_cast<IntervalParameter<int>>(plain));
    EXPECT_EQ(plain->value(), 7);
    EXPECT_EQ(plain->defaultValue(), 5);
    EXPECT_EQ(plain->name(), "level");
    EXPECT_EQ(plain->description(), "d");
}

// Interval bounds -------------------------------------------------------------------------------

using IntervalBounds = LeakChecked;

TEST_F(IntervalBounds, BoundsAreDescriptiveOnly) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level");
    EXPECT_TRUE(p->isInterval());
    EXPECT_EQ(p->description(), "");
    cleanAll(*p);
    p->setValue(20);
    EXPECT_EQ(p->value(), 20);
    EXPECT_EQ(flagsOf(*p), kAllDirty);

    auto outside = IntervalParameter<int>::create(50, 0, 10, "outside");
    EXPECT_EQ(outside->value(), 50);
    auto reversed = IntervalParameter<int>::create(5, 10, 0, "reversed");
    EXPECT_EQ(reversed->lowerBound(), 10);
    EXPECT_EQ(reversed->upperBound(), 0);
}

TEST_F(IntervalBounds, CopyFromIntervalTakesBoundsWithoutRaisingFlags) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level");
    auto source = IntervalParameter<int>::create(3, -1, 1, "source");
    p->setValueFromParameter(*source);
    EXPECT_EQ(p->value(), 3);
    EXPECT_EQ(p->lowerBound(), -1);
    EXPECT_EQ(p->upperBound(), 1);

    cleanAll(*p);
    auto wider = IntervalParameter<int>::create(3, -100, 100, "wider");
    p->setValueFromParameter(*wider);
    EXPECT_EQ(p->lowerBound(), -100);
    EXPECT_EQ(p->upperBound(), 100);
    EXPECT_EQ(flagsOf(*p), kAllClean);
}

TEST_F(IntervalBounds, CopyFromPlainTakesTheValueOnly) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level");
    auto plain = Parameter<int>::create(-4, "plain");
    cleanAll(*p);
    p->setValueFromParameter(*plain);
    EXPECT_EQ(p->value(), -4);
    EXPECT_EQ(p->lowerBound(), 0);
    EXPECT_EQ(p->upperBound(), 10);
    EXPECT_EQ(flagsOf(*p), kAllDirty);

    plain->setValueFromParameter(*p);
    EXPECT_EQ(plain->value(), -4);
    plain->setValueFromParameter(*IntervalParameter<int>::create(2, 0, 1, "x"));
    EXPECT_EQ(plain->value(), 2);
}

// Ownership when allocations fail ---------------------------------------------------------------

using ParameterOwnership = LeakChecked;

TEST_F(ParameterOwnership, FactoryReleasesEverythingWhateverAllocationFails) {
    String const shortName("r");
    // Exactly two blocks: the parameter, then the handle's count block. Failing the second one
    // makes the handle destroy the finished parameter.
    EXPECT_EQ(failEachAllocationOf([&] { Parameter<int>::create(5, shortName); }), 2);

    // Long strings allocate inside the constructor: the parameter, name, description, value,
    // default, count block. Failures 1 to 4 are a throwing constructor under the tagged new.
    String const name("a name too long for the small buffer");
    String const description("a description too long for the small buffer");
    String const value("a value too long for the small buffer");
    EXPECT_EQ(failEachAllocationOf([&] { Parameter<String>::create(value, name, description); }),
              6);

    FloatVector const v(4, 1.0f);
    EXPECT_GE(failEachAllocationOf([&] { IntervalParameter<FloatVector>::create(v, v, v, name); }),
              6);
}

TEST_F(ParameterOwnership, HandleOwnsTheParameterAndItsCountBlock) {
    std::size_t before = Core::liveAllocations();
    auto p = Parameter<int>::create(5, "r");
    EXPECT_EQ(Core::liveAllocations(), before + 2);
    auto copy = p;
    p.reset();
    EXPECT_EQ(Core::liveAllocations(), before + 2);
    copy.reset();
    EXPECT_EQ(Core::liveAllocations(), before);
}

TEST_F(ParameterOwnership, ClonesReleaseEverythingWhateverAllocationFails) {
    auto p = IntervalParameter<FloatVector>::create(FloatVector(3, 1.0f), FloatVector(3, 0.0f),
                                                    FloatVector(3, 2.0f), "a name beyond sso");
    p->setValue(FloatVector(2, 5.0f));
    EXPECT_GE(failEachAllocationOf([&] { p->clone(); }), 7);
    EXPECT_GE(failEachAllocationOf([&] { p->cloneParameter(); }), 5);
    EXPECT_GE(failEachAllocationOf([&] { p->clone("another long name beyond sso"); }), 8);
    EXPECT_EQ(p->value(), FloatVector(2, 5.0f));
}

// Every value type ------------------------------------------------------------------------------

namespace {

//! Records every call: how many, whether the fallback was taken, for which static type, and
//! with which object.
class RecordingVisitor : public ParameterVisitorBase {
public:
    int calls = 0;
    bool bFallback = false;
    std::type_info const* pOperationType = nullptr;
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
        bFallback = pType == nullptr;
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
    EXPECT_EQ(visitor.bFallback, kVisitsFallback<T>);
    if (!kVisitsFallback<T>) {
        ASSERT_NE(visitor.pOperationType, nullptr);
        EXPECT_TRUE(*visitor.pOperationType == typeid(T));
    }
}

} // namespace

template <class T>
class EveryValueType : public LeakChecked {};
TYPED_TEST_SUITE(EveryValueType, test::AllValueTypes);

TYPED_TEST(EveryValueType, ChangeOnlyRuleCloneAndTypedAccess) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = Parameter<T>::create(T(), "p", "d");
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_TRUE(p->datatype() == typeid(T));
    EXPECT_STREQ(p->data_type_name(), ParameterBase::type_name(typeid(T)));

    cleanAll(*p);
    p->setValue(T());
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValue(other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_TRUE(p->value() == other);
    EXPECT_TRUE(p->defaultValue() == T());
    EXPECT_TRUE(static_cast<ParameterBase const&>(*p).valueAs<T>() == other);
    EXPECT_EQ(written(*p), "p d " + streamed(other));

    boost::shared_ptr<Parameter<T>> copy = p->cloneParameter();
    EXPECT_TRUE(copy->value() == other);
    copy->resetToDefaultValue();
    EXPECT_TRUE(p->value() == other);
    cleanAll(*p);
    p->setValueFromParameter(*copy);
    EXPECT_TRUE(p->value() == T());
    EXPECT_EQ(flagsOf(*p), kAllDirty);

    if constexpr (!std::is_same<T, FloatVector>::value) {
        auto array = Parameter<T>::createArray("a", "b", 4);
        EXPECT_TRUE(array->value() == T());
        EXPECT_TRUE(array->defaultValue() == T());
    }
}

TYPED_TEST(EveryValueType, VisitCallsExactlyTheOperationOfItsType) {
    Parameter<TypeParam> p(test::otherValue<TypeParam>(), "member");
    expectVisit(p);
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

TYPED_TEST(EveryIntervalType, BoundsTravelWithCloneAndCopyOnly) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = IntervalParameter<T>::create(T(), T(), other, "range", "d");
    EXPECT_STREQ(p->data_type_name(), Parameter<T>::create(T(), "plain")->data_type_name());

    auto cloned = boost::dynamic_pointer_cast<IntervalParameter<T>>(p->clone());
    ASSERT_TRUE(cloned);
    EXPECT_TRUE(cloned->upperBound() == other);
    EXPECT_FALSE(p->cloneParameter()->isInterval());

    // Bounds copied from another interval raise nothing; a plain source leaves them.
    auto source = IntervalParameter<T>::create(T(), other, T(), "source");
    cleanAll(*p);
    p->setValueFromParameter(*source);
    EXPECT_TRUE(p->lowerBound() == other);
    EXPECT_TRUE(p->upperBound() == T());
    EXPECT_EQ(flagsOf(*p), kAllClean);
    p->setValueFromParameter(*Parameter<T>::create(other, "plain"));
    EXPECT_TRUE(p->value() == other);
    EXPECT_TRUE(p->lowerBound() == other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
}

TYPED_TEST(EveryIntervalType, VisitReachesThePlainTypesOperation) {
    IntervalParameter<TypeParam> p(TypeParam(), TypeParam(), TypeParam(), "range");
    expectVisit<TypeParam>(p);
    RecordingVisitor visitor;
    p.visit(&visitor);
    ASSERT_NE(visitor.pReceived, nullptr);
    EXPECT_TRUE(visitor.pReceived->isInterval());
}

// Proxy inputs ----------------------------------------------------------------------------------

using ParameterProxy = LeakChecked;

TEST_F(ParameterProxy, OnlyADifferentUpstreamValueRaisesTheFlags) {
    auto p = Parameter<int>::create(5, "gain");
    ProxyHandle in(p->createProxyConnector(nullptr));
    OutputTemplate<int> out("out", nullptr);
    Connect(out, *in);

    cleanAll(*p);
    out.setData(MIREL_NEW int(5));
    in->acquireData();
    EXPECT_EQ(flagsOf(*p), kAllClean);
    in->releaseData();

    out.setData(MIREL_NEW int(6));
    in->acquireData();
    in->releaseData();
    EXPECT_EQ(p->value(), 6); // the parameter keeps what it received
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_EQ(static_cast<ParameterInput<int>&>(*in).parameter(), p.get());
}

TEST_F(ParameterProxy, EmptyCellThrowsAndLeavesTheParameterAlone) {
    auto p = Parameter<int>::create(5, "gain");
    ProxyHandle in(p->createProxyConnector(nullptr));
    OutputTemplate<int> out("out", nullptr);
    Connect(out, *in);
    cleanAll(*p);
    try {
        in->acquireData();
        ADD_FAILURE() << "no exception";
    } catch (InternalException const& e) {
        EXPECT_STREQ(e.message(), "Enforce ptr != NULL");
        EXPECT_STREQ(e.file(), "data_flow/connectors/Inputs.h");
    }
    EXPECT_EQ(p->value(), 5);
    EXPECT_EQ(flagsOf(*p), kAllClean);
}

TEST_F(ParameterProxy, IntervalTakesAnOutOfBoundsValueUnchanged) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "level");
    ProxyHandle in(p->createProxyConnector(nullptr));
    OutputTemplate<int> out("out", nullptr);
    Connect(out, *in);
    out.setData(MIREL_NEW int(42));
    in->acquireData();
    in->releaseData();
    EXPECT_EQ(p->value(), 42);
    EXPECT_EQ(p->lowerBound(), 0);
    EXPECT_EQ(p->upperBound(), 10);
}
