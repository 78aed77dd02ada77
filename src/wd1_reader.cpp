#include "wd1_reader.hpp"

namespace pelvar {

WD1Header decode_wd1_header(const std::byte* bytes) noexcept {
    return WD1Header{
        load_le<std::int32_t>(bytes),      load_le<std::int32_t>(bytes + 4),  load_le<std::int32_t>(bytes + 8),
        load_le<std::int32_t>(bytes + 12), load_le<std::int32_t>(bytes + 16), load_le<std::int32_t>(bytes + 20),
    };
}

std::optional<std::uint32_t> wd1_sample_count(std::int32_t event_size) noexcept {
    const auto difference =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - std::uint32_t{wd1_header_bytes});
    if (difference < -1) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(difference / 2);
}

}  // namespace pelvar
