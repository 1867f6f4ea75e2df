"""Dask integration: a bag of the records of JSON / JSON Lines files, local or remote.

Needs the optional dependencies of ``pip install 'quarn[dask]'`` (remote file systems need
their fsspec implementation too: s3fs for ``s3://``, gcsfs for ``gs://``...).
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any

import dask.bag
import fsspec  # type: ignore[import-untyped]
from dask.bag.core import reify
from dask.base import tokenize
from dask.utils import parse_bytes
from fsspec.implementations.local import LocalFileSystem  # type: ignore[import-untyped]
from fsspec.utils import infer_compression  # type: ignore[import-untyped]

import quarn
from quarn import _compression, _ranges

if TYPE_CHECKING:
    from dask.typing import Key

__all__ = ["read_records"]

# A partition of 64 MiB is read in well under a second, so the scheduler's cost per task and
# the summaries' combining step vanish beside it, while a file of 50 GB still spreads over
# hundreds of partitions; the same default as dask's own readers of splittable text.
DEFAULT_BLOCKSIZE = "64 MiB"

_READ_ERRORS = (ValueError, RuntimeError)


def read_records(
    urlpath: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    format: str | None = None,
    *,
    records: str | None = None,
    fields: list[str] | None = None,
    compression: str | None = "infer",
    blocksize: int | str | None = DEFAULT_BLOCKSIZE,
    storage_options: dict[str, Any] | None = None,
) -> dask.bag.Bag:
    """Return a Dask bag of the records of `urlpath`, in file order.

    `urlpath` is a path, a glob, an fsspec URL (``s3://bucket/part-*.jsonl``, ``gs://``,
    ``https://``, ``memory://``...) or a list of them; `storage_options` go to fsspec. An
    uncompressed file larger than `blocksize` (bytes, or a string such as ``"128 MiB"``) is
    read in byte ranges of about that size, one partition each; every record belongs to the
    partition its text starts in, so the partitions hold exactly the records of
    ``quarn.iter_records`` of each file, in order: JSON Lines, JSON arrays (compact ones on one
    line too) and the array `records` names (a JSON Pointer); `fields` keeps only the named parts
    of each record, as in ``iter_records``. ``blocksize=None`` makes one
    partition per file. Compressed files (by name with ``compression="infer"``, by content as
    well, or any named `compression`) are one partition each: a compressed stream cannot be
    entered in the middle.

    Each partition streams its records (one at a time, reading its range in blocks, plus what
    its last record needs past the range's end), so a reduction holds one record at a time.
    Files are opened when the bag is computed; only their sizes are looked up here.
    """
    if isinstance(urlpath, (str, os.PathLike)):
        urlpath = [urlpath]
    urls = [os.fspath(u) for u in urlpath]
    size = None if blocksize is None else parse_bytes(blocksize)
    if size is not None and size < 1:
        raise ValueError(f"blocksize must be positive, not {blocksize!r}")
    _compression.checked(compression)
    # Each file with its byte ranges, or None when it is read whole.
    files: list[tuple[_File, list[tuple[int, int]] | None]] = []
    if urls:
        fs, _, paths = fsspec.core.get_fs_token_paths(
            urls, mode="rb", storage_options=storage_options or {}
        )
        for path in paths:
            source = _File(fs, path)
            source.size = fs.size(path)
            compressed = compression is not None and (
                compression != "infer" or infer_compression(path) is not None
            )
            ranges = None if size is None or compressed else _ranges.cut(0, source.size, size)
            files.append((source, ranges if ranges and len(ranges) > 1 else None))
    fields = list(fields) if fields is not None else None
    name = "read-records-" + tokenize(
        urls, format, records, fields, compression, size, storage_options
    )
    if not files:
        return dask.bag.Bag({(name, 0): []}, name, 1)
    # The reify is dask's own marker: the bag optimizer strips it wherever a later step
    # consumes the partition, leaving the iterator to stream into that step, and keeps it
    # where the partition is a result that must be a list to travel between workers.
    graph: dict[Key, Any] = {}
    n = 0
    for i, (source, ranges) in enumerate(files):
        whole = (source, format, records, compression, fields)
        if ranges is None:
            graph[(name, n)] = (reify, (_read_whole, *whole))
            n += 1
            continue
        plan = (f"{name}-plan", i)
        graph[plan] = (_plan, source, format, records)
        summaries = []
        for k, bounds in enumerate(ranges):
            key = (f"{name}-summary-{i}", k)
            graph[key] = (_summary, source, plan, bounds)
            summaries.append(key)
        states = (f"{name}-states", i)
        graph[states] = (_combine, plan, ranges, summaries)
        for k in range(len(ranges)):
            graph[(name, n)] = (reify, (_read_range, whole, plan, states, ranges, k))
            n += 1
    return dask.bag.Bag(graph, name, n)


class _File:
    """One file of a file system: its size, positioned reads, and its records' sources."""

    def __init__(self, fs: Any, path: str) -> None:
        self.fs = fs
        self.path = path
        self.local = isinstance(fs, LocalFileSystem)
        self.size: int = 0
        self._open: Any = None

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_open": None}

    def source(self) -> Any:
        """What quarn's functions read: a local path, or an open file object."""
        if self.local:
            return self.path
        f = self.opened()
        f.seek(0)
        return f

    def opened(self) -> Any:
        if self._open is None:
            self._open = self.fs.open(self.path, "rb")
        return self._open

    def read_at(self, offset: int, n: int) -> bytes:
        f = self.opened()
        f.seek(offset)
        data: bytes = f.read(n)
        return data

    def chunks(self, start: int, end: int) -> Iterator[bytes]:
        at = start
        while at < end:
            data = self.read_at(at, min(_ranges.CHUNK, end - at))
            if not data:
                return
            yield data
            at += len(data)

    def close(self) -> None:
        if self._open is not None:
            self._open.close()
            self._open = None


def _sized(source: _File) -> _File:
    if not source.size:
        source.size = source.fs.size(source.path)
    return source


def _read_whole(
    source: _File,
    format: str | None,
    records: str | None,
    compression: str | None,
    fields: list[str] | None = None,
) -> Iterator[Any]:
    got = source.source()
    # Only what differs from iter_records' defaults is passed on.
    options: dict[str, Any] = {}
    if compression != "infer":
        options["compression"] = compression
    if records is not None:
        options["records"] = records
    if fields is not None:
        options["fields"] = fields
    try:
        yield from quarn.iter_records(got, format, **options)
    finally:
        source.close()


def _plan(source: _File, format: str | None, records: str | None) -> dict[str, Any]:
    """How the records of the file lie: kind ("array", "lines", or "whole" for anything read
    in one piece: a compressed file, one document, nothing), where they start, where the array
    that `records` names ends (else the file's size)."""
    _sized(source)
    try:
        head = source.read_at(0, 6)
        if _ranges.native.compressed(head):
            return {"kind": "whole"}
        kind, start, limit = _ranges.native.plan(source.source(), format, records)
    except _READ_ERRORS:
        return {"kind": "whole"}  # its reader in order raises the error
    finally:
        source.close()
    if kind not in ("array", "lines"):
        return {"kind": "whole"}
    end = limit if records is not None else source.size
    return {"kind": kind, "start": start, "end": end, "entered": records is not None}


def _clip(plan: dict[str, Any], bounds: tuple[int, int]) -> tuple[int, int]:
    a, b = bounds
    a, b = max(a, plan["start"]), min(b, plan["end"])
    return (a, b) if a < b else (b, b)


_IDENTITY = ((0, 0, 0, 0, False), (1, 0, 0, 0, False), (2, 0, 0, 0, False))


def _summary(source: _File, plan: dict[str, Any], bounds: tuple[int, int]) -> Any:
    if plan["kind"] != "array":
        return None
    a, b = _clip(plan, bounds)
    if a >= b:
        return _IDENTITY
    if source.local:
        return _ranges.native.summarize(source.path, a, b)
    acc = None
    try:
        for data in source.chunks(a, b):
            acc = _ranges.native.summarize_buffer(data, acc)
    finally:
        source.close()
    return acc or _IDENTITY


def _combine(
    plan: dict[str, Any], ranges: list[tuple[int, int]], summaries: list[Any]
) -> tuple[list[tuple[int, int]], int] | None:
    """The true start state of every range and the range in which the array closes: a few
    integers per range, whatever the file's size."""
    if plan["kind"] != "array":
        return None
    states = _ranges.start_states(summaries)
    return states, _ranges.closing_range(summaries, states)


def _finder(source: _File) -> Any:
    if source.local:
        return lambda a, stop, st, depth: _ranges.native.find_separator(
            source.path, a, stop, st, depth
        )

    def find(a: int, stop: int, st: int, depth: int) -> int:
        at = a
        for data in source.chunks(a, stop):
            i, st, depth = _ranges.native.find_separator_buffer(data, st, depth)
            if i >= 0:
                return at + i
            at += len(data)
        return -1

    return find


def _read_range(
    whole: tuple[Any, ...],
    plan: dict[str, Any],
    combined: Any,
    ranges: list[tuple[int, int]],
    k: int,
) -> Iterator[Any]:
    source: _File = _sized(whole[0])
    kind = plan["kind"]
    if kind == "whole":
        return _read_whole(*whole) if k == 0 else iter(())
    try:
        piece = _lines_piece(source, plan, ranges[k]) if kind == "lines" else None
        if kind == "array":
            piece = _array_piece(source, plan, combined, ranges, k)
    finally:
        source.close()
    if piece is None:
        return iter(())
    # A piece of an array that starts after a separator, or ends before one, holds an
    # element: an empty one is a hole (`[1,,2]`, `[1,]`), which the whole file's reader
    # rejects.
    start, close = piece[1], piece[3]
    filled = kind == "array" and (start != plan["start"] or close)
    return _exact(_piece_records(source, kind == "array", *piece, fields=whole[4]), whole, filled)


def _lines_piece(
    source: _File, plan: dict[str, Any], bounds: tuple[int, int]
) -> tuple[bool, int, int, bool] | None:
    a, b = bounds
    s = _ranges.line_start(source.read_at, a, plan["start"], source.size)
    e = _ranges.line_start(source.read_at, b, plan["start"], source.size)
    if s >= e:
        return None
    # The first piece from the file's start, where its reader skips a byte-order mark.
    first = s == plan["start"]
    return first, 0 if first else s, e, False


def _array_piece(
    source: _File, plan: dict[str, Any], combined: Any, ranges: list[tuple[int, int]], k: int
) -> tuple[bool, int, int, bool] | None:
    states, closing = combined
    if k > closing:
        return None
    find = _finder(source)

    def element_start(j: int) -> int | None:
        a, b = _clip(plan, ranges[j])
        if a >= b:
            return None
        if a == plan["start"]:
            return a
        return _ranges.element_start(1, (a, b), states[j], source.read_at, find)

    t = element_start(k)
    if t is None:
        return None
    for j in range(k + 1, min(closing + 1, len(ranges))):
        following = element_start(j)
        if following is not None:
            return False, t, following - 1, True
    return False, t, plan["end"] if plan["entered"] else 0, False


def _piece_records(
    source: _File,
    array: bool,
    first: bool,
    start: int,
    end: int,
    close: bool,
    fields: list[str] | None = None,
) -> Iterator[Any]:
    if source.local:
        return _ranges.native.iter_piece(source.path, array, first, start, end, close, fields)
    prefix = b"[" if array else b"" if first else b"\n"
    stream = _PieceStream(source, prefix, start, end or source.size, b"]" if close else b"")
    return _closing(
        quarn.iter_records(stream, "json" if array else "jsonl", compression=None, fields=fields),
        source,
    )


def _closing(records: Iterator[Any], source: _File) -> Iterator[Any]:
    try:
        yield from records
    finally:
        source.close()


def _exact(records: Iterator[Any], whole: tuple[Any, ...], filled: bool = False) -> Iterator[Any]:
    """The records of a piece; a bad one is reported as the file's reader in order reports
    the file's first bad record (its position counted in the whole file). A `filled` piece
    that holds no record is such a fault too."""
    n = 0
    try:
        for record in records:
            n += 1
            yield record
    except _READ_ERRORS:
        _first_error(whole)
        raise
    if filled and n == 0:
        _first_error(whole)


def _first_error(whole: tuple[Any, ...]) -> None:
    """Raises the first error of the file's reader in order, if it finds one."""
    try:
        for _ in _read_whole(*whole):
            pass
    except _READ_ERRORS as first:
        raise first from None


class _PieceStream:
    """A piece of a remote file as one binary stream: `prefix`, the bytes [start, end), then
    `suffix`."""

    def __init__(self, source: _File, prefix: bytes, start: int, end: int, suffix: bytes):
        self._chunks = source.chunks(start, end)
        self._parts = [prefix]
        self._suffix = suffix
        self._done = False

    def read(self, n: int = -1) -> bytes:
        while not self._parts or not self._parts[0]:
            if self._parts:
                self._parts.pop(0)
            if self._done:
                return b""
            nxt = next(self._chunks, None)
            if nxt is None:
                self._done = True
                self._parts.append(self._suffix)
            else:
                self._parts.append(nxt)
        part = self._parts[0]
        if n < 0 or n >= len(part):
            self._parts.pop(0)
            return part
        self._parts[0] = part[n:]
        return part[:n]
