// The node catalogue: singleton rules, registration and ownership, lookups by metadata and by
// client identifier, and node kinds from a separately loaded module.

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Mirel::String;
using Mirel::DataFlow::CreateNodeFunctionNodeFactory;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::NodeFactory;
using Mirel::DataFlow::NodeLibrarian;
using Mirel::DataFlow::NodeMetaData;
using Mirel::DataFlow::NodeTargetType;
using Mirel::DataFlow::internal::LifecycleProbe;
using test::expectInternal;

constexpr NodeTargetType kTarget = NodeTargetType(7);

/** Makes plain nodes named after its tag, records the target it was asked for, and counts its
    own destruction so that tests see the catalogue delete it. */
class TagFactory : public NodeFactory {
public:
    TagFactory(char const* tag, int* pDestroyed = nullptr)
        : sTag_(tag)
        , pDestroyed_(pDestroyed) {}
    ~TagFactory() override {
        if (pDestroyed_ != nullptr)
            ++*pDestroyed_;
    }
    Node* create(NodeTargetType target) override {
        eLastTarget_ = target;
        return sTag_.empty() ? nullptr : MIREL_NEW Node(sTag_);
    }
    NodeTargetType lastTarget() const { return eLastTarget_; }

private:
    String sTag_;
    int* pDestroyed_;
    NodeTargetType eLastTarget_ = NodeTargetType(-1);
};

NodeMetaData* record(char const* name, unsigned int version, char const* clientID = "",
                     char const* vendor = "test", char const* nameSpace = "image") {
    return MIREL_NEW NodeMetaData(name, nameSpace, vendor, version, "", clientID);
}

NodeMetaData* unversioned(char const* name, char const* vendor = "test",
                          char const* nameSpace = "image") {
    return MIREL_NEW NodeMetaData(name, nameSpace, vendor);
}

NodeLibrarian& librarian() {
    return *NodeLibrarian::Instance();
}

//! The name of the node that `make` creates, or "(null)"; destroys the node.
template <class Make>
std::string made(Make&& make) {
    Node* pNode = make();
    if (pNode == nullptr)
        return "(null)";
    std::string sName = pNode->name().c_str();
    Mirel::Core::destroy(pNode);
    return sName;
}

std::string byClientID(char const* clientID) {
    return made([&] { return librarian().createNodeByClientID(clientID, kTarget); });
}

std::string byMetadata(NodeMetaData const& query) {
    return made([&] { return librarian().createNodeByMetadata(&query, kTarget); });
}

std::vector<std::string> catalogueNames() {
    std::vector<std::string> names;
    for (auto it = librarian().begin(); it != librarian().end(); ++it)
        names.push_back((*it)->name().c_str());
    return names;
}

Node* makeFromFunction(NodeTargetType target) {
    return MIREL_NEW Node(String("fn") + std::to_string(static_cast<int>(target)).c_str());
}

// --- Singleton ---------------------------------------------------------------------------------

class LibrarianSingleton : public test::LeakChecked {
protected:
    void SetUp() override {
        LeakChecked::SetUp();
        Mirel::Core::Library::initialize();
    }
    void TearDown() override {
        Mirel::Core::Library::terminate();
        LeakChecked::TearDown();
    }
};

TEST_F(LibrarianSingleton, MissingOrSecondSingletonIsRefused) {
    std::string what =
        expectInternal([] { NodeLibrarian::Instance(); }, "Enforce gpSingleton_ != NULL");
    EXPECT_NE(what.find("data_flow/librarian/NodeLibrarian.cpp"), std::string::npos) << what;
    expectInternal([] { NodeLibrarian::Instance()->createNodeByClientID("x", kTarget); },
                   "Enforce gpSingleton_ != NULL");
    expectInternal([] { LifecycleProbe::destroyLibrarian(); }, "Enforce gpSingleton_ != NULL");

    LifecycleProbe::createLibrarian();
    NodeLibrarian* pFirst = NodeLibrarian::Instance();
    expectInternal([] { LifecycleProbe::createLibrarian(); }, "gpSingleton_ == 0");
    EXPECT_EQ(NodeLibrarian::Instance(), pFirst) << "the refused Create replaced nothing";
    EXPECT_TRUE(pFirst->begin() == pFirst->end());
    LifecycleProbe::destroyLibrarian();
    EXPECT_FALSE(LifecycleProbe::librarianExists());
}

TEST_F(LibrarianSingleton, DestroyDeletesEveryFactoryAndRecord) {
    int iDestroyed = 0;
    LifecycleProbe::createLibrarian();
    librarian().add(MIREL_NEW TagFactory("a", &iDestroyed), record("A", 1));
    librarian().add(MIREL_NEW TagFactory("b", &iDestroyed), unversioned("B"));
    LifecycleProbe::destroyLibrarian();
    EXPECT_EQ(iDestroyed, 2); // and the leak check sees the records go
}

// --- Registration ------------------------------------------------------------------------------

using LibrarianRegistration = test::LibraryTest;

TEST_F(LibrarianRegistration, CatalogueListsInRegistrationOrder) {
    EXPECT_TRUE(librarian().begin() == librarian().end());
    librarian().add(MIREL_NEW TagFactory("z"), record("Zeta", 1, "", "a"));
    librarian().add(MIREL_NEW TagFactory("a"), record("Alpha", 1, "", "z"));
    librarian().add(MIREL_NEW TagFactory("m"), unversioned("Mu"));
    EXPECT_EQ(catalogueNames(), (std::vector<std::string>{"Zeta", "Alpha", "Mu"}));
    librarian().clearAll();
    EXPECT_TRUE(librarian().begin() == librarian().end());
}

TEST_F(LibrarianRegistration, DuplicatesAreDeletedAndRefused) {
    int iDestroyed = 0;
    librarian().add(MIREL_NEW TagFactory("first", &iDestroyed), unversioned("Blur"));

    // No version and version 0 are the same kind; description and client id do not count.
    std::string what = test::expectThrowMessage<Mirel::ParameterException>(
        [&] { librarian().add(MIREL_NEW TagFactory("second", &iDestroyed), record("Blur", 0)); },
        "!bDuplicate");
    EXPECT_NE(what.find("data_flow/librarian/NodeLibrarian.cpp"), std::string::npos) << what;
    EXPECT_EQ(iDestroyed, 1) << "the refused factory is deleted at once";
    test::expectThrowMessage<Mirel::ParameterException>(
        [&] {
            librarian().add(
                MIREL_NEW TagFactory("third", &iDestroyed),
                MIREL_NEW NodeMetaData("Blur", "image", "test", 0, "other text", "other.id"));
        },
        "!bDuplicate");
    test::expectThrowMessage<Mirel::ParameterException>(
        [&] { librarian().add(&makeFromFunction, unversioned("Blur")); }, "!bDuplicate");
    EXPECT_EQ(iDestroyed, 2);

    EXPECT_EQ(catalogueNames(), (std::vector<std::string>{"Blur"}));
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "test")), "first");

    // After clearAll the same kind registers again.
    librarian().clearAll();
    EXPECT_EQ(iDestroyed, 3);
    librarian().add(MIREL_NEW TagFactory("again"), record("Blur", 0));
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "test")), "again");
}

TEST_F(LibrarianRegistration, NullArgumentsLeaveOwnershipWithTheCaller) {
    std::string what =
        expectInternal([] { librarian().add(static_cast<NodeFactory*>(nullptr), nullptr); },
                       "Enforce pNodeFactory != NULL");
    EXPECT_NE(what.find("data_flow/librarian/NodeLibrarian.cpp"), std::string::npos) << what;

    int iDestroyed = 0;
    NodeFactory* pFactory = MIREL_NEW TagFactory("f", &iDestroyed);
    expectInternal([&] { librarian().add(pFactory, nullptr); }, "Enforce pMetaData != NULL");
    EXPECT_EQ(iDestroyed, 0);
    Mirel::Core::destroy(pFactory);

    NodeMetaData* pRecord = record("Blur", 1);
    expectInternal(
        [&] { librarian().add(static_cast<Node* (*)(NodeTargetType)>(nullptr), pRecord); },
        "Enforce pCreateFunction != NULL");
    expectInternal([&] { librarian().add(&makeFromFunction, nullptr); },
                   "Enforce pMetaData != NULL"); // the wrapper made on the way is not leaked
    Mirel::Core::destroy(pRecord);
    EXPECT_TRUE(librarian().begin() == librarian().end());
}

TEST_F(LibrarianRegistration, FunctionFactoriesPassTheTargetThrough) {
    CreateNodeFunctionNodeFactory factory(&makeFromFunction);
    EXPECT_EQ(made([&] { return factory.create(NodeTargetType(3)); }), "fn3");
    CreateNodeFunctionNodeFactory copy(factory);
    EXPECT_EQ(made([&] { return copy.create(NodeTargetType(-4)); }), "fn-4");

    librarian().add(&makeFromFunction, record("Fn", 1, "fn"));
    EXPECT_EQ(byClientID("fn"), "fn7");
}

// --- Lookups -----------------------------------------------------------------------------------

using LibrarianLookup = test::LibraryTest;

TEST_F(LibrarianLookup, VersionSelection) {
    librarian().add(MIREL_NEW TagFactory("v3"), record("Blur", 3));
    librarian().add(MIREL_NEW TagFactory("v1"), record("Blur", 1));
    librarian().add(MIREL_NEW TagFactory("left"), record("Blua", 9));
    librarian().add(MIREL_NEW TagFactory("right"), record("Blus", 9));
    librarian().add(MIREL_NEW TagFactory("plain"), unversioned("Sharpen"));
    librarian().add(MIREL_NEW TagFactory("max"), record("Big", 4294967295u));
    librarian().add(MIREL_NEW TagFactory("other vendor"), record("Blur", 8, "", "tesu"));

    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "test")), "v3") << "highest version";
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "test", 1, "", "")), "v1");
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "test", 2, "", "")), "(null)");
    EXPECT_EQ(byMetadata(NodeMetaData("Sharpen", "image", "test", 0, "", "")), "plain")
        << "version 0 finds the kind registered without version";
    EXPECT_EQ(byMetadata(NodeMetaData("Sharpen", "image", "test")), "plain");
    EXPECT_EQ(byMetadata(NodeMetaData("Big", "image", "test")), "max");
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "video", "test")), "(null)");
    EXPECT_EQ(byMetadata(NodeMetaData("Blut", "image", "test")), "(null)")
        << "neighbouring kinds are no match";
    EXPECT_EQ(byMetadata(NodeMetaData("Aaa", "image", "test")), "(null)") << "before every key";
    EXPECT_EQ(byMetadata(NodeMetaData("Blur", "image", "zzz")), "(null)") << "after every key";
    EXPECT_EQ(librarian().createNodeByMetadata(nullptr, kTarget), nullptr);
}

TEST_F(LibrarianLookup, FactoriesDecideTheResult) {
    auto* pFactory = MIREL_NEW TagFactory("");
    librarian().add(pFactory, record("Empty", 1, "empty"));
    EXPECT_EQ(byClientID("empty"), "(null)") << "a factory may make nothing";
    EXPECT_EQ(pFactory->lastTarget(), kTarget);

    struct Throwing : NodeFactory {
        Node* create(NodeTargetType) override { throw std::runtime_error("no"); }
    };
    librarian().add(MIREL_NEW Throwing(), record("Throwing", 1, "throwing"));
    EXPECT_THROW(librarian().createNodeByClientID("throwing", kTarget), std::runtime_error);
}

TEST_F(LibrarianLookup, ClientIdentifierTakesTheFirstRegisteredRecord) {
    librarian().add(MIREL_NEW TagFactory("blur v1"), record("Blur", 1, "x"));
    librarian().add(MIREL_NEW TagFactory("sharpen"), record("Sharpen", 1, "x"));
    EXPECT_EQ(byClientID("x"), "blur v1");
    EXPECT_EQ(byClientID("X"), "(null)");
    EXPECT_EQ(byClientID(""), "(null)");

    // After clearAll the index starts over: the new first record wins.
    librarian().clearAll();
    EXPECT_EQ(byClientID("x"), "(null)");
    librarian().add(MIREL_NEW TagFactory("sharpen"), record("Sharpen", 1, "x"));
    librarian().add(MIREL_NEW TagFactory("blur v1"), record("Blur", 1, "x"));
    EXPECT_EQ(byClientID("x"), "sharpen");

    // A first record without version resolves to the highest version of its kind.
    librarian().add(MIREL_NEW TagFactory("plain"), unversioned("Soft"));
    librarian().add(MIREL_NEW TagFactory("soft v5"), record("Soft", 5, "soft5"));
    EXPECT_EQ(byClientID(""), "soft v5") << "three-string records carry the empty identifier";
}

TEST_F(LibrarianLookup, ALargeCatalogueAnswersLikeTheWalk) {
    // Many kinds share a few identifiers; the answer must be the first registration's.
    for (int i = 0; i < 300; ++i) {
        std::string const sName = "Kind" + std::to_string(i);
        std::string const sId = "id" + std::to_string(i % 7);
        librarian().add(MIREL_NEW TagFactory(sName.c_str()), record(sName.c_str(), 1, sId.c_str()));
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(byClientID(("id" + std::to_string(i)).c_str()), "Kind" + std::to_string(i));
}

// --- A node kind from another module -------------------------------------------------------------

using LibrarianModules = test::LibraryTest;

TEST_F(LibrarianModules, AModuleKindLinksToAHostNode) {
    void* pModule = dlopen(TEST_MODULE_DIR "/node_module.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pModule, nullptr) << dlerror();
    using Register = void (*)(NodeLibrarian*);
    auto registerModule = reinterpret_cast<Register>(dlsym(pModule, "registerNodeModule"));
    ASSERT_NE(registerModule, nullptr) << dlerror();
    registerModule(&librarian());

    {
        Node* pSource = librarian().createNodeByClientID("module.source", NodeTargetType(4));
        ASSERT_NE(pSource, nullptr);
        test::FloatSink sink("sink");
        ASSERT_NE(pSource->output(String("out")), nullptr);
        Mirel::DataFlow::Connect(*pSource->output(String("out")), sink.in());
        ASSERT_TRUE(pSource->isReady());
        pSource->process();
        ASSERT_TRUE(sink.isReady());
        sink.process();
        EXPECT_EQ(sink.lastValue(), 40.0f);
        pSource->flush();
        sink.flush();
        pSource->disconnect();
        Mirel::Core::destroy(pSource); // its code lives in the module: before dlclose
    }
    librarian().clearAll(); // the module's factory too
    EXPECT_EQ(dlclose(pModule), 0);
}

} // namespace
