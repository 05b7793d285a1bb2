"""Resident-set growth of loading one collection file, for one contender.

    python bench/rss_probe.py {moxal,json,orjson,sqlite3} DIR

bench.py runs this once per contender, each in a fresh process, so that
memory one load leaves behind (freed but kept by the allocator, or held in
caches) does not count against the next. Prints one JSON object with the
resident set size in bytes before and after the load; the loaded data stays
alive until after the second reading, as it would in a program using it.
"""

from __future__ import annotations

import gc
import json
import os
import sqlite3
import sys


def rss_bytes() -> int:
    """The resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        resident_pages = int(f.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE")


def load_moxal(directory: str) -> object:
    import moxal
    return moxal.Moxal(directory)


def load_json(directory: str) -> object:
    with open(os.path.join(directory, "users.json")) as f:
        return json.load(f)


def load_orjson(directory: str) -> object:
    import orjson
    with open(os.path.join(directory, "users.json"), "rb") as f:
        return orjson.loads(f.read())


def load_sqlite3(directory: str) -> object:
    with open(os.path.join(directory, "users.json")) as f:
        text = f.read()
    con = sqlite3.connect(":memory:")
    con.execute("CREATE TABLE docs(body TEXT)")
    con.execute("INSERT INTO docs SELECT value FROM json_each(?)", (text,))
    con.commit()
    return con


LOADERS = {"moxal": load_moxal, "json": load_json, "orjson": load_orjson,
           "sqlite3": load_sqlite3}


def main() -> None:
    contender, directory = sys.argv[1], sys.argv[2]
    load = LOADERS[contender]
    # Import the contender's module first: its code is not part of the growth.
    if contender in ("moxal", "orjson"):
        __import__(contender)
    gc.collect()
    before = rss_bytes()
    loaded = load(directory)
    gc.collect()
    after = rss_bytes()
    print(json.dumps({"contender": contender, "before": before, "after": after}))
    del loaded


if __name__ == "__main__":
    main()
