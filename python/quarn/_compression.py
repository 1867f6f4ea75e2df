"""The compressions quarn reads, and the error of data that is damaged.

Recognising and decompressing the data is native (``quarn.lib._quarn``): gzip through
zlib-ng (linked, or from the zlib-ng package) or else zlib, bz2 through libbz2, xz through
liblzma, zstd through libzstd (linked, or the system's loaded when first needed);
``quarn.build_info()`` says which. Here is only what the Python layer names.
"""

from __future__ import annotations

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")


class CompressedDataError(RuntimeError, OSError):
    """Compressed data that is corrupt or truncated, as the decompressor reports it.

    A ``RuntimeError`` like every other failure to read, and an ``OSError`` like the
    interpreter's own ``gzip.BadGzipFile``: everything decompressed before the damage has
    been handed out, and every later read raises it again.
    """

    def __reduce__(self) -> tuple[type, tuple[object, ...], dict[str, object] | None]:
        # OSError's own reduction rebuilds through the first base's __new__, which
        # RuntimeError refuses for this class; this one keeps text, errno and notes.
        return type(self), self.args, self.__dict__ or None


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
