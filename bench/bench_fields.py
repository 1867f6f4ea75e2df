"""fields=: the named parts of each record against whole records, msgspec Structs and ijson.

    python bench/bench_fields.py [--rounds N] [--dir DIR]

Every case of a table runs in this one interpreter, the cases of a round one after the
other and the rounds repeated, so all sides meet the same machine load; the median of the
rounds is reported. Files: tweets-256M.jsonl and .json from make_data.py, and a GeoJSON
FeatureCollection from make_nested.py, made in DIR when missing.

Where the time goes is read off variants of the same reading: count (the file read and cut
into records, no parsing), fields=[] (every record read and checked by the parser, an empty
dict made for each), the four fields (the same, plus the kept values made).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import msgspec
import quarn

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("QUARN_BENCH_DATA", "/work/benchdata")
FOUR = ["id", "lang", "/user/screen_name", "/entities/hashtags"]
GEO_FIELDS = ["/properties/name", "/geometry/type"]


class User(msgspec.Struct):
    screen_name: str | None = None


class Entities(msgspec.Struct):
    hashtags: list | None = None


class Tweet(msgspec.Struct):
    id: int | None = None
    lang: str | None = None
    user: User | None = None
    entities: Entities | None = None


def drain(records):
    n = 0
    for _ in records:
        n += 1
    return n


def msgspec_lines(path):
    decode = msgspec.json.Decoder(Tweet).decode
    n = 0
    with open(path, "rb") as f:
        for line in f:
            if line.strip():
                decode(line)
                n += 1
    return n


def msgspec_decode_lines(path):
    with open(path, "rb") as f:
        return len(msgspec.json.Decoder(Tweet).decode_lines(f.read()))


def msgspec_array(path):
    with open(path, "rb") as f:
        return len(msgspec.json.Decoder(list[Tweet]).decode(f.read()))


def ijson_items(path):
    """ijson's items of the array, each projected in Python: it builds every feature."""
    import ijson

    n = 0
    with open(path, "rb") as f:
        for feature in ijson.items(f, "features.item", use_float=True):
            _ = {
                "properties": {"name": feature["properties"]["name"]},
                "geometry": {"type": feature["geometry"]["type"]},
            }
            n += 1
    return n


def ijson_events(path):
    """ijson's event stream, keeping the two values: builds nothing else."""
    import ijson

    n = 0
    with open(path, "rb") as f:
        for prefix, _, value in ijson.parse(f, use_float=True):
            if prefix == "features.item.properties.name":
                n += 1
            elif prefix == "features.item.geometry.type":
                _ = value
    return n


def table(title, cases, rounds):
    """Runs the cases round-robin; returns their median times."""
    times = {name: [] for name in cases}
    counts = {}
    for _ in range(rounds):
        for name, (fn, once) in cases.items():
            if once and times[name]:
                continue
            t = time.perf_counter()
            counts[name] = fn()
            times[name].append(time.perf_counter() - t)
    medians = {name: statistics.median(ts) for name, ts in times.items()}
    print(f"\n{title}")
    for name, t in medians.items():
        print(f"  {name:34} {t:7.3f} s  ({counts[name]} records, {len(times[name])} runs)")
    return medians


def ratio(medians, fast, slow, target=None):
    r = medians[slow] / medians[fast]
    goal = f" (target >= {target})" if target else ""
    print(f"  {fast} is {r:.2f}x faster than {slow}{goal}")


def run(ctx):
    """Entry for bench/run.py."""
    directory = getattr(ctx, "keep", None) or os.path.join(DATA, "fields")
    measure(argparse.Namespace(rounds=3 if ctx.quick else 5, dir=directory))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--dir", default=os.path.join(DATA, "fields"))
    measure(parser.parse_args())


def measure(args):
    lines = os.path.join(DATA, "tweets-256M.jsonl")
    array = os.path.join(DATA, "tweets-256M.json")
    geo = os.path.join(args.dir, "geojson-256M.json")
    if not os.path.exists(geo):
        os.makedirs(args.dir, exist_ok=True)
        subprocess.run(
            [sys.executable, os.path.join(HERE, "make_nested.py"), "geojson", "256M", geo],
            check=True,
        )
    print(
        f"quarn {quarn.__version__}, msgspec {msgspec.__version__}, python {sys.version.split()[0]}"
    )

    m = table(
        f"JSON Lines {lines}, fields {FOUR}",
        {
            "iter_records(fields=four)": (
                lambda: drain(quarn.iter_records(lines, fields=FOUR)),
                False,
            ),
            "iter_records (whole records)": (lambda: drain(quarn.iter_records(lines)), False),
            "msgspec Decoder(Struct) per line": (lambda: msgspec_lines(lines), False),
            "iter_records(fields=[]) (check only)": (
                lambda: drain(quarn.iter_records(lines, fields=[])),
                False,
            ),
            "count (read and cut only)": (lambda: quarn.count(lines), False),
            "load(fields=four)": (lambda: len(quarn.load(lines, fields=FOUR)), False),
            "msgspec decode_lines": (lambda: msgspec_decode_lines(lines), False),
        },
        args.rounds,
    )
    ratio(m, "iter_records(fields=four)", "iter_records (whole records)", 4)
    ratio(m, "iter_records(fields=four)", "msgspec Decoder(Struct) per line", 2)
    ratio(m, "load(fields=four)", "msgspec decode_lines")
    read = m["count (read and cut only)"]
    check = m["iter_records(fields=[]) (check only)"] - read
    build = m["iter_records(fields=four)"] - m["iter_records(fields=[]) (check only)"]
    print(
        f"  where the time goes: read+cut {read:.3f} s, parse/check {check:.3f} s, "
        f"build the four {build:.3f} s"
    )

    m = table(
        f"JSON array {array}, fields {FOUR}",
        {
            "iter_records(fields=four)": (
                lambda: drain(quarn.iter_records(array, fields=FOUR)),
                False,
            ),
            "iter_records (whole records)": (lambda: drain(quarn.iter_records(array)), False),
            "load(fields=four)": (lambda: len(quarn.load(array, fields=FOUR)), False),
            "msgspec Decoder(list[Struct])": (lambda: msgspec_array(array), False),
            "count (block scanner over every byte)": (lambda: quarn.count(array), False),
        },
        args.rounds,
    )
    ratio(m, "iter_records(fields=four)", "iter_records (whole records)", 4)
    ratio(m, "load(fields=four)", "msgspec Decoder(list[Struct])", 2)

    m = table(
        f"GeoJSON {geo}, records=/features, fields {GEO_FIELDS}",
        {
            "iter_records(fields=two)": (
                lambda: drain(quarn.iter_records(geo, records="/features", fields=GEO_FIELDS)),
                False,
            ),
            "iter_records (whole features)": (
                lambda: drain(quarn.iter_records(geo, records="/features")),
                False,
            ),
            "load(fields=two)": (
                lambda: len(quarn.load(geo, records="/features", fields=GEO_FIELDS)),
                False,
            ),
            "ijson items + projection (yajl2_c)": (lambda: ijson_items(geo), True),
            "ijson parse events (yajl2_c)": (lambda: ijson_events(geo), True),
        },
        args.rounds,
    )
    ratio(m, "iter_records(fields=two)", "iter_records (whole features)", 4)
    ratio(m, "iter_records(fields=two)", "ijson items + projection (yajl2_c)")
    ratio(m, "iter_records(fields=two)", "ijson parse events (yajl2_c)")


if __name__ == "__main__":
    main()
