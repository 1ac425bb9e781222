// A libFuzzer target over the public API: the model run of the stress test (Model.h in
// tests/support), its choices read from the input instead of drawn from a seeded generator, so
// that libFuzzer steers graph shapes, gains, faults, cancellations and evaluation modes towards
// new paths. A broken promise aborts, which libFuzzer reports with the input that caused it.

#include "FuzzCheck.h"

#include "support/Model.h"

#include "data_flow/DataFlowLibrary.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Mirel::Core::Library::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* bytes, std::size_t size) {
    std::size_t const start = Mirel::Core::liveAllocations();
    Mirel::DataFlow::Library::initialize();
    {
        FuzzedDataProvider data(bytes, size);
        test::Totals totals;
        test::GraphRun(
            [&](std::size_t n) { return data.ConsumeIntegralInRange<std::size_t>(0, n - 1); },
            [](std::string const& what) { fuzzCheckFailed(__FILE__, __LINE__, what.c_str()); },
            totals)
            .run();
    }
    Mirel::DataFlow::Library::terminate();
    FUZZ_CHECK(Mirel::Core::liveAllocations() == start); // everything given back
    return 0;
}
