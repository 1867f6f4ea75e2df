"""Progress bars for the top-level functions: tqdm on stderr, driven by the reads.

The native reader reports after every read (a block of 64 KiB, or of decompressed data),
never per record, with the bytes read so far (compressed bytes, for compressed data)
against the size where it is known; tqdm redraws at most four times a second, so a bar
costs nothing measurable however small the records are.
"""

from __future__ import annotations

import importlib
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Any

REFRESH = 0.25  # seconds between redraws


def tqdm_class() -> Any:
    try:
        tqdm = importlib.import_module("tqdm").tqdm
    except ImportError:
        raise ModuleNotFoundError(
            "a progress bar needs tqdm: pip install 'quarn[cli]'", name="tqdm"
        ) from None
    return tqdm


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


def reporter(wanted: bool, desc: str) -> Callable[[int, int, bool], None] | None:
    """The native reader's `on_read` for a bar, made when the first read reports (the size
    is known then) and closed at the end of the data, or when dropped."""
    if not wanted:
        return None
    tqdm_class()  # before anything is opened: a missing tqdm is the error
    bar: Any = None

    def on_read(done: int, total: int, at_end: bool) -> None:
        nonlocal bar
        if bar is None:
            bar = new_bar(total, desc, leave=False)
        bar.update(done - bar.n)
        if at_end:
            bar.close()

    return on_read
