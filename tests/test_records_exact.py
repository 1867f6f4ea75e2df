"""records= and validate give what a parse of the whole document gives: the same elements or
an error, never a silent difference; the check of the rest of the document survives
interruptions."""

import contextlib
import io
import json

import pytest
import quarn
from conftest import array_pointers, documents, drain_under_storm, resolve
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from quarn import bigjson
from quarn.cli import main


@pytest.fixture(autouse=True)
def _limited(time_limit):
    # A walk that stopped making progress would hang the run.
    yield


def outcome(call):
    try:
        return call()
    except ValueError as e:
        return f"ValueError: {e}"


def drain(it):
    """Records and error texts until the end; a bad record does not end the iterator."""
    out = []
    for _ in range(10_000):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except ValueError as e:
            out.append(f"ValueError: {e}")
    raise AssertionError("the iterator does not end")


def validate(path, *options):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(["validate", "--no-progress", *options, path])
    return status, out.getvalue(), err.getvalue()


# text, pointer, what a whole-document parse makes of the records: their list, or the text
# of an error ("repeated" where the key on the way is met again after the array was read).
CASES = [
    ('{"a": [1, 2], "b": {"c": [3]}}', "/a", [1, 2]),
    ('{"a": [1, 2], "b": {"c": [3]}}', "/b/c", [3]),
    ("[1,,2]", "", "expected value at line 1 column 4"),
    ("[1,2,]", "", "trailing comma at line 1 column 6"),
    ("[,1]", "", "expected value at line 1 column 2"),
    ('{"a": [1,,2]}', "/a", "expected value at line 1 column 10"),
    ('{"a": [1,2 , ]}', "/a", "trailing comma at line 1 column 14"),
    ('{"a": [ ]}', "/a", []),
    # What comes before the array is checked as what comes after it.
    ('{"x": tru, "a": [1]}', "/a", "expected ident at line 1 column 10"),
    ('{"x": "\\q", "a": [1]}', "/a", "invalid escape at line 1 column 9"),
    ('{"x": [1,], "a": [1]}', "/a", "trailing comma at line 1 column 10"),
    # One reader of keys, one message.
    ('{"a": [1, 2], "b"', "/a", "EOF while parsing an object at line 1 column 17"),
    ('{"a": [1, 2], "b":', "/a", "EOF while parsing a value at line 1 column 18"),
    ('{"a": [1, 2], ', "/a", "EOF while parsing a value at line 1 column 14"),
    # The last of repeated keys is the document's.
    ('{"f": {"x": 1}, "f": [2, 3]}', "/f", [2, 3]),
    ('{"f": 1, "g": 0, "f": [2, 3]}', "/f", [2, 3]),
    ('{"f": [1], "x": 0, "f": [2, 3]}', "/f", "repeated"),
    ('{"f": [1], "f": {"x": 1}}', "/f", "repeated"),
    ('{"o": {"f": [1]}, "o": {"f": [2]}}', "/o/f", "repeated"),
    ('{"o": {"g": [1]}, "o": {"f": [2]}}', "/o/f", [2]),
    ('{"o": [[1], {"f": [9]}], "o": [0, {"f": [2]}]}', "/o/1/f", "repeated"),
    ('{"o": [[1]], "o": [0, {"f": [2]}]}', "/o/1/f", [2]),
]


@pytest.mark.parametrize("text, pointer, expected", CASES)
def test_records_agree_with_the_whole_document(tmp_path, text, pointer, expected):
    path = str(tmp_path / "doc.json")
    with open(path, "w") as f:
        f.write(text)
    loaded = outcome(lambda: quarn.load(path, records=pointer))
    # A fault before the array is met on the way there, when the iterator is made.
    iterated = outcome(lambda: drain(quarn.iter_records(path, records=pointer)))
    status, out, err = validate(path, "--records", pointer, "--keep-going")
    if isinstance(expected, list):
        assert loaded == iterated == expected == resolve(json.loads(text), pointer)
        noun = "record" if len(expected) == 1 else "records"
        assert (status, out) == (0, f"{path}: ok, {len(expected)} {noun}\n")
        return
    assert isinstance(loaded, str)
    assert status == 1 and err
    if expected == "repeated":
        assert loaded.startswith("ValueError: repeated key ")
        return
    whole = outcome(lambda: quarn.load(path))
    assert whole.endswith(expected)
    assert loaded == whole
    # The same error in every front end, once.
    errors = (
        [iterated] if isinstance(iterated, str) else [r for r in iterated if isinstance(r, str)]
    )
    assert errors == [whole]
    assert whole.removeprefix("ValueError: ") in err


def test_holes_stay_lenient_in_bigjson(tmp_path):
    path = str(tmp_path / "h.json")
    with open(path, "w") as f:
        f.write("[1,,2,]")
    assert list(bigjson.iter_records(path)) == [1, 2]
    # A form feed is not JSON whitespace: the element is bad, not blank.
    with open(path, "w") as f:
        f.write("[1, \f 2]")
    assert list(bigjson.iter_records(path)) == [1, 2]
    assert drain(quarn.iter_records(path))[1].startswith("ValueError: invalid JSON element: ")
    with open(path, "w") as f:
        f.write("[1,,2,]")
    status, out, err = validate(path, "--keep-going")
    assert (status, out) == (1, f"{path}: 2 bad of 4 records\n")
    assert "record 2" in err and "expected value at line 1 column 4" in err
    assert "record 4" in err and "trailing comma at line 1 column 7" in err


@pytest.mark.parametrize(
    "text, pointer",
    [('[{"x":1},{"x":2},{"x":', ""), ('{"a":[{"x":1},{"x":2},{"x":', "/a")],
)
def test_one_end_of_file_one_error(tmp_path, text, pointer):
    path = str(tmp_path / "t.json")
    with open(path, "w") as f:
        f.write(text)
    got = drain(quarn.iter_records(path, records=pointer))
    assert got[:2] == [{"x": 1}, {"x": 2}]
    assert got[2:] == [outcome(lambda: quarn.load(path))]
    assert got[2].endswith(f"EOF while parsing a value at line 1 column {len(text)}")
    status, out, _ = validate(path, "--records", pointer, "--keep-going")
    assert (status, out) == (1, f"{path}: 1 bad of 3 records\n")


def big_document(rest_end, scale=1):
    """Records between a large value before them and a large value after them (many blocks
    each, `scale` times as many), the document ending in `rest_end`."""
    before = json.dumps({"k": ['é \\ " x' * 3] * (40_000 * scale)}, indent=1)
    after = json.dumps([{"id": i, "v": [i, str(i)]} for i in range(60_000 * scale)], indent=1)
    text = '{"before": ' + before + ', "a": [1, 2, 3], "after": ' + after + "}"
    return text[:-1] + rest_end, text


@pytest.mark.parametrize("end", ["}", "]", ", }", "}}"])
def test_documents_of_many_blocks(tmp_path, end):
    text, good = big_document(end)
    assert len(text) > 20 * (1 << 16)
    path = str(tmp_path / "big.json")
    with open(path, "w") as f:
        f.write(text)
    whole = outcome(lambda: quarn.load(path))
    expected = [1, 2, 3] if end == "}" else [1, 2, 3, whole]
    assert drain(quarn.iter_records(path, records="/a")) == expected
    # A stream is read once: its lines are counted as the blocks go by.
    stream = io.BytesIO(text.encode())
    assert drain(quarn.iter_records(stream, records="/a")) == expected
    assert outcome(lambda: quarn.load(path, records="/a")) == ([1, 2, 3] if end == "}" else whole)
    with open(path, "w") as f:
        f.write(good.replace('"a": [1, 2, 3]', '"a": [1, , 3]'))
    hole = outcome(lambda: quarn.load(path))
    assert hole.startswith("ValueError: invalid JSON: expected value at line 40004 column")
    assert drain(quarn.iter_records(path, records="/a"))[1] == hole


class Flaky(io.RawIOBase):
    """A binary file object whose read raises once, at the call `fail_at`."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self.calls = 0
        self.fail_at = None

    def readable(self):
        return True

    def readinto(self, buffer):
        self.calls += 1
        if self.calls == self.fail_at:
            raise Interrupted
        return self._data.readinto(buffer)


class Interrupted(Exception):
    pass


def drain_interrupted(it):
    out, interruptions = [], 0
    for _ in range(10_000):
        try:
            out.append(next(it))
        except StopIteration:
            return out, interruptions
        except Interrupted:
            interruptions += 1
        except ValueError as e:
            out.append(f"ValueError: {e}")
    raise AssertionError("the iterator does not end")


@pytest.mark.parametrize("end", ["}", "]"])
def test_a_read_that_fails_once_at_every_block(end):
    text, _ = big_document(end)
    data = text.encode()
    source = Flaky(data)
    expected = drain(quarn.iter_records(source, records="/a"))
    calls = source.calls
    assert calls > 20 and len(expected) == (3 if end == "}" else 4)
    for k in range(1, calls + 1):
        source = Flaky(data)
        it = quarn.iter_records(source, records="/a")
        source.fail_at = source.calls + k
        got, interruptions = drain_interrupted(it)
        assert got == expected, k
        assert interruptions == (1 if source.calls >= source.fail_at else 0)


@pytest.mark.parametrize("end", ["}", "]"])
def test_a_storm_of_raising_signal_handlers(tmp_path, end):
    # Read without the interpreter lock, a file's walk answers signals between batches of
    # 4 MiB: the values around the array span several.
    text, _ = big_document(end, scale=6)
    path = str(tmp_path / "big.json")
    with open(path, "w") as f:
        f.write(text)
    expected = drain(quarn.iter_records(path, records="/a"))
    got, booms = drain_under_storm(
        quarn.iter_records(path, records="/a"), 0.0005, keep=(ValueError,)
    )
    assert got == expected
    assert booms > 0


# Duplicate keys at every level of the pointer's path: before the array's value (the later
# value is the document's and is found) and after it (an error naming the key).
PATH = ["p", "q", "r"]


def nest(level, first, second):
    """{"p": {"q": {"r": ...}}} with the key at `level` repeated: `first`, then `second`."""

    def build(depth):
        if depth == len(PATH):
            return "[7, 8]"
        key = json.dumps(PATH[depth])
        inner = build(depth + 1)
        if depth != level:
            return "{" + key + ": " + inner + ', "z": 0}'
        a = inner if first == "target" else first
        b = inner if second == "target" else second
        return "{" + key + ": " + a + ', "z": 0, ' + key + ": " + b + "}"

    return build(0)


@pytest.mark.parametrize("level", range(len(PATH)))
@pytest.mark.parametrize(
    "first, second, expected",
    [
        ('{"x": 1}', "target", [7, 8]),
        ("[]", "target", "array"),
        ("5", "target", [7, 8]),
        ("target", "5", "repeated"),
        ("target", "target", "repeated"),
    ],
)
def test_repeated_keys_on_the_path(tmp_path, level, first, second, expected):
    text = nest(level, first, second)
    path = str(tmp_path / "dup.json")
    with open(path, "w") as f:
        f.write(text)
    pointer = "/" + "/".join(PATH)
    loaded = outcome(lambda: quarn.load(path, records=pointer))
    if expected == "array":
        # An array where the pointer ends is handed out at once; above, it leads nowhere.
        expected = "repeated" if level == len(PATH) - 1 else [7, 8]
    if expected == "repeated":
        assert loaded.startswith(f'ValueError: repeated key "{PATH[level]}" in ')
        with pytest.raises(ValueError, match="repeated key"):
            quarn.count(path, records=pointer)
    else:
        assert loaded == expected == resolve(json.loads(text), pointer)


keys = st.text(alphabet='ab/~"\\]é ', max_size=3)


@settings(max_examples=300, deadline=None)
@given(
    doc=documents(keys=keys, leaves=16).filter(lambda d: isinstance(d, (list, dict))),
    data=st.data(),
    indent=st.sampled_from([None, 1]),
)
def test_property_records_are_those_of_the_parsed_document(tmp_path, doc, data, indent):
    pointers = list(array_pointers(doc))
    assume(pointers)
    pointer = data.draw(st.sampled_from(pointers))
    text = json.dumps(doc, indent=indent, ensure_ascii=False)
    # The document as written, or broken: cut short, or a byte dropped or doubled.
    how = data.draw(st.sampled_from(["whole", "cut", "drop", "double"]))
    at = data.draw(st.integers(0, len(text) - 1))
    text = {
        "whole": text,
        "cut": text[:at],
        "drop": text[:at] + text[at + 1 :],
        "double": text[:at] + text[at : at + 1] * 2 + text[at + 1 :],
    }[how]
    path = tmp_path / "p.json"
    path.write_text(text, encoding="utf-8")
    path = str(path)
    whole = outcome(lambda: quarn.load(path, format="json"))
    got = outcome(lambda: quarn.load(path, format="json", records=pointer))
    if not isinstance(whole, str):
        try:
            expected = resolve(whole, pointer)
        except (KeyError, IndexError, TypeError, ValueError):
            expected = None
        if isinstance(expected, list):
            assert got == expected
        else:
            assert isinstance(got, str)
        return
    # A broken document: an error, the same one wherever the walk can see it as the parser
    # does (a pointer that no longer leads anywhere may be reported first).
    assert isinstance(got, str)
    # Errors inside an element are placed within it (as in quarn.bigjson); a pointer that no
    # longer leads to an array may be reported before the fault.
    placed_elsewhere = ("ValueError: no value at", "ValueError: invalid JSON element: ")
    if not got.startswith(placed_elsewhere) and "not an array" not in got:
        assert got == whole
