import json

import pytest
from quarn import bigjson


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[1, 2, 3]", 3), ("[]", 0), ("[ ]", 0), ("[[]]", 1), ("[{}, {}]", 2),
        ('["a,b", "c\\",d"]', 2), ('["\\\\", "x"]', 2),
        # nothing is validated: commas count, and only value bytes make content
        ("[1,]", 2), ("[,]", 0), ("[", 0), ("[1", 1), ("[1] [2, 3]", 2), ("[1]] , 2", 1),
        ('{"a": [1, 2]}', 1), ("42", 1), ('"str"', 1), ("not json at all", 1),
        ("\ufeff[1, 2]", 2), ("\f[1, 2]", 2),
        ("", 0), ("  \n\t ", 0),
    ],
)
def test_count_json(write, text, expected):
    assert bigjson.count(write(text, "x.json")) == expected
    assert bigjson.count(write(text, "x.txt"), format="json") == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{}\n\n   \n{}\n", 2), ("{}\n{}", 2), ("", 0), ("\n\n", 0), ("{}\r\n{}\r\n", 2),
        ("\u00a0\n{}\n", 1), ("\u3000\u2028 \t\r\n", 0), ("\v\f\n", 0), ("x\u0085\n\u0085\n", 1),
        ("plain words\n", 1),
    ],
)
def test_count_jsonl(write, text, expected):
    assert bigjson.count(write(text, "x.jsonl")) == expected


def test_pretty_object_without_extension_counts_lines(write):
    path = write(json.dumps({"a": 1, "b": [1, 2]}, indent=2), "data.txt")
    assert bigjson.count(path) == 7


@pytest.mark.parametrize("text", [b"{}\n\xff\n", b"\xc3\n", b"{}\n{\xed\xa0\x80}"])
def test_count_jsonl_invalid_utf8(write, text):
    with pytest.raises(RuntimeError) as info:
        bigjson.count(write(text, "x.jsonl"))
    assert str(info.value) == "read error: stream did not contain valid UTF-8"
