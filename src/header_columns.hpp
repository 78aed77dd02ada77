// The header fields of a batch of events, a column each, in the order of the
// format's field table. Python-free.
#pragma once

#include <cstddef>
#include <tuple>
#include <utility>

#include "block_pool.hpp"
#include "column.hpp"
#include "header_fields.hpp"

namespace pelvar {

template <class FieldsOf>
class HeaderColumns {
public:
    using Format = FieldsOf;
    using Header = typename Format::Header;
    static constexpr std::size_t count = field_count<Format>;
    // A value of every column.
    static constexpr std::size_t bytes_per_event = [] {
        std::size_t bytes = 0;
        for_each_index<count>([&](auto i) { bytes += sizeof(FieldType<Format, i>); });
        return bytes;
    }();

    explicit HeaderColumns(BlockPool* pool) noexcept
        : columns_(make_columns(pool, std::make_index_sequence<count>{})) {}

    // Column I, the format's field I.
    template <std::size_t I>
    Column<FieldType<Format, I>>& column() noexcept {
        return std::get<I>(columns_);
    }

    // f(name, column) for each column, in order.
    template <class F>
    void for_each(F&& f) {
        for_each_field<Format>([&](auto i, const auto& field) { f(field.name, std::get<i>(columns_)); });
    }

    // Row i, within the capacity.
    void put(std::size_t i, const Header& header) noexcept {
        for_each_field<Format>([&](auto k, const auto& field) { std::get<k>(columns_).put(i, header.*field.member); });
    }

private:
    template <std::size_t... I>
    using Columns = std::tuple<Column<FieldType<Format, I>>...>;

    template <std::size_t... I>
    static Columns<I...> make_columns(BlockPool* pool, std::index_sequence<I...>) noexcept {
        return Columns<I...>((static_cast<void>(I), pool)...);
    }

    decltype(make_columns(nullptr, std::make_index_sequence<count>{})) columns_;
};

}  // namespace pelvar
