"""Bytes that are not UTF-8 in a record: the top-level layer reports the record, as load
reports the file, and never reads them as U+FFFD; quarn.bigjson keeps its repair."""

import pytest
import quarn
from conftest import drain
from quarn import bigjson, cli

READ_ERROR = "read error: stream did not contain valid UTF-8"

BAD = {
    "continuation": b"\x80",
    "ff": b"\xff",
    "cut 2": b"\xc3",
    "cut 3": b"\xe2\x82",
    "cut 4": b"\xf0\x9f\x98",
    "overlong": b"\xc0\xaf",
    "overlong 3": b"\xe0\x80\xaf",
    "surrogate": b"\xed\xa0\x80",
    "above 10FFFF": b"\xf4\x90\x80\x80",
    "lead F5": b"\xf5\x80\x80\x80",
}

# The middle record of three holds the bytes: inside a string (a value or a key), or
# where a value belongs.
PLACES = {
    "value": lambda b: b'{"a": "x' + b + b'y"}',
    "key": lambda b: b'{"k' + b + b'": 1}',
    "outside": lambda b: b'{"a": ' + b + b"}",
}


def write(tmp_path, layout, record):
    if layout == "jsonl":
        data, name, kw = b'{"a": 1}\n' + record + b'\n{"a": 3}\n', "r.jsonl", {}
    elif layout == "array":
        data, name, kw = b'[{"a": 1},\n' + record + b',\n{"a": 3}]', "r.json", {}
    else:  # the array records= names
        data = b'{"meta": "\xc3\xa9", "rows": [{"a": 1}, ' + record + b', {"a": 3}]}'
        name, kw = "r.json", {"records": "/rows"}
    path = tmp_path / name
    path.write_bytes(data)
    return str(path), kw


CASES = [
    pytest.param(layout, place, bad, id=f"{layout}-{place}-{name}")
    for layout in ("array", "records", "jsonl")
    for place in PLACES
    for name, bad in BAD.items()
]


@pytest.mark.parametrize("layout, place, bad", CASES)
def test_every_reader_reports_the_record(tmp_path, capsys, layout, place, bad):
    path, kw = write(tmp_path, layout, PLACES[place](bad))
    with pytest.raises(RuntimeError, match=f"^{READ_ERROR}$"):
        quarn.load(path, **kw)
    # the error is the middle record's; the iterator goes on with the next one
    assert drain(quarn.iter_records(path, **kw)) == [
        {"a": 1},
        f"RuntimeError: {READ_ERROR}",
        {"a": 3},
    ]
    with pytest.raises(RuntimeError, match=f"^{READ_ERROR}$"):
        quarn.schema(path, **kw)
    capsys.readouterr()
    argv = ["validate", "--keep-going", "--no-progress", path]
    argv += ["--records", kw["records"]] if kw else []
    assert cli.main(argv) == 1
    out = capsys.readouterr()
    assert out.out == f"{path}: 1 bad of 3 records\n"
    assert out.err.startswith(f"quarn: {path}: record 2, ")
    assert out.err.endswith(f": {READ_ERROR}\n")


@pytest.mark.parametrize(
    "text, kw",
    [
        # a single document read as one record, and described with its arrays sampled
        (b'{"a": "x\xffy", "b": [1]}', {}),
        (b'{"a": [{"b": "\xed\xa0\x80"}]}', {}),
    ],
)
def test_documents(tmp_path, text, kw):
    path = tmp_path / "d.json"
    path.write_bytes(text)
    for read in (quarn.load, lambda p: list(quarn.iter_records(p)), quarn.schema):
        with pytest.raises(RuntimeError, match=f"^{READ_ERROR}$"):
            read(str(path))


def test_bigjson_keeps_replacing(tmp_path):
    path = tmp_path / "a.json"
    path.write_bytes(b'[{"a": "x\xffy"}, {"k\xed\xa0\x80": 1}]')
    expected = [{"a": "x\ufffdy"}, {"k\ufffd\ufffd\ufffd": 1}]
    assert list(bigjson.iter_records(str(path))) == expected
    assert bigjson.schema(str(path)) == '{\n  "a?": "str",\n  "k\ufffd\ufffd\ufffd?": "int"\n}'
    # count looks at no text
    assert quarn.count(str(path)) == bigjson.count(str(path)) == 2
