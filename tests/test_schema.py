import json
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quarn import bigjson


def schema_of(write, records, **kw):
    text = "\n".join(json.dumps(r) for r in records)
    return json.loads(bigjson.schema(write(text, "s.jsonl"), **kw))


@pytest.mark.parametrize(
    "records, description",
    [
        ([{"id": 1, "name": "a", "tags": ["x"]}, {"id": 2, "name": None, "tags": [], "score": 1.5},
          {"id": 3, "tags": ["y", 4]}],
         {"id": "int", "name?": "null|str", "score?": "float", "tags": ["int|str"]}),
        ([1, 2.5, "x", None], "float|int|null|str"),
        ([{"a": 1}, [1], True], {"__oneof__": ["bool", ["int"], {"a": "int"}]}),
        ([{"a": {"x": 1}}, {"a": {"y": 2}}, {"a": 5}],
         {"a": {"__oneof__": ["int", {"x?": "int", "y?": "int"}]}}),
        ([{"a": [{"x": 1}, {"x": 2, "y": "s"}]}, {"a": []}], {"a": [{"x": "int", "y?": "str"}]}),
        ([[1, 2], [[3], "a"]], [{"__oneof__": ["int|str", ["int"]]}]),
        ([[[1, 2], [3.5]], []], [["float|int"]]),
        ([{}, {}], {}),
        ([[], []], []),
        ([{"a?": 1}, {"a": "x", "a?": 2}], {"a?": "str"}),
        ([{"__oneof__": 1}], {"__oneof__": "int"}),
        ([18446744073709551615, 18446744073709551616], "float|int"),
        ([{"a": None}, {"a": None}], {"a": "null"}),
        ([{"B": 1, "a": 1, "a_b": 1}], {"B": "int", "a": "int", "a_b": "int"}),
    ],
)
def test_inference_examples(write, records, description):
    assert schema_of(write, records) == description


def test_unknown_and_zero(write):
    assert bigjson.schema(write("", "e.jsonl")) == '"unknown"'
    assert bigjson.schema(write("  \n", "e.txt"), format="json") == '"unknown"'
    assert bigjson.schema(write("[]")) == '"unknown"'
    assert bigjson.schema(write("-0\n0", "z.jsonl")) == '"float|int"'
    assert bigjson.schema(write('{"a": 1}\n', "z.jsonl"), sample=0) == '"unknown"'
    assert bigjson.schema(write('[{"a": 1}, {"b": 2}]'), sample=0) == '{\n  "a": "int"\n}'
    assert bigjson.schema(write('{"a": 1}'), sample=0) == '{\n  "a": "int"\n}'


def test_rendering_layout(write):
    path = write('[{"b": [1, {}, "x\\n"], "a": null, "c": []}]')
    assert bigjson.schema(path) == (
        '{\n  "a": "null",\n  "b": [\n    {\n      "__oneof__": [\n        "int|str",\n'
        '        {}\n      ]\n    }\n  ],\n  "c": []\n}'
    )
    worked = write('{"id": 1, "name": "a"}\n\n{"id": 2}\n', "data.jsonl")
    assert bigjson.schema(worked) == '{\n  "id": "int",\n  "name?": "str"\n}'
    assert bigjson.schema(write("[[1, 2], [3]]")) == '[\n  "int"\n]'
    keys = write('[{"t\\tq\\"b\\\\s/\\u0001é": 1}]')
    assert bigjson.schema(keys) == '{\n  "t\\tq\\"b\\\\s/\\u0001é": "int"\n}'


@pytest.mark.parametrize(
    "text, kw, result",
    [
        ("[1,,2]", {}, '"int"'),
        ("[1,]", {}, '"int"'),
        ("[,]", {}, '"unknown"'),
        ("[1, 2", {}, '"int"'),
        ('[{"a": 1}, {bad', {"sample": 1}, '{\n  "a": "int"\n}'),
        ('["a,b", "c]\\"d"]', {}, '"str"'),
        ("\f[1]", {"format": "json"}, '"int"'),
        (b'["\xff"]', {}, '"str"'),
    ],
)
def test_json_sampler(write, text, kw, result):
    assert bigjson.schema(write(text), **kw) == result


@pytest.mark.parametrize(
    "content, name, exc, message",
    [
        ("[1 2]", "a.json", ValueError, "invalid JSON element: trailing characters at line 1 column 3"),
        ('{"a":1} {"b":2}', "a.json", ValueError,
         "invalid JSON: trailing characters at line 1 column 9"),
        ("\ufeff{}", "a.json", ValueError, "invalid JSON: expected value at line 1 column 1"),
        ("[1, {x}]", "a.json", ValueError,
         "invalid JSON element: key must be a string at line 1 column 2"),
        ("1\n{x\n", "a.jsonl", ValueError, "invalid JSONL line: key must be a string at line 1 column 2"),
        (b"1\n\xff\n", "a.jsonl", RuntimeError, "read error: stream did not contain valid UTF-8"),
    ],
)
def test_schema_errors(write, no_fd_leak, content, name, exc, message):
    with pytest.raises(exc) as info:
        bigjson.schema(write(content, name))
    assert str(info.value) == message


def test_sampling_stops_early(write):
    # Bad data after the sample is never read.
    assert bigjson.schema(write(b"1\n2\n\xff\n{bad", "a.jsonl"), sample=2) == '"int"'
    assert bigjson.schema(write("[1, 2, {bad"), sample=2) == '"int"'
    assert bigjson.schema(write("1\n\n\n2\n3\n{bad", "a.jsonl"), sample=3) == '"int"'


scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(
    allow_nan=False, allow_infinity=False) | st.text(max_size=3)
docs = st.recursive(scalars, lambda inner: st.lists(inner, max_size=3)
                    | st.dictionaries(st.sampled_from("abcd"), inner, max_size=3), max_leaves=8)


@settings(max_examples=80, deadline=None)
@given(records=st.lists(docs, min_size=1, max_size=8), seed=st.integers(0, 1000))
def test_order_independence(tmp_path, records, seed):
    shuffled = records[:]
    random.Random(seed).shuffle(shuffled)
    out = []
    for i, recs in enumerate((records, shuffled)):
        path = tmp_path / f"{i}.jsonl"
        path.write_text("\n".join(json.dumps(r) for r in recs))
        out.append(bigjson.schema(str(path)))
    assert out[0] == out[1]


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


# Keys that share long prefixes, collide once a "?" is added, or sort
# differently as bytes than as a prefix would suggest.
KEYS = ["", "a", "a?", "a??", "B", "a_b", "ab", "\x00", "é", "€", "profile_background_color",
        "profile_background_image_url", "profile_background_image_url_https", "k" * 17]
keyed_docs = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.sampled_from(KEYS), inner,
                                                                max_size=6),
    max_leaves=12,
)


@settings(max_examples=150, deadline=None)
@given(records=st.lists(keyed_docs, max_size=10))
def test_matches_plain_merge(tmp_path, records):
    path = tmp_path / "r.jsonl"
    path.write_text("\n".join(json.dumps(r) for r in records))
    assert bigjson.schema(str(path)) == (expected_text(records) if records else '"unknown"')


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
