#include "PythonKinds.h"

#include "Values.h"

#include "core/Exceptions.h"
#include "core/Memory.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/nodes/Node.h"

#include <memory>

namespace data_flow_python {
namespace {

using namespace Mirel::DataFlow;

String toString(std::string const& text) {
    return String(text.data(), text.size());
}

struct Port {
    std::string name;
    TypeOps const* type;
};

//! What a registered Python kind declared, shared by its factory and its nodes.
struct KindDeclaration {
    py::object cls;
    std::string clientID;
    std::vector<Port> inputs;
    std::vector<Port> outputs;
    std::vector<ParameterDeclaration> parameters;
};

struct Destroy {
    template <class T>
    void operator()(T* p) const noexcept {
        Mirel::Core::destroy(p);
    }
};

TypeOps const& requireType(std::string const& type, std::string const& what) {
    if (TypeOps const* ops = findType(type))
        return *ops;
    std::string known;
    for (std::string const& name : typeNames())
        known += (known.empty() ? "" : ", ") + name;
    throw py::value_error(what + " has the unknown type \"" + type + "\" (types: " + known + ")");
}

//! The innermost frame of a traceback: where the failure was raised.
std::pair<std::string, int> innermost(py::handle trace) {
    if (trace.is_none())
        return {"", 0};
    py::object frame = py::reinterpret_borrow<py::object>(trace);
    while (!frame.attr("tb_next").is_none())
        frame = frame.attr("tb_next");
    return {py::str(frame.attr("tb_frame").attr("f_code").attr("co_filename")),
            frame.attr("tb_lineno").cast<int>()};
}

//! A Python failure as the library reports failures: message, file and line, clonable so that
//! it crosses from a scheduler thread to the host like any other.
Mirel::LogicalException failure(py::error_already_set& e) {
    py::object lines =
        py::module_::import("traceback").attr("format_exception")(e.type(), e.value(), e.trace());
    std::string message = py::str("").attr("join")(lines).cast<std::string>();
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    auto [file, line] = innermost(e.trace());
    return Mirel::LogicalException(file.c_str(), line, message.c_str());
}

class PythonNode : public Node {
public:
    explicit PythonNode(std::shared_ptr<KindDeclaration const> declared)
        : Node(toString(declared->clientID))
        , declared_(std::move(declared)) {
        for (Port const& port : declared_->inputs) {
            inputs_.emplace_back(port.type->makeInput(toString(port.name), this));
            addInput(inputs_.back().get());
        }
        for (Port const& port : declared_->outputs) {
            outputs_.emplace_back(port.type->makeOutput(toString(port.name), this));
            addOutput(outputs_.back().get());
        }
        for (ParameterDeclaration const& p : declared_->parameters)
            parameters().insert(requireType(p.type, p.name)
                                    .makeParameter(p.name, p.description, p.value, p.min, p.max));
        instance_ = declared_->cls();
    }

    ~PythonNode() override {
        // Graphs die wherever Python lets go of them; the instance needs the GIL to go, unless
        // the interpreter is already gone, and then it is left alone.
        if (!Py_IsInitialized()) {
            instance_.release();
            return;
        }
        py::gil_scoped_acquire gil;
        instance_ = py::object();
    }

protected:
    void internalProcess() override {
        py::gil_scoped_acquire gil;
        try {
            py::dict inputs;
            for (std::size_t i = 0; i < inputs_.size(); ++i)
                inputs[py::str(declared_->inputs[i].name)] =
                    declared_->inputs[i].type->inputValue(*inputs_[i]);
            py::dict params;
            for (auto const& parameter : parameters())
                params[py::str(parameter->name().c_str())] =
                    typeOf(parameter->datatype()).parameterValue(*parameter);
            publish(instance_.attr("process")(inputs, params));
        } catch (py::error_already_set& e) {
            throw failure(e);
        } catch (py::builtin_exception const& e) {
            // A result that does not fit an output: reported at the kind's process method.
            py::object code = declared_->cls.attr("process").attr("__code__");
            throw Mirel::LogicalException(
                py::str(code.attr("co_filename")).cast<std::string>().c_str(),
                code.attr("co_firstlineno").cast<int>(), e.what());
        }
    }

private:
    void publish(py::object const& result) {
        std::vector<Port> const& outputs = declared_->outputs;
        bool const single = outputs.size() == 1 && !py::isinstance<py::dict>(result);
        if (!single && !py::isinstance<py::dict>(result))
            throw py::value_error("process() of \"" + declared_->clientID +
                                  "\" must return a dict of its outputs");
        for (std::size_t i = 0; i < outputs.size(); ++i) {
            py::object value = single ? result : result.attr("get")(outputs[i].name);
            if (value.is_none())
                throw py::value_error("process() of \"" + declared_->clientID +
                                      "\" gave no value for output \"" + outputs[i].name + "\"");
            try {
                outputs[i].type->publish(*outputs_[i], value);
            } catch (py::value_error const& e) {
                throw py::value_error("output \"" + outputs[i].name + "\": " + e.what());
            }
        }
    }

    std::shared_ptr<KindDeclaration const> declared_;
    std::vector<std::unique_ptr<InputConnector, Destroy>> inputs_;
    std::vector<std::unique_ptr<OutputConnector, Destroy>> outputs_;
    py::object instance_;
};

class PythonKindFactory : public NodeFactory {
public:
    explicit PythonKindFactory(std::shared_ptr<KindDeclaration const> declared)
        : declared_(std::move(declared)) {}

    //! The catalogue may be asked from any thread, with or without the GIL.
    Node* create(NodeTargetType) override {
        py::gil_scoped_acquire gil;
        return MIREL_NEW PythonNode(declared_);
    }

private:
    std::shared_ptr<KindDeclaration const> declared_;
};

} // namespace

void registerKind(py::object cls, std::string const& vendor, std::string const& nameSpace,
                  std::string const& name, unsigned int version, std::string const& clientID,
                  std::string const& description, std::vector<PortDeclaration> const& inputs,
                  std::vector<PortDeclaration> const& outputs,
                  std::vector<ParameterDeclaration> const& parameters) {
    auto declared = std::make_shared<KindDeclaration>();
    declared->cls = std::move(cls);
    declared->clientID = clientID;
    for (auto const& [port, type] : inputs)
        declared->inputs.push_back({port, &requireType(type, "input \"" + port + "\"")});
    for (auto const& [port, type] : outputs)
        declared->outputs.push_back({port, &requireType(type, "output \"" + port + "\"")});
    for (ParameterDeclaration const& p : parameters) // a bad default or bound fails here, once
        requireType(p.type, "parameter \"" + p.name + "\"")
            .makeParameter(p.name, p.description, p.value, p.min, p.max);
    declared->parameters = parameters;

    NodeLibrarian::Instance()->add(
        MIREL_NEW PythonKindFactory(std::move(declared)),
        MIREL_NEW NodeMetaData(toString(name), toString(nameSpace), toString(vendor), version,
                               toString(description), toString(clientID)));
}

} // namespace data_flow_python
