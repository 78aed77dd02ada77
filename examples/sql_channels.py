"""SQL straight over a raw event file: events and mean amplitude per channel.

    python examples/sql_channels.py examples/data/pulses.wd1
    python examples/sql_channels.py examples/data/pulses_2ch.wd2 --engine polars

DuckDB scans the BatchReader as an Arrow stream (no conversion, no copy of
the samples); where DuckDB has no wheel for the interpreter, polars' SQL
context runs the same query. A WD1 event's channel is its board_channel; a
WD2 event holds all its channels one after the other in "data", so the
query cuts each list into channels of `samples` values. The amplitude of a
waveform is its largest excursion from its first sample (the baseline
estimate of this short example).
"""

from __future__ import annotations

import argparse
import sys

import pelvar
from eventtools import reader_type_for

WD1_QUERY = """
    select board_channel as channel, count(*) as events,
           avg(list_max(data) - data[1]) as mean_amplitude
    from reader group by channel order by channel
"""

# One row per channel of each event: the slice of `samples` values of it.
WD2_QUERY = """
    with channels as (
        select unnest(range(channels)) as channel, samples, data from reader where samples > 0
    )
    select channel, count(*) as events,
           avg(list_max(data[channel * samples + 1 : (channel + 1) * samples])
               - data[channel * samples + 1]) as mean_amplitude
    from channels group by channel order by channel
"""


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
        per_event = frame.select(pl.col("board_channel").alias("channel"),
                                 (pl.col("data").list.max().cast(pl.Float64)
                                  - pl.col("data").list.first().cast(pl.Float64)).alias("amplitude"))
    else:
        per_event = (frame.filter(pl.col("samples") > 0)
                     .with_columns(pl.int_ranges(0, pl.col("channels")).alias("channel"))
                     .explode("channel")
                     .select("channel", pl.col("data").list.slice(pl.col("channel") * pl.col("samples"),
                                                                  pl.col("samples")).alias("wave"))
                     .select("channel", (pl.col("wave").list.max() - pl.col("wave").list.first())
                             .cast(pl.Float64).alias("amplitude")))
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
