// Little-endian decoding that is right on any host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pelvar {

template <class T>
inline T load_le(const std::byte* p) noexcept {
    static_assert(std::is_integral_v<T>);
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<U>(static_cast<U>(p[i]) << (8 * i));
    }
    return static_cast<T>(value);
}

// Turns `count` elements that were read as little-endian bytes into host
// order, in place: nothing to do on a little-endian host.
template <class T>
inline void little_endian_to_host(T* data, std::size_t count) noexcept {
    static_assert(sizeof(T) == 2 || sizeof(T) == 4);
    if constexpr (std::endian::native == std::endian::big) {
        using U = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
        for (std::size_t i = 0; i < count; ++i) {
            U bits;
            std::memcpy(&bits, data + i, sizeof bits);
            bits = load_le<U>(reinterpret_cast<const std::byte*>(&bits));
            std::memcpy(data + i, &bits, sizeof bits);
        }
    } else {
        (void)data;
        (void)count;
    }
}

}  // namespace pelvar
