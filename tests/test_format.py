import errno
import os

import pytest
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
        ("data.txt", "\ufeff[1, 2]\n[3]", None, "jsonl"),
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
    [("jsonlines", '"jsonlines"'), ("XML", '"xml"'), (" json", '" json"'),
     ('a"b\\c', '"a\\"b\\\\c"'), ("t\tn\nr\r0\0", '"t\\tn\\nr\\r0\\0"'), ("it's", '"it\'s"'),
     ("é日本", '"é日本"'), ("e\u0301", '"e\\u{301}"'), ("\x07", '"\\u{7}"')],
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
