"""records=: the elements of an array nested inside a JSON document, and the
schema of a large document with its arrays sampled."""

import json
import random

import pytest
import quarn
from conftest import array_pointers, resolve
from hypothesis import given, settings
from hypothesis import strategies as st

GEO = {
    "type": "FeatureCollection",
    "crs": {"name": 'EPSG "4326" [x] {y} \\'},
    "features": [
        {
            "type": "Feature",
            "geometry": {"type": "Polygon", "coordinates": [[[1.5, 2.25], [3.0, -4.0]]]},
            "properties": {"name": 'Zürich ]}"', "pop": i},
        }
        for i in range(7)
    ],
    "bbox": [0, 1, 2, 3],
}
EXPORT = {
    "meta": {"view": {"columns": [{"name": "a]"}, {"name": 'b\\"['}]}, "~/k": [[1], [2, 3]]},
    "data": {"items": [[1, "x"], [2, "y"], []], "empty": []},
}


def write(tmp_path, text, name="doc.json"):
    path = tmp_path / name
    path.write_text(text if isinstance(text, str) else json.dumps(text), encoding="utf-8")
    return str(path)


def sort_keys(value):
    return json.loads(json.dumps(value, sort_keys=True))


def all_four(path, pointer):
    return (
        quarn.count(path, records=pointer),
        quarn.load(path, records=pointer),
        list(quarn.iter_records(path, records=pointer)),
    )


@pytest.mark.parametrize(
    ("doc", "pointer"),
    [
        (GEO, "/features"),
        (GEO, "/bbox"),  # the array as the last key
        (GEO, "/features/3/geometry/coordinates/0"),
        (EXPORT, "/meta/~0~1k"),  # the array as the first key of its object, escapes
        (EXPORT, "/meta/~0~1k/1"),
        (EXPORT, "/data/items"),  # arrays of arrays, an empty one among them
        (EXPORT, "/data/empty"),
        (EXPORT, "/meta/view/columns"),
        ([[1, 2], {"a": [3]}], "/1/a"),
        ([1, 2, 3], ""),  # the whole document
    ],
)
@pytest.mark.parametrize("indent", [None, 2])
def test_records_are_the_elements(tmp_path, doc, pointer, indent):
    path = write(tmp_path, json.dumps(doc, indent=indent, ensure_ascii=False))
    expected = sort_keys(resolve(doc, pointer))
    n, loaded, iterated = all_four(path, pointer)
    assert (n, loaded, iterated) == (len(expected), expected, expected)
    schema = json.loads(quarn.schema(path, records=pointer, sample=2))
    assert schema == (json.loads(quarn.schema(write(tmp_path, expected[:2], "head.json"))))


def test_counters_reach_the_total(tmp_path):
    path = write(tmp_path, json.dumps(GEO, indent=1) + "\n")
    it = quarn.iter_records(path, records="/features")
    records = list(it)
    assert len(records) == 7
    assert it.bytes_read == it.total_bytes > 0


@pytest.mark.parametrize(
    ("text", "pointer", "message"),
    [
        (
            GEO,
            "/feature",
            'no value at /feature; the top-level object has keys: "type", "crs", "features", "bbox"',
        ),
        (GEO, "/crs/nam", 'no value at /crs/nam; the object at /crs has keys: "name"'),
        (GEO, "/features/9", "no value at /features/9; the array at /features has 7 elements"),
        (GEO, "/features/x", 'not by "x"'),
        (GEO, "/type/x", "the value at /type is a string, which has no members"),
        ({}, "/a", "no value at /a; the top-level object has no keys"),
        ("", "/a", "no value at /a; the document is empty"),
        (GEO, "/crs", "the value at /crs is an object, not an array"),
        (GEO, "/type", "the value at /type is a string, not an array"),
        ({"a": 1}, "", 'the value at "" is an object, not an array'),
        (GEO, "features", 'invalid records pointer "features"'),
        (GEO, "/a~2", '"~" must be followed by 0'),
        ({"a": {"b": [1]}}, "/a/b/1", "the array at /a/b has 1 element"),
        ({"a": {"b": [1]}}, "/a/b/-", 'not by "-"'),
        # Keys that are not ASCII are looked up in the Unicode database for the message,
        # also from a walk that reads the file without the interpreter lock.
        ({"é": 1, "\u0301x": 2}, "/a", 'keys: "é", "\\u{301}x"'),
    ],
)
def test_pointer_errors(tmp_path, text, pointer, message):
    path = write(tmp_path, text)
    for call in (quarn.count, quarn.load, quarn.iter_records):
        with pytest.raises(ValueError) as info:
            call(path, records=pointer)
        assert message in str(info.value)


def test_records_on_json_lines_is_an_error(tmp_path):
    path = write(tmp_path, '{"a": [1, 2]}\n{"a": [3]}\n', "lines.jsonl")
    with pytest.raises(ValueError, match="JSON Lines, whose records are its lines"):
        quarn.count(path, records="/a")
    # Read as one document, the pointer applies.
    path = write(tmp_path, '{"a": [1, 2]}', "one.jsonl")
    assert quarn.count(path, records="/a", format="json") == 2


# The rest of the document after the array: the same texts and positions as
# a whole-file parse gives (quarn.bigjson.load is that parse).
@pytest.mark.parametrize(
    "text",
    [
        '{"a": [1, 2], "b": {"c": [1, 2}}',
        '{"a": [1, 2], "b": "x\\q"}',
        '{"a": [1, 2], "b": 1,}',
        '{"a": [1, 2] "b": 1}',
        '{"a": [1, 2], "b" 1}',
        '{"a": [1, 2], 7: 1}',
        '{"a": [1, 2], "b": tru}',
        '{"a": [1, 2]}}',
        '{"a": [1, 2]} x',
        '{"a": [1, 2], "b": [',
        '{"a": [1, 2], "b": "abc',
        '{"a": [1, 2]',
        '{"x": [[1], 2, {"a": [1, 2]]}',
    ],
)
def test_bad_rest_after_the_records(tmp_path, text):
    path = write(tmp_path, "\n" + text)
    with pytest.raises(ValueError) as whole:
        quarn.load(path)
    pointer = "/x/2/a" if text.startswith('{"x"') else "/a"
    it = quarn.iter_records(path, records=pointer)
    assert [next(it), next(it)] == [1, 2]
    with pytest.raises(ValueError) as after:
        next(it)
    assert str(after.value) == str(whole.value)
    for call in (quarn.count, quarn.load):
        with pytest.raises(ValueError) as info:
            call(path, records=pointer)
        assert str(info.value) == str(whole.value)


@pytest.mark.parametrize(
    "text",
    [
        '{"a": [1, 2, {"b": ',
        '{"a": [1, 2,',
        '{"a": [1, 2, ',
        '{"a": [1, 2, 3',
        '{"a": [1, 2, "x',
        '{"a": [1, 2, [3, {"b" 4',
        '{"a": [1, 2, tru',
        '{"a": [1, 2,\f',
    ],
)
def test_truncated_inside_the_array(tmp_path, text):
    # Whichever function reads it, the end of the file names the error load names.
    path = write(tmp_path, text)
    it = quarn.iter_records(path, records="/a")
    assert [next(it), next(it)] == [1, 2]
    with pytest.raises(ValueError) as whole:
        quarn.load(path)
    with pytest.raises(ValueError) as info:
        next(it)
    assert str(info.value) == str(whole.value)
    with pytest.raises(ValueError) as counted:
        quarn.count(path, records="/a")
    assert str(counted.value) == str(whole.value)


def test_large_document_schema_samples_arrays(tmp_path):
    doc = dict(GEO, features=GEO["features"] * 300)
    path = write(tmp_path, doc)
    text, arrays = quarn._outline(path, sample=5)
    assert json.loads(text) == json.loads(quarn.schema(path, sample=5))
    assert ("/features", 2100, True) in arrays
    assert ("/bbox", 4, False) in arrays
    assert not any(p.startswith("/features/") for p, _, _ in arrays)
    described = json.loads(text)
    assert described["features"][0]["properties"] == {"name": "str", "pop": "int"}


keys = st.text(alphabet='ab/~"\\]é', max_size=4)
scalars = st.none() | st.booleans() | st.integers(-(2**63), 2**63) | st.text(max_size=5)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(keys, inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=150, deadline=None)
@given(
    doc=st.dictionaries(keys, values, max_size=5), data=st.data(), indent=st.sampled_from([None, 1])
)
def test_property_iter_equals_resolved(tmp_path_factory, doc, data, indent):
    pointers = list(array_pointers(doc))
    if not pointers:
        return
    pointer = data.draw(st.sampled_from(pointers))
    path = write(tmp_path_factory.mktemp("p"), json.dumps(doc, indent=indent))
    expected = sort_keys(resolve(doc, pointer))
    assert list(quarn.iter_records(path, records=pointer)) == expected
    assert quarn.count(path, records=pointer) == len(expected)


def outcome(call):
    try:
        return "ok", call()
    except ValueError as e:
        return "error", str(e)


def every_way(path, pointer):
    """What load says of the whole file, and what each way of reading the records says."""
    whole = outcome(lambda: quarn.load(path))
    ways = {
        "iter": outcome(lambda: list(quarn.iter_records(path, records=pointer))),
        "load": outcome(lambda: quarn.load(path, records=pointer)),
        "count": outcome(lambda: quarn.count(path, records=pointer)),
    }
    return whole, ways


def big_sibling(size, fault=None):
    """An array of rows whose texts hold what a byte scanner must not take for structure,
    `size` bytes or more, with `fault` written over the text of one row in the middle."""
    rows = []
    written = 0
    row = '{"s": "a\\\\\\",b]}\\u00e9,", "n": [1.5, -2e3, {"k": [true, null, "\\\\"]}], "t": {}}'
    while written < size:
        rows.append(row)
        written += len(row) + 1
    if fault is not None:
        rows[len(rows) // 2] = fault
    return "[" + ",".join(rows) + "]"


@pytest.mark.parametrize("size", [17 << 20, 3 << 20])
@pytest.mark.parametrize(
    "fault",
    [None, "nope", '{"s" 1}', "[1,]", '{"s": "\\x"}', "[1 2]", '{"a": [}', '"\\ud800"', "1.e5"],
)
@pytest.mark.parametrize("before", [True, False])
def test_large_sibling_checked_as_load_checks_it(tmp_path, time_limit, size, fault, before):
    # However large a value beside the array is, every byte of it is checked by the
    # parser: the same records or the same error as load, at the same position.
    sibling = big_sibling(size, fault)
    data = '"data": [1, 2, 3]'
    text = "{" + (f'"big": {sibling}, {data}' if before else f'{data}, "big": {sibling}') + "}"
    path = write(tmp_path, text)
    whole, ways = every_way(path, "/data")
    if fault is None:
        assert whole[0] == "ok"
        assert ways == {"iter": ("ok", [1, 2, 3]), "load": ("ok", [1, 2, 3]), "count": ("ok", 3)}
    else:
        assert whole[0] == "error"
        assert ways == {"iter": whole, "load": whole, "count": whole}


@pytest.mark.parametrize("seed", range(12))
def test_large_sibling_with_one_fault_anywhere(tmp_path, time_limit, seed):
    # A byte changed anywhere in a value that is checked in pieces (over 1 MiB):
    # the verdict and the position are load's.
    rng = random.Random(seed)
    items = []

    def value(depth):
        kind = rng.randrange(6 if depth < 6 else 3)
        if kind == 0:
            return rng.choice(['"a,b\\\\"', '"\\\\\\""', '"]}[{,:"', "-0.5e-3", "true", "null"])
        if kind == 1:
            return '"' + "x" * rng.randrange(200) + "\\\\" + rng.choice('"\\/nbu') + '"'
        if kind == 2:
            return str(rng.randrange(10**6))
        if kind == 3:
            return "[" + ",".join(value(depth + 1) for _ in range(rng.randrange(5))) + "]"
        members = (f'"k{i},\\\\"": {value(depth + 1)}' for i in range(rng.randrange(5)))
        return "{" + ",".join(members) + "}"

    size = 0
    while size < (3 << 19):
        items.append(value(0))
        size += len(items[-1])
    sibling = "[" + ", ".join(items) + "]"
    if seed % 3:
        # One deep branch, so that pieces are cut inside it too.
        sibling = '{"deep": ' + "[" * 60 + sibling + "]" * 60 + "}"
    at = rng.randrange(len(sibling) // 4, len(sibling))
    sibling = sibling[:at] + rng.choice(["", "]", ",", '"', "{", "x"]) + sibling[at + 1 :]
    path = write(tmp_path, '{"a": 0, "big": ' + sibling + ', "data": [1, 2]}')
    whole, ways = every_way(path, "/data")
    want = whole if whole[0] == "error" else ("ok", [1, 2])
    assert ways["iter"] == want
    assert ways["load"] == want
    assert ways["count"] == (whole if whole[0] == "error" else ("ok", 2))


DEEP = "[" * 127 + "]" * 127


@pytest.mark.parametrize(
    "text, pointer, element",
    [
        ("[1, " + DEEP + "]", "", True),
        ("[1, " + DEEP[1:-1] + "]", "", False),
        ('{"big": ' + DEEP + ', "data": [1, 2]}', "/data", False),
        ('{"big": [' + DEEP + '], "data": [1, 2]}', "/data", False),
        ('{"big": ' + DEEP[1:-1] + ', "data": [1, 2]}', "/data", False),
        ('{"data": [1, 2], "big": {"x": ' + DEEP[1:-1] + "}}", "/data", False),
        ('{"data": [1, ' + DEEP[1:-1] + "]}", "/data", True),
        ('{"data": [1, ' + DEEP[2:-2] + "]}", "/data", False),
        ('{"a": {"data": [1, ' + DEEP[2:-2] + "]}}", "/a/data", True),
    ],
)
def test_nesting_counts_the_containers_around(tmp_path, text, pointer, element):
    # An element or a value beside the array is as deep as the containers around it
    # make it: what load rejects for depth, every way of reading the records rejects.
    path = write(tmp_path, text)
    whole = outcome(lambda: quarn.load(path))
    iterated = outcome(lambda: list(quarn.iter_records(path, records=pointer)))
    loaded = outcome(lambda: quarn.load(path, records=pointer))
    projected = outcome(lambda: list(quarn.iter_records(path, records=pointer, fields=["a"])))
    if whole[0] == "ok":
        assert iterated[0] == loaded[0] == projected[0] == "ok"
        return
    assert "recursion limit exceeded" in whole[1]
    if element:
        # An element's error counts its position within the element.
        for got in (iterated, loaded, projected):
            assert got[0] == "error" and got[1].startswith("invalid JSON element: recursion")
    else:
        assert iterated == loaded == projected == whole
        assert outcome(lambda: quarn.count(path, records=pointer)) == whole
    if pointer == "":
        assert outcome(lambda: list(quarn.iter_records(path)))[0] == "error"
        assert outcome(lambda: quarn.schema(path))[0] == "error"
        # quarn.bigjson parses each element on its own.
        assert len(list(quarn.bigjson.iter_records(path))) == 2


@pytest.mark.parametrize(
    "text",
    [
        b'{"big": ["a\xff"], "data": [1]}',
        b'{"big": ["a\xc3"' + b", 1" * (1 << 19) + b'], "data": [1]}',
        b'{"big": [' + b"1, " * (1 << 19) + b'"\xed\xa0\x80"], "data": [1]}',
        b'{"data": [1], "big": "\xff"}',
        b'{"\xff": 1, "data": [1]}',
    ],
)
def test_text_that_is_not_utf8_beside_the_array(tmp_path, text):
    path = tmp_path / "doc.json"
    path.write_bytes(text)
    with pytest.raises(RuntimeError) as whole:
        quarn.load(path)
    for call in (quarn.load, quarn.count, lambda p, **o: list(quarn.iter_records(p, **o))):
        with pytest.raises(RuntimeError) as info:
            call(path, records="/data")
        assert str(info.value) == str(whole.value)


@pytest.mark.parametrize("fault", [None, "\\x", "\n", "\\ud800x", "\\u12"])
@pytest.mark.parametrize(
    "shape",
    ['{"big": %s, "data": [1]}', '{"data": [1], "big": [1, %s]}', '{%s: 1, "data": [1]}'],
)
def test_long_string_beside_the_array(tmp_path, time_limit, shape, fault):
    # A string of megabytes is checked in pieces too, cut where no escape or
    # character is split.
    chunk = 'plain é \\"q\\" \\\\ \\u00e9 \\ud83d\\ude00 ' * 20
    body = chunk * ((3 << 20) // len(chunk))
    if fault is not None:
        body = body[: len(body) // 2] + fault + body[len(body) // 2 :]
    path = write(tmp_path, shape % ('"' + body + '"'))
    whole, ways = every_way(path, "/data")
    if fault is None:
        assert whole[0] == "ok"
        assert ways == {"iter": ("ok", [1]), "load": ("ok", [1]), "count": ("ok", 1)}
    else:
        assert whole[0] == "error"
        assert ways == {"iter": whole, "load": whole, "count": whole}
