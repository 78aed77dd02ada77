"""The readers that pelvar is measured against, in plain Python and NumPy.

- `read_events(path, reader_type)`: yields the same dictionaries as
  `pelvar.EventReader` (same keys in the same order, `int` values, a fresh
  NumPy array per event), written the way a careful Python programmer would:
  the file is read in large chunks with `readinto` into one reused buffer,
  headers are decoded with `struct.unpack_from`, a small sample block is
  copied out of the chunk with `numpy.frombuffer(...).copy()` and a large one
  is read straight into a fresh `numpy.empty` array.
- `read_bandwidth(path)`: the limit of any reader: the file's bytes read in
  1 MiB chunks into one reused buffer and thrown away.
- `read_fromfile_wd1(path, samples)`: `numpy.fromfile` with a structured dtype,
  for WD1 files whose events all have the same number of samples (a whole-file
  reader, not a streaming one).

Layouts (all little-endian, packed):

  WD1 event: event_size, board_id, pattern, board_channel, event_counter,
  timestamp (signed 32-bit each), then (event_size - 24) // 2 unsigned 16-bit
  samples (the difference wraps in 32 bits; an odd size leaves its last byte
  to the next header).

  WD2 event: event_counter (u32), timestamp (u64), samples (u32),
  sampling_period (u64), in multi-channel files a channel count (i32), then
  probed_channels * samples 32-bit floats. Whether a file has the channel
  field is probed from its first event and the header of the second.
"""

from __future__ import annotations

import mmap
import os
import struct
from typing import Iterator

import numpy as np

CHUNK_BYTES = 1 << 20
# Blocks at least this large are read straight into their array instead of
# being copied out of the chunk buffer.
LARGE_BLOCK_BYTES = 1 << 16

WD1_HEADER = struct.Struct("<6i")
WD2_HEADER = struct.Struct("<IQIQ")
WD2_LONG_HEADER = struct.Struct("<IQIQi")

_U2 = np.dtype("<u2")
_F4 = np.dtype("<f4")
_U64 = (1 << 64) - 1


class CapacityOverflow(ValueError):
    """A header asks for a sample block that cannot exist."""

    def __init__(self) -> None:
        super().__init__("capacity overflow")


def read_events(path: str, reader_type: str, *, chunk_bytes: int = CHUNK_BYTES) -> Iterator[dict]:
    """The events of a WD1 or WD2 file as dictionaries, like pelvar.EventReader.

    A WD2 file's layout is probed when this is called, as pelvar does at
    construction (OSError "failed to fill whole buffer" for a file too short
    for the probe)."""
    if chunk_bytes < 64:
        raise ValueError("chunk_bytes must be at least 64")
    if reader_type == "WD1":
        return _wd1_events(open(path, "rb", buffering=0), chunk_bytes)
    if reader_type == "WD2":
        f = open(path, "rb", buffering=0)
        try:
            channels = probe_wd2(f)
            f.seek(0)
        except BaseException:
            f.close()
            raise
        return _wd2_events(f, channels, chunk_bytes)
    raise ValueError(f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'")


def _fill(readinto, view: memoryview, pos: int, end: int, need: int) -> int:
    """Moves the unread bytes view[pos:end] to the front and reads until at
    least `need` bytes are buffered or the file ends; returns the new end (the
    unread bytes then start at 0)."""
    rest = end - pos
    if rest:
        view[:rest] = view[pos:end]
    end = rest
    while end < need:
        got = readinto(view[end:])
        if not got:
            break
        end += got
    return end


def _read_into(readinto, target: memoryview) -> bool:
    """Fills `target` from the file; False when the file ends first."""
    filled = 0
    size = len(target)
    while filled < size:
        got = readinto(target[filled:])
        if not got:
            return False
        filled += got
    return True


def _wd1_events(f, chunk_bytes: int) -> Iterator[dict]:
    with f:
        buf = bytearray(chunk_bytes)
        view = memoryview(buf)
        readinto = f.readinto
        unpack = WD1_HEADER.unpack_from
        frombuffer = np.frombuffer
        empty = np.empty
        u2 = _U2
        large = min(LARGE_BLOCK_BYTES, chunk_bytes)
        pos = end = 0
        while True:
            if end - pos < 24:
                end = _fill(readinto, view, pos, end, 24)
                pos = 0
                if end < 24:
                    return
            size, board, pattern, channel, counter, stamp = unpack(buf, pos)
            pos += 24
            d = size - 24
            if d < 0:
                if d < -0x80000000:  # wraps around in 32 bits
                    d += 0x100000000
                elif d < -1:
                    raise CapacityOverflow()
                else:
                    d = 0
            n = d >> 1
            nbytes = n << 1
            if nbytes < large:
                if end - pos < nbytes:
                    end = _fill(readinto, view, pos, end, nbytes)
                    pos = 0
                    if end < nbytes:
                        return
                data = frombuffer(buf, u2, n, pos).copy()
                pos += nbytes
            else:
                if nbytes > os.fstat(f.fileno()).st_size:
                    return  # cannot be complete: do not allocate it
                data = empty(n, u2)
                target = memoryview(data).cast("B")
                have = min(end - pos, nbytes)
                target[:have] = view[pos:pos + have]
                pos += have
                if have < nbytes:
                    pos = end = 0
                    if not _read_into(readinto, target[have:]):
                        return
            yield {
                "event_size": size,
                "board_id": board,
                "pattern": pattern,
                "board_channel": channel,
                "event_counter": counter,
                "timestamp": stamp,
                "data": data,
            }


def probe_wd2(f) -> int:
    """The channel count of a WD2 file, from its first event and the header
    of the second: read as having the channel field, the two must be
    consecutive (next counter modulo 2**32, same samples, same sampling
    period, same channel count); if not, 1. If the file is too short for that
    reading (or it asks for an impossible block), the same bytes are tried as
    single-channel events before the failure is raised."""
    size = os.fstat(f.fileno()).st_size
    f.seek(0)
    failure: BaseException
    head = f.read(28)
    if len(head) < 28:
        failure = OSError("failed to fill whole buffer")
    else:
        c1, _, s1, p1, ch1 = WD2_LONG_HEADER.unpack(head)
        block = (s1 * ch1 * 4) & _U64
        if block >> 63:
            failure = CapacityOverflow()
        elif 28 + block + 28 > size:
            failure = OSError("failed to fill whole buffer")
        else:
            f.seek(28 + block)
            c2, _, s2, p2, ch2 = WD2_LONG_HEADER.unpack(f.read(28))
            if ch2 == ch1 and p2 == p1 and s2 == s1 and c2 == (c1 + 1) & 0xFFFFFFFF:
                return ch1
            return 1
    # Read as single-channel events: 24-byte headers, samples * 4 bytes each.
    f.seek(0)
    head = f.read(24)
    if len(head) == 24:
        c1, _, s1, p1 = WD2_HEADER.unpack(head)
        if 24 + s1 * 4 + 24 <= size:
            f.seek(24 + s1 * 4)
            c2, _, s2, p2 = WD2_HEADER.unpack(f.read(24))
            if p2 == p1 and s2 == s1 and c2 == (c1 + 1) & 0xFFFFFFFF:
                return 1
    raise failure


def _wd2_events(f, channels: int, chunk_bytes: int) -> Iterator[dict]:
    with f:
        buf = bytearray(chunk_bytes)
        view = memoryview(buf)
        readinto = f.readinto
        frombuffer = np.frombuffer
        empty = np.empty
        f4 = _F4
        large = min(LARGE_BLOCK_BYTES, chunk_bytes)
        multi = channels >= 2
        head_bytes = 28 if multi else 24
        unpack = (WD2_LONG_HEADER if multi else WD2_HEADER).unpack_from
        pos = end = 0
        while True:
            if end - pos < head_bytes:
                end = _fill(readinto, view, pos, end, head_bytes)
                pos = 0
                if end < head_bytes:
                    return
            if multi:
                counter, stamp, samples, period, event_channels = unpack(buf, pos)
            else:
                counter, stamp, samples, period = unpack(buf, pos)
                event_channels = channels
            pos += head_bytes
            # Sized by the probed count, never by the event's own field.
            nbytes = (samples * channels * 4) & _U64
            if nbytes >> 63:
                raise CapacityOverflow()
            n = nbytes >> 2
            if nbytes < large:
                if end - pos < nbytes:
                    end = _fill(readinto, view, pos, end, nbytes)
                    pos = 0
                    if end < nbytes:
                        return
                data = frombuffer(buf, f4, n, pos).copy()
                pos += nbytes
            else:
                if nbytes > os.fstat(f.fileno()).st_size:
                    return  # cannot be complete: do not allocate it
                data = empty(n, f4)
                target = memoryview(data).cast("B")
                have = min(end - pos, nbytes)
                target[:have] = view[pos:pos + have]
                pos += have
                if have < nbytes:
                    pos = end = 0
                    if not _read_into(readinto, target[have:]):
                        return
            yield {
                "event_counter": counter,
                "timestamp": stamp,
                "samples": samples,
                "sampling_period": period,
                "channels": event_channels,
                "data": data,
            }


# One buffer per chunk size, mapped once and reused by every call: a buffer
# mapped afresh per call would add its page faults to every measurement.
_bandwidth_buffers: dict[int, mmap.mmap] = {}


def read_bandwidth(path: str, *, chunk_bytes: int = CHUNK_BYTES) -> int:
    """Reads the whole file into one reused buffer; returns the byte count.

    The buffer is page-aligned (an anonymous mapping): on some processors
    (AMD Zen 3, for one) the kernel's copy to user memory runs several times
    slower when the destination lies a few bytes past the source modulo
    4 KiB, which is where a malloc'd buffer (16 bytes into its page) puts
    chunks read at page-aligned file offsets. It is mapped once per chunk
    size and kept, so its pages are already in place."""
    buf = _bandwidth_buffers.get(chunk_bytes)
    if buf is None:
        buf = _bandwidth_buffers[chunk_bytes] = mmap.mmap(-1, chunk_bytes)
    total = 0
    with open(path, "rb", buffering=0) as f:
        readinto = f.readinto
        while True:
            got = readinto(buf)
            if not got:
                return total
            total += got


def wd1_dtype(samples: int) -> np.dtype:
    """One WD1 event with `samples` samples, as a structured dtype."""
    fields = [(name, "<i4") for name in
              ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")]
    if samples:
        fields.append(("data", "<u2", (samples,)))
    return np.dtype(fields)


def wd2_dtype(channels: int, samples: int) -> np.dtype:
    """One WD2 event (with the channel field when `channels` >= 2)."""
    fields = [("event_counter", "<u4"), ("timestamp", "<u8"), ("samples", "<u4"), ("sampling_period", "<u8")]
    if channels >= 2:
        fields.append(("channels", "<i4"))
    if samples:
        fields.append(("data", "<f4", (channels * samples,)))
    return np.dtype(fields)


def read_fromfile_wd1(path: str, samples: int) -> np.ndarray:
    """All events of a WD1 file whose events all hold `samples` samples."""
    return np.fromfile(path, dtype=wd1_dtype(samples))
