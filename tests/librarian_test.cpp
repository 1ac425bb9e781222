// The node catalogue: singleton rules, registration and ownership, lookups by metadata and by
// client identifier, and node kinds from a separately loaded module.

#include "support/TestNodes.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Mirel::String;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::NodeFactory;
using Mirel::DataFlow::NodeLibrarian;
using Mirel::DataFlow::NodeMetaData;
using Mirel::DataFlow::NodeTargetType;
using test::expectInternal;

constexpr NodeTargetType kTarget = NodeTargetType(7);
constexpr long kNoVersion = -1;
constexpr char kSource[] = "data_flow/librarian/NodeLibrarian.cpp";

//! Makes plain nodes named after its tag, or none for an empty tag.
class TagFactory : public NodeFactory {
public:
    explicit TagFactory(char const* tag)
        : sTag_(tag) {}
    Node* create(NodeTargetType) override {
        return sTag_.empty() ? nullptr : MIREL_NEW Node(sTag_);
    }

private:
    String sTag_;
};

//! A record of the image kind `name` by vendor "test"; kNoVersion makes a record without version.
NodeMetaData meta(char const* name, long version = kNoVersion, char const* clientID = "",
                  char const* nameSpace = "image", char const* vendor = "test") {
    if (version == kNoVersion)
        return NodeMetaData(name, nameSpace, vendor);
    return NodeMetaData(name, nameSpace, vendor, static_cast<unsigned int>(version), "", clientID);
}

template <class... A>
NodeMetaData* record(A... args) {
    return MIREL_NEW NodeMetaData(meta(args...));
}

NodeLibrarian& librarian() {
    return *NodeLibrarian::Instance();
}

//! The name of the node that `pNode` is, or "(null)"; destroys the node.
std::string made(Node* pNode) {
    if (pNode == nullptr)
        return "(null)";
    std::string sName = pNode->name().c_str();
    Mirel::Core::destroy(pNode);
    return sName;
}

std::string byClientID(char const* clientID) {
    return made(librarian().createNodeByClientID(clientID, kTarget));
}

std::string byMetadata(NodeMetaData const& query) {
    return made(librarian().createNodeByMetadata(&query, kTarget));
}

Node* makeFromFunction(NodeTargetType target) {
    return MIREL_NEW Node(String("fn") + std::to_string(static_cast<int>(target)).c_str());
}

// Library::terminate after every test deletes the catalogue: the leak check sees every factory
// and record given back.
using LibrarianTest = test::LibraryTest;

TEST_F(LibrarianTest, TheCatalogueExistsOnlyWhileTheLibraryIsUp) {
    Mirel::DataFlow::Library::terminate();
    std::string what =
        expectInternal([] { NodeLibrarian::Instance(); }, "Enforce gpSingleton_ != NULL");
    EXPECT_NE(what.find(kSource), std::string::npos) << what;
    Mirel::DataFlow::Library::initialize();
    EXPECT_TRUE(librarian().begin() == librarian().end());
}

//! Runs a registration that must be refused as a duplicate, leaving the live block count as it
//! was: the refused factory and record are deleted at once.
template <class Add>
void expectDuplicate(Add&& add) {
    std::size_t const nLive = Mirel::Core::liveAllocations();
    std::string what = test::expectThrowMessage<Mirel::ParameterException>(add, "!bDuplicate");
    EXPECT_NE(what.find(kSource), std::string::npos) << what;
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLive);
}

TEST_F(LibrarianTest, RegistrationOrderIsKeptAndDuplicatesAreDeletedAndRefused) {
    librarian().add(MIREL_NEW TagFactory("first"), record("Blur"));
    librarian().add(MIREL_NEW TagFactory("a"), record("Alpha", 1, "", "image", "z"));
    librarian().add(&makeFromFunction, record("Mu"));

    // No version and version 0 are the same kind; description and client id do not count.
    expectDuplicate([] { librarian().add(MIREL_NEW TagFactory("second"), record("Blur", 0)); });
    expectDuplicate([] {
        librarian().add(MIREL_NEW TagFactory("third"),
                        MIREL_NEW NodeMetaData("Blur", "image", "test", 0, "other text", "id"));
    });
    expectDuplicate([] { librarian().add(&makeFromFunction, record("Blur")); });
    std::vector<std::string> aNames;
    for (NodeMetaData const* pRecord : librarian())
        aNames.push_back(pRecord->name().c_str());
    EXPECT_EQ(aNames, (std::vector<std::string>{"Blur", "Alpha", "Mu"}));
    EXPECT_EQ(byMetadata(meta("Blur")), "first");

    // After clearAll the catalogue is empty and the same kind registers again.
    librarian().clearAll();
    EXPECT_TRUE(librarian().begin() == librarian().end());
    librarian().add(MIREL_NEW TagFactory("again"), record("Blur", 0));
    EXPECT_EQ(byMetadata(meta("Blur")), "again");
}

TEST_F(LibrarianTest, NullArgumentsAreRefusedAndLeaveOwnershipWithTheCaller) {
    NodeFactory* pFactory = MIREL_NEW TagFactory("f");
    NodeMetaData* pRecord = record("Blur", 1);
    std::size_t const nLive = Mirel::Core::liveAllocations();
    expectInternal([] { librarian().add(static_cast<NodeFactory*>(nullptr), nullptr); },
                   "Enforce pNodeFactory != NULL");
    expectInternal([&] { librarian().add(pFactory, nullptr); }, "Enforce pMetaData != NULL");
    expectInternal(
        [&] { librarian().add(static_cast<Node* (*)(NodeTargetType)>(nullptr), pRecord); },
        "Enforce pCreateFunction != NULL");
    expectInternal([&] { librarian().add(&makeFromFunction, nullptr); },
                   "Enforce pMetaData != NULL"); // the wrapper made on the way is not leaked
    EXPECT_EQ(Mirel::Core::liveAllocations(), nLive) << "nothing deleted, nothing kept";
    EXPECT_TRUE(librarian().begin() == librarian().end());
    Mirel::Core::destroy(pFactory);
    Mirel::Core::destroy(pRecord);
}

// --- Lookups -----------------------------------------------------------------------------------

TEST_F(LibrarianTest, VersionSelectionByMetadata) {
    librarian().add(MIREL_NEW TagFactory("v3"), record("Blur", 3));
    librarian().add(MIREL_NEW TagFactory("v1"), record("Blur", 1));
    librarian().add(MIREL_NEW TagFactory("left"), record("Blua", 9));
    librarian().add(MIREL_NEW TagFactory("right"), record("Blus", 9));
    librarian().add(MIREL_NEW TagFactory("plain"), record("Sharpen"));
    librarian().add(MIREL_NEW TagFactory("max"), record("Big", 4294967295L));
    librarian().add(MIREL_NEW TagFactory("other vendor"), record("Blur", 8, "", "image", "tesu"));

    struct Case {
        NodeMetaData query;
        char const* made;
    } const aCases[] = {
        {meta("Blur"), "v3"}, // the highest version
        {meta("Blur", 1), "v1"},
        {meta("Blur", 2), "(null)"},
        {meta("Sharpen", 0), "plain"}, // version 0 finds the kind registered without version
        {meta("Sharpen"), "plain"},
        {meta("Big"), "max"},
        {meta("Blur", kNoVersion, "", "video"), "(null)"},
        {meta("Blut"), "(null)"},                                 // neighbouring kinds are no match
        {meta("Aaa"), "(null)"},                                  // before every key
        {meta("Blur", kNoVersion, "", "image", "zzz"), "(null)"}, // after every key
    };
    for (Case const& c : aCases)
        EXPECT_EQ(byMetadata(c.query), c.made)
            << c.query.name().c_str() << " " << c.query.version();
    EXPECT_EQ(librarian().createNodeByMetadata(nullptr, kTarget), nullptr);
}

TEST_F(LibrarianTest, FactoriesDecideTheResultAndGetTheTarget) {
    librarian().add(MIREL_NEW TagFactory(""), record("Empty", 1, "empty"));
    EXPECT_EQ(byClientID("empty"), "(null)") << "a factory may make nothing";
    librarian().add(&makeFromFunction, record("Fn", 1, "fn"));
    EXPECT_EQ(byClientID("fn"), "fn7");

    struct Throwing : NodeFactory {
        Node* create(NodeTargetType) override { throw std::runtime_error("no"); }
    };
    librarian().add(MIREL_NEW Throwing(), record("Throwing", 1, "throwing"));
    EXPECT_THROW(librarian().createNodeByClientID("throwing", kTarget), std::runtime_error);
}

TEST_F(LibrarianTest, ClientIdentifierTakesTheFirstRegisteredRecord) {
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
    librarian().add(MIREL_NEW TagFactory("plain"), record("Soft"));
    librarian().add(MIREL_NEW TagFactory("soft v5"), record("Soft", 5, "soft5"));
    EXPECT_EQ(byClientID(""), "soft v5") << "three-string records carry the empty identifier";

    // Many kinds sharing a few identifiers: the answer is still the first registration's.
    librarian().clearAll();
    for (int i = 0; i < 300; ++i) {
        std::string const sName = "Kind" + std::to_string(i);
        std::string const sId = "id" + std::to_string(i % 7);
        librarian().add(MIREL_NEW TagFactory(sName.c_str()), record(sName.c_str(), 1, sId.c_str()));
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(byClientID(("id" + std::to_string(i)).c_str()), "Kind" + std::to_string(i));
}

TEST_F(LibrarianTest, AClientIdentifierEditedInTheCatalogueIsLookedUpAsEdited) {
    librarian().add(MIREL_NEW TagFactory("blur"), record("Blur", 1, "old"));
    librarian().add(MIREL_NEW TagFactory("sharpen"), record("Sharpen", 1, "new"));
    EXPECT_EQ(byClientID("old"), "blur");
    **librarian().begin() = meta("Blur", 1, "new");
    EXPECT_EQ(byClientID("old"), "(null)");
    EXPECT_EQ(byClientID("new"), "blur") << "the first record in registration order";
}

// --- A node kind from another module -------------------------------------------------------------

TEST_F(LibrarianTest, AModuleKindLinksToAHostNode) {
    void* pModule = dlopen(TEST_MODULE_DIR "/node_module.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pModule, nullptr) << dlerror();
    using Register = void (*)(NodeLibrarian*);
    auto registerModule = reinterpret_cast<Register>(dlsym(pModule, "registerNodeModule"));
    ASSERT_NE(registerModule, nullptr) << dlerror();
    registerModule(&librarian());

    {
        Node* pSource = librarian().createNodeByClientID("module.source", NodeTargetType(4));
        ASSERT_NE(pSource, nullptr);
        ASSERT_NE(pSource->output(String("out")), nullptr);
        test::FloatSink sink("sink");
        Mirel::DataFlow::Connect(*pSource->output(String("out")), sink.in());
        pSource->process();
        ASSERT_TRUE(sink.isReady());
        sink.process();
        EXPECT_EQ(sink.lastValue(), 40.0f);
        pSource->flush();
        sink.flush();
        pSource->disconnect();
        Mirel::Core::destroy(pSource); // its code lives in the module: before dlclose
    }                                  // and so does the value cell the sink shared
    librarian().clearAll();            // the module's factory too
    EXPECT_EQ(dlclose(pModule), 0);
}

} // namespace
