"""Helpers shared by the examples: format names, channels, per-file summaries.

Everything here streams: a file is read one event at a time and only running
totals are kept, so files of any size can be summarised in bounded memory.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Literal

import numpy as np
import numpy.typing as npt

import pelvar

if TYPE_CHECKING:  # the event types exist for the type checker only
    from pelvar import WD1Event, WD2Event

    Event = WD1Event | WD2Event

ReaderType = Literal["WD1", "WD2"]
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


def reader_type_for(path: str | os.PathLike[str], given: str | None = None) -> ReaderType:
    """The format name: the one given, else the one the file name's suffix says."""
    if given is not None:
        if given not in ("WD1", "WD2"):
            raise ValueError(f"unknown reader type {given!r}, expected 'WD1' or 'WD2'")
        return "WD1" if given == "WD1" else "WD2"
    suffix = Path(path).suffix.lower()
    if suffix not in SUFFIXES:
        raise ValueError(f"cannot tell the format of {os.fspath(path)!r} from its suffix: "
                         "name it .wd1 or .wd2, or give the reader type")
    return SUFFIXES[suffix]


def read_events(path: str | os.PathLike[str], reader_type: str | None = None) -> Iterator[Event]:
    """The events of one file, in file order."""
    return iter(pelvar.EventReader(os.fspath(path), reader_type_for(path, reader_type)))


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


def _count(counts: dict[int, int], value: int) -> None:
    """Counts a value, keeping at most MAX_SIZES_KEPT different ones."""
    if value in counts or len(counts) < MAX_SIZES_KEPT:
        counts[value] = counts.get(value, 0) + 1


def summarize_events(path: str, reader_type: ReaderType, events: Iterable[Event], *,
                     baseline_samples: int = 16) -> FileSummary:
    summary = FileSummary(path, reader_type, os.path.getsize(path))
    for event in events:
        summary.add(event, baseline_samples)
    summary.channels = dict(sorted(summary.channels.items()))
    return summary


def summarize_file(path: str | os.PathLike[str], reader_type: str | None = None, *,
                   baseline_samples: int = 16) -> FileSummary:
    """One streaming pass over a file. Top-level so that worker processes can run it."""
    kind = reader_type_for(path, reader_type)
    return summarize_events(os.fspath(path), kind, read_events(path, kind), baseline_samples=baseline_samples)


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


def display_time_unit(seconds: float) -> tuple[str, float]:
    """A unit to show a time span of `seconds` in, and the seconds per that unit."""
    for name, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return name, scale
    return "ps", 1e-12
