#include "data_flow/librarian/NodeMetaData.h"

#include "data_flow/private/MetaDataEdits.h"

#include <atomic>
#include <ostream>

namespace Mirel {
namespace DataFlow {

namespace {
std::atomic<unsigned long> gAssignments{0};
} // namespace

unsigned long internal::metaDataAssignments() noexcept {
    return gAssignments.load(std::memory_order_acquire);
}

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
MetaDataBase& MetaDataBase::operator=(MetaDataBase const& other) {
    sName_ = other.sName_;
    sNameSpace_ = other.sNameSpace_;
    sVendor_ = other.sVendor_;
    uVersion_ = other.uVersion_;
    bHasVersion_ = other.bHasVersion_;
    // NodeMetaData's assignment runs this one first, so a record counts as edited from here on.
    gAssignments.fetch_add(1, std::memory_order_release);
    return *this;
}
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
