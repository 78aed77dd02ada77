"""Types of the pelvar extension module."""

from typing import TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt
from typing_extensions import Self

__all__ = ["EventReader"]

@final
@type_check_only
class WD1Event(TypedDict):
    """One event of a WD1 file, with the keys in this order."""

    event_size: int
    board_id: int
    pattern: int
    board_channel: int
    event_counter: int
    timestamp: int
    data: npt.NDArray[np.uint16]

@final
@type_check_only
class WD2Event(TypedDict):
    """One event of a WD2 file, with the keys in this order."""

    event_counter: int
    timestamp: int
    samples: int
    sampling_period: int
    channels: int
    data: npt.NDArray[np.float32]

@final
class EventReader:
    """Reads the events of one file, front to back."""

    def __new__(cls, path: str, reader_type: str) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> WD1Event | WD2Event: ...
