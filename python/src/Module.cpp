/** The native part of the Python package data_flow: the library brought up once per process,
    plugin modules, the catalogue, graphs (the document library's Graph) and their jobs. The
    Python layer (data_flow/__init__.py) builds the public classes on top of it.

    Threads and the GIL: anything that can block (an evaluation, a wait) runs with the GIL
    released; Python node kinds and completion callbacks take it back where they run. A graph
    refuses every use while one of its evaluations runs, so Python code on other threads cannot
    change it under the evaluation. */

#include "Json.h"
#include "PythonKinds.h"
#include "Values.h"

#include "core/Core.h"
#include "data_flow/DataFlowLibrary.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/nodes/Node.h"
#include "document/Graph.h"

#include <pybind11/stl.h>

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace data_flow_python {
namespace {

using namespace Mirel::DataFlow;
using Document::Graph;

//! A failure of the module itself (a plugin that does not load, a graph in use): df.Error.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

py::object errors() {
    return py::module_::import("data_flow._errors");
}

[[noreturn]] void raise(py::object exception) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    throw py::error_already_set();
}

void translate(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (Document::DocumentError const& e) {
        py::list problems;
        for (Document::Problem const& p : e.problems())
            problems.append(py::make_tuple(p.pointer, p.message));
        raise(errors().attr("DocumentError")(problems));
    } catch (Document::EvaluationError const& e) {
        raise(errors().attr("EvaluationError")(e.message(), e.file(), e.line(), e.node()));
    } catch (Mirel::ExceptionBase const& e) {
        raise(errors().attr("Error")(e.what()));
    } catch (Error const& e) {
        raise(errors().attr("Error")(e.what()));
    }
}

// ---------------------------------------------------------------------------------------------
// Plugins and the catalogue

std::mutex gPluginsLock;
std::vector<std::string> gPlugins; // absolute paths, in load order

void loadPlugin(std::string const& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        throw Error("cannot load plugin " + path + ": no such file");
    std::string const absolute(resolved);
    free(resolved);
    std::lock_guard<std::mutex> lock(gPluginsLock);
    if (std::find(gPlugins.begin(), gPlugins.end(), absolute) != gPlugins.end())
        return; // its kinds are registered already
    // Never closed: the values and nodes its kinds made may outlive every graph.
    void* module = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        throw Error("cannot load plugin " + path + ": " + dlerror());
    auto entry = reinterpret_cast<void (*)()>(dlsym(module, "data_flow_plugin_register"));
    if (entry == nullptr)
        throw Error("plugin " + path + " has no data_flow_plugin_register entry point");
    entry();
    gPlugins.push_back(absolute);
}

py::tuple kindRecord(NodeMetaData const& kind) {
    return py::make_tuple(kind.vendor().c_str(), kind.nameSpace().c_str(), kind.name().c_str(),
                          kind.hasVersion() ? py::object(py::int_(kind.version())) : py::none(),
                          kind.clientID().c_str(), kind.description().c_str());
}

py::list kinds() {
    py::list records;
    NodeLibrarian const& catalogue = *NodeLibrarian::Instance();
    for (NodeMetaData const* kind : catalogue)
        records.append(kindRecord(*kind));
    return records;
}

// ---------------------------------------------------------------------------------------------
// Graphs and jobs

class Job;

//! Per-node times as Python has them: {id: data_flow.NodeTime(ms, recomputed)}, in order.
py::dict timesToPython(std::vector<Document::NodeTime> const& times) {
    py::object const nodeTime = py::module_::import("data_flow").attr("NodeTime");
    py::dict result;
    for (Document::NodeTime const& t : times)
        result[py::str(t.id)] = nodeTime(t.milliseconds, t.recomputed);
    return result;
}

//! A Graph as Python holds it: shared by the Python object and the jobs running on it.
class GraphCore {
public:
    explicit GraphCore(std::unique_ptr<Graph> graph)
        : graph_(std::move(graph)) {}

    //! The graph, for a use that must not overlap an evaluation.
    Graph& graph() {
        if (running_.load() || busyJob())
            throw Error("the graph is being evaluated; wait for its job first");
        return *graph_;
    }
    Graph& graphWhileRunning() { return *graph_; }

    void setJob(std::shared_ptr<Job> const& job) { job_ = job; }

    //! Evaluates on the calling thread without the GIL; the times of its nodes.
    py::dict run() {
        Graph& graph = this->graph();
        running_ = true;
        try {
            py::gil_scoped_release release;
            graph.run();
        } catch (...) {
            running_ = false;
            throw;
        }
        running_ = false;
        return times();
    }

    //! The times of the last evaluation that completed, synchronous or not.
    py::dict times() { return timesToPython(graph().times()); }

    Node& node(std::string const& id) {
        if (Node* node = graph().node(id))
            return *node;
        throw Document::DocumentError("/id", "the graph has no node \"" + id + "\"");
    }

private:
    bool busyJob() const;

    std::unique_ptr<Graph> graph_;
    std::atomic<bool> running_{false};
    std::weak_ptr<Job> job_;
};

// The jobs whose evaluation runs, to cancel at interpreter exit, and the job threads not ended
// yet, which the exit waits for: a graph one of them lets go of needs the interpreter to go.
std::mutex gJobsLock;
std::condition_variable gThreadEnded;
std::set<Job*> gRunning;
std::size_t gThreads = 0;

/** One asynchronous evaluation of a graph, on a thread of its own that runs the graph's
    evaluation on the scheduler and reports its progress. The thread holds the job, the job holds
    the graph: whatever Python drops first, both live until the evaluation is over. */
class Job : public std::enable_shared_from_this<Job> {
public:
    static std::shared_ptr<Job> start(std::shared_ptr<GraphCore> core, py::object callback) {
        core->graph(); // refuses a graph that is being evaluated
        std::shared_ptr<Job> job(new Job(std::move(core), std::move(callback)));
        job->core_->setJob(job);
        {
            std::lock_guard<std::mutex> lock(gJobsLock);
            gRunning.insert(job.get());
            ++gThreads;
        }
        std::lock_guard<std::mutex> lock(job->lock_); // the body starts once thread_ is set
        job->thread_ = std::thread([self = job]() mutable {
            self->body();
            {
                std::lock_guard<std::mutex> lock(gJobsLock);
                gRunning.erase(self.get());
            }
            self.reset(); // the last share may go here, and the graph with it
            std::lock_guard<std::mutex> lock(gJobsLock);
            --gThreads;
            gThreadEnded.notify_all();
        });
        return job;
    }

    ~Job() {
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach(); // the thread let go of the last share; it ends right after
            } else {
                std::optional<py::gil_scoped_release> release;
                if (PyGILState_Check())
                    release.emplace();
                thread_.join();
            }
        }
    }

    //! True once the evaluation and the completion callback are over; raises the evaluation's
    //! failure. Without the GIL while it waits. Inside the callback it does not wait for it.
    bool wait(std::optional<double> timeout) {
        bool const inCallback = std::this_thread::get_id() == thread_.get_id();
        {
            py::gil_scoped_release release;
            std::unique_lock<std::mutex> lock(lock_);
            auto over = [&] { return inCallback ? finished_ : settled_; };
            if (!timeout)
                changed_.wait(lock, over);
            else if (!changed_.wait_for(lock, std::chrono::duration<double>(*timeout), over))
                return false;
        }
        if (error_)
            std::rethrow_exception(error_);
        return true;
    }

    //! Stops the evaluation before its next node starts; nothing once the evaluation is over
    //! (a cancel that came later would stop the graph's next evaluation instead).
    void cancel() {
        std::lock_guard<std::mutex> lock(lock_);
        if (!finished_)
            core_->graphWhileRunning().cancel();
    }
    bool finished() const {
        std::lock_guard<std::mutex> lock(lock_);
        return finished_;
    }
    //! False when the evaluation was cancelled before it completed.
    bool completed() const { return completed_.load(); }
    py::tuple progress() const { return py::make_tuple(nodes_.load(), items_.load()); }
    //! The times of its nodes once it is over (none when cancelled or failed); None before.
    py::object times() const {
        std::unique_lock<std::mutex> lock(lock_);
        if (!finished_)
            return py::none();
        lock.unlock(); // never written again
        return timesToPython(times_);
    }

private:
    Job(std::shared_ptr<GraphCore> core, py::object callback)
        : core_(std::move(core))
        , callback_(callback.is_none() ? py::object() : std::move(callback)) {}

    void body() {
        { std::lock_guard<std::mutex> started(lock_); }
        Document::RunOptions options;
        options.async = true;
        options.onProgress = [this](Document::RunProgress const& p) {
            nodes_ = p.nodesDone;
            items_ = p.itemsDone;
        };
        Graph& graph = core_->graphWhileRunning();
        std::exception_ptr error;
        bool completed = false;
        try {
            completed = graph.run(options);
        } catch (...) {
            error = std::current_exception();
        }
        {
            // Under the lock that cancel() takes, so that no cancel lands once this is over.
            std::lock_guard<std::mutex> lock(lock_);
            error_ = error;
            completed_ = completed;
            times_ = graph.times(); // kept: the graph's next evaluation replaces its own
            finished_ = true;
            changed_.notify_all();
        }
        if (callback_) {
            py::gil_scoped_acquire gil;
            try {
                callback_(shared_from_this());
            } catch (py::error_already_set& e) {
                e.discard_as_unraisable("the completion callback of a data_flow job");
            }
            callback_ = py::object();
        }
        setFlag(settled_);
    }

    void setFlag(bool& flag) {
        std::lock_guard<std::mutex> lock(lock_);
        flag = true;
        changed_.notify_all();
    }

    std::shared_ptr<GraphCore> core_;
    py::object callback_;
    std::thread thread_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool finished_ = false; // the evaluation is over
    bool settled_ = false;  // and so is the completion callback
    std::exception_ptr error_;
    std::vector<Document::NodeTime> times_; // written with finished_, under lock_
    std::atomic<bool> completed_{false};
    std::atomic<std::size_t> nodes_{0};
    std::atomic<std::size_t> items_{0};
};

bool GraphCore::busyJob() const {
    std::shared_ptr<Job> job = job_.lock();
    return job && !job->finished();
}

//! At interpreter exit: every job is cancelled and waited for before Python goes away.
void shutdown() {
    py::gil_scoped_release release;
    std::unique_lock<std::mutex> lock(gJobsLock);
    for (Job* job : gRunning)
        job->cancel();
    gThreadEnded.wait(lock, [] { return gThreads == 0; });
}

template <class Connectors>
py::list ports(Node& node, std::size_t count, Connectors get) {
    py::list result;
    for (std::size_t i = 0; i < count; ++i) {
        auto const* connector = get(node, i);
        result.append(
            py::make_tuple(connector->name().c_str(), Document::typeName(connector->datatype())));
    }
    return result;
}

std::shared_ptr<GraphCore> wrap(std::unique_ptr<Graph> graph) {
    return std::make_shared<GraphCore>(std::move(graph));
}

void bindGraph(py::module_& m) {
    using Core = std::shared_ptr<GraphCore>;
    py::class_<GraphCore, Core>(m, "GraphCore")
        .def(py::init([] { return wrap(std::make_unique<Graph>()); }))
        .def_static("from_json",
                    [](std::string const& text) { return wrap(Graph::fromString(text)); })
        .def_static("load", [](std::string const& path) { return wrap(Graph::loadFile(path)); })
        .def("to_json", [](GraphCore& g) { return g.graph().toString(); })
        .def("save", [](GraphCore& g, std::string const& path) { g.graph().saveFile(path); })
        .def("to_dot",
             [](GraphCore& g) {
                 std::ostringstream out;
                 g.graph().writeDot(out);
                 return out.str();
             })
        .def("add", [](GraphCore& g, py::handle kind,
                       std::string const& id) { g.graph().add(toJson(kind), id); })
        .def("remove", [](GraphCore& g, std::string const& id) { g.graph().remove(id); })
        .def("connect", [](GraphCore& g, std::string const& from,
                           std::string const& to) { g.graph().connect(from, to); })
        .def("disconnect", [](GraphCore& g, std::string const& to) { g.graph().disconnect(to); })
        .def("drive", [](GraphCore& g, std::string const& id,
                         std::string const& name) { g.graph().drive(id, name); })
        .def_property(
            "sink", [](GraphCore& g) { return g.graph().sink(); },
            [](GraphCore& g, std::string const& id) { g.graph().setSink(id); })
        .def_property(
            "meta", [](GraphCore& g) { return toPython(g.graph().meta()); },
            [](GraphCore& g, py::handle meta) { g.graph().meta() = toJson(meta); })
        .def("ids", [](GraphCore& g) { return g.graph().ids(); })
        .def("kind",
             [](GraphCore& g, std::string const& id) { return kindRecord(g.graph().kind(id)); })
        .def("driven", [](GraphCore& g, std::string const& id) { return g.graph().driven(id); })
        .def("inputs",
             [](GraphCore& g, std::string const& id) {
                 Node& node = g.node(id);
                 return ports(node, node.numberOfInputs(),
                              [](Node& n, std::size_t i) { return n.input(i); });
             })
        .def("outputs",
             [](GraphCore& g, std::string const& id) {
                 Node& node = g.node(id);
                 return ports(node, node.numberOfOutputs(),
                              [](Node& n, std::size_t i) { return n.output(i); });
             })
        .def("output_value",
             [](GraphCore& g, std::string const& id, std::string const& name) {
                 OutputConnector* output = g.node(id).output(String(name.c_str()));
                 if (output == nullptr)
                     throw py::key_error(name);
                 return typeOf(output->datatype()).outputValue(*output);
             })
        .def("parameters",
             [](GraphCore& g, std::string const& id) {
                 std::vector<std::string> names;
                 for (auto const& p : g.node(id).parameters())
                     names.emplace_back(p->name().c_str());
                 return names;
             })
        .def("parameter",
             [](GraphCore& g, std::string const& id, std::string const& name) {
                 g.graph().parameter(id, name); // the document's refusal of an unknown name
                 ParameterBase const& p = *g.node(id).parameter(String(name.c_str()));
                 return typeOf(p.datatype()).parameterValue(p);
             })
        .def("set_parameter",
             [](GraphCore& g, std::string const& id, std::string const& name, py::handle value) {
                 g.graph().setParameter(id, name, toJson(value));
             })
        .def("run", &GraphCore::run)
        .def("times", &GraphCore::times)
        .def("run_async",
             [](Core const& g, py::object callback) { return Job::start(g, std::move(callback)); });

    py::class_<Job, std::shared_ptr<Job>>(m, "Job")
        .def("wait", &Job::wait, py::arg("timeout") = py::none())
        .def("cancel", &Job::cancel)
        .def_property_readonly("progress", &Job::progress)
        .def_property_readonly("times", &Job::times)
        .def_property_readonly("done", &Job::finished)
        .def_property_readonly("completed", &Job::completed);
}

} // namespace
} // namespace data_flow_python

PYBIND11_MODULE(_native, m) {
    using namespace data_flow_python;
    m.doc() = "The native part of data_flow; use the data_flow package.";
    // Up for the whole life of the process: values handed to Python may outlive every graph.
    Mirel::Core::Library::initialize();
    if (!Library::isInitialized())
        Library::initialize();
    py::register_exception_translator(&translate);

    m.def("load_plugin", &loadPlugin, py::arg("path"));
    m.def("plugins", [] {
        std::lock_guard<std::mutex> lock(gPluginsLock);
        return gPlugins;
    });
    m.def("kinds", &kinds);
    m.def("catalogue", [] { return toPython(Document::catalogueToJson()); });
    m.def("types", &typeNames);
    m.def("live_allocations", &Mirel::Core::liveAllocations);
    m.def("shutdown", &shutdown);

    py::class_<ParameterDeclaration>(m, "ParameterDeclaration")
        .def(py::init<std::string, std::string, py::object, py::object, py::object, std::string>());
    m.def("register_kind", &registerKind);
    bindGraph(m);
}
