// Allocation-failure injection: an operation that allocates is run once for each of its counted
// allocations, with exactly that one failing. Each time the failure must come out as an exception
// (or, on a scheduler thread, as the stored error), leave the state the operation promises, and
// leak nothing. Each test is a table of operations, all walked by walk().

#include "support/TestNodes.h"

#include "data_flow/DataFlow.h"

#include <cstdio>
#include <utility>

namespace {

using Mirel::String;
using Mirel::Core::liveAllocations;
using namespace Mirel::DataFlow;
using test::allDirty;
using test::anyDirty;
using test::cleanAll;

// Texts too long for a string's own buffer, so that copying them allocates.
String longText(char const* what) {
    return String(what) + " that is much too long to fit into the string's own small buffer";
}

//! A value of T whose copy allocates where T can allocate at all (strings and vectors).
template <class T>
T bigValue() {
    if constexpr (std::is_same<T, String>::value)
        return longText("a string value");
    else if constexpr (std::is_class<T>::value && !std::is_trivially_destructible<T>::value)
        return T(24, test::otherValue<typename T::value_type>());
    else
        return test::otherValue<T>();
}

/** One operation under the walk. A run whose armed allocation failed must throw (unless the
    operation stores its failures: bThrows false), satisfy failed() and leave the live blocks as
    before the walk; the run that got through must satisfy succeeded(). op should do only the
    operation under test: whatever else it allocates is walked too. */
struct Row {
    char const* what;
    std::function<void()> op;
    std::function<void()> failed = [] {};
    std::function<void()> succeeded = [] {};
    bool bThrows = true;
};

/** Switches the injection off and tells whether the failure armed with failAllocationsAfter(n)
    happened. The countdown is not readable, so probe it: an injection still pending has at most
    n allocations to go, and one of n + 1 probe allocations would meet it. */
bool disarm(long n) {
    for (long i = 0; i <= n; ++i) {
        void* p = nullptr;
        try {
            p = Mirel::Core::allocateBytes(1);
        } catch (std::bad_alloc const&) {
            Mirel::Core::failAllocationsAfter(-1);
            return false;
        }
        Mirel::Core::deallocateBytes(p);
    }
    Mirel::Core::failAllocationsAfter(-1);
    return true;
}

//! Runs each row's op for n = 0, 1, ... with the n-th counted allocation failing, until a run
//! gets through without reaching it.
void walk(std::vector<Row> const& rows) {
    for (Row const& row : rows) {
        std::size_t const base = liveAllocations();
        for (long n = 0;; ++n) {
            ASSERT_LT(n, 100000) << row.what << ": still allocating";
            SCOPED_TRACE(::testing::Message() << row.what << ", n = " << n);
            bool bThrew = false;
            Mirel::Core::failAllocationsAfter(n);
            try {
                row.op();
            } catch (std::bad_alloc const&) {
                bThrew = true;
            }
            bool const bFailed = disarm(n);
            EXPECT_FALSE(bThrew && !bFailed) << "std::bad_alloc although nothing was set to fail";
            if (!bFailed) {
                row.succeeded();
                std::printf("allocation walk: %s: %ld failure sites\n", row.what, n);
                break;
            }
            EXPECT_TRUE(bThrew || !row.bThrows);
            row.failed();
            EXPECT_EQ(liveAllocations(), base);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
}

using AllocationFailureTest = test::LibraryTest;
template <class T>
class TypedAllocationTest : public test::LibraryTest {};
TYPED_TEST_SUITE(TypedAllocationTest, test::AllValueTypes);

TYPED_TEST(TypedAllocationTest, ParametersAndConnectorsFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const value = bigValue<T>();
    String const name = longText("parameter name");
    // A source whose value differs from its default and whose flags are all clean.
    boost::shared_ptr<Parameter<T>> pSource;
    boost::shared_ptr<ParameterBase> pCopy;
    auto const sourceIntact = [&] {
        EXPECT_TRUE(pSource->value() == value && pSource->defaultValue() == T());
        EXPECT_FALSE(anyDirty(*pSource));
        EXPECT_EQ(pSource->name().compare(name), 0);
    };
    auto const copied = [&] {
        EXPECT_TRUE(pCopy && pCopy->valueAs<T>() == value);
        pCopy.reset();
    };
    // A failed setData keeps the value held before; a proxy input drives its parameter all or
    // nothing.
    OutputTemplate<T> out("out", nullptr);
    ConstInput<T> in("in", nullptr);
    out.setData(MIREL_NEW T());
    in.setCell(out.cell());
    void const* const pFirst = out.data();
    Parameter<T> parameter(T(), "driven");
    cleanAll(parameter);
    ParameterInput<T> proxy("driven", nullptr, &parameter);
    Connect(out, proxy);
    walk({{"Parameter<T>::create", [&] { pSource = Parameter<T>::create(T(), name, name); }, [] {},
           [&] {
               pSource->setValue(value);
               cleanAll(*pSource);
           }},
          {"ParameterBase::clone(name)", [&] { pCopy = pSource->clone(name + name); }, sourceIntact,
           copied},
          {"OutputTemplate<T>::setData", [&] { out.setData(MIREL_NEW T(value)); },
           [&] { EXPECT_TRUE(out.data() == pFirst && out.value() == T()); }},
          {"InputTemplate<T>::setData", [&] { in.setData(MIREL_NEW T(value)); },
           [&] { EXPECT_TRUE(in.data() == pFirst); }, [&] { in.releaseData(); }},
          {"ParameterInput<T>::acquireData", [&] { proxy.acquireData(); },
           [&] {
               EXPECT_TRUE(parameter.value() == T());
               EXPECT_FALSE(anyDirty(parameter));
               proxy.releaseData();
           },
           [&] {
               EXPECT_TRUE(parameter.value() == value && allDirty(parameter));
               proxy.releaseData();
           }}});
}

TEST_F(AllocationFailureTest, AFailedSetAssignmentLeavesTheSetAsItWas) {
    ParameterSet source, target;
    source.insert(Parameter<String>::create(bigValue<String>(), longText("s0")));
    source.insert(IntervalParameter<Mirel::FloatVector>::create(
        bigValue<Mirel::FloatVector>(), {}, {}, longText("s1"), longText("description")));
    target.insert(Parameter<String>::create(bigValue<String>(), longText("t0")));
    ParameterBase* const pTargetOwn = target.parameter(0).get();
    walk({{"ParameterSet assignment", [&] { target = source; },
           [&] { EXPECT_TRUE(target.size() == 1 && target.parameter(0).get() == pTargetOwn); },
           [&] { EXPECT_EQ(target.size(), 2u); }}});
}

Node* createNode(NodeTargetType) {
    return MIREL_NEW Node(longText("catalogued node"));
}

struct Factory : NodeFactory {
    Node* create(NodeTargetType target) override { return createNode(target); }
};

TEST_F(AllocationFailureTest, AFailedRegistrationLeavesBothObjectsToTheCaller) {
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    auto const newRecord = [](int iVersion) {
        return MIREL_NEW NodeMetaData(longText("kind"), longText("space"), longText("vendor"),
                                      iVersion, longText("description"), longText("client"));
    };
    // The first registration reserves the catalogue's room, which stays: not counted as a leak.
    librarian.add(&createNode, newRecord(1));
    // After a failure both objects are still the caller's: freeing them balances the count, and
    // the catalogue holds only the records whose registration got through.
    NodeFactory* pFactory = nullptr;
    NodeMetaData* pRecord = nullptr;
    auto const reclaim = [&] {
        Mirel::Core::destroy(std::exchange(pFactory, nullptr));
        Mirel::Core::destroy(std::exchange(pRecord, nullptr));
    };
    walk({{"NodeLibrarian::add(factory, record)",
           [&] {
               pFactory = MIREL_NEW Factory();
               pRecord = newRecord(2);
               librarian.add(pFactory, pRecord);
               pFactory = nullptr;
               pRecord = nullptr;
           },
           reclaim},
          {"NodeLibrarian::add(function, record)",
           [&] {
               pRecord = newRecord(3);
               librarian.add(&createNode, pRecord);
               pRecord = nullptr;
           },
           reclaim}});
    EXPECT_EQ(librarian.end() - librarian.begin(), 3);
}

TEST_F(AllocationFailureTest, NodesAndControllersAreLeftAsTheyWere) {
    String const oldName = longText("old node name"), newName = longText("new node name");
    { test::HookNode seen(oldName, 0, 0); } // the index keeps a counter per name ever seen
    std::unique_ptr<test::HookNode> pNode;
    String oldId;
    Controller controller;
    walk({{"Node construction", [&] { pNode = std::make_unique<test::HookNode>(oldName, 1, 1); },
           [] {}, [&] { oldId = pNode->debugId(); }},
          // A failed renaming keeps the node its name and its place in the debug index.
          {"Node::setName", [&] { pNode->setName(newName); },
           [&] {
               EXPECT_EQ(pNode->name().compare(oldName), 0);
               EXPECT_EQ(pNode->debugId().compare(oldId), 0);
           },
           [&] { EXPECT_EQ(pNode->debugId().compare(newName + " [0]"), 0); }},
          {"Controller::addNode", [&] { controller.addNode(pNode.get()); },
           [&] {
               EXPECT_EQ(controller.nodesBegin(), controller.nodesEnd());
               EXPECT_EQ(pNode->controller(), nullptr);
           },
           [&] { EXPECT_EQ(pNode->controller(), &controller); }}});
}

//! source (1) -> summing, the sink (its 8 slices on the scheduler's threads; 2).
struct Pipeline {
    test::HookNode source{"source", 0, 1};
    test::SlicedNode summing{"summing", 1, 8, 1, 0};
    Controller controller;
    bool bThrow = false; // slice 3 throws an InternalException

    Pipeline() {
        test::link(source, summing);
        test::addAll(controller, {&source, &summing});
        summing.onSlice = [this](std::size_t begin, std::size_t end) {
            MIREL_CHECK(!(bThrow && begin <= 3 && 3 < end), "slice failure");
        };
    }
    ~Pipeline() { source.disconnect(); }
    //! One good evaluation and flush. What the controller and the outputs keep between
    //! evaluations (the visit stack, the storage of plain values) is made by the first one.
    void warmUp() {
        bool const bWasThrowing = std::exchange(bThrow, false);
        controller.process();
        controller.flushGraph();
        bThrow = bWasThrowing;
    }
};

TEST_F(AllocationFailureTest, AnAsynchronousEvaluationStoresTheFailureAndRecovers) {
    for (bool bSliceThrows : {false, true}) {
        SCOPED_TRACE(bSliceThrows ? "failing slice" : "no failing slice");
        Pipeline pipeline;
        Controller& controller = pipeline.controller;
        pipeline.warmUp();
        pipeline.bThrow = bSliceThrows;
        std::size_t const base = liveAllocations();
        // std::bad_alloc is stored as an unknown failure; whatever ran out of memory, a failing
        // slice must still be reported. After a flush nothing is leaked, and one good evaluation
        // brings the count back to exactly the warmed-up one and the right value.
        auto const stored = [&](bool bFailed) {
            return [&, bFailed] {
                EXPECT_EQ(controller.controllerStatus(), Controller::kStopped);
                boost::shared_ptr<std::exception> pError = test::storedError(controller);
                auto const* pRuntime =
                    dynamic_cast<Mirel::CPURuntimeException const*>(pError.get());
                if (bSliceThrows || !bFailed)
                    EXPECT_EQ(bool(pError), bSliceThrows) << "the failure was lost";
                else
                    EXPECT_TRUE(pRuntime != nullptr &&
                                pRuntime->condition() ==
                                    Mirel::CPURuntimeException::kUnknownException);
                pError.reset();
                EXPECT_TRUE(controller.flushGraph());
                EXPECT_LE(liveAllocations(), base);
                pipeline.warmUp();
                EXPECT_EQ(liveAllocations(), base);
                EXPECT_EQ(pipeline.summing.result(), 2.0f);
            };
        };
        walk({{"processAsync ... wait",
               [&] {
                   controller.processAsync();
                   EXPECT_TRUE(controller.wait(60.0, 0.0002));
               },
               stored(true), stored(false), false}});
    }
}

} // namespace
