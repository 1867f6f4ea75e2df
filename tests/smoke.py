"""Smoke test of an installed quarn: every function and the command line.

Runs with nothing but the standard library and the installed package, from any
directory outside the source tree (CI runs it in a fresh venv after installing
the sdist):

    python smoke.py
"""

import json
import os
import pickle
import subprocess
import sys
import tempfile
from pathlib import Path

import quarn
import quarn.lib._quarn
from quarn import bigjson

RECORDS = [{"id": 1, "name": "a", "tags": ["x"]}, {"id": 2, "name": "b"}, {"id": 3, "score": 0.5}]
FAILURES = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        FAILURES.append(what)


def run(command, *args):
    done = subprocess.run([*command, *args], capture_output=True, text=True, check=False)
    return done.returncode, done.stdout, done.stderr


def check_install():
    package = Path(quarn.__file__).parent
    native = Path(quarn.lib._quarn.__file__)
    check(native.parent == package / "lib", f"extension installed inside the package: {native}")
    for name in ("py.typed", "bigjson.pyi", "lib/_quarn.pyi"):
        check((package / name).is_file(), f"{name} installed")
    check(quarn.__version__.count(".") >= 2, f"version {quarn.__version__}")


def check_functions(jsonl, array):
    for path in (jsonl, array):
        check(quarn.count(path) == bigjson.count(path) == 3, f"count {path}")
        check(quarn.load(path) == RECORDS, f"load {path}")
        it = quarn.iter_records(path)
        check(list(it) == RECORDS, f"iter_records {path}")
        check(it.bytes_read == it.total_bytes == os.path.getsize(path), "iterator byte counters")
        described = json.loads(quarn.schema(path, 2))
        check(described == {"id": "int", "name": "str", "tags?": ["str"]}, f"schema {path}")
    for name in ("count", "load", "iter_records", "schema"):
        function = getattr(quarn, name)
        check(pickle.loads(pickle.dumps(function)) is function, f"quarn.{name} pickles")


def check_command_line(jsonl, bad):
    script = Path(sys.executable).with_name("quarn")
    check(script.is_file(), f"console script {script}")
    for command in ([str(script)], [sys.executable, "-m", "quarn"]):
        name = " ".join(command)
        status, out, err = run(command, "count", jsonl, jsonl)
        check((status, out.splitlines()[-1:]) == (0, ["6\ttotal"]), f"{name} count")
        status, out, _ = run(command, "schema", "--sample", "1", jsonl)
        check(status == 0 and json.loads(out)["tags"] == ["str"], f"{name} schema")
        status, out, _ = run(command, "head", "-n", "2", jsonl)
        check([json.loads(line) for line in out.splitlines()] == RECORDS[:2], f"{name} head")
        check(run(command, "validate", jsonl)[0] == 0, f"{name} validate good file")
        status, _, err = run(command, "validate", bad)
        check(status == 1 and "record 2" in err, f"{name} validate bad file: {err.strip()}")
        status, _, err = run(command, "head", "-n", "-3", jsonl)
        check(status == 2 and "Traceback" not in err, f"{name} usage error")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        jsonl = os.path.join(tmp, "records.jsonl")
        array = os.path.join(tmp, "records.json")
        bad = os.path.join(tmp, "bad.jsonl")
        Path(jsonl).write_text("".join(json.dumps(r) + "\n" for r in RECORDS), encoding="utf-8")
        Path(array).write_text(json.dumps(RECORDS, indent=2), encoding="utf-8")
        Path(bad).write_text('{"id": 1}\n{"id": 2,,}\n', encoding="utf-8")
        check_install()
        check_functions(jsonl, array)
        check_command_line(jsonl, bad)
    if FAILURES:
        sys.exit(f"smoke test failed: {len(FAILURES)} check(s)")
    print("smoke test passed")


if __name__ == "__main__":
    main()
