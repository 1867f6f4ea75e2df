import bz2
import fcntl
import gzip
import json
import lzma
import os
import pty
import shutil
import struct
import subprocess
import sys
import termios

import pytest
import quarn

RECORDS = [{"id": 1, "name": "a"}, {"id": 2}, {"id": 3, "name": "ü"}]
JSONL = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in RECORDS)
FILES = {
    "good.jsonl": JSONL,
    "good.json": json.dumps(RECORDS[:2]),
    "lines.json": JSONL,
    "bad.jsonl": '{"id": 1}\n\n{"id": \n{"id": 3}\n',
    "bad.json": "[1, {x}, 3]",
    "utf8.jsonl": b'{"id": 1}\n\xff\n',
    "geo.json": json.dumps({"type": "FeatureCollection", "features": RECORDS * 2}),
    "twice.json": '{"a": [1], "a": [2]}',
}
SCRIPT = shutil.which("quarn", path=os.path.dirname(sys.executable))


@pytest.fixture
def workdir(tmp_path):
    for name, content in FILES.items():
        data = content.encode() if isinstance(content, str) else content
        (tmp_path / name).write_bytes(data)
    (tmp_path / "folder").mkdir()
    return tmp_path


def lines(*records):
    return "".join(json.dumps(r, ensure_ascii=False, separators=(",", ":")) + "\n" for r in records)


@pytest.mark.parametrize(
    "args, status, stdout, stderr",
    [
        (["count", "good.jsonl"], 0, "3\n", ""),
        (["count", "good.jsonl", "good.json"], 0, "3\tgood.jsonl\n2\tgood.json\n5\ttotal\n", ""),
        (
            ["count", "no.json", "good.jsonl"],
            1,
            "3\tgood.jsonl\n3\ttotal\n",
            "quarn: cannot open no.json: ",
        ),
        (["count", "folder"], 1, "", "quarn: cannot read folder: "),
        (["count", "--format", "json", "folder"], 1, "", "quarn: folder: read error: "),
        (["schema", "good.jsonl"], 0, '{\n  "id": "int",\n  "name?": "str"\n}\n', ""),
        (
            ["schema", "good.jsonl", "--sample", "1"],
            0,
            '{\n  "id": "int",\n  "name": "str"\n}\n',
            "",
        ),
        (["schema", "bad.json"], 1, "", "quarn: bad.json: invalid JSON element: "),
        # one document: its arrays are sampled, and the large ones offered as records
        (
            ["schema", "geo.json", "--sample", "2"],
            0,
            (
                '{\n  "features": [\n    {\n      "id": "int",\n      "name?": "str"\n    }\n  ],\n'
                '  "type": "str"\n}\n'
            ),
            (
                "quarn: geo.json is one JSON document; each of its arrays was described from its first"
                " 2 elements. To take the elements of a large array as the records:\n"
                "  quarn schema --records /features geo.json\n"
            ),
        ),
        (["count", "--records", "/features", "geo.json"], 0, "6\n", ""),
        (["head", "-n", "1", "--records", "/features", "geo.json"], 0, lines(RECORDS[0]), ""),
        (
            ["count", "--records", "/feature", "geo.json"],
            1,
            "",
            "quarn: geo.json: no value at /feature",
        ),
        (["head", "good.jsonl"], 0, lines(*RECORDS), ""),
        (["head", "-n", "2", "good.json"], 0, lines(*RECORDS[:2]), ""),
        (["head", "-n", "0", "good.jsonl"], 0, "", ""),
        (["head", "--format", "JSONL", "lines.json", "-n1"], 0, lines(RECORDS[0]), ""),
        (["head", "bad.jsonl"], 1, lines({"id": 1}), "quarn: bad.jsonl: record 2, read up to "),
        (["head", "no.jsonl"], 1, "", "quarn: cannot open no.jsonl: "),
        (["validate", "good.jsonl"], 0, "good.jsonl: ok, 3 records\n", ""),
        (["validate", "--format", "jsonl", "lines.json"], 0, "lines.json: ok, 3 records\n", ""),
        (
            ["validate", "bad.jsonl"],
            1,
            "",
            "quarn: bad.jsonl: record 2, read up to byte 19: "
            + "invalid JSONL line: EOF while parsing a value at line 1 column 6\n",
        ),
        (
            ["validate", "bad.json"],
            1,
            "",
            "quarn: bad.json: record 2, read up to byte 11: invalid JSON element: ",
        ),
        (["validate", "lines.json"], 0, "lines.json: ok, 3 records\n", ""),
        (["validate", "utf8.jsonl"], 1, "", "quarn: utf8.jsonl: record 2, read up to byte "),
        ([], 2, "", "quarn: error: the following arguments are required: COMMAND"),
        (["frobnicate", "good.jsonl"], 2, "", "quarn: error: argument COMMAND: invalid choice"),
        (["count"], 2, "", "quarn count: error: the following arguments are required: FILE"),
        (["head", "-n", "-1", "good.jsonl"], 2, "", "quarn head: error: argument -n: must not"),
        (["head", "-n", "ten", "good.jsonl"], 2, "", "quarn head: error: argument -n: not a who"),
        (["schema", "--sample", "-5", "good.jsonl"], 2, "", "quarn schema: error: argument --s"),
        (["validate", "--format", "xml", "good.jsonl"], 2, "", "quarn validate: error: argument"),
        (["validate", "--keep-going"], 2, "", "quarn validate: error: the following arguments"),
        # the messages name the options, not the keyword arguments
        (
            ["count", "--records", "/a", "twice.json"],
            1,
            "",
            (
                'quarn: twice.json: repeated key "a" in the top-level object at line 1 column 12: '
                '--records "/a" has read '
            ),
        ),
        (
            ["count", "--records", "/features", "good.jsonl"],
            1,
            "",
            (
                "quarn: good.jsonl: --records names an array inside one JSON document, but this source "
                "is read as JSON Lines, whose records are its lines; pass --format json if it is one "
                "document\n"
            ),
        ),
    ],
)
def test_commands(workdir, args, status, stdout, stderr):
    done = subprocess.run(
        [sys.executable, "-m", "quarn", *args],
        cwd=workdir,
        capture_output=True,
        text=True,
        check=False,
    )
    out, err = done.stdout, done.stderr
    assert (done.returncode, out) == (status, stdout)
    # a failure is one line, never a traceback; success says nothing on stderr but the notes
    # given here in full, and no progress bar appears when stderr is not a terminal
    if status == 0 and stderr:
        assert err == stderr
    else:
        assert err.startswith(stderr)
        assert err.count("\n") == (status != 0) == err.endswith("\n")
    assert "%|" not in err


@pytest.mark.parametrize(
    "launcher",
    [
        [sys.executable, "-m", "quarn"],
        pytest.param([SCRIPT], marks=pytest.mark.skipif(not SCRIPT, reason="no quarn script")),
    ],
)
@pytest.mark.parametrize(
    "args, stdout",
    [
        (
            ["--version"],
            f"quarn {quarn.__version__}\ndecompressors: "
            + ", ".join(f"{k} {v}" for k, v in quarn.build_info().items())
            + "\n",
        ),
        (["count", "good.json"], "2\n"),
    ],
)
def test_launchers(workdir, launcher, args, stdout):
    done = subprocess.run(
        [*launcher, *args], cwd=workdir, capture_output=True, text=True, check=False
    )
    assert (done.returncode, done.stdout, done.stderr) == (0, stdout, "")


def test_closed_pipe_is_quiet(workdir):
    big = workdir / "big.jsonl"
    big.write_text(JSONL * 20000)
    with subprocess.Popen(
        [sys.executable, "-m", "quarn", "head", "-n", "60000", str(big)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    ) as process:
        assert json.loads(process.stdout.readline()) == RECORDS[0]
        process.stdout.close()
        assert process.wait() == 141
        assert process.stderr.read() == b""


@pytest.mark.parametrize(
    "args, closed, status, stdout, stderr",
    [
        # output that was needed and could not be written is an error
        (
            ["head", "-n", "2", "good.jsonl"],
            ">&-",
            1,
            None,
            "quarn: cannot write output: Bad file descriptor\n",
        ),
        (["count", "good.jsonl", "good.json"], ">&-", 1, None, "quarn: cannot write output: "),
        (["head", "-n", "0", "good.jsonl"], ">&-", 0, None, ""),
        # the messages are lost, the status still tells the result
        (["validate", "good.jsonl"], "2>&-", 0, "good.jsonl: ok, 3 records\n", None),
        (["validate", "bad.jsonl", "good.jsonl"], "2>&-", 1, "good.jsonl: ok, 3 records\n", None),
        (["schema", "geo.json"], "2>&-", 0, '{\n  "features": [', None),
        (["head", "-n", "1", "no.json", "good.jsonl"], "2>&-", 2, "", None),
    ],
)
def test_closed_standard_streams(workdir, args, closed, status, stdout, stderr):
    done = subprocess.run(
        ["sh", "-c", f'exec "$@" {closed}', "sh", sys.executable, "-m", "quarn", *args],
        cwd=workdir,
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == status
    if stdout is not None:
        assert done.stdout.startswith(stdout) and "Traceback" not in done.stdout
    if stderr is not None:
        assert done.stderr.startswith(stderr) and done.stderr.count("\n") == (status != 0)


def run_with_terminal_stderr(cwd, *args, hide_tqdm=False):
    controller, terminal = pty.openpty()
    # a fresh pty is 0 columns wide, which tqdm would draw as an empty bar
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    prelude = "import sys; sys.modules['tqdm'] = None; " if hide_tqdm else ""
    code = f"{prelude}from quarn.cli import main; raise SystemExit(main({list(args)!r}))"
    process = subprocess.Popen(
        [sys.executable, "-c", code], cwd=cwd, stdout=subprocess.PIPE, stderr=terminal
    )
    os.close(terminal)
    output = b""
    while True:
        try:
            chunk = os.read(controller, 4096)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not chunk:
            break
        output += chunk
    os.close(controller)
    process.stdout.close()
    return process.wait(), output.decode()


@pytest.mark.parametrize(
    "args, hide_tqdm, bar",
    [
        (["validate", "good.jsonl"], False, True),
        (["validate", "bad.jsonl"], False, True),
        (["validate", "--no-progress", "good.jsonl"], False, False),
        (["validate", "good.jsonl"], True, False),
        (["head", "good.jsonl"], False, False),
        (["count", "good.jsonl", "good.json"], False, False),
    ],
)
def test_progress_on_terminal(workdir, args, hide_tqdm, bar):
    if bar:
        pytest.importorskip("tqdm")
    status, stderr = run_with_terminal_stderr(workdir, *args, hide_tqdm=hide_tqdm)
    assert status == (1 if "bad.jsonl" in args else 0)
    assert ("%|" in stderr) == bar
    assert "Traceback" not in stderr


def run_cli(cwd, *args, stdin=None):
    done = subprocess.run(
        [sys.executable, "-m", "quarn", *args],
        cwd=cwd,
        input=stdin,
        capture_output=True,
        check=False,
    )
    return done.returncode, done.stdout.decode(), done.stderr.decode()


@pytest.mark.parametrize(
    "args, stdin, status, stdout, stderr",
    [
        (["count", "-"], JSONL.encode(), 0, "3\n", ""),
        (["count", "-"], gzip.compress(JSONL.encode()), 0, "3\n", ""),
        (
            ["validate", "-", "--compression", "none"],
            gzip.compress(b"1\n"),
            1,
            "",
            "quarn: -: record 1, read up to byte ",
        ),
        (["head", "-n", "2", "-"], bz2.compress(JSONL.encode()), 0, lines(*RECORDS[:2]), ""),
        (
            ["schema", "-", "--sample", "1"],
            JSONL.encode(),
            0,
            '{\n  "id": "int",\n  "name": "str"\n}\n',
            "",
        ),
        (["validate", "-"], JSONL.encode(), 0, "-: ok, 3 records\n", ""),
        (
            ["count", "good.jsonl.gz", "data.bin"],
            None,
            0,
            "3\tgood.jsonl.gz\n3\tdata.bin\n6\ttotal\n",
            "",
        ),
        (
            ["count", "--compression", "gzip", "good.jsonl"],
            None,
            1,
            "",
            "quarn: good.jsonl: invalid gzip data: ",
        ),
        (["count", "--format", "ndjson", "good.json"], None, 0, "1\n", ""),
        (["count", "--records", "/data", "doc.json"], None, None, None, None),
        (
            ["validate", "good.jsonl", "bad.jsonl", "good.jsonl.gz"],
            None,
            1,
            "good.jsonl: ok, 3 records\ngood.jsonl.gz: ok, 3 records\n",
            "quarn: bad.jsonl: record 2, read up to byte 19: invalid JSONL line: ",
        ),
        (
            ["validate", "--keep-going", "bad.jsonl", "good.jsonl", "bad.json", "utf8.jsonl"],
            None,
            1,
            (
                "bad.jsonl: 1 bad of 3 records\ngood.jsonl: ok, 3 records\n"
                "bad.json: 1 bad of 3 records\nutf8.jsonl: 1 bad of 2 records\n"
                "3 bad records in 4 files\n"
            ),
            "quarn: bad.jsonl: record 2, read up to byte 19: invalid JSONL line: EOF while parsing",
        ),
        # a file that cannot be opened is no bad record
        (
            ["validate", "--keep-going", "bad.json", "no.json", "good.jsonl"],
            None,
            1,
            (
                "bad.json: 1 bad of 3 records\ngood.jsonl: ok, 3 records\n"
                "1 bad record in 3 files; 1 file could not be opened\n"
            ),
            "quarn: cannot open no.json: No such file or directory",
        ),
        (
            ["validate", "--keep-going", "trunc.gz"],
            None,
            1,
            "trunc.gz: 1 bad of ",
            "invalid gzip data: compressed file ended before the end-of-stream marker",
        ),
    ],
)
def test_sources_on_the_command_line(workdir, args, stdin, status, stdout, stderr):
    (workdir / "good.jsonl.gz").write_bytes(gzip.compress(JSONL.encode()))
    (workdir / "data.bin").write_bytes(lzma.compress(JSONL.encode()))
    (workdir / "doc.json").write_bytes(b'{"data": [1, 2]}')
    (workdir / "trunc.gz").write_bytes(gzip.compress(JSONL.encode() * 50)[:-20])
    got = run_cli(workdir, *args, stdin=stdin)
    if status is None:  # passed through: a count once records inside documents are read
        assert got[:2] == (0, "2\n") or "not supported yet" in got[2]
        return
    assert got[0] == status
    assert got[1].startswith(stdout) if stdout.endswith(" ") else got[1] == stdout
    assert stderr in got[2] and (stderr or got[2] == "")


def test_head_of_many_records_and_a_bad_one(workdir):
    many = [{"f": i / 7, "i": i, "s": 'é\n"' * (i % 2)} for i in range(10000)]
    text = "".join(json.dumps(r) + "\n" for r in many) + "{bad\n" + '{"i": -1}\n'
    (workdir / "many.jsonl").write_text(text)
    status, out, err = run_cli(workdir, "head", "-n", "20000", "many.jsonl")
    assert (status, out) == (1, lines(*many))
    assert err.startswith("quarn: many.jsonl: record 10001, read up to byte ")
    assert run_cli(workdir, "head", "-n", "5000", "many.jsonl")[:2] == (0, lines(*many[:5000]))
