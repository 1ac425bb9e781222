#pragma once

#include "core/Export.h"

#include <cstddef>
#include <new>
#include <type_traits>

namespace Mirel {

//! Memory type tag of the tagged allocation; 0 is the library's own memory.
enum MemoryType : int { kMemoryTypeLibrary = 0 };

} // namespace Mirel

//! Tagged allocation: counted in Mirel::Core::liveAllocations(); throws std::bad_alloc.
MIREL_CORE_API void* operator new(std::size_t size, Mirel::MemoryType type, char const* file,
                                  int line);
//! Releases a block from the tagged new. Also the placement form run when a constructor throws.
MIREL_CORE_API void operator delete(void* p, Mirel::MemoryType type, char const* file,
                                    int line) noexcept;

namespace Mirel {
namespace Core {

/** Blocks obtained through the tagged new or MirelAllocator and not yet given back; exact
    whenever no allocation or release runs at the same time (on any thread), so read it once the
    work that allocates has been waited for. Costs a short walk over the threads that counted. */
MIREL_CORE_API std::size_t liveAllocations() noexcept;

/** Testing interface, for the allocation-failure tests of the library and of its clients: the
    n-th next counted allocation (0 is the very next one) throws std::bad_alloc, once. A negative
    n switches the injection off (the default). Process-wide; not for production code. */
MIREL_CORE_API void failAllocationsAfter(long n) noexcept;

//! Raw counted storage behind MirelAllocator; throws std::bad_alloc.
MIREL_CORE_API void* allocateBytes(std::size_t bytes);
//! Gives back storage from allocateBytes.
MIREL_CORE_API void deallocateBytes(void* p) noexcept;

//! Destroys an object made with the tagged new and releases its memory with the tagged delete.
template <class T>
void destroy(T* p) noexcept {
    if (p == nullptr)
        return;
    void* block;
    if constexpr (std::is_polymorphic<T>::value)
        block = dynamic_cast<void*>(p); // the start of the most derived object
    else
        block = p;
    p->~T();
    ::operator delete(block, kMemoryTypeLibrary, __FILE__, __LINE__);
}

} // namespace Core
} // namespace Mirel

//! Allocates with the tagged new, memory type 0, tagged with the calling file and line.
#define MIREL_NEW new (::Mirel::kMemoryTypeLibrary, __FILE__, __LINE__)
