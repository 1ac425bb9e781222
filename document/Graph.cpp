#include "document/Graph.h"

#include "core/Exceptions.h"
#include "core/Memory.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/controllers/GraphDot.h"
#include "data_flow/controllers/Trace.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/ParameterBase.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>

namespace Mirel {
namespace DataFlow {
namespace Document {

struct Graph::Entry {
    std::string id;
    Node* node = nullptr;
    NodeMetaData const* kind = nullptr; // the catalogue's record, alive while the library is up
    std::vector<std::pair<std::string, InputConnector*>> driven; // proxy inputs, owned
};

namespace {

std::string str(String const& s) {
    return std::string(s.data(), s.size());
}

std::string inQuotes(std::string const& s) {
    return Json(s).dump();
}

bool isValidId(std::string const& id) {
    auto const isStart = [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    };
    auto const isRest = [&](char c) { return isStart(c) || (c >= '0' && c <= '9') || c == '-'; };
    return !id.empty() && isStart(id[0]) && std::all_of(id.begin() + 1, id.end(), isRest);
}

//! Reports every key of object not in allowed, at `at`/key.
void checkKeys(Json const& object, std::vector<char const*> const& allowed, std::string const& at,
               Problems& problems) {
    for (auto const& item : object.items()) {
        if (std::find_if(allowed.begin(), allowed.end(),
                         [&](char const* key) { return item.key() == key; }) != allowed.end())
            continue;
        std::string list;
        for (char const* key : allowed)
            list += (list.empty() ? "" : ", ") + std::string(key);
        problems.push_back({at + "/" + pointerStep(item.key()),
                            "unknown key " + inQuotes(item.key()) + " (expected: " + list + ")"});
    }
}

//! The string at object[key], or a problem; absent keys are a problem only when required.
bool getString(Json const& object, char const* key, std::string const& at, Problems& problems,
               std::string& out, bool required = true) {
    auto it = object.find(key);
    if (it == object.end()) {
        if (required)
            problems.push_back({at, "missing key " + inQuotes(key)});
        return false;
    }
    if (!it->is_string()) {
        problems.push_back({at + "/" + key, "expected a string, got " + it->dump()});
        return false;
    }
    out = it->get<std::string>();
    return true;
}

std::string connectorNames(Node const& node, bool inputs) {
    std::string list;
    std::size_t const n = inputs ? node.numberOfInputs() : node.numberOfOutputs();
    for (std::size_t i = 0; i < n; ++i) {
        Connector const* c = inputs ? static_cast<Connector const*>(node.input(i)) : node.output(i);
        list += (i ? ", " : "") + str(c->name());
    }
    return list.empty() ? "none" : list;
}

std::string parameterNames(Node const& node) {
    std::string list;
    for (auto const& parameter : node.parameters())
        list += (list.empty() ? "" : ", ") + str(parameter->name());
    return list.empty() ? "none" : list;
}

std::string kindName(NodeMetaData const& kind) {
    return str(kind.vendor()) + "/" + str(kind.nameSpace()) + "/" + str(kind.name());
}

/** The catalogue record a document's "kind" names, or null with the problems added. A string
    is taken as a client identifier. */
NodeMetaData const* resolveKind(Json const& kind, std::string const& at, Problems& problems) {
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    if (kind.is_string()) {
        std::string const clientID = kind.get<std::string>();
        for (NodeMetaData const* record : librarian)
            if (str(record->clientID()) == clientID)
                return record;
        problems.push_back({at, "no registered kind with client identifier " + inQuotes(clientID)});
        return nullptr;
    }
    if (!kind.is_object()) {
        problems.push_back({at, "expected {\"clientID\": ...} or {\"vendor\", \"namespace\", "
                                "\"name\"}, got " +
                                    kind.dump()});
        return nullptr;
    }
    std::size_t const before = problems.size();
    checkKeys(kind, {"vendor", "namespace", "name", "version", "clientID"}, at, problems);
    std::string clientID;
    bool const hasClientID = getString(kind, "clientID", at, problems, clientID, false);
    bool const byMetadata = kind.contains("vendor") || kind.contains("namespace") ||
                            kind.contains("name") || kind.contains("version");
    if (!byMetadata) {
        if (!hasClientID) {
            if (problems.size() == before)
                problems.push_back({at, "missing key \"clientID\" (or \"vendor\", \"namespace\" "
                                        "and \"name\")"});
            return nullptr;
        }
        return problems.size() == before ? resolveKind(Json(clientID), at, problems) : nullptr;
    }
    std::string vendor, nameSpace, name;
    getString(kind, "vendor", at, problems, vendor);
    getString(kind, "namespace", at, problems, nameSpace);
    getString(kind, "name", at, problems, name);
    auto const version = kind.find("version");
    if (version != kind.end() &&
        !(version->is_number_unsigned() && version->get<std::uint64_t>() <= 0xffffffffu))
        problems.push_back({at + "/version", "expected a version number, got " + version->dump()});
    if (problems.size() != before)
        return nullptr;

    NodeMetaData const* chosen = nullptr;
    std::string registered;
    for (NodeMetaData const* record : librarian) {
        if (str(record->vendor()) != vendor || str(record->nameSpace()) != nameSpace ||
            str(record->name()) != name)
            continue;
        registered += (registered.empty() ? "" : ", ") +
                      (record->hasVersion() ? std::to_string(record->version()) : "none");
        bool const matches =
            version == kind.end()
                ? chosen == nullptr || chosen->version() < record->version()
                : record->hasVersion() && record->version() == version->get<std::uint64_t>();
        if (matches)
            chosen = record;
    }
    std::string const what = inQuotes(vendor + "/" + nameSpace + "/" + name);
    if (registered.empty()) {
        problems.push_back({at, "no registered kind " + what});
    } else if (chosen == nullptr) {
        problems.push_back({at + "/version", "version " + version->dump() + " of " + what +
                                                 " is not registered (registered: " + registered +
                                                 ")"});
    } else if (hasClientID && str(chosen->clientID()) != clientID) {
        problems.push_back({at + "/clientID", "client identifier " + inQuotes(clientID) +
                                                  " does not match the kind's " +
                                                  inQuotes(str(chosen->clientID()))});
        chosen = nullptr;
    }
    return chosen;
}

//! Splits "node.connector" at its first dot; false (with a problem) when it has no such form.
bool splitEnd(Json const& end, std::string const& at, Problems& problems, std::string& node,
              std::string& connector) {
    std::string const text = end.is_string() ? end.get<std::string>() : std::string();
    std::size_t const dot = text.find('.');
    if (!end.is_string() || dot == 0 || dot == std::string::npos || dot + 1 == text.size()) {
        problems.push_back({at, "expected \"node.connector\", got " + end.dump()});
        return false;
    }
    node = text.substr(0, dot);
    connector = text.substr(dot + 1);
    return true;
}

//! True when `target` is `from` or upstream of it (reachable through inputs).
bool dependsOn(Node const* from, Node const* target) {
    std::vector<Node const*> pending{from};
    std::set<Node const*> seen;
    while (!pending.empty()) {
        Node const* node = pending.back();
        pending.pop_back();
        if (node == target)
            return true;
        if (node == nullptr || !seen.insert(node).second)
            continue;
        for (std::size_t i = 0; i < node->numberOfInputs(); ++i)
            if (OutputConnector const* out = node->input(i)->connectedOutput())
                pending.push_back(out->node());
    }
    return false;
}

struct DestroyNode {
    void operator()(Node* node) const noexcept { Core::destroy(node); }
};

} // namespace

/** Builds a graph from a document, collecting every problem. Nodes are made as the document is
    read, since parameter types and connectors are known only from a node; on any problem the
    half-built graph is destroyed by its owner and nothing is kept. */
class Loader {
public:
    Loader(Graph& graph, Problems& problems)
        : graph_(graph)
        , problems_(problems) {}

    void load(Json const& document) {
        if (!document.is_object()) {
            problems_.push_back({"", "expected a graph document (a JSON object), got " +
                                         std::string(document.type_name())});
            return;
        }
        checkKeys(document, {"format", "version", "nodes", "links", "sink", "meta"}, "", problems_);
        std::string format;
        if (getString(document, "format", "", problems_, format) && format != kFormat)
            problems_.push_back(
                {"/format", "expected " + inQuotes(kFormat) + ", got " + inQuotes(format)});
        auto const version = document.find("version");
        if (version == document.end())
            problems_.push_back({"", "missing key \"version\""});
        else if (*version != kFormatVersion)
            problems_.push_back({"/version", "unsupported version " + version->dump() +
                                                 " (this build reads version " +
                                                 std::to_string(kFormatVersion) + ")"});
        if (problems_.empty() || document.contains("nodes"))
            nodes(array(document, "nodes", true));
        links(array(document, "links", false));
        if (auto const sink = document.find("sink"); sink != document.end()) {
            if (!sink->is_string())
                problems_.push_back({"/sink", "expected a node id, got " + sink->dump()});
            else
                setSink(sink->get<std::string>(), "/sink");
        }
        if (auto const meta = document.find("meta"); meta != document.end())
            graph_.meta_ = *meta;
    }

    //! Makes a node of kind named id; null, with the problems added, when it cannot.
    Graph::Entry* addNode(Json const& kind, Json const& id, std::string const& at) {
        std::size_t const before = problems_.size();
        std::string name;
        if (!id.is_string())
            problems_.push_back({at + "/id", "expected an id, got " + id.dump()});
        else if (!isValidId(name = id.get<std::string>()))
            problems_.push_back({at + "/id", "invalid id " + inQuotes(name) +
                                                 " (letters, digits, '_' and '-', not starting "
                                                 "with a digit or '-')"});
        else if (graph_.find(name) != nullptr)
            problems_.push_back({at + "/id", "duplicate id " + inQuotes(name)});
        NodeMetaData const* record = resolveKind(kind, at + "/kind", problems_);
        if (problems_.size() != before || record == nullptr)
            return nullptr;
        std::unique_ptr<Node, DestroyNode> node(
            NodeLibrarian::Instance()->createNodeByMetadata(record, NodeTargetType(0)));
        if (!node) {
            problems_.push_back(
                {at + "/kind", "the kind " + inQuotes(kindName(*record)) + " made no node"});
            return nullptr;
        }
        if (str(node->name()) != name) // renaming gives a new ordinal, even to the same name
            node->setName(String(name.c_str()));
        auto entry = std::make_unique<Graph::Entry>();
        entry->id = name;
        entry->kind = record;
        graph_.entries_.reserve(graph_.entries_.size() + 1);
        graph_.controller_->addNode(node.get());
        entry->node = node.release();
        graph_.entries_.push_back(std::move(entry));
        return graph_.entries_.back().get();
    }

    void drive(Graph::Entry& entry, std::string const& name, std::string const& at) {
        boost::shared_ptr<ParameterBase> parameter =
            entry.node->parameters().getParameter(String(name.c_str()));
        if (!parameter) {
            problems_.push_back({at, "unknown parameter " + inQuotes(name) +
                                         " (parameters: " + parameterNames(*entry.node) + ")"});
            return;
        }
        for (auto const& driven : entry.driven)
            if (driven.first == name) {
                problems_.push_back({at, "parameter " + inQuotes(name) + " is driven already"});
                return;
            }
        entry.driven.reserve(entry.driven.size() + 1);
        entry.driven.emplace_back(name, entry.node->convertToConnector(parameter.get()));
    }

    /** Links from to `to` after every check; the problems point at `at` + "/from", "/to" or at
        `at` itself. Ends on nodes that failed to build are skipped without a problem. */
    void link(Json const& from, Json const& to, std::string const& at) {
        std::string fromNode, fromName, toNode, toName;
        bool const fromOk = splitEnd(from, at + "/from", problems_, fromNode, fromName);
        bool const toOk = splitEnd(to, at + "/to", problems_, toNode, toName);
        if (!fromOk || !toOk)
            return;
        auto* out = static_cast<OutputConnector*>(end(fromNode, fromName, at + "/from", false));
        auto* in = static_cast<InputConnector*>(end(toNode, toName, at + "/to", true));
        if (out == nullptr || in == nullptr)
            return;
        std::string const fromText = inQuotes(fromNode + "." + fromName);
        std::string const toText = inQuotes(toNode + "." + toName);
        if (!ConnectorsAreCompatible(*out, *in)) {
            problems_.push_back({at, "cannot link " + typeName(out->datatype()) + " output " +
                                         fromText + " to " + typeName(in->datatype()) + " input " +
                                         toText});
        } else if (OutputConnector const* linked = in->connectedOutput()) {
            problems_.push_back({at + "/to", "input " + toText + " is linked already (from " +
                                                 endName(*linked) + ")"});
        } else if (InputConnector const* fed = out->connectedInput()) {
            problems_.push_back({at + "/from", "output " + fromText + " feeds " + endName(*fed) +
                                                   " already (an output feeds one input)"});
        } else if (dependsOn(out->node(), in->node())) {
            problems_.push_back(
                {at, "linking " + fromText + " to " + toText + " would close a cycle"});
        } else {
            Connect(*out, *in);
        }
    }

    void setSink(std::string const& id, std::string const& at) {
        if (!id.empty() && graph_.find(id) == nullptr) {
            if (unbuilt_.count(id) == 0)
                problems_.push_back({at, "no node with id " + inQuotes(id)});
            return;
        }
        graph_.sink_ = id;
        Graph::Entry* entry = graph_.find(id);
        graph_.controller_->setSinkNode(entry ? entry->node : nullptr);
    }

private:
    Json const& array(Json const& document, char const* key, bool required) {
        static Json const empty = Json::array();
        auto const it = document.find(key);
        if (it == document.end()) {
            if (required)
                problems_.push_back({"", "missing key " + inQuotes(key)});
            return empty;
        }
        if (!it->is_array()) {
            problems_.push_back({std::string("/") + key, "expected an array, got " + it->dump()});
            return empty;
        }
        return *it;
    }

    void nodes(Json const& list) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            std::string const at = "/nodes/" + std::to_string(i);
            Json const& item = list[i];
            if (!item.is_object()) {
                problems_.push_back({at, "expected a node object, got " + item.dump()});
                continue;
            }
            checkKeys(item, {"id", "kind", "parameters", "driven"}, at, problems_);
            for (char const* key : {"id", "kind"})
                if (!item.contains(key))
                    problems_.push_back({at, "missing key " + inQuotes(key)});
            if (!item.contains("id") || !item.contains("kind"))
                continue;
            Graph::Entry* entry = addNode(item["kind"], item["id"], at);
            if (entry == nullptr) {
                if (item["id"].is_string())
                    unbuilt_.insert(item["id"].get<std::string>());
                continue;
            }
            parameters(*entry, item, at);
            if (auto const driven = item.find("driven"); driven != item.end()) {
                if (!driven->is_array()) {
                    problems_.push_back({at + "/driven", "expected an array of parameter names, "
                                                         "got " +
                                                             driven->dump()});
                    continue;
                }
                for (std::size_t k = 0; k < driven->size(); ++k) {
                    std::string const where = at + "/driven/" + std::to_string(k);
                    if (!(*driven)[k].is_string())
                        problems_.push_back(
                            {where, "expected a parameter name, got " + (*driven)[k].dump()});
                    else
                        drive(*entry, (*driven)[k].get<std::string>(), where);
                }
            }
        }
    }

    void parameters(Graph::Entry& entry, Json const& item, std::string const& at) {
        auto const values = item.find("parameters");
        if (values == item.end())
            return;
        if (!values->is_object()) {
            problems_.push_back({at + "/parameters", "expected an object of parameter values, "
                                                     "got " +
                                                         values->dump()});
            return;
        }
        for (auto const& value : values->items()) {
            std::string const where = at + "/parameters/" + pointerStep(value.key());
            boost::shared_ptr<ParameterBase> parameter =
                entry.node->parameters().getParameter(String(value.key().c_str()));
            if (!parameter) {
                problems_.push_back({where, "unknown parameter " + inQuotes(value.key()) +
                                                " (parameters: " + parameterNames(*entry.node) +
                                                ")"});
                continue;
            }
            Problems found = checkValue(*parameter, value.value(), where);
            if (found.empty())
                setValue(*parameter, value.value(), where);
            problems_.insert(problems_.end(), found.begin(), found.end());
        }
    }

    void links(Json const& list) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            std::string const at = "/links/" + std::to_string(i);
            Json const& item = list[i];
            if (!item.is_object()) {
                problems_.push_back(
                    {at, "expected {\"from\": ..., \"to\": ...}, got " + item.dump()});
                continue;
            }
            checkKeys(item, {"from", "to"}, at, problems_);
            if (!item.contains("from") || !item.contains("to")) {
                problems_.push_back(
                    {at, "missing key " + inQuotes(item.contains("from") ? "to" : "from")});
                continue;
            }
            link(item["from"], item["to"], at);
        }
    }

    //! The input or output "node.name", or null with a problem.
    Connector* end(std::string const& id, std::string const& name, std::string const& at,
                   bool input) {
        Graph::Entry* entry = graph_.find(id);
        if (entry == nullptr) {
            if (unbuilt_.count(id) == 0)
                problems_.push_back({at, "node " + inQuotes(id) + " does not exist"});
            return nullptr;
        }
        Connector* connector =
            input ? static_cast<Connector*>(entry->node->input(String(name.c_str())))
                  : entry->node->output(String(name.c_str()));
        if (connector == nullptr) {
            problems_.push_back({at, std::string(input ? "input " : "output ") +
                                         inQuotes(id + "." + name) + " does not exist (" +
                                         (input ? "inputs: " : "outputs: ") +
                                         connectorNames(*entry->node, input) + ")"});
            return nullptr;
        }
        return connector;
    }

    std::string endName(Connector const& connector) const {
        for (auto const& entry : graph_.entries_)
            if (entry->node == connector.node())
                return inQuotes(entry->id + "." + str(connector.name()));
        return inQuotes(str(connector.name()));
    }

    Graph& graph_;
    Problems& problems_;
    std::set<std::string> unbuilt_; // ids of nodes that failed: their links are not reported
};

Graph::Graph()
    : controller_(std::make_unique<Controller>())
    , cancelled_(false) {}

Graph::~Graph() {
    for (auto const& entry : entries_)
        entry->node->disconnect();
    controller_.reset();
    for (auto const& entry : entries_)
        destroyEntry(*entry);
}

void Graph::destroyEntry(Entry& entry) noexcept {
    for (auto& driven : entry.driven)
        Core::destroy(driven.second);
    entry.driven.clear();
    Core::destroy(entry.node);
    entry.node = nullptr;
}

std::unique_ptr<Graph> Graph::fromJson(Json const& document) {
    auto graph = std::make_unique<Graph>();
    Problems problems;
    Loader(*graph, problems).load(document);
    if (!problems.empty())
        throw DocumentError(std::move(problems)); // the graph goes with everything it made
    return graph;
}

std::unique_ptr<Graph> Graph::fromString(std::string const& text) {
    Json document;
    try {
        document = Json::parse(text);
    } catch (Json::exception const& e) { // a syntax error, or a number out of range
        // "[json.exception.parse_error.101] parse error at line 2, column 5: ..." without the tag.
        std::string message = e.what();
        std::size_t const tag = message.find("] ");
        if (tag != std::string::npos)
            message = message.substr(tag + 2);
        throw DocumentError("", "not JSON: " + message);
    }
    return fromJson(document);
}

std::unique_ptr<Graph> Graph::load(std::istream& in) {
    std::ostringstream text;
    text << in.rdbuf();
    return fromString(text.str());
}

std::unique_ptr<Graph> Graph::loadFile(std::string const& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw DocumentError("", "cannot read " + inQuotes(path));
    return load(in);
}

Json Graph::toJson() const {
    std::map<Node const*, std::string> ids;
    for (auto const& entry : entries_)
        ids[entry->node] = entry->id;
    Json nodes = Json::array(), links = Json::array();
    for (auto const& entry : entries_) {
        NodeMetaData const& kind = *entry->kind;
        Json kindJson = {{"vendor", str(kind.vendor())},
                         {"namespace", str(kind.nameSpace())},
                         {"name", str(kind.name())}};
        if (kind.hasVersion())
            kindJson["version"] = kind.version();
        kindJson["clientID"] = str(kind.clientID());
        Json parameters = Json::object();
        for (auto const& parameter : entry->node->parameters())
            parameters[str(parameter->name())] = valueToJson(*parameter);
        Json node = {{"id", entry->id},
                     {"kind", std::move(kindJson)},
                     {"parameters", std::move(parameters)}};
        if (!entry->driven.empty()) {
            Json driven = Json::array();
            for (auto const& d : entry->driven)
                driven.push_back(d.first);
            node["driven"] = std::move(driven);
        }
        nodes.push_back(std::move(node));
        for (std::size_t i = 0; i < entry->node->numberOfInputs(); ++i) {
            InputConnector const* in = entry->node->input(i);
            OutputConnector const* out = in->connectedOutput();
            if (out == nullptr || ids.count(out->node()) == 0)
                continue;
            links.push_back({{"from", ids[out->node()] + "." + str(out->name())},
                             {"to", entry->id + "." + str(in->name())}});
        }
    }
    Json document = {{"format", kFormat},
                     {"version", kFormatVersion},
                     {"nodes", std::move(nodes)},
                     {"links", std::move(links)}};
    if (!sink_.empty())
        document["sink"] = sink_;
    if (!meta_.is_null())
        document["meta"] = meta_;
    return document;
}

std::string Graph::toString() const {
    return toJson().dump(2) + "\n";
}

void Graph::save(std::ostream& out) const {
    out << toString();
}

void Graph::saveFile(std::string const& path) const {
    std::ofstream out(path, std::ios::binary);
    save(out);
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + inQuotes(path));
}

Graph::Entry* Graph::find(std::string const& id) const {
    for (auto const& entry : entries_)
        if (entry->id == id)
            return entry.get();
    return nullptr;
}

Graph::Entry& Graph::require(std::string const& id, std::string const& at) const {
    Entry* entry = find(id);
    if (entry == nullptr)
        throw DocumentError(at, "no node with id " + inQuotes(id));
    return *entry;
}

namespace {
void throwIfAny(Problems& problems) {
    if (!problems.empty())
        throw DocumentError(std::move(problems));
}
} // namespace

Node& Graph::add(Json const& kind, std::string const& id) {
    Problems problems;
    Entry* entry = Loader(*this, problems).addNode(kind, Json(id), "");
    throwIfAny(problems);
    return *entry->node;
}

void Graph::remove(std::string const& id) {
    Entry& entry = require(id, "/id");
    entry.node->disconnect();
    controller_->removeNode(entry.node);
    if (sink_ == id) {
        sink_.clear();
        controller_->setSinkNode(nullptr);
    }
    destroyEntry(entry);
    entries_.erase(std::find_if(entries_.begin(), entries_.end(),
                                [&](auto const& e) { return e.get() == &entry; }));
}

void Graph::connect(std::string const& from, std::string const& to) {
    Problems problems;
    Loader(*this, problems).link(Json(from), Json(to), "");
    throwIfAny(problems);
}

void Graph::disconnect(std::string const& to) {
    std::string id, name;
    Problems problems;
    splitEnd(Json(to), "/to", problems, id, name);
    throwIfAny(problems);
    InputConnector* in = require(id, "/to").node->input(String(name.c_str()));
    if (in == nullptr)
        throw DocumentError("/to", "input " + inQuotes(to) + " does not exist");
    in->disconnect();
}

void Graph::drive(std::string const& id, std::string const& parameter) {
    Entry& entry = require(id, "/id");
    Problems problems;
    Loader(*this, problems).drive(entry, parameter, "/parameter");
    throwIfAny(problems);
}

void Graph::setSink(std::string const& id) {
    Problems problems;
    Loader(*this, problems).setSink(id, "/sink");
    throwIfAny(problems);
}

namespace {
boost::shared_ptr<ParameterBase> findParameter(Node& node, std::string const& id,
                                               std::string const& name) {
    boost::shared_ptr<ParameterBase> parameter =
        node.parameters().getParameter(String(name.c_str()));
    if (!parameter)
        throw DocumentError("/parameters/" + pointerStep(name),
                            "unknown parameter " + inQuotes(name) + " of " + inQuotes(id) +
                                " (parameters: " + parameterNames(node) + ")");
    return parameter;
}
} // namespace

Json Graph::parameter(std::string const& id, std::string const& name) const {
    return valueToJson(*findParameter(*require(id, "/id").node, id, name));
}

void Graph::setParameter(std::string const& id, std::string const& name, Json const& value) {
    setValue(*findParameter(*require(id, "/id").node, id, name), value);
}

void Graph::setFromCommandLine(std::string const& target, std::string const& text) {
    std::size_t const dot = target.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == target.size())
        throw DocumentError("", "expected NODE.PARAMETER, got " + inQuotes(target));
    setParameter(target.substr(0, dot), target.substr(dot + 1), parseCommandLineValue(text));
}

std::vector<std::string> Graph::ids() const {
    std::vector<std::string> result;
    for (auto const& entry : entries_)
        result.push_back(entry->id);
    return result;
}

Node* Graph::node(std::string const& id) const {
    Entry* entry = find(id);
    return entry ? entry->node : nullptr;
}

NodeMetaData const& Graph::kind(std::string const& id) const {
    return *require(id, "/id").kind;
}

std::vector<std::string> Graph::driven(std::string const& id) const {
    std::vector<std::string> names;
    for (auto const& d : require(id, "/id").driven)
        names.push_back(d.first);
    return names;
}

void Graph::writeDot(std::ostream& out) const {
    DataFlow::writeDot(out, *controller_);
}

std::vector<Graph::Entry*> Graph::evaluationOrder() const {
    // Producers before consumers, inputs in order: the order the controller's visit takes.
    std::map<Node const*, Entry*> byNode;
    for (auto const& entry : entries_)
        byNode[entry->node] = entry.get();
    std::vector<Entry*> order;
    std::set<Entry*> done;
    std::vector<std::pair<Entry*, std::size_t>> stack;
    if (Entry* sink = find(sink_))
        stack.push_back({sink, 0});
    while (!stack.empty()) {
        auto& [entry, next] = stack.back();
        if (next < entry->node->numberOfInputs()) {
            OutputConnector const* out = entry->node->input(next++)->connectedOutput();
            auto const producer = out ? byNode.find(out->node()) : byNode.end();
            if (producer != byNode.end() && done.count(producer->second) == 0)
                stack.push_back({producer->second, 0});
            continue;
        }
        if (done.insert(entry).second)
            order.push_back(entry);
        stack.pop_back();
    }
    return order;
}

void Graph::cancel() noexcept {
    cancelled_ = true;
    controller_->cancelProcess();
}

namespace {
EvaluationError describeFailure(std::string const& id) {
    try {
        throw;
    } catch (SharedException const& e) {
        // A slice's failure in an asynchronous run crosses threads twice: a share of a share.
        std::exception const* wrapped = e.wrapped().get();
        while (auto const* shared = dynamic_cast<SharedException const*>(wrapped))
            wrapped = shared->wrapped().get();
        if (auto const* logical = dynamic_cast<LogicalException const*>(wrapped))
            return EvaluationError(id, logical->message(), logical->file(), logical->line());
        return EvaluationError(id, e.what(), "", 0);
    } catch (LogicalException const& e) {
        return EvaluationError(id, e.message(), e.file(), e.line());
    } catch (std::exception const& e) {
        return EvaluationError(id, e.what(), "", 0);
    }
}
} // namespace

namespace {
/** Times every node the controller's visit processes and remembers the first that failed,
    passing each event on to the observer that was attached before (a trace recorder, say).
    Nodes the visit does not process kept their results. */
class NodeTimer : public EvaluationObserver {
public:
    using Clock = std::chrono::steady_clock;

    explicit NodeTimer(EvaluationObserver* next)
        : next_(next) {}

    void evaluationStarted(Controller const& controller, unsigned thread) override {
        if (next_)
            next_->evaluationStarted(controller, thread);
    }
    void evaluationEnded(Controller const& controller, unsigned thread, teOutcome outcome,
                         char const* failure) override {
        if (next_)
            next_->evaluationEnded(controller, thread, outcome, failure);
    }
    void nodeStarted(Node const& node, unsigned thread) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            started_[&node] = Clock::now();
        }
        if (next_)
            next_->nodeStarted(node, thread);
    }
    void nodeEnded(Node const& node, unsigned thread, char const* failure) override {
        if (next_)
            next_->nodeEnded(node, thread, failure);
        std::lock_guard<std::mutex> lock(mutex_);
        milliseconds_[&node] =
            std::chrono::duration<double, std::milli>(Clock::now() - started_[&node]).count();
        if (failure != nullptr && failed_ == nullptr)
            failed_ = &node;
    }
    void sliceStarted(Node const& node, std::size_t begin, std::size_t end,
                      unsigned thread) override {
        if (next_)
            next_->sliceStarted(node, begin, end, thread);
    }
    void sliceEnded(Node const& node, std::size_t begin, std::size_t end, unsigned thread,
                    char const* failure) override {
        if (next_)
            next_->sliceEnded(node, begin, end, thread, failure);
    }

    //! The node's time, or null when the visit did not process it. Only after the evaluation.
    double const* milliseconds(Node const* node) const {
        auto const found = milliseconds_.find(node);
        return found == milliseconds_.end() ? nullptr : &found->second;
    }
    Node const* failed() const { return failed_; }

private:
    EvaluationObserver* next_;
    std::mutex mutex_;
    std::map<Node const*, Clock::time_point> started_;
    std::map<Node const*, double> milliseconds_;
    Node const* failed_ = nullptr;
};

//! Detaches the timer and gives the earlier observer back, however the run ends.
struct ObserverScope {
    Controller& controller;
    EvaluationObserver* earlier;
    ~ObserverScope() { controller.setObserver(earlier); }
};
} // namespace

void Graph::evaluate(RunOptions const& options, std::size_t nodesTotal) {
    if (!options.async) {
        controller_->process();
        return;
    }
    controller_->processAsync();
    while (!controller_->wait(0.05, 0.005))
        if (options.onProgress) {
            Controller::Progress const now = controller_->progress();
            options.onProgress({now.nodesProcessed, nodesTotal, now.itemsProcessed});
        }
    controller_->checkException();
}

bool Graph::run(RunOptions const& options) {
    Entry* sink = find(sink_);
    if (sink == nullptr)
        throw DocumentError("/sink", "the graph has no sink to evaluate from");
    std::vector<Entry*> const order = evaluationOrder();
    // A cancel() that came after the last run had checked for one is still on the controller:
    // without this, it would stop the visit below before it starts.
    controller_->wait(0.0, 0.0);
    // Dirty flags flow downstream, so every node is updated after its producers; the flush then
    // drops what the changes reach and the visit stops at the results that are still valid.
    for (Entry* entry : order)
        entry->node->updateDirtyState();
    controller_->flushGraph();
    cancelled_ = false;
    times_.clear();

    // One evaluation from the sink, as the controller visits it (parallel branches included).
    NodeTimer timer(controller_->observer());
    ObserverScope scope{*controller_, controller_->observer()};
    controller_->setObserver(&timer);
    try {
        evaluate(options, order.size());
    } catch (...) {
        Node const* failed = timer.failed();
        auto const culprit = std::find_if(order.begin(), order.end(),
                                          [&](Entry* entry) { return entry->node == failed; });
        EvaluationError failure = describeFailure((culprit != order.end() ? *culprit : sink)->id);
        controller_->wait(0.0, 0.0); // re-arms the task group a failed slice cancelled
        controller_->flushGraph();
        throw failure;
    }
    if (cancelled_) {
        controller_->wait(0.0, 0.0); // re-arms the controller and flushes the graph
        controller_->flushGraph();
        return false;
    }
    for (Entry* entry : order) {
        double const* ms = timer.milliseconds(entry->node);
        times_.push_back({entry->id, ms ? *ms : 0.0, ms != nullptr});
    }
    if (options.onProgress) {
        Controller::Progress const done = controller_->progress();
        options.onProgress({done.nodesProcessed, order.size(), done.itemsProcessed});
    }
    return true;
}

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
