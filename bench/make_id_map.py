"""A JSON document that is one object keyed by id (no arrays at its top), as exports of
lookup tables and caches write them.

    python bench/make_id_map.py SIZE OUT     (SIZE like 256M, 8M)
"""

import json
import random
import sys

from make_nested import NAMES, parse_size


def member(rng, i):
    return {
        "name": f"{rng.choice(NAMES)} {i}",
        "score": round(rng.uniform(0, 100), 3),
        "active": rng.random() < 0.5,
        "tags": rng.sample(["a", "b", "c", "d"], rng.randint(0, 3)),
        "parent": None if rng.random() < 0.3 else f"id{rng.randrange(i + 1):08d}",
    }


def write(size, out):
    rng = random.Random(7)
    with open(out, "w", encoding="utf-8") as f:
        written = f.write("{")
        i = 0
        while written < size:
            text = json.dumps(member(rng, i), ensure_ascii=False, separators=(",", ":"))
            written += f.write(("," if i else "") + f'"id{i:08d}":' + text)
            i += 1
        f.write("}")
    return i


if __name__ == "__main__":
    print(write(parse_size(sys.argv[1]), sys.argv[2]))
