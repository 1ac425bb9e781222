#pragma once
// Allocation-failure injection for tests: runs an operation once for every counted allocation it
// makes, with exactly that allocation failing, so that every failure path is taken once.

#include "core/Memory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <new>
#include <string>

namespace test {

//! One run of the operation under a walk.
struct AllocationStep {
    long n;      //!< the allocation that was set to fail, counting from 0
    bool failed; //!< the armed allocation was reached (and threw std::bad_alloc)
    bool threw;  //!< std::bad_alloc came out of the operation
};

/** Switches the injection off and tells whether the failure armed with failAllocationsAfter(n)
    happened. The countdown is not readable, so probe it: an injection still pending has at most
    n allocations to go, and one of n + 1 probe allocations would meet it. */
inline bool disarmAllocationFailure(long n) {
    for (long i = 0; i <= n; ++i) {
        void* p = nullptr;
        try {
            p = Mirel::Core::allocateBytes(1);
        } catch (std::bad_alloc const&) {
            Mirel::Core::failAllocationsAfter(-1);
            return false;
        }
        Mirel::Core::deallocateBytes(p);
    }
    Mirel::Core::failAllocationsAfter(-1);
    return true;
}

/** Runs op() for n = 0, 1, 2, ... with the n-th counted allocation from its start failing, until
    a run gets through without reaching the armed allocation; check(step) runs after each run,
    with the injection off. Returns the number of counted allocations op makes, that is the
    failure sites walked, and prints it under `what`.

    op should do only the operation under test: whatever else it allocates is walked too, and a
    check inside op would run with the failure still armed. A std::bad_alloc out of op is
    caught here; every other exception goes to the test. A run that reached the armed failure
    without throwing (an operation that stores failures instead) is for check to judge. */
template <class Op, class Check>
long walkAllocationFailures(char const* what, Op&& op, Check&& check, long limit = 100000) {
    for (long n = 0; n < limit; ++n) {
        bool bThrew = false;
        Mirel::Core::failAllocationsAfter(n);
        try {
            op();
        } catch (std::bad_alloc const&) {
            bThrew = true;
        } catch (...) {
            Mirel::Core::failAllocationsAfter(-1);
            throw;
        }
        bool const bFailed = disarmAllocationFailure(n);
        if (bThrew && !bFailed) {
            ADD_FAILURE() << what
                          << ": std::bad_alloc although no allocation was set to fail (n = " << n
                          << ")";
        }
        check(AllocationStep{n, bFailed, bThrew});
        if (!bFailed) {
            std::printf("allocation walk: %s: %ld failure sites\n", what, n);
            return n;
        }
        if (::testing::Test::HasFatalFailure())
            return n;
    }
    ADD_FAILURE() << what << ": still allocating after " << limit << " allocations";
    return limit;
}

} // namespace test
