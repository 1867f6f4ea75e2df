"""The package's functions over every kind of source: paths, streams, pipes, compressed data,
detection by content, and the errors a caller catches."""

import bz2
import contextlib
import errno
import gzip
import io
import json
import lzma
import os
import pathlib
import re
import signal
import sys
import threading

import pytest
import quarn
from quarn import bigjson

RECORDS = [{"id": i, "name": "é" * (i % 3), "tags": [i, None, True]} for i in range(2000)]
JSONL = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in RECORDS).encode()
ARRAY = json.dumps(RECORDS, indent=1, ensure_ascii=False).encode()


def zstd_compress(data):
    try:
        from compression import zstd  # the interpreter's own, from 3.14: what quarn reads with

        return zstd.compress(data)
    except ImportError:
        zstandard = pytest.importorskip("zstandard")
        return zstandard.ZstdCompressor().compress(data)


COMPRESS = {
    "gzip": gzip.compress,
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": zstd_compress,
}


def results(source_factory, fmt=None, **options):
    """What the four functions give for the source that `source_factory()` makes."""
    return (
        quarn.count(source_factory(), fmt, **options),
        quarn.load(source_factory(), fmt, **options),
        list(quarn.iter_records(source_factory(), fmt, **options)),
        quarn.schema(source_factory(), 5, fmt, **options),
    )


@pytest.fixture(params=["jsonl", "json"])
def data(request, tmp_path):
    """(content, plain path, expected results) for JSON Lines and a JSON array."""
    content = JSONL if request.param == "jsonl" else ARRAY
    plain = tmp_path / f"plain.{request.param}"
    plain.write_bytes(content)
    expected = (len(RECORDS), RECORDS, RECORDS, bigjson.schema(str(plain), 5))
    return content, plain, expected


def fifo_with(tmp_path, content, plain):
    path = tmp_path / f"fifo{len(list(tmp_path.glob('fifo*')))}"
    os.mkfifo(path)

    def feed():
        # schema stops early; the close flushes, so it is inside the suppression too
        with contextlib.suppress(BrokenPipeError), open(path, "wb") as f:
            f.write(content)

    threading.Thread(target=feed, daemon=True).start()
    return str(path)


SOURCES = {
    "str": lambda tmp, content, plain: str(plain),
    "Path": lambda tmp, content, plain: plain,
    "binary file": lambda tmp, content, plain: open(plain, "rb"),  # noqa: SIM115
    "BytesIO": lambda tmp, content, plain: io.BytesIO(content),
    "read only": lambda tmp, content, plain: type(
        "Reader", (), {"read": io.BytesIO(content).read}
    )(),
    "fifo": fifo_with,
    "gzip.open stream": lambda tmp, content, plain: gzip.GzipFile(
        fileobj=io.BytesIO(gzip.compress(content))
    ),
}


@pytest.mark.parametrize("kind", SOURCES)
def test_every_kind_of_source(tmp_path, data, kind):
    content, plain, expected = data
    assert results(lambda: SOURCES[kind](tmp_path, content, plain)) == expected


@pytest.mark.parametrize("compression", COMPRESS)
@pytest.mark.parametrize(
    "name, by",
    [
        ("data.jsonl.{ext}", "path"),
        ("misleading.json", "path"),  # the name says plain JSON
        ("noname", "file object"),
        ("data.{ext}", "unseekable"),
        ("forced.bin", "forced"),
    ],
)
def test_compressed(tmp_path, data, compression, name, by):
    content, _, expected = data
    path = tmp_path / name.format(ext=compression)
    path.write_bytes(COMPRESS[compression](content))
    if by == "path":
        assert results(lambda: path) == expected
    elif by == "file object":
        assert results(lambda: open(path, "rb")) == expected  # noqa: SIM115
    elif by == "unseekable":
        assert results(lambda: type("R", (), {"read": open(path, "rb").read})()) == expected  # noqa: SIM115
    else:
        assert results(lambda: str(path), compression=compression) == expected


def test_multi_member_gzip_and_bytes_as_they_are(tmp_path):
    path = tmp_path / "multi.gz"
    path.write_bytes(gzip.compress(JSONL) + gzip.compress(JSONL) + b"\0\0")
    assert quarn.count(path) == 2 * len(RECORDS)
    assert list(quarn.iter_records(path)) == RECORDS * 2
    with pytest.raises(RuntimeError, match="not contain valid UTF-8"):
        quarn.count(path, "jsonl", compression=None)


@pytest.mark.parametrize("compression", ["lz4", "GZIP", "", 1, b"gzip"])
@pytest.mark.parametrize("call", ["count", "load", "iter", "schema"])
def test_unknown_compressions(tmp_path, compression, call):
    path = tmp_path / "data.jsonl"
    path.write_bytes(JSONL)
    run = getattr(quarn, {"iter": "iter_records"}.get(call, call))
    expected = f"unknown compression {compression!r}; expected 'infer', None, 'none', 'gzip'"
    with pytest.raises(ValueError, match=re.escape(expected)):
        run(path, compression=compression)
    assert quarn.count(path, compression="none") == quarn.count(path, compression=None) == 2000


@pytest.mark.parametrize("compression", COMPRESS)
@pytest.mark.parametrize("damage", ["truncated", "corrupt"])
def test_damaged_compressed_data(tmp_path, compression, damage):
    packed = COMPRESS[compression](JSONL * 20)
    if damage == "truncated":
        packed = packed[: len(packed) - len(packed) // 10]
    else:
        middle = len(packed) // 2
        packed = (
            packed[:middle]
            + bytes(b ^ 0x5A for b in packed[middle : middle + 64])
            + (packed[middle + 64 :])
        )
    path = tmp_path / "damaged"
    path.write_bytes(packed)
    it = quarn.iter_records(path, "jsonl")
    got, clean = [], None
    while True:  # the end must be the decompressor's error, never StopIteration
        try:
            got.append(next(it))
        except quarn.CompressedDataError as e:
            error = e
            break
        except (ValueError, RuntimeError):
            # Bytes some decompressors hand out before they find the damage (a gzip member's
            # check comes at its end): bad records or bad UTF-8, and the reading goes on.
            clean = len(got) if clean is None else clean
    assert str(error).startswith(f"invalid {compression} data: ")
    assert isinstance(error, RuntimeError) and isinstance(error, OSError)
    garbage = clean is not None
    clean = len(got) if clean is None else clean
    assert got[:clean] == (RECORDS * 20)[:clean]  # what came before, unchanged
    if damage == "truncated":
        assert len(got) > 0
    with pytest.raises(quarn.CompressedDataError):  # and again: never a silent end
        next(it)
    # count stops at the first error: the decompressor's, or the bad UTF-8 of its garbage
    with pytest.raises(RuntimeError if garbage else quarn.CompressedDataError):
        quarn.count(path)


UNNAMED = {"long.jsonl": 600_001}


@pytest.mark.parametrize(
    "name, content, fmt, count, loaded",
    [
        ("lines.json", b'{"a":1}\n{"a":2}\n', None, 2, [{"a": 1}, {"a": 2}]),
        ("lines.json", b'{"a":1}\n{"a":2}\n', "json", 1, ValueError),  # explicit: obeyed
        ("pretty.txt", b'{\n  "a": [1,\n 2]\n}\n', None, 1, {"a": [1, 2]}),
        ("pretty.jsonl", b'{\n  "a": 1\n}\n', None, 1, {"a": 1}),  # cannot be JSON Lines
        ("one.txt", b'{"a": 1}\n', None, 1, {"a": 1}),
        ("one.jsonl", b'{"a": 1}\n', None, 1, [{"a": 1}]),  # either: the name decides
        ("arrays.txt", b"[1, 2]\n[3]\n", None, 2, [[1, 2], [3]]),
        ("array.txt", b"  [1, 2,\n 3]", None, 3, [1, 2, 3]),
        ("scalars", b'1\n"two"\n\n3', None, 3, [1, "two", 3]),
        ("same line.txt", b'{"a":1} {"b":2}', None, 1, ValueError),
        ("bom.txt", b'\xef\xbb\xbf{"a":1}\n{"a":2}\n', None, 2, [{"a": 1}, {"a": 2}]),
        ("empty.json", b"", None, 0, ValueError),
        ("empty.txt", b" \n", None, 0, []),
        # a first value past the look-ahead: the name, else JSON
        ("long.jsonl", b"[" + b"1," * 600_000 + b"1]\n[2]\n", None, 2, None),
        ("long.txt", b"[" + b"1," * 600_000 + b"1]", None, 600_001, None),
    ],
)
def test_detection_by_content(tmp_path, name, content, fmt, count, loaded):
    path = tmp_path / name
    path.write_bytes(content)
    assert quarn.count(path, fmt) == count
    # a stream has no name: content alone, and JSON where it cannot tell
    assert quarn.count(io.BytesIO(content), fmt) == UNNAMED.get(name, count)
    if isinstance(loaded, type):
        with pytest.raises(loaded):
            quarn.load(path, fmt)
    elif loaded is not None:
        assert quarn.load(path, fmt) == loaded


def test_bigjson_keeps_name_first_rules(tmp_path):
    path = tmp_path / "lines.json"
    path.write_bytes(b'{"a":1}\n{"a":2}\n')
    assert bigjson.count(str(path)) == 1
    assert quarn.count(str(path)) == 2


@pytest.mark.parametrize("layer", ["bigjson", "top"])
@pytest.mark.parametrize(
    "make, fmt, os_class, kind, text",
    [
        (
            lambda tmp: str(tmp / "missing.json"),
            None,
            FileNotFoundError,
            ValueError,
            "cannot open ",
        ),
        (lambda tmp: str(tmp), None, IsADirectoryError, ValueError, "cannot read "),
        (lambda tmp: str(tmp), "json", IsADirectoryError, RuntimeError, "read error: "),
        (lambda tmp: str(tmp / "file" / "x"), None, NotADirectoryError, ValueError, "cannot open "),
        (lambda tmp: "/proc/self/mem", "jsonl", OSError, RuntimeError, "read error: "),
    ],
)
def test_os_errors_are_oserrors(tmp_path, layer, make, fmt, os_class, kind, text):
    (tmp_path / "file").write_text("[]")
    path = make(tmp_path)
    module = bigjson if layer == "bigjson" else quarn
    with pytest.raises(os_class) as caught:
        module.count(path, fmt)
    exc = caught.value
    assert isinstance(exc, kind) and str(exc).startswith(text)
    assert exc.errno is not None and exc.filename == path
    assert type(exc) is type(pytest.raises(os_class, module.count, path, fmt).value)
    if os_class is FileNotFoundError:
        assert exc.errno == errno.ENOENT and path in str(exc)


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads everything")
def test_permission_error(tmp_path):
    path = tmp_path / "secret.json"
    path.write_text("[]")
    path.chmod(0)
    with pytest.raises(PermissionError) as caught:
        quarn.count(path)
    assert isinstance(caught.value, ValueError)


@pytest.mark.parametrize("call", ["count", "load", "iter", "schema"])
def test_file_objects_stay_open_where_they_were(tmp_path, call):
    path = tmp_path / "data.jsonl"
    path.write_bytes(b"skip me\n" + JSONL)
    with open(path, "rb") as f:
        f.readline()
        if call == "count":
            assert quarn.count(f) == len(RECORDS)
        elif call == "load":
            assert quarn.load(f) == RECORDS
        elif call == "iter":
            it = quarn.iter_records(f)
            assert list(it) == RECORDS
            assert (it.bytes_read, it.total_bytes) == (len(JSONL), len(JSONL))
            del it
        else:
            quarn.schema(f, 1)
        assert not f.closed
        if call != "schema":
            assert f.tell() == len(JSONL) + len(b"skip me\n")


class EndsWithASignal(io.BytesIO):
    """A stream whose read that finds the end sets off a signal that comes once that read
    has returned: a signal met after the last read, while the data is still being built."""

    def __init__(self, data):
        super().__init__(data)
        self.reading = self.set_off = False

    def readinto(self, buffer):
        self.reading = True
        try:
            got = super().readinto(buffer)
            if got == 0 and not self.set_off:
                self.set_off = True
                signal.setitimer(signal.ITIMER_REAL, 0.0001)
            return got
        finally:
            self.reading = False

    readinto1 = readinto


class Late(Exception):
    pass


def test_a_late_signal_is_raised_with_the_stream_put_back(time_limit):
    # One array of strings: no container ends for as long as it is built. The handler's
    # exception comes out of the call, and the stream is back where it stood, so that the
    # call can be made again; not after the call has returned, its result lost.
    values = ["abcdefgh"] * 300_000
    stream = EndsWithASignal(b"skip" + json.dumps(values).encode())
    stream.seek(4)

    def handler(signum, frame):
        if stream.reading:  # not inside the stream's own Python code: once it has returned
            signal.setitimer(signal.ITIMER_REAL, 0.0001)
            return
        raise Late

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        with pytest.raises(Late):
            quarn.load(stream)
        assert stream.set_off
        assert stream.tell() == 4
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert quarn.load(stream) == values


# A document that is not an array is one record: where it is bad, iter_records fails as load
# does, with the same text and file position, whether the file can be read twice to place
# the error or not (a pipe; the document spans several blocks in the last case).
BAD_DOCUMENTS = [
    b'{"a": 1} x',
    b'\n\n  {"a":\n 1} x',
    b'  "abc" 1',
    b'{"a": [1, 2,',
    b'\xef\xbb\xbf {"a" 1}',
    b"\f[1]",
    b' \n\f{"a": 1}',
    b'\n{"a": "' + b"x" * 200_000 + b'",\n "b": tru}',
]


@pytest.mark.parametrize("kind", ["path", "stream", "pipe"])
@pytest.mark.parametrize("text", BAD_DOCUMENTS, ids=range(len(BAD_DOCUMENTS)))
def test_a_bad_document_fails_as_load_fails(tmp_path, time_limit, text, kind):
    path = tmp_path / "doc.json"
    path.write_bytes(text)
    with pytest.raises(ValueError) as loaded:
        quarn.load(path, "json")
    assert str(loaded.value).startswith("invalid JSON: ")

    def records():
        if kind == "path":
            return list(quarn.iter_records(path, "json"))
        if kind == "stream":
            return list(quarn.iter_records(io.BytesIO(text), "json"))
        fifo = tmp_path / "doc.fifo"
        os.mkfifo(fifo)
        writer = threading.Thread(target=fifo.write_bytes, args=(text,))
        writer.start()
        try:
            return list(quarn.iter_records(fifo, "json"))
        finally:
            writer.join()

    with pytest.raises(ValueError) as iterated:
        records()
    assert str(iterated.value) == str(loaded.value)


def test_progress_of_compressed_data_counts_compressed_bytes(tmp_path):
    path = tmp_path / "data.jsonl.gz"
    path.write_bytes(gzip.compress(JSONL * 10))
    it = quarn.iter_records(path)
    assert it.total_bytes == path.stat().st_size
    assert sum(1 for _ in it) == len(RECORDS) * 10
    assert it.bytes_read == it.total_bytes


@pytest.mark.parametrize(
    "source, message",
    [
        (io.StringIO("[1]"), "text stream: .* binary mode"),
        (42, "neither a path nor a binary file object"),
        (type("P", (), {"__fspath__": lambda self: 42})(), r"__fspath__\(\) to return str"),
        (type("P", (), {"__fspath__": None, "read": None})(), "'NoneType' object is not callable"),
    ],
)
def test_wrong_sources(source, message):
    with pytest.raises(TypeError, match=message):
        quarn.count(source)
    with pytest.raises(TypeError, match=message):
        quarn._native.count(source)


@pytest.mark.parametrize("call", ["load", "iter"])
def test_progress_bar(tmp_path, capsys, monkeypatch, call):
    pytest.importorskip("tqdm")
    path = tmp_path / "data.jsonl.gz"
    path.write_bytes(gzip.compress(JSONL))
    run = {"load": quarn.load, "iter": lambda p, **k: list(quarn.iter_records(p, **k))}[call]
    assert run(path, progress=True) == RECORDS
    assert "B/s" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ModuleNotFoundError, match=r"tqdm: pip install 'quarn\[cli\]'"):
        run(path, progress=True)


def test_path_like_and_bytes_paths(tmp_path):
    path = tmp_path / "data.jsonl"
    path.write_bytes(JSONL)
    assert quarn.count(pathlib.Path(path)) == quarn.count(os.fsencode(path)) == len(RECORDS)
    # any class with __fspath__ is a path, as os.PathLike tells them
    for name in (str(path), os.fsencode(path)):
        assert quarn.load(type("P", (), {"__fspath__": lambda self, n=name: n})()) == RECORDS
