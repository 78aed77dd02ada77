#include "batch_partitions.hpp"

#include <string_view>
#include <utility>
#include <variant>

#include "column_names.hpp"
#include "constructor_arguments.hpp"
#include "input_source.hpp"
#include "interpreter_lock.hpp"
#include "partition_plan.hpp"
#include "py_text.hpp"
#include "reader_binding.hpp"

namespace pelvar {
namespace {

// partition_bytes, taken out of the keywords that go on to the readers.
struct SplitKeywords {
    PyRef reader_keywords;  // a new dict, or null
    PyRef partition_bytes;  // null when not given
};

std::optional<SplitKeywords> split_keywords(PyObject* kwargs) {
    SplitKeywords split;
    if (kwargs == nullptr) {
        return split;
    }
    split.reader_keywords = PyRef::steal(PyDict_Copy(kwargs));
    if (!split.reader_keywords) {
        return std::nullopt;
    }
    split.partition_bytes = PyRef::borrow(PyDict_GetItemString(split.reader_keywords.get(), "partition_bytes"));
    if (split.partition_bytes && PyDict_DelItemString(split.reader_keywords.get(), "partition_bytes") != 0) {
        return std::nullopt;
    }
    return split;
}

const char* cannot_split(InputKind kind) {
    switch (kind) {
        case InputKind::compressed:
            return "a compressed input cannot be split into partitions: an event in it is reached only by "
                   "decompressing everything before it; read it with one BatchReader, or decompress it to a file";
        case InputKind::file_object:
            return "a file object cannot be split into partitions: its events can only be read in order; give "
                   "the path of a regular file or a buffer";
        default:
            return "only a regular file can be split into partitions (a pipe or a device is read in order); "
                   "read it with one BatchReader";
    }
}

}  // namespace

std::optional<std::vector<PlannedPartition>> plan_batch_partitions(PyObject* args, PyObject* kwargs) {
    auto split = split_keywords(kwargs);
    if (!split) {
        return std::nullopt;
    }
    auto arguments = bind_batch_reader_arguments(args, split->reader_keywords.get());
    if (!arguments) {
        return std::nullopt;
    }
    auto partition_bytes = bind_limit(split->partition_bytes.get(), "partition_bytes", default_partition_bytes);
    if (!partition_bytes) {
        return std::nullopt;
    }
    ReaderRecipe recipe;
    recipe.reader_type = std::string(arguments->reader_type);
    if (recipe.reader_type != "WD1" && recipe.reader_type != "WD2") {
        PyErr_Format(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'",
                     arguments->reader_type_object);
        return std::nullopt;
    }
    auto columns = parse_columns(arguments->columns, recipe.reader_type);
    if (!columns) {
        return std::nullopt;
    }
    recipe.columns = *columns;
    recipe.limits = {arguments->max_events, arguments->max_bytes};
    recipe.compression = PyRef::borrow(arguments->compression);
    auto input = open_input(arguments->source, arguments->compression);
    if (!input) {
        return std::nullopt;
    }
    const auto size = input->source.remaining();
    if (input->kind == InputKind::compressed || input->kind == InputKind::file_object || !size) {
        PyErr_SetString(PyExc_ValueError, cannot_split(input->kind));
        return std::nullopt;
    }
    recipe.path = std::move(input->path);
    if (!recipe.path) {
        recipe.not_portable =
            "it reads a buffer of this process, which another process cannot see; make the partitions of a path";
    }
    recipe.planned_size = *size;
    // The pass reads as a plain reader of the whole file would.
    ReaderRecipe whole = recipe.copy();
    whole.planned_size.reset();
    whole.range = EventRange{};
    auto batcher = batcher_for(std::move(input->source), whole);
    if (!batcher) {
        return std::nullopt;
    }
    recipe.wd2_channels = whole.wd2_channels;
    auto planned = [&] {
        InterpreterReleased released;
        return std::visit(
            [&](auto& b) {
                return plan_partitions(b.reader(), *partition_bytes, arguments->start, arguments->stop);
            },
            *batcher);
    }();
    if (auto* failure = std::get_if<IoFailure>(&planned)) {
        raise_failure(StepFailure(std::move(*failure)));
        return std::nullopt;
    }
    std::vector<PlannedPartition> partitions;
    for (const Partition& part : std::get<std::vector<Partition>>(planned)) {
        PlannedPartition planned_partition{recipe.copy(), std::nullopt};
        planned_partition.recipe.range = part.range;
        planned_partition.recipe.first = part.first;
        if (!planned_partition.recipe.path) {
            auto again = open_input(arguments->source, arguments->compression);
            if (!again) {
                return std::nullopt;
            }
            auto batcher = batcher_for(std::move(again->source), planned_partition.recipe);
            if (!batcher) {
                return std::nullopt;
            }
            planned_partition.batcher.emplace(std::move(*batcher));
        }
        partitions.push_back(std::move(planned_partition));
    }
    return partitions;
}

}  // namespace pelvar
