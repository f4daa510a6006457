"""Makes the inputs of the keyed benchmarks, so that anyone can make the same files again.

    .venv/bin/python bench/keyed_data.py logs|jsonl|csv|random PATH [--mib 256] [--seed 1]

- logs: "2026-03-13T20:03:04.840Z host-07 INFO GET 4312 200 85ms /api/items/12 req=..."
  (field 5 a byte count, for -k5,5n);
- jsonl: {"user": {"id": 339563, "country": "NG"}, "ts": "...", "event": "logout",
  "amount": 425.36, "tags": ["beta"], "note": "alpha fox"}, about 170 bytes a record;
- csv: the same records flattened (user_id,country,ts,event,amount,tags,note), the note
  quoted, with a comma in one record of eight;
- random: lines of letters, digits and spaces, 64 bytes long on average (a newline is one
  byte in 64, so the lengths spread geometrically and some lines are empty).
"""

import argparse
import json
import random
import time

COUNTRIES = ["NG", "US", "DE", "FR", "BR", "IN", "JP", "GB", "KE", "MX", "CN", "ZA"]
EVENTS = ["login", "logout", "view", "click", "purchase", "refund"]
TAGS = ["beta", "mobile", "web", "trial", "vip"]
WORDS = ["alpha", "fox", "delta", "quiet", "river", "stone", "amber", "north", "cloud"]


def _stamp(rnd):
    t = 1_767_225_600 + rnd.randrange(0, 90 * 86400)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + f".{rnd.randrange(1000):03d}Z"


def _events(rnd):
    while True:
        note = " ".join(rnd.choices(WORDS, k=rnd.randint(1, 3)))
        if rnd.random() < 0.125:
            note += ", again"
        yield {
            "user": {"id": rnd.randrange(1, 1_000_000), "country": rnd.choice(COUNTRIES)},
            "ts": _stamp(rnd),
            "event": rnd.choice(EVENTS),
            "amount": round(rnd.uniform(0, 1000), 2),
            "tags": rnd.sample(TAGS, rnd.randint(0, 2)),
            "note": note,
        }


def _log_lines(rnd):
    levels = ["INFO", "INFO", "INFO", "WARN", "ERROR", "DEBUG"]
    paths = ["/api/users", "/api/orders", "/static/app.js", "/login", "/api/items/%d"]
    while True:
        p = rnd.choice(paths)
        if "%d" in p:
            p %= rnd.randint(1, 99999)
        yield (f"{_stamp(rnd)} host-{rnd.randint(1, 40):02d} {rnd.choice(levels)} GET "
               f"{rnd.randint(0, 2_000_000)} {rnd.choice([200, 200, 304, 404, 500])} "
               f"{rnd.randint(1, 5000)}ms {p} req={rnd.getrandbits(64):016x}\n")


def _jsonl(rnd):
    dumps = json.dumps
    for ev in _events(rnd):
        yield dumps(ev) + "\n"


def _csv(rnd):
    yield "user_id,country,ts,event,amount,tags,note\n"
    for ev in _events(rnd):
        yield (f'{ev["user"]["id"]},{ev["user"]["country"]},{ev["ts"]},{ev["event"]},'
               f'{ev["amount"]},{"|".join(ev["tags"])},"{ev["note"]}"\n')


# A newline for 4 of the 256 byte values: lines average 64 bytes.
_RANDOM_TABLE = bytes.maketrans(
    bytes(range(256)),
    bytes(10 if v < 4 else
          b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 "[v % 63]
          for v in range(256)))


def _random_lines(rnd):
    # Whole blocks translated at once: a gibibyte drawn a line at a time takes minutes.
    tail = ""
    while True:
        lines = (tail + rnd.randbytes(1 << 20).translate(_RANDOM_TABLE).decode()).split("\n")
        tail = lines.pop()
        for line in lines:
            yield line + "\n"


MAKERS = {"logs": _log_lines, "jsonl": _jsonl, "csv": _csv, "random": _random_lines}


def write(kind, path, size, seed=1):
    rnd = random.Random(seed)
    records = MAKERS[kind](rnd)
    with open(path, "w", encoding="utf-8", newline="") as f:
        written = 0
        while written < size:
            block = "".join(next(records) for _ in range(10000))
            f.write(block)
            written += len(block)


if __name__ == "__main__":
    ap = argparse.ArgumentParser()
    ap.add_argument("kind", choices=sorted(MAKERS))
    ap.add_argument("path")
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    write(a.kind, a.path, a.mib << 20, a.seed)
