import io
import json
import random

import pytest
import quarn
from quarn import bigjson


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[1, 2, 3]", 3),
        ("[]", 0),
        ("[ ]", 0),
        ("[[]]", 1),
        ("[{}, {}]", 2),
        ('["a,b", "c\\",d"]', 2),
        ('["\\\\", "x"]', 2),
        # nothing is validated: commas count, and only value bytes make content
        ("[1,]", 2),
        ("[,]", 0),
        ("[", 0),
        ("[1", 1),
        ("[1] [2, 3]", 2),
        ("[1]] , 2", 1),
        ('{"a": [1, 2]}', 1),
        ("42", 1),
        ('"str"', 1),
        ("not json at all", 1),
        ("\ufeff[1, 2]", 2),
        ("\f[1, 2]", 2),
        ("", 0),
        ("  \n\t ", 0),
    ],
)
def test_count_json(write, text, expected):
    assert bigjson.count(write(text, "x.json")) == expected
    assert bigjson.count(write(text, "x.txt"), format="json") == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("{}\n\n   \n{}\n", 2),
        ("{}\n{}", 2),
        ("", 0),
        ("\n\n", 0),
        ("{}\r\n{}\r\n", 2),
        ("\u00a0\n{}\n", 1),
        ("\u3000\u2028 \t\r\n", 0),
        ("\v\f\n", 0),
        ("x\u0085\n\u0085\n", 1),
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


# Items whose strings hold brackets, quotes and backslashes, so that the edges of the
# chunks a first value is scanned in fall inside strings, escapes and nesting alike.
ITEMS = ['"a[b{c"', '"\\\\"', '"\\"]}"', '[1,[2,{"x":[]}]]', '{"k":"]"}', "123.5e3", "null"]


def long_document(size, seed):
    rng = random.Random(seed)
    items = rng.choices(ITEMS, k=size // 6 + 1)
    return '{"items":[' + ",".join(items) + '],"end":"}"}'


@pytest.mark.parametrize("size", [100, 2040, 2050, 6000, 70_000, 300_000])
@pytest.mark.parametrize("seed", range(3))
def test_content_tells_long_first_values(write, size, seed):
    doc = long_document(size, seed)
    value = json.loads(doc)
    # one line: the content cannot tell, the name (or, for a stream, JSON) decides
    assert quarn.load(write(doc, "a.json")) == value
    assert quarn.load(write(doc, "a.jsonl")) == [value]
    assert quarn.load(io.BytesIO(doc.encode())) == value
    # a second value on a later line: JSON Lines whatever the name
    assert quarn.load(write(doc + "\n" + doc + "\n", "a.json")) == [value, value]
    # a line feed inside the first value, early or late: JSON whatever the name
    for at in (doc.index(",") + 1, doc.rindex(",") + 1):
        spread = doc[:at] + "\n" + doc[at:]
        assert quarn.load(write(spread, "a.jsonl")) == value
        assert quarn.count(io.BytesIO(spread.encode() + b"\n" + doc.encode())) == 1
