// Metadata records of node kinds: versions, the catalogue's ordering, and the diagnostic text.
#include "data_flow/librarian/NodeMetaData.h"
#include "support/TestSupport.h"

#include <sstream>

using namespace Mirel;
using namespace Mirel::DataFlow;
using test::LeakChecked;

namespace {

std::string print(NodeMetaData const& metaData) {
    std::ostringstream os;
    os << metaData;
    return os.str();
}

NodeMetaData versioned(char const* vendor, char const* nameSpace, char const* name,
                       unsigned int version) {
    return NodeMetaData(name, nameSpace, vendor, version, "", "");
}

} // namespace

using MetaDataRecords = LeakChecked;

TEST_F(MetaDataRecords, CopiesAndAssignmentCarryEveryFieldAndTheVersionFlag) {
    NodeMetaData const plain("Blur", "image", "example");
    NodeMetaData const full("Sharpen", "filters", "maker", 7, "crisp", "sharpen7");
    NodeMetaData copy(full);
    EXPECT_EQ(print(copy), print(full));
    copy = plain;
    EXPECT_FALSE(copy.hasVersion());
    EXPECT_EQ(print(copy), print(plain));
    copy = full;
    EXPECT_TRUE(copy.hasVersion());
    EXPECT_EQ(print(copy), print(full));
    EXPECT_TRUE(MetaDataBase("n", "s", "v", 0).hasVersion()); // version 0 is still a version
}

TEST_F(MetaDataRecords, OrderingIsVendorThenNameSpaceThenNameThenVersion) {
    NodeMetaData const v1 = versioned("v", "s", "n", 1);
    struct Case {
        NodeMetaData a, b;
        bool aFirst; // and b never comes before a
    } const cases[] = {
        // Each earlier field decides, whatever the later ones say.
        {versioned("a", "z", "z", 9), versioned("b", "a", "a", 0), true},
        {versioned("v", "a", "z", 9), versioned("v", "b", "a", 0), true},
        {versioned("v", "s", "a", 9), versioned("v", "s", "b", 0), true},
        // Byte-wise and case-sensitive: upper case sorts before lower case; a prefix first.
        {versioned("Z", "s", "n", 0), versioned("a", "s", "n", 0), true},
        {versioned("v", "s", "n", 0), versioned("v", "s", "nn", 0), true},
        // Unsigned versions; no version is version 0; a record does not come before itself.
        {v1, versioned("v", "s", "n", 2), true},
        {v1, versioned("v", "s", "n", 4294967295u), true},
        {NodeMetaData("n", "s", "v"), v1, true},
        {NodeMetaData("n", "s", "v"), versioned("v", "s", "n", 0), false},
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
}

TEST_F(MetaDataRecords, PrintsTheExactText) {
    EXPECT_EQ(print(NodeMetaData("Blur", "image", "example", 2, "soft edge", "blur1")),
              "name(Blur) namespace(image) vendor(example) version(2) description(soft edge) "
              "clientID(blur1)");
    EXPECT_EQ(print(NodeMetaData("Blur", "image", "example")),
              "name(Blur) namespace(image) vendor(example) description() clientID()");
    EXPECT_EQ(print(versioned("", "", "", 0)), // a version of 0 is printed
              "name() namespace() vendor() version(0) description() clientID()");
    EXPECT_EQ(print(versioned("v", "s", "n", 4294967295u)),
              "name(n) namespace(s) vendor(v) version(4294967295) description() clientID()");

    // The version follows the stream's own formatting, and the stream is given back.
    std::ostringstream os;
    os << std::hex;
    EXPECT_EQ(&(os << versioned("v", "s", "n", 255)), &os);
    EXPECT_EQ(os.str(), "name(n) namespace(s) vendor(v) version(ff) description() clientID()");
}
