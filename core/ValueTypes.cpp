#include "core/ValueTypes.h"

#include <ostream>

namespace Mirel {

namespace {

// Component access shared by the vector types: the address of x and the component count.
template <class V, class S>
S const* components(V const& v) {
    return &v.x;
}

template <class S, int N>
bool equal(S const* a, S const* b) {
    for (int i = 0; i < N; ++i)
        if (!(a[i] == b[i]))
            return false;
    return true;
}

template <class S, int N>
std::ostream& print(std::ostream& os, S const* s) {
    os << '(';
    for (int i = 0; i < N; ++i)
        os << (i ? ", " : "") << s[i];
    return os << ')';
}

template <int N>
bool equalMatrix(Matrix<N> const& a, Matrix<N> const& b) {
    for (int r = 0; r < N; ++r)
        if (!equal<float, N>(a.m[r], b.m[r]))
            return false;
    return true;
}

template <int N>
std::ostream& printMatrix(std::ostream& os, Matrix<N> const& a) {
    os << '(';
    for (int r = 0; r < N; ++r)
        print<float, N>(os << (r ? ", " : ""), a.m[r]);
    return os << ')';
}

template <class Vector>
std::ostream& printElements(std::ostream& os, Vector const& v) {
    for (auto const& e : v)
        os << e << ' ';
    return os;
}

} // namespace

#define MIREL_DEFINE_VECTOR_OPERATORS(T, S, N)                                                     \
    bool operator==(T const& a, T const& b) noexcept {                                             \
        return equal<S, N>(components<T, S>(a), components<T, S>(b));                              \
    }                                                                                              \
    std::ostream& operator<<(std::ostream& os, T const& v) {                                       \
        return print<S, N>(os, components<T, S>(v));                                               \
    }
MIREL_DEFINE_VECTOR_OPERATORS(int2, int, 2)
MIREL_DEFINE_VECTOR_OPERATORS(int3, int, 3)
MIREL_DEFINE_VECTOR_OPERATORS(int4, int, 4)
MIREL_DEFINE_VECTOR_OPERATORS(bool2, bool, 2)
MIREL_DEFINE_VECTOR_OPERATORS(bool3, bool, 3)
MIREL_DEFINE_VECTOR_OPERATORS(bool4, bool, 4)
MIREL_DEFINE_VECTOR_OPERATORS(float2, float, 2)
MIREL_DEFINE_VECTOR_OPERATORS(float3, float, 3)
MIREL_DEFINE_VECTOR_OPERATORS(float4, float, 4)
#undef MIREL_DEFINE_VECTOR_OPERATORS

#define MIREL_DEFINE_MATRIX_OPERATORS(T)                                                           \
    bool operator==(T const& a, T const& b) noexcept { return equalMatrix(a, b); }                 \
    std::ostream& operator<<(std::ostream& os, T const& v) { return printMatrix(os, v); }
MIREL_DEFINE_MATRIX_OPERATORS(float2x2)
MIREL_DEFINE_MATRIX_OPERATORS(float3x3)
MIREL_DEFINE_MATRIX_OPERATORS(float4x4)
#undef MIREL_DEFINE_MATRIX_OPERATORS

std::ostream& operator<<(std::ostream& os, std::vector<float, MirelAllocator<float>> const& v) {
    return printElements(os, v);
}
std::ostream& operator<<(std::ostream& os, std::vector<float2, MirelAllocator<float2>> const& v) {
    return printElements(os, v);
}
std::ostream& operator<<(std::ostream& os, std::vector<float3, MirelAllocator<float3>> const& v) {
    return printElements(os, v);
}
std::ostream& operator<<(std::ostream& os, std::vector<float4, MirelAllocator<float4>> const& v) {
    return printElements(os, v);
}

} // namespace Mirel
