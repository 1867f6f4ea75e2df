"""fields=: records holding only the named parts, the rest checked as without it."""

import gzip
import io
import json
import subprocess
import sys

import pytest
import quarn
from conftest import drain
from hypothesis import given, settings
from hypothesis import strategies as st

TWEET = {
    "id": 7,
    "lang": "fr",
    "text": 'say "hi" \\ façade 中文',
    "user": {"id": 1, "screen_name": "ana", "entities": {"urls": [{"u": 1}]}},
    "entities": {"hashtags": [{"text": "x", "indices": [1, 2]}], "urls": []},
    "geo": None,
    "a/b": {"~k": 1.5},
}
FOUR = ["id", "lang", "/user/screen_name", "/entities/hashtags"]


def tokens(field):
    if not field.startswith("/"):
        return [field]
    return [t.replace("~1", "/").replace("~0", "~") for t in field.split("/")[1:]]


def project(record, fields):
    """What fields= keeps of a record that was built whole."""
    out = {}
    if not isinstance(record, dict):
        return out
    for field in fields:
        path, value = tokens(field), record
        for name in path:
            if not isinstance(value, dict) or name not in value:
                break
            value = value[name]
        else:
            place = out
            for name in path[:-1]:
                place = place.setdefault(name, {})
            place[path[-1]] = value
    return out


def sorted_everywhere(value):
    if isinstance(value, dict):
        return list(value) == sorted(value) and all(map(sorted_everywhere, value.values()))
    if isinstance(value, list):
        return all(map(sorted_everywhere, value))
    return True


class Failed(str):
    """An error in a list of outcomes, told apart from a record that is a str."""


def outcomes(records):
    return [
        Failed(r) if isinstance(r, str) and r.startswith(("ValueError: ", "RuntimeError: ")) else r
        for r in drain(records)
    ]


def projected(outcome, fields):
    return outcome if isinstance(outcome, Failed) else project(outcome, fields)


def every_way(path, fields, **options):
    """The records through iter_records and load (a list for lines and arrays)."""
    records = list(quarn.iter_records(path, fields=fields, **options))
    loaded = quarn.load(path, fields=fields, **options)
    return records, loaded


@pytest.mark.parametrize(
    ("fields", "expected"),
    [
        (
            FOUR,
            {
                "id": 7,
                "lang": "fr",
                "user": {"screen_name": "ana"},
                "entities": {"hashtags": TWEET["entities"]["hashtags"]},
            },
        ),
        (["user", "/user/id"], {"user": TWEET["user"]}),  # the whole holds the part
        (["/user/id", "user"], {"user": TWEET["user"]}),
        (["/a~1b/~0k"], {"a/b": {"~k": 1.5}}),
        (["a/b"], {"a/b": {"~k": 1.5}}),  # a plain name is one key, slash and all
        (["/user/entities/urls"], {"user": {"entities": {"urls": [{"u": 1}]}}}),
        (["/user/nothing", "/geo/x", "/lang/x", "/text/0"], {}),  # missing, through non-objects
        (["/entities/hashtags/0"], {}),  # array elements have no names
        (["geo", "missing", "id", "id"], {"geo": None, "id": 7}),
        ([], {}),
        (["/", ""], {}),  # the empty key, absent here
    ],
)
def test_projection_table(write, fields, expected):
    line = json.dumps(TWEET, ensure_ascii=False)
    lines = write(f"{line}\n\n{line}\n", "t.jsonl")
    array = write(f"[{line}, {line}]", "t.json")
    nested = write(f'{{"meta": {line}, "data": [{line}, {line}]}}', "n.json")
    for path, options in [(lines, {}), (array, {}), (nested, {"records": "/data"})]:
        records, loaded = every_way(path, fields, **options)
        assert records == loaded == [expected, expected]
        assert all(map(sorted_everywhere, records))
    # One document is its own record.
    assert quarn.load(write(line, "one.json"), fields=fields) == expected


@pytest.mark.parametrize(
    "text",
    [
        '{"id": 1, "id": 2}',
        '{"user": {"id": 1}, "user": {"screen_name": "b"}}',
        '{"user": {"screen_name": "a"}, "user": 5}',
        '{"user": {"screen_name": "a"}, "user": {}}',
        '{"user": 5, "user": {"screen_name": "a"}}',
        '{"x": {"user": 1, "user": 2}, "id": 3}',
        '{"\\u0069d": 1, "id": 2, "user": {"screen_\\u006eame": "c"}}',
    ],
)
def test_repeated_keys_last_wins(write, text):
    fields = ["id", "/user/screen_name", "/user/id"]
    expected = project(json.loads(text), fields)
    records, loaded = every_way(write(text + "\n" + text + "\n", "r.jsonl"), fields)
    assert records == loaded == [expected, expected]
    assert quarn.load(write(f"[{text}, 1, {text}]"), fields=fields) == [expected, {}, expected]


@pytest.mark.parametrize("record", ["5", '"id"', "null", "true", '[{"id": 1}]', "[]", "{}"])
def test_records_that_are_not_objects_give_empty_dicts(write, record):
    # One result per record, as without fields=, and each a dict.
    lines = write(f'{record}\n{{"id": 1}}\n', "x.jsonl")
    assert every_way(lines, ["id"]) == ([{}, {"id": 1}], [{}, {"id": 1}])
    array = write(f'[{record}, {{"id": 1}}]')
    assert every_way(array, ["id"]) == ([{}, {"id": 1}], [{}, {"id": 1}])
    # A document that is an array is a list of records.
    doc = json.loads(record)
    expected = [project(r, ["id"]) for r in doc] if isinstance(doc, list) else {}
    assert quarn.load(write(record, "doc.json"), fields=["id"]) == expected


MALFORMED = [
    '{"id": 1, "z": tru}',
    '{"id": 1, "z": [1, 2,]}',
    '{"id": 1, "z": {"a" 1}}',
    '{"id": 1, "z": 01}',
    '{"id": 1, "z": 1e999}',
    '{"id": 1, "z": 1' + "0" * 400 + ".5}",  # a fraction after a huge integer part
    '{"id": 1, "z": [1., 2]}',
    '{"id": 1, "z": 1.5e}',
    '{"id": 1, "z": 1.5x}',
    '{"id": 1, "z": 2.5E+999}',
    '{"id": 1, "z": -}',
    '{"id": 1, "z": "\\x"}',
    '{"id": 1, "z": "\\ud800"}',
    '{"id": 1, "z": "\\udc00\\u0041"}',
    '{"id": 1, "z": "a\tb"}',
    '{"id": 1, "z": {"q": [1}]}',
    '{"id": 1 "z": 2}',
    '{"id": 1, "z": 2} x',
    '{"id": 1, "z": ' + "[" * 300 + "]" * 300 + "}",
    '{"id": 1, "user": {"screen_name": [1, 2 3]}}',
    '{"id": 1, "user": {"a": 1,}, "z": 2}',
    '{"id": 1, "z": {"',
    '{"id": 1, 2: 3}',
    '["id", }',
]


@pytest.mark.parametrize("bad", MALFORMED)
def test_malformed_records_fail_as_without_fields(write, bad):
    good = json.dumps(TWEET)
    for path, options in [
        (write(f"{good}\n{bad}\n{good}\n", "m.jsonl"), {}),
        (write(f"[{good}, {bad}, {good}]"), {}),
        (write(f'{{"d": [{good}, {bad}, {good}], "t": 1}}'), {"records": "/d"}),
    ]:
        whole = outcomes(quarn.iter_records(path, **options))
        kept = outcomes(quarn.iter_records(path, fields=FOUR, **options))
        assert kept == [projected(r, FOUR) for r in whole]
        with pytest.raises(ValueError) as full:
            quarn.load(path, **options)
        with pytest.raises(ValueError) as part:
            quarn.load(path, fields=FOUR, **options)
        assert str(part.value) == str(full.value)


@pytest.mark.parametrize(
    "raw",
    [
        b'{"id": 1, "z": "caf\xe9"}',
        b'{"id": 1, "caf\xe9": 2}',
        b'{"id": 1, "z": "\xed\xa0\x80"}',
        b'{"id": 1, "z": "ok"}\xff',
        b'{"id": "\xf0\x9f"}',
    ],
)
def test_bad_utf8_as_without_fields(write, raw):
    # Lines: a read error; array elements: repaired to U+FFFD, as without fields=.
    for path in [
        write(raw + b"\n" + b'{"id": 2}\n', "u.jsonl"),
        write(b"[" + raw + b', {"id": 2}]'),
    ]:
        whole = outcomes(quarn.iter_records(path))
        kept = outcomes(quarn.iter_records(path, fields=["id"]))
        assert kept == [projected(r, ["id"]) for r in whole]


@pytest.mark.parametrize(
    ("fields", "error", "text"),
    [
        ("id", TypeError, "not a str"),
        ([1], TypeError, "'int'"),
        (["/a~2"], ValueError, '"/a~2"'),
        (["/~"], ValueError, "followed by 0"),
    ],
)
def test_bad_fields(write, fields, error, text):
    path = write('{"id": 1}\n', "a.jsonl")
    for call in (quarn.load, quarn.iter_records):
        with pytest.raises(error, match=text):
            call(path, fields=fields)


def test_every_source_and_compression(write, tmp_path):
    text = "".join(json.dumps(dict(TWEET, id=i)) + "\n" for i in range(50))
    expected = [project(dict(TWEET, id=i), FOUR) for i in range(50)]
    plain = write(text, "s.jsonl")
    packed = write(gzip.compress(text.encode()), "s.jsonl.gz")
    for source in [
        plain,
        tmp_path / "s.jsonl",
        packed,
        io.BytesIO(gzip.compress(text.encode())),
        io.BytesIO(text.encode()),
    ]:
        if isinstance(source, io.BytesIO):
            source.seek(0)
        assert list(quarn.iter_records(source, fields=FOUR)) == expected
        if isinstance(source, io.BytesIO):
            source.seek(0)
        assert quarn.load(source, fields=FOUR) == expected


def test_head_and_dask(write, tmp_path):
    path = write("".join(json.dumps(dict(TWEET, id=i)) + "\n" for i in range(3)), "h.jsonl")
    done = subprocess.run(
        [
            sys.executable,
            "-m",
            "quarn",
            "head",
            "-n",
            "2",
            "--fields",
            "id,/user/screen_name",
            "--fields",
            "a\\,b",
            path,
        ],
        check=False,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    assert [json.loads(line) for line in done.stdout.splitlines()] == [
        {"id": 0, "user": {"screen_name": "ana"}},
        {"id": 1, "user": {"screen_name": "ana"}},
    ]
    pytest.importorskip("dask.bag")
    from quarn.dask import read_records

    bag = read_records([path, path], fields=["id"])
    assert bag.compute(scheduler="sync") == [{"id": i} for i in range(3)] * 2


# Keys that need escaping in a pointer, repeat, or are written with escapes.
KEYS = st.sampled_from(["a", "b", "~", "/", "~1", "é", ""])
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=3)
)


def member(key, value, escaped):
    return json.dumps(key, ensure_ascii=escaped) + ":" + value


VALUES = st.recursive(
    SCALARS.map(json.dumps),
    lambda inner: (
        st.lists(st.tuples(KEYS, inner, st.booleans()), max_size=4).map(
            lambda ms: "{" + ",".join(member(*m) for m in ms) + "}"
        )
        | st.lists(inner, max_size=3).map(lambda vs: "[" + ",".join(vs) + "]")
    ),
    max_leaves=14,
)
POINTERS = st.lists(KEYS, min_size=1, max_size=3).map(
    lambda ts: "".join("/" + t.replace("~", "~0").replace("/", "~1") for t in ts)
)


@settings(max_examples=150, deadline=None)
@given(
    records=st.lists(VALUES, min_size=1, max_size=4), fields=st.lists(KEYS | POINTERS, max_size=4)
)
def test_property_fields_equal_projection_of_whole_records(write, records, fields):
    expected = [project(json.loads(r), fields) for r in records]
    lines = write("\n".join(records) + "\n", "p.jsonl")
    array = write("[" + ",".join(records) + "]", "p.json")
    nested = write('{"x": 1, "r": [' + ",".join(records) + "]}", "n.json")
    for path, options in [(lines, {}), (array, {}), (nested, {"records": "/r"})]:
        got, loaded = every_way(path, fields, **options)
        assert got == loaded == expected
        assert all(map(sorted_everywhere, got))


@settings(max_examples=150, deadline=None)
@given(
    record=VALUES,
    fields=st.lists(KEYS | POINTERS, max_size=3),
    at=st.integers(0, 10**6),
    byte=st.sampled_from([b"", b"}", b"]", b",", b":", b'"', b"\\", b"t", b"0", b".", b"\x01"]),
)
def test_property_damaged_records_fail_as_without_fields(write, record, fields, at, byte):
    # One byte of a record replaced (or dropped): whatever the parser makes of it, with
    # fields= it is the same error at the same place, or the projection of the same record.
    raw = record.encode()
    at %= len(raw) + 1
    damaged = raw[:at] + byte + raw[at + 1 :]
    for path in [
        write(damaged + b'\n{"a": 1}\n', "d.jsonl"),
        write(b"[" + damaged + b', {"a": 1}]'),
    ]:
        whole = outcomes(quarn.iter_records(path))
        kept = outcomes(quarn.iter_records(path, fields=fields))
        assert kept == [projected(r, fields) for r in whole]
