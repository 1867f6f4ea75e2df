"""quarn.read_arrow: the rows are the records iter_records gives, from every layout and
source, whatever the batch size; a bad record fails as it fails there, and a caller that
goes on past it loses nothing else; the stream goes to any consumer of the interface."""

import gzip
import io
import json

import pytest
import quarn
from test_split import layouts

pa = pytest.importorskip("pyarrow")

RECORDS = [
    {
        "id": i,
        "name": f"n{i}" * (i % 3),
        "score": i / 4,
        "tags": ["a", "b"][: i % 3],
        "user": {"id": i * 7, "screen": None if i % 5 == 0 else f"u{i}"},
        "ok": i % 2 == 0,
    }
    for i in range(23)
]


def as_rows(reader):
    return [row for batch in reader for row in batch.to_pylist()]


def sources(tmp_path, records):
    """The same records as every kind of source quarn reads."""
    out = {}
    for name, text in {
        **layouts(records),
        "nested.json": json.dumps({"h": 1, "items": records}),
    }.items():
        path = tmp_path / name
        path.write_text(text, encoding="utf-8")
        out[name] = (str(path), "/items" if name == "nested.json" else None)
    gz = tmp_path / "data.jsonl.gz"
    gz.write_bytes(gzip.compress(layouts(records)["data.jsonl"].encode()))
    out["gzip"] = (str(gz), None)
    out["stream"] = (io.BytesIO(layouts(records)["pretty.json"].encode()), None)
    return out


@pytest.mark.parametrize(
    "kind", ["pretty.json", "compact.json", "data.jsonl", "nested.json", "gzip", "stream"]
)
@pytest.mark.parametrize("batch_rows", [1, 2, 7, 65536])
@pytest.mark.parametrize("jobs", [1, 3])
def test_rows_are_the_records_in_order(tmp_path, time_limit, kind, batch_rows, jobs):
    source, pointer = sources(tmp_path, RECORDS)[kind]
    reader = quarn.read_arrow(source, records=pointer, batch_rows=batch_rows, jobs=jobs)
    batches = list(reader)
    assert [b.num_rows for b in batches[:-1]] == [batch_rows] * (len(batches) - 1)
    assert [r for b in batches for r in b.to_pylist()] == RECORDS
    assert all(b.schema == reader.schema for b in batches)


@pytest.mark.parametrize("sample", [1, 5, 1000])
def test_the_sample_names_the_columns(tmp_path, sample):
    # Types from the first records only; later keys are passed over, later rows keep theirs.
    records = [{"a": i, "b": [1.5]} for i in range(5)] + [{"a": 9, "c": "late"}]
    path = tmp_path / "d.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in records))
    table = quarn.read_arrow(str(path), sample=sample).read_all()
    names = ["a", "b"] + (["c"] if sample > 5 else [])
    assert table.column_names == names
    assert table.to_pylist() == [{k: r.get(k) for k in names} for r in records]
    assert table.schema.field("b").type == pa.list_(pa.float64())


def test_fields_keep_the_named_parts(tmp_path):
    path = tmp_path / "d.jsonl"
    path.write_text(layouts(RECORDS)["data.jsonl"])
    fields = ["name", "/user/screen", "missing"]
    table = quarn.read_arrow(str(path), fields=fields).read_all()
    assert table.column_names == ["name", "user", "missing"]
    assert table.to_pylist() == [
        {"name": r["name"], "user": {"screen": r["user"]["screen"]}, "missing": None}
        for r in RECORDS
    ]


BAD = {
    "bad line": ('{"a": 1}\n{"a": 2}\n{"a" 3}\n{"a": 4}\n', "data.jsonl"),
    "trailing comma": ('[{"a": 1}, {"a": 2},]', "data.json"),
    "truncated array": ('[{"a": 1}, {"a": 2}, {"a"', "data.json"),
    "after the array": ('[{"a": 1}, {"a": 2}] x', "data.json"),
    "not UTF-8": (b'{"a": 1}\n{"a": "\xff"}\n{"a": 3}\n', "data.jsonl"),
}


def outcome(rows_of):
    """The rows a caller gets going on past each error, and the errors it met."""
    rows, errors = [], []
    for _ in range(20):
        try:
            for row in rows_of():
                rows.append(row)  # noqa: PERF402 (rows before an error count too)
            return rows, errors
        except (ValueError, RuntimeError) as exc:
            errors.append((type(exc), str(exc)))
    raise AssertionError("no end")


@pytest.mark.parametrize("case", BAD, ids=list(BAD))
@pytest.mark.parametrize(("batch_rows", "jobs"), [(1, 1), (3, 1), (1, 2), (3, 3)])
def test_a_bad_record_fails_as_in_iter_records(write, time_limit, case, batch_rows, jobs):
    text, name = BAD[case]
    path = write(text, name)
    it = quarn.iter_records(path)
    reader = quarn.read_arrow(path, batch_rows=batch_rows, jobs=jobs)
    batches = iter(reader)
    assert outcome(lambda: (r for b in batches for r in b.to_pylist())) == outcome(lambda: it)


HEAD = ['{"a": 1, "s": "x"}', '{"a": 2, "s": "y"}']
CONFLICTS = [
    # on_conflict, the third record, the rows (or the error's text)
    (
        "error",
        '{"a": "3", "s": "w"}',
        "record 2: /a is a string, which a column of int64 cannot hold",
    ),
    ("null", '{"a": "3", "s": [1]}', [{"a": None, "s": None}]),
    ("text", '{"a": 3, "s": [1, {"k": 2.0}]}', [{"a": 3, "s": '[1,{"k":2.0}]'}]),
    # Only a string column can hold text.
    (
        "text",
        '{"a": "3", "s": "w"}',
        "record 2: /a is a string, which a column of int64 cannot hold",
    ),
]


@pytest.mark.parametrize(("policy", "third", "expected"), CONFLICTS)
def test_a_value_its_column_cannot_hold(write, policy, third, expected):
    path = write("\n".join([*HEAD, third, '{"a": 4, "s": "z"}']) + "\n", "d.jsonl")
    reader = quarn.read_arrow(path, sample=2, on_conflict=policy)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            reader.read_all()
        return
    head = [json.loads(line) for line in HEAD]
    assert reader.read_all().to_pylist() == [*head, *expected, {"a": 4, "s": "z"}]


@pytest.mark.parametrize("consumer", ["pyarrow", "from_stream", "polars", "duckdb", "pandas"])
def test_consumers_take_the_stream(tmp_path, time_limit, consumer):
    path = tmp_path / "d.json"
    path.write_text(layouts(RECORDS)["pretty.json"])
    reader = quarn.read_arrow(str(path), batch_rows=5)
    expected = [{k: r[k] for k in ("id", "name", "ok")} for r in RECORDS]
    if consumer == "pyarrow":
        got = pa.table(reader).select(["id", "name", "ok"]).to_pylist()
    elif consumer == "from_stream":
        got = (
            pa.RecordBatchReader.from_stream(reader)
            .read_all()
            .select(["id", "name", "ok"])
            .to_pylist()
        )
    elif consumer == "polars":
        pl = pytest.importorskip("polars")
        got = pl.DataFrame(reader).select(["id", "name", "ok"]).to_dicts()
    elif consumer == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        con = duckdb.connect()
        con.register("records", pa.RecordBatchReader.from_stream(reader))
        got = [
            dict(zip(("id", "name", "ok"), row))
            for row in con.execute("select id, name, ok from records").fetchall()
        ]
    else:
        pd = pytest.importorskip("pandas")
        frame = pa.table(reader).to_pandas(types_mapper=pd.ArrowDtype)
        got = frame.loc[:, ["id", "name", "ok"]].to_dict("records")
    assert got == expected
    with pytest.raises(RuntimeError, match="handed over as a stream"):
        next(iter(reader))


def test_a_stream_reports_a_bad_record(write, time_limit):
    path = write('{"a": 1}\n{"a" 2}\n', "d.jsonl")
    with pytest.raises(pa.ArrowInvalid, match="invalid JSONL line"):
        pa.table(quarn.read_arrow(path))


def batches_and_errors(reader):
    """Each batch's rows and each error, in the order a caller that goes on meets them."""
    out = []
    it = iter(reader)
    for _ in range(200):
        try:
            batch = next(it)
        except StopIteration:
            return out
        except ValueError as exc:
            out.append(str(exc))
        else:
            out.append(batch.to_pylist())
    raise AssertionError("no end")


# Bad records among many, as lines of JSON Lines and elements of an array.
MANY = [{"i": i, "s": "x" * (i % 7)} for i in range(60)]


@pytest.mark.parametrize("bad", [(), (0,), (5,), (17, 18), (39, 59)])
@pytest.mark.parametrize("name", ["d.jsonl", "d.json"])
@pytest.mark.parametrize(
    ("option", "value"), [("skip_bad", False), ("skip_bad", True), ("batch_bytes", 40)]
)
def test_jobs_give_the_same_batches_and_errors(write, time_limit, bad, name, option, value):
    texts = [json.dumps(r) for r in MANY]
    for k in bad:
        texts[k] = '{"i": "not a number", "s": ""}' if k % 2 else '{"i" 1}'
    if name == "d.jsonl":
        path = write("\n".join(texts) + "\n", name)
    else:
        path = write("[" + ",\n".join(texts) + "]", name)
    options = {"batch_rows": 4, "sample": 3, option: value}
    want = batches_and_errors(quarn.read_arrow(path, **options))
    for jobs in (2, 3):
        reader = quarn.read_arrow(path, jobs=jobs, **options)
        assert batches_and_errors(reader) == want
        assert reader.skipped == (len(bad) if options.get("skip_bad") else 0)
    rows = [r for got in want if isinstance(got, list) for r in got]
    assert [r["i"] for r in rows] == [i for i in range(60) if i not in bad]
    if option == "batch_bytes":
        # A batch ends with the record that brings its text to the limit.
        assert all(len(got) <= 3 for got in want if isinstance(got, list))


SCHEMAS = [
    # schema=, the table's rows for the records below (or the error's text)
    ({"b": "utf8", "a": "int64"}, [{"b": "x", "a": 1}, {"b": None, "a": 2}]),
    (
        {"/u/id": "float64", "t": "list<int64>"},
        [{"u": {"id": 7.0}, "t": [1, 2]}, {"u": None, "t": None}],
    ),
    ({"a": "float64", "none": "null"}, [{"a": 1.0, "none": None}, {"a": 2.0, "none": None}]),
    ({"u": "map<utf8, int64>"}, [{"u": [("id", 7)]}, {"u": None}]),
    ({"a": "utf8"}, "record 0: /a is an integer, which a column of utf8 cannot hold"),
    ({"t": "list<utf8>"}, "record 0: /t/0 is an integer, which a column of utf8 cannot hold"),
    ({"a": "int32"}, "unknown type name 'int32'"),
    ({"/u/id": "int64", "u": "utf8"}, "the column /u is given twice"),
    ({"a": "int64", "/a/b": "int64"}, "the column /a is not a struct"),
]


@pytest.mark.parametrize(("schema", "expected"), SCHEMAS)
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_given_schema_is_the_columns(write, schema, expected, jobs):
    path = write('{"a": 1, "b": "x", "u": {"id": 7}, "t": [1, 2]}\n{"a": 2}\n', "d.jsonl")
    if isinstance(expected, str):
        with pytest.raises(ValueError, match=expected):
            quarn.read_arrow(path, schema=schema, jobs=jobs).read_all()
        return
    reader = quarn.read_arrow(path, schema=schema, jobs=jobs)
    assert reader.read_all().to_pylist() == expected


def test_a_pyarrow_schema_is_taken_as_it_is(write):
    path = write('{"a": 1, "b": ["x"], "c": {"d": true}}\n', "d.jsonl")
    schema = pa.schema(
        [
            ("c", pa.struct([("d", pa.bool_())])),
            ("b", pa.list_(pa.large_string())),
            ("a", pa.int64()),
        ]
    )
    table = quarn.read_arrow(path, schema=schema).read_all()
    assert table.to_pylist() == [{"c": {"d": True}, "b": ["x"], "a": 1}]
    assert table.column_names == ["c", "b", "a"]
    with pytest.raises(ValueError, match=r"the column /a has Arrow type 'i'"):
        quarn.read_arrow(path, schema=pa.schema([("a", pa.int32())]))


@pytest.mark.parametrize("schema", [None, {"a": "int64", "/u/x": "int64"}])
def test_new_keys_may_fail_their_record(write, schema):
    path = write('{"a": 1, "u": {"x": 1}}\n{"a": 2, "u": {"x": 2, "y": 3}}\n', "d.jsonl")
    reader = quarn.read_arrow(path, schema=schema, sample=1, new_keys="error")
    with pytest.raises(ValueError, match="record 1: the key /u/y has no column"):
        reader.read_all()
