#pragma once

#include "core/Exceptions.h"
#include "core/String.h"
#include "data_flow/Export.h"

#include <boost/shared_ptr.hpp>

#include <cstring>
#include <iosfwd>
#include <typeinfo>

namespace Mirel {
namespace DataFlow {

class InputConnector;
class Node;
class ParameterVisitorBase;
template <class T>
class Parameter;

/** The type-erased base of every parameter: a named, described value that configures a node.

    Dirty tracking: one change signal reaches three consumers that acknowledge it on their own.
    Every real change of the value raises all three flags together; each setClean... lowers only
    its own. The first channel belongs to the node's hasDirtyParameters, the second to its simple
    caching, the third (Lumet) to clients only: the library raises it and never reads it.

    Parameters are not copied by value; copies come from clone() as shared handles. Nothing here
    locks: the host changes parameters only while no evaluation runs. */
class DATA_FLOW_API ParameterBase {
public:
    //! Destroys name and description; the value lives in the derived class.
    virtual ~ParameterBase();

    //! An independent copy with all three flags raised, owned by the returned handle.
    //! Allocation failures propagate and leak nothing.
    virtual boost::shared_ptr<ParameterBase> clone() const = 0;
    //! typeid of the value type. An interval parameter answers like the plain one of its type.
    virtual std::type_info const& datatype() const = 0;
    //! True only for an IntervalParameter<T>.
    virtual bool isInterval() const;
    /** A new input connector of the value type, named as this parameter and owned by pNode's
        kind; processing writes the value it receives into this parameter. The caller (not the
        node, not the library) destroys it with Mirel::Core::destroy. */
    virtual InputConnector* createProxyConnector(Node* pNode) = 0;
    //! Writes name, a space, the description, a space and the value; no line end.
    virtual void write(std::ostream& os) const = 0;
    /** Copies the value of another parameter of the same value type (and, into an interval
        parameter, the other's bounds). Throws InternalException on a type mismatch before
        anything changes. */
    virtual void setValueFromParameter(ParameterBase const& other) = 0;
    //! Sets the value back to the default; the flags rise only if the value changes.
    virtual void resetToDefaultValue() = 0;
    //! Calls exactly one operation of pVisitor: the one for this value type, or the fallback.
    virtual void visit(ParameterVisitorBase* pVisitor) = 0;

    //! A copy of the name.
    String name() const { return sName_; }
    //! A copy of the description.
    String description() const { return sDescription_; }

    /** The decorated name of the value type. Two parameters hold the same value type exactly
        when these strings compare equal with strcmp, also across modules. */
    char const* data_type_name() const;
    //! The decorated name of any type, in the form data_type_name() gives.
    static char const* type_name(std::type_info const& info);

    //! First channel: read by the node's hasDirtyParameters.
    bool isDirty() const { return bDirty_; }
    //! Second channel: read by the node's simple caching.
    bool isDirtySimpleCaching() const { return bDirtySimpleCaching_; }
    //! Third channel: for clients only.
    bool isDirtyLumet() const { return bDirtyLumet_; }
    //! Lowers the first flag only.
    void setClean() { bDirty_ = false; }
    //! Lowers the second flag only.
    void setCleanSimpleCaching() { bDirtySimpleCaching_ = false; }
    //! Lowers the third flag only.
    void setCleanLumet() { bDirtyLumet_ = false; }

    /** clone() under another name; everything else (flags included) is what clone() gave.
        Renaming raises no flag. */
    boost::shared_ptr<ParameterBase> clone(String const& name) const;

    /** The value of a parameter known only through its base. Throws InternalException
        "strcmp(data_type_name(), type_name(typeid(T)))==0" when T is not the value type. */
    template <class T>
    T const& valueAs() const;

    ParameterBase(ParameterBase const&) = delete;
    ParameterBase& operator=(ParameterBase const&) = delete;

protected:
    //! Copies both strings; a new parameter is dirty on every channel.
    ParameterBase(String const& name, String const& description);

    //! The one way a value change reaches the flags: all three rise together.
    void markDirty() noexcept { bDirty_ = bDirtySimpleCaching_ = bDirtyLumet_ = true; }
    //! Writes "name description " without building copies of the strings.
    void writeNameAndDescription(std::ostream& os) const;

private:
    bool bDirty_;
    bool bDirtySimpleCaching_;
    bool bDirtyLumet_;
    String sName_;
    String sDescription_;
};

//! Writes p through its virtual write and returns os.
DATA_FLOW_API std::ostream& operator<<(std::ostream& os, ParameterBase const& p);

template <class T>
T const& ParameterBase::valueAs() const {
    // Decorated names, not type_info addresses: a client module's typeid(T) may be a different
    // object for the same type.
    MIREL_CHECK(std::strcmp(data_type_name(), type_name(typeid(T))) == 0,
                "strcmp(data_type_name(), type_name(typeid(T)))==0");
    return static_cast<Parameter<T> const*>(this)->value();
}

} // namespace DataFlow
} // namespace Mirel
