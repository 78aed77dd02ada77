"""Converts event files to Parquet: one row per event, the header fields as
columns and the samples as a list column "data".

    python examples/to_parquet.py examples/data/pulses.wd1 -o pulses.parquet
    python examples/to_parquet.py examples/data/run -o run-parquet/

A file becomes one Parquet file; a folder becomes a folder of them, one per
event file (subfolders kept). Batches stream from the reader straight into
the Parquet writer, one row group each, so memory stays bounded by a batch
(--max-bytes) whatever the file's size; the samples are not copied on the
way (pyarrow reads the batches' own memory through the Arrow C stream). Each
output is read back to check its row count against the events read. A
progress bar is shown on long runs.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

import pelvar
from eventtools import batch_source, event_files, reader_type_for, size_on_disk

LONG_RUN_BYTES = 256 << 20


def convert(source: Path, target: Path, reader_type: str | None, max_bytes: int, compression: str,
            progress: "Progress") -> int:
    """Writes one event file as Parquet; returns the events written."""
    kind = reader_type_for(source, reader_type)
    stream = pa.RecordBatchReader.from_stream(pelvar.BatchReader(batch_source(source), kind, max_bytes=max_bytes))
    target.parent.mkdir(parents=True, exist_ok=True)
    rows = 0
    size = size_on_disk(source)
    counted = 0  # of the file's bytes, in the progress bar
    with pq.ParquetWriter(target, stream.schema, compression=compression) as writer:
        for batch in stream:
            writer.write_batch(batch)
            rows += batch.num_rows
            step = max(0, min(batch.nbytes, size - counted))  # a batch's arrays are about the file's bytes
            progress.advance(step)
            counted += step
    progress.advance(size - counted)
    written = pq.ParquetFile(target).metadata.num_rows
    if written != rows:
        raise RuntimeError(f"{target}: {written} rows read back, {rows} events written")
    return rows


class Progress:
    """A tqdm bar over the bytes of the event files, on long runs or when asked."""

    def __init__(self, total: int, shown: bool) -> None:
        self.bar = None
        if shown:
            from tqdm import tqdm

            self.bar = tqdm(total=total, unit="B", unit_scale=True, file=sys.stderr, desc="parquet")

    def advance(self, amount: int) -> None:
        if self.bar is not None:
            self.bar.update(amount)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("source", type=Path,
                        help="an event file (compressed by its .gz, .bz2, .xz or .zst name; - for standard input), "
                             "or a folder of .wd1/.wd2 files")
    parser.add_argument("-o", "--output", type=Path, required=True,
                        help="the Parquet file (for a file) or folder (for a folder)")
    parser.add_argument("--reader-type", choices=("WD1", "WD2"), help="format, when the suffix does not say")
    parser.add_argument("--max-bytes", type=int, default=64 << 20, help="largest batch (a row group) in bytes")
    parser.add_argument("--compression", default="zstd", help="Parquet compression (zstd, snappy, none, ...)")
    parser.add_argument("--progress", choices=("auto", "always", "never"), default="auto")
    args = parser.parse_args(argv)

    if str(args.source) != "-" and args.source.is_dir():
        sources = event_files(args.source)
        pairs = [(s, args.output / s.relative_to(args.source).with_suffix(".parquet")) for s in sources]
    else:
        pairs = [(args.source, args.output)]
    if not pairs:
        print(f"no .wd1 or .wd2 files under {args.source}", file=sys.stderr)
        return 1
    total = sum(size_on_disk(source) for source, _ in pairs)
    shown = args.progress == "always" or (args.progress == "auto" and total >= LONG_RUN_BYTES)
    progress = Progress(total, shown)
    started = time.perf_counter()
    events = 0
    try:
        for source, target in pairs:
            count = convert(source, target, args.reader_type, args.max_bytes, args.compression, progress)
            events += count
            print(f"{source} -> {target}: {count} events, {target.stat().st_size} bytes")
    finally:
        progress.close()
    seconds = time.perf_counter() - started
    print(f"{len(pairs)} file(s), {events} events, {total / (1 << 20):.1f} MiB of event files "
          f"in {seconds:.2f} s ({total / (1 << 20) / max(seconds, 1e-9):.0f} MiB/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
