#include "column_names.hpp"

#include <span>
#include <string>
#include <vector>

#include "header_fields.hpp"
#include "py_text.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {
namespace {

std::span<const char* const> header_names(std::string_view reader_type) {
    if (reader_type == "WD1") {
        return field_names<WD1Format>;
    }
    return field_names<WD2Format>;
}

std::string valid_names(std::span<const char* const> header) {
    std::string text;
    for (const char* name : header) {
        text.append("'").append(name).append("', ");
    }
    text.append("'byte_offset' and 'data'");
    return text;
}

}  // namespace

std::optional<ColumnSet> parse_columns(PyObject* columns, std::string_view reader_type) {
    if (columns == nullptr) {
        return ColumnSet{};
    }
    // A str is a sequence of one-letter names, and a set has no order to
    // keep: neither is what a caller means.
    if (PyUnicode_Check(columns) || PyBytes_Check(columns) || PyByteArray_Check(columns) ||
        !PySequence_Check(columns)) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'columns': expected a sequence of column names (a list or tuple of str), got '%s'",
                     type_name_of(columns).c_str());
        return std::nullopt;
    }
    PyRef items = PyRef::steal(PySequence_Fast(columns, "argument 'columns': expected a sequence of column names"));
    if (!items) {
        return std::nullopt;
    }
    const auto header = header_names(reader_type);
    ColumnSet chosen{0, false, false};
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0) {
        PyErr_SetString(PyExc_ValueError, "argument 'columns': select at least one column");
        return std::nullopt;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument 'columns': column names are str, got '%s'",
                         type_name_of(item).c_str());
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) {
            return std::nullopt;
        }
        const std::string_view name(utf8, static_cast<std::size_t>(size));
        bool known = false;
        for (std::size_t field = 0; field < header.size(); ++field) {
            if (name == header[field]) {
                chosen.header |= std::uint32_t{1} << field;
                known = true;
            }
        }
        if (name == "byte_offset") {
            chosen.byte_offset = known = true;
        } else if (name == "data") {
            chosen.data = known = true;
        } else if (name == "offsets") {
            PyErr_SetString(PyExc_ValueError,
                            "argument 'columns': 'offsets' comes with 'data' and only with it: select 'data'");
            return std::nullopt;
        }
        if (!known) {
            PyErr_Format(PyExc_ValueError, "argument 'columns': unknown column %R for %s; the columns are %s", item,
                         std::string(reader_type).c_str(), valid_names(header).c_str());
            return std::nullopt;
        }
    }
    return chosen;
}

PyRef column_names(const ColumnSet& columns, std::string_view reader_type, bool with_offsets) {
    std::vector<const char*> names;
    const auto header = header_names(reader_type);
    for (std::size_t field = 0; field < header.size(); ++field) {
        if (columns.has_header(field)) {
            names.push_back(header[field]);
        }
    }
    if (columns.byte_offset) {
        names.push_back("byte_offset");
    }
    if (columns.data) {
        if (with_offsets) {
            names.push_back("offsets");
        }
        names.push_back("data");
    }
    PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) {
        return tuple;
    }
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        if (name == nullptr) {
            return PyRef();
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple;
}

}  // namespace pelvar
