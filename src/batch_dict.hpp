// Batches to dictionaries: a NumPy array per chosen header column, then
// "byte_offset", "offsets" and "data" when chosen, each over the memory the
// batch was read into.
#pragma once

#include "event_batch.hpp"
#include "py_ref.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace pelvar {

using WD1Batch = EventBatch<WD1Columns, std::uint16_t>;
using WD2Batch = EventBatch<WD2Columns, float>;

// Keys in the order of the event dictionaries' header keys, then "offsets"
// and "data". Every column moves into its array once all of them and the
// dictionary are made; if that fails (Panic), the batch is left whole.
PyRef batch_to_dict(WD1Batch& batch);
PyRef batch_to_dict(WD2Batch& batch);

}  // namespace pelvar
