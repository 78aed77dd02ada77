"""Types of the pelvar extension module.

Both readers are generic in the stub only (the runtime classes take no
subscript): the format name, when it is a literal, picks what iteration
yields; any other str gives the union of both formats, and so does the bare
class name in an annotation (the type variables' default). A BatchReader
given `columns` yields the partial dictionaries, whose keys are the chosen
ones.
"""

import os
import sys
from collections.abc import Sequence
from typing import Any, Generic, Literal, Protocol, SupportsIndex, TypedDict, final, overload, type_check_only

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer, Self, TypeAlias, TypeVar

if sys.version_info >= (3, 13):
    from types import CapsuleType
else:
    from typing_extensions import CapsuleType

__all__ = ["EventReader", "BatchReader"]

# What a BatchReader reads from: a path (str or path-like; decompressed by its
# name's ending unless `compression` says otherwise), an object with the buffer
# protocol (read from memory), or a binary file object (readinto or read).
_Path: TypeAlias = str | os.PathLike[str] | os.PathLike[bytes]
_Compression: TypeAlias = Literal["infer", "gzip", "bz2", "xz", "zstd"] | None

@type_check_only
class _ReadsInto(Protocol):
    def readinto(self, buffer: memoryview, /) -> int | None: ...

@type_check_only
class _Reads(Protocol):
    def read(self, size: int, /) -> bytes | bytearray | memoryview | None: ...

_FileObject: TypeAlias = _ReadsInto | _Reads
_Source: TypeAlias = _Path | Buffer | _FileObject

# The names `columns` selects from: the format's header fields, where each
# event's header starts ("byte_offset"), and the samples ("data", which brings
# "offsets" along).
_WD1Column: TypeAlias = Literal[
    "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp", "byte_offset", "data"
]
_WD2Column: TypeAlias = Literal[
    "event_counter", "timestamp", "samples", "sampling_period", "channels", "byte_offset", "data"
]

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
@type_check_only
class WD1Batch(TypedDict):
    """Events of a WD1 file as columns, with the keys in this order.

    Every header column holds one value per event; offsets holds one more,
    starting at 0: event i's samples are data[offsets[i]:offsets[i + 1]].
    """

    event_size: npt.NDArray[np.int32]
    board_id: npt.NDArray[np.int32]
    pattern: npt.NDArray[np.int32]
    board_channel: npt.NDArray[np.int32]
    event_counter: npt.NDArray[np.int32]
    timestamp: npt.NDArray[np.int32]
    offsets: npt.NDArray[np.int64]
    data: npt.NDArray[np.uint16]

@final
@type_check_only
class WD2Batch(TypedDict):
    """Events of a WD2 file as columns, with the keys in this order.

    Every header column holds one value per event; offsets holds one more,
    starting at 0: event i's sample block is data[offsets[i]:offsets[i + 1]].
    """

    event_counter: npt.NDArray[np.uint32]
    timestamp: npt.NDArray[np.uint64]
    samples: npt.NDArray[np.uint32]
    sampling_period: npt.NDArray[np.uint64]
    channels: npt.NDArray[np.int32]
    offsets: npt.NDArray[np.int64]
    data: npt.NDArray[np.float32]

@final
@type_check_only
class WD1PartialBatch(TypedDict, total=False):
    """The columns of a WD1 batch that `columns` selects, in this order:
    the chosen header fields, then byte_offset, then offsets and data
    (both or neither)."""

    event_size: npt.NDArray[np.int32]
    board_id: npt.NDArray[np.int32]
    pattern: npt.NDArray[np.int32]
    board_channel: npt.NDArray[np.int32]
    event_counter: npt.NDArray[np.int32]
    timestamp: npt.NDArray[np.int32]
    byte_offset: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    data: npt.NDArray[np.uint16]

@final
@type_check_only
class WD2PartialBatch(TypedDict, total=False):
    """The columns of a WD2 batch that `columns` selects, in this order:
    the chosen header fields, then byte_offset, then offsets and data
    (both or neither)."""

    event_counter: npt.NDArray[np.uint32]
    timestamp: npt.NDArray[np.uint64]
    samples: npt.NDArray[np.uint32]
    sampling_period: npt.NDArray[np.uint64]
    channels: npt.NDArray[np.int32]
    byte_offset: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    data: npt.NDArray[np.float32]

_Event = TypeVar("_Event", bound=WD1Event | WD2Event, covariant=True, default=WD1Event | WD2Event)
_Batch = TypeVar(
    "_Batch",
    bound=WD1Batch | WD2Batch | WD1PartialBatch | WD2PartialBatch,
    covariant=True,
    default=WD1Batch | WD2Batch,
)

@final
class EventReader(Generic[_Event]):
    """Reads the events of one file, front to back, one dict per event."""

    @overload
    def __new__(cls, path: str, reader_type: Literal["WD1"]) -> EventReader[WD1Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: Literal["WD2"]) -> EventReader[WD2Event]: ...
    @overload
    def __new__(cls, path: str, reader_type: str) -> EventReader[WD1Event | WD2Event]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> _Event: ...

@final
class BatchReader(Generic[_Batch]):
    """Reads the events of one file, front to back, one dict of columns per batch."""

    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: Literal["WD1"],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD1Batch]: ...
    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: Literal["WD1"],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: Sequence[_WD1Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD1PartialBatch]: ...
    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: Literal["WD2"],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD2Batch]: ...
    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: Literal["WD2"],
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: Sequence[_WD2Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD2PartialBatch]: ...
    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: str,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD1Batch | WD2Batch]: ...
    @overload
    def __new__(
        cls,
        source: _Source,
        reader_type: str,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        *,
        compression: _Compression = "infer",
        columns: Sequence[_WD1Column | _WD2Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> BatchReader[WD1PartialBatch | WD2PartialBatch]: ...
    # Where the reader's events lie in the whole file: their positions (stop
    # None when not known), and a partition's bytes (None for other readers).
    @property
    def columns(self) -> tuple[str, ...]: ...
    @property
    def event_range(self) -> tuple[int, int | None]: ...
    @property
    def byte_range(self) -> tuple[int, int] | None: ...
    # Unread readers of consecutive runs of whole events, about partition_bytes
    # each, that together read what one reader of the whole file reads.
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: Literal["WD1"],
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD1Batch]]: ...
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: Literal["WD1"],
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: Sequence[_WD1Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD1PartialBatch]]: ...
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: Literal["WD2"],
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD2Batch]]: ...
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: Literal["WD2"],
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: Sequence[_WD2Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD2PartialBatch]]: ...
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: str,
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: None = None,
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD1Batch | WD2Batch]]: ...
    @overload
    @classmethod
    def partitions(
        cls,
        source: _Path | Buffer,
        reader_type: str,
        *,
        partition_bytes: SupportsIndex = 268435456,
        max_events: SupportsIndex = 65536,
        max_bytes: SupportsIndex = 4194304,
        compression: Literal["infer"] | None = "infer",
        columns: Sequence[_WD1Column | _WD2Column],
        start: SupportsIndex = 0,
        stop: SupportsIndex | None = None,
    ) -> list[BatchReader[WD1PartialBatch | WD2PartialBatch]]: ...
    # A reader of the same events with other columns (a reader over a path).
    @overload
    def with_columns(self, columns: None, /) -> BatchReader[WD1Batch | WD2Batch]: ...
    @overload
    def with_columns(
        self, columns: Sequence[_WD1Column | _WD2Column], /
    ) -> BatchReader[WD1PartialBatch | WD2PartialBatch]: ...
    # An unread reader of a path pickles; it opens its file when first read.
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> _Batch: ...
    # The Arrow PyCapsule interface: an "arrow_array_stream" of the batches
    # (RuntimeError once the reader has been read from), and their "arrow_schema".
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> CapsuleType: ...
    def __arrow_c_schema__(self) -> CapsuleType: ...
