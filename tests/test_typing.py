import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "python" / "quarn"

# Each line is a mistake the stubs must catch, with the start of mypy's complaint.
MISUSES = [
    ("quarn.count(42)", 'Argument 1 to "count" has incompatible type "int"'),
    ('quarn.schema("events.json", sample="3")', 'Argument "sample" to "schema" has incompat'),
    ('quarn.load("events.json", format=1)', 'Argument "format" to "load" has incompatible'),
    ('text: int = quarn.schema("events.json")', "Incompatible types in assignment"),
    ('size: str = bigjson.iter_records("e.json").total_bytes', "Incompatible types in assign"),
    ('bigjson.iter_records("events.json").bytes_read = 0', 'Property "bytes_read" defined in'),
    ("class Mine(bigjson.RecordIterator): pass", 'Cannot inherit from final class "RecordIter'),
    ("quarn.lib._quarn.bigjson.count()", 'Missing positional argument "path" in call to "count"'),
]


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import quarn\nimport quarn.lib._quarn\nfrom quarn import bigjson\n"
        + "".join(line + "\n" for line, _ in MISUSES)
    )
    targets = [str(PACKAGE), str(ROOT / "examples" / "api_tour.py"), str(misuse)]
    if not all(importlib.util.find_spec(m) for m in ("dask", "distributed")):
        targets += ["--exclude", r"quarn/dask\.py$"]
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary"]
        + ["--cache-dir", str(tmp_path / "cache"), *targets],
        capture_output=True,
        text=True,
        check=False,
    )
    errors = re.findall(r"^(.*?):(\d+): error: (.*)$", done.stdout, re.MULTILINE)
    # the package and the example are clean; every misuse line fails, as expected
    assert [(Path(f).name, int(n)) for f, n, _ in errors] == [
        ("misuse.py", i) for i in range(4, 4 + len(MISUSES))
    ], done.stdout + done.stderr
    for (_, _, message), (_, expected) in zip(errors, MISUSES, strict=True):
        assert message.startswith(expected)
