// Parameters: the three dirty channels and the change-only rule, the guarded typed access,
// printing, cloning, interval bounds, visitor dispatch for every value type, the proxy input
// through which an upstream output drives a parameter, and parameter sets.

#include "support/TestSupport.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/parameters/Parameter.h"
#include "data_flow/parameters/ParameterSet.h"

#include <array>
#include <cmath>
#include <limits>
#include <sstream>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::cleanAll;
using test::expectInternal;

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
using ParameterTest = test::LeakChecked;
constexpr char kTypeCheck[] = "strcmp(data_type_name(), type_name(typeid(T)))==0";

TEST_F(ParameterTest, ChannelsClearOnTheirOwnAndOnlyAChangeByValueRaisesAllThree) {
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

    auto f = Parameter<float>::create(0.0f, "f");
    cleanAll(*f);
    f->setValue(-0.0f); // equal to 0.0: no change, and the stored zero keeps its sign
    EXPECT_EQ(flagsOf(*f), kAllClean);
    EXPECT_FALSE(std::signbit(f->value()));
    f->setValue(std::numeric_limits<float>::quiet_NaN());
    cleanAll(*f);
    f->setValue(std::numeric_limits<float>::quiet_NaN()); // a NaN equals nothing, itself included
    EXPECT_EQ(flagsOf(*f), kAllDirty);

    Float2Vector const points{float2(1.0f, 2.0f), float2(3.0f, 4.0f)};
    auto v = Parameter<Float2Vector>::create(points, "points");
    Float2Vector moved = points;
    moved[1].y = 5.0f; // same length, one element differs
    for (auto const& [value, bChange] : {std::pair<Float2Vector, bool>{points, false},
                                         {moved, true},
                                         {Float2Vector(moved.begin(), moved.begin() + 1), true}}) {
        cleanAll(*v);
        v->setValue(value); // a prefix is a change too
        EXPECT_EQ(flagsOf(*v), bChange ? kAllDirty : kAllClean);
    }
}

TEST_F(ParameterTest, WriteTextsPerKindOfValue) {
    std::ostringstream os;
    EXPECT_EQ(&(os << *Parameter<int>::create(5, "radius", "in pixels")), &os);
    EXPECT_EQ(os.str(), "radius in pixels 5");
    std::pair<std::string, char const*> const aCases[] = {
        {written(*Parameter<int>::create(5, "radius")), "radius  5"}, // no line end
        {written(*Parameter<Float2Vector>::create(
             Float2Vector{float2(1.0f, 2.0f), float2(3.0f, 4.0f)}, "points")),
         "points  (1, 2) (3, 4) "},
        {written(*Parameter<Float3Vector>::create(Float3Vector(), "empty", "none")), "empty none "},
        {written(*Parameter<String>::create("hello world", "label", "caption")),
         "label caption hello world"},
        {written(*Parameter<int3>::create(int3(1, -2, 3), "i")), "i  (1, -2, 3)"}};
    for (auto const& [text, expected] : aCases)
        EXPECT_EQ(text, expected);
}

TEST_F(ParameterTest, TypedAccessChecksTheDecoratedTypeNameAndLeavesTheTargetAlone) {
    auto target = Parameter<float>::create(1.5f, "f");
    auto source = Parameter<int>::create(2, "i");
    cleanAll(*target);
    expectInternal([&] { target->setValueFromParameter(*source); }, kTypeCheck,
                   "data_flow/parameters/ParameterBase.h");
    EXPECT_EQ(target->value(), 1.5f);
    EXPECT_EQ(flagsOf(*target), kAllClean);
    expectInternal([&] { (void)source->valueAs<float>(); }, kTypeCheck);
    int const& live = static_cast<ParameterBase const&>(*source).valueAs<int>();
    source->setValue(8);
    EXPECT_EQ(live, 8); // valueAs reads the parameter's own value

    // Equal width is not the same type; a float interval parameter is a float parameter.
    auto u = Parameter<unsigned int>::create(1u, "u");
    expectInternal([&] { u->setValueFromParameter(*Parameter<unsigned long>::create(1ul, "ul")); },
                   kTypeCheck);
    target->setValueFromParameter(*IntervalParameter<float>::create(2.0f, 0.0f, 4.0f, "fi"));
    EXPECT_EQ(target->value(), 2.0f);
}

TEST_F(ParameterTest, RenamedCloneIsIndependentAndDirtyAndBoundsAreDescriptiveOnly) {
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

    auto level = IntervalParameter<int>::create(5, 10, 0, "level"); // reversed bounds are kept
    EXPECT_TRUE(level->lowerBound() == 10 && level->upperBound() == 0);
    cleanAll(*level);
    level->setValue(20); // outside: taken as it is
    EXPECT_EQ(level->value(), 20);
    EXPECT_EQ(flagsOf(*level), kAllDirty);
    EXPECT_EQ(IntervalParameter<int>::create(50, 0, 10, "outside")->value(), 50);
}

//! Records every call: how many, the static type of the operation (null: the fallback), and the
//! object received.
class RecordingVisitor : public ParameterVisitorBase {
public:
    int calls = 0;
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
        pOperationType = pType;
        pReceived = p;
    }
};

//! One visit: exactly the operation of T, or the fallback for the six types without one.
template <class T>
void expectVisit(Parameter<T>& p) {
    constexpr bool bFallback =
        std::is_same<T, unsigned int>::value || std::is_same<T, unsigned long>::value ||
        std::is_same<T, FloatVector>::value || std::is_same<T, Float2Vector>::value ||
        std::is_same<T, Float3Vector>::value || std::is_same<T, Float4Vector>::value;
    RecordingVisitor visitor;
    ParameterBase& base = p;
    base.visit(&visitor);
    EXPECT_EQ(visitor.calls, 1);
    EXPECT_EQ(visitor.pReceived, &base);
    EXPECT_EQ(visitor.pOperationType, bFallback ? nullptr : &typeid(T));
}

template <class T>
class EveryValueType : public test::LeakChecked {};
TYPED_TEST_SUITE(EveryValueType, test::AllValueTypes);

TYPED_TEST(EveryValueType, ChangeOnlyRuleCloneTypedAccessVisitAndProxyInput) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = Parameter<T>::create(T(), "p", "d");
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    EXPECT_STREQ(p->data_type_name(), ParameterBase::type_name(typeid(T)));
    expectVisit(*p);
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

    // The proxy input writes the delivered value into the parameter.
    ProxyHandle in(p->createProxyConnector(nullptr));
    EXPECT_EQ(in->name(), "p");
    EXPECT_STREQ(ParameterBase::type_name(in->datatype()), p->data_type_name());
    OutputTemplate<T> out("out", nullptr);
    Connect(out, *in);
    out.setData(MIREL_NEW T(other));
    cleanAll(*p);
    in->acquireData();
    EXPECT_TRUE(p->value() == other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
    in->releaseData();
}

template <class T>
class EveryIntervalType : public test::LeakChecked {};
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
    EXPECT_TRUE(p->value() == T() && p->lowerBound() == other);
    EXPECT_EQ(flagsOf(*p), kAllDirty);
}

TEST_F(ParameterTest, AProxyInputRaisesTheFlagsOnlyForADifferentUpstreamValue) {
    auto p = IntervalParameter<int>::create(5, 0, 10, "gain");
    ProxyHandle in(p->createProxyConnector(nullptr));
    OutputTemplate<int> out("out", nullptr);
    Connect(out, *in);
    cleanAll(*p);
    // Nothing delivered: the parameter stays as it was.
    expectInternal([&] { in->acquireData(); }, "Enforce ptr != NULL",
                   "data_flow/connectors/Inputs.h");
    EXPECT_EQ(p->value(), 5);
    for (int value : {5, 42}) { // 42 is outside the bounds: taken unchanged
        out.setData(MIREL_NEW int(value));
        in->acquireData();
        in->releaseData();
        EXPECT_EQ(p->value(), value);
        EXPECT_EQ(flagsOf(*p), value == 5 ? kAllClean : kAllDirty);
    }
    EXPECT_EQ(p->upperBound(), 10);
}

// Parameter sets ------------------------------------------------------------------------------

using Handle = boost::shared_ptr<ParameterBase>;

std::vector<ParameterBase*> objectsOf(ParameterSet const& set) {
    std::vector<ParameterBase*> objects;
    for (Handle const& p : set)
        objects.push_back(p.get());
    return objects;
}

std::string namesOf(ParameterSet const& set) {
    std::string names;
    for (Handle const& p : set)
        names += std::string(p->name().c_str()) + " ";
    return names;
}

//! A set of `count` int parameters named <prefix>0, <prefix>1, ... with values 0, 1, ..., clean.
ParameterSet makeSet(int count, char const* prefix = "p") {
    ParameterSet set;
    for (int i = 0; i < count; ++i) {
        Handle p = Parameter<int>::create(i, String(prefix) + char('0' + i));
        cleanAll(*p);
        set.insert(p);
    }
    return set;
}

//! copy holds all-dirty clones with the names and values of source's parameters, none of them
//! one of `originals`, in order.
void expectClones(ParameterSet const& copy, ParameterSet const& source,
                  std::vector<ParameterBase*> const& originals) {
    ASSERT_EQ(namesOf(copy), namesOf(source));
    for (std::size_t i = 0; i < copy.size(); ++i) {
        EXPECT_NE(copy.parameter(i).get(), originals[i]);
        EXPECT_EQ(copy.parameter(i)->valueAs<int>(), source.parameter(i)->valueAs<int>());
        EXPECT_TRUE(test::allDirty(*copy.parameter(i)));
    }
}

TEST_F(ParameterTest, ASetSharesWhatIsInsertedAtTheEndAndLooksUpExactly) {
    ParameterSet set;
    expectInternal([&] { set.parameter(0); }, "Range error: iParameter < size()",
                   "data_flow/parameters/ParameterSet.cpp");
    auto p = Parameter<int>::create(1, "gain");
    set.insert(p);
    p->setValue(4);
    EXPECT_EQ(set.parameter(0)->valueAs<int>(), 4); // the set holds p itself
    expectInternal([&] { static_cast<ParameterSet const&>(set).parameter(1); },
                   "Range error: iParameter < size()");
    auto late = Parameter<int>::create(9, "late");
    EXPECT_EQ(set.insert(set.begin(), late)->get(), late.get()); // at the end, whatever where
    set.insert(set.begin(), Parameter<int>::create(2, "gain"));
    EXPECT_EQ(namesOf(set), "gain late gain ");
    EXPECT_EQ(set.getParameter("gain").get(), p.get()); // the first of that name
    EXPECT_EQ(static_cast<ParameterSet const&>(set).getParameter("gain").get(), p.get());
    for (char const* name : {"Gain", "gai", "gain "})
        EXPECT_FALSE(set.getParameter(name)) << name;

    std::ostringstream os;
    EXPECT_EQ(&(os << set), &os);
    EXPECT_EQ(os.str(), "gain  4\nlate  9\ngain  2\n");
    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(p.use_count(), 1); // the caller's handle keeps it alive
}

TEST_F(ParameterTest, SetCopiesAssignmentRangeInsertionAndCombineCloneInOrder) {
    ParameterSet source = makeSet(3);
    std::vector<ParameterBase*> const sourceObjects = objectsOf(source);
    ParameterSet copy(source);
    expectClones(copy, source, sourceObjects);
    for (Handle const& p : source)
        EXPECT_FALSE(test::anyDirty(*p));
    ParameterSet target = makeSet(2, "t");
    target = source;
    expectClones(target, source, sourceObjects);
    std::vector<ParameterBase*> const before = objectsOf(target);
    ParameterSet& alias = target;
    target = alias; // clones in place
    expectClones(target, source, before);

    ParameterSet more = makeSet(1, "q"); // the range form appends clones
    more.insert(source.begin() + 1, source.end());
    EXPECT_EQ(namesOf(more), "q0 p1 p2 ");
    EXPECT_NE(more.parameter(1).get(), source.parameter(1).get());

    // A parameter the set does not own (a node kind's member) is cloned as well.
    Parameter<int> member(3, "member");
    ParameterSet members;
    members.insert(Handle(&member, NullDeleter()));
    ParameterSet copied(members);
    EXPECT_NE(copied.parameter(0).get(), &member);
    EXPECT_EQ(copied.parameter(0)->valueAs<int>(), 3);

    std::vector<ParameterBase*> const aTarget = objectsOf(target), aMore = objectsOf(more);
    ParameterSet both = combine(target, more);
    EXPECT_EQ(namesOf(both), "p0 p1 p2 q0 p1 p2 ");
    for (std::size_t i = 0; i < both.size(); ++i) {
        EXPECT_TRUE(test::allDirty(*both.parameter(i)));
        EXPECT_NE(both.parameter(i).get(), i < 3 ? aTarget[i] : aMore[i - 3]);
    }
    EXPECT_EQ(both.getParameter("p1").get(), both.parameter(1).get()); // the first comes first
    target.swap(more);                                                 // exchanges without cloning
    EXPECT_EQ(objectsOf(target), aMore);
    EXPECT_EQ(objectsOf(more), aTarget);
}

} // namespace
