"""The examples in examples/, run as a user runs them, on tiny files that the
sample-file script writes, so that none of them can rot; the bundled sample
files; and the types that the stub package gives the module.

The examples that need matplotlib, Dask, tqdm, pyarrow, polars or DuckDB, and
the type checks that need mypy, are skipped where those are not installed
(they all are in the check tools/checks/70-typing-and-examples.sh).
"""

from __future__ import annotations

import gzip
import importlib.util
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelvar

REPO = Path(__file__).resolve().parent.parent
EXAMPLES = REPO / "examples"
sys.path.insert(0, str(EXAMPLES))

import eventtools  # noqa: E402
import make_samples  # noqa: E402

SAMPLE_FILES = ["pulses.wd1", "pulses_2ch.wd2", "pulses_1ch.wd2"]


def has(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


needs_matplotlib = pytest.mark.skipif(not has("matplotlib"), reason="matplotlib is not installed")
needs_dask = pytest.mark.skipif(not all(map(has, ("dask", "tqdm", "pandas", "pyarrow"))),
                                reason="dask, tqdm, pandas or pyarrow is not installed")
needs_distributed = pytest.mark.skipif(not all(map(has, ("distributed", "pandas", "pyarrow"))),
                                       reason="dask.distributed, pandas or pyarrow is not installed")
needs_pyarrow = pytest.mark.skipif(not has("pyarrow"), reason="pyarrow is not installed")
needs_mypy = pytest.mark.skipif(not has("mypy"), reason="mypy is not installed")


def run(script: str, *args: object, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    """Runs an example with this interpreter, as `python examples/SCRIPT ARGS`."""
    env = dict(os.environ, MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], cwd=cwd or REPO, env=env,
                          capture_output=True, text=True, timeout=300)


def ok(result: subprocess.CompletedProcess[str]) -> str:
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result.stdout


@pytest.fixture(scope="module")
def tiny(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("samples")
    ok(run("make_samples.py", "--out", out, "--tiny"))
    return out


def expected_shapes(sizes: make_samples.Sizes) -> dict[str, tuple[int, int, int]]:
    """events, values per event, channels per event of each sample file."""
    return {
        "pulses.wd1": (4 * sizes.triggers, sizes.samples, 1),
        "pulses_2ch.wd2": (sizes.triggers, 2 * sizes.samples, 2),
        "pulses_1ch.wd2": (sizes.triggers, sizes.samples, 1),
    }


def read_all(path: Path) -> list[dict]:
    return list(pelvar.EventReader(str(path), "WD1" if path.suffix == ".wd1" else "WD2"))


# --- the sample files ---------------------------------------------------------

@pytest.mark.parametrize("where", ["tiny", "bundled"])
@pytest.mark.parametrize("name", SAMPLE_FILES)
def test_sample_files_read_back_with_their_shapes(where, name, tiny):
    """The generated files (and the committed ones, which must match the
    generator's default sizes) read as the events they were written as; the
    single-channel WD2 file is recognised as such."""
    folder, sizes = (tiny, make_samples.TINY) if where == "tiny" else (EXAMPLES / "data", make_samples.DEFAULT)
    events = read_all(folder / name)
    count, values, channels = expected_shapes(sizes)[name]
    assert len(events) == count
    assert {len(e["data"]) for e in events} == {values}
    if name.endswith(".wd2"):
        assert {e["channels"] for e in events} == {channels}
        assert {e["samples"] for e in events} == {sizes.samples}
    distinct = sorted(set(e["event_counter"] for e in events))
    assert [e["event_counter"] for e in events] == sorted(e["event_counter"] for e in events)
    assert distinct[1] == distinct[0] + 1 and len(distinct) == sizes.triggers


def test_bundled_sample_files_are_small_and_complete():
    files = [p for p in (EXAMPLES / "data").rglob("*") if p.is_file()]
    names = {p.relative_to(EXAMPLES / "data").as_posix() for p in files}
    assert set(SAMPLE_FILES) <= names
    assert len([n for n in names if n.startswith("run/")]) == make_samples.DEFAULT.run_files
    assert sum(p.stat().st_size for p in files) < 400 * 1024


def test_make_samples_is_repeatable_and_keeps_existing_files(tmp_path):
    first, second = tmp_path / "a", tmp_path / "b"
    ok(run("make_samples.py", "--out", first, "--tiny"))
    ok(run("make_samples.py", "--out", second, "--tiny"))
    files = sorted(p.relative_to(first) for p in first.rglob("*") if p.is_file())
    assert files and all((first / f).read_bytes() == (second / f).read_bytes() for f in files)
    (first / "pulses.wd1").write_bytes(b"kept")
    assert "already" in ok(run("make_samples.py", "--out", first, "--tiny", "--if-missing"))
    assert (first / "pulses.wd1").read_bytes() == b"kept"


# --- the helpers the examples share ---------------------------------------------

@pytest.mark.parametrize("counters, distinct, gaps, missing, jumps", [
    ([5, 6, 7, 8], 4, [], 0, 0),
    ([5, 5, 5, 6, 6, 6], 2, [], 0, 0),                      # WD1: one event per channel and trigger
    ([1, 2, 5, 6, 8], 5, [(2, 5, 2), (6, 8, 1)], 3, 0),
    ([4294967294, 4294967295, 0, 1], 4, [], 0, 0),          # WD2 counter wrapping
    ([-2, -1, 0, 1], 4, [], 0, 0),                          # WD1 signed word wrapping
    ([4294967294, 1], 2, [(4294967294, 1, 2)], 2, 0),       # a gap across the wrap
    ([10, 11, 3, 4], 4, [], 0, 1),                          # a step back is a jump, not a gap
    ([7], 1, [], 0, 0),
])
def test_counter_track(counters, distinct, gaps, missing, jumps):
    track = eventtools.CounterTrack()
    for c in counters:
        track.add(c)
    assert (track.first, track.last) == (counters[0], counters[-1])
    assert track.distinct == distinct
    assert [(g.after, g.next, g.missing) for g in track.gaps] == gaps
    assert (track.gap_count, track.missing, track.jumps) == (len(gaps), missing, jumps)


@pytest.mark.parametrize("samples, baseline_samples, baseline, amplitude", [
    ([10, 10, 10, 10, 4, 8, 10], 4, 10.0, -6.0),         # a pulse that goes down
    ([1, 3, 1, 3, 9, 2], 4, 2.0, 7.0),                    # one that goes up
    ([2, 2, 2], 16, 2.0, 0.0),                            # fewer samples than the baseline wants
    ([], 16, math.nan, math.nan),
])
def test_baseline_and_amplitude(samples, baseline_samples, baseline, amplitude):
    got = eventtools.baseline_and_amplitude(np.asarray(samples, dtype=np.float64), baseline_samples)
    assert got == pytest.approx((baseline, amplitude), nan_ok=True)


@pytest.mark.parametrize("values, samples, rows", [
    (range(12), 4, [[0, 1, 2, 3], [4, 5, 6, 7], [8, 9, 10, 11]]),   # channel after channel
    (range(10), 4, [[0, 1, 2, 3], [4, 5, 6, 7]]),                   # a damaged block: whole rows only
    ([], 0, []),
])
def test_wd2_channel_waveforms(values, samples, rows):
    event = {"event_counter": 0, "timestamp": 0, "samples": samples, "sampling_period": 1, "channels": len(rows),
             "data": np.asarray(values, dtype=np.float32)}
    got = eventtools.channel_waveforms(event)
    assert [c for c, _ in got] == list(range(len(rows)))
    assert [w.tolist() for _, w in got] == rows


@pytest.mark.parametrize("name, given, expected", [
    ("a.wd1", None, "WD1"), ("A.WD2", None, "WD2"), ("run.dat", "WD2", "WD2"), ("a.wd1", "WD2", "WD2"),
    ("run.dat", None, ValueError), ("a.wd1", "wd1", ValueError),
])
def test_reader_type_for(name, given, expected):
    if expected is ValueError:
        with pytest.raises(ValueError):
            eventtools.reader_type_for(name, given)
    else:
        assert eventtools.reader_type_for(name, given) == expected


def figures(s: eventtools.FileSummary) -> tuple[object, list[float]]:
    """A summary's figures: those both ways must give exactly, and the running
    means and deviations, which may differ by rounding."""
    stats = [(c, ch.events, r) for c, ch in s.channels.items() for r in (ch.baseline, ch.amplitude)]
    exact = (s.events, s.counters, s.timestamp_min, s.timestamp_max, s.sample_counts, s.other_sample_counts,
             s.sampling_periods, s.channel_fields, [(c, n, r.count, r.minimum, r.maximum) for c, n, r in stats])
    return exact, [v for _, _, r in stats for v in (r.mean, r.std)]


# Few distinct values, so that ties, flat waveforms and repeated sizes are common.
wd1_events = st.lists(st.tuples(st.sampled_from([0, 1, 5]), st.sampled_from([0, 1, 1, 3, 1 << 31]),
                                st.lists(st.sampled_from([0, 1, 2, 9, 65535]), max_size=20)), min_size=1, max_size=40)
wd2_values = st.sampled_from([0.0, -0.0, 0.5, 2.0, 7.0, math.nan, math.inf, -math.inf])
wd2_events = st.lists(st.tuples(st.sampled_from([0, 3, 17]), st.sampled_from([0, 1, 1, 4, 1 << 31]),
                                st.lists(wd2_values, min_size=34, max_size=34)), min_size=2, max_size=40)


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")  # inf - inf, on purpose
@settings(max_examples=150, deadline=None)
@given(st.one_of(wd1_events.map(lambda e: ("WD1", e)), wd2_events.map(lambda e: ("WD2", e))),
       st.sampled_from([1, 4, 16]), st.sampled_from([1, 100, 1 << 20]))
def test_batch_summary_equals_per_event_summary(case, baseline_samples, max_bytes):
    """summarize_file's batch path (counters, sizes, segmented baselines and
    amplitudes, batches cut anywhere) gives the per-event figures."""
    kind, events = case
    payload, counter = bytearray(), 0
    for i, (head, step, values) in enumerate(events):  # head: WD1 board channel, WD2 samples
        counter = (counter + step) & 0xFFFFFFFF
        if kind == "WD1":
            payload += struct.pack(f"<6i{len(values)}H", 24 + 2 * len(values), 1, 0, head,
                                   counter - (1 << 32) * (counter >> 31), 7 * i, *values)
        else:  # two channels; the first two events alike, as the layout probe wants
            samples = 17 if i < 2 else head
            counter = i if i < 2 else counter
            payload += struct.pack(f"<IQIQi{2 * samples}f", counter, 5 * i, samples, 100, 2, *values[:2 * samples])
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / f"f.{kind.lower()}"
        path.write_bytes(payload)
        one = eventtools.summarize_file(path, baseline_samples=baseline_samples, per_event=True)
        many = eventtools.summarize_batches(str(path), kind, eventtools.read_batches(path, max_bytes=max_bytes),
                                            baseline_samples=baseline_samples)
    (exact_one, close_one), (exact_many, close_many) = figures(one), figures(many)
    assert exact_many == exact_one
    assert close_many == pytest.approx(close_one, rel=1e-9, abs=1e-6, nan_ok=True)  # sums of 16-bit values cancel


# --- the examples, run as commands ------------------------------------------------

def facts(output: str) -> dict[str, str]:
    """The "label  value" lines of a summary."""
    return {m[1].strip(): m[2] for m in re.finditer(r"^(\S[^\n]*?)  +(\S[^\n]*)$", output.split("\n\n")[0], re.M)}


@pytest.mark.parametrize("name", SAMPLE_FILES)
def test_summary_matches_the_events(tiny, name):
    path = tiny / name
    output = ok(run("summary.py", path, "--baseline-samples", 8))
    events = read_all(path)
    counters = [e["event_counter"] for e in events]
    distinct = sorted(set(counters))
    missing = counters[-1] - counters[0] + 1 - len(distinct)
    gaps = sum(1 for a, b in zip(distinct, distinct[1:]) if b - a > 1)
    got = facts(output)
    assert got["events"] == str(len(events))
    assert got["event counters"].startswith(f"{counters[0]} .. {counters[-1]} in file order, {len(distinct)} distinct, "
                                            f"{gaps} gaps ({missing} missing)")
    stamps = [e["timestamp"] for e in events]
    assert got["timestamps"] == f"{min(stamps)} .. {max(stamps)}"
    # the channel table: one row per channel, baseline = mean of the first 8 samples
    waves: dict[int, list[np.ndarray]] = {}
    for e in events:
        for channel, wave in eventtools.channel_waveforms(e):
            waves.setdefault(channel, []).append(wave)
    table = output.split("\n\n")[1].splitlines()[2:]
    assert [int(row.split()[0]) for row in table] == sorted(waves)
    for row, channel in zip(table, sorted(waves)):
        cells = row.split()
        assert int(cells[1]) == len(waves[channel])
        baseline = np.mean([w[:8].mean() for w in waves[channel]])
        assert float(cells[2]) == pytest.approx(baseline, rel=1e-3)


def test_summary_per_event_prints_the_same(tiny):
    files = [tiny / name for name in SAMPLE_FILES]
    assert ok(run("summary.py", *files)) == ok(run("summary.py", "--per-event", *files))


def test_summary_reports_files_it_cannot_read(tiny, tmp_path):
    (tmp_path / "empty.wd2").write_bytes(b"")
    result = run("summary.py", tiny / "pulses.wd1", tmp_path / "empty.wd2", tmp_path / "missing.wd1")
    assert result.returncode == 1
    assert "events" in result.stdout
    assert "empty.wd2: OSError: failed to fill whole buffer" in result.stderr
    assert "missing.wd1: FileNotFoundError: No such file or directory (os error 2)" in result.stderr


@pytest.mark.parametrize("name", SAMPLE_FILES)
def test_quickstart(tiny, name):
    output = ok(run("quickstart.py", tiny / name))
    assert output.splitlines()[-1] == f"{len(read_all(tiny / name))} events"
    assert output.splitlines()[0].startswith(name[-3:].upper())


@needs_matplotlib
@pytest.mark.parametrize("name, extra", [
    ("pulses.wd1", []), ("pulses.wd1", ["--sampling-period", "1000"]), ("pulses_2ch.wd2", []),
    ("pulses_1ch.wd2", ["-n", "2"]),
])
def test_plot_waveforms_writes_a_png(tiny, tmp_path, name, extra):
    from matplotlib.image import imread

    out = tmp_path / "plot.png"
    assert ok(run("plot_waveforms.py", tiny / name, "-o", out, *extra)).strip() == str(out)
    height, width, _ = imread(out).shape
    assert width > 600 and height > 300


@needs_matplotlib
@pytest.mark.parametrize("name, events", [("pulses.wd1", 3), ("pulses_2ch.wd2", 2), ("pulses_1ch.wd2", 50)])
def test_plot_waveforms_takes_the_first_events_of_every_channel(tiny, name, events):
    import plot_waveforms

    per_channel, periods = plot_waveforms.collect(tiny / name, None, events)
    all_events = read_all(tiny / name)
    expected: dict[int, list[int]] = {}
    for e in all_events:
        for channel, _ in eventtools.channel_waveforms(e):
            expected.setdefault(channel, []).append(e["event_counter"])
    assert {c: [counter for counter, _ in waves] for c, waves in per_channel.items()} == \
        {c: counters[:events] for c, counters in expected.items()}
    assert periods == {e["sampling_period"] for e in all_events if "sampling_period" in e}


@needs_dask
def test_many_files_with_every_engine(tiny, tmp_path):
    """All four engines agree on the run's files and on awkward ones (counters
    that wrap and step back, events without samples, a channel with no
    amplitude, an empty file, a file that cannot be opened), the DataFrame
    reading the files of more than 4 KiB in partitions (counters missing
    across their borders too)."""
    folder = tmp_path / "run"
    folder.mkdir()
    for f in sorted((tiny / "run").iterdir()):
        (folder / f.name).write_bytes(f.read_bytes())
    odd = [(0, 2**31 - 2, []), (4, 2**31 - 1, [5, 1, 9]), (0, -2**31 + 2, [3, 3]), (4, -2**31 + 5, [7, 2]),
           (0, 7, [1, 8]), (9, 3, [])]  # (board channel, counter, samples)
    (folder / "odd.wd1").write_bytes(b"".join(struct.pack(f"<6i{len(v)}H", 24 + 2 * len(v), 1, 0, channel, counter,
                                                          0, *v) for channel, counter, v in odd))
    gaps = [(i % 2, 3 * i, [i, 7, 2 * i]) for i in range(200)]  # 2 counters missing before each event
    (folder / "gaps.wd1").write_bytes(b"".join(struct.pack(f"<6i{len(v)}H", 24 + 2 * len(v), 1, 0, channel, counter,
                                                           0, *v) for channel, counter, v in gaps))
    (folder / "empty.wd1").write_bytes(b"")
    (folder / "broken.wd2").write_bytes(b"\0" * 10)
    result = run("many_files.py", folder, "--workers", 2, "--engine", "all", "--progress", "always",
                 "--partition-bytes", "4KiB")
    assert result.returncode == 1, result.stderr  # a file failed, and no disagreement (2)
    assert "futures, threads, dask and dask-dataframe agree on every file" in result.stdout
    assert re.search(r"^odd\.wd1 +WD1 +\d+ +6 +2147483646\.\.3 +4 +", result.stdout, re.M)
    assert re.search(r"^gaps\.wd1 +WD1 +6000 +200 +0\.\.597 +398 +", result.stdout, re.M)
    assert re.search(r"^broken\.wd2 .*OSError: failed to fill whole buffer$", result.stdout, re.M)
    total = next(line for line in result.stdout.splitlines() if line.startswith("total")).split()
    assert int(total[2]) == sum(len(read_all(p)) for p in folder.iterdir() if p.name != "broken.wd2")
    assert "1 failed" in result.stdout
    assert "threads: 100%" in result.stderr


@needs_distributed
def test_dask_partitions_agrees_with_one_read(tmp_path):
    """The example on its default file, cut into two partitions per worker,
    on a cluster of two processes; a compressed file cannot be split."""
    default = EXAMPLES / "data" / "pulses_2ch.wd2"
    events = make_samples.DEFAULT.triggers
    output = ok(run("dask_partitions.py", "--workers", 2))
    assert f"{default}: WD2, {default.stat().st_size} bytes, {events} events, 4 partitions" in output
    assert len(re.findall(r"^  partition \d+: bytes", output, re.M)) == 4
    assert f"agrees with a single-process read: the histogram, {events} peaks and event {events // 2}" in output
    packed = tmp_path / "pulses.wd1.gz"
    packed.write_bytes(gzip.compress((EXAMPLES / "data" / "pulses.wd1").read_bytes()))
    refused = run("dask_partitions.py", packed)
    assert refused.returncode == 1 and "ValueError: a compressed input cannot be split" in refused.stderr


@needs_pyarrow
def test_to_parquet_a_file_and_a_folder(tiny, tmp_path):
    """The rows read back are the events, one row group per batch; a folder
    becomes a folder of the same shape."""
    # An interpreter built without _ssl has pyarrow but not its Parquet module.
    pq = pytest.importorskip("pyarrow.parquet")

    one = tmp_path / "one.parquet"
    ok(run("to_parquet.py", tiny / "pulses_2ch.wd2", "-o", one, "--max-bytes", 1024))
    batches = len(list(pelvar.BatchReader(str(tiny / "pulses_2ch.wd2"), "WD2", max_bytes=1024)))
    assert pq.ParquetFile(one).num_row_groups == batches > 1
    output = ok(run("to_parquet.py", tiny, "-o", tmp_path / "all", "--compression", "snappy"))
    sources = eventtools.event_files(tiny)
    assert f"{len(sources)} file(s), {sum(len(read_all(s)) for s in sources)} events" in output
    targets = [tmp_path / "all" / s.relative_to(tiny).with_suffix(".parquet") for s in sources]
    for source, target in [(tiny / "pulses_2ch.wd2", one), *zip(sources, targets)]:
        events = [e | {"data": e["data"].tolist()} for e in read_all(source)]
        assert pq.read_table(target).to_pylist() == events


def channel_amplitudes(path: Path) -> list[tuple[int, int, float]]:
    """Per channel: events, and the mean of each waveform's extreme sample
    farther from its first, less the first, with NumPy over the batches
    (examples/sql_channels.py's figures)."""
    amplitudes: dict[int, list[float]] = {}
    kind = eventtools.reader_type_for(path)
    for batch in pelvar.BatchReader(str(path), kind, max_events=7):
        data, starts = batch["data"], batch["offsets"][:-1]
        if kind == "WD1":
            channel = batch["board_channel"]
        else:  # a block is its channels one after the other
            count = batch["channels"].astype(np.int64)
            channel = np.arange(count.sum()) - np.repeat(np.cumsum(count) - count, count)
            starts = np.repeat(starts, count) + channel * np.repeat(batch["samples"].astype(np.int64), count)
        first = data[starts].astype(np.float64)  # the waveforms lie end to end
        up = np.maximum.reduceat(data, starts) - first
        down = np.minimum.reduceat(data, starts) - first
        for c, a in zip(channel.tolist(), np.where(-down > up, down, up).tolist()):
            amplitudes.setdefault(c, []).append(a)
    return [(c, len(a), float(np.mean(a))) for c, a in sorted(amplitudes.items())]


@pytest.mark.parametrize("engine", ["duckdb", "polars"])
@pytest.mark.parametrize("name", SAMPLE_FILES)
def test_sql_channels(tiny, name, engine):
    if not has(engine):
        pytest.skip(f"{engine} is not installed")
    lines = ok(run("sql_channels.py", tiny / name, "--engine", engine)).splitlines()
    assert lines[0].endswith(f"by {engine}:")
    got = [(int(c), int(n), float(a)) for c, n, a in map(str.split, lines[2:])]
    expected = channel_amplitudes(tiny / name)
    assert [row[:2] for row in got] == [row[:2] for row in expected]
    assert [row[2] for row in got] == pytest.approx([row[2] for row in expected], abs=6e-5)  # printed to 4 places


# --- types ------------------------------------------------------------------------

def stubs_installed() -> bool:
    origin = Path(pelvar.__file__).parent
    return (origin / "pelvar-stubs" / "__init__.pyi").is_file()


needs_stubs = pytest.mark.skipif(not stubs_installed(), reason="the pelvar-stubs package is not installed")


def mypy(*args: object, cache: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), *map(str, args)],
                          cwd=REPO, capture_output=True, text=True, timeout=600)


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


@needs_mypy
@needs_stubs
def test_stubs_agree_with_the_module(mypy_cache, tmp_path):
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "pelvar", "--mypy-config-file",
                             str(REPO / "pyproject.toml")], cwd=tmp_path, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
@needs_stubs
def test_examples_pass_mypy_strict(mypy_cache):
    result = mypy("--config-file", REPO / "pyproject.toml", "--strict", EXAMPLES, cache=mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = '''
from pathlib import Path
import numpy as np
import numpy.typing as npt
import pelvar
from pelvar import WD1Batch, WD1Event, WD2Event

pelvar.EventReader(Path("a.wd1"), "WD1")  # E: call-overload
pelvar.EventReader("a.wd1")  # E: call-overload
pelvar.EventReader("a.wd1", "WD1", "r")  # E: call-overload
pelvar.EventReader(path="a.wd1", reader_type="WD1").close()  # E: attr-defined
pelvar.BatchReader("a.wd1", "WD1", max_bytes=1.5)  # E: call-overload
kind: str = "WD1"
reader = pelvar.EventReader("a.wd1", kind)
same: pelvar.EventReader = iter(reader)
for event in reader:
    event["board_id"]  # E: typeddict-item
    event["samples"]  # E: typeddict-item
    counter: int = event["event_counter"]
    if "board_id" in event:
        wd1: WD1Event = event
        floats: npt.NDArray[np.float32] = event["data"]  # E: assignment
        words: npt.NDArray[np.uint16] = event["data"]
        event["channels"]  # E: typeddict-item
    else:
        wd2: WD2Event = event
        ints: npt.NDArray[np.uint16] = event["data"]  # E: assignment
        values: npt.NDArray[np.float32] = event["data"]
        stamp: str = event["timestamp"]  # E: assignment
for known in pelvar.EventReader("a.wd1", "WD1"):
    board: int = known["board_id"]
    known["samples"]  # E: typeddict-item
for batch in pelvar.BatchReader("a.wd2", "WD2", max_events=8):
    stamps: npt.NDArray[np.uint64] = batch["timestamp"]
    batch["board_id"]  # E: typeddict-item
    edges: npt.NDArray[np.uint16] = batch["offsets"]  # E: assignment
for either in pelvar.BatchReader("a.wd1", kind):
    if "board_id" in either:
        columns: WD1Batch = either
    else:
        either["samples"]
pelvar.BatchReader("a.wd1", "WD1", columns=["bogus"])  # E: list-item
pelvar.BatchReader("a.wd1", "WD1", columns={"timestamp"})  # E: call-overload
pelvar.BatchReader.partitions(open("a.wd1", "rb"), "WD1")  # E: call-overload
for chosen in pelvar.BatchReader("a.wd2", "WD2", columns=["timestamp", "byte_offset"], start=2):
    chosen["board_id"]  # E: typeddict-item
    where: npt.NDArray[np.int64] = chosen["byte_offset"]
    when: npt.NDArray[np.uint64] = chosen["timestamp"]
last: int = pelvar.BatchReader("a.wd1", "WD1").event_range[1]  # E: assignment
class Mine(pelvar.EventReader): ...  # E: misc
'''


@needs_mypy
@needs_stubs
def test_stubs_reject_misuse(mypy_cache, tmp_path):
    """Each line marked `# E: code` must give that error and no other line any:
    the stubs are precise, not Any."""
    source = tmp_path / "misuse.py"
    source.write_text(MISUSE)
    result = mypy("--strict", "--no-error-summary", "--show-error-codes", "--no-pretty", source, cache=mypy_cache)
    expected = {(n, m[1]) for n, line in enumerate(MISUSE.splitlines(), 1) if (m := re.search(r"# E: (\S+)", line))}
    got = {(int(m[1]), m[2]) for m in re.finditer(r"misuse\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert got == expected, result.stdout


@pytest.mark.parametrize("how", ["gzip", "stdin"])
def test_summary_reads_compressed_files_and_standard_input(tmp_path, how):
    plain = EXAMPLES / "data" / "pulses_2ch.wd2"
    expected = ok(run("summary.py", plain)).split("\n", 1)[1]
    if how == "gzip":
        packed = tmp_path / "pulses_2ch.wd2.gz"
        packed.write_bytes(gzip.compress(plain.read_bytes()))
        got = ok(run("summary.py", packed))
    else:
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        done = subprocess.run([sys.executable, str(EXAMPLES / "summary.py"), "--reader-type", "WD2", "-"],
                              stdin=plain.open("rb"), capture_output=True, text=True, env=env, timeout=300, cwd=REPO)
        got = ok(done)
    assert got.split("\n", 1)[1] == expected
