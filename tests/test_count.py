import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarn import bigjson

from conftest import SHARED_DATA

JSON_CASES = [
    ("[1, 2, 3]", 3),
    ("[]", 0),
    ("[ ]", 0),
    ("[[]]", 1),
    ("[{}, {}]", 2),
    ('["a,b", "c\\",d"]', 2),
    ('["\\\\", "x"]', 2),
    ("[1,]", 2),
    ("[,]", 0),
    ("[", 0),
    ("[1", 1),
    ('{"a": [1, 2]}', 1),
    ("42", 1),
    ('"str"', 1),
    ("not json at all", 1),
    ("\ufeff[1, 2]", 1),
    ("", 0),
    ("  \n\t ", 0),
    ("[1] [2, 3]", 2),
    ("[1]] , 2", 1),
    ("\f[1, 2]", 2),
]


@pytest.mark.parametrize("text, expected", JSON_CASES)
def test_count_json(write, no_fd_leak, text, expected):
    assert bigjson.count(write(text, "x.json")) == expected
    assert bigjson.count(write(text, "x.txt"), format="json") == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{}\n\n   \n{}\n", 2),
        ("{}\n{}", 2),
        ("", 0),
        ("\n\n", 0),
        ("\u00a0\n{}\n", 1),
        ("\u3000\u2028 \t\r\n", 0),
        ("plain words\n", 1),
        ("{}\r\n{}\r\n", 2),
        ("\v\f\n", 0),
        ("x\u0085\n\u0085\n", 1),
    ],
)
def test_count_jsonl(write, no_fd_leak, text, expected):
    assert bigjson.count(write(text, "x.jsonl")) == expected


def test_pretty_object_without_extension_counts_lines(write):
    path = write(json.dumps({"a": 1, "b": [1, 2]}, indent=2), "data.txt")
    assert bigjson.count(path) == 7


@pytest.mark.parametrize("text", [b"{}\n\xff\n", b"\xc3\n", b"{}\n{\xed\xa0\x80}"])
def test_count_jsonl_invalid_utf8(write, no_fd_leak, text):
    with pytest.raises(RuntimeError) as info:
        bigjson.count(write(text, "x.jsonl"))
    assert str(info.value) == "read error: stream did not contain valid UTF-8"


def test_count_spans_blocks(write):
    # Strings, escapes and nesting straddling the 64 KiB block boundary.
    filler = "x" * (65536 - 20)
    records = [filler, "a\\\"b,c" * 7, {"k": [1, 2, [3, "]"]]}, "\\\\", 5]
    text = json.dumps(records)
    assert bigjson.count(write(text, "x.json")) == len(records)
    lines = "\n".join(json.dumps(r) for r in records * 3000)
    assert bigjson.count(write(lines, "x.jsonl")) == len(records) * 3000


@settings(max_examples=60, deadline=None)
@given(
    items=st.lists(st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False)
        | st.text(),
        lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
        max_leaves=8,
    ), max_size=20),
    indent=st.one_of(st.none(), st.integers(0, 4)),
    ascii_only=st.booleans(),
)
def test_count_matches_length(tmp_path, items, indent, ascii_only):
    path = tmp_path / "p.json"
    path.write_text(json.dumps(items, indent=indent, ensure_ascii=ascii_only), encoding="utf-8")
    assert bigjson.count(str(path)) == len(items)


@pytest.mark.skipif(not SHARED_DATA.exists(), reason="shared data not available")
def test_count_bench_files():
    twitter = SHARED_DATA / "bench" / "twitter.json"
    assert bigjson.count(str(twitter)) == 1
    numbers = SHARED_DATA / "bench" / "numbers.json"
    assert bigjson.count(str(numbers)) == len(json.loads(numbers.read_text()))
