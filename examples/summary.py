"""Summarises event files: counts, counters and their gaps, timestamps, sizes,
and the baseline and amplitude of every channel, as a table.

    python examples/summary.py examples/data/pulses.wd1
    python examples/summary.py examples/data/*.wd2 --baseline-samples 32
    python examples/summary.py recording.dat --reader-type WD2

The format is taken from the suffix (.wd1, .wd2) unless --reader-type names
it. A channel's baseline is the mean of an event's first samples; its
amplitude is the largest excursion from that baseline, negative for a pulse
that goes down. The file is read once, in batches of events that NumPy works
on as columns (pelvar.BatchReader); --per-event reads it one event at a time
instead (pelvar.EventReader), which is slower and gives the same table.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from eventtools import (DEFAULT_PERIOD_UNIT, PERIOD_UNITS, FileSummary, display_time_unit, format_table, number,
                        seconds_per_count, summarize_file)


def describe_sizes(counts: dict[int, int], other: int) -> str:
    if not counts:
        return "-"
    sizes = sorted(counts)
    if len(sizes) == 1:
        text = str(sizes[0])
    else:
        text = f"{sizes[0]} .. {sizes[-1]} ({len(sizes)} different sizes)"
    if other:
        text += f", and {other} events of further sizes"
    return text


def describe_periods(summary: FileSummary, unit: str) -> str:
    if summary.reader_type == "WD1":
        return "not recorded in WD1 files"
    if not summary.sampling_periods:
        return "-"
    parts = []
    for period in sorted(summary.sampling_periods):
        seconds = period * seconds_per_count(unit)
        if seconds > 0:
            name, scale = display_time_unit(seconds)
            parts.append(f"{period} ({number(seconds / scale)} {name}, {number(1e-9 / seconds)} GS/s)")
        else:
            parts.append(str(period))
    return ", ".join(parts) + f" [1 count = 1 {unit}]"


def render(summary: FileSummary, unit: str) -> str:
    counters = summary.counters
    if counters.first is None:
        counter_text = "-"
    else:
        counter_text = (f"{counters.first} .. {counters.last} in file order, "
                        f"{counters.distinct} distinct, {counters.gap_count} gaps ({counters.missing} missing)")
        if counters.jumps:
            counter_text += f", {counters.jumps} jumps back or far ahead"
    gap_lines = [f"after {g.after}: {g.missing} missing, next {g.next}" for g in counters.gaps]
    if counters.gap_count > len(counters.gaps):
        gap_lines.append(f"... and {counters.gap_count - len(counters.gaps)} more")
    stamps = ("-" if summary.timestamp_min is None
              else f"{summary.timestamp_min} .. {summary.timestamp_max}")
    facts = [
        ["file", f"{summary.path} ({summary.reader_type}, {summary.file_bytes} bytes)" if summary.path != "-"
         else f"standard input ({summary.reader_type})"],
        ["events", str(summary.events)],
        ["event counters", counter_text],
        *[["  gap", line] for line in gap_lines],
        ["timestamps", stamps],
        ["samples per event" + (" and channel" if summary.reader_type == "WD2" else ""),
         describe_sizes(summary.sample_counts, summary.other_sample_counts)],
        ["sampling period", describe_periods(summary, unit)],
        *([["channels field", ", ".join(f"{value} ({events} events)"
                                        for value, events in sorted(summary.channel_fields.items()))]]
          if summary.reader_type == "WD2" else []),
    ]
    width = max(len(label) for label, _ in facts)
    head = "\n".join(f"{label.ljust(width)}  {value}" for label, value in facts)
    rows = [
        [str(channel), str(c.events), number(c.baseline.mean), number(c.baseline.std),
         number(c.amplitude.mean), number(c.amplitude.std), number(c.amplitude.minimum), number(c.amplitude.maximum)]
        for channel, c in summary.channels.items()
    ]
    table = format_table(["channel", "events", "baseline", "baseline sd", "amplitude", "amplitude sd",
                          "amplitude min", "amplitude max"], rows)
    return f"{head}\n\n{table}" if rows else f"{head}\n\n(no samples)"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+", type=Path,
                        help="event files (compressed ones by their .gz, .bz2, .xz or .zst name; - for standard input)")
    parser.add_argument("--reader-type", choices=["WD1", "WD2"], help="format of every file (default: by suffix)")
    parser.add_argument("--baseline-samples", type=int, default=16, metavar="N",
                        help="samples at the start of a waveform that make its baseline (default: %(default)s)")
    parser.add_argument("--period-unit", choices=list(PERIOD_UNITS), default=DEFAULT_PERIOD_UNIT,
                        help="what one count of a WD2 sampling_period is (default: %(default)s)")
    parser.add_argument("--per-event", action="store_true",
                        help="read one event at a time (EventReader) instead of in batches (BatchReader)")
    args = parser.parse_args(argv)
    status = 0
    for index, path in enumerate(args.files):
        if index:
            print()
        try:
            summary = summarize_file(path, args.reader_type, baseline_samples=args.baseline_samples,
                                     per_event=args.per_event)
        except (OSError, ValueError) as error:
            print(f"{path}: {type(error).__name__}: {error}", file=sys.stderr)
            status = 1
            continue
        print(render(summary, args.period_unit))
    return status


if __name__ == "__main__":
    raise SystemExit(main())
