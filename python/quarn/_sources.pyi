"""The native sources area (``quarn.lib._quarn._sources``): the record operations over every
kind of source, for the package's top-level functions."""

from collections.abc import Iterator
from typing import Any, SupportsIndex, final

from quarn.bigjson import RecordIterator

def count(
    source: Any, format: str | None = None, records: str | None = None, compressed: Any = None
) -> int: ...
def schema(
    source: Any,
    sample: SupportsIndex = 100,
    format: str | None = None,
    records: str | None = None,
    compressed: Any = None,
) -> str: ...
def load(
    source: Any,
    format: str | None = None,
    records: str | None = None,
    compressed: Any = None,
    fields: list[str] | None = None,
) -> Any: ...
def iter_records(
    source: Any,
    format: str | None = None,
    records: str | None = None,
    compressed: Any = None,
    fields: list[str] | None = None,
) -> RecordIterator: ...
def dump_lines(source: list[Any]) -> bytes | None: ...
def outline(
    source: Any,
    sample: SupportsIndex = 100,
    format: str | None = None,
    records: str | None = None,
    compressed: Any = None,
) -> tuple[str, list[tuple[str, int, bool]]]: ...

@final
class ArrowReader(Iterator[Any]):
    """The records of one source as Arrow record batches (pyarrow.RecordBatch)."""

    def __arrow_c_schema__(self) -> Any: ...
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...
    @property
    def schema(self) -> Any: ...
    @property
    def skipped(self) -> int: ...
    @property
    def _wrapped(self) -> bool: ...
    def __next__(self) -> Any: ...
    def read_all(self) -> Any: ...

def read_arrow(
    source: Any,
    format: str | None = None,
    records: str | None = None,
    compressed: Any = None,
    fields: list[str] | None = None,
    sample: SupportsIndex = 1000,
    table: tuple[SupportsIndex, SupportsIndex, str, str, SupportsIndex, bool, Any] | None = None,
) -> ArrowReader: ...

@final
class JsonLinesChunks(Iterator[bytes]):
    """The records of one source as JSON Lines, in bytes chunks of about 1 MiB."""

    @property
    def bytes_read(self) -> int: ...
    @property
    def total_bytes(self) -> int: ...
    @property
    def records(self) -> int: ...
    def __next__(self) -> bytes: ...

def json_lines(
    source: Any, format: str | None = None, records: str | None = None, compressed: Any = None
) -> JsonLinesChunks: ...
