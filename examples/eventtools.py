"""Helpers shared by the examples: format names, channels, per-file summaries.

Everything here streams: a file is read one batch of events at a time (or one
event at a time) and only running totals are kept, so files of any size can
be summarised in bounded memory. A summary works on whole batches with NumPy,
over the batch's columns and its offsets, and gives the same figures as going
event by event.
"""

from __future__ import annotations

import math
import os
import re
import sys
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any, BinaryIO, Literal

import numpy as np
import numpy.typing as npt

import pelvar

if TYPE_CHECKING:  # the event and batch types exist for the type checker only
    from pelvar import WD1Batch, WD1Event, WD2Batch, WD2Event

    Event = WD1Event | WD2Event
    Batch = WD1Batch | WD2Batch

ReaderType = Literal["WD1", "WD2"]
# What BatchReader's `columns` may name: both formats' header fields, where
# each event starts, and the samples.
ReaderColumn = Literal["event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp",
                       "samples", "sampling_period", "channels", "byte_offset", "data"]
SUFFIXES: dict[str, ReaderType] = {".wd1": "WD1", ".wd2": "WD2"}

# What one count of a WD2 file's sampling_period stands for. The file does not
# say; the examples take picoseconds unless told otherwise.
PERIOD_UNITS: dict[str, float] = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9, "ps": 1e-12, "fs": 1e-15}
DEFAULT_PERIOD_UNIT = "ps"

# Counters are compared modulo 2**32 in both formats (a WD1 counter is a
# signed 32-bit word, a WD2 counter an unsigned one).
COUNTER_MODULUS = 1 << 32
MAX_GAPS_KEPT = 20
MAX_SIZES_KEPT = 64

# Batches of a few MiB rather than the reader's 64 MiB: a batch and what is
# computed from it then stay in the processor's cache, and the batch's memory
# blocks are reused by the next one.
BATCH_BYTES = 4 << 20
# Baseline windows are gathered this many samples at a time.
GATHER_SAMPLES = 1 << 20

Int64Array = npt.NDArray[np.int64]
Float64Array = npt.NDArray[np.float64]


# Names ending in these are read decompressed (BatchReader's compression="infer").
COMPRESSED_SUFFIXES = (".gz", ".bz2", ".xz", ".zst")

# The name that stands for standard input.
STDIN = "-"


def reader_type_for(path: str | os.PathLike[str], given: str | None = None) -> ReaderType:
    """The format name: the one given, else the one the file name's suffix says
    (before a compression suffix: run.wd1.gz is WD1)."""
    if given is not None:
        if given not in ("WD1", "WD2"):
            raise ValueError(f"unknown reader type {given!r}, expected 'WD1' or 'WD2'")
        return "WD1" if given == "WD1" else "WD2"
    if os.fspath(path) == STDIN:
        raise ValueError("standard input has no name to tell its format by: give the reader type")
    name = Path(path)
    if name.suffix.lower() in COMPRESSED_SUFFIXES:
        name = name.with_suffix("")
    suffix = name.suffix.lower()
    if suffix not in SUFFIXES:
        raise ValueError(f"cannot tell the format of {os.fspath(path)!r} from its suffix: "
                         "name it .wd1 or .wd2, or give the reader type")
    return SUFFIXES[suffix]


def read_events(path: str | os.PathLike[str], reader_type: str | None = None) -> Iterator[Event]:
    """The events of one file, in file order."""
    return iter(pelvar.EventReader(os.fspath(path), reader_type_for(path, reader_type)))


def read_batches(path: str | os.PathLike[str], reader_type: str | None = None, *,
                 max_bytes: int = BATCH_BYTES) -> Iterator[Batch]:
    """The events of one file as batches of columns, in file order; "-" reads
    standard input, and a compressed file's name says its codec."""
    return iter(pelvar.BatchReader(batch_source(path), reader_type_for(path, reader_type), max_bytes=max_bytes))


def batch_source(path: str | os.PathLike[str]) -> str | BinaryIO:
    """What a BatchReader reads for this name: the file, or standard input for "-"."""
    return sys.stdin.buffer if os.fspath(path) == STDIN else os.fspath(path)


def size_on_disk(path: str | os.PathLike[str]) -> int:
    """The file's size in bytes (compressed, if it is); 0 for standard input."""
    return 0 if os.fspath(path) == STDIN else os.path.getsize(path)


def channel_waveforms(event: Event) -> list[tuple[int, npt.NDArray[np.float64]]]:
    """(channel, samples) pairs of one event, samples as float64.

    A WD1 event is one channel, named by its board_channel word. A WD2 event
    holds all channels in one flat block, one channel after the other; it is
    cut into rows of "samples" values, so a block whose length is not a
    multiple of "samples" (a damaged file) gives only its whole rows.
    """
    if "board_channel" in event:
        return [(event["board_channel"], event["data"].astype(np.float64))]
    per_channel = event["samples"]
    data = event["data"]
    if per_channel == 0:
        return []
    rows = len(data) // per_channel
    block = data[: rows * per_channel].reshape(rows, per_channel).astype(np.float64)
    return [(index, block[index]) for index in range(rows)]


def baseline_and_amplitude(samples: npt.NDArray[np.float64], baseline_samples: int) -> tuple[float, float]:
    """The mean of the first samples, and the signed largest excursion from it.

    The amplitude is negative for a pulse that goes down. Both are NaN for an
    empty waveform.
    """
    if samples.size == 0:
        return math.nan, math.nan
    baseline = float(samples[: max(1, baseline_samples)].mean())
    excursion = samples - baseline
    peak = int(np.argmax(np.abs(excursion)))
    return baseline, float(excursion[peak])


def batch_waveforms(batch: Batch) -> tuple[Int64Array, Int64Array, Int64Array]:
    """(channel, start, length) of every waveform of a batch, in file order.

    The batch's counterpart of channel_waveforms: a WD1 event is one waveform
    of its board_channel; a WD2 block is cut into whole rows of "samples"
    values, row r being channel r.
    """
    offsets = batch["offsets"]
    sizes = np.diff(offsets)
    if "board_channel" in batch:
        return batch["board_channel"].astype(np.int64), offsets[:-1], sizes
    per_channel = batch["samples"].astype(np.int64)
    rows = np.where(per_channel > 0, sizes // np.maximum(per_channel, 1), 0)
    event = np.repeat(np.arange(len(rows)), rows)
    row = np.arange(len(event), dtype=np.int64) - np.repeat(np.cumsum(rows) - rows, rows)
    length = per_channel[event]
    return row, offsets[:-1][event] + row * length, length


def batch_baselines_and_amplitudes(data: npt.NDArray[np.uint16] | npt.NDArray[np.float32], start: Int64Array,
                                   length: Int64Array, baseline_samples: int) -> tuple[Float64Array, Float64Array]:
    """baseline_and_amplitude of many waveforms of one flat sample array.

    The waveforms are a batch's, from batch_waveforms. The largest excursion
    from the baseline is at the waveform's highest or lowest sample, so two
    segmented reductions find it; a waveform where both are equally far, or
    where anything is not finite, is done alone, as baseline_and_amplitude
    does, so that ties and NaN come out the same.
    """
    baselines = np.full(len(start), math.nan)
    amplitudes = np.full(len(start), math.nan)
    which = np.flatnonzero(length > 0)  # empty waveforms keep NaN, as in baseline_and_amplitude
    if which.size == 0:
        return baselines, amplitudes
    first, size = start[which], length[which]
    window = max(1, baseline_samples)
    used = np.minimum(size, window)
    baseline = np.empty(len(first))
    steps = np.arange(window)
    rows = max(1, GATHER_SAMPLES // window)
    for at in range(0, len(first), rows):
        part = slice(at, at + rows)
        taken = steps < used[part, None]
        index = first[part, None] + np.where(taken, steps, 0)
        values = np.where(taken, data[index].astype(np.float64), 0.0)
        baseline[part] = values.sum(axis=1) / used[part]
    # The waveforms that are not empty lie end to end (a batch's data is its
    # events' samples, and a WD2 block is exactly channels x samples values),
    # so a reduction from each start to the next is one over each waveform.
    body = data[int(first[0]): int(first[-1] + size[-1])]
    highest = np.maximum.reduceat(body, first - first[0]).astype(np.float64)
    lowest = np.minimum.reduceat(body, first - first[0]).astype(np.float64)
    up, down = highest - baseline, lowest - baseline
    amplitude = np.where(np.abs(up) > np.abs(down), up, down)
    alone = ~(np.isfinite(up) & np.isfinite(down)) | ((np.abs(up) == np.abs(down)) & (highest != lowest))
    for j in np.flatnonzero(alone):
        begin = int(first[j])
        baseline[j], amplitude[j] = baseline_and_amplitude(
            data[begin: begin + int(size[j])].astype(np.float64), baseline_samples)
    baselines[which] = baseline
    amplitudes[which] = amplitude
    return baselines, amplitudes


@dataclass
class RunningStats:
    """Count, mean, standard deviation, minimum and maximum of a stream of values."""

    count: int = 0
    mean: float = 0.0
    m2: float = 0.0
    minimum: float = math.inf
    maximum: float = -math.inf

    def add(self, value: float) -> None:
        if math.isnan(value):
            return
        self.count += 1
        delta = value - self.mean
        self.mean += delta / self.count
        self.m2 += delta * (value - self.mean)
        self.minimum = min(self.minimum, value)
        self.maximum = max(self.maximum, value)

    def add_many(self, values: Float64Array) -> None:
        """Adds many values at once, as `add` does one by one (up to rounding)."""
        values = values[~np.isnan(values)]
        if values.size == 0:
            return
        if not np.isfinite(values).all():  # infinities: one by one, so that NaN arises where `add` gets it
            for value in values.tolist():
                self.add(value)
            return
        count = int(values.size)
        mean = float(values.mean())
        m2 = float(np.square(values - mean).sum())
        total = self.count + count
        delta = mean - self.mean
        self.mean += delta * count / total
        self.m2 += m2 + delta * delta * self.count * count / total
        self.count = total
        self.minimum = min(self.minimum, float(values.min()))
        self.maximum = max(self.maximum, float(values.max()))

    @property
    def std(self) -> float:
        return math.sqrt(self.m2 / (self.count - 1)) if self.count > 1 else 0.0


@dataclass
class ChannelSummary:
    events: int = 0
    baseline: RunningStats = field(default_factory=RunningStats)
    amplitude: RunningStats = field(default_factory=RunningStats)


@dataclass
class Gap:
    """A jump in the counter sequence: `missing` counters between two events."""

    after: int
    next: int
    missing: int


@dataclass
class CounterTrack:
    """Follows the counters in file order and notes every gap.

    Equal counters one after another are one trigger (a WD1 board writes one
    event per channel with the trigger's counter). A step back, or forward by
    more than half the counter range, is counted as a jump, not as a gap.
    """

    first: int | None = None
    last: int | None = None
    distinct: int = 0
    gap_count: int = 0
    missing: int = 0
    jumps: int = 0
    gaps: list[Gap] = field(default_factory=list)
    minimum: int | None = None
    maximum: int | None = None

    def add(self, counter: int) -> None:
        self.minimum = counter if self.minimum is None else min(self.minimum, counter)
        self.maximum = counter if self.maximum is None else max(self.maximum, counter)
        if self.last is None:
            self.first = self.last = counter
            self.distinct = 1
            return
        step = (counter - self.last) % COUNTER_MODULUS
        if step == 0:
            return
        self.distinct += 1
        if step == 1:
            pass
        elif step < COUNTER_MODULUS // 2:
            self.gap_count += 1
            self.missing += step - 1
            if len(self.gaps) < MAX_GAPS_KEPT:
                self.gaps.append(Gap(self.last, counter, step - 1))
        else:
            self.jumps += 1
        self.last = counter

    def add_many(self, counters: Int64Array) -> None:
        """Adds counters in file order, as `add` does one by one."""
        if counters.size == 0:
            return
        lowest, highest = int(counters.min()), int(counters.max())
        self.minimum = lowest if self.minimum is None else min(self.minimum, lowest)
        self.maximum = highest if self.maximum is None else max(self.maximum, highest)
        if self.last is None:
            self.first = int(counters[0])
            self.distinct = 1
            previous = counters[:-1]
            following = counters[1:]
        else:
            previous = np.concatenate((np.array([self.last], dtype=np.int64), counters[:-1]))
            following = counters
        step = (following - previous) % COUNTER_MODULUS
        self.distinct += int(np.count_nonzero(step))
        self.jumps += int(np.count_nonzero(step >= COUNTER_MODULUS // 2))
        gaps = np.flatnonzero((step > 1) & (step < COUNTER_MODULUS // 2))
        self.gap_count += len(gaps)
        self.missing += int((step[gaps] - 1).sum())
        for i in gaps[: max(0, MAX_GAPS_KEPT - len(self.gaps))]:
            self.gaps.append(Gap(int(previous[i]), int(following[i]), int(step[i]) - 1))
        self.last = int(counters[-1])


@dataclass
class FileSummary:
    """What one pass over a file tells."""

    path: str
    reader_type: ReaderType
    file_bytes: int
    events: int = 0
    counters: CounterTrack = field(default_factory=CounterTrack)
    timestamp_min: int | None = None
    timestamp_max: int | None = None
    sample_counts: dict[int, int] = field(default_factory=dict)  # samples per event -> events
    other_sample_counts: int = 0  # events whose size did not fit in sample_counts
    sampling_periods: dict[int, int] = field(default_factory=dict)  # WD2: period -> events
    channel_fields: dict[int, int] = field(default_factory=dict)  # WD2: "channels" -> events
    channels: dict[int, ChannelSummary] = field(default_factory=dict)

    def add(self, event: Event, baseline_samples: int) -> None:
        self.events += 1
        self.counters.add(event["event_counter"])
        stamp = event["timestamp"]
        self.timestamp_min = stamp if self.timestamp_min is None else min(self.timestamp_min, stamp)
        self.timestamp_max = stamp if self.timestamp_max is None else max(self.timestamp_max, stamp)
        if "samples" in event:
            per_event = event["samples"]
            _count(self.sampling_periods, event["sampling_period"])
            _count(self.channel_fields, event["channels"])
        else:
            per_event = len(event["data"])
        if per_event in self.sample_counts or len(self.sample_counts) < MAX_SIZES_KEPT:
            self.sample_counts[per_event] = self.sample_counts.get(per_event, 0) + 1
        else:
            self.other_sample_counts += 1
        for channel, samples in channel_waveforms(event):
            summary = self.channels.setdefault(channel, ChannelSummary())
            summary.events += 1
            baseline, amplitude = baseline_and_amplitude(samples, baseline_samples)
            summary.baseline.add(baseline)
            summary.amplitude.add(amplitude)

    def add_batch(self, batch: Batch, baseline_samples: int) -> None:
        """Adds a batch's events, with the same result as `add` on each of them."""
        events = len(batch["offsets"]) - 1
        if events == 0:
            return
        self.events += events
        self.counters.add_many(batch["event_counter"].astype(np.int64))
        stamps = batch["timestamp"]
        low, high = int(stamps.min()), int(stamps.max())
        self.timestamp_min = low if self.timestamp_min is None else min(self.timestamp_min, low)
        self.timestamp_max = high if self.timestamp_max is None else max(self.timestamp_max, high)
        if "samples" in batch:
            per_event = batch["samples"].astype(np.int64)
            _count_many(self.sampling_periods, batch["sampling_period"])
            _count_many(self.channel_fields, batch["channels"])
        else:
            per_event = np.diff(batch["offsets"])
        self.other_sample_counts += _count_many(self.sample_counts, per_event)
        channel, start, length = batch_waveforms(batch)
        baseline, amplitude = batch_baselines_and_amplitudes(batch["data"], start, length, baseline_samples)
        # The waveforms grouped by channel, each group in file order.
        order = np.argsort(channel, kind="stable")
        names, first_seen, counts = np.unique(channel[order], return_index=True, return_counts=True)
        for name, at, count in zip(names.tolist(), first_seen.tolist(), counts.tolist()):
            mine = order[at: at + count]
            summary = self.channels.setdefault(name, ChannelSummary())
            summary.events += count
            summary.baseline.add_many(baseline[mine])
            summary.amplitude.add_many(amplitude[mine])


def _count(counts: dict[int, int], value: int) -> None:
    """Counts a value, keeping at most MAX_SIZES_KEPT different ones."""
    if value in counts or len(counts) < MAX_SIZES_KEPT:
        counts[value] = counts.get(value, 0) + 1


def _count_many(counts: dict[int, int], values: npt.NDArray[np.integer[Any]]) -> int:
    """Counts values in file order as _count does; returns how many found no room."""
    names, first_seen, tallies = np.unique(values, return_index=True, return_counts=True)
    refused = 0
    for position in np.argsort(first_seen, kind="stable"):
        value, tally = int(names[position]), int(tallies[position])
        if value in counts or len(counts) < MAX_SIZES_KEPT:
            counts[value] = counts.get(value, 0) + tally
        else:
            refused += tally
    return refused


def summarize_events(path: str, reader_type: ReaderType, events: Iterable[Event], *,
                     baseline_samples: int = 16) -> FileSummary:
    summary = FileSummary(path, reader_type, size_on_disk(path))
    for event in events:
        summary.add(event, baseline_samples)
    summary.channels = dict(sorted(summary.channels.items()))
    return summary


def summarize_batches(path: str, reader_type: ReaderType, batches: Iterable[Batch], *,
                      baseline_samples: int = 16) -> FileSummary:
    summary = FileSummary(path, reader_type, size_on_disk(path))
    for batch in batches:
        summary.add_batch(batch, baseline_samples)
    summary.channels = dict(sorted(summary.channels.items()))
    return summary


def summarize_file(path: str | os.PathLike[str], reader_type: str | None = None, *,
                   baseline_samples: int = 16, per_event: bool = False) -> FileSummary:
    """One streaming pass over a file, in batches (or one event at a time:
    slower, the same figures). Top-level so that worker processes can run it."""
    kind = reader_type_for(path, reader_type)
    if per_event:
        return summarize_events(os.fspath(path), kind, read_events(path, kind), baseline_samples=baseline_samples)
    return summarize_batches(os.fspath(path), kind, read_batches(path, kind), baseline_samples=baseline_samples)


def event_files(folder: str | os.PathLike[str]) -> list[Path]:
    """The .wd1 and .wd2 files under a folder, sorted, subfolders included."""
    root = Path(folder)
    return sorted(p for p in root.rglob("*") if p.is_file() and p.suffix.lower() in SUFFIXES)


def format_table(header: list[str], rows: list[list[str]]) -> str:
    """A plain text table: first column left-aligned, the others right-aligned."""
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]

    def line(cells: list[str]) -> str:
        return "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                         for i, (cell, w) in enumerate(zip(cells, widths))).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(header), rule, *(line(row) for row in rows)])


def number(value: float, digits: int = 4) -> str:
    """A float with `digits` significant digits, or "-" for a missing value."""
    if math.isnan(value) or math.isinf(value):
        return "-"
    return f"{value:.{digits}g}"


def seconds_per_count(unit: str) -> float:
    if unit not in PERIOD_UNITS:
        raise ValueError(f"unknown time unit {unit!r}, expected one of {', '.join(PERIOD_UNITS)}")
    return PERIOD_UNITS[unit]


# The byte units that byte_size takes, by their lower-case names.
BYTE_UNITS = {"": 1, "b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
              "kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "tib": 1 << 40}


def byte_size(text: str) -> int:
    """A count of bytes, written as a whole number with an optional unit:
    4096, 64KiB, 256MiB, 2GB (KiB = 1024 bytes, kB = 1000)."""
    match = re.fullmatch(r"\s*(\d+)\s*([a-z]*)\s*", text.lower())
    if match is None or match[2] not in BYTE_UNITS:
        raise ValueError(f"not a size in bytes: {text!r} (e.g. 4096, 64KiB, 256MiB)")
    size = int(match[1]) * BYTE_UNITS[match[2]]
    if size < 1:
        raise ValueError(f"a size of at least 1 byte, not {text!r}")
    return size


def display_time_unit(seconds: float) -> tuple[str, float]:
    """A unit to show a time span of `seconds` in, and the seconds per that unit."""
    for name, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return name, scale
    return "ps", 1e-12
