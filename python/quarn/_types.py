"""The types of the top-level functions' sources, for annotations (``quarn.Source``).

Kept apart so that ``import quarn`` does not import ``typing``: a program that reads a file
or two would pay more for that than for the reading. ``quarn`` hands them out on first use.
"""

import os
from typing import Any, Protocol, TypeAlias


class Readable(Protocol):
    """A binary file object: anything whose ``read`` returns bytes."""

    def read(self, size: int = ..., /) -> bytes: ...


class ReadableInto(Protocol):
    """A binary file object read with ``readinto``."""

    def readinto(self, buffer: Any, /) -> int | None: ...


Source: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes] | Readable | ReadableInto
