#!/usr/bin/env python3
"""atheris harness over the installed pelvar module: every input is written
to a temporary file, which is then read as WD1 and as WD2.

Only the documented failures may come out: OSError from opening a WD2 file
whose layout probe fails, and PanicException "capacity overflow" for a size
field that leaves no room for samples (WD1) or a block above 2^63 - 1 bytes
(WD2). Anything else, a crash or a hang, is a finding. The WD1 events are
also compared with an independent decoding of the same bytes; the WD2 events
must be probed_channels x samples values each and never claim more bytes
than the file holds.

Run it in a virtual environment that has pelvar installed:

    pip install atheris
    python3 fuzz/make_corpus.py --raw /tmp/pelvar-atheris-seeds
    python3 fuzz/atheris_harness.py -max_total_time=300 -timeout=10 \\
        /tmp/pelvar-atheris-corpus /tmp/pelvar-atheris-seeds

(the first directory collects new inputs; libFuzzer flags apply). atheris
sees the coverage of this file only, not of the native module, so it is
a random search around the seeds; the libFuzzer target fuzz_readers, which
sees the readers' branches, is the one that runs in CI.
"""

from __future__ import annotations

import os
import struct
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import numpy as np
    import pelvar

MAX_STEPS = 10_000
END, OVERFLOW = "end", "overflow"

_fd, PATH = tempfile.mkstemp(prefix="pelvar-atheris-")
os.close(_fd)


def is_capacity_overflow(exc: BaseException) -> bool:
    return type(exc).__name__ == "PanicException" and exc.args == ("capacity overflow",)


@atheris.instrument_func
def wd1_decode(data: bytes, offset: int):
    """(the event at offset, or END or OVERFLOW; the next offset)."""
    if offset + 24 > len(data):
        return END, len(data)
    header = struct.unpack_from("<6i", data, offset)
    difference = (header[0] - 24 + 2**31) % 2**32 - 2**31
    if difference < -1:
        return OVERFLOW, offset + 24
    n = max(difference, 0) // 2
    end = offset + 24 + 2 * n
    if end > len(data):
        return END, len(data)
    return (header, np.frombuffer(data, "<u2", n, offset + 24)), end


@atheris.instrument_func
def check_wd1(data: bytes) -> None:
    reader = pelvar.EventReader(PATH, "WD1")
    offset = 0
    for _ in range(MAX_STEPS):
        expected, offset = wd1_decode(data, offset)
        try:
            event = next(reader)
        except StopIteration:
            assert expected is END, f"WD1 ended early at {offset}"
            return
        except BaseException as exc:
            if is_capacity_overflow(exc) and expected is OVERFLOW:
                continue
            raise
        assert expected not in (END, OVERFLOW), f"WD1 gave an event where {expected} was due"
        header, samples = expected
        keys = ("event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp")
        assert tuple(event[k] for k in keys) == header
        assert event["data"].dtype == np.uint16 and np.array_equal(event["data"], samples)


@atheris.instrument_func
def check_wd2(data: bytes) -> None:
    try:
        reader = pelvar.EventReader(PATH, "WD2")
    except OSError:
        return  # the probe failed
    except BaseException as exc:
        if is_capacity_overflow(exc):
            return
        raise
    consumed = 0
    ratio = None
    for _ in range(MAX_STEPS):
        try:
            event = next(reader)
        except StopIteration:
            return
        except BaseException as exc:
            if is_capacity_overflow(exc):
                consumed += 24  # at least the header was read
                continue
            raise
        values = event["data"]
        assert values.dtype == np.float32 and values.ndim == 1
        if event["samples"]:
            assert len(values) % event["samples"] == 0
            this_ratio = len(values) // event["samples"]
            assert ratio in (None, this_ratio), "the probed channel count changed"
            ratio = this_ratio
        else:
            assert len(values) == 0
        consumed += 24 + 4 * len(values)
        assert consumed <= len(data), "WD2 gave more bytes than the file holds"


def test_one_input(data: bytes) -> None:
    with open(PATH, "wb") as out:
        out.write(data)
    check_wd1(data)
    check_wd2(data)


def main() -> None:
    try:
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
    finally:
        os.unlink(PATH)


if __name__ == "__main__":
    main()
