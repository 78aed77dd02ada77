// Little-endian decoding that is right on any host.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace pelvar {

// The bytes of an unsigned value in the other order.
template <class U>
inline U swap_bytes(U value) noexcept {
    static_assert(std::is_unsigned_v<U>);
    U swapped = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) {
        swapped = static_cast<U>(swapped << 8) | static_cast<U>(value & 0xFF);
        value = static_cast<U>(value >> 8);
    }
    return swapped;
}

// The little-endian value at p: one load on a little-endian host, a load
// and a swap on a big-endian one.
template <class T>
inline T load_le(const std::byte* p) noexcept {
    static_assert(std::is_integral_v<T>);
    using U = std::make_unsigned_t<T>;
    U value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = swap_bytes(value);
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
            bits = swap_bytes(bits);
            std::memcpy(data + i, &bits, sizeof bits);
        }
    } else {
        (void)data;
        (void)count;
    }
}

}  // namespace pelvar
