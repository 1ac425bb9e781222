#pragma once
/** How a failure on one of the scheduler's threads reaches the thread that asked for the work:
    copied (ExceptionBase::clone, or a CPURuntimeException for anything else) and thrown again
    there as SharedException. Library-internal: nothing here is exported. */

#include "core/Core.h"

#include <atomic>
#include <exception>

namespace Mirel {
namespace DataFlow {
namespace internal {

/** A heap copy of the exception being handled: a clone of an ExceptionBase, anything else as
    CPURuntimeException condition 6, or a shared out-of-memory record when no copy can be made.
    Call it only inside a catch block; it never throws. */
ExceptionBase* copyCurrentException() noexcept;

//! Shares copy (from copyCurrentException) in a handle; never throws.
boost::shared_ptr<ExceptionBase> adoptException(ExceptionBase* copy) noexcept;

/** The first of the failures that several threads may meet in one piece of work. Offers are
    lock-free and may come from any thread; the failure is read once the work is over. */
class FirstFailure {
public:
    //! Keeps the exception being handled unless an earlier one was kept; call it in a catch block.
    void offerCurrent() noexcept {
        if (!bSet_.exchange(true, std::memory_order_acq_rel))
            pFailure_ = std::current_exception();
    }
    //! Throws a copy of the kept failure as SharedException; returns when none was kept. Call it
    //! only after every offer has returned.
    void rethrowShared() const;

private:
    std::atomic<bool> bSet_{false};
    std::exception_ptr pFailure_;
};

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
