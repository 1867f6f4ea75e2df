"""The Arrow record batches of a source: what ``quarn.read_arrow`` returns.

The batches are built natively (``quarn.lib._quarn``); pyarrow is imported only by the
methods that hand out its objects.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator
    from typing import Any


def _pyarrow() -> Any:
    # Needed only by the methods that hand out pyarrow's objects.
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]

    return pyarrow


class ArrowReader:
    """The records of one source as Arrow record batches, in file order.

    Any library that takes the Arrow PyCapsule stream interface takes it without a copy
    of the data: ``pyarrow.table(r)``, ``pyarrow.RecordBatchReader.from_stream(r)``,
    ``polars.DataFrame(r)``, DuckDB's ``duckdb.sql("from r")``. It is an iterator of
    ``pyarrow.RecordBatch`` objects, and ``read_all()`` gives a ``pyarrow.Table`` (both need
    pyarrow). The batches are read once: a consumer that takes the stream takes every batch
    not yet read, and the reader hands out nothing more. A bad record raises where its
    batch would come, as ``iter_records`` raises; the next batch goes on after it.
    """

    __slots__ = ("_batches",)

    def __init__(self, batches: Any) -> None:
        self._batches = batches

    def __arrow_c_schema__(self) -> Any:
        """The batches' schema as an "arrow_schema" capsule."""
        return self._batches.schema()

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The batches not yet read as an "arrow_array_stream" capsule (a requested schema
        is not applied: the columns are those inferred or named)."""
        return self._batches.stream()

    @property
    def schema(self) -> Any:
        """The batches' schema, a ``pyarrow.Schema``."""
        return _pyarrow().Schema._import_from_c_capsule(self._batches.schema())

    def __iter__(self) -> Iterator[Any]:
        return self

    def __next__(self) -> Any:
        got = self._batches.next_batch()
        if got is None:
            raise StopIteration
        return _pyarrow().RecordBatch._import_from_c_capsule(*got)

    def read_all(self) -> Any:
        """Every batch not yet read, as one ``pyarrow.Table``."""
        return _pyarrow().Table.from_batches(list(self), schema=self.schema)
