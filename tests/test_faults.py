"""Faults of the file underneath a reader: reads interrupted by signals, and
errors of the operating system in the middle of a file.

The faults come from an LD_PRELOAD shim (tests/native/fault_shim.c, built
here with the system's C compiler) that wraps read() for one file, so the
reader runs in a child interpreter; the child reports every step (an event,
an exception, the end) and the shim's counters as JSON.
"""

from __future__ import annotations

import errno
import json
import os
import shlex
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from eventfiles import WD1Event, WD2Event, wd1_bytes, wd1_series, wd2_bytes, wd2_series, write

SHIM_SOURCE = Path(__file__).parent / "native" / "fault_shim.c"

# The child: runs one reader to its end and prints what happened.
CHILD = r"""
import ctypes, json, signal, sys
import numpy  # imported before the reader opens its file
import pelvar

config = json.loads(sys.argv[1])
shim = ctypes.CDLL(None)
names = ("reads", "failed", "eintr_put", "eintr_seen", "bytes", "reads_after_failure")
for name in names:
    getattr(shim, "pelvar_shim_" + name).restype = ctypes.c_longlong

def counters():
    return {name: getattr(shim, "pelvar_shim_" + name)() for name in names}

def raised(e):
    return {"raised": type(e).__name__, "args": list(e.args), "errno": getattr(e, "errno", None)}

signals = 0
def on_alarm(signum, frame):
    global signals
    signals += 1

steps = []
if config.get("timer"):
    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, config["timer"], config["timer"])
try:
    try:
        reader = pelvar.EventReader(config["path"], config["format"])
    except OSError as e:
        steps.append(raised(e))
    else:
        stops = raises = 0
        while stops < 3 and raises < 3:
            try:
                event = next(reader)
            except StopIteration:
                steps.append({"stop": True})
                stops += 1
            except OSError as e:
                steps.append(raised(e))
                raises += 1
            else:
                stops = raises = 0
                steps.append({"event": {k: v.tobytes().hex() if k == "data" else v for k, v in event.items()}})
finally:
    signal.setitimer(signal.ITIMER_REAL, 0, 0)
print(json.dumps({"steps": steps, "counters": counters(), "signals": signals}))
"""


@pytest.fixture(scope="session")
def fault_shim(tmp_path_factory) -> Path:
    # PELVAR_TEST_CC names a C compiler for the interpreter's platform where
    # the system's own builds for another one (an emulated interpreter).
    cc = shlex.split(os.environ.get("PELVAR_TEST_CC", "")) or [shutil.which("cc") or shutil.which("gcc")]
    if cc[0] is None:
        pytest.skip("no C compiler to build the fault shim")
    shim = tmp_path_factory.mktemp("shim") / "fault_shim.so"
    subprocess.run([*cc, "-shared", "-fPIC", "-O2", "-Wall", "-Wextra", "-Werror", "-o", str(shim), str(SHIM_SOURCE)],
                   check=True)
    return shim


def run_child(shim: Path, path: Path, reader_type: str, *, timeout: float = 120, timer: float = 0,
              **faults) -> dict:
    st = os.stat(path)
    env = dict(os.environ)
    # A sanitizer runtime that is preloaded must stay first.
    env["LD_PRELOAD"] = ":".join(p for p in (os.environ.get("LD_PRELOAD", ""), str(shim)) if p)
    env["PELVAR_SHIM_DEV"] = str(st.st_dev)
    env["PELVAR_SHIM_INO"] = str(st.st_ino)
    for key, value in faults.items():
        env["PELVAR_SHIM_" + key.upper()] = str(value)
    config = json.dumps({"path": str(path), "format": reader_type, "timer": timer})
    done = subprocess.run([sys.executable, "-c", CHILD, config], env=env, capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


# -- An independent reading of the same bytes, with the same fault ----------

class ModelFile:
    """The file read byte-exactly: reads fail once the offset reaches
    `fail_at` (`failures` times, -1 for ever); an exact read that cannot be
    had consumes what the file gave."""

    def __init__(self, payload: bytes, fail_at: int | None = None, failures: int = 1):
        self.payload, self.fail_at, self.failures, self.position = payload, fail_at, failures, 0

    def read(self, count: int) -> bytes | str:
        armed = self.fail_at is not None and self.failures != 0
        limit = min(self.fail_at, len(self.payload)) if armed else len(self.payload)
        if self.position + count <= limit:
            self.position += count
            return self.payload[self.position - count:self.position]
        self.position = max(self.position, limit)
        if armed and self.position >= self.fail_at:
            self.failures -= self.failures > 0
            return "failed"
        return "end"


def wd1_step(model: ModelFile) -> dict | str:
    header = model.read(24)
    if isinstance(header, str):
        return header
    size, board, pattern, channel, counter, timestamp = np.frombuffer(header, "<i4").tolist()
    difference = (size - 24 + 2**31) % 2**32 - 2**31
    assert difference >= -1, "the test files hold no size without samples"
    block = model.read(2 * (max(difference, 0) // 2))
    if isinstance(block, str):
        return block
    return {"event_size": size, "board_id": board, "pattern": pattern, "board_channel": channel,
            "event_counter": counter, "timestamp": timestamp, "data": block.hex()}


def wd2_step(model: ModelFile, probed: int) -> dict | str:
    header = model.read(28 if probed >= 2 else 24)
    if isinstance(header, str):
        return header
    counter, timestamp, samples, period = np.frombuffer(header[:24], np.dtype("<u4,<u8,<u4,<u8"))[0].tolist()
    channels = int(np.frombuffer(header[24:], "<i4")[0]) if probed >= 2 else probed
    block = model.read(samples * probed * 4)
    if isinstance(block, str):
        return block
    return {"event_counter": counter, "timestamp": timestamp, "samples": samples, "sampling_period": period,
            "channels": channels, "data": block.hex()}


def expected_steps(step, model: ModelFile, error_text: str, error_class: str) -> list[dict]:
    """The child's loop run over the model: up to three ends or three
    failures in a row."""
    steps, stops, raises = [], 0, 0
    while stops < 3 and raises < 3:
        got = step(model)
        if got == "end":
            steps.append({"stop": True})
            stops += 1
        elif got == "failed":
            steps.append({"raised": error_class, "args": [error_text], "errno": None})
            raises += 1
        else:
            steps.append({"event": got})
            stops = raises = 0
    return steps


def wd1_latched(steps: list[dict]) -> list[dict]:
    """WD1 after an error of the operating system: the end, for good."""
    for i, s in enumerate(steps):
        if "raised" in s:
            return steps[:i + 1] + [{"stop": True}] * 3
    return steps


def events_of(steps: list[dict]) -> list[dict]:
    return [s["event"] for s in steps if "event" in s]


EIO_TEXT = f"{os.strerror(errno.EIO)} (os error {errno.EIO})"

WD1_SMALL = wd1_series(40, 20, seed=1)              # 64-byte events, all in the first buffer
WD1_LARGE = wd1_series(6, 5000, seed=2)             # 10024-byte events, read past the buffer
WD2_MULTI = wd2_series(40, 3, 7, first_counter=90)  # 112-byte events with the channel field
WD2_LARGE = wd2_series(4, 2, 1500, seed=3)          # 12028-byte events
WD2_SINGLE = wd2_series(30, 1, 9, seed=4)           # 60-byte events without the field


# -- EINTR --------------------------------------------------------------------

def test_signals_during_reads_of_a_slow_fifo_lose_nothing(fault_shim, tmp_path):
    """A writer feeds a FIFO in small pieces while an interval timer sends
    SIGALRM to the reading process all the time: reads are interrupted
    (the shim sees EINTR from the kernel), never surface, and every event
    arrives whole."""
    events = wd1_series(150, 30, seed=5)
    payload = wd1_bytes(events)
    fifo = tmp_path / "events.fifo"
    os.mkfifo(fifo)
    failure: list[BaseException] = []

    def feed():
        try:
            deadline = time.monotonic() + 60
            while True:  # a FIFO opened for writing without a reader: ENXIO
                try:
                    fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                    break
                except OSError as e:
                    if e.errno != errno.ENXIO or time.monotonic() > deadline:
                        raise
                    time.sleep(0.005)
            os.set_blocking(fd, True)
            with os.fdopen(fd, "wb", buffering=0) as out:
                for start in range(0, len(payload), 97):
                    out.write(payload[start:start + 97])
                    time.sleep(0.001)
        except BaseException as e:  # reported by the test below
            failure.append(e)

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        result = run_child(fault_shim, fifo, "WD1", timer=0.0002)
    finally:
        writer.join(timeout=90)
    assert not failure, failure
    expected = [{**e.expected(), "data": e.expected()["data"].astype("<u2").tobytes().hex()} for e in events]
    assert result["steps"] == [{"event": e} for e in expected] + [{"stop": True}] * 3
    assert result["signals"] > 0
    assert result["counters"]["eintr_seen"] > 0, "no read was interrupted: the test proved nothing"


@pytest.mark.parametrize("reader_type, payload, step", [
    ("WD1", wd1_bytes(WD1_SMALL + WD1_LARGE), wd1_step),
    ("WD2", wd2_bytes(WD2_MULTI), lambda m: wd2_step(m, 3)),
    ("WD2", wd2_bytes(WD2_LARGE), lambda m: wd2_step(m, 2)),
    ("WD2", wd2_bytes(WD2_SINGLE), lambda m: wd2_step(m, 1)),
], ids=["wd1", "wd2-multi", "wd2-large", "wd2-single"])
def test_eintr_on_every_other_read_is_retried(fault_shim, tmp_path, reader_type, payload, step):
    """The shim fails every other read with EINTR (the WD2 probe and its
    rewind included): the events are those of the file, all of them."""
    path = write(tmp_path / "events", payload)
    result = run_child(fault_shim, path, reader_type, eintr=1)
    assert result["counters"]["eintr_put"] >= result["counters"]["reads"] // 2 > 0
    expected = expected_steps(step, ModelFile(payload), EIO_TEXT, "OSError")
    assert result["steps"] == expected
    assert events_of(expected) and not any("raised" in s for s in expected)


# -- An error of the operating system in the middle of the file --------------

def boundaries(sizes: list[int]) -> list[int]:
    return np.cumsum(sizes).tolist()


WD1_PAYLOAD = wd1_bytes(WD1_SMALL + WD1_LARGE)
WD1_ENDS = boundaries([len(e.to_bytes()) for e in WD1_SMALL + WD1_LARGE])


@pytest.mark.parametrize("fail_at", [
    0,                       # the very first read
    WD1_ENDS[9],             # an event boundary
    WD1_ENDS[9] + 10,        # inside a header
    WD1_ENDS[9] + 30,        # inside a sample block
    WD1_ENDS[41] + 7000,     # inside a block larger than the buffer
    len(WD1_PAYLOAD) - 1,    # the last byte
], ids=["start", "boundary", "header", "samples", "large-block", "last-byte"])
def test_wd1_raises_the_error_once_then_ends_for_good(fault_shim, tmp_path, fail_at):
    """The events before the failure, OSError with the system's text, then
    the end on every later call without another read: the reader latches,
    although the file would read on (the shim fails one read only)."""
    path = write(tmp_path / "events.wd1", WD1_PAYLOAD)
    result = run_child(fault_shim, path, "WD1", fail_at=fail_at, failures=1)
    expected = wd1_latched(expected_steps(wd1_step, ModelFile(WD1_PAYLOAD, fail_at), EIO_TEXT, "OSError"))
    assert result["steps"] == expected
    delivered = sum(end <= fail_at for end in WD1_ENDS)
    assert len(events_of(result["steps"])) == delivered
    assert result["counters"]["failed"] == 1
    assert result["counters"]["reads_after_failure"] == 0


@pytest.mark.parametrize("error_number, exception", [
    (errno.EIO, "OSError"),
    (errno.EACCES, "PermissionError"),
    (errno.ECONNRESET, "ConnectionResetError"),
    (errno.EAGAIN, "BlockingIOError"),
])
def test_read_errors_raise_the_class_of_their_number(fault_shim, tmp_path, error_number, exception):
    path = write(tmp_path / "events.wd1", WD1_PAYLOAD)
    result = run_child(fault_shim, path, "WD1", fail_at=WD1_ENDS[3], errno=error_number)
    text = f"{os.strerror(error_number)} (os error {error_number})"
    assert result["steps"][4:] == [{"raised": exception, "args": [text], "errno": None}] + [{"stop": True}] * 3
    assert len(events_of(result["steps"])) == 4


WD2_CASES = {
    "multi": (wd2_bytes(WD2_MULTI), 3, [len(e.to_bytes()) for e in WD2_MULTI]),
    "large": (wd2_bytes(WD2_LARGE), 2, [len(e.to_bytes()) for e in WD2_LARGE]),
    "single": (wd2_bytes(WD2_SINGLE), 1, [len(e.to_bytes()) for e in WD2_SINGLE]),
}


@pytest.mark.parametrize("case, event, offset, failures", [
    ("multi", 10, 0, 1),      # at an event boundary: nothing is lost
    ("multi", 10, 26, 1),     # inside the channel-count field
    ("multi", 10, 60, 1),     # inside the sample block
    ("multi", 10, 60, -1),    # a failure that stays
    ("large", 2, 0, 1),
    ("large", 2, 9000, 1),    # inside a block larger than the buffer
    ("single", 12, 0, 1),
    ("single", 12, 40, 1),
], ids=lambda v: str(v))
def test_wd2_raises_the_error_and_reads_on(fault_shim, tmp_path, case, event, offset, failures):
    """OSError for the failed read, then the reader goes on from where the
    failed read left it: at a boundary every event still arrives; inside an
    event the rest of the file is read from the failure's offset."""
    payload, probed, sizes = WD2_CASES[case]
    fail_at = boundaries(sizes)[event - 1] + offset
    path = write(tmp_path / "events.wd2", payload)
    result = run_child(fault_shim, path, "WD2", fail_at=fail_at, failures=failures)
    expected = expected_steps(lambda m: wd2_step(m, probed), ModelFile(payload, fail_at, failures), EIO_TEXT,
                              "OSError")
    assert result["steps"] == expected
    raised = [s for s in result["steps"] if "raised" in s]
    assert len(raised) == (1 if failures == 1 else 3)
    if offset == 0 and failures == 1:
        assert len(events_of(result["steps"])) == len(sizes)


@pytest.mark.parametrize("fail_at", [0, 10, 112 + 10], ids=["first-read", "first-header", "second-header"])
def test_wd2_probe_error_is_plain_oserror(fault_shim, tmp_path, fail_at):
    path = write(tmp_path / "events.wd2", wd2_bytes(WD2_MULTI))
    result = run_child(fault_shim, path, "WD2", fail_at=fail_at)
    assert result["steps"] == [{"raised": "OSError", "args": [EIO_TEXT], "errno": None}]
