// Randomized differential stress: the model run of tests/support/Model.h over many seeded
// graphs, its choices drawn from a generator seeded per graph.
//
// Environment (all optional):
//   DATA_FLOW_STRESS_SEED     seed of the first graph (graph g uses seed + g); default 1
//   DATA_FLOW_STRESS_GRAPHS   number of graphs; default 100, or unlimited with SECONDS
//   DATA_FLOW_STRESS_SECONDS  run until this many seconds have passed
// A failing graph prints the line that replays it on its own; the fixture checks for leaks.

#include "support/Model.h"
#include "support/TestNodes.h"

#include <random>

namespace {

long envLong(char const* name, long fallback) {
    char const* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtol(text, nullptr, 10) : fallback;
}

using StressTest = test::LibraryTest;

TEST_F(StressTest, RandomGraphsAgreeWithTheReferenceUnderFaultsAndCancellation) {
    long const seconds = envLong("DATA_FLOW_STRESS_SECONDS", 0);
    long const graphs = envLong("DATA_FLOW_STRESS_GRAPHS", seconds > 0 ? -1 : 100);
    auto const firstSeed = static_cast<unsigned long long>(envLong("DATA_FLOW_STRESS_SEED", 1));
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);

    test::Totals totals;
    for (long g = 0; (graphs < 0 || g < graphs) && !HasFailure(); ++g) {
        if (seconds > 0 && std::chrono::steady_clock::now() >= deadline)
            break;
        unsigned long long const seed = firstSeed + static_cast<unsigned long long>(g);
        std::string const where = "graph of DATA_FLOW_STRESS_SEED=" + std::to_string(seed) +
                                  " DATA_FLOW_STRESS_GRAPHS=1, ";
        std::mt19937_64 random(seed);
        test::GraphRun([&](std::size_t n) { return std::size_t(random() % n); },
                       [&](std::string const& what) { ADD_FAILURE() << where << what; }, totals)
            .run();
    }
    std::printf("stress: from seed %llu: %ld graphs, %ld evaluations, %ld faults fired, %ld "
                "cancellations, %ld nodes kept cached\n",
                firstSeed, totals.graphs, totals.evaluations, totals.faults, totals.cancellations,
                totals.cached);
    EXPECT_GT(totals.graphs, 0);
}

} // namespace
