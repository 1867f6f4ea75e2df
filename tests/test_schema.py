import io
import json
import random

import pytest
import quarn
from conftest import documents
from hypothesis import given, settings
from hypothesis import strategies as st
from quarn import bigjson
from quarn.cli import main

INT_PAIR = '[\n  "int"\n]'
A_INT = '{\n  "a": "int"\n}'


@pytest.mark.parametrize(
    "text, name, kw, result",
    [
        ("", "e.jsonl", {}, '"unknown"'),
        ("  \n", "e.txt", {"format": "json"}, '"unknown"'),
        ("[]", "a.json", {}, '"unknown"'),
        ("-0\n0", "z.jsonl", {}, '"float|int"'),
        ('{"a": 1}\n', "z.jsonl", {"sample": 0}, '"unknown"'),
        ('[{"a": 1}, {"b": 2}]', "a.json", {"sample": 0}, A_INT),
        ('{"a": 1}', "a.json", {"sample": 0}, A_INT),
        ("[1,,2]", "a.json", {}, '"int"'),
        ("[1,]", "a.json", {}, '"int"'),
        ("[,]", "a.json", {}, '"unknown"'),
        ("[1, 2", "a.json", {}, '"int"'),
        ('["a,b", "c]\\"d"]', "a.json", {}, '"str"'),
        ("\f[1]", "a.txt", {"format": "json"}, '"int"'),
        (b'["\xff"]', "a.json", {}, '"str"'),
        ("[[1, 2], [3]]", "a.json", {}, INT_PAIR),
        (
            '{"id": 1, "name": "a"}\n\n{"id": 2}\n',
            "a.jsonl",
            {},
            '{\n  "id": "int",\n  "name?": "str"\n}',
        ),
        (
            '[{"b": [1, {}, "x\\n"], "a": null, "c": []}]',
            "a.json",
            {},
            '{\n  "a": "null",\n  "b": [\n    {\n      "__oneof__": [\n        "int|str",\n'
            + '        {}\n      ]\n    }\n  ],\n  "c": []\n}',
        ),
        (
            '[{"t\\tq\\"b\\\\s/\\u0001é": 1}]',
            "a.json",
            {},
            '{\n  "t\\tq\\"b\\\\s/\\u0001é": "int"\n}',
        ),
        # bad data after the sample is never read; blank lines do not count toward it
        ('[{"a": 1}, {bad', "a.json", {"sample": 1}, A_INT),
        ("[1, 2, {bad", "a.json", {"sample": 2}, '"int"'),
        (b"1\n2\n\xff\n{bad", "a.jsonl", {"sample": 2}, '"int"'),
        ("1\r\n\n\n2\r\n3\n{bad", "a.jsonl", {"sample": 3}, '"int"'),
    ],
)
def test_schema_text(write, text, name, kw, result):
    assert bigjson.schema(write(text, name), **kw) == result


@pytest.mark.parametrize(
    "content, name, exc, message",
    [
        (
            "[1 2]",
            "a.json",
            ValueError,
            "invalid JSON element: trailing characters at line 1 column 3",
        ),
        (
            '{"a":1} {"b":2}',
            "a.json",
            ValueError,
            "invalid JSON: trailing characters at line 1 column 9",
        ),
        (
            "[1, {x}]",
            "a.json",
            ValueError,
            "invalid JSON element: key must be a string at line 1 column 2",
        ),
        (
            "1\n{x\n",
            "a.jsonl",
            ValueError,
            "invalid JSONL line: key must be a string at line 1 column 2",
        ),
        (b"1\n\xff\n", "a.jsonl", RuntimeError, "read error: stream did not contain valid UTF-8"),
    ],
)
def test_schema_errors(write, content, name, exc, message):
    with pytest.raises(exc) as info:
        bigjson.schema(write(content, name))
    assert str(info.value) == message


def describe(values):
    """The merged description, computed the plain way: all values at a place at once."""
    objects = [v for v in values if isinstance(v, dict)]
    arrays = [v for v in values if isinstance(v, list)]
    names = {scalar_name(v) for v in values if not isinstance(v, (dict, list))}
    alternatives = ["|".join(sorted(names))] if names else []
    if arrays:
        elements = [e for a in arrays for e in a]
        alternatives.append([describe(elements)] if elements else [])
    if objects:
        keys = []
        for o in objects:
            keys += [k for k in sorted(o, key=str.encode) if k not in keys]
        fields = {}
        # a key that collides with another's optional form: the later in this order wins
        for k in keys:
            present = [o[k] for o in objects if k in o]
            fields[k if len(present) == len(objects) else k + "?"] = describe(present)
        alternatives.append(fields)
    return alternatives[0] if len(alternatives) == 1 else {"__oneof__": alternatives}


def scalar_name(v):
    if v is None or isinstance(v, bool):
        return "null" if v is None else "bool"
    if isinstance(v, int):
        return "int" if -(2**63) <= v < 2**64 else "float"
    return "float" if isinstance(v, float) else "str"


def expected_text(records):
    return json.dumps(describe(records), indent=2, sort_keys=True, ensure_ascii=False)


# Keys that share long prefixes, collide once a "?" is added, sort differently as bytes
# than as a prefix would suggest, or spell the alternatives marker.
KEYS = [
    "",
    "a",
    "a?",
    "a??",
    "B",
    "a_b",
    "ab",
    "\x00",
    "é",
    "€",
    "__oneof__",
    "profile_background_color",
    "profile_background_image_url",
    "profile_background_image_url_https",
    "k" * 17,
]
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(-(2**64), 2**65)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=3)
)


@settings(max_examples=150, deadline=None)
@given(records=st.lists(documents(st.sampled_from(KEYS), SCALARS, size=4), max_size=10))
def test_matches_plain_merge(tmp_path, records):
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join(json.dumps(r) for r in records))
    text = bigjson.schema(str(path))
    assert text == (expected_text(records) if records else '"unknown"')
    # Order independence: shuffled records give the same text, unless a key ending in "?"
    # meets the optional form of another key (then the later one wins, by design).
    if '?"' not in json.dumps(records):
        random.Random(len(text)).shuffle(records)
        path.write_text("\n".join(json.dumps(r) for r in records))
        assert bigjson.schema(str(path)) == text


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_many_keys_and_shapes(write, fmt):
    # Hundreds of distinct keys, wide objects and recurring shapes among new
    # ones, over more records than the default sample.
    rng = random.Random(5)
    pool = [f"{p}{i}" for i in range(300) for p in ("", "field_with_a_long_prefix_")][::3]
    shapes = [rng.sample(pool, rng.randrange(45)) for _ in range(60)]
    records = []
    for n in range(250):
        keys = shapes[rng.randrange(len(shapes))]
        records.append({k: rng.choice([n, "s" * (n % 20), None, [n], {k: n}]) for k in keys})
    text = "\n".join(map(json.dumps, records)) if fmt == "jsonl" else json.dumps(records)
    path = write(text, "m." + fmt)
    assert bigjson.schema(path, sample=200) == expected_text(records[:200])


def by_id(n, start=0):
    return {f"id{i:07d}": {"name": f"n{i}", "tags": ["a"], "at": i / 2} for i in range(start, n)}


MEMBER = {"at": "float", "name": "str", "tags": ["str"]}


# An object of more than 200 keys is a map from ids to records, described by its values.
@pytest.mark.parametrize(
    "doc, described",
    [
        (by_id(200), {k: MEMBER for k in by_id(200)}),
        (by_id(201), {"__map__": MEMBER}),
        ({"meta": 1, "items": by_id(5000)}, {"items": {"__map__": MEMBER}, "meta": "int"}),
        # Objects at one place whose keys add up to more than 200 merge into one map.
        ([by_id(150), by_id(300, 150)], {"__map__": MEMBER}),
        ({"x": [by_id(150), by_id(300, 150)]}, {"x": [{"__map__": MEMBER}]}),
        # Past the budget of bytes skipped, reading stops: the head describes it.
        (by_id(300_000), {"__map__": MEMBER}),
        ({"s": "x" * 300_000, "n": [1] * 10}, {"n": ["int"], "s": "str"}),
    ],
)
def test_objects_keyed_by_id_are_maps(write, time_limit, doc, described):
    path = write(json.dumps(doc), "d.json")
    assert json.loads(quarn.schema(path)) == described


def test_maps_inside_records(write, time_limit):
    records = [{"id": n, "scores": {str(k): k / 2 for k in range(n, n + 150)}} for n in (0, 100)]
    path = write("\n".join(map(json.dumps, records)), "r.jsonl")
    assert json.loads(quarn.schema(path)) == {"id": "int", "scores": {"__map__": "float"}}
    # quarn.bigjson describes every key.
    assert len(json.loads(bigjson.schema(path))["scores"]) == 250


def test_sample_of_zero_says_what_was_used(write, time_limit, capsys):
    path = write(json.dumps({"a": list(range(1000))}), "d.json")
    assert main(["schema", "--sample", "0", path]) == 0
    assert "described from its first 1 element." in capsys.readouterr().err


@pytest.mark.parametrize("source", [42, io.StringIO("[1]")])
def test_a_source_of_the_wrong_type_is_named(source):
    with pytest.raises(TypeError) as info:
        quarn.count(source)
    assert info.value.__notes__ == ["while processing 'source'"]
