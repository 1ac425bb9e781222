#pragma once
// What every benchmark program shares: bringing the library up and down around the run, and a
// reporter that, after Google Benchmark's own table, prints each figure beside its baseline with
// their ratio and the goal it is held to.

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace bench {

/** Repetitions of every timed benchmark, 5 unless --benchmark_repetitions=N is given; the
    comparisons use the fastest one, which is the least disturbed by other work on the machine. */
inline int& repetitions() {
    static int n = 5;
    return n;
}

//! Adds the repetitions and the "min" statistic the comparisons read.
inline benchmark::internal::Benchmark* repeated(benchmark::internal::Benchmark* pBenchmark) {
    return pBenchmark->Repetitions(repetitions())
        ->DisplayAggregatesOnly(true)
        ->ComputeStatistics("min", [](std::vector<double> const& v) {
            return *std::min_element(v.begin(), v.end());
        });
}

//! A figure compared with its baseline. Both are benchmark names; times are per iteration.
struct Comparison {
    enum teKind {
        kAtMost,  //!< figure time / baseline time must not exceed the goal
        kSpeedUp, //!< baseline time / figure time must reach the goal
    };
    std::string sTitle;
    std::string sFigure;
    std::string sBaseline;
    teKind eKind;
    double goal; //!< 0: no goal, shown for reference

    double perIteration = 1.0; //!< items per iteration, for the "per item" times shown
    std::string sUnit = "ns";  //!< what one item is, e.g. "ns/node"
};

//! A figure read from a user counter and held to a fixed goal (at most; 0: for reference).
struct Limit {
    std::string sTitle;
    std::string sBenchmark;
    std::string sCounter;
    double goal;
    std::string sUnit;
};

/** The console reporter, remembering for every benchmark its fastest time per iteration and
    its counters. */
class ComparingReporter : public benchmark::ConsoleReporter {
public:
    //! Colours only on a terminal.
    ComparingReporter()
        : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(std::vector<Run> const& reports) override {
        for (Run const& run : reports) {
            if (run.error_occurred)
                continue;
            bool const bIteration = run.run_type == Run::RT_Iteration;
            if (!bIteration && run.aggregate_name != "min")
                continue;
            std::string const name = run.run_name.function_name;
            double const ns =
                run.GetAdjustedRealTime() * 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            auto it = aTimes_.find(name);
            if (it == aTimes_.end() || ns < it->second)
                aTimes_[name] = ns;
            for (auto const& counter : run.counters)
                aCounters_[name][counter.first] = counter.second.value;
        }
        ConsoleReporter::ReportRuns(reports);
    }

    //! Prints the comparisons and limits; returns how many goals were missed.
    int summarize(std::vector<Comparison> const& comparisons,
                  std::vector<Limit> const& limits) const {
        int nMissed = 0;
        std::printf("\nFigures beside their baselines (fastest of %d repetitions):\n",
                    repetitions());
        for (Comparison const& c : comparisons) {
            double const figure = time(c.sFigure);
            double const baseline = time(c.sBaseline);
            if (figure <= 0.0 || baseline <= 0.0) {
                std::printf("  %-44s not measured\n", c.sTitle.c_str());
                continue;
            }
            bool const bAtMost = c.eKind == Comparison::kAtMost;
            double const ratio = bAtMost ? figure / baseline : baseline / figure;
            char sGoal[64] = "(for reference)";
            if (c.goal > 0.0) {
                bool const bMet = bAtMost ? ratio <= c.goal : ratio >= c.goal;
                nMissed += bMet ? 0 : 1;
                std::snprintf(sGoal, sizeof sGoal, "(goal %s %.2f) %s",
                              bAtMost ? "<=" : ">=", c.goal, bMet ? "met" : "MISSED");
            }
            std::printf("  %-44s %12.2f %s vs %12.2f %s  %s %6.2f %s\n", c.sTitle.c_str(),
                        figure / c.perIteration, c.sUnit.c_str(), baseline / c.perIteration,
                        c.sUnit.c_str(), bAtMost ? "ratio" : "speed-up", ratio, sGoal);
            std::printf("  %-44s (%s vs %s)\n", "", c.sFigure.c_str(), c.sBaseline.c_str());
        }
        for (Limit const& l : limits) {
            auto it = aCounters_.find(l.sBenchmark);
            if (it == aCounters_.end() || it->second.count(l.sCounter) == 0) {
                std::printf("  %-44s not measured\n", l.sTitle.c_str());
                continue;
            }
            double const value = it->second.at(l.sCounter);
            char sGoal[64] = "(for reference)";
            if (l.goal > 0.0) {
                bool const bMet = value <= l.goal;
                nMissed += bMet ? 0 : 1;
                std::snprintf(sGoal, sizeof sGoal, "(goal <= %.0f) %s", l.goal,
                              bMet ? "met" : "MISSED");
            }
            std::printf("  %-44s %12.1f %s %s\n", l.sTitle.c_str(), value, l.sUnit.c_str(), sGoal);
        }
        return nMissed;
    }

    //! The fastest time per iteration in nanoseconds; 0 when the benchmark did not run.
    double time(std::string const& name) const {
        auto it = aTimes_.find(name);
        return it == aTimes_.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> aTimes_;
    std::map<std::string, std::map<std::string, double>> aCounters_;
};

/** The core layer and the library, up for the whole run. Made first in main, before the
    benchmarks are registered, it also reads --benchmark_repetitions (which registration fixes). */
class LibraryScope {
public:
    LibraryScope(int argc, char** argv) {
        std::string const flag = "--benchmark_repetitions=";
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]).rfind(flag, 0) == 0)
                repetitions() = std::max(1, std::atoi(argv[i] + flag.size()));
        }
        Mirel::Core::Library::initialize();
        Mirel::DataFlow::Library::initialize();
    }
    ~LibraryScope() {
        Mirel::DataFlow::Library::terminate();
        Mirel::Core::Library::terminate();
    }
    LibraryScope(LibraryScope const&) = delete;
    LibraryScope& operator=(LibraryScope const&) = delete;
};

/** Runs the registered benchmarks and prints the comparisons. The exit status stays 0 when a
    goal is missed: the figures are the output, not a test. */
inline int run(int argc, char** argv, std::vector<Comparison> const& comparisons,
               std::vector<Limit> const& limits = {}) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    ComparingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    int const nMissed = reporter.summarize(comparisons, limits);
    std::printf("%s\n", nMissed == 0 ? "All goals met." : "Some goals were missed (see above).");
    benchmark::Shutdown();
    return 0;
}

} // namespace bench
