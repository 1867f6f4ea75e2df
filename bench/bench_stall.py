"""What a long call costs the other threads, and how soon it answers a signal.

- stall: another thread wakes every 1 ms while `quarn.count` reads a large file; the longest
  gap between two of its ticks is how long the call kept it from running (target: under
  5 ms), shown next to the longest gap of the same wait with nothing running (the machine's
  own share). The count alone is timed too (its processor time as well, which a busy
  machine disturbs less), so that the price of letting the thread in shows. The records=
  case counts an array inside a document after a value as large (the walk to the array
  checks that value with the parser).
- interrupt: a timer's handler raises at a random moment of a `load` (whole records, and
  with `fields=["id"]`, where the parser passes over most of each record and builds
  nothing); the lateness is the time from the timer's expiry to the handler's run (target:
  within about 0.1 s), with the collector off (quarn's own checks) and on (a collection of
  the whole result cannot be interrupted).

    python3 bench/bench_stall.py --size 1G --keep /tmp/quarn-stall
    python3 bench/bench_stall.py --size 64M --repeat 2      # a quick look

Each case runs in a child interpreter of its own, so that one's memory and threads do not
weigh on the next.
"""

import argparse
import json
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from make_data import make_file, parse_size

STALL_TARGET_MS = 5.0
LATENCY_TARGET_MS = 100.0


def ticking(call, period=0.001):
    """(seconds `call` took, the longest gap between two ticks of a thread waking every
    `period` seconds while it ran)."""
    gaps, stop, started = [], threading.Event(), threading.Event()

    def ticker():
        last = time.perf_counter()
        started.set()
        while not stop.is_set():
            time.sleep(period)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    started.wait()
    time.sleep(0.05)  # the ticker settles into its rhythm first
    start = time.perf_counter()
    call()
    took = time.perf_counter() - start
    stop.set()
    thread.join()
    return took, max(gaps)


def child_stall(path, repeat, records=None):
    import quarn

    def count():
        return quarn.count(path, records=records)

    alone, cpu, took, stalls, idle = [], [], [], [], []
    count()  # warm: the file in the page cache
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        count()
        alone.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
        t, stall = ticking(count)
        took.append(t)
        stalls.append(stall)
        # The same wait with nothing running: what the machine itself delays the thread by.
        idle.append(ticking(lambda t=t: time.sleep(t))[1])
    return {"alone": alone, "cpu": cpu, "ticked": took, "stall": stalls, "idle": idle}


class Boom(Exception):
    pass


def child_interrupt(path, repeat, *fields):
    import gc
    from functools import partial

    import quarn

    # With fields, most of every record is only passed over by the parser: nothing is built
    # there, and the checks must come all the same.
    load = partial(quarn.load, fields=list(fields)) if fields else quarn.load

    # The collector off: what quarn's own checks answer. On: a collection of the whole result
    # (quarn's settling one, or the interpreter's own right after) cannot be interrupted.
    out, rnd = {}, random.Random(0)
    for collector in (False, True):
        (gc.enable if collector else gc.disable)()
        start = time.perf_counter()
        load(path)
        full = time.perf_counter() - start
        late = []
        for _ in range(repeat):
            fired, armed = [], [True]

            def handler(signum, frame, fired=fired, armed=armed):
                if armed[0]:
                    fired.append(time.perf_counter())
                    raise Boom

            signal.signal(signal.SIGALRM, handler)
            delay = rnd.uniform(0.05, 0.95) * full
            start = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, delay)
            try:
                load(path)
                armed[0] = False
            except Boom:
                late.append(fired[0] - start - delay)
            signal.setitimer(signal.ITIMER_REAL, 0)
        out["gc" if collector else "nogc"] = {"full": full, "late": late}
    return out


CHILDREN = {"stall": child_stall, "interrupt": child_interrupt}


def run_child(case, path, repeat, *extra):
    done = subprocess.run(
        [sys.executable, __file__, "--child", case, str(path), str(repeat), *extra],
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode:
        raise SystemExit(f"{case} on {path} failed:\n{done.stderr[-2000:]}")
    return json.loads(done.stdout.splitlines()[-1])


def ms(seconds):
    return f"{seconds * 1000:8.1f} ms"


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        case, path, repeat, *extra = sys.argv[2:]
        print(json.dumps(CHILDREN[case](path, int(repeat), *extra)))
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=parse_size, default=parse_size("1G"))
    parser.add_argument("--load-size", type=parse_size, default=parse_size("200M"))
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="make the files here and reuse them")
    args = parser.parse_args()
    folder = Path(args.keep or tempfile.mkdtemp(prefix="quarn-stall-"))
    folder.mkdir(parents=True, exist_ok=True)

    def file(fmt, size):
        path = folder / f"tweets-{size}.{fmt}"
        if not path.exists():
            make_file(str(path), size, fmt)
        return path

    def nested(size):
        # {"skip": <half>, "records": <half>}: an array of tweets beside as large a value.
        path = folder / f"nested-{size}.json"
        if not path.exists():
            half = file("json", size // 2)
            with open(path, "wb") as out:
                for head in (b'{"skip": ', b', "records": '):
                    out.write(head)
                    with open(half, "rb") as f:
                        while chunk := f.read(1 << 24):
                            out.write(chunk)
                out.write(b"}")
        return path

    try:
        print(
            f"count with a thread waking every 1 ms (target: longest stall < {STALL_TARGET_MS} ms)"
        )
        for fmt in ("jsonl", "json", "records"):
            path = nested(args.size) if fmt == "records" else file(fmt, args.size)
            extra = ("/records",) if fmt == "records" else ()
            got = run_child("stall", path, args.repeat, *extra)
            mb = os.path.getsize(path) / 1e6
            alone = min(got["alone"])
            print(
                f"  {fmt:7} {mb:7.0f} MB: alone best {ms(alone)} ({mb / alone:6.0f} MB/s, "
                f"processor time {ms(min(got['cpu']))}), "
                f"ticked best {ms(min(got['ticked']))}, longest stall "
                f"median {ms(statistics.median(got['stall']))}, max {ms(max(got['stall']))} "
                f"(idle machine's: max {ms(max(got['idle']))})"
            )
        print(f"load interrupted by a timer (target: handler late < {LATENCY_TARGET_MS:.0f} ms)")
        for fmt, fields in (("json", ()), ("jsonl", ()), ("json", ("id",))):
            path = file(fmt, args.load_size)
            got = run_child("interrupt", path, args.repeat, *fields)
            name = f"{fmt} fields={list(fields)}" if fields else fmt
            for key, label in (("nogc", "collector off"), ("gc", "collector on")):
                late = got[key]["late"] or [float("nan")]
                print(
                    f"  {name:18} {os.path.getsize(path) / 1e6:7.0f} MB, {label:13} "
                    f"(load {ms(got[key]['full'])}): late median "
                    f"{ms(statistics.median(late))}, max {ms(max(late))} "
                    f"({len(got[key]['late'])} of {args.repeat} runs interrupted)"
                )
    finally:
        if not args.keep:
            for path in folder.iterdir():
                path.unlink()
            folder.rmdir()


if __name__ == "__main__":
    main()
