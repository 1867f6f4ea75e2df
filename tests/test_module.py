import importlib
import subprocess
import sys
from pathlib import Path

import pytest
import quarn
from quarn.lib import _quarn

bigjson = _quarn.bigjson


def test_module_tree():
    assert sys.modules["quarn.bigjson"] is bigjson
    assert quarn.bigjson is bigjson
    assert _quarn.__name__.endswith("_quarn")
    assert _quarn.__all__ == ["bigjson"]
    assert bigjson.__name__ == "bigjson"
    assert bigjson.__all__ == ["count", "schema", "load", "iter_records", "RecordIterator"]
    assert bigjson.count.__module__ == "bigjson"
    assert bigjson.count.__self__ is bigjson
    assert _quarn.__doc__.splitlines()[0] == (
        "The native extension module. Compiled as `quarn.lib._quarn`."
    )
    assert importlib.import_module("quarn.bigjson") is bigjson


@pytest.mark.parametrize("module", ["quarn", "quarn.cli"])
def test_import_is_light(module):
    # A program that reads a file or two pays for what the import brings in: the types
    # and the thread pools come only when asked for.
    heavy = ("typing", "concurrent.futures", "logging", "quarn._types")
    show = f"import sys; print(sorted(m for m in {heavy!r} if m in sys.modules))"
    run = [sys.executable, "-c"]
    before = subprocess.run([*run, show], capture_output=True, text=True, check=True)
    after = subprocess.run(
        [*run, f"import {module}; {show}"], capture_output=True, text=True, check=True
    )
    assert after.stdout == before.stdout, after.stderr
    assert quarn.Source is importlib.import_module("quarn._types").Source
    with pytest.raises(AttributeError, match="no attribute 'Sauce'"):
        quarn.Sauce  # noqa: B018


@pytest.mark.parametrize(
    "name, signature",
    [
        ("count", "(path, format=None)"),
        ("schema", "(path, sample=100, format=None)"),
        ("load", "(path, format=None)"),
        ("iter_records", "(path, format=None)"),
    ],
)
def test_signatures(name, signature):
    fn = getattr(bigjson, name)
    assert fn.__text_signature__ == signature
    assert not fn.__doc__.startswith(name + "(")


def test_count_docstring():
    assert bigjson.count.__doc__ == (
        "Count the number of top-level records in a JSON or JSONL file.\n"
        "\n"
        "- For JSON whose top level is an array `[ ... ]`, this is the number of\n"
        "  array elements (`[]` -> 0). Any other single JSON value counts as 1.\n"
        "- For JSONL, this is the number of non-empty lines.\n"
        "\n"
        '`format` may be `"json"`, `"jsonl"`/`"ndjson"`, or `None`/`"auto"` (detected\n'
        "from the file extension, then the first byte)."
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: bigjson.count(), "count() missing 1 required positional argument: 'path'"),
        (
            lambda: bigjson.count("a", None, 3),
            "count() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: bigjson.schema("a", 1, None, 4),
            "schema() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (lambda: bigjson.count("a", path="b"), "count() got multiple values for argument 'path'"),
        (lambda: bigjson.load("a", fmt="json"), "load() got an unexpected keyword argument 'fmt'"),
        (
            lambda: bigjson.iter_records(format="json"),
            "iter_records() missing 1 required positional argument: 'path'",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "kwargs, exc, message, param",
    [
        ({"path": 5}, TypeError, "'int' object is not an instance of 'str'", "path"),
        ({"path": None}, TypeError, "'None' is not an instance of 'str'", "path"),
        ({"path": b"x.json"}, TypeError, "'bytes' object is not an instance of 'str'", "path"),
        (
            {"path": Path("x.json")},
            TypeError,
            "'PosixPath' object is not an instance of 'str'",
            "path",
        ),
        (
            {"path": "x.json", "format": 3},
            TypeError,
            "'int' object is not an instance of 'str'",
            "format",
        ),
        ({"path": "x.json", "sample": -1}, OverflowError, None, "sample"),
        ({"path": "x.json", "sample": 2**64}, OverflowError, None, "sample"),
        ({"path": "x.json", "sample": 2.5}, TypeError, None, "sample"),
        ({"path": "x.json", "sample": None}, TypeError, None, "sample"),
        ({"path": "\ud800.json"}, UnicodeEncodeError, None, "path"),
    ],
)
def test_conversion_errors(kwargs, exc, message, param):
    with pytest.raises(exc) as info:
        bigjson.schema(**kwargs)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_sample_accepts_index_objects(write):
    path = write("[1, 2]")

    class Two:
        def __index__(self):
            return 2

    assert bigjson.schema(path, True) == '"int"'
    assert bigjson.schema(path, Two()) == '"int"'
    assert bigjson.schema(path, sample=0, format=None) == '"int"'
