"""The native Arrow column builder, through _testing.arrow_batch: its batches against what
pyarrow reads from the same JSON Lines (pyarrow.json.read_json, and pyarrow's own inference
over json.loads of each line), and conflicting values handled as the policy says: nothing
dropped or changed without the policy asking for it."""

import json
from pathlib import Path

import pytest
from conftest import documents
from hypothesis import given, settings
from hypothesis import strategies as st

pa = pytest.importorskip("pyarrow")
pa_json = pytest.importorskip("pyarrow.json")

from quarn.lib._quarn import _testing

BENCHDATA = Path("/work/benchdata/tweets-256M.jsonl")


def batch(lines, sample=1000, policy="error", offset_limit=None):
    text = b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines)
    schema, array = _testing.arrow_batch(text, sample, policy, offset_limit)
    return pa.RecordBatch._import_from_c_capsule(schema, array)


def dumps(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False)


# JSON Lines that pyarrow's reader takes, over every type, null, missing keys and nesting.
READ_JSON_CASES = {
    "scalars": [
        '{"b": true, "i": 1, "f": 1.5, "s": "x", "n": null}',
        '{"b": false, "i": -9223372036854775808, "f": -0.0, "s": "\\u00e9\\n", "n": null}',
    ],
    "int then float": ['{"x": 1}', '{"x": 2.5}', '{"x": null}', "{}"],
    "keys first met late": ['{"a": 1}', '{"c": "z", "a": 2}', '{"b": [true]}'],
    "nesting": [
        '{"u": {"id": 1, "tags": ["a", "b"], "geo": {"x": 1.0}}}',
        '{"u": {"tags": [], "geo": null}}',
        '{"u": null}',
        '{"u": {"id": 3, "tags": null, "geo": {"y": [[1], [], null]}}}',
    ],
    "lists of structs": ['{"l": [{"a": 1}, {"b": "x"}, null]}', '{"l": []}', '{"l": [{}]}'],
    "only nulls and empties": ['{"n": null, "e": []}', '{"n": null, "e": []}'],
}


@pytest.mark.parametrize("lines", READ_JSON_CASES.values(), ids=READ_JSON_CASES.keys())
def test_equals_read_json(lines, tmp_path):
    path = tmp_path / "data.jsonl"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    theirs = pa_json.read_json(path)
    ours = batch(lines)
    assert ours.schema == theirs.schema
    assert ours.to_pylist() == theirs.to_pylist()


@pytest.mark.skipif(not BENCHDATA.exists(), reason="no benchmark data on this machine")
def test_equals_read_json_on_tweets(tmp_path):
    # Real records: deep nesting, many keys, nulls and lists of structs.
    with BENCHDATA.open("rb") as f:
        lines = [f.readline().decode().rstrip("\n") for _ in range(2000)]
    path = tmp_path / "tweets.jsonl"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    theirs = pa_json.read_json(path, read_options=pa_json.ReadOptions(block_size=1 << 30))
    ours = batch(lines, sample=len(lines))
    assert ours.schema == theirs.schema
    assert ours.to_pylist() == theirs.to_pylist()


def typed_values(kind):
    """Values of one type, as a strategy; kinds nest as lists and structs."""
    if kind == "bool":
        return st.booleans()
    if kind == "int":
        return st.integers(-(2**63), 2**63 - 1)
    if kind == "float":
        return st.floats(allow_nan=False, allow_infinity=False) | st.integers(-(2**53), 2**53)
    if kind == "str":
        return st.text()
    if kind[0] == "list":
        return st.lists(st.none() | typed_values(kind[1]), max_size=4)
    return st.fixed_dictionaries({}, optional={k: st.none() | typed_values(v) for k, v in kind[1]})


KINDS = st.recursive(
    st.sampled_from(["bool", "int", "float", "str"]),
    lambda inner: (
        st.tuples(st.just("list"), inner)
        | st.tuples(
            st.just("struct"),
            # A key holding NUL gets no column (an example below): pyarrow's own handling of
            # it differs between its releases. Keys are text a file can hold (no lone
            # surrogate, which neither JSON text in UTF-8 nor pyarrow can carry).
            st.lists(
                st.tuples(
                    st.text(st.characters(codec="utf-8", exclude_characters="\x00"), max_size=3),
                    inner,
                ),
                max_size=3,
                unique_by=lambda kv: kv[0],
            ),
        )
    ),
    max_leaves=6,
)
TYPED_RECORDS = KINDS.flatmap(
    lambda kind: st.lists(
        typed_values(("struct", [("k", kind), ("t", "str")])), min_size=1, max_size=8
    )
)


@settings(max_examples=200, deadline=None)
@given(TYPED_RECORDS, st.booleans())
def test_equals_pyarrow_inference(records, ascii_only):
    # pyarrow infers a struct array from the dicts themselves: the same types (keys in the
    # order first met, int with float -> double, null only -> null) and the same values.
    ours = batch([json.dumps(r, ensure_ascii=ascii_only) for r in records])
    theirs = pa.array(records)
    assert ours.schema == pa.schema(list(theirs.type))
    assert ours.to_pylist() == theirs.to_pylist()


def convert(value, typ, policy, conflicts, pointer=""):
    """What a column of `typ` holds for `value` under `policy`: the model of the builder. The
    pointers of the values that conflict (and are not kept as text) go to `conflicts`."""
    if value is None:
        return None
    fits = {
        pa.types.is_boolean: lambda v: isinstance(v, bool),
        pa.types.is_int64: lambda v: type(v) is int and -(2**63) <= v < 2**63,
        pa.types.is_float64: lambda v: type(v) in (int, float),
        pa.types.is_string: lambda v: isinstance(v, str),
        pa.types.is_list: lambda v: isinstance(v, list),
        pa.types.is_struct: lambda v: isinstance(v, dict),
        pa.types.is_null: lambda v: False,
    }
    if not next(check for test, check in fits.items() if test(typ))(value):
        if policy == "text" and pa.types.is_string(typ):
            return dumps(value)
        if policy != "null":
            conflicts.append(pointer or "the record")
        return None
    if pa.types.is_float64(typ):
        return float(value)
    if pa.types.is_list(typ):
        return [
            convert(v, typ.value_type, policy, conflicts, f"{pointer}/{i}")
            for i, v in enumerate(value)
        ]
    if pa.types.is_struct(typ):

        def escape(key):
            return key.replace("~", "~0").replace("/", "~1")

        return {
            f.name: convert(
                value.get(f.name), f.type, policy, conflicts, f"{pointer}/{escape(f.name)}"
            )
            for f in typ
        }
    return value


def expected_rows(records, sample, schema, policy):
    """Per record: its row as the model makes it, and the pointers of its conflicts."""
    # Each record is one value when the first is not an object, or when "text" found objects
    # and other values at the top of the sample (the top is then utf8).
    wrapped = not isinstance(records[0], dict) or (
        policy == "text"
        and any(r is not None and not isinstance(r, dict) for r in records[:sample])
    )
    out = []
    for r in records:
        conflicts = []
        if wrapped:
            row = {"value": convert(r, schema.field(0).type, policy, conflicts)}
        elif isinstance(r, dict):
            row = convert(r, pa.struct(list(schema)), policy, conflicts)
        else:
            # Where records are objects, anything else is a row of nulls (or a conflict).
            row = dict.fromkeys(schema.names)
            conflicts += [] if policy == "null" or r is None else ["the record"]
        out.append((row, conflicts))
    return out


RECORDS = st.lists(
    st.dictionaries(st.text(max_size=2), documents(size=3, leaves=6), max_size=4)
    | documents(size=2, leaves=3),
    min_size=1,
    max_size=8,
)


@settings(max_examples=300, deadline=None)
@given(RECORDS, st.integers(1, 8), st.sampled_from(["error", "null", "text"]))
def test_conflicts_follow_the_policy(records, sample, policy):
    lines = [dumps(r) for r in records]
    # The sample alone never conflicts ("text" makes a place of mixed kinds utf8; the others
    # keep the first kind, so "null" shows the types that "error" builds).
    schema = batch(lines[:sample], sample, "text" if policy == "text" else "null").schema
    expected = expected_rows(records, sample, schema, policy)
    failing = [(i, c) for i, (_, c) in enumerate(expected) if c]
    if failing:
        index, pointers = failing[0]
        with pytest.raises(ValueError, match=f"^record {index}: ") as info:
            batch(lines, sample, policy)
        assert any(str(info.value).startswith(f"record {index}: {p} is ") for p in pointers)
        return
    got = batch(lines, sample, policy)
    assert got.schema == schema
    assert got.to_pylist() == [row for row, _ in expected]


@pytest.mark.parametrize(
    ("lines", "policy", "rows"),
    [
        # The last of repeated keys wins, also over a nested value.
        (
            ['{"a": [1], "a": [2, 3], "b": {"c": 1, "c": null}}'],
            "error",
            [{"a": [2, 3], "b": {"c": None}}],
        ),
        (
            ['{"a": 1}', '{"b": 2}', "[1]", "null"],
            "null",
            [{"a": 1, "b": None}, {"a": None, "b": 2}, *[{"a": None, "b": None}] * 2],
        ),
        (["1", "2.5", "null"], "error", [{"value": 1.0}, {"value": 2.5}, {"value": None}]),
        (
            ['"x"', '{"k": [1, 1e16, -0.0, true, "\u2028"]}'],
            "text",
            [{"value": "x"}, {"value": '{"k":[1,1e+16,-0.0,true,"\u2028"]}'}],
        ),
        # A key holding NUL can name no field (names are C strings): it has no column.
        (['{"a\\u0000b": 1, "c": 2}'], "error", [{"c": 2}]),
        # Integers past 2**53 in a float64 column round as float() rounds their text.
        (
            ['{"f": 0.5}', '{"f": 9007199254740993}', '{"f": 18446744073709551615}'],
            "error",
            [{"f": 0.5}, {"f": float(9007199254740993)}, {"f": float(18446744073709551615)}],
        ),
    ],
)
def test_examples(lines, policy, rows):
    assert batch(lines, 100, policy).to_pylist() == rows


@pytest.mark.parametrize(
    ("lines", "message"),
    [
        (['{"a": 1}', '{"a": 1.5}'], "record 1: /a is a fraction or an integer beyond int64"),
        (['{"a": 1}', '{"a": 9223372036854775808}'], "record 1: /a is an integer beyond int64"),
        (['{"a": [{"b": 1}]}', '{"a": [{"b": 1}, {"b": "x"}]}'], "record 1: /a/1/b is a string"),
        (['{"a/~": 1}', '{"a/~": true}'], "record 1: /a~1~0 is a boolean"),
        (['{"a": 1}', "[1]"], "record 1: the record is an array"),
        (['{"a": 1}', '{"a": 1'], "record 1: EOF while parsing an object"),
        (['{"a": "x"}', b'{"a": "\xff"}'], "record 1: a string or key is not valid UTF-8"),
        (['{"a": "x"}', b'{"\xff": 1}'], "record 1: a string or key is not valid UTF-8"),
    ],
)
def test_errors_name_record_and_value(lines, message):
    with pytest.raises(ValueError, match="^" + message.replace("[", r"\[")):
        batch(lines, 1)


def test_wide_offsets_keep_the_values():
    lines = [
        dumps({"s": "abc" * i, "l": list(range(i)), "m": {str(k): k for k in range(i * 9)}})
        for i in range(50)
    ]
    narrow, wide = batch(lines), batch(lines, offset_limit=100)
    assert wide.schema.field("s").type == pa.large_string()
    assert wide.schema.field("l").type == pa.large_list(pa.int64())
    assert wide.schema.field("m").type == pa.map_(pa.large_string(), pa.int64())
    assert wide.to_pylist() == narrow.to_pylist()
    # Capsules nobody imports release what they hold when they go.
    del narrow, wide
    _testing.arrow_batch(b'{"a": [1]}\n', 1, "error")


# Objects with more keys at one place than a struct should have (ids, dates as keys).
WIDE = {f"k{j}": j for j in range(201)}
MAPS = [
    # lines, the map column's type, its rows (or the error's text)
    ([dumps({"m": WIDE})], pa.map_(pa.string(), pa.int64()), [list(WIDE.items())]),
    (
        [dumps({"m": {"a": 1}}), dumps({"m": {**WIDE, "z": 0.5}}), '{"m": null}'],
        pa.map_(pa.string(), pa.float64()),
        [[("a", 1.0)], [(k, float(v)) for k, v in {**WIDE, "z": 0.5}.items()], None],
    ),
    (
        [dumps({"m": {k: {"x": v} for k, v in WIDE.items()}}), '{"m": {"q": {"x": "s"}}}'],
        pa.map_(pa.string(), pa.struct([("x", pa.int64())])),
        "record 1: /m/q/x is a string, which a column of int64 cannot hold",
    ),
    # The record itself stays a struct of columns, however many keys it has.
    ([dumps(WIDE)], None, [WIDE]),
]


@pytest.mark.parametrize(("lines", "typ", "rows"), MAPS)
def test_objects_with_many_keys_are_maps(lines, typ, rows):
    if isinstance(rows, str):
        with pytest.raises(ValueError, match="^" + rows):
            batch(lines)
        return
    got = batch(lines)
    if typ is None:
        assert got.num_columns == len(WIDE)
        assert got.to_pylist() == rows
        return
    assert got.schema.field("m").type == typ
    assert got.column("m").to_pylist() == rows
