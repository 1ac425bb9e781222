#pragma once
/** Node kinds written in Python: a class with declared inputs, outputs and parameters and a
    process(inputs, params) method, registered in the node catalogue like any C++ kind. Each
    node made from it holds one instance of the class; its evaluation takes the GIL, on whatever
    thread the controller runs it, and a Python exception becomes the node's failure with the
    traceback as its message. */

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <vector>

namespace data_flow_python {

namespace py = pybind11;

//! A connector declaration: name and value type name.
using PortDeclaration = std::pair<std::string, std::string>;

//! A parameter declaration: its value type name, default, bounds (None without) and description.
struct ParameterDeclaration {
    std::string name;
    std::string type;
    py::object value;
    py::object min;
    py::object max;
    std::string description;
};

/** Registers cls as a node kind with this metadata. Checks every declaration (known type
    names, defaults and bounds of their type) before anything is registered; a bad one raises
    ValueError naming it, a kind equal to a registered one raises the catalogue's error. The
    catalogue keeps the class alive for good. Needs the GIL. */
void registerKind(py::object cls, std::string const& vendor, std::string const& nameSpace,
                  std::string const& name, unsigned int version, std::string const& clientID,
                  std::string const& description, std::vector<PortDeclaration> const& inputs,
                  std::vector<PortDeclaration> const& outputs,
                  std::vector<ParameterDeclaration> const& parameters);

} // namespace data_flow_python
