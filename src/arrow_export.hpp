// Batches as Arrow arrays, and their schema, through Arrow's C data
// interface. Python-free.
//
// A batch becomes a struct array with no nulls: one child per header column
// and "data", a list of each event's samples (the offsets column and the
// flat samples under it). Every buffer is the column that the batch was read
// into; nothing is copied (unless the consumer asks for 32-bit list offsets,
// which are then made from the 64-bit ones). Each exported array, parent or
// child, holds a reference on the batch until its release runs, which may
// be on any thread, in any order, after the reader is gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrow_c.h"
#include "header_fields.hpp"
#include "selection.hpp"

namespace pelvar {

// Whether the list of samples has 64-bit offsets ("+L", the batch's own) or
// 32-bit ones ("+l", made for a consumer that asks for them).
enum class ListOffsets { large, small };

// Arrow's format string of an element type.
template <class T>
constexpr const char* arrow_format() {
    if constexpr (std::is_same_v<T, std::int32_t>) {
        return "i";
    } else if constexpr (std::is_same_v<T, std::uint32_t>) {
        return "I";
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return "l";
    } else if constexpr (std::is_same_v<T, std::uint64_t>) {
        return "L";
    } else if constexpr (std::is_same_v<T, std::uint16_t>) {
        return "S";
    } else {
        static_assert(std::is_same_v<T, float>);
        return "f";
    }
}

namespace arrow_detail {

// A schema node: what one field needs, its children in order.
struct Field {
    std::string name;
    std::string format;
    std::vector<Field> children;
};

// Fills `out` with the field and its children; `out` owns it all.
void export_field(const Field& field, ArrowSchema* out);

// An exported array's own memory: its buffer pointers, its children, and a
// reference on what the buffers point into.
struct ArrayHolder {
    std::shared_ptr<const void> keep;
    std::vector<const void*> buffers;
    std::unique_ptr<ArrowArray[]> child_arrays;
    std::vector<ArrowArray*> children;
};

// Fills `out` as an array of `length` over `buffers`, with `child_count`
// children still to be filled; returns them.
ArrowArray* make_array(ArrowArray* out, std::int64_t length, std::vector<const void*> buffers,
                       std::size_t child_count, const std::shared_ptr<const void>& keep);

}  // namespace arrow_detail

// The schema of a batch type holding `columns`: a struct of its chosen
// header columns (by their names, not nullable), "byte_offset" and "data",
// a list of samples, when chosen.
template <class Batch>
void export_batch_schema(ArrowSchema* out, ListOffsets offsets, ColumnSet columns = {}) {
    using arrow_detail::Field;
    using Format = typename decltype(Batch::head)::Format;
    Field root{"", "+s", {}};
    for_each_field<Format>([&](auto i, const auto& field) {
        using E = typename std::remove_reference_t<decltype(field)>::Type;
        if (columns.has_header(i)) {
            root.children.push_back(Field{field.name, arrow_format<E>(), {}});
        }
    });
    if (columns.byte_offset) {
        root.children.push_back(Field{"byte_offset", arrow_format<std::int64_t>(), {}});
    }
    if (columns.data) {
        root.children.push_back(Field{"data", offsets == ListOffsets::large ? "+L" : "+l",
                                      {Field{"item", arrow_format<typename Batch::Sample>(), {}}}});
    }
    arrow_detail::export_field(root, out);
}

// Moves the batch into `out` as a struct array of its events; the message of
// why it cannot when 32-bit offsets do not reach its samples.
template <class Batch>
std::optional<std::string> export_batch(Batch&& batch, ListOffsets offsets, ArrowArray* out) {
    struct Kept {
        Batch batch;
        std::vector<std::int32_t> small_offsets;
    };
    const std::size_t events = batch.events;
    std::vector<std::int32_t> small;
    if (offsets == ListOffsets::small) {
        if (batch.data.size() > static_cast<std::size_t>(INT32_MAX)) {
            return "a batch holds " + std::to_string(batch.data.size()) +
                   " samples, more than 32-bit list offsets reach; ask for 64-bit ones";
        }
        if (batch.columns.data) {
            small.assign(batch.offsets.data(), batch.offsets.data() + events + 1);
        }
    }
    auto kept = std::make_shared<Kept>(Kept{std::move(batch), std::move(small)});
    std::shared_ptr<const void> keep = kept;
    Batch& b = kept->batch;

    const ColumnSet& chosen = b.columns;
    std::size_t columns = (chosen.byte_offset ? 1 : 0) + (chosen.data ? 1 : 0);
    for (std::size_t k = 0; k < decltype(b.head)::count; ++k) {
        columns += chosen.has_header(k) ? 1 : 0;
    }
    ArrowArray* children = arrow_detail::make_array(out, static_cast<std::int64_t>(events), {nullptr}, columns, keep);
    std::size_t i = 0;
    auto plain = [&](const void* values) {
        arrow_detail::make_array(&children[i++], static_cast<std::int64_t>(events), {nullptr, values}, 0, keep);
    };
    b.head.for_each_at([&](std::size_t k, auto& column) {
        if (chosen.has_header(k)) {
            plain(column.data());
        }
    });
    if (chosen.byte_offset) {
        plain(b.byte_offsets.data());
    }
    if (chosen.data) {
        const void* offset_buffer = offsets == ListOffsets::large
                                        ? static_cast<const void*>(b.offsets.data())
                                        : static_cast<const void*>(kept->small_offsets.data());
        ArrowArray* samples =
            arrow_detail::make_array(&children[i], static_cast<std::int64_t>(events), {nullptr, offset_buffer}, 1, keep);
        arrow_detail::make_array(samples, static_cast<std::int64_t>(b.data.size()), {nullptr, b.data.data()}, 0, keep);
    }
    return std::nullopt;
}

}  // namespace pelvar
