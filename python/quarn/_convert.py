"""Writing records to files for other tools: Parquet, Arrow IPC and JSON Lines.

The command line's ``convert`` reads with the package's functions and writes here. A file
is written beside its destination under a hidden temporary name and renamed over it at the
end, so that a failure, an interrupt or a termination leaves no half-written file under the
destination's name (and an existing one as it was).
"""

from __future__ import annotations

import importlib
import os
import tempfile

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable
    from types import TracebackType
    from typing import Any, BinaryIO, Self

# Output formats by a destination's suffix.
SUFFIXES = {
    ".parquet": "parquet",
    ".arrow": "arrow",
    ".feather": "arrow",
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
}
FORMATS = ("parquet", "arrow", "jsonl")
# Formats written through pyarrow's writers.
ARROW_FORMATS = ("parquet", "arrow")


def format_of(destination: str) -> str | None:
    """The output format a destination's suffix names, or None."""
    return SUFFIXES.get(os.path.splitext(destination)[1].lower())


class MissingPyarrow(ImportError):
    pass


def pyarrow_modules() -> tuple[Any, Any, Any]:
    """pyarrow, pyarrow.parquet and pyarrow.ipc, or MissingPyarrow saying how to get them."""
    try:
        pyarrow = importlib.import_module("pyarrow")
        importlib.import_module("pyarrow.compute")
        parquet = importlib.import_module("pyarrow.parquet")
        ipc = importlib.import_module("pyarrow.ipc")
    except ImportError as exc:
        raise MissingPyarrow(
            f"writing Parquet and Arrow files needs pyarrow: pip install 'quarn[arrow]' ({exc})"
        ) from None
    return pyarrow, parquet, ipc


def _umask() -> int:
    # Read by setting it: there is no other way, and the command runs single-threaded here.
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Replacement:
    """A temporary file in `destination`'s folder that becomes `destination` on `commit`,
    and is removed on leaving the block without it, whatever ended the block."""

    def __init__(self, destination: str) -> None:
        self.destination = destination
        folder, name = os.path.split(os.path.abspath(destination))
        if os.path.isdir(destination):
            raise IsADirectoryError(21, "Is a directory", destination)
        fd, self.path = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
        os.close(fd)
        self._done = False

    def __enter__(self) -> Self:
        return self

    def commit(self) -> None:
        # mkstemp's file is private; the result gets the mode any new file would get.
        os.chmod(self.path, 0o666 & ~_umask())
        os.replace(self.path, self.destination)
        self._done = True

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        if not self._done:
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass


class ReadError(Exception):
    """What reading the source raised, told apart from a failure to write."""

    def __init__(self, cause: Exception) -> None:
        super().__init__(str(cause))
        self.cause = cause


def _read(items: Iterable[Any]) -> Iterable[Any]:
    iterator = iter(items)
    while True:
        try:
            item = next(iterator)
        except StopIteration:
            return
        except (ValueError, RuntimeError, OSError, ImportError) as exc:
            raise ReadError(exc) from exc
        yield item


def write_chunks(
    chunks: Iterable[bytes], out: BinaryIO, on_chunk: Callable[[], None] | None = None
) -> None:
    """Writes byte chunks to `out`; a failure to read them is a ReadError."""
    for chunk in _read(chunks):
        out.write(chunk)
        if on_chunk is not None:
            on_chunk()


def _storable(pa: Any, type_: Any) -> Any:
    """`type_` as Parquet can store it: a struct without fields (an object that never held
    a key) has no Parquet form, and becomes a column of nulls."""
    if pa.types.is_struct(type_):
        if type_.num_fields == 0:
            return pa.null()
        return pa.struct([field.with_type(_storable(pa, field.type)) for field in type_])
    if pa.types.is_list(type_):
        return pa.list_(type_.value_field.with_type(_storable(pa, type_.value_type)))
    if pa.types.is_large_list(type_):
        return pa.large_list(type_.value_field.with_type(_storable(pa, type_.value_type)))
    return type_


def _recast(pa: Any, array: Any, type_: Any) -> Any:
    """`array` rebuilt with the type _storable gave for its own (the same where it is)."""
    if array.type == type_:
        return array
    if pa.types.is_null(type_):
        return pa.nulls(len(array))
    mask = array.is_null() if array.null_count else None
    if pa.types.is_struct(type_):
        children = [_recast(pa, array.field(i), f.type) for i, f in enumerate(type_)]
        return pa.StructArray.from_arrays(children, fields=list(type_), mask=mask)
    # A list: rebuilt over its own offsets, so that a slice's values are not all taken.
    kind = pa.ListArray if pa.types.is_list(type_) else pa.LargeListArray
    start, end = array.offsets[0].as_py(), array.offsets[-1].as_py()
    offsets = pa.compute.subtract(array.offsets, start) if start else array.offsets
    values = _recast(pa, array.values.slice(start, end - start), type_.value_type)
    return kind.from_arrays(offsets, values, type=type_, mask=mask)


def write_parquet(reader: Any, path: str) -> None:
    """Writes the batches of an ArrowReader to a Parquet file, one row group per batch."""
    pa, parquet, _ = pyarrow_modules()
    schema = reader.schema
    stored = pa.schema(
        [field.with_type(_storable(pa, field.type)) for field in schema], metadata=schema.metadata
    )
    with parquet.ParquetWriter(path, stored) as writer:
        for batch in _read(reader):
            if stored != schema:
                columns = [
                    _recast(pa, column, field.type)
                    for column, field in zip(batch.columns, stored, strict=True)
                ]
                batch = pa.RecordBatch.from_arrays(columns, schema=stored)
            writer.write_batch(batch)


def write_ipc(reader: Any, out: str | BinaryIO, *, stream: bool = False) -> None:
    """Writes the batches of an ArrowReader as an Arrow IPC file, or (`stream`) as the IPC
    stream format, which needs no seeking and so can go to a pipe."""
    pyarrow, _, ipc = pyarrow_modules()
    sink = out if isinstance(out, str) else pyarrow.PythonFile(out, mode="w")
    opened = ipc.new_stream if stream else ipc.new_file
    with opened(sink, reader.schema) as writer:
        for batch in _read(reader):
            writer.write_batch(batch)
