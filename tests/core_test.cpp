// The core layer: counted memory, allocation-failure injection, exception texts and cloning,
// deleters, and the value types' equality and printing.
#include "support/TestSupport.h"

#include <sstream>
#include <thread>

using namespace Mirel;
using test::LeakChecked;

namespace {

struct Probe {
    static int destroyed;
    int value;
    explicit Probe(int v)
        : value(v) {}
    ~Probe() { ++destroyed; }
};
int Probe::destroyed = 0;

struct Throws {
    Throws() { throw std::runtime_error("constructor"); }
};

} // namespace

using CoreMemory = LeakChecked;

TEST_F(CoreMemory, TaggedNewIsCountedUntilDestroyed) {
    std::size_t before = Core::liveAllocations();
    Probe* p = MIREL_NEW Probe(3);
    EXPECT_EQ(Core::liveAllocations(), before + 1);
    Probe::destroyed = 0;
    Core::destroy(p);
    EXPECT_EQ(Probe::destroyed, 1);
    EXPECT_EQ(Core::liveAllocations(), before);
}

TEST_F(CoreMemory, CountsStayExactWhenBlocksMoveBetweenThreadsAndThreadsEnd) {
    std::size_t const before = Core::liveAllocations();
    Probe* p = nullptr;
    std::thread([&] { p = MIREL_NEW Probe(1); }).join();
    EXPECT_EQ(Core::liveAllocations(), before + 1); // counted by a thread that has ended
    Core::destroy(p);
    EXPECT_EQ(Core::liveAllocations(), before); // given back by another one
    std::thread([&] {
        p = MIREL_NEW Probe(2);
        Core::destroy(p);
        p = MIREL_NEW Probe(3);
    }).join();
    EXPECT_EQ(Core::liveAllocations(), before + 1);
    Core::destroy(p);
}

TEST_F(CoreMemory, ThrowingConstructorReleasesTheBlock) {
    EXPECT_THROW((void)(MIREL_NEW Throws()), std::runtime_error);
}

TEST_F(CoreMemory, AllocatorContainersAreCounted) {
    std::size_t before = Core::liveAllocations();
    {
        String s(100, 'x'); // beyond the small-string buffer
        EXPECT_EQ(Core::liveAllocations(), before + 1);
        FloatVector v(10, 1.0f);
        EXPECT_EQ(Core::liveAllocations(), before + 2);
    }
    EXPECT_EQ(Core::liveAllocations(), before);
}

TEST_F(CoreMemory, InjectedFailureHitsTheNthAllocationOnce) {
    Core::failAllocationsAfter(1);
    Probe* first = MIREL_NEW Probe(1);
    EXPECT_THROW((void)(MIREL_NEW Probe(2)), std::bad_alloc);
    Probe* third = MIREL_NEW Probe(3); // the injection fires once
    Core::destroy(first);
    Core::destroy(third);

    Core::failAllocationsAfter(0);
    EXPECT_THROW(FloatVector(4), std::bad_alloc);
}

TEST(CoreExceptions, LogicalExceptionsCarryFileLineAndMessage) {
    InternalException e("data_flow/connectors/Connector.cpp", 57,
                        "ConnectorsAreCompatible(out, in)");
    EXPECT_STREQ(e.file(), "data_flow/connectors/Connector.cpp");
    EXPECT_EQ(e.line(), 57);
    EXPECT_STREQ(e.message(), "ConnectorsAreCompatible(out, in)");
    EXPECT_STREQ(e.what(),
                 "data_flow/connectors/Connector.cpp(57): ConnectorsAreCompatible(out, in)");
    std::ostringstream os;
    e.write(os);
    EXPECT_EQ(os.str(), e.what());
}

TEST(CoreExceptions, CheckMacroNamesTheSourceRelativeToTheRepository) {
    try {
        MIREL_CHECK(1 == 2, "1 == 2");
        FAIL();
    } catch (InternalException const& e) {
        EXPECT_STREQ(e.file(), "tests/core_test.cpp");
        EXPECT_STREQ(e.message(), "1 == 2");
    }
}

TEST_F(CoreMemory, CloneKeepsTheMostDerivedType) {
    ParameterException original("f.cpp", 1, "!bDuplicate");
    ExceptionBase* copy = original.clone();
    auto* typed = dynamic_cast<ParameterException*>(copy);
    ASSERT_NE(typed, nullptr);
    EXPECT_STREQ(typed->what(), original.what());
    Core::destroy(copy);

    char const* const aConditions[] = {"no condition",     "invalid argument", "out of memory",
                                       "overflow",         "underflow",        "division by zero",
                                       "unknown exception"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(CPURuntimeException(CPURuntimeException::ExceptionCondition(i)).what(),
                  "CPU runtime exception (condition " + std::to_string(i) + ": " + aConditions[i] +
                      ")");
    CPURuntimeException cpu(CPURuntimeException::kUnknownException);
    ExceptionBase* cpuCopy = cpu.clone();
    EXPECT_EQ(dynamic_cast<CPURuntimeException*>(cpuCopy)->condition(), 6);
    Core::destroy(cpuCopy);
}

TEST_F(CoreMemory, SharedExceptionSharesAndTellsTheWrappedText) {
    boost::shared_ptr<std::exception> inner(MIREL_NEW InternalException("f.cpp", 2, "pSink"),
                                            MirelDeleter<std::exception>());
    SharedException shared(inner);
    EXPECT_EQ(shared.wrapped().get(), inner.get());
    EXPECT_STREQ(shared.what(), "f.cpp(2): pSink");
    ExceptionBase* copy = shared.clone();
    EXPECT_EQ(dynamic_cast<SharedException*>(copy)->wrapped().get(), inner.get());
    Core::destroy(copy);
}

TEST_F(CoreMemory, ReleasableDeleterFreesUnlessReleased) {
    Probe::destroyed = 0;
    { boost::shared_ptr<Probe> kept(MIREL_NEW Probe(1), ReleasableDeleter<Probe>()); }
    EXPECT_EQ(Probe::destroyed, 1);
    Probe* p = MIREL_NEW Probe(2);
    {
        boost::shared_ptr<Probe> handed(p, ReleasableDeleter<Probe>());
        boost::get_deleter<ReleasableDeleter<Probe>>(handed)->release();
    }
    EXPECT_EQ(Probe::destroyed, 1);
    Core::destroy(p);
}

TEST(CoreValueTypes, ConstructionEqualityAndPrinting) {
    EXPECT_EQ(int3(7), int3(7, 7, 7));
    EXPECT_NE(float4(0.0f), float4(0.0f, 0.0f, 1.0f, 0.0f));
    EXPECT_EQ(float2(0.0f), float2(-0.0f)); // float equality per component
    EXPECT_NE(int2(1, 0), int2(0, 0));      // every component counts, the first too
    float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_NE(float2(nan), float2(nan));
    float3x3 identity;
    EXPECT_EQ(identity.m[1][1], 1.0f);
    EXPECT_EQ(identity.m[0][2], 0.0f);

    std::ostringstream os;
    os << int2(1, -2) << ' ' << bool3(true) << ' ' << float2x2();
    EXPECT_EQ(os.str(), "(1, -2) (1, 1, 1) ((1, 0), (0, 1))");

    std::ostringstream vs;
    vs << Float2Vector{float2(1.0f), float2(2.0f, 3.0f)} << '|' << FloatVector{} << '|'
       << FloatVector{1.5f};
    EXPECT_EQ(vs.str(), "(1, 1) (2, 3) ||1.5 ");
}
