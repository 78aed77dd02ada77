"""SQL straight over a raw event file: events and mean amplitude per channel.

    python examples/sql_channels.py examples/data/pulses.wd1
    python examples/sql_channels.py examples/data/pulses_2ch.wd2 --engine polars

DuckDB scans the BatchReader as an Arrow stream (no conversion, no copy of
the samples); where DuckDB has no wheel for the interpreter, polars' SQL
context runs the same query. A WD1 event's channel is its board_channel; a
WD2 event holds all its channels one after the other in "data", so the
query cuts each list into channels of `samples` values. The amplitude of a
waveform is its extreme sample farther from its first one, less the first
(negative for a pulse that goes down; the first sample is the baseline
estimate of this short example).
"""

from __future__ import annotations

import argparse
import sys

import pelvar
from eventtools import reader_type_for

# The excursions up and down from the first sample, then the larger one.
AMPLITUDE = """
    select channel, count(*) as events, avg(case when -down > up then down else up end) as mean_amplitude
    from waves group by channel order by channel
"""

WD1_QUERY = """
    with waves as (
        select board_channel as channel, list_max(data)::double - data[1] as up,
               list_min(data)::double - data[1] as down
        from reader
    )
""" + AMPLITUDE

# One row per channel of each event: the slice of `samples` values of it.
WD2_QUERY = """
    with channels as (
        select unnest(range(channels)) as channel, data[channel * samples + 1 : (channel + 1) * samples] as wave
        from reader where samples > 0
    ), waves as (
        select channel, list_max(wave) - wave[1] as up, list_min(wave) - wave[1] as down from channels
    )
""" + AMPLITUDE


def with_duckdb(path: str, reader_type: str) -> list[tuple[int, int, float]]:
    import duckdb

    reader = pelvar.BatchReader(path, reader_type)  # noqa: F841 - the query names it
    relation = duckdb.sql(WD1_QUERY if reader_type == "WD1" else WD2_QUERY)
    assert relation is not None  # None only for a statement that returns no rows
    rows = relation.fetchall()
    return [(int(c), int(n), float(a)) for c, n, a in rows]


def with_polars(path: str, reader_type: str) -> list[tuple[int, int, float]]:
    import polars as pl

    frame = pl.DataFrame(pelvar.BatchReader(path, reader_type))
    if reader_type == "WD1":
        waves = frame.select(pl.col("board_channel").alias("channel"), pl.col("data").alias("wave"))
    else:
        waves = (frame.filter(pl.col("samples") > 0)
                 .with_columns(pl.int_ranges(0, pl.col("channels")).alias("channel"))
                 .explode("channel")
                 .select("channel", pl.col("data").list.slice(pl.col("channel") * pl.col("samples"),
                                                              pl.col("samples")).alias("wave")))
    first = pl.col("wave").list.first().cast(pl.Float64)
    up = pl.col("wave").list.max().cast(pl.Float64) - first
    down = pl.col("wave").list.min().cast(pl.Float64) - first
    per_event = waves.select("channel", pl.when(-down > up).then(down).otherwise(up).alias("amplitude"))
    context = pl.SQLContext(events=per_event)
    result = context.execute("select channel, count(*) as events, avg(amplitude) as mean_amplitude "
                             "from events group by channel order by channel").collect()
    return [(int(c), int(n), float(a)) for c, n, a in result.iter_rows()]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", help="an event file")
    parser.add_argument("--reader-type", choices=("WD1", "WD2"), help="format, when the suffix does not say")
    parser.add_argument("--engine", choices=("auto", "duckdb", "polars"), default="auto")
    args = parser.parse_args(argv)
    reader_type = reader_type_for(args.path, args.reader_type)
    engine = args.engine
    if engine == "auto":
        try:
            import duckdb  # noqa: F401
            engine = "duckdb"
        except ImportError:
            engine = "polars"
    rows = (with_duckdb if engine == "duckdb" else with_polars)(args.path, reader_type)
    print(f"{args.path} ({reader_type}), by {engine}:")
    print(f"{'channel':>8} {'events':>8} {'mean amplitude':>15}")
    for channel, events, amplitude in rows:
        print(f"{channel:>8} {events:>8} {amplitude:>15.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
