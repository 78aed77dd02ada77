#!/usr/bin/env python3
"""Throughput of the installed pelvar module against its peers.

    python bench/run.py [--quick] [--size-mib N] [--big-mib N] [--repeat R]
                        [--max-bytes N] [--markdown] [--workloads KEY,...]
                        [--dir PATH] [--strict]
    python bench/run.py --sources [--size-mib N] [--repeat R] [--workloads KEY,...] ...
    python bench/run.py --max-bytes-sweep 1,4,8,16,64 [--size-mib N] [--repeat R] ...
    python bench/run.py --selection [--size-mib N] [--repeat R] [--no-extras] ...

For every workload it writes an event file into a temporary folder (N MiB,
default 256, so that it sits in the page cache), reads it once to warm the
cache, then times, in rotating order, R times each (default 5):

  pelvar     iterating pelvar.EventReader, dropping each event
  batch      iterating pelvar.BatchReader (max_events 65536, max_bytes
             4 MiB or --max-bytes), dropping each batch
  arrow      pyarrow.table(pelvar.BatchReader(...)) with the same batches,
             through the Arrow C stream: the whole file as one table, dropped
  floor      the same number of event objects made in C with no I/O
             (bench/floor.c, compiled by this script), plus the bandwidth
             read of the file: the least any reader of this API can cost
  plain      the plain Python reader of bench/plain_reader.py (same dicts)
  bandwidth  reading the file in 1 MiB chunks into one reused buffer
  fromfile   numpy.fromfile with a structured dtype (fixed-size WD1 files)

and prints one table: events/s and MB/s (1 MB = 10^6 bytes) as the median
with [min, max], timed by the reading thread's CPU time (--clock wall for
elapsed time), and pelvar's and the batch path's speed as a multiple of
each peer's (ratio of the medians); then the event path's ratios to the floor,
the plain reader and the bandwidth side by side, and the batch path's to the
event path, the bandwidth and numpy.fromfile, and the arrow reader's to the
batch path's and the event path's (with the CPU time other threads spent
meanwhile, and each pass's minor page faults). Also: the Parquet conversion of
examples/to_parquet.py (batches streamed into a ParquetWriter, zstd) against
pyarrow.parquet.write_table of the table already in memory, in MB of event
file per second, on a small-event and a large-event file; the same file read by five
fresh processes (their figures must agree within 15 %), and two threads each
reading its own copy of a file with BatchReader against one thread reading
one (wall clock: it is about parallelism). Then it measures streaming memory
(peak RSS while iterating a big file event by event and batch by batch, in a
subprocess) and the cost of opening a small and a big WD2 file, and prints
each target as a PASS or FAIL line.

--max-bytes-sweep SIZES measures only the batch path at each of several
max_bytes (MiB unless a suffix says otherwise), each size once a round in an
order that rotates from round to round: the batch loop reading file after
file and as the first pass of a fresh process, pyarrow.table over the stream,
and (unless --no-extras) the streamed Parquet conversion; each as a multiple
of the bandwidth read, with the page faults of a pass.

--sources measures, on WD1 56 B, 2 KB and 128 KB events and WD2 8 KB events
(or --workloads), BatchReader reading from each kind of source, every way
once a round in rotating order: bytes, mmap, open(p, "rb") and io.BytesIO
against the path; a gzip copy of the file read with compression="infer"
against gzip.open(p).read() alone; the file piped through `cat` into
BatchReader(proc.stdout) against the path by wall clock; and two threads
each reading its own gzip file against one thread reading one. Every source
is first checked to yield the file's very events.

--selection measures, on WD1 128 KB and 56 B events and WD2 8 KB events (or
--workloads), files of 1 GiB unless --size-mib says otherwise: BatchReader
with the header columns only (columns=[...], no "data") against the full
batch read; on the 128 KB file also iterating from its last event alone
(start=k) and the BatchReader.partitions call (8 partitions), each against
the full read's time, every way once a round in rotating order. Then (unless
--no-extras, and when dask.distributed is installed) a histogram job over
those partitions, a Dask task each, on a LocalCluster of two worker processes
against one of one (wall clock). Each way is first checked to yield the full
read's very columns.

The exit status is 0 whatever the targets say, unless --strict is given.
--quick (tiny files, one repetition) only shows that the script works.
pyarrow is optional: without it the arrow reader and the Parquet figures say
"not measured: pyarrow is not installed".
"""

from __future__ import annotations

import argparse
import contextlib
import gzip
import hashlib
import importlib.machinery
import importlib.util
import io
import json
import logging
import mmap
import os
import pickle
import platform
import resource
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import plain_reader  # noqa: E402

try:
    import pelvar
except ImportError as error:  # pragma: no cover - a setup problem, not a result
    sys.exit(f"pelvar is not installed in this interpreter ({sys.executable}): {error}")

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError:
    pa = pq = None
NO_PYARROW = "not measured: pyarrow is not installed"

MIB = 1 << 20


# ---- workloads --------------------------------------------------------------

@dataclass(frozen=True)
class Workload:
    key: str
    label: str
    reader_type: str  # "WD1" or "WD2"
    samples: int      # per channel
    channels: int = 1  # WD2 only; 2 or more: events carry the channel field

    @property
    def dtype(self) -> np.dtype:
        if self.reader_type == "WD1":
            return plain_reader.wd1_dtype(self.samples)
        return plain_reader.wd2_dtype(self.channels, self.samples)

    @property
    def event_bytes(self) -> int:
        return self.dtype.itemsize


WORKLOADS = [
    Workload("wd1-0", "WD1 0 samples", "WD1", 0),
    Workload("wd1-16", "WD1 16 samples", "WD1", 16),
    Workload("wd1-1024", "WD1 1024 samples", "WD1", 1024),
    Workload("wd1-65536", "WD1 65536 samples", "WD1", 65536),
    Workload("wd2-2x16", "WD2 2ch x 16", "WD2", 16, 2),
    Workload("wd2-2x1024", "WD2 2ch x 1024", "WD2", 1024, 2),
    Workload("wd2-1x1024", "WD2 1ch x 1024", "WD2", 1024, 1),
]

# The big file of the memory and open-cost checks: 512 KiB blocks.
BIG_WD2 = Workload("wd2-2x65536", "WD2 2ch x 65536", "WD2", 65536, 2)

# Minimum pelvar/plain ratio (events per second) per workload.
PLAIN_TARGETS = {"wd1-16": 3.5, "wd2-2x16": 3.5, "wd1-1024": 2.8, "wd2-1x1024": 2.0, "wd2-2x1024": 1.7,
                 "wd1-65536": 1.3}
BANDWIDTH_TARGETS = {"wd1-65536": 0.75}
# Minimum pelvar/floor ratio: every workload, and closer for the small events.
FLOOR_TARGET = 0.6
FLOOR_TARGETS = {"wd1-16": 0.8, "wd2-2x16": 0.8}
MEMORY_SLACK_MIB = 32
# Fresh processes reading the same file: slowest over fastest (medians of each).
PROCESS_SPREAD_TOLERANCE = 1.15
PROCESS_WORKLOADS = ("wd2-2x1024", "wd1-65536")
OPEN_COST_TOLERANCE = 1.5  # big file / small file, best batch of each

# The batch path (BatchReader's defaults; --max-bytes replaces max_bytes).
BATCH_MAX_EVENTS = 65536
BATCH_MAX_BYTES = 4 * MIB
# Minimum batch/pelvar ratio: small events are where batches pay.
BATCH_EVENT_TARGETS = {"wd1-16": 25, "wd2-2x16": 25}
# Minimum batch/bandwidth ratio.
BATCH_BANDWIDTH_TARGETS = {"wd1-16": 0.5, "wd2-2x16": 0.5, "wd1-1024": 0.8, "wd2-1x1024": 0.8,
                           "wd2-2x1024": 0.8, "wd1-65536": 0.8}
# Minimum batch/numpy.fromfile ratio (uniform WD1 files).
BATCH_FROMFILE_TARGETS = {"wd1-16": 0.7}
# Streaming a big file batch by batch: peak RSS over idle, in units of max_bytes
# (one batch being filled, one not yet freed, the pool's blocks).
BATCH_MEMORY_FACTOR = 3
# Two threads, two files: aggregate speed over one thread reading one file.
THREAD_WORKLOADS = ("wd1-16", "wd1-65536")
THREAD_SPEEDUP_TARGET = 1.7
# Minimum arrow/batch ratio, every workload: pyarrow.table over the C stream
# against iterating the batches.
ARROW_BATCH_TARGET = 0.9
# Parquet conversion, streamed and from a table in memory: small and large events.
PARQUET_WORKLOADS = ("wd1-16", "wd1-65536")
PARQUET_COMPRESSION = "zstd"


def write_events(path: Path, workload: Workload, count: int, seed: int = 1) -> int:
    """Writes `count` consecutive events (counters 0, 1, ...); returns the bytes."""
    dtype = workload.dtype
    rng = np.random.default_rng(seed)
    per_chunk = max(1, (32 * MIB) // dtype.itemsize)
    values = workload.samples * (workload.channels if workload.reader_type == "WD2" else 1)
    with open(path, "wb") as f:
        for start in range(0, count, per_chunk):
            k = min(per_chunk, count - start)
            events = np.zeros(k, dtype)
            index = np.arange(start, start + k, dtype=np.int64)
            if workload.reader_type == "WD1":
                events["event_size"] = dtype.itemsize
                events["board_id"] = 7
                events["pattern"] = index % 5
                events["board_channel"] = index % 8
                events["event_counter"] = index.astype(np.int32)
                events["timestamp"] = (index * 100).astype(np.int32)
                if values:
                    events["data"] = rng.integers(0, 1 << 16, (k, values), dtype=np.uint16)
            else:
                events["event_counter"] = index.astype(np.uint32)
                events["timestamp"] = (index * 1000).astype(np.uint64)
                events["samples"] = workload.samples
                events["sampling_period"] = 10
                if workload.channels >= 2:
                    events["channels"] = workload.channels
                if values:
                    data = rng.standard_normal((k, values), dtype=np.float32)
                    data[data == 0] = 1.0  # keep the first value from reading as a channel count 0
                    events["data"] = data
            events.tofile(f)
        f.flush()
        os.fsync(f.fileno())  # no writeback while we measure
    return count * dtype.itemsize


def make_file(directory: Path, workload: Workload, size_bytes: int, *, min_events: int = 2) -> tuple[Path, int]:
    count = max(min_events, size_bytes // workload.event_bytes)
    path = directory / f"{workload.key}-{size_bytes // MIB}MiB.bin"
    write_events(path, workload, count)
    return path, count


# ---- the readers timed ------------------------------------------------------

def count_pelvar(path: str, workload: Workload) -> int:
    count = 0
    for _ in pelvar.EventReader(path, workload.reader_type):
        count += 1
    return count


def batch_counter(max_bytes: int) -> Callable[[str, Workload], int]:
    """The batch path's reader: events counted from each batch's offsets."""
    def count_batch(path: str, workload: Workload) -> int:
        count = 0
        for batch in pelvar.BatchReader(path, workload.reader_type, max_bytes=max_bytes):
            count += len(batch["offsets"]) - 1
        return count
    return count_batch


def held_counter(max_bytes: int) -> Callable[[str, Workload], int]:
    """The batch path with every batch kept until the file is read, as
    pyarrow.table keeps them: the peer that the arrow reader is held to."""
    def count_held(path: str, workload: Workload) -> int:
        batches = list(pelvar.BatchReader(path, workload.reader_type, max_bytes=max_bytes))
        return sum(len(batch["offsets"]) - 1 for batch in batches)
    return count_held


def arrow_counter(max_bytes: int) -> Callable[[str, Workload], int]:
    """pyarrow.table over the reader's Arrow C stream: every batch kept until
    the table is whole, then the table dropped."""
    def count_arrow(path: str, workload: Workload) -> int:
        return pa.table(pelvar.BatchReader(path, workload.reader_type, max_bytes=max_bytes)).num_rows
    return count_arrow


def count_plain(path: str, workload: Workload) -> int:
    count = 0
    for _ in plain_reader.read_events(path, workload.reader_type):
        count += 1
    return count


# ---- the floor: bench/floor.c, built on first use ----------------------------

_floor_module = None
_floor_error: str | None = None


def build_floor():
    """Compiles bench/floor.c against this interpreter's headers and loads it;
    None (and the reason in _floor_error) when that cannot be done."""
    global _floor_module, _floor_error
    if _floor_module is not None or _floor_error is not None:
        return _floor_module
    compiler = shlex.split(sysconfig.get_config_var("CC") or "cc")
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    with tempfile.TemporaryDirectory(prefix="pelvar-floor-") as folder:
        target = os.path.join(folder, "pelvar_floor" + suffix)
        command = [*compiler, "-O2", "-shared", "-fPIC", "-fvisibility=hidden",
                   "-I", sysconfig.get_paths()["include"], str(BENCH_DIR / "floor.c"), "-o", target]
        try:
            subprocess.run(command, check=True, capture_output=True, text=True)
        except (OSError, subprocess.CalledProcessError) as error:
            detail = getattr(error, "stderr", "") or str(error)
            _floor_error = f"cannot build bench/floor.c ({' '.join(command[:1])}): {detail.strip()[:300]}"
            return None
        loader = importlib.machinery.ExtensionFileLoader("pelvar_floor", target)
        spec = importlib.util.spec_from_loader("pelvar_floor", loader)
        _floor_module = importlib.util.module_from_spec(spec)
        loader.exec_module(_floor_module)
    return _floor_module


def count_floor(path: str, workload: Workload) -> int:
    """The event objects of the whole file made with no I/O, then the file's
    bytes read at the bandwidth: both timed together."""
    floor = build_floor()
    events = os.stat(path).st_size // workload.event_bytes
    values = workload.samples * (workload.channels if workload.reader_type == "WD2" else 1)
    count = 0
    for _ in floor.events(workload.reader_type, events, values, workload.event_bytes,
                          workload.samples, workload.channels):
        count += 1
    plain_reader.read_bandwidth(path)
    return count


def count_bandwidth(path: str, workload: Workload) -> int:
    return plain_reader.read_bandwidth(path) // workload.event_bytes


def count_fromfile(path: str, workload: Workload) -> int:
    return len(plain_reader.read_fromfile_wd1(path, workload.samples))


READERS: dict[str, Callable[[str, Workload], int]] = {
    "pelvar": count_pelvar,
    "batch": batch_counter(BATCH_MAX_BYTES),
    "held": held_counter(BATCH_MAX_BYTES),
    "arrow": arrow_counter(BATCH_MAX_BYTES),
    "floor": count_floor,
    "plain": count_plain,
    "bandwidth": count_bandwidth,
    "fromfile": count_fromfile,
}


def readers_for(workload: Workload) -> list[str]:
    names = ["pelvar", "batch", "held", "arrow", "floor", "plain", "bandwidth"]
    if build_floor() is None:
        names.remove("floor")
    if pa is None:
        names.remove("arrow")
        names.remove("held")
    if workload.reader_type == "WD1":
        names.append("fromfile")
    return names


@dataclass
class Timing:
    seconds: list[float]
    # CPU time of the process's other threads during each pass: pyarrow may
    # work on its own threads, which the reading thread's CPU time misses.
    others: list[float]
    # Minor page faults of each pass: memory the pass had to map afresh.
    faults: list[int]

    def rates(self, amount: float) -> list[float]:
        return [amount / s for s in self.seconds]

    @property
    def median(self) -> float:
        return statistics.median(self.seconds)


@dataclass
class WorkloadResult:
    workload: Workload
    events: int
    file_bytes: int
    timings: dict[str, Timing]

    def ratio(self, peer: str, reader: str = "pelvar") -> float | None:
        """The reader's speed (pelvar's by default) as a multiple of the
        peer's (medians)."""
        if peer not in self.timings or reader not in self.timings:
            return None
        return self.timings[peer].median / self.timings[reader].median


def measure(workload: Workload, path: Path, events: int, repeat: int,
            clock: Callable[[], float], readers: dict[str, Callable[[str, Workload], int]] = READERS
            ) -> WorkloadResult:
    names = readers_for(workload)
    file_bytes = path.stat().st_size
    plain_reader.read_bandwidth(str(path))  # warm the page cache
    timings = {name: Timing([], [], []) for name in names}
    for rep in range(repeat):
        order = names[rep % len(names):] + names[:rep % len(names)]
        for name in order:
            got = timed(lambda: readers[name](str(path), workload), clock, timings[name])
            if got != events:
                raise SystemExit(f"{workload.label}: {name} delivered {got} events, the file holds {events}")
    return WorkloadResult(workload, events, file_bytes, timings)


def timed(work: Callable[[], int], clock: Callable[[], float], timing: Timing) -> int:
    """Runs work() and returns what it returns; adds to `timing` the seconds
    of `clock`, the CPU seconds the process's other threads spent meanwhile
    and the minor page faults."""
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start, thread_start, process_start = clock(), time.thread_time(), time.process_time()
    got = work()
    elapsed = clock() - start
    other = (time.process_time() - process_start) - (time.thread_time() - thread_start)
    timing.seconds.append(elapsed)
    timing.others.append(max(other, 0.0))
    timing.faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults)
    return got


# ---- threads ----------------------------------------------------------------

def read_in_threads(paths: list[str], workload: Workload, max_bytes: int) -> tuple[float, list[int]]:
    """Wall-clock seconds for one thread per path, each reading its file with
    BatchReader, from the first start to the last join; and each one's count."""
    count_batch = batch_counter(max_bytes)
    counts: list[int | BaseException] = [0] * len(paths)

    def work(i: int, path: str) -> None:
        try:
            counts[i] = count_batch(path, workload)
        except BaseException as error:  # re-raised by the caller
            counts[i] = error

    threads = [threading.Thread(target=work, args=(i, path)) for i, path in enumerate(paths)]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - start
    for got in counts:
        if isinstance(got, BaseException):
            raise got
    return elapsed, counts


@dataclass
class ThreadResult:
    workload: Workload
    events: int      # per file
    file_bytes: int  # per file
    one: list[float]  # seconds: one thread, one file
    two: list[float]  # seconds: two threads, a file each

    @property
    def speedup(self) -> float:
        """Aggregate speed of two threads over one's (medians)."""
        return 2 * statistics.median(self.one) / statistics.median(self.two)


def measure_threads(workload: Workload, paths: list[Path], events: int, repeat: int,
                    max_bytes: int) -> ThreadResult:
    names = [str(path) for path in paths]
    for name in names:
        plain_reader.read_bandwidth(name)  # warm the page cache
    one: list[float] = []
    two: list[float] = []
    for rep in range(repeat):
        for mode in (("one", "two") if rep % 2 == 0 else ("two", "one")):
            chosen = [names[rep % 2]] if mode == "one" else names
            elapsed, counts = read_in_threads(chosen, workload, max_bytes)
            if any(got != events for got in counts):
                raise SystemExit(f"{workload.label}: threads delivered {counts} events, each file holds {events}")
            (one if mode == "one" else two).append(elapsed)
    return ThreadResult(workload, events, paths[0].stat().st_size, one, two)


# ---- Parquet -----------------------------------------------------------------

def parquet_streamed(path: str, workload: Workload, target: Path, max_bytes: int) -> int:
    """examples/to_parquet.py's conversion: the reader's batches streamed into
    a ParquetWriter, a row group each; returns the rows written."""
    stream = pa.RecordBatchReader.from_stream(pelvar.BatchReader(path, workload.reader_type, max_bytes=max_bytes))
    rows = 0
    with pq.ParquetWriter(target, stream.schema, compression=PARQUET_COMPRESSION) as writer:
        for batch in stream:
            writer.write_batch(batch)
            rows += batch.num_rows
    return rows


def parquet_from_table(table, target: Path) -> int:
    """pyarrow's own Parquet writing of a table already in memory."""
    pq.write_table(table, target, compression=PARQUET_COMPRESSION)
    return table.num_rows


@dataclass
class ParquetResult:
    workload: Workload
    events: int
    file_bytes: int       # of the event file
    streamed: Timing
    table: Timing
    parquet_bytes: dict[str, int]  # each way's Parquet file

    @property
    def ratio(self) -> float:
        """Streamed speed over write_table's (medians)."""
        return self.table.median / self.streamed.median


def measure_parquet(workload: Workload, path: Path, events: int, repeat: int, clock: Callable[[], float],
                    max_bytes: int) -> ParquetResult:
    """Both ways, alternating which goes first, `repeat` times; each Parquet
    file is checked (row count) and deleted outside the timing."""
    name = str(path)
    target = path.with_suffix(".parquet")
    plain_reader.read_bandwidth(name)  # warm the page cache
    table = pa.table(pelvar.BatchReader(name, workload.reader_type, max_bytes=max_bytes))
    ways = {"streamed": lambda: parquet_streamed(name, workload, target, max_bytes),
            "table": lambda: parquet_from_table(table, target)}
    timings = {way: Timing([], [], []) for way in ways}
    sizes: dict[str, int] = {}
    for rep in range(repeat):
        for way in (("streamed", "table") if rep % 2 == 0 else ("table", "streamed")):
            rows = timed(ways[way], clock, timings[way])
            written = pq.ParquetFile(target).metadata.num_rows
            if not rows == written == events:
                raise SystemExit(f"{workload.label}: Parquet {way}: {rows} rows written, {written} read back, "
                                 f"the file holds {events} events")
            sizes[way] = target.stat().st_size
            target.unlink()
    return ParquetResult(workload, events, path.stat().st_size, timings["streamed"], timings["table"], sizes)


def warm_pyarrow(directory: Path) -> None:
    """pyarrow's first table and first Parquet file cost about 0.1 s of
    one-time set-up: paid here, on a small file, outside the timing."""
    workload = WORKLOADS[1]
    path, events = make_file(directory, workload, 0)
    target = path.with_suffix(".parquet")
    rows = [parquet_from_table(pa.table(pelvar.BatchReader(str(path), workload.reader_type)), target),
            parquet_streamed(str(path), workload, target, BATCH_MAX_BYTES)]
    if rows != [events, events]:
        raise SystemExit(f"pyarrow: {rows} rows of a {events}-event file")
    target.unlink()
    path.unlink()


# ---- the max_bytes sweep -----------------------------------------------------

# One pass of the batch path in a fresh interpreter: the first file a process
# reads, when no block of the batch's size has been made yet. Prints the
# seconds of the pass, its minor page faults and the events.
FRESH_BATCH_PROBE = r"""
import json, resource, sys, time
path, reader_type, max_bytes, clock = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
import numpy
import pelvar
clock = time.thread_time if clock == "cpu" else time.perf_counter
faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
start = clock()
count = 0
for batch in pelvar.BatchReader(path, reader_type, max_bytes=max_bytes):
    count += len(batch["offsets"]) - 1
seconds = clock() - start
print(json.dumps({"seconds": seconds, "count": count,
                  "faults": resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults}))
"""

# The ways of reading that a sweep times at every max_bytes.
SWEEP_PATHS = {
    "batch": "batch loop, file after file",
    "fresh": "batch loop, a fresh process",
    "arrow": "pyarrow.table, file after file",
}


def sweep_sizes(text: str) -> list[int]:
    """`1,4,8,16,64` (MiB) or byte counts with a suffix (`512K,4M`), in the order given."""
    sizes = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        sizes.append(byte_count(item + "M" if item.replace(".", "", 1).isdigit() else item))
    if not sizes:
        raise argparse.ArgumentTypeError(f"no sizes in {text!r}")
    if len(set(sizes)) != len(sizes):
        raise argparse.ArgumentTypeError(f"a size is given twice: {text!r}")
    return sizes


def rotated(items: list, by: int) -> list:
    by %= len(items)
    return items[by:] + items[:by]


@dataclass
class SweepResult:
    workload: Workload
    events: int
    file_bytes: int
    bandwidth: Timing
    passes: dict[tuple[str, int], Timing]  # (way of reading, max_bytes)

    def ratio(self, way: str, max_bytes: int) -> float | None:
        """The way's speed at this max_bytes over the bandwidth read's (medians)."""
        timing = self.passes.get((way, max_bytes))
        return None if timing is None else self.bandwidth.median / timing.median


def fresh_batch_pass(path: str, workload: Workload, max_bytes: int, clock: str, timing: Timing) -> int:
    result = subprocess.run([sys.executable, "-c", FRESH_BATCH_PROBE, path, workload.reader_type, str(max_bytes),
                             clock], check=True, capture_output=True, text=True)
    got = json.loads(result.stdout)
    timing.seconds.append(got["seconds"])
    timing.others.append(0.0)
    timing.faults.append(got["faults"])
    return got["count"]


def measure_sweep(workload: Workload, path: Path, events: int, sizes: list[int], repeat: int, clock_name: str,
                  clock: Callable[[], float]) -> SweepResult:
    """Every max_bytes once a round, in an order that rotates from round to
    round, so that the machine's noise falls on all sizes alike. In the
    process, each size's timed pass follows an untimed one of the same size:
    the pool then holds that size's blocks, as it does for a program that
    reads file after file (the first pass after another size frees the
    other size's blocks and faults its own in)."""
    name = str(path)
    plain_reader.read_bandwidth(name)  # warm the page cache
    ways = [way for way in SWEEP_PATHS if way != "arrow" or pa is not None]
    bandwidth = Timing([], [], [])
    passes = {(way, size): Timing([], [], []) for way in ways for size in sizes}
    for rep in range(repeat):
        timed(lambda: count_bandwidth(name, workload), clock, bandwidth)
        for size in rotated(sizes, rep):
            counts = []
            for way in ways:
                if way == "fresh":
                    counts.append(fresh_batch_pass(name, workload, size, clock_name, passes[(way, size)]))
                    continue
                count = (batch_counter if way == "batch" else arrow_counter)(size)
                counts.append(count(name, workload))
                counts.append(timed(lambda: count(name, workload), clock, passes[(way, size)]))
            if any(got != events for got in counts):
                raise SystemExit(f"{workload.label}, max_bytes {size_text(size)}: {counts} events, "
                                 f"the file holds {events}")
    return SweepResult(workload, events, path.stat().st_size, bandwidth, passes)


@dataclass
class ParquetSweep:
    workload: Workload
    file_bytes: int
    streamed: dict[int, Timing]     # by max_bytes
    parquet_bytes: dict[int, int]   # by max_bytes
    row_groups: dict[int, int]      # by max_bytes


def measure_parquet_sweep(workload: Workload, path: Path, events: int, sizes: list[int], repeat: int,
                          clock: Callable[[], float]) -> ParquetSweep:
    """examples/to_parquet.py's conversion at every max_bytes (a row group
    per batch), rotating like measure_sweep."""
    name = str(path)
    target = path.with_suffix(".parquet")
    plain_reader.read_bandwidth(name)
    streamed = {size: Timing([], [], []) for size in sizes}
    parquet_bytes: dict[int, int] = {}
    row_groups: dict[int, int] = {}
    for rep in range(repeat):
        for size in rotated(sizes, rep):
            rows = timed(lambda: parquet_streamed(name, workload, target, size), clock, streamed[size])
            metadata = pq.ParquetFile(target).metadata
            if not rows == metadata.num_rows == events:
                raise SystemExit(f"{workload.label}: Parquet at max_bytes {size_text(size)}: {rows} rows written, "
                                 f"{metadata.num_rows} read back, the file holds {events} events")
            parquet_bytes[size] = target.stat().st_size
            row_groups[size] = metadata.num_row_groups
            target.unlink()
    return ParquetSweep(workload, path.stat().st_size, streamed, parquet_bytes, row_groups)


def sweep_table(results: list[SweepResult], sizes: list[int], markdown: bool) -> str:
    """Each way's speed over the bandwidth read's at every size, the best
    size marked with a star."""
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    rows = [["workload", "event bytes", "read MB/s", "way", *(size_text(size) for size in sizes)]]
    for result in results:
        first = True
        for way, label in SWEEP_PATHS.items():
            ratios = [result.ratio(way, size) for size in sizes]
            if all(r is None for r in ratios):
                continue
            best = max(r for r in ratios if r is not None)
            rows.append([
                result.workload.label if first else "",
                str(result.workload.event_bytes) if first else "",
                mbs(result.file_bytes / 1e6 / result.bandwidth.median) if first else "",
                label,
                *("n/a" if r is None else f"{r:.2f}{'*' if r == best else ''}" for r in ratios),
            ])
            first = False
    return render(rows, markdown)


def sweep_fault_table(results: list[SweepResult], sizes: list[int], markdown: bool) -> str:
    rows = [["workload", "way", *(size_text(size) for size in sizes)]]
    for result in results:
        first = True
        for way, label in SWEEP_PATHS.items():
            cells = [result.passes.get((way, size)) for size in sizes]
            if all(c is None for c in cells):
                continue
            rows.append([result.workload.label if first else "", label,
                         *("n/a" if c is None else si(statistics.median(c.faults)) for c in cells)])
            first = False
    return render(rows, markdown)


def parquet_sweep_table(results: list[ParquetSweep], sizes: list[int], markdown: bool) -> str:
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    rows = [["workload", "event bytes", "", *(size_text(size) for size in sizes)]]
    for r in results:
        mb = r.file_bytes / 1e6
        rows.append([r.workload.label, str(r.workload.event_bytes), "MB/s median [min, max]",
                     *(spread(r.streamed[size].rates(mb), mbs) for size in sizes)])
        rows.append(["", "", "row groups", *(str(r.row_groups[size]) for size in sizes)])
        rows.append(["", "", "Parquet MB", *(f"{r.parquet_bytes[size] / 1e6:.4g}" for size in sizes)])
    return render(rows, markdown)


def run_sweep(args: argparse.Namespace, directory: Path) -> int:
    began = time.perf_counter()
    clock = time.thread_time if args.clock == "cpu" else time.perf_counter
    load_before = os.getloadavg()[0]
    sizes = args.max_bytes_sweep
    size_bytes = int(args.size_mib * MIB)
    if pa is not None:
        warm_pyarrow(directory)
    results = []
    for workload in args.selected:
        progress(f"[sweep] {workload.label}: writing {args.size_mib:g} MiB ...")
        path, events = make_file(directory, workload, size_bytes)
        progress(f"[sweep] {workload.label}: {events} events, {args.repeat} rounds of {len(sizes)} sizes ...")
        results.append(measure_sweep(workload, path, events, sizes, args.repeat, args.clock, clock))
        path.unlink()
    parquet: list[ParquetSweep] = []
    if pa is not None and not args.no_extras:
        known = {w.key: w for w in WORKLOADS}
        for key in PARQUET_WORKLOADS:
            workload = known[key]
            progress(f"[sweep] Parquet: {workload.label}, writing {args.size_mib:g} MiB ...")
            path, events = make_file(directory, workload, size_bytes)
            parquet.append(measure_parquet_sweep(workload, path, events, sizes, args.repeat, clock))
            path.unlink()

    print("\n".join(machine_description()))
    clock_text = "CPU time of the reading thread" if args.clock == "cpu" else "wall-clock time"
    print(f"max_bytes sweep: pelvar.BatchReader(path, fmt, max_events={BATCH_MAX_EVENTS}, max_bytes=S) for S = "
          f"{', '.join(size_text(size) for size in sizes)}; {args.size_mib:g} MiB per workload in the page cache, "
          f"{args.repeat} rounds, every size once a round in rotating order, timed by {clock_text}; "
          f"load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after"
          + (" -- QUICK RUN: figures are not measurements" if args.quick else ""))
    print("ways: batch loop = for batch in BatchReader(...), each batch dropped; file after file = an untimed pass "
          "of the same size right before, so that the pool holds that size's blocks; a fresh process = the "
          "first pass of a new interpreter; pyarrow.table = pa.table(BatchReader(...)), the table then dropped"
          + ("" if pa is not None else f" ({NO_PYARROW})"))
    print("speed as a multiple of the bandwidth read's (1 MiB chunks into one reused buffer; medians), "
          "* the best size of the row:")
    print(sweep_table(results, sizes, args.markdown))
    print()
    print("minor page faults per pass (median):")
    print(sweep_fault_table(results, sizes, args.markdown))
    print()
    if args.no_extras:
        pass
    elif pa is None:
        print(f"info  Parquet: {NO_PYARROW}")
    else:
        print(f"Parquet ({PARQUET_COMPRESSION}) streamed as examples/to_parquet.py does, a row group per batch: "
              f"MB of event file per second by {clock_text}:")
        print(parquet_sweep_table(parquet, sizes, args.markdown))
    print(f"{time.perf_counter() - began:.0f} s")
    return 0


# ---- the input sources ---------------------------------------------------------

# Every kind of source against the path on the same file, for small, middle and
# large WD1 events and a two-channel WD2 file.
SOURCE_WORKLOADS = ("wd1-16", "wd1-1024", "wd1-65536", "wd2-2x1024")
# gzip level 1: random samples hardly compress whatever the level, and
# inflating costs about the same at every level; level 1 writes fastest.
SOURCE_GZIP_LEVEL = 1


@dataclass(frozen=True)
class SourceWay:
    key: str
    label: str
    peer: str | None   # the way whose speed this one's is a multiple of
    clock: str         # "main" (--clock) or "wall"
    # The least ratio to the peer, for the workloads that `applies` accepts.
    target: float | None = None
    applies: Callable[[Workload], bool] = lambda workload: True


SOURCE_WAYS = [
    SourceWay("path", "path (str)", None, "main"),
    SourceWay("bytes", "bytes", "path", "main", 1.0),
    SourceWay("mmap", "mmap.mmap", "path", "main", 1.0),
    SourceWay("buffered", 'open(p, "rb")', "path", "main", 0.8, lambda w: w.event_bytes >= 2000),
    SourceWay("bytesio", "io.BytesIO", "path", "main", 0.8, lambda w: w.event_bytes >= 2000),
    SourceWay("gunzip", "gzip.open(p.gz).read() alone", None, "main"),
    SourceWay("gzip", 'p.gz, compression="infer"', "gunzip", "main", 0.9),
    SourceWay("path-wall", "path (str), wall clock", None, "wall"),
    SourceWay("pipe", "`cat p` into proc.stdout, wall clock", "path-wall", "wall", 0.7,
              lambda w: w.reader_type == "WD2"),
    # What a pipe carries with no reader behind it: the pipe's own ceiling.
    SourceWay("pipe-bandwidth", "`cat p` into proc.stdout.readinto(1 MiB), wall clock", "path-wall", "wall"),
    SourceWay("gzip-one", "p.gz: one thread, one file, wall clock", None, "wall"),
    SourceWay("gzip-two", "p.gz: two threads, a file each, wall clock", "gzip-one", "wall", 1.6),
    # The same with gzip alone: how much of a second core the machine gives.
    SourceWay("gunzip-one", "gzip.open(p.gz).read(): one thread, wall clock", None, "wall"),
    SourceWay("gunzip-two", "gzip.open(p.gz).read(): two threads, wall clock", "gunzip-one", "wall"),
]
TWO_THREADS = ("gzip-two", "gunzip-two")


def count_batches(source, workload: Workload, max_bytes: int, **options) -> int:
    count = 0
    for batch in pelvar.BatchReader(source, workload.reader_type, max_bytes=max_bytes, **options):
        count += len(batch["offsets"]) - 1
    return count


def batch_digest(source, workload: Workload, max_bytes: int) -> tuple[int, str]:
    """The events and a digest of every column but the offsets (which follow
    where batches end): the same for any source of the same events."""
    hashes: dict = {}
    count = 0
    for batch in pelvar.BatchReader(source, workload.reader_type, max_bytes=max_bytes):
        count += len(batch["offsets"]) - 1
        for key, array in batch.items():
            if key != "offsets":
                hashes.setdefault(key, hashlib.blake2b()).update(array.data)
    return count, ";".join(f"{key}={h.hexdigest()}" for key, h in hashes.items())


def read_pipe(path: str, workload: Workload, max_bytes: int, reader: Callable = count_batches):
    """The file through `cat` and a pipe, read from the subprocess's stdout."""
    with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as proc:
        got = reader(proc.stdout, workload, max_bytes)
    if proc.returncode != 0:
        raise SystemExit(f"cat {path}: exit status {proc.returncode}")
    return got


def pipe_bandwidth(path: str, workload: Workload) -> int:
    """The file through `cat` and a pipe into one reused 1 MiB buffer."""
    buffer = bytearray(MIB)
    total = 0
    with subprocess.Popen(["cat", path], stdout=subprocess.PIPE) as proc:
        while got := proc.stdout.readinto(buffer):
            total += got
    return total // workload.event_bytes


def gunzip(path: str, workload: Workload) -> int:
    with gzip.open(path) as file:
        return len(file.read()) // workload.event_bytes  # fixed-size events in these files


def read_gzip_in_threads(paths: list[str], workload: Workload, max_bytes: int,
                         alone: bool = False) -> list[int]:
    """One thread per gzip file, each reading it with BatchReader (or, alone,
    with gzip.open().read())."""
    counts: list[int | BaseException] = [0] * len(paths)

    def work(i: int, path: str) -> None:
        try:
            counts[i] = (gunzip(path, workload) if alone
                         else count_batches(path, workload, max_bytes, compression="infer"))
        except BaseException as error:  # re-raised below
            counts[i] = error

    threads = [threading.Thread(target=work, args=(i, path)) for i, path in enumerate(paths)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for got in counts:
        if isinstance(got, BaseException):
            raise got
    return counts


@dataclass
class SourceResult:
    workload: Workload
    events: int
    file_bytes: int
    gzip_bytes: int
    timings: dict[str, Timing]  # by SourceWay.key

    def mb_per_second(self, way: SourceWay) -> list[float]:
        # gzip: MB of event file (decompressed) per second; two threads: both files
        files = 2 if way.key in TWO_THREADS else 1
        return self.timings[way.key].rates(files * self.file_bytes / 1e6)

    def ratio(self, way: SourceWay) -> float | None:
        """The way's speed over its peer's (medians)."""
        if way.peer is None:
            return None
        factor = 2 if way.key in TWO_THREADS else 1
        return factor * self.timings[way.peer].median / self.timings[way.key].median


def measure_sources(workload: Workload, path: Path, events: int, repeat: int, clock: Callable[[], float],
                    max_bytes: int) -> SourceResult:
    """Every way once a round, in an order that rotates from round to round.
    The path pass is timed by both clocks: the pipe's `cat` runs in another
    process, so the pipe is held to the path's elapsed time."""
    name = str(path)
    gz = [path.with_name(path.name + f"-{i}.gz") for i in range(2)]
    with open(path, "rb") as raw, gzip.open(gz[0], "wb", compresslevel=SOURCE_GZIP_LEVEL) as packed:
        shutil.copyfileobj(raw, packed, 4 * MIB)
    shutil.copyfile(gz[0], gz[1])
    gz_names = [str(p) for p in gz]
    data = path.read_bytes()
    for p in (name, *gz_names):
        plain_reader.read_bandwidth(p)  # warm the page cache

    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        def with_file() -> int:
            with open(name, "rb") as file:
                return count_batches(file, workload, max_bytes)

        passes: dict[str, Callable[[], object]] = {
            "path": lambda: count_batches(name, workload, max_bytes),
            "bytes": lambda: count_batches(data, workload, max_bytes),
            "mmap": lambda: count_batches(mapped, workload, max_bytes),
            "buffered": with_file,
            "bytesio": lambda: count_batches(io.BytesIO(data), workload, max_bytes),
            "gunzip": lambda: gunzip(gz_names[0], workload),
            "gzip": lambda: count_batches(gz_names[0], workload, max_bytes, compression="infer"),
            "pipe": lambda: read_pipe(name, workload, max_bytes),
            "gzip-one": lambda: read_gzip_in_threads(gz_names[:1], workload, max_bytes),
            "gzip-two": lambda: read_gzip_in_threads(gz_names, workload, max_bytes),
            "pipe-bandwidth": lambda: pipe_bandwidth(name, workload),
            "gunzip-one": lambda: read_gzip_in_threads(gz_names[:1], workload, max_bytes, alone=True),
            "gunzip-two": lambda: read_gzip_in_threads(gz_names, workload, max_bytes, alone=True),
        }
        # Same events from every source, checked once outside the timing.
        expected = batch_digest(name, workload, max_bytes)
        sources = {"bytes": data, "mmap": mapped, "bytesio": io.BytesIO(data)}
        for key, source in sources.items():
            if batch_digest(source, workload, max_bytes) != expected:
                raise SystemExit(f"{workload.label}: the {key} source does not yield the file's events")
        with open(name, "rb") as file:
            if batch_digest(file, workload, max_bytes) != expected:
                raise SystemExit(f"{workload.label}: open(p, 'rb') does not yield the file's events")
        if read_pipe(name, workload, max_bytes, batch_digest) != expected:
            raise SystemExit(f"{workload.label}: the pipe does not yield the file's events")
        if batch_digest(gz_names[0], workload, max_bytes) != expected:
            raise SystemExit(f"{workload.label}: the gzip file does not yield the file's events")

        timings = {way.key: Timing([], [], []) for way in SOURCE_WAYS}
        order = list(passes)
        for rep in range(repeat):
            for key in rotated(order, rep):
                if key == "path":
                    wall = Timing([], [], [])
                    got = timed(lambda: timed(passes[key], clock, timings[key]), time.perf_counter, wall)
                    timings["path-wall"].seconds += wall.seconds
                    timings["path-wall"].others += wall.others
                    timings["path-wall"].faults += wall.faults
                else:
                    way = next(w for w in SOURCE_WAYS if w.key == key)
                    got = timed(passes[key], time.perf_counter if way.clock == "wall" else clock, timings[key])
                wanted = ([events, events] if key in TWO_THREADS else [events] if key.endswith("-one")
                          else events)
                if got != wanted:
                    raise SystemExit(f"{workload.label}: {key} delivered {got} events, the file holds {events}")
    gzip_bytes = gz[0].stat().st_size
    for p in gz:
        p.unlink()
    return SourceResult(workload, events, path.stat().st_size, gzip_bytes, timings)


def sources_table(results: list[SourceResult], markdown: bool) -> str:
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    rows = [["workload", "event bytes", "source", "MB/s median [min, max]", "ratio", "to", "target"]]
    for result in results:
        first = True
        for way in SOURCE_WAYS:
            ratio = result.ratio(way)
            target = ""
            if way.target is not None and way.applies(result.workload):
                target = f">= {way.target} {'PASS' if ratio >= way.target else 'FAIL'}"
            rows.append([result.workload.label if first else "", str(result.workload.event_bytes) if first else "",
                         way.label, spread(result.mb_per_second(way), mbs),
                         "" if ratio is None else f"{ratio:.2f}x",
                         "" if way.peer is None else next(w.label for w in SOURCE_WAYS if w.key == way.peer),
                         target])
            first = False
    return render(rows, markdown)


def source_checks(results: list[SourceResult]) -> list[tuple[bool, str]]:
    lines = []
    for result in results:
        for way in SOURCE_WAYS:
            if way.target is None or not way.applies(result.workload):
                continue
            ratio = result.ratio(way)
            peer = next(w.label for w in SOURCE_WAYS if w.key == way.peer)
            lines.append(check(ratio >= way.target, f"{result.workload.label}: {way.label} / {peer} "
                                                    f"{ratio:.2f}x (target >= {way.target}x)"))
    return lines


def cores_busy(timing: Timing) -> float:
    # the timing thread only waits in join(): the others' CPU is the readers'
    return statistics.median(o / s for o, s in zip(timing.others, timing.seconds))


def run_sources(args: argparse.Namespace, directory: Path) -> int:
    began = time.perf_counter()
    clock = time.thread_time if args.clock == "cpu" else time.perf_counter
    load_before = os.getloadavg()[0]
    size_bytes = int(args.size_mib * MIB)
    known = {w.key: w for w in WORKLOADS}
    workloads = args.selected if args.workloads else [known[key] for key in SOURCE_WORKLOADS]
    results = []
    for workload in workloads:
        progress(f"[sources] {workload.label}: writing {args.size_mib:g} MiB and its gzip copies ...")
        path, events = make_file(directory, workload, size_bytes)
        progress(f"[sources] {workload.label}: {events} events, {args.repeat} rounds of {len(SOURCE_WAYS) - 1} "
                 f"passes ...")
        results.append(measure_sources(workload, path, events, args.repeat, clock, args.max_bytes))
        path.unlink()
    checks = source_checks(results)

    print("\n".join(machine_description()))
    clock_text = "CPU time of the reading thread" if args.clock == "cpu" else "wall-clock time"
    print(f"sources: pelvar.BatchReader(source, fmt, max_bytes={size_text(args.max_bytes)}), each batch dropped; "
          f"{args.size_mib:g} MiB per workload in the page cache, {args.repeat} rounds, every way once a round in "
          f"rotating order; timed by {clock_text} unless the row says wall clock; load average "
          f"{load_before:.1f} before, {os.getloadavg()[0]:.1f} after"
          + (" -- QUICK RUN: figures are not measurements" if args.quick else ""))
    print(f"gzip: level {SOURCE_GZIP_LEVEL}, MB of event file (decompressed) per second; compressed size "
          + ", ".join(f"{r.workload.label} {r.gzip_bytes / r.file_bytes:.0%}" for r in results)
          + "; two threads: both files' MB over the elapsed time")
    print("ratio: the row's speed over the speed of the row named under `to` (medians):")
    print(sources_table(results, args.markdown))
    print()
    # Two threads can only beat one by as much as they run at once: their CPU
    # seconds per elapsed second say how much of two cores they got.
    print("two threads: CPU seconds of the reading threads per elapsed second (median; 2.0 = both ran "
          "throughout): " + "; ".join(
              f"{r.workload.label}: BatchReader {cores_busy(r.timings['gzip-two']):.2f}, "
              f"gzip alone {cores_busy(r.timings['gunzip-two']):.2f}" for r in results))
    print()
    print("targets:")
    for _, line in checks:
        print(line)
    failed = sum(not ok for ok, _ in checks)
    print(f"{len(checks) - failed} of {len(checks)} targets hold; {time.perf_counter() - began:.0f} s")
    return 1 if failed and args.strict else 0


# ---- column selection, start and partitions ----------------------------------

# Headers only against the full batch read: large, middle and small events,
# with the least speed-up (events per second) each must show.
SELECTION_WORKLOADS = ("wd1-65536", "wd2-2x1024", "wd1-16")
HEADERS_TARGETS = {"wd1-65536": 20, "wd2-2x1024": 4, "wd1-16": 1.2}
SELECTION_SIZE_MIB = 1024
# The file that is also read from its last event, split into partitions and
# handed to Dask: 128 KB events, whose samples are nearly all of the bytes.
SPLIT_WORKLOAD = "wd1-65536"
SPLIT_PARTS = 8  # partition_bytes is the file's size over this
# The last event alone (start=k) and the partitions' pass, each against the
# whole file's batch read: at least this many times faster.
START_TARGET = 20
PARTITIONS_TARGET = 20
# Two Dask worker processes against one on the histogram job (wall clock).
DASK_TARGET = 1.5
# The job reads the channel and the samples: a histogram of board_channel and
# one of each event's largest sample.
DASK_COLUMNS = ("board_channel", "data")
DASK_CHANNEL_BINS = 8
DASK_MAXIMUM_BINS = 64
NO_DASK = "not measured: dask.distributed is not installed"


@dataclass(frozen=True)
class SelectionWay:
    key: str
    label: str
    target: float | None  # the least speed-up over the full read


def selection_ways(result: "SelectionResult") -> list[SelectionWay]:
    ways = [SelectionWay("full", "full batch read", None),
            SelectionWay("headers", "headers only", HEADERS_TARGETS.get(result.workload.key))]
    if result.split:
        ways += [SelectionWay("last", f"start={result.events - 1} (the last event)", START_TARGET),
                 SelectionWay("partitions", f"BatchReader.partitions: {result.partitions} readers, partition_bytes "
                                            f"{result.partition_bytes / MIB:.4g} MiB", PARTITIONS_TARGET)]
    return ways


def header_columns(path: str, workload: Workload) -> list[str]:
    """The format's header fields, named and ordered as a full batch holds them."""
    return [name for name in pelvar.BatchReader(path, workload.reader_type).columns if name not in ("offsets", "data")]


def count_selected(path: str, workload: Workload, max_bytes: int, **options) -> int:
    count = 0
    for batch in pelvar.BatchReader(path, workload.reader_type, max_bytes=max_bytes, **options):
        count += len(batch["event_counter"])  # a column of every batch this mode reads
    return count


def readers_digest(readers) -> tuple[int, dict[str, str]]:
    """The events of the readers in turn and a digest of each column but the
    offsets (which follow where batches end)."""
    hashes: dict = {}
    count = 0
    for reader in readers:
        for batch in reader:
            count += len(batch["event_counter"])
            for key, array in batch.items():
                if key != "offsets":
                    hashes.setdefault(key, hashlib.blake2b()).update(array.data)
    return count, {key: h.hexdigest() for key, h in hashes.items()}


@dataclass
class SelectionResult:
    workload: Workload
    events: int
    file_bytes: int
    columns: list[str]           # the header columns that "headers only" selects
    timings: dict[str, Timing]   # by SelectionWay.key
    split: bool                  # start= and partitions measured too
    partitions: int = 0
    partition_bytes: int = 0

    def speedup(self, way: SelectionWay) -> float | None:
        """The full read's median time over the way's."""
        if way.key == "full":
            return None
        return self.timings["full"].median / self.timings[way.key].median


def check_selection(name: str, workload: Workload, events: int, columns: list[str], max_bytes: int,
                    partition_bytes: int | None) -> int:
    """Outside the timing: headers only yields the full read's very header
    columns, start= the last event, and the partitions, read in turn, the whole
    file's columns over contiguous ranges. Returns the partitions' number."""
    fmt = workload.reader_type
    count, full = readers_digest([pelvar.BatchReader(name, fmt, max_bytes=max_bytes)])
    headers = pelvar.BatchReader(name, fmt, max_bytes=max_bytes, columns=columns)
    if headers.columns != tuple(columns):
        raise SystemExit(f"{workload.label}: headers only gives the columns {headers.columns}, not {columns}")
    got = readers_digest([headers])
    if count != events or got != (events, {key: full[key] for key in columns}):
        raise SystemExit(f"{workload.label}: headers only does not yield the full read's header columns")
    if partition_bytes is None:
        return 0
    last = list(pelvar.BatchReader(name, fmt, max_bytes=max_bytes, start=events - 1))
    if [batch["event_counter"].tolist() for batch in last] != [[events - 1]]:
        raise SystemExit(f"{workload.label}: start={events - 1} yields {last}, not the last event alone")
    parts = pelvar.BatchReader.partitions(name, fmt, partition_bytes=partition_bytes, max_bytes=max_bytes)
    ranges = [part.event_range for part in parts]
    spans = [part.byte_range for part in parts]
    if ([r[0] for r in ranges] != [0, *(r[1] for r in ranges[:-1])] or ranges[-1][1] not in (events, None)
            or [s[0] for s in spans] != [0, *(s[1] for s in spans[:-1])] or spans[-1][1] != os.stat(name).st_size):
        raise SystemExit(f"{workload.label}: the partitions do not cover the file in turn: {ranges}, {spans}")
    if readers_digest(parts) != (events, full):
        raise SystemExit(f"{workload.label}: the partitions do not yield the file's events")
    return len(parts)


def measure_selection(workload: Workload, path: Path, events: int, repeat: int, clock: Callable[[], float],
                      max_bytes: int, split: bool) -> SelectionResult:
    """Every way once a round, in an order that rotates from round to round."""
    name = str(path)
    fmt = workload.reader_type
    file_bytes = path.stat().st_size
    plain_reader.read_bandwidth(name)  # warm the page cache
    columns = header_columns(name, workload)
    partition_bytes = max(1, file_bytes // SPLIT_PARTS)
    partitions = check_selection(name, workload, events, columns, max_bytes, partition_bytes if split else None)
    passes: dict[str, tuple[Callable[[], int], int]] = {
        "full": (lambda: count_selected(name, workload, max_bytes), events),
        "headers": (lambda: count_selected(name, workload, max_bytes, columns=columns), events),
    }
    if split:
        passes["last"] = (lambda: count_selected(name, workload, max_bytes, start=events - 1), 1)
        passes["partitions"] = (lambda: len(pelvar.BatchReader.partitions(name, fmt, partition_bytes=partition_bytes,
                                                                          max_bytes=max_bytes)), partitions)
    timings = {key: Timing([], [], []) for key in passes}
    for rep in range(repeat):
        for key in rotated(list(passes), rep):
            work, wanted = passes[key]
            got = timed(work, clock, timings[key])
            if got != wanted:
                raise SystemExit(f"{workload.label}: {key} gave {got}, not {wanted}")
    return SelectionResult(workload, events, file_bytes, columns, timings, split,
                           partitions if split else 0, partition_bytes if split else 0)


def selection_table(results: list[SelectionResult], markdown: bool) -> str:
    ms = lambda v: f"{v * 1e3:.3g}"  # noqa: E731
    rows = [["workload", "event bytes", "events", "way", "ms per pass median [min, max]", "events/s median",
             "speed-up", "to", "target"]]
    for result in results:
        first = True
        for way in selection_ways(result):
            timing = result.timings[way.key]
            ratio = result.speedup(way)
            target = "" if way.target is None else f">= {way.target} {'PASS' if ratio >= way.target else 'FAIL'}"
            rows.append([result.workload.label if first else "", str(result.workload.event_bytes) if first else "",
                         si(result.events) if first else "", way.label, spread(timing.seconds, ms),
                         si(result.events / timing.median) if way.key in ("full", "headers") else "",
                         "" if ratio is None else f"{ratio:.2f}x", "" if ratio is None else "full batch read",
                         target])
            first = False
    return render(rows, markdown)


def selection_checks(results: list[SelectionResult], dask: "DaskResult | str | None") -> list[tuple[bool, str]]:
    lines = []
    for result in results:
        for way in selection_ways(result):
            if way.target is None:
                continue
            ratio = result.speedup(way)
            lines.append(check(ratio >= way.target, f"{result.workload.label}: {way.label} {ratio:.2f}x as fast as "
                                                    f"the full batch read (target >= {way.target}x)"))
    if isinstance(dask, DaskResult):
        lines.append(check(dask.speedup >= DASK_TARGET,
                           f"Dask, {dask.workload.label}: two worker processes {dask.speedup:.2f}x as fast as one, "
                           f"wall clock (target >= {DASK_TARGET}x)"))
    return lines


# ---- Dask over the partitions -------------------------------------------------

def histogram_job(reader) -> tuple[np.ndarray, np.ndarray, int, float]:
    """One partition's task: histograms of board_channel and of each event's
    largest sample (every event of these files has samples), its events and
    the CPU seconds the task took."""
    began = time.thread_time()
    channels = np.zeros(DASK_CHANNEL_BINS, np.int64)
    maxima = np.zeros(DASK_MAXIMUM_BINS, np.int64)
    events = 0
    for batch in reader:
        offsets, data = batch["offsets"], batch["data"]
        channels += np.histogram(batch["board_channel"], DASK_CHANNEL_BINS, (0, DASK_CHANNEL_BINS))[0]
        maxima += np.histogram(np.maximum.reduceat(data, offsets[:-1]), DASK_MAXIMUM_BINS, (0, 1 << 16))[0]
        events += len(offsets) - 1
    return channels, maxima, events, time.thread_time() - began


def combined(parts) -> tuple[np.ndarray, np.ndarray, int, float]:
    parts = list(parts)
    return (sum(p[0] for p in parts), sum(p[1] for p in parts), sum(p[2] for p in parts),
            sum(p[3] for p in parts))


DASK_WAYS = {"local": "in this process, no Dask", "one": "LocalCluster, 1 worker process",
             "two": "LocalCluster, 2 worker processes"}


@dataclass
class DaskResult:
    workload: Workload
    events: int
    file_bytes: int
    partitions: int
    partition_bytes: int
    seconds: dict[str, list[float]]  # wall clock, by DASK_WAYS key
    busy: dict[str, list[float]]     # the tasks' CPU seconds per elapsed second

    @property
    def speedup(self) -> float:
        """Two worker processes' speed over one's (medians)."""
        return statistics.median(self.seconds["one"]) / statistics.median(self.seconds["two"])


def measure_dask(workload: Workload, path: Path, events: int, repeat: int, max_bytes: int) -> DaskResult | str:
    """The histogram job over the file's partitions, a task each (client.map of
    the pickled readers): in this process, on a LocalCluster of one worker
    process and on one of two (a thread each), every way once a round in
    rotating order, timed by the wall clock from the first task's submission
    to the last result. Both clusters are up throughout; each runs the job
    once untimed first, so that its workers have imported the module."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        return NO_DASK
    name = str(path)
    partition_bytes = max(1, path.stat().st_size // SPLIT_PARTS)
    readers = pelvar.BatchReader.partitions(name, workload.reader_type, partition_bytes=partition_bytes,
                                            columns=list(DASK_COLUMNS), max_bytes=max_bytes)
    copies = lambda: [pickle.loads(pickle.dumps(reader)) for reader in readers]  # noqa: E731
    expected = combined(map(histogram_job, copies()))
    if expected[2] != events:
        raise SystemExit(f"Dask job: {expected[2]} events in this process, the file holds {events}")
    seconds: dict[str, list[float]] = {way: [] for way in DASK_WAYS}
    busy: dict[str, list[float]] = {way: [] for way in DASK_WAYS}
    with contextlib.ExitStack() as stack:
        clients = {}
        for way, workers in (("one", 1), ("two", 2)):
            cluster = stack.enter_context(LocalCluster(n_workers=workers, processes=True, threads_per_worker=1,
                                                       dashboard_address=":0", silence_logs=logging.ERROR))
            clients[way] = stack.enter_context(Client(cluster))

        def on_cluster(way: str) -> tuple[np.ndarray, np.ndarray, int, float]:
            client = clients[way]
            return combined(client.gather(client.map(histogram_job, readers, pure=False)))

        for way in clients:
            on_cluster(way)  # untimed
        for rep in range(repeat):
            for way in rotated(list(DASK_WAYS), rep):
                local = copies() if way == "local" else None
                start = time.perf_counter()
                got = combined(map(histogram_job, local)) if local is not None else on_cluster(way)
                elapsed = time.perf_counter() - start
                if not (got[2] == expected[2] and np.array_equal(got[0], expected[0])
                        and np.array_equal(got[1], expected[1])):
                    raise SystemExit(f"Dask job, {DASK_WAYS[way]}: histograms of {got[2]} events differ from "
                                     f"those of this process ({expected[2]} events)")
                seconds[way].append(elapsed)
                busy[way].append(got[3] / elapsed)
    return DaskResult(workload, events, path.stat().st_size, len(readers), partition_bytes, seconds, busy)


def dask_table(result: DaskResult, markdown: bool) -> str:
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    rows = [["way", "s per pass median [min, max]", "MB/s median", "tasks' CPU s per elapsed s", "speed-up", "to",
             "target"]]
    for way, label in DASK_WAYS.items():
        seconds = result.seconds[way]
        ratio = result.speedup if way == "two" else None
        rows.append([label, spread(seconds, lambda v: f"{v:.3g}"),
                     mbs(result.file_bytes / 1e6 / statistics.median(seconds)),
                     f"{statistics.median(result.busy[way]):.2f}",
                     "" if ratio is None else f"{ratio:.2f}x", "" if ratio is None else DASK_WAYS["one"],
                     "" if ratio is None else f">= {DASK_TARGET} {'PASS' if ratio >= DASK_TARGET else 'FAIL'}"])
    return render(rows, markdown)


def run_selection(args: argparse.Namespace, directory: Path) -> int:
    if not hasattr(pelvar.BatchReader, "partitions"):
        raise SystemExit(f"--selection needs BatchReader's columns, start and partitions, which this pelvar lacks "
                         f"({pelvar.__file__})")
    began = time.perf_counter()
    clock = time.thread_time if args.clock == "cpu" else time.perf_counter
    load_before = os.getloadavg()[0]
    size_bytes = int(args.size_mib * MIB)
    known = {w.key: w for w in WORKLOADS}
    workloads = args.selected if args.workloads else [known[key] for key in SELECTION_WORKLOADS]
    results: list[SelectionResult] = []
    dask: DaskResult | str | None = None
    for workload in workloads:
        split = workload.key == SPLIT_WORKLOAD
        progress(f"[selection] {workload.label}: writing {args.size_mib:g} MiB ...")
        path, events = make_file(directory, workload, size_bytes)
        progress(f"[selection] {workload.label}: {events} events, {args.repeat} rounds ...")
        results.append(measure_selection(workload, path, events, args.repeat, clock, args.max_bytes, split))
        if split and args.no_extras:
            dask = "not measured: --no-extras"
        elif split:
            progress(f"[selection] Dask: {workload.label}, {args.repeat} rounds ...")
            dask = measure_dask(workload, path, events, args.repeat, args.max_bytes)
        path.unlink()
    checks = selection_checks(results, dask)

    print("\n".join(machine_description()))
    clock_text = "CPU time of the reading thread" if args.clock == "cpu" else "wall-clock time"
    print(f"selection: pelvar.BatchReader(path, fmt, max_bytes={size_text(args.max_bytes)}, ...), each batch dropped; "
          f"{args.size_mib:g} MiB per workload in the page cache, {args.repeat} rounds, every way once a round in "
          f"rotating order; timed by {clock_text}; load average {load_before:.1f} before, "
          f"{os.getloadavg()[0]:.1f} after" + (" -- QUICK RUN: figures are not measurements" if args.quick else ""))
    for fmt in dict.fromkeys(r.workload.reader_type for r in results):
        columns = next(r.columns for r in results if r.workload.reader_type == fmt)
        print(f"headers only, {fmt}: columns={columns}")
    print("full batch read: no columns, start or stop; start=k: iterating BatchReader(path, fmt, start=k); "
          "partitions: the BatchReader.partitions(path, fmt, partition_bytes=P) call alone, its readers unread")
    print("speed-up: the full batch read's median time over the row's (for headers only, the ratio of events/s):")
    print(selection_table(results, args.markdown))
    print()
    if isinstance(dask, DaskResult):
        print(f"Dask: BatchReader.partitions(path, \"{dask.workload.reader_type}\", partition_bytes="
              f"{dask.partition_bytes}, columns={list(DASK_COLUMNS)}) over the {dask.file_bytes / MIB:.0f} MiB file "
              f"of {dask.workload.label} -> {dask.partitions} readers, a task each (client.map of the pickled "
              f"readers), LocalCluster(processes=True, threads_per_worker=1); each task histograms board_channel "
              f"and each event's largest sample (numpy.maximum.reduceat); wall clock, {args.repeat} rounds in "
              f"rotating order, both clusters up throughout:")
        print(dask_table(dask, args.markdown))
    elif dask is not None:
        print(f"Dask: {dask}")
    else:
        print(f"Dask: not measured: --workloads left out {SPLIT_WORKLOAD}")
    print()
    print("targets:")
    for _, line in checks:
        print(line)
    failed = sum(not ok for ok, _ in checks)
    print(f"{len(checks) - failed} of {len(checks)} targets hold; {time.perf_counter() - began:.0f} s")
    return 1 if failed and args.strict else 0


# ---- memory and open cost ---------------------------------------------------

MEMORY_PROBE = r"""
import json, resource, sys
path, reader_type, impl, bench_dir, max_bytes = sys.argv[1:6]
sys.path.insert(0, bench_dir)
import numpy
import pelvar
import plain_reader

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024
    return None

if impl == "pelvar":
    events = pelvar.EventReader(path, reader_type)
elif impl == "batch":
    events = pelvar.BatchReader(path, reader_type, max_bytes=int(max_bytes))
else:
    events = plain_reader.read_events(path, reader_type)
try:  # reset the peak to the current RSS (Linux 4.0 and later)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    source = "VmHWM"
except OSError:
    source = "ru_maxrss"
idle = status("VmRSS")
largest = count = items = 0
for event in events:  # for "batch", a batch: its arrays' bytes, its events
    if impl == "batch":
        nbytes = sum(array.nbytes for array in event.values())
        count += len(event["offsets"]) - 1
    else:
        nbytes = event["data"].nbytes
        count += 1
    if nbytes > largest:
        largest = nbytes
    items += 1
    del event
if source == "VmHWM":
    peak = status("VmHWM")
else:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"idle": idle, "peak": peak, "largest": largest, "count": count, "items": items,
                  "source": source}))
"""


def measure_memory(path: Path, workload: Workload, impl: str, max_bytes: int = BATCH_MAX_BYTES) -> dict:
    result = subprocess.run(
        [sys.executable, "-c", MEMORY_PROBE, str(path), workload.reader_type, impl, str(BENCH_DIR), str(max_bytes)],
        check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


PROCESS_PROBE = r"""
import statistics, sys, time
path, reader_type, repeat, clock = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
import numpy
import pelvar
clock = time.thread_time if clock == "cpu" else time.perf_counter
seconds = []
for _ in range(repeat):
    start = clock()
    count = 0
    for _ in pelvar.EventReader(path, reader_type):
        count += 1
    seconds.append(clock() - start)
print(statistics.median(seconds) / max(count, 1))
"""


def measure_processes(path: Path, workload: Workload, processes: int, repeat: int, clock: str) -> list[float]:
    """Seconds per event in each of `processes` fresh interpreters (median of
    `repeat` passes each): where the heap happens to put the buffers must not
    make one process slower than another."""
    per_event = []
    for _ in range(processes):
        result = subprocess.run([sys.executable, "-c", PROCESS_PROBE, str(path), workload.reader_type, str(repeat),
                                 clock], check=True, capture_output=True, text=True)
        per_event.append(float(result.stdout))
    return per_event


def time_opens(path: Path, count: int, clock: Callable[[], float]) -> float:
    """Seconds per EventReader(path, "WD2") (construction and destruction)."""
    name = str(path)
    start = clock()
    for _ in range(count):
        pelvar.EventReader(name, "WD2")
    return (clock() - start) / count


def measure_open_cost(small: Path, big: Path, batches: int, per_batch: int, clock: Callable[[], float]) -> dict:
    time_opens(small, per_batch, clock)  # warm
    time_opens(big, per_batch, clock)
    small_times, big_times = [], []
    for _ in range(batches):
        small_times.append(time_opens(small, per_batch, clock))
        big_times.append(time_opens(big, per_batch, clock))
    return {"small": small_times, "big": big_times,
            "small_bytes": small.stat().st_size, "big_bytes": big.stat().st_size}


# ---- output -----------------------------------------------------------------

def si(value: float) -> str:
    """Three significant digits with a k/M/G suffix."""
    for factor, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= factor:
            return f"{value / factor:.3g}{suffix}"
    return f"{value:.3g}"


def spread(values: list[float], show: Callable[[float], str]) -> str:
    if len(values) == 1:
        return show(values[0])
    return f"{show(statistics.median(values))} [{show(min(values))}, {show(max(values))}]"


def render(rows: list[list[str]], markdown: bool) -> str:
    if markdown:
        lines = ["| " + " | ".join(rows[0]) + " |", "|" + "|".join("---" for _ in rows[0]) + "|"]
        lines += ["| " + " | ".join(row) + " |" for row in rows[1:]]
        return "\n".join(lines)
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


def size_text(nbytes: int) -> str:
    for factor, unit in ((1 << 30, "GiB"), (MIB, "MiB"), (1 << 10, "KiB")):
        if nbytes >= factor and nbytes % factor == 0:
            return f"{nbytes // factor} {unit}"
    return f"{nbytes} B"


def ratio_cell(ratio: float | None) -> str:
    return "" if ratio is None else f"{ratio:.2f}x"


def results_table(results: list[WorkloadResult], markdown: bool) -> str:
    rows = [["workload", "event bytes", "events", "reader", "events/s median [min, max]",
             "MB/s median [min, max]", "pelvar ÷ reader", "batch ÷ reader"]]
    for result in results:
        first = True
        for name, timing in result.timings.items():
            ratio = result.ratio(name)
            rows.append([
                result.workload.label if first else "",
                str(result.workload.event_bytes) if first else "",
                si(result.events) if first else "",
                name,
                spread(timing.rates(result.events), si),
                spread(timing.rates(result.file_bytes / 1e6), lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"),
                "" if name == "pelvar" else ratio_cell(ratio),
                "" if name == "batch" else ratio_cell(result.ratio(name, "batch")),
            ])
            first = False
    return render(rows, markdown)


def ratio_table(results: list[WorkloadResult], markdown: bool) -> str:
    rows = [["workload", "event bytes", "x floor", "x plain", "x bandwidth"]]
    for result in results:
        cells = []
        for peer in ("floor", "plain", "bandwidth"):
            ratio = result.ratio(peer)
            cells.append("n/a" if ratio is None else f"{ratio:.2f}")
        rows.append([result.workload.label, str(result.workload.event_bytes), *cells])
    return render(rows, markdown)


def batch_ratio_table(results: list[WorkloadResult], markdown: bool) -> str:
    rows = [["workload", "event bytes", "x event path", "x bandwidth", "x fromfile"]]
    for result in results:
        cells = []
        for peer in ("pelvar", "bandwidth", "fromfile"):
            ratio = result.ratio(peer, "batch")
            cells.append("n/a" if ratio is None else f"{ratio:.2f}")
        rows.append([result.workload.label, str(result.workload.event_bytes), *cells])
    return render(rows, markdown)


def arrow_ratio_table(results: list[WorkloadResult], markdown: bool) -> str:
    rows = [["workload", "event bytes", "x batch", "x event path", "other threads' CPU, % of the reading thread's",
             "minor faults per pass: arrow, batch"]]
    for result in results:
        arrow, batch = result.timings["arrow"], result.timings["batch"]
        ratios = [result.ratio(peer, "arrow") for peer in ("batch", "pelvar")]
        share = statistics.median(arrow.others) / max(arrow.median, 1e-12)
        rows.append([result.workload.label, str(result.workload.event_bytes),
                     *("n/a" if r is None else f"{r:.2f}" for r in ratios), f"{100 * share:.1f}",
                     f"{spread(arrow.faults, si)}, {spread(batch.faults, si)}"])
    return render(rows, markdown)


def parquet_lines(results: list[ParquetResult]) -> list[str]:
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    lines = []
    for r in results:
        mb = r.file_bytes / 1e6
        other = max(statistics.median(t.others) / t.median for t in (r.streamed, r.table))
        lines.append(f"info  Parquet ({PARQUET_COMPRESSION}), {r.workload.label}, {r.file_bytes / MIB:.3g} MiB: "
                     f"streamed (examples/to_parquet.py) {spread(r.streamed.rates(mb), mbs)} MB/s, "
                     f"pq.write_table of the table in memory {spread(r.table.rates(mb), mbs)} MB/s, "
                     f"streamed/write_table {r.ratio:.2f}x; Parquet files {r.parquet_bytes['streamed'] / 1e6:.3g} "
                     f"and {r.parquet_bytes['table'] / 1e6:.3g} MB; other threads' CPU "
                     f"{100 * other:.1f} % at most")
    return lines


def thread_table(results: list[ThreadResult], markdown: bool) -> str:
    rows = [["workload", "event bytes", "MiB per file", "one thread, one file: MB/s median [min, max]",
             "two threads, a file each: MB/s median [min, max]", "speedup"]]
    mbs = lambda v: f"{v:.0f}" if v >= 100 else f"{v:.3g}"  # noqa: E731
    for r in results:
        rows.append([r.workload.label, str(r.workload.event_bytes), f"{r.file_bytes / MIB:.3g}",
                     spread([r.file_bytes / 1e6 / s for s in r.one], mbs),
                     spread([2 * r.file_bytes / 1e6 / s for s in r.two], mbs),
                     f"{r.speedup:.2f}x"])
    return render(rows, markdown)


def machine_description() -> list[str]:
    model = platform.processor() or "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return [
        f"machine: {model}, {os.cpu_count()} CPUs, {platform.system()} {platform.release()}",
        f"python: {platform.python_implementation()} {platform.python_version()}, numpy {np.__version__}",
        f"pelvar: {pelvar.__file__}",
    ]


def check(ok: bool, text: str) -> tuple[bool, str]:
    return ok, f"{'PASS' if ok else 'FAIL'}  {text}"


def target_checks(results: list[WorkloadResult], memory: list[tuple[str, dict]],
                  open_costs: list[tuple[str, dict]],
                  spreads: list[tuple[str, list[float]]] = (),
                  batch_memory: list[tuple[str, dict]] = (),
                  threads: list[ThreadResult] = (),
                  max_bytes: int = BATCH_MAX_BYTES) -> list[tuple[bool, str]]:
    lines = []
    for result in results:
        key = result.workload.key
        floor = result.ratio("floor")
        if floor is not None:
            wanted = FLOOR_TARGETS.get(key, FLOOR_TARGET)
            lines.append(check(floor >= wanted,
                               f"{result.workload.label}: pelvar/floor {floor:.2f}x (target >= {wanted}x)"))
        if key in PLAIN_TARGETS:
            ratio = result.ratio("plain")
            lines.append(check(ratio >= PLAIN_TARGETS[key],
                               f"{result.workload.label}: pelvar/plain {ratio:.2f}x (target >= {PLAIN_TARGETS[key]}x)"))
        if key in BANDWIDTH_TARGETS:
            ratio = result.ratio("bandwidth")
            lines.append(check(ratio >= BANDWIDTH_TARGETS[key],
                               f"{result.workload.label}: pelvar/bandwidth {ratio:.2f}x "
                               f"(target >= {BANDWIDTH_TARGETS[key]}x)"))
    for result in results:
        key, label = result.workload.key, result.workload.label
        for peer, targets in (("pelvar", BATCH_EVENT_TARGETS), ("bandwidth", BATCH_BANDWIDTH_TARGETS),
                              ("fromfile", BATCH_FROMFILE_TARGETS)):
            ratio = result.ratio(peer, "batch")
            if key in targets and ratio is not None:
                lines.append(check(ratio >= targets[key],
                                   f"{label}: batch/{peer} {ratio:.2f}x (target >= {targets[key]}x)"))
        # pyarrow.table keeps every batch until the table is whole: it is held
        # to the batch path keeping them too (dropping each costs less memory).
        ratio = result.ratio("held", "arrow")
        if ratio is not None:
            lines.append(check(ratio >= ARROW_BATCH_TARGET,
                               f"{label}: arrow/batches held {ratio:.2f}x (target >= {ARROW_BATCH_TARGET}x)"))
    for label, m in memory:
        growth = m["peak"] - m["idle"]
        allowed = m["largest"] + MEMORY_SLACK_MIB * MIB
        lines.append(check(growth <= allowed,
                           f"streaming memory, {label}: peak RSS {m['peak'] / MIB:.1f} MiB - idle "
                           f"{m['idle'] / MIB:.1f} MiB = {growth / MIB:.1f} MiB "
                           f"(target <= largest event {m['largest'] / MIB:.2f} MiB + {MEMORY_SLACK_MIB} MiB; "
                           f"{m['count']} events, {m['source']})"))
    for label, m in batch_memory:
        growth = m["peak"] - m["idle"]
        allowed = BATCH_MEMORY_FACTOR * max_bytes
        lines.append(check(growth <= allowed,
                           f"streaming memory, {label}: peak RSS {m['peak'] / MIB:.1f} MiB - idle "
                           f"{m['idle'] / MIB:.1f} MiB = {growth / MIB:.1f} MiB "
                           f"(target <= {BATCH_MEMORY_FACTOR} x max_bytes = {allowed / MIB:.0f} MiB; "
                           f"largest batch {m['largest'] / MIB:.1f} MiB, {m['items']} batches, "
                           f"{m['count']} events, {m['source']})"))
    for r in threads:
        lines.append(check(r.speedup >= THREAD_SPEEDUP_TARGET,
                           f"{r.workload.label}: two threads reading two files / one thread reading one "
                           f"{r.speedup:.2f}x, wall clock (target >= {THREAD_SPEEDUP_TARGET}x)"))
    for label, per_event in spreads:
        ratio = max(per_event) / min(per_event)
        lines.append(check(ratio <= PROCESS_SPREAD_TOLERANCE,
                           f"fresh processes agree, {label}: {' '.join(f'{t * 1e9:.0f}' for t in per_event)} ns/event, "
                           f"slowest/fastest {ratio:.2f} (target <= {PROCESS_SPREAD_TOLERANCE})"))
    for label, o in open_costs:
        small, big = min(o["small"]), min(o["big"])
        ratio = big / small
        lines.append(check(ratio <= OPEN_COST_TOLERANCE,
                           f"WD2 open cost flat, {label}: {o['small_bytes'] / MIB:.1f} MiB file "
                           f"{small * 1e6:.2f} us (median {statistics.median(o['small']) * 1e6:.2f}), "
                           f"{o['big_bytes'] / MIB:.0f} MiB file {big * 1e6:.2f} us "
                           f"(median {statistics.median(o['big']) * 1e6:.2f}); "
                           f"ratio {ratio:.2f} (target <= {OPEN_COST_TOLERANCE})"))
    return lines


# ---- main -------------------------------------------------------------------

def byte_count(text: str) -> int:
    """`65536`, `512K`, `64M`, `1G` (binary units; an optional "iB" or "B")."""
    value = text.strip().upper().removesuffix("B").removesuffix("I")
    factor = 1
    if value[-1:] in ("K", "M", "G"):
        factor = 1 << (10 * ("KMG".index(value[-1]) + 1))
        value = value[:-1]
    try:
        number = int(float(value) * factor)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"not a byte count: {text!r}") from None
    if number < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1 byte: {text!r}")
    return number


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="tiny files and one repetition: checks that the script runs, measures nothing")
    parser.add_argument("--size-mib", type=float, default=None, help="size of each workload's file (default 256)")
    parser.add_argument("--big-mib", type=float, default=None,
                        help="size of the big file of the memory and open-cost checks (default 1024)")
    parser.add_argument("--repeat", type=int, default=None, help="repetitions per reader (default 5)")
    parser.add_argument("--max-bytes", type=byte_count, default=BATCH_MAX_BYTES,
                        help="max_bytes of the batch path (bytes, or with a K, M or G suffix: KiB, MiB, GiB; "
                             "default 4M, BatchReader's default)")
    parser.add_argument("--max-bytes-sweep", type=sweep_sizes, default=None, metavar="SIZES",
                        help="instead of the usual run: the batch path, pyarrow.table and the Parquet conversion "
                             "at each of these max_bytes (comma-separated; MiB, or with a K, M or G suffix), "
                             "interleaved round by round, e.g. 1,4,8,16,64")
    parser.add_argument("--sources", action="store_true",
                        help="instead of the usual run: BatchReader from bytes, mmap, file objects, a gzip file, "
                             "a pipe and two threads, each against its peer (the path, gzip alone, one thread), "
                             "interleaved round by round")
    parser.add_argument("--selection", action="store_true",
                        help="instead of the usual run: BatchReader reading the header columns only, from the last "
                             "event (start=) and the partitions' pass against the full batch read, and Dask over "
                             "the partitions with two worker processes against one (default --size-mib 1024)")
    parser.add_argument("--markdown", action="store_true", help="print the table as markdown")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                        help="cpu (default): CPU time of the reading thread, user and system, so that other "
                             "load on the machine does not count; wall: elapsed time")
    parser.add_argument("--workloads", default=None,
                        help="comma-separated subset of: " + ",".join(w.key for w in WORKLOADS))
    parser.add_argument("--no-extras", action="store_true",
                        help="skip the fresh-process, thread, memory and open-cost checks")
    parser.add_argument("--dir", default=None, help="folder for the event files (default: a new temporary one)")
    parser.add_argument("--strict", action="store_true", help="exit with status 1 if a target fails")
    args = parser.parse_args(argv)
    full_size = SELECTION_SIZE_MIB if args.selection else 256
    args.size_mib = args.size_mib if args.size_mib is not None else (1 if args.quick else full_size)
    args.big_mib = args.big_mib if args.big_mib is not None else (4 if args.quick else 1024)
    args.repeat = args.repeat if args.repeat is not None else (1 if args.quick else 5)
    if args.repeat < 1:
        parser.error("--repeat must be at least 1")
    modes = [name for name, given in (("--sources", args.sources), ("--max-bytes-sweep", args.max_bytes_sweep),
                                      ("--selection", args.selection)) if given]
    if len(modes) > 1:
        parser.error(f"{', '.join(modes[:-1])} and {modes[-1]} are separate runs: give one")
    if args.workloads:
        known = {w.key: w for w in WORKLOADS}
        wanted = [key.strip() for key in args.workloads.split(",") if key.strip()]
        unknown = [key for key in wanted if key not in known]
        if unknown:
            parser.error(f"unknown workloads: {', '.join(unknown)}")
        args.selected = [known[key] for key in wanted]
    else:
        args.selected = list(WORKLOADS)
    return args


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


def run(args: argparse.Namespace, directory: Path) -> int:
    began = time.perf_counter()
    clock = time.thread_time if args.clock == "cpu" else time.perf_counter
    load_before = os.getloadavg()[0]
    size_bytes = int(args.size_mib * MIB)
    readers = {**READERS, "batch": batch_counter(args.max_bytes), "held": held_counter(args.max_bytes),
               "arrow": arrow_counter(args.max_bytes)}
    if pa is not None:
        warm_pyarrow(directory)
    results = []
    for workload in args.selected:
        progress(f"[bench] {workload.label}: writing {args.size_mib:g} MiB ...")
        path, events = make_file(directory, workload, size_bytes)
        progress(f"[bench] {workload.label}: {events} events, {args.repeat} repetitions ...")
        results.append(measure(workload, path, events, args.repeat, clock, readers))
        path.unlink()  # one workload's file at a time on disk and in the cache

    memory: list[tuple[str, dict]] = []
    open_costs: list[tuple[str, dict]] = []
    spreads: list[tuple[str, list[float]]] = []
    batch_memory: list[tuple[str, dict]] = []
    threads: list[ThreadResult] = []
    parquet: list[ParquetResult] = []
    if not args.no_extras:
        known = {w.key: w for w in WORKLOADS}
        for key in PARQUET_WORKLOADS if pa is not None else ():
            workload = known[key]
            progress(f"[bench] Parquet: {workload.label}, writing {args.size_mib:g} MiB ...")
            path, events = make_file(directory, workload, size_bytes)
            parquet.append(measure_parquet(workload, path, events, args.repeat, clock, args.max_bytes))
            path.unlink()
        for key in THREAD_WORKLOADS:
            workload = known[key]
            progress(f"[bench] threads: {workload.label}, two files of {args.size_mib:g} MiB ...")
            paths = [directory / f"{workload.key}-thread-{i}.bin" for i in range(2)]
            count = max(2, size_bytes // workload.event_bytes)
            for path in paths:
                write_events(path, workload, count)
            threads.append(measure_threads(workload, paths, count, args.repeat, args.max_bytes))
            for path in paths:
                path.unlink()
        for key in PROCESS_WORKLOADS:
            workload = known[key]
            progress(f"[bench] fresh processes: {workload.label} ...")
            path, _ = make_file(directory, workload, int(min(args.size_mib, 64) * MIB))
            plain_reader.read_bandwidth(str(path))
            processes, repeat = (2, 1) if args.quick else (5, 3)
            spreads.append((f"{processes} x {workload.label}",
                            measure_processes(path, workload, processes, repeat, args.clock)))
            path.unlink()
        big_bytes = int(args.big_mib * MIB)
        progress(f"[bench] memory and open cost: writing {args.big_mib:g} MiB ...")
        big, _ = make_file(directory, BIG_WD2, big_bytes)
        small, _ = make_file(directory, BIG_WD2, 0)  # its two first events, 1 MiB
        plain_reader.read_bandwidth(str(big))
        for impl in ("pelvar", "plain"):
            m = measure_memory(big, BIG_WD2, impl)
            memory.append((f"{impl}, {BIG_WD2.label}, {big.stat().st_size / MIB:.0f} MiB", m))
        m = measure_memory(big, BIG_WD2, "batch", args.max_bytes)
        batch_memory.append((f"batch, {BIG_WD2.label}, {big.stat().st_size / MIB:.0f} MiB, "
                             f"max_bytes {size_text(args.max_bytes)}", m))
        batches, per_batch = (3, 50) if args.quick else (15, 1000)
        open_costs.append((f"{BIG_WD2.label}", measure_open_cost(small, big, batches, per_batch, clock)))
        single = Workload("wd2-1x1024", "WD2 1ch x 1024", "WD2", 1024, 1)
        single_small, _ = make_file(directory, single, MIB)
        single_big, _ = make_file(directory, single, big_bytes)
        plain_reader.read_bandwidth(str(single_big))
        open_costs.append((f"{single.label} (single-channel probe)",
                           measure_open_cost(single_small, single_big, batches, per_batch, clock)))
        for path in (big, small, single_small, single_big):
            path.unlink()

    checks = target_checks(results, [m for m in memory if m[0].startswith("pelvar")], open_costs, spreads,
                           batch_memory, threads, args.max_bytes)
    print("\n".join(machine_description()))
    clock_text = "CPU time of the reading thread" if args.clock == "cpu" else "wall-clock time"
    print(f"files: {args.size_mib:g} MiB per workload in the page cache, {args.repeat} repetitions per reader, "
          f"timed by {clock_text}; load average {load_before:.1f} before, {os.getloadavg()[0]:.1f} after")
    default = " (the default)" if args.max_bytes == BATCH_MAX_BYTES else ""
    print(f"batch: pelvar.BatchReader(path, fmt, max_events={BATCH_MAX_EVENTS}, "
          f"max_bytes={args.max_bytes} = {size_text(args.max_bytes)}{default}), each batch dropped")
    print("ratios: pelvar's (event path) and batch's speed over the reader's (medians)"
          + (" -- QUICK RUN: figures are not measurements" if args.quick else ""))
    print()
    print(results_table(results, args.markdown))
    print()
    if _floor_error is not None:
        print(f"info  no floor: {_floor_error}")
    print("pelvar's speed as a multiple of each peer's (medians):")
    print(ratio_table(results, args.markdown))
    print()
    print(f"batch's speed (max_bytes {size_text(args.max_bytes)}) as a multiple of each peer's (medians):")
    print(batch_ratio_table(results, args.markdown))
    print()
    if pa is None:
        print(f"arrow: {NO_PYARROW}")
    else:
        print(f"arrow: pyarrow {pa.__version__}, pyarrow.table(pelvar.BatchReader(path, fmt, max_bytes="
              f"{size_text(args.max_bytes)})), timed like the others by {clock_text}; its speed as a multiple "
              f"of each peer's (medians), the CPU time the process's other threads spent meanwhile "
              f"(median, as a share of the timed median), and the minor page faults of a pass (median [min, max]; "
              f"memory mapped afresh):")
        print(arrow_ratio_table(results, args.markdown))
    print()
    if not args.no_extras:
        if pa is None:
            print(f"info  Parquet: {NO_PYARROW}")
        else:
            print(f"Parquet: MB of event file per second by {clock_text}, {args.repeat} alternating "
                  f"repetitions: streamed = RecordBatchReader.from_stream(BatchReader) -> ParquetWriter."
                  f"write_batch per batch; write_table = pq.write_table of the table read beforehand (untimed)")
            print("\n".join(parquet_lines(parquet)))
        print()
    if threads:
        print(f"threads: BatchReader (max_bytes {size_text(args.max_bytes)}), each thread its own copy of the file, "
              f"wall-clock time, {args.repeat} interleaved repetitions; speedup = aggregate speed of two threads "
              f"over one's (medians):")
        print(thread_table(threads, args.markdown))
        print()
    for label, m in memory:
        if not label.startswith("pelvar"):
            print(f"info  streaming memory, {label}: peak RSS {m['peak'] / MIB:.1f} MiB - idle "
                  f"{m['idle'] / MIB:.1f} MiB = {(m['peak'] - m['idle']) / MIB:.1f} MiB")
    print("targets:")
    for _, line in checks:
        print(line)
    failed = sum(not ok for ok, _ in checks)
    print(f"{len(checks) - failed} of {len(checks)} targets hold; {time.perf_counter() - began:.0f} s")
    return 1 if failed and args.strict else 0


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    runner = (run_sweep if args.max_bytes_sweep else run_sources if args.sources
              else run_selection if args.selection else run)
    if args.dir:
        directory = Path(args.dir)
        directory.mkdir(parents=True, exist_ok=True)
        return runner(args, directory)
    with tempfile.TemporaryDirectory(prefix="pelvar-bench-") as name:
        return runner(args, Path(name))


if __name__ == "__main__":
    sys.exit(main())
