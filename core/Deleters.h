#pragma once

#include "core/Memory.h"

namespace Mirel {

//! shared_ptr deleter for objects from the tagged new: destroys, then releases with the tagged delete.
template <class T>
struct MirelDeleter {
    void operator()(T* p) const noexcept { Core::destroy(p); }
};

//! shared_ptr deleter that frees nothing: the handle does not own its object.
struct NullDeleter {
    void operator()(void const*) const noexcept {}
};

/** shared_ptr deleter that frees a tagged-new object unless it was released first; setting
    bReleased_ (through boost::get_deleter) hands the value over to someone else. */
template <class T>
struct ReleasableDeleter {
    bool bReleased_ = false;

    //! From now on the last owner leaves the value alone.
    void release() noexcept { bReleased_ = true; }
    void operator()(T* p) const noexcept {
        if (!bReleased_ && p != nullptr)
            Core::destroy(p);
    }
};

} // namespace Mirel
