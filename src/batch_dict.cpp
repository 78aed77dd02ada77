#include "batch_dict.hpp"

#include "dict_builder.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {
namespace {

template <class Format, class T>
PyRef to_dict(EventBatch<HeaderColumns<Format>, T>& batch) {
    using Keys = FormatKeys<Format>;
    DictBuilder dict(Keys::count, Keys::get);
    ColumnArrays arrays;
    std::size_t key = 0;
    batch.head.for_each([&](const char*, auto& column) { dict.put(key++, arrays.view(column)); });
    dict.put(Keys::offsets, arrays.view(batch.offsets));
    dict.put(Keys::data, arrays.view(batch.data));
    // Everything stands: the arrays take the columns.
    std::size_t i = 0;
    batch.head.for_each([&](const char*, auto& column) { arrays.hand_over(i++, column); });
    arrays.hand_over(i++, batch.offsets);
    arrays.hand_over(i, batch.data);
    return dict.finish();
}

}  // namespace

PyRef batch_to_dict(WD1Batch& batch) { return to_dict(batch); }

PyRef batch_to_dict(WD2Batch& batch) { return to_dict(batch); }

}  // namespace pelvar
