"""Plots the first events of a file, overlaid, one panel per channel, to PNG.

    python examples/plot_waveforms.py examples/data/pulses_2ch.wd2
    python examples/plot_waveforms.py examples/data/pulses.wd1 -n 5 -o pulses.png
    python examples/plot_waveforms.py examples/data/pulses.wd1 --sampling-period 1000

The bottom axis counts samples. Where the sampling period is known (a WD2
event's sampling_period, or --sampling-period for WD1 files, which carry
none), a top axis shows the time; --period-unit says what one count of the
period is (picoseconds unless told otherwise).
"""

from __future__ import annotations

import argparse
import itertools
import math
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

from eventtools import (DEFAULT_PERIOD_UNIT, PERIOD_UNITS, channel_waveforms, display_time_unit,  # noqa: E402
                        read_events, reader_type_for, seconds_per_count)


def collect(path: Path, reader_type: str | None, events: int
            ) -> tuple[dict[int, list[tuple[int, npt.NDArray[np.float64]]]], set[int]]:
    """The first `events` waveforms of every channel, with their counters, and
    the sampling periods seen (WD2 only)."""
    per_channel: dict[int, list[tuple[int, npt.NDArray[np.float64]]]] = {}
    periods: set[int] = set()
    # WD1 files hold one channel per event: read until every channel seen has
    # its share, but never more than events x 64 events.
    for event in itertools.islice(read_events(path, reader_type), events * 64):
        if "sampling_period" in event:
            periods.add(event["sampling_period"])
        for channel, samples in channel_waveforms(event):
            waves = per_channel.setdefault(channel, [])
            if len(waves) < events:
                waves.append((event["event_counter"], samples))
        if per_channel and all(len(w) >= events for w in per_channel.values()):
            if "sampling_period" in event:  # WD2: every event has every channel
                break
    return dict(sorted(per_channel.items())), periods


def plot(path: Path, out: Path, *, reader_type: str | None, events: int, period: float | None,
         unit: str, dpi: int) -> Path:
    kind = reader_type_for(path, reader_type)
    per_channel, periods = collect(path, kind, events)
    if not per_channel:
        raise ValueError(f"{path}: no event with samples")
    if period is None and len(periods) == 1:
        period = float(next(iter(periods)))
    elif period is None and len(periods) > 1:
        print(f"{path}: events differ in sampling_period ({sorted(periods)}); no time axis", file=sys.stderr)
    rows = len(per_channel)
    figure, axes = plt.subplots(rows, 1, figsize=(9, 2.2 + 2.0 * rows), sharex=True, squeeze=False)
    longest = max(len(s) for waves in per_channel.values() for _, s in waves)
    for axis, (channel, waves) in zip(axes[:, 0], per_channel.items()):
        colours = plt.get_cmap("viridis")(np.linspace(0.0, 0.9, max(len(waves), 1)))
        for colour, (counter, samples) in zip(colours, waves):
            axis.plot(np.arange(len(samples)), samples, color=colour, linewidth=0.9, alpha=0.85,
                      label=f"event {counter}")
        name = f"board channel {channel}" if kind == "WD1" else f"channel {channel}"
        axis.text(0.01, 0.95, f"{name}: first {len(waves)} events", transform=axis.transAxes, fontsize=9,
                  va="top", bbox={"facecolor": "white", "edgecolor": "0.8", "alpha": 0.9})
        axis.set_ylabel("ADC counts" if kind == "WD1" else "sample value")
        axis.grid(True, linewidth=0.4, alpha=0.5)
        axis.set_xlim(0, max(longest - 1, 1))
    axes[-1, 0].set_xlabel("sample")
    if len(next(iter(per_channel.values()))) <= 10:
        axes[0, 0].legend(fontsize=7, ncol=2, loc="lower right" if kind == "WD1" else "upper right")
    if period is not None and period > 0 and math.isfinite(period):
        seconds = period * seconds_per_count(unit)
        name, scale = display_time_unit(seconds * max(longest - 1, 1))
        per_sample = seconds / scale
        top = axes[0, 0].secondary_xaxis(
            "top", functions=(lambda s: s * per_sample, lambda t: t / per_sample))
        top.set_xlabel(f"time [{name}] (sampling period {period:g} {unit})")
    figure.suptitle(f"{path.name} ({kind})", fontsize=11)
    figure.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(out, dpi=dpi)
    plt.close(figure)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="+", type=Path, help="event files")
    parser.add_argument("-n", "--events", type=int, default=10, help="events per channel (default: %(default)s)")
    parser.add_argument("-o", "--out", type=Path,
                        help="PNG file (one input file) or folder (default: FILE_STEM_waveforms.png here)")
    parser.add_argument("--reader-type", choices=["WD1", "WD2"], help="format of every file (default: by suffix)")
    parser.add_argument("--sampling-period", type=float,
                        help="sampling period in --period-unit counts; overrides the file's")
    parser.add_argument("--period-unit", choices=list(PERIOD_UNITS), default=DEFAULT_PERIOD_UNIT,
                        help="what one count of the sampling period is (default: %(default)s)")
    parser.add_argument("--dpi", type=int, default=110)
    args = parser.parse_args(argv)
    if args.events < 1:
        parser.error("--events must be at least 1")
    for path in args.files:
        if args.out is not None and len(args.files) == 1 and args.out.suffix.lower() == ".png":
            out = args.out
        else:
            out = (args.out or Path.cwd()) / f"{path.stem}_waveforms.png"
        written = plot(path, out, reader_type=args.reader_type, events=args.events, period=args.sampling_period,
                       unit=args.period_unit, dpi=args.dpi)
        print(written)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
