"""Progress bars for the top-level functions: tqdm on stderr, driven by the reads.

The bar moves when a block is read (64 KiB at a time, or the compressed bytes a
decompressor has taken), never per record, and tqdm redraws it at most four times a
second, so a bar costs nothing measurable however small the records are.
"""

from __future__ import annotations

import importlib
import os
import stat
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from quarn import _input

REFRESH = 0.25  # seconds between redraws


def tqdm_class() -> Any:
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        raise ModuleNotFoundError(
            "a progress bar needs tqdm: pip install 'quarn[cli]'", name="tqdm"
        ) from None
    return tqdm


def _size(stream: Any) -> int:
    """Bytes from the stream's position to its end, where a regular file lies beneath."""
    try:
        st = os.fstat(stream.fileno())
        if not stat.S_ISREG(st.st_mode):
            return 0
        return max(st.st_size - (stream.tell() if stream.seekable() else 0), 0)
    except (AttributeError, OSError, ValueError):
        return 0


def new_bar(total: int, desc: str, **options: Any) -> Any:
    return tqdm_class()(
        total=total or None,
        desc=desc,
        unit="B",
        unit_scale=True,
        unit_divisor=1024,
        mininterval=REFRESH,
        dynamic_ncols=True,
        file=sys.stderr,
        **options,
    )


def attach(got: _input.Opened, bar: Any) -> None:
    """Moves `bar` with the reads of `got`; closes it at the end of the data or with `got`."""

    def on_read(done: int, at_end: bool) -> None:
        bar.update(done - bar.n)
        if at_end:
            bar.close()

    got.watch(on_read, bar.close)


@contextmanager
def watch(
    got: str | _input.Opened, wanted: bool, desc: str, *, closing: bool = True
) -> Iterator[str | _input.Opened]:
    """`got` with a bar attached when `wanted` (a path is opened as a stream for it)."""
    if not wanted:
        yield got
        return
    factory = tqdm_class()  # before anything is opened: a missing tqdm is the error
    del factory
    if isinstance(got, str):
        got = _input.as_stream(got)
        if isinstance(got, str):  # it cannot be opened: the native call says why
            yield got
            return
    bar = new_bar(_size(got.raw if got.raw is not None else got.reader), desc, leave=False)
    attach(got, bar)
    try:
        yield got
    finally:
        if closing:
            got.close()
