"""Reads one large event file as a Dask DataFrame on a cluster of worker
processes, one partition per run of whole events of about --partition-bytes,
and checks what it computes against one plain read in this process.

    python examples/dask_partitions.py
    python examples/dask_partitions.py /data/run42.wd2 --workers 8 --partition-bytes 128MiB

pelvar.BatchReader.partitions makes one pass over the event headers and
hands back a reader per partition; each is pickled into the task graph and
opens the file only on the worker that reads it. Each partition becomes a
pandas frame of one row per event: the header fields, how many sample values
the event holds ("values") and its highest sample ("peak"); the index is the
event's number in the file, so the divisions are the partitions' first
events and `.loc[k]` reads only the partition that holds event k. Dask's
column projection reaches the reader: a computation that needs only the time
stamps reads only the time stamps, and never copies a sample (each task
reads through reader.with_columns: the partition's events, with the columns
that the task needs).

Computed: a histogram of the intervals between consecutive events' time
stamps (in the file's time stamp counts; a WD1 board writes one event per
channel with the trigger's time stamp, so most of its intervals are 0), the
peak of every event, and event k alone (--event, default the middle one).
"""

from __future__ import annotations

import argparse
import logging
import math
import os
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt

import pelvar
from eventtools import Float64Array, Int64Array, ReaderColumn, ReaderType, byte_size, format_table, reader_type_for

if TYPE_CHECKING:
    import pandas as pd

HERE = Path(__file__).resolve().parent
DEFAULT_FILE = HERE / "data" / "pulses_2ch.wd2"
# The largest partition by default; smaller files are cut so that every worker gets a few.
DEFAULT_PARTITION_BYTES = 256 << 20
PARTITIONS_PER_WORKER = 2
BATCH_BYTES = 16 << 20

# The frame's columns: the format's header fields, with their dtypes, then
# the two figures taken from each event's samples.
HEADER_FIELDS: dict[ReaderType, dict[ReaderColumn, str]] = {
    "WD1": {"event_size": "int32", "board_id": "int32", "pattern": "int32", "board_channel": "int32",
            "event_counter": "int32", "timestamp": "int32"},
    "WD2": {"event_counter": "uint32", "timestamp": "uint64", "samples": "uint32", "sampling_period": "uint64",
            "channels": "int32"},
}
SAMPLE_FIGURES = {"values": "int64", "peak": "float64"}
INDEX_NAME = "event"
# The name of the frame's reading tasks in the Dask graph.
FRAME_LABEL = "read-events"


def frame_columns(reader_type: ReaderType) -> dict[str, str]:
    """The DataFrame's column names and dtypes."""
    return HEADER_FIELDS[reader_type] | SAMPLE_FIGURES


def reader_columns(columns: Sequence[str], reader_type: ReaderType) -> list[ReaderColumn]:
    """The reader's columns that give these DataFrame columns: a header field
    is itself, the sample figures need "data". A frame of no column (Dask
    asks for one to count rows) still needs one column to read: the first
    header field, the cheapest."""
    header = HEADER_FIELDS[reader_type]
    unknown = [name for name in columns if name not in header and name not in SAMPLE_FIGURES]
    if unknown:
        raise ValueError(f"no column {unknown[0]!r} in a {reader_type} frame")
    wanted: list[ReaderColumn] = [name for name in header if name in columns]
    if any(name in SAMPLE_FIGURES for name in columns):
        wanted.append("data")
    return wanted or [next(iter(header))]


def empty_frame(reader_type: ReaderType) -> pd.DataFrame:
    """The frame of no event: Dask's meta."""
    import pandas as pd

    return pd.DataFrame({name: np.empty(0, dtype=dtype) for name, dtype in frame_columns(reader_type).items()},
                        index=pd.Index(np.empty(0, dtype=np.int64), name=INDEX_NAME))


def sample_figures(offsets: Int64Array, data: npt.NDArray[Any]) -> tuple[Int64Array, Float64Array]:
    """Each event's count of sample values and its highest value (NaN for an
    event without samples), from a batch's offsets and flat samples."""
    sizes = np.diff(offsets)
    peaks = np.full(len(sizes), math.nan)
    filled = np.flatnonzero(sizes > 0)
    if filled.size:
        # reduceat reduces from each start to the next one, so only events
        # with samples may be starts; the events lie end to end.
        starts = offsets[:-1][filled]
        peaks[filled] = np.maximum.reduceat(data[starts[0]: offsets[-1]], starts - starts[0])
    return sizes.astype(np.int64), peaks


def read_partition(reader: pelvar.BatchReader, reader_type: ReaderType,
                   columns: list[str] | None = None) -> pd.DataFrame:
    """One partition's frame, read through pyarrow from a reader of the
    partition's events that reads only what the columns that Dask asks for
    need (with_columns: a fresh reader, so that a partition read twice, as
    two computations may, reads its events both times).

    The events are numbered in the whole file, from reader.event_range."""
    import pandas as pd
    import pyarrow as pa

    names = list(frame_columns(reader_type)) if columns is None else list(columns)
    table = pa.table(reader.with_columns(reader_columns(names, reader_type)))
    first = reader.event_range[0]
    values: dict[str, npt.NDArray[Any]] = {}
    for name in names:
        if name in HEADER_FIELDS[reader_type]:
            values[name] = table.column(name).to_numpy()
    if any(name in SAMPLE_FIGURES for name in names):
        sizes, peaks = [], []
        for chunk in table.column("data").chunks:
            size, peak = sample_figures(chunk.offsets.to_numpy(), chunk.values.to_numpy())
            sizes.append(size)
            peaks.append(peak)
        figures = {"values": np.concatenate(sizes) if sizes else np.empty(0, np.int64),
                   "peak": np.concatenate(peaks) if peaks else np.empty(0)}
        values.update((name, figures[name]) for name in names if name in SAMPLE_FIGURES)
    index = pd.Index(first + np.arange(table.num_rows, dtype=np.int64), name=INDEX_NAME)
    return pd.DataFrame({name: values[name] for name in names}, index=index)


def event_divisions(parts: Sequence[pelvar.BatchReader]) -> tuple[int, ...] | None:
    """Dask's divisions: each partition's first event, and the last event of
    the last; None when the last partition's end is not known (it starts at
    an event that the pass could not read past)."""
    stop = parts[-1].event_range[1]
    if stop is None:
        return None
    return (*(part.event_range[0] for part in parts), stop - 1)


def event_frame(path: str, reader_type: ReaderType, partition_bytes: int) -> tuple[Any, list[pelvar.BatchReader]]:
    """The file's Dask DataFrame of one row per event, and the partition readers it reads."""
    import dask.dataframe as dd

    parts = pelvar.BatchReader.partitions(path, reader_type, partition_bytes=partition_bytes, max_bytes=BATCH_BYTES)
    if not parts:
        raise ValueError(f"{path} holds no event")
    # read_partition's `columns` lets Dask pass down the columns a computation needs.
    frame = dd.from_map(  # type: ignore[no-untyped-call]  # unannotated
        read_partition, parts, reader_type=reader_type, meta=empty_frame(reader_type),
        divisions=event_divisions(parts), label=FRAME_LABEL)
    return frame, parts


@dataclass
class Figures:
    """What both ways of reading compute: the histogram of the intervals
    between consecutive time stamps, every event's peak in file order, and
    one event's row."""

    events: int
    edges: Float64Array
    counts: Int64Array
    peaks: Float64Array
    event: int
    row: dict[str, float]


def interval_edges(low: int, high: int, bins: int) -> Float64Array:
    """Bins of one whole width from the lowest interval past the highest."""
    width = max(1, math.ceil((high - low + 1) / bins))
    return (low + width * np.arange(bins + 1)).astype(np.float64)


def dask_figures(frame: Any, reader_type: ReaderType, bins: int, event: int) -> Figures:
    """The figures computed by the cluster of the current Dask client."""
    import dask.array as da
    from dask.base import compute

    # Only the time stamps are read for these (the count of rows too:
    # len(frame) would read every column).
    intervals = frame["timestamp"].astype("int64").diff().dropna()
    low, high, events = compute(intervals.min(), intervals.max(),  # type: ignore[no-untyped-call]  # unannotated
                                frame["timestamp"].size)
    if not 0 <= event < events:
        raise ValueError(f"no event {event}: the file holds {events} events")
    edges = interval_edges(0, 0, bins) if events < 2 else interval_edges(int(low), int(high), bins)
    counts, _ = da.histogram(intervals.to_dask_array(), bins=edges)  # type: ignore[no-untyped-call]  # unannotated
    histogram = counts.compute()
    peaks = frame["peak"].compute()
    if not np.array_equal(peaks.index.to_numpy(), np.arange(len(peaks))):
        raise AssertionError("the frame's index is not the events' numbers in file order")
    row = frame.loc[event].compute()
    return Figures(int(events), edges, np.asarray(histogram, dtype=np.int64), peaks.to_numpy(dtype=np.float64),
                   event, {name: row[name].iloc[0].item() for name in row.columns})


def local_figures(path: str, reader_type: ReaderType, edges: Float64Array, event: int) -> Figures:
    """The same figures from a plain BatchReader over the whole file, and
    event `event` read alone (start=event, stop=event + 1)."""
    stamps: list[Int64Array] = []
    peaks: list[Float64Array] = []
    for batch in pelvar.BatchReader(path, reader_type, max_bytes=BATCH_BYTES):
        stamps.append(batch["timestamp"].astype(np.int64))
        peaks.append(sample_figures(batch["offsets"], batch["data"])[1])
    stamp = np.concatenate(stamps) if stamps else np.empty(0, np.int64)
    counts = np.histogram(np.diff(stamp).astype(np.float64), bins=edges)[0]
    alone = next(iter(pelvar.BatchReader(path, reader_type, start=event, stop=event + 1)))
    size, peak = sample_figures(alone["offsets"], alone["data"])
    columns = cast("dict[str, npt.NDArray[Any]]", alone)
    row: dict[str, float] = {name: columns[name][0].item() for name in HEADER_FIELDS[reader_type]}
    row |= {"values": int(size[0]), "peak": float(peak[0])}
    return Figures(len(stamp), edges, counts.astype(np.int64), np.concatenate(peaks) if peaks else np.empty(0),
                   event, row)


def disagreements(cluster: Figures, local: Figures) -> list[str]:
    """What differs between the two ways of reading (NaN peaks are equal)."""
    found = []
    if cluster.events != local.events:
        found.append(f"events: {cluster.events} on the cluster, {local.events} here")
    if not np.array_equal(cluster.counts, local.counts):
        found.append(f"interval histogram: {cluster.counts.tolist()} on the cluster, {local.counts.tolist()} here")
    if not np.array_equal(cluster.peaks, local.peaks, equal_nan=True):
        found.append("event peaks differ")
    same = all(a == b or (math.isnan(a) and math.isnan(b))
               for a, b in ((cluster.row[name], local.row.get(name, math.nan)) for name in cluster.row))
    if not same or cluster.row.keys() != local.row.keys():
        found.append(f"event {cluster.event}: {cluster.row} on the cluster, {local.row} here")
    return found


def render(path: str, reader_type: ReaderType, parts: Sequence[pelvar.BatchReader], figures: Figures,
           workers: int) -> str:
    """The partitions, the histogram with a bar per bin, the peaks and the chosen event."""
    lines = [f"{path}: {reader_type}, {os.path.getsize(path)} bytes, {figures.events} events, "
             f"{len(parts)} partitions read by {workers} worker processes"]
    for number, part in enumerate(parts):
        begin, end = part.byte_range or (0, 0)
        first, stop = part.event_range
        last = "end" if stop is None else str(stop - 1)
        lines.append(f"  partition {number}: bytes {begin}..{end}, events {first}..{last}")
    lines.append("")
    lines.append("intervals between consecutive time stamps (time stamp counts):")
    widest = max(1, int(figures.counts.max(initial=0)))
    rows = [[f"{figures.edges[i]:.0f} .. {figures.edges[i + 1]:.0f}", str(count), "#" * math.ceil(40 * count / widest)]
            for i, count in enumerate(figures.counts.tolist())]
    lines.append(format_table(["interval", "events", ""], rows))
    known = figures.peaks[~np.isnan(figures.peaks)]
    if known.size:
        lines.append(f"\nhighest sample of each event: mean {known.mean():.6g}, lowest {known.min():.6g}, "
                     f"highest {known.max():.6g} ({figures.peaks.size - known.size} events without samples)")
    cells = ", ".join(f"{name} {value if isinstance(value, int) else f'{value:.6g}'}"
                      for name, value in figures.row.items())
    lines.append(f"event {figures.event} (read from one partition): {cells}")
    return "\n".join(lines)


def default_partition_bytes(path: str, workers: int) -> int:
    """DEFAULT_PARTITION_BYTES, or less so that each worker gets a few partitions."""
    share = math.ceil(os.path.getsize(path) / (workers * PARTITIONS_PER_WORKER))
    return max(1, min(DEFAULT_PARTITION_BYTES, share))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("path", nargs="?", default=str(DEFAULT_FILE),
                        help="an uncompressed .wd1 or .wd2 file (default: the bundled %(default)s)")
    parser.add_argument("--reader-type", choices=["WD1", "WD2"], help="the format (default: from the suffix)")
    parser.add_argument("--workers", type=int, default=min(4, os.cpu_count() or 1),
                        help="worker processes of the local Dask cluster (default: %(default)s)")
    parser.add_argument("--partition-bytes", type=byte_size,
                        help=f"bytes per partition, e.g. 65536 or 64MiB (default: {DEFAULT_PARTITION_BYTES >> 20} "
                             f"MiB, or less so that each worker gets {PARTITIONS_PER_WORKER} partitions)")
    parser.add_argument("--bins", type=int, default=12, help="histogram bins (default: %(default)s)")
    parser.add_argument("--event", type=int, help="the event to show alone (default: the middle one)")
    args = parser.parse_args(argv)
    workers = max(1, args.workers)
    try:
        reader_type = reader_type_for(args.path, args.reader_type)
        partition_bytes = args.partition_bytes or default_partition_bytes(args.path, workers)
        frame, parts = event_frame(args.path, reader_type, partition_bytes)
    except (OSError, ValueError) as error:
        print(f"{args.path}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1

    from dask.distributed import Client, LocalCluster

    # The workers import this module, and eventtools, from this folder.
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))
    # The events before the last partition are known from the pass; the
    # middle one of them is in the file whatever the last partition holds.
    known = parts[-1].event_range[0] if parts[-1].event_range[1] is None else parts[-1].event_range[1]
    event = known // 2 if args.event is None else args.event
    try:
        with (LocalCluster(n_workers=workers, threads_per_worker=1,  # type: ignore[no-untyped-call]  # unannotated
                           processes=True, dashboard_address=None, silence_logs=logging.ERROR) as cluster,
              Client(cluster)):  # type: ignore[no-untyped-call]  # unannotated
            figures = dask_figures(frame, reader_type, args.bins, event)
    except (OSError, ValueError) as error:  # through pyarrow, the reader's failures come as OSError or ArrowInvalid
        print(f"{args.path}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    print(render(args.path, reader_type, parts, figures, workers))
    found = disagreements(figures, local_figures(args.path, reader_type, figures.edges, event))
    if found:
        print("\nDISAGREES with a single-process read:\n  " + "\n  ".join(found), file=sys.stderr)
        return 2
    print(f"\nagrees with a single-process read: the histogram, {figures.peaks.size} peaks and event {event}")
    return 0


if __name__ == "__main__":
    # Run as the module that the workers import, rather than as __main__:
    # the tasks then name its functions instead of carrying copies of them.
    import dask_partitions

    raise SystemExit(dask_partitions.main())
