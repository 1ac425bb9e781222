#pragma once
// Helpers shared by every test file: the leak-checking fixture, exception matchers, a latch,
// the value-type list as GoogleTest types, and dirty-flag helpers.

#include "core/Core.h"
#include "data_flow/ValueTypes.h"
#include "data_flow/parameters/ParameterBase.h"
#include "support/Latch.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace test {

/** Base fixture of every test that creates library objects: the number of live tagged and
    MirelAllocator blocks must be back where it started when the test ends. */
class LeakChecked : public ::testing::Test {
protected:
    void SetUp() override { start_ = Mirel::Core::liveAllocations(); }
    void TearDown() override {
        Mirel::Core::failAllocationsAfter(-1);
        EXPECT_EQ(Mirel::Core::liveAllocations(), start_) << "library blocks leaked";
    }

private:
    std::size_t start_ = 0;
};

//! Runs f, which must throw E whose message() is exactly `message`; returns the exception text.
template <class E, class F>
std::string expectThrowMessage(F&& f, char const* message) {
    try {
        f();
    } catch (E const& e) {
        EXPECT_STREQ(e.message(), message);
        return e.what();
    } catch (std::exception const& e) {
        ADD_FAILURE() << "unexpected exception: " << e.what();
        return {};
    }
    ADD_FAILURE() << "no exception, expected \"" << message << "\"";
    return {};
}

//! Expects an InternalException with exactly this message, thrown from a file named `source`.
template <class F>
void expectInternal(F&& f, char const* message, char const* source = "") {
    std::string const what = expectThrowMessage<Mirel::InternalException>(f, message);
    EXPECT_NE(what.find(source), std::string::npos) << what;
}

template <class List>
struct ToGTestTypes;
template <class... T>
struct ToGTestTypes<Mirel::DataFlow::TypeList<T...>> {
    using type = ::testing::Types<T...>;
    template <class U>
    static constexpr bool kHas = (std::is_same<U, T>::value || ...);
};

//! The 22 value types and the 16 interval value types, for TYPED_TEST_SUITE.
using AllValueTypes = ToGTestTypes<Mirel::DataFlow::ValueTypes>::type;
using IntervalTypes = ToGTestTypes<Mirel::DataFlow::IntervalValueTypes>;
using IntervalValueTypes = IntervalTypes::type;

// A parameter's three dirty flags.
inline bool allDirty(Mirel::DataFlow::ParameterBase const& p) {
    return p.isDirty() && p.isDirtySimpleCaching() && p.isDirtyLumet();
}
inline bool anyDirty(Mirel::DataFlow::ParameterBase const& p) {
    return p.isDirty() || p.isDirtySimpleCaching() || p.isDirtyLumet();
}
inline void cleanAll(Mirel::DataFlow::ParameterBase& p) {
    p.setClean();
    p.setCleanSimpleCaching();
    p.setCleanLumet();
}

namespace detail {
template <class T, class = void>
struct HasX : std::false_type {};
template <class T>
struct HasX<T, std::void_t<decltype(T::x)>> : std::true_type {};
template <class T, class = void>
struct HasM : std::false_type {};
template <class T>
struct HasM<T, std::void_t<decltype(T::m)>> : std::true_type {};
} // namespace detail

//! A value of T that differs from T(): for tests that need two distinct values of any type.
template <class T>
T otherValue() {
    if constexpr (std::is_arithmetic<T>::value) {
        return T(1);
    } else if constexpr (std::is_same<T, Mirel::String>::value) {
        return T("other");
    } else if constexpr (detail::HasM<T>::value) {
        T t;
        t.m[0][1] = 2.0f;
        return t;
    } else if constexpr (detail::HasX<T>::value) {
        return T(decltype(T::x)(1));
    } else { // the vectors of values: one element
        return T(1, otherValue<typename T::value_type>());
    }
}

} // namespace test
