"""Writes the small sample event files that the examples read.

    python examples/make_samples.py              # into examples/data/
    python examples/make_samples.py --out DIR --tiny

The files hold made-up but plausible recordings: pulses on a baseline with
noise, a few gaps in the event counters, and in examples/data/run/ a folder of
short files for the many-files example. The same seed gives the same files.

Files written (default sizes):
  pulses.wd1           WD1, 4 board channels x 32 triggers, 200 samples each
  pulses_2ch.wd2       WD2 with the channel-count field, 2 channels x 200
                       samples, sampling_period 1000 (1 ns in picoseconds)
  pulses_1ch.wd2       WD2 without the field (one channel), 200 samples,
                       sampling_period 200 (0.2 ns)
  run/run_NNN.wd2      6 short two-channel WD2 files
  run/board_NNN.wd1    2 short WD1 files
"""

from __future__ import annotations

import argparse
import struct
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

HERE = Path(__file__).resolve().parent
WD1_HEADER = struct.Struct("<6i")  # event_size, board_id, pattern, board_channel, event_counter, timestamp
WD2_HEADER = struct.Struct("<IQIQ")  # event_counter, timestamp, samples, sampling_period
WD2_CHANNELS = struct.Struct("<i")


@dataclass(frozen=True)
class Sizes:
    triggers: int  # events per file (per channel for WD1)
    samples: int
    run_triggers: int
    run_samples: int
    run_files: int


DEFAULT = Sizes(triggers=32, samples=200, run_triggers=12, run_samples=100, run_files=8)
TINY = Sizes(triggers=6, samples=32, run_triggers=4, run_samples=24, run_files=3)


def pulse(rng: np.random.Generator, samples: int, amplitude: float, *, rise: float = 1.5,
          decay: float = 6.0) -> npt.NDArray[np.float64]:
    """A pulse of the given height somewhere in the second quarter of the window."""
    t = np.arange(samples, dtype=np.float64)
    start = samples * rng.uniform(0.25, 0.45)
    shifted = np.clip(t - start, 0.0, None)
    shape = (1.0 - np.exp(-shifted / rise)) * np.exp(-shifted / decay)
    peak = float(shape.max())
    return amplitude * shape / peak if peak > 0 else shape


def counters_with_gaps(count: int, first: int, rng: np.random.Generator) -> list[int]:
    """`count` increasing counters from `first`, with a gap now and then.

    The first two are consecutive, as a WD2 file's layout detection needs.
    """
    counters = [first, first + 1]
    while len(counters) < count:
        step = 1 if rng.uniform() > 0.1 else int(rng.integers(2, 5))
        counters.append(counters[-1] + step)
    return counters[:count]


def wd1_file(rng: np.random.Generator, triggers: int, samples: int, *, channels: int = 4,
             board_id: int = 3) -> bytes:
    """One event per channel and trigger, all with the trigger's counter."""
    out = bytearray()
    baselines = 2048 + 40 * np.arange(channels) - 60
    timestamp = 1000
    for counter in counters_with_gaps(triggers, 0, rng):
        timestamp += int(rng.integers(800, 1600))
        for channel in range(channels):
            wave = baselines[channel] + rng.normal(0.0, 3.0, samples)
            wave -= pulse(rng, samples, rng.uniform(150.0, 1500.0))  # negative-going pulses
            data = np.clip(np.rint(wave), 0, 4095).astype("<u2").tobytes()
            out += WD1_HEADER.pack(24 + len(data), board_id, 0x1 << channel, channel, counter, timestamp)
            out += data
    return bytes(out)


def wd2_file(rng: np.random.Generator, triggers: int, samples: int, *, channels: int, period: int,
             first_counter: int) -> bytes:
    """Events with the channel-count field when there are two channels or more.

    A block holds the channels one after the other, `samples` values each.
    """
    out = bytearray()
    timestamp = 1_700_000_000_000
    polarity = np.where(np.arange(channels) % 2 == 0, 1.0, -1.0)
    baselines = 0.012 - 0.004 * np.arange(channels)
    for counter in counters_with_gaps(triggers, first_counter, rng):
        timestamp += int(rng.integers(50_000, 400_000))
        block = np.empty((channels, samples), dtype="<f4")
        for channel in range(channels):
            wave = baselines[channel] + rng.normal(0.0, 0.001, samples)
            wave += polarity[channel] * pulse(rng, samples, rng.uniform(0.05, 0.4))
            block[channel] = wave
        out += WD2_HEADER.pack(counter & 0xFFFFFFFF, timestamp, samples, period)
        if channels >= 2:
            out += WD2_CHANNELS.pack(channels)
        out += block.tobytes()
    return bytes(out)


def write_samples(out: Path, sizes: Sizes, seed: int = 2024) -> list[Path]:
    rng = np.random.default_rng(seed)
    files = {
        out / "pulses.wd1": wd1_file(rng, sizes.triggers, sizes.samples),
        out / "pulses_2ch.wd2": wd2_file(rng, sizes.triggers, sizes.samples, channels=2, period=1000,
                                         first_counter=1000),
        out / "pulses_1ch.wd2": wd2_file(rng, sizes.triggers, sizes.samples, channels=1, period=200,
                                         first_counter=0),
    }
    for index in range(sizes.run_files):
        if index % 4 == 3:
            files[out / "run" / f"board_{index:03d}.wd1"] = wd1_file(rng, sizes.run_triggers, sizes.run_samples,
                                                                      channels=2, board_id=index)
        else:
            files[out / "run" / f"run_{index:03d}.wd2"] = wd2_file(
                rng, sizes.run_triggers, sizes.run_samples, channels=2, period=1000,
                first_counter=index * sizes.run_triggers * 2)
    for path, payload in files.items():
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(payload)
    return list(files)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=HERE / "data", help="folder to write into (default: %(default)s)")
    parser.add_argument("--tiny", action="store_true", help="a few events of a few samples, for tests")
    parser.add_argument("--if-missing", action="store_true",
                        help="write nothing if the folder already holds pulses.wd1")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args(argv)
    if args.if_missing and (args.out / "pulses.wd1").exists():
        print(f"sample files already in {args.out}")
        return 0
    paths = write_samples(args.out, TINY if args.tiny else DEFAULT, args.seed)
    total = sum(p.stat().st_size for p in paths)
    for path in paths:
        print(f"{path.stat().st_size:>8}  {path}")
    print(f"{total:>8}  bytes in {len(paths)} files")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
