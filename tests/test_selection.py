"""BatchReader's selections: the columns, the events start..stop, the
partitions of a file and readers that travel by pickle. Each selection is
checked against the same selection made in NumPy from a full read."""

from __future__ import annotations

import gzip
import io
import pickle
import re
import struct
import subprocess
from contextlib import ExitStack
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelvar
from eventfiles import wd1_bytes, wd1_series, wd2_bytes, wd2_series, write
from test_anomalies import run_python
from test_batches import COLUMNS, SAMPLES, wd1_payloads, wd2_payloads
from test_sources import ShortReads, event_files

BatchReader = pelvar.BatchReader


def names(reader_type: str) -> list[str]:
    """Every name a selection may hold."""
    return [*COLUMNS[reader_type], "byte_offset", "data"]


def batch_keys(reader_type: str, columns) -> list[str]:
    """The keys of a batch: selected header fields in the format's order,
    then byte_offset, then offsets and data."""
    if columns is None:
        return [*COLUMNS[reader_type], "offsets", "data"]
    keys = [key for key in names(reader_type) if key in columns]
    return keys[:-1] + ["offsets", "data"] if "data" in columns else keys


def event_cost(batch: dict, i: int) -> int:
    """The bytes event i adds to its batch."""
    cost = sum(batch[key].itemsize for key in batch if key not in ("offsets", "data"))
    if "data" in batch:
        cost += batch["offsets"].itemsize + int(np.diff(batch["offsets"])[i]) * batch["data"].itemsize
    return cost


def is_raised(error: BaseException) -> bool:
    return isinstance(error, Exception) or type(error).__name__ == "PanicException"


def read_steps(readers, reader_type: str, columns, max_events: int = 65536, max_bytes: int = 4194304):
    """The readers read in order, each to its end: their events one by one
    (each a dict, "data" as dtype and bytes) and the exceptions between them
    (the files are finite: each exception spends bytes); with the events each
    reader gave. Every batch is checked: its keys, dtypes and limits, and
    that the batch before it in the same reader was full."""
    keys = batch_keys(reader_type, columns)
    dtypes = {**COLUMNS[reader_type], "byte_offset": np.int64, "offsets": np.int64, "data": SAMPLES[reader_type]}
    steps, counts = [], []
    for reader in readers:
        assert reader.columns == tuple(keys)
        counts.append(0)
        previous = None
        while len(steps) < 100_000:
            try:
                batch = next(reader)
            except StopIteration:
                break
            except BaseException as error:
                if not is_raised(error):
                    raise
                steps.append(("raised", type(error).__name__, str(error)))
                previous = None
                continue
            assert list(batch) == keys and all(batch[k].dtype == dtypes[k] for k in keys), batch
            count = len(batch[keys[0]]) - (keys[0] == "offsets")
            size = sum(array.nbytes for array in batch.values())
            assert 1 <= count <= max_events and (count == 1 or size <= max_bytes), (count, size)
            if previous is not None:
                assert previous[0] == max_events or previous[1] + event_cost(batch, 0) > max_bytes, "ended early"
            previous = (count, size)
            head = {key: batch[key].tolist() for key in keys if key not in ("offsets", "data")}
            for i in range(count):
                event = {key: values[i] for key, values in head.items()}
                if "data" in batch:
                    samples = batch["data"][batch["offsets"][i]:batch["offsets"][i + 1]]
                    event["data"] = (samples.dtype.str, samples.tobytes())
                steps.append(("event", event))
            counts[-1] += count
    return steps, counts


def full_read(path: str, reader_type: str, payload: bytes) -> list:
    """A read with no selection, each event given its byte_offset from its
    size (24 header bytes, or 28 with WD2's channel count field, then the
    samples; a refused size spends its header), checked against the file's
    bytes there."""
    try:
        steps, _ = read_steps([BatchReader(path, reader_type)], reader_type, None)
    except BaseException as error:
        if not is_raised(error):
            raise
        return [("opening", type(error).__name__, str(error))]
    events = [step[1] for step in steps if step[0] == "event"]
    header = 28 if reader_type == "WD2" and events and events[0]["channels"] >= 2 else 24
    at = 0
    for step in steps:
        if step[0] == "raised":
            assert step[1:] == ("PanicException", "capacity overflow"), step
            at += header
            continue
        event = step[1]
        fields = [event[key] for key in COLUMNS[reader_type]]
        packed = struct.pack("<6i", *fields) if reader_type == "WD1" else struct.pack("<IQIQ", *fields[:4])
        packed += struct.pack("<i", fields[4]) if header == 28 else b""
        samples = event["data"][1]
        assert payload[at:at + header] == packed and payload[at + header:at + header + len(samples)] == samples
        event["byte_offset"] = at
        at += header + len(samples)
    return steps


def selected(full: list, reader_type: str, columns, start: int, stop: int | None) -> list:
    """What iteration gives with the selection: the events start..stop-1 with
    the selected keys; the exceptions before event `stop`, those before
    `start` included (none when no event is selected); an exception of the
    opening whatever the selection."""
    keys = [key for key in batch_keys(reader_type, columns) if key != "offsets"]
    got, position = [], 0
    for step in full:
        if step[0] == "opening":
            return [step]
        if stop is not None and (position >= stop or start >= stop):
            break
        if step[0] == "raised":
            got.append(step)
        elif position >= start:
            got.append(("event", {key: step[1][key] for key in keys}))
        position += step[0] == "event"
    return got


def same_opening(got: list, expected: list) -> bool:
    """A reader that failed to open raised that exception and nothing else;
    a partition opens at its first read, and raises it there."""
    return bool(got) and got[0][1:] == expected[0][1:]


@st.composite
def event_files_with_failures(draw):
    """test_sources' whole, cut and damaged files, or test_batches' random
    events (WD1 with sizes that raise among them), whole, with a tail too
    short for an event, or cut in their last event."""
    if draw(st.booleans()):
        return draw(event_files())
    reader_type = draw(st.sampled_from(["WD1", "WD2"]))
    items = draw(wd1_payloads() if reader_type == "WD1" else wd2_payloads())
    payload = b"".join(items)
    ending = draw(st.sampled_from(["whole", "tail", "cut"]))
    if ending == "cut" and len(items) > 2:
        payload = payload[:len(payload) - draw(st.integers(1, len(items[-1])))]
    elif ending == "tail":
        payload += bytes(range(draw(st.integers(0, 27))))
    return reader_type, payload, {"max_events": draw(st.integers(1, 40))}


@pytest.fixture(scope="module")
def scratch_path(tmp_path_factory):
    return tmp_path_factory.mktemp("selection") / "events"


@settings(max_examples=300, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(case=event_files_with_failures(), data=st.data())
def test_selections_are_the_full_read_sliced(scratch_path, case, data):
    """Random whole, cut and damaged files, random columns, start, stop,
    limits and partition sizes: a plain reader, the partitions read in turn,
    and both after a pickle round trip give the full read's events and
    exceptions, sliced and projected."""
    reader_type, payload, limits = case
    limits["max_bytes"] = data.draw(st.one_of(st.integers(1, 3000), st.just(1 << 26)), label="max_bytes")
    columns = data.draw(st.none() | st.lists(st.sampled_from(names(reader_type)), min_size=1, max_size=8).flatmap(
        lambda chosen: st.sampled_from([chosen, tuple(chosen)])), label="columns")
    start = data.draw(st.just(0) | st.integers(0, 4) | st.integers(0, 35), label="start")
    stop = data.draw(st.none() | st.integers(start, start + 15), label="stop")
    partition_bytes = data.draw(st.integers(1, len(payload) + 1) | st.just(1 << 28), label="partition_bytes")
    write(scratch_path, payload)
    path = str(scratch_path)
    full = full_read(path, reader_type, payload)
    expected = selected(full, reader_type, columns, start, stop)
    keywords = {**limits, "columns": columns, "start": start, "stop": stop}

    def outcome(make_readers):
        try:
            readers = make_readers()
        except BaseException as error:
            if not is_raised(error):
                raise
            return [("opening", type(error).__name__, str(error))], []
        return read_steps(readers, reader_type, columns, **limits)

    # The plain reader over the path, the file compressed, its bytes in
    # memory, or a file object giving them in short reads (which cannot seek).
    kind = data.draw(st.sampled_from(["path", "gzip", "bytes", "file object"]), label="source of the plain reader")
    if kind == "gzip":
        write(scratch_path.with_suffix(".gz"), gzip.compress(payload, compresslevel=1))
    source = {"path": path, "gzip": str(scratch_path.with_suffix(".gz")), "bytes": payload}.get(kind)
    if full and full[0][0] == "opening":
        assert same_opening(outcome(lambda: [BatchReader(source or ShortReads(payload, [1, 7, 4097]), reader_type,
                                                         **keywords)])[0], expected)
        if payload:  # an empty file has no partition
            assert same_opening(outcome(lambda: BatchReader.partitions(path, reader_type, **keywords))[0], expected)
        return
    plain = BatchReader(source or ShortReads(payload, [1, 7, 4097]), reader_type, **keywords)
    assert plain.event_range == (start, stop) and plain.byte_range is None
    restored = pickle.loads(pickle.dumps(plain)) if kind in ("path", "gzip") else plain
    assert outcome(lambda: [plain])[0] == expected
    if restored is not plain:
        assert outcome(lambda: [restored])[0] == expected

    from_path = data.draw(st.booleans(), label="partitions of the path (else of the bytes)")
    parts = BatchReader.partitions(path if from_path else payload, reader_type, partition_bytes=partition_bytes,
                                   **keywords)
    copies = [pickle.loads(pickle.dumps(p)) for p in parts] if from_path else []
    steps, counts = read_steps(parts, reader_type, columns, **limits)
    assert steps == expected
    if copies:
        assert [(c.event_range, c.byte_range) for c in copies] == [(p.event_range, p.byte_range) for p in parts]
        assert read_steps(copies, reader_type, columns, **limits)[0] == expected
    # Each partition: whole events from where the one before ended, ending
    # at the first boundary at or after its beginning + partition_bytes.
    offsets = [step[1]["byte_offset"] for step in full if step[0] == "event"]
    first = start
    for i, (part, count) in enumerate(zip(parts, counts)):
        begin, end = part.byte_range
        # The last partition may read on to the end, as a plain reader.
        assert part.event_range[0] == first and part.event_range[1] in (
            first + count, *([None, stop] if i == len(parts) - 1 else [])), part.event_range
        if i:
            assert begin == parts[i - 1].byte_range[1]
        if i < len(parts) - 1 and count:
            assert offsets[first] == begin and offsets[first + count - 1] < begin + partition_bytes, i
            # The one before a partition that starts at a failing event may end short.
            assert begin + partition_bytes <= end or i == len(parts) - 2, i
        first += count


# ---- Refused arguments -------------------------------------------------------------

@pytest.fixture(scope="module")
def wd1_path(tmp_path_factory):
    """84-byte events, and the same file compressed beside it."""
    payload = wd1_bytes(wd1_series(12, 30, seed=1))
    path = tmp_path_factory.mktemp("wd1") / "events.wd1"
    write(path.with_name(path.name + ".gz"), gzip.compress(payload))
    return str(write(path, payload))


@pytest.mark.parametrize("keywords, cls, text", [
    ({"columns": ["timestamp", "x"]}, ValueError, r"^argument 'columns': unknown column 'x'"),
    ({"columns": ["samples"]}, ValueError, r"^argument 'columns': unknown column 'samples'"),  # a WD2 field
    ({"columns": ["data", "offsets"]}, ValueError, "'offsets' comes with 'data'"),
    ({"columns": []}, ValueError, "select at least one column"),
    ({"columns": ()}, ValueError, "select at least one column"),
    ({"columns": "timestamp"}, TypeError, "columns"),
    ({"columns": b"timestamp"}, TypeError, "columns"),
    ({"columns": {"timestamp"}}, TypeError, "columns"),
    ({"columns": frozenset({"timestamp"})}, TypeError, "columns"),
    ({"columns": iter(["timestamp"])}, TypeError, "columns"),
    ({"columns": 3}, TypeError, "columns"),
    ({"columns": ["timestamp", 3]}, TypeError, "columns"),
    ({"columns": ["timestamp", b"data"]}, TypeError, "columns"),
    ({"start": -1}, ValueError, r"^argument 'start' must be at least 0, got -1$"),
    ({"stop": -1}, ValueError, r"^argument 'stop' must be at least 0, got -1$"),
    ({"start": -2**80}, ValueError, rf"^argument 'start' must be at least 0, got {-2**80}$"),
    ({"start": True}, TypeError, r"^argument 'start': 'bool' object cannot be cast as 'int'$"),
    ({"stop": False}, TypeError, r"^argument 'stop': 'bool' object cannot be cast as 'int'$"),
    ({"start": 1.0}, TypeError, r"^argument 'start': 'float' object cannot be cast as 'int'$"),
    ({"stop": 2.5}, TypeError, r"^argument 'stop': 'float' object cannot be cast as 'int'$"),
    ({"start": None}, TypeError, r"^argument 'start': 'NoneType' object cannot be cast as 'int'$"),
], ids=lambda value: None if isinstance(value, (dict, str)) else value.__name__)
@pytest.mark.parametrize("entry", ["BatchReader", "partitions"])
def test_refused_selections(wd1_path, entry, keywords, cls, text):
    make = BatchReader if entry == "BatchReader" else BatchReader.partitions
    with pytest.raises(cls, match=text) as caught:
        make(wd1_path, "WD1", **keywords)
    assert type(caught.value) is cls
    if "unknown column" in text:
        assert all(name in str(caught.value) for name in names("WD1")), caught.value


def test_accepted_selections(wd1_path):
    """Any sequence, in any order, duplicates ignored; start and stop by __index__."""
    reader = BatchReader(wd1_path, "WD1", columns=["data", "byte_offset", "timestamp", "data"],
                         start=np.int64(2), stop=np.uint8(5))
    assert reader.columns == ("timestamp", "byte_offset", "offsets", "data")
    assert reader.event_range == (2, 5)
    assert next(reader)["byte_offset"].tolist() == [2 * 84, 3 * 84, 4 * 84]
    first, last = BatchReader(wd1_path, "WD1", start=7, stop=3).event_range
    assert first == 7 and last <= first
    assert list(BatchReader(wd1_path, "WD1", start=7, stop=3)) == []


@pytest.mark.parametrize("make, keywords", [
    (lambda p, files: p + ".gz", {}),
    (lambda p, files: p, {"compression": "gzip"}),
    (lambda p, files: files.enter_context(gzip.open(p + ".gz")), {}),
    (lambda p, files: io.BytesIO(Path(p).read_bytes()), {}),
    (lambda p, files: files.enter_context(subprocess.Popen(["cat", p], stdout=subprocess.PIPE)).stdout, {}),
], ids=["gz-name", "gzip-named", "gzip-file-object", "bytesio", "pipe"])
def test_partitions_refuse_what_cannot_be_split(wd1_path, make, keywords):
    with ExitStack() as files:
        source = make(wd1_path, files)
        with pytest.raises(ValueError, match="cannot be split"):
            BatchReader.partitions(source, "WD1", **keywords)


@pytest.mark.parametrize("args, keywords, cls, text", [
    ((), {"partition_bytes": 0}, ValueError, "partition_bytes"),
    ((), {"partition_bytes": -1}, ValueError, "partition_bytes"),
    ((300,), {}, TypeError, "positional argument"),  # partition_bytes is a keyword: 300 must not pass as max_events
    ((), {"partition_byte": 300}, TypeError, "unexpected keyword argument 'partition_byte'"),
])
def test_partitions_binding(wd1_path, args, keywords, cls, text):
    with pytest.raises(cls, match=text):
        BatchReader.partitions(wd1_path, "WD1", *args, **keywords)


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_partitions_of_an_empty_file(tmp_path, reader_type):
    # No events: none to split, or the plain reader's own refusal (WD2's
    # layout cannot be probed in an empty file).
    path = str(write(tmp_path / "empty", b""))
    for source in (path, b""):
        try:
            BatchReader(source, reader_type)
        except OSError as refused:
            with pytest.raises(type(refused), match=re.escape(str(refused))):
                BatchReader.partitions(source, reader_type)
        else:
            assert BatchReader.partitions(source, reader_type) == []


# ---- Pickling ----------------------------------------------------------------------

def read_by_arrow(reader):
    pa = pytest.importorskip("pyarrow")
    pa.RecordBatchReader.from_stream(reader).read_next_batch()


@pytest.mark.parametrize("make, use, says", [
    (lambda p, files: BatchReader(p, "WD1", 5), next, "has been read from"),
    (lambda p, files: BatchReader(p, "WD1", 5), read_by_arrow, "has been read from"),
    (lambda p, files: BatchReader.partitions(p, "WD1", partition_bytes=200)[1], next, "has been read from"),
    (lambda p, files: BatchReader(files.enter_context(open(p, "rb")), "WD1"), None, "file object"),
    (lambda p, files: BatchReader(io.BytesIO(Path(p).read_bytes()), "WD1"), None, "file object"),
    (lambda p, files: BatchReader(Path(p).read_bytes(), "WD1"), None, "buffer"),
    (lambda p, files: BatchReader(np.fromfile(p, np.uint8), "WD1"), None, "buffer"),
    (lambda p, files: BatchReader.partitions(Path(p).read_bytes(), "WD1", partition_bytes=200)[0], None, "buffer"),
], ids=["iterated", "arrow-stream", "iterated-partition", "file", "bytesio", "bytes", "numpy", "bytes-partition"])
def test_pickling_refused(wd1_path, make, use, says):
    with ExitStack() as files:
        reader = make(wd1_path, files)
        if use is not None:
            use(reader)
        with pytest.raises(TypeError, match=says):
            pickle.dumps(reader)


@pytest.mark.parametrize("source, keywords", [
    (lambda p: p, {}),
    (lambda p: Path(p), {"columns": ["event_counter", "byte_offset"], "start": 2, "stop": 9}),
    (lambda p: p + ".gz", {"columns": ["byte_offset", "data"], "start": 3}),
    (lambda p: p + ".gz", {"compression": None}),  # the compressed bytes read as events: not decompressed
], ids=["str", "pathlike", "gzip", "gzip-as-events"])
def test_unpickled_readers_read_as_the_original(wd1_path, source, keywords):
    reader = BatchReader(source(wd1_path), "WD1", 5, 700, **keywords)
    copy = pickle.loads(pickle.dumps(reader))
    assert (copy.columns, copy.event_range, copy.byte_range) == (reader.columns, reader.event_range, None)
    columns = keywords.get("columns")
    assert read_steps([copy], "WD1", columns, 5, 700) == read_steps([reader], "WD1", columns, 5, 700)


@pytest.mark.parametrize("pickled", [False, True])
@pytest.mark.parametrize("change", ["append", "truncate"])
def test_a_partition_of_a_file_that_changed_size(tmp_path, change, pickled):
    path = str(write(tmp_path / "events", wd1_bytes(wd1_series(12, 30, seed=2))))
    parts = BatchReader.partitions(path, "WD1", partition_bytes=300)
    blob = pickle.dumps(parts)
    with open(path, "ab") as f:
        if change == "append":
            f.write(wd1_bytes(wd1_series(1, 30)))
        else:
            f.truncate(500)
    assert len(parts) == 3  # of 4 events, 336 bytes
    for i in range(len(parts)):
        reader = None
        with pytest.raises(ValueError, match="changed size"):
            reader = pickle.loads(blob)[i] if pickled else parts[i]
            next(reader)
        for _ in range(2 if reader is not None else 0):  # and no event after it
            with pytest.raises((StopIteration, ValueError)):
                next(reader)


PICKLE_CHILD = r"""
import json, pickle, sys
import numpy, pelvar
readers = pickle.loads(bytes.fromhex(json.loads(sys.argv[1])["pickle"]))
print(json.dumps([[{k: v.tobytes().hex() for k, v in b.items()} for b in r] for r in readers]))
"""


@pytest.mark.parametrize("channels", [1, 3])
def test_readers_unpickled_in_another_process(tmp_path, channels):
    """The WD2 layout travels with the reader: a partition that begins inside
    a single-channel file cannot probe it there."""
    path = str(write(tmp_path / "events", wd2_bytes(wd2_series(40, channels, 9, seed=5))))
    readers = [BatchReader(path, "WD2", 7, columns=["data", "channels", "byte_offset"], start=3, stop=30),
               *BatchReader.partitions(path, "WD2", partition_bytes=500, max_events=7)]
    got = run_python(PICKLE_CHILD, {"pickle": pickle.dumps(readers).hex()})
    assert len(readers) > 3
    assert got == [[{k: v.tobytes().hex() for k, v in b.items()} for b in r] for r in readers]


# ---- Arrow -------------------------------------------------------------------------

@pytest.mark.parametrize("reader_type, columns, fields", [
    ("WD1", ["byte_offset", "timestamp"], ["timestamp", "byte_offset"]),
    ("WD2", ["channels", "event_counter", "channels"], ["event_counter", "channels"]),
    ("WD2", ["data", "samples"], ["samples", "data"]),
])
def test_the_arrow_schema_follows_the_columns(tmp_path, reader_type, columns, fields):
    pa = pytest.importorskip("pyarrow")
    payload = wd1_bytes(wd1_series(9, 5)) if reader_type == "WD1" else wd2_bytes(wd2_series(9, 2, 5))
    path = str(write(tmp_path / "events", payload))
    schema = pa.RecordBatchReader.from_stream(BatchReader(path, reader_type, columns=columns)).schema
    assert schema.names == fields and pa.schema(BatchReader(path, reader_type, columns=columns)) == schema
    types = {**COLUMNS[reader_type], "byte_offset": np.int64}
    for name in fields:
        field = schema.field(name).type
        if name == "data":
            assert pa.types.is_large_list(field) and field.value_type == pa.from_numpy_dtype(SAMPLES[reader_type])
        else:
            assert field == pa.from_numpy_dtype(types[name])
    table = pa.table(BatchReader(path, reader_type, 4, columns=columns))
    batches = list(BatchReader(path, reader_type, 4, columns=columns))
    assert table.num_rows == 9 and table.column(fields[0]).to_pylist() == \
        np.concatenate([b[fields[0]] for b in batches]).tolist()


def test_arrow_streams_of_a_slice_and_of_partitions(wd1_path):
    pa = pytest.importorskip("pyarrow")
    table = pa.table(BatchReader(wd1_path, "WD1", 2, start=3, stop=7))
    assert table.num_rows == 4 and table.column("event_counter").to_pylist() == [3, 4, 5, 6]
    parts = BatchReader.partitions(wd1_path, "WD1", partition_bytes=200, columns=["byte_offset"], start=1)
    assert pa.concat_tables(pa.table(p) for p in parts).column("byte_offset").to_pylist() == \
        [84 * i for i in range(1, 12)]


def test_with_columns_reads_the_same_events(tmp_path):
    path = str(write(tmp_path / "a.wd1", wd1_bytes(wd1_series(30, 40, seed=5))))
    parts = BatchReader.partitions(path, "WD1", partition_bytes=500, columns=["data"], start=2, stop=27)
    next(parts[1])  # read from or not, a copy starts at the partition's first event
    narrowed = [part.with_columns(["byte_offset", "timestamp"]) for part in parts]
    assert [(n.event_range, n.byte_range) for n in narrowed] == [(p.event_range, p.byte_range) for p in parts]
    whole = BatchReader(path, "WD1", columns=["timestamp", "byte_offset"], start=2, stop=27)
    columns = ["timestamp", "byte_offset"]
    assert read_steps(narrowed, "WD1", columns)[0] == read_steps([whole], "WD1", columns)[0]
    assert parts[0].with_columns(None).columns == BatchReader(path, "WD1").columns
    with pytest.raises(TypeError, match="buffer"):
        BatchReader(b"", "WD1").with_columns(["timestamp"])
    with pytest.raises(ValueError, match="unknown column"):
        parts[0].with_columns(["samples"])
