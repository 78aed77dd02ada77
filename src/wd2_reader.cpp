#include "wd2_reader.hpp"

namespace pelvar {

bool wd2_follows(const WD2Header& first, const WD2Header& second) noexcept {
    return second.event_counter == static_cast<std::uint32_t>(first.event_counter + 1u) &&
           second.samples == first.samples && second.sampling_period == first.sampling_period;
}

}  // namespace pelvar
