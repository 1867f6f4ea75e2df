"""The decompressor's thread and buffers: started only for a reader that keeps reading, so
that an open is quick (a storm of raising signals cannot starve it) and an opened source holds
no thread; its waits and decoding let other Python threads run; records come out whole across
the hand-over from the caller's thread to the decoding thread. Children run under a timeout,
everything else under the time limit."""

import bz2
import gzip
import io
import json
import lzma
import os
import subprocess
import sys
import threading
import time

import pytest
import quarn
from quarn.lib._quarn import _testing


def zstd_compress(data):
    try:
        from compression import zstd  # the interpreter's own, from 3.14
    except ImportError:
        zstd = pytest.importorskip("zstandard")
    return zstd.compress(data)


SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
COMPRESS = {"gz": gzip.compress, "bz2": bz2.compress, "xz": lzma.compress, "zst": zstd_compress}


def records(n):
    return [{"id": i, "name": f"record {i}", "v": [i, i * 0.5, "x" * (i % 40)]} for i in range(n)]


def jsonl(recs):
    return "".join(json.dumps(r) + "\n" for r in recs).encode()


@pytest.fixture(autouse=True)
def _limited(time_limit):
    yield
    _testing.fail_blocks(0)


def run_child(code, *args):
    done = subprocess.run(
        [sys.executable, "-c", code, *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )
    assert done.returncode == 0, done.stderr[-3000:]
    return done.stdout


STORM = """
import json, signal, sys, time, quarn
path, seconds_allowed = sys.argv[1], float(sys.argv[2])
expected = quarn.load(path)  # also loads the decompressor's library: not part of the storm
class Boom(Exception):
    pass
armed = [False]
def handler(signum, frame):
    if armed[0]:
        armed[0] = False
        raise Boom
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
# Tries for a while, not a number of times: one open that fits between two ticks is enough,
# and a loaded machine may preempt many in a row.
it, got, deadline = None, [], time.monotonic() + seconds_allowed
while it is None:
    assert time.monotonic() < deadline, "the open never got through"
    try:
        armed[0] = True
        it = quarn.iter_records(path)
        armed[0] = False
    except Boom:
        pass
while True:
    try:
        armed[0] = True
        got.extend(it)
        armed[0] = False
        break
    except Boom:
        pass
signal.setitimer(signal.ITIMER_REAL, 0)
assert got == expected, (len(got), len(expected))
"""


# bz2 is left out: its first byte comes only once a whole block (up to 900 kB) is decoded,
# which takes longer than the timer's period; so is a sanitizer build, several times slower
# at all an open does (the decompressors' first allocations most of all).
@pytest.mark.skipif(SANITIZED, reason="a sanitizer build is slower than the timer's period")
@pytest.mark.parametrize("compression", ["gz", "xz", "zst"])
def test_an_open_gets_through_a_storm_of_signals(tmp_path, compression):
    """An open decodes only what telling the format takes, so that it is over between two
    ticks of a timer raising every 0.5 ms; the records then come out whole under the same
    storm."""
    path = tmp_path / f"s.jsonl.{compression}"
    path.write_bytes(COMPRESS[compression](jsonl(records(30_000))))
    run_child(STORM, path, 30)


OPEN_MANY = """
import os, sys, quarn
path, n = sys.argv[1], int(sys.argv[2])
def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS"))
threads, before = len(os.listdir("/proc/self/task")), rss_kib()
opened = [quarn.iter_records(path) for _ in range(n)]
first = [next(it) for it in opened]
print(len(os.listdir("/proc/self/task")) - threads, (rss_kib() - before) // n)
"""

# What an iterator over a plain file holds (its blocks, the reader), and more than the
# decompressors' own state once opened; the decoded blocks of a running thread are far more.
KIB_PER_SOURCE = 1024


@pytest.mark.parametrize("compression", ["gz", "xz", "zst"])
def test_opened_sources_hold_no_thread_and_no_blocks(tmp_path, compression):
    path = tmp_path / f"m.jsonl.{compression}"
    path.write_bytes(COMPRESS[compression](jsonl(records(60_000))))
    threads, kib = map(int, run_child(OPEN_MANY, path, 200).split())
    assert threads == 0
    assert kib < KIB_PER_SOURCE


@pytest.mark.parametrize("via", ["path", "stream"])
@pytest.mark.parametrize("compression", ["gz", "bz2", "xz", "zst"])
def test_decoding_lets_other_threads_run(tmp_path, compression, via):
    """With forced switches off, another thread gets the interpreter only when the reader lets
    it go: it does while it decodes or waits for the decoding thread (counted once the source
    is open, so that the file's open is left out)."""
    data = COMPRESS[compression](jsonl(records(40_000)))
    path = tmp_path / f"t.jsonl.{compression}"
    path.write_bytes(data)
    assert quarn.count(path) == 40_000  # the decompressor's library loaded beforehand
    ticks, stop = [0], threading.Event()

    def tick():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0)  # lets the interpreter go, and asks for it again at once

    interval = sys.getswitchinterval()
    ticker = threading.Thread(target=tick)
    sys.setswitchinterval(1000)
    try:
        ticker.start()
        # A stream whose reads keep the lock, unlike a file's.
        it = quarn.iter_records(path if via == "path" else io.BytesIO(data))
        before = ticks[0]
        n = sum(1 for _ in it)
        during = ticks[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        ticker.join()
    assert n == 40_000
    assert during > 0


@pytest.mark.parametrize("compression", ["gz", "bz2", "xz", "zst"])
def test_records_whole_across_the_hand_over_to_the_thread(tmp_path, compression):
    """Every other block interrupted, before and after the decoding thread takes over from
    the caller's: resumed, the records come out once each, in order."""
    expected = records(50_000)
    path = tmp_path / f"h.jsonl.{compression}"
    path.write_bytes(COMPRESS[compression](jsonl(expected)))
    it = quarn.iter_records(path)
    got, caught = [], 0
    _testing.fail_blocks(2)
    while True:
        try:
            got.extend(it)
            break
        except KeyboardInterrupt:
            caught += 1
    _testing.fail_blocks(0)
    assert caught
    assert got == expected


FORK = """
import os, sys, quarn
path, taken = sys.argv[1], int(sys.argv[2])
it = quarn.iter_records(path)
first = [next(it) for _ in range(taken)]
pid = os.fork()
if pid == 0:
    try:
        for _ in it:  # what the reader holds already comes out; then a read is refused
            pass
        os._exit(3)
    except RuntimeError as e:
        code = 0 if "fork" in str(e) else 4
    del it  # the parent's decoder is let go of without waiting for its thread
    os._exit(code)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
print(len(first) + sum(1 for _ in it))
"""


@pytest.mark.parametrize("taken", [1, 20_000])  # before and after the thread starts
def test_forked_child_refuses_and_lets_go(tmp_path, taken):
    path = tmp_path / "f.jsonl.gz"
    path.write_bytes(gzip.compress(jsonl(records(40_000))))
    assert int(run_child(FORK, path, taken)) == 40_000


def test_without_a_thread_the_caller_decodes_to_the_end(tmp_path):
    """A process that can start no more threads still reads compressed data whole."""
    expected = records(50_000)
    path = tmp_path / "n.jsonl.gz"
    path.write_bytes(gzip.compress(jsonl(expected)))
    _testing.refuse_threads(True)
    try:
        assert list(quarn.iter_records(path)) == expected
        assert quarn.count(path) == len(expected)
    finally:
        _testing.refuse_threads(False)
