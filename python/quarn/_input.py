"""What a caller holds, made into something the native reader takes.

A plain regular file goes to the native layer by its path (it reads the file descriptor
itself, and its errors name the path as ``quarn.bigjson``'s do). Everything else becomes a
binary stream: a caller's file object as it is, standard input, a pipe or device opened
here, and compressed data of any of these behind a decompressor. Compression is recognised
by magic bytes, looked at without losing any (``peek``, a seek back, or the bytes handed
out again).
"""

from __future__ import annotations

import functools
import importlib
import io
import os
import queue
import stat
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import IO, Any

COMPRESSIONS = ("gzip", "bz2", "xz", "zstd")
_MAGIC = (
    (b"\x1f\x8b", "gzip"),
    (b"BZh", "bz2"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
_HEAD = 6  # the longest magic


class CompressedDataError(RuntimeError, OSError):
    """Compressed data that is corrupt or truncated.

    A ``RuntimeError`` like every other failure to read, and an ``OSError`` like the
    interpreter's own ``gzip.BadGzipFile``: the records before it have been handed out, and
    every later read raises it again.
    """


def _sniff(head: bytes) -> str | None:
    for magic, name in _MAGIC:
        if head.startswith(magic):
            return name
    return None


def _missing(name: str, extra: str, package: str) -> ModuleNotFoundError:
    return ModuleNotFoundError(
        f"{name}-compressed data needs {package}: pip install 'quarn[{extra}]'"
    )


def _fast_gzip_class() -> Any:
    """The gzip file class of the fastest decompressor installed, or None."""
    for module, name in (("zlib_ng.gzip_ng", "GzipNGFile"), ("isal.igzip", "IGzipFile")):
        try:
            return getattr(importlib.import_module(module), name)
        except (ImportError, AttributeError):
            continue
    return None


def _zlib() -> Any:
    """The fastest zlib-compatible module installed."""
    for module in ("zlib_ng.zlib_ng", "isal.isal_zlib"):
        try:
            return importlib.import_module(module)
        except ImportError:
            continue
    import zlib

    return zlib


_GZIP_WBITS = 31  # a gzip header and trailer around a deflate stream, both checked


def _gzip_chunks(raw: IO[bytes]) -> Iterator[bytes]:
    """The decompressed data of every gzip member in `raw`, one piece at a time.

    The fast decompressors' file classes release the interpreter lock while they work (their
    decompressor objects do not), but a read that meets corrupt or truncated data drops what
    it had gathered. So after such an error the data is read again from where it began, when
    it can be, with a decompressor that hands out every piece as soon as it has it: the
    records before the damage all come out, then the error.
    """
    fast = _fast_gzip_class()
    if fast is None:
        yield from _gzip_exact_chunks(raw)
        return
    try:
        start: int | None = raw.tell() if raw.seekable() else None
    except (AttributeError, OSError, ValueError):
        start = None
    done = 0
    try:
        reader = fast(fileobj=raw, mode="rb")
        while data := reader.read1(_Ahead.CHUNK):
            done += len(data)
            yield data
    except Exception as exc:
        if start is None or (isinstance(exc, OSError) and exc.errno is not None):
            raise
        raw.seek(start)
        for data in _gzip_exact_chunks(raw):
            if done >= len(data):
                done -= len(data)
                continue
            yield data[done:]
            done = 0
        raise  # the exact reading found nothing wrong: the first error stands


def _gzip_exact_chunks(raw: IO[bytes]) -> Iterator[bytes]:
    """Every gzip member in `raw`, each piece handed out as soon as it is decompressed."""
    zlib = _zlib()
    d = zlib.decompressobj(_GZIP_WBITS)
    inside = False  # a member has begun and not ended
    while True:
        data = raw.read(_Ahead.INPUT)
        if not data:
            if inside:
                tail = d.flush()  # output a last step may have held back
                if tail:
                    yield tail
            if inside and not d.eof:
                raise EOFError("compressed file ended before the end-of-stream marker was reached")
            return
        while data:
            if d.eof:
                data = data.lstrip(b"\0")  # padding between members
                if not data:
                    break
                d = zlib.decompressobj(_GZIP_WBITS)
            out = d.decompress(data, _Ahead.CHUNK)
            inside = not d.eof
            data = d.unused_data if d.eof else d.unconsumed_tail
            if out:
                yield out


def _zstd_chunks(raw: IO[bytes], zstandard: Any) -> Iterator[bytes]:
    """The decompressed data of every zstd frame in `raw`, one piece at a time; a file that
    ends inside a frame is an error (zstandard's own reader ends quietly there)."""
    dctx = zstandard.ZstdDecompressor()
    d = dctx.decompressobj()
    inside = False  # a frame has begun and not ended
    # Small reads: a step's output is not bounded here, and zstd data may shrink 100-fold.
    while data := raw.read(_ZSTD_INPUT):
        while data:
            if d.eof:
                d = dctx.decompressobj()
            out = d.decompress(data)
            inside = not d.eof
            data = d.unused_data if d.eof else b""
            if out:
                yield out
    if inside:
        raise EOFError("compressed file ended before the end-of-stream marker was reached")


_ZSTD_INPUT = 1 << 15


class _Ahead(io.RawIOBase):
    """A decompressing reader run a few chunks ahead in a thread of its own.

    Every decompressor used releases the interpreter lock while it works, so decompressing
    the next chunks overlaps with the native scan of this one. `chunks` hands out whatever
    one step decompressed: everything before corrupt or truncated data arrives, then its
    error, which every later read raises again.
    """

    CHUNK = 1 << 20  # decompressed bytes per step
    DEPTH = 4
    INPUT = 1 << 20  # compressed bytes per read
    JOIN_TIMEOUT = 0.5

    def __init__(
        self, chunks: Iterator[bytes], reader: IO[bytes] | None = None, *, threaded: bool = True
    ) -> None:
        super().__init__()
        self._threaded = threaded
        self.left_behind = False
        self._chunks = chunks
        self._reader = reader
        self._queue: queue.Queue[bytes | BaseException] = queue.Queue(self.DEPTH)
        self._stop = threading.Event()
        self._buf = memoryview(b"")
        self._end: BaseException | bool = False
        # Started by the first read, so that the compressed file's position and size are
        # taken before the thread moves on.
        self._thread = threading.Thread(target=self._run, name="quarn-decompress", daemon=True)

    def _run(self) -> None:
        try:
            for data in self._chunks:
                if self._stop.is_set():
                    return
                self._put(data)
            self._put(b"")
        except BaseException as exc:  # noqa: BLE001 - handed to the reading thread
            self._put(exc)

    def _next_chunk(self) -> bytes | BaseException:
        try:
            return next(self._chunks, b"")
        except Exception as exc:  # noqa: BLE001 - raised by readinto, as from the thread
            return exc

    def _put(self, item: bytes | BaseException) -> None:
        while not self._stop.is_set():
            try:
                self._queue.put(item, timeout=0.1)
                return
            except queue.Full:
                continue

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if not self._buf:
            if self._thread.ident is None and self._threaded:
                self._thread.start()
            if self._end is not False:
                if isinstance(self._end, BaseException):
                    raise self._end
                return 0
            item = self._queue.get() if self._threaded else self._next_chunk()
            if isinstance(item, BaseException):
                self._end = item
                raise item
            if not item:
                self._end = True
                return 0
            self._buf = memoryview(item)
        n = min(len(b), len(self._buf))
        b[:n] = self._buf[:n]
        self._buf = self._buf[n:]
        return n

    def close(self) -> None:
        if self.closed:
            return
        self._stop.set()
        while True:
            try:
                self._queue.get_nowait()  # unblocks a thread waiting to hand over a chunk
            except queue.Empty:
                break
        finalizing = sys.is_finalizing()
        if self._thread.ident is not None and not finalizing:
            self._thread.join(self.JOIN_TIMEOUT)
        if finalizing or self._thread.is_alive():
            # Blocked reading a pipe that stays open, or stopped for good by the interpreter's
            # exit: a daemon, left behind with its reader, whose lock it may hold.
            self.left_behind = True
            super().close()
            return
        if self._reader is not None:
            self._reader.close()
        super().close()


def _decompressor(name: str, raw: IO[bytes]) -> Any:
    if name == "gzip":
        return _Ahead(_gzip_chunks(raw))
    if name == "zstd":
        try:
            zstd = importlib.import_module("compression.zstd")  # the interpreter's own (3.14)
        except ImportError:
            try:
                zstandard = importlib.import_module("zstandard")  # an extra: maybe absent
            except ImportError:
                raise _missing("zstd", "zstd", "the zstandard package") from None
            # zstandard decompresses about as fast as the records are scanned, and handing its
            # chunks between threads costs more than the overlap gains (measured: count 0.13 s
            # threaded, 0.095 s not).
            return _Ahead(_zstd_chunks(raw, zstandard), threaded=False)
        reader: IO[bytes] = zstd.ZstdFile(raw, "rb")
    else:
        reader = _file_decompressor(name, raw)
    read1 = getattr(reader, "read1", reader.read)
    return _Ahead(iter(lambda: read1(_Ahead.CHUNK), b""), reader)


def _file_decompressor(name: str, raw: IO[bytes]) -> IO[bytes]:
    if name == "bz2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    import lzma

    return lzma.LZMAFile(raw, "rb")


class _Prefixed(io.RawIOBase):
    """The bytes already taken from an unseekable stream, then the stream itself."""

    def __init__(self, head: bytes, stream: IO[bytes]) -> None:
        super().__init__()
        self._head = memoryview(head)
        self._stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, b: Any) -> int:
        if self._head:
            n = min(len(b), len(self._head))
            b[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        return _read_into(self._stream, b)


def _read_into(stream: IO[bytes], b: Any) -> int:
    readinto = getattr(stream, "readinto", None)
    if readinto is not None:
        got: int = readinto(b)
        return got
    data = stream.read(len(b))
    b[: len(data)] = data
    return len(data)


def _checked(read: Callable[[Any], int], compression: str) -> Callable[[Any], int]:
    """`read` with a decompressor's complaint about its data made a CompressedDataError, which
    every later read raises again."""
    failed: list[tuple[str, BaseException]] = []

    def readinto(b: Any) -> int:
        if failed:
            text, cause = failed[0]
            raise CompressedDataError(text) from cause
        try:
            return read(b)
        except Exception as exc:
            if isinstance(exc, OSError) and exc.errno is not None:
                raise  # the file itself cannot be read
            text = f"invalid {compression} data: {exc or type(exc).__name__}"
            failed.append((text, exc))
            raise CompressedDataError(text) from exc

    return readinto


class Opened:
    """A stream for the native reader, with what the reading must close and show.

    ``readinto`` is the innermost reader's own bound method wherever nothing needs to be
    done per read, so that the native reader calls it directly. Nothing it holds refers back
    to the Opened, so that dropping the last reference (an iterator's) closes it at once.
    """

    def __init__(
        self,
        reader: IO[bytes],
        *,
        raw: IO[bytes] | None = None,
        compression: str | None = None,
        owned: tuple[Any, ...] = (),
    ) -> None:
        self.reader = reader
        self.raw = raw  # the compressed file, for progress
        self.compression = compression
        self._owned = owned
        read: Callable[[Any], int] = getattr(reader, "readinto", None) or functools.partial(
            _read_into, reader
        )
        self.readinto: Callable[[Any], int] = _checked(read, compression) if compression else read

    # Where the stream lies and how far it goes, for the native reader's byte counts.
    def fileno(self) -> int:
        return self.reader.fileno()

    def tell(self) -> int:
        return self.reader.tell()

    def watch(self, on_read: Callable[[int, bool], None], on_close: Callable[[], None]) -> None:
        """Calls `on_read(bytes so far, at_end)` after every read and `on_close()` when
        closed (for a progress bar). Bytes are those of the compressed file when there is
        one."""
        inner = self.readinto
        raw = self.raw
        start = raw.tell() if raw is not None and raw.seekable() else 0
        done = 0

        def readinto(b: Any) -> int:
            nonlocal done
            got = inner(b)
            done += got
            if raw is not None:
                try:
                    on_read(raw.tell() - start, got == 0)
                except (OSError, ValueError):
                    pass
            else:
                on_read(done, got == 0)
            return got

        self.readinto = readinto
        self._owned = (_Closer(on_close), *self._owned)

    def close(self) -> None:
        owned, self._owned = self._owned, ()
        for thing in owned:
            thing.close()
            if isinstance(thing, _Ahead) and thing.left_behind:
                # Its thread may hold the lock of the files beneath: they stay open.
                return

    def __del__(self) -> None:
        self.close()


class _Closer:
    def __init__(self, close: Callable[[], None]) -> None:
        self.close = close


def _widen_pipe(fd: int) -> None:
    """Gives a pipe a larger buffer (where the system allows), so that the writer and the
    reader swap places less often."""
    try:
        import fcntl

        if stat.S_ISFIFO(os.fstat(fd).st_mode):
            fcntl.fcntl(fd, getattr(fcntl, "F_SETPIPE_SZ", 1031), 1 << 20)
    except (ImportError, OSError):
        pass


def _stdin() -> IO[bytes]:
    """Standard input, unbuffered, on a descriptor of its own: the interpreter's buffered
    stdin is left alone (it is flushed and closed at exit, which a reading thread holding its
    lock would turn into a fatal error)."""
    fd = os.dup(0)
    _widen_pipe(fd)
    return open(fd, "rb", buffering=0)


def _head_of(stream: IO[bytes]) -> tuple[bytes, Any]:
    """The first bytes of `stream` and a stream that still yields them."""
    peek = getattr(stream, "peek", None)
    if peek is not None:
        head: bytes = peek(_HEAD)[:_HEAD]
        return head, stream
    try:
        seekable = stream.seekable()
    except (AttributeError, OSError, ValueError):
        seekable = False
    if seekable:
        at = stream.tell()
        head = stream.read(_HEAD) or b""
        stream.seek(at)
        return head, stream
    # A pipe may hand out fewer bytes than asked for.
    head = b""
    while len(head) < _HEAD and (more := stream.read(_HEAD - len(head))):
        head += more
    return head, _Prefixed(head, stream)


def _check_compression(compression: str | None) -> None:
    if compression is not None and compression != "infer" and compression not in COMPRESSIONS:
        raise ValueError(
            f"unknown compression {compression!r}; expected 'infer', None, "
            + ", ".join(repr(c) for c in COMPRESSIONS)
        )


def _stream(stream: IO[bytes], compression: str | None, owned: tuple[Any, ...] = ()) -> Opened:
    if compression is None:
        return Opened(stream, owned=owned)
    if owned and isinstance(stream, io.FileIO) and not stream.seekable():
        # A pipe of our own: buffered, its first bytes are looked at without taking them,
        # and plain data is then read by the native reader straight from the buffer.
        stream = io.BufferedReader(stream, 1 << 16)
        owned = (stream, *owned)
    head, stream = _head_of(stream)
    name = _sniff(head) if compression == "infer" else compression
    if name is None:
        return Opened(stream, owned=owned)
    reader = _decompressor(name, stream)
    return Opened(reader, raw=stream, compression=name, owned=(reader, *owned))


def _source_type_error(message: str) -> TypeError:
    # The note that the native layer puts on every other argument's TypeError.
    exc = TypeError(message)
    exc.add_note("while processing 'source'")
    return exc


def open_source(source: Any, compression: str | None = "infer") -> str | Opened:
    """A path (str) the native layer opens itself, or an `Opened` stream."""
    _check_compression(compression)
    if isinstance(source, io.TextIOBase):
        raise _source_type_error(
            f"'{type(source).__name__}' object is a text stream: quarn reads bytes; "
            "open the file in binary mode (open(path, 'rb'))"
        )
    if not isinstance(source, (str, bytes, os.PathLike)):
        if not (hasattr(source, "readinto") or hasattr(source, "read")):
            raise _source_type_error(
                f"'{type(source).__name__}' object is neither a path nor a binary file object"
            )
        return _stream(source, compression)
    path = os.fsdecode(os.fspath(source))
    if path == "-":
        stdin = _stdin()
        return _stream(stdin, compression, owned=(stdin,))
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):
        return path  # the native layer reports it, in its words
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode) or (
            stat.S_ISREG(mode)
            and (
                compression is None
                or (compression == "infer" and _sniff(os.pread(fd, _HEAD, 0)) is None)
            )
        ):
            os.close(fd)
            return path
    except OSError:
        os.close(fd)
        return path
    # A pipe or device is read once, here; compressed data goes through its decompressor.
    _widen_pipe(fd)
    # Unbuffered: the decompressors read large pieces of their own (a pipe is buffered by
    # _stream, to look at its first bytes).
    raw = open(fd, "rb", buffering=0)  # noqa: SIM115 - closed with the Opened
    return _stream(raw, compression, owned=(raw,))


def as_stream(path: str) -> str | Opened:
    """`path` opened here as a plain stream (to watch its reads), or itself when it cannot
    be opened (the native layer then says why)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    except (OSError, ValueError):
        return path
    if stat.S_ISDIR(os.fstat(fd).st_mode):
        os.close(fd)
        return path
    raw = open(fd, "rb")  # noqa: SIM115 - closed with the Opened
    return Opened(raw, owned=(raw,))


@contextmanager
def opened(source: Any, compression: str | None) -> Iterator[str | Opened]:
    """`open_source`, closing what it opened afterwards."""
    got = open_source(source, compression)
    try:
        yield got
    finally:
        if isinstance(got, Opened):
            got.close()


def native_args(got: str | Opened) -> tuple[Any, Any]:
    """The native functions' `source` and `compressed` for what `open_source` gave."""
    if isinstance(got, str):
        return got, None
    return got, got.raw
