#include "event_dict.hpp"

#include "dict_builder.hpp"
#include "header_fields.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {
namespace {

template <class Format>
PyRef to_dict(typename Format::Event&& event) {
    using Keys = FormatKeys<Format>;
    DictBuilder dict(field_count<Format> + 1, Keys::get);
    for_each_field<Format>([&](auto key, const auto& field) { dict.put_number(key, event.*field.member); });
    dict.put(Keys::data, from_raw_parts(std::move(event.data)));
    return dict.finish();
}

}  // namespace

PyRef event_to_dict(WD1Event&& event) { return to_dict<WD1Format>(std::move(event)); }

PyRef event_to_dict(WD2Event&& event) { return to_dict<WD2Format>(std::move(event)); }

}  // namespace pelvar
