#pragma once

#include "core/Allocator.h"
#include "core/Deleters.h"
#include "core/Memory.h"
#include "core/String.h"
#include "data_flow/Export.h"
#include "data_flow/ValueTypes.h"
#include "data_flow/parameters/ParameterBase.h"
#include "data_flow/parameters/ParameterVisitorBase.h"

#include <boost/shared_ptr.hpp>

#include <cstddef>
#include <ostream>
#include <type_traits>
#include <typeinfo>
#include <utility>

namespace Mirel {
namespace DataFlow {

class InputConnector;
class Node;

namespace detail {

/** Gives a parameter from MIREL_NEW to a handle that owns it: the deleter runs the virtual
    destructor and releases the block with the tagged delete, the count block comes from
    MirelAllocator. If that count block cannot be allocated, the handle's constructor destroys
    the parameter before the failure propagates. */
template <class T, class P>
boost::shared_ptr<P> ownParameter(P* p) {
    return boost::shared_ptr<P>(p, MirelDeleter<Parameter<T>>(), MirelAllocator<P>());
}

} // namespace detail

/** The parameter of one value type T (the 22 types of DATA_FLOW_VALUE_TYPES): a current value
    and a default fixed at construction.

    setValue is the single path by which the value changes (reset, copy from another parameter,
    cloning and proxy inputs all call it through the virtual table); it compares first and raises
    the three dirty flags only on a real change, by T's own ==: floats compare as floats (0.0
    equals -0.0, a NaN equals nothing), the core types by their operator==, vectors element by
    element, strings character by character. No operation checks or clamps the value. */
template <class T>
class DATA_FLOW_API Parameter : public ParameterBase {
public:
    using value_type = T;

    //! Value and default become copies of value; the description is empty. All flags raised.
    Parameter(T const& value, String const& name)
        : ParameterBase(name, String())
        , value_(value)
        , defaultValue_(value) {}
    //! Value and default become copies of value. All flags raised.
    Parameter(T const& value, String const& name, String const& description)
        : ParameterBase(name, description)
        , value_(value)
        , defaultValue_(value) {}
    ~Parameter() override = default;

    //! A new parameter owned by the returned handle. Allocation failures propagate; no leak.
    static boost::shared_ptr<Parameter<T>> create(T const& value, String const& name) {
        return detail::ownParameter<T>(MIREL_NEW Parameter<T>(value, name));
    }
    //! A new parameter owned by the returned handle. Allocation failures propagate; no leak.
    static boost::shared_ptr<Parameter<T>> create(T const& value, String const& name,
                                                  String const& description) {
        return detail::ownParameter<T>(MIREL_NEW Parameter<T>(value, name, description));
    }
    /** A new parameter whose value and default are T's starting value (T(): zero, false, the
        identity matrix, empty); size has no influence. There is none for the vector of float. */
    template <class U = T, std::enable_if_t<!std::is_same<U, FloatVector>::value, int> = 0>
    static boost::shared_ptr<Parameter<T>>
    createArray(String const& name, String const& description, std::size_t /*size*/) {
        return create(T(), name, description);
    }

    //! The current value; the reference sees later changes.
    T const& value() const { return value_; }
    //! The value given at construction.
    T const& defaultValue() const { return defaultValue_; }

    using ParameterBase::clone;
    //! cloneParameter() as a base handle.
    boost::shared_ptr<ParameterBase> clone() const override { return cloneParameter(); }
    //! typeid(T), also for an IntervalParameter<T>.
    std::type_info const& datatype() const override { return typeid(T); }
    //! A new ParameterInput<T> named as this parameter (defined with the proxy inputs).
    InputConnector* createProxyConnector(Node* pNode) override;
    //! "name description value", the value by its stream insertion; no line end.
    void write(std::ostream& os) const override {
        writeNameAndDescription(os);
        os << value_;
    }
    //! setValue(other.valueAs<T>()); a type mismatch throws before anything changes.
    void setValueFromParameter(ParameterBase const& other) override {
        setValue(other.valueAs<T>());
    }
    //! setValue(defaultValue()).
    void resetToDefaultValue() override { setValue(defaultValue_); }
    //! Overload resolution picks T's own operation; the types without one convert to
    //! ParameterBase* and reach the fallback.
    void visit(ParameterVisitorBase* pVisitor) override { pVisitor->visit(this); }

    /** A plain Parameter<T> (never an interval one) with this one's name, description, default
        and value, all flags raised; independent of this one. */
    virtual boost::shared_ptr<Parameter<T>> cloneParameter() const {
        boost::shared_ptr<Parameter<T>> pCopy = create(defaultValue_, name(), description());
        pCopy->setValue(value_);
        return pCopy;
    }
    //! Stores value and raises all three flags unless it equals the current value.
    virtual void setValue(T const& value) {
        if (value == value_)
            return;
        value_ = value;
        markDirty();
    }

protected:
    T value_;
    T defaultValue_;
};

/** A Parameter<T> with a lower and an upper bound (the 16 types of
    DATA_FLOW_INTERVAL_VALUE_TYPES). The bounds are descriptive only: nothing compares the value
    with them, and lower > upper is accepted. clone() keeps the bounds; the inherited
    cloneParameter() gives a plain Parameter<T>. */
template <class T>
class DATA_FLOW_API IntervalParameter : public Parameter<T> {
public:
    //! Value and default become copies of value; empty description; all flags raised.
    IntervalParameter(T const& value, T const& lowerBound, T const& upperBound, String const& name)
        : Parameter<T>(value, name)
        , lowerBound_(lowerBound)
        , upperBound_(upperBound) {}
    //! Value and default become copies of value; all flags raised.
    IntervalParameter(T const& value, T const& lowerBound, T const& upperBound, String const& name,
                      String const& description)
        : Parameter<T>(value, name, description)
        , lowerBound_(lowerBound)
        , upperBound_(upperBound) {}
    ~IntervalParameter() override = default;

    //! A new interval parameter owned by the returned handle. Allocation failures propagate.
    static boost::shared_ptr<IntervalParameter<T>> create(T const& value, T const& lowerBound,
                                                          T const& upperBound, String const& name) {
        return detail::ownParameter<T>(
            MIREL_NEW IntervalParameter<T>(value, lowerBound, upperBound, name));
    }
    //! A new interval parameter owned by the returned handle. Allocation failures propagate.
    static boost::shared_ptr<IntervalParameter<T>> create(T const& value, T const& lowerBound,
                                                          T const& upperBound, String const& name,
                                                          String const& description) {
        return detail::ownParameter<T>(
            MIREL_NEW IntervalParameter<T>(value, lowerBound, upperBound, name, description));
    }
    //! Interval parameters have no createArray; this hides the inherited one.
    template <class... A>
    static void createArray(A&&...) = delete;

    //! The lower bound; never compared with the value.
    T const& lowerBound() const { return lowerBound_; }
    //! The upper bound; never compared with the value.
    T const& upperBound() const { return upperBound_; }

    using ParameterBase::clone;
    //! An interval parameter with the same default, value and bounds; all flags raised.
    boost::shared_ptr<ParameterBase> clone() const override {
        boost::shared_ptr<IntervalParameter<T>> pCopy = create(
            this->defaultValue_, lowerBound_, upperBound_, this->name(), this->description());
        pCopy->setValue(this->value_);
        return pCopy;
    }
    //! True: the one way to tell an interval parameter from a plain one through the base.
    bool isInterval() const override { return true; }
    /** Copies the other's value (unclamped, flags by setValue's rule) and, when the other is
        an interval parameter, its bounds; new bounds raise no flag. A type mismatch, or running
        out of memory, throws before anything changes. */
    void setValueFromParameter(ParameterBase const& other) override {
        T const& value = other.valueAs<T>();
        if (!other.isInterval()) {
            this->setValue(value);
            return;
        }
        // The bounds are copied before anything changes and moved in after, so that running
        // out of memory leaves value, bounds and flags as they were.
        auto const& source = static_cast<IntervalParameter<T> const&>(other);
        T lowerBound(source.lowerBound_);
        T upperBound(source.upperBound_);
        this->setValue(value);
        lowerBound_ = std::move(lowerBound);
        upperBound_ = std::move(upperBound);
    }

protected:
    T lowerBound_;
    T upperBound_;
};

// The instances live in the library (data_flow/ValueTypes.cpp); clients never make their own.
#define DATA_FLOW_EXTERN_PARAMETER(T) extern template class DATA_FLOW_API Parameter<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_EXTERN_PARAMETER)
#undef DATA_FLOW_EXTERN_PARAMETER
#define DATA_FLOW_EXTERN_INTERVAL_PARAMETER(T)                                                     \
    extern template class DATA_FLOW_API IntervalParameter<T>;
DATA_FLOW_INTERVAL_VALUE_TYPES(DATA_FLOW_EXTERN_INTERVAL_PARAMETER)
#undef DATA_FLOW_EXTERN_INTERVAL_PARAMETER

} // namespace DataFlow
} // namespace Mirel
