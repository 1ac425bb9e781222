#include "Values.h"

#include "core/Memory.h"
#include "document/Values.h"

#include <boost/make_shared.hpp>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>
#include <type_traits>
#include <vector>

namespace data_flow_python {
namespace {

[[noreturn]] void refuse(py::handle value, char const* type) {
    throw py::value_error("cannot use " + py::repr(value).cast<std::string>() + " as a " + type +
                          " value");
}

// A value type is a scalar, a small fixed array (the core vectors and matrices), a vector of
// floats or of float tuples, or a string; the form is found from the type's shape, so that no
// conversion is written per type.
template <class T, class = void>
struct HasMatrix : std::false_type {};
template <class T>
struct HasMatrix<T, std::void_t<decltype(T::m)>> : std::true_type {};

template <class T, class = void>
struct IsFloatVector : std::false_type {};
template <class T>
struct IsFloatVector<T, std::void_t<typename T::value_type>>
    : std::integral_constant<bool, !std::is_same<T, String>::value> {};

//! int, unsigned int, unsigned long, float, bool: Python numbers, range-checked by pybind11.
template <class T>
struct ScalarForm {
    static py::object toPython(T const& value) {
        if constexpr (std::is_same<T, float>::value) {
            // The shortest decimal that reads back as this float, as documents write it: 0.05
            // rather than the 0.05000000074505806 a plain widening gives.
            char text[32];
            *std::to_chars(text, text + sizeof(text) - 1, value).ptr = '\0';
            return py::float_(std::strtod(text, nullptr));
        }
        return py::cast(value);
    }
    static T fromPython(py::handle value, char const* type) {
        try {
            if constexpr (std::is_same<T, bool>::value) {
                // Only real booleans: 2 or 0.5 would otherwise pass as True.
                if (!py::isinstance<py::bool_>(value) &&
                    !py::isinstance(value, py::module_::import("numpy").attr("bool_")))
                    refuse(value, type);
            }
            return value.cast<T>();
        } catch (py::cast_error const&) {
            refuse(value, type);
        }
    }
};

//! The core vectors (int2 ... float4) and matrices (float2x2 ... float4x4): small numpy arrays.
template <class T>
struct FixedForm {
    template <class U = T>
    static auto element(int) -> std::remove_all_extents_t<decltype(U::m)>;
    template <class U = T>
    static auto element(long) -> decltype(U::x);
    using Element = decltype(element(0));
    static std::vector<py::ssize_t> shape() {
        if constexpr (HasMatrix<T>::value)
            return {std::extent<decltype(T::m)>::value, std::extent<decltype(T::m)>::value};
        else
            return {py::ssize_t(sizeof(T) / sizeof(Element))};
    }
    static_assert(std::is_trivially_copyable<T>::value, "copied as raw elements");

    static py::object toPython(T const& value) {
        py::array_t<Element> array(shape());
        std::memcpy(array.mutable_data(), &value, sizeof(T));
        return std::move(array);
    }
    static T fromPython(py::handle value, char const* type) {
        auto array = py::array_t<Element, py::array::c_style | py::array::forcecast>::ensure(value);
        std::vector<py::ssize_t> expected = shape();
        if (!array || array.ndim() != py::ssize_t(expected.size()) ||
            !std::equal(expected.begin(), expected.end(), array.shape())) {
            PyErr_Clear();
            refuse(value, type);
        }
        T result;
        std::memcpy(static_cast<void*>(&result), array.data(), sizeof(T));
        return result;
    }
};

//! FloatVector (n,) and FloatNVector (n, N): read-only views that share the value's cell.
template <class T>
struct VectorForm {
    static constexpr py::ssize_t kWidth = sizeof(typename T::value_type) / sizeof(float);

    static py::object view(boost::shared_ptr<T const> cell) {
        static float const empty = 0.0f; // numpy would allocate for a null pointer
        auto* share = new boost::shared_ptr<T const>(std::move(cell));
        py::capsule base(share,
                         [](void* p) { delete static_cast<boost::shared_ptr<T const>*>(p); });
        T const& value = **share;
        void const* data = value.empty() ? &empty : static_cast<void const*>(value.data());
        std::vector<py::ssize_t> shape{py::ssize_t(value.size())};
        if (kWidth > 1)
            shape.push_back(kWidth);
        py::array array(py::dtype::of<float>(), shape, data, base);
        py::detail::array_proxy(array.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
        return std::move(array);
    }
    static T fromPython(py::handle value, char const* type) {
        auto array = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(value);
        if (!array || array.ndim() != (kWidth > 1 ? 2 : 1) ||
            (kWidth > 1 && array.shape(1) != kWidth)) {
            PyErr_Clear();
            refuse(value, type);
        }
        T result(std::size_t(array.shape(0)));
        if (!result.empty())
            std::memcpy(static_cast<void*>(result.data()), array.data(),
                        result.size() * sizeof(typename T::value_type));
        return result;
    }
};

struct StringForm {
    static py::object toPython(String const& value) { return py::str(value.data(), value.size()); }
    static String fromPython(py::handle value, char const* type) {
        if (!py::isinstance<py::str>(value))
            refuse(value, type);
        std::string text = value.cast<std::string>();
        return String(text.data(), text.size());
    }
};

template <class T>
using Form = std::conditional_t<
    std::is_same<T, String>::value, StringForm,
    std::conditional_t<IsFloatVector<T>::value, VectorForm<T>,
                       std::conditional_t<std::is_class<T>::value, FixedForm<T>, ScalarForm<T>>>>;

//! A shared cell for Python: views share it, the other forms read it once.
template <class T>
py::object cellToPython(boost::shared_ptr<T const> cell) {
    if constexpr (IsFloatVector<T>::value)
        return VectorForm<T>::view(std::move(cell));
    else
        return Form<T>::toPython(*cell);
}

//! What a connector carries: its cell when it has one, otherwise (bound data, a pointer that
//! someone else owns) a copy, so that the Python value never outlives storage it does not own.
template <class T>
py::object carried(void const* data, boost::shared_ptr<T> const& cell) {
    if (data == nullptr)
        return py::none();
    if (cell.get() == data)
        return cellToPython<T>(cell);
    return cellToPython<T>(boost::make_shared<T const>(*static_cast<T const*>(data)));
}

template <class T>
struct IsInterval : std::false_type {};
#define DATA_FLOW_PYTHON_INTERVAL(T)                                                               \
    template <>                                                                                    \
    struct IsInterval<T> : std::true_type {};
DATA_FLOW_INTERVAL_VALUE_TYPES(DATA_FLOW_PYTHON_INTERVAL)
#undef DATA_FLOW_PYTHON_INTERVAL

template <class T>
TypeOps opsFor() {
    using namespace Mirel::DataFlow;
    TypeOps ops;
    ops.name = Document::typeName(typeid(T));
    ops.mangled = ParameterBase::type_name(typeid(T));
    ops.makeInput = [](String const& name, Node* node) -> InputConnector* {
        return MIREL_NEW ConstInput<T>(name, node);
    };
    ops.makeOutput = [](String const& name, Node* node) -> OutputConnector* {
        return MIREL_NEW OutputTemplate<T>(name, node);
    };
    ops.makeParameter = [](std::string const& name, std::string const& description,
                           py::handle value, py::handle min,
                           py::handle max) -> boost::shared_ptr<ParameterBase> {
        char const* type = typeOf(typeid(T)).name.c_str();
        String sName(name.data(), name.size());
        String sDescription(description.data(), description.size());
        T initial = Form<T>::fromPython(value, type);
        if constexpr (IsInterval<T>::value) {
            if (!min.is_none() || !max.is_none()) {
                if (min.is_none() || max.is_none())
                    throw py::value_error("parameter \"" + name + "\" needs both bounds or none");
                return IntervalParameter<T>::create(initial, Form<T>::fromPython(min, type),
                                                    Form<T>::fromPython(max, type), sName,
                                                    sDescription);
            }
        } else if (!min.is_none() || !max.is_none()) {
            throw py::value_error("parameter \"" + name + "\" of type " + type +
                                  " cannot have bounds");
        }
        return Parameter<T>::create(initial, sName, sDescription);
    };
    ops.inputValue = [](InputConnector const& input) {
        auto const& typed = static_cast<InputTemplate<T> const&>(input);
        return carried<T>(typed.data(), typed.cell());
    };
    ops.outputValue = [](OutputConnector const& output) {
        auto const& typed = static_cast<OutputTemplate<T> const&>(output);
        return carried<T>(typed.data(), typed.cell());
    };
    ops.parameterValue = [](ParameterBase const& parameter) {
        return cellToPython<T>(boost::make_shared<T const>(parameter.valueAs<T>()));
    };
    ops.publish = [](OutputConnector& output, py::handle value) {
        T converted = Form<T>::fromPython(value, typeOf(typeid(T)).name.c_str());
        static_cast<OutputTemplate<T>&>(output).setData(MIREL_NEW T(std::move(converted)));
    };
    return ops;
}

std::vector<TypeOps> const& table() {
#define DATA_FLOW_PYTHON_OPS(T) opsFor<T>(),
    static std::vector<TypeOps> const types{DATA_FLOW_VALUE_TYPES(DATA_FLOW_PYTHON_OPS)};
#undef DATA_FLOW_PYTHON_OPS
    return types;
}

} // namespace

TypeOps const* findType(std::string const& name) {
    for (TypeOps const& ops : table())
        if (ops.name == name)
            return &ops;
    return nullptr;
}

TypeOps const& typeOf(std::type_info const& type) {
    char const* mangled = ParameterBase::type_name(type);
    for (TypeOps const& ops : table())
        if (ops.mangled == mangled)
            return ops;
    throw std::logic_error(std::string("not a value type: ") + mangled);
}

std::vector<std::string> typeNames() {
    std::vector<std::string> names;
    for (TypeOps const& ops : table())
        names.push_back(ops.name);
    return names;
}

} // namespace data_flow_python
