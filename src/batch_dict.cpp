#include "batch_dict.hpp"

#include "dict_builder.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {
namespace {

template <class Format, class T>
PyRef to_dict(EventBatch<HeaderColumns<Format>, T>& batch) {
    using Keys = FormatKeys<Format>;
    const ColumnSet& chosen = batch.columns;
    DictBuilder dict(Keys::count, Keys::get);
    ColumnArrays arrays;
    batch.head.for_each_at([&](std::size_t key, auto& column) {
        if (chosen.has_header(key)) {
            dict.put(key, arrays.view(column));
        }
    });
    if (chosen.byte_offset) {
        dict.put(Keys::byte_offset, arrays.view(batch.byte_offsets));
    }
    if (chosen.data) {
        dict.put(Keys::offsets, arrays.view(batch.offsets));
        dict.put(Keys::data, arrays.view(batch.data));
    }
    // Everything stands: the arrays take the columns, in the same order.
    std::size_t i = 0;
    batch.head.for_each_at([&](std::size_t key, auto& column) {
        if (chosen.has_header(key)) {
            arrays.hand_over(i++, column);
        }
    });
    if (chosen.byte_offset) {
        arrays.hand_over(i++, batch.byte_offsets);
    }
    if (chosen.data) {
        arrays.hand_over(i++, batch.offsets);
        arrays.hand_over(i, batch.data);
    }
    return dict.finish();
}

}  // namespace

PyRef batch_to_dict(WD1Batch& batch) { return to_dict(batch); }

PyRef batch_to_dict(WD2Batch& batch) { return to_dict(batch); }

}  // namespace pelvar
