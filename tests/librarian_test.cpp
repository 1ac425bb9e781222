// The library's start-up and shut-down, metadata records (ordering and text), and the node
// catalogue: registration and ownership, lookups by metadata and by client identifier, and node
// kinds from a separately loaded module.

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

TEST_F(LibrarianTest, EveryCycleStartsEmptyAndEachStateRefusesItsOwnTransition) {
    for (int iCycle = 0; iCycle < 2; ++iCycle) {
        EXPECT_TRUE(librarian().begin() == librarian().end()) << "cycle " << iCycle;
        librarian().add(&makeFromFunction, record("Kind"));
        {
            Node a("blur"), b("blur");
            EXPECT_EQ(std::string(b.debugId().c_str()), "blur [1]") << "cycle " << iCycle;
        }
        NodeLibrarian* pLibrarian = &librarian();
        expectInternal([] { Library::initialize(); }, "!bInitialized_");
        EXPECT_EQ(&librarian(), pLibrarian) << "a refused initialize changes nothing";
        Library::terminate(); // deletes the registered kind: the leak check proves it
        EXPECT_FALSE(Library::isInitialized() || Probe::librarianExists() ||
                     Probe::nodeMapsExist());
        expectInternal([] { NodeLibrarian::Instance(); }, "Enforce gpSingleton_ != NULL", kSource);
        expectInternal([] { Library::terminate(); }, "bInitialized_",
                       "data_flow/DataFlowLibrary.cpp");
        Library::initialize();
    }

    // The core must be up both ways; a refused step changes nothing.
    Library::terminate();
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::initialize(); }, "Core::Library::isInitialized()");
    EXPECT_FALSE(Library::isInitialized() || Probe::nodeMapsExist() || Probe::librarianExists());
    Mirel::Core::Library::initialize();
    Library::initialize();
    Mirel::Core::Library::terminate();
    expectInternal([] { Library::terminate(); }, "Core::Library::isInitialized()");
    EXPECT_TRUE(Library::isInitialized() && Probe::librarianExists());
    Mirel::Core::Library::initialize();

    // AutoInitializer terminates what it initialised, unless released.
    Library::terminate();
    {
        AutoInitializer guard;
        EXPECT_TRUE(Library::isInitialized());
    }
    EXPECT_FALSE(Library::isInitialized());
    {
        AutoInitializer guard;
        Library::terminate();
    } // its terminate throws "bInitialized_", which must not leave the destructor
    AutoInitializer().release();
    EXPECT_TRUE(Library::isInitialized()) << "a released guard leaves the library up";
    expectInternal([] { AutoInitializer guard; }, "!bInitialized_");
    EXPECT_TRUE(Library::isInitialized()) << "no guard was made, so none terminated";
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
        {v1, meta("n", 2, "", "v", "s"), true},
        {v1, meta("n", 4294967295L, "", "v", "s"), true},
        {meta("n", kNoVersion, "", "v", "s"), v1, true},
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
    EXPECT_FALSE(copy.hasVersion()) << "assignment carries the version flag";
    EXPECT_EQ(print(copy), "name(Blur) namespace(image) vendor(example) description() clientID()");
    copy = NodeMetaData("Blur", "image", "example", 2, "soft edge", "blur1");
    EXPECT_EQ(print(copy), "name(Blur) namespace(image) vendor(example) version(2) "
                           "description(soft edge) clientID(blur1)");
    EXPECT_EQ(print(meta("", 0, "", "", "")), // a version of 0 is printed
              "name() namespace() vendor() version(0) description() clientID()");
    // The version follows the stream's own formatting, and the stream is given back.
    std::ostringstream os;
    os << std::hex;
    EXPECT_EQ(&(os << meta("n", 4294967295L, "", "v", "s")), &os);
    EXPECT_EQ(os.str(),
              "name(n) namespace(s) vendor(v) version(ffffffff) description() clientID()");
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
    expectDuplicate([] { add("second", record("Blur", 0)); });
    expectDuplicate([] {
        add("third", MIREL_NEW NodeMetaData("Blur", "image", "test", 0, "other text", "id"));
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

    // After clearAll the catalogue is empty and the same kind registers again.
    librarian().clearAll();
    EXPECT_TRUE(librarian().begin() == librarian().end());
    add("again", record("Blur", 0));
    EXPECT_EQ(byMetadata(meta("Blur")), "again");
}

TEST_F(LibrarianTest, LookupByMetadataFindsTheVersionAskedOrTheHighest) {
    add("v3", record("Blur", 3));
    add("v1", record("Blur", 1));
    add("left", record("Blua", 9));
    add("right", record("Blus", 9));
    add("plain", record("Sharpen"));
    add("max", record("Big", 4294967295L));
    add("other vendor", record("Blur", 8, "", "tesu"));
    std::pair<NodeMetaData, char const*> const aCases[] = {
        {meta("Blur"), "v3"}, // the highest version
        {meta("Blur", 1), "v1"},
        {meta("Blur", 2), "(null)"},
        {meta("Sharpen", 0), "plain"}, // version 0 finds the kind registered without version
        {meta("Sharpen"), "plain"},
        {meta("Big"), "max"},
        {meta("Blur", kNoVersion, "", "test", "video"), "(null)"},
        {meta("Blut"), "(null)"},                        // neighbouring kinds are no match
        {meta("Aaa"), "(null)"},                         // before every key
        {meta("Blur", kNoVersion, "", "zzz"), "(null)"}, // after every key
    };
    for (auto const& [query, expected] : aCases)
        EXPECT_EQ(byMetadata(query), expected) << print(query);
    EXPECT_EQ(librarian().createNodeByMetadata(nullptr, kTarget), nullptr);

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
}

TEST_F(LibrarianTest, AClientIdentifierFindsTheFirstRegisteredRecordAsItReadsNow) {
    add("blur v1", record("Blur", 1, "x"));
    add("sharpen", record("Sharpen", 1, "x"));
    EXPECT_EQ(byClientID("x"), "blur v1");
    EXPECT_EQ(byClientID("X"), "(null)");
    EXPECT_EQ(byClientID(""), "(null)");
    // An identifier edited in the catalogue is looked up as edited.
    **librarian().begin() = meta("Blur", 1, "old");
    EXPECT_EQ(byClientID("old"), "blur v1");
    EXPECT_EQ(byClientID("x"), "sharpen");
    **librarian().begin() = meta("Blur", 1, "x");
    EXPECT_EQ(byClientID("x"), "blur v1") << "the first record in registration order";

    // After clearAll the index starts over; a first record without version resolves to the
    // highest version of its kind.
    librarian().clearAll();
    EXPECT_EQ(byClientID("x"), "(null)");
    add("plain", record("Soft"));
    add("soft v5", record("Soft", 5, "soft5"));
    EXPECT_EQ(byClientID(""), "soft v5") << "three-string records carry the empty identifier";

    // Many kinds sharing a few identifiers: the answer is still the first registration's.
    librarian().clearAll();
    for (int i = 0; i < 300; ++i) {
        std::string const sName = "Kind" + std::to_string(i);
        std::string const sId = "id" + std::to_string(i % 7);
        add(sName.c_str(), record(sName.c_str(), 1, sId.c_str()));
    }
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(byClientID(("id" + std::to_string(i)).c_str()), "Kind" + std::to_string(i));
}

TEST_F(LibrarianTest, AModuleKindLinksToAHostNode) {
    void* pModule = dlopen(TEST_MODULE_DIR "/node_module.so", RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(pModule, nullptr) << dlerror();
    auto registerModule =
        reinterpret_cast<void (*)(NodeLibrarian*)>(dlsym(pModule, "registerNodeModule"));
    ASSERT_NE(registerModule, nullptr) << dlerror();
    registerModule(&librarian());
    {
        Node* pSource = librarian().createNodeByClientID("module.source", NodeTargetType(4));
        ASSERT_TRUE(pSource != nullptr && pSource->output(String("out")) != nullptr);
        test::HookNode sink("sink", 1, 0);
        Connect(*pSource->output(String("out")), sink.in());
        pSource->process();
        ASSERT_TRUE(sink.isReady());
        sink.process();
        EXPECT_EQ(sink.result(), 41.0f);
        pSource->flush();
        sink.flush();
        pSource->disconnect();
        Mirel::Core::destroy(pSource); // its code lives in the module: before dlclose
    }                                  // and so does the value cell the sink shared
    librarian().clearAll();            // the module's factory too
    EXPECT_EQ(dlclose(pModule), 0);
}

} // namespace
