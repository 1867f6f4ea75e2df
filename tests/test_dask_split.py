"""quarn.dask.read_records over byte-range partitions: the bag's records are those of
iter_records of each file, in order, however the files are cut; remote files through fsspec."""

import gzip
import json
import signal
import socket
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
pytest.importorskip("fsspec")

import quarn
import quarn.dask
from test_split import RECORDS, layouts


def bag_records(paths, **kwargs):
    return quarn.dask.read_records(paths, **kwargs).compute(scheduler="sync")


def in_order(paths, records=None):
    return [r for p in paths for r in quarn.iter_records(p, records=records)]


def nested(records):
    return json.dumps({"head": {"x": "],[{"}, "items": records, "tail": [1, {"y": ","}]})


@pytest.fixture
def time_limit():
    """Fails a test that runs past its limit instead of letting it stall."""

    def expired(*_):
        raise TimeoutError("over the time limit")

    old = signal.signal(signal.SIGALRM, expired)
    signal.alarm(120)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, old)


@settings(max_examples=25, deadline=None)
@given(records=RECORDS, blocksize=st.integers(2, 64))
def test_partitions_hold_the_records_in_order(write, time_limit, records, blocksize):
    files = {**layouts(records), "nested.json": nested(records)}
    for name, text in files.items():
        path = write(text, name)
        pointer = "/items" if name == "nested.json" else None
        got = bag_records(path, records=pointer, blocksize=blocksize)
        assert got == in_order([path], pointer) == records, name


def test_globs_lists_and_compressed_files(write, tmp_path, time_limit):
    records = [{"s": '\\"],' * i, "n": i} for i in range(50)]
    text = "".join(json.dumps(r) + "\n" for r in records)
    paths = [write(text, f"part-{i}.jsonl") for i in range(3)]
    (tmp_path / "part-3.jsonl.gz").write_bytes(gzip.compress(text.encode()))
    paths.append(str(tmp_path / "part-3.jsonl.gz"))
    bag = quarn.dask.read_records(str(tmp_path / "part-*.jsonl*"), blocksize=100)
    assert bag.npartitions > 4
    assert bag.compute(scheduler="sync") == in_order(paths) == records * 4
    assert bag_records(paths[::-1], blocksize=None) == records * 4
    assert quarn.dask.read_records(paths[-1], blocksize=10).npartitions == 1


@pytest.mark.parametrize(
    ("text", "name"),
    [
        ("[1, 2, 3, {]", "data.json"),
        ("[1, 2, 3, 4] x", "data.json"),
        ('{"a": 1}\n{"a": 2}\n{"a" 3}\n{"a": 4}\n', "data.jsonl"),
        ("[1, 2, 3, 4, 5", "data.json"),
        # holes and trailing commas, also where a partition holds nothing but one
        ("[,,1,,]", "data.json"),
        ("[1, 2,, 3]", "data.json"),
        ("[1, 2, 3,]", "data.json"),
        ('{"a": [1, 2,, 3]}', "nested.json"),
    ],
)
@pytest.mark.parametrize("blocksize", [1, 2, 3])
def test_a_bad_record_is_reported_as_in_order(write, time_limit, text, name, blocksize):
    path = write(text, name)
    records = "/a" if name == "nested.json" else None
    with pytest.raises(ValueError) as in_order_error:
        list(quarn.iter_records(path, records=records))
    with pytest.raises(ValueError) as bag_error:
        bag_records(path, records=records, blocksize=blocksize)
    assert str(bag_error.value) == str(in_order_error.value)


CLUSTER = """
import json, sys
import quarn, quarn.dask
from distributed import Client, LocalCluster
path, pointer = sys.argv[1], sys.argv[2] or None
with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                  dashboard_address=None) as cluster, Client(cluster) as client:
    bag = quarn.dask.read_records(path, records=pointer, blocksize=997)
    assert bag.npartitions > 10, bag.npartitions
    got = bag.compute()
    assert bag.count().compute() == len(got)
print(json.dumps(got == list(quarn.iter_records(path, records=pointer))))
"""


@pytest.mark.parametrize("name", ["pretty.json", "data.jsonl", "nested.json"])
def test_local_cluster_of_processes(write, name):
    pytest.importorskip("distributed")
    records = [{"t": 'a\\"b],{' * (i % 7), "i": i, "l": [[i], {"k": ","}]} for i in range(300)]
    files = {**layouts(records), "nested.json": nested(records)}
    path = write(files[name], name)
    pointer = "/items" if name == "nested.json" else ""
    run = subprocess.run(
        [sys.executable, "-c", CLUSTER, path, pointer],
        check=False,
        capture_output=True,
        text=True,
        timeout=240,
    )
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.strip().splitlines()[-1] == "true"


@pytest.fixture
def s3(time_limit):
    """An S3-compatible server on the loopback address, and s3fs options to reach it."""
    server_mod = pytest.importorskip("moto.server")
    s3fs = pytest.importorskip("s3fs")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    server = server_mod.ThreadedMotoServer(ip_address="127.0.0.1", port=port)
    server.start()
    options = {
        "key": "testing",
        "secret": "testing",
        "client_kwargs": {"endpoint_url": f"http://127.0.0.1:{port}", "region_name": "us-east-1"},
    }
    boto3 = pytest.importorskip("boto3")
    boto3.client(
        "s3",
        endpoint_url=options["client_kwargs"]["endpoint_url"],
        region_name="us-east-1",
        aws_access_key_id="testing",
        aws_secret_access_key="testing",
    ).create_bucket(Bucket="quarn-test")
    fs = s3fs.S3FileSystem(**options)
    try:
        yield fs, options
    finally:
        fs.clear_instance_cache()
        server.stop()


def test_remote_files_through_s3(s3, write):
    fs, options = s3
    records = [{"s": '\\"],{' * (i % 5), "i": i} for i in range(200)]
    files = {**layouts(records), "nested.json": nested(records)}
    for name, text in files.items():
        fs.pipe(f"quarn-test/{name}", text.encode())
    fs.pipe("quarn-test/data.jsonl.gz", gzip.compress(files["data.jsonl"].encode()))
    for name in files:
        pointer = "/items" if name == "nested.json" else None
        got = bag_records(
            f"s3://quarn-test/{name}", records=pointer, blocksize=1000, storage_options=options
        )
        assert got == records, name
    got = bag_records("s3://quarn-test/data.jsonl*", blocksize=1000, storage_options=options)
    assert got == records * 2
