"""Long runs leave nothing behind: iterating many events and constructing
and failing many readers keeps the traced memory, the C heap, the open
descriptors and (on a debug build of CPython) the total reference count
flat once the first rounds have warmed up the caches."""

from __future__ import annotations

import ctypes
import ctypes.util
import gc
import importlib
import itertools
import os
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import pelvar
from eventfiles import WD1Event, WD2Event, wd1_bytes, wd2_bytes, write

EVENTS = 100_000
BATCHES = 5


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _malloc_in_use():
    """Bytes in use on the C heap (malloc's own count), or None where the C
    library cannot say; it sees what tracemalloc does not, such as the
    readers' read-ahead buffers."""
    try:
        mallinfo2 = ctypes.CDLL(ctypes.util.find_library("c")).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    # A sanitizer's allocator answers with zeros.
    return in_use if in_use() > 0 else None


malloc_in_use = _malloc_in_use()


def samples(measure, batch) -> list[tuple[int, int, int | None]]:
    """(traced bytes, open descriptors, C heap bytes) after a warm-up batch and
    after each of BATCHES more."""
    points = []
    tracemalloc.start()
    try:
        for _ in range(BATCHES + 1):
            batch()
            gc.collect()
            points.append((tracemalloc.get_traced_memory()[0], open_descriptors(),
                           malloc_in_use() if malloc_in_use else None))
            if measure is not None:
                measure(points[-1])
    finally:
        tracemalloc.stop()
    return points[1:]


def assert_flat(points, calls_per_batch: int):
    """Less than 8 bytes a call over the measured batches: a leak of even one
    small object a call is twice that."""
    allowance = 8 * calls_per_batch * (len(points) - 1)
    traced = [p[0] for p in points]
    assert max(traced) - traced[0] < allowance, f"traced memory grows: {traced}"
    assert len({p[1] for p in points}) == 1, f"descriptors leak: {[p[1] for p in points]}"
    if points[0][2] is not None:
        heap = [p[2] for p in points]
        assert max(heap) - heap[0] < max(allowance, 64 * 1024), f"C heap grows: {heap}"


def wd1_file(path: Path, count: int) -> Path:
    """count events of two samples each, written with a structured dtype."""
    events = np.zeros(count, np.dtype([("head", "<i4", 6), ("data", "<u2", 2)]))
    events["head"][:, 0] = 28
    events["head"][:, 4] = np.arange(count)
    events["data"] = np.arange(2 * count).reshape(count, 2)
    return write(path, events.tobytes())


def wd2_file(path: Path, count: int) -> Path:
    """count events of two channels of two samples, with the channel field."""
    events = np.zeros(count, np.dtype([("counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"),
                                       ("period", "<u8"), ("channels", "<i4"), ("data", "<f4", 4)]))
    events["counter"] = np.arange(count)
    events["samples"] = 2
    events["period"] = 5
    events["channels"] = 2
    events["data"] = np.arange(4 * count, dtype=np.float32).reshape(count, 4)
    return write(path, events.tobytes())


@pytest.mark.parametrize("reader_type, make", [("WD1", wd1_file), ("WD2", wd2_file)])
def test_iterating_many_events_stays_flat(tmp_path, reader_type, make):
    path = make(tmp_path / "many", EVENTS)
    reader = pelvar.EventReader(str(path), reader_type)
    per_batch = EVENTS // (BATCHES + 1)
    seen = 0

    def batch():
        nonlocal seen
        for event in itertools.islice(reader, per_batch):
            seen += 1
        assert event["event_counter"] == seen - 1
    assert_flat(samples(None, batch), per_batch)
    assert seen == per_batch * (BATCHES + 1)
    rest = sum(1 for _ in reader)
    assert seen + rest == EVENTS


class Fixtures:
    def __init__(self, root: Path):
        self.wd1 = str(write(root / "events.wd1", wd1_bytes([WD1Event([1, 2, 3])] * 3)))
        self.empty = str(write(root / "empty", b""))
        self.missing = str(root / "missing")
        self.directory = str(root)
        # A negative channel count passes no probe: "capacity overflow".
        self.negative = str(write(root / "negative.wd2", wd2_bytes(
            [WD2Event(samples=3, channels=-1, event_counter=i) for i in range(2)])))
        # Two events whose size leaves no room for samples, then one event.
        self.small_size = str(write(root / "small.wd1", wd1_bytes(
            [WD1Event(event_size=22), WD1Event(event_size=0), WD1Event([5, 6])])))
        self.wd2 = str(write(root / "events.wd2", wd2_bytes(
            [WD2Event([1.0] * 4, event_counter=i, channels=2) for i in range(3)])))


def is_panic(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException"


def panics(call):
    try:
        call()
    except BaseException as exc:  # PanicException is no Exception
        if not is_panic(exc):
            raise
        return str(exc)
    raise AssertionError("no PanicException")


def iterate_small_sizes(f: Fixtures):
    reader = pelvar.EventReader(f.small_size, "WD1")
    for _ in range(2):
        assert panics(lambda: next(reader)) == "capacity overflow"
    assert next(reader)["data"].tolist() == [5, 6]


def iterate_directory(f: Fixtures):
    reader = pelvar.EventReader(f.directory, "WD1")
    with pytest.raises(IsADirectoryError):
        next(reader)
    assert list(reader) == []


def drop_mid_iteration(f: Fixtures):
    reader = pelvar.EventReader(f.wd2, "WD2")
    event = next(reader)
    del reader
    assert event["data"].tolist() == [1.0] * 4


FAILURES = {
    "no-arguments": (lambda f: pelvar.EventReader(), TypeError),
    "one-argument": (lambda f: pelvar.EventReader(f.wd1), TypeError),
    "three-arguments": (lambda f: pelvar.EventReader(f.wd1, "WD1", "x"), TypeError),
    "unknown-keyword": (lambda f: pelvar.EventReader(path=f.wd1, reader_type="WD1", mode="r"), TypeError),
    "twice-given": (lambda f: pelvar.EventReader(f.wd1, "WD1", path=f.wd1), TypeError),
    "bytes-path": (lambda f: pelvar.EventReader(f.wd1.encode(), "WD1"), TypeError),
    "int-format": (lambda f: pelvar.EventReader(f.wd1, 1), TypeError),
    "lone-surrogate": (lambda f: pelvar.EventReader(f.wd1 + "\udcff", "WD1"), UnicodeEncodeError),
    "nul-byte": (lambda f: pelvar.EventReader(f.wd1 + "\0", "WD1"), OSError),
    "missing-file": (lambda f: pelvar.EventReader(f.missing, "WD1"), FileNotFoundError),
    "unknown-format": (lambda f: pelvar.EventReader(f.wd1, "wd1"), ValueError),
    "probe-end-of-file": (lambda f: pelvar.EventReader(f.empty, "WD2"), OSError),
    "probe-directory": (lambda f: pelvar.EventReader(f.directory, "WD2"), OSError),
    "probe-capacity-overflow": (lambda f: pelvar.EventReader(f.negative, "WD2"), "panic"),
    "step-capacity-overflow": (iterate_small_sizes, None),
    "step-os-error": (iterate_directory, None),
    "dropped-mid-iteration": (drop_mid_iteration, None),
}
CALLS = 200


def fail_once(f: Fixtures, name: str):
    call, expected = FAILURES[name]
    if expected is None:
        call(f)
    elif expected == "panic":
        assert panics(lambda: call(f)) == "capacity overflow"
    else:
        with pytest.raises(expected):
            call(f)


@pytest.mark.parametrize("name", FAILURES)
def test_failing_readers_leave_nothing(tmp_path, name):
    f = Fixtures(tmp_path)

    def batch():
        for _ in range(CALLS):
            fail_once(f, name)
    assert_flat(samples(None, batch), CALLS)


def counts_references(binary: str) -> bool:
    """Whether an extension's own increments and decrements reach
    sys.gettotalrefcount(): only when it was compiled with Py_REF_DEBUG."""
    return b"RefTotal" in Path(binary).read_bytes()


# Arrays made per call. NumPy drops each array's reference to its owner
# object; a NumPy built without Py_REF_DEBUG does so without counting it.
ARRAYS_PER_CALL = {"step-capacity-overflow": 1, "dropped-mid-iteration": 1, "events": 1}


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of CPython")
@pytest.mark.parametrize("name", [*FAILURES, "events"])
def test_total_reference_count_stays_flat(tmp_path, name):
    if not counts_references(pelvar.__file__):
        pytest.skip("pelvar was built without Py_REF_DEBUG (build it with -DPy_DEBUG)")
    f = Fixtures(tmp_path)
    if name == "events":
        reader = pelvar.EventReader(str(wd1_file(tmp_path / "many", 20_000)), "WD1")

        def once():
            next(reader)
    else:
        def once():
            fail_once(f, name)
    uncounted = 0
    core = "numpy._core" if int(np.__version__.split(".")[0]) >= 2 else "numpy.core"
    if not counts_references(importlib.import_module(core + "._multiarray_umath").__file__):
        uncounted = ARRAYS_PER_CALL.get(name, 0) * CALLS
    counts = []
    for _ in range(BATCHES + 1):
        for _ in range(CALLS):
            once()
        gc.collect()
        counts.append(sys.gettotalrefcount() - uncounted * len(counts))
    counts = counts[1:]
    assert max(counts) - counts[0] < CALLS, f"references leak: {counts}"
