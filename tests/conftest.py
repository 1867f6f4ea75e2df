import contextlib
import faulthandler
import gc
import os
import signal
import sys
import sysconfig
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

# Properties reuse tmp_path across examples: each one rewrites its own file.
settings.register_profile("quarn", suppress_health_check=[HealthCheck.function_scoped_fixture])
settings.load_profile("quarn")

# distributed's workers sample the stacks of their running tasks (sys._current_frames, then
# frame.f_back), which crashes an interpreter without the global lock: not quarn's doing.
# Set in the environment so that the workers of child processes read it too.
if sysconfig.get_config_var("Py_GIL_DISABLED"):
    os.environ.setdefault("DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED", "False")

SHARED_DATA = Path(__file__).resolve().parents[2] / "shared" / "data"

TEXT = st.text()
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | TEXT
)


def documents(keys=TEXT, scalars=SCALARS, size=5, leaves=12):
    """JSON documents whose integers all fit the parser's 64-bit kinds."""
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=size) | st.dictionaries(keys, inner, max_size=size),
        max_leaves=leaves,
    )


def open_fds():
    return set(os.listdir("/proc/self/fd"))


def drain(it, limit=10**7):
    """Records and "Kind: text" errors until the end, going on after bad records; a read
    error that repeats (a failed read that the next call would only retry) ends it."""
    out = []
    for _ in range(limit):
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except (ValueError, RuntimeError) as e:
            text = f"{type(e).__name__}: {e}"
            if out and out[-1] == text and isinstance(e, RuntimeError):
                return out
            out.append(text)
    raise AssertionError("the iterator does not end")


@pytest.fixture
def write(tmp_path):
    """write(content, name="data.json") -> path of a file holding content."""

    def _write(content, name="data.json"):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return _write


# QUARN_TEST_KERNELS=scalar|avx2|avx512|neon runs the session on that kernel set of the byte
# scanners (CI runs the count/iter/schema tests once per set). The tests read it and call
# the module's private hook; the module itself reads no environment.
if os.environ.get("QUARN_TEST_KERNELS"):
    from quarn.lib import _quarn

    _quarn._testing.set_kernels(os.environ["QUARN_TEST_KERNELS"])


@pytest.fixture
def time_limit():
    """Ends the run with every thread's traceback when a test stops making progress, so
    that a hang fails instead of stalling CI (on the process's own standard error, which
    any capture of pytest's leaves in place)."""
    faulthandler.dump_traceback_later(120, exit=True, file=sys.__stderr__)
    yield
    faulthandler.cancel_dump_traceback_later()


class Boom(Exception):
    """What the tests' signal handlers raise."""


@contextlib.contextmanager
def alarm(delay, interval=0.0):
    """Raises Boom from a timer signal after `delay` seconds (then every `interval`, each
    time the caller has set armed[0] again)."""
    armed = [True]

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            raise Boom

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, delay, interval)
    try:
        yield armed
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def drain_under_storm(it, interval, keep=()):
    """The records of `it` read while a timer raises Boom every `interval` seconds, each
    resumed; errors of the `keep` classes are kept as "Class: text". Returns (records,
    number of Booms)."""
    got, booms = [], 0
    # A collector callback (hypothesis installs one) would run the handler where its
    # exception is only reported as unraisable.
    callbacks = gc.callbacks[:]
    gc.callbacks.clear()
    with contextlib.ExitStack() as stack, alarm(interval, interval) as armed:
        stack.callback(gc.callbacks.extend, callbacks)
        for _ in range(1_000_000):
            try:
                armed[0] = True
                # list.extend runs next() in C: the handler can only run inside the
                # reader, never between a record leaving it and reaching the list.
                got.extend(it)
                break
            except Boom:
                booms += 1
            except keep as e:
                armed[0] = False
                got.append(f"{type(e).__name__}: {e}")
        armed[0] = False
    return got, booms


def resolve(doc, pointer):
    """The value at JSON Pointer `pointer` in `doc`, as RFC 6901 reads it."""
    for token in pointer.split("/")[1:]:
        token = token.replace("~1", "/").replace("~0", "~")
        doc = doc[int(token)] if isinstance(doc, list) else doc[token]
    return doc


def array_pointers(doc, here=""):
    """The JSON Pointer of every array in `doc`, outermost first."""
    if isinstance(doc, list):
        yield here
        for i, v in enumerate(doc):
            yield from array_pointers(v, f"{here}/{i}")
    elif isinstance(doc, dict):
        for k, v in doc.items():
            yield from array_pointers(v, here + "/" + k.replace("~", "~0").replace("/", "~1"))
