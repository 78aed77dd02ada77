"""Threads and the borrow flag.

An EventReader carries no lock: ``__next__`` holds an exclusive borrow for its
whole call and ``__iter__`` a shared one for an instant, and a call that meets
a conflicting borrow fails at once with RuntimeError instead of waiting. So
however many threads share one reader, every event is delivered exactly once,
each thread sees the events in file order, and when the threads are done the
flag is free again.

Where the interpreter has a lock (a default build, or a free-threaded one
after ``import pelvar`` switched it back on) the threads interleave between
calls, and inside one only while the first NumPy lookup of the process runs
Python code. On a free-threaded build with PYTHON_GIL=0 they run in
parallel; those runs happen in a child interpreter so that the environment of
the test process does not matter, and they are skipped elsewhere.
"""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
import sys
import sysconfig
import threading
import time
from collections import Counter
from pathlib import Path

import pytest

import pelvar
from eventfiles import WD1Event, wd1_bytes, wd1_series, wd2_bytes, wd2_series, write

FREE_THREADED = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
needs_free_threading = pytest.mark.skipif(
    not FREE_THREADED, reason="needs a free-threaded CPython (Py_GIL_DISABLED)")

TESTS = Path(__file__).resolve().parent
CONFLICT = {"__next__": "Already borrowed", "__iter__": "Already mutably borrowed"}
THREADS = 8
DEADLINE_SECONDS = 30.0


# --- run in this process or in a child interpreter --------------------------

def digest(event: dict) -> str:
    """The whole event: every scalar entry in key order, and the samples."""
    h = hashlib.blake2b(digest_size=16)
    for key, value in event.items():
        if key == "data":
            h.update(f"data:{value.dtype.str}:{value.shape}:".encode())
            h.update(value.tobytes())
        else:
            h.update(f"{key}={value!r};".encode())
    return h.hexdigest()


def hammer(reader, threads: int = THREADS) -> dict:
    """Threads share one reader, calling __next__ and now and then __iter__
    until the reader is exhausted. Returns what each thread received and how
    often each call met a conflicting borrow."""
    start = threading.Barrier(threads)
    deadline = time.monotonic() + DEADLINE_SECONDS
    per_thread: list[dict | None] = [None] * threads

    def work(index: int) -> None:
        received: list[str] = []
        counts: Counter[str] = Counter()
        unexpected: list[str] = []
        start.wait()
        step = 0
        while True:
            if time.monotonic() > deadline:
                unexpected.append("no end of the events before the deadline")
                break
            step += 1
            if (step + index) % 3 == 0:
                try:
                    same = reader.__iter__()
                except RuntimeError as error:
                    if str(error) == CONFLICT["__iter__"]:
                        counts["__iter__ conflict"] += 1
                    else:
                        unexpected.append(f"__iter__: {error!r}")
                except BaseException as error:  # noqa: BLE001 - reported to the test
                    unexpected.append(f"__iter__: {error!r}")
                else:
                    counts["__iter__"] += 1
                    if same is not reader:
                        unexpected.append("__iter__ returned another object")
                continue
            try:
                event = reader.__next__()
            except StopIteration:
                break
            except RuntimeError as error:
                if str(error) == CONFLICT["__next__"]:
                    counts["__next__ conflict"] += 1
                    continue
                unexpected.append(f"__next__: {error!r}")
                break
            except BaseException as error:  # noqa: BLE001 - reported to the test
                unexpected.append(f"__next__: {error!r}")
                break
            counts["event"] += 1
            received.append(digest(event))
        per_thread[index] = {"received": received, "counts": dict(counts), "unexpected": unexpected}

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()

    # Afterwards the flag must be free: a held or miscounted borrow would make
    # these calls fail with "Already borrowed".
    after: list[str] = []
    try:
        if iter(reader) is not reader:
            after.append("iter() returned another object")
        leftover = list(reader)
        if leftover:
            after.append(f"{len(leftover)} events after every thread saw the end")
    except BaseException as error:  # noqa: BLE001 - reported to the test
        after.append(repr(error))
    return {"threads": per_thread, "after": after}


def own_readers(path: str, reader_type: str, threads: int = THREADS, rounds: int = 3) -> dict:
    """Each thread opens, reads out and drops its own readers."""
    start = threading.Barrier(threads)
    per_thread: list[dict | None] = [None] * threads

    def work(index: int) -> None:
        readings: list[list[str]] = []
        unexpected: list[str] = []
        start.wait()
        for _ in range(rounds):
            try:
                readings.append([digest(event) for event in pelvar.EventReader(path, reader_type)])
            except BaseException as error:  # noqa: BLE001 - reported to the test
                unexpected.append(repr(error))
        per_thread[index] = {"readings": readings, "unexpected": unexpected}

    workers = [threading.Thread(target=work, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return {"threads": per_thread}


def gil_state() -> bool | None:
    is_enabled = getattr(sys, "_is_gil_enabled", None)
    return None if is_enabled is None else is_enabled()


def child_main(arguments: list[str]) -> None:
    """python test_threads.py hammer|own_readers PATH TYPE ROUNDS"""
    task, path, reader_type, rounds = arguments[0], arguments[1], arguments[2], int(arguments[3])
    runs = []
    for round_number in range(2 * rounds):
        if task == "hammer":
            run = hammer(pelvar.EventReader(path, reader_type))
            runs.append(run)
            if run["after"] or any(t["unexpected"] for t in run["threads"]):
                break  # the test reports it
            # At least ROUNDS runs, and more (up to twice as many) until the
            # borrow flag has been contended.
            contended = any(c.endswith("conflict") for r in runs for t in r["threads"] for c in t["counts"])
            if round_number + 1 >= rounds and contended:
                break
        else:
            runs.append(own_readers(path, reader_type))
            if round_number + 1 >= rounds:
                break
    json.dump({"gil_enabled": gil_state(), "runs": runs}, sys.stdout)


# --- the tests -----------------------------------------------------------------

def run_child(arguments: list[str], python_gil: str | None, *extra: str) -> subprocess.CompletedProcess:
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    if python_gil is not None:
        env["PYTHON_GIL"] = python_gil
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), env.get("PYTHONPATH")]))
    process = subprocess.run([sys.executable, *extra, *arguments], env=env, capture_output=True, text=True,
                             timeout=300)
    # A crash shows as a negative return code (the signal) with its output.
    assert process.returncode == 0, f"child exited with {process.returncode}\n{process.stderr}"
    return process


@pytest.fixture(params=["WD1", "WD2"])
def event_file(request, tmp_path):
    """A file of many events of a few hundred samples each, and the digests
    that a plain sequential read gives, in file order."""
    if request.param == "WD1":
        events = wd1_series(1500, 300, seed=11)
        path = write(tmp_path / "many.wd1", wd1_bytes(events))
    else:
        events = wd2_series(1200, 2, 150, seed=12)
        path = write(tmp_path / "many.wd2", wd2_bytes(events))
    reference = list(pelvar.EventReader(str(path), request.param))
    assert [e["event_counter"] for e in reference] == [e.event_counter for e in events]
    return str(path), request.param, [digest(e) for e in reference]


def check_shared_reader(run: dict, reference: list[str]) -> Counter:
    """Exactly-once delivery, file order per thread, nothing but the two
    conflict errors, and a free flag afterwards. Returns the call counts."""
    position = {d: i for i, d in enumerate(reference)}
    assert len(position) == len(reference), "the test file has two identical events"
    totals: Counter[str] = Counter()
    everything: list[str] = []
    for index, thread in enumerate(run["threads"]):
        assert thread["unexpected"] == [], f"thread {index}"
        received = thread["received"]
        assert all(d in position for d in received), f"thread {index} got an event that is not in the file"
        order = [position[d] for d in received]
        assert order == sorted(order), f"thread {index} saw the events out of file order"
        everything += received
        totals.update(thread["counts"])
    counts = Counter(everything)
    duplicated = [position[d] for d, n in counts.items() if n > 1]
    lost = [i for i, d in enumerate(reference) if d not in counts]
    assert duplicated == [] and lost == [], f"duplicated events {duplicated[:10]}, lost events {lost[:10]}"
    assert run["after"] == []
    return totals


def check_own_readers(run: dict, reference: list[str]) -> None:
    for index, thread in enumerate(run["threads"]):
        assert thread["unexpected"] == [], f"thread {index}"
        for reading in thread["readings"]:
            assert reading == reference, f"thread {index} read the file differently"


def test_shared_reader_in_this_process(event_file):
    """Threads switched as often as the interpreter allows (with the lock), or
    running in parallel (a free-threaded build run with PYTHON_GIL=0)."""
    path, reader_type, reference = event_file
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        run = hammer(pelvar.EventReader(path, reader_type))
    finally:
        sys.setswitchinterval(interval)
    totals = check_shared_reader(run, reference)
    assert totals["event"] == len(reference)


def test_own_readers_in_this_process(event_file):
    path, reader_type, reference = event_file
    check_own_readers(own_readers(path, reader_type), reference)


def test_reader_reads_on_after_the_threads(tmp_path):
    """After a contended run a WD1 reader still steps: an event appended to
    the file after the end is delivered (the flag and the reader's position
    survived the threads)."""
    events = wd1_series(400, 64, seed=13)
    path = write(tmp_path / "grow.wd1", wd1_bytes(events))
    reader = pelvar.EventReader(str(path), "WD1")
    run = hammer(reader, threads=4)
    check_shared_reader(run, [digest(e) for e in pelvar.EventReader(str(path), "WD1")])
    with open(path, "ab") as f:
        f.write(WD1Event(samples=[1, 2, 3], event_counter=4000).to_bytes())
    appended = next(reader)
    assert appended["event_counter"] == 4000 and appended["data"].tolist() == [1, 2, 3]
    assert next(reader, None) is None


@needs_free_threading
@pytest.mark.parametrize("python_gil, x_option, gil_after", [
    (None, (), True),            # the module declares it needs the lock
    ("0", (), False),            # the user forced it off
    (None, ("-X", "gil=0"), False),
], ids=["default", "PYTHON_GIL=0", "-Xgil=0"])
def test_import_switches_the_lock_back_on(python_gil, x_option, gil_after):
    code = "import sys; before = sys._is_gil_enabled(); import pelvar; print(before, sys._is_gil_enabled())"
    process = run_child(["-c", code], python_gil, *x_option)
    assert process.stdout.split() == ["False", str(gil_after)]
    # The interpreter says why it switched the lock on, naming the module.
    assert ("GIL" in process.stderr and "'pelvar'" in process.stderr) == gil_after, process.stderr


@needs_free_threading
@pytest.mark.parametrize("python_gil", ["0", None], ids=["PYTHON_GIL=0", "GIL-after-import"])
def test_shared_reader_in_parallel(event_file, python_gil):
    path, reader_type, reference = event_file
    process = run_child([str(TESTS / "test_threads.py"), "hammer", path, reader_type, "12"], python_gil)
    result = json.loads(process.stdout)
    assert result["gil_enabled"] is (python_gil is None)
    totals: Counter[str] = Counter()
    for run in result["runs"]:
        totals += check_shared_reader(run, reference)
    if python_gil == "0":
        # Otherwise the runs proved nothing about the flag.
        assert totals["__next__ conflict"] + totals["__iter__ conflict"] > 0, totals


@needs_free_threading
def test_own_readers_in_parallel(event_file):
    """Different readers share no state a caller can see (only process-wide
    caches of memory blocks): no conflict errors at all, and each
    thread reads the whole file. A fresh interpreter, so that the threads'
    first events also race for the one-time NumPy lookup."""
    path, reader_type, reference = event_file
    process = run_child([str(TESTS / "test_threads.py"), "own_readers", path, reader_type, "1"], "0")
    result = json.loads(process.stdout)
    assert result["gil_enabled"] is False
    for run in result["runs"]:
        check_own_readers(run, reference)


if __name__ == "__main__":
    child_main(sys.argv[1:])


DAEMON_AT_EXIT = r"""
import sys, threading, pelvar
path = sys.argv[1]

def churn():
    # Events of 2 KB go through the kept sample blocks, batches through the
    # block pool: arrays made and freed until the process is gone.
    while True:
        for event in pelvar.EventReader(path, "WD1"):
            del event
        for batch in pelvar.BatchReader(path, "WD1", 7):
            del batch

for _ in range(2):
    threading.Thread(target=churn, daemon=True).start()
for batch in pelvar.BatchReader(path, "WD1", 3):
    pass
print("exiting")
"""


@pytest.mark.skipif(FREE_THREADED and sys.version_info < (3, 14) and sys._is_gil_enabled(),
                    reason="a free-threaded CPython 3.13 with the lock on lets daemon threads run on with freed "
                           "thread states at exit, pure Python ones too (CPython gh-124878)")
def test_daemon_threads_freeing_arrays_at_exit(tmp_path):
    """Threads still reading and freeing arrays while the process exits:
    the process-wide block caches outlive them, so the exit is clean."""
    path = write(tmp_path / "events", wd1_bytes(wd1_series(50, 1024, seed=5)))
    for _ in range(5):
        # (-W: the free-threaded build's warning that the import enabled the lock)
        done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", DAEMON_AT_EXIT, str(path)],
                              capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "exiting\n", "")


# A daemon thread whose step makes a dictionary (an event's or a batch's) at
# exit: making it runs a collection, whose finalizer lets go of the
# interpreter lock while the interpreter is finalized; before CPython 3.14
# taking it back ends the thread by unwinding its stack, through the step.
DAEMON_COLLECTING_AT_EXIT = r"""
import gc, sys, threading, time, types, numpy, pelvar
path, reader_class = sys.argv[1], sys.argv[2]
inside = threading.Event()

class Cycle:
    def __init__(self):
        self.me = self

    def __del__(self, sleep=time.sleep):
        inside.set()
        sleep(0.3)

def daemon():
    reader = pelvar.EventReader(path, "WD1") if reader_class == "EventReader" else pelvar.BatchReader(path, "WD1", 1)
    next(reader)
    keep = [{} for _ in range(200)]  # empties the free list of dictionaries
    Cycle()
    gc.set_threshold(1)
    gc.enable()
    next(reader)  # the collection runs Cycle.__del__ in here

class Slow:
    # Keeps the finalization going while the daemon thread waits for the lock.
    def __del__(self, sleep=time.sleep):
        sleep(1.0)

holder = types.ModuleType("holder")
holder.slow = Slow()
sys.modules["holder"] = holder
del holder
gc.disable()
threading.Thread(target=daemon, daemon=True).start()
inside.wait()
"""


@pytest.mark.skipif(sys.version_info >= (3, 14), reason="CPython 3.14 no longer ends threads at exit by unwinding")
@pytest.mark.skipif(FREE_THREADED and sys.version_info < (3, 14) and sys._is_gil_enabled(),
                    reason="a free-threaded CPython 3.13 with the lock on lets daemon threads run on with freed "
                           "thread states at exit, pure Python ones too (CPython gh-124878)")
@pytest.mark.skipif(FREE_THREADED, reason="the free-threaded collector does not run at the threshold this child sets, "
                                          "so the unwind cannot be placed inside a step")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps the redzones of the frames that the forced unwind ends, and "
                           "reports the parked thread's next calls over them")
@pytest.mark.parametrize("reader_class", ["EventReader", "BatchReader"])
def test_daemon_thread_ended_inside_a_step_at_exit(tmp_path, reader_class):
    """The unwinding that ends the thread reaches the step's own guard, which
    lets the thread wait for the process end: the exit is clean."""
    path = write(tmp_path / "events", wd1_bytes(wd1_series(5, 4)))
    for _ in range(2):
        done = subprocess.run([sys.executable, "-W", "ignore::RuntimeWarning", "-c", DAEMON_COLLECTING_AT_EXIT,
                               str(path), reader_class], capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, "")
