#pragma once

#include "core/Allocator.h"
#include "core/String.h"
#include "data_flow/Export.h"
#include "data_flow/parameters/ParameterBase.h"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <iosfwd>
#include <vector>

namespace Mirel {
namespace DataFlow {

/** An ordered sequence of shared parameter handles: the parameters of a node, or a bundle that
    a host hands around. Order is insertion order (scan, index and print order); names need not
    be unique and a lookup finds the first match.

    Two kinds of filling with different ownership: insert(p) shares p with the caller, while
    copying, assigning, combining and range insertion put in clones (all flags raised). A handle
    may own its parameter or not (a node's members come with a NullDeleter); the set only ever
    releases its handles. Not safe for concurrent modification. */
class DATA_FLOW_API ParameterSet {
public:
    using Handle = boost::shared_ptr<ParameterBase>;
    using Container = std::vector<Handle, MirelAllocator<Handle>>;
    using iterator = Container::iterator;
    using const_iterator = Container::const_iterator;

    //! An empty set.
    ParameterSet();
    //! Clones of all of other's parameters, in order. A failing clone propagates; nothing leaks.
    ParameterSet(ParameterSet const& other);
    /** Replaces the contents by clones of other's parameters. Strong guarantee: if a clone
        fails, this set is left as it was. Self-assignment is allowed and clones too. */
    ParameterSet& operator=(ParameterSet const& other);
    //! Releases every handle.
    virtual ~ParameterSet();

    //! The number of handles.
    std::size_t size() const { return aParameters_.size(); }
    //! Iterators over the handles in insertion order; insertion may invalidate them.
    iterator begin() { return aParameters_.begin(); }
    iterator end() { return aParameters_.end(); }
    const_iterator begin() const { return aParameters_.begin(); }
    const_iterator end() const { return aParameters_.end(); }

    //! The handle at iParameter. Throws InternalException "Range error: iParameter < size()".
    Handle parameter(std::size_t iParameter);
    //! The handle at iParameter. Throws InternalException "Range error: iParameter < size()".
    Handle const parameter(std::size_t iParameter) const;

    //! The first parameter of that name (exact, case-sensitive); an empty handle when none.
    Handle getParameter(String const& name);
    //! The first parameter of that name (exact, case-sensitive); an empty handle when none.
    Handle const getParameter(String const& name) const;

    //! Appends p itself: the set shares the parameter with the caller. No name check.
    void insert(Handle p);
    //! Appends p at the end whatever where is; returns an iterator to it.
    iterator insert(const_iterator where, Handle p);
    /** Appends a clone of every parameter of [first, last), in order; the range must belong
        to another set. A failing clone propagates; the clones appended before it stay. */
    void insert(const_iterator first, const_iterator last);

    //! Releases all handles; parameters held elsewhere stay alive.
    void clear();
    //! Exchanges the contents without copying or cloning anything; does not throw.
    void swap(ParameterSet& other) noexcept;

private:
    Container aParameters_;
};

//! Clones of a's parameters followed by clones of b's; duplicate names appear twice, a's first.
DATA_FLOW_API ParameterSet combine(ParameterSet const& a, ParameterSet const& b);

//! Writes every parameter in order, each followed by "\n"; an empty set writes nothing.
DATA_FLOW_API std::ostream& operator<<(std::ostream& os, ParameterSet const& set);

//! Predicate for standard algorithms: matches the parameter whose name is exactly sName_.
class DATA_FLOW_API ParameterNameEquals {
public:
    explicit ParameterNameEquals(String name);
    ParameterNameEquals(ParameterNameEquals const& other);
    ParameterNameEquals& operator=(ParameterNameEquals const& other);
    ~ParameterNameEquals();

    //! True when p's name equals the sought name character for character.
    bool operator()(ParameterBase const* p) const;

private:
    String sName_;
};

} // namespace DataFlow
} // namespace Mirel
