#pragma once
/** Parameter values as JSON, for the 22 value types of data_flow/ValueTypes.h.

    The encoding is the one graph documents use: integers range-checked (no negative value for
    the unsigned types), floats as numbers that read back as the same float with "nan", "inf"
    and "-inf" as strings, bools, arrays of 2 to 4 for the small vectors, arrays of rows for the
    matrices, arrays (of arrays) for the vector types and strings for String. Every conversion
    is generated from the type list, so a type added there is handled here too. */

#include "document/DocumentExport.h"
#include "document/Problems.h"

#include <nlohmann/json.hpp>

#include <string>
#include <typeinfo>

namespace Mirel {
namespace DataFlow {

class Connector;
class ParameterBase;

namespace Document {

//! The JSON value type of documents; objects keep their keys in insertion order.
using Json = nlohmann::ordered_json;

/** The type's name as documents, `dataflow inspect` and Python show it: "int", "unsigned long",
    "float3x3", "FloatVector", "String"; "" for a type that is not a value type. */
DATA_FLOW_DOCUMENT_API std::string typeName(std::type_info const& type);
//! typeName of the parameter's value type.
DATA_FLOW_DOCUMENT_API std::string typeName(ParameterBase const& parameter);

//! The parameter's current value, encoded as in documents.
DATA_FLOW_DOCUMENT_API Json valueToJson(ParameterBase const& parameter);

/** The parameter described as `inspect --json` lists it: name, type, default, min and max (for
    interval parameters only) and description. */
DATA_FLOW_DOCUMENT_API Json describeParameter(ParameterBase const& parameter);

/** Checks value against the parameter's type and, for an interval parameter, its bounds (a
    value outside them is refused, never clamped). The problems' pointers start with `at`, the
    place of the value in the caller's document. Changes nothing. */
DATA_FLOW_DOCUMENT_API Problems checkValue(ParameterBase const& parameter, Json const& value,
                                           std::string const& at = "");

/** Sets the parameter from value after checkValue's checks; throws DocumentError with the
    problems, leaving the parameter as it was. The dirty flags rise only on a real change. */
DATA_FLOW_DOCUMENT_API void setValue(ParameterBase& parameter, Json const& value,
                                     std::string const& at = "");

/** Reads a command-line value: JSON when the text is JSON ("8", "[1, 2]", "true", "\"x\""),
    otherwise the text itself as a JSON string, so that --set node.path=out.png works. */
DATA_FLOW_DOCUMENT_API Json parseCommandLineValue(std::string const& text);

/** The node catalogue as `dataflow inspect --json` prints it: {"kinds": [...]}, every kind in
    registration order with vendor, namespace, name, version (when it has one), clientID,
    description, its inputs and outputs (name, type) and its parameters (describeParameter).
    Makes one node of each kind to read them and destroys it again; the library must be up. */
DATA_FLOW_DOCUMENT_API Json catalogueToJson();

//! Escapes a name for use as one step of a JSON pointer ("~" -> "~0", "/" -> "~1").
DATA_FLOW_DOCUMENT_API std::string pointerStep(std::string const& name);

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
