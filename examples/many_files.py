"""Summarises a folder of event files in parallel: with concurrent.futures
worker processes, with a pool of threads in this process, and as a Dask bag,
and checks that all of them agree.

    python examples/many_files.py examples/data/run
    python examples/many_files.py /data/run42 --workers 8 --engine threads
    python examples/many_files.py /data/run42 --engine dask --progress always

Every .wd1 and .wd2 file under the folder (subfolders included) is read by one
task, in batches (pelvar.BatchReader); a task sends back only its file's small
summary, never the events, so the work spreads over processes (or, with a Dask
cluster, over machines) and memory stays bounded per file. Threads need no
second interpreter and nothing is pickled: BatchReader lets go of the
interpreter lock while it fills a batch, and NumPy does while it reduces one,
so threads reading different files run in parallel. A tqdm progress bar is
shown on long runs (many files or many bytes) or when asked for.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path

from eventtools import FileSummary, event_files, format_table, number, summarize_file

# A run counts as long, and gets a progress bar, from this many files or bytes.
LONG_RUN_FILES = 32
LONG_RUN_BYTES = 256 << 20


@dataclass(frozen=True)
class Outcome:
    """One file's result: its summary, or the error that stopped its reading."""

    path: str
    summary: FileSummary | None
    error: str | None


def run_one(path: str) -> Outcome:
    """The task of one file. Top-level, so that worker processes can import it."""
    try:
        return Outcome(path, summarize_file(path), None)
    except (OSError, ValueError) as error:
        return Outcome(path, None, f"{type(error).__name__}: {error}")


def with_pool(pool: Executor, name: str, paths: Sequence[str], progress: bool) -> list[Outcome]:
    from tqdm import tqdm

    results: dict[str, Outcome] = {}
    with pool:
        futures = [pool.submit(run_one, path) for path in paths]
        with tqdm(total=len(futures), desc=name, unit="file", disable=not progress, file=sys.stderr) as bar:
            for future in as_completed(futures):
                outcome = future.result()
                results[outcome.path] = outcome
                bar.update()
    return [results[path] for path in paths]


def with_futures(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    return with_pool(ProcessPoolExecutor(max_workers=workers), "futures", paths, progress)


def with_threads(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    return with_pool(ThreadPoolExecutor(max_workers=workers), "threads", paths, progress)


def with_dask(paths: Sequence[str], workers: int, progress: bool) -> list[Outcome]:
    import dask.bag as db
    from tqdm.dask import TqdmCallback

    partitions = max(1, min(len(paths), workers * 4))
    bag = db.from_sequence(paths, npartitions=partitions).map(run_one)  # type: ignore[no-untyped-call]  # unannotated
    if progress:
        with TqdmCallback(desc="dask", unit="task", file=sys.stderr):
            computed = bag.compute(scheduler="processes", num_workers=workers)
    else:
        computed = bag.compute(scheduler="processes", num_workers=workers)
    return list(computed)


ENGINES: dict[str, Callable[[Sequence[str], int, bool], list[Outcome]]] = {
    "futures": with_futures,
    "threads": with_threads,
    "dask": with_dask,
}
# --engine names more than one engine: "both" as it was before threads came, "all".
ENGINE_GROUPS = {"both": ["futures", "dask"], "all": list(ENGINES)}


def key_figures(outcome: Outcome) -> tuple[object, ...]:
    """What the engines must agree on, file by file."""
    s = outcome.summary
    if s is None:
        return (outcome.path, outcome.error)
    amplitudes = tuple((c, round(ch.amplitude.mean, 9)) for c, ch in s.channels.items())
    return (outcome.path, s.events, s.counters.first, s.counters.last, s.counters.missing, amplitudes)


def render(outcomes: Sequence[Outcome], root: Path) -> str:
    rows = []
    for o in outcomes:
        name = os.path.relpath(o.path, root)
        s = o.summary
        if s is None:
            rows.append([name, "-", "-", "-", "-", "-", "-", o.error or ""])
            continue
        counters = "-" if s.counters.first is None else f"{s.counters.first}..{s.counters.last}"
        amplitude = " ".join(f"{number(ch.amplitude.mean)}" for ch in s.channels.values())
        rows.append([name, s.reader_type, str(s.file_bytes), str(s.events), counters, str(s.counters.missing),
                     amplitude, ""])
    done = [o.summary for o in outcomes if o.summary is not None]
    rows.append(["total", "", str(sum(s.file_bytes for s in done)), str(sum(s.events for s in done)), "",
                 str(sum(s.counters.missing for s in done)), "", f"{len(outcomes) - len(done)} failed"])
    return format_table(["file", "format", "bytes", "events", "counters", "missing", "mean amplitude per channel",
                         "error"], rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder", type=Path, nargs="?", default=Path(__file__).resolve().parent / "data" / "run",
                        help="folder of .wd1/.wd2 files (default: the bundled examples/data/run)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes, or threads for --engine threads (default: %(default)s)")
    parser.add_argument("--engine", choices=[*ENGINES, *ENGINE_GROUPS], default="all",
                        help="futures (processes), threads, dask, both (futures and dask) or all "
                             "(default: %(default)s)")
    parser.add_argument("--progress", choices=["auto", "always", "never"], default="auto",
                        help=f"progress bar: always, never, or from {LONG_RUN_FILES} files or "
                             f"{LONG_RUN_BYTES >> 20} MiB on (default: %(default)s)")
    args = parser.parse_args(argv)
    paths = [str(p) for p in event_files(args.folder)]
    if not paths:
        print(f"no .wd1 or .wd2 files under {args.folder}", file=sys.stderr)
        return 1
    total_bytes = sum(os.path.getsize(p) for p in paths)
    long_run = len(paths) >= LONG_RUN_FILES or total_bytes >= LONG_RUN_BYTES
    progress = args.progress == "always" or (args.progress == "auto" and long_run)
    engines = ENGINE_GROUPS.get(args.engine, [args.engine])
    results: dict[str, list[Outcome]] = {}
    for engine in engines:
        start = time.perf_counter()
        results[engine] = ENGINES[engine](paths, max(1, args.workers), progress)
        seconds = time.perf_counter() - start
        print(f"{engine}: {len(paths)} files, {total_bytes / 1e6:.3g} MB in {seconds:.2f} s "
              f"with {args.workers} workers")
    first = results[engines[0]]
    print()
    print(render(first, args.folder))
    status = 0
    if len(engines) > 1:
        names = ", ".join(engines[:-1]) + " and " + engines[-1]
        figures = [[key_figures(o) for o in results[engine]] for engine in engines]
        if all(f == figures[0] for f in figures[1:]):
            print(f"\n{names} agree on every file")
        else:
            print(f"\n{names} DISAGREE", file=sys.stderr)
            status = 2
    if any(o.summary is None for o in first):
        status = status or 1
    return status


if __name__ == "__main__":
    raise SystemExit(main())
