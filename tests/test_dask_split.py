"""quarn.dask.read_records over byte-range partitions: the bag's records are those of
iter_records of each file, in order, however the files are cut and whichever scheduler runs the
tasks (one thread, threads, processes, a cluster of threads); remote files through fsspec."""

import gzip
import json
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
pytest.importorskip("fsspec")

import quarn
import quarn.dask
from test_split import RECORDS, deep_in_named_array, layouts


@pytest.fixture(scope="module")
def process_pool():
    # Started once for the module: a pool per computation would cost more than the tests.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@pytest.fixture(scope="module")
def threads_cluster():
    """A cluster of one worker with several threads in this process: the tasks of one file
    run side by side there, as under a default ``distributed.Client`` on a machine with more
    cores than workers."""
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=6, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as client,
    ):
        yield client


@pytest.fixture(params=["sync", "threads", "processes", "cluster"])
def compute(request):
    """compute(bag) -> the bag's records, on one of Dask's schedulers."""
    if request.param == "processes":
        pool = request.getfixturevalue("process_pool")
        return lambda bag: bag.compute(scheduler="processes", pool=pool)
    if request.param == "cluster":
        client = request.getfixturevalue("threads_cluster")
        return lambda bag: bag.compute(scheduler=client)
    # More threads than cores, so that tasks of one file overlap on any machine.
    return lambda bag: bag.compute(scheduler=request.param, num_workers=8)


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
def test_partitions_hold_the_records_in_order(write, time_limit, compute, records, blocksize):
    files = {**layouts(records), "nested.json": nested(records)}
    for name, text in files.items():
        path = write(text, name)
        pointer = "/items" if name == "nested.json" else None
        got = compute(quarn.dask.read_records(path, records=pointer, blocksize=blocksize))
        assert got == in_order([path], pointer) == records, name


@pytest.mark.parametrize("name", ["pretty.json", "compact.json", "data.jsonl", "nested.json"])
def test_one_file_in_many_partitions(write, time_limit, compute, name):
    # Tasks of one file that run side by side must share no open file between them.
    records = [{"t": 'a\\"b],{' * (i % 9), "i": i, "l": [[i], {"k": ","}]} for i in range(6000)]
    path = write({**layouts(records), "nested.json": nested(records)}[name], name)
    pointer = "/items" if name == "nested.json" else None
    for _ in range(3):
        bag = quarn.dask.read_records(path, records=pointer, blocksize="8 KiB")
        assert bag.npartitions > 30
        assert compute(bag) == records


@pytest.mark.parametrize("name", ["pretty.json", "compact.json", "data.jsonl"])
def test_a_split_file_is_read_as_it_was_when_the_bag_was_built(write, time_limit, name):
    records = [{"i": i, "s": "x" * (i % 5)} for i in range(200)]
    path = write(layouts(records)[name], name)
    bag = quarn.dask.read_records(path, blocksize=500)
    assert bag.npartitions > 5
    with open(path, "a") as f:
        f.write('{"late": 1}\n')
    assert bag.compute(scheduler="sync") == records


def test_a_rewritten_file_makes_a_new_bag(write, time_limit, threads_cluster):
    # A cluster keeps what it computed under a bag's keys: a bag of the file as it is now
    # must not be answered with the records, or run with the plan, of the file as it was.
    path = write("".join(json.dumps({"i": i}) + "\n" for i in range(100)), "data.jsonl")
    held = threads_cluster.persist(quarn.dask.read_records(path, blocksize=300))
    assert held.count().compute(scheduler=threads_cluster) == 100
    records = [{"j": i, "s": "x" * i} for i in range(150)]
    path = write("".join(json.dumps(r) + "\n" for r in records), "data.jsonl")
    assert (
        quarn.dask.read_records(path, blocksize=300).compute(scheduler=threads_cluster) == records
    )


@pytest.mark.parametrize("compression", ["infer", None, "none"])
def test_uncompressed_files_are_split_whatever_compression_says(write, time_limit, compression):
    records = [{"i": i} for i in range(300)]
    path = write(layouts(records)["data.jsonl"], "data.jsonl")
    bag = quarn.dask.read_records(path, compression=compression, blocksize=400)
    assert bag.npartitions > 5
    assert bag.compute(scheduler="sync") == records


def test_file_names_that_are_not_utf8(tmp_path, time_limit, compute):
    records = [{"i": i, "s": "],[" * (i % 3)} for i in range(300)]
    for name, text in layouts(records).items():
        path = os.fsdecode(bytes(tmp_path) + b"/\xe9-" + name.encode())
        with open(path, "w") as f:
            f.write(text)
        bag = quarn.dask.read_records(path, blocksize=500)
        assert bag.npartitions > 5
        assert compute(bag) == records, name


def test_globs_lists_and_compressed_files(write, tmp_path, time_limit, compute):
    records = [{"s": '\\"],' * i, "n": i} for i in range(50)]
    text = "".join(json.dumps(r) + "\n" for r in records)
    paths = [write(text, f"part-{i}.jsonl") for i in range(3)]
    (tmp_path / "part-3.jsonl.gz").write_bytes(gzip.compress(text.encode()))
    paths.append(str(tmp_path / "part-3.jsonl.gz"))
    bag = quarn.dask.read_records(str(tmp_path / "part-*.jsonl*"), blocksize=100)
    assert bag.npartitions > 4
    assert compute(bag) == in_order(paths) == records * 4
    assert compute(quarn.dask.read_records(paths[::-1], blocksize=None)) == records * 4
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
def test_a_bad_record_is_reported_as_in_order(write, time_limit, compute, text, name, blocksize):
    path = write(text, name)
    records = "/a" if name == "nested.json" else None
    with pytest.raises(ValueError) as in_order_error:
        list(quarn.iter_records(path, records=records))
    with pytest.raises(ValueError) as bag_error:
        compute(quarn.dask.read_records(path, records=records, blocksize=blocksize))
    assert str(bag_error.value) == str(in_order_error.value)


@pytest.mark.parametrize("levels", [124, 125])
def test_elements_of_a_named_array_are_as_deep_as_in_the_file(write, time_limit, compute, levels):
    path = write(deep_in_named_array(levels))

    def outcome(read):
        try:
            return read()
        except ValueError as e:
            return str(e)

    in_order = outcome(lambda: list(quarn.iter_records(path, records="/x/y")))
    assert ("recursion limit" in in_order) == (levels == 125)
    bag = quarn.dask.read_records(path, records="/x/y", blocksize=16)
    assert bag.npartitions > 5
    assert outcome(lambda: compute(bag)) == in_order


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


# --- DataFrames -------------------------------------------------------------------------------

FRAME_RECORDS = [
    {"i": i, "s": '\\"],{' * (i % 4), "f": i / 3, "u": {"n": f"u{i}"}, "t": list(range(i % 3))}
    for i in range(3000)
]


def arrow_frame(path, **options):
    """What read_dataframe's partitions together must equal: read_arrow of the whole file."""
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    return quarn.read_arrow(path, **options).read_all().to_pandas(types_mapper=pd.ArrowDtype)


@pytest.mark.parametrize("name", ["pretty.json", "data.jsonl", "nested.json", "data.jsonl.gz"])
@pytest.mark.parametrize("blocksize", ["8 KiB", None])
def test_a_dataframe_is_read_arrow_of_the_file(write, time_limit, compute, name, blocksize):
    pd = pytest.importorskip("pandas")
    text = {**layouts(FRAME_RECORDS), "nested.json": nested(FRAME_RECORDS)}
    if name.endswith(".gz"):
        path = write(gzip.compress(text["data.jsonl"].encode()), name)
    else:
        path = write(text[name], name)
    pointer = "/items" if name == "nested.json" else None
    frame = quarn.dask.read_dataframe(path, records=pointer, blocksize=blocksize, sample=10)
    if blocksize and not name.endswith(".gz"):
        assert frame.npartitions > 10
    want = arrow_frame(path, records=pointer, sample=10)
    got = compute(frame)
    pd.testing.assert_frame_equal(got.reset_index(drop=True), want)
    assert list(frame.dtypes) == list(want.dtypes)


@pytest.mark.parametrize(
    "bad",
    [
        '{"i": "x", "s": "", "f": 0.5, "u": {"n": "u"}, "t": []}',  # a conflict
        '{"i": 1 "s": ""}',  # not JSON
    ],
)
@pytest.mark.parametrize("name", ["pretty.json", "data.jsonl"])
def test_a_bad_record_in_a_dataframe(write, time_limit, compute, bad, name):
    text = layouts(FRAME_RECORDS[:400])[name]
    lines = text.split("\n")
    lines[len(lines) // 2] = bad + ("," if name == "pretty.json" else "")
    path = write("\n".join(lines), name)
    with pytest.raises(ValueError) as in_order:
        arrow_frame(path, sample=10)
    with pytest.raises(ValueError) as frame_error:
        compute(quarn.dask.read_dataframe(path, blocksize=2000, sample=10))
    assert str(frame_error.value) == str(in_order.value)


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


def test_remote_files_through_s3(s3, write, compute):
    fs, options = s3
    records = [{"s": '\\"],{' * (i % 5), "i": i} for i in range(200)]
    files = {**layouts(records), "nested.json": nested(records)}
    for name, text in files.items():
        fs.pipe(f"quarn-test/{name}", text.encode())
    fs.pipe("quarn-test/data.jsonl.gz", gzip.compress(files["data.jsonl"].encode()))
    for name in files:
        pointer = "/items" if name == "nested.json" else None
        bag = quarn.dask.read_records(
            f"s3://quarn-test/{name}", records=pointer, blocksize=1000, storage_options=options
        )
        assert bag.npartitions > 3
        assert compute(bag) == records, name
    bag = quarn.dask.read_records(
        "s3://quarn-test/data.jsonl*", blocksize=1000, storage_options=options
    )
    assert compute(bag) == records * 2
    frame = quarn.dask.read_dataframe(
        "s3://quarn-test/pretty.json", blocksize=1000, storage_options=options
    )
    assert frame.npartitions > 3
    assert compute(frame).to_dict("records") == records
