"""Where the events come from: every kind of source a BatchReader takes (paths,
compressed files, memory, file objects, pipes, HTTP) gives the batches, and the
exceptions at the same places, that a path to the same bytes gives."""

from __future__ import annotations

import gzip
import http.server
import importlib
import io
import mmap
import os
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelvar
from eventfiles import no_descriptor_leak, wd1_bytes, wd1_series, wd2_bytes, wd2_series

BatchReader = pelvar.BatchReader


# Each codec's module: a CPython built without a library lacks its module,
# and zstd comes from the standard library from 3.14, else from zstandard.
CODEC_MODULES = {"gzip": (".gz", ["gzip"]), "bz2": (".bz2", ["bz2"]), "xz": (".xz", ["lzma"]),
                 "zstd": (".zst", ["compression.zstd", "zstandard"])}


def codec_module(names):
    for name in names:
        try:
            return importlib.import_module(name)
        except ImportError:
            pass
    return None


CODECS = {codec: (suffix, module.compress) for codec, (suffix, names) in CODEC_MODULES.items()
          if (module := codec_module(names)) is not None}


@pytest.mark.parametrize("codec", sorted(CODEC_MODULES))
def test_codec_available(codec):
    """Says which codecs this interpreter lacks: their cases below are left out."""
    if codec not in CODECS:
        pytest.skip(f"{codec}: none of {CODEC_MODULES[codec][1]} can be imported here; its cases do not run")


def outcome(reader, steps: int = 64) -> list:
    """What a reader gives, call by call: each batch's arrays as bytes, each
    exception as its type and text; reading goes on after an exception."""
    got = []
    if callable(reader):
        try:
            reader = reader()
        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
            return [("opening", type(e).__name__, str(e))]
    for _ in range(steps):
        try:
            batch = next(reader)
        except StopIteration:
            break
        except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
            got.append((type(e).__name__, str(e)))
            continue
        got.append({key: (array.dtype.str, array.tobytes()) for key, array in batch.items()})
    return got


class ShortReads(io.RawIOBase):
    """A binary file object whose reads come in pieces of the given lengths, in turn."""

    def __init__(self, payload: bytes, lengths):
        self.stream, self.lengths, self.calls = io.BytesIO(payload), list(lengths), 0

    def readable(self):
        return True

    def readinto(self, buffer):
        length = self.lengths[self.calls % len(self.lengths)]
        self.calls += 1
        piece = self.stream.read(min(length, len(buffer)))
        buffer[:len(piece)] = piece
        return len(piece)


class ReadOnly:
    """An object with read() and nothing else: no readinto, no seekable."""

    def __init__(self, payload: bytes):
        self.stream = io.BytesIO(payload)

    def read(self, n):
        return self.stream.read(min(n, 999))


class BytesPath:
    def __init__(self, path: bytes):
        self.path = path

    def __fspath__(self):
        return self.path


def sources(tmp_path: Path, payload: bytes):
    """Every kind of source over `payload`, by name: (source, keywords)."""
    path = tmp_path / "events.bin"
    path.write_bytes(payload)
    yield "str", str(path), {}
    yield "pathlike", path, {}
    yield "fspath-bytes", BytesPath(os.fsencode(path)), {}
    yield "bytes", payload, {}
    yield "bytearray", bytearray(payload), {}
    yield "memoryview", memoryview(payload), {}
    yield "numpy", np.frombuffer(payload, dtype=np.uint8), {}
    if payload:
        with open(path, "rb") as f:
            yield "mmap", mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ), {}
    with open(path, "rb") as f:
        yield "open", f, {}
    with open(path, "rb", buffering=0) as f:
        yield "raw-file", f, {}
    yield "bytesio", io.BytesIO(payload), {}
    yield "short-reads", ShortReads(payload, [1, 3, 24, 25, 4097, 7]), {}
    yield "read-only", ReadOnly(payload), {}
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
        yield "pipe", cat.stdout, {}
    for codec, (suffix, compress) in CODECS.items():
        packed = tmp_path / ("events.bin" + suffix)
        packed.write_bytes(compress(payload))
        yield f"{codec}-inferred", packed, {}
        yield f"{codec}-named", io.BytesIO(packed.read_bytes()), {"compression": codec}


@st.composite
def event_files(draw):
    """Whole, cut and damaged files of both formats, and the limits to read them with."""
    reader_type = draw(st.sampled_from(["WD1", "WD2"]))
    count, samples, seed = draw(st.integers(0, 30)), draw(st.integers(0, 3000)), draw(st.integers(0, 99))
    if reader_type == "WD1":
        payload = wd1_bytes(wd1_series(count, samples, seed=seed))
    else:
        payload = wd2_bytes(wd2_series(count, draw(st.sampled_from([1, 2, 3])), samples, seed=seed))
    payload = bytearray(payload)
    if payload and draw(st.booleans()):
        del payload[draw(st.integers(0, len(payload) - 1)):]
    if len(payload) >= 4 and draw(st.booleans()):
        at = draw(st.integers(0, len(payload) // 4 - 1)) * 4
        payload[at:at + 4] = draw(st.binary(min_size=4, max_size=4))
    limits = {"max_events": draw(st.integers(1, 40)), "max_bytes": draw(st.sampled_from([1, 500, 1 << 16, 1 << 26]))}
    return reader_type, bytes(payload), limits


@settings(max_examples=25, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture,
                                 HealthCheck.data_too_large])
@given(case=event_files())
def test_every_source_reads_as_the_path(tmp_path_factory, case):
    reader_type, payload, limits = case
    tmp_path = tmp_path_factory.mktemp("sources")
    path = tmp_path / "plain.bin"
    path.write_bytes(payload)
    expected = outcome(lambda: BatchReader(str(path), reader_type, **limits))
    for name, source, keywords in sources(tmp_path, payload):
        assert outcome(lambda: BatchReader(source, reader_type, **limits, **keywords)) == expected, name


@pytest.fixture(scope="module")
def wd1_payload():
    return wd1_bytes(wd1_series(300, 40, seed=3))


@pytest.mark.parametrize("length", [1, 2, 23, 24, 25, 4095, 8192, 65536])
def test_short_reads_of_every_length(wd1_payload, length):
    expected = outcome(BatchReader(wd1_payload, "WD1", 50))
    assert outcome(BatchReader(ShortReads(wd1_payload, [length]), "WD1", 50)) == expected


class RaisesOnce(ShortReads):
    """Raises its own exception at one call, then reads on."""

    def __init__(self, payload, at, error):
        super().__init__(payload, [1000])
        self.at, self.error = at, error

    def readinto(self, buffer):
        if self.calls == self.at:
            self.calls += 1
            raise self.error
        return super().readinto(buffer)


def test_an_exception_of_the_source_at_each_call(wd1_payload):
    """The events before it come out as a batch, then the very exception, and
    the reading goes on where it stood: no event is lost or repeated."""
    every = np.concatenate([b["event_counter"] for b in BatchReader(wd1_payload, "WD1")])
    calls = ShortReads(wd1_payload, [1000])
    list(BatchReader(calls, "WD1", 40))
    for at in range(calls.calls):
        error = KeyError(f"source failed at call {at}")
        reader = BatchReader(RaisesOnce(wd1_payload, at, error), "WD1", 40)
        delivered, raised = [], []
        while True:
            try:
                delivered.append(next(reader)["event_counter"])
            except StopIteration:
                break
            except KeyError as e:
                raised.append(e)
        assert len(raised) == 1 and raised[0] is error, at
        assert np.array_equal(np.concatenate(delivered), every), at


class Misbehaving(io.RawIOBase):
    def __init__(self, result):
        self.result = result

    def readable(self):
        return True

    def readinto(self, buffer):
        return self.result(buffer)


class StrReader:
    def read(self, n):
        return "text"


@pytest.mark.parametrize("make, cls, text", [
    (lambda p: open(p), TypeError, "text-mode file object"),
    (lambda p: 12, TypeError, "expected a path (str or os.PathLike), an object with the buffer protocol"),
    (lambda p: object(), TypeError, "or a binary file object (with readinto() or read()), got 'object'"),
    (lambda p: np.zeros(100, np.uint8)[::2], ValueError, "is not C-contiguous"),
], ids=["text-mode", "int", "object", "strided"])
def test_refused_sources(tmp_path, make, cls, text):
    path = tmp_path / "f"
    path.write_bytes(b"")
    with no_descriptor_leak():
        with pytest.raises(cls, match=text.replace("(", r"\(").replace(")", r"\)")):
            source = make(path)
            try:
                BatchReader(source, "WD1")
            finally:
                if hasattr(source, "close"):
                    source.close()


@pytest.mark.parametrize("source, cls, text", [
    (Misbehaving(lambda b: None), TypeError, "returned None: a non-blocking file object"),
    (Misbehaving(lambda b: len(b) + 1), ValueError, "but at most"),
    (Misbehaving(lambda b: -1), ValueError, "a negative count"),
    (Misbehaving(lambda b: "3"), TypeError, "returned 'str', not an int"),
    (StrReader(), TypeError, "returned str, not bytes"),
], ids=["none", "too-many", "negative", "str-count", "str-data"])
def test_reads_that_break_the_rules(source, cls, text):
    reader = BatchReader(source, "WD1")
    for _ in range(2):  # and again: the same clear exception, no misread
        with pytest.raises(cls, match=text):
            next(reader)


@pytest.mark.parametrize("compression", ["lz4", 1, "GZIP"])
def test_unknown_compression(wd1_payload, compression):
    with pytest.raises(ValueError, match=r"argument 'compression': expected 'infer', None, 'gzip', 'bz2', 'xz' or 'zstd'"):
        BatchReader(wd1_payload, "WD1", compression=compression)


def test_compression_none_reads_the_bytes_as_they_are(tmp_path, wd1_payload):
    path = tmp_path / "raw.gz"  # not compressed, whatever the name says
    path.write_bytes(wd1_payload)
    assert outcome(BatchReader(path, "WD1", compression=None)) == outcome(BatchReader(wd1_payload, "WD1"))


def test_a_missing_zstd_module_names_the_package(tmp_path, wd1_payload):
    script = ("import sys, pelvar\n"
              "sys.modules.update({'compression': None, 'compression.zstd': None, 'zstandard': None})\n"
              "try:\n    pelvar.BatchReader(sys.argv[1], 'WD1')\n"
              "except ModuleNotFoundError as e:\n    print(e)\n")
    path = tmp_path / "f.zst"
    path.write_bytes(b"\x28\xb5\x2f\xfd")
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, check=True)
    assert "pip install zstandard" in done.stdout


@pytest.mark.parametrize("codec", sorted(CODECS))
def test_a_damaged_compressed_file_raises_the_codecs_error(tmp_path, wd1_payload, codec):
    """The codec's own exception, after whatever events came before the damage."""
    suffix, compress = CODECS[codec]
    packed = bytearray(compress(wd1_payload))
    packed[len(packed) // 2:] = b"\xAA" * (len(packed) - len(packed) // 2)
    path = tmp_path / ("f" + suffix)
    path.write_bytes(packed)
    got = outcome(lambda: BatchReader(path, "WD1", 50), steps=8)
    raised = [step for step in got if isinstance(step, tuple)]
    assert raised, got
    with pytest.raises(Exception) as caught:  # noqa: PT011 - whichever the codec raises
        list(BatchReader(path, "WD1", 50 << 20))
    assert type(caught.value).__module__.split(".")[0] in (
        "builtins", "gzip", "_lzma", "lzma", "_bz2", "bz2", "zlib", "zstandard", "compression", "_zstd"), caught.value


def test_the_reader_holds_the_buffer_and_leaves_file_objects_open(tmp_path, wd1_payload):
    data = bytearray(wd1_payload)
    reader = BatchReader(data, "WD1")
    with pytest.raises(BufferError):
        data.extend(b"x")  # cannot move under the reader
    batches = list(reader)
    del reader
    data.extend(b"x")
    assert all(batch["data"].base is not None for batch in batches)  # the arrays own copies
    data[:] = b""
    assert np.array_equal(np.concatenate([b["event_counter"] for b in batches]), np.arange(300))
    f = io.BytesIO(wd1_payload)
    list(BatchReader(f, "WD1"))
    assert not f.closed
    path = tmp_path / "f.gz"
    path.write_bytes(gzip.compress(wd1_payload))
    with no_descriptor_leak():  # a codec's file that the reader opened, it closes
        list(BatchReader(path, "WD1"))


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_a_pipe_from_a_subprocess(tmp_path, reader_type):
    payload = (wd1_bytes(wd1_series(2000, 64)) if reader_type == "WD1"
               else wd2_bytes(wd2_series(2000, 2, 64)))
    path = tmp_path / "f"
    path.write_bytes(payload)
    with subprocess.Popen(["cat", str(path)], stdout=subprocess.PIPE) as cat:
        assert outcome(BatchReader(cat.stdout, reader_type)) == outcome(BatchReader(path, reader_type))


def test_an_http_server_through_fsspec(tmp_path, wd1_payload):
    fsspec = pytest.importorskip("fsspec")
    pytest.importorskip("aiohttp")
    (tmp_path / "events.wd1").write_bytes(wd1_payload)
    handler = lambda *a: http.server.SimpleHTTPRequestHandler(*a, directory=str(tmp_path))  # noqa: E731
    http.server.SimpleHTTPRequestHandler.log_message = lambda *a: None
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as server:
        threading.Thread(target=server.serve_forever, daemon=True).start()
        try:
            url = f"http://127.0.0.1:{server.server_address[1]}/events.wd1"
            with fsspec.open(url, "rb", block_size=0) as remote:  # a stream: no range requests here
                assert outcome(BatchReader(remote, "WD1", 40)) == outcome(BatchReader(wd1_payload, "WD1", 40))
        finally:
            server.shutdown()


def test_two_threads_each_reading_a_file_object(tmp_path, wd1_payload):
    path = tmp_path / "f.gz"
    path.write_bytes(gzip.compress(wd1_payload))
    expected = outcome(BatchReader(wd1_payload, "WD1", 7))
    results = {}

    def work(name, make):
        results[name] = [outcome(BatchReader(make(), "WD1", 7)) for _ in range(5)]

    threads = [threading.Thread(target=work, args=("gzip", lambda: gzip.open(path))),
               threading.Thread(target=work, args=("bytesio", lambda: io.BytesIO(wd1_payload)))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert results == {"gzip": [expected] * 5, "bytesio": [expected] * 5}


@pytest.mark.parametrize("consumer", ["pyarrow", "duckdb"])
@pytest.mark.parametrize("kind", ["gzip", "bytesio"])
def test_arrow_consumers_read_file_object_sources(tmp_path, wd1_payload, consumer, kind):
    """The stream's get_next calls the source on the consumer's own threads,
    which take the interpreter for it: nothing deadlocks."""
    pa = pytest.importorskip("pyarrow")
    path = tmp_path / "f.gz"
    path.write_bytes(gzip.compress(wd1_payload))
    source = path if kind == "gzip" else io.BytesIO(wd1_payload)
    reader = BatchReader(source, "WD1", 64)
    if consumer == "pyarrow":
        table = pa.RecordBatchReader.from_stream(reader).read_all()
    else:
        duckdb = pytest.importorskip("duckdb")
        with duckdb.connect() as connection:
            table = connection.sql("select * from reader").arrow()
            if not isinstance(table, pa.Table):  # a RecordBatchReader in newer DuckDB
                table = table.read_all()
    assert table.column("event_counter").to_pylist() == list(range(300))


def test_the_stream_passes_the_source_exception_text(wd1_payload):
    pa = pytest.importorskip("pyarrow")
    source = RaisesOnce(wd1_payload, 3, KeyError("the disk went away"))
    with pytest.raises(OSError, match="KeyError: 'the disk went away'"):
        pa.RecordBatchReader.from_stream(BatchReader(source, "WD1", 1)).read_all()
