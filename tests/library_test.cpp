// The library's start-up and shut-down, and the AutoInitializer scope guard.

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/DataFlowLibrary.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <string>

namespace {

using Mirel::DataFlow::AutoInitializer;
using Mirel::DataFlow::Library;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::NodeLibrarian;
using Mirel::DataFlow::NodeMetaData;
using Mirel::DataFlow::NodeTargetType;
using Mirel::DataFlow::internal::LifecycleProbe;
using test::expectInternal;

Node* makeNode(NodeTargetType) {
    return MIREL_NEW Node("made");
}

//! The core is up around every test; data_flow's Library is down, for the tests to drive.
class LibraryLifecycle : public test::LibraryTest {
protected:
    void SetUp() override {
        LibraryTest::SetUp();
        Library::terminate();
    }
};

TEST_F(LibraryLifecycle, EveryCycleStartsEmptyAndFreshAndEachStateRefusesItsOwnTransition) {
    std::string what = expectInternal([] { Library::terminate(); }, "bInitialized_");
    EXPECT_NE(what.find("data_flow/DataFlowLibrary.cpp"), std::string::npos) << what;
    for (int iCycle = 0; iCycle < 3; ++iCycle) {
        Library::initialize();
        NodeLibrarian* pLibrarian = NodeLibrarian::Instance();
        EXPECT_TRUE(pLibrarian->begin() == pLibrarian->end()) << "cycle " << iCycle;
        pLibrarian->add(&makeNode, MIREL_NEW NodeMetaData("Kind", "ns", "test"));
        {
            Node a("blur"), b("blur");
            EXPECT_EQ(std::string(b.debugId().c_str()), "blur [1]") << "cycle " << iCycle;
        }
        expectInternal([] { Library::initialize(); }, "!bInitialized_");
        EXPECT_EQ(NodeLibrarian::Instance(), pLibrarian) << "a refused initialize changes nothing";
        EXPECT_TRUE(pLibrarian->begin() != pLibrarian->end());

        Library::terminate(); // deletes the registered kind: the leak check proves it
        EXPECT_FALSE(Library::isInitialized());
        EXPECT_FALSE(LifecycleProbe::librarianExists());
        EXPECT_FALSE(LifecycleProbe::nodeMapsExist());
    }
}

TEST_F(LibraryLifecycle, TheCoreMustBeUpBothWays) {
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::initialize(); }, "Core::Library::isInitialized()");
    EXPECT_FALSE(Library::isInitialized());
    EXPECT_FALSE(LifecycleProbe::nodeMapsExist()) << "nothing is created";
    EXPECT_FALSE(LifecycleProbe::librarianExists());

    Mirel::Core::Library::initialize();
    Library::initialize();
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::terminate(); }, "Core::Library::isInitialized()");
    EXPECT_TRUE(Library::isInitialized()) << "a refused terminate takes nothing down";
    EXPECT_TRUE(LifecycleProbe::librarianExists());
    Mirel::Core::Library::initialize();
}

TEST_F(LibraryLifecycle, AFailedStepLeavesTheLibraryDownWithEarlierStepsDone) {
    Mirel::Core::failAllocationsAfter(2); // the catalogue, after the two maps of the node index
    EXPECT_THROW(Library::initialize(), std::bad_alloc);
    EXPECT_FALSE(Library::isInitialized());
    EXPECT_TRUE(LifecycleProbe::nodeMapsExist()) << "steps already done are not undone";

    std::string what = expectInternal([] { Library::initialize(); }, "!pIndexMap_");
    EXPECT_NE(what.find("data_flow/nodes/Node.cpp"), std::string::npos) << what;

    LifecycleProbe::terminateNodeMaps();
    Library::initialize();
    EXPECT_TRUE(Library::isInitialized());
}

TEST_F(LibraryLifecycle, AutoInitializerTerminatesWhatItInitialisedUnlessReleased) {
    {
        AutoInitializer guard;
        EXPECT_TRUE(Library::isInitialized());
    }
    EXPECT_FALSE(Library::isInitialized());
    {
        AutoInitializer guard;
        Library::terminate();
    } // its terminate throws "bInitialized_", which must not leave the destructor
    {
        AutoInitializer guard;
        guard.release();
    }
    EXPECT_TRUE(Library::isInitialized()) << "a released guard leaves the library up";
    expectInternal([] { AutoInitializer guard; }, "!bInitialized_");
    EXPECT_TRUE(Library::isInitialized()) << "no guard was made, so none terminated";
}

} // namespace
