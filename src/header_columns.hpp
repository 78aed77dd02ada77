// The header fields of a batch of events, a column each, in the order of the
// format's field table. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "block_pool.hpp"
#include "column.hpp"
#include "header_fields.hpp"

namespace pelvar {

template <class FormatType>
class HeaderColumns {
public:
    using Format = FormatType;
    using Header = typename Format::Header;
    static constexpr std::size_t count = field_count<Format>;
    // A value of every column.
    static constexpr std::size_t bytes_per_event = [] {
        std::size_t bytes = 0;
        for_each_index<count>([&](auto i) { bytes += sizeof(FieldType<Format, i>); });
        return bytes;
    }();

    explicit HeaderColumns(BlockPool* pool) noexcept : columns_(Columns::make(pool)) {}

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

    // f(position, column) for each column, in order.
    template <class F>
    void for_each_at(F&& f) {
        for_each_index<count>([&](auto i) { f(std::size_t{i}, std::get<i>(columns_)); });
    }

    // Row i of the columns in `mask` (bit k: field k), within their capacity.
    void put_selected(std::size_t i, const Header& header, std::uint32_t mask) noexcept {
        for_each_field<Format>([&](auto k, const auto& field) {
            if ((mask >> k & 1u) != 0) {
                std::get<k>(columns_).put(i, header.*field.member);
            }
        });
    }

private:
    template <class Positions>
    struct ColumnsAt;
    template <std::size_t... I>
    struct ColumnsAt<std::index_sequence<I...>> {
        using type = std::tuple<Column<FieldType<Format, I>>...>;
        static type make(BlockPool* pool) noexcept { return type((static_cast<void>(I), pool)...); }
    };
    using Columns = ColumnsAt<std::make_index_sequence<count>>;

    typename Columns::type columns_;
};

}  // namespace pelvar
