// The library's start-up and shut-down, metadata records (ordering and text), and the node
// catalogue: registration and ownership, lookups by metadata and by client identifier, also of
// node kinds from a separately loaded module.

#include "support/LifecycleProbe.h"
#include "support/TestNodes.h"

#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <dlfcn.h>

#include <sstream>

namespace {

using Mirel::String;
using namespace Mirel::DataFlow;
using Probe = Mirel::DataFlow::internal::LifecycleProbe;
using test::expectInternal;

constexpr NodeTargetType kTarget = NodeTargetType(7);
constexpr long kNoVersion = -1;
constexpr char kSource[] = "data_flow/librarian/NodeLibrarian.cpp";

//! A record of kind `name`; kNoVersion makes a record without version.
NodeMetaData meta(char const* name, long version = kNoVersion, char const* clientID = "",
                  char const* vendor = "test", char const* nameSpace = "image") {
    if (version == kNoVersion)
        return NodeMetaData(name, nameSpace, vendor);
    return NodeMetaData(name, nameSpace, vendor, static_cast<unsigned int>(version), "", clientID);
}

template <class... A>
NodeMetaData* record(A... args) {
    return MIREL_NEW NodeMetaData(meta(args...));
}

std::string print(NodeMetaData const& metaData) {
    std::ostringstream os;
    os << metaData;
    return os.str();
}

//! Makes plain nodes named after its tag, or none for an empty tag.
struct TagFactory : NodeFactory {
    explicit TagFactory(char const* tag)
        : sTag(tag) {}
    Node* create(NodeTargetType) override { return sTag.empty() ? nullptr : MIREL_NEW Node(sTag); }
    String sTag;
};

NodeLibrarian& librarian() {
    return *NodeLibrarian::Instance();
}

//! Registers a TagFactory made for `tag` with the record.
void add(char const* tag, NodeMetaData* pRecord) {
    librarian().add(MIREL_NEW TagFactory(tag), pRecord);
}

//! The name of the node that `pNode` is, or "(null)"; destroys the node.
std::string made(Node* pNode) {
    std::string sName = pNode == nullptr ? "(null)" : pNode->name().c_str();
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

TEST_F(LibrarianTest, EachStateRefusesItsOwnTransitionAndANewCatalogueStartsEmpty) {
    librarian().add(&makeFromFunction, record("Kind"));
    expectInternal([] { Library::initialize(); }, "!bInitialized_");
    Library::terminate(); // deletes the registered kind: the leak check proves it
    EXPECT_FALSE(Library::isInitialized() || Probe::librarianExists() || Probe::nodeMapsExist());
    expectInternal([] { NodeLibrarian::Instance(); }, "Enforce gpSingleton_ != NULL", kSource);
    expectInternal([] { Library::terminate(); }, "bInitialized_", "data_flow/DataFlowLibrary.cpp");

    // The core must be up both ways; a refused step changes nothing.
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::initialize(); }, "Core::Library::isInitialized()");
    EXPECT_FALSE(Library::isInitialized() || Probe::nodeMapsExist() || Probe::librarianExists());
    Mirel::Core::Library::initialize();
    Library::initialize();
    EXPECT_TRUE(librarian().begin() == librarian().end());
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::terminate(); }, "Core::Library::isInitialized()");
    EXPECT_TRUE(Library::isInitialized() && Probe::librarianExists());
    Mirel::Core::Library::initialize();

    // AutoInitializer terminates what it initialised, unless released; its destructor swallows
    // the "bInitialized_" of a library already down; one made while the library is up is none.
    Library::terminate();
    {
        AutoInitializer guard;
        EXPECT_TRUE(Library::isInitialized());
    }
    EXPECT_FALSE(Library::isInitialized());
    {
        AutoInitializer guard;
        Library::terminate();
    }
    AutoInitializer().release();
    expectInternal([] { AutoInitializer guard; }, "!bInitialized_");
    EXPECT_TRUE(Library::isInitialized());
}

TEST_F(LibrarianTest, RecordsOrderByVendorNameSpaceNameAndVersionAndPrintExactly) {
    NodeMetaData const v1 = meta("n", 1, "", "v", "s");
    struct Case {
        NodeMetaData a, b;
        bool aFirst; // and b never comes before a
    } const cases[] = {
        // Each earlier field decides, whatever the later ones say.
        {meta("z", 9, "", "a", "z"), meta("a", 0, "", "b", "a"), true},
        {meta("z", 9, "", "v", "a"), meta("a", 0, "", "v", "b"), true},
        {meta("a", 9, "", "v", "s"), meta("b", 0, "", "v", "s"), true},
        // Byte-wise and case-sensitive: upper case sorts before lower case; a prefix first.
        {meta("n", 0, "", "Z", "s"), meta("n", 0, "", "a", "s"), true},
        {meta("n", 0, "", "v", "s"), meta("nn", 0, "", "v", "s"), true},
        // Unsigned versions; no version is version 0; a record does not come before itself.
        {v1, meta("n", 4294967295L, "", "v", "s"), true},
        {meta("n", kNoVersion, "", "v", "s"), meta("n", 0, "", "v", "s"), false},
        {v1, v1, false},
        // Description and client identifier take no part.
        {v1, NodeMetaData("n", "s", "v", 1, "other", "id"), false},
    };
    NodeMetaDataSorter before;
    for (Case const& c : cases) {
        EXPECT_EQ(before(c.a, c.b), c.aFirst) << print(c.a) << " / " << print(c.b);
        EXPECT_FALSE(before(c.b, c.a)) << print(c.a) << " / " << print(c.b);
        EXPECT_EQ(before(&c.a, &c.b), c.aFirst) << print(c.a) << " / " << print(c.b);
    }

    NodeMetaData copy(v1);
    copy = NodeMetaData("Blur", "image", "example");
    EXPECT_EQ(print(copy), "name(Blur) namespace(image) vendor(example) description() clientID()")
        << "assignment carries the version flag";
    EXPECT_EQ(print(NodeMetaData("Blur", "image", "example", 0, "soft edge", "blur1")),
              "name(Blur) namespace(image) vendor(example) version(0) "
              "description(soft edge) clientID(blur1)");
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

TEST_F(LibrarianTest, RegistrationKeepsTheOrderRefusesDuplicatesAndNullsAndOwnsWhatItTakes) {
    add("first", record("Blur"));
    add("a", record("Alpha", 1, "", "z"));
    librarian().add(&makeFromFunction, record("Mu"));
    // No version and version 0 are the same kind; description and client id do not count.
    expectDuplicate([] {
        add("second", MIREL_NEW NodeMetaData("Blur", "image", "test", 0, "other text", "id"));
    });
    expectDuplicate([] { librarian().add(&makeFromFunction, record("Blur")); });
    std::string sNames;
    for (NodeMetaData const* pRecord : librarian())
        sNames += std::string(pRecord->name().c_str()) + " ";
    EXPECT_EQ(sNames, "Blur Alpha Mu ");
    EXPECT_EQ(byMetadata(meta("Blur")), "first");

    // Null arguments are refused and leave ownership with the caller.
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
    Mirel::Core::destroy(pFactory);
    Mirel::Core::destroy(pRecord);
}

TEST_F(LibrarianTest, LookupsFindTheVersionAskedOrTheHighestOrTheFirstRecordOfAnIdentifier) {
    add("plain", record("Soft")); // no version: stands for the highest version of its kind
    add("v1", record("Blur", 1, "x"));
    add("v3", record("Blur", 3, "x"));
    add("left", record("Blua", 9, "y"));
    add("right", record("Blus", 9));
    add("soft v5", record("Soft", 5, "soft5"));
    add("other vendor", record("Blur", 8, "", "tesu"));
    std::pair<NodeMetaData, char const*> const aCases[] = {
        {meta("Blur"), "v3"}, // the highest version of this vendor
        {meta("Blur", 1), "v1"},
        {meta("Blur", 2), "(null)"},
        {meta("Soft", 0), "plain"}, // version 0 finds the kind registered without version
        {meta("Blur", kNoVersion, "", "test", "video"), "(null)"}, // the name space counts
        {meta("Blut"), "(null)"},                                  // neighbours are no match
        {meta("Aaa"), "(null)"},                                   // before every key
        {meta("Blur", kNoVersion, "", "zzz"), "(null)"},           // after every key
    };
    for (auto const& [query, expected] : aCases)
        EXPECT_EQ(byMetadata(query), expected) << print(query);
    EXPECT_EQ(librarian().createNodeByMetadata(nullptr, kTarget), nullptr);
    EXPECT_EQ(byClientID(""), "soft v5") << "three-string records carry the empty identifier";
    EXPECT_EQ(byClientID("X"), "(null)");

    // An identifier edited in the catalogue is looked up as it reads now.
    NodeMetaData& v1 = **std::next(librarian().begin());
    v1 = meta("Blur", 1, "old");
    EXPECT_EQ(byClientID("old"), "v1");
    EXPECT_EQ(byClientID("x"), "v3");
    v1 = meta("Blur", 1, "y");
    EXPECT_EQ(byClientID("y"), "v1") << "the first record in registration order";

    // Factories decide the result and get the target.
    add("", record("Empty", 1, "empty"));
    EXPECT_EQ(byClientID("empty"), "(null)") << "a factory may make nothing";
    librarian().add(&makeFromFunction, record("Fn", 1, "fn"));
    EXPECT_EQ(byClientID("fn"), "fn7");
    struct Throwing : NodeFactory {
        Node* create(NodeTargetType) override { throw std::runtime_error("no"); }
    };
    librarian().add(MIREL_NEW Throwing(), record("Throwing", 1, "throwing"));
    EXPECT_THROW(librarian().createNodeByClientID("throwing", kTarget), std::runtime_error);

    // A kind that a separately loaded module registered is made by the module's code; clearAll
    // deletes its factory while the module is still there. Then the catalogue and its index
    // start over, also with many kinds sharing a few identifiers.
    void* pModule = dlopen(TEST_MODULE_DIR "/node_module.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pModule, nullptr) << dlerror();
    auto registerModule =
        reinterpret_cast<void (*)(NodeLibrarian*)>(dlsym(pModule, "registerNodeModule"));
    ASSERT_NE(registerModule, nullptr) << dlerror();
    registerModule(&librarian());
    EXPECT_EQ(byClientID("module.source"), "moduleSource");
    librarian().clearAll();
    EXPECT_EQ(dlclose(pModule), 0);
    EXPECT_TRUE(librarian().begin() == librarian().end());
    EXPECT_EQ(byClientID("x"), "(null)");
    for (int i = 0; i < 300; ++i) {
        std::string const sName = "Kind" + std::to_string(i);
        add(sName.c_str(), record(sName.c_str(), 1, ("id" + std::to_string(i % 7)).c_str()));
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(byClientID(("id" + std::to_string(i)).c_str()), "Kind" + std::to_string(i));
}

} // namespace
