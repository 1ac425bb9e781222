#pragma once

#include "core/Memory.h"

#include <cstddef>
#include <limits>

namespace Mirel {

/** Standard allocator over the core's counted storage. Stateless: all instances compare equal,
    so containers may exchange storage freely. */
template <class T>
class MirelAllocator {
public:
    using value_type = T;
    using pointer = T*;
    using const_pointer = T const*;
    using reference = T&;
    using const_reference = T const&;
    using size_type = std::size_t;
    using difference_type = std::ptrdiff_t;

    template <class U>
    struct rebind {
        using other = MirelAllocator<U>;
    };

    MirelAllocator() noexcept = default;
    template <class U>
    MirelAllocator(MirelAllocator<U> const&) noexcept {}

    //! Storage for n objects; throws std::bad_alloc. The hint is not used.
    T* allocate(size_type n, void const* /*hint*/ = nullptr) {
        if (n > max_size())
            throw std::bad_alloc();
        return static_cast<T*>(Core::allocateBytes(n * sizeof(T)));
    }
    //! Gives back storage from allocate.
    void deallocate(T* p, size_type) noexcept { Core::deallocateBytes(p); }

    size_type max_size() const noexcept {
        return std::numeric_limits<size_type>::max() / sizeof(T);
    }
};

template <class T, class U>
bool operator==(MirelAllocator<T> const&, MirelAllocator<U> const&) noexcept {
    return true;
}
template <class T, class U>
bool operator!=(MirelAllocator<T> const&, MirelAllocator<U> const&) noexcept {
    return false;
}

} // namespace Mirel
