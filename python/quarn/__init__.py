"""quarn: fast, memory-conscious tools for large JSON and JSON Lines files.

``quarn.bigjson`` holds the native functions ``count``, ``load``, ``iter_records`` and
``schema`` and the ``RecordIterator`` class: ``str`` paths only, format by name first.

The functions of the same names at the top of the package take every source a caller
holds (a path, ``pathlib.Path``, ``"-"`` for standard input, a binary file object),
compressed or not, detect the format by content, show a progress bar on request, and can
be pickled (the native functions report the module name ``bigjson``, which no importer can
find), so they work with ``concurrent.futures``, ``multiprocessing`` and Dask.
"""

from __future__ import annotations

from quarn import _ranges
from quarn._compression import CompressedDataError
from quarn._progress import reporter as _reporter
from quarn._version import __version__
from quarn.lib import _quarn as _quarn
from quarn.lib._quarn import bigjson

# Annotations only: `import quarn` does not import typing (see __getattr__).
TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, SupportsIndex

    from quarn._types import Readable as Readable
    from quarn._types import ReadableInto as ReadableInto
    from quarn._types import Source as Source

RecordIterator = bigjson.RecordIterator
_native = _quarn._sources
ArrowReader = _native.ArrowReader

__all__ = [
    "ArrowReader",
    "CompressedDataError",
    "RecordIterator",
    "Source",
    "__version__",
    "bigjson",
    "build_info",
    "count",
    "iter_records",
    "load",
    "read_arrow",
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
    # A path with the defaults goes straight to the native count; the rest is Python's
    # only where it must be (threads over a file).
    if jobs.__class__ is not int or jobs != 1:
        jobs = _ranges.check_jobs(jobs)
        if jobs > 1 and records is None:
            n = _ranges.count(source, format, jobs, compression)
            if n is not None:
                return n
    return _native.count(source, format, records, (compression, None))


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
    return _native.load(
        source,
        format,
        records,
        (compression, _reporter(progress, "load") if progress else None),
        None if fields is None else _fields(fields),
    )


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
    return _native.iter_records(
        source,
        format,
        records,
        (compression, _reporter(progress, "iter_records") if progress else None),
        None if fields is None else _fields(fields),
    )


def read_arrow(
    source: Source,
    format: str | None = None,
    *,
    compression: str | None = "infer",
    records: str | None = None,
    fields: Sequence[str] | None = None,
    schema: Any = None,
    sample: SupportsIndex = 1000,
    batch_rows: SupportsIndex = 65536,
    batch_bytes: SupportsIndex = 16 << 20,
    jobs: SupportsIndex = 1,
    on_conflict: str = "error",
    new_keys: str = "ignore",
    skip_bad: bool = False,
    progress: bool = False,
) -> ArrowReader:
    """Return the records of `source` as Arrow record batches (an ``ArrowReader``).

    Sources, `compression`, `format`, `records`, `progress` and `fields` as for
    ``iter_records``. The columns and their types come from the first `sample` records:
    an object's keys are its columns (nested objects are structs, arrays are lists);
    integers are int64, or float64 where the sample also holds fractions or larger
    integers; a record that is not an object is the single column ``value``. Or they are
    `schema`'s, and nothing is inferred: a ``pyarrow.Schema``, or a dict of column names or
    JSON Pointers (``"/user/name"``, a nested struct) to type names (``"bool"``, ``"int64"``,
    ``"float64"``, ``"utf8"``, ``"list<int64>"``, ...) or pyarrow types, in column order.
    Keys with no column (met after the sample, or outside `schema` or `fields`) are passed
    over (``new_keys="ignore"``) or fail their record (``"error"``). A value its column
    cannot hold fails its record with a ``ValueError`` naming the record and the value's
    place (``on_conflict="error"``), becomes null (``"null"``), or, in a string column, is
    kept as its JSON text (``"text"``). A record that fails raises where its batch would
    come, after the batches before it; with `skip_bad`, records that are not JSON or do not
    fit the columns are passed over instead and counted in the reader's ``skipped``. A
    batch holds up to `batch_rows` records, and ends after the record that brings its
    records' text to `batch_bytes` (16 MiB; at most 1 GiB); `jobs` threads build the
    batches, which are the same batches, in the same order, whatever their number.
    """
    if schema is not None and fields is not None:
        raise ValueError("give fields or schema, not both (a schema names its columns)")
    if fields is not None and new_keys == "error":
        raise ValueError("new_keys='error' fails every record with a key fields= leaves out")
    if jobs.__class__ is not int:
        jobs = _ranges.check_jobs(jobs)
    return _native.read_arrow(
        source,
        format,
        records,
        (compression, _reporter(progress, "read_arrow") if progress else None),
        None if fields is None else _fields(fields),
        sample,
        (batch_rows, batch_bytes, on_conflict, new_keys, jobs, skip_bad, schema),
    )


def _fields(fields: Sequence[str]) -> list[str]:
    # A lone str would otherwise be taken as a list of one-letter names.
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
    return _native.schema(source, sample, format, records, (compression, None))


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
    return _native.outline(source, sample, format, records, (compression, None))


def build_info() -> dict[str, str]:
    """Which library decodes each compression in this process, by name (``"gzip"``,
    ``"bz2"``, ``"xz"``, ``"zstd"``): the library, its version and whether this build links
    it or loads it at run time, or why a faster one is not used; for example
    ``{"gzip": "zlib-ng 2.3.3 (loaded from the zlib_ng package)", ...}``."""
    return _quarn.build_info()


def __getattr__(name: str) -> Any:
    # The source types, made when first asked for.
    if name in ("Readable", "ReadableInto", "Source"):
        from quarn import _types

        return getattr(_types, name)
    raise AttributeError(f"module 'quarn' has no attribute {name!r}")
