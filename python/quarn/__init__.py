"""quarn: fast, memory-conscious tools for large JSON and JSON Lines files.

``quarn.bigjson`` holds the native functions ``count``, ``load``, ``iter_records`` and
``schema`` and the ``RecordIterator`` class: ``str`` paths only, format by name first.

The functions of the same names at the top of the package take every source a caller
holds (a path, ``pathlib.Path``, ``"-"`` for standard input, a binary file object),
compressed or not, detect the format by content, show a progress bar on request, and can
be pickled (the native functions report the module name ``bigjson``, which no importer can
find), so they work with ``concurrent.futures``, ``multiprocessing`` and Dask.
"""

import os
from collections.abc import Sequence
from typing import Any, Protocol, SupportsIndex, TypeAlias

from quarn import _ranges
from quarn._compression import CompressedDataError
from quarn._input import how as _how
from quarn._input import native_source as _source
from quarn._progress import reporter as _reporter
from quarn._version import __version__
from quarn.lib import _quarn as _quarn
from quarn.lib._quarn import bigjson

RecordIterator = bigjson.RecordIterator
_native = _quarn._sources


class Readable(Protocol):
    """A binary file object: anything whose ``read`` returns bytes."""

    def read(self, size: int = ..., /) -> bytes: ...


class ReadableInto(Protocol):
    """A binary file object read with ``readinto``."""

    def readinto(self, buffer: Any, /) -> int | None: ...


Source: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes] | Readable | ReadableInto

__all__ = [
    "CompressedDataError",
    "RecordIterator",
    "Source",
    "__version__",
    "bigjson",
    "count",
    "iter_records",
    "load",
    "schema",
]


def count(
    source: Source,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
    jobs: int = 1,
) -> int:
    """Return the number of records of `source`, found without parsing.

    `source` is a path (``str`` or ``os.PathLike``), ``"-"`` for standard input, or a binary
    file object (read from its position, never closed). Compressed data (gzip, bz2, xz,
    zstd) is recognised by its first bytes; `compression` forces one or (``None`` or
    ``"none"``) none. Without `format`, the content decides between JSON and JSON Lines,
    the name (less a compression suffix) where the content cannot tell. `jobs` threads
    share one large uncompressed file (a JSON array or JSON Lines), with the same result.
    """
    jobs = _ranges.check_jobs(jobs)
    how = _how(compression)
    if jobs > 1 and records is None:
        n = _ranges.count(_source(source), format, jobs, how[0])
        if n is not None:
            return n
    return _native.count(_source(source), format, records=records, compressed=how)


def load(
    source: Source,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
    progress: bool = False,
    fields: Sequence[str] | None = None,
) -> Any:
    """Load the whole of `source` (a JSON Lines source gives a list of its records).

    Sources, `compression` and `format` as for `count`; `progress` shows a bar on stderr
    (needs tqdm: ``pip install 'quarn[cli]'``). `fields` keeps only the named parts of
    each record: a name is a top-level key, a string starting with ``/`` a JSON Pointer
    (``"/user/screen_name"``); each record becomes a dict of what it holds of them, nested
    as in the record (a record that is not an object gives ``{}``). The rest of each
    record is checked but never built.
    """
    fields = _fields(fields)
    how = _how(compression, _reporter(progress, "load"))
    return _native.load(_source(source), format, records=records, compressed=how, fields=fields)


def iter_records(
    source: Source,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
    progress: bool = False,
    fields: Sequence[str] | None = None,
) -> RecordIterator:
    """Return a lazy iterator over the records of `source`.

    Sources, `compression` and `format` as for `count`; `progress` and `fields` as for
    `load`. What the call opened is closed when the iterator is destroyed; the iterator
    cannot be pickled.
    """
    fields = _fields(fields)
    how = _how(compression, _reporter(progress, "iter_records"))
    return _native.iter_records(
        _source(source), format, records=records, compressed=how, fields=fields
    )


def _fields(fields: Sequence[str] | None) -> list[str] | None:
    # A lone str would otherwise be taken as a list of one-letter names.
    if fields is None:
        return None
    if isinstance(fields, str):
        raise TypeError(f"fields must be a list of str, not a str (did you mean [{fields!r}]?)")
    return list(fields)


def schema(
    source: Source,
    sample: SupportsIndex = 100,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
) -> str:
    """Describe the merged structure of the first `sample` records as indented JSON.

    Sources, `compression` and `format` as for `count`.
    """
    how = _how(compression)
    return _native.schema(_source(source), sample, format, records=records, compressed=how)


def _outline(
    source: Source,
    sample: SupportsIndex = 100,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
) -> tuple[str, list[tuple[str, int, bool]]]:
    """``schema``'s text, and (pointer, elements seen, rest skipped) for the arrays of a
    single JSON document, for the command line to suggest ``--records``."""
    how = _how(compression)
    return _native.outline(_source(source), sample, format, records, how)
