"""The benchmark script and its plain Python reader.

The benchmark runs here only as a quick smoke run (tiny files, one
repetition), so that it cannot rot; its figures are not looked at. The plain
reader is a second, independent reader of both formats: on small files it
must yield exactly the module's dictionaries.
"""

import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import pelvar
from eventfiles import WD1Event, WD2Event, wd1_bytes, wd1_series, wd2_bytes, wd2_series, write

BENCH = Path(__file__).resolve().parents[1] / "bench"
sys.path.insert(0, str(BENCH))
import plain_reader  # noqa: E402

def have_pyarrow() -> bool:
    """pyarrow with its Parquet writer, as bench/run.py needs it (an
    interpreter built without _ssl has pyarrow but cannot import
    pyarrow.parquet)."""
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return False
    return True


HAVE_PYARROW = have_pyarrow()
NO_PYARROW = "not measured: pyarrow is not installed"
# Runs the script with `import pyarrow` failing, as where it is not installed.
WITHOUT_PYARROW = ("import runpy, sys; sys.modules['pyarrow'] = None; sys.argv.pop(0); "
                   "runpy.run_path(sys.argv[0], run_name='__main__')")
# The same with dask.distributed, whose clusters take seconds to start.
WITHOUT_DASK = WITHOUT_PYARROW.replace("'pyarrow'", "'distributed'")


# ---- the benchmark script ---------------------------------------------------

def test_side_by_side_run_compares_two_module_folders(tmp_path):
    folder = str(Path(pelvar.__file__).parent)
    result = subprocess.run([sys.executable, str(BENCH / "compare.py"), "--rounds", "2", "--size-mib", "0.05",
                             "--workloads", "wd1-16,wd2-2x16", "--dir", str(tmp_path), f"a={folder}", f"b={folder}"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    rows = [line for line in result.stdout.splitlines() if line.startswith("| wd")]
    assert [row.split(" | ")[0] for row in rows] == ["| wd1-16 event", "| wd1-16 batch", "| wd2-2x16 event",
                                                     "| wd2-2x16 batch"]


@pytest.mark.parametrize("options, labels, arrow_labels, hide_pyarrow", [
    ([], ["WD1 0 samples", "WD1 16 samples", "WD1 1024 samples", "WD1 65536 samples",
          "WD2 2ch x 16", "WD2 2ch x 1024", "WD2 1ch x 1024", "streaming memory", "open cost flat",
          "fresh processes agree", "x floor", "x event path", "batch/pelvar", "batch/bandwidth", "batch/fromfile",
          "two threads reading two files / one thread reading one", "streaming memory, batch",
          "max_bytes=4194304 = 4 MiB (the default)"],
     ["  arrow  ", "x batch", "minor faults per pass", "WD1 0 samples: arrow/batch", "WD2 1ch x 1024: arrow/batch",
      "Parquet (zstd), WD1 16 samples, 1 MiB: streamed", "Parquet (zstd), WD1 65536 samples", "streamed/write_table"],
     False),
    (["--markdown", "--workloads", "wd1-16,wd2-1x1024", "--no-extras", "--clock", "wall", "--max-bytes", "1M"],
     ["| WD1 16 samples |", "| WD2 1ch x 1024 |", "| batch |", "max_bytes=1048576 = 1 MiB)"],
     ["| arrow |", "WD2 1ch x 1024: arrow/batch", "max_bytes=1 MiB)), timed like the others by wall-clock time"],
     False),
    (["--workloads", "wd2-2x16"], ["WD2 2ch x 16", "batch/bandwidth", "streaming memory, batch"], [], True),
], ids=["all", "markdown-subset", "without-pyarrow"])
def test_quick_run_prints_the_table(tmp_path, options, labels, arrow_labels, hide_pyarrow):
    script = [sys.executable, *(["-c", WITHOUT_PYARROW] if hide_pyarrow else []), str(BENCH / "run.py")]
    result = subprocess.run([*script, "--quick", "--dir", str(tmp_path), *options],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "events/s median [min, max]" in out and "MB/s median [min, max]" in out
    for reader in ("pelvar", "batch", "plain", "bandwidth"):
        assert reader in out
    # The floor is compiled by the script; without a C compiler it says so.
    assert "  floor  " in out or "| floor |" in out or "no floor: cannot build bench/floor.c" in out
    for label in labels:
        assert label in out
    if HAVE_PYARROW and not hide_pyarrow:
        for label in arrow_labels:
            assert label in out
        assert ("Parquet" in out) == ("--no-extras" not in options)
    else:  # said, and no arrow figures or targets
        assert f"arrow: {NO_PYARROW}" in out and "arrow/batch" not in out and "  arrow  " not in out
        assert (f"info  Parquet: {NO_PYARROW}" in out) == ("--no-extras" not in options)
    assert "targets:" in out
    assert any(line.startswith(("PASS", "FAIL")) for line in out.splitlines())
    assert list(tmp_path.iterdir()) == []  # its files are gone


SWEEP_WAYS = ["batch loop, file after file", "batch loop, a fresh process", "pyarrow.table, file after file"]


@pytest.mark.parametrize("hide_pyarrow", [False, True], ids=["with-pyarrow", "without-pyarrow"])
def test_quick_sweep_times_every_size_and_way(tmp_path, hide_pyarrow):
    script = [sys.executable, *(["-c", WITHOUT_PYARROW] if hide_pyarrow else []), str(BENCH / "run.py")]
    result = subprocess.run([*script, "--quick", "--dir", str(tmp_path), "--markdown", "--workloads",
                             "wd1-16,wd2-2x1024", "--max-bytes-sweep", "1,512K"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    with_arrow = HAVE_PYARROW and not hide_pyarrow
    ways = SWEEP_WAYS if with_arrow else SWEEP_WAYS[:2]
    # The speed table first, then the faults: a row per workload and way, a
    # number per size, the best of each speed row starred.
    speed = [line for line in out.split("minor page faults")[0].splitlines() if line.startswith("| ")]
    assert speed[0].endswith("| way | 1 MiB | 512 KiB |")
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in speed[1:]]
    assert [row[3] for row in rows] == ways * 2
    assert [row[0] for row in rows if row[0]] == ["WD1 16 samples", "WD2 2ch x 1024"]
    for row in rows:
        ratios = row[4:]
        assert len(ratios) == 2 and all(float(cell.rstrip("*")) > 0 for cell in ratios)
        assert sum(cell.endswith("*") for cell in ratios) >= 1
    assert ("Parquet (zstd) streamed" in out) == with_arrow
    assert ("| WD1 65536 samples | 131096 | MB/s median [min, max] |" in out) == with_arrow
    assert list(tmp_path.iterdir()) == []  # its files are gone


SOURCE_ROWS = ["path (str)", "bytes", "mmap.mmap", 'open(p, "rb")', "io.BytesIO", "gzip.open(p.gz).read() alone",
               'p.gz, compression="infer"', "path (str), wall clock", "`cat p` into proc.stdout, wall clock",
               "`cat p` into proc.stdout.readinto(1 MiB), wall clock", "p.gz: one thread, one file, wall clock",
               "p.gz: two threads, a file each, wall clock", "gzip.open(p.gz).read(): one thread, wall clock",
               "gzip.open(p.gz).read(): two threads, wall clock"]


def test_quick_sources_run_times_every_source(tmp_path):
    result = subprocess.run([sys.executable, str(BENCH / "run.py"), "--quick", "--dir", str(tmp_path), "--markdown",
                             "--sources", "--size-mib", "0.3"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    lines = [line for line in out.split("targets:")[0].splitlines() if line.startswith("| ")]
    assert lines[0] == "| workload | event bytes | source | MB/s median [min, max] | ratio | to | target |"
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines[1:]]
    assert [row[2] for row in rows] == SOURCE_ROWS * 4
    assert [row[0] for row in rows if row[0]] == ["WD1 16 samples", "WD1 1024 samples", "WD1 65536 samples",
                                                  "WD2 2ch x 1024"]
    for row in rows:
        assert float(row[3]) > 0
        assert (row[4] == "") == (row[5] == "")  # a ratio has its peer
        if row[4]:
            # A number (tiny quick-mode files can round a ratio to 0.00).
            assert float(row[4].removesuffix("x")) >= 0 and row[5] in SOURCE_ROWS
    # The targets that apply: small events spare the file objects, WD1 the pipe.
    targeted = [row[2] for row in rows if row[6]]
    assert len(targeted) == 4 * 4 + 3 * 2 + 1
    checks = out.split("targets:")[1].splitlines()
    assert sum(line.startswith(("PASS", "FAIL")) for line in checks) == len(targeted)
    assert out.count("BatchReader ") == out.count("gzip alone ") == 4  # the threads' CPU per second
    assert list(tmp_path.iterdir()) == []  # its files are gone


def test_quick_selection_run_times_every_way(tmp_path):
    result = subprocess.run([sys.executable, "-c", WITHOUT_DASK, str(BENCH / "run.py"), "--quick", "--dir",
                             str(tmp_path), "--markdown", "--selection"], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    lines = [line for line in out.split("Dask:")[0].splitlines() if line.startswith("| ")]
    assert lines[0] == ("| workload | event bytes | events | way | ms per pass median [min, max] | events/s median "
                        "| speed-up | to | target |")
    rows = [[cell.strip() for cell in line.strip("|").split("|")] for line in lines[1:]]
    assert [row[0] for row in rows if row[0]] == ["WD1 65536 samples", "WD2 2ch x 1024", "WD1 16 samples"]
    events = int(rows[0][2])  # the 128 KB file: its last event and a partition per event
    partitions = f"BatchReader.partitions: {events} readers, partition_bytes "
    assert [row[3].removeprefix(partitions) for row in rows] == [
        "full batch read", "headers only", f"start={events - 1} (the last event)",
        f"{events * 131096 // 8 / 2**20:.4g} MiB", *["full batch read", "headers only"] * 2]
    for row in rows:
        assert float(row[4]) > 0
        assert (row[6] == "") == (row[7] == "") == (row[8] == "") == (row[3] == "full batch read")
        if row[6]:
            assert float(row[6].removesuffix("x")) > 0 and row[7] == "full batch read"
    checks = out.split("targets:")[1].splitlines()
    assert sum(line.startswith(("PASS", "FAIL")) for line in checks) == 5
    assert "headers only, WD1: columns=['event_size', 'board_id', 'pattern', 'board_channel', 'event_counter', " \
           "'timestamp']" in out
    assert "Dask: not measured: dask.distributed is not installed" in out
    assert list(tmp_path.iterdir()) == []  # its files are gone


@pytest.mark.parametrize("options, message", [
    (["--workloads", "wd3-7"], "unknown workloads: wd3-7"),
    (["--max-bytes", "0"], "must be at least 1 byte: '0'"),
    (["--max-bytes", "12Q"], "not a byte count: '12Q'"),
    (["--max-bytes-sweep", "4,x"], "not a byte count: 'x'"),
    (["--max-bytes-sweep", "4,4M"], "a size is given twice: '4,4M'"),
    (["--max-bytes-sweep", ","], "no sizes in ','"),
    (["--sources", "--max-bytes-sweep", "4"], "--sources and --max-bytes-sweep are separate runs"),
    (["--selection", "--sources"], "--sources and --selection are separate runs"),
])
def test_bad_options_are_refused(tmp_path, options, message):
    result = subprocess.run([sys.executable, str(BENCH / "run.py"), "--quick", "--dir", str(tmp_path), *options],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 2
    assert message in result.stderr


# ---- the plain reader against the module -------------------------------------

def assert_same_events(path: Path, reader_type: str, chunk_bytes: int) -> list[dict]:
    expected = list(pelvar.EventReader(str(path), reader_type))
    got = list(plain_reader.read_events(str(path), reader_type, chunk_bytes=chunk_bytes))
    assert len(got) == len(expected)
    for mine, theirs in zip(got, expected):
        assert list(mine) == list(theirs)
        for key, value in theirs.items():
            if key != "data":
                assert type(mine[key]) is int
                assert mine[key] == value, key
        data, reference = mine["data"], theirs["data"]
        assert data.dtype == reference.dtype and data.ndim == 1 and data.shape == reference.shape
        assert data.tobytes() == reference.tobytes()  # bit for bit: NaN payloads, -0.0
        assert data.flags.writeable and data.base is None  # its own memory, not a view of the chunk
    arrays = [event["data"] for event in got]
    assert not any(np.shares_memory(a, b) for a, b in zip(arrays, arrays[1:]))
    return got


def wd1_header(event_size: int, counter: int = 0) -> bytes:
    return struct.pack("<6i", event_size, 1, 2, 3, counter, 4)


WD1_FILES = {
    "empty": b"",
    "zero samples": wd1_bytes(wd1_series(5, 0)),
    "16 samples": wd1_bytes(wd1_series(60, 16)),
    "mixed sizes": wd1_bytes(WD1Event(samples=np.arange(n, dtype=np.uint16), event_counter=i)
                             for i, n in enumerate([0, 1, 16, 1024, 33000, 3, 70000, 2, 40000])),
    "odd sizes": wd1_bytes([WD1Event(samples=[0x1234], event_size=27), WD1Event(event_size=23),
                            WD1Event(event_size=25), WD1Event(samples=[5, 6], event_counter=9)]),
    "extreme header words": wd1_bytes([WD1Event(samples=[1, 2, 3], board_id=-1, pattern=-2**31,
                                                board_channel=2**31 - 1, event_counter=-1, timestamp=-7)]),
    "cut in a header": wd1_bytes(wd1_series(4, 16)) + wd1_header(56)[:10],
    "cut in a block": wd1_bytes(wd1_series(4, 16)) + wd1_header(56) + b"\x01" * 20,
    "cut in a large block": wd1_bytes(wd1_series(2, 40000)) + wd1_header(24 + 80000) + b"\x01" * 30000,
    "block larger than the file": wd1_bytes(wd1_series(2, 8)) + wd1_header(-2**31) + b"\x00" * 100,
}


@pytest.mark.parametrize("chunk_bytes", [64, 5000, plain_reader.CHUNK_BYTES])
@pytest.mark.parametrize("name", list(WD1_FILES))
def test_plain_reader_yields_the_module_dicts_wd1(tmp_path, name, chunk_bytes):
    assert_same_events(write(tmp_path / "f.wd1", WD1_FILES[name]), "WD1", chunk_bytes)


def nan_and_negative_zero() -> bytes:
    return struct.pack("<4I", 0x7FC12345, 0xFFA00001, 0x80000000, 0x3F800000)


def wd2_with_own_channel_field() -> bytes:
    # probed 3; the third event's own field says 2 but its block holds 3 x 4 values
    first = wd2_series(2, 3, 4)
    odd = WD2Event(values=np.ones(12, np.float32), event_counter=2, samples=4, channels=2)
    return wd2_bytes([*first, odd, *wd2_series(2, 3, 4, first_counter=3)])


WD2_FILES = {
    "2 channels": wd2_bytes(wd2_series(30, 2, 16)),
    "3 channels, counters 41 42": wd2_bytes(wd2_series(5, 3, 3, first_counter=41)),
    "counter wraps": wd2_bytes(wd2_series(4, 2, 5, first_counter=0xFFFFFFFF)),
    "single channel": wd2_bytes(wd2_series(40, 1, 16)),
    "single channel, counter wraps": wd2_bytes(wd2_series(4, 1, 16, first_counter=0xFFFFFFFF)),
    "channel field 1": wd2_bytes(WD2Event(values=np.ones(3, np.float32), event_counter=i, samples=3, channels=1)
                                 for i in range(4)),
    "channel field 0": wd2_bytes(WD2Event(raw_values=b"", event_counter=i, samples=3, channels=0)
                                 for i in range(4)),
    "single channel, zero first event": wd2_bytes(
        [WD2Event(values=np.zeros(16, np.float32), event_counter=5, samples=16, with_channel_field=False),
         *wd2_series(3, 1, 16, first_counter=6)]),
    "probe mismatch": wd2_bytes([*wd2_series(1, 2, 3, first_counter=41), *wd2_series(3, 2, 3, first_counter=43)]),
    "own channel field differs": wd2_with_own_channel_field(),
    "zero samples": wd2_bytes(wd2_series(4, 2, 0)),
    "nan and negative zero": wd2_bytes([WD2Event(raw_values=nan_and_negative_zero(), event_counter=i, samples=2,
                                                 channels=2) for i in range(3)]),
    "large blocks": wd2_bytes(wd2_series(3, 2, 20000)),
    "large single-channel blocks": wd2_bytes(wd2_series(3, 1, 30000)),
    "cut in a header": wd2_bytes(wd2_series(4, 2, 8)) + b"\x00" * 17,
    "cut in the channel field": wd2_bytes(wd2_series(4, 2, 8)) + b"\x00" * 26,
    "cut in a block": wd2_bytes(wd2_series(5, 2, 8))[:-9],
    "cut in a large block": wd2_bytes(wd2_series(4, 2, 20000))[:-1000],
}


@pytest.mark.parametrize("chunk_bytes", [64, 5000, plain_reader.CHUNK_BYTES])
@pytest.mark.parametrize("name", list(WD2_FILES))
def test_plain_reader_yields_the_module_dicts_wd2(tmp_path, name, chunk_bytes):
    events = assert_same_events(write(tmp_path / "f.wd2", WD2_FILES[name]), "WD2", chunk_bytes)
    assert events  # every one of these files passes the probe and holds events


@pytest.mark.parametrize("payload", [b"", wd2_bytes(wd2_series(1, 2, 8)), wd2_bytes(wd2_series(4, 2, 8))[:60]],
                         ids=["empty", "one event", "cut before the second header"])
def test_plain_reader_fails_the_probe_like_the_module(tmp_path, payload):
    path = str(write(tmp_path / "f.wd2", payload))
    with pytest.raises(OSError) as module_error:
        pelvar.EventReader(path, "WD2")
    with pytest.raises(OSError) as plain_error:
        plain_reader.read_events(path, "WD2")
    assert type(module_error.value) is type(plain_error.value) is OSError
    assert str(plain_error.value) == str(module_error.value) == "failed to fill whole buffer"


def test_plain_reader_stops_at_an_impossible_block_like_the_module(tmp_path):
    path = str(write(tmp_path / "f.wd1", wd1_bytes(wd1_series(3, 4)) + wd1_header(22) + wd1_header(24)))
    module_events, plain_events = pelvar.EventReader(path, "WD1"), plain_reader.read_events(path, "WD1")
    for _ in range(3):
        assert next(plain_events)["data"].tolist() == next(module_events)["data"].tolist()
    with pytest.raises(BaseException, match="capacity overflow"):
        next(module_events)
    with pytest.raises(ValueError, match="capacity overflow"):
        next(plain_events)


@pytest.mark.parametrize("samples", [0, 16, 1000])
def test_bandwidth_and_fromfile_peers_read_the_whole_file(tmp_path, samples):
    path = write(tmp_path / "f.wd1", wd1_bytes(wd1_series(25, samples)))
    assert plain_reader.read_bandwidth(str(path), chunk_bytes=4096) == path.stat().st_size
    records = plain_reader.read_fromfile_wd1(str(path), samples)
    events = list(pelvar.EventReader(str(path), "WD1"))
    assert len(records) == len(events)
    for record, event in zip(records, events):
        for key in ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"):
            assert record[key] == event[key]
        assert (record["data"].tolist() if samples else []) == event["data"].tolist()
