#pragma once
/** Values of the 22 value types as Python sees them, and the per-type operations the module
    needs at run time (typed connectors and parameters made by type name, values read and
    published through a type-erased connector).

    Scalars become Python numbers, String a str, the small vectors and matrices small numpy
    arrays (copies). FloatVector and the FloatNVector types become read-only numpy views of the
    value itself: the array's base holds a share of the value's reference-counted cell, so the
    array stays valid after the graph is re-run or gone. Everything is generated from the one
    type list (DATA_FLOW_VALUE_TYPES); nothing is written per type. */

#include "data_flow/ValueTypes.h"
#include "data_flow/connectors/Inputs.h"
#include "data_flow/connectors/Outputs.h"
#include "data_flow/parameters/Parameter.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <boost/shared_ptr.hpp>

#include <string>

namespace data_flow_python {

namespace py = pybind11;
using Mirel::String;
using Mirel::DataFlow::InputConnector;
using Mirel::DataFlow::Node;
using Mirel::DataFlow::OutputConnector;
using Mirel::DataFlow::ParameterBase;

//! What the module can do with a value type it knows only by name or by type_info.
struct TypeOps {
    std::string name;    //!< as documents and Python show it: "float", "int2", "FloatVector"...
    std::string mangled; //!< ParameterBase::type_name of the type, for lookups across modules
    //! A new ConstInput or OutputTemplate of the type from the tagged new; the caller owns it.
    InputConnector* (*makeInput)(String const& name, Node* node);
    OutputConnector* (*makeOutput)(String const& name, Node* node);
    //! A parameter of the type from Python values; with both bounds an interval parameter.
    //! Throws ValueError naming the parameter when a value does not convert.
    boost::shared_ptr<ParameterBase> (*makeParameter)(std::string const& name,
                                                      std::string const& description,
                                                      py::handle value, py::handle min,
                                                      py::handle max);
    //! The value an input or output carries, or None. Needs the GIL.
    py::object (*inputValue)(InputConnector const& input);
    py::object (*outputValue)(OutputConnector const& output);
    //! A parameter's current value. Needs the GIL.
    py::object (*parameterValue)(ParameterBase const& parameter);
    //! Publishes a Python value on a typed output (a copy). Throws ValueError when it does not
    //! convert. Needs the GIL.
    void (*publish)(OutputConnector& output, py::handle value);
};

//! The operations of the type called name ("float", "Float2Vector"...); null when none is.
TypeOps const* findType(std::string const& name);
//! The operations of the type with this type_info (compared by mangled name); never null for
//! a connector or parameter of the library.
TypeOps const& typeOf(std::type_info const& type);
//! The names of the 22 types, in the order of the type list.
std::vector<std::string> typeNames();

} // namespace data_flow_python
