"""Threads: every function at once on threads of their own, and many threads on one
iterator. The access flag may refuse a call only where calls really overlap, which
needs an interpreter without the global lock."""

import contextlib
import gc
import gzip
import json
import lzma
import signal
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
import quarn
from quarn import bigjson

GIL = getattr(sys, "_is_gil_enabled", lambda: True)()


@contextlib.contextmanager
def no_collector():
    """With the global lock, two calls on one iterator overlap only where next() runs Python
    code itself and the thread switches there; finalizers run by a collection it sets off
    are such code (a CI run under load once met refusals with the lock held). Without the
    collector, overlaps (and refusals) need a free-threaded interpreter."""
    gc.disable()
    try:
        yield
    finally:
        gc.enable()


def run_threads(target, n):
    """target(0) ... target(n - 1) at once, each on a thread of its own; raises the first
    failure."""
    with ThreadPoolExecutor(n) as pool:
        list(pool.map(target, range(n)))


def test_every_function_on_many_threads(tmp_path):
    files = {}
    for i in range(8):
        records = [{"thread": i, "k": list(range(i)), "s": "é" * i}] * (50 + i)
        files[i] = (str(tmp_path / f"t{i}.json"), str(tmp_path / f"t{i}.jsonl"), records)
        (tmp_path / f"t{i}.json").write_text(json.dumps(records))
        (tmp_path / f"t{i}.jsonl").write_text("\n".join(map(json.dumps, records)))
    expected = {i: bigjson.schema(files[i][0]) for i in files}
    barrier = threading.Barrier(len(files))

    def work(i):
        as_json, as_lines, records = files[i]
        barrier.wait()
        for _ in range(40):
            for path in (as_json, as_lines):
                assert bigjson.count(path) == len(records)
                assert bigjson.load(path) == records
                assert list(bigjson.iter_records(path)) == records
                assert bigjson.schema(path) == expected[i]
            with pytest.raises(ValueError):
                bigjson.load(as_json + ".missing")

    run_threads(work, len(files))


@pytest.mark.parametrize(
    "name", ["shared.json", "shared.jsonl", "shared.jsonl.gz", "shared.json.xz"]
)
def test_one_iterator_many_threads(tmp_path, name):
    # Decompression lets the lock go inside next(): another thread's call then waits for it
    # rather than being refused, as if the lock had been held throughout.
    n = 40_000
    path = tmp_path / name
    text = (
        "\n".join(map(str, range(n))) if ".jsonl" in name else json.dumps(list(range(n)))
    ).encode()
    compress = {".gz": gzip.compress, ".xz": lzma.compress}.get(path.suffix)
    path.write_bytes(compress(text) if compress else text)
    it = quarn.iter_records(path) if compress else bigjson.iter_records(str(path))
    seen = [[] for _ in range(6)]
    refusals = []
    done = threading.Event()

    def reader(i):
        while True:
            try:
                seen[i].append(next(it))
            except StopIteration:
                return
            except RuntimeError as e:
                refusals.append(str(e))

    def watcher(i):
        # Properties and iter() take shared use while next() may hold the reader.
        last = 0
        while not done.is_set():
            try:
                assert iter(it) is it
                now = it.bytes_read
                assert last <= now <= it.total_bytes
                last = now
            except RuntimeError as e:
                refusals.append(str(e))

    watchers = [threading.Thread(target=watcher, args=(i,)) for i in range(2)]
    for t in watchers:
        t.start()
    try:
        with no_collector():
            run_threads(reader, len(seen))
    finally:
        done.set()
        for t in watchers:
            t.join()
    everything = sorted(x for part in seen for x in part)
    assert everything == list(range(n))  # nothing lost, nothing twice
    for part in seen:
        assert part == sorted(part)  # each thread sees the file's order
    assert set(refusals) <= {"Already borrowed", "Already mutably borrowed"}
    if GIL:
        assert refusals == []  # calls hold the lock: they never overlap
    assert it.bytes_read == it.total_bytes


def test_overlapping_call_is_refused(tmp_path):
    # Even with the global lock a call can overlap another on the same thread: a signal
    # handler runs inside next() while it reads. The handler's own calls are refused and
    # the next() it interrupted goes on undisturbed.
    big = "z" * 50_000_000
    path = tmp_path / "big.json"
    path.write_text(json.dumps([big, 1, 2]))
    it = bigjson.iter_records(str(path))
    seen = []

    def handler(signum, frame):
        for probe in (lambda: next(it), lambda: it.bytes_read, lambda: iter(it)):
            try:
                probe()
                seen.append("ran")
            except RuntimeError as e:
                seen.append(str(e))
            except StopIteration:
                seen.append("end")

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.001)
    try:
        records = list(it)  # a C loop: handlers run only inside the reader, or after it
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert records == [big, 1, 2]
    assert {"Already borrowed", "Already mutably borrowed"} <= set(seen)
    assert set(seen) <= {"Already borrowed", "Already mutably borrowed", "end", "ran"}


@pytest.mark.parametrize("share", ["lock", "own", "bare"])
@pytest.mark.parametrize("name", ["stress.json", "stress.jsonl"])
def test_stress(tmp_path, name, share):
    # Eight threads read one file, every record checked. Sharing one iterator works behind
    # a lock ("lock") or with one iterator per thread ("own"). Without a lock ("bare") a
    # free-threaded interpreter refuses every call that overlaps another (measured on two
    # cores: 0.25 to 0.8 per record), so that is no way to share one; the records still
    # come out exactly once each. Prints records, refusals and time (pytest -s).
    threads, n = 8, 100_000
    records = [{"i": i, "s": "é" * (i % 7), "t": [i, str(i)]} for i in range(n)]
    path = tmp_path / name
    path.write_text(
        "\n".join(map(json.dumps, records)) if name.endswith("l") else json.dumps(records)
    )
    shared = bigjson.iter_records(str(path))
    lock = threading.Lock()
    seen = [[] for _ in range(threads)]
    refusals = [0] * threads
    barrier = threading.Barrier(threads)

    def reader(i):
        barrier.wait()
        if share == "own":
            seen[i].extend(bigjson.iter_records(str(path)))
            return
        while True:
            try:
                if share == "lock":
                    with lock:
                        record = next(shared)
                else:
                    record = next(shared)
            except StopIteration:
                return
            except RuntimeError as e:
                assert str(e) in ("Already borrowed", "Already mutably borrowed")
                refusals[i] += 1
                continue
            seen[i].append(record)

    start = time.monotonic()
    with no_collector():
        run_threads(reader, threads)
    elapsed = time.monotonic() - start
    if share == "own":
        assert all(part == records for part in seen)
    else:
        assert sorted((r for part in seen for r in part), key=lambda r: r["i"]) == records
        for part in seen:
            assert [r["i"] for r in part] == sorted(r["i"] for r in part)
    if GIL or share != "bare":
        assert sum(refusals) == 0
    print(
        f"\n{name} {share}: {sum(map(len, seen))} records, {sum(refusals)} refusals, "
        f"{elapsed:.2f} s, gil={GIL}"
    )


def ticks_during(call):
    """How often a thread that sleeps half a millisecond at a time ran while `call` did. Had
    the call held the lock for all of it, the thread would get it at most once on each side."""
    ticks, stop = [0], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0005)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        before = ticks[0]
        call()
        return ticks[0] - before
    finally:
        stop.set()
        thread.join()


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
@pytest.mark.parametrize("layer", ["bigjson", "top"])
def test_count_lets_other_threads_run(tmp_path, fmt, layer):
    # A count of a file touches no Python object while it scans, so it leaves the lock to
    # other threads.
    path = tmp_path / f"zeros.{fmt}"
    with open(path, "wb") as f:
        f.write(b"[" if fmt == "json" else b"{}\n")
        f.truncate(1 << 30)  # sparse: read at memory speed, nothing on the disk
    count = bigjson.count if layer == "bigjson" else quarn.count
    assert ticks_during(lambda: count(str(path), fmt)) > 10


@pytest.mark.parametrize(
    "call, big",
    [
        (lambda p: quarn.count(p, records="/a/1"), "before"),  # the walk to the array
        (lambda p: quarn.count(p, records="/a/1"), "after"),  # the check after it
        (lambda p: list(quarn.iter_records(p, records="/a/1")), "before"),
        (lambda p: quarn.load(p, records="/a/1"), "after"),
    ],
    ids=["count-before", "count-after", "iter_records-before", "load-after"],
)
def test_records_walk_lets_other_threads_run(tmp_path, call, big):
    # The walk through a document to the array records= names, and the check of the rest
    # of it, touch no Python object either: a large value beside the array (checked by the
    # parser, a piece at a time) holds up no other thread.
    path = tmp_path / "doc.json"
    piece = json.dumps({"k": "v" * 50, "n": [1.5, -2, None, True]}) + ","
    value = "[" + piece * ((64 << 20) // len(piece)) + "{}]"
    with open(path, "w") as f:
        f.write('{"a": [' + (value if big == "before" else "0") + ", [1, 2, 3]")
        f.write(', {"b": ' + (value if big == "after" else "0") + "}]}")
    got = []
    assert ticks_during(lambda: got.append(call(str(path)))) > 10
    assert got[0] in (3, [1, 2, 3])
