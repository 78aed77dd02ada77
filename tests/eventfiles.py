"""Writers of WD1 and WD2 event files for the tests, written from the file
layouts alone (independent of the module's code)."""

from __future__ import annotations

import os
import struct
import subprocess
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, Sequence

import numpy as np

WD1_HEADER = struct.Struct("<6i")
WD2_HEADER = struct.Struct("<IQIQ")
WD2_CHANNELS = struct.Struct("<i")


@dataclass
class WD1Event:
    samples: Sequence[int] | np.ndarray = ()
    board_id: int = 1
    pattern: int = 0
    board_channel: int = 0
    event_counter: int = 0
    timestamp: int = 0
    event_size: int | None = None  # None: 24 + 2 * len(samples)

    def to_bytes(self) -> bytes:
        data = np.asarray(self.samples, dtype="<u2").tobytes()
        size = 24 + len(data) if self.event_size is None else self.event_size
        return WD1_HEADER.pack(size, self.board_id, self.pattern, self.board_channel,
                               self.event_counter, self.timestamp) + data

    def expected(self) -> dict:
        """The dictionary the module yields for this event."""
        size = 24 + 2 * len(self.samples) if self.event_size is None else self.event_size
        return {
            "event_size": size,
            "board_id": self.board_id,
            "pattern": self.pattern,
            "board_channel": self.board_channel,
            "event_counter": self.event_counter,
            "timestamp": self.timestamp,
            "data": np.asarray(self.samples, dtype=np.uint16),
        }


@dataclass
class WD2Event:
    values: Sequence[float] | np.ndarray = ()  # flat: channels x samples, file order
    event_counter: int = 0
    timestamp: int = 0
    samples: int | None = None  # None: len(values) // max(channels, 1)
    sampling_period: int = 1
    channels: int = 1
    with_channel_field: bool = True
    raw_values: bytes | None = field(default=None, repr=False)  # exact sample bytes, if given

    def sample_bytes(self) -> bytes:
        if self.raw_values is not None:
            return self.raw_values
        return np.asarray(self.values, dtype="<f4").tobytes()

    def samples_field(self) -> int:
        if self.samples is not None:
            return self.samples
        return len(self.sample_bytes()) // 4 // max(self.channels, 1)

    def expected(self) -> dict:
        """The dictionary the module yields for this event in a file of its own layout."""
        return {
            "event_counter": self.event_counter,
            "timestamp": self.timestamp,
            "samples": self.samples_field(),
            "sampling_period": self.sampling_period,
            "channels": self.channels if self.with_channel_field else 1,
            "data": np.frombuffer(self.sample_bytes(), dtype="<f4").astype(np.float32),
        }

    def to_bytes(self) -> bytes:
        head = WD2_HEADER.pack(self.event_counter, self.timestamp, self.samples_field(), self.sampling_period)
        if self.with_channel_field:
            head += WD2_CHANNELS.pack(self.channels)
        return head + self.sample_bytes()


def same_events(got: Sequence[dict], expected: Sequence[dict]) -> bool:
    """Equal dictionaries: the same keys in the same order, the same ints, and
    "data" of the same dtype and shape, bit for bit."""
    if len(got) != len(expected):
        return False
    for read, want in zip(got, expected):
        if list(read) != list(want):
            return False
        for key, value in want.items():
            if key == "data":
                data = read[key]
                if (data.dtype != value.dtype or data.shape != value.shape
                        or data.tobytes() != np.ascontiguousarray(value).tobytes()):
                    return False
            elif type(read[key]) is not int or read[key] != value:
                return False
    return True


def wd1_bytes(events: Iterable[WD1Event]) -> bytes:
    return b"".join(e.to_bytes() for e in events)


def wd2_bytes(events: Iterable[WD2Event]) -> bytes:
    return b"".join(e.to_bytes() for e in events)


def write(path: Path, payload: bytes) -> Path:
    path.write_bytes(payload)
    return path


def wd2_series(count: int, channels: int, samples: int, *, first_counter: int = 0, period: int = 10,
               seed: int = 0) -> list[WD2Event]:
    """Consecutive events as an acquisition writes them."""
    rng = np.random.default_rng(seed)
    multi = channels >= 2
    return [
        WD2Event(values=rng.standard_normal(channels * samples).astype(np.float32),
                 event_counter=(first_counter + i) & 0xFFFFFFFF, timestamp=1000 * i, samples=samples,
                 sampling_period=period, channels=channels, with_channel_field=multi)
        for i in range(count)
    ]


def wd1_series(count: int, samples: int, *, seed: int = 0) -> list[WD1Event]:
    rng = np.random.default_rng(seed)
    return [
        WD1Event(samples=rng.integers(0, 1 << 16, samples, dtype=np.uint16), board_id=7, pattern=i % 5,
                 board_channel=i % 8, event_counter=i, timestamp=100 * i)
        for i in range(count)
    ]


# ---- Raw headers, for words the dataclass writers would refuse -------------

def wd1_header(event_size: int, board_id: int = 0, pattern: int = 0, board_channel: int = 0,
               event_counter: int = 0, timestamp: int = 0) -> bytes:
    """A WD1 header from six words taken modulo 2^32 (so -1 and 0xFFFFFFFF are the same word)."""
    words = (event_size, board_id, pattern, board_channel, event_counter, timestamp)
    return struct.pack("<6I", *(w & 0xFFFFFFFF for w in words))


def wd2_header(event_counter: int, timestamp: int, samples: int, sampling_period: int,
               channels: int | None = None) -> bytes:
    """A WD2 header, with the channel-count field when `channels` is given (taken modulo 2^32)."""
    head = WD2_HEADER.pack(event_counter & 0xFFFFFFFF, timestamp & (2**64 - 1), samples & 0xFFFFFFFF,
                           sampling_period & (2**64 - 1))
    if channels is not None:
        head += struct.pack("<I", channels & 0xFFFFFFFF)
    return head


def float_bits(words: Iterable[int]) -> bytes:
    """Sample bytes holding these exact 32-bit patterns (NaN payloads, -0.0, ...)."""
    return np.asarray(list(words), dtype="<u4").tobytes()


# ---- Structured dtypes of fixed-size events, for numpy.fromfile ------------

def wd1_dtype(samples: int) -> np.dtype:
    return np.dtype([("event_size", "<i4"), ("board_id", "<i4"), ("pattern", "<i4"),
                     ("board_channel", "<i4"), ("event_counter", "<i4"), ("timestamp", "<i4"),
                     ("data", "<u2", (samples,))])


def wd2_dtype(channels: int, samples: int, *, with_channel_field: bool = True) -> np.dtype:
    fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"), ("sampling_period", "<u8")]
    if with_channel_field:
        fields.append(("channels", "<i4"))
    fields.append(("data", "<f4", (channels * samples,)))
    return np.dtype(fields)


# ---- Descriptors of this process -------------------------------------------

def open_descriptors() -> set[int]:
    """The process's open descriptors (the one that lists them excluded)."""
    # The descriptor of the listing itself is closed again by the time the
    # names are checked, so it drops out.
    return {int(name) for name in os.listdir("/proc/self/fd") if os.path.exists(f"/proc/self/fd/{name}")}


def descriptors_on(path: Path | str) -> list[int]:
    """Descriptors of this process open on `path`."""
    target = os.path.realpath(path)
    found = []
    for name in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{name}") == target:
                found.append(int(name))
        except OSError:
            pass
    return sorted(found)


@contextmanager
def no_descriptor_leak():
    """Fails the test when the block leaves a descriptor open."""
    before = open_descriptors()
    yield
    leaked = open_descriptors() - before
    assert not leaked, {fd: _describe(fd) for fd in leaked}


def _describe(fd: int) -> str:
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError as error:
        return repr(error)


# ---- FIFOs -------------------------------------------------------------------

def feed_fifo(fifo: Path, payload: bytes) -> subprocess.Popen:
    """Writes `payload` into the FIFO from another process, which blocks in its
    open until a reader comes. (Not a thread: the module opens and reads while
    holding the interpreter lock, so a writer thread could never run.)"""
    source = fifo.with_name(fifo.name + ".payload")
    source.write_bytes(payload)
    return subprocess.Popen(["sh", "-c", 'cat "$1" > "$2" 2>/dev/null', "sh", str(source), str(fifo)])


# ---- Batches -------------------------------------------------------------------

def batch_events(batch: dict) -> list[dict]:
    """A BatchReader batch cut into the dictionaries EventReader yields: the
    header columns as Python ints, in their order, then "data", the event's
    slice of the flat samples (a view), if the batch holds samples."""
    head = {key: column.tolist() for key, column in batch.items() if key not in ("offsets", "data")}
    if "data" not in batch:
        return [dict(zip(head, values)) for values in zip(*head.values())]
    offsets = batch["offsets"].tolist()
    data = batch["data"]
    return [{**{key: values[i] for key, values in head.items()}, "data": data[offsets[i]:offsets[i + 1]]}
            for i in range(len(offsets) - 1)]
