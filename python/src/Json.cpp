#include "Json.h"

namespace data_flow_python {

using Mirel::DataFlow::Document::Json;

Json toJson(py::handle value) {
    // Kept for good: a static object would be released after the interpreter is gone.
    static py::handle const numpy = py::module_::import("numpy").release();
    if (value.is_none())
        return nullptr;
    if (py::isinstance<py::bool_>(value) || py::isinstance(value, numpy.attr("bool_")))
        return value.cast<bool>();
    if (py::isinstance<py::int_>(value) || py::isinstance(value, numpy.attr("integer"))) {
        py::int_ number(py::reinterpret_borrow<py::object>(value));
        if (number < py::int_(0))
            return number.cast<long long>();
        try {
            return number.cast<unsigned long long>();
        } catch (py::cast_error const&) {
            throw py::value_error(py::str(number).cast<std::string>() + " is too large");
        }
    }
    if (py::isinstance<py::float_>(value) || py::isinstance(value, numpy.attr("floating")))
        return value.cast<double>();
    if (py::isinstance<py::str>(value))
        return value.cast<std::string>();
    if (py::isinstance(value, numpy.attr("ndarray")))
        return toJson(value.attr("tolist")());
    if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
        Json array = Json::array();
        for (py::handle item : value)
            array.push_back(toJson(item));
        return array;
    }
    if (py::isinstance<py::dict>(value)) {
        Json object = Json::object();
        for (auto item : value.cast<py::dict>())
            object[py::str(item.first).cast<std::string>()] = toJson(item.second);
        return object;
    }
    throw py::value_error("cannot use " + py::repr(value).cast<std::string>() + " as a value");
}

py::object toPython(Json const& value) {
    switch (value.type()) {
    case Json::value_t::null:
        return py::none();
    case Json::value_t::boolean:
        return py::bool_(value.get<bool>());
    case Json::value_t::number_integer:
        return py::int_(value.get<long long>());
    case Json::value_t::number_unsigned:
        return py::int_(value.get<unsigned long long>());
    case Json::value_t::number_float:
        return py::float_(value.get<double>());
    case Json::value_t::string:
        return py::str(value.get_ref<std::string const&>());
    case Json::value_t::array: {
        py::list list;
        for (Json const& item : value)
            list.append(toPython(item));
        return std::move(list);
    }
    case Json::value_t::object: {
        py::dict dict;
        for (auto const& [key, item] : value.items())
            dict[py::str(key)] = toPython(item);
        return std::move(dict);
    }
    default: // binary and discarded values never come out of a document
        return py::none();
    }
}

} // namespace data_flow_python
