"""The smallest use of pelvar: open a file, iterate, look at each event.

    python examples/quickstart.py examples/data/pulses.wd1
    python examples/quickstart.py examples/data/pulses_2ch.wd2 WD2

It is also the typed example: `mypy --strict examples/quickstart.py` passes,
and shows how an event of either format is narrowed to its own dictionary
type by a key that only that format has.
"""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING

import numpy as np

import pelvar

if TYPE_CHECKING:  # the dictionary types exist for type checkers only
    from pelvar import WD1Event, WD2Event


def describe(event: WD1Event | WD2Event) -> str:
    if "board_id" in event:  # only WD1 events have it: event is a WD1Event here
        peak = int(event["data"].max()) if event["data"].size else 0
        return (f"WD1 counter {event['event_counter']} board {event['board_id']} "
                f"channel {event['board_channel']}: {event['data'].size} samples, highest {peak}")
    # a WD2Event: one flat float32 block of channels x samples values
    block = event["data"].reshape(-1, event["samples"]) if event["samples"] else event["data"][:0].reshape(0, 0)
    lowest: np.float32 = block.min() if block.size else np.float32(0)
    return (f"WD2 counter {event['event_counter']} at {event['timestamp']}: {len(block)} channels x "
            f"{event['samples']} samples every {event['sampling_period']}, lowest {lowest:.4f}")


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print("usage: python examples/quickstart.py FILE [WD1|WD2]", file=sys.stderr)
        return 2
    path = argv[1]
    reader_type = argv[2] if len(argv) == 3 else ("WD2" if path.lower().endswith(".wd2") else "WD1")
    count = 0
    for event in pelvar.EventReader(path, reader_type):
        if count < 5:
            print(describe(event))
        count += 1
    print(f"{count} events")
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
