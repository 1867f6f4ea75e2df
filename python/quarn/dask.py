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

__all__ = ["read_dataframe", "read_records"]

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
    fields = list(fields) if fields is not None else None
    files, key = _files(urlpath, compression, blocksize, storage_options)
    name = "read-records-" + tokenize(format, records, fields, *key)
    if not files:
        return dask.bag.Bag({(name, 0): []}, name, 1)
    # The reify is dask's own marker: the bag optimizer strips it wherever a later step
    # consumes the partition, leaving the iterator to stream into that step, and keeps it
    # where the partition is a result that must be a list to travel between workers.
    graph, n = _graph(
        name,
        files,
        (format, records, compression, fields),
        lambda whole: (reify, (_read_whole, *whole)),
        lambda whole, plan, states, ranges, k: (
            reify,
            (_read_range, whole, plan, states, ranges, k),
        ),
    )
    return dask.bag.Bag(graph, name, n)


def read_dataframe(
    urlpath: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    format: str | None = None,
    *,
    records: str | None = None,
    fields: list[str] | None = None,
    schema: Any = None,
    sample: int = 1000,
    compression: str | None = "infer",
    blocksize: int | str | None = DEFAULT_BLOCKSIZE,
    storage_options: dict[str, Any] | None = None,
    on_conflict: str = "error",
    new_keys: str = "ignore",
) -> Any:
    """Return a Dask DataFrame of the records of `urlpath`, in file order.

    The partitions are those of ``read_records`` (one per byte range of an uncompressed file
    larger than `blocksize`, one per other file), each a pandas DataFrame with Arrow-backed
    columns (``pandas.ArrowDtype``) built natively by ``quarn.read_arrow``, without a Python
    object per record. The columns are those ``quarn.read_arrow`` gives the first file
    (inferred from its first `sample` records, only those `fields` names, or `schema`), the
    same for every partition; `records`, `compression`, `on_conflict` and `new_keys` as
    there. The schema is read when the DataFrame is made; the records when it is computed.
    Needs pyarrow and pandas besides dask's DataFrame.
    """
    import dask.dataframe as dd
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    from dask.delayed import Delayed

    fields = list(fields) if fields is not None else None
    files, key = _files(urlpath, compression, blocksize, storage_options)
    if not files:
        raise ValueError(f"no file matches {urlpath!r}")
    first = files[0][0]
    with first.opened() as got:
        reader = quarn.read_arrow(
            got,
            format,
            records=records,
            compression=compression,
            fields=fields,
            schema=schema,
            sample=sample,
            batch_rows=1,
            on_conflict=on_conflict,
            new_keys=new_keys,
        )
        columns = reader.schema
        table = (65536, 16 << 20, on_conflict, new_keys, 1, False, columns, reader._wrapped)
    name = "read-dataframe-" + tokenize(format, records, str(columns), table[2:6], *key)
    graph, n = _graph(
        name,
        files,
        (format, records, compression, table),
        lambda whole: (_frame_whole, *whole),
        lambda whole, plan, states, ranges, k: (_frame_range, whole, plan, states, ranges, k),
    )
    meta = columns.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    parts = [Delayed((name, k), graph) for k in range(n)]  # type: ignore[no-untyped-call, unused-ignore]
    return dd.from_delayed(parts, meta=meta, verify_meta=False)


def _files(
    urlpath: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    compression: str | None,
    blocksize: int | str | None,
    storage_options: dict[str, Any] | None,
) -> tuple[list[tuple[_File, list[tuple[int, int]] | None]], tuple[Any, ...]]:
    """Each file with its byte ranges (None when it is read whole), and what names them in
    the tasks' keys."""
    if isinstance(urlpath, (str, os.PathLike)):
        urlpath = [urlpath]
    urls = [os.fspath(u) for u in urlpath]
    size = None if blocksize is None else parse_bytes(blocksize)
    if size is not None and size < 1:
        raise ValueError(f"blocksize must be positive, not {blocksize!r}")
    _compression.checked(compression)
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
    return files, (urls, compression, size, storage_options, identities)


def _graph(
    name: str,
    files: list[tuple[_File, list[tuple[int, int]] | None]],
    options: tuple[Any, ...],
    whole_task: Any,
    range_task: Any,
) -> tuple[dict[Key, Any], int]:
    """The tasks that read `files`: per file cut into ranges, a plan, a summary per range
    and their combination, then the task `range_task` makes of each range; per other file
    the task `whole_task` makes. Returns the graph and the number of partitions."""
    graph: dict[Key, Any] = {}
    n = 0
    format, records, compression = options[:3]
    for i, (source, ranges) in enumerate(files):
        whole = (source, *options)
        if ranges is None:
            graph[(name, n)] = whole_task(whole)
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
            graph[(name, n)] = range_task(whole, plan, states, ranges, k)
            n += 1
    return graph, n


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
        # By keyword: some file systems take other arguments in between (s3fs: version_id).
        data: bytes = self.fs.cat_file(self.path, start=offset, end=offset + n)
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


# --- DataFrame partitions ---------------------------------------------------------------------


def _batches_frame(batches: Iterable[Any], table: tuple[Any, ...]) -> Any:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    columns = pa.Table.from_batches(list(batches), schema=table[6])
    return columns.to_pandas(types_mapper=pd.ArrowDtype)


def _arrow_whole(
    source: _File, format: str | None, records: str | None, compression: str | None, table: Any
) -> Iterator[Any]:
    from quarn.lib import _quarn

    with source.opened() as got:
        yield from _quarn._sources.read_arrow(
            got, format, records, (compression, None), None, 0, table
        )


def _frame_whole(
    source: _File, format: str | None, records: str | None, compression: str | None, table: Any
) -> Any:
    return _batches_frame(_arrow_whole(source, format, records, compression, table), table)


def _frame_range(
    whole: tuple[Any, ...],
    layout: _ranges.Layout | None,
    combined: Any,
    ranges: list[tuple[int, int]],
    k: int,
) -> Any:
    source: _File = whole[0]
    table = whole[4]
    if layout is None:
        return _frame_whole(*whole) if k == 0 else _batches_frame((), table)
    piece = _ranges.piece(layout, ranges, k, source.ranges_source, combined)
    if piece is None:
        return _batches_frame((), table)
    at = source.ranges_source
    if not isinstance(at, (str, bytes)):
        at = _ranges.RangeStream(at, piece.start, piece.end)
    try:
        batches = list(_ranges.native.arrow_piece(at, *piece.args, table))
    except _READ_ERRORS:
        _first_arrow_error(whole)
        raise
    if piece.filled and not any(b.num_rows for b in batches):
        _first_arrow_error(whole)
    return _batches_frame(batches, table)


def _first_arrow_error(whole: tuple[Any, ...]) -> None:
    """Raises the first error of the file's Arrow reader in order, if it finds one."""
    try:
        for _ in _arrow_whole(*whole):
            pass
    except _READ_ERRORS as first:
        raise first from None
