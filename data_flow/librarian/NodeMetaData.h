#pragma once
/** Metadata records of node kinds.

    A node kind is identified by vendor, name space, name and an optional version; NodeMetaData
    adds a description and the client identifier hosts look kinds up by. Records are plain
    values. NodeMetaDataSorter is the ordering the node catalogue keys its factories on. */

#include "core/String.h"
#include "data_flow/Export.h"

#include <iosfwd>

namespace Mirel {
namespace DataFlow {

//! Identity of a node kind: name, name space, vendor and an optional version.
class DATA_FLOW_API MetaDataBase {
public:
    //! A record with a version.
    MetaDataBase(String const& name, String const& nameSpace, String const& vendor,
                 unsigned int version);
    //! A record without version (version() gives 0).
    MetaDataBase(String const& name, String const& nameSpace, String const& vendor);
    //! Copies every field, the version flag included.
    MetaDataBase(MetaDataBase const& other);
    MetaDataBase& operator=(MetaDataBase const& other);
    virtual ~MetaDataBase();

    String const& name() const { return sName_; }
    String const& nameSpace() const { return sNameSpace_; }
    String const& vendor() const { return sVendor_; }
    //! The version when the record has one, otherwise 0.
    unsigned int version() const { return bHasVersion_ ? uVersion_ : 0u; }
    //! True only when the record was made with a version (or assigned from one that was).
    bool hasVersion() const { return bHasVersion_; }

private:
    String sName_;
    String sNameSpace_;
    String sVendor_;
    unsigned int uVersion_;
    bool bHasVersion_;
};

//! The catalogue's record of a node kind: identity plus description and client identifier.
class DATA_FLOW_API NodeMetaData : public MetaDataBase {
public:
    //! A versioned record with description and client identifier.
    NodeMetaData(String const& name, String const& nameSpace, String const& vendor,
                 unsigned int version, String const& description, String const& clientID);
    //! A record without version, description or client identifier.
    NodeMetaData(String const& name, String const& nameSpace, String const& vendor);
    NodeMetaData(NodeMetaData const& other);
    NodeMetaData& operator=(NodeMetaData const& other);
    ~NodeMetaData() override;

    String const& description() const { return sDescription_; }
    String const& clientID() const { return sClientID_; }

private:
    String sDescription_;
    String sClientID_;
};

/** Strict ordering of records by vendor, then name space, then name (String::compare), then
    version() as an unsigned number (no version counts as 0). Description and client identifier
    take no part. */
struct DATA_FLOW_API NodeMetaDataSorter {
    //! True when a comes strictly before b. Neither may be null.
    bool operator()(NodeMetaData const* a, NodeMetaData const* b) const;
    //! The same, on the two records' addresses.
    bool operator()(NodeMetaData const& a, NodeMetaData const& b) const;
};

/** Writes "name(N) namespace(S) vendor(V) version(X) description(D) clientID(C)", where the
    version group is present only for a record with a version; no line end. */
DATA_FLOW_API std::ostream& operator<<(std::ostream& os, NodeMetaData const& metaData);

} // namespace DataFlow
} // namespace Mirel
