// The core layer: counted memory, allocation-failure injection, exception texts and cloning,
// deleters, and the value types' equality and printing.

#include "support/TestSupport.h"

#include <sstream>
#include <thread>

using namespace Mirel;

namespace {

struct Probe {
    static int destroyed;
    int value;
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

using CoreTest = test::LeakChecked;

TEST_F(CoreTest, BlocksAreCountedUntilGivenBackOnAnyThreadAndInjectedFailuresHitOnce) {
    std::size_t const before = Core::liveAllocations();
    Probe* p = nullptr;
    std::thread([&] { p = MIREL_NEW Probe{1}; }).join();
    EXPECT_EQ(Core::liveAllocations(), before + 1); // counted by a thread that has ended
    Probe::destroyed = 0;
    Core::destroy(p);
    EXPECT_EQ(Probe::destroyed, 1);
    EXPECT_EQ(Core::liveAllocations(), before); // given back by another one
    {
        String s(100, 'x'); // beyond the small-string buffer
        FloatVector v(10, 1.0f);
        EXPECT_EQ(Core::liveAllocations(), before + 2);
    }
    EXPECT_EQ(Core::liveAllocations(), before);
    struct Throws {
        Throws() { throw std::runtime_error("constructor"); }
    };
    EXPECT_THROW((void)(MIREL_NEW Throws()), std::runtime_error); // the block is given back

    Core::failAllocationsAfter(1);
    Probe* first = MIREL_NEW Probe{1};
    EXPECT_THROW((void)(MIREL_NEW Probe{2}), std::bad_alloc);
    Probe* third = MIREL_NEW Probe{3}; // the injection fires once
    Core::destroy(first);
    Core::destroy(third);
    Core::failAllocationsAfter(0);
    EXPECT_THROW(FloatVector(4), std::bad_alloc);
}

TEST_F(CoreTest, ExceptionsCarryFileLineAndMessageAndCloneAsTheirMostDerivedType) {
    try {
        MIREL_CHECK(1 == 2, "1 == 2");
        FAIL();
    } catch (InternalException const& e) {
        EXPECT_EQ(e.line(), __LINE__ - 3); // and the file relative to the repository
        EXPECT_EQ(e.what(), "tests/core_test.cpp(" + std::to_string(e.line()) + "): 1 == 2");
    }

    char const* const aConditions[] = {"no condition",     "invalid argument", "out of memory",
                                       "overflow",         "underflow",        "division by zero",
                                       "unknown exception"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(CPURuntimeException(CPURuntimeException::ExceptionCondition(i)).what(),
                  "CPU runtime exception (condition " + std::to_string(i) + ": " + aConditions[i] +
                      ")");
    ExceptionBase* const copy = CPURuntimeException(CPURuntimeException::kUnknownException).clone();
    EXPECT_EQ(dynamic_cast<CPURuntimeException&>(*copy).condition(), 6);
    Core::destroy(copy);
}

TEST(CoreValueTypes, ConstructionEqualityAndPrinting) {
    EXPECT_EQ(int3(7), int3(7, 7, 7));
    EXPECT_NE(float4(0.0f), float4(0.0f, 0.0f, 1.0f, 0.0f));
    EXPECT_EQ(float2(0.0f), float2(-0.0f)); // float equality per component
    EXPECT_NE(int2(1, 0), int2(0, 0));      // every component counts, the first too
    float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(float2(nan), float2(nan));
    std::ostringstream os;
    os << int2(1, -2) << ' ' << bool3(true) << ' ' << float2x2() << ' '
       << Float2Vector{float2(1.0f), float2(2.0f, 3.0f)} << '|' << FloatVector{} << '|'
       << FloatVector{1.5f};
    EXPECT_EQ(os.str(), "(1, -2) (1, 1, 1) ((1, 0), (0, 1)) (1, 1) (2, 3) ||1.5 ");
}

} // namespace
