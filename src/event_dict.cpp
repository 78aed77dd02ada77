#include "event_dict.hpp"

#include "dict_builder.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {

PyRef event_to_dict(WD1Event&& event) {
    DictBuilder dict(7);
    dict.put_int(Key::event_size, event.event_size);
    dict.put_int(Key::board_id, event.board_id);
    dict.put_int(Key::pattern, event.pattern);
    dict.put_int(Key::board_channel, event.board_channel);
    dict.put_int(Key::event_counter, event.event_counter);
    dict.put_int(Key::timestamp, event.timestamp);
    dict.put(Key::data, from_raw_parts(std::move(event.data)));
    return dict.finish();
}

PyRef event_to_dict(WD2Event&& event) {
    DictBuilder dict(6);
    dict.put_uint(Key::event_counter, event.event_counter);
    dict.put_uint(Key::timestamp, event.timestamp);
    dict.put_uint(Key::samples, event.samples);
    dict.put_uint(Key::sampling_period, event.sampling_period);
    dict.put_int(Key::channels, event.channels);
    dict.put(Key::data, from_raw_parts(std::move(event.data)));
    return dict.finish();
}

}  // namespace pelvar
