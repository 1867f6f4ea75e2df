"""The native splitting area (``quarn.lib._quarn._split``): the per-file and per-range steps of
reading one file in exact byte ranges (see ``quarn._ranges``)."""

import os
from typing import Any, TypeAlias

from quarn._sources import ArrowReader
from quarn.bigjson import RecordIterator

Summary: TypeAlias = tuple[int, int, int, int, bool]
# A path as the top-level functions take one.
Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

def compressed(head: bytes, /) -> bool: ...
def plan(source: Any, format: str | None, records: str | None, /) -> tuple[str, int, int, int]: ...
def summarize(path: Path, start: int, end: int, /) -> tuple[Summary, Summary, Summary]: ...
def summarize_buffer(
    buffer: Any, so_far: tuple[Summary, Summary, Summary] | None, /
) -> tuple[Summary, Summary, Summary]: ...
def find_separator(path: Path, start: int, stop: int, state: int, depth: int, /) -> int: ...
def find_separator_buffer(buffer: Any, state: int, depth: int, /) -> tuple[int, int, int]: ...
def count_piece(
    path: Path, array: bool, start: int, end: int, state: int, depth: int, /
) -> tuple[int, bool, bool]: ...
def validate_piece(
    path: Path, array: bool, first: bool, start: int, end: int, close: bool, depth: int, /
) -> int | None: ...
def iter_piece(
    source: Path | Any,
    array: bool,
    first: bool,
    start: int,
    end: int,
    close: bool,
    depth: int,
    fields: list[str] | None = None,
    /,
) -> RecordIterator: ...
def arrow_piece(
    source: Path | Any,
    array: bool,
    first: bool,
    start: int,
    end: int,
    close: bool,
    depth: int,
    table: tuple[Any, ...],
    /,
) -> ArrowReader: ...
