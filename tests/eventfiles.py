"""Writers of WD1 and WD2 event files for the tests, written from the file
layouts alone (independent of the module's code)."""

from __future__ import annotations

import struct
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

    def to_bytes(self) -> bytes:
        head = WD2_HEADER.pack(self.event_counter, self.timestamp, self.samples_field(), self.sampling_period)
        if self.with_channel_field:
            head += WD2_CHANNELS.pack(self.channels)
        return head + self.sample_bytes()


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
