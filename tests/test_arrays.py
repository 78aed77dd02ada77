"""The "data" arrays: zero-copy NumPy arrays over each event's own sample
buffer, owned by a PySliceContainer."""

import gc
import json
import subprocess
import sys
import textwrap
import tracemalloc
import weakref

import numpy as np
import pytest

import pelvar
from eventfiles import WD1Event, WD2Event, float_bits, wd1_bytes, wd1_series, wd2_bytes, wd2_series, write

EventReader = pelvar.EventReader

FORMATS = {
    "WD1": (np.uint16, 2, lambda n: wd1_bytes(wd1_series(3, n))),
    "WD2": (np.float32, 4, lambda n: wd2_bytes(wd2_series(3, 2, n))),
}


def events_of(tmp_path, reader_type, samples):
    return list(EventReader(str(write(tmp_path / "f", FORMATS[reader_type][2](samples))), reader_type))


def array_of(tmp_path, reader_type, samples=4):
    return events_of(tmp_path, reader_type, samples)[0]["data"]


# ---- What the arrays are ----------------------------------------------------------

@pytest.mark.parametrize("samples", [0, 1, 5, 5000])
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_array_properties(tmp_path, reader_type, samples):
    dtype, itemsize, _ = FORMATS[reader_type]
    length = samples * (2 if reader_type == "WD2" else 1)
    for event in events_of(tmp_path, reader_type, samples):
        a = event["data"]
        assert type(a) is np.ndarray
        assert a.dtype == np.dtype(dtype) and a.dtype.isnative
        assert a.ndim == 1 and a.shape == (length,)
        assert a.strides == (itemsize,) and a.itemsize == itemsize
        assert a.flags.writeable and a.flags.aligned
        assert a.flags.c_contiguous and a.flags.f_contiguous
        assert not a.flags.owndata
        assert a.ctypes.data != 0
        assert a.ctypes.data % itemsize == 0
        assert type(a.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_empty_block(tmp_path, reader_type):
    a = array_of(tmp_path, reader_type, 0)
    assert a.shape == (0,) and a.size == 0 and a.nbytes == 0
    assert a.dtype == np.dtype(FORMATS[reader_type][0])
    assert a.ctypes.data != 0
    assert a.tolist() == [] and a.sum() == 0
    del a
    gc.collect()  # releasing an empty owner frees nothing and must not crash


def test_one_owner_type_for_both_formats(tmp_path):
    one = type(array_of(tmp_path, "WD1").base)
    other = type(array_of(tmp_path, "WD2").base)
    assert one is other


def test_owner_type():
    owner = type(pelvar_array())
    assert owner.__name__ == owner.__qualname__ == "PySliceContainer"
    assert owner.__module__ == "builtins"
    assert owner.__bases__ == (object,)
    assert owner.__doc__ == "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap"
    assert not hasattr(pelvar, "PySliceContainer")
    with pytest.raises(TypeError):
        owner()
    with pytest.raises(TypeError):
        type("Sub", (owner,), {})


def test_owner_instances(tmp_path):
    base = array_of(tmp_path, "WD1").base
    with pytest.raises(AttributeError):
        base.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(base)
    assert not gc.is_tracked(base)


def pelvar_array():
    import tempfile
    with tempfile.NamedTemporaryFile(suffix=".wd1") as f:
        f.write(WD1Event(samples=[1]).to_bytes())
        f.flush()
        return next(EventReader(f.name, "WD1"))["data"].base


# ---- Values bit for bit ---------------------------------------------------------

SPECIAL_FLOATS = [
    0x7FC00000,  # quiet NaN
    0x7FC00001,  # quiet NaN with a payload
    0xFFC12345,  # negative quiet NaN with a payload
    0x7F800001,  # signalling NaN: must not be quietened
    0xFFBFFFFF,  # negative signalling NaN, largest payload
    0x80000000,  # -0.0
    0x00000000,  # +0.0
    0x7F800000,  # +inf
    0xFF800000,  # -inf
    0x00000001,  # smallest subnormal
    0x807FFFFF,  # largest negative subnormal
    0x7F7FFFFF,  # largest finite
]


@pytest.mark.parametrize("channels", [1, 2])
def test_wd2_float_bits_survive(tmp_path, channels):
    raw = float_bits(SPECIAL_FLOATS)
    samples = len(SPECIAL_FLOATS) // channels
    events = [WD2Event(raw_values=float_bits([0x3FC00000] * len(SPECIAL_FLOATS)) if i == 0 else raw,
                       event_counter=i, samples=samples, channels=channels, with_channel_field=channels > 1)
              for i in range(3)]
    got = list(EventReader(str(write(tmp_path / "f", wd2_bytes(events))), "WD2"))
    for event in got[1:]:
        assert event["data"].view(np.uint32).tolist() == SPECIAL_FLOATS
    assert np.signbit(got[1]["data"][5]) and got[1]["data"][5] == 0.0


def test_wd1_sample_extremes(tmp_path):
    values = [0, 1, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF, 0x1234]
    (event,) = list(EventReader(str(write(tmp_path / "f", WD1Event(samples=values).to_bytes())), "WD1"))
    assert event["data"].tolist() == values
    assert event["data"].tobytes() == np.asarray(values, dtype="<u2").tobytes()


# ---- Independence and lifetime -------------------------------------------------

@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_arrays_are_independent(tmp_path, reader_type):
    events = events_of(tmp_path, reader_type, 6)
    originals = [e["data"].copy() for e in events]
    arrays = [e["data"] for e in events]
    for i, a in enumerate(arrays):
        for j, b in enumerate(arrays):
            if i != j:
                assert not np.shares_memory(a, b)
                assert a.base is not b.base
    arrays[1][:] = 123
    assert (arrays[1] == 123).all()
    assert np.array_equal(arrays[0], originals[0]) and np.array_equal(arrays[2], originals[2])
    # reading the file again gives the file's values, not the modified ones
    again = events_of(tmp_path, reader_type, 6)
    assert np.array_equal(again[1]["data"], originals[1])


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_writes_reach_the_buffer(tmp_path, reader_type):
    a = array_of(tmp_path, reader_type, 8)
    before = a.copy()
    a[2:5][:] = 7  # through a view
    assert a[2:5].tolist() == [7, 7, 7]
    assert np.array_equal(a[:2], before[:2]) and np.array_equal(a[5:], before[5:])
    assert a.base.__class__.__name__ == "PySliceContainer"


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_views_outlive_reader_and_array(tmp_path, reader_type):
    path = str(write(tmp_path / "f", FORMATS[reader_type][2](1000)))
    reader = EventReader(path, reader_type)
    event = next(reader)
    expected = event["data"].copy()
    views = [event["data"][10:20], event["data"][::3], event["data"].reshape(-1, 2 if reader_type == "WD2" else 1),
             event["data"].view(np.uint8), event["data"][5:6][0:1]]
    del reader, event
    gc.collect()
    # churn the allocator so that freed memory would be reused
    junk = [np.ones(1000, dtype=np.float64) for _ in range(50)]
    junk += [next(EventReader(path, reader_type))["data"] for _ in range(20)]
    assert np.array_equal(views[0], expected[10:20])
    assert np.array_equal(views[1], expected[::3])
    assert np.array_equal(views[2].ravel(), expected)
    assert views[3].tobytes() == expected.tobytes()
    assert np.array_equal(views[4], expected[5:6])
    del junk


@pytest.mark.parametrize("reader_type, samples", [("WD1", 1024), ("WD2", 2048), ("WD1", 65536)])
def test_blocks_of_dropped_events_never_reach_live_views(tmp_path, reader_type, samples):
    # Events of one size, most of them dropped as soon as they are read: the
    # blocks they free may serve later events, but never one a view still holds.
    if reader_type == "WD1":
        series = wd1_series(60, samples)
        path, expected = write(tmp_path / "f", wd1_bytes(series)), [e.samples for e in series]
    else:
        series = wd2_series(60, 1, samples)
        path, expected = write(tmp_path / "f", wd2_bytes(series)), [e.values for e in series]
    kept = {}
    for i, event in enumerate(EventReader(str(path), reader_type)):
        assert np.array_equal(event["data"], expected[i])
        if i % 4 == 0:
            kept[i] = event["data"][3:-3]
        del event
    assert len(kept) == 15
    for i, view in kept.items():
        assert np.array_equal(view, expected[i][3:-3]), f"event {i} was overwritten"
    views = list(kept.values())
    assert not any(np.shares_memory(a, b) for n, a in enumerate(views) for b in views[n + 1:])


def test_buffer_is_freed_when_the_last_view_goes(tmp_path):
    # 4 MiB of samples: large enough to see in the traced size.
    samples = 2 * 1024 * 1024
    path = str(write(tmp_path / "f", WD1Event(samples=np.zeros(samples, dtype=np.uint16)).to_bytes()))
    tracemalloc.start()
    try:
        baseline = tracemalloc.get_traced_memory()[0]
        event = next(EventReader(path, "WD1"))
        view = event["data"][-10:]
        held = tracemalloc.get_traced_memory()[0] - baseline
        assert held >= 4 * 1024 * 1024, "the sample buffer is not traced"
        del event
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - baseline >= 4 * 1024 * 1024, "freed under a live view"
        del view
        gc.collect()
        assert tracemalloc.get_traced_memory()[0] - baseline < 64 * 1024
    finally:
        tracemalloc.stop()


def test_owner_is_held_by_the_array_alone(tmp_path):
    a = array_of(tmp_path, "WD2", 16)
    owner = a.base
    assert sys.getrefcount(owner) == 3  # a.base, the local name, getrefcount's argument
    del a
    assert sys.getrefcount(owner) == 2


# ---- NumPy looked up at run time -------------------------------------------------

CHILD = textwrap.dedent("""
    import json, sys
    path, reader_type, blocked = sys.argv[1], sys.argv[2], sys.argv[3]
    import pelvar
    report = {"numpy_imported_by_import": "numpy" in sys.modules}
    if blocked == "_ARRAY_API":
        # A capsule of another name in place of NumPy's table.
        import datetime, importlib, numpy
        major = int(numpy.__version__.split(".")[0])
        multiarray = importlib.import_module("numpy._core.multiarray" if major >= 2 else "numpy.core.multiarray")
        capsule = multiarray._ARRAY_API
        multiarray._ARRAY_API = datetime.datetime_CAPI

        def restore():
            multiarray._ARRAY_API = capsule
    else:
        if blocked != "numpy":
            import numpy  # only the one submodule is blocked
        saved = {name: sys.modules.pop(name) for name in list(sys.modules) if name == blocked or
                 (blocked == "numpy" and name.startswith("numpy."))}
        sys.modules[blocked] = None

        def restore():
            del sys.modules[blocked]
            sys.modules.update(saved)
    reader = pelvar.EventReader(path, reader_type)
    steps = []

    def step():
        try:
            event = next(reader)
            steps.append(["event", event["event_counter"], event["data"].tolist()])
        except StopIteration:
            steps.append(["end"])
        except BaseException as error:
            steps.append([type(error).__module__ + "." + type(error).__name__, str(error)])

    step()
    step()
    restore()
    step()
    step()
    step()
    report["steps"] = steps
    print(json.dumps(report))
""")


def run_child(path, reader_type, blocked):
    out = subprocess.run([sys.executable, "-c", CHILD, str(path), reader_type, blocked],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout), out.stderr


BROKEN_LOOKUPS = {
    "numpy": "Failed to access NumPy array API capsule",
    # The capsule is kept only once its pointer has been taken.
    "_ARRAY_API": "Failed to access NumPy array API capsule: ValueError: PyCapsule_GetPointer called with "
                  "incorrect name",
}


@pytest.mark.parametrize("blocked", list(BROKEN_LOOKUPS))
@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_numpy_not_importable(tmp_path, reader_type, blocked):
    """Two reads while the lookup fails, then two after it is mended: a
    failed lookup is tried again from where it failed."""
    if reader_type == "WD1":
        content = wd1_bytes([WD1Event(samples=[i, i + 1], event_counter=i) for i in range(4)])
    else:
        content = wd2_bytes([WD2Event(values=[i, i + 1], event_counter=i, channels=2, samples=1)
                             for i in range(4)])
    report, stderr = run_child(write(tmp_path / "f", content), reader_type, blocked)
    assert report["numpy_imported_by_import"] is False
    failed, failed_again, third, fourth, end = report["steps"]
    for failure in (failed, failed_again):
        assert failure[0] == "pyo3_runtime.PanicException"
        assert failure[1].startswith(BROKEN_LOOKUPS[blocked])
    # the events of the failed calls are lost; the next call reads on
    assert third == ["event", 2, [2, 3]]
    assert fourth == ["event", 3, [3, 4]]
    assert end == ["end"]
    assert "Failed to access NumPy array API capsule" in stderr


def test_numpy_not_importable_does_not_affect_the_end(tmp_path):
    report, _ = run_child(write(tmp_path / "f", b""), "WD1", "numpy")
    assert report["steps"] == [["end"]] * 5


def test_capsule_module_follows_the_numpy_version(tmp_path):
    content = wd1_bytes([WD1Event(samples=[i], event_counter=i) for i in range(5)])
    path = write(tmp_path / "f", content)
    major = int(np.__version__.split(".")[0])
    right, wrong = ("numpy._core.multiarray", "numpy.core.multiarray") if major >= 2 else \
        ("numpy.core.multiarray", "numpy._core.multiarray")
    report, _ = run_child(path, "WD1", right)
    assert [s[0] for s in report["steps"]] == ["pyo3_runtime.PanicException"] * 2 + ["event"] * 3
    report, _ = run_child(path, "WD1", wrong)
    assert [s[0] for s in report["steps"]] == ["event"] * 5
