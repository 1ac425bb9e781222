#include "data_flow/librarian/NodeMetaData.h"

#include <ostream>

namespace Mirel {
namespace DataFlow {

MetaDataBase::MetaDataBase(String const& name, String const& nameSpace, String const& vendor,
                           unsigned int version)
    : sName_(name)
    , sNameSpace_(nameSpace)
    , sVendor_(vendor)
    , uVersion_(version)
    , bHasVersion_(true) {}

MetaDataBase::MetaDataBase(String const& name, String const& nameSpace, String const& vendor)
    : sName_(name)
    , sNameSpace_(nameSpace)
    , sVendor_(vendor)
    , uVersion_(0)
    , bHasVersion_(false) {}

MetaDataBase::MetaDataBase(MetaDataBase const& other) = default;
MetaDataBase& MetaDataBase::operator=(MetaDataBase const& other) = default;
MetaDataBase::~MetaDataBase() = default;

NodeMetaData::NodeMetaData(String const& name, String const& nameSpace, String const& vendor,
                           unsigned int version, String const& description, String const& clientID)
    : MetaDataBase(name, nameSpace, vendor, version)
    , sDescription_(description)
    , sClientID_(clientID) {}

NodeMetaData::NodeMetaData(String const& name, String const& nameSpace, String const& vendor)
    : MetaDataBase(name, nameSpace, vendor) {}

NodeMetaData::NodeMetaData(NodeMetaData const& other) = default;
NodeMetaData& NodeMetaData::operator=(NodeMetaData const& other) = default;
NodeMetaData::~NodeMetaData() = default;

bool NodeMetaDataSorter::operator()(NodeMetaData const* a, NodeMetaData const* b) const {
    if (int iOrder = a->vendor().compare(b->vendor()))
        return iOrder < 0;
    if (int iOrder = a->nameSpace().compare(b->nameSpace()))
        return iOrder < 0;
    if (int iOrder = a->name().compare(b->name()))
        return iOrder < 0;
    return a->version() < b->version();
}

bool NodeMetaDataSorter::operator()(NodeMetaData const& a, NodeMetaData const& b) const {
    return (*this)(&a, &b);
}

std::ostream& operator<<(std::ostream& os, NodeMetaData const& metaData) {
    os << "name(" << metaData.name() << ") ";
    os << "namespace(" << metaData.nameSpace() << ") ";
    os << "vendor(" << metaData.vendor() << ") ";
    if (metaData.hasVersion())
        os << "version(" << metaData.version() << ") ";
    os << "description(" << metaData.description() << ") ";
    os << "clientID(" << metaData.clientID() << ")";
    return os;
}

} // namespace DataFlow
} // namespace Mirel
