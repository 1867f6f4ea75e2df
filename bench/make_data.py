r"""Large, realistic JSON and JSON Lines files, deterministic and fast.

    python bench/make_data.py --size 256M [--format json|jsonl] [--kind tweets|numbers]
                              [--seed N] OUT

SIZE is a byte count with an optional K, M or G suffix (powers of 1024); records are added until
the file holds at least SIZE bytes. Records are compact UTF-8 JSON. jsonl: one record per line,
each ending in "\n". json: one array, "[\n", the records separated by ",\n", then "\n]\n".

Kinds:
- tweets: statuses shaped like a social network's search API gives them: a user object with its
  own entities, hashtag, mention and URL entities with index pairs, nulls, booleans, places with
  bounding boxes, now and then a retweeted status nested inside, text in many scripts (accents,
  CJK, Cyrillic, Arabic, emoji outside the BMP) with escapes; ids near 2^59, negative UTC offsets,
  float coordinates, scores with exponents, an occasional integer near 2^63.
- numbers: arrays of 1-64 numbers: small and large, negative, the 64-bit limits, floats with and
  without exponents, subnormals.

A pool of distinct records is drawn from the seed; each record written is one of them with fresh
ids and counters, so writing runs at the speed of joining bytes (1 GiB takes a few seconds). The
same arguments give the same bytes.

For tests: ``make_file(path, size, fmt="jsonl", kind="tweets", seed=0)`` writes a file and
returns (records, bytes); ``records(kind, seed)`` yields the encoded records for ever.
"""

import argparse
import itertools
import json
import random
import re

POOL = 256

WORDS = [
    "data",
    "release",
    "today",
    "great",
    "thanks",
    "new",
    "version",
    "open",
    "source",
    "meetup",
    "café",
    "naïve",
    "façade",
    "Zürich",
    "São",
    "Paulo",
    "Ελληνικά",
    "русский",
    "текст",
    "日本語",
    "東京",
    "こんにちは",
    "中文",
    "北京",
    "한국어",
    "서울",
    "العربية",
    "עברית",
    "हिन्दी",
    "😀",
    "🎉",
    "🚀",
    "👍🏽",
    "𝄞",
    "tab\there",
    "line\nbreak",
    'say "hi"',
    "back\\slash",
    "</script>",
    "\u2028",
    "a&amp;b",
    "&lt;3",
    "100%",
    "#1",
]
NAMES = [
    "Ana",
    "Björn",
    "Chloé",
    "Dmitri",
    "Ekaterina",
    "Fatima",
    "Göran",
    "Hiro",
    "Ifeoma",
    "José",
    "Kenji",
    "Łucja",
    "Mårten",
    "Nguyễn",
    "Olúwásẹ́un",
    "Priya",
    "Quỳnh",
    "Rania",
    "さくら",
    "王芳",
    "김민준",
    "Иван",
    "محمد",
    "🦊 fox",
]
SOURCES = [
    '<a href="http://twitter.com/download/iphone" rel="nofollow">Twitter for iPhone</a>',
    '<a href="http://twitter.com/download/android" rel="nofollow">Twitter for Android</a>',
    '<a href="https://mobile.twitter.com" rel="nofollow">Mobile Web</a>',
    "web",
]
ZONES = [
    ("Tokyo", 32400),
    ("London", 0),
    ("Eastern Time (US & Canada)", -18000),
    ("Pacific Time (US & Canada)", -28800),
    ("Brasilia", -10800),
    ("Moscow", 10800),
    ("Kolkata", 19800),
    ("Newfoundland", -12600),
    None,
]
LANGS = ["en", "ja", "es", "pt", "ru", "ar", "ko", "zh", "fr", "de", "und"]
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
EDGE_NUMBERS = [
    0,
    -1,
    1,
    2**53 + 1,
    2**63 - 1,
    -(2**63),
    2**64 - 1,
    0.0,
    -0.0,
    0.1,
    1e-7,
    1e21,
    1.7976931348623157e308,
    5e-324,
    2.2250738585072014e-308,
    -2.5e-300,
]

# Stand-ins for the per-record fields, replaced in the encoded template. They cannot occur in
# generated text (digits only, outside every range drawn below).
SLOTS = [7770000000000000001, 7770000000000000002, 7770000000000000003, 7770000000000000004]
FIRST_ID = 505874924095815681


def text(rng, low=1, high=14):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(low, high)))


def date(rng):
    return (
        f"{rng.choice(DAYS)} {rng.choice(MONTHS)} {rng.randint(1, 28):02d} "
        f"{rng.randint(0, 23):02d}:{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d} "
        f"+0000 {rng.randint(2007, 2024)}"
    )


def url(rng):
    slug = "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(10))
    return {
        "url": f"http://t.co/{slug}",
        "expanded_url": f"https://example.org/{slug}/page",
        "display_url": f"example.org/{slug}/…",
        "indices": sorted(rng.sample(range(140), 2)),
    }


def user(rng):
    uid = rng.randint(10**6, 3 * 10**9)
    zone = rng.choice(ZONES)
    name = rng.choice(NAMES)
    return {
        "id": uid,
        "id_str": str(uid),
        "name": name,
        "screen_name": f"{name.encode('ascii', 'ignore').decode() or 'user'}{uid % 10000}",
        "location": rng.choice(["", "Tokyo", "東京都", "São Paulo, Brasil", "Москва", "🌍"]),
        "description": text(rng, 0, 20),
        "url": None if rng.random() < 0.6 else url(rng)["url"],
        "entities": {"description": {"urls": [url(rng) for _ in range(rng.randint(0, 1))]}},
        "protected": rng.random() < 0.05,
        "followers_count": rng.randint(0, 2_000_000),
        "friends_count": rng.randint(0, 5000),
        "listed_count": rng.randint(0, 900),
        "created_at": date(rng),
        "favourites_count": rng.randint(0, 90_000),
        "utc_offset": zone and zone[1],
        "time_zone": zone and zone[0],
        "geo_enabled": rng.random() < 0.3,
        "verified": rng.random() < 0.02,
        "statuses_count": rng.randint(1, 400_000),
        "lang": rng.choice(LANGS),
        "contributors_enabled": False,
        "is_translator": False,
        "is_translation_enabled": rng.random() < 0.1,
        "profile_background_color": f"{rng.randrange(1 << 24):06X}",
        "profile_background_image_url": f"http://abs.example.org/images/themes/theme{uid % 20}/bg.png",
        "profile_background_image_url_https": f"https://abs.example.org/images/themes/theme{uid % 20}/bg.png",
        "profile_background_tile": rng.random() < 0.3,
        "profile_image_url": f"http://pbs.example.org/profile_images/{uid}/{uid % 977}_normal.jpeg",
        "profile_image_url_https": f"https://pbs.example.org/profile_images/{uid}/{uid % 977}_normal.jpeg",
        "profile_banner_url": f"https://pbs.example.org/profile_banners/{uid}/{uid % 10**9}",
        "profile_link_color": f"{rng.randrange(1 << 24):06X}",
        "profile_sidebar_border_color": f"{rng.randrange(1 << 24):06X}",
        "profile_sidebar_fill_color": f"{rng.randrange(1 << 24):06X}",
        "profile_text_color": f"{rng.randrange(1 << 24):06X}",
        "has_extended_profile": rng.random() < 0.5,
        "profile_use_background_image": rng.random() < 0.8,
        "default_profile": rng.random() < 0.4,
        "following": False,
        "follow_request_sent": False,
        "notifications": False,
    }


def place(rng):
    lon, lat = rng.uniform(-180, 180), rng.uniform(-85, 85)
    box = [
        [
            [round(lon + dx, 6), round(lat + dy, 6)]
            for dx, dy in ((0, 0), (0.25, 0), (0.25, 0.2), (0, 0.2))
        ]
    ]
    return {
        "id": f"{rng.randrange(1 << 64):016x}",
        "place_type": "city",
        "full_name": rng.choice(["Shibuya, Tokyo", "Zürich, Schweiz", "Brooklyn, NY"]),
        "country_code": rng.choice(["JP", "CH", "US", "BR"]),
        "bounding_box": {"type": "Polygon", "coordinates": box},
        "attributes": {},
    }


def status(rng, nested=True):
    sid = rng.randint(FIRST_ID - 10**12, FIRST_ID)
    geo = None
    if rng.random() < 0.15:
        geo = {"type": "Point", "coordinates": [rng.uniform(-90, 90), rng.uniform(-180, 180)]}
    record = {
        "metadata": {
            "result_type": "recent",
            "iso_language_code": rng.choice(LANGS),
            "score": rng.uniform(1, 9) * 10.0 ** rng.randint(-12, 3),
        },
        "created_at": date(rng),
        "id": sid,
        "id_str": str(sid),
        "text": text(rng),
        "source": rng.choice(SOURCES),
        "truncated": False,
        "in_reply_to_status_id": None,
        "in_reply_to_status_id_str": None,
        "in_reply_to_user_id": None,
        "in_reply_to_screen_name": None,
        "user": user(rng),
        "geo": geo,
        "coordinates": geo and {"type": "Point", "coordinates": geo["coordinates"][::-1]},
        "place": place(rng) if rng.random() < 0.1 else None,
        "contributors": None,
        "retweet_count": rng.randint(0, 5000),
        "favorite_count": rng.randint(0, 5000),
        "entities": {
            "hashtags": [
                {"text": rng.choice(WORDS), "indices": sorted(rng.sample(range(140), 2))}
                for _ in range(rng.choice([0, 0, 1, 2, 3]))
            ],
            "symbols": [],
            "urls": [url(rng) for _ in range(rng.choice([0, 1, 1, 2]))],
            "user_mentions": [
                {
                    "screen_name": f"u{rng.randrange(10**6)}",
                    "name": rng.choice(NAMES),
                    "id": (m := rng.randint(1, 3 * 10**9)),
                    "id_str": str(m),
                    "indices": sorted(rng.sample(range(140), 2)),
                }
                for _ in range(rng.choice([0, 1, 1, 2]))
            ],
        },
        "favorited": False,
        "retweeted": False,
        "lang": rng.choice(LANGS),
    }
    if rng.random() < 0.3:
        replied = rng.randint(FIRST_ID - 10**13, FIRST_ID)
        record["in_reply_to_status_id"], record["in_reply_to_status_id_str"] = replied, str(replied)
        record["in_reply_to_user_id"] = rng.randint(1, 3 * 10**9)
        record["in_reply_to_screen_name"] = f"u{rng.randrange(10**6)}"
    if rng.random() < 0.1:
        record["possibly_sensitive"] = rng.random() < 0.1
    if rng.random() < 0.02:
        # Large, but within int64: yajl (ijson's parser, a peer of the iter case) rejects more.
        record["withheld_checksum"] = rng.randint(2**62, 2**63 - 1)
    if nested and rng.random() < 0.25:
        record["retweeted_status"] = status(rng, nested=False)
    return record


def tweet_templates(rng):
    """Encoded statuses split around the fields that change from copy to copy."""
    templates = []
    for _ in range(POOL):
        record = status(rng)
        record["id"], record["id_str"] = SLOTS[0], str(SLOTS[0])
        record["retweet_count"], record["favorite_count"] = SLOTS[2], SLOTS[3]
        data = json.dumps(record, ensure_ascii=False, separators=(",", ":"))
        data = data.replace(f'"{SLOTS[0]}"', f'"{SLOTS[1]}"')  # the id_str slot
        parts = re.split("(" + "|".join(map(str, SLOTS)) + ")", data)
        templates.append(
            ([p.encode() for p in parts[::2]], [SLOTS.index(int(s)) for s in parts[1::2]])
        )
    return templates


def tweets(rng):
    templates = tweet_templates(rng)
    for n in itertools.count():
        fragments, slots = templates[rng.randrange(POOL)]
        sid = FIRST_ID + n
        values = [
            b"%d" % sid,
            b"%d" % sid,
            b"%d" % rng.randrange(10000),
            b"%d" % rng.randrange(10000),
        ]
        out = [fragments[0]]
        for slot, fragment in zip(slots, fragments[1:]):
            out += (values[slot], fragment)
        yield b"".join(out)


def number(rng):
    r = rng.random()
    if r < 0.05:
        return rng.choice(EDGE_NUMBERS)
    if r < 0.35:
        return rng.randint(-1000, 1000)
    if r < 0.50:
        return rng.randint(-(2**63), 2**64 - 1)
    if r < 0.80:
        return round(rng.uniform(-1000.0, 1000.0), rng.randint(0, 6))
    return rng.uniform(-1.0, 1.0) * 10.0 ** rng.randint(-300, 300)


def numbers(rng):
    pool = [
        json.dumps([number(rng) for _ in range(rng.randint(1, 64))], separators=(",", ":")).encode()
        for _ in range(POOL * 4)
    ]
    while True:
        yield pool[rng.randrange(len(pool))]


KINDS = {"tweets": tweets, "numbers": numbers}


def records(kind="tweets", seed=0):
    """Encoded records (bytes, no separator) for ever."""
    return KINDS[kind](random.Random(seed))


def make_file(path, size, fmt="jsonl", kind="tweets", seed=0):
    """Writes at least `size` bytes of records to `path`; returns (records, bytes)."""
    head, sep, tail = (b"[\n", b",\n", b"\n]\n") if fmt == "json" else (b"", b"\n", b"\n")
    count = written = 0
    batch = []
    with open(path, "wb") as out:
        out.write(head)
        written += len(head)
        for data in records(kind, seed):
            if count:
                batch.append(sep)
            batch.append(data)
            written += len(data) + (len(sep) if count else 0)
            count += 1
            if written + len(tail) >= size:
                break
            if len(batch) >= 4096:
                out.write(b"".join(batch))
                batch.clear()
        batch.append(tail)
        out.write(b"".join(batch))
        written += len(tail)
    return count, written


def parse_size(text):
    m = re.fullmatch(r"([1-9][0-9]*)([KMG]?)", text.strip().upper())
    if not m:
        raise argparse.ArgumentTypeError(f"bad size {text!r} (try 1G, 256M, 4096)")
    return int(m.group(1)) * 1024 ** " KMG".index(m.group(2) or " ")


def main():
    parser = argparse.ArgumentParser(description="Writes large realistic JSON or JSON Lines.")
    parser.add_argument("--size", required=True, type=parse_size, help="e.g. 1G, 256M, 4096")
    parser.add_argument("--format", default="jsonl", choices=["json", "jsonl"])
    parser.add_argument("--kind", default="tweets", choices=sorted(KINDS))
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("out")
    args = parser.parse_args()
    count, written = make_file(args.out, args.size, args.format, args.kind, args.seed)
    print(
        f"{args.out}: {count} records, {written} bytes ({args.format}, {args.kind}, "
        f"seed {args.seed})"
    )


if __name__ == "__main__":
    main()
