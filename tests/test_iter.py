import json
import weakref

import pytest
from conftest import documents, drain
from hypothesis import given, settings
from hypothesis import strategies as st
from quarn import bigjson

ELEMENT = "ValueError: invalid JSON element: "
DOCUMENT = "ValueError: invalid JSON: "


@pytest.mark.parametrize(
    "text, expected",
    [
        ('[1, {"a": 2}]', [1, {"a": 2}]),
        ('{"b": 1, "a": 2}', [{"a": 2, "b": 1}]),
        ("", []),
        ("  \n\f ", []),
        ("[]", []),
        ("[1,,2]", [1, 2]),
        ("[1,2,]", [1, 2]),
        ("[,]", []),
        ('["a]b", "c,d", "e\\"f", "\\\\"]', ["a]b", "c,d", 'e"f', "\\"]),
        ('[[1, [2]], {"k": [3, 4]}]', [[1, [2]], {"k": [3, 4]}]),
        ("[ 1 ,\n 2 ]\n\n", [1, 2]),
        ("[1, \u00a02\u00a0]", [1, 2]),
        # tokens never run together: the blanks between them stay in the element
        ("[1 2]", [ELEMENT + "trailing characters at line 1 column 3"]),
        ("[true false]", [ELEMENT + "trailing characters at line 1 column 6"]),
        ("1 2", [ELEMENT + "trailing characters at line 1 column 3"]),
        # an element error leaves the iterator at the next element
        ("[1, {x}, 3]", [1, ELEMENT + "key must be a string at line 1 column 2", 3]),
        ('[1, {\n"a" 1}]', [1, ELEMENT + "expected `:` at line 2 column 5"]),
        # an unfinished array or text after it is an error placed in the file
        ("[1, 2", [1, DOCUMENT + "EOF while parsing a list at line 1 column 5"]),
        ("[1,\n2,\n", [1, 2, DOCUMENT + "EOF while parsing a list at line 3 column 0"]),
        ('[1, "ab', [1, DOCUMENT + "EOF while parsing a list at line 1 column 7"]),
        ("[1] x", [1, DOCUMENT + "trailing characters at line 1 column 5"]),
        ("[1]\n[2]", [1, DOCUMENT + "trailing characters at line 2 column 1"]),
        ("[1]\n \t\r\n", [1]),
        (b'["a\xffb", 1]', ["a\ufffdb", 1]),
        (b'["\xe2\x82", 1]', ["\ufffd", 1]),
    ],
)
def test_json_records(write, text, expected):
    assert drain(bigjson.iter_records(write(text))) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"a": 1}\n\n  \t\n\u00a0\n[2]\r\n"x"', [{"a": 1}, [2], "x"]),
        (
            "1\n{bad\n3\n",
            [1, "ValueError: invalid JSONL line: key must be a string at line 1 column 2", 3],
        ),
        (b'1\n"\xff"\n3\n', [1, "RuntimeError: read error: stream did not contain valid UTF-8", 3]),
        ("1\r2\r3", ["ValueError: invalid JSONL line: trailing characters at line 1 column 3"]),
        ("", []),
    ],
)
def test_jsonl_records(write, text, expected):
    it = bigjson.iter_records(write(text, "x.jsonl"))
    assert it.bytes_read == 0
    assert drain(it) == expected
    # skipped and bad lines are read all the same
    assert it.bytes_read == it.total_bytes == len(text.encode() if isinstance(text, str) else text)


# a name that does not decide the format: detection reads the first block at once
@pytest.mark.parametrize("name", ["x.json", "x.data"])
def test_exhaustion(write, name):
    it = bigjson.iter_records(write("[1, 2]", name))
    assert iter(it) is it
    assert (it.total_bytes, it.bytes_read) == (6, 0)
    assert list(it) == [1, 2]
    assert it.bytes_read == 6
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_jsonl_sees_appended_lines(tmp_path):
    path = tmp_path / "grow.jsonl"
    path.write_text("1\n")
    it = bigjson.iter_records(str(path))
    assert list(it) == [1]
    with open(path, "a") as f:
        f.write("2\n")
    assert list(it) == [2]


def test_type_refusals(write):
    it = bigjson.iter_records(write("[1]"))
    cls = bigjson.RecordIterator
    assert type(it) is cls
    assert cls.__name__ == cls.__qualname__ == "RecordIterator"
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == "Python iterator wrapper returned by [`iter_records`]."
    assert cls.bytes_read.__doc__ == "Bytes consumed from the file so far (for progress reporting)."
    assert cls.total_bytes.__doc__ == (
        "Total size of the file in bytes (0 if it could not be determined)."
    )
    for refused, exc in [
        (cls, TypeError),
        (lambda: type("X", (cls,), {}), TypeError),
        (lambda: weakref.ref(it), TypeError),
        (lambda: setattr(it, "x", 1), AttributeError),
        (lambda: setattr(it, "bytes_read", 5), AttributeError),
        # the type is shared by every iterator of the process
        (lambda: setattr(cls, "__next__", None), TypeError),
        (lambda: setattr(cls, "x", 1), TypeError),
    ]:
        with pytest.raises(exc):
            refused()


def test_blocks_boundaries(write):
    # Elements, strings, escapes and nesting straddling 64 KiB block edges.
    items = []
    for shift in range(0, 40, 3):
        items.append("p" * (65536 - 30 + shift))
        items.append('esc\\"ape' * 5 + "\\")
        items.append({"deep": [[[1, 2, {"x": "],"}]]], "k": "é" * shift})
    for text, name in [
        (json.dumps(items, ensure_ascii=False), "x.json"),
        ("\n".join(json.dumps(i) for i in items), "x.jsonl"),
    ]:
        path = write(text, name)
        assert list(bigjson.iter_records(path)) == items
        assert bigjson.count(path) == len(items)


@settings(max_examples=100, deadline=None)
@given(
    items=st.lists(documents(size=4, leaves=10), max_size=12),
    as_lines=st.booleans(),
    ws=st.sampled_from(["", " ", "\n", " \t\r\n "]),
    ascii_only=st.booleans(),
)
def test_iter_and_count_agree_with_load(tmp_path, items, ws, as_lines, ascii_only):
    indent = 1 if ws and not as_lines else None
    texts = [json.dumps(i, indent=indent, ensure_ascii=ascii_only) for i in items]
    text = "\n".join(texts) if as_lines else "[" + ws + ("," + ws).join(texts) + ws + "]"
    path = tmp_path / ("r.jsonl" if as_lines else "r.json")
    try:
        path.write_text(text, encoding="utf-8")
    except UnicodeEncodeError:
        return
    loaded = bigjson.load(str(path))
    assert list(bigjson.iter_records(str(path))) == loaded
    assert bigjson.count(str(path)) == len(items) == len(loaded)
