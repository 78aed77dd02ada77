// The header fields of a format's events, listed once: each format has a
// table `fields`, a tuple of HeaderField in the order of the file's header,
// from which the event dictionaries, the batch columns and their
// dictionaries and the Arrow schema are all made. A field is found by its
// position in the table. Python-free.
#pragma once

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace pelvar {

// One field: its name (the dictionary key, the column's and the Arrow
// field's name) and where an event's header holds it.
template <class T, class Record>
struct HeaderField {
    using Type = T;
    const char* name;
    T Record::*member;
};

template <class T, class Record>
HeaderField(const char*, T Record::*) -> HeaderField<T, Record>;

template <class Format>
using FieldTable = std::remove_const_t<decltype(Format::fields)>;

template <class Format>
inline constexpr std::size_t field_count = std::tuple_size_v<FieldTable<Format>>;

// The type of field I of the format.
template <class Format, std::size_t I>
using FieldType = typename std::tuple_element_t<I, FieldTable<Format>>::Type;

// Calls f(std::integral_constant<std::size_t, I>{}) for I from 0 to N - 1, in order.
template <std::size_t N, class F>
constexpr void for_each_index(F&& f) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (f(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<N>{});
}

// Calls f(position, field) for each field of the format, in order; the
// position is an integral_constant.
template <class Format, class F>
constexpr void for_each_field(F&& f) {
    for_each_index<field_count<Format>>([&](auto i) { f(i, std::get<i>(Format::fields)); });
}

// The fields' names, in order.
template <class Format>
inline constexpr std::array<const char*, field_count<Format>> field_names = [] {
    std::array<const char*, field_count<Format>> names{};
    for_each_field<Format>([&](auto i, const auto& field) { names[i] = field.name; });
    return names;
}();

}  // namespace pelvar
