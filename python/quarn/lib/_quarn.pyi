"""The native extension module. Compiled as ``quarn.lib._quarn``."""

from quarn import _sources as _sources
from quarn import _split as _split
from quarn import bigjson as bigjson

__all__ = ["bigjson"]

class CompressedDataError(RuntimeError, OSError):
    """Compressed data that is corrupt or truncated, as the decompressor reports it."""

def build_info() -> dict[str, str]: ...
