// The demo host: an image pipeline built from node kinds of a plugin module and of the host,
// evaluated the ways a client evaluates graphs.
//
//   pattern --image/size--> blur --image/size--> tone --image/size--> write-png (sink)
//                            |                ^
//                            +--preview--> measure --level--> (tone's level parameter)
//
// Usage: demo [output-dir] [--size N] [--plugin path]

#include "DemoNode.h"

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/controllers/Controller.h"
#include "data_flow/controllers/GraphDot.h"
#include "data_flow/controllers/Trace.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/Parameter.h"
#include "data_flow/parameters/ParameterSet.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef DEMO_PLUGIN_PATH
#define DEMO_PLUGIN_PATH "image_kinds.so"
#endif

using Mirel::FloatVector;
using Mirel::String;
using namespace Mirel::DataFlow;

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void heading(char const* text) {
    std::cout << "\n== " << text << "\n";
}

//! Sets a node's parameter by name, through its parameter set; the library checks the type.
template <class T>
void setParameter(Node& node, char const* name, T const& value) {
    boost::shared_ptr<ParameterBase> pParameter = node.parameters().getParameter(String(name));
    if (!pParameter)
        throw std::runtime_error(std::string("no parameter ") + name + " on " +
                                 node.debugId().c_str());
    pParameter->setValueFromParameter(Parameter<T>(value, String(name)));
}

//! The value of a node's parameter, read by name.
template <class T>
T parameterValue(Node const& node, char const* name) {
    boost::shared_ptr<ParameterBase> const pParameter =
        node.parameters().getParameter(String(name));
    if (!pParameter)
        throw std::runtime_error(std::string("no parameter ") + name);
    return pParameter->valueAs<T>();
}

demo::TimedNode& timed(Node* pNode) {
    return dynamic_cast<demo::TimedNode&>(*pNode);
}

/** The host's view of the pipeline: the nodes in producer-before-consumer order, the controller
    and what the evaluations are compared against. */
class Pipeline {
public:
    Pipeline(std::vector<Node*> aOrder, Controller& controller, int iSize)
        : aOrder_(std::move(aOrder))
        , controller_(controller)
        , iSize_(iSize) {}

    /** Brings every node's dirty flag up to date (producers first, so that dirtiness flows
        downstream), then flushes the graph: outputs whose keepsCache() is true keep their
        results, the others drop them. Prints what is dirty and what is kept. */
    void prepare() {
        for (Node* pNode : aOrder_)
            pNode->updateDirtyState();
        std::string dirty, kept;
        for (Node* pNode : aOrder_) {
            if (pNode->isDirty())
                dirty += (dirty.empty() ? "" : ", ") + std::string(pNode->debugId().c_str());
            for (std::size_t i = 0; i < pNode->numberOfOutputs(); ++i) {
                OutputConnector const* pOutput = pNode->output(i);
                if (pOutput->hasData() && pOutput->keepsCache())
                    kept += (kept.empty() ? "" : ", ") + std::string(pNode->debugId().c_str()) +
                            " : " + pOutput->name().c_str();
            }
        }
        std::cout << "  dirty after updateDirtyState: " << (dirty.empty() ? "none" : dirty) << "\n";
        std::cout << "  results kept across the flush (keepsCache): "
                  << (kept.empty() ? "none" : kept) << "\n";
        controller_.flushGraph();
        rememberRuns();
    }

    void rememberRuns() {
        aRunsBefore_.clear();
        for (Node* pNode : aOrder_)
            aRunsBefore_.push_back(timed(pNode).runs());
    }

    //! Which nodes computed since prepare(), with their times.
    void reportRecomputed(char const* label = "recomputed") const {
        std::cout << "  " << label << ":";
        std::string kept;
        int n = 0;
        for (std::size_t i = 0; i < aOrder_.size(); ++i) {
            demo::TimedNode const& node = timed(aOrder_[i]);
            if (node.runs() != aRunsBefore_[i]) {
                std::cout << (n++ ? ", " : " ") << node.debugId() << " (" << std::fixed
                          << std::setprecision(1) << node.lastMilliseconds() << " ms)";
            } else {
                kept += (kept.empty() ? "" : ", ") + std::string(node.debugId().c_str());
            }
        }
        std::cout << (n ? "" : " nothing") << "\n";
        std::cout << "  not recomputed: " << (kept.empty() ? "none" : kept) << "\n";
    }

    //! Slice items one full evaluation finishes: pattern rows, two blur passes, tone blocks.
    std::size_t itemsPerEvaluation() const {
        std::size_t const n = std::size_t(iSize_);
        return n + 2 * n + (n * n + 4095) / 4096;
    }

    /** Waits for an asynchronous evaluation, showing a progress line meanwhile. Wait polls in
        short steps, so the host thread is free to print between them. */
    void waitShowingProgress() {
        bool const bTty = isatty(STDOUT_FILENO) != 0;
        Controller::Progress last{0, 0};
        while (!controller_.wait(0.02, 0.005)) {
            Controller::Progress const now = controller_.progress();
            if (now.nodesProcessed == last.nodesProcessed &&
                now.itemsProcessed == last.itemsProcessed)
                continue;
            last = now;
            printProgress(now, bTty);
        }
        printProgress(controller_.progress(), bTty);
        if (bTty)
            std::cout << "\n";
    }

    //! On a terminal the line is rewritten in place; otherwise each reading gets its own line.
    void printProgress(Controller::Progress const& progress, bool bTty) const {
        std::cout << (bTty ? "\r" : "") << "  progress: " << progress.nodesProcessed << " of "
                  << aOrder_.size() << " nodes, " << progress.itemsProcessed << " of "
                  << itemsPerEvaluation() << " slice items" << (bTty ? "   " : "\n") << std::flush;
    }

private:
    std::vector<Node*> aOrder_;
    Controller& controller_;
    int iSize_;
    std::vector<unsigned int> aRunsBefore_;
};

//! The grey values of the tone step's result counted in 16 equal bins over [0, 1], as bars.
void printHistogram(Node const& tone) {
    auto const* pOutput =
        static_cast<OutputTemplate<FloatVector> const*>(tone.output(String("image")));
    std::vector<std::size_t> counts(16, 0);
    for (float value : pOutput->value())
        ++counts[std::min(counts.size() - 1, std::size_t(std::max(0.0f, value) * 16.0f))];
    std::size_t const largest = *std::max_element(counts.begin(), counts.end());
    std::cout << "  histogram of the result (" << counts.size() << " bins):\n";
    for (std::size_t i = 0; i < counts.size(); ++i) {
        double const from = double(i) / double(counts.size());
        double const to = double(i + 1) / double(counts.size());
        int const width = largest ? int(50.0 * double(counts[i]) / double(largest) + 0.5) : 0;
        std::cout << "    [" << std::fixed << std::setprecision(3) << from << ", " << to
                  << (i + 1 == counts.size() ? "]" : ")") << " " << std::string(width, '#')
                  << std::string(std::size_t(51 - width), ' ') << counts[i] << "\n";
    }
}

//! Data of the completion callback: how often it ran, and on which thread.
struct Completion {
    std::atomic<int> nCalls{0};
    std::atomic<bool> bOnHostThread{false};
    std::thread::id hostThread;
};

bool onCompleted(void* pData) {
    auto* pCompletion = static_cast<Completion*>(pData);
    pCompletion->bOnHostThread = std::this_thread::get_id() == pCompletion->hostThread;
    ++pCompletion->nCalls;
    return true;
}

char const* statusName(Controller::teControllerStatus eStatus) {
    switch (eStatus) {
    case Controller::kStopped:
        return "stopped";
    case Controller::kProcessing:
        return "processing";
    case Controller::kCancelled:
        return "cancelled";
    }
    return "?";
}

struct Options {
    std::filesystem::path outputDir = "demo-output";
    int iSize = 2048;
    std::string sPlugin = DEMO_PLUGIN_PATH;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string const arg = argv[i];
        if (arg == "--size" && i + 1 < argc)
            options.iSize = std::max(64, std::atoi(argv[++i]));
        else if (arg == "--plugin" && i + 1 < argc)
            options.sPlugin = argv[++i];
        else
            options.outputDir = arg;
    }
    return options;
}

/** The plugin module, loaded with dlopen. It is closed only after Library::terminate, since the
    catalogue keeps pointers to its creation functions until then. */
class Plugin {
public:
    explicit Plugin(std::string const& path)
        : pHandle_(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {
        if (pHandle_ == nullptr)
            throw std::runtime_error(std::string("cannot load the plugin: ") + dlerror());
    }
    ~Plugin() { dlclose(pHandle_); }
    Plugin(Plugin const&) = delete;
    Plugin& operator=(Plugin const&) = delete;

    void registerKinds() {
        using Register = void (*)();
        auto pRegister = reinterpret_cast<Register>(dlsym(pHandle_, "data_flow_plugin_register"));
        if (pRegister == nullptr)
            throw std::runtime_error("the plugin has no data_flow_plugin_register");
        pRegister();
    }

private:
    void* pHandle_;
};

//! Every node the host made, destroyed (after unlinking) when the host is done with the graph.
class NodeOwner {
public:
    NodeOwner() = default;
    NodeOwner(NodeOwner const&) = delete;
    NodeOwner& operator=(NodeOwner const&) = delete;
    ~NodeOwner() {
        for (Node* pNode : aNodes_)
            pNode->disconnect();
        for (InputConnector* pProxy : aProxies_)
            Mirel::Core::destroy(pProxy);
        for (Node* pNode : aNodes_)
            Mirel::Core::destroy(pNode);
    }

    Node* adopt(Node* pNode, char const* what) {
        if (pNode == nullptr)
            throw std::runtime_error(std::string("the catalogue has no kind for ") + what);
        aNodes_.push_back(pNode);
        return pNode;
    }
    //! The proxy inputs made by convertToConnector belong to the host, not to the node.
    InputConnector* adoptProxy(InputConnector* pProxy) {
        aProxies_.push_back(pProxy);
        return pProxy;
    }

private:
    std::vector<Node*> aNodes_;
    std::vector<InputConnector*> aProxies_;
};

void link(Node* pProducer, char const* output, Node* pConsumer, char const* input) {
    OutputConnector* pOutput = pProducer->output(String(output));
    InputConnector* pInput = pConsumer->input(String(input));
    if (pOutput == nullptr || pInput == nullptr)
        throw std::runtime_error(std::string("no connector ") + output + " or " + input);
    Connect(*pOutput, *pInput);
}

int runDemo(Options const& options) {
    auto const demoStart = Clock::now();
    std::filesystem::create_directories(options.outputDir);
    std::cout << "data_flow demo: an image pipeline of " << options.iSize << " x " << options.iSize
              << " float pixels\n";

    // The plugin is opened before the library comes up and closed after it went down (the
    // members are destroyed in reverse order): the catalogue holds its creation functions.
    Plugin plugin(options.sPlugin);
    AutoInitializer library; // the core layer is up already (main)

    heading("1. Node catalogue");
    plugin.registerKinds();
    std::cout << "  plugin module: " << options.sPlugin << "\n";
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    for (NodeMetaData const* pMetaData : librarian)
        std::cout << "  " << *pMetaData << "\n";

    {
        NodeOwner owner;
        // Without a version, the catalogue picks the highest registered one.
        NodeMetaData const anyPattern("Pattern", "image", "example");
        Node* pPattern =
            owner.adopt(librarian.createNodeByMetadata(&anyPattern, demo::kCpuTarget), "Pattern");
        std::cout << "  Pattern asked for without a version: got version "
                  << (pPattern->parameter(String("grain")) != nullptr ? 2 : 1)
                  << " (it has the parameter \"grain\")\n";
        Node* pBlur = owner.adopt(librarian.createNodeByClientID("blur", demo::kCpuTarget), "blur");
        Node* pMeasure =
            owner.adopt(librarian.createNodeByClientID("measure", demo::kCpuTarget), "measure");
        Node* pTone = owner.adopt(librarian.createNodeByClientID("tone", demo::kCpuTarget), "tone");
        Node* pWrite =
            owner.adopt(librarian.createNodeByClientID("write-png", demo::kCpuTarget), "write-png");
        std::filesystem::path const pngPath = options.outputDir / "result.png";
        setParameter(*pWrite, "path", String(pngPath.string().c_str()));

        setParameter(*pPattern, "width", options.iSize);
        setParameter(*pPattern, "height", options.iSize);

        link(pPattern, "image", pBlur, "image");
        link(pPattern, "size", pBlur, "size");
        link(pBlur, "image", pTone, "image");
        link(pBlur, "preview", pMeasure, "image");
        link(pBlur, "size", pTone, "size");
        link(pTone, "image", pWrite, "image");
        link(pTone, "size", pWrite, "size");
        // The tone step's level becomes an input, driven by the measurement.
        InputConnector* pLevel =
            owner.adoptProxy(pTone->convertToConnector(pTone->parameter(String("level"))));
        Connect(*pMeasure->output(String("level")), *pLevel);

        Controller controller;
        std::vector<Node*> const order = {pPattern, pBlur, pMeasure, pTone, pWrite};
        for (Node* pNode : order)
            controller.addNode(pNode);
        controller.setSinkNode(pWrite);
        Pipeline pipeline(order, controller, options.iSize);

        heading("2. The graph");
        for (Node* pNode : order) {
            std::cout << *pNode;
            std::ostringstream parameters;
            parameters << pNode->parameters();
            std::istringstream lines(parameters.str());
            for (std::string line; std::getline(lines, line);)
                std::cout << "    parameter " << line << "\n";
        }
        std::filesystem::path const dotPath = options.outputDir / "graph.dot";
        {
            std::ofstream dot(dotPath);
            writeDot(dot, controller);
        }
        std::cout << "  Graphviz picture of the graph written to " << dotPath.string() << "\n";

        heading("3. Synchronous evaluation");
        auto start = Clock::now();
        pipeline.prepare();
        controller.process();
        double const firstMs = millisecondsSince(start);
        pipeline.reportRecomputed();
        std::cout << "  measured level driving the tone step: " << std::setprecision(3)
                  << parameterValue<float>(*pTone, "level") << "\n";
        std::cout << "  time: " << std::setprecision(1) << firstMs << " ms\n";
        printHistogram(*pTone);

        heading("4. One parameter changed: tone.softness 0.05 -> 0.2");
        setParameter(*pTone, "softness", 0.2f);
        start = Clock::now();
        pipeline.prepare();
        controller.process();
        double const secondMs = millisecondsSince(start);
        pipeline.reportRecomputed();
        std::cout << "  time: " << std::setprecision(1) << secondMs << " ms (the first took "
                  << firstMs << " ms)\n";
        printHistogram(*pTone);

        heading("5. Asynchronous evaluation with a new pattern frequency (32 rings)");
        Completion completion;
        completion.hostThread = std::this_thread::get_id();
        controller.registerProcessingCompletedCallback(&onCompleted, &completion);
        Mirel::DataFlow::TraceRecorder trace; // records this evaluation's nodes and slices
        controller.setObserver(&trace);
        setParameter(*pPattern, "frequency", 32.0f);
        pipeline.prepare();
        start = Clock::now();
        controller.processAsync();
        pipeline.waitShowingProgress();
        controller.checkException();
        double const asyncMs = millisecondsSince(start);
        controller.setObserver(nullptr);
        std::filesystem::path const tracePath = options.outputDir / "trace.json";
        {
            std::ofstream traceFile(tracePath);
            trace.writeChromeTrace(traceFile);
        }
        pipeline.reportRecomputed();
        std::cout << "  completion callback: called " << completion.nCalls << " time(s), on "
                  << (completion.bOnHostThread ? "the host thread (it ran the task while waiting)"
                                               : "a worker thread")
                  << "\n";
        std::cout << "  time: " << std::setprecision(1) << asyncMs << " ms\n";
        std::cout << "  trace of this evaluation (nodes and slices per thread): "
                  << tracePath.string()
                  << "\n    open it in https://ui.perfetto.dev or chrome://tracing\n";

        heading("6. An asynchronous evaluation cancelled part-way, then the next one");
        setParameter(*pPattern, "frequency", 40.0f);
        pipeline.prepare();
        start = Clock::now();
        controller.processAsync();
        // Cancel once the blur has started, i.e. past the pattern's rows.
        std::size_t const cancelAt = std::size_t(options.iSize) + std::size_t(options.iSize) / 2;
        while (controller.controllerStatus() == Controller::kProcessing &&
               millisecondsSince(start) < 10000.0 &&
               controller.progress().itemsProcessed < cancelAt)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        Controller::Progress const atCancel = controller.progress();
        controller.cancelProcess();
        controller.wait(10.0, 0.001);
        std::cout << "  cancelProcess() after " << std::setprecision(1) << millisecondsSince(start)
                  << " ms, at " << atCancel.nodesProcessed << " nodes and "
                  << atCancel.itemsProcessed << " of " << pipeline.itemsPerEvaluation()
                  << " slice items\n";
        std::cout << "  after wait(): status " << statusName(controller.controllerStatus())
                  << ", the sink holds "
                  << (pTone->output(String("image"))->hasData() ? "a result" : "no result")
                  << " (a cancelled evaluation's graph is flushed)\n";
        pipeline.reportRecomputed("started before the cancel");
        pipeline.prepare();
        start = Clock::now();
        controller.processAsync();
        pipeline.waitShowingProgress();
        controller.checkException();
        std::cout << "  the next evaluation ran normally in " << std::setprecision(1)
                  << millisecondsSince(start) << " ms\n";
        pipeline.reportRecomputed();
        printHistogram(*pTone);

        heading("7. A failure inside a slice");
        controller.registerProcessingCompletedCallback(nullptr, nullptr);
        setParameter(*pBlur, "faultRow", options.iSize / 2);
        std::cout << "  blur.faultRow = " << options.iSize / 2
                  << ": the slice holding that row throws on a worker thread\n";
        pipeline.prepare();
        try {
            controller.process();
            std::cout << "  no failure came back (unexpected)\n";
        } catch (Mirel::SharedException const& e) {
            std::cout << "  process() threw Mirel::SharedException on the host thread:\n    "
                      << e.what() << "\n";
            if (auto const* pOriginal =
                    dynamic_cast<Mirel::LogicalException const*>(e.wrapped().get()))
                std::cout << "  it wraps the slice's exception, thrown at " << pOriginal->file()
                          << ":" << pOriginal->line() << " with the message \""
                          << pOriginal->message() << "\"\n";
        }
        controller.wait(10.0, 0.001); // re-arms the task group the failure cancelled
        setParameter(*pBlur, "faultRow", -1);
        pipeline.prepare();
        start = Clock::now();
        controller.process();
        std::cout << "  with the fault removed the evaluation runs again in "
                  << std::setprecision(1) << millisecondsSince(start) << " ms\n";
        pipeline.reportRecomputed();

        heading("8. Files");
        std::cout << "  final image: " << pngPath.string() << " (written by the sink)\n";
        std::cout << "  graph:       " << dotPath.string()
                  << "  (render: dot -Tpng graph.dot -o graph.png)\n";
        controller.flushGraph();
    } // the controller goes first, then the nodes (unlinked), then the library and the plugin

    std::cout << "\ndone in " << std::setprecision(1) << millisecondsSince(demoStart) / 1000.0
              << " s\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Mirel::Core::Library::initialize();
    std::size_t const nBlocksBefore = Mirel::Core::liveAllocations();
    int result = 1;
    try {
        result = runDemo(parseOptions(argc, argv));
    } catch (std::exception const& e) {
        std::cerr << "demo failed: " << e.what() << "\n";
    }
    // Every value, node, connector, parameter, record and factory went back.
    std::size_t const nLeft = Mirel::Core::liveAllocations() - nBlocksBefore;
    std::cout << "library blocks still allocated after shut-down: " << nLeft << "\n";
    Mirel::Core::Library::terminate();
    return nLeft == 0 ? result : 1;
}
