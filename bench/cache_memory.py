"""What a full result cache costs in memory.

    python bench/cache_memory.py [--count N]

Opens the generated collection (see generate.py), then fills the cache with
100 distinct queries of one kind and reports the growth of the resident set.
Each kind runs in a fresh process, so memory freed by one does not hide the
cost of the next. Cached results share their documents with the collection,
so an entry costs a pointer per matching document, not a copy of it.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import generate  # noqa: E402

CITIES = ["Lyon", "Paris", "Nice", "Lille", "Oslo", "Rome", "Riga", "Bern", "Graz", "Linz"]


def queries(kind: str) -> list[dict]:
    if kind == "range":  # about 15% of the documents each
        return [{"age": {"$gt": 78 + i * 1e-6}} for i in range(100)]
    return [{"address.city": CITIES[i % 10], "age": {"$gte": 18 + i // 10}} for i in range(100)]


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure(directory: str, kind: str) -> None:
    """In a child process: print the documents cached and the RSS growth."""
    import moxal
    db = moxal.Moxal(directory)
    before = rss()
    cached = sum(len(db.find("users", q)) for q in queries(kind))
    print(cached, rss() - before)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--kind", choices=["range", "selective"], help=argparse.SUPPRESS)
    ap.add_argument("--dir", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.kind:
        measure(args.dir, args.kind)
        return
    directory = os.path.join(HERE, "data", f"n{args.count}")
    if not os.path.exists(os.path.join(directory, "users.json")):
        generate.write_collection(directory, generate.documents(args.count))
    print(f"full cache of 100 results over {args.count:,} documents")
    for kind in ("range", "selective"):
        out = subprocess.run([sys.executable, __file__, "--kind", kind, "--dir", directory],
                             capture_output=True, text=True, check=True).stdout.split()
        docs, grown = int(out[0]), int(out[1])
        print(f"  {kind:9}: {docs:>9,} cached documents, resident set +{grown / 1e6:.2f} MB "
              f"({grown / max(docs, 1):.1f} bytes per cached document)")


if __name__ == "__main__":
    main()
