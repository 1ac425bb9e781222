// Parameters: the three dirty channels and the change-only rule, the guarded typed access,
// printing, cloning, interval bounds, the proxy input through which an upstream output drives a
// parameter, and parameter sets.

#include "support/TestSupport.h"

#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/parameters/Parameter.h"
#include "data_flow/parameters/ParameterSet.h"

#include <cmath>
#include <limits>
#include <sstream>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::allDirty;
using test::anyDirty;
using test::cleanAll;
using test::expectInternal;

namespace {

template <class T>
std::string written(T const& value) {
    std::ostringstream os;
    os << value;
    return os.str();
}

using ParameterTest = test::LeakChecked;
constexpr char kTypeCheck[] = "strcmp(data_type_name(), type_name(typeid(T)))==0";

TEST_F(ParameterTest, OnlyAChangeByValueRaisesAllThreeChannels) {
    auto p = Parameter<int>::create(5, "p");
    cleanAll(*p);
    p->resetToDefaultValue(); // already the default: no change
    EXPECT_FALSE(anyDirty(*p));
    p->setValue(7);
    p->setCleanLumet(); // one consumer acknowledged, the others did not
    p->resetToDefaultValue();
    EXPECT_EQ(p->value(), 5);
    EXPECT_TRUE(allDirty(*p));

    auto f = Parameter<float>::create(0.0f, "f");
    cleanAll(*f);
    f->setValue(-0.0f); // equal to 0.0: no change, and the stored zero keeps its sign
    EXPECT_FALSE(anyDirty(*f));
    EXPECT_FALSE(std::signbit(f->value()));
    f->setValue(std::numeric_limits<float>::quiet_NaN());
    cleanAll(*f);
    f->setValue(std::numeric_limits<float>::quiet_NaN()); // a NaN equals nothing, itself included
    EXPECT_TRUE(allDirty(*f));
}

TEST_F(ParameterTest, TypedAccessChecksTheDecoratedTypeNameAndLeavesTheTargetAlone) {
    auto target = Parameter<float>::create(1.5f, "f");
    auto source = Parameter<int>::create(2, "i");
    cleanAll(*target);
    expectInternal([&] { target->setValueFromParameter(*source); }, kTypeCheck,
                   "data_flow/parameters/ParameterBase.h");
    EXPECT_EQ(target->value(), 1.5f);
    EXPECT_FALSE(anyDirty(*target));
    expectInternal([&] { (void)source->valueAs<float>(); }, kTypeCheck);

    // Equal width is not the same type; a float interval parameter is a float parameter.
    auto u = Parameter<unsigned int>::create(1u, "u");
    expectInternal([&] { u->setValueFromParameter(*Parameter<unsigned long>::create(1ul, "ul")); },
                   kTypeCheck);
    target->setValueFromParameter(*IntervalParameter<float>::create(2.0f, 0.0f, 4.0f, "fi"));
    EXPECT_EQ(target->value(), 2.0f);
    EXPECT_EQ(IntervalParameter<int>::create(50, 0, 10, "i")->value(), 50); // bounds only describe
}

template <class T>
class EveryValueType : public test::LeakChecked {};
TYPED_TEST_SUITE(EveryValueType, test::AllValueTypes);

TYPED_TEST(EveryValueType, ChangeOnlyRuleCloneTypedAccessAndProxyInput) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = Parameter<T>::create(T(), "p", "d");
    EXPECT_TRUE(allDirty(*p));
    cleanAll(*p);
    p->setValue(T());
    EXPECT_FALSE(anyDirty(*p));
    p->setValue(other);
    EXPECT_TRUE(allDirty(*p));
    EXPECT_TRUE(static_cast<ParameterBase const&>(*p).valueAs<T>() == other);
    EXPECT_EQ(written(*p), "p d " + written(other));

    boost::shared_ptr<Parameter<T>> copy = p->cloneParameter();
    EXPECT_TRUE(copy->value() == other);
    copy->resetToDefaultValue();
    EXPECT_TRUE(p->value() == other);
    cleanAll(*p);
    p->setValueFromParameter(*copy);
    EXPECT_TRUE(p->value() == T());
    EXPECT_TRUE(allDirty(*p));

    // The proxy input writes the delivered value into the parameter, raising the flags only for
    // a value that differs.
    std::unique_ptr<InputConnector, MirelDeleter<InputConnector>> in(
        p->createProxyConnector(nullptr));
    EXPECT_EQ(in->name(), "p");
    OutputTemplate<T> out("out", nullptr);
    Connect(out, *in);
    for (bool bChange : {true, false}) {
        out.setData(MIREL_NEW T(other));
        cleanAll(*p);
        in->acquireData();
        in->releaseData();
        EXPECT_TRUE(p->value() == other);
        EXPECT_TRUE(bChange ? allDirty(*p) : !anyDirty(*p));
    }
}

template <class T>
class EveryIntervalType : public test::LeakChecked {};
TYPED_TEST_SUITE(EveryIntervalType, test::IntervalValueTypes);

TYPED_TEST(EveryIntervalType, BoundsTravelWithCloneAndCopyOnly) {
    using T = TypeParam;
    T const other = test::otherValue<T>();
    auto p = IntervalParameter<T>::create(T(), T(), other, "range", "d");
    p->setValue(other);
    cleanAll(*p);

    // A renamed clone is independent and dirty; its source keeps its name and clean flags.
    auto cloned = boost::dynamic_pointer_cast<IntervalParameter<T>>(p->clone("renamed"));
    ASSERT_TRUE(cloned);
    EXPECT_EQ(written(*cloned), "renamed d " + written(other));
    EXPECT_TRUE(cloned->defaultValue() == T());
    EXPECT_TRUE(cloned->lowerBound() == T() && cloned->upperBound() == other);
    EXPECT_TRUE(allDirty(*cloned));
    cloned->setValue(T());
    EXPECT_TRUE(p->name() == "range" && p->value() == other);
    EXPECT_FALSE(anyDirty(*p));
    boost::shared_ptr<Parameter<T>> plain = p->cloneParameter();
    EXPECT_FALSE(plain->isInterval());
    EXPECT_TRUE(plain->value() == other);

    // Bounds copied from another interval (reversed ones are kept) raise nothing; a plain source
    // leaves them.
    p->setValueFromParameter(*IntervalParameter<T>::create(other, other, T(), "source"));
    EXPECT_TRUE(p->lowerBound() == other && p->upperBound() == T());
    EXPECT_FALSE(anyDirty(*p));
    p->setValueFromParameter(*Parameter<T>::create(T(), "plain"));
    EXPECT_TRUE(p->value() == T() && p->lowerBound() == other);
    EXPECT_TRUE(allDirty(*p));
}

// Parameter sets ------------------------------------------------------------------------------

using Handle = boost::shared_ptr<ParameterBase>;

std::vector<ParameterBase*> objectsOf(ParameterSet const& set) {
    std::vector<ParameterBase*> objects;
    for (Handle const& p : set)
        objects.push_back(p.get());
    return objects;
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

//! copies are, in order, all-dirty clones of `originals`: the same names and values.
void expectClones(std::vector<ParameterBase*> const& copies,
                  std::vector<ParameterBase*> const& originals) {
    ASSERT_EQ(copies.size(), originals.size());
    for (std::size_t i = 0; i < copies.size(); ++i) {
        ParameterBase const& p = *copies[i];
        EXPECT_NE(&p, originals[i]);
        EXPECT_EQ(p.name(), originals[i]->name());
        EXPECT_EQ(p.valueAs<int>(), originals[i]->valueAs<int>());
        EXPECT_TRUE(allDirty(p));
    }
}

TEST_F(ParameterTest, ASetSharesWhatIsInsertedAndClonesWhatIsCopied) {
    ParameterSet set;
    expectInternal([&] { set.parameter(0); }, "Range error: iParameter < size()",
                   "data_flow/parameters/ParameterSet.cpp");
    auto p = Parameter<int>::create(1, "gain");
    set.insert(p);
    p->setValue(4);
    EXPECT_EQ(set.parameter(0)->valueAs<int>(), 4); // the set holds p itself
    auto late = Parameter<int>::create(9, "late", "ms");
    EXPECT_EQ(set.insert(set.begin(), late)->get(), late.get()); // at the end, whatever where
    set.insert(set.begin(), Parameter<int>::create(2, "gain"));
    EXPECT_EQ(set.getParameter("gain").get(), p.get()); // the first of that name
    for (char const* name : {"Gain", "gai", "gain "})
        EXPECT_FALSE(set.getParameter(name)) << name;
    EXPECT_EQ(written(set), "gain  4\nlate ms 9\ngain  2\n");
    set.clear();
    EXPECT_EQ(p.use_count(), 1); // the caller's handle keeps it alive

    // Copies, assignment, range insertion and combine clone, in order.
    ParameterSet source = makeSet(3);
    std::vector<ParameterBase*> const sourceObjects = objectsOf(source);
    expectClones(objectsOf(ParameterSet(source)), sourceObjects);
    for (Handle const& original : source)
        EXPECT_FALSE(anyDirty(*original));
    ParameterSet target = makeSet(2, "t");
    target = source;
    expectClones(objectsOf(target), sourceObjects);

    ParameterSet more = makeSet(1, "q"); // the range form appends clones
    more.insert(source.begin() + 1, source.end());
    std::vector<ParameterBase*> aMore = objectsOf(more);
    expectClones({aMore.begin() + 1, aMore.end()}, {sourceObjects[1], sourceObjects[2]});

    // A parameter the set does not own (a node kind's member) is cloned as well.
    Parameter<int> member(3, "member");
    ParameterSet members;
    members.insert(Handle(&member, NullDeleter()));
    expectClones(objectsOf(ParameterSet(members)), {&member});

    std::vector<ParameterBase*> both = objectsOf(target);
    both.insert(both.end(), aMore.begin(), aMore.end());
    ParameterSet combined = combine(target, more);
    expectClones(objectsOf(combined), both);
    EXPECT_EQ(combined.getParameter("p1").get(), combined.parameter(1).get()); // from the first
    target.swap(more); // exchanges without cloning
    EXPECT_EQ(objectsOf(target), aMore);
    EXPECT_EQ(objectsOf(more), std::vector<ParameterBase*>(both.begin(), both.begin() + 3));
}

} // namespace
