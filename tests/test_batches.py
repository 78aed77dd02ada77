"""BatchReader: batches that flatten to EventReader's events and failures,
the limits of a batch, its arrays, construction, end of file and threads."""

from __future__ import annotations

import gc
import os
import threading
import weakref

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import pelvar
from eventfiles import (WD1Event, batch_events, descriptors_on, no_descriptor_leak, same_events, wd1_bytes,
                        wd1_header, wd1_series, wd2_bytes, wd2_series, write)
from test_anomalies import run_python
from test_random_files import INT32, SETTINGS, Scratch, wd1_events, wd2_files
from test_threads import check_shared_reader, digest, hammer

EventReader, BatchReader = pelvar.EventReader, pelvar.BatchReader

COLUMNS = {
    "WD1": {"event_size": np.int32, "board_id": np.int32, "pattern": np.int32, "board_channel": np.int32,
            "event_counter": np.int32, "timestamp": np.int32},
    "WD2": {"event_counter": np.uint32, "timestamp": np.uint64, "samples": np.uint32,
            "sampling_period": np.uint64, "channels": np.int32},
}
SAMPLES = {"WD1": np.uint16, "WD2": np.float32}


def event_bytes(batch: dict, i: int) -> int:
    """What event i adds to a batch: a value in every header column, an offset, its samples."""
    head = sum(batch[key].itemsize for key in batch if key != "data")
    return head + int(batch["offsets"][i + 1] - batch["offsets"][i]) * batch["data"].itemsize


def check_batch(batch: dict, reader_type: str, max_events: int, max_bytes: int) -> int:
    """The shape of one batch; returns its number of events."""
    assert list(batch) == [*COLUMNS[reader_type], "offsets", "data"]
    want = {**COLUMNS[reader_type], "offsets": np.int64, "data": SAMPLES[reader_type]}
    for key, array in batch.items():
        assert type(array) is np.ndarray and array.ndim == 1 and array.dtype == np.dtype(want[key]), key
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned, key
        assert type(array.base).__name__ == "PySliceContainer", key
    offsets = batch["offsets"]
    events = len(offsets) - 1
    assert 1 <= events <= max_events
    assert all(len(batch[key]) == events for key in COLUMNS[reader_type])
    assert offsets[0] == 0 and offsets[-1] == len(batch["data"]) and np.all(np.diff(offsets) >= 0)
    assert events == 1 or sum(a.nbytes for a in batch.values()) <= max_bytes
    return events


def event_key(event: dict) -> tuple:
    """An event, bit for bit, with the types of its values."""
    data = event["data"]
    head = tuple((key, type(value).__name__, value) for key, value in event.items() if key != "data")
    return head + (data.dtype.str, data.shape, data.tobytes())


def drive(step) -> list:
    """As the fault tests' child: call until three ends or three failures in
    a row; an event (or a batch's events) resets both counts."""
    steps, stops, raises = [], 0, 0
    while stops < 3 and raises < 3:
        try:
            got = step()
        except StopIteration:
            steps.append(("stop",))
            stops += 1
        except BaseException as error:
            if not isinstance(error, Exception) and type(error).__name__ != "PanicException":
                raise
            steps.append(("raised", type(error).__name__, error.args))
            raises += 1
        else:
            steps += got
            stops = raises = 0
    return steps


def batch_steps(reader, reader_type: str, max_events: int, max_bytes: int) -> list:
    """The batches' events one by one, each batch checked; a batch ends
    only where the next one's first event would not fit."""
    last = [None]

    def step():
        try:
            batch = next(reader)
        except BaseException:
            last[0] = None
            raise
        check_batch(batch, reader_type, max_events, max_bytes)
        previous = last[0]
        if previous is not None:
            count = len(previous["offsets"]) - 1
            size = sum(a.nbytes for a in previous.values())
            assert count == max_events or size + event_bytes(batch, 0) > max_bytes, "a batch ended early"
        last[0] = batch
        return [event_key(e) for e in batch_events(batch)]
    return drive(step)


# ---- Batches flatten to EventReader's sequence ---------------------------------

@pytest.fixture(scope="module")
def scratch():
    file = Scratch()
    yield file
    os.close(file.fd)


def odd_wd1_header():
    """event_size 23 (no samples) down to -30: all but 23 raise "capacity overflow"."""
    return st.builds(lambda size, words: wd1_header(size, *words), st.integers(-30, 23), st.tuples(*[INT32] * 5))


def wd1_payloads():
    one = st.integers(0, 3).flatmap(lambda k: odd_wd1_header() if k == 0 else wd1_events().map(WD1Event.to_bytes))
    return st.lists(one, max_size=14)


@st.composite
def wd2_payloads(draw):
    _, events = draw(wd2_files(multi=draw(st.booleans())))
    return [e.to_bytes() for e in events]


@SETTINGS
@given(data=st.data(), max_events=st.integers(1, 20), max_bytes=st.integers(1, 20000))
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_batches_flatten_to_the_events(scratch, reader_type, data, max_events, max_bytes):
    """Random files, whole, with a tail too short for an event, or cut in
    their last event (WD1 with sizes that raise among them): the batches'
    events and the exceptions between them are EventReader's, in order."""
    items = data.draw(wd1_payloads() if reader_type == "WD1" else wd2_payloads(), label="events")
    payload = b"".join(items)
    ending = data.draw(st.sampled_from(["whole", "tail", "cut"]), label="ending")
    # WD2: the layout probe needs the first event and the second header whole.
    if ending == "cut" and len(items) > (2 if reader_type == "WD2" else 0):
        payload = payload[:len(payload) - data.draw(st.integers(1, len(items[-1])), label="cut")]
    elif ending == "tail":
        payload += bytes(range(data.draw(st.integers(0, 27), label="tail")))
    os.ftruncate(scratch.fd, 0)
    os.pwrite(scratch.fd, payload, 0)
    singles = EventReader(scratch.path, reader_type)
    events = drive(lambda: [event_key(next(singles))])
    batches = batch_steps(BatchReader(scratch.path, reader_type, max_events, max_bytes), reader_type, max_events,
                          max_bytes)
    assert batches == events


# ---- Construction ---------------------------------------------------------------

NEW = "BatchReader.__new__()"


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, f"{NEW} missing 2 required positional arguments: 'source' and 'reader_type'"),
    (("f",), {"max_events": 3}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
    ((), {"reader_type": "WD1", "max_bytes": 3}, f"{NEW} missing 1 required positional argument: 'source'"),
    (("f", "WD1", 1, 2, 3), {}, f"{NEW} takes from 2 to 4 positional arguments but 5 were given"),
    (("f", "WD1", 1, 2, 3, 4), {}, f"{NEW} takes from 2 to 4 positional arguments but 6 were given"),
    (("f", "WD1", 1, 2, 3), {"mode": 1}, f"{NEW} takes from 2 to 4 positional arguments but 5 were given"),
    (("f", "WD1"), {"max_event": 1}, f"{NEW} got an unexpected keyword argument 'max_event'"),
    (("f", "WD1", 1), {"max_events": 1}, f"{NEW} got multiple values for argument 'max_events'"),
    (("f", "WD1", 1, 2), {"max_bytes": 2}, f"{NEW} got multiple values for argument 'max_bytes'"),
    (("f", "WD1"), {"source": "g"}, f"{NEW} got multiple values for argument 'source'"),
    (("f", "WD1", 1, 2, "gzip"), {}, f"{NEW} takes from 2 to 4 positional arguments but 5 were given"),
    # Binding comes before the values are looked at.
    ((None,), {"max_events": 1.5}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
])
def test_binding_errors(args, kwargs, message):
    with no_descriptor_leak():
        with pytest.raises(TypeError) as caught:
            BatchReader(*args, **kwargs)
    assert type(caught.value) is TypeError and str(caught.value) == message


@pytest.fixture
def small_wd1(tmp_path):
    return str(write(tmp_path / "events.wd1", wd1_bytes(wd1_series(10, 4))))


class Count(int):
    pass


class Index:
    """Not an int, but usable as one (as range() takes it)."""

    def __init__(self, value: int):
        self.value = value

    def __index__(self) -> int:
        return self.value


@pytest.mark.parametrize("call, first_batch", [
    (lambda p: BatchReader(p, "WD1", 2), 2),
    (lambda p: BatchReader(p, "WD1", 2, 10**6), 2),
    (lambda p: BatchReader(max_bytes=10**6, max_events=2, reader_type="WD1", source=p), 2),
    (lambda p: BatchReader(p, "WD1", max_bytes=1), 1),  # every event larger than the limit: alone
    (lambda p: BatchReader(p, "WD1", Count(3), Count(10**6)), 3),
    (lambda p: BatchReader(p, "WD1", np.int64(3), np.uint64(10**6)), 3),
    (lambda p: BatchReader(p, "WD1", max_events=np.uint8(4), max_bytes=Index(10**6)), 4),
    (lambda p: BatchReader(p, "WD1", Index(2**80), np.uint64(2**64 - 1)), 10),
    (lambda p: BatchReader(p, "WD1", 2**80, 2**80), 10),  # beyond the machine's size: no limit
    (lambda p: BatchReader(p, "WD1", 2**63, 2**64), 10),
    (lambda p: BatchReader(p, "WD1"), 10),
])
def test_limits_are_bound(small_wd1, call, first_batch):
    batches = list(call(small_wd1))
    assert len(batches[0]["offsets"]) - 1 == first_batch
    assert sum(len(b["event_counter"]) for b in batches) == 10


def test_default_max_events(tmp_path):
    """65,537 headers without samples are 2 MiB of columns, far below the
    default max_bytes: max_events alone ends the first batch."""
    path = str(write(tmp_path / "events", b"".join(wd1_header(24, timestamp=i) for i in range(65_537))))
    assert [len(b["timestamp"]) for b in BatchReader(path, "WD1")] == [65_536, 1]


@pytest.mark.parametrize("value, error", [
    (True, (TypeError, "'bool' object cannot be cast as 'int'")),
    (False, (TypeError, "'bool' object cannot be cast as 'int'")),
    (1.0, (TypeError, "'float' object cannot be cast as 'int'")),
    ("3", (TypeError, "'str' object cannot be cast as 'int'")),
    (None, (TypeError, "'NoneType' object cannot be cast as 'int'")),
    (0, (ValueError, "must be at least 1, got 0")),
    (-1, (ValueError, "must be at least 1, got -1")),
    (-2**80, (ValueError, f"must be at least 1, got {-2**80}")),
    (np.float64(2.0), (TypeError, "'float64' object cannot be cast as 'int'")),
    (np.int64(0), (ValueError, "must be at least 1, got 0")),
    (np.int8(-3), (ValueError, "must be at least 1, got -3")),
    (Index(0), (ValueError, "must be at least 1, got 0")),
])
@pytest.mark.parametrize("parameter", ["max_events", "max_bytes"])
def test_limit_errors(small_wd1, parameter, value, error):
    cls, text = error
    with no_descriptor_leak():
        with pytest.raises(cls) as caught:
            BatchReader(small_wd1, "WD1", **{parameter: value})
    assert type(caught.value) is cls
    if cls is TypeError:
        assert caught.value.args == (f"argument '{parameter}': {text}",)
    else:
        assert caught.value.args == (f"argument '{parameter}' {text}",)


def os_text(number: int) -> str:
    return f"{os.strerror(number)} (os error {number})"


@pytest.mark.parametrize("make_path, reader_type, cls, text", [
    (lambda t: str(t / "missing"), "WD1", FileNotFoundError, os_text(2)),
    (lambda t: str(t / "missing"), "XYZ", FileNotFoundError, os_text(2)),  # the file first
    (lambda t: str(write(t / "f", b"")), "wd1", ValueError, "unknown reader type 'wd1', expected 'WD1' or 'WD2'"),
    (lambda t: str(write(t / "f", b"")), "WD2", OSError, "failed to fill whole buffer"),
    (lambda t: str(t), "WD2", OSError, os_text(21)),
    (lambda t: str(write(t / "f", b"")) + "\0", "WD1", OSError, "file name contained an unexpected NUL byte"),
    (lambda t: b"f", "WD1", TypeError, "argument 'path': 'bytes' object cannot be cast as 'str'"),
    (lambda t: "f", 1, TypeError, "argument 'reader_type': 'int' object cannot be cast as 'str'"),
], ids=["missing", "missing-unknown-type", "unknown-type", "empty-wd2", "directory-wd2", "nul", "bytes-path",
        "int-type"])
@pytest.mark.parametrize("reader_class", [EventReader, BatchReader], ids=["EventReader", "BatchReader"])
def test_open_errors_are_those_of_event_reader(tmp_path, reader_class, make_path, reader_type, cls, text):
    assert os_text(2) == "No such file or directory (os error 2)"
    path = make_path(tmp_path)
    if reader_class is BatchReader and isinstance(path, bytes):
        pytest.skip("bytes are a buffer to a BatchReader, read from memory")
    with no_descriptor_leak():
        with pytest.raises(BaseException) as caught:
            reader_class(path, reader_type)
    assert type(caught.value) is cls and caught.value.args == (text,)
    if isinstance(caught.value, OSError):
        assert caught.value.errno is None and caught.value.filename is None


# ---- The type -----------------------------------------------------------------

def test_type_surface(small_wd1):
    assert pelvar.__all__ == ["EventReader", "BatchReader"]
    assert BatchReader.__module__ == "pelvar" and BatchReader.__name__ == "BatchReader"
    assert BatchReader.__text_signature__ == (
        "(source, reader_type, max_events=65536, max_bytes=4194304, *, compression='infer', columns=None, start=0, "
        "stop=None)")
    with pytest.raises(TypeError):
        type("Sub", (BatchReader,), {})
    reader = BatchReader(small_wd1, "WD1")
    assert iter(reader) is reader and gc.is_tracked(reader)
    with pytest.raises(AttributeError):
        reader.limit = 1
    with pytest.raises(AttributeError):
        reader.__dict__
    with pytest.raises(TypeError):
        weakref.ref(reader)
    assert len(list(reader)) == 1


# ---- Arrays and memory ----------------------------------------------------------

FILES = {
    "WD1": lambda: wd1_bytes(wd1_series(40, 300, seed=3)),
    "WD2": lambda: wd2_bytes(wd2_series(40, 3, 100, seed=4)),
}


@pytest.mark.parametrize("steps", [0, 1, 100])
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_arrays_outlive_the_reader_which_closes_its_file_at_once(tmp_path, reader_type, steps):
    path = str(write(tmp_path / "events", FILES[reader_type]()))
    reference = list(EventReader(path, reader_type))
    with no_descriptor_leak():
        reader = BatchReader(path, reader_type, 7)
        assert len(descriptors_on(path)) == 1
        batches = [b for _, b in zip(range(steps), reader)]
        del reader
        assert descriptors_on(path) == []
    gc.collect()
    flat = [e for b in batches for e in batch_events(b)]
    assert same_events(flat, reference[:len(flat)])


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_batches_share_no_memory(tmp_path, reader_type):
    """Every array of every held batch filled with its batch's byte: none
    overwrote another; batches read into blocks that freed batches gave back
    are right and leave the held ones alone."""
    path = str(write(tmp_path / "events", FILES[reader_type]()))
    reference = list(EventReader(path, reader_type))
    held = list(BatchReader(path, reader_type, 3))
    assert same_events([e for b in held for e in batch_events(b)], reference)
    for i, batch in enumerate(held):
        for array in batch.values():
            array.view(np.uint8)[:] = i + 1
    del held[1::2]  # their blocks go back to the pool
    again = list(BatchReader(path, reader_type, 3))
    assert same_events([e for b in again for e in batch_events(b)], reference)
    for i, batch in zip(range(0, 100, 2), held):
        for key, array in batch.items():
            assert np.all(array.view(np.uint8) == i + 1), (i, key)


TRACED_CHILD = r"""
import json, sys, tracemalloc
import numpy, pelvar
config = json.loads(sys.argv[1])
tracemalloc.start()
reader = pelvar.BatchReader(config["path"], config["format"])
before = tracemalloc.get_traced_memory()[0]
batch = next(reader)
grown = tracemalloc.get_traced_memory()[0] - before
print(json.dumps({"grown": grown, "nbytes": sum(a.nbytes for a in batch.values())}))
"""


@pytest.mark.parametrize("reader_type, payload", [
    ("WD1", wd1_bytes(wd1_series(4, 250_000, seed=5))),
    ("WD2", wd2_bytes(wd2_series(4, 2, 125_000, seed=6))),
])
def test_tracemalloc_sees_the_batch(tmp_path, reader_type, payload):
    """In a fresh interpreter, whose block pool is empty."""
    path = write(tmp_path / "events", payload)
    result = run_python(TRACED_CHILD, {"path": str(path), "format": reader_type})
    assert result["nbytes"] > 0.99 * len(payload)
    assert result["grown"] >= result["nbytes"], result


CLAIM_CHILD = r"""
import json, sys, tracemalloc
import numpy, pelvar
config = json.loads(sys.argv[1])
readers = {
    "events": lambda: pelvar.EventReader(config["path"], "WD1"),
    "batches": lambda: pelvar.BatchReader(config["path"], "WD1"),
    "batches of up to 1 TiB": lambda: pelvar.BatchReader(config["path"], "WD1", max_bytes=1 << 40),
}
tracemalloc.start()
peaks = {}
for name, make in readers.items():
    reader = make()
    before = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    try:
        for _ in reader:
            pass
    except Exception:
        pass
    peaks[name] = tracemalloc.get_traced_memory()[1] - before
    del reader
print(json.dumps(peaks))
"""


def test_a_claim_beyond_the_file_is_not_reserved(tmp_path):
    """A header that claims 2 GiB before 100 bytes of samples: a batch
    reserves what the file can still fill, whatever max_bytes allows, and
    grows as bytes arrive, as the event path's buffer does."""
    path = write(tmp_path / "events", wd1_header(2**31 - 2) + bytes(100))
    peaks = run_python(CLAIM_CHILD, {"path": str(path)})
    assert all(peak < peaks["events"] + (64 << 10) for peak in peaks.values()), peaks


# ---- End of file ---------------------------------------------------------------

@pytest.mark.parametrize("cut", [0, 10, 30], ids=["boundary", "header", "samples"])
@pytest.mark.parametrize("reader_type, events", [
    ("WD1", wd1_series(8, 20, seed=7)),
    ("WD2", wd2_series(8, 3, 7, seed=8)),
])
def test_events_appended_after_the_end_are_read(tmp_path, reader_type, events, cut):
    """A file ending `cut` bytes into its fifth event: the batches end before
    it (its bytes are spent); events appended then come in the next calls,
    as from EventReader."""
    chunks = [e.to_bytes() for e in events]
    path = str(write(tmp_path / "events", b"".join(chunks[:4]) + chunks[4][:cut]))
    batches, singles = BatchReader(path, reader_type, 3), EventReader(path, reader_type)
    got = [[e for b in batches for e in batch_events(b)]]
    want = [list(singles)]
    assert next(batches, None) is None and next(singles, None) is None
    with open(path, "ab") as f:
        f.write(b"".join(chunks[5:]))
    got.append([e for b in batches for e in batch_events(b)])
    want.append(list(singles))
    for g, w in zip(got, want):
        assert same_events(g, w)
    assert same_events(got[0] + got[1], [e.expected() for e in events[:4] + events[5:]])


# ---- Threads ---------------------------------------------------------------------

def test_threads_with_readers_of_their_own(tmp_path):
    """Each of two threads reads its own file through its own reader, the
    interpreter let go of while a batch fills: each gets exactly its file."""
    paths = {"WD1": str(write(tmp_path / "a.wd1", wd1_bytes(wd1_series(1500, 300, seed=11)))),
             "WD2": str(write(tmp_path / "b.wd2", wd2_bytes(wd2_series(1200, 2, 150, seed=12))))}
    reference = {t: [digest(e) for e in EventReader(p, t)] for t, p in paths.items()}
    got: dict[str, list] = {}
    start = threading.Barrier(2)

    def work(reader_type):
        start.wait()
        readings = []
        for max_events in (1, 7, 300):
            reader = BatchReader(paths[reader_type], reader_type, max_events)
            readings.append([digest(e) for b in reader for e in batch_events(b)])
        got[reader_type] = readings

    threads = [threading.Thread(target=work, args=(t,)) for t in paths]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    for reader_type, readings in got.items():
        assert all(r == reference[reader_type] for r in readings), reader_type
    assert sorted(got) == ["WD1", "WD2"]


class BatchDigests:
    """A BatchReader seen as an iterator of one digest per batch, for the
    threads' hammer: every call goes to the reader's own __next__/__iter__."""

    def __init__(self, reader):
        self.reader = reader

    def __iter__(self):
        self.reader.__iter__()
        return self

    def __next__(self):
        batch = self.reader.__next__()
        return {"events": tuple(digest(e) for e in batch_events(batch)),
                "data": np.frombuffer(b"".join(a.tobytes() for a in batch.values()), np.uint8)}


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_two_threads_share_one_reader(tmp_path, reader_type):
    """Every call yields a batch or fails at once with the borrow's
    RuntimeError; together the threads get every batch exactly once, each in
    file order, and the batches are the file's events."""
    if reader_type == "WD1":
        path = str(write(tmp_path / "many", wd1_bytes(wd1_series(1500, 300, seed=11))))
    else:
        path = str(write(tmp_path / "many", wd2_bytes(wd2_series(1200, 2, 150, seed=12))))
    events = [digest(e) for e in EventReader(path, reader_type)]
    batches = list(BatchDigests(BatchReader(path, reader_type, 5)))
    assert [d for b in batches for d in b["events"]] == events
    reference = [digest(b) for b in batches]
    conflicts = 0
    # Three rounds at least, more until the flag was contended: on a loaded
    # machine one thread often takes the whole file before the other runs.
    for round_number in range(100):
        run = hammer(BatchDigests(BatchReader(path, reader_type, 5)), threads=2)
        totals = check_shared_reader(run, reference)
        conflicts += totals["__next__ conflict"] + totals["__iter__ conflict"]
        if round_number >= 2 and conflicts:
            break
    assert conflicts, "the threads never met: the test proved nothing"
