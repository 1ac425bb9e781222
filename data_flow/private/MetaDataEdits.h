#pragma once
// Private to the library (never installed): how the catalogue notices records edited in place.

namespace Mirel {
namespace DataFlow {
namespace internal {

/** How many assignments to a MetaDataBase or NodeMetaData the process has made. The catalogue
    hands out writable records, and a client identifier can change only through an assignment,
    so the librarian's index of identifiers is right as long as this count has not moved. */
unsigned long metaDataAssignments() noexcept;

} // namespace internal
} // namespace DataFlow
} // namespace Mirel
