import gc
import json
import os
import signal
import struct
import subprocess
import sys
import sysconfig
import weakref

import pytest
from conftest import SHARED_DATA, documents
from hypothesis import given, settings
from hypothesis import strategies as st
from quarn import bigjson


def same(a, b):
    """Equal, with floats equal bit for bit and dict keys in byte order."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == sorted(b, key=lambda k: k.encode("utf-8", "surrogatepass")) and all(
            same(a[k], b[k]) for k in a
        )
    return type(a) is type(b) and a == b


# Faults with their positions as load reports them. The parser's own tests hold the full
# table; these check that message and position reach Python unaltered, lines counted.
CONTROL = "control character (\\u0000-\\u001F) found while parsing a string"
PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("1e309", "number out of range at line 1 column 5"),
    ('"a\nb"', CONTROL + " at line 2 column 0"),
    ('"\\ude00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ('["é" x]', "expected `,` or `]` at line 1 column 7"),
    ("[\n1,\n\n2 x]", "expected `,` or `]` at line 4 column 3"),
]


@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_errors(write, text, message):
    with pytest.raises(ValueError) as info:
        bigjson.load(write(text))
    assert str(info.value) == "invalid JSON: " + message
    if text.strip() and "\n" not in text and "\f" not in text:
        # A line's position counts within the line, whatever comes before it.
        with pytest.raises(ValueError) as info:
            bigjson.load(write("{}\n\n  " + text + "  \n", "x.jsonl"))
        assert str(info.value) == "invalid JSONL line: " + message


@pytest.mark.parametrize(
    "text, value",
    [
        ("0", 0),
        ("-0", -0.0),
        ("1.0", 1.0),
        ("1e2", 100.0),
        ("0.1", 0.1),
        ("9223372036854775807", 2**63 - 1),
        ("9223372036854775808", 2**63),
        ("18446744073709551615", 2**64 - 1),
        ("18446744073709551616", 18446744073709551616.0),
        ("-9223372036854775808", -(2**63)),
        ("-9223372036854775809", -9223372036854775809.0),
        ("9007199254740993", 9007199254740993),
        ("9007199254740993.0", 9007199254740992.0),
        ("0e999", 0.0),
        ("1e-400", 0.0),
        ("-1e-400", -0.0),
        ("0e" + "9" * 12, 0.0),
        ("0." + "0" * 400 + "1e400", 0.1),
        ("2.4703282292062328e-324", 5e-324),
    ],
)
def test_numbers(write, text, value):
    assert same(bigjson.load(write(text)), value)


@pytest.mark.parametrize(
    "text, name, value",
    [
        ("42", "a.json", 42),
        ('"x"', "a.json", "x"),
        ("null", "a.json", None),
        ('"\\u00e9\\t\\n\\/\\\\\\""', "a.json", 'é\t\n/\\"'),
        # keys in byte order, the last of repeated keys winning
        (
            '{"b": 1, "a": {"x": 1}, "a": "last", "\\u0000": "\\ud83d\\ude00"}',
            "a.json",
            {"\0": "\U0001f600", "a": "last", "b": 1},
        ),
        (
            '{"z": {"é": 1, "B": 2, "a": 3, "ab": 4, "\U0001f600": 5}}',
            "a.json",
            {"z": {"é": 1, "B": 2, "a": 3, "ab": 4, "\U0001f600": 5}},
        ),
        ("", "e.jsonl", []),
        ('{"a": []}', "a.json", {"a": []}),
        ("[[], {}]", "a.json", [[], {}]),
        (
            '{"b": 1, "a": 2}\n\n  \t\n[1]\r\n\u00a0"x"\u00a0\n3',
            "x.jsonl",
            [{"a": 2, "b": 1}, [1], "x", 3],
        ),
    ],
)
def test_values(write, text, name, value):
    assert same(bigjson.load(write(text, name)), value)


@pytest.mark.parametrize(
    "content, name, exc, message",
    [
        (b'["\xff"]', "a.json", RuntimeError, "read error: stream did not contain valid UTF-8"),
        (b"[1, 2] \xc3", "a.json", RuntimeError, "read error: stream did not contain valid UTF-8"),
        (b"\xed\xa0\x80", "a.json", RuntimeError, "read error: stream did not contain valid UTF-8"),
        (b'1\n"\xff"\n', "a.jsonl", RuntimeError, "read error: stream did not contain valid UTF-8"),
        # nothing of the good lines before a bad one is returned
        (
            b"1\n2\n3\n4\n{x}\n6\n",
            "a.jsonl",
            ValueError,
            "invalid JSONL line: key must be a string at line 1 column 2",
        ),
    ],
)
def test_file_errors(write, content, name, exc, message):
    with pytest.raises(exc) as info:
        bigjson.load(write(content, name))
    assert str(info.value) == message


@settings(max_examples=150, deadline=None)
@given(
    value=documents(leaves=20),
    indent=st.one_of(st.none(), st.integers(0, 3)),
    ascii_only=st.booleans(),
)
def test_load_matches_json(tmp_path, value, indent, ascii_only):
    text = json.dumps(value, indent=indent, ensure_ascii=ascii_only)
    try:
        (tmp_path / "v.json").write_text(text, encoding="utf-8")
    except UnicodeEncodeError:
        return  # lone surrogates cannot be written as UTF-8
    assert same(bigjson.load(str(tmp_path / "v.json")), json.loads(text))


def test_conformance_suite():
    suite = SHARED_DATA / "jsontestsuite"
    if not suite.exists():
        pytest.skip("shared test suite not available")
    for path in sorted(suite.glob("*.json")):
        try:
            bigjson.load(str(path))
        except (ValueError, RuntimeError):
            assert not path.name.startswith("y_"), path.name
        else:
            assert not path.name.startswith("n_"), path.name


# The cyclic collector. The result is tracked as the interpreter tracks what json builds, so a
# cycle made through it later is found;
# load leaves gc's switch alone; and a large result leaves the program's next allocations no
# full collection to make over it.
def records(n):
    return [
        {"id": i, "tags": [], "user": {"ids": [i, {}], "name": "é"}, "geo": {"x": 1.5}}
        for i in range(n)
    ]


def check_tracking(ours, theirs):
    """Each container is tracked exactly when the one json builds from the same text is (the
    interpreter's rule for dicts changes between versions)."""
    assert gc.is_tracked(ours) == gc.is_tracked(theirs)
    if isinstance(ours, list):
        for a, b in zip(ours, theirs, strict=True):
            check_tracking(a, b)
    elif isinstance(ours, dict):
        for key, value in ours.items():
            check_tracking(value, theirs[key])


def write_records(write, fmt, n):
    lines = [json.dumps(r) for r in records(n)]
    return write("[" + ",".join(lines) + "]" if fmt == "json" else "\n".join(lines), "r." + fmt)


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_tracked_as_built_by_python(write, fmt):
    path = write_records(write, fmt, 300)
    with open(path, "rb") as f:
        theirs = json.loads(f.read()) if fmt == "json" else [json.loads(line) for line in f]
    check_tracking(bigjson.load(path), theirs)
    check_tracking(list(bigjson.iter_records(path)), theirs)

    class Probe:
        pass

    value, probe = bigjson.load(path), Probe()
    value[7]["user"]["ids"].append(value)
    value[7]["tags"].append(probe)
    ref = weakref.ref(probe)
    del value, probe
    gc.collect()
    assert ref() is None


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="free-threaded only")
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_free_threaded_collections_spaced_out(write, fmt):
    # There every collection walks the whole heap, and the collections that fall due while a
    # result grows are spaced by what they find tracked: a result held untracked would be
    # walked again every few thousand containers.
    path = write_records(write, fmt, 100_000)
    started = []

    def count(phase, info):
        started.append(phase == "start")

    gc.collect()
    gc.callbacks.append(count)
    try:
        bigjson.load(path)
    finally:
        gc.callbacks.remove(count)
    assert sum(started) < 40


def test_collector_switch_left_alone(write):
    path = write("[" + ",".join(["[]"] * 400_000) + "]")
    ran = []

    def handler(signum, frame):  # a handler that turns the collector off mid-load
        gc.disable()
        ran.append(signum)

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.003)
        bigjson.load(path)
        assert ran and not gc.isenabled()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()


AFTER_LOAD = """
import gc, sys
from quarn import bigjson
value = bigjson.load(sys.argv[1])
full = []
gc.callbacks.append(lambda phase, info: phase == "start" and full.append(info["generation"]))
rows = [{"id": i} for i in range(100_000)]
print(full.count(2))
"""


@pytest.mark.skipif(
    sys.version_info >= (3, 14) or sysconfig.get_config_var("Py_GIL_DISABLED"),
    reason="the generational collector of 3.11-3.13",
)
# load sizes its result against sys.getallocatedblocks(), which counts nothing under the
# system allocator (the sanitizer run uses it).
@pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC", "").startswith("malloc"),
    reason="no block count under the system allocator",
)
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_no_full_collection_left_to_the_caller(write, fmt):
    path = write_records(write, fmt, 30_000)  # 150,000 tracked containers
    out = subprocess.run(
        [sys.executable, "-c", AFTER_LOAD, path], capture_output=True, text=True, check=True
    ).stdout
    assert out.split() == ["0"]
