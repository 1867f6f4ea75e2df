"""One file read in exact byte ranges by several threads: count(jobs=) and validate --jobs give
what one reader gives, on files cut into pieces of a few bytes."""

import contextlib
import io
import json
import os
import pathlib
import time

import pytest
import quarn
from conftest import drain_under_storm
from hypothesis import given, settings
from hypothesis import strategies as st
from quarn import _ranges, cli

# Strings made of what a range edge can fall into the middle of.
NASTY = st.lists(
    st.sampled_from(['"', "\\", '\\"', "[", "]", "{", "}", ",", "\n", " ", "a", "é", "😀"]),
    max_size=12,
).map("".join)
RECORDS = st.lists(
    st.recursive(
        NASTY | st.integers(-5, 5) | st.none(),
        lambda inner: st.lists(inner, max_size=3) | st.dictionaries(NASTY, inner, max_size=3),
        max_leaves=6,
    ),
    max_size=12,
)


def layouts(records):
    """The same records as a JSON array (pretty, compact on one line) and JSON Lines."""
    compact = json.dumps(records, separators=(",", ":"), ensure_ascii=False)
    pretty = json.dumps(records, indent=1)
    lines = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records)
    return {"compact.json": compact, "pretty.json": pretty, "data.jsonl": lines}


@pytest.fixture
def tiny_pieces(monkeypatch):
    """Pieces of a few bytes, so that small files are split."""
    monkeypatch.setattr(_ranges, "MIN_PIECE", 0)


def validate_output(path, *options):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = cli.main(["validate", "--no-progress", *options, path])
    return status, out.getvalue(), err.getvalue()


@settings(max_examples=60, deadline=None)
@given(records=RECORDS, jobs=st.integers(2, 40))
def test_split_counts_and_validates_like_one_reader(write, tiny_pieces, records, jobs):
    for name, text in layouts(records).items():
        path = write(text, name)
        assert quarn.count(path, jobs=jobs) == quarn.count(path) == len(records), name
        assert _ranges.validate(path, None, None, jobs, "infer") == len(records), name


@pytest.mark.parametrize(
    ("text", "name"),
    [
        ("[1] [2,3]", "data.json"),  # a second array after the first: counted, never cut
        ("[1,2,3]  x", "data.json"),
        ("[1, 2, 3", "data.json"),  # truncated
        ('[1, "a\\"]", 2]]', "data.json"),
        ("[" + ",".join(['"' + "\\\\" * 9 + '"'] * 9) + "]", "data.json"),
        ("[,,1,,]", "data.json"),
        ("\ufeff[1, 2]\n\n", "data.json"),
        ("[]", "data.json"),
        ('[{"a": [' + "[" * 40 + "]" * 40 + "]}, 2]", "data.json"),
        ("\ufeff1\n\ufeff2\n", "data.jsonl"),  # a mark is only skipped at the file's start
        ("1\n\n  \n2\n3", "data.jsonl"),
        ('1\n{"a": \n2\n', "data.jsonl"),
        (b"1\n\xff\n2\n", "data.jsonl"),
        ("\u2028\n1\n\u00a0\n", "data.jsonl"),
    ],
)
@pytest.mark.parametrize("jobs", [2, 3, 7])
def test_split_edge_cases(write, tiny_pieces, text, name, jobs):
    path = write(text, name)

    def outcome(j):
        try:
            return quarn.count(path, jobs=j)
        except (ValueError, RuntimeError) as e:
            return f"{type(e).__name__}: {e}"

    assert outcome(jobs) == outcome(1)
    assert validate_output(path, "--jobs", str(jobs)) == validate_output(path)


def test_records_pointer_validates_in_pieces(write, tiny_pieces):
    doc = {"meta": {"n": "],["}, "items": [{"s": '\\"]' * i} for i in range(30)], "after": [1]}
    path = write(json.dumps(doc))
    assert _ranges.validate(path, None, "/items", 4, "infer") == 30
    bad = write(json.dumps(doc)[:-1] + "]", "bad.json")
    assert _ranges.validate(bad, None, "/items", 4, "infer") is None
    status, _, err = validate_output(bad, "--jobs", "4", "--records", "/items")
    assert (status, err) == validate_output(bad, "--records", "/items")[::2]


def deep_in_named_array(levels):
    """A document whose array /x/y sits in two objects, an element of it `levels` arrays deep:
    with the 3 containers around it, 125 levels reach the parser's nesting limit of 128, which
    the same element at the top level of an array does not."""
    return '{"x": {"y": [1, ' + "[" * levels + "]" * levels + ", 2]}}"


@pytest.mark.parametrize(("levels", "count"), [(124, 3), (125, None)])
@pytest.mark.parametrize("jobs", [2, 5])
def test_elements_of_a_named_array_are_as_deep_as_in_the_file(
    write, tiny_pieces, levels, count, jobs
):
    path = write(deep_in_named_array(levels))
    assert _ranges.validate(path, None, "/x/y", jobs, "infer") == count
    status, _, err = validate_output(path, "--jobs", str(jobs), "--records", "/x/y")
    assert (status, err) == validate_output(path, "--records", "/x/y")[::2]
    assert ("recursion limit" in err) == (count is None)


@pytest.mark.parametrize("name", ["compact.json", "pretty.json", "data.jsonl"])
def test_file_names_that_are_not_utf8(tmp_path, tiny_pieces, name):
    records = [{"i": i, "s": "],[" * (i % 3)} for i in range(50)]
    raw = bytes(tmp_path) + b"/\xe9-" + name.encode()
    with open(raw, "w") as f:
        f.write(layouts(records)[name])
    for path in (os.fsdecode(raw), raw, pathlib.Path(os.fsdecode(raw))):
        assert quarn.count(path, jobs=3) == quarn.count(path) == 50
        assert _ranges.validate(path, None, None, 3, "infer") == 50
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        assert cli.main(["count", "--no-progress", "--jobs", "2", os.fsdecode(raw)]) == 0
    assert out.getvalue() == "50\n"


@pytest.mark.parametrize(
    ("jobs", "error"), [(0, ValueError), (-1, ValueError), (1.5, TypeError), (True, TypeError)]
)
def test_jobs_must_be_a_positive_int(write, jobs, error):
    with pytest.raises(error, match="jobs must be"):
        quarn.count(write("[1]"), jobs=jobs)


@pytest.mark.parametrize("array", [True, False])
def test_a_piece_loses_nothing_to_raising_signal_handlers(tmp_path, time_limit, array):
    # Records of thousands of containers, so that handlers also raise while one is built:
    # the record under way comes again, and no byte of the range is lost or read twice.
    items = [f"[{i}" + ",[]" * 5_000 + "]" for i in range(200)]
    path = tmp_path / ("r.json" if array else "r.jsonl")
    path.write_text("[" + ",".join(items) + "]" if array else "\n".join(items) + "\n")
    # the whole file as one piece: from just after the array's '[' (or the first line)
    piece = (True, False, 1, 0, False, 1) if array else (False, True, 0, 0, False, 0)
    # A record comes again after every interruption: leave time to build one (a sanitizer
    # build is many times slower), at least 1 ms or 3 records' time.
    start = time.monotonic()
    expected = list(quarn.iter_records(str(path)))
    interval = max(0.001, 3 * (time.monotonic() - start) / len(expected))
    got, booms = drain_under_storm(_ranges.native.iter_piece(str(path), *piece), interval)
    assert booms > 0
    assert got == expected
