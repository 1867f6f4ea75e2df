"""quarn: fast, memory-conscious tools for large JSON and JSON Lines files.

``quarn.bigjson`` holds the native functions ``count``, ``load``,
``iter_records`` and ``schema`` and the ``RecordIterator`` class.

The functions of the same names at the top of the package behave exactly like
the native ones, but they can be pickled: the native functions report the
module name ``bigjson``, which no importer can find, so ``pickle`` cannot send
them to another process. Use these with ``concurrent.futures``,
``multiprocessing`` or Dask.
"""

from typing import Any, SupportsIndex

from quarn._version import __version__
from quarn.lib import _quarn as _quarn
from quarn.lib._quarn import bigjson

RecordIterator = bigjson.RecordIterator

__all__ = [
    "RecordIterator",
    "__version__",
    "bigjson",
    "count",
    "iter_records",
    "load",
    "schema",
]


def count(path: str, format: str | None = None) -> int:
    """Return the number of records in a JSON / JSONL file, found without parsing.

    Same as ``quarn.bigjson.count``.
    """
    return bigjson.count(path, format)


def load(path: str, format: str | None = None) -> Any:
    """Load a whole JSON / JSONL file (a JSONL file gives a list of its records).

    Same as ``quarn.bigjson.load``.
    """
    return bigjson.load(path, format)


def iter_records(path: str, format: str | None = None) -> RecordIterator:
    """Return a lazy iterator over the records of a JSON / JSONL file.

    Same as ``quarn.bigjson.iter_records``; the iterator itself cannot be pickled.
    """
    return bigjson.iter_records(path, format)


def schema(path: str, sample: SupportsIndex = 100, format: str | None = None) -> str:
    """Describe the merged structure of the first ``sample`` records as indented JSON.

    Same as ``quarn.bigjson.schema``.
    """
    return bigjson.schema(path, sample, format)
