import gc
import json
import os
import threading
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarn import bigjson

from conftest import open_fds


def records(path, fmt=None):
    """Drains an iterator, collecting records and errors in order."""
    out = []
    it = bigjson.iter_records(path, fmt)
    while True:
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except (ValueError, RuntimeError) as e:
            out.append((type(e).__name__, str(e)))


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[1, {\"a\": 2}]", [1, {"a": 2}]),
        ('{"b": 1, "a": 2}', [{"a": 2, "b": 1}]),
        ("", []),
        ("  \n\f ", []),
        ("[]", []),
        ("[1,,2]", [1, 2]),
        ("[1,2,]", [1, 2]),
        ("[,]", []),
        ('["a]b", "c,d", "e\\"f", "\\\\"]', ["a]b", "c,d", 'e"f', "\\"]),
        ("[[1, [2]], {\"k\": [3, 4]}]", [[1, [2]], {"k": [3, 4]}]),
        ("[ 1 ,\n 2 ]\n\n", [1, 2]),
        ("[1, \u00a02\u00a0]", [1, 2]),
        ("[1 2]", [("ValueError", "invalid JSON element: trailing characters at line 1 column 3")]),
        ("[true false]",
         [("ValueError", "invalid JSON element: trailing characters at line 1 column 6")]),
        ("[1, {x}, 3]",
         [1, ("ValueError", "invalid JSON element: key must be a string at line 1 column 2"), 3]),
        ("[1, {\n\"a\" 1}]",
         [1, ("ValueError", "invalid JSON element: expected `:` at line 2 column 5")]),
        ("[1, 2", [1, ("ValueError", "invalid JSON: EOF while parsing a list at line 1 column 5")]),
        ("[1,\n2,\n", [1, 2, ("ValueError", "invalid JSON: EOF while parsing a list at line 3 column 0")]),
        ('[1, "ab', [1, ("ValueError", "invalid JSON: EOF while parsing a list at line 1 column 7")]),
        ("[1] x", [1, ("ValueError", "invalid JSON: trailing characters at line 1 column 5")]),
        ("[1]\n[2]", [1, ("ValueError", "invalid JSON: trailing characters at line 2 column 1")]),
        ("[1]\n \t\r\n", [1]),
        ("1 2", [("ValueError", "invalid JSON element: trailing characters at line 1 column 3")]),
        ("\ufeff[1]", [("ValueError", "invalid JSON element: expected value at line 1 column 1")]),
        (b'["a\xffb", 1]', ["a\ufffdb", 1]),
        (b'["\xe2\x82", 1]', ["\ufffd", 1]),
    ],
)
def test_json_records(write, text, expected):
    assert records(write(text)) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ('{"a": 1}\n\n  \t\n\u00a0\n[2]\r\n"x"', [{"a": 1}, [2], "x"]),
        ("1\n{bad\n3\n",
         [1, ("ValueError", "invalid JSONL line: key must be a string at line 1 column 2"), 3]),
        (b'1\n"\xff"\n3\n',
         [1, ("RuntimeError", "read error: stream did not contain valid UTF-8"), 3]),
        ("1\r2\r3", [("ValueError", "invalid JSONL line: trailing characters at line 1 column 3")]),
        ("", []),
    ],
)
def test_jsonl_records(write, text, expected):
    assert records(write(text, "x.jsonl")) == expected


def test_exhaustion_and_counters(write, no_fd_leak):
    path = write("[1, 2]")
    it = bigjson.iter_records(path)
    assert iter(it) is it
    assert (it.total_bytes, it.bytes_read) == (6, 0)
    assert list(it) == [1, 2]
    assert it.bytes_read == 6
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    del it
    lines = write('{"a": 1}\n\n  \n\xa0\n{"b": 2}', "x.jsonl")
    it = bigjson.iter_records(lines)
    assert it.bytes_read == 0
    assert list(it) == [{"a": 1}, {"b": 2}]
    assert it.bytes_read == it.total_bytes == os.path.getsize(lines)


def test_jsonl_bytes_read_counts_bad_lines(write):
    path = write(b'1\n"\xff"\n3\n', "x.jsonl")
    it = bigjson.iter_records(path)
    records_ = []
    while True:
        try:
            records_.append(next(it))
        except StopIteration:
            break
        except RuntimeError:
            pass
    assert records_ == [1, 3]
    assert it.bytes_read == it.total_bytes


def test_jsonl_sees_appended_lines(tmp_path):
    path = tmp_path / "grow.jsonl"
    path.write_text("1\n")
    it = bigjson.iter_records(str(path))
    assert list(it) == [1]
    with open(path, "a") as f:
        f.write("2\n")
    assert list(it) == [2]


def test_file_closed_only_on_destruction(write):
    path = write("[1, 2, 3]")
    before = open_fds()
    it = bigjson.iter_records(path)
    assert next(it) == 1
    assert len(open_fds() - before) == 1
    list(it)
    assert len(open_fds() - before) == 1
    del it
    gc.collect()
    assert open_fds() == before


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
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("X", (cls,), {})
    with pytest.raises(TypeError):
        weakref.ref(it)
    with pytest.raises(AttributeError):
        it.x = 1
    with pytest.raises(AttributeError):
        it.bytes_read = 5


def test_blocks_boundaries(write):
    # Elements, strings, escapes and nesting straddling 64 KiB block edges.
    items = []
    for shift in range(0, 40, 3):
        items.append("p" * (65536 - 30 + shift))
        items.append('esc\\"ape' * 5 + "\\")
        items.append({"deep": [[[1, 2, {"x": "],"}]]], "k": "é" * shift})
    text = json.dumps(items, ensure_ascii=False)
    assert list(bigjson.iter_records(write(text))) == [
        json.loads(json.dumps(i, sort_keys=True)) for i in items
    ]
    lines = "\n".join(json.dumps(i) for i in items)
    assert list(bigjson.iter_records(write(lines, "x.jsonl"))) == items


def test_threads_share_one_iterator(write):
    n = 20000
    it = bigjson.iter_records(write(json.dumps(list(range(n)))))
    seen = []
    lock = threading.Lock()

    def worker():
        while True:
            try:
                value = next(it)
            except StopIteration:
                return
            except RuntimeError as e:  # only where calls really overlap
                assert str(e) == "Already borrowed"
                continue
            with lock:
                seen.append(value)

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(seen) == list(range(n))


docs = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(), inner, max_size=4),
    max_leaves=10,
)


@settings(max_examples=100, deadline=None)
@given(items=st.lists(docs, max_size=12), ws=st.sampled_from(["", " ", "\n", " \t\r\n "]),
       as_lines=st.booleans())
def test_iter_equals_load(tmp_path, items, ws, as_lines):
    try:
        if as_lines:
            text = "\n".join(json.dumps(i) for i in items)
        else:
            text = "[" + ws + ("," + ws).join(json.dumps(i, indent=1 if ws else None)
                                              for i in items) + ws + "]"
        data = text.encode("utf-8")
    except UnicodeEncodeError:
        return
    path = tmp_path / ("r.jsonl" if as_lines else "r.json")
    path.write_bytes(data)
    loaded = bigjson.load(str(path))
    assert list(bigjson.iter_records(str(path))) == loaded
