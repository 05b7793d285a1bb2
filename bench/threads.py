"""Threads beside moxal calls.

    python bench/threads.py [--count N] [--repeat R]

1. Two threads, two objects: the throughput of opening a directory and
   finding in it, in two threads at once versus one thread doing both in
   turn. Each object opens its own copy of the generated collection
   (100,000 documents, about 21.6 MB, by default) and runs a cold range
   query. The work of both calls runs without the interpreter lock, so on
   two cores the two threads should take little more than one of them alone.
2. An asyncio event loop whose handlers call moxal through
   asyncio.to_thread, as a server does: the latency of a "ping" (a task
   that sleeps 1 ms in a loop, the stand-in for a request that needs no
   database) while another task finds every document, again and again.
   Building the result holds the interpreter lock, but lets the loop's
   thread in every switch interval, so pings wait milliseconds, not the
   length of the find.

The longest pause of another thread during each long call, at any size:

    python tests/test_threads.py --docs 1000000
"""

from __future__ import annotations

import argparse
import asyncio
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

import moxal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import generate  # noqa: E402


def job(directory: str) -> None:
    db = moxal.Moxal(directory)
    db.find("users", {"age": {"$gt": 76}})


def in_turn(dirs: list[str]) -> float:
    start = time.perf_counter()
    for d in dirs:
        job(d)
    return time.perf_counter() - start


def in_parallel(dirs: list[str]) -> float:
    threads = [threading.Thread(target=job, args=(d,)) for d in dirs]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - start


async def ping_latencies(db: moxal.Moxal, seconds: float) -> tuple[list[float], int]:
    """How late each 1 ms sleep of a ping task wakes (ms) while another task
    runs find() of every document in a worker thread; and how many finds."""
    late: list[float] = []
    finds = 0
    done = False

    async def ping() -> None:
        while not done:
            start = time.perf_counter()
            await asyncio.sleep(0.001)
            late.append((time.perf_counter() - start) * 1e3 - 1)

    async def finder() -> None:
        nonlocal finds
        while not done:
            await asyncio.to_thread(db.find, "users")
            finds += 1

    tasks = [asyncio.create_task(ping()), asyncio.create_task(finder())]
    await asyncio.sleep(seconds)
    done = True
    await asyncio.gather(*tasks)
    return late, finds


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    base = tempfile.mkdtemp(prefix="moxal-threads-")
    try:
        first = os.path.join(base, "a")
        generate.write_collection(first, generate.documents(args.count))
        second = os.path.join(base, "b")
        shutil.copytree(first, second)
        dirs = [first, second]
        in_turn(dirs)  # warm-up: page cache, allocator
        turns = [in_turn(dirs) for _ in range(args.repeat)]
        parallel = [in_parallel(dirs) for _ in range(args.repeat)]
        t, p = statistics.median(turns), statistics.median(parallel)
        size = os.path.getsize(os.path.join(first, "users.json")) / 1e6
        print(f"{args.count:,} documents ({size:.1f} MB) per object, open + find age > 76, "
              f"median of {args.repeat}")
        print(f"  one thread, two objects in turn   {t * 1e3:8.1f} ms")
        print(f"  two threads, one object each      {p * 1e3:8.1f} ms"
              f"   ({t / p:.2f}x the throughput)")
        db = moxal.Moxal(first)
        late, finds = asyncio.run(ping_latencies(db, 3.0))
        late.sort()
        print(f"asyncio ping (1 ms sleep) while find() of all {args.count:,} documents runs "
              f"in asyncio.to_thread, 3 s ({finds} finds):")
        print(f"  late by: median {statistics.median(late):.2f} ms, "
              f"99th percentile {late[len(late) * 99 // 100]:.2f} ms, max {late[-1]:.2f} ms")
    finally:
        shutil.rmtree(base, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
