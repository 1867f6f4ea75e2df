"""Files and paths that are not plain small regular files: directories, pipes, /proc,
files that change under an open iterator, files beyond 4 GiB, records far larger than a
read block, nesting at the limit, odd path names."""

import errno
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from conftest import drain
from quarn import bigjson

FUNCTIONS = ["count", "load", "schema", "iter"]


def call(fn, path, fmt=None):
    if fn == "iter":
        return list(bigjson.iter_records(path, fmt))
    return getattr(bigjson, fn)(path, format=fmt)


def os_text(err):
    return f"{os.strerror(err)} (os error {err})"


# Writes head, then unit (repeated `width` times) `count` times (-1: until the reader goes
# away), then tail.
WRITER = textwrap.dedent("""
    import os, signal, sys, time
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    path, head, unit, width, count, tail, pause = sys.argv[1:]
    if unit.startswith("@"):  # a file's bytes, for data too large for an argument
        with open(unit[1:], "rb") as f:
            unit = f.read().hex()
    head, tail = bytes.fromhex(head), bytes.fromhex(tail)
    unit = bytes.fromhex(unit) * int(width)
    count, pause, deadline = int(count), float(pause), time.monotonic() + 120
    fd = os.open(path, os.O_WRONLY)
    os.write(fd, head)
    while count != 0 and time.monotonic() < deadline:
        os.write(fd, unit)
        count -= 1
        if pause:
            time.sleep(pause)
    os.write(fd, tail)
""")


def feed(path, head=b"", unit=b"", count=0, tail=b"", pause=0.0, width=1):
    """A process that writes into the FIFO at `path` (a thread would wait forever: opening
    and reading a pipe keep the interpreter lock). `unit` may be a file holding the bytes."""
    if not os.path.exists(path):
        os.mkfifo(path)
    unit = unit.hex() if isinstance(unit, bytes) else f"@{unit}"
    return subprocess.Popen(
        [
            sys.executable,
            "-c",
            WRITER,
            str(path),
            head.hex(),
            unit,
            str(width),
            str(count),
            tail.hex(),
            str(pause),
        ]
    )


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize(
    "name, fmt, exc, prefix",
    [
        ("d.json", None, RuntimeError, "read error: "),
        ("d.jsonl", None, RuntimeError, "read error: "),
        ("d", "json", RuntimeError, "read error: "),
        ("d", None, ValueError, "cannot read {path}: "),
    ],
)
def test_directory(tmp_path, fn, name, fmt, exc, prefix):
    path = tmp_path / name
    path.mkdir()
    with pytest.raises(exc) as e:
        call(fn, str(path), fmt)
    assert str(e.value) == prefix.format(path=path) + os_text(errno.EISDIR)
    if fn == "iter" and exc is RuntimeError:
        assert bigjson.iter_records(str(path), fmt).total_bytes == 0


UNREADABLE = textwrap.dedent("""
    import sys
    from quarn import bigjson
    for fn in ("count", "load", "schema", "iter_records"):
        try:
            getattr(bigjson, fn)(sys.argv[1])
        except ValueError as e:
            print(e)
""")


def test_unreadable_file(tmp_path):
    path = tmp_path / "secret.json"
    path.write_text("[1]")
    path.chmod(0)
    command = [sys.executable, "-c", UNREADABLE, str(path)]
    if os.geteuid() == 0:
        # Root reads anything; without the capabilities that allow it, it cannot.
        if shutil.which("setpriv") is None:
            pytest.skip("running as root without setpriv to drop the read override")
        caps = "-dac_override,-dac_read_search"
        command = ["setpriv", f"--bounding-set={caps}", f"--inh-caps={caps}", *command]
    out = subprocess.run(command, capture_output=True, text=True, check=True).stdout
    assert out.splitlines() == [f"cannot open {path}: {os_text(errno.EACCES)}"] * 4


RECORDS = [{"a": 1}, [2, "x"], "é", None]


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize(
    "name, lines", [("p.json", False), ("p.jsonl", True), ("p", False), ("p", True)]
)
def test_fifo(tmp_path, fn, name, lines):
    # Larger than a read block, and without a telling name read by content: detection must
    # not take bytes from the pipe that the operation then misses, nor open it twice.
    fifo = tmp_path / name
    records = RECORDS * 5000
    if lines:
        text = "\n".join(json.dumps(r) for r in records) + "\n"
    else:
        text = json.dumps(records, indent=1)
    data = text.encode()
    middle = tmp_path / "middle"
    middle.write_bytes(data[7:-3])
    # Several writes, so that reads return short counts at odd places.
    writer = feed(fifo, head=data[:7], unit=middle, count=1, tail=data[-3:], pause=0.01)
    try:
        if fn == "iter":
            it = bigjson.iter_records(str(fifo))
            assert drain(it) == records
            assert (it.bytes_read, it.total_bytes) == (len(data), 0)
        else:
            regular = tmp_path / ("regular" + fifo.suffix)
            regular.write_bytes(data)
            assert call(fn, str(fifo)) == call(fn, str(regular))
    finally:
        writer.wait(10)


@pytest.mark.parametrize(
    "data, records",
    [
        (
            b"[1,\n2,\n 3",
            [1, 2, "ValueError: invalid JSON: EOF while parsing a list at line 3 column 2"],
        ),
        (
            b"[1,\n2]\n x",
            [1, 2, "ValueError: invalid JSON: trailing characters at line 3 column 2"],
        ),
        (b"[1, 2]  \n", [1, 2]),
    ],
)
def test_fifo_errors_placed_like_files(tmp_path, data, records):
    # A pipe cannot be read twice to place an error: its lines are counted on the way.
    writer = feed(tmp_path / "p.json", head=data)
    assert drain(bigjson.iter_records(str(tmp_path / "p.json"))) == records
    writer.wait(10)
    (tmp_path / "f.json").write_bytes(data)
    assert drain(bigjson.iter_records(str(tmp_path / "f.json"))) == records


def test_proc_files():
    path = "/proc/sys/kernel/pid_max"
    if not os.path.exists(path):
        pytest.skip("no /proc")
    with open(path) as f:
        text = f.read()
    value = int(text)
    assert bigjson.load(path, "json") == value
    assert bigjson.load(path) == [value]
    assert (bigjson.count(path), bigjson.schema(path)) == (1, '"int"')
    it = bigjson.iter_records(path, "json")
    assert (it.total_bytes, list(it), it.bytes_read) == (0, [value], len(text))
    with open("/proc/self/mountinfo", "rb") as f:
        lines = [line for line in f.read().split(b"\n") if line.strip()]
    assert bigjson.count("/proc/self/mountinfo") == len(lines)


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
@pytest.mark.parametrize("cut", [0, 1_000_003, None])  # truncate to 0 / mid-record / delete
def test_file_changes_under_iterator(tmp_path, fmt, cut):
    n = 200_000
    path = tmp_path / f"r.{fmt}"
    items = [json.dumps({"i": i}) for i in range(n)]
    path.write_text("\n".join(items) if fmt == "jsonl" else "[" + ",\n".join(items) + "]")
    it = bigjson.iter_records(str(path))
    head = [next(it) for _ in range(10)] if cut != 0 else []
    if cut is None:
        path.unlink()
    else:
        os.truncate(path, cut)
    out = head + drain(it)
    if cut is None:
        assert out == [{"i": i} for i in range(n)]
        return
    records = [r for r in out if isinstance(r, dict)]
    assert records == [{"i": i} for i in range(len(records))]
    errors = out[len(records) :]
    assert len(errors) <= 1 and all(e.startswith("ValueError: invalid JSON") for e in errors)
    assert len(records) < n
    assert drain(it) == []


GIB4 = 1 << 32


@pytest.mark.slow
def test_beyond_4_gib(tmp_path):
    sparse = tmp_path / "sparse.json"
    with open(sparse, "wb") as f:
        f.write(b"[1,")
        f.truncate(GIB4 + 100)
        f.seek(0, 2)
        f.write(b",2]")
    it = bigjson.iter_records(str(sparse))
    assert (next(it), it.total_bytes) == (1, GIB4 + 103)
    assert bigjson.schema(str(sparse), 1) == '"int"'
    # 4 GiB of padding through a pipe: every byte is read, nothing is stored.
    fifo = tmp_path / "p.json"
    chunk = 1 << 20
    for fn in ("count", "iter"):
        writer = feed(
            fifo, head=b"[1,", unit=b" ", width=chunk, count=GIB4 // chunk + 1, tail=b"2]"
        )
        if fn == "count":
            assert bigjson.count(str(fifo)) == 2
        else:
            it = bigjson.iter_records(str(fifo))
            assert list(it) == [1, 2]
            assert it.bytes_read == GIB4 + chunk + 5
        writer.wait(60)


BIG = "x" * 3_000_000 + "é"


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize(
    "name, text",
    [
        ("e.json", json.dumps([1, {"k": BIG}, 2])),
        ("d.json", json.dumps({"k": BIG})),
        ("l.jsonl", "1\n" + json.dumps({"k": BIG}) + "\n2\n"),
    ],
)
def test_record_larger_than_a_block(tmp_path, fn, name, text):
    path = tmp_path / name
    path.write_text(text)
    expected = json.loads(text) if name != "l.jsonl" else [1, {"k": BIG}, 2]
    records = expected if isinstance(expected, list) else [expected]
    result = call(fn, str(path))
    if fn == "count":
        assert result == len(records)
    elif fn == "schema":
        assert json.loads(result) == (
            {"k": "str"} if len(records) == 1 else {"__oneof__": ["int", {"k": "str"}]}
        )
    else:
        assert result == (records if fn == "iter" else expected)


def nested(shape, depth):
    return "[" * depth + "]" * depth if shape == "array" else '{"a":' * depth + "1" + "}" * depth


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("depth", [127, 128, 100_000])
@pytest.mark.parametrize(
    "shape, name",
    [("array", "n.json"), ("object", "n.json"), ("array", "n.jsonl"), ("object", "n.jsonl")],
)
def test_nesting_limit(tmp_path, fn, depth, shape, name):
    path = tmp_path / name
    path.write_text(nested(shape, depth) + "\n")
    # The iterator and schema parse the elements of a top-level array, one level down.
    parsed_depth = (
        depth - 1 if shape == "array" and name == "n.json" and fn in ("iter", "schema") else depth
    )
    if fn == "count":
        assert call(fn, str(path)) == 1
    elif parsed_depth <= 127:
        assert call(fn, str(path))
    else:
        with pytest.raises(ValueError, match="recursion limit exceeded at line 1 column"):
            call(fn, str(path))


@pytest.mark.parametrize("size", [100_000_000, pytest.param(1_000_000_000, marks=pytest.mark.slow)])
def test_one_huge_string(tmp_path, size):
    path = tmp_path / "s.json"
    block = b"ab" * (1 << 23)
    with open(path, "wb") as f:
        f.write(b'"')
        f.writelines(block for _ in range(size // len(block)))
        f.write(block[: size % len(block)] + b'"')
    assert bigjson.count(str(path)) == 1
    assert bigjson.schema(str(path)) == '"str"'
    for get in (bigjson.load, lambda p: next(bigjson.iter_records(p))):
        value = get(str(path))
        assert len(value) == size and value[:3] == "aba"


@pytest.mark.parametrize(
    "name",
    [
        "naïve café.json",
        "日本語 データ.jsonl",
        "emoji 😀.json",
        " spaced  out .json",
        "semi;colon'quote\".json",
    ],
)
def test_unusual_names(tmp_path, name):
    path = tmp_path / name
    path.write_text('[{"a": 1}]' if name.endswith(".json") else '{"a": 1}\n')
    assert [call(fn, str(path)) for fn in FUNCTIONS] == [
        1,
        [{"a": 1}],
        '{\n  "a": "int"\n}',
        [{"a": 1}],
    ]
    missing = str(tmp_path / ("missing " + name))
    with pytest.raises(ValueError) as e:
        bigjson.load(missing)
    assert str(e.value) == f"cannot open {missing}: {os_text(errno.ENOENT)}"


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize(
    "path, exc, text",
    [
        (
            "a\0b.json",
            ValueError,
            "cannot open a\0b.json: file name contained an unexpected NUL byte",
        ),
        ("a\0b", ValueError, "cannot open a\0b: file name contained an unexpected NUL byte"),
        ("/tmp/" + "x" * 300 + ".json", ValueError, None),
        ("\udcff.json", UnicodeEncodeError, None),
    ],
)
def test_impossible_paths(fn, path, exc, text):
    with pytest.raises(exc) as e:
        call(fn, path)
    if exc is UnicodeEncodeError:
        assert e.value.__notes__ == ["while processing 'path'"]
    else:
        assert str(e.value) == (text or f"cannot open {path}: {os_text(errno.ENAMETOOLONG)}")
