// Parameter sets: sharing insertion against cloning copies, the strong guarantee of assignment,
// lookups by name, index range errors, combination and printing.
#include "support/TestSupport.h"

#include "data_flow/parameters/Parameter.h"
#include "data_flow/parameters/ParameterSet.h"

#include <algorithm>
#include <sstream>
#include <vector>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::LeakChecked;

namespace {

using Handle = boost::shared_ptr<ParameterBase>;

void cleanAll(ParameterBase& p) {
    p.setClean();
    p.setCleanSimpleCaching();
    p.setCleanLumet();
}

bool allDirty(ParameterBase const& p) {
    return p.isDirty() && p.isDirtySimpleCaching() && p.isDirtyLumet();
}

bool allClean(ParameterBase const& p) {
    return !p.isDirty() && !p.isDirtySimpleCaching() && !p.isDirtyLumet();
}

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

int intValue(Handle const& p) {
    return p->valueAs<int>();
}

//! A set of count int parameters named p0, p1, ... with values 0, 1, ..., all clean.
ParameterSet makeSet(int count, char const* prefix = "p") {
    ParameterSet set;
    for (int i = 0; i < count; ++i) {
        Handle p = Parameter<int>::create(i, String(prefix) + char('0' + i));
        cleanAll(*p);
        set.insert(p);
    }
    return set;
}

} // namespace

using ParameterSetContract = LeakChecked;

TEST_F(ParameterSetContract, EmptySetHasNothingToFind) {
    ParameterSet set;
    EXPECT_EQ(set.size(), 0u);
    EXPECT_TRUE(set.begin() == set.end());
    EXPECT_FALSE(set.getParameter("anything"));
    std::string what =
        test::expectInternal([&] { set.parameter(0); }, "Range error: iParameter < size()");
    EXPECT_NE(what.find("data_flow/parameters/ParameterSet.cpp"), std::string::npos) << what;
    ParameterSet const& constSet = set;
    test::expectInternal([&] { constSet.parameter(0); }, "Range error: iParameter < size()");
    EXPECT_FALSE(constSet.getParameter("anything"));
}

TEST_F(ParameterSetContract, InsertSharesTheParameter) {
    auto p = Parameter<int>::create(1, "gain");
    ParameterSet set;
    set.insert(p);
    EXPECT_EQ(set.parameter(0).get(), p.get());
    p->setValue(4);
    EXPECT_EQ(intValue(set.parameter(0)), 4);
    test::expectInternal([&] { set.parameter(1); }, "Range error: iParameter < size()");
    EXPECT_EQ(set.size(), 1u);

    set.clear();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_EQ(p.use_count(), 1); // the caller's handle keeps it alive
    EXPECT_EQ(p->value(), 4);
}

TEST_F(ParameterSetContract, PositionalInsertAppendsAtTheEnd) {
    ParameterSet set = makeSet(2);
    auto p = Parameter<int>::create(9, "late");
    ParameterSet::iterator it = set.insert(set.begin(), p);
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(it->get(), p.get());
    EXPECT_EQ(set.parameter(2).get(), p.get());
    set.insert(set.begin(), Parameter<int>::create(10, "later"));
    EXPECT_EQ(namesOf(set), (std::vector<String>{"p0", "p1", "late", "later"}));
}

TEST_F(ParameterSetContract, LookupIsExactAndFindsTheFirst) {
    ParameterSet set;
    auto first = Parameter<int>::create(1, "gain");
    set.insert(Parameter<int>::create(0, "Gain"));
    set.insert(first);
    set.insert(Parameter<int>::create(2, "gain"));
    EXPECT_EQ(set.getParameter("gain").get(), first.get());
    EXPECT_EQ(static_cast<ParameterSet const&>(set).getParameter("gain").get(), first.get());
    EXPECT_FALSE(set.getParameter("gai"));
    EXPECT_FALSE(set.getParameter("gain "));

    ParameterNameEquals isGain(String("gain"));
    ParameterNameEquals copy(isGain);
    ParameterNameEquals assigned(String("other"));
    assigned = copy;
    EXPECT_TRUE(assigned(first.get()));
    EXPECT_FALSE(assigned(set.parameter(0).get()));
}

TEST_F(ParameterSetContract, CopyClonesEveryParameterInOrder) {
    ParameterSet source = makeSet(3);
    ParameterSet copy(source);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(namesOf(copy), namesOf(source));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(copy.parameter(i).get(), source.parameter(i).get());
        EXPECT_EQ(intValue(copy.parameter(i)), int(i));
        EXPECT_TRUE(allDirty(*copy.parameter(i)));
        EXPECT_TRUE(allClean(*source.parameter(i)));
    }
    boost::static_pointer_cast<Parameter<int>>(copy.parameter(1))->setValue(42);
    EXPECT_EQ(intValue(source.parameter(1)), 1);

    // The range form clones too, appending after what is there.
    ParameterSet more = makeSet(1, "q");
    more.insert(source.begin() + 1, source.end());
    EXPECT_EQ(namesOf(more), (std::vector<String>{"q0", "p1", "p2"}));
    EXPECT_NE(more.parameter(1).get(), source.parameter(1).get());
}

TEST_F(ParameterSetContract, CopyClonesParametersTheSetDoesNotOwn) {
    Parameter<int> member(3, "member"); // as a node kind registers its members
    ParameterSet set;
    set.insert(Handle(&member, NullDeleter()));
    {
        ParameterSet copy(set);
        EXPECT_NE(copy.parameter(0).get(), &member);
        EXPECT_EQ(intValue(copy.parameter(0)), 3);
    }
    set.clear();
    EXPECT_EQ(member.value(), 3);
}

TEST_F(ParameterSetContract, AssignmentReplacesByClones) {
    ParameterSet target = makeSet(2, "t");
    ParameterSet source = makeSet(3);
    target = source;
    EXPECT_EQ(namesOf(target), namesOf(source));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(target.parameter(i).get(), source.parameter(i).get());
        EXPECT_TRUE(allDirty(*target.parameter(i)));
    }
}

TEST_F(ParameterSetContract, SelfAssignmentClonesInPlace) {
    ParameterSet set = makeSet(3);
    std::vector<ParameterBase*> before = objectsOf(set);
    ParameterSet& alias = set;
    set = alias;
    ASSERT_EQ(set.size(), 3u);
    EXPECT_EQ(namesOf(set), (std::vector<String>{"p0", "p1", "p2"}));
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_NE(set.parameter(i).get(), before[i]);
        EXPECT_EQ(intValue(set.parameter(i)), int(i));
        EXPECT_TRUE(allDirty(*set.parameter(i)));
    }
}

TEST_F(ParameterSetContract, FailedAssignmentLeavesTheTargetAsItWas) {
    ParameterSet target = makeSet(2, "t");
    ParameterSet source;
    for (int i = 0; i < 3; ++i) // long names, so that every clone allocates more than once
        source.insert(
            Parameter<int>::create(i, String("a parameter name beyond sso ") + char('0' + i)));
    std::vector<ParameterBase*> const objects = objectsOf(target);
    int failures = 0;
    for (long n = 0; n < 100; ++n) {
        std::size_t before = Core::liveAllocations();
        Core::failAllocationsAfter(n);
        try {
            target = source;
            Core::failAllocationsAfter(-1);
            break;
        } catch (std::bad_alloc const&) {
            Core::failAllocationsAfter(-1);
            ++failures;
        }
        EXPECT_EQ(Core::liveAllocations(), before) << "allocation " << n;
        EXPECT_EQ(objectsOf(target), objects) << "allocation " << n;
        EXPECT_TRUE(allClean(*target.parameter(0)));
        EXPECT_TRUE(allClean(*target.parameter(1)));
    }
    EXPECT_GE(failures, 9); // per clone: a name copy, the parameter, its name, its count block
    EXPECT_EQ(namesOf(target), namesOf(source));
}

TEST_F(ParameterSetContract, FailedCopyConstructionLeaksNothing) {
    ParameterSet source = makeSet(3);
    int failures = 0;
    for (long n = 0; n < 100; ++n) {
        std::size_t before = Core::liveAllocations();
        Core::failAllocationsAfter(n);
        try {
            ParameterSet copy(source);
            Core::failAllocationsAfter(-1);
            break;
        } catch (std::bad_alloc const&) {
            Core::failAllocationsAfter(-1);
            ++failures;
        }
        EXPECT_EQ(Core::liveAllocations(), before) << "allocation " << n;
    }
    EXPECT_GE(failures, 6);
}

TEST_F(ParameterSetContract, SwapExchangesWithoutCloning) {
    ParameterSet a = makeSet(2, "a");
    ParameterSet b = makeSet(3, "b");
    std::vector<ParameterBase*> const objectsA = objectsOf(a);
    std::vector<ParameterBase*> const objectsB = objectsOf(b);
    a.swap(b);
    EXPECT_EQ(objectsOf(a), objectsB);
    EXPECT_EQ(objectsOf(b), objectsA);
}

TEST_F(ParameterSetContract, CombineClonesBothInOrder) {
    ParameterSet a = makeSet(2);
    ParameterSet b = makeSet(3); // p0 and p1 again: the names repeat
    ParameterSet both = combine(a, b);
    ASSERT_EQ(both.size(), 5u);
    EXPECT_EQ(namesOf(both), (std::vector<String>{"p0", "p1", "p0", "p1", "p2"}));
    boost::static_pointer_cast<Parameter<int>>(a.parameter(1))->setValue(100);
    boost::static_pointer_cast<Parameter<int>>(b.parameter(1))->setValue(200);
    EXPECT_EQ(intValue(both.getParameter("p1")), 1); // a clone of a's, not a's itself
    EXPECT_EQ(both.getParameter("p1").get(), both.parameter(1).get());
    for (Handle const& p : both)
        EXPECT_TRUE(allDirty(*p));
}

TEST_F(ParameterSetContract, PrintsOneLinePerParameter) {
    ParameterSet set;
    std::ostringstream empty;
    EXPECT_EQ(&(empty << set), &empty);
    EXPECT_EQ(empty.str(), "");

    set.insert(Parameter<int>::create(5, "radius", "in pixels"));
    set.insert(Parameter<String>::create("hi", "label"));
    std::ostringstream os;
    os << set;
    EXPECT_EQ(os.str(), "radius in pixels 5\nlabel  hi\n");
}
