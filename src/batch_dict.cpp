#include "batch_dict.hpp"

#include "dict_builder.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {
namespace {

template <class Batch>
PyRef to_dict(Batch& batch) {
    Py_ssize_t entries = 2;
    batch.head.for_each([&](const char*, auto&) { ++entries; });
    DictBuilder dict(entries);
    ColumnArrays arrays;
    batch.head.for_each([&](const char* name, auto& column) { dict.put(key_named(name), arrays.view(column)); });
    dict.put(Key::offsets, arrays.view(batch.offsets));
    dict.put(Key::data, arrays.view(batch.data));
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
