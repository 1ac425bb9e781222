#include "document/Values.h"

#include "core/Memory.h"
#include "data_flow/ValueTypes.h"
#include "data_flow/connectors/Connector.h"
#include "data_flow/librarian/NodeLibrarian.h"
#include "data_flow/librarian/NodeMetaData.h"
#include "data_flow/nodes/Node.h"
#include "data_flow/parameters/Parameter.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>

namespace Mirel {
namespace DataFlow {
namespace Document {

namespace {

template <class T>
struct Tag {
    using type = T;
};

// ---- Per-type encoding. Scalars are written out; the composite types (small vectors,
// matrices, vectors) are built from the scalars' codecs by their shape.

template <class T, class = void>
struct HasX : std::false_type {};
template <class T>
struct HasX<T, std::void_t<decltype(std::declval<T>().x)>> : std::true_type {};
template <class T, class = void>
struct HasZ : std::false_type {};
template <class T>
struct HasZ<T, std::void_t<decltype(std::declval<T>().z)>> : std::true_type {};
template <class T, class = void>
struct HasW : std::false_type {};
template <class T>
struct HasW<T, std::void_t<decltype(std::declval<T>().w)>> : std::true_type {};

template <class T>
struct IsVector : std::false_type {};
template <class E, class A>
struct IsVector<std::vector<E, A>> : std::true_type {};

template <class T>
constexpr bool kIsSmallVector = HasX<T>::value;
template <class T>
constexpr bool kIsMatrix =
    std::is_base_of<Matrix<2>, T>::value || std::is_base_of<Matrix<3>, T>::value ||
    std::is_base_of<Matrix<4>, T>::value;

template <class V>
constexpr int components() {
    return 2 + int(HasZ<V>::value) + int(HasW<V>::value);
}
template <class V>
auto& component(V& v, int i) {
    if constexpr (HasW<V>::value)
        if (i == 3)
            return v.w;
    if constexpr (HasZ<V>::value)
        if (i == 2)
            return v.z;
    return i == 0 ? v.x : v.y;
}
template <class M>
constexpr int rows() {
    return sizeof(M::m) / sizeof(M::m[0]);
}

//! A decoding failure: the pointer steps below the value and the message.
struct Failure {
    std::string below;
    std::string message;
};

std::string shortDump(Json const& value) {
    std::string text = value.dump();
    if (text.size() > 60)
        text = text.substr(0, 57) + "...";
    return text;
}

Failure expected(char const* what, Json const& got) {
    return {"", std::string("expected ") + what + ", got " + shortDump(got)};
}

Json encodeFloat(float f) {
    if (std::isnan(f))
        return "nan";
    if (std::isinf(f))
        return f > 0 ? "inf" : "-inf";
    // The shortest text that reads back as this float, as a double: 0.1f is written 0.1, not
    // 0.10000000149011612. The exact double is the fallback should rounding ever disagree.
    char text[32];
    auto const result = std::to_chars(text, text + sizeof text, f);
    double const shortest = std::strtod(std::string(text, result.ptr).c_str(), nullptr);
    return float(shortest) == f && std::signbit(shortest) == std::signbit(f) ? shortest : double(f);
}

template <class T>
bool decodeInteger(Json const& j, T& out, Failure& failure) {
    if (!j.is_number_integer()) {
        failure = expected("an integer", j);
        return false;
    }
    bool inRange;
    if (j.is_number_unsigned()) {
        auto const v = j.get<std::uint64_t>();
        inRange = v <= std::uint64_t(std::numeric_limits<T>::max());
        out = T(v);
    } else {
        auto const v = j.get<std::int64_t>();
        if (std::is_unsigned<T>::value && v < 0) {
            failure = {"", std::to_string(v) + " is negative; the type is unsigned"};
            return false;
        }
        inRange = v >= std::int64_t(std::numeric_limits<T>::min()) &&
                  (v < 0 || std::uint64_t(v) <= std::uint64_t(std::numeric_limits<T>::max()));
        out = T(v);
    }
    if (!inRange)
        failure = {"", j.dump() + " is out of range"};
    return inRange;
}

bool decodeFloat(Json const& j, float& out, Failure& failure) {
    if (j.is_string()) {
        std::string const& s = j.get_ref<std::string const&>();
        if (s == "nan" || s == "inf" || s == "-inf") {
            out = s == "nan" ? std::numeric_limits<float>::quiet_NaN()
                             : (s == "inf" ? 1.0f : -1.0f) * std::numeric_limits<float>::infinity();
            return true;
        }
    }
    if (!j.is_number()) {
        failure = expected("a number (or \"nan\", \"inf\", \"-inf\")", j);
        return false;
    }
    double const d = j.get<double>();
    // Up to half a step above the largest float still rounds to it (3.4028235e38 does).
    double const limit = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
    if (!(std::fabs(d) < limit)) {
        failure = {"", j.dump() + " is out of the range of float"};
        return false;
    }
    out = float(d);
    return true;
}

template <class T>
Json encode(T const& v);
template <class T>
bool decode(Json const& j, T& out, Failure& failure);

//! Decodes the array j of exactly n elements (or any length when n < 0) with element(i, j[i]).
template <class F>
bool decodeArray(Json const& j, int n, char const* what, Failure& failure, F&& element) {
    if (!j.is_array() || (n >= 0 && j.size() != std::size_t(n))) {
        failure = expected(what, j);
        return false;
    }
    for (std::size_t i = 0; i < j.size(); ++i) {
        if (!element(i, j[i])) {
            failure.below = "/" + std::to_string(i) + failure.below;
            return false;
        }
    }
    return true;
}

template <class T>
Json encode(T const& v) {
    if constexpr (std::is_same<T, float>::value) {
        return encodeFloat(v);
    } else if constexpr (std::is_same<T, String>::value) {
        return std::string(v.data(), v.size());
    } else if constexpr (std::is_arithmetic<T>::value) {
        return v;
    } else if constexpr (kIsSmallVector<T>) {
        Json array = Json::array();
        for (int i = 0; i < components<T>(); ++i)
            array.push_back(encode(component(const_cast<T&>(v), i)));
        return array;
    } else if constexpr (kIsMatrix<T>) {
        Json array = Json::array();
        for (int r = 0; r < rows<T>(); ++r) {
            Json row = Json::array();
            for (int c = 0; c < rows<T>(); ++c)
                row.push_back(encodeFloat(v.m[r][c]));
            array.push_back(std::move(row));
        }
        return array;
    } else {
        static_assert(IsVector<T>::value, "not a value type");
        Json array = Json::array();
        for (auto const& element : v)
            array.push_back(encode(element));
        return array;
    }
}

template <class T>
bool decode(Json const& j, T& out, Failure& failure) {
    if constexpr (std::is_same<T, float>::value) {
        return decodeFloat(j, out, failure);
    } else if constexpr (std::is_same<T, bool>::value) {
        if (!j.is_boolean())
            failure = expected("true or false", j);
        else
            out = j.get<bool>();
        return j.is_boolean();
    } else if constexpr (std::is_integral<T>::value) {
        return decodeInteger(j, out, failure);
    } else if constexpr (std::is_same<T, String>::value) {
        if (!j.is_string()) {
            failure = expected("a string", j);
            return false;
        }
        std::string const& s = j.get_ref<std::string const&>();
        out.assign(s.data(), s.size());
        return true;
    } else if constexpr (kIsSmallVector<T>) {
        static std::string const what = "an array of " + std::to_string(components<T>());
        return decodeArray(j, components<T>(), what.c_str(), failure,
                           [&](std::size_t i, Json const& e) {
                               return decode(e, component(out, int(i)), failure);
                           });
    } else if constexpr (kIsMatrix<T>) {
        static std::string const what = "an array of " + std::to_string(rows<T>()) + " rows";
        return decodeArray(
            j, rows<T>(), what.c_str(), failure, [&](std::size_t r, Json const& row) {
                static std::string const rowWhat = "a row of " + std::to_string(rows<T>());
                return decodeArray(row, rows<T>(), rowWhat.c_str(), failure,
                                   [&](std::size_t c, Json const& e) {
                                       return decodeFloat(e, out.m[r][c], failure);
                                   });
            });
    } else {
        static_assert(IsVector<T>::value, "not a value type");
        out.clear();
        return decodeArray(j, -1, "an array", failure, [&](std::size_t, Json const& e) {
            typename T::value_type element{};
            if (!decode(e, element, failure))
                return false;
            out.push_back(element);
            return true;
        });
    }
}

// ---- Bounds: compared component by component for the numeric types; a bool bound and a
// FloatVector bound (whose length is not the value's) describe, they do not limit.

template <class T>
bool anyBelow(T const& a, T const& b) {
    if constexpr (std::is_same<T, bool>::value) {
        return false;
    } else if constexpr (std::is_arithmetic<T>::value) {
        return a < b;
    } else if constexpr (kIsSmallVector<T>) {
        for (int i = 0; i < components<T>(); ++i)
            if (anyBelow(component(const_cast<T&>(a), i), component(const_cast<T&>(b), i)))
                return true;
        return false;
    } else if constexpr (kIsMatrix<T>) {
        for (int r = 0; r < rows<T>(); ++r)
            for (int c = 0; c < rows<T>(); ++c)
                if (a.m[r][c] < b.m[r][c])
                    return true;
        return false;
    } else {
        return false;
    }
}

//! True for the value types that also come as IntervalParameter<T>, from the type list.
template <class T>
constexpr bool kHasInterval = false;
#define DATA_FLOW_DOCUMENT_HAS_INTERVAL(T)                                                         \
    template <>                                                                                    \
    constexpr bool kHasInterval<T> = true;
DATA_FLOW_INTERVAL_VALUE_TYPES(DATA_FLOW_DOCUMENT_HAS_INTERVAL)
#undef DATA_FLOW_DOCUMENT_HAS_INTERVAL

//! The interval parameter behind parameter, or null for a plain one.
template <class T>
IntervalParameter<T> const* interval(ParameterBase const& parameter) {
    if constexpr (kHasInterval<T>)
        return parameter.isInterval() ? static_cast<IntervalParameter<T> const*>(&parameter)
                                      : nullptr;
    else
        return nullptr;
}

// ---- Dispatch over the type list.

//! Calls f(Tag<T>()) for the value type T whose decorated name is `name`; false when none is.
template <class F>
bool dispatch(char const* name, F&& f) {
#define DATA_FLOW_DOCUMENT_DISPATCH(T)                                                             \
    if (std::strcmp(name, ParameterBase::type_name(typeid(T))) == 0) {                             \
        f(Tag<T>());                                                                               \
        return true;                                                                               \
    }
    DATA_FLOW_VALUE_TYPES(DATA_FLOW_DOCUMENT_DISPATCH)
#undef DATA_FLOW_DOCUMENT_DISPATCH
    return false;
}

template <class T>
Parameter<T> const& typed(ParameterBase const& parameter) {
    return static_cast<Parameter<T> const&>(parameter);
}

template <class T>
void checkTyped(ParameterBase const& parameter, Json const& value, std::string const& at,
                T& decoded, Problems& problems) {
    Failure failure;
    if (!decode(value, decoded, failure)) {
        problems.push_back({at + failure.below, failure.message});
        return;
    }
    IntervalParameter<T> const* bounded = interval<T>(parameter);
    if (bounded == nullptr)
        return;
    if (anyBelow(decoded, bounded->lowerBound()))
        problems.push_back({at, shortDump(value) + " is below the minimum " +
                                    encode(bounded->lowerBound()).dump()});
    else if (anyBelow(bounded->upperBound(), decoded))
        problems.push_back({at, shortDump(value) + " is above the maximum " +
                                    encode(bounded->upperBound()).dump()});
}

} // namespace

std::string typeName(std::type_info const& type) {
    std::string name;
    char const* decorated = ParameterBase::type_name(type);
#define DATA_FLOW_DOCUMENT_TYPE_NAME(T)                                                            \
    if (name.empty() && std::strcmp(decorated, ParameterBase::type_name(typeid(T))) == 0) {        \
        name = #T;                                                                                 \
    }
    DATA_FLOW_VALUE_TYPES(DATA_FLOW_DOCUMENT_TYPE_NAME)
#undef DATA_FLOW_DOCUMENT_TYPE_NAME
    std::string const prefix = "::Mirel::";
    return name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
}

std::string typeName(ParameterBase const& parameter) {
    return typeName(parameter.datatype());
}

Json valueToJson(ParameterBase const& parameter) {
    Json result;
    dispatch(parameter.data_type_name(), [&](auto tag) {
        result = encode(typed<typename decltype(tag)::type>(parameter).value());
    });
    return result;
}

Json describeParameter(ParameterBase const& parameter) {
    Json result = {{"name", std::string(parameter.name().c_str())}, {"type", typeName(parameter)}};
    dispatch(parameter.data_type_name(), [&](auto tag) {
        using T = typename decltype(tag)::type;
        result["default"] = encode(typed<T>(parameter).defaultValue());
        if (IntervalParameter<T> const* bounded = interval<T>(parameter)) {
            result["min"] = encode(bounded->lowerBound());
            result["max"] = encode(bounded->upperBound());
        }
    });
    result["description"] = std::string(parameter.description().c_str());
    return result;
}

Problems checkValue(ParameterBase const& parameter, Json const& value, std::string const& at) {
    Problems problems;
    bool const known = dispatch(parameter.data_type_name(), [&](auto tag) {
        typename decltype(tag)::type decoded{};
        checkTyped(parameter, value, at, decoded, problems);
    });
    if (!known)
        problems.push_back({at, "the parameter's type is not a value type"});
    return problems;
}

void setValue(ParameterBase& parameter, Json const& value, std::string const& at) {
    Problems problems;
    dispatch(parameter.data_type_name(), [&](auto tag) {
        using T = typename decltype(tag)::type;
        T decoded{};
        checkTyped(parameter, value, at, decoded, problems);
        if (problems.empty())
            static_cast<Parameter<T>&>(parameter).setValue(decoded);
    });
    if (!problems.empty())
        throw DocumentError(std::move(problems));
}

Json parseCommandLineValue(std::string const& text) {
    try {
        return Json::parse(text);
    } catch (Json::exception const&) {
        return Json(text);
    }
}

std::string pointerStep(std::string const& name) {
    std::string step;
    for (char c : name) {
        if (c == '~')
            step += "~0";
        else if (c == '/')
            step += "~1";
        else
            step += c;
    }
    return step;
}

namespace {

Json describeConnector(Connector const& connector) {
    return {{"name", std::string(connector.name().c_str())},
            {"type", typeName(connector.datatype())}};
}

struct NodeDestroyer {
    void operator()(Node* node) const noexcept { Core::destroy(node); }
};

} // namespace

Json catalogueToJson() {
    Json kinds = Json::array();
    NodeLibrarian& librarian = *NodeLibrarian::Instance();
    for (NodeMetaData const* record : librarian) {
        Json kind = {{"vendor", record->vendor().c_str()},
                     {"namespace", record->nameSpace().c_str()},
                     {"name", record->name().c_str()}};
        if (record->hasVersion())
            kind["version"] = record->version();
        kind["clientID"] = record->clientID().c_str();
        kind["description"] = record->description().c_str();
        Json inputs = Json::array(), outputs = Json::array(), parameters = Json::array();
        std::unique_ptr<Node, NodeDestroyer> node(
            librarian.createNodeByMetadata(record, NodeTargetType(0)));
        if (node) {
            for (std::size_t i = 0; i < node->numberOfInputs(); ++i)
                inputs.push_back(describeConnector(*node->input(i)));
            for (std::size_t i = 0; i < node->numberOfOutputs(); ++i)
                outputs.push_back(describeConnector(*node->output(i)));
            for (auto const& parameter : node->parameters())
                parameters.push_back(describeParameter(*parameter));
        }
        kind["inputs"] = std::move(inputs);
        kind["outputs"] = std::move(outputs);
        kind["parameters"] = std::move(parameters);
        kinds.push_back(std::move(kind));
    }
    return {{"kinds", std::move(kinds)}};
}

} // namespace Document
} // namespace DataFlow
} // namespace Mirel
