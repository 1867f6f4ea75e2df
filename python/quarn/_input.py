"""What a caller holds, as the native functions take it.

Opening, recognising compression, decompressing and detecting the format all happen in
the native layer, in the caller's thread (a decompressing thread there runs native code
only). Here a source is only put into one of the forms it takes: a ``str`` or ``bytes``
path (``"-"`` for standard input), or a binary file object as it is.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import Any

from quarn._compression import COMPRESSIONS, CompressedDataError, checked

__all__ = ["COMPRESSIONS", "CompressedDataError", "how", "native_source"]


def native_source(source: Any) -> Any:
    """A path as ``str`` or ``bytes`` (``os.PathLike`` unwrapped), or the object itself."""
    if isinstance(source, os.PathLike):
        return os.fspath(source)
    return source


def how(
    compression: str | None, on_read: Callable[[int, int, bool], None] | None = None
) -> tuple[str | None, Callable[[int, int, bool], None] | None]:
    """The native functions' `compressed` argument."""
    return checked(compression), on_read
