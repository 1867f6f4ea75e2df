"""Faults injected while records are read, for every compression, format and kind of source:
an exception at every k-th read of the caller's file object, at every block a decompressor
hands over, at every k-th call of a progress callback, from a raising timer; truncated
compressed data; a fork; pickled errors; file names that are not UTF-8.

Resumed after each exception, an iterator gives exactly the file's records, each once, in
order, and the exception is the very object raised. Every case runs in a child process under
a time limit, so that a hang fails the case instead of stalling the run: this file is also the
child's program (``python test_faults.py CASE-AS-JSON``), which imports no test framework.
"""

import bz2
import concurrent.futures
import faulthandler
import functools
import gzip
import itertools
import json
import lzma
import multiprocessing
import os
import pickle
import random
import signal
import subprocess
import sys
import time
import zlib
from pathlib import Path

import quarn
from quarn.lib import _quarn

TIME_LIMIT = 60  # seconds per child; a case takes well under one on an idle machine
COMPRESSIONS = ["none", "gz", "bz2", "xz", "zst"]
FORMATS = ["jsonl", "json", "records"]
POINTER = "/items"  # where the "records" format keeps them


def zstd_module():
    """The interpreter's own zstd module (3.14 on) or zstandard, or None."""
    try:
        from compression import zstd

        return zstd
    except ImportError:
        pass
    try:
        import zstandard

        return zstandard
    except ImportError:
        return None


def compress(name, data):
    if name == "zst":
        return zstd_module().compress(data)  # both modules have one
    return {"none": bytes, "gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress}[name](
        data
    )


def stream_decompressor(name):
    """A decompressor fed bytes as they come: what can be recovered from a prefix."""
    if name == "gz":
        return zlib.decompressobj(31).decompress
    if name == "bz2":
        return bz2.BZ2Decompressor().decompress
    if name == "xz":
        return lzma.LZMADecompressor().decompress
    zstd = zstd_module()
    if hasattr(zstd, "ZstdDecompressor") and hasattr(zstd.ZstdDecompressor(), "decompressobj"):
        return zstd.ZstdDecompressor().decompressobj().decompress  # zstandard
    return zstd.ZstdDecompressor().decompress


def make_records(n):
    rnd = random.Random(n)  # random enough that compressed data spans many reads
    return [
        {
            "id": i,
            "key": rnd.randbytes(8).hex(),
            "v": rnd.random(),
            "tags": [i % 7, None, True],
            "s": "é" * (i % 4) + rnd.choice(["", "a\nb", '"q"']),
        }
        for i in range(n)
    ]


def plain_bytes(records, fmt):
    if fmt == "jsonl":
        return "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records).encode()
    if fmt == "json":
        return json.dumps(records, indent=1, ensure_ascii=False).encode()
    doc = {"meta": {"n": len(records), "skip": [[1, 2], {"x": "]"}]}, "items": records, "end": 1}
    return json.dumps(doc, ensure_ascii=False).encode()


def options(fmt):
    return {"records": POINTER} if fmt == "records" else {}


# ---- the child's side ----------------------------------------------------------------------


class Injected(Exception):
    """The exception a faulty file object raises."""


class Faulty:
    """A binary file object whose every `every`-th read, once armed, raises (the first time
    KeyboardInterrupt, then Injected) before reading anything; reads hand out at most
    `chunk` bytes, so compressed data takes many of them."""

    def __init__(self, inner, every, chunk=4096, readinto=True):
        self.inner, self.every, self.chunk = inner, every, chunk
        self.armed, self.reads, self.raised = False, 0, []
        if readinto:
            self.readinto = self._readinto
        if inner.seekable():
            self.seekable, self.seek, self.tell = inner.seekable, inner.seek, inner.tell

    def _fault(self):
        if not self.armed:
            return
        self.reads += 1
        if self.reads % self.every == 0:
            exc = Injected(self.reads) if self.raised else KeyboardInterrupt(self.reads)
            self.raised.append(exc)
            raise exc

    def read(self, size=-1):
        self._fault()
        return self.inner.read(self.chunk if size is None or size < 0 else min(size, self.chunk))

    def _readinto(self, buffer):
        self._fault()
        view = memoryview(buffer).cast("B")
        return self.inner.readinto(view[: self.chunk])


class Boom(Exception):
    """The exception the timer's handler raises."""


def resume(iterator, expected_exc, arm=None, disarm=None, limit=100_000):
    """Every record, going on after each exception of `expected_exc`; returns (records,
    exceptions). `arm` and `disarm` run inside the handling of those exceptions."""
    got, caught = [], []
    while len(caught) < limit:
        try:
            if arm:
                arm()
            # list.extend runs next() in C: an exception can only come from inside the
            # iterator, never between a record leaving it and reaching the list.
            got.extend(iterator)
            if disarm:
                disarm()
            return got, caught
        except expected_exc as exc:
            caught.append(exc)
    raise AssertionError(f"still failing after {limit} exceptions; {len(got)} records")


def open_source(path, kind, fault, every):
    if kind == "path":
        return path, None
    # open for the child's life
    inner = open(path, "rb") if kind == "file" else sys.stdin.buffer  # noqa: SIM115
    if fault != "reads":
        return ("-" if kind == "pipe" else inner), None
    faulty = Faulty(inner, every, readinto=kind == "file")
    return faulty, faulty


# read_arrow's columns: those that hold one type in every record.
ARROW_FIELDS = ["id", "key", "v", "s"]


def arrow_batches(read_arrow, reader):
    """The reader `read_arrow(fields, sample, table)` makes: small batches and a small
    sample, so that most batches are built after arming; "arrow2" builds them on two
    threads. Its batches are taken from it in C (resume's list.extend), as records are from
    an iterator, and made rows afterwards."""
    import pyarrow  # noqa: F401 (imported before any fault is armed)

    jobs = 2 if reader == "arrow2" else 1
    return read_arrow(ARROW_FIELDS, 20, (7, 1 << 24, "error", "ignore", jobs, False, None))


def watched(source, fmt, every, reader="records"):
    """(an iterator over `source` whose progress callback raises Injected at every
    `every`-th call once armed, the exceptions it raised, the arming switch)."""
    calls, raised, armed = [0], [], [False]

    def on_read(done, total, at_end):
        if armed[0]:
            calls[0] += 1
            if calls[0] % every == 0:
                raised.append(Injected(calls[0]))
                raise raised[-1]

    records = options(fmt).get("records")
    if reader.startswith("arrow"):
        native = _quarn._sources.read_arrow
        iterator = arrow_batches(
            lambda *a: native(source, None, records, ("infer", on_read), *a), reader
        )
    elif reader == "jsonl":
        iterator = _quarn._sources.json_lines(source, None, records, ("infer", on_read))
    else:
        iterator = _quarn._sources.iter_records(source, None, records, ("infer", on_read), None)
    return iterator, raised, armed


def case_faults(path, compression, fmt, kind, fault, every, n, reader="records"):
    expected = make_records(n)
    source, faulty = open_source(path, kind, fault, every)
    if reader.startswith("arrow"):
        expected = [{k: r[k] for k in ARROW_FIELDS} for r in expected]
    if fault == "progress":
        iterator, raised, armed = watched(source, fmt, every, reader)
    elif reader.startswith("arrow"):
        native = functools.partial(
            _quarn._sources.read_arrow, source, None, options(fmt).get("records"), ("infer", None)
        )
        iterator = arrow_batches(native, reader)
    elif reader == "jsonl":
        records = options(fmt).get("records")
        iterator = _quarn._sources.json_lines(source, None, records, ("infer", None))
    else:
        iterator = quarn.iter_records(source, **options(fmt))
    if fault == "progress":
        # The bytes of a read whose callback raised wait for the next read.
        armed[0] = True
        got, caught = resume(iterator, Injected)
        assert raised, "the callback never raised"
        assert len(caught) == len(raised) and all(a is b for a, b in zip(caught, raised))
    elif fault == "reads":
        faulty.armed = True
        got, caught = resume(iterator, (Injected, KeyboardInterrupt))
        assert faulty.raised, "no read failed"
        assert len(caught) == len(faulty.raised), (len(caught), len(faulty.raised))
        for mine, theirs in zip(faulty.raised, caught, strict=True):
            assert theirs is mine, f"{theirs!r} came out where {mine!r} was raised"
    elif fault == "blocks":
        _quarn._testing.fail_blocks(every)
        try:
            got, caught = resume(iterator, KeyboardInterrupt)
        finally:
            _quarn._testing.fail_blocks(0)
        assert caught, "no block was interrupted"
    else:
        got, caught = storm(iterator)
    if reader.startswith("arrow"):
        got = [row for batch in got for row in batch.to_pylist()]
    elif reader == "jsonl":
        # Chunks of whole lines: what convert writes, read back.
        got = [json.loads(line) for line in b"".join(got).splitlines()]
    assert len(got) == len(expected), f"{len(got)} records of {len(expected)}"
    assert got == expected, "the records differ"


def storm(iterator):
    """Resumes `iterator` under a timer whose handler raises Boom every few hundred
    microseconds; checks each Boom caught is the one raised."""
    raised, armed = [], [False]

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            raised.append(Boom(len(raised)))
            raise raised[-1]

    def arm():
        armed[0] = True

    def disarm():
        signal.setitimer(signal.ITIMER_REAL, 0)
        armed[0] = False

    signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0003, 0.0003)
    try:
        got, caught = resume(iterator, Boom, arm, disarm)
    finally:
        disarm()  # the timer must not outlive a failure, or the child dies of it at exit
    assert caught, "the timer never interrupted the reading"
    assert len(caught) == len(raised), f"{len(raised)} raised, {len(caught)} came out"
    assert all(a is b for a, b in zip(caught, raised, strict=True)), "a Boom was replaced"
    return got, caught


def recoverable(plain_prefix, fmt):
    """(complete records, a last record that may be handed out too or None) in a prefix of
    the decompressed data."""
    text = plain_prefix.decode("utf-8", "ignore")
    if fmt == "jsonl":
        *lines, tail = text.split("\n")
        complete = [json.loads(line) for line in lines if line.strip()]
        try:
            return complete, json.loads(tail) if tail.strip() else None
        except ValueError:
            return complete, None
    start = text.find("[") + 1 if fmt == "json" else text.find('"items": [')
    if start <= 0:
        return [], None
    if fmt == "records":
        start += len('"items": [')
    decoder, complete, at = json.JSONDecoder(), [], start
    while True:
        while at < len(text) and text[at] in " \n\t,":
            at += 1
        if at >= len(text) or text[at] == "]":
            return complete, None
        try:
            element, at = decoder.raw_decode(text, at)
        except ValueError:
            return complete, None
        rest = text[at:].lstrip()
        if not rest:
            return complete, element
        complete.append(element)


def drain(make_iterator):
    """(records, bad records as (position, exception), final exception or None)."""
    records, bad = [], []
    try:
        iterator = make_iterator()
    except (ValueError, RuntimeError) as exc:  # before the first record
        return records, bad, exc
    while True:
        try:
            records.append(next(iterator))
        except StopIteration:
            return records, bad, None
        except quarn.CompressedDataError as exc:
            return records, bad, exc
        except (ValueError, RuntimeError) as exc:
            bad.append((len(records), exc))
            if len(bad) > 3:
                return records, bad, exc


def case_truncation(path, compression, fmt, step):
    data = Path(path).read_bytes()
    for n, cut in enumerate(range(20, len(data), step)):
        part = data[:cut]
        cut_path = f"{path}.cut"
        Path(cut_path).write_bytes(part)
        complete, maybe = recoverable(stream_decompressor(compression)(part), fmt)
        # a path, a file object and a pipe in turn (the small files fit a pipe's buffer)
        kind = ["path", "file object", "pipe"][n % 3]
        if kind == "pipe":
            r, w = os.pipe()
            os.write(w, part)
            os.close(w)
            stream = open(r, "rb")  # noqa: SIM115 - closed below
        else:
            stream = open(cut_path, "rb")  # noqa: SIM115 - closed below
        with stream:
            source = cut_path if kind == "path" else stream
            records, bad, final = drain(
                functools.partial(quarn.iter_records, source, **options(fmt))
            )
        where = f"cut at {cut} of {len(data)} ({kind})"
        assert isinstance(final, quarn.CompressedDataError), f"{where}: ended with {final!r}"
        allowed = [complete] + ([complete + [maybe]] if maybe is not None else [])
        assert records in allowed, (
            f"{where}: {len(records)} records where the decompressor recovers {len(complete)}"
        )
        assert all(at >= len(complete) for at, _ in bad), f"{where}: bad records {bad}"


def case_fork(path, compression, fmt, kind, layer):
    expected = make_records(RECORDS_FAULTS[fmt])
    open_records = quarn.bigjson.iter_records if layer == "bigjson" else quarn.iter_records
    iterator = open_records(path if kind == "path" else "-", **options(fmt))
    first = [next(iterator) for _ in range(10)]
    pid = os.fork()
    if pid == 0:  # the child goes on with the same iterator: it finishes or it raises
        try:
            rest = list(iterator)
            os._exit(0 if first + rest == expected else 1)
        except BaseException:  # noqa: BLE001 - raising is an allowed outcome
            os._exit(2)
    # The parent reads on once the child is done: the child must have taken nothing from it.
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        time.sleep(0.05)
    else:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        raise AssertionError("the forked child's iterator hung")
    status = os.waitstatus_to_exitcode(status)
    assert status in (0, 2), "the forked child lost records"
    # A plain file is read at the iterator's own offset, in the child as in the parent.
    assert status == 0 or compression != "none" or kind != "path", "the child refused a file"
    rest = list(iterator)
    assert len(first + rest) == len(expected), f"the parent got {len(first + rest)} records"
    assert first + rest == expected, "the parent's records differ"


def raised_by(function, *args):
    try:
        function(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the result
        return exc
    raise AssertionError(f"{function}{args} raised nothing")


def same_error(a, b):
    assert type(a) is type(b), (a, b)
    assert (str(a), a.args) == (str(b), b.args)
    for name in ("errno", "strerror", "filename"):
        assert getattr(a, name, None) == getattr(b, name, None), name


def error_calls(folder):
    """(function name, arguments...) raising each class of error quarn raises."""
    (folder / "dir").mkdir(exist_ok=True)
    (folder / "bad.json").write_bytes(b"[1, {x}]")
    (folder / "bad.jsonl").write_bytes(b'1\n"\xff"\n')
    (folder / "cut.gz").write_bytes(gzip.compress(b"1\n" * 5000)[:-30])
    (folder / "a.json").write_bytes(b"[1]")
    return [
        ("count", str(folder / "missing.jsonl")),  # ValueError + FileNotFoundError
        ("count", str(folder / "dir")),  # ValueError + IsADirectoryError
        ("load", str(folder / "dir"), "json"),  # RuntimeError + IsADirectoryError
        ("count", str(folder / "a.json" / "x")),  # ValueError + NotADirectoryError
        ("bigjson.count", str(folder / "missing.jsonl")),
        ("load", str(folder / "bad.json")),  # ValueError
        ("load", str(folder / "bad.jsonl")),  # RuntimeError
        ("count", str(folder / "cut.gz")),  # CompressedDataError
        ("count", str(folder / "a.json"), "xml"),  # ValueError of an argument
        ("count", 5),  # TypeError
    ]


def call(name, *args):
    """quarn's function `name` (the bigjson ones cannot be pickled themselves)."""
    function = quarn
    for part in name.split("."):
        function = getattr(function, part)
    return function(*args)


def call_each(part):
    return [call(*c) for c in part]


def case_pool(folder, runner):
    """Each error raised in another process (or, for "tblib", pickled as dask has it
    pickled) comes back as itself."""
    calls = error_calls(Path(folder))
    local = [raised_by(call, *c) for c in calls]
    if runner == "pool":
        # spawn: the classes are made afresh in the worker, as on another machine
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            remote = [pool.submit(call, *c).exception() for c in calls]
    elif runner == "dask":
        import dask.bag

        # CompressedDataError is the "tblib" case's
        keep = [i for i, exc in enumerate(local) if not isinstance(exc, quarn.CompressedDataError)]
        calls, local = [calls[i] for i in keep], [local[i] for i in keep]
        bags = [dask.bag.from_sequence([c], npartitions=1).map_partitions(call_each) for c in calls]
        remote = [raised_by(functools.partial(bag.compute, scheduler="processes")) for bag in bags]
    else:
        import tblib.pickling_support

        tblib.pickling_support.install()
        remote = [pickle.loads(pickle.dumps(exc)) for exc in local]
    for mine, theirs in zip(local, remote, strict=True):
        same_error(mine, theirs)
        same_error(mine, pickle.loads(pickle.dumps(mine)))
    panic = _quarn._rebuild_error("PanicException", None, ("native code failed",), *[None] * 3)
    assert type(pickle.loads(pickle.dumps(panic))) is type(panic)
    assert not isinstance(panic, Exception)


NAMES = {"bytes": bytes, "str": os.fsdecode, "path": lambda raw: Path(os.fsdecode(raw))}


def case_names(folder, compression, name):
    records = make_records(50)
    raw = os.path.join(os.fsencode(folder), "d\xe9j\xe0-\xff.jsonl".encode("latin-1"))
    with open(raw, "wb") as f:
        f.write(compress(compression, plain_bytes(records, "jsonl")))
    assert quarn.count(NAMES[name](raw)) == len(records)
    assert list(quarn.iter_records(NAMES[name](raw))) == records
    missing = raised_by(quarn.count, NAMES[name](raw + b".missing"))
    assert isinstance(missing, FileNotFoundError), repr(missing)


# Past what opening reads ahead: a document's first MiB, and what the decompressor handed
# over by then (bz2's blocks are large), with many reads and blocks to spare.
RECORDS_FAULTS = {"jsonl": 12000, "json": 12000, "records": 24000}
RECORDS_TRUNCATION = 300


def case_calls(path, compression, fmt, n):
    """An exception at each read of a whole call (a load, a count, the opening of an
    iterator) over a file object: the call raises that very exception and puts the file back
    where it stood, so that the same call made again gives everything."""
    expected = make_records(n)
    calls = {
        "iter_records": (lambda s: quarn.iter_records(s, **options(fmt)), expected),
        "load": (lambda s: quarn.load(s, **options(fmt)), expected),
        "count": (lambda s: quarn.count(s, **options(fmt)), n),
    }
    with open(path, "rb") as inner:
        for name, (call, want) in calls.items():
            for at in itertools.count(1):
                inner.seek(0)
                faulty = Faulty(inner, at)
                faulty.armed = True
                try:
                    got = call(faulty)
                except (Injected, KeyboardInterrupt) as exc:
                    assert faulty.raised == [exc] and exc is faulty.raised[0], (name, at)
                    assert inner.tell() == 0, f"{name}, read {at}: left at {inner.tell()}"
                    faulty.armed = False
                    got = call(faulty)
                    assert (list(got) if name == "iter_records" else got) == want, (name, at)
                    continue
                faulty.armed = False  # the call made fewer reads: every one has failed once
                assert (list(got) if name == "iter_records" else got) == want, name
                break


CASES = {
    "calls": case_calls,
    "faults": case_faults,
    "truncation": case_truncation,
    "fork": case_fork,
    "pool": case_pool,
    "names": case_names,
}

if __name__ == "__main__":
    faulthandler.dump_traceback_later(TIME_LIMIT - 10, exit=True)  # a hang shows its stacks
    arguments = json.loads(sys.argv[1])
    CASES[arguments.pop("case")](**arguments)
    sys.exit(0)


# ---- the test side --------------------------------------------------------------------------

import pytest  # the child, gone above, needs none of what follows


@pytest.fixture(scope="session")
def data_file(tmp_path_factory):
    made = {}
    folder = tmp_path_factory.mktemp("faults")

    def get(compression, fmt, records):
        if compression == "zst" and zstd_module() is None:
            pytest.skip("no zstd module (zstandard, or compression.zstd from 3.14 on)")
        key = (compression, fmt, records)
        if key not in made:
            path = folder / f"{records}-{fmt}.{compression}"
            path.write_bytes(compress(compression, plain_bytes(make_records(records), fmt)))
            made[key] = path
        return made[key]

    return get


def run_child(case, stdin=None, **arguments):
    """Runs one case in a child process; fails on its failure, or when it hangs."""
    argument = json.dumps({"case": case, **arguments})
    try:
        done = subprocess.run(
            [sys.executable, __file__, argument],
            input=stdin,
            capture_output=True,
            timeout=TIME_LIMIT,
            check=False,
        )
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"hung for {TIME_LIMIT} s:\n{(exc.stderr or b'').decode(errors='replace')}")
    err = done.stderr.decode(errors="replace")
    assert done.returncode == 0, err[-3000:]
    assert "Fatal Python error" not in err and "Exception ignored" not in err, err[-3000:]


FAULT_CASES = [
    # (fault, source kinds, compressions)
    ("reads", ["file", "pipe"], COMPRESSIONS),
    ("blocks", ["path", "file", "pipe"], COMPRESSIONS[1:]),
    ("storm", ["path", "file", "pipe"], COMPRESSIONS),
    ("progress", ["path", "file", "pipe"], COMPRESSIONS),
]


# read_arrow's batches (one builder and two) and convert's JSON Lines chunks under a sample of
# the same faults: a batch or chunk whose making was interrupted comes again, with nothing
# lost or doubled.
ARROW_FAULT_CASES = [
    ("reads", "file", "none"),
    ("reads", "file", "gz"),
    ("blocks", "path", "gz"),
    ("storm", "path", "none"),
    ("storm", "file", "xz"),
    ("progress", "path", "none"),
    ("progress", "pipe", "gz"),
]


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize(
    "reader, fault, kind, compression",
    [
        ("records", fault, kind, compression)
        for fault, kinds, compressions in FAULT_CASES
        for kind in kinds
        for compression in compressions
    ]
    + [(reader, *case) for reader in ("arrow", "arrow2", "jsonl") for case in ARROW_FAULT_CASES],
)
def test_records_survive_faults(data_file, reader, fault, kind, compression, fmt):
    if reader.startswith("arrow"):
        pytest.importorskip("pyarrow")
    path = data_file(compression, fmt, RECORDS_FAULTS[fmt])
    stdin = path.read_bytes() if kind == "pipe" else None
    run_child(
        "faults",
        stdin,
        path=str(path),
        compression=compression,
        fmt=fmt,
        kind=kind,
        fault=fault,
        every=2 if fault == "blocks" else 5,
        n=RECORDS_FAULTS[fmt],
        reader=reader,
    )


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_a_failed_call_leaves_the_file_where_it_was(data_file, compression, fmt):
    path = data_file(compression, fmt, RECORDS_TRUNCATION)
    run_child("calls", path=str(path), compression=compression, fmt=fmt, n=RECORDS_TRUNCATION)


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("compression", COMPRESSIONS[1:])
def test_truncated_data_gives_what_a_decompressor_recovers(data_file, compression, fmt):
    path = data_file(compression, fmt, RECORDS_TRUNCATION)
    run_child("truncation", path=str(path), compression=compression, fmt=fmt, step=257)


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
@pytest.mark.parametrize("kind, layer", [("path", "quarn"), ("path", "bigjson"), ("pipe", "quarn")])
@pytest.mark.parametrize("compression", COMPRESSIONS)
def test_forked_child_finishes_or_raises(data_file, compression, kind, layer, fmt):
    if layer == "bigjson" and compression != "none":
        pytest.skip("quarn.bigjson reads no compressed data")
    # more than a decompressor reads ahead, so that it is still at work at the fork
    path = data_file(compression, fmt, RECORDS_FAULTS[fmt])
    stdin = path.read_bytes() if kind == "pipe" else None
    run_child(
        "fork", stdin, path=str(path), compression=compression, fmt=fmt, kind=kind, layer=layer
    )


# "tblib": dask's way of pickling an exception with its traceback, which rebuilds the
# exception through its class's reduction.
@pytest.mark.parametrize("runner", ["pool", "dask", "tblib"])
def test_errors_reach_the_parent_process(tmp_path, runner):
    pytest.importorskip({"pool": "pickle", "dask": "dask.bag", "tblib": "tblib"}[runner])
    run_child("pool", folder=str(tmp_path), runner=runner)


@pytest.mark.parametrize("compression", ["none", "gz"])
@pytest.mark.parametrize("name", NAMES)
def test_names_that_are_not_utf8(tmp_path, compression, name):
    run_child("names", folder=str(tmp_path), compression=compression, name=name)
