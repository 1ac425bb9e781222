#pragma once

#include "core/String.h"
#include "core/ValueTypes.h"

#include <vector>

namespace Mirel {

using FloatVector = std::vector<float, MirelAllocator<float>>;
using Float2Vector = std::vector<float2, MirelAllocator<float2>>;
using Float3Vector = std::vector<float3, MirelAllocator<float3>>;
using Float4Vector = std::vector<float4, MirelAllocator<float4>>;

} // namespace Mirel

/** The closed list of value types that connectors and parameters carry, written once. Every
    explicit instantiation, every exported template instance and the typed tests are generated
    from these X-macros; X(T) is called with each type in turn. */

//! The 22 value types of inputs, outputs and parameters.
#define DATA_FLOW_VALUE_TYPES(X)                                                                   \
    X(int)                                                                                         \
    X(unsigned int)                                                                                \
    X(unsigned long)                                                                               \
    X(float)                                                                                       \
    X(bool)                                                                                        \
    MIREL_CORE_VALUE_TYPES(X)                                                                      \
    X(::Mirel::FloatVector)                                                                        \
    X(::Mirel::Float2Vector)                                                                       \
    X(::Mirel::Float3Vector)                                                                       \
    X(::Mirel::Float4Vector)                                                                       \
    X(::Mirel::String)

//! The 16 value types that also come as IntervalParameter<T>.
#define DATA_FLOW_INTERVAL_VALUE_TYPES(X)                                                          \
    X(int)                                                                                         \
    X(bool)                                                                                        \
    X(float)                                                                                       \
    MIREL_CORE_VALUE_TYPES(X)                                                                      \
    X(::Mirel::FloatVector)

namespace Mirel {
namespace DataFlow {

//! A compile-time list of types, for code generic over the value types (tests, dispatch).
template <class... T>
struct TypeList {};

namespace detail {
template <class List>
struct DropFirst;
template <class First, class... Rest>
struct DropFirst<TypeList<First, Rest...>> {
    using type = TypeList<Rest...>;
};
} // namespace detail

#define DATA_FLOW_TYPE_LIST_ENTRY(T) , T
//! The 22 value types as a TypeList, in the order of DATA_FLOW_VALUE_TYPES.
using ValueTypes =
    typename detail::DropFirst<TypeList<void DATA_FLOW_VALUE_TYPES(DATA_FLOW_TYPE_LIST_ENTRY)>>::type;
//! The 16 interval value types as a TypeList.
using IntervalValueTypes = typename detail::DropFirst<
    TypeList<void DATA_FLOW_INTERVAL_VALUE_TYPES(DATA_FLOW_TYPE_LIST_ENTRY)>>::type;
#undef DATA_FLOW_TYPE_LIST_ENTRY

} // namespace DataFlow
} // namespace Mirel
