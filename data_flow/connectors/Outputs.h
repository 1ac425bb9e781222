#pragma once
/** Typed outputs over the library's value types.

    OutputTemplate<T> is the output that node kinds publish their results on and that a
    ConstInput<T> is fed from. A value published with setData() lives in the output's own
    reference-counted cell (the same kind of cell as the inputs'); delivery hands the requesting
    input a share of that cell, so no T is copied, whatever its size. The value is freed when the
    output and every input that took a share have let go.

    The share of the input the output feeds is a loan: that input reads the output's cell
    without a count of its own (on a chain of small nodes, the count's two locked instructions
    are a large part of a node's cost). Whichever lets go first ends the loan: the input simply
    forgets it, while an output that is about to drop or change its cell first gives the input
    its own count. Either way the input keeps its value for as long as it holds it. Loans follow
    the pair, not the link, so relinking either side changes nothing about them; like the rest
    of a connector, a loan is not locked and changes only on the threads that evaluate or flush.

    The instances for the 22 value types of data_flow/ValueTypes.h are compiled and exported
    by the library; clients derive from them and never instantiate their own. */

#include "data_flow/connectors/Inputs.h"

#include "core/Allocator.h"
#include "core/Deleters.h"
#include "core/Exceptions.h"
#include "data_flow/ValueTypes.h"
#include "data_flow/connectors/Connector.h"

#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>

#include <type_traits>
#include <typeinfo>
#include <utility>

namespace Mirel {
namespace DataFlow {

namespace detail {
/** The deleter of a cell made by OutputTemplate::setData: it frees the value it names rather
    than the pointer the cell was made with, so that a cell nobody else shares can take the next
    value in the same count block. */
template <class T>
struct OwnedValue {
    T* pValue;
    void operator()(T*) const noexcept { Core::destroy(pValue); }
};
} // namespace detail

/** An output carrying a T. Either it owns its value in a cell (setData), or it carries a
    pointer that someone else owns: bound data (setBoundData) or a pointer published with
    setDataPtr. */
template <class T>
class OutputTemplate : public OutputConnector {
public:
    //! An unlinked output without a value.
    OutputTemplate(String name, Node* node)
        : OutputConnector(std::move(name), node, kOutputTemplate) {}
    //! Drops the output's share of its value, first giving its count to an input it lends it to.
    ~OutputTemplate() override { handOver(); }

    //! typeid(T).
    std::type_info const& datatype() const override { return typeid(T); }
    //! Carries caller-owned storage p as bound data; a value the output held in its cell is
    //! dropped, so the output carries p only.
    void setBoundData(void const* p) override;
    /** Drops the value unless keepsCache() is true; bound data is left in place. Inputs that
        took a share keep the value alive until they release it. No allocation. A plain value
        (a trivially destructible T) that nobody else shares keeps its storage, for the next
        publish() to fill: an evaluation loop's steady state then allocates nothing. Values with
        storage of their own (strings, vectors) are freed. */
    void flush() override;

    /** Publishes p in a cell owned by the output and sets data() to it; the old value is
        dropped. p must come from MIREL_NEW. The cell is the output's last one when nobody else
        shares it (no allocation), else a new one. setData(nullptr) clears without allocating.
        Throws InternalException "!this->bound()" on a bound output, changing nothing: p stays
        the caller's. Only when a new cell's count cannot be allocated is p freed
        (std::bad_alloc). */
    virtual void setData(T* p);
    /** Hands the requesting input what this output carries: a share of the output's cell when
        data() is the cell's value (lent without a count to the input this output is linked to,
        see above), otherwise a non-owning view of data() (bound storage or a setDataPtr
        pointer, which stays owned by whoever published it). Copies no T and allocates nothing;
        an output without data leaves the input empty. */
    virtual void deliver(InputTemplate<T>* in);

    /** Publishes a copy of value, owned by the output, like setData(MIREL_NEW T(value)) but
        cheaper: the output's storage is overwritten in place when no input still shares it (see
        flush), otherwise value and count get one new allocation together. Throws
        InternalException "!this->bound()" on a bound output; allocation failures leave the
        output as it was. */
    void publish(T const& value);

    //! The carried value. Throws InternalException "Enforce ptr != NULL" without data.
    T const& value() const;
    //! The output's own cell holding the carried value; empty when the output carries no value
    //! of its own (no data, bound data, or a pointer published with setDataPtr).
    boost::shared_ptr<T> const& cell() const {
        static boost::shared_ptr<T> const pNone;
        return pCell_.get() == this->data() ? pCell_ : pNone;
    }

protected:
    //! Copies the OutputConnector part: the copy is unlinked, has no data and no cell.
    OutputTemplate(OutputTemplate const& other)
        : OutputConnector(other) {}

private:
    friend class InputTemplate<T>;

    // Whether a flushed, unshared cell is kept for publish(): only for values that hold no memory
    // of their own, so that a flush still gives back what an image or a string occupies.
    static constexpr bool kKeepsStorage = std::is_trivially_destructible<T>::value;

    //! Ends the loan, if any, before the cell is dropped or changed: the borrowing input takes
    //! the output's count of the cell, which the output no longer holds. Moves the count only.
    void handOver() noexcept;
    //! publish() into a new cell (value and count in one allocation); out of line, so that
    //! publish() itself is inlined into the node kinds that call it.
    void publishInNewCell(T const& value);

    // The output's cell. It holds the carried value when its pointer equals data(); after a
    // flush it may hold only storage kept for publish().
    boost::shared_ptr<T> pCell_;
    InputTemplate<T>* pBorrower_ = nullptr; // the input this output lends its cell to
};

template <class T>
inline void OutputTemplate<T>::handOver() noexcept {
    if (pBorrower_ != nullptr) {
        pBorrower_->pCell_ = std::move(pCell_);
        pBorrower_->pLender_ = nullptr;
        pBorrower_ = nullptr;
    }
}

template <class T>
void OutputTemplate<T>::setBoundData(void const* p) {
    handOver();
    pCell_.reset();
    OutputConnector::setBoundData(p);
}

template <class T>
void OutputTemplate<T>::flush() {
    if (this->bound() || this->keepsCache())
        return;
    handOver();
    if (!(kKeepsStorage && pCell_.unique()))
        pCell_.reset();
    this->setDataPtr(nullptr);
}

template <class T>
inline void OutputTemplate<T>::publish(T const& value) {
    MIREL_CHECK(!this->bound(), "!this->bound()");
    handOver();
    if (pCell_.unique()) // republished before a flush, and no input holds the old value
        *pCell_ = value;
    else
        publishInNewCell(value);
    this->setDataPtr(pCell_.get());
}

template <class T>
void OutputTemplate<T>::publishInNewCell(T const& value) {
    pCell_ = boost::allocate_shared<T>(MirelAllocator<T>(), value);
}

template <class T>
void OutputTemplate<T>::setData(T* p) {
    // A refused value stays the caller's.
    MIREL_CHECK(!this->bound(), "!this->bound()");
    handOver();
    if (p != nullptr && pCell_.unique()) {
        // Nobody else shares the cell (no input still holds the last value): its count block
        // takes the new value, and only the old value is freed.
        if (auto* pOwner = boost::get_deleter<detail::OwnedValue<T>>(pCell_)) {
            T* const pOld = pOwner->pValue;
            pOwner->pValue = p;
            pCell_ = boost::shared_ptr<T>(std::move(pCell_), p); // moves the count, no atomics
            this->setDataPtr(p);
            if (pOld != p)
                Core::destroy(pOld);
            return;
        }
    }
    boost::shared_ptr<T> pCell;
    if (p != nullptr) // boost frees p through the deleter when the count block cannot be made
        pCell = boost::shared_ptr<T>(p, detail::OwnedValue<T>{p}, MirelAllocator<T>());
    pCell_.swap(pCell);
    this->setDataPtr(p);
}

template <class T>
void OutputTemplate<T>::deliver(InputTemplate<T>* in) {
    T* p = static_cast<T*>(const_cast<void*>(this->data()));
    if (pCell_.get() == p) {
        // Only the input this output feeds borrows: a copy of it that reads from here too (the
        // output does not point at it) takes a count of its own.
        if (p != nullptr && in == this->connectedInput() &&
            (pBorrower_ == nullptr || pBorrower_ == in))
            in->borrow(this);
        else
            in->setCell(pCell_);
    } else {
        // Aliasing an empty owner gives a cell that points at p, counts nothing and frees
        // nothing, and costs no allocation.
        in->setCell(boost::shared_ptr<T>(boost::shared_ptr<T>(), p));
    }
}

template <class T>
T const& OutputTemplate<T>::value() const {
    MIREL_CHECK(this->data() != nullptr, "Enforce ptr != NULL");
    return *static_cast<T const*>(this->data());
}

#define DATA_FLOW_EXTERN_OUTPUTS(T) extern template class DATA_FLOW_API OutputTemplate<T>;
DATA_FLOW_VALUE_TYPES(DATA_FLOW_EXTERN_OUTPUTS)
#undef DATA_FLOW_EXTERN_OUTPUTS

} // namespace DataFlow
} // namespace Mirel
