#pragma once
/** Typed inputs over the library's value types.

    InputTemplate<T> holds the value an input currently reads in a reference-counted cell: a
    boost::shared_ptr<T> whose deleter frees the value (unless the deleter was released) when
    the last holder lets go, and whose count block comes from MirelAllocator. The cell may be
    shared with the producing output, so delivery copies no T. ConstInput<T> fills the cell,
    before its node computes, from the OutputTemplate<T> it is linked to.

    The instances for the 22 value types of data_flow/ValueTypes.h are compiled and exported
    by the library; clients use them and never instantiate their own. */

#include "core/Allocator.h"
#include "core/Deleters.h"
#include "core/Exceptions.h"
#include "data_flow/ValueTypes.h"
#include "data_flow/connectors/Connector.h"

#include <boost/shared_ptr.hpp>

#include <typeinfo>
#include <utility>

namespace Mirel {
namespace DataFlow {

template <class T>
class OutputTemplate;

/** An input carrying a T. Owns its share of the value in pCell_, or reads the cell of the output
    that lends it (see OutputTemplate::deliver); whenever setData or setCell ran last, data()
    equals the cell's pointer. How the cell gets filled (acquireData) is left to the derived
    class. */
template <class T>
class InputTemplate : public InputConnector {
public:
    //! An input without a value.
    InputTemplate(String name, Node* node)
        : InputConnector(std::move(name), node) {}
    //! Copies the InputConnector part; the copy holds no value (its data pointer is null too).
    InputTemplate(InputTemplate const& other)
        : InputConnector(other) {}
    //! Drops this input's share of the value, or ends its loan.
    ~InputTemplate() override { endLoan(); }

    //! typeid(T).
    std::type_info const& datatype() const override { return typeid(T); }
    //! Empties the input, as setData(NULL) does; throws "!this->bound()" on a bound input.
    void releaseData() override;
    //! The same as releaseData(). An input its node already released (the usual case: every
    //! evaluation releases its inputs) is left as it is without a call.
    void flush() override {
        if (this->hasData() || pCell_ || pLender_ != nullptr || this->bound())
            releaseData();
    }

    /** Puts p in a new cell of its own and publishes it as data(); the old cell's share is
        dropped (freeing the old value if it was the last one). p must come from MIREL_NEW.
        setData(nullptr) empties the input without allocating. Throws InternalException
        "!this->bound()" on a bound input, changing nothing: p stays the caller's. Only when the
        cell's count cannot be allocated is p freed (std::bad_alloc). */
    void setData(T* p);
    /** Takes a share of an existing cell and publishes its pointer: no copy of T, no allocation.
        Throws InternalException "!this->bound()" on a bound input, changing nothing. */
    void setCell(boost::shared_ptr<T> const& cell);
    //! The value in the cell. Throws InternalException "Enforce ptr != NULL" when it is empty.
    T const& value() const;
    //! The cell itself (empty when the input holds no value): a copy shares the value for as
    //! long as it lives. During a loan it is the lending output's cell.
    boost::shared_ptr<T> const& cell() const;

private:
    friend class OutputTemplate<T>;

    //! Reads lender's cell without a count of its own until the loan ends: when this input lets
    //! go of the value, or when the lender gives this input its count (OutputTemplate::handOver).
    void borrow(OutputTemplate<T>* lender);
    //! Forgets the lender, if any; the input's cell stays empty.
    void endLoan() noexcept;

    boost::shared_ptr<T> pCell_;
    OutputTemplate<T>* pLender_ = nullptr; // while it lends this input its cell
};

/** An input filled from its producer: acquireData() asks the linked output, which must be an
    OutputTemplate<T>, to deliver its current value into this input's cell. */
template <class T>
class ConstInput : public InputTemplate<T> {
public:
    //! An input without a value.
    ConstInput(String name, Node* node)
        : InputTemplate<T>(std::move(name), node) {}

    /** Calls deliver(this) on the linked OutputTemplate<T>; its exceptions pass unchanged.
        Throws InternalException "pConnectedOutput_ != NULL" when the input is unlinked, and
        "the linked output is not an OutputTemplate<T>" for another output class of type T. */
    void acquireData() override;
};

namespace detail {
/** A value cell that owns p (from MIREL_NEW): ReleasableDeleter, count block from
    MirelAllocator. Empty, without allocating, for null. When the count block cannot be
    allocated, boost frees p through the deleter before the exception leaves. */
template <class T>
boost::shared_ptr<T> makeCell(T* p) {
    if (p == nullptr)
        return boost::shared_ptr<T>();
    return boost::shared_ptr<T>(p, ReleasableDeleter<T>(), MirelAllocator<T>());
}
} // namespace detail

template <class T>
void InputTemplate<T>::setData(T* p) {
    // A refused value stays the caller's; setData(nullptr) allocates nothing.
    MIREL_CHECK(!this->bound(), "!this->bound()");
    boost::shared_ptr<T> pCell = detail::makeCell(p);
    endLoan();
    pCell_.swap(pCell);
    this->setDataPtr(p);
}

template <class T>
void InputTemplate<T>::releaseData() {
    // The release after every node's computation: no cell to make, nothing to swap.
    MIREL_CHECK(!this->bound(), "!this->bound()");
    endLoan();
    pCell_.reset();
    this->setDataPtr(nullptr);
}

template <class T>
void InputTemplate<T>::setCell(boost::shared_ptr<T> const& cell) {
    MIREL_CHECK(!this->bound(), "!this->bound()");
    endLoan(); // the lender's cell itself stays as it is
    pCell_ = cell;
    this->setDataPtr(cell.get());
}

// The small steps of every delivery are marked inline: a member of the exported instances that
// is not is called through the library's symbol table, even from the library itself.
template <class T>
inline boost::shared_ptr<T> const& InputTemplate<T>::cell() const {
    return pLender_ != nullptr ? pLender_->pCell_ : pCell_;
}

template <class T>
inline void InputTemplate<T>::borrow(OutputTemplate<T>* lender) {
    MIREL_CHECK(!this->bound(), "!this->bound()");
    if (pLender_ != lender) {
        endLoan();
        pCell_.reset();
        pLender_ = lender;
        lender->pBorrower_ = this;
    }
    this->setDataPtr(lender->pCell_.get());
}

template <class T>
inline void InputTemplate<T>::endLoan() noexcept {
    if (pLender_ != nullptr) {
        pLender_->pBorrower_ = nullptr;
        pLender_ = nullptr;
    }
}

template <class T>
inline T const& InputTemplate<T>::value() const {
    T const* p = cell().get();
    MIREL_CHECK(p != nullptr, "Enforce ptr != NULL");
    return *p;
}

template <class T>
void ConstInput<T>::acquireData() {
    OutputConnector* pOutput = this->connectedOutput();
    MIREL_CHECK(pOutput != nullptr, "pConnectedOutput_ != NULL");
    // Connect checked that the output carries T; whether it is an OutputTemplate (and not a
    // client's own output class of that type) is one flag.
    MIREL_CHECK(pOutput->isOutputTemplate(), "the linked output is not an OutputTemplate<T>");
    static_cast<OutputTemplate<T>*>(pOutput)->deliver(this);
}

#define DATA_FLOW_EXTERN_INPUTS(T)                                                                 \
    extern template class DATA_FLOW_API InputTemplate<T>;                                          \
    extern template class DATA_FLOW_API ConstInput<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_EXTERN_INPUTS)
#undef DATA_FLOW_EXTERN_INPUTS

} // namespace DataFlow
} // namespace Mirel

// ConstInput<T>::acquireData needs the complete OutputTemplate<T>.
#include "data_flow/connectors/Outputs.h"

// Parameter proxy inputs: the typed input through which an upstream node drives a parameter.

#include "data_flow/parameters/Parameter.h"

namespace Mirel {
namespace DataFlow {

/** The input through which an upstream node drives a parameter: each acquireData() takes the
    value delivered by the linked output and hands it to the parameter's setValue, so only a
    value that differs from the parameter's raises its dirty flags, and no bounds are checked.
    The parameter is not owned. Made by Parameter<T>::createProxyConnector; whoever made it
    destroys it (Mirel::Core::destroy), never the node or the library. */
template <class T>
class ParameterInput : public ConstInput<T> {
public:
    //! An input named name on node that writes into pParameter.
    ParameterInput(String name, Node* node, Parameter<T>* pParameter)
        : ConstInput<T>(std::move(name), node)
        , pParameter_(pParameter) {}

    /** Delivery as for ConstInput<T>, then the parameter's setValue with the delivered value.
        Throws InternalException "Enforce ptr != NULL" when the output left the cell empty (the
        parameter keeps its value and flags); delivery and setValue failures pass unchanged. */
    void acquireData() override;

    //! The parameter this input stands for.
    Parameter<T>* parameter() const { return pParameter_; }

private:
    Parameter<T>* pParameter_;
};

template <class T>
void ParameterInput<T>::acquireData() {
    ConstInput<T>::acquireData();
    pParameter_->setValue(this->value());
}

template <class T>
InputConnector* Parameter<T>::createProxyConnector(Node* pNode) {
    return MIREL_NEW ParameterInput<T>(name(), pNode, this);
}

#define DATA_FLOW_EXTERN_PARAMETER_INPUT(T) extern template class DATA_FLOW_API ParameterInput<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_EXTERN_PARAMETER_INPUT)
#undef DATA_FLOW_EXTERN_PARAMETER_INPUT

} // namespace DataFlow
} // namespace Mirel
