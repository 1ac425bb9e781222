#include "data_flow/parameters/ParameterSet.h"

#include "core/Exceptions.h"

#include <ostream>
#include <utility>

namespace Mirel {
namespace DataFlow {

ParameterSet::ParameterSet() = default;

ParameterSet::ParameterSet(ParameterSet const& other) {
    insert(other.begin(), other.end());
}

ParameterSet& ParameterSet::operator=(ParameterSet const& other) {
    // All clones are made before this set is touched, so a failure leaves it as it was.
    ParameterSet copy(other);
    swap(copy);
    return *this;
}

ParameterSet::~ParameterSet() = default;

ParameterSet::Handle ParameterSet::parameter(std::size_t iParameter) {
    MIREL_CHECK(iParameter < size(), "Range error: iParameter < size()");
    return aParameters_[iParameter];
}

ParameterSet::Handle const ParameterSet::parameter(std::size_t iParameter) const {
    MIREL_CHECK(iParameter < size(), "Range error: iParameter < size()");
    return aParameters_[iParameter];
}

ParameterSet::Handle ParameterSet::getParameter(String const& name) {
    return static_cast<ParameterSet const&>(*this).getParameter(name);
}

ParameterSet::Handle const ParameterSet::getParameter(String const& name) const {
    ParameterNameEquals isNamed(name);
    for (Handle const& p : aParameters_)
        if (isNamed(p.get()))
            return p;
    return Handle();
}

void ParameterSet::insert(Handle p) {
    aParameters_.push_back(std::move(p));
}

ParameterSet::iterator ParameterSet::insert(const_iterator /*where*/, Handle p) {
    aParameters_.push_back(std::move(p));
    return aParameters_.end() - 1;
}

void ParameterSet::insert(const_iterator first, const_iterator last) {
    for (; first != last; ++first)
        aParameters_.push_back((*first)->clone());
}

void ParameterSet::clear() {
    aParameters_.clear();
}

void ParameterSet::swap(ParameterSet& other) noexcept {
    aParameters_.swap(other.aParameters_);
}

ParameterSet combine(ParameterSet const& a, ParameterSet const& b) {
    ParameterSet result(a);
    result.insert(b.begin(), b.end());
    return result;
}

std::ostream& operator<<(std::ostream& os, ParameterSet const& set) {
    for (ParameterSet::Handle const& p : set)
        os << *p << "\n";
    return os;
}

ParameterNameEquals::ParameterNameEquals(String name)
    : sName_(std::move(name)) {}
ParameterNameEquals::ParameterNameEquals(ParameterNameEquals const& other) = default;
ParameterNameEquals& ParameterNameEquals::operator=(ParameterNameEquals const& other) = default;
ParameterNameEquals::~ParameterNameEquals() = default;

bool ParameterNameEquals::operator()(ParameterBase const* p) const {
    return p->name().compare(sName_) == 0;
}

} // namespace DataFlow
} // namespace Mirel
