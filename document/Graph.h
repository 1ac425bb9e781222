#pragma once
/** A dataflow graph as data: the nodes a document names, their links, the sink and the free-form
    "meta" object, with the Controller that evaluates them.

    A Graph owns everything it makes: the nodes (created through the node catalogue and named by
    their ids), the proxy inputs of driven parameters, the links and its controller. Destroying it
    unlinks every node, then destroys the controller, the proxy inputs and the nodes, in that
    order, so a host never needs the library's ownership rules to be safe.

    Every edit (add, connect, drive, set a parameter) runs the checks a document load runs and
    reports the same problems with the same messages, as a DocumentError; a refused edit changes
    nothing. The library must be up (Library::initialize) for as long as a Graph lives, and the
    modules that registered its kinds must stay loaded. Not safe for concurrent use, except
    cancel(), which any thread may call while run() runs. */

#include "document/DocumentExport.h"
#include "document/Problems.h"
#include "document/Values.h"

#include "data_flow/controllers/Controller.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace Mirel {
namespace DataFlow {

class InputConnector;
class Node;
class NodeMetaData;

namespace Document {

//! The document format this build reads and writes.
constexpr char const* kFormat = "data_flow.graph";
constexpr int kFormatVersion = 1;

//! How long one node took in the last run() and whether it computed at all.
struct NodeTime {
    std::string id;
    double milliseconds;
    bool recomputed; //!< false when its results were still valid and kept
};

//! How far a run has got: nodes finished out of those upstream of the sink, slice items.
struct RunProgress {
    std::size_t nodesDone;
    std::size_t nodesTotal;
    std::size_t itemsDone;
};

struct RunOptions {
    //! Evaluate on the scheduler (processAsync) and report progress while waiting.
    bool async = false;
    //! Called on the calling thread about every 50 ms of an asynchronous run.
    std::function<void(RunProgress const&)> onProgress;
};

class DATA_FLOW_DOCUMENT_API Graph {
public:
    //! An empty graph with its own controller.
    Graph();
    //! Unlinks every node, then destroys the controller, the proxy inputs and the nodes.
    ~Graph();
    Graph(Graph const&) = delete;
    Graph& operator=(Graph const&) = delete;

    /** Builds the graph a document describes. Checks all of it and throws DocumentError with
        every problem found; on failure nothing is left behind (no node, no leaked block). */
    static std::unique_ptr<Graph> fromJson(Json const& document);
    //! fromJson on JSON text; text that is not JSON is a problem at "" with line and column.
    static std::unique_ptr<Graph> fromString(std::string const& text);
    static std::unique_ptr<Graph> load(std::istream& in);
    //! A file that cannot be read is a problem at "" too.
    static std::unique_ptr<Graph> loadFile(std::string const& path);

    /** The graph as a document: every node with all five kind fields (no "version" for a kind
        registered without one) and the value of every parameter, the links by names, the sink
        and "meta". Loading it gives an equal graph. */
    Json toJson() const;
    //! toJson() as text, indented by two spaces, ending with a line break.
    std::string toString() const;
    void save(std::ostream& out) const;
    //! Throws std::runtime_error when the file cannot be written.
    void saveFile(std::string const& path) const;

    /** Makes a node of a kind, given like a document's "kind" (a client identifier as a JSON
        string is accepted too), and names it id. Problems at "/id" and "/kind". */
    Node& add(Json const& kind, std::string const& id);
    //! Unlinks and destroys the node (and its proxy inputs); a sink that goes is unset.
    void remove(std::string const& id);
    /** Links "node.output" to "node.input" with a document link's checks (both ends exist,
        same value type, the input and the output not linked yet, no cycle). Problems at "/from",
        "/to" or "" for the link as a whole. */
    void connect(std::string const& from, std::string const& to);
    //! Unlinks the input "node.input"; nothing when it is not linked. Problem at "/to".
    void disconnect(std::string const& to);
    //! Turns the parameter into an input of the same name (Node::convertToConnector).
    void drive(std::string const& id, std::string const& parameter);

    //! The sink's id; "" when none is set.
    std::string const& sink() const noexcept { return sink_; }
    //! Makes the node the evaluation starts from; "" unsets it. Problem at "/sink".
    void setSink(std::string const& id);

    //! The parameter's value encoded as in documents. Problem at "/parameters/<name>".
    Json parameter(std::string const& id, std::string const& name) const;
    //! Sets a parameter from JSON with a document's checks; problems point into the value.
    void setParameter(std::string const& id, std::string const& name, Json const& value);
    //! Sets "node.parameter" from command-line text (parseCommandLineValue), as setParameter.
    void setFromCommandLine(std::string const& target, std::string const& text);

    //! The ids in the order the nodes were added.
    std::vector<std::string> ids() const;
    //! The node with that id, or null.
    Node* node(std::string const& id) const;
    //! The catalogue record the node was made from; throws DocumentError for an unknown id.
    NodeMetaData const& kind(std::string const& id) const;
    //! The names of the node's driven parameters, in the order they were driven.
    std::vector<std::string> driven(std::string const& id) const;

    //! The free-form "meta" object, kept unchanged through load and save (null when absent).
    Json& meta() noexcept { return meta_; }
    Json const& meta() const noexcept { return meta_; }

    Controller& controller() noexcept { return *controller_; }

    //! The graph in Graphviz DOT (writeDot of the controller).
    void writeDot(std::ostream& out) const;

    /** Evaluates from the sink: brings the dirty flags up to date, flushes what is no longer
        valid, then lets the controller visit the graph once, timing each node it processes
        (a node whose results were still valid is reported as not recomputed, at 0 ms).
        True when done, false when cancel() stopped it (the graph is then flushed). A failing
        node throws EvaluationError, after the graph was flushed and re-armed for the next run;
        no sink throws DocumentError at "/sink". */
    bool run(RunOptions const& options = RunOptions());
    //! Stops a run() in progress from any thread; the run returns false. No effect otherwise.
    void cancel() noexcept;
    //! Per-node times of the last run, in evaluation order.
    std::vector<NodeTime> const& times() const noexcept { return times_; }

private:
    struct Entry;

    Entry* find(std::string const& id) const;
    Entry& require(std::string const& id, std::string const& at) const;
    std::vector<Entry*> evaluationOrder() const;
    //! One evaluation from the sink, on this thread or on the scheduler with progress reports.
    void evaluate(RunOptions const& options, std::size_t nodesTotal);
    void destroyEntry(Entry& entry) noexcept;

    friend class Loader;

    std::vector<std::unique_ptr<Entry>> entries_;
    std::string sink_;
    Json meta_;
    std::unique_ptr<Controller> controller_;
    std::vector<NodeTime> times_;
    std::atomic<bool> cancelled_;
};

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
