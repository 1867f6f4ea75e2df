"""What the module declares to the interpreter (no global lock needed, no second
interpreter) and the private hook that runs the byte scanners on every kernel set."""

import json
import os
import subprocess
import sys
import sysconfig

import pytest
from quarn import bigjson
from quarn.lib import _quarn

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(code, *args):
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    result = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, check=False, env=env
    )
    assert result.returncode == 0, result.stderr[-3000:]
    return result.stdout.strip()


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_gil_stays_off_after_import():
    assert run_python("import sys, quarn; print(sys._is_gil_enabled())") == "False"


SUBINTERPRETER = """
import sys
try:
    import _interpreters as interpreters  # 3.13 and later
except ImportError:
    import _xxsubinterpreters as interpreters
code = f'''
import sys
sys.path[:] = {sys.path!r}
try:
    import quarn
    outcome = "imported"
except ImportError as e:
    outcome = "ImportError: " + str(e)
with open({sys.argv[1]!r}, "w") as f:
    f.write(outcome)
'''
interp = interpreters.create()
interpreters.run_string(interp, code)
interpreters.destroy(interp)
"""


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sub-interpreters check modules from 3.12")
def test_second_interpreter_cannot_import(tmp_path):
    # The module's types are static, shared by the whole process: a second interpreter
    # gets an ImportError instead of objects whose types belong to the first.
    out = tmp_path / "outcome.txt"
    run_python(SUBINTERPRETER, str(out))
    outcome = out.read_text()
    assert outcome.startswith("ImportError:") and "_quarn" in outcome, outcome


def test_kernel_sets_agree(tmp_path):
    sets = _quarn._testing.kernels()
    assert sets[0] == "scalar" and len(set(sets)) == len(sets)
    records = [{"s": 'a,]"\\' * 40, "n": [1, [2, {"x": "é ☃ 𝄞"}]] * 20}, "\u2028", [], 7] * 50
    files = [tmp_path / "r.json", tmp_path / "r.jsonl"]
    files[0].write_text(json.dumps(records, ensure_ascii=False))
    files[1].write_text("\n \u3000\n".join(json.dumps(r, ensure_ascii=False) for r in records))

    def results():
        return [
            (bigjson.count(str(p)), list(bigjson.iter_records(str(p))), bigjson.schema(str(p)))
            for p in files
        ]

    first = _quarn._testing.set_kernels("scalar")
    try:
        expected = results()
        assert expected[0][:2] == (len(records), records) == expected[1][:2]
        for name in sets[1:]:
            assert _quarn._testing.set_kernels(name) in sets
            assert results() == expected, name
    finally:
        _quarn._testing.set_kernels(first)


def test_unsupported_kernel_set_is_refused():
    hook = _quarn._testing
    unknown = [n for n in ("avx2", "avx512", "neon", "sse9") if n not in hook.kernels()]
    current = hook.set_kernels("scalar")
    try:
        for name, error in [(b"scalar", TypeError)] + [(n, ValueError) for n in unknown]:
            with pytest.raises(error):
                hook.set_kernels(name)
        assert hook.set_kernels("scalar") == "scalar"  # a refusal changes nothing
    finally:
        hook.set_kernels(current)
