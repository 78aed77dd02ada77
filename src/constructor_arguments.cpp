#include "constructor_arguments.hpp"

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "py_ref.hpp"
#include "py_text.hpp"

namespace pelvar {
namespace {

// A constructor's parameters: the first `positional` passable by position or
// keyword, the rest by keyword only; the first `required` must be given.
struct Parameters {
    const char* function;  // as the messages name it
    std::span<const char* const> names;
    std::size_t required;
    std::size_t positional;
};

constexpr std::array<const char*, 2> event_reader_names{"path", "reader_type"};
constexpr std::array<const char*, 8> batch_reader_names{"source",      "reader_type", "max_events", "max_bytes",
                                                        "compression", "columns",     "start",      "stop"};
constexpr Parameters event_reader_parameters{"EventReader.__new__()", event_reader_names, 2, 2};
constexpr Parameters batch_reader_parameters{"BatchReader.__new__()", batch_reader_names, 2, 4};
constexpr std::size_t most_parameters = 8;

// Fills `values` (null where an optional parameter is not given), or sets
// TypeError with Python's own wording.
bool bind(const Parameters& p, PyObject* args, PyObject* kwargs, PyObject** values) {
    const auto count = p.names.size();
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (static_cast<std::size_t>(positional) > p.positional) {
        if (p.required == p.positional) {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd were given", p.function,
                         p.positional, positional);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd were given",
                         p.function, p.required, p.positional, positional);
        }
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        values[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t cursor = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &cursor, &key, &value)) {
            std::size_t index = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) {
                    index = i;
                }
            }
            if (index == count) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.function, key);
                return false;
            }
            if (values[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.function,
                             p.names[index]);
                return false;
            }
            values[index] = value;
        }
    }
    std::string missing;
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < p.required; ++i) {
        if (values[i] == nullptr) {
            missing += (missing_count == 0 ? "'" : "' and '") + std::string(p.names[i]);
            ++missing_count;
        }
    }
    if (missing_count != 0) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s'", p.function,
                     missing_count, missing_count == 1 ? "" : "s", missing.c_str());
        return false;
    }
    return true;
}

std::optional<std::string_view> as_utf8(PyObject* value, const char* parameter) {
    if (!PyUnicode_Check(value)) {
        std::string type_name = type_name_of(value);
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as 'str'", parameter,
                     type_name.c_str());
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        return std::nullopt;
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

// Sets the TypeError of a limit that is no integer; nullopt.
std::nullopt_t not_an_integer(PyObject* value, const char* parameter) {
    std::string type_name = type_name_of(value);
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be cast as 'int'", parameter,
                 type_name.c_str());
    return std::nullopt;
}

// An integer of at least `least`: an int or anything with __index__ (a
// NumPy integer, as range() takes it), but not a bool, which is no count.
// One beyond 64 bits is as good as no limit.
std::optional<std::uint64_t> as_count(PyObject* value, const char* parameter, long long least) {
    if (!PyIndex_Check(value) || PyBool_Check(value)) {
        return not_an_integer(value, parameter);
    }
    PyRef integer = PyRef::steal(PyNumber_Index(value));
    if (!integer) {
        // An __index__ that refuses with TypeError says it is no integer.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return not_an_integer(value, parameter);
        }
        return std::nullopt;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (number == -1 && overflow == 0 && PyErr_Occurred()) {
        return std::nullopt;
    }
    if (overflow < 0 || (overflow == 0 && number < least)) {
        PyErr_Format(PyExc_ValueError, "argument '%s' must be at least %lld, got %S", parameter, least,
                     integer.get());
        return std::nullopt;
    }
    if (overflow > 0) {
        return UINT64_MAX;
    }
    return static_cast<std::uint64_t>(number);
}

// A limit: at least 1, and beyond the machine's size as good as none.
std::optional<std::size_t> as_limit(PyObject* value, const char* parameter, std::size_t absent) {
    if (value == nullptr) {
        return absent;
    }
    auto count = as_count(value, parameter, 1);
    if (!count) {
        return std::nullopt;
    }
    return *count > SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(*count);
}

std::optional<ReaderArguments> reader_arguments(PyObject* const* values) {
    auto path = as_utf8(values[0], "path");
    if (!path) {
        return std::nullopt;
    }
    auto reader_type = as_utf8(values[1], "reader_type");
    if (!reader_type) {
        return std::nullopt;
    }
    return ReaderArguments{values[1], *path, *reader_type};
}

// open() would stop at the NUL and open another file.
bool path_has_no_nul(const ReaderArguments& arguments) {
    if (arguments.path.find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::size_t> bind_limit(PyObject* value, const char* parameter, std::size_t absent) {
    return as_limit(value, parameter, absent);
}

std::optional<ReaderArguments> bind_event_reader_arguments(PyObject* args, PyObject* kwargs) {
    PyObject* values[most_parameters] = {};
    if (!bind(event_reader_parameters, args, kwargs, values)) {
        return std::nullopt;
    }
    auto arguments = reader_arguments(values);
    if (!arguments || !path_has_no_nul(*arguments)) {
        return std::nullopt;
    }
    return arguments;
}

std::optional<BatchArguments> bind_batch_reader_arguments(PyObject* args, PyObject* kwargs) {
    PyObject* values[most_parameters] = {};
    if (!bind(batch_reader_parameters, args, kwargs, values)) {
        return std::nullopt;
    }
    auto reader_type = as_utf8(values[1], "reader_type");
    if (!reader_type) {
        return std::nullopt;
    }
    auto max_events = as_limit(values[2], "max_events", default_max_events);
    if (!max_events) {
        return std::nullopt;
    }
    auto max_bytes = as_limit(values[3], "max_bytes", default_max_bytes);
    if (!max_bytes) {
        return std::nullopt;
    }
    std::uint64_t start = 0;
    if (values[6] != nullptr) {
        auto given = as_count(values[6], "start", 0);
        if (!given) {
            return std::nullopt;
        }
        start = *given;
    }
    std::optional<std::uint64_t> stop;
    if (values[7] != nullptr && values[7] != Py_None) {
        stop = as_count(values[7], "stop", 0);
        if (!stop) {
            return std::nullopt;
        }
    }
    PyObject* columns = values[5] == Py_None ? nullptr : values[5];
    return BatchArguments{values[0], values[1], *reader_type, *max_events, *max_bytes, values[4], columns, start, stop};
}

}  // namespace pelvar
