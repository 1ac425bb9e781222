// Parameter sets: sharing insertion against cloning copies, the strong guarantee of assignment,
// lookups by name, index range errors, combination and printing.
#include "support/TestSupport.h"

#include "data_flow/parameters/Parameter.h"
#include "data_flow/parameters/ParameterSet.h"

#include <sstream>
#include <vector>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::allDirty;
using test::anyDirty;
using test::LeakChecked;

namespace {

using Handle = boost::shared_ptr<ParameterBase>;

std::vector<ParameterBase*> objectsOf(ParameterSet const& set) {
    std::vector<ParameterBase*> objects;
    for (Handle const& p : set)
        objects.push_back(p.get());
    return objects;
}

std::vector<String> namesOf(ParameterSet const& set) {
    std::vector<String> names;
    for (Handle const& p : set)
        names.push_back(p->name());
    return names;
}

//! A set of count int parameters named p0, p1, ... with values 0, 1, ..., all clean.
ParameterSet makeSet(int count, String const& prefix = "p") {
    ParameterSet set;
    for (int i = 0; i < count; ++i) {
        Handle p = Parameter<int>::create(i, prefix + char('0' + i));
        p->setClean();
        p->setCleanSimpleCaching();
        p->setCleanLumet();
        set.insert(p);
    }
    return set;
}

//! copy holds all-dirty clones with the names and values of source's parameters, none of them
//! one of `originals`.
void expectClones(ParameterSet const& copy, ParameterSet const& source,
                  std::vector<ParameterBase*> const& originals) {
    ASSERT_EQ(copy.size(), source.size());
    EXPECT_EQ(namesOf(copy), namesOf(source));
    for (std::size_t i = 0; i < copy.size(); ++i) {
        EXPECT_NE(copy.parameter(i).get(), originals[i]);
        EXPECT_EQ(copy.parameter(i)->valueAs<int>(), source.parameter(i)->valueAs<int>());
        EXPECT_TRUE(allDirty(*copy.parameter(i)));
    }
}

} // namespace

using ParameterSetContract = LeakChecked;

TEST_F(ParameterSetContract, InsertSharesAppendsAtTheEndAndLookupsAreExact) {
    ParameterSet set;
    std::string what =
        test::expectInternal([&] { set.parameter(0); }, "Range error: iParameter < size()");
    EXPECT_NE(what.find("data_flow/parameters/ParameterSet.cpp"), std::string::npos) << what;
    test::expectInternal([&] { static_cast<ParameterSet const&>(set).parameter(0); },
                         "Range error: iParameter < size()");

    auto p = Parameter<int>::create(1, "gain");
    set.insert(p);
    p->setValue(4);
    EXPECT_EQ(set.parameter(0)->valueAs<int>(), 4); // the set holds p itself
    test::expectInternal([&] { set.parameter(1); }, "Range error: iParameter < size()");
    auto late = Parameter<int>::create(9, "late");
    EXPECT_EQ(set.insert(set.begin(), late)->get(), late.get()); // at the end, whatever where
    set.insert(set.begin(), Parameter<int>::create(2, "gain"));
    EXPECT_EQ(namesOf(set), (std::vector<String>{"gain", "late", "gain"}));

    EXPECT_EQ(set.getParameter("gain").get(), p.get()); // the first of that name
    EXPECT_EQ(static_cast<ParameterSet const&>(set).getParameter("gain").get(), p.get());
    for (char const* name : {"Gain", "gai", "gain "})
        EXPECT_FALSE(set.getParameter(name)) << name;

    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(p.use_count(), 1); // the caller's handle keeps it alive
}

TEST_F(ParameterSetContract, CopiesAssignmentAndRangeInsertionCloneInOrder) {
    ParameterSet source = makeSet(3);
    std::vector<ParameterBase*> const sourceObjects = objectsOf(source);
    ParameterSet copy(source);
    expectClones(copy, source, sourceObjects);
    for (Handle const& p : source)
        EXPECT_FALSE(anyDirty(*p));

    ParameterSet target = makeSet(2, "t");
    target = source;
    expectClones(target, source, sourceObjects);
    std::vector<ParameterBase*> const before = objectsOf(target);
    ParameterSet& alias = target;
    target = alias; // clones in place
    expectClones(target, source, before);

    ParameterSet more = makeSet(1, "q"); // the range form appends clones
    more.insert(source.begin() + 1, source.end());
    EXPECT_EQ(namesOf(more), (std::vector<String>{"q0", "p1", "p2"}));
    EXPECT_NE(more.parameter(1).get(), source.parameter(1).get());

    // A parameter the set does not own (a node kind's member) is cloned as well.
    Parameter<int> member(3, "member");
    ParameterSet members;
    members.insert(Handle(&member, NullDeleter()));
    ParameterSet copied(members);
    EXPECT_NE(copied.parameter(0).get(), &member);
    EXPECT_EQ(copied.parameter(0)->valueAs<int>(), 3);
}

TEST_F(ParameterSetContract, SwapExchangesWithoutCloningAndCombineClonesBothInOrder) {
    ParameterSet a = makeSet(2);
    ParameterSet b = makeSet(3); // p0 and p1 again: the names repeat
    std::vector<ParameterBase*> const objectsA = objectsOf(a);
    std::vector<ParameterBase*> const objectsB = objectsOf(b);
    ParameterSet both = combine(a, b);
    EXPECT_EQ(namesOf(both), (std::vector<String>{"p0", "p1", "p0", "p1", "p2"}));
    EXPECT_EQ(both.getParameter("p1").get(), both.parameter(1).get()); // a's comes first
    for (std::size_t i = 0; i < both.size(); ++i) {
        EXPECT_TRUE(allDirty(*both.parameter(i)));
        EXPECT_NE(both.parameter(i).get(), i < 2 ? objectsA[i] : objectsB[i - 2]);
    }

    a.swap(b);
    EXPECT_EQ(objectsOf(a), objectsB);
    EXPECT_EQ(objectsOf(b), objectsA);
}

TEST_F(ParameterSetContract, PrintsOneLinePerParameter) {
    ParameterSet set;
    set.insert(Parameter<int>::create(5, "radius", "in pixels"));
    set.insert(Parameter<String>::create("hi", "label"));
    std::ostringstream os;
    EXPECT_EQ(&(os << set), &os);
    EXPECT_EQ(os.str(), "radius in pixels 5\nlabel  hi\n");
}
