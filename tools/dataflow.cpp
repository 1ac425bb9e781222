// dataflow: the command line around graph documents.
//
//   dataflow inspect [KIND] [--json]      the node catalogue, or one kind in detail
//   dataflow validate GRAPH               load and check a document
//   dataflow run GRAPH [options]          evaluate it, with per-node times
//   dataflow dot GRAPH                    the graph in Graphviz DOT
//
// Plugin modules come from --plugin FILE and from the directories in DATA_FLOW_PLUGIN_PATH.
// Exit codes: 0 done, 1 the evaluation failed, 2 a usage or document problem, 130 cancelled.

#include "Plugins.h"

#include "document/Graph.h"

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/controllers/Trace.h"
#include "data_flow/librarian/NodeMetaData.h"

#include <CLI/CLI.hpp>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Mirel::DataFlow;
using Document::Graph;
using Document::Json;

namespace {

enum Exit { kDone = 0, kFailed = 1, kProblem = 2, kCancelled = 130 };

struct Options {
    std::vector<std::string> plugins;
    std::string kind;
    bool json = false;
    std::string graph;
    std::vector<std::string> sets;
    bool async = false;
    std::size_t threads = 0;
    std::string dot;
    std::string trace;
    std::string save;
    bool quiet = false;
};

//! Prints rows with each column padded to its widest cell.
void printTable(std::vector<std::vector<std::string>> const& rows, std::string const& indent = "") {
    std::vector<std::size_t> widths;
    for (auto const& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) {
            widths.resize(std::max(widths.size(), row.size()));
            widths[i] = std::max(widths[i], row[i].size());
        }
    for (auto const& row : rows) {
        std::string line = indent;
        for (std::size_t i = 0; i < row.size(); ++i)
            line += row[i] +
                    (i + 1 < row.size() ? std::string(widths[i] - row[i].size() + 2, ' ') : "");
        line.erase(line.find_last_not_of(' ') + 1);
        std::cout << line << "\n";
    }
}

std::string text(Json const& value) {
    return value.is_string() ? value.get<std::string>() : value.dump();
}

int inspect(Options const& options) {
    Json const catalogue = Document::catalogueToJson();
    if (options.kind.empty()) {
        if (options.json) {
            std::cout << catalogue.dump(2) << "\n";
            return kDone;
        }
        std::vector<std::vector<std::string>> rows = {
            {"VENDOR", "NAMESPACE", "NAME", "VERSION", "CLIENT ID", "DESCRIPTION"}};
        for (Json const& kind : catalogue["kinds"])
            rows.push_back({text(kind["vendor"]), text(kind["namespace"]), text(kind["name"]),
                            kind.contains("version") ? text(kind["version"]) : "-",
                            text(kind["clientID"]), text(kind["description"])});
        printTable(rows);
        return kDone;
    }
    for (Json const& kind : catalogue["kinds"]) {
        if (kind["clientID"] != options.kind)
            continue;
        if (options.json) {
            std::cout << kind.dump(2) << "\n";
            return kDone;
        }
        std::cout << options.kind << ": " << text(kind["vendor"]) << "/" << text(kind["namespace"])
                  << "/" << text(kind["name"])
                  << (kind.contains("version") ? " version " + text(kind["version"]) : "") << "\n  "
                  << text(kind["description"]) << "\n";
        for (char const* side : {"inputs", "outputs"}) {
            std::cout << side << ":\n";
            std::vector<std::vector<std::string>> rows;
            for (Json const& connector : kind[side])
                rows.push_back({text(connector["name"]), text(connector["type"])});
            printTable(rows, "  ");
        }
        std::cout << "parameters:\n";
        std::vector<std::vector<std::string>> rows = {
            {"NAME", "TYPE", "DEFAULT", "BOUNDS", "DESCRIPTION"}};
        for (Json const& parameter : kind["parameters"])
            rows.push_back(
                {text(parameter["name"]), text(parameter["type"]), parameter["default"].dump(),
                 parameter.contains("min")
                     ? "[" + parameter["min"].dump() + ", " + parameter["max"].dump() + "]"
                     : "-",
                 text(parameter["description"])});
        printTable(rows, "  ");
        return kDone;
    }
    std::cerr << "dataflow: no registered kind with client identifier \"" << options.kind << "\"\n";
    return kProblem;
}

int validate(Graph const& graph, Options const& options) {
    std::size_t links = graph.toJson()["links"].size();
    std::cout << options.graph << ": valid, " << graph.ids().size() << " nodes, " << links
              << " links, sink " << (graph.sink().empty() ? "(none)" : graph.sink()) << "\n";
    return kDone;
}

/** Turns Ctrl-C into graph.cancel() while it lives. SIGINT is blocked in every thread (the
    scheduler's threads inherit the mask from main) and taken by a thread of its own with
    sigwait, so the cancellation runs outside a signal handler. */
class InterruptWatch {
public:
    explicit InterruptWatch(Graph& graph)
        : thread_([this, &graph] {
            sigset_t set = interruptSet();
            int signal = 0;
            while (sigwait(&set, &signal) == 0 && !done_) {
                interrupted_ = true;
                graph.cancel();
            }
        }) {}
    ~InterruptWatch() {
        done_ = true;
        pthread_kill(thread_.native_handle(), SIGINT);
        thread_.join();
    }
    bool interrupted() const { return interrupted_; }

    static sigset_t interruptSet() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        return set;
    }

private:
    std::atomic<bool> done_{false};
    std::atomic<bool> interrupted_{false};
    std::thread thread_;
};

//! The progress of an asynchronous run on standard error: a bar on a terminal, lines otherwise.
void showProgress(Document::RunProgress const& progress, bool tty, std::size_t& lastNodes) {
    if (tty) {
        int const width = 30;
        int const filled =
            progress.nodesTotal ? int(width * progress.nodesDone / progress.nodesTotal) : width;
        std::cerr << "\r[" << std::string(std::size_t(filled), '#')
                  << std::string(std::size_t(width - filled), '.') << "] " << progress.nodesDone
                  << "/" << progress.nodesTotal << " nodes, " << progress.itemsDone
                  << " slice items" << std::flush;
    } else if (progress.nodesDone != lastNodes) {
        std::cerr << "progress: " << progress.nodesDone << "/" << progress.nodesTotal << " nodes, "
                  << progress.itemsDone << " slice items\n";
    }
    lastNodes = progress.nodesDone;
}

void printTimes(Graph const& graph) {
    std::vector<std::vector<std::string>> rows = {{"NODE", "KIND", "MS", ""}};
    double total = 0.0;
    for (Document::NodeTime const& time : graph.times()) {
        std::ostringstream ms;
        ms << std::fixed << std::setprecision(1) << time.milliseconds;
        total += time.milliseconds;
        rows.push_back({time.id, graph.kind(time.id).clientID().c_str(), ms.str(),
                        time.recomputed ? "" : "(kept)"});
    }
    std::ostringstream ms;
    ms << std::fixed << std::setprecision(1) << total;
    rows.push_back({"total", "", ms.str(), ""});
    printTable(rows);
}

int run(Graph& graph, Options const& options) {
    bool refused = false;
    for (std::string const& set : options.sets) {
        std::size_t const equals = set.find('=');
        try {
            if (equals == std::string::npos)
                throw Document::DocumentError("", "expected NODE.PARAMETER=VALUE");
            graph.setFromCommandLine(set.substr(0, equals), set.substr(equals + 1));
        } catch (Document::DocumentError const& e) {
            // The setting itself is the place of the problem.
            for (Document::Problem const& problem : e.problems())
                std::cerr << "--set " << set << ": " << problem.message << "\n";
            refused = true;
        }
    }
    if (refused)
        return kProblem;
    if (!options.dot.empty()) {
        std::ofstream dot(options.dot);
        graph.writeDot(dot);
    }
    Document::RunOptions runOptions;
    runOptions.async = options.async;
    bool const tty = isatty(STDERR_FILENO) != 0;
    std::size_t lastNodes = std::size_t(-1);
    if (options.async && !options.quiet)
        runOptions.onProgress = [&](Document::RunProgress const& progress) {
            showProgress(progress, tty, lastNodes);
        };
    TraceRecorder recorder;
    if (!options.trace.empty())
        graph.controller().setObserver(&recorder);
    bool done = false;
    int result = kDone;
    {
        InterruptWatch watch(graph);
        try {
            done = graph.run(runOptions);
        } catch (Document::EvaluationError const& e) {
            if (options.async && tty && !options.quiet)
                std::cerr << "\n";
            std::cerr << "dataflow: node \"" << e.node() << "\" failed: " << e.what() << "\n";
            result = kFailed;
        }
        if (options.async && tty && !options.quiet && result == kDone)
            std::cerr << "\n";
        if (result == kDone && !done) {
            std::cerr << "dataflow: cancelled\n";
            result = kCancelled;
        }
    }
    graph.controller().setObserver(nullptr);
    if (!options.trace.empty()) {
        std::ofstream trace(options.trace);
        recorder.writeChromeTrace(trace);
    }
    if (result == kDone && !options.quiet)
        printTimes(graph);
    if (!options.save.empty())
        graph.saveFile(options.save);
    return result;
}

int execute(CLI::App const& app, Options const& options) {
    // Blocked before any other thread exists, so that every thread inherits the mask.
    sigset_t set = InterruptWatch::interruptSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (options.threads > 0)
        Controller::setNumberOfThreads(options.threads);

    dataflow::Plugins plugins; // closed last: after the library went down
    plugins.open(options.plugins);
    Mirel::Core::Library::initialize();
    int result = kProblem;
    try {
        AutoInitializer library;
        plugins.registerKinds();
        if (app.got_subcommand("inspect")) {
            result = inspect(options);
        } else {
            std::unique_ptr<Graph> graph = Graph::loadFile(options.graph);
            if (app.got_subcommand("validate"))
                result = validate(*graph, options);
            else if (app.got_subcommand("dot"))
                graph->writeDot(std::cout), result = kDone;
            else
                result = run(*graph, options);
        }
    } catch (Document::DocumentError const& e) {
        for (Document::Problem const& problem : e.problems())
            std::cerr << Document::format(problem) << "\n";
        result = kProblem;
    } catch (std::exception const& e) {
        std::cerr << "dataflow: " << e.what() << "\n";
        result = kProblem;
    }
    Mirel::Core::Library::terminate();
    return result;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app("Inspects, checks, runs and draws data_flow graph documents.", "dataflow");
    app.require_subcommand(1);
    Options options;
    app.add_option("--plugin", options.plugins,
                   "plugin module of node kinds (repeatable; DATA_FLOW_PLUGIN_PATH adds folders)");

    CLI::App* inspect = app.add_subcommand("inspect", "list the node kinds, or describe one");
    inspect->add_option("KIND", options.kind, "client identifier of a kind to describe");
    inspect->add_flag("--json", options.json, "print JSON");

    CLI::App* validate = app.add_subcommand("validate", "load a graph document and check it");
    CLI::App* dot = app.add_subcommand("dot", "print the graph in Graphviz DOT");
    CLI::App* run = app.add_subcommand("run", "evaluate a graph document");
    for (CLI::App* command : {validate, dot, run})
        command->add_option("GRAPH", options.graph, "graph document (JSON)")->required();
    run->add_option("--set", options.sets, "NODE.PARAM=VALUE: override a parameter (repeatable)");
    run->add_flag("--async", options.async, "evaluate on the scheduler and show progress");
    run->add_option("--threads", options.threads, "scheduler threads")->check(CLI::PositiveNumber);
    run->add_option("--dot", options.dot, "also write the graph in DOT to FILE");
    run->add_option("--trace", options.trace,
                    "write the evaluation's trace to FILE (Chrome trace-event JSON)");
    run->add_option("--save", options.save, "write the document as run to FILE");
    run->add_flag("--quiet", options.quiet, "print no table of times and no progress");
    for (CLI::App* command : {inspect, validate, dot, run})
        command->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (CLI::ParseError const& e) {
        int const code = app.exit(e);
        return code == 0 ? kDone : kProblem;
    }
    try {
        return execute(app, options);
    } catch (std::exception const& e) {
        std::cerr << "dataflow: " << e.what() << "\n";
        return kProblem;
    }
}
