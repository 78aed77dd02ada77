#include "constructor_arguments.hpp"

#include <string>

#include "py_text.hpp"

namespace pelvar {
namespace {

constexpr const char* parameter_names[2] = {"path", "reader_type"};

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

}  // namespace

std::optional<ConstructorArguments> bind_constructor_arguments(PyObject* args, PyObject* kwargs) {
    PyObject* values[2] = {nullptr, nullptr};
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 2) {
        PyErr_Format(PyExc_TypeError, "EventReader.__new__() takes 2 positional arguments but %zd were given",
                     positional);
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        values[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t cursor = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &cursor, &key, &value)) {
            int index = -1;
            for (int p = 0; p < 2; ++p) {
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, parameter_names[p]) == 0) {
                    index = p;
                }
            }
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "EventReader.__new__() got an unexpected keyword argument '%S'", key);
                return std::nullopt;
            }
            if (values[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "EventReader.__new__() got multiple values for argument '%s'",
                             parameter_names[index]);
                return std::nullopt;
            }
            values[index] = value;
        }
    }
    if (values[0] == nullptr && values[1] == nullptr) {
        PyErr_SetString(PyExc_TypeError,
                        "EventReader.__new__() missing 2 required positional arguments: 'path' and 'reader_type'");
        return std::nullopt;
    }
    for (int p = 0; p < 2; ++p) {
        if (values[p] == nullptr) {
            PyErr_Format(PyExc_TypeError, "EventReader.__new__() missing 1 required positional argument: '%s'",
                         parameter_names[p]);
            return std::nullopt;
        }
    }
    auto path = as_utf8(values[0], "path");
    if (!path) {
        return std::nullopt;
    }
    auto reader_type = as_utf8(values[1], "reader_type");
    if (!reader_type) {
        return std::nullopt;
    }
    // open() would stop at the NUL and open another file.
    if (path->find('\0') != std::string_view::npos) {
        PyErr_SetString(PyExc_OSError, "file name contained an unexpected NUL byte");
        return std::nullopt;
    }
    return ConstructorArguments{values[1], *path, *reader_type};
}

}  // namespace pelvar
