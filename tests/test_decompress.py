"""Compressed data from every kind of source: bounded memory, standard input, forks, the name
rule, magic bytes split across pipe writes, progress units, names that are not UTF-8, shared
iterators and the fallbacks of the decompressors. Interruptions, failing streams and damage
at every read and block are the fault-injection harness's (test_faults.py). Each test runs
under a time limit that ends the process with a traceback."""

import bz2
import fcntl
import gzip
import importlib.metadata
import io
import json
import lzma
import os
import shutil
import signal
import struct
import subprocess
import sys
import termios
import threading
import time

import pytest
import quarn
from quarn.lib._quarn import _testing

RECORDS = [{"id": i, "text": "x" * (i % 50), "tags": [i, None]} for i in range(6000)]
LINES = [json.dumps(r, separators=(",", ":")) for r in RECORDS]
JSONL = "".join(line + "\n" for line in LINES).encode()


def zstd_module():
    try:
        from compression import zstd  # the interpreter's own, from 3.14

        return zstd
    except ImportError:
        return pytest.importorskip("zstandard")


COMPRESS = {
    "gzip": lambda b: gzip.compress(b, 6),
    "bz2": bz2.compress,
    "xz": lzma.compress,
    "zstd": lambda b: zstd_module().compress(b),
}


@pytest.fixture(autouse=True)
def _limited(time_limit):
    yield
    _testing.fail_blocks(0)


def pipe_of(data, pieces=1, pause=0.0):
    """The read end of a pipe that a thread fills with `data` in `pieces` writes."""
    r, w = os.pipe()

    def feed():
        with open(w, "wb", buffering=0) as f:
            step = -(-len(data) // pieces)
            for i in range(0, len(data), step):
                try:
                    f.write(data[i : i + step])
                except BrokenPipeError:
                    return
                time.sleep(pause)

    threading.Thread(target=feed, daemon=True).start()
    return open(r, "rb", buffering=0)


def test_memory_is_bounded_whatever_the_ratio(tmp_path):
    path = tmp_path / "repetitive.zst"
    line = b'{"a": 1, "b": "' + b"y" * 100 + b'"}\n'
    path.write_bytes(COMPRESS["zstd"](line * (96 << 20 // len(line))))
    code = (
        "import resource, quarn, sys, itertools;"
        "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss;"
        "n = quarn.count(sys.argv[1]);"
        "list(itertools.islice(quarn.iter_records(sys.argv[1]), 1000));"
        "print(n, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        check=True,
    ).stdout.split()
    assert int(out[0]) == 96 << 20 // len(line)
    assert int(out[1]) < 24 << 10  # KiB


def test_stdin_interrupted_exits_cleanly():
    code = (
        "import quarn, sys; it = quarn.iter_records(sys.stdin.buffer); next(it);"
        "raise KeyboardInterrupt"
    )
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdin=subprocess.PIPE, stderr=subprocess.PIPE
    )
    child.stdin.write(gzip.compress(JSONL)[: 1 << 14])  # and the pipe stays open
    child.stdin.flush()
    try:
        child.wait(timeout=60)
    finally:
        child.kill()
        child.stdin.close()
    err = child.stderr.read()
    assert b"Fatal Python error" not in err and b"KeyboardInterrupt" in err


def test_forked_child_refuses_and_parent_goes_on(tmp_path):
    path = tmp_path / "f.jsonl.gz"
    path.write_bytes(gzip.compress(JSONL * 10))
    it = quarn.iter_records(path)
    first = [next(it) for _ in range(10)]
    pid = os.fork()
    if pid == 0:  # the child: an answer at once, never a wait
        try:
            for _ in it:
                pass
            os._exit(3)
        except RuntimeError as e:
            os._exit(0 if "fork" in str(e) else 4)
        except BaseException:  # noqa: BLE001
            os._exit(5)
    deadline = time.monotonic() + 60
    while (done := os.waitpid(pid, os.WNOHANG))[0] == 0 and time.monotonic() < deadline:
        time.sleep(0.01)
    if done[0] == 0:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        pytest.fail("the forked child hung")
    assert os.waitstatus_to_exitcode(done[1]) == 0
    assert first + list(it) == RECORDS * 10


@pytest.mark.parametrize(
    "name, content, via, want",
    [
        ("one.jsonl.gz", b"[1,2,3]\n", "path", 1),  # as one.jsonl: the name decides
        ("one.json.gz", b"[1,2,3]\n", "path", 3),
        ("long.jsonl.gz", b"[" + b"1," * 600_000 + b"1]\n" + b"[2]\n" * 4, "path", 5),
        ("arr.jsonl", b"[1, 2]\n", "progress", [[1, 2]]),
        ("arr.jsonl.gz", b"[1, 2]\n", "progress", [[1, 2]]),
        ("fifo.jsonl", b"[1,2,3]\n", "fifo", 1),
    ],
)
def test_name_rule_survives_compression_progress_and_fifos(tmp_path, name, content, via, want):
    path = tmp_path / name
    data = gzip.compress(content) if name.endswith(".gz") else content
    if via == "fifo":
        os.mkfifo(path)
        threading.Thread(target=lambda: path.write_bytes(data), daemon=True).start()
        assert quarn.count(path) == want
    elif via == "progress":
        pytest.importorskip("tqdm")
        path.write_bytes(data)
        assert quarn.load(path, progress=True) == want == quarn.load(path)
    else:
        path.write_bytes(data)
        assert quarn.count(path) == want


class OneByteAtATime(io.RawIOBase):
    def __init__(self, data):
        self.data, self.pos = data, 0

    def readable(self):
        return True

    def readinto(self, b):
        if self.pos == len(self.data) or len(b) == 0:
            return 0
        b[0] = self.data[self.pos]
        self.pos += 1
        return 1


def test_magic_split_across_reads():
    data = gzip.compress(b'{"a": 1}\n' * 100)
    assert quarn.count(OneByteAtATime(data)) == 100
    # Standard input whose first read can only see the first byte: the rest is written
    # once the reader has taken that byte (the pipe is empty again).
    child = subprocess.Popen(
        [sys.executable, "-m", "quarn", "count", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
    )
    try:
        child.stdin.write(data[:1])
        child.stdin.flush()
        waiting = bytearray(4)
        while fcntl.ioctl(child.stdin.fileno(), termios.FIONREAD, waiting) == 0 and any(waiting):
            time.sleep(0.005)
        child.stdin.write(data[1:])
        child.stdin.close()
        assert child.stdout.read().split() == [b"100"]
        assert child.wait(timeout=60) == 0
    finally:
        child.kill()
        child.wait()


def test_progress_counts_in_one_unit(tmp_path):
    path = tmp_path / "d.jsonl.gz"
    path.write_bytes(gzip.compress(JSONL))
    it = quarn.iter_records(gzip.open(path))  # noqa: SIM115 - the caller decompresses
    assert sum(1 for _ in it) == len(RECORDS)
    assert it.total_bytes in (0, len(JSONL)) and it.bytes_read == len(JSONL)
    it = quarn.iter_records(pipe_of(path.read_bytes()))  # a pipe: no size, still moving
    assert sum(1 for _ in it) == len(RECORDS)
    assert it.total_bytes == 0 and it.bytes_read == path.stat().st_size


def test_without_libzstd(tmp_path):
    path = tmp_path / "z.zst"
    path.write_bytes(COMPRESS["zstd"](JSONL))
    _testing.hide_zstd(True)
    try:
        with pytest.raises(RuntimeError, match="needs libzstd"):
            quarn.count(path)
    finally:
        _testing.hide_zstd(False)
    assert quarn.count(path) == len(RECORDS)


def zstd_raw_frame(data, window_log):
    """A zstd frame of raw blocks whose header asks for a window of 2**window_log bytes."""
    frame = bytearray(b"\x28\xb5\x2f\xfd" + bytes([0, (window_log - 10) << 3]))
    blocks = [data[i : i + (1 << 17)] for i in range(0, len(data), 1 << 17)]
    for i, block in enumerate(blocks):
        frame += (len(block) << 3 | (i == len(blocks) - 1)).to_bytes(3, "little") + block
    return bytes(frame)


@pytest.mark.parametrize(
    "window_log, environment, error",
    [
        (27, None, None),
        (
            31,
            None,
            (
                "zstd data not read: a frame asks for a 2 GiB window, more than the 128 MiB"
                " allowed; QUARN_ZSTD_WINDOW_LOG_MAX=31"
            ),
        ),
        (31, "31", None),
        (
            28,
            "27",
            (
                "zstd data not read: a frame asks for a 256 MiB window, more than the 128"
                " MiB allowed; QUARN_ZSTD_WINDOW_LOG_MAX=28"
            ),
        ),
        (27, "x", "QUARN_ZSTD_WINDOW_LOG_MAX must be a number from 10 to 31"),
    ],
)
def test_zstd_window_beyond_the_limit_says_how_to_allow_it(
    tmp_path, window_log, environment, error
):
    path = tmp_path / "long.jsonl.zst"
    path.write_bytes(zstd_raw_frame(JSONL, window_log))
    env = dict(os.environ)
    env.pop("QUARN_ZSTD_WINDOW_LOG_MAX", None)
    if environment is not None:
        env["QUARN_ZSTD_WINDOW_LOG_MAX"] = environment
    r = subprocess.run(
        [sys.executable, "-m", "quarn", "count", str(path)],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
        check=False,
    )
    if error is None:
        assert (r.returncode, r.stdout.split()) == (0, [str(len(RECORDS))]), r.stderr
    else:
        assert r.returncode == 1 and error in r.stderr


@pytest.mark.parametrize("magic", [0x184D2A50, 0x184D2A5F])
def test_zstd_starting_with_a_skippable_frame(tmp_path, magic):
    # As parallel compressors write them: a skippable frame first, then the data.
    data = struct.pack("<II", magic, 4) + b"skip" + COMPRESS["zstd"](JSONL)
    path = tmp_path / "pz.jsonl.zst"
    path.write_bytes(data)
    assert quarn.count(path) == len(RECORDS)
    assert quarn.load(io.BytesIO(data)) == RECORDS
    assert quarn.lib._quarn._split.compressed(data[:8])
    path.rename(path := tmp_path / "pz.jsonl")  # the content alone says it, for Dask too
    pytest.importorskip("dask")
    from quarn import dask

    assert dask.read_records(str(path)).compute(scheduler="sync") == RECORDS


@pytest.mark.parametrize(
    "tail",
    [
        b"x",
        b"junk after the stream\n",
        b"\0" * 8 + b"junk after padding",
        b"\xfd7zXZ\0" + b"\0" * 20,  # a stream's magic, then no stream
        lzma.compress(b"[1]\n") + b"junk",  # a second stream, then junk
    ],
)
def test_xz_junk_after_the_last_stream_is_ignored(tmp_path, tail):
    data = lzma.compress(JSONL) + tail
    path = tmp_path / "j.jsonl.xz"
    path.write_bytes(data)
    with lzma.open(path) as f:  # as the interpreter reads it
        want = [json.loads(line) for line in f]
    assert quarn.load(path) == want == quarn.load(io.BytesIO(data))


def test_gzip_inflater_is_zlib_ng_where_installed():
    """The test extra installs zlib-ng: then it inflates, and build_info() says so."""
    info = quarn.build_info()
    assert sorted(info) == ["bz2", "gzip", "xz", "zstd"]
    assert info["zstd"].startswith("libzstd 1.")
    try:
        importlib.metadata.version("zlib-ng")
    except importlib.metadata.PackageNotFoundError:
        assert info["gzip"].startswith(("zlib ", "zlib-ng "))
    else:
        assert info["gzip"].startswith("zlib-ng 2."), info["gzip"]


# A library that exports zlib-ng's native names, but whose inflate must never run.
FAKE_ZLIB_NG = """
#include <stdlib.h>
const char* zlibng_version(void) { return VERSION; }
int zng_inflateInit2(void* s, int bits) { abort(); }
int zng_inflate(void* s, int flush) { abort(); }
int zng_inflateReset(void* s) { abort(); }
int zng_inflateEnd(void* s) { abort(); }
"""


@pytest.mark.parametrize(
    "source, why",
    [
        (FAKE_ZLIB_NG.replace("VERSION", '"3.0.0"'), "has zlib-ng 3.0.0, not the 2.x"),
        (FAKE_ZLIB_NG.replace("VERSION", "0"), "has zlib-ng ?, not the 2.x"),
        ("int nothing;", "lacks zlib-ng's native inflate functions"),
    ],
)
def test_zlib_ng_is_taken_only_in_the_version_declared(tmp_path, source, why):
    if quarn.build_info()["gzip"].endswith("(linked)"):
        pytest.skip("this build links zlib-ng: nothing is loaded")
    cc = shutil.which("cc") or shutil.which("gcc") or pytest.skip("no C compiler")
    (tmp_path / "fake.c").write_text(source)
    lib = tmp_path / "fake.so"
    subprocess.run([cc, "-shared", "-fPIC", "-o", lib, tmp_path / "fake.c"], check=True, timeout=60)
    package = tmp_path / "site" / "zlib_ng"  # found before the installed one
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    (package / "zlib_ng.py").write_text(f"__file__ = {str(lib)!r}\n")
    path = tmp_path / "g.jsonl.gz"
    path.write_bytes(COMPRESS["gzip"](JSONL))
    r = subprocess.run(
        [sys.executable, "-c", "import sys, quarn; print(quarn.count(sys.argv[1]))", str(path)],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path / "site")},
        timeout=60,
        check=False,
    )
    assert (r.returncode, r.stdout.split()) == (0, [str(len(RECORDS))]), r.stderr
    r = subprocess.run(
        [sys.executable, "-c", "import quarn; print(quarn.build_info()['gzip'])"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHONPATH": str(tmp_path / "site")},
        timeout=60,
        check=True,
    )
    assert r.stdout.startswith("zlib ") and why in r.stdout


def test_zlib_ng_lookup_leaves_an_interrupt_to_the_caller(tmp_path):
    if quarn.build_info()["gzip"].endswith("(linked)"):
        pytest.skip("this build links zlib-ng: nothing is imported to find it")
    path = tmp_path / "g.jsonl.gz"
    path.write_bytes(COMPRESS["gzip"](JSONL))
    code = (
        "import sys, quarn\n"
        "class Interrupting:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name.startswith('zlib_ng'):\n"
        "            raise KeyboardInterrupt\n"
        "sys.meta_path.insert(0, Interrupting())\n"
        "try:\n"
        "    print(quarn.count(sys.argv[1]))\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted')\n"
        "sys.meta_path.pop(0)\n"
        "print(quarn.count(sys.argv[1]))\n"
        "print(quarn.build_info()['gzip'])\n"
    )
    r = subprocess.run(
        [sys.executable, "-c", code, str(path)],
        capture_output=True,
        text=True,
        timeout=60,
        check=False,
    )
    assert r.stdout.splitlines()[:2] == ["interrupted", str(len(RECORDS))], r.stderr
    # Looked for again after the interrupt, with the answer this process has.
    assert r.stdout.splitlines()[2:] == [quarn.build_info()["gzip"]], r.stderr


def test_system_zlib_where_zlib_ng_is_missing(tmp_path):
    """gzip is inflated by zlib-ng's functions where the package is installed, else by the
    system's zlib: the same results either way."""
    path = tmp_path / "g.jsonl.gz"
    path.write_bytes(COMPRESS["gzip"](JSONL * 8)[:-100])  # truncated near its end
    results = []
    for hidden in (True, False):
        _testing.hide_zlib_ng(hidden)
        try:
            it = quarn.iter_records(path)
            _testing.fail_blocks(2)
            with pytest.raises(quarn.CompressedDataError):
                drain_until_error(it)
            _testing.fail_blocks(0)
            results.append(drain_until_error.got)
        finally:
            _testing.hide_zlib_ng(False)
    assert results[0] == results[1] == (RECORDS * 8)[: len(results[0])]
    assert len(results[0]) > len(RECORDS) * 7


def drain_until_error(it):
    got = []
    while True:
        try:
            got.append(next(it))
        except KeyboardInterrupt:
            continue
        except quarn.CompressedDataError:
            drain_until_error.got = got
            raise
        except StopIteration:
            return got
