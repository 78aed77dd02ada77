#include "batch_dict.hpp"

#include "dict_builder.hpp"
#include "numpy_bridge.hpp"

namespace pelvar {
namespace {

template <class Batch>
PyRef to_dict(Batch&& batch) {
    Py_ssize_t entries = 2;
    batch.head.for_each([&](const char*, auto&) { ++entries; });
    DictBuilder dict(entries);
    batch.head.for_each(
        [&](const char* name, auto& column) { dict.put(key_named(name), from_column(std::move(column))); });
    dict.put(Key::offsets, from_column(std::move(batch.offsets)));
    dict.put(Key::data, from_column(std::move(batch.data)));
    return dict.finish();
}

}  // namespace

PyRef batch_to_dict(WD1Batch&& batch) { return to_dict(std::move(batch)); }

PyRef batch_to_dict(WD2Batch&& batch) { return to_dict(std::move(batch)); }

}  // namespace pelvar
