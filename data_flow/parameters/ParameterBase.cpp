#include "data_flow/parameters/ParameterBase.h"
#include "data_flow/parameters/ParameterVisitorBase.h"

#include <ostream>

namespace Mirel {
namespace DataFlow {

ParameterBase::ParameterBase(String const& name, String const& description)
    : bDirty_(true)
    , bDirtySimpleCaching_(true)
    , bDirtyLumet_(true)
    , sName_(name)
    , sDescription_(description) {}

ParameterBase::~ParameterBase() = default;

bool ParameterBase::isInterval() const {
    return false;
}

char const* ParameterBase::data_type_name() const {
    return type_name(datatype());
}

char const* ParameterBase::type_name(std::type_info const& info) {
    // GCC's name() is the mangled name: the same string for the same type in every module.
    return info.name();
}

boost::shared_ptr<ParameterBase> ParameterBase::clone(String const& name) const {
    boost::shared_ptr<ParameterBase> pCopy = clone();
    pCopy->sName_ = name;
    return pCopy;
}

void ParameterBase::writeNameAndDescription(std::ostream& os) const {
    os << sName_ << ' ' << sDescription_ << ' ';
}

ParameterVisitorBase::~ParameterVisitorBase() = default;

std::ostream& operator<<(std::ostream& os, ParameterBase const& p) {
    p.write(os);
    return os;
}

} // namespace DataFlow
} // namespace Mirel
