#pragma once
// What every benchmark program shares: bringing the library up and down around the run,
// registering figures and baselines to run in alternating rounds, and a reporter that prints
// each figure beside its baseline with their ratio and the goal it is held to.
//
// A ratio is measured in rounds inside one process: every round runs each benchmark of a group
// once, in turn (the order reversed every other round), each round gives one ratio, and the
// median of those ratios is the figure. Load from other work on the machine then weighs on both
// sides of a ratio alike instead of favouring whichever side it happened to spare.

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bench {

//! Rounds of every group, 11 unless --benchmark_repetitions=N is given.
inline int& rounds() {
    static int n = 11;
    return n;
}

//! One benchmark of a group: its name and its body.
struct Member {
    std::string sName;
    std::function<void(benchmark::State&)> body;
};

/** Registers a group of benchmarks that alternate in rounds: round r runs each member once,
    for at least secondsPerRun of wall-clock time, in the given order on even rounds and in the
    reverse order on odd ones. Comparisons pair the runs of one round. */
inline void registerRounds(std::vector<Member> const& group, double secondsPerRun = 0.05) {
    for (int r = 0; r < rounds(); ++r) {
        for (std::size_t i = 0; i < group.size(); ++i) {
            Member const& member = group[r % 2 == 0 ? i : group.size() - 1 - i];
            benchmark::RegisterBenchmark(member.sName.c_str(), member.body)
                ->Repetitions(1)
                ->MinTime(secondsPerRun)
                ->UseRealTime();
        }
    }
}

//! A figure compared with its baseline. Both are benchmark names; times are per iteration.
struct Comparison {
    enum teKind {
        kAtMost,      //!< figure time / baseline time must not exceed the goal
        kSpeedUp,     //!< baseline time / figure time must reach the goal
        kAddedAtMost, //!< (figure time - baseline time) per item must not exceed the goal
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

inline double median(std::vector<double> v) {
    if (v.empty())
        return 0.0;
    std::size_t const middle = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(middle), v.end());
    double const upper = v[middle];
    if (v.size() % 2 == 1)
        return upper;
    return (upper + *std::max_element(v.begin(), v.begin() + std::ptrdiff_t(middle))) / 2.0;
}

/** Google Benchmark's console reporter, keeping its header (machine, load) but not its line per
    run: it remembers, for every benchmark, the wall-clock time per iteration of each of its runs
    in order, and the counters of its last run. */
class ComparingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(std::vector<Run> const& reports) override {
        for (Run const& run : reports) {
            std::string const name = run.run_name.function_name;
            if (run.error_occurred) {
                aErrors_[name] = run.error_message;
                continue;
            }
            if (run.run_type != Run::RT_Iteration)
                continue;
            aTimes_[name].push_back(run.GetAdjustedRealTime() * 1e9 /
                                    benchmark::GetTimeUnitMultiplier(run.time_unit));
            for (auto const& counter : run.counters)
                aCounters_[name][counter.first] = counter.second.value;
        }
    }

    //! Prints the comparisons and limits; returns how many goals were missed.
    int summarize(std::vector<Comparison> const& comparisons,
                  std::vector<Limit> const& limits) const {
        int nMissed = 0;
        if (!comparisons.empty())
            std::printf("\nFigures beside their baselines (median of %d per-round ratios):\n",
                        rounds());
        for (Comparison const& c : comparisons)
            nMissed += compare(c);
        if (!limits.empty())
            std::printf("\nFigures held to fixed limits:\n");
        for (Limit const& l : limits)
            nMissed += check(l);
        return nMissed;
    }

private:
    //! Prints one comparison; 1 when its goal is missed.
    int compare(Comparison const& c) const {
        std::vector<double> const& figures = times(c.sFigure);
        std::vector<double> const& baselines = times(c.sBaseline);
        std::size_t const n = std::min(figures.size(), baselines.size());
        if (n == 0) {
            std::printf("  %-44s not measured%s\n", c.sTitle.c_str(),
                        error(c.sFigure, c.sBaseline).c_str());
            return 0;
        }
        if (c.eKind == Comparison::kAddedAtMost)
            return compareAdded(c, figures, baselines, n);
        bool const bAtMost = c.eKind == Comparison::kAtMost;
        std::vector<double> ratios;
        for (std::size_t i = 0; i < n; ++i)
            ratios.push_back(bAtMost ? figures[i] / baselines[i] : baselines[i] / figures[i]);
        double const ratio = median(ratios);
        int nMissed = 0;
        char sGoal[64] = "(for reference)";
        if (c.goal > 0.0) {
            bool const bMet = bAtMost ? ratio <= c.goal : ratio >= c.goal;
            nMissed = bMet ? 0 : 1;
            std::snprintf(sGoal, sizeof sGoal, "(goal %s %.2f) %s", bAtMost ? "<=" : ">=", c.goal,
                          bMet ? "met" : "MISSED");
        }
        std::printf("  %-44s %10.2f %s vs %10.2f %s  %s %6.2f %s\n", c.sTitle.c_str(),
                    median(figures) / c.perIteration, c.sUnit.c_str(),
                    median(baselines) / c.perIteration, c.sUnit.c_str(),
                    bAtMost ? "ratio" : "speed-up", ratio, sGoal);
        std::printf("  %-44s (%s vs %s, %zu rounds)\n", "", c.sFigure.c_str(), c.sBaseline.c_str(),
                    n);
        return nMissed;
    }

    //! Prints a comparison of what the figure adds per item, the median of per-round differences.
    int compareAdded(Comparison const& c, std::vector<double> const& figures,
                     std::vector<double> const& baselines, std::size_t n) const {
        std::vector<double> added;
        for (std::size_t i = 0; i < n; ++i)
            added.push_back((figures[i] - baselines[i]) / c.perIteration);
        double const value = median(added);
        bool const bMet = value <= c.goal;
        std::printf("  %-44s %10.2f %s vs %10.2f %s  adds %6.2f %s (goal <= %.0f) %s\n",
                    c.sTitle.c_str(), median(figures) / c.perIteration, c.sUnit.c_str(),
                    median(baselines) / c.perIteration, c.sUnit.c_str(), value, c.sUnit.c_str(),
                    c.goal, bMet ? "met" : "MISSED");
        std::printf("  %-44s (%s vs %s, %zu rounds)\n", "", c.sFigure.c_str(), c.sBaseline.c_str(),
                    n);
        return bMet ? 0 : 1;
    }

    //! Prints one limit; 1 when it is exceeded.
    int check(Limit const& l) const {
        auto it = aCounters_.find(l.sBenchmark);
        if (it == aCounters_.end() || it->second.count(l.sCounter) == 0) {
            std::printf("  %-44s not measured%s\n", l.sTitle.c_str(),
                        error(l.sBenchmark, l.sBenchmark).c_str());
            return 0;
        }
        double const value = it->second.at(l.sCounter);
        char sGoal[64] = "(for reference)";
        bool const bMet = l.goal <= 0.0 || value <= l.goal;
        if (l.goal > 0.0)
            std::snprintf(sGoal, sizeof sGoal, "(goal <= %.0f) %s", l.goal,
                          bMet ? "met" : "MISSED");
        std::printf("  %-44s %10.1f %s %s\n", l.sTitle.c_str(), value, l.sUnit.c_str(), sGoal);
        return bMet ? 0 : 1;
    }

    std::vector<double> const& times(std::string const& name) const {
        static std::vector<double> const none;
        auto it = aTimes_.find(name);
        return it == aTimes_.end() ? none : it->second;
    }

    //! ": <message>" for the first of the two benchmarks that failed, else "".
    std::string error(std::string const& first, std::string const& second) const {
        for (std::string const& name : {first, second}) {
            auto it = aErrors_.find(name);
            if (it != aErrors_.end())
                return " (" + name + ": " + it->second + ")";
        }
        return "";
    }

    std::map<std::string, std::vector<double>> aTimes_;
    std::map<std::string, std::map<std::string, double>> aCounters_;
    std::map<std::string, std::string> aErrors_;
};

/** The core layer and the library, up for the whole run. Made first in main, before the
    benchmarks are registered, it also reads --benchmark_repetitions (the number of rounds). */
class LibraryScope {
public:
    LibraryScope(int argc, char** argv) {
        std::string const flag = "--benchmark_repetitions=";
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]).rfind(flag, 0) == 0)
                rounds() = std::max(1, std::atoi(argv[i] + flag.size()));
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
