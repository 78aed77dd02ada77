// A made-up third format, which writes only its decoding and its field table:
// a 3-byte header (a sample count, 255 meaning too many, and a 16-bit tag)
// and 32-bit samples. The common step and the batch columns read it as they
// read WD1 and WD2, headers straddling the read-ahead buffer's fills
// included, and keep to its rule after an error of the operating system.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "byte_order.hpp"
#include "event_batch.hpp"
#include "format_reader.hpp"
#include "header_columns.hpp"
#include "header_fields.hpp"
#include "scripted_file.hpp"

namespace pelvar_test {
namespace {

struct ToyHeader {
    std::uint8_t count;
    std::uint16_t tag;
};

struct ToyEvent : ToyHeader {
    pelvar::SampleBuffer<std::uint32_t> data;
};

template <bool Stops>
struct ToyFormat {
    using Header = ToyHeader;
    using Sample = std::uint32_t;
    using Event = ToyEvent;

    static constexpr std::tuple fields{
        pelvar::HeaderField{"count", &ToyHeader::count},
        pelvar::HeaderField{"tag", &ToyHeader::tag},
    };
    static constexpr std::size_t max_header_bytes = 3;
    static constexpr bool stops_after_os_error = Stops;

    std::size_t header_bytes() const noexcept { return 3; }
    Header decode(const std::byte* bytes) const noexcept {
        return Header{static_cast<std::uint8_t>(bytes[0]), pelvar::load_le<std::uint16_t>(bytes + 1)};
    }
    std::optional<std::uint64_t> sample_count(const Header& h) const noexcept {
        return h.count == 255 ? std::nullopt : std::optional<std::uint64_t>(h.count);
    }
};

static_assert(pelvar::HeaderColumns<ToyFormat<true>>::bytes_per_event == 3);

// Event i: i % 7 samples, each i * 1000 + its index; tag i.
Bytes toy_file(std::size_t events) {
    Bytes out;
    for (std::size_t i = 0; i < events; ++i) {
        out.push_back(static_cast<std::byte>(i % 7));
        put_u16(out, static_cast<std::uint16_t>(i));
        for (std::size_t s = 0; s < i % 7; ++s) put_u32(out, static_cast<std::uint32_t>(i * 1000 + s));
    }
    return out;
}

std::string toy_text(std::size_t count, std::uint16_t tag, const std::uint32_t* data) {
    std::ostringstream out;
    out << "tag " << tag << ":";
    for (std::size_t s = 0; s < count; ++s) out << ' ' << data[s];
    return out.str();
}

template <class Outcome>
std::string outcome_text(const Outcome& outcome) {
    if (std::holds_alternative<pelvar::EndOfEvents>(outcome)) return "end";
    if (auto* io = std::get_if<pelvar::IoFailure>(&outcome)) return "io " + io->display();
    if (auto* internal = std::get_if<pelvar::InternalFailure>(&outcome)) return "internal " + internal->message;
    return {};
}

// Steps until three outcomes in a row are not events.
template <class Reader>
std::vector<std::string> event_path(Reader& reader) {
    std::vector<std::string> seen;
    for (int others = 0; others < 3;) {
        auto outcome = reader.next();
        if (auto* e = std::get_if<ToyEvent>(&outcome)) {
            seen.push_back(toy_text(e->data.size(), e->tag, e->data.data()));
            others = 0;
        } else {
            seen.push_back(outcome_text(outcome));
            ++others;
        }
    }
    return seen;
}

class ToyFormatTest : public ::testing::TestWithParam<bool> {};

TEST_P(ToyFormatTest, BothPathsReadItAndKeepItsRuleAfterAnError) {
    const bool stops = GetParam();
    const Bytes file = toy_file(6000);  // headers fall across the 8192-byte fills
    // Event 5000 starts past the first fills; its header read fails once.
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 5000; ++i) offset += 3 + 4 * (i % 7);
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < 6000; ++i) {
        if (i == 5000) {
            expected.push_back("io " + pelvar::IoFailure::from_errno(EIO).display());
            if (stops) break;
        }
        std::vector<std::uint32_t> samples;
        for (std::size_t s = 0; s < i % 7; ++s) samples.push_back(static_cast<std::uint32_t>(i * 1000 + s));
        expected.push_back(toy_text(samples.size(), static_cast<std::uint16_t>(i), samples.data()));
    }
    // Until three outcomes in a row are not events.
    expected.insert(expected.end(), stops ? 2 : 3, "end");

    auto run = [&](auto read) {
        auto script = make_script(file);
        script->fail_at(offset);
        return read(script);
    };
    auto by_events = [&](const auto& script) {
        if (stops) {
            pelvar::FormatReader<ToyFormat<true>, Buffered> reader(buffered(script));
            return event_path(reader);
        }
        pelvar::FormatReader<ToyFormat<false>, Buffered> reader(buffered(script));
        return event_path(reader);
    };
    auto by_batches = [&](const auto& script) {
        auto batches = [&](auto format) {
            using Format = decltype(format);
            using Batcher = pelvar::EventBatcher<pelvar::FormatReader<Format, Buffered>,
                                                 pelvar::HeaderColumns<Format>, std::uint32_t>;
            pelvar::BlockPool pool(&pelvar::malloc_allocator);
            Batcher batcher(pelvar::FormatReader<Format, Buffered>(buffered(script)), pool, {97, 1 << 20});
            std::vector<std::string> seen;
            for (int others = 0; others < 3;) {
                auto outcome = batcher.next();
                auto* b = std::get_if<typename Batcher::Batch>(&outcome);
                if (b == nullptr) {
                    seen.push_back(outcome_text(outcome));
                    ++others;
                    continue;
                }
                others = 0;
                const auto* offsets = b->offsets.data();
                for (std::size_t i = 0; i < b->events; ++i) {
                    seen.push_back(toy_text(static_cast<std::size_t>(offsets[i + 1] - offsets[i]),
                                            b->head.template column<1>().data()[i], b->data.data() + offsets[i]));
                }
            }
            return seen;
        };
        return stops ? batches(ToyFormat<true>{}) : batches(ToyFormat<false>{});
    };
    EXPECT_EQ(run(by_events), expected);
    EXPECT_EQ(run(by_batches), expected);
}

TEST_P(ToyFormatTest, ACountBeyondTheArithmeticIsAnInternalFailureThatDoesNotStop) {
    Bytes file{std::byte{255}, std::byte{1}, std::byte{0}};
    const Bytes rest = toy_file(2);
    file.insert(file.end(), rest.begin(), rest.end());
    auto script = make_script(file);
    std::vector<std::string> seen;
    if (GetParam()) {
        pelvar::FormatReader<ToyFormat<true>, Buffered> reader(buffered(script));
        seen = event_path(reader);
    } else {
        pelvar::FormatReader<ToyFormat<false>, Buffered> reader(buffered(script));
        seen = event_path(reader);
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"internal capacity overflow", "tag 0:", "tag 1: 1000", "end", "end",
                                              "end"}));
}

INSTANTIATE_TEST_SUITE_P(Rules, ToyFormatTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Stops" : "ReadsOn"; });

}  // namespace
}  // namespace pelvar_test
