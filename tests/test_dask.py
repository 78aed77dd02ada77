"""A Dask DataFrame over BatchReader.partitions (examples/dask_partitions.py)
on a local cluster of two worker processes: it computes what one plain read
computes, Dask's column projection narrows the readers on the workers, and
`.loc[k]` reads only the partition that holds event k.

Skipped where dask.distributed (or the DataFrame's pandas and pyarrow)
cannot be imported: the free-threaded interpreters, where Dask's cluster
has had no wheels to install from.
"""

from __future__ import annotations

import importlib
import logging
import math
import os
import sys
from pathlib import Path

import numpy as np
import pytest

import pelvar
from eventfiles import WD1Event, WD2Event, wd1_bytes, wd2_bytes, write

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def missing_module() -> str | None:
    for name in ("dask.distributed", "dask.dataframe", "pandas", "pyarrow"):
        try:
            importlib.import_module(name)
        except ImportError as error:
            return f"{name} cannot be imported here ({error})"
    return None


MISSING = missing_module()
pytestmark = pytest.mark.skipif(MISSING is not None, reason=str(MISSING))

# Small partitions, so that a file of a few MB has a dozen of them.
PARTITION_BYTES = 256 << 10


@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, str(EXAMPLES))
    return importlib.import_module("dask_partitions")


@pytest.fixture(scope="module")
def client(example):
    from dask.distributed import Client, LocalCluster

    # The workers are new interpreters: they import the example from where this one does.
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("PYTHONPATH", str(EXAMPLES), prepend=os.pathsep)
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                               silence_logs=logging.ERROR)
    with cluster, Client(cluster) as connected:
        yield connected


def event_file(folder: Path, reader_type: str) -> Path:
    """A few MB of events: samples of varying counts (none in some), time
    stamps that repeat and jump, counters with gaps."""
    rng = np.random.default_rng(23)
    if reader_type == "WD1":
        stamps = np.cumsum(rng.integers(0, 3, 3000) * rng.integers(1, 5000, 3000))
        events = [WD1Event(samples=rng.integers(0, 4096, int(size), dtype=np.uint16), board_channel=i % 4,
                           event_counter=i // 4 + i // 200, timestamp=int(stamp))
                  for i, (size, stamp) in enumerate(zip(rng.integers(0, 800, 3000), stamps))]
        return write(folder / "run.wd1", wd1_bytes(events))
    stamps = 1_700_000_000_000 + np.cumsum(rng.integers(50_000, 400_000, 1500))
    events = [WD2Event(values=rng.normal(0.0, 1.0, 2 * samples).astype(np.float32), event_counter=i + i // 100,
                       timestamp=int(stamp), samples=samples, sampling_period=1000, channels=2)
              for i, stamp in enumerate(stamps) for samples in [0 if i % 97 == 50 else 200]]
    return write(folder / "run.wd2", wd2_bytes(events))


@pytest.fixture(scope="module", params=["WD1", "WD2"])
def sample(request, tmp_path_factory, example):
    path = event_file(tmp_path_factory.mktemp("dask"), request.param)
    frame, parts = example.event_frame(str(path), request.param, PARTITION_BYTES)
    return str(path), request.param, frame, parts


def reference(path: str, reader_type: str) -> tuple[np.ndarray, np.ndarray, list[dict]]:
    """Time stamps, peaks and headers of every event, one event at a time."""
    events = list(pelvar.EventReader(path, reader_type))
    peaks = np.array([float(e["data"].max()) if e["data"].size else math.nan for e in events])
    return (np.array([e["timestamp"] for e in events], dtype=np.int64), peaks,
            [{k: v for k, v in e.items() if k != "data"} for e in events])


def test_the_cluster_computes_what_one_read_computes(client, example, sample):
    path, reader_type, frame, parts = sample
    stamps, peaks, _ = reference(path, reader_type)
    assert len(parts) >= 8
    assert frame.divisions == (*(p.event_range[0] for p in parts), len(stamps) - 1)
    middle = parts[len(parts) // 2].event_range[0] + 1
    got = example.dask_figures(frame, reader_type, 16, middle)
    assert example.disagreements(got, example.local_figures(path, reader_type, got.edges, middle)) == []
    # and against figures made here, event by event
    assert got.events == len(stamps)
    assert np.array_equal(got.counts, np.histogram(np.diff(stamps), bins=got.edges)[0])
    assert got.counts.sum() == len(stamps) - 1
    assert np.array_equal(got.peaks, peaks, equal_nan=True) and np.isnan(peaks).any()


def reading_tasks(example, collection) -> list[tuple[pelvar.BatchReader, dict]]:
    """The partition reader and the keywords of each task of the graph that reads the file."""
    graph = collection.optimize(fuse=False).__dask_graph__()
    return [(task.args[0], task.kwargs) for key, task in graph.items()
            if isinstance(key, tuple) and str(key[0]).startswith(example.FRAME_LABEL)]


def test_column_projection_reaches_the_workers_readers(client, example, sample):
    path, reader_type, frame, parts = sample
    stamps, peaks, _ = reference(path, reader_type)
    for selected, read in [(["timestamp"], ["timestamp"]), (["peak"], ["data"]),
                           (["values", "event_counter"], ["event_counter", "data"])]:
        tasks = reading_tasks(example, frame[selected])
        assert [reader for reader, _ in tasks] == parts
        assert all(sorted(keywords["columns"]) == sorted(selected) for _, keywords in tasks)
        assert example.reader_columns(selected, reader_type) == read
        batch_keys = tuple(name for name in read if name != "data") + (("offsets", "data") if "data" in read else ())
        narrowed = parts[1].with_columns(read)
        assert narrowed.columns == batch_keys
        assert (narrowed.event_range, narrowed.byte_range) == (parts[1].event_range, parts[1].byte_range)
    narrowed = frame[["timestamp"]].compute()
    assert list(narrowed.columns) == ["timestamp"]
    assert np.array_equal(narrowed["timestamp"].to_numpy().astype(np.int64), stamps)
    assert np.array_equal(frame["peak"].compute().to_numpy(), peaks, equal_nan=True)


def test_loc_reads_only_the_partition_of_the_event(client, example, sample):
    path, reader_type, frame, parts = sample
    _, _, headers = reference(path, reader_type)
    border = parts[3].event_range[0]
    for event in [0, border - 1, border, len(headers) - 1]:
        holder = next(p for p in parts if p.event_range[0] <= event < p.event_range[1])
        assert [reader for reader, _ in reading_tasks(example, frame.loc[event])] == [holder]
    row = frame.loc[border].compute()
    assert list(row.index) == [border]
    assert {k: int(v) for k, v in row.iloc[0].items() if k in headers[border]} == headers[border]
