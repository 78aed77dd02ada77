#include "wd2_reader.hpp"

namespace pelvar {

WD2Header decode_wd2_header(const std::byte* bytes) noexcept {
    return WD2Header{
        load_le<std::uint32_t>(bytes),
        load_le<std::uint64_t>(bytes + 4),
        load_le<std::uint32_t>(bytes + 12),
        load_le<std::uint64_t>(bytes + 16),
    };
}

std::optional<std::uint64_t> wd2_block_bytes(std::uint32_t samples, std::int32_t channels) noexcept {
    const std::uint64_t bytes =
        std::uint64_t{samples} * static_cast<std::uint64_t>(std::int64_t{channels}) * sizeof(float);
    if (bytes > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return bytes;
}

bool wd2_follows(const WD2Header& first, const WD2Header& second) noexcept {
    return second.event_counter == static_cast<std::uint32_t>(first.event_counter + 1u) &&
           second.samples == first.samples && second.sampling_period == first.sampling_period;
}

}  // namespace pelvar
