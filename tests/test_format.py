import errno
import os

import pytest
from conftest import drain
from quarn import bigjson


@pytest.mark.parametrize(
    "name, content, fmt, expected",
    [
        ("data.txt", "[1, 2]", "JSONL", "jsonl"),
        ("data.txt", "[1, 2]", "NdJson", "jsonl"),
        ("data.txt", '{"a": 1}\n{"a": 2}\n', "Json", "json"),
        ("data.txt", "[1, 2]", "AUTO", "json"),
        ("data.txt", "[1, 2]", "", "json"),
        ("DATA.JSON", '{"a": 1}\n{"a": 2}\n', None, "json"),
        ("x.NDJSON", "[1, 2]", None, "jsonl"),
        ("x.JsonL", "[1, 2]", None, "jsonl"),
        ("data.txt", "\n\n  [1, 2]", None, "json"),
        ("data.txt", '{"a": 1}\n{"a": 2}\n', None, "jsonl"),
        ("data.txt", "\f\f[1, 2]", None, "json"),
        ("data.txt", "\v[1, 2]\n[3]", None, "jsonl"),
        ("data.txt", "\ufeff[1, 2, 3]", None, "json"),
        ("data.txt", "\ufeff\n{}\n{}", None, "jsonl"),
    ],
)
def test_detection(write, name, content, fmt, expected):
    # The same text counts differently as JSON and as JSON Lines.
    path = write(content, name)
    as_json, as_jsonl = bigjson.count(path, "json"), bigjson.count(path, "jsonl")
    assert as_json != as_jsonl
    assert bigjson.count(path, fmt) == (as_json if expected == "json" else as_jsonl)


def test_empty_file_detects_jsonl(write):
    assert bigjson.load(write("", "data.txt")) == []


@pytest.mark.parametrize(
    "fmt, shown",
    [
        ("jsonlines", '"jsonlines"'),
        ("XML", '"xml"'),
        (" json", '" json"'),
        ('a"b\\c', '"a\\"b\\\\c"'),
        ("t\tn\nr\r0\0", '"t\\tn\\nr\\r0\\0"'),
        ("it's", '"it\'s"'),
        ("é日本", '"é日本"'),
        ("e\u0301", '"e\\u{301}"'),
        ("\x07", '"\\u{7}"'),
    ],
)
def test_unknown_format(tmp_path, fmt, shown):
    for fn in (bigjson.count, bigjson.load, bigjson.iter_records, bigjson.schema):
        with pytest.raises(ValueError) as info:
            fn(str(tmp_path / "missing.json"), format=fmt)
        assert str(info.value) == f"unknown format {shown}; expected 'json', 'jsonl' or 'auto'"


@pytest.mark.parametrize("name", ["missing.txt", ""])
def test_detection_cannot_open(tmp_path, name):
    # No known ending: detection opens the file, and its failure names the path as given.
    path = str(tmp_path / name) if name else ""
    with pytest.raises(ValueError) as info:
        bigjson.count(path)
    assert str(info.value) == f"cannot open {path}: {os.strerror(errno.ENOENT)} (os error 2)"


def outcome(fn, path):
    try:
        return fn(path)
    except (ValueError, RuntimeError) as e:
        return f"{type(e).__name__}: {e}"


@pytest.mark.parametrize(
    "text, suffix",
    [
        ("[1, 2]", ".json"),
        (" \n[1, 2]", ""),
        ('{"a": 1}\n{"a": 2}\n', ".jsonl"),
        ('{"a": 1}\n{"a": 2}\n', ""),
        ("[1] x", ".json"),
        ("[1,\n2", ".json"),
        ('{\n"a" 1}', ".json"),
        ("1\n{x\n", ".jsonl"),
        ("{}\n\ufeff{}\n", ".jsonl"),
        ("", ".json"),
        ("", ".jsonl"),
        ("\n", ""),
    ],
)
def test_byte_order_mark(write, text, suffix):
    # One mark at the very start is skipped: every function gives what it gives on the same
    # file without it (error positions included), and the counters still reach the size.
    plain, marked = write(text, "plain" + suffix), write("\ufeff" + text, "marked" + suffix)
    for fn in (
        bigjson.count,
        bigjson.load,
        bigjson.schema,
        lambda p: drain(bigjson.iter_records(p)),
    ):
        assert outcome(fn, marked) == outcome(fn, plain)
    it = bigjson.iter_records(marked)
    drain(it)
    assert it.bytes_read == it.total_bytes
