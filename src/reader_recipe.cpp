#include "reader_recipe.hpp"

#include <utility>
#include <variant>

#include "column_names.hpp"
#include "header_fields.hpp"
#include "input_source.hpp"
#include "python_memory.hpp"
#include "reader_binding.hpp"

namespace pelvar {
namespace {

// The version of the tuple that recipe_state() makes.
constexpr long state_version = 1;

PyRef optional_number(const std::optional<std::uint64_t>& value) {
    return value ? PyRef::steal(PyLong_FromUnsignedLongLong(*value)) : PyRef::borrow(Py_None);
}

// An int of 0 or more, or None when `none_allowed`.
bool state_number(PyObject* item, std::optional<std::uint64_t>& out, bool none_allowed) {
    if (item == Py_None && none_allowed) {
        out.reset();
        return true;
    }
    if (!PyLong_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "not the state of a pickled BatchReader");
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(item);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace

ReaderRecipe ReaderRecipe::copy() const {
    ReaderRecipe twin;
    twin.path = PyRef::borrow(path.get());
    twin.compression = PyRef::borrow(compression.get());
    twin.reader_type = reader_type;
    twin.limits = limits;
    twin.columns = columns;
    twin.range = range;
    twin.first = first;
    twin.wd2_channels = wd2_channels;
    twin.planned_size = planned_size;
    twin.not_portable = not_portable;
    return twin;
}

std::optional<FileBatcher> batcher_for(FileSource source, ReaderRecipe& recipe) {
    if (recipe.planned_size) {
        // A partition of a file that has changed since would read bytes
        // that are no longer where the plan found its events.
        const auto size = source.remaining();
        if (!size || *size != *recipe.planned_size) {
            PyErr_Format(PyExc_ValueError,
                         "%R has changed size since its partitions were made (%llu bytes then, %s now): make the "
                         "partitions again",
                         recipe.path ? recipe.path.get() : Py_None,
                         static_cast<unsigned long long>(*recipe.planned_size),
                         size ? (std::to_string(*size) + " bytes").c_str() : "unknown");
            return std::nullopt;
        }
    }
    if (recipe.range.begin != 0) {
        if (auto failure = source.skip(recipe.range.begin)) {
            raise_failure(StepFailure(std::move(*failure)));
            return std::nullopt;
        }
    }
    std::optional<FileReader> reader;
    if (recipe.reader_type == "WD2" && recipe.wd2_channels) {
        reader.emplace(std::in_place_index<1>,
                       WD2Reader<FileSource>::with_layout(std::move(source), *recipe.wd2_channels, &python_raw_allocator));
    } else {
        const auto rewind = source.remaining() ? ProbeRewind::seek : ProbeRewind::keep;
        PyRef type_name = PyRef::steal(PyUnicode_FromStringAndSize(recipe.reader_type.data(),
                                                                   static_cast<Py_ssize_t>(recipe.reader_type.size())));
        if (!type_name) {
            return std::nullopt;
        }
        reader = build_reader(std::move(source), recipe.reader_type, type_name.get(), rewind);
        if (!reader) {
            return std::nullopt;
        }
        if (auto* wd2 = std::get_if<1>(&*reader)) {
            recipe.wd2_channels = wd2->probed_channels();
        }
    }
    std::optional<FileBatcher> batcher;
    if (auto* wd1 = std::get_if<0>(&*reader)) {
        batcher.emplace(std::in_place_index<0>, std::move(*wd1), batch_block_pool(), recipe.limits, recipe.columns,
                        recipe.range);
    } else {
        batcher.emplace(std::in_place_index<1>, std::get<1>(std::move(*reader)), batch_block_pool(), recipe.limits,
                        recipe.columns, recipe.range);
    }
    return batcher;
}

std::optional<FileBatcher> reopen(ReaderRecipe& recipe) {
    auto input = open_input(recipe.path.get(), recipe.compression.get());
    if (!input) {
        return std::nullopt;
    }
    return batcher_for(std::move(input->source), recipe);
}

PyRef recipe_state(const ReaderRecipe& recipe) {
    PyRef columns = recipe.columns.is_default(recipe.reader_type == "WD1" ? field_count<WD1Format> : field_count<WD2Format>)
                        ? PyRef::borrow(Py_None)
                        : column_names(recipe.columns, recipe.reader_type, false);
    if (!columns) {
        return PyRef();
    }
    PyRef channels = recipe.wd2_channels ? PyRef::steal(PyLong_FromLong(*recipe.wd2_channels)) : PyRef::borrow(Py_None);
    PyRef compression = recipe.compression ? PyRef::borrow(recipe.compression.get())
                                           : PyRef::steal(PyUnicode_FromString("infer"));
    PyRef items[] = {
        PyRef::steal(PyLong_FromLong(state_version)),
        PyRef::borrow(recipe.path.get()),
        PyRef::steal(PyUnicode_FromString(recipe.reader_type.c_str())),
        PyRef::steal(PyLong_FromSize_t(recipe.limits.max_events)),
        PyRef::steal(PyLong_FromSize_t(recipe.limits.max_bytes)),
        std::move(compression),
        std::move(columns),
        PyRef::steal(PyLong_FromUnsignedLongLong(recipe.range.start)),
        optional_number(recipe.range.stop),
        PyRef::steal(PyLong_FromUnsignedLongLong(recipe.range.begin)),
        optional_number(recipe.range.end),
        PyRef::steal(PyLong_FromUnsignedLongLong(recipe.first)),
        std::move(channels),
        optional_number(recipe.planned_size),
    };
    constexpr Py_ssize_t count = sizeof items / sizeof items[0];
    PyRef tuple = PyRef::steal(PyTuple_New(count));
    if (!tuple) {
        return PyRef();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!items[i]) {
            return PyRef();
        }
        PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
    }
    return tuple;
}

std::optional<ReaderRecipe> recipe_from_state(PyObject* state) {
    auto refuse = [] {
        PyErr_SetString(PyExc_TypeError, "not the state of a pickled BatchReader");
        return std::nullopt;
    };
    if (!PyTuple_Check(state) || PyTuple_GET_SIZE(state) != 14) {
        return refuse();
    }
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
    std::optional<std::uint64_t> version;
    if (!state_number(item(0), version, false)) {
        return std::nullopt;
    }
    if (*version != state_version) {
        PyErr_Format(PyExc_ValueError, "a BatchReader pickled in version %llu of its state, which this pelvar cannot read",
                     static_cast<unsigned long long>(*version));
        return std::nullopt;
    }
    PyObject* path = item(1);
    PyObject* reader_type = item(2);
    if (!(PyUnicode_Check(path) || PyBytes_Check(path)) || !PyUnicode_Check(reader_type)) {
        return refuse();
    }
    ReaderRecipe recipe;
    recipe.path = PyRef::borrow(path);
    const char* type = PyUnicode_AsUTF8(reader_type);
    if (type == nullptr) {
        return std::nullopt;
    }
    recipe.reader_type = type;
    if (recipe.reader_type != "WD1" && recipe.reader_type != "WD2") {
        return refuse();
    }
    std::optional<std::uint64_t> max_events, max_bytes, start, stop, begin, end, first, channels, size;
    if (!state_number(item(3), max_events, false) || !state_number(item(4), max_bytes, false) ||
        !state_number(item(7), start, false) || !state_number(item(8), stop, true) ||
        !state_number(item(9), begin, false) || !state_number(item(10), end, true) ||
        !state_number(item(11), first, false) || !state_number(item(12), channels, true) ||
        !state_number(item(13), size, true)) {
        return std::nullopt;
    }
    if (*max_events == 0 || *max_bytes == 0 || (channels && *channels > INT32_MAX)) {
        return refuse();
    }
    recipe.limits = {static_cast<std::size_t>(*max_events), static_cast<std::size_t>(*max_bytes)};
    recipe.compression = PyRef::borrow(item(5));
    auto columns = parse_columns(item(6) == Py_None ? nullptr : item(6), recipe.reader_type);
    if (!columns) {
        return std::nullopt;
    }
    recipe.columns = *columns;
    recipe.range = EventRange{*start, stop, *begin, end};
    recipe.first = *first;
    if (channels) {
        recipe.wd2_channels = static_cast<std::int32_t>(*channels);
    }
    recipe.planned_size = size;
    return recipe;
}

}  // namespace pelvar
