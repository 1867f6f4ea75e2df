import gzip
import json
import os
import signal
import subprocess
import sys
import time

import pytest
import quarn
from conftest import drain

pa = pytest.importorskip("pyarrow")
import pyarrow.parquet as pq

RECORDS = [
    {"id": 1, "name": "a", "tags": ["x", "y"], "user": {"n": 1.5}},
    {"id": 2, "name": 'é "q" \\', "tags": [], "user": {"n": 2}},
    {"id": 3, "name": None, "tags": ["z"], "user": None},
]
ARRAY = json.dumps(RECORDS, indent=2, ensure_ascii=False).encode()
LINES = b"".join(json.dumps(r).encode() + b"\n" for r in RECORDS)
DOCUMENT = json.dumps({"meta": {"n": 3}, "data": {"rows": RECORDS}}, indent=1).encode()

# name, bytes, extra options; the records are RECORDS in each
SOURCES = [
    ("array.json", ARRAY, []),
    ("lines.jsonl", LINES, []),
    ("doc.json", DOCUMENT, ["--records", "/data/rows"]),
    ("array.json.gz", gzip.compress(ARRAY), []),
    ("-", ARRAY, []),
]
OUTPUTS = ["out.parquet", "out.arrow", "out.feather", "out.jsonl", "out.ndjson"]


def run(cwd, *args, stdin=None, timeout=120):
    return subprocess.run(
        [sys.executable, "-m", "quarn", *args],
        check=False,
        cwd=cwd,
        input=stdin,
        capture_output=True,
        timeout=timeout,
    )


def read_back(path):
    if path.suffix == ".parquet":
        return pq.read_table(path)
    if path.suffix in (".arrow", ".feather"):
        with pa.ipc.open_file(path) as f:
            return f.read_all()
    return quarn.load(path, "jsonl")


@pytest.mark.parametrize("name, data, options", SOURCES, ids=[s[0] for s in SOURCES])
@pytest.mark.parametrize("out", OUTPUTS)
def test_round_trip(tmp_path, name, data, options, out):
    source = tmp_path / ("stdin.json" if name == "-" else name)
    source.write_bytes(data)
    done = run(tmp_path, "convert", name, out, *options, stdin=data if name == "-" else None)
    assert (done.returncode, done.stderr) == (0, b"")
    records = options[1] if options else None
    if out.endswith((".jsonl", ".ndjson")):
        expected = quarn.load(source, records=records)
    else:
        expected = quarn.read_arrow(source, records=records).read_all()
    assert read_back(tmp_path / out) == expected
    assert sorted(os.listdir(tmp_path)) == sorted([source.name, out])


def test_json_lines_keep_each_records_bytes(tmp_path):
    # numbers and strings as written, whitespace outside strings gone, inside kept
    text = b'[ {"a" : 1.0E+2 , "b":"x \\" y\\\\"}\n, [ -0 ,\t"\\u00e9 \xc3\xa9" ],\r\n"s" ]'
    (tmp_path / "a.json").write_bytes(text)
    done = run(tmp_path, "convert", "a.json", "-", "--to", "jsonl")
    assert done.stdout == b'{"a":1.0E+2,"b":"x \\" y\\\\"}\n[-0,"\\u00e9 \xc3\xa9"]\n"s"\n'


BAD = [
    ("bad.json", b'[{"id": 1},\n {"id": 2},\n {"id": 3 "x": 1},\n {"id": 4}]'),
    ("bad.jsonl", b'{"id": 1}\n{"id": 2}\n{"id": \n{"id": 4}\n'),
    ("utf8.json", b'[{"id": 1}, {"id": "\xff"}, {"id": 3}]'),
    ("holes.json", b'[{"id": 1}, {"id": 2},, {"id": 3}]'),
    ("tail.json", b'[{"id": 1}, {"id": 2}] x'),
]


@pytest.mark.parametrize("name, data", BAD, ids=[b[0] for b in BAD])
@pytest.mark.parametrize("out", ["out.parquet", "out.arrow", "out.jsonl"])
@pytest.mark.parametrize("existing", [False, True])
def test_bad_record_reports_as_validate_and_leaves_no_file(tmp_path, name, data, out, existing):
    (tmp_path / name).write_bytes(data)
    if existing:
        (tmp_path / out).write_bytes(b"before")
    validate = run(tmp_path, "validate", name)
    done = run(tmp_path, "convert", name, out)
    assert validate.returncode == done.returncode == 1
    assert done.stderr == validate.stderr
    left = {name, out} if existing else {name}
    assert set(os.listdir(tmp_path)) == left
    if existing:
        assert (tmp_path / out).read_bytes() == b"before"


@pytest.mark.parametrize("name, data", BAD, ids=[b[0] for b in BAD])
def test_json_lines_give_iter_records_records_and_errors(tmp_path, name, data, time_limit):
    # The records before a bad one come out first, its error after them, and the lines go
    # on after it as iter_records does.
    (tmp_path / name).write_bytes(data)
    chunks = quarn._native.json_lines(str(tmp_path / name), None, None, None)
    lines = [
        item if isinstance(item, str) else [json.loads(line) for line in item.splitlines()]
        for item in drain(chunks)
    ]
    records = drain(quarn.iter_records(tmp_path / name))
    flat = [r for item in lines for r in (item if isinstance(item, list) else [item])]
    assert flat == records
    first_error = next(i for i, r in enumerate(records) if isinstance(r, str))
    done = run(tmp_path, "convert", name, "-", "--to", "jsonl")
    assert [json.loads(line) for line in done.stdout.splitlines()] == records[:first_error]
    assert (done.returncode, done.stderr) == (1, run(tmp_path, "validate", name).stderr)


@pytest.mark.parametrize(
    "args, message",
    [
        (["a.json", "out.txt"], "cannot tell the output format from 'out.txt'"),
        (["a.json", "-"], "name the format of standard output with --to"),
        (["a.json", "-", "--to", "parquet"], "Parquet cannot be written to standard output"),
        (["a.json", "o.jsonl", "--schema", "{}"], "--schema applies to Parquet and Arrow"),
        (["a.json", "o.parquet", "--schema", "{"], "--schema is not JSON"),
        (["a.json", "o.parquet", "--schema", "{}", "--fields", "id"], "--fields or --schema"),
    ],
)
def test_usage_errors(tmp_path, args, message):
    (tmp_path / "a.json").write_bytes(ARRAY)
    done = run(tmp_path, "convert", *args)
    assert done.returncode == 2
    assert message in done.stderr.decode()
    assert os.listdir(tmp_path) == ["a.json"]


def test_without_pyarrow_parquet_says_what_to_install_and_json_lines_work(tmp_path):
    (tmp_path / "a.json").write_bytes(ARRAY)
    code = "import sys; sys.modules['pyarrow'] = None; from quarn.cli import main; "
    for out, status in (("o.parquet", 1), ("o.jsonl", 0)):
        argv = ["convert", "a.json", out]
        done = subprocess.run(
            [sys.executable, "-c", f"{code}sys.exit(main({argv!r}))"],
            check=False,
            cwd=tmp_path,
            capture_output=True,
            timeout=120,
        )
        assert done.returncode == status
        assert ("pip install 'quarn[arrow]'" in done.stderr.decode()) == (status == 1)
    assert sorted(os.listdir(tmp_path)) == ["a.json", "o.jsonl"]


def test_parquet_stores_an_object_without_keys_as_nulls(tmp_path):
    (tmp_path / "a.json").write_bytes(b'[{"a": {}, "b": [{"c": {}}]}, {"a": null, "b": null}]')
    assert run(tmp_path, "convert", "a.json", "o.parquet").returncode == 0
    table = pq.read_table(tmp_path / "o.parquet")
    assert table.to_pylist() == [{"a": None, "b": [{"c": None}]}, {"a": None, "b": None}]


@pytest.mark.parametrize("out", ["out.jsonl", "out.parquet"])
@pytest.mark.parametrize("sig, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_interrupt_leaves_no_partial_file(tmp_path, out, sig, status):
    # The source is a pipe that stops part way (after more than a read block): the
    # conversion is surely under way, with its temporary file, when the signal comes.
    proc = subprocess.Popen(
        [sys.executable, "-m", "quarn", "convert", "-", out],
        cwd=tmp_path,
        stdin=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        proc.stdin.write(b"[" + b",".join([json.dumps(RECORDS[0]).encode()] * 50000) + b",")
        proc.stdin.flush()
        deadline = time.monotonic() + 60
        while not os.listdir(tmp_path):
            assert time.monotonic() < deadline and proc.poll() is None
            time.sleep(0.02)
        time.sleep(0.2)
        proc.send_signal(sig)
        assert proc.wait(timeout=60) == status
    finally:
        proc.kill()
        proc.wait()
        proc.stdin.close()
        proc.stderr.close()
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("out", ["out.parquet", "out.arrow"])
def test_jobs_give_the_same_bytes(tmp_path, out):
    records = [dict(RECORDS[i % 3], id=i) for i in range(40000)]
    (tmp_path / "a.json").write_text(json.dumps(records))
    for jobs in ("1", "2"):
        assert run(tmp_path, "convert", "a.json", jobs + out, "--jobs", jobs).returncode == 0
    assert (tmp_path / ("1" + out)).read_bytes() == (tmp_path / ("2" + out)).read_bytes()


@pytest.mark.parametrize("inline", [True, False])
def test_schema_gives_the_columns(tmp_path, inline):
    schema = {"id": "int64", "/user/n": "float64"}
    (tmp_path / "a.json").write_bytes(ARRAY)
    (tmp_path / "s.json").write_text(json.dumps(schema))
    text = json.dumps(schema) if inline else "s.json"
    assert run(tmp_path, "convert", "a.json", "o.parquet", "--schema", text).returncode == 0
    expected = quarn.read_arrow(tmp_path / "a.json", schema=schema).read_all()
    assert pq.read_table(tmp_path / "o.parquet") == expected
