// Allocation-failure injection: every operation that allocates is run once for each of its
// counted allocations, with exactly that one failing. Each time the failure must come out as an
// exception (or, on a scheduler thread, as the stored error), leave the state that the operation
// promises, and leak nothing.

#include "support/AllocationWalk.h"
#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"
#include "support/TestSupport.h"

#include "data_flow/DataFlow.h"

#include <boost/shared_ptr.hpp>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Mirel::String;
using Mirel::Core::liveAllocations;
using namespace Mirel::DataFlow;
using Probe = Mirel::DataFlow::internal::LifecycleProbe;

// Texts too long for a string's own buffer, so that copying them allocates.
String longText(char const* what) {
    return String(what) + " that is much too long to fit into the string's own small buffer";
}

template <class T, class = void>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<T, std::void_t<typename T::allocator_type, decltype(std::declval<T>().data())>>
    : std::bool_constant<!std::is_same<T, String>::value> {};

//! A value of T whose copy allocates where T can allocate at all (strings and vectors).
template <class T>
T bigValue() {
    if constexpr (std::is_same<T, String>::value)
        return longText("a string value");
    else if constexpr (IsVector<T>::value)
        return T(24, test::otherValue<typename T::value_type>());
    else
        return test::otherValue<T>();
}

void cleanAll(ParameterBase& p) {
    p.setClean();
    p.setCleanSimpleCaching();
    p.setCleanLumet();
}

bool anyDirty(ParameterBase const& p) {
    return p.isDirty() || p.isDirtySimpleCaching() || p.isDirtyLumet();
}

bool allDirty(ParameterBase const& p) {
    return p.isDirty() && p.isDirtySimpleCaching() && p.isDirtyLumet();
}

class AllocationFailureTest : public test::LibraryTest {};

/** Walks op through each of its allocations. A run whose armed allocation failed must throw,
    satisfy failed() and leave the live blocks where they were before the walk; the run that got
    through must satisfy succeeded(). */
template <class Op, class Failed, class Succeeded>
void walk(char const* what, Op&& op, Failed&& failed, Succeeded&& succeeded) {
    std::size_t const base = liveAllocations();
    test::walkAllocationFailures(what, op, [&](test::AllocationStep const& step) {
        SCOPED_TRACE(::testing::Message() << what << ", n = " << step.n);
        if (step.failed) {
            EXPECT_TRUE(step.threw);
            failed();
            EXPECT_EQ(liveAllocations(), base);
        } else {
            succeeded();
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Parameters: factories and clones, for every value type

template <class T>
class ParameterAllocationTest : public test::LibraryTest {};
TYPED_TEST_SUITE(ParameterAllocationTest, test::AllValueTypes);

TYPED_TEST(ParameterAllocationTest, FactoriesAndClonesFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const value = bigValue<T>();
    String const name = longText("parameter name");
    String const description = longText("parameter description");
    String const otherName = longText("another parameter name");

    boost::shared_ptr<Parameter<T>> pCopy;
    walk(
        "Parameter<T>::create", [&] { pCopy = Parameter<T>::create(value, name, description); },
        [&] { EXPECT_FALSE(pCopy); },
        [&] {
            ASSERT_TRUE(pCopy);
            EXPECT_TRUE(pCopy->value() == value);
            EXPECT_EQ(pCopy->name().compare(name), 0);
        });

    // A source whose value differs from its default and whose flags are all clean.
    boost::shared_ptr<Parameter<T>> const pSource = Parameter<T>::create(T(), name, description);
    pSource->setValue(value);
    cleanAll(*pSource);
    pCopy.reset();
    auto const sourceUnchanged = [&] {
        EXPECT_TRUE(pSource->value() == value);
        EXPECT_TRUE(pSource->defaultValue() == T());
        EXPECT_FALSE(anyDirty(*pSource));
        EXPECT_EQ(pSource->name().compare(name), 0);
    };
    for (bool bRename : {false, true}) {
        boost::shared_ptr<ParameterBase> pClone;
        walk(
            bRename ? "ParameterBase::clone(name)" : "Parameter<T>::cloneParameter",
            [&] {
                if (bRename)
                    pClone = pSource->clone(otherName);
                else
                    pClone = pSource->cloneParameter();
            },
            [&] {
                EXPECT_FALSE(pClone);
                sourceUnchanged();
            },
            [&] {
                ASSERT_TRUE(pClone);
                EXPECT_EQ(pClone->name().compare(bRename ? otherName : name), 0);
                EXPECT_TRUE(pClone->valueAs<T>() == value);
                EXPECT_TRUE(static_cast<Parameter<T>&>(*pClone).defaultValue() == T());
                EXPECT_TRUE(allDirty(*pClone));
            });
    }
    sourceUnchanged();
}

template <class T>
class IntervalAllocationTest : public test::LibraryTest {};
TYPED_TEST_SUITE(IntervalAllocationTest, test::IntervalValueTypes);

TYPED_TEST(IntervalAllocationTest, FactoryCloneAndCopyFromAnotherFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const value = bigValue<T>();
    T const high = bigValue<T>();
    String const name = longText("interval name");
    auto const intact = [&](IntervalParameter<T> const& p) {
        EXPECT_TRUE(p.value() == value);
        EXPECT_TRUE(p.lowerBound() == T());
        EXPECT_TRUE(p.upperBound() == high);
    };

    boost::shared_ptr<IntervalParameter<T>> pSource;
    walk(
        "IntervalParameter<T>::create",
        [&] { pSource = IntervalParameter<T>::create(value, T(), high, name, name); },
        [&] { EXPECT_FALSE(pSource); },
        [&] {
            ASSERT_TRUE(pSource);
            intact(*pSource);
        });

    boost::shared_ptr<ParameterBase> pCopy;
    walk(
        "IntervalParameter<T>::clone", [&] { pCopy = pSource->clone(); },
        [&] { EXPECT_FALSE(pCopy); },
        [&] {
            ASSERT_TRUE(pCopy && pCopy->isInterval());
            intact(static_cast<IntervalParameter<T> const&>(*pCopy));
        });
    pCopy.reset();

    // Copying value and bounds from another interval parameter: all of it or nothing.
    boost::shared_ptr<IntervalParameter<T>> const pTarget =
        IntervalParameter<T>::create(T(), T(), T(), name);
    cleanAll(*pTarget);
    walk(
        "IntervalParameter<T>::setValueFromParameter",
        [&] { pTarget->setValueFromParameter(*pSource); },
        [&] {
            EXPECT_TRUE(pTarget->value() == T());
            EXPECT_TRUE(pTarget->upperBound() == T());
            EXPECT_FALSE(anyDirty(*pTarget));
        },
        [&] { intact(*pTarget); });
}

// ---------------------------------------------------------------------------------------------
// Parameter sets: copy, assignment, combine, range insertion

struct SetFixture {
    ParameterSet a;
    ParameterSet b;
    SetFixture() {
        a.insert(Parameter<String>::create(bigValue<String>(), longText("a0")));
        a.insert(IntervalParameter<Mirel::FloatVector>::create(
            bigValue<Mirel::FloatVector>(), Mirel::FloatVector(), Mirel::FloatVector(),
            longText("a1")));
        a.insert(Parameter<int>::create(3, longText("a2"), longText("description")));
        b.insert(Parameter<Mirel::Float3Vector>::create(bigValue<Mirel::Float3Vector>(),
                                                        longText("b0")));
        b.insert(IntervalParameter<float>::create(0.5f, 0.0f, 1.0f, longText("b1")));
    }
};

//! The names of the given sets, in order, one after the other.
std::vector<std::string> names(std::initializer_list<ParameterSet const*> aSets) {
    std::vector<std::string> aNames;
    for (ParameterSet const* pSet : aSets)
        for (ParameterSet::Handle const& p : *pSet)
            aNames.push_back(p->name().c_str());
    return aNames;
}

TEST_F(AllocationFailureTest, ParameterSetCopyAssignmentAndCombineAreAllOrNothing) {
    SetFixture sets;
    std::unique_ptr<ParameterSet> pCopy;
    walk(
        "ParameterSet copy construction", [&] { pCopy = std::make_unique<ParameterSet>(sets.a); },
        [&] { EXPECT_FALSE(pCopy); },
        [&] {
            ASSERT_TRUE(pCopy);
            EXPECT_EQ(names({pCopy.get()}), names({&sets.a}));
            EXPECT_NE(pCopy->parameter(0).get(), sets.a.parameter(0).get());
        });
    pCopy.reset();
    walk(
        "combine", [&] { pCopy = std::make_unique<ParameterSet>(combine(sets.a, sets.b)); },
        [&] { EXPECT_FALSE(pCopy); },
        [&] {
            ASSERT_TRUE(pCopy);
            EXPECT_EQ(names({pCopy.get()}), names({&sets.a, &sets.b}));
        });

    // A failed assignment leaves the target's own parameters in place.
    ParameterSet target;
    target.insert(Parameter<String>::create(bigValue<String>(), longText("t0")));
    target.insert(Parameter<float>::create(1.0f, longText("t1")));
    ParameterBase* const aBefore[] = {target.parameter(0).get(), target.parameter(1).get()};
    walk(
        "ParameterSet assignment", [&] { target = sets.a; },
        [&] {
            ASSERT_EQ(target.size(), 2u);
            EXPECT_EQ(target.parameter(0).get(), aBefore[0]);
            EXPECT_EQ(target.parameter(1).get(), aBefore[1]);
            EXPECT_TRUE(target.parameter(0)->valueAs<String>() == bigValue<String>());
        },
        [&] { EXPECT_EQ(names({&target}), names({&sets.a})); });
}

TEST_F(AllocationFailureTest, FailedRangeInsertionKeepsOnlyTheClonesAppendedBeforeIt) {
    SetFixture sets;
    ParameterSet grow;
    ParameterSet::Handle const pFirst = sets.a.parameter(0);
    grow.insert(pFirst);
    std::size_t const base = liveAllocations();
    test::walkAllocationFailures(
        "ParameterSet range insertion", [&] { grow.insert(sets.b.begin(), sets.b.end()); },
        [&](test::AllocationStep const& step) {
            std::vector<std::string> const aNames = names({&grow});
            std::vector<std::string> aExpected = names({&sets.b});
            aExpected.insert(aExpected.begin(), pFirst->name().c_str());
            if (step.failed) {
                EXPECT_TRUE(step.threw);
                ASSERT_LT(aNames.size(), aExpected.size());
                aExpected.resize(aNames.size());
                grow.clear();
                grow.insert(pFirst);
                EXPECT_EQ(liveAllocations(), base) << "n = " << step.n;
            }
            EXPECT_EQ(aNames, aExpected) << "n = " << step.n;
        });
}

// ---------------------------------------------------------------------------------------------
// The catalogue: registration and lookups

class TargetNode : public Node {
public:
    explicit TargetNode(NodeTargetType target)
        : Node(longText("catalogued node"))
        , eTarget_(target) {}
    NodeTargetType eTarget_;
};

Node* createTargetNode(NodeTargetType target) {
    return MIREL_NEW TargetNode(target);
}

class TargetFactory : public NodeFactory {
public:
    Node* create(NodeTargetType target) override { return createTargetNode(target); }
};

TEST_F(AllocationFailureTest, FailedRegistrationLeavesTheCatalogueAndBothObjectsToTheCaller) {
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    librarian.add(&createTargetNode,
                  MIREL_NEW NodeMetaData(longText("first"), longText("space"), longText("vendor")));
    String const clientID = longText("client identifier");
    auto const catalogueSize = [&] {
        return static_cast<std::size_t>(librarian.end() - librarian.begin());
    };
    std::size_t const size = catalogueSize();
    // A failure inside add leaves both objects with the caller; success hands them over.
    NodeFactory* pFactory = nullptr;
    NodeMetaData* pMetaData = nullptr;
    NodeMetaData* pRegistered = nullptr;
    auto const reclaim = [&] {
        Mirel::Core::destroy(pFactory);
        Mirel::Core::destroy(pMetaData);
        pFactory = nullptr;
        pMetaData = nullptr;
    };
    auto const newMetaData = [&](int iVersion, String const& id) {
        return MIREL_NEW NodeMetaData(longText("kind"), longText("space"), longText("vendor"),
                                      iVersion, longText("description"), id);
    };

    walk(
        "NodeLibrarian::add(factory, record)",
        [&] {
            pFactory = MIREL_NEW TargetFactory();
            pRegistered = pMetaData = newMetaData(2, clientID);
            librarian.add(pFactory, pMetaData);
            pFactory = nullptr;
            pMetaData = nullptr;
        },
        [&] {
            reclaim();
            EXPECT_EQ(catalogueSize(), size);
            EXPECT_EQ(librarian.createNodeByClientID(clientID, NodeTargetType()), nullptr);
        },
        [&] {
            ASSERT_EQ(catalogueSize(), size + 1);
            EXPECT_EQ(*(librarian.end() - 1), pRegistered);
        });
    walk(
        "NodeLibrarian::add(function, record)",
        [&] {
            pMetaData = newMetaData(3, longText("another client identifier"));
            librarian.add(&createTargetNode, pMetaData);
            pMetaData = nullptr;
        },
        [&] {
            reclaim();
            EXPECT_EQ(catalogueSize(), size + 1);
        },
        [&] { EXPECT_EQ(catalogueSize(), size + 2); });

    // Lookups: an unversioned record is looked up through a probe record, then the factory runs.
    NodeMetaData const unversioned(longText("kind"), longText("space"), longText("vendor"));
    Node* pNode = nullptr;
    walk(
        "NodeLibrarian::createNodeByMetadata",
        [&] { pNode = librarian.createNodeByMetadata(&unversioned, NodeTargetType(5)); },
        [&] { EXPECT_EQ(pNode, nullptr); },
        [&] {
            ASSERT_NE(pNode, nullptr);
            EXPECT_EQ(static_cast<TargetNode*>(pNode)->eTarget_, NodeTargetType(5));
        });
    Mirel::Core::destroy(pNode);
    pNode = nullptr;
    walk(
        "NodeLibrarian::createNodeByClientID",
        [&] { pNode = librarian.createNodeByClientID(clientID, NodeTargetType(6)); },
        [&] { EXPECT_EQ(pNode, nullptr); }, [&] { EXPECT_NE(pNode, nullptr); });
    Mirel::Core::destroy(pNode);
}

// ---------------------------------------------------------------------------------------------
// Nodes: construction, renaming, proxy inputs

TEST_F(AllocationFailureTest, FailedNodeConstructionOrRenamingLeavesNodesAsTheyWere) {
    String const oldName = longText("old node name");
    String const newName = longText("new node name");
    { test::FloatAddOne seen(oldName); } // the index keeps a counter per name ever seen
    std::unique_ptr<test::FloatAddOne> pNode;
    walk(
        "Node construction", [&] { pNode = std::make_unique<test::FloatAddOne>(oldName); },
        [&] { EXPECT_FALSE(pNode); },
        [&] {
            ASSERT_TRUE(pNode);
            EXPECT_NO_THROW(pNode->debugId());
        });
    ASSERT_TRUE(pNode);

    // A failed renaming keeps the node its name and its place in the debug index.
    String const oldId = pNode->debugId();
    walk(
        "Node::setName", [&] { pNode->setName(newName); },
        [&] {
            EXPECT_EQ(pNode->name().compare(oldName), 0);
            String id;
            EXPECT_NO_THROW(id = pNode->debugId()) << "the node fell out of the debug index";
            EXPECT_EQ(id.compare(oldId), 0);
        },
        [&] {
            EXPECT_EQ(pNode->name().compare(newName), 0);
            EXPECT_EQ(pNode->debugId().compare(newName + " [0]"), 0);
        });
}

class GainNode : public test::CountingNode {
public:
    explicit GainNode(String const& name)
        : CountingNode(name)
        , oGain_(bigValue<String>(), longText("gain")) {
        registerParameter(&oGain_);
    }
    Parameter<String> oGain_;
};

TEST_F(AllocationFailureTest, FailedConversionToAConnectorLeavesTheInputsAlone) {
    GainNode node("gain node");
    std::size_t const base = liveAllocations();
    InputConnector* pProxy = nullptr;
    test::walkAllocationFailures(
        "Node::convertToConnector", [&] { pProxy = node.convertToConnector(&node.oGain_); },
        [&](test::AllocationStep const& step) {
            if (step.failed) {
                EXPECT_TRUE(step.threw);
                EXPECT_EQ(pProxy, nullptr);
                EXPECT_EQ(node.numberOfInputs(), 0u);
                // The inputs' storage may have been reserved already; it is the node's own.
                EXPECT_LE(liveAllocations(), base + 1) << "n = " << step.n;
            } else {
                ASSERT_NE(pProxy, nullptr);
                EXPECT_EQ(node.numberOfInputs(), 1u);
            }
        });
    Mirel::Core::destroy(pProxy);
}

// ---------------------------------------------------------------------------------------------
// Library start-up

TEST_F(AllocationFailureTest, FailedInitializeLeavesTheLibraryDownWithOnlyTheStepsDone) {
    Library::terminate();
    walk(
        "Library::initialize", [] { Library::initialize(); },
        [] {
            EXPECT_FALSE(Library::isInitialized());
            EXPECT_FALSE(Probe::librarianExists());
            if (Probe::nodeMapsExist()) {
                // The node maps were made before the catalogue failed; steps already done are
                // not undone, so a new initialize refuses until they are gone.
                test::expectInternal([] { Library::initialize(); }, "!pIndexMap_");
                Probe::terminateNodeMaps();
            }
        },
        [] { EXPECT_TRUE(Library::isInitialized()); });
}

// ---------------------------------------------------------------------------------------------
// Typed outputs and inputs: publishing, delivery, proxy inputs

template <class T>
class DeliveryAllocationTest : public test::LibraryTest {};
TYPED_TEST_SUITE(DeliveryAllocationTest, test::AllValueTypes);

TYPED_TEST(DeliveryAllocationTest, PublishingAndTakingValuesFailWithoutLeaksOrChanges) {
    using T = TypeParam;
    T const first = bigValue<T>();
    T const second = T();
    OutputTemplate<T> out("out", nullptr);
    ConstInput<T> in("in", nullptr);
    Connect(out, in);
    out.setData(MIREL_NEW T(first));
    void const* const pFirst = out.data();
    walk(
        "OutputTemplate<T>::setData", [&] { out.setData(MIREL_NEW T(second)); },
        [&] {
            EXPECT_EQ(out.data(), pFirst);
            EXPECT_TRUE(out.value() == first);
        },
        [&] { EXPECT_TRUE(out.value() == second); });
    out.setData(MIREL_NEW T(first));

    walk(
        "ConstInput<T>::acquireData", [&] { in.acquireData(); }, [] {},
        [&] {
            EXPECT_EQ(in.data(), out.data()); // shared, not copied
            EXPECT_TRUE(in.value() == first);
        });
    void const* const pShared = in.data();
    walk(
        "InputTemplate<T>::setData", [&] { in.setData(MIREL_NEW T(second)); },
        [&] {
            EXPECT_EQ(in.data(), pShared);
            EXPECT_TRUE(in.value() == first);
        },
        [&] { EXPECT_TRUE(in.value() == second); });
    in.releaseData();

    // A proxy input writes the delivered value into its parameter: all or nothing.
    Parameter<T> parameter(second, "driven");
    cleanAll(parameter);
    ParameterInput<T> proxy("driven", nullptr, &parameter);
    OutputTemplate<T> driver("driver", nullptr);
    Connect(driver, proxy);
    driver.setData(MIREL_NEW T(first));
    walk(
        "ParameterInput<T>::acquireData", [&] { proxy.acquireData(); },
        [&] {
            EXPECT_TRUE(parameter.value() == second);
            EXPECT_FALSE(anyDirty(parameter));
            proxy.releaseData();
        },
        [&] {
            EXPECT_TRUE(parameter.value() == first);
            EXPECT_TRUE(allDirty(parameter));
        });
    proxy.releaseData();
}

// ---------------------------------------------------------------------------------------------
// The controller: construction, membership, synchronous and asynchronous evaluation

TEST_F(AllocationFailureTest, FailedControllerConstructionAndMembershipChangeNothing) {
    std::unique_ptr<Controller> pController;
    walk(
        "Controller construction", [&] { pController = std::make_unique<Controller>(); },
        [&] { EXPECT_FALSE(pController); }, [] {});
    ASSERT_TRUE(pController);
    test::FloatSink node("member");
    walk(
        "Controller::addNode", [&] { pController->addNode(&node); },
        [&] {
            EXPECT_EQ(pController->nodesBegin(), pController->nodesEnd());
            EXPECT_EQ(node.controller(), nullptr);
        },
        [&] { EXPECT_EQ(node.controller(), pController.get()); });
}

/** Input "in", output "out": publishes the sum of (in + i) over its slices i = 0..7, computed
    on the scheduler's threads. A slice may be told to throw an InternalException. */
class SlicedNode : public test::CountingNode {
public:
    explicit SlicedNode(String const& name)
        : CountingNode(name)
        , oIn_("in", this)
        , oOut_("out", this) {
        addInput(&oIn_);
        addOutput(&oOut_);
    }
    ConstInput<float>& in() { return oIn_; }
    OutputTemplate<float>& out() { return oOut_; }
    void throwInSlice(bool b) { bThrow_ = b; }
    bool throwsInSlice() const { return bThrow_; }

    BlockedRange rangeToProcess() const override { return BlockedRange(1, kSlices, 0); }
    void processSlice(std::size_t begin, std::size_t end) override {
        for (std::size_t i = begin; i < end; ++i) {
            MIREL_CHECK(!(bThrow_ && i == 3), "slice failure");
            aPartial_[i] = fInput_ + static_cast<float>(i);
        }
    }

protected:
    void internalProcess() override {
        noteProcess();
        fInput_ = oIn_.value();
        controller()->processSlices(this);
        float sum = 0.0f;
        for (float f : aPartial_)
            sum += f;
        oOut_.setData(MIREL_NEW float(sum));
    }

private:
    static constexpr std::size_t kSlices = 8;
    ConstInput<float> oIn_;
    OutputTemplate<float> oOut_;
    float fInput_ = 0.0f;
    float aPartial_[kSlices] = {};
    bool bThrow_ = false;
};

//! source (2) -> sliced (sum of 2 + i, i < 8: 44) -> add one (45) -> sink.
struct Pipeline {
    test::FloatSource source{"source", 2.0f};
    SlicedNode sliced{"sliced"};
    test::FloatAddOne addOne{"add one"};
    test::FloatSink sink{"sink"};
    Controller controller;

    Pipeline() {
        Connect(source.out(), sliced.in());
        Connect(sliced.out(), addOne.in());
        Connect(addOne.out(), sink.in());
        for (Node* pNode : std::initializer_list<Node*>{&source, &sliced, &addOne, &sink})
            controller.addNode(pNode);
        controller.setSinkNode(&sink);
        // One evaluation first: what the controller and the outputs keep between evaluations
        // (the visit stack, the outputs' storage) is made now, not counted against the walk.
        warmUp();
    }
    ~Pipeline() {
        for (Node* pNode : std::initializer_list<Node*>{&source, &sliced, &addOne, &sink})
            pNode->disconnect();
    }
    //! One good evaluation and flush: outputs of plain values keep their storage from then on.
    void warmUp() {
        bool const bThrow = sliced.throwsInSlice();
        sliced.throwInSlice(false);
        controller.process();
        controller.flushGraph();
        sliced.throwInSlice(bThrow);
    }
    static constexpr float kExpected = 45.0f;
};

/** After a flush nothing is leaked: at most the blocks of the warmed-up pipeline are live (an
    evaluation that failed while an input still shared a value leaves that output without kept
    storage), and one good evaluation brings the count back to exactly that and the right value. */
void expectWholeAgain(Pipeline& pipeline, std::size_t base) {
    EXPECT_TRUE(pipeline.controller.wait(60.0, 0.0002));
    EXPECT_TRUE(pipeline.controller.flushGraph());
    EXPECT_LE(liveAllocations(), base);
    pipeline.warmUp();
    EXPECT_EQ(liveAllocations(), base);
    EXPECT_EQ(pipeline.sink.lastValue(), Pipeline::kExpected);
}

//! What checkException() throws, as the object the SharedException wraps (null: nothing).
boost::shared_ptr<std::exception> collect(Controller& controller) {
    try {
        controller.checkException();
    } catch (Mirel::SharedException const& e) {
        return e.wrapped();
    }
    return boost::shared_ptr<std::exception>();
}

TEST_F(AllocationFailureTest, AsynchronousEvaluationStoresTheFailureAndRecovers) {
    for (bool bSliceThrows : {false, true}) {
        Pipeline pipeline;
        Controller& controller = pipeline.controller;
        pipeline.sliced.throwInSlice(bSliceThrows);
        std::size_t const base = liveAllocations();
        bool bWaited = false;
        test::walkAllocationFailures(
            bSliceThrows ? "processAsync ... wait, failing slice" : "processAsync ... wait",
            [&] {
                controller.processAsync();
                bWaited = controller.wait(60.0, 0.0002);
            },
            [&](test::AllocationStep const& step) {
                SCOPED_TRACE(::testing::Message()
                             << "slice throws " << bSliceThrows << ", n = " << step.n);
                ASSERT_TRUE(bWaited);
                EXPECT_FALSE(step.threw);
                EXPECT_EQ(controller.controllerStatus(), Controller::kStopped);
                boost::shared_ptr<std::exception> pError = collect(controller);
                auto const* pRuntime =
                    dynamic_cast<Mirel::CPURuntimeException const*>(pError.get());
                if (bSliceThrows) { // whatever ran out of memory, the failure must be reported
                    EXPECT_TRUE(pError) << "the failure was lost";
                } else if (step.failed) { // std::bad_alloc is stored as an unknown failure
                    EXPECT_TRUE(pRuntime != nullptr &&
                                pRuntime->condition() ==
                                    Mirel::CPURuntimeException::kUnknownException)
                        << (pError ? pError->what() : "nothing stored");
                } else {
                    EXPECT_FALSE(pError);
                    EXPECT_EQ(pipeline.sink.lastValue(), Pipeline::kExpected);
                }
                pError.reset();
                expectWholeAgain(pipeline, base);
            });
    }
}

TEST_F(AllocationFailureTest, SynchronousEvaluationReportsAFailingSliceEvenWithoutMemory) {
    Pipeline pipeline;
    pipeline.sliced.throwInSlice(true);
    std::size_t const base = liveAllocations();
    bool bReported = false;
    test::walkAllocationFailures(
        "process, failing slice",
        [&] {
            bReported = false;
            try {
                pipeline.controller.process();
            } catch (Mirel::SharedException const&) {
                bReported = true;
            }
        },
        [&](test::AllocationStep const& step) {
            SCOPED_TRACE(::testing::Message() << "n = " << step.n);
            // The failure comes out of process(): the slice's, or std::bad_alloc.
            EXPECT_TRUE(bReported || step.threw) << "the failure was lost";
            expectWholeAgain(pipeline, base);
        });
}

} // namespace
