#!/usr/bin/env python3
"""Two or more builds of pelvar side by side, on the same files.

    python bench/compare.py [--rounds N] [--size-mib M] [--workloads KEY,...]
                            [--dir PATH] NAME=REVISION_OR_FOLDER ...

    python bench/compare.py old=89a57af new=HEAD

Each NAME=... is a git revision of this checkout (built into a folder of its
own with pip) or a folder that already holds a built `pelvar` module. Every
round runs each build once, in a fresh process and in a rotated order, over
bench/run.py's workload files (written once, kept warm in the page cache),
through the event path (EventReader) and the batch path (BatchReader) as
--paths says. It prints, per workload and path, the events per second of the
reading thread's CPU time as the median with [min, max], and each build's
median and slowest round over the first's.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
sys.path.insert(0, str(BENCH_DIR))

import plain_reader  # noqa: E402
from run import MIB, WORKLOADS, write_events  # noqa: E402

# Run in a fresh process with one build first on the path: reads each file
# once and reports events per CPU second of this thread.
PROBE = r"""
import json, sys, time, pelvar
import numpy  # imported by the first array otherwise, inside the first timing
files, paths = json.loads(sys.argv[1]), json.loads(sys.argv[2])

def read_events(path, reader_type):
    return sum(1 for _ in pelvar.EventReader(path, reader_type))

def read_batches(path, reader_type):
    return sum(len(batch["offsets"]) - 1 for batch in pelvar.BatchReader(path, reader_type))

readers = {"event": read_events, "batch": read_batches}
rates = {"module": pelvar.__file__}
for key, (path, reader_type, count) in files.items():
    for name in paths:
        started = time.thread_time()
        events = readers[name](path, reader_type)
        elapsed = time.thread_time() - started
        assert events == count, (key, name, events, count)
        rates[f"{key} {name}"] = events / elapsed
print(json.dumps(rates))
"""


def build(name: str, what: str, directory: Path) -> Path:
    """A folder holding the module: `what` itself, or revision `what` built."""
    if Path(what).is_dir():
        return Path(what).resolve()
    target = directory / f"module-{name}"
    source = directory / f"source-{name}"
    if not target.exists():
        subprocess.run(["git", "-C", str(REPO), "worktree", "add", "--detach", str(source), what],
                       check=True, capture_output=True)
        try:
            subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-deps", "--target", str(target),
                            str(source)], check=True)
        finally:
            subprocess.run(["git", "-C", str(REPO), "worktree", "remove", "--force", str(source)], check=True)
    return target


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("builds", nargs="+", metavar="NAME=REVISION_OR_FOLDER")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--size-mib", type=float, default=64)
    parser.add_argument("--workloads", default=None, help="comma-separated workload keys (default: all)")
    parser.add_argument("--paths", default="event,batch", help="event, batch or both (default)")
    parser.add_argument("--dir", default=None, help="folder for builds and files (default: a new temporary one)")
    args = parser.parse_args()
    builds = dict(entry.split("=", 1) for entry in args.builds)
    chosen = args.workloads.split(",") if args.workloads else [w.key for w in WORKLOADS]

    with tempfile.TemporaryDirectory(prefix="pelvar-compare-") as scratch:
        directory = Path(args.dir or scratch)
        directory.mkdir(parents=True, exist_ok=True)
        folders = {name: build(name, what, directory) for name, what in builds.items()}
        files = {}
        for workload in (w for w in WORKLOADS if w.key in chosen):
            path = directory / f"{workload.key}.bin"
            count = max(2, int(args.size_mib * MIB) // workload.event_bytes)
            if not path.exists() or path.stat().st_size != count * workload.event_bytes:
                write_events(path, workload, count)
            plain_reader.read_bandwidth(str(path))  # into the page cache
            files[workload.key] = (str(path), workload.reader_type, count)

        names = list(folders)
        paths = args.paths.split(",")
        keys = [f"{key} {path}" for key in files for path in paths]
        rates = {name: {key: [] for key in keys} for name in names}
        for round_number in range(args.rounds):
            shift = round_number % len(names)
            for name in names[shift:] + names[:shift]:
                env = dict(os.environ, PYTHONPATH=str(folders[name]))
                done = subprocess.run([sys.executable, "-c", PROBE, json.dumps(files), json.dumps(paths)], env=env,
                                      check=True, capture_output=True, text=True)
                got = json.loads(done.stdout)
                if not got.pop("module").startswith(str(folders[name])):
                    raise SystemExit(f"{name}: another pelvar was imported than the one in {folders[name]}")
                for key, rate in got.items():
                    rates[name][key].append(rate)
            print(f"round {round_number + 1}/{args.rounds}, load {os.getloadavg()[0]:.1f}", file=sys.stderr)

    # Each build over the first: the medians, and the slowest rounds (where
    # a cost that only some processes pay shows).
    first = names[0]
    print("| workload, path | " + " | ".join(f"{n}, Mev/s" for n in names) + " | "
          + " | ".join(f"{n} / {first}, median; slowest" for n in names[1:]) + " |")
    print("|---" * (2 * len(names)) + "|")
    for key in keys:
        cells = [f"{statistics.median(rates[n][key]) / 1e6:.3g} [{min(rates[n][key]) / 1e6:.3g}, "
                 f"{max(rates[n][key]) / 1e6:.3g}]" for n in names]
        ratios = [f"{statistics.median(rates[n][key]) / statistics.median(rates[first][key]):.3f}; "
                  f"{min(rates[n][key]) / min(rates[first][key]):.3f}" for n in names[1:]]
        print(f"| {key} | " + " | ".join(cells + ratios) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
