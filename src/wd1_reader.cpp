#include "wd1_reader.hpp"

namespace pelvar {

std::optional<std::uint32_t> wd1_sample_count(std::int32_t event_size) noexcept {
    const auto difference =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(event_size) - std::uint32_t{wd1_header_bytes});
    if (difference < -1) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(difference / 2);
}

}  // namespace pelvar
