"""Deterministic large JSON documents whose records sit in a nested array.

    python bench/make_nested.py geojson|export SIZE OUT     (SIZE like 256M, 8M)

geojson: a FeatureCollection of Polygon features (float coordinates, unicode
place names, numbers of every kind); export: {"meta": {...}, "data": [...]}
as portal exports write them, rows of objects with nested fields.
"""

import json
import random
import sys

NAMES = ["Zürich", "São Paulo", "Kraków", "Москва", "東京", "Αθήνα", "Reykjavík", "Québec", "ĀĒĪŌŪ"]


def feature(rng, i):
    cx, cy = rng.uniform(-180, 180), rng.uniform(-80, 80)
    ring = [
        [round(cx + rng.uniform(-1, 1), 6), round(cy + rng.uniform(-1, 1), 6)]
        for _ in range(rng.randint(4, 24))
    ]
    ring.append(ring[0])
    return {
        "type": "Feature",
        "id": i,
        "geometry": {"type": "Polygon", "coordinates": [ring]},
        "properties": {
            "name": f"{rng.choice(NAMES)} {i}",
            "population": rng.randint(0, 10**7),
            "area_km2": round(rng.uniform(0.1, 5000), 3),
            "density": rng.random() * 1e3,
            "capital": rng.random() < 0.05,
            "tags": rng.sample(["river", "coast", "hill", "old town", "port"], rng.randint(0, 3)),
            "note": None if rng.random() < 0.7 else '“quoted” \\ "escaped"',
        },
    }


def row(rng, i):
    return {
        "id": i,
        "created": f"2023-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}T12:{rng.randint(0, 59):02d}:00Z",
        "city": rng.choice(NAMES),
        "amount": round(rng.uniform(-1e4, 1e6), 2),
        "count": rng.randint(-(2**40), 2**40),
        "ratio": rng.random(),
        "flags": [rng.random() < 0.5 for _ in range(rng.randint(0, 4))],
        "location": {"lat": rng.uniform(-90, 90), "lon": rng.uniform(-180, 180)},
    }


def write(kind, size, out):
    rng = random.Random(13)
    if kind == "geojson":
        head, key, make, tail = (
            '{"type":"FeatureCollection","name":"places",',
            "features",
            feature,
            ',"bbox":[-180,-90,180,90]}',
        )
    else:
        meta = {
            "view": {
                "id": "abcd-1234",
                "name": "Payments — 2023",
                "columns": [{"name": k, "type": "text"} for k in row(rng, 0)],
            }
        }
        head, key, make, tail = (
            '{"meta":' + json.dumps(meta, ensure_ascii=False) + ",",
            "data",
            row,
            "}",
        )
    with open(out, "w", encoding="utf-8") as f:
        written = f.write(head + f'"{key}":[')
        i = 0
        while written < size:
            text = json.dumps(make(rng, i), ensure_ascii=False, separators=(",", ":"))
            written += f.write(("," if i else "") + text)
            i += 1
        f.write("]" + tail)
    return i


def parse_size(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return (
        int(float(text[:-1]) * units[text[-1].upper()]) if text[-1].upper() in units else int(text)
    )


if __name__ == "__main__":
    print(write(sys.argv[1], parse_size(sys.argv[2]), sys.argv[3]))
