"""The compressions quarn reads, and the error of data that is damaged.

Recognising and decompressing the data is native (``quarn.lib._quarn``): gzip through
zlib-ng (linked, or from the zlib-ng package) or else zlib, bz2 through libbz2, xz through
liblzma, zstd through libzstd (linked, or the system's loaded when first needed);
``quarn.build_info()`` says which. Here is only what the Python layer names.
"""

from __future__ import annotations

from quarn.lib import _quarn

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")


# Compressed data that is corrupt or truncated: made by the native module, which raises it.
CompressedDataError = _quarn.CompressedDataError


def checked(compression: str | None) -> str | None:
    """`compression` as the native functions take it: "infer", a name, or None for none."""
    if compression is None or compression == "none":
        return None
    if compression == "infer" or compression in COMPRESSIONS:
        return compression
    raise ValueError(
        f"unknown compression {compression!r}; expected 'infer', None, 'none', "
        + ", ".join(repr(c) for c in COMPRESSIONS)
    )
