import inspect
import json
import pickle
from pathlib import Path

import pytest
import quarn
from quarn import bigjson

FUNCTIONS = ["count", "load", "iter_records", "schema"]
RECORDS = [
    {"id": 1, "tags": ["a", "b"]},
    {"id": 2, "name": "é😀", "score": 2.5},
    {"id": 3, "nested": {"deep": [None, True]}},
]


@pytest.fixture
def files(tmp_path):
    """Three JSON Lines files of different lengths, and the first one as a JSON array."""
    paths = {}
    for name, records in [("a", RECORDS), ("b", RECORDS[:1]), ("c", RECORDS * 4)]:
        path = tmp_path / f"{name}.jsonl"
        path.write_text("".join(json.dumps(r) + "\n" for r in records), encoding="utf-8")
        paths[name] = str(path)
    array = tmp_path / "a.json"
    array.write_text(json.dumps(RECORDS, indent=1), encoding="utf-8")
    paths["array"] = str(array)
    return paths


SIGNATURES = {
    "count": "(source, format=None, *, compression='infer', records=None, jobs=1)",
    "load": "(source, format=None, *, compression='infer', records=None, progress=False, "
    "fields=None)",
    "iter_records": "(source, format=None, *, compression='infer', records=None, progress=False, "
    "fields=None)",
    "schema": "(source, sample=100, format=None, *, compression='infer', records=None)",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference(name):
    function = getattr(quarn, name)
    assert pickle.loads(pickle.dumps(function)) is function
    signature = inspect.signature(function).replace(return_annotation=inspect.Signature.empty)
    plain = signature.replace(
        parameters=[p.replace(annotation=p.empty) for p in signature.parameters.values()]
    )
    assert str(plain) == SIGNATURES[name]


def outcome(function, args, kwargs):
    try:
        result = function(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome to compare
        return type(exc), str(exc)
    return list(result) if isinstance(result, bigjson.RecordIterator) else result


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("count", ("a",), {}),
        ("count", ("array",), {"format": "JSON"}),
        ("load", ("array",), {}),
        ("load", ("c",), {"format": "ndjson"}),
        ("iter_records", ("a", "auto"), {}),
        ("schema", ("a", 1), {}),
        ("schema", ("array",), {"sample": 0, "format": "json"}),
        # errors, raised by the same text
        ("count", ("/no/such.json",), {}),
        ("load", ("a", "xml"), {}),
        ("schema", ("a", None), {}),
        ("iter_records", ("a",), {"fmt": "json"}),
    ],
)
def test_functions_behave_as_native(files, name, args, kwargs):
    args = tuple(files.get(a, a) if isinstance(a, str) else a for a in args)
    kwargs = {k: files.get(v, v) if isinstance(v, str) else v for k, v in kwargs.items()}
    wrapped = outcome(getattr(quarn, name), args, kwargs)
    assert wrapped == outcome(getattr(bigjson, name), args, kwargs)


def test_dask_partitions_stream(files, monkeypatch):
    pytest.importorskip("dask.bag")
    from quarn.dask import read_records

    events = []
    native = quarn.iter_records

    def logged(path, format=None):
        for record in native(path, format):
            events.append(("read", record["id"]))
            yield record

    monkeypatch.setattr(quarn, "iter_records", logged)
    bag = read_records(files["a"]).map(lambda r: events.append(("map", r["id"])) or r)
    assert bag.npartitions == 1
    assert bag.count().compute(scheduler="sync") == 3
    # one record at a time: each is mapped before the next is read
    assert events == [(step, i) for i in (1, 2, 3) for step in ("read", "map")]


def test_dask_across_processes(files):
    dask_bag = pytest.importorskip("dask.bag")
    distributed = pytest.importorskip("distributed")
    from quarn.dask import read_records

    # Worker processes receive the partitions' tasks and send their lists back by pickle.
    paths = [files[n] for n in ("a", "b", "c")]
    bad = Path(files["a"]).with_name("bad.jsonl")
    bad.write_text('{"id": 1}\n{"id": \n', encoding="utf-8")
    bag, expected = read_records(paths), dask_bag.read_text(paths).map(json.loads)
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    )
    client = distributed.Client(cluster)
    compute = {"scheduler": client}
    try:
        assert bag.npartitions == len(paths)
        assert bag.compute(**compute) == expected.compute(**compute)
        assert bag.pluck("id").frequencies().compute(**compute) == (
            expected.pluck("id").frequencies().compute(**compute)
        )
        assert read_records([files["array"]], format="json").compute(**compute) == RECORDS
        nested = Path(files["a"]).with_name("nested.json")
        nested.write_text(json.dumps({"meta": {}, "data": RECORDS}), encoding="utf-8")
        assert read_records([nested, nested], records="/data").compute(**compute) == RECORDS * 2
        assert read_records([]).compute(**compute) == []
        with pytest.raises(ValueError, match="^invalid JSONL line: "):
            read_records([str(bad)]).count().compute(**compute)
    finally:
        client.close()
        cluster.close()
