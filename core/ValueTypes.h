#pragma once

#include "core/Allocator.h"
#include "core/Export.h"

#include <iosfwd>
#include <vector>

namespace Mirel {

// Small vector values. Each has public components x, y (z, w), zero-initialised by default, an
// explicit constructor from one scalar for every component and one from all components.
#define MIREL_VECTOR2(Name, Scalar)                                                                \
    struct Name {                                                                                  \
        Scalar x{}, y{};                                                                           \
        Name() = default;                                                                          \
        explicit Name(Scalar s) : x(s), y(s) {}                                                    \
        Name(Scalar x_, Scalar y_) : x(x_), y(y_) {}                                               \
    };
#define MIREL_VECTOR3(Name, Scalar)                                                                \
    struct Name {                                                                                  \
        Scalar x{}, y{}, z{};                                                                      \
        Name() = default;                                                                          \
        explicit Name(Scalar s) : x(s), y(s), z(s) {}                                              \
        Name(Scalar x_, Scalar y_, Scalar z_) : x(x_), y(y_), z(z_) {}                             \
    };
#define MIREL_VECTOR4(Name, Scalar)                                                                \
    struct Name {                                                                                  \
        Scalar x{}, y{}, z{}, w{};                                                                 \
        Name() = default;                                                                          \
        explicit Name(Scalar s) : x(s), y(s), z(s), w(s) {}                                        \
        Name(Scalar x_, Scalar y_, Scalar z_, Scalar w_) : x(x_), y(y_), z(z_), w(w_) {}           \
    };

MIREL_VECTOR2(int2, int)
MIREL_VECTOR3(int3, int)
MIREL_VECTOR4(int4, int)
MIREL_VECTOR2(bool2, bool)
MIREL_VECTOR3(bool3, bool)
MIREL_VECTOR4(bool4, bool)
MIREL_VECTOR2(float2, float)
MIREL_VECTOR3(float3, float)
MIREL_VECTOR4(float4, float)

#undef MIREL_VECTOR2
#undef MIREL_VECTOR3
#undef MIREL_VECTOR4

//! Square matrix, m[row][column]; default-constructed to the identity.
template <int N>
struct Matrix {
    float m[N][N];
    Matrix() noexcept {
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c)
                m[r][c] = r == c ? 1.0f : 0.0f;
    }
};

struct float2x2 : Matrix<2> {};
struct float3x3 : Matrix<3> {};
struct float4x4 : Matrix<4> {};

// The X-macro of the twelve core value types: X(type).
#define MIREL_CORE_VALUE_TYPES(X)                                                                  \
    X(::Mirel::int2)                                                                               \
    X(::Mirel::int3)                                                                               \
    X(::Mirel::int4)                                                                               \
    X(::Mirel::bool2)                                                                              \
    X(::Mirel::bool3)                                                                              \
    X(::Mirel::bool4)                                                                              \
    X(::Mirel::float2)                                                                             \
    X(::Mirel::float3)                                                                             \
    X(::Mirel::float4)                                                                             \
    X(::Mirel::float2x2)                                                                           \
    X(::Mirel::float3x3)                                                                           \
    X(::Mirel::float4x4)

// Equality is component-wise (float ==, so 0.0 equals -0.0 and a NaN equals nothing); printing
// gives "(x, y)" for vectors and "((m00, m01), (m10, m11))" for matrices.
#define MIREL_DECLARE_VALUE_OPERATORS(T)                                                           \
    MIREL_CORE_API bool operator==(T const& a, T const& b) noexcept;                               \
    inline bool operator!=(T const& a, T const& b) noexcept { return !(a == b); }                  \
    MIREL_CORE_API std::ostream& operator<<(std::ostream& os, T const& v);
MIREL_CORE_VALUE_TYPES(MIREL_DECLARE_VALUE_OPERATORS)
#undef MIREL_DECLARE_VALUE_OPERATORS

//! Prints every element followed by one space; nothing for an empty vector.
MIREL_CORE_API std::ostream& operator<<(std::ostream& os,
                                        std::vector<float, MirelAllocator<float>> const& v);
MIREL_CORE_API std::ostream& operator<<(std::ostream& os,
                                        std::vector<float2, MirelAllocator<float2>> const& v);
MIREL_CORE_API std::ostream& operator<<(std::ostream& os,
                                        std::vector<float3, MirelAllocator<float3>> const& v);
MIREL_CORE_API std::ostream& operator<<(std::ostream& os,
                                        std::vector<float4, MirelAllocator<float4>> const& v);

} // namespace Mirel
