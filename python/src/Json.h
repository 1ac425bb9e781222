#pragma once
/** Python values to and from the JSON values of graph documents, so that everything Python
    sets goes through the document library's checks and messages. Numbers, strings, booleans,
    None, lists, tuples, dicts, numpy arrays and numpy scalars are accepted. Needs the GIL. */

#include "document/Values.h"

#include <pybind11/pybind11.h>

namespace data_flow_python {

namespace py = pybind11;

//! The JSON value of a Python value; raises ValueError for anything else.
Mirel::DataFlow::Document::Json toJson(py::handle value);
//! The Python value of a JSON value: dicts, lists, str, int, float, bool, None.
py::object toPython(Mirel::DataFlow::Document::Json const& value);

} // namespace data_flow_python
