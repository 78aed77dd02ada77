#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz target: small valid (and a few
deliberately odd) WD1 and WD2 files, each behind the target's five control
bytes, once without faults and once with each kind of fault.

    python3 fuzz/make_corpus.py OUTPUT_DIR          # for fuzz_readers
    python3 fuzz/make_corpus.py --raw OUTPUT_DIR    # the bare files, for atheris_harness.py

Standard library only; the files are written from the file layouts.
"""

from __future__ import annotations

import struct
import sys
from pathlib import Path

SHORT_READS, EINTR, EIO, EIO_STAYS, NO_SEEK, ZEROS = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


def wd1_event(samples=(), *, size=None, board=7, pattern=0, channel=0, counter=0, timestamp=0, tail=b""):
    data = struct.pack(f"<{len(samples)}H", *samples)
    size = 24 + len(data) if size is None else size
    return struct.pack("<6i", size, board, pattern, channel, counter, timestamp) + data + tail


def wd2_event(values=(), *, counter=0, timestamp=0, samples=None, period=10, channels=None, raw=None):
    """channels None: the single-channel layout (no channel-count field)."""
    block = raw if raw is not None else struct.pack(f"<{len(values)}f", *values)
    if samples is None:
        samples = len(block) // 4 // max(channels or 1, 1)
    head = struct.pack("<IQIQ", counter & 0xFFFFFFFF, timestamp, samples, period)
    if channels is not None:
        head += struct.pack("<i", channels)
    return head + block


def wd2_series(count, channels, samples, *, first=0, field=True):
    return b"".join(
        wd2_event([float(i * 100 + j) / 8 for j in range(channels * samples)], counter=first + i,
                  timestamp=1000 * i, samples=samples, channels=channels if field else None)
        for i in range(count))


def files() -> dict[str, bytes]:
    ramp = list(range(5))
    return {
        "wd1-empty": b"",
        "wd1-header-only": wd1_event(),
        "wd1-three": b"".join(wd1_event(ramp, counter=i, timestamp=100 * i) for i in range(3)),
        "wd1-one-sample": wd1_event(size=26, tail=b"\x34\x12"),
        "wd1-odd-size": wd1_event([1], size=27, tail=b"\x00") + wd1_event([2, 3]),
        "wd1-size-23": wd1_event(size=23) + wd1_event([9]),
        "wd1-size-22": wd1_event(size=22) + wd1_event([4, 5]),
        "wd1-size-0": wd1_event(size=0),
        "wd1-size-min": wd1_event(size=-2147483648) + b"\x01\x02" * 8,
        "wd1-claims-1024": wd1_event(size=1024) + b"\xab" * 40,
        "wd1-minus-one": wd1_event(size=-1, board=-1, pattern=-1, channel=-1, counter=-1, timestamp=-1),
        "wd1-large-block": wd1_event([i & 0xFFFF for i in range(5000)]) + wd1_event([1, 2]),
        "wd1-trailing": wd1_event(ramp) + b"\x00" * 10,
        "wd2-two-channels": wd2_series(3, 2, 3, first=41),
        "wd2-counter-wraps": wd2_series(3, 2, 2, first=0xFFFFFFFF),
        "wd2-counter-gap": wd2_event([1, 2, 3, 4], counter=41, channels=2)
        + wd2_event([5, 6, 7, 8], counter=43, channels=2),
        "wd2-single-1.5": wd2_series(3, 1, 4, field=False),
        "wd2-single-minus-2": b"".join(wd2_event([-2.0, 1.0, 0.5], counter=i) for i in range(3)),
        "wd2-single-zeros": wd2_event([0.0] * 16, counter=5) + wd2_event([0.0] * 16, counter=6),
        "wd2-field-one": wd2_series(3, 1, 3, field=True),
        "wd2-three-say-two": wd2_event([1.0] * 6, counter=1, samples=2, channels=3)
        + wd2_event([2.0] * 6, counter=2, samples=2, channels=3)
        + wd2_event([3.0] * 6, counter=3, samples=2, channels=2),
        "wd2-no-samples": wd2_series(3, 2, 0),
        "wd2-negative-channels": wd2_event(counter=1, samples=2, channels=-1, raw=b"\x00" * 8)
        + wd2_event(counter=2, samples=2, channels=-1),
        "wd2-nan-and-minus-zero": wd2_event(counter=1, channels=2, raw=struct.pack("<2I", 0x7FC00001, 0x80000000))
        + wd2_event(counter=2, channels=2, raw=struct.pack("<2I", 0xFFFFFFFF, 0)),
        "wd2-large-block": wd2_series(2, 2, 1100),
        "wd2-one-event": wd2_series(1, 2, 3),
        "wd2-cut-short": wd2_series(3, 2, 3)[:-5],
    }


def controls(length: int) -> dict[str, bytes]:
    half = min(length // 2, 0xFFFF)
    return {
        "clean": bytes([0, 0, 0, 0, 0]),
        "short-eintr": bytes([SHORT_READS | EINTR, 6, 0, 0, 0]),
        "eio-once": bytes([EIO, 0]) + struct.pack("<H", half) + b"\0",
        "eio-stays": bytes([EIO | EIO_STAYS | SHORT_READS, 99]) + struct.pack("<H", half) + b"\0",
        "no-seek": bytes([NO_SEEK | SHORT_READS, 200, 0, 0, 0]),
    }


# Files that go on with zero bytes (flag 0x20, the fifth control byte in
# 16 KiB steps): sample blocks above 1 MiB, allocated in steps as they arrive.
PADDED = {
    "wd1-block-above-1MiB": (wd1_event(size=24 + 2**20 + 4098, tail=b"\x01\x02\x03\x04"), 65),
    "wd2-block-above-1MiB": (wd2_event(counter=1, samples=2**17 + 300, channels=2), 65),
}


def padded_controls(pad: int) -> dict[str, bytes]:
    return {
        "clean": bytes([ZEROS, 0, 0, 0, pad]),
        "no-seek": bytes([ZEROS | NO_SEEK, 0, 0, 0, pad]),
        "no-seek-eio": bytes([ZEROS | NO_SEEK | EIO, 0]) + struct.pack("<H", 50000) + bytes([pad]),
    }


def main() -> int:
    args = sys.argv[1:]
    raw = args[:1] == ["--raw"]
    if raw:
        args = args[1:]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(args[0])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for name, payload in files().items():
        variants = {"raw": b""} if raw else controls(len(payload))
        for variant, control in variants.items():
            (out / f"{name}.{variant}").write_bytes(control + payload)
            count += 1
    if not raw:
        for name, (payload, pad) in PADDED.items():
            for variant, control in padded_controls(pad).items():
                (out / f"{name}.{variant}").write_bytes(control + payload)
                count += 1
    print(f"{count} seeds in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
