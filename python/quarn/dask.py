"""Dask integration: a bag of the records of many JSON / JSON Lines files.

Needs the optional dependencies of ``pip install 'quarn[dask]'``.
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

import dask.bag
from dask.bag.core import reify
from dask.base import tokenize

import quarn

if TYPE_CHECKING:
    from dask.typing import Key

__all__ = ["read_records"]


def read_records(
    paths: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    format: str | None = None,
    *,
    records: str | None = None,
    fields: list[str] | None = None,
) -> dask.bag.Bag:
    """Return a Dask bag of the records of `paths`, one partition per file.

    Each partition streams its file with ``quarn.iter_records``, so a reduction
    (``count``, ``sum``, ``frequencies``, ``fold``...) holds one record at a time.
    Only a partition that is itself a result (``compute()`` of the bag, ``persist``)
    is gathered into a list. `format` and `records` (the JSON Pointer of the array whose
    elements are the records) and `fields` (keep only these parts of each record) apply
    to every file, as in ``iter_records``. Files are
    opened when the bag is computed, not here.
    """
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    names = [os.fspath(path) for path in paths]
    name = "read-records-" + tokenize(names, format, records, fields)
    if not names:
        return dask.bag.Bag({(name, 0): []}, name, 1)
    # The reify is dask's own marker: the bag optimizer strips it wherever a later step
    # consumes the partition, leaving iter_records' iterator to stream into that step, and
    # keeps it where the partition is a result that must be a list to travel between workers.
    # quarn.iter_records rather than the native function, which cannot be pickled.
    options: dict[str, Any] = {"records": records} if records else {}
    if fields is not None:
        options["fields"] = list(fields)
    read = functools.partial(quarn.iter_records, **options) if options else quarn.iter_records
    graph: dict[Key, Any] = {
        (name, i): (reify, (read, path, format)) for i, path in enumerate(names)
    }
    return dask.bag.Bag(graph, name, len(names))
