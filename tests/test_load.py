import gc
import json
import struct
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarn import bigjson

from conftest import SHARED_DATA

SUITE = SHARED_DATA / "jsontestsuite"

# (text, message) with the position of the fault, as load reports it.
PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ("[,1]", "expected value at line 1 column 2"),
    ("{,}", "key must be a string at line 1 column 2"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":', "EOF while parsing a value at line 1 column 5"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("trux", "expected ident at line 1 column 4"),
    ("truex", "trailing characters at line 1 column 5"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("01", "invalid number at line 1 column 2"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("-a", "invalid number at line 1 column 2"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1.a", "invalid number at line 1 column 3"),
    ("1ea", "invalid number at line 1 column 3"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("1e309", "number out of range at line 1 column 5"),
    ("2e308", "number out of range at line 1 column 5"),
    ("1.5.2", "trailing characters at line 1 column 4"),
    ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ('"\\ude00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\ud83d"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud83dx"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\u12', "EOF while parsing a string at line 1 column 5"),
    ('"\\u12xyz"', "invalid escape at line 1 column 7"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ("\ufeff[]", "expected value at line 1 column 1"),
    ("1\f", "trailing characters at line 1 column 2"),
    ('["é" x]', "expected `,` or `]` at line 1 column 7"),
    ("[\n1,\n\n2 x]", "expected `,` or `]` at line 4 column 3"),
    ("[1,\n", "EOF while parsing a value at line 2 column 0"),
]


@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_errors(write, text, message):
    with pytest.raises(ValueError) as info:
        bigjson.load(write(text))
    assert str(info.value) == "invalid JSON: " + message


@pytest.mark.parametrize("text, message", PARSE_ERRORS[2:])
def test_jsonl_positions_are_line_relative(write, text, message):
    if "\n" in text or "\f" in text:
        return  # a line holds no line feed, and form feed is trimmed
    path = write("{}\n\n  " + text + "  \n", "x.jsonl")
    with pytest.raises(ValueError) as info:
        bigjson.load(path)
    assert str(info.value) == "invalid JSONL line: " + message


NUMBERS = [
    ("0", 0, int),
    ("-0", -0.0, float),
    ("1.0", 1.0, float),
    ("1e2", 100.0, float),
    ("18446744073709551615", 2**64 - 1, int),
    ("18446744073709551616", 18446744073709551616.0, float),
    ("9223372036854775807", 2**63 - 1, int),
    ("9223372036854775808", 2**63, int),
    ("-9223372036854775808", -(2**63), int),
    ("-9223372036854775809", -9223372036854775809.0, float),
    ("0e999", 0.0, float),
    ("1e-400", 0.0, float),
    ("-1e-400", -0.0, float),
    ("0.1", 0.1, float),
    ("1e23", 1e23, float),
    ("2.2250738585072011e-308", 2.2250738585072011e-308, float),
    ("9007199254740993", 9007199254740993, int),
    ("9007199254740993.0", 9007199254740992.0, float),
    ("17976931348623157e292", 1.7976931348623157e308, float),
    ("0." + "0" * 400 + "1e400", 0.1, float),
    ("123456789012345678901234567890e-10", 12345678901234567890.123456789, float),
    ("1" * 30 + ".5", float("1" * 30 + ".5"), float),
    ("4.9406564584124654e-324", 5e-324, float),
    ("2.4703282292062328e-324", 5e-324, float),
    ("2.4703282292062327e-324", 0.0, float),
    ("1e" + "9" * 12, None, None),
    ("0e" + "9" * 12, 0.0, float),
    ("1e-" + "9" * 12, 0.0, float),
]


@pytest.mark.parametrize("text, value, kind", NUMBERS)
def test_numbers(write, text, value, kind):
    path = write(text)
    if kind is None:
        with pytest.raises(ValueError, match="number out of range"):
            bigjson.load(path)
        return
    got = bigjson.load(path)
    assert type(got) is kind
    if kind is float:
        assert struct.pack("<d", got) == struct.pack("<d", value)
    else:
        assert got == value


def test_strings_and_keys(write):
    text = '{"b": 1, "a": {"é": 1, "B": 2, "a": 3, "ab": 4}, "a": "last", "\\u0000": "\\ud83d\\ude00"}'
    got = bigjson.load(write(text))
    assert got == {"\0": "\U0001f600", "a": "last", "b": 1}
    assert list(got) == ["\0", "a", "b"]
    nested = bigjson.load(write('{"z": {"é": 1, "B": 2, "a": 3, "ab": 4, "\U0001f600": 5}}'))
    assert list(nested["z"]) == ["B", "a", "ab", "é", "\U0001f600"]
    assert bigjson.load(write('"\\u00e9\\t\\n\\/\\\\\\""')) == 'é\t\n/\\"'


def test_scalars_and_empty(write):
    assert bigjson.load(write("42")) == 42
    assert bigjson.load(write('"x"')) == "x"
    assert bigjson.load(write("null")) is None
    assert bigjson.load(write("", "e.jsonl")) == []


def test_invalid_utf8_is_a_read_error(write, no_fd_leak):
    for content in (b'["\xff"]', b"[1, 2] \xc3", b'{"a": 1 \x80}', b"\xed\xa0\x80"):
        with pytest.raises(RuntimeError) as info:
            bigjson.load(write(content))
        assert str(info.value) == "read error: stream did not contain valid UTF-8"


def test_jsonl_load(write):
    path = write('{"b": 1, "a": 2}\n\n  \t\n[1]\r\n\u00a0"x"\u00a0\n3', "x.jsonl")
    got = bigjson.load(path)
    assert got == [{"a": 2, "b": 1}, [1], "x", 3]
    assert list(got[0]) == ["a", "b"]
    bad = write("1\n2\n3\n4\n{x}\n6\n", "bad.jsonl")
    with pytest.raises(ValueError) as info:
        bigjson.load(bad)
    assert str(info.value) == "invalid JSONL line: key must be a string at line 1 column 2"
    with pytest.raises(RuntimeError, match="read error: stream did not contain valid UTF-8"):
        bigjson.load(write(b'1\n"\xff"\n', "u.jsonl"))


def test_deep_nesting(write):
    value = bigjson.load(write("[" * 127 + "]" * 127))
    for _ in range(126):
        value = value[0]
    assert value == []
    depth = 0
    value = bigjson.load(write('{"a":' * 127 + "1" + "}" * 127))
    while isinstance(value, dict):
        value = value["a"]
        depth += 1
    assert depth == 127


json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=5) | st.dictionaries(st.text(), inner, max_size=5),
    max_leaves=20,
)


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def sorted_keys(v):
    if isinstance(v, dict):
        return {k: sorted_keys(v[k]) for k in sorted(v, key=lambda k: k.encode("utf-8", "surrogatepass"))}
    if isinstance(v, list):
        return [sorted_keys(x) for x in v]
    return v


@settings(max_examples=150, deadline=None)
@given(value=json_values, indent=st.one_of(st.none(), st.integers(0, 3)), ascii_only=st.booleans())
def test_load_matches_json(tmp_path, value, indent, ascii_only):
    text = json.dumps(value, indent=indent, ensure_ascii=ascii_only)
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return  # lone surrogates cannot be written as UTF-8
    path = tmp_path / "v.json"
    path.write_text(text, encoding="utf-8")
    assert same(bigjson.load(str(path)), sorted_keys(json.loads(text)))


@settings(max_examples=200, deadline=None)
@given(x=st.floats(allow_nan=False, allow_infinity=False), fmt=st.sampled_from(["%r", "%.17e", "%.3e", "%.25g"]))
def test_floats_correctly_rounded(tmp_path, x, fmt):
    text = fmt % x
    if "e" not in text and "." not in text:
        text += ".0"
    path = tmp_path / "f.json"
    path.write_text(text)
    if float(text) in (float("inf"), float("-inf")):
        with pytest.raises(ValueError, match="number out of range"):
            bigjson.load(str(path))
    else:
        assert same(bigjson.load(str(path)), float(text))


def test_conformance_suite():
    if not SUITE.exists():
        pytest.skip("shared test suite not available")
    for path in sorted(SUITE.glob("*.json")):
        name = path.name
        if name.startswith("y_"):
            bigjson.load(str(path))
        elif name.startswith("n_"):
            with pytest.raises((ValueError, RuntimeError)):
                bigjson.load(str(path))
        else:
            try:
                bigjson.load(str(path))
            except (ValueError, RuntimeError):
                pass


def test_failures_release_everything(write, no_fd_leak):
    bad = [write('[{"a": [1, 2, "x"], "b": {"c": ' * 5 + "tru"), write(b'{"a": ["\xff"]}', "u.json"),
           write('{"a": 1}\n{"b": [1, 2, 3]}\n[1, 2, ', "x.jsonl")]
    for path in bad:  # warm caches
        with pytest.raises((ValueError, RuntimeError)):
            bigjson.load(path)
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(2000):
        for path in bad:
            with pytest.raises((ValueError, RuntimeError)):
                bigjson.load(path)
    gc.collect()
    assert sys.getallocatedblocks() - before < 200
