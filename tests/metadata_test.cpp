// Metadata records of node kinds: versions, the catalogue's ordering, and the diagnostic text.
#include "data_flow/librarian/NodeMetaData.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <iomanip>
#include <set>
#include <sstream>
#include <vector>

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

TEST_F(MetaDataRecords, VersionFlagTravelsWithCopiesAndAssignment) {
    NodeMetaData plain("Blur", "image", "example");
    EXPECT_FALSE(plain.hasVersion());
    EXPECT_EQ(plain.version(), 0u);
    EXPECT_EQ(plain.description(), "");
    EXPECT_EQ(plain.clientID(), "");

    NodeMetaData full("Sharpen", "filters", "maker", 7, "crisp", "sharpen7");
    plain = full;
    EXPECT_TRUE(plain.hasVersion());
    EXPECT_EQ(plain.version(), 7u);
    EXPECT_EQ(plain.name(), "Sharpen");
    EXPECT_EQ(plain.nameSpace(), "filters");
    EXPECT_EQ(plain.vendor(), "maker");
    EXPECT_EQ(plain.description(), "crisp");
    EXPECT_EQ(plain.clientID(), "sharpen7");

    NodeMetaData copy(NodeMetaData("A", "B", "C"));
    EXPECT_FALSE(copy.hasVersion());
    MetaDataBase base("n", "s", "v", 0);
    EXPECT_TRUE(base.hasVersion());
    MetaDataBase unversioned("n", "s", "v");
    base = unversioned;
    EXPECT_FALSE(base.hasVersion());
}

TEST_F(MetaDataRecords, OrderingIsVendorThenNameSpaceThenNameThenVersion) {
    NodeMetaDataSorter before;
    // Each earlier field decides, whatever the later ones say.
    EXPECT_TRUE(before(versioned("a", "z", "z", 9), versioned("b", "a", "a", 0)));
    EXPECT_FALSE(before(versioned("b", "a", "a", 0), versioned("a", "z", "z", 9)));
    EXPECT_TRUE(before(versioned("v", "a", "z", 9), versioned("v", "b", "a", 0)));
    EXPECT_TRUE(before(versioned("v", "s", "a", 9), versioned("v", "s", "b", 0)));
    // Byte-wise and case-sensitive: upper case sorts before lower case.
    EXPECT_TRUE(before(versioned("Z", "s", "n", 0), versioned("a", "s", "n", 0)));
    EXPECT_TRUE(before(versioned("v", "s", "n", 0), versioned("v", "s", "nn", 0)));

    NodeMetaData none("n", "s", "v");
    NodeMetaData v0 = versioned("v", "s", "n", 0);
    NodeMetaData v1 = versioned("v", "s", "n", 1);
    NodeMetaData v2 = versioned("v", "s", "n", 2);
    NodeMetaData vMax = versioned("v", "s", "n", 4294967295u);
    EXPECT_TRUE(before(v1, v2));
    EXPECT_FALSE(before(v2, v1));
    EXPECT_TRUE(before(none, v1));
    EXPECT_TRUE(before(v2, vMax)); // unsigned: the largest version is not negative
    EXPECT_FALSE(before(vMax, v2));
    // No version and version 0 are equivalent, and a record does not come before itself.
    EXPECT_FALSE(before(none, v0));
    EXPECT_FALSE(before(v0, none));
    EXPECT_FALSE(before(v1, v1));
    // Description and client identifier take no part.
    NodeMetaData described("n", "s", "v", 1, "other", "id");
    EXPECT_FALSE(before(v1, described));
    EXPECT_FALSE(before(described, v1));
    // Pointer and reference forms agree.
    EXPECT_EQ(before(&v1, &v2), before(v1, v2));
    EXPECT_EQ(before(&v2, &v1), before(v2, v1));
}

TEST_F(MetaDataRecords, SorterKeysASetOfRecords) {
    std::vector<NodeMetaData> records = {versioned("b", "s", "n", 1), versioned("a", "t", "n", 0),
                                         versioned("a", "s", "n", 2), versioned("a", "s", "n", 1),
                                         NodeMetaData("n", "s", "a"), versioned("a", "s", "m", 5)};
    std::set<NodeMetaData const*, NodeMetaDataSorter> keyed;
    for (NodeMetaData const& record : records)
        EXPECT_TRUE(keyed.insert(&record).second);
    NodeMetaData sameAsUnversioned = versioned("a", "s", "n", 0);
    EXPECT_FALSE(keyed.insert(&sameAsUnversioned).second);

    std::vector<std::string> order;
    for (NodeMetaData const* pRecord : keyed) {
        std::ostringstream os;
        os << pRecord->vendor() << pRecord->nameSpace() << pRecord->name() << pRecord->version();
        order.push_back(os.str());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"asm5", "asn0", "asn1", "asn2", "atn0", "bsn1"}));
}

TEST_F(MetaDataRecords, PrintsTheExactText) {
    NodeMetaData blur("Blur", "image", "example", 2, "soft edge", "blur1");
    EXPECT_EQ(print(blur),
              "name(Blur) namespace(image) vendor(example) version(2) description(soft edge) "
              "clientID(blur1)");

    EXPECT_EQ(print(NodeMetaData("Blur", "image", "example")),
              "name(Blur) namespace(image) vendor(example) description() clientID()");
    EXPECT_EQ(print(NodeMetaData("", "", "", 0, "", "")),
              "name() namespace() vendor() version(0) description() clientID()");
    EXPECT_EQ(print(versioned("v", "s", "n", 4294967295u)),
              "name(n) namespace(s) vendor(v) version(4294967295) description() clientID()");

    // The version follows the stream's own formatting, and the stream is given back.
    std::ostringstream os;
    os << std::hex;
    std::ostream& result = os << versioned("v", "s", "n", 255);
    EXPECT_EQ(&result, &os);
    EXPECT_EQ(os.str(), "name(n) namespace(s) vendor(v) version(ff) description() clientID()");
}
