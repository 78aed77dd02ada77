"""BatchReader through the Arrow PyCapsule interface, read by real consumers
(pyarrow, polars, DuckDB) and compared with the batch dictionaries value for
value; the stream's ownership rules; failures through get_last_error."""

from __future__ import annotations

import gc
import os
import threading
import tracemalloc

import numpy as np
import pytest

import pelvar
from eventfiles import (WD1Event, no_descriptor_leak, wd1_bytes, wd1_header, wd1_series, wd2_bytes, wd2_series,
                        write)
from test_anomalies import needs_testcapi, run_python

pa = pytest.importorskip("pyarrow")

FILES = {
    "wd1": ("WD1", lambda: wd1_bytes(wd1_series(700, 16, seed=1) + wd1_series(5, 0) + wd1_series(3, 3000))),
    "wd2-multi": ("WD2", lambda: wd2_bytes(wd2_series(500, 3, 9, first_counter=7))),
    "wd2-single": ("WD2", lambda: wd2_bytes(wd2_series(300, 1, 40, seed=4))),
}
LIMITS = {"max_events": 128, "max_bytes": 1 << 16}


@pytest.fixture(params=list(FILES))
def event_file(request, tmp_path):
    reader_type, make = FILES[request.param]
    return str(write(tmp_path / "events", make())), reader_type


def batches_of(path: str, reader_type: str) -> list[dict]:
    return list(pelvar.BatchReader(path, reader_type, **LIMITS))


def assert_record_batch_is(record_batch, batch: dict) -> None:
    """An Arrow struct of the header columns and a list of samples, equal to the dictionary."""
    names = [name for name in batch if name not in ("offsets", "data")]
    assert record_batch.schema.names == names + ["data"]
    for name in names:
        column = record_batch.column(name)
        assert column.null_count == 0
        assert column.type == pa.from_numpy_dtype(batch[name].dtype)
        assert np.array_equal(column.to_numpy(), batch[name])
    data = record_batch.column("data")
    assert np.array_equal(data.offsets.to_numpy(), batch["offsets"])
    assert data.values.to_numpy().tobytes() == batch["data"].tobytes()


def test_pyarrow_reads_the_same_batches(event_file):
    path, reader_type = event_file
    expected = batches_of(path, reader_type)
    stream = pa.RecordBatchReader.from_stream(pelvar.BatchReader(path, reader_type, **LIMITS))
    got = list(stream)
    assert len(got) == len(expected)
    for record_batch, batch in zip(got, expected):
        assert_record_batch_is(record_batch, batch)
    table = pa.table(pelvar.BatchReader(path, reader_type, **LIMITS))
    assert table.num_rows == sum(len(b["offsets"]) - 1 for b in expected)
    assert table.schema == stream.schema


def test_the_buffers_are_the_batch_memory(event_file):
    """Zero copy: the samples pyarrow sees start where the module read them."""
    path, reader_type = event_file
    traced_before = tracemalloc.is_tracing()
    tracemalloc.start()
    try:
        table = pa.table(pelvar.BatchReader(path, reader_type))
        gc.collect()
        held = tracemalloc.get_traced_memory()[0]
        values = table.column("data").chunks[0].values
        assert held >= values.nbytes  # the module's blocks, not pyarrow's copies
        del table, values
    finally:
        if not traced_before:
            tracemalloc.stop()


@pytest.mark.parametrize("consumer", ["polars", "duckdb"])
def test_dataframe_and_sql_engines(event_file, consumer):
    path, reader_type = event_file
    expected = pa.Table.from_batches(list(pa.RecordBatchReader.from_stream(
        pelvar.BatchReader(path, reader_type))))
    if consumer == "polars":
        pl = pytest.importorskip("polars")
        frame = pl.DataFrame(pelvar.BatchReader(path, reader_type))
        got = frame.to_arrow()
    else:
        duckdb = pytest.importorskip("duckdb")
        reader = pelvar.BatchReader(path, reader_type)  # noqa: F841 - DuckDB finds it by name
        got = duckdb.sql("select * from reader").arrow()
        if not isinstance(got, pa.Table):
            got = got.read_all()
    assert got.num_rows == expected.num_rows
    for name in expected.schema.names:
        want = expected.column(name).combine_chunks()
        have = got.column(name).combine_chunks()
        if name == "data":
            assert np.array_equal(have.flatten().to_numpy(), want.flatten().to_numpy())
            assert np.array_equal(np.diff(have.offsets.to_numpy()), np.diff(want.offsets.to_numpy()))
        else:
            assert np.array_equal(have.to_numpy(), want.to_numpy())


def test_requested_list_offsets_of_32_bits(event_file):
    path, reader_type = event_file
    reader = pelvar.BatchReader(path, reader_type, **LIMITS)
    schema = pa.schema(reader)
    small = pa.schema([field if field.name != "data" else pa.field("data", pa.list_(field.type.value_field),
                                                                   nullable=False) for field in schema])
    got = pa.RecordBatchReader.from_stream(reader, schema=small).read_all()
    assert got.schema.field("data").type == small.field("data").type
    expected = pa.table(pelvar.BatchReader(path, reader_type, **LIMITS))
    assert got.column("data").to_pylist() == expected.column("data").to_pylist()


def small_offsets(schema, item=None, extra=False):
    """`schema` asking for 32-bit list offsets; with another item type, or
    one field more."""
    def listed(values):
        return values if item is None else pa.field(values.name, item, nullable=False)
    fields = [field if field.name != "data" else
              pa.field("data", pa.list_(listed(field.type.value_field)), nullable=False) for field in schema]
    if extra:
        fields.append(pa.field("extra", pa.int32(), nullable=False))
    return pa.schema(fields)


@pytest.mark.parametrize("asked, honoured", [
    (lambda schema: small_offsets(schema), True),
    (lambda schema: small_offsets(schema, item=pa.int32()), False),
    (lambda schema: small_offsets(schema, extra=True), False),
], ids=["as-ours", "other-item-type", "extra-field"])
def test_other_requested_schemas_are_left_aside(event_file, asked, honoured):
    """32-bit offsets only for a request that is the stream's schema but for
    them; any other keeps the stream's own, 64-bit ones."""
    path, reader_type = event_file
    reader = pelvar.BatchReader(path, reader_type, **LIMITS)
    schema = pa.schema(reader)
    capsule = reader.__arrow_c_stream__(asked(schema).__arrow_c_schema__())
    got = pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
    assert got.schema == (small_offsets(schema) if honoured else schema)
    assert got.num_rows == pa.table(pelvar.BatchReader(path, reader_type)).num_rows


def test_a_file_is_read_once(tmp_path):
    path = str(write(tmp_path / "events", wd1_bytes(wd1_series(10, 4))))
    reader = pelvar.BatchReader(path, "WD1", max_events=4)
    first, second = reader.__arrow_c_stream__(), reader.__arrow_c_stream__()  # nothing read yet
    assert pa.RecordBatchReader._import_from_c_capsule(first).read_all().num_rows == 10
    with pytest.raises(Exception, match="has been read from"):
        pa.RecordBatchReader._import_from_c_capsule(second).read_all()
    with pytest.raises(RuntimeError, match="read through an Arrow stream"):
        next(reader)
    with pytest.raises(RuntimeError, match="has been read from"):
        reader.__arrow_c_stream__()
    iterated = pelvar.BatchReader(path, "WD1", max_events=4)
    next(iterated)
    with pytest.raises(RuntimeError, match="has been read from"):
        iterated.__arrow_c_stream__()


@pytest.mark.parametrize("where", ["released-here", "released-on-another-thread", "abandoned"])
def test_streams_and_arrays_outlive_the_reader(tmp_path, where):
    """The reader can go first; a stream or its arrays may be released on any
    thread; a stream nobody read closes the file when it goes. No descriptor
    and no memory stays behind."""
    path = str(write(tmp_path / "events", wd2_bytes(wd2_series(400, 2, 300))))
    with no_descriptor_leak():
        tracemalloc.start()
        try:
            reader = pelvar.BatchReader(path, "WD2", max_bytes=1 << 16)
            capsule = reader.__arrow_c_stream__()
            del reader
            gc.collect()
            if where == "abandoned":
                del capsule
            else:
                table = pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
                del capsule
                assert table.num_rows == 400
                if where == "released-on-another-thread":
                    holder = [table]
                    del table
                    thread = threading.Thread(target=holder.clear)
                    thread.start()
                    thread.join()
                else:
                    del table
            gc.collect()
            # What stays is what the process-wide pool keeps for later
            # batches: the blocks of two batches at most (each up to the
            # limit, in blocks rounded up to their size class).
            assert tracemalloc.get_traced_memory()[0] < 4 * (1 << 16)
        finally:
            tracemalloc.stop()


def test_failures_reach_the_consumer_with_the_iteration_text(tmp_path):
    """The events before a failure come as a batch; the failure's text is the
    exception's that iteration raises."""
    events = wd1_series(6, 8)
    payload = wd1_bytes(events[:3]) + wd1_header(10) + wd1_bytes(events[3:])  # size 10: capacity overflow
    path = str(write(tmp_path / "events", payload))
    stream = pa.RecordBatchReader.from_stream(pelvar.BatchReader(path, "WD1"))
    assert stream.read_next_batch().num_rows == 3
    with pytest.raises(pa.ArrowInvalid, match="capacity overflow"):  # EINVAL
        stream.read_next_batch()


# Runs of refused allocations from each point of one stream read: two in a
# row refuse a batch's first columns. (Longer runs also refuse pyarrow's own
# allocations, which raise a MemoryError without a message.)
REFUSED_READ_CHILD = r"""
import json, sys
import _testcapi, pyarrow as pa, pelvar

path = json.loads(sys.argv[1])["path"]
remove = _testcapi.remove_mem_hooks
held = []  # the batches that came: their blocks stay out of the pool
outcomes = []
for run in (1, 2, 3):
    for start in range(12):
        stream = pa.RecordBatchReader.from_stream(pelvar.BatchReader(path, "WD1", max_events=5))
        caught = None
        _testcapi.set_nomemory(start, start + run)
        try:
            held.append(stream.read_next_batch())
        except BaseException as e:
            caught = e
        finally:
            remove()
        if caught is not None:
            outcomes.append([[c.__name__ for c in type(caught).__mro__], str(caught)])
print(json.dumps(outcomes))
"""


@needs_testcapi
def test_refused_memory_reaches_pyarrow_as_memory_error(tmp_path):
    """ENOMEM: pyarrow raises its MemoryError with the stream's text."""
    path = str(write(tmp_path / "events", wd1_bytes(wd1_series(20, 3000))))
    outcomes = run_python(REFUSED_READ_CHILD, {"path": path})
    assert all("MemoryError" in classes for classes, _ in outcomes), outcomes
    ours = [text for classes, text in outcomes if text.startswith("memory allocation of ")]
    assert ours and all(classes[0] == "ArrowMemoryError" for classes, text in outcomes if text in ours), outcomes


def test_the_stream_can_be_read_from_a_thread_without_the_interpreter(tmp_path):
    """pyarrow reads a stream with the interpreter let go of, here on a
    worker thread while the main thread holds a reader of its own."""
    path = str(write(tmp_path / "events", wd1_bytes(wd1_series(3000, 64))))
    results = {}

    def read():
        results["table"] = pa.table(pelvar.BatchReader(path, "WD1", max_events=100))

    thread = threading.Thread(target=read)
    thread.start()
    own = sum(len(b["offsets"]) - 1 for b in pelvar.BatchReader(path, "WD1", max_events=100))
    thread.join()
    assert own == results["table"].num_rows == 3000


def test_schema_capsule(event_file):
    path, reader_type = event_file
    reader = pelvar.BatchReader(path, reader_type)
    schema = pa.schema(reader)  # __arrow_c_schema__
    assert schema == pa.RecordBatchReader.from_stream(reader).schema
    assert all(not field.nullable for field in schema)
    assert schema.field("data").type.value_type == (pa.uint16() if reader_type == "WD1" else pa.float32())
    assert os.path.exists(path)  # nothing was read by asking
    assert sum(len(b["offsets"]) - 1 for b in reader) > 0


def test_unknown_header_words_survive_arrow(tmp_path):
    """The full ranges of the integer columns pass through unchanged."""
    events = [WD1Event(samples=[1, 2], board_id=-1, pattern=-2**31, event_counter=2**31 - 1, timestamp=-7)]
    path = str(write(tmp_path / "events", wd1_bytes(events)))
    row = pa.table(pelvar.BatchReader(path, "WD1")).to_pylist()[0]
    assert row == {"event_size": 28, "board_id": -1, "pattern": -2**31, "board_channel": 0,
                   "event_counter": 2**31 - 1, "timestamp": -7, "data": [1, 2]}
