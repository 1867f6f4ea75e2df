"""Dask integration: a bag of the records of JSON / JSON Lines files, local or remote.

Needs the optional dependencies of ``pip install 'quarn[dask]'`` (remote file systems need
their fsspec implementation too: s3fs for ``s3://``, gcsfs for ``gs://``...).
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
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
    Files are opened when the bag is computed; only their sizes are looked up here, and a file
    cut into ranges is read as it was then: bytes appended later are not read. Every task
    opens what it reads, so any scheduler (threads, processes, a cluster) may run them.
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
    # What the file system says of each file (size, modification time, inode or ETag) goes
    # into the keys: a bag of a file rewritten since an earlier bag was made must not share
    # that bag's keys, or a cluster that still holds the earlier results (persisted, or not
    # yet released) hands them back, or runs the earlier plan against the new bytes.
    identities = []
    if urls:
        fs, _, paths = fsspec.core.get_fs_token_paths(
            urls, mode="rb", storage_options=storage_options or {}
        )
        for path in paths:
            info = fs.info(path)
            identities.append(info)
            source = _File(fs, path, info["size"])
            compressed = compression not in (None, "none") and (
                compression != "infer" or infer_compression(path) is not None
            )
            ranges = None if size is None or compressed else _ranges.cut(0, source.size, size)
            files.append((source, ranges if ranges and len(ranges) > 1 else None))
    fields = list(fields) if fields is not None else None
    name = "read-records-" + tokenize(
        urls, format, records, fields, compression, size, storage_options, identities
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
        graph[plan] = (_plan, source, format, records, compression)
        summaries = []
        for k, bounds in enumerate(ranges):
            key = (f"{name}-summary-{i}", k)
            graph[key] = (_summary, source, plan, bounds)
            summaries.append(key)
        states = (f"{name}-states", i)
        graph[states] = (_combine, plan, summaries)
        for k in range(len(ranges)):
            graph[(name, n)] = (reify, (_read_range, whole, plan, states, ranges, k))
            n += 1
    return dask.bag.Bag(graph, name, n)


class _File:
    """One file of a file system as the bag saw it: its path and size. It holds nothing open:
    each task opens what it reads whole and reads ranges by offset, so the tasks of one file
    share no file position, whichever scheduler runs them."""

    def __init__(self, fs: Any, path: str, size: int) -> None:
        self.fs = fs
        self.path = path
        self.size = size
        self.local = isinstance(fs, LocalFileSystem)

    @property
    def ranges_source(self) -> Any:
        """What `_ranges` reads a range of: the local path (read natively), or positioned
        reads through the file system."""
        return self.path if self.local else self.read_at

    def read_at(self, offset: int, n: int) -> bytes:
        data: bytes = self.fs.cat_file(self.path, offset, offset + n)
        return data

    @contextmanager
    def opened(self) -> Iterator[Any]:
        """What quarn's functions read whole: a local path, or a file object of the caller's
        own."""
        if self.local:
            yield self.path
            return
        with self.fs.open(self.path, "rb") as f:
            yield f


def _read_whole(
    source: _File,
    format: str | None,
    records: str | None,
    compression: str | None,
    fields: list[str] | None = None,
) -> Iterator[Any]:
    # Only what differs from iter_records' defaults is passed on.
    options: dict[str, Any] = {}
    if compression != "infer":
        options["compression"] = compression
    if records is not None:
        options["records"] = records
    if fields is not None:
        options["fields"] = fields
    with source.opened() as got:
        yield from quarn.iter_records(got, format, **options)


def _plan(
    source: _File, format: str | None, records: str | None, compression: str | None
) -> _ranges.Layout | None:
    """How the records of the file lie, or None for anything read in one piece: compressed
    data, one document, nothing."""
    try:
        if compression == "infer" and _ranges.native.compressed(source.read_at(0, 8)):
            return None
        with source.opened() as got:
            kind, start, limit, depth = _ranges.native.plan(got, format, records)
    except _READ_ERRORS:
        return None  # its reader in order raises the error
    if kind not in ("array", "lines"):
        return None
    return _ranges.Layout(kind, start, limit if records is not None else source.size, depth)


def _summary(source: _File, layout: _ranges.Layout | None, bounds: tuple[int, int]) -> Any:
    if layout is None or layout.kind != "array":
        return None
    a, b = _ranges.clip(layout, bounds)
    if a >= b:
        return _ranges.IDENTITY
    return _ranges.summarize(source.ranges_source, a, b)


def _combine(
    layout: _ranges.Layout | None, summaries: list[Any]
) -> tuple[list[tuple[int, int]], int] | None:
    """The true start state of every range and the range in which the array closes: a few
    integers per range, whatever the file's size."""
    if layout is None or layout.kind != "array":
        return None
    states = _ranges.start_states(summaries)
    return states, _ranges.closing_range(summaries, states)


def _read_range(
    whole: tuple[Any, ...],
    layout: _ranges.Layout | None,
    combined: Any,
    ranges: list[tuple[int, int]],
    k: int,
) -> Iterator[Any]:
    source: _File = whole[0]
    if layout is None:
        return _read_whole(*whole) if k == 0 else iter(())
    piece = _ranges.piece(layout, ranges, k, source.ranges_source, combined)
    if piece is None:
        return iter(())
    records = _ranges.piece_records(source.ranges_source, piece, whole[4])
    return _exact(records, whole, piece.filled)


def _exact(records: Iterator[Any], whole: tuple[Any, ...], filled: bool) -> Iterator[Any]:
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
