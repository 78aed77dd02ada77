"""Summarises a folder of event files in parallel: with concurrent.futures
worker processes, with a pool of threads in this process, as a Dask bag and
as a Dask DataFrame, and checks that all of them agree.

    python examples/many_files.py examples/data/run
    python examples/many_files.py /data/run42 --workers 8 --engine threads
    python examples/many_files.py /data/run42 --engine dask --progress always
    python examples/many_files.py /data/run42 --engine dask-dataframe --partition-bytes 128MiB

Every .wd1 and .wd2 file under the folder (subfolders included) is read by one
task, in batches (pelvar.BatchReader); a task sends back only its file's small
summary, never the events, so the work spreads over processes (or, with a Dask
cluster, over machines) and memory stays bounded per file. Threads need no
second interpreter and nothing is pickled: BatchReader lets go of the
interpreter lock while it fills a batch, and NumPy does while it reduces one,
so threads reading different files run in parallel. The Dask DataFrame
reads each file, or each part of about --partition-bytes of a larger one
(BatchReader.partitions), through the Arrow stream of its BatchReader
(pyarrow, which takes the batches' columns without copying them) into two
partitions of a few numbers a row, never the samples: one row per event (its
counter) and one per waveform (its channel and amplitude); grouping them by
file and by channel gives the same table. A tqdm progress bar is shown on long runs
(many files or many bytes) or when asked for.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from contextlib import nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

import pelvar
from eventtools import (BATCH_BYTES, COUNTER_MODULUS, ChannelSummary, CounterTrack, FileSummary, Int64Array,
                        RunningStats, batch_baselines_and_amplitudes, batch_waveforms, byte_size, event_files,
                        format_table, number, reader_type_for, summarize_file)

if TYPE_CHECKING:
    from eventtools import Batch

# A run counts as long, and gets a progress bar, from this many files or bytes.
LONG_RUN_FILES = 32
LONG_RUN_BYTES = 256 << 20
# The baseline window of every engine (summarize_file's default).
BASELINE_SAMPLES = 16
# The Dask DataFrame reads a larger file in parts of about this many bytes.
PARTITION_BYTES = 256 << 20


@dataclass(frozen=True)
class Outcome:
    """One file's result: its summary, or the error that stopped its reading."""

    path: str
    summary: FileSummary | None
    error: str | None


def run_one(path: str) -> Outcome:
    """The task of one file. Top-level, so that worker processes can import it."""
    try:
        return Outcome(path, summarize_file(path, baseline_samples=BASELINE_SAMPLES), None)
    except (OSError, ValueError) as error:
        return Outcome(path, None, f"{type(error).__name__}: {error}")
    except BaseException as error:
        # A corrupt header (a WD1 size below 23) raises the module's
        # PanicException, which derives from BaseException.
        if type(error).__name__ != "PanicException":
            raise
        return Outcome(path, None, f"{type(error).__name__}: {error}")


def with_pool(pool: Executor, name: str, paths: Sequence[str], progress: bool) -> list[Outcome]:
    from tqdm import tqdm

    results: dict[str, Outcome] = {}
    with pool:
        futures = [pool.submit(run_one, path) for path in paths]
        with tqdm(total=len(futures), desc=name, unit="file", disable=not progress, file=sys.stderr) as bar:
            for future in as_completed(futures):
                outcome = future.result()
                results[outcome.path] = outcome
                bar.update()
    return [results[path] for path in paths]


def with_futures(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    return with_pool(ProcessPoolExecutor(max_workers=workers), "futures", paths, progress)


def with_threads(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    return with_pool(ThreadPoolExecutor(max_workers=workers), "threads", paths, progress)


def with_dask(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    import dask.bag as db
    from tqdm.dask import TqdmCallback

    partitions = max(1, min(len(paths), workers * 4))
    bag = db.from_sequence(paths, npartitions=partitions).map(run_one)  # type: ignore[no-untyped-call]  # unannotated
    if progress:
        with TqdmCallback(desc="dask", unit="task", file=sys.stderr):
            computed = bag.compute(scheduler="processes", num_workers=workers)
    else:
        computed = bag.compute(scheduler="processes", num_workers=workers)
    return list(computed)


# --- the Dask DataFrame: each file, or each part of a larger one, a partition, read through Arrow

@dataclass(frozen=True)
class FilePart:
    """One task of the DataFrame: part `part` of file number `index`, read
    from `source`: the path of a whole file, or the reader of one of a
    larger file's partitions (pickled into the task: it opens the file on
    the worker that reads it)."""

    index: int
    part: int
    source: str | pelvar.BatchReader


def file_parts(index: int, path: str, partition_bytes: int) -> list[FilePart]:
    """A file's tasks: one for the whole file, or one per partition of a file
    larger than partition_bytes. A file that cannot be split (it cannot be
    opened, say) is one task, which fails as the other engines fail on it."""
    try:
        if os.path.getsize(path) > partition_bytes:
            parts = pelvar.BatchReader.partitions(path, reader_type_for(path), partition_bytes=partition_bytes,
                                                  max_bytes=BATCH_BYTES)
            return [FilePart(index, number, reader) for number, reader in enumerate(parts)]
    except (OSError, ValueError):
        pass
    return [FilePart(index, 0, path)]


def file_frames(task: FilePart) -> tuple[Any, Any, Any]:
    """The partitions of one task: pandas frames of its failure (none, or one
    row), its events and its waveforms.

    pyarrow reads the BatchReader as an Arrow stream; the columns are taken
    from each record batch without a copy, and only what the summary needs
    becomes a row: per event its counter and how many counters are missing
    before it within the part, per waveform its channel and amplitude. A
    file that fails gives its error and no rows, as the other engines report
    it.
    """
    import pyarrow as pa

    counters: list[Int64Array] = []
    missing: list[Int64Array] = []
    channels: list[Int64Array] = []
    amplitudes: list[npt.NDArray[np.float64]] = []
    try:
        source = task.source
        reader = (pelvar.BatchReader(source, reader_type_for(source), max_bytes=BATCH_BYTES)
                  if isinstance(source, str) else source)
        previous: int | None = None
        for record_batch in pa.RecordBatchReader.from_stream(reader):
            samples = record_batch.column("data")
            columns = {name: record_batch.column(name).to_numpy() for name in record_batch.schema.names
                       if name != "data"}
            batch = cast("Batch", columns | {"offsets": samples.offsets.to_numpy(), "data": samples.values.to_numpy()})
            counter = batch["event_counter"].astype(np.int64)
            counters.append(counter)
            missing.append(missing_before(counter, previous))
            previous = int(counter[-1])
            channel, start, length = batch_waveforms(batch)
            channels.append(channel)
            amplitudes.append(batch_baselines_and_amplitudes(batch["data"], start, length, BASELINE_SAMPLES)[1])
    except (OSError, ValueError) as error:  # pyarrow raises OSError or ArrowInvalid with the reader's text
        return frames(task, f"{type(error).__name__}: {error}", [], [], [], [])
    return frames(task, None, counters, missing, channels, amplitudes)


def missing_before(counters: Int64Array, previous: int | None) -> Int64Array:
    """How many counters are missing before each event, as CounterTrack counts
    them: steps modulo 2**32, a step back or by half the range being a jump."""
    first = counters[:1] if previous is None else np.array([previous], dtype=np.int64)
    step = (counters - np.concatenate((first, counters[:-1]))) % COUNTER_MODULUS
    return np.where((step > 1) & (step < COUNTER_MODULUS // 2), step - 1, 0)


def frames(task: FilePart, error: str | None, counters: list[Int64Array], missing: list[Int64Array],
           channels: list[Int64Array], amplitudes: list[npt.NDArray[np.float64]]) -> tuple[Any, Any, Any]:
    import pyarrow as pa

    def joined(parts: Sequence[npt.NDArray[Any]], dtype: type[np.generic]) -> npt.NDArray[Any]:
        return np.concatenate(parts) if parts else np.empty(0, dtype=dtype)

    events, waveforms = joined(counters, np.int64), joined(channels, np.int64)
    failure = pa.table({"file": pa.array([task.index] if error else [], pa.int64()),
                        "error": pa.array([error] if error else [], pa.string())})
    return (failure.to_pandas(),
            pa.table({"file": np.full(len(events), task.index, dtype=np.int64),
                      "part": np.full(len(events), task.part, dtype=np.int64), "event_counter": events,
                      "missing": joined(missing, np.int64)}).to_pandas(),
            pa.table({"file": np.full(len(waveforms), task.index, dtype=np.int64), "channel": waveforms,
                      "amplitude": joined(amplitudes, np.float64)}).to_pandas())


def joined_counters(parts: Any) -> CounterTrack:
    """A file's counters from those of its parts (rows in part order: first,
    last, missing): the counters missing across each border between parts
    are counted as within a part."""
    firsts, lasts = parts["first"].to_numpy(np.int64), parts["last"].to_numpy(np.int64)
    borders = sum(int(missing_before(firsts[j: j + 1], int(lasts[j - 1]))[0]) for j in range(1, len(firsts)))
    return CounterTrack(first=int(firsts[0]), last=int(lasts[-1]), missing=int(parts["missing"].sum()) + borders)


def with_dask_dataframe(paths: Sequence[str], workers: int, progress: bool,
                        partition_bytes: int = PARTITION_BYTES) -> list[Outcome]:
    import dask.dataframe as dd
    from dask.base import compute
    from dask.delayed import delayed
    from tqdm.dask import TqdmCallback

    read = delayed(file_frames, nout=3)
    tasks = [read(task) for index, path in enumerate(paths) for task in file_parts(index, path, partition_bytes)]
    failures, events, waveforms = (dd.from_delayed([task[i] for task in tasks], meta=meta)
                                   for i, meta in enumerate(frames(FilePart(0, 0, ""), None, [], [], [], [])))
    per_part = events.groupby(["file", "part"]).agg(events=("event_counter", "count"),
                                                    first=("event_counter", "first"),
                                                    last=("event_counter", "last"), missing=("missing", "sum"))
    per_channel = waveforms.groupby(["file", "channel"])["amplitude"].mean()
    # One computation, so that every file is read once for the three frames.
    with TqdmCallback(desc="dask-dataframe", unit="task", file=sys.stderr) if progress else nullcontext():
        failed, parts, means = compute(failures, per_part, per_channel,  # type: ignore[no-untyped-call]  # unannotated
                                       scheduler="processes", num_workers=workers)
    errors: dict[int, str] = {}
    for file, error in zip(failed["file"].tolist(), failed["error"].tolist()):
        errors.setdefault(int(file), str(error))  # a split file fails in its last part only
    parts = parts.sort_index()
    read_files = set(parts.index.get_level_values("file").tolist())
    channels: dict[int, dict[int, float]] = {}
    for (file, channel), mean in means.items():
        # A channel of empty waveforms only has no amplitude: RunningStats then says 0.
        channels.setdefault(int(file), {})[int(channel)] = 0.0 if math.isnan(mean) else float(mean)
    outcomes = []
    for index, path in enumerate(paths):
        if index in errors:
            outcomes.append(Outcome(path, None, errors[index]))
            continue
        # The figures the table shows; the other fields keep their defaults.
        summary = FileSummary(path, reader_type_for(path), os.path.getsize(path))
        if index in read_files:
            mine = parts.xs(index, level="file")
            summary.events = int(mine["events"].sum())
            summary.counters = joined_counters(mine)
        summary.channels = {channel: ChannelSummary(amplitude=RunningStats(mean=mean))
                            for channel, mean in sorted(channels.get(index, {}).items())}
        outcomes.append(Outcome(path, summary, None))
    return outcomes


ENGINES: dict[str, Callable[[Sequence[str], int, bool], list[Outcome]]] = {
    "futures": with_futures,
    "threads": with_threads,
    "dask": with_dask,
    "dask-dataframe": with_dask_dataframe,
}
# --engine names more than one engine: "both" as it was before threads came, "all".
ENGINE_GROUPS = {"both": ["futures", "dask"], "all": list(ENGINES)}


def key_figures(outcome: Outcome) -> tuple[tuple[object, ...], list[float]]:
    """What the engines must agree on, file by file: figures that must be
    equal, and the mean amplitudes, which differ in their last bits between
    running means and the DataFrame's sums."""
    s = outcome.summary
    if s is None:
        # The failure's text, not its class: through pyarrow the module's
        # PanicException or OSError reaches the DataFrame path as ArrowInvalid.
        text = (outcome.error or "").partition(": ")[2]
        return (outcome.path, text), []
    exact = (outcome.path, s.events, s.counters.first, s.counters.last, s.counters.missing, tuple(s.channels))
    return exact, [ch.amplitude.mean for ch in s.channels.values()]


def agree(one: Sequence[Outcome], other: Sequence[Outcome]) -> bool:
    for a, b in zip(one, other, strict=True):
        (exact_a, means_a), (exact_b, means_b) = key_figures(a), key_figures(b)
        if exact_a != exact_b or not all(math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-9)
                                         or (math.isnan(x) and math.isnan(y)) for x, y in zip(means_a, means_b)):
            return False
    return True


def render(outcomes: Sequence[Outcome], root: Path) -> str:
    rows = []
    for o in outcomes:
        name = os.path.relpath(o.path, root)
        s = o.summary
        if s is None:
            rows.append([name, "-", "-", "-", "-", "-", "-", o.error or ""])
            continue
        counters = "-" if s.counters.first is None else f"{s.counters.first}..{s.counters.last}"
        amplitude = " ".join(f"{number(ch.amplitude.mean)}" for ch in s.channels.values())
        rows.append([name, s.reader_type, str(s.file_bytes), str(s.events), counters, str(s.counters.missing),
                     amplitude, ""])
    done = [o.summary for o in outcomes if o.summary is not None]
    rows.append(["total", "", str(sum(s.file_bytes for s in done)), str(sum(s.events for s in done)), "",
                 str(sum(s.counters.missing for s in done)), "", f"{len(outcomes) - len(done)} failed"])
    return format_table(["file", "format", "bytes", "events", "counters", "missing", "mean amplitude per channel",
                         "error"], rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path, nargs="?", default=Path(__file__).resolve().parent / "data" / "run",
                        help="folder of .wd1/.wd2 files (default: the bundled examples/data/run)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes, or threads for --engine threads (default: %(default)s)")
    parser.add_argument("--engine", choices=[*ENGINES, *ENGINE_GROUPS], default="all",
                        help="futures (processes), threads, dask (a bag), dask-dataframe, both (futures and "
                             "dask) or all (default: %(default)s)")
    parser.add_argument("--partition-bytes", type=byte_size, default=PARTITION_BYTES,
                        help="--engine dask-dataframe: files larger than this are read in parts of about this "
                             f"size, e.g. 64MiB (default: {PARTITION_BYTES >> 20}MiB)")
    parser.add_argument("--progress", choices=["auto", "always", "never"], default="auto",
                        help=f"progress bar: always, never, or from {LONG_RUN_FILES} files or "
                             f"{LONG_RUN_BYTES >> 20} MiB on (default: %(default)s)")
    args = parser.parse_args(argv)
    paths = [str(p) for p in event_files(args.folder)]
    if not paths:
        print(f"no .wd1 or .wd2 files under {args.folder}", file=sys.stderr)
        return 1
    total_bytes = sum(os.path.getsize(p) for p in paths)
    long_run = len(paths) >= LONG_RUN_FILES or total_bytes >= LONG_RUN_BYTES
    progress = args.progress == "always" or (args.progress == "auto" and long_run)
    engines = ENGINE_GROUPS.get(args.engine, [args.engine])
    results: dict[str, list[Outcome]] = {}
    for engine in engines:
        start = time.perf_counter()
        if engine == "dask-dataframe":
            results[engine] = with_dask_dataframe(paths, max(1, args.workers), progress, args.partition_bytes)
        else:
            results[engine] = ENGINES[engine](paths, max(1, args.workers), progress)
        seconds = time.perf_counter() - start
        print(f"{engine}: {len(paths)} files, {total_bytes / 1e6:.3g} MB in {seconds:.2f} s "
              f"with {args.workers} workers")
    first = results[engines[0]]
    print()
    print(render(first, args.folder))
    status = 0
    if len(engines) > 1:
        names = ", ".join(engines[:-1]) + " and " + engines[-1]
        if all(agree(results[engines[0]], results[engine]) for engine in engines[1:]):
            print(f"\n{names} agree on every file")
        else:
            print(f"\n{names} DISAGREE", file=sys.stderr)
            status = 2
    if any(o.summary is None for o in first):
        status = status or 1
    return status


if __name__ == "__main__":
    raise SystemExit(main())
