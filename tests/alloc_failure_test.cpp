// Allocation-failure injection: every operation that allocates is run once for each of its
// counted allocations, with exactly that one failing. Each time the failure must come out as an
// exception (or, on a scheduler thread, as the stored error), leave the state that the operation
// promises, and leak nothing. Each test is a table: one row per operation, all walked by walk().

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/DataFlow.h"

#include <cstdio>

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
    operation stores its failures: bThrows false), satisfy failed() and leave at most `slack`
    more live blocks than before the walk; the run that got through must satisfy succeeded().
    op should do only the operation under test: whatever else it allocates is walked too. */
struct Row {
    char const* what;
    std::function<void()> op;
    std::function<void()> failed = [] {};
    std::function<void()> succeeded = [] {};
    bool bThrows = true;
    std::size_t slack = 0;
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
            EXPECT_LE(liveAllocations(), base + row.slack);
            EXPECT_GE(liveAllocations(), base);
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
}

using AllocationFailureTest = test::LibraryTest;
template <class T>
class TypedAllocationTest : public test::LibraryTest {};
TYPED_TEST_SUITE(TypedAllocationTest, test::AllValueTypes);

TYPED_TEST(TypedAllocationTest, ParametersFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const value = bigValue<T>();
    String const name = longText("parameter name"), otherName = longText("another name");
    // A source whose value differs from its default and whose flags are all clean.
    boost::shared_ptr<Parameter<T>> pSource;
    boost::shared_ptr<ParameterBase> pCopy;
    auto const sourceIntact = [&] {
        EXPECT_TRUE(pSource->value() == value && pSource->defaultValue() == T());
        EXPECT_FALSE(anyDirty(*pSource));
        EXPECT_EQ(pSource->name().compare(name), 0);
        EXPECT_FALSE(pCopy);
    };
    auto const copied = [&](String const& copyName) {
        return [&, copyName] {
            ASSERT_TRUE(pCopy);
            EXPECT_EQ(pCopy->name().compare(copyName), 0);
            EXPECT_TRUE(pCopy->valueAs<T>() == value);
            EXPECT_TRUE(static_cast<Parameter<T>&>(*pCopy).defaultValue() == T());
            EXPECT_TRUE(allDirty(*pCopy));
            pCopy.reset();
        };
    };
    walk({{"Parameter<T>::create", [&] { pSource = Parameter<T>::create(T(), name, name); },
           [&] { EXPECT_FALSE(pSource); },
           [&] {
               pSource->setValue(value);
               cleanAll(*pSource);
           }},
          {"Parameter<T>::cloneParameter", [&] { pCopy = pSource->cloneParameter(); }, sourceIntact,
           copied(name)},
          {"ParameterBase::clone(name)", [&] { pCopy = pSource->clone(otherName); }, sourceIntact,
           copied(otherName)}});

    if constexpr (test::IntervalTypes::kHas<T>) {
        boost::shared_ptr<IntervalParameter<T>> pInterval;
        auto const intact = [&](ParameterBase const& p) {
            auto const& interval = static_cast<IntervalParameter<T> const&>(p);
            EXPECT_TRUE(interval.value() == value && interval.upperBound() == value);
            EXPECT_TRUE(interval.lowerBound() == T());
        };
        // Copying value and bounds from another interval parameter: all of it or nothing.
        auto const pTarget = IntervalParameter<T>::create(T(), T(), T(), name);
        cleanAll(*pTarget);
        walk({{"IntervalParameter<T>::create",
               [&] { pInterval = IntervalParameter<T>::create(value, T(), value, name, name); },
               [&] { EXPECT_FALSE(pInterval); }, [&] { intact(*pInterval); }},
              {"IntervalParameter<T>::clone", [&] { pCopy = pInterval->clone(); },
               [&] { EXPECT_FALSE(pCopy); },
               [&] {
                   ASSERT_TRUE(pCopy && pCopy->isInterval());
                   intact(*pCopy);
               }},
              {"IntervalParameter<T>::setValueFromParameter",
               [&] { pTarget->setValueFromParameter(*pInterval); },
               [&] {
                   EXPECT_TRUE(pTarget->value() == T() && pTarget->upperBound() == T());
                   EXPECT_FALSE(anyDirty(*pTarget));
               },
               [&] { intact(*pTarget); }}});
    }
}

TYPED_TEST(TypedAllocationTest, PublishingAndTakingValuesFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const first = bigValue<T>();
    OutputTemplate<T> out("out", nullptr), driver("driver", nullptr);
    ConstInput<T> in("in", nullptr);
    Connect(out, in);
    out.setData(MIREL_NEW T(first));
    void const* const pFirst = out.data();
    // A proxy input writes the delivered value into its parameter: all or nothing.
    Parameter<T> parameter(T(), "driven");
    cleanAll(parameter);
    ParameterInput<T> proxy("driven", nullptr, &parameter);
    Connect(driver, proxy);
    driver.setData(MIREL_NEW T(first));

    walk({{"OutputTemplate<T>::setData", [&] { out.setData(MIREL_NEW T()); },
           [&] { EXPECT_TRUE(out.data() == pFirst && out.value() == first); },
           [&] {
               EXPECT_TRUE(out.value() == T());
               out.setData(MIREL_NEW T(first));
           }},
          {"ConstInput<T>::acquireData", [&] { in.acquireData(); }, [] {},
           [&] { EXPECT_EQ(in.data(), out.data()); }}, // shared, not copied
          {"InputTemplate<T>::setData", [&] { in.setData(MIREL_NEW T()); },
           [&] { EXPECT_TRUE(in.value() == first); },
           [&] {
               EXPECT_TRUE(in.value() == T());
               in.releaseData();
           }},
          {"ParameterInput<T>::acquireData", [&] { proxy.acquireData(); },
           [&] {
               EXPECT_TRUE(parameter.value() == T());
               EXPECT_FALSE(anyDirty(parameter));
               proxy.releaseData();
           },
           [&] {
               EXPECT_TRUE(parameter.value() == first);
               EXPECT_TRUE(allDirty(parameter));
               proxy.releaseData();
           }}});
}

//! The names of the parameters of the given sets, one set after the other.
std::vector<std::string> names(std::initializer_list<ParameterSet const*> aSets) {
    std::vector<std::string> aNames;
    for (ParameterSet const* pSet : aSets)
        for (ParameterSet::Handle const& p : *pSet)
            aNames.push_back(p->name().c_str());
    return aNames;
}

TEST_F(AllocationFailureTest, ParameterSetOperationsAreAllOrNothing) {
    ParameterSet a, b, target, grow;
    a.insert(Parameter<String>::create(bigValue<String>(), longText("a0")));
    a.insert(IntervalParameter<Mirel::FloatVector>::create(
        bigValue<Mirel::FloatVector>(), {}, {}, longText("a1"), longText("description")));
    b.insert(
        Parameter<Mirel::Float3Vector>::create(bigValue<Mirel::Float3Vector>(), longText("b0")));
    b.insert(IntervalParameter<float>::create(0.5f, 0.0f, 1.0f, longText("b1")));
    target.insert(Parameter<String>::create(bigValue<String>(), longText("t0")));
    ParameterBase* const pTargetOwn = target.parameter(0).get();
    grow.insert(a.parameter(0));
    std::vector<std::string> const aGrown = names({&grow, &b});

    std::unique_ptr<ParameterSet> pCopy;
    auto const copyIs = [&](std::vector<std::string> const& aNames) {
        return [&, aNames] {
            EXPECT_EQ(names({pCopy.get()}), aNames);
            EXPECT_NE(pCopy->parameter(0).get(), a.parameter(0).get());
            pCopy.reset();
        };
    };
    walk({{"ParameterSet copy construction", [&] { pCopy = std::make_unique<ParameterSet>(a); },
           [&] { EXPECT_FALSE(pCopy); }, copyIs(names({&a}))},
          {"combine", [&] { pCopy = std::make_unique<ParameterSet>(combine(a, b)); },
           [&] { EXPECT_FALSE(pCopy); }, copyIs(names({&a, &b}))},
          // A failed assignment leaves the target's own parameters in place.
          {"ParameterSet assignment", [&] { target = a; },
           [&] { EXPECT_TRUE(target.size() == 1 && target.parameter(0).get() == pTargetOwn); },
           [&] { EXPECT_EQ(names({&target}), names({&a})); }},
          // A failed range insertion keeps only the clones appended before the failure.
          {"ParameterSet range insertion", [&] { grow.insert(b.begin(), b.end()); },
           [&] {
               std::vector<std::string> const aNames = names({&grow});
               ASSERT_LT(aNames.size(), aGrown.size());
               EXPECT_TRUE(std::equal(aNames.begin(), aNames.end(), aGrown.begin()));
               grow.clear();
               grow.insert(a.parameter(0));
           },
           [&] { EXPECT_EQ(names({&grow}), aGrown); }}});
}

class TargetNode : public Node {
public:
    explicit TargetNode(NodeTargetType target)
        : Node(longText("catalogued node"))
        , eTarget(target) {}
    NodeTargetType eTarget;
};

Node* createTargetNode(NodeTargetType target) {
    return MIREL_NEW TargetNode(target);
}

struct TargetFactory : NodeFactory {
    Node* create(NodeTargetType target) override { return createTargetNode(target); }
};

TEST_F(AllocationFailureTest, TheCatalogueLeavesBothObjectsToTheCallerOnAFailedRegistration) {
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    // The first registration reserves the catalogue's room, which stays: not counted as a leak.
    librarian.add(&createTargetNode,
                  MIREL_NEW NodeMetaData(longText("first"), longText("space"), longText("vendor")));
    String const clientID = longText("client identifier");
    auto const size = [&] { return std::size_t(librarian.end() - librarian.begin()); };
    auto const newMetaData = [&](int iVersion, String const& id) {
        return MIREL_NEW NodeMetaData(longText("kind"), longText("space"), longText("vendor"),
                                      iVersion, longText("description"), id);
    };
    // A failure inside add leaves both objects with the caller; success hands them over.
    NodeFactory* pFactory = nullptr;
    NodeMetaData* pMetaData = nullptr;
    auto const reclaim = [&](std::size_t expectedSize) {
        return [&, expectedSize] {
            Mirel::Core::destroy(pFactory);
            Mirel::Core::destroy(pMetaData);
            pFactory = nullptr;
            pMetaData = nullptr;
            EXPECT_EQ(size(), expectedSize);
            EXPECT_EQ(librarian.createNodeByClientID(clientID, NodeTargetType()), nullptr);
        };
    };
    // Lookups: an unversioned record is looked up through a probe record, then the factory runs.
    NodeMetaData const unversioned(longText("kind"), longText("space"), longText("vendor"));
    Node* pNode = nullptr;
    auto const made = [&](int iTarget) {
        return [&, iTarget] {
            ASSERT_NE(pNode, nullptr);
            EXPECT_EQ(static_cast<TargetNode*>(pNode)->eTarget, NodeTargetType(iTarget));
            Mirel::Core::destroy(pNode);
            pNode = nullptr;
        };
    };
    auto const none = [&] { EXPECT_EQ(pNode, nullptr); };
    walk({{"NodeLibrarian::add(factory, record)",
           [&] {
               pFactory = MIREL_NEW TargetFactory();
               pMetaData = newMetaData(2, longText("another client identifier"));
               librarian.add(pFactory, pMetaData);
               pFactory = nullptr;
               EXPECT_EQ(*(librarian.end() - 1), pMetaData);
               pMetaData = nullptr;
           },
           reclaim(1), [&] { EXPECT_EQ(size(), 2u); }},
          {"NodeLibrarian::add(function, record)",
           [&] {
               pMetaData = newMetaData(3, clientID);
               librarian.add(&createTargetNode, pMetaData);
               pMetaData = nullptr;
           },
           reclaim(2), [&] { EXPECT_EQ(size(), 3u); }},
          {"NodeLibrarian::createNodeByMetadata",
           [&] { pNode = librarian.createNodeByMetadata(&unversioned, NodeTargetType(5)); }, none,
           made(5)},
          {"NodeLibrarian::createNodeByClientID",
           [&] { pNode = librarian.createNodeByClientID(clientID, NodeTargetType(6)); }, none,
           made(6)}});
}

TEST_F(AllocationFailureTest, NodesAndTheLibraryAreLeftAsTheyWere) {
    String const oldName = longText("old node name"), newName = longText("new node name");
    { test::HookNode seen(oldName, 0, 0); } // the index keeps a counter per name ever seen
    std::unique_ptr<test::HookNode> pNode;
    String oldId;
    Parameter<String> gain(bigValue<String>(), longText("gain"));
    InputConnector* pProxy = nullptr;
    std::unique_ptr<Controller> pController;
    walk({{"Node construction", [&] { pNode = std::make_unique<test::HookNode>(oldName, 1, 1); },
           [&] { EXPECT_FALSE(pNode); }, [&] { oldId = pNode->debugId(); }},
          // A failed renaming keeps the node its name and its place in the debug index.
          {"Node::setName", [&] { pNode->setName(newName); },
           [&] {
               EXPECT_EQ(pNode->name().compare(oldName), 0);
               EXPECT_EQ(pNode->debugId().compare(oldId), 0);
           },
           [&] { EXPECT_EQ(pNode->debugId().compare(newName + " [0]"), 0); }},
          // The inputs' storage may have been reserved already: it is the node's own.
          {"Node::convertToConnector", [&] { pProxy = pNode->convertToConnector(&gain); },
           [&] { EXPECT_TRUE(pProxy == nullptr && pNode->numberOfInputs() == 1u); },
           [&] { EXPECT_EQ(pNode->numberOfInputs(), 2u); }, true, 1},
          {"Controller construction", [&] { pController = std::make_unique<Controller>(); },
           [&] { EXPECT_FALSE(pController); }},
          {"Controller::addNode", [&] { pController->addNode(pNode.get()); },
           [&] {
               EXPECT_EQ(pController->nodesBegin(), pController->nodesEnd());
               EXPECT_EQ(pNode->controller(), nullptr);
           },
           [&] { EXPECT_EQ(pNode->controller(), pController.get()); }}});
    Mirel::Core::destroy(pProxy);

    // Steps done before the failure are not undone: a new initialize refuses until they are gone.
    using Probe = Mirel::DataFlow::internal::LifecycleProbe;
    pNode.reset();
    Library::terminate();
    walk({{"Library::initialize", [] { Library::initialize(); },
           [] {
               EXPECT_FALSE(Library::isInitialized() || Probe::librarianExists());
               if (Probe::nodeMapsExist()) {
                   test::expectInternal([] { Library::initialize(); }, "!pIndexMap_");
                   Probe::terminateNodeMaps();
               }
           },
           [] { EXPECT_TRUE(Library::isInitialized()); }}});
}

//! source (1) -> summing (its 8 slices on the scheduler's threads; 2) -> sink (3).
struct Pipeline {
    test::HookNode source{"source", 0, 1}, sink{"sink", 1, 0};
    test::SlicedNode summing{"summing", 1, 8, 1, 1};
    Controller controller;
    bool bThrow = false; // slice 3 throws an InternalException

    Pipeline() {
        test::link(source, summing);
        test::link(summing, sink);
        test::addAll(controller, {&source, &summing, &sink});
        summing.onSlice = [this](std::size_t begin, std::size_t end) {
            MIREL_CHECK(!(bThrow && begin <= 3 && 3 < end), "slice failure");
        };
        // What the controller and the outputs keep between evaluations (the visit stack, the
        // outputs' storage) is made now, not counted against the walk.
        warmUp();
    }
    ~Pipeline() {
        source.disconnect();
        sink.disconnect();
    }
    //! One good evaluation and flush: outputs of plain values keep their storage from then on.
    void warmUp() {
        bool const bWasThrowing = bThrow;
        bThrow = false;
        summing.clearSlices();
        controller.process();
        controller.flushGraph();
        bThrow = bWasThrowing;
    }
    /** After a flush nothing is leaked: at most the blocks of the warmed-up pipeline are live,
        and one good evaluation brings the count back to exactly that and the right value. */
    void expectWholeAgain(std::size_t base) {
        EXPECT_TRUE(controller.wait(60.0, 0.0002));
        EXPECT_TRUE(controller.flushGraph());
        EXPECT_LE(liveAllocations(), base);
        warmUp();
        EXPECT_EQ(liveAllocations(), base);
        EXPECT_EQ(sink.result(), 3.0f);
        EXPECT_FALSE(summing.slices().empty());
    }
};

TEST_F(AllocationFailureTest, EvaluationReportsTheFailureAndRecovers) {
    for (bool bSliceThrows : {false, true}) {
        SCOPED_TRACE(bSliceThrows ? "failing slice" : "no failing slice");
        Pipeline pipeline;
        Controller& controller = pipeline.controller;
        pipeline.bThrow = bSliceThrows;
        std::size_t const base = liveAllocations();
        // Asynchronously the failure is stored: std::bad_alloc as an unknown failure. Whatever
        // ran out of memory, a failing slice must still be reported.
        bool bWaited = false;
        auto const stored = [&](bool bFailed) {
            ASSERT_TRUE(bWaited);
            EXPECT_EQ(controller.controllerStatus(), Controller::kStopped);
            boost::shared_ptr<std::exception> pError = test::storedError(controller);
            auto const* pRuntime = dynamic_cast<Mirel::CPURuntimeException const*>(pError.get());
            if (bSliceThrows)
                EXPECT_TRUE(pError) << "the failure was lost";
            else if (bFailed)
                EXPECT_TRUE(pRuntime != nullptr &&
                            pRuntime->condition() == Mirel::CPURuntimeException::kUnknownException);
            else
                EXPECT_FALSE(pError);
            pError.reset();
            pipeline.expectWholeAgain(base);
        };
        walk({{"processAsync ... wait",
               [&] {
                   controller.processAsync();
                   bWaited = controller.wait(60.0, 0.0002);
               },
               [&] { stored(true); }, [&] { stored(false); }, false}});
        if (!bSliceThrows)
            continue;
        // Synchronously the failure comes out of process(): the slice's, or std::bad_alloc.
        bool bReported = false;
        auto const reported = [&] {
            EXPECT_TRUE(bReported) << "the failure was lost";
            pipeline.expectWholeAgain(base);
        };
        walk({{"process",
               [&] {
                   bReported = false;
                   try {
                       controller.process();
                   } catch (Mirel::SharedException const&) {
                       bReported = true;
                   } catch (std::bad_alloc const&) {
                       bReported = true;
                       throw;
                   }
               },
               reported, reported, false}});
    }
}

} // namespace
