"""Per-change durability: moxal's journal against sqlite3 and TinyDB.

    python bench/journal.py [--count N] [--repeat R] [--fold-count M] [--json FILE]

Also a section of bench.py (`bench.py --only journal`). On a collection of
N small orders (100,000 by default) already in place, like

    {"order_id": 7, "customer": "c01234", "status": "new", "total": 41.5,
     "items": [{"sku": "s0042", "qty": 2, "price": 12.5}]}

it measures, in changes per second, with one thread and with eight:

1. insert: one `insert` of a new order per call;
2. update: one `update` of one order by its unique `order_id` per call
   (`{"status": {"$set": "paid"}}` where `{"order_id": k}`; moxal answers
   from the index it builds after the first lookups, which run untimed);

for moxal with journal="always" (synced before each call returns; threads
that arrive while a sync runs share the next one), journal="process"
(appended before each call returns, synced in the background), the call
followed by `write("orders")` with the journal off (the durable way without
a journal), and the call alone with the journal off (memory only); sqlite3
holding each order as JSON text with an expression index on its order_id,
one row per transaction, in WAL mode with synchronous=FULL (durable at
each commit, as "always") and with synchronous=NORMAL (durable at
checkpoints: a killed process loses nothing, as "process"), each thread
with its own connection; and TinyDB with its default JSON file storage, one
thread (it is not made for several).

3. open: opening the N orders plus a journal of N single-order updates,
   against opening the same directory once write_all folded the journal
   into the file (with the journal on, and off); each open in a fresh
   process, as a program opens its directory when it starts.
4. fold pause: while write_all folds a collection of M orders (1,000,000 by
   default), another thread looks orders up by order_id in a loop; the
   longest and the median time of one lookup during the fold, with the
   journal on (write_all lets other calls go on) and off (write holds the
   object until the file is written).
5. group commit: fdatasync calls per insert at "always", one thread and
   eight, counted by strace in a child process (skipped without strace).

Every figure is the median of the timed runs; the contenders of a job run
in turn within each round (round-robin), so a busy spell of the shared
machine hits all of them. Each run starts from a fresh copy of the
collection, made outside the clock.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import threading
import time
from typing import Callable

import orjson
from tinydb import Query, TinyDB

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
import moxal  # noqa: E402

REPO_DIR = os.path.dirname(BENCH_DIR)
THREADS = (1, 8)
FOLD_COUNT = 1_000_000
NAME = "orders"

# Calls timed per run, for each contender (one thread or eight). The slow
# ones time few calls: each of their calls rewrites the whole collection.
CALLS = {"always": 2000, "process": 20000, "write": 10, "memory": 20000,
         "sqlite_full": 2000, "sqlite_normal": 10000, "tinydb": 3}


# ------------------------------------------------------------------ the data

def orders(count: int, start: int = 0, seed: int = 5) -> list[dict]:
    """`count` orders whose order_id runs from `start`; the same every run."""
    rng = random.Random(seed * 1_000_003 + start)
    out = []
    for i in range(start, start + count):
        items = [{"sku": "s%04d" % rng.randrange(5000), "qty": rng.randrange(1, 5),
                  "price": rng.randrange(100, 10000) / 100}
                 for _ in range(rng.randrange(1, 3))]
        out.append({"order_id": i, "customer": "c%05d" % rng.randrange(20000),
                    "status": "new", "total": round(sum(x["qty"] * x["price"] for x in items), 2),
                    "items": items})
    return out


def collection_dir(data_root: str, count: int) -> str:
    """data_root/journal/nCOUNT holding orders.json, rewritten when its bytes
    differ from the generator's."""
    directory = os.path.join(data_root, "journal", f"n{count}")
    path = os.path.join(directory, NAME + ".json")
    text = orjson.dumps(orders(count))
    try:
        with open(path, "rb") as f:
            same = f.read() == text
    except FileNotFoundError:
        same = False
    if not same:
        os.makedirs(directory, exist_ok=True)
        with open(path, "wb") as f:
            f.write(text)
    return directory


def fresh_copy(source: str, target: str) -> str:
    """target emptied, holding copies of the files of directory `source`."""
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(source, target)
    return target


class Fd1Quiet:
    """File descriptor 1 sent to /dev/null meanwhile (update writes trace
    lines there); Python's own stdout is flushed first."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)
        return self

    def __exit__(self, *exc):
        os.dup2(self.saved, 1)
        os.close(self.saved)


# ------------------------------------------------------------ the contenders

class Run:
    """One run of a contender: `ops[t]` is thread t's function of one
    argument (an order to insert or an order_id to update), and `close`
    frees what the run opened."""

    def __init__(self, ops: list[Callable], close: Callable[[], None] = lambda: None):
        self.ops, self.close = ops, close


class Setup:
    """What every run copies: the collection's directory, sqlite3's and
    TinyDB's files of the same orders, and the scratch directory."""

    def __init__(self, source: str, scratch: str, docs: list[dict]):
        self.source, self.scratch = source, scratch
        self.sqlite_master = os.path.join(scratch, "master.sqlite")
        self.tinydb_master = os.path.join(scratch, "master-tinydb.json")
        con = sqlite3.connect(self.sqlite_master)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute("CREATE TABLE orders(doc TEXT NOT NULL)")
        con.executemany("INSERT INTO orders(doc) VALUES (?)", ((json.dumps(d),) for d in docs))
        con.execute("CREATE INDEX by_order_id ON orders(json_extract(doc, '$.order_id'))")
        con.commit()
        con.close()
        tiny = TinyDB(self.tinydb_master)
        tiny.insert_multiple(docs)
        tiny.close()
        self.serial = 0

    def run_dir(self) -> str:
        self.serial += 1
        return os.path.join(self.scratch, f"run{self.serial}")


def moxal_run(setup: Setup, job: str, threads: int, journal: str, write: bool) -> Run:
    directory = fresh_copy(setup.source, setup.run_dir())
    db = moxal.Moxal(directory, journal=journal)
    if job == "update":
        for k in (1, 2, 3):  # the index on order_id comes with these lookups
            db.find(NAME, {"order_id": k})
        change = {"status": {"$set": "paid"}}
        if write:
            def op(k):
                db.update(NAME, change, {"order_id": k})
                db.write(NAME)
        else:
            def op(k):
                db.update(NAME, change, {"order_id": k})
    elif write:
        def op(doc):
            db.insert(NAME, doc)
            db.write(NAME)
    else:
        def op(doc):
            db.insert(NAME, doc)

    def close():
        nonlocal db
        del db
        shutil.rmtree(directory, ignore_errors=True)
    return Run([op] * threads, close)


def sqlite_run(setup: Setup, job: str, threads: int, synchronous: str) -> Run:
    directory = setup.run_dir()
    os.makedirs(directory)
    path = os.path.join(directory, "orders.sqlite")
    shutil.copy(setup.sqlite_master, path)
    cons = []
    for _ in range(threads):
        # Autocommit: each statement is its own transaction. A connection
        # per thread, used by that thread only.
        con = sqlite3.connect(path, timeout=60, isolation_level=None, check_same_thread=False)
        con.execute("PRAGMA journal_mode=WAL")
        con.execute(f"PRAGMA synchronous={synchronous}")
        cons.append(con)

    def op_for(con):
        if job == "update":
            sql = ("UPDATE orders SET doc = json_set(doc, '$.status', ?) "
                   "WHERE json_extract(doc, '$.order_id') = ?")
            return lambda k: con.execute(sql, ("paid", k))
        sql = "INSERT INTO orders(doc) VALUES (?)"
        return lambda doc: con.execute(sql, (json.dumps(doc),))

    def close():
        for con in cons:
            con.close()
        shutil.rmtree(directory, ignore_errors=True)
    return Run([op_for(con) for con in cons], close)


def tinydb_run(setup: Setup, job: str, threads: int) -> Run:
    directory = setup.run_dir()
    os.makedirs(directory)
    path = os.path.join(directory, "orders.json")
    shutil.copy(setup.tinydb_master, path)
    tiny = TinyDB(path)
    order = Query()
    if job == "update":
        def op(k):
            tiny.update({"status": "paid"}, order.order_id == k)
    else:
        def op(doc):
            tiny.insert(doc)

    def close():
        tiny.close()
        shutil.rmtree(directory, ignore_errors=True)
    return Run([op] * threads, close)


# (key, label, prepare(setup, job, threads) -> Run, one thread only)
CONTENDERS = [
    ("always", "moxal journal='always'",
     lambda s, j, t: moxal_run(s, j, t, "always", False), False),
    ("process", "moxal journal='process'",
     lambda s, j, t: moxal_run(s, j, t, "process", False), False),
    ("write", "moxal journal off, then write()",
     lambda s, j, t: moxal_run(s, j, t, "off", True), False),
    ("memory", "moxal journal off, memory only",
     lambda s, j, t: moxal_run(s, j, t, "off", False), False),
    ("sqlite_full", "sqlite3 WAL synchronous=FULL",
     lambda s, j, t: sqlite_run(s, j, t, "FULL"), False),
    ("sqlite_normal", "sqlite3 WAL synchronous=NORMAL",
     lambda s, j, t: sqlite_run(s, j, t, "NORMAL"), False),
    ("tinydb", "TinyDB JSON storage",
     lambda s, j, t: tinydb_run(s, j, t), True),
]


def timed_run(run: Run, args_per_thread: list[list]) -> float:
    """Seconds for every thread to make its calls, from a common start."""
    barrier = threading.Barrier(len(run.ops) + 1)
    errors: list[BaseException] = []

    def worker(op, args):
        barrier.wait()
        try:
            for a in args:
                op(a)
        except BaseException as e:  # noqa: BLE001 - reported by the caller
            errors.append(e)

    workers = [threading.Thread(target=worker, args=(op, a))
               for op, a in zip(run.ops, args_per_thread)]
    for w in workers:
        w.start()
    gc.collect()
    barrier.wait()
    start = time.perf_counter()
    for w in workers:
        w.join()
    gc.collect(0)
    elapsed = time.perf_counter() - start
    if errors:
        raise errors[0]
    return elapsed


def split(items: list, threads: int) -> list[list]:
    return [items[t::threads] for t in range(threads)]


def bench_changes(sec: harness.Section, setup: Setup, count: int, job: str, threads: int,
                  scale: float) -> None:
    """Changes per second of every contender for one job and thread count,
    the contenders taking turns in each round."""
    rng = random.Random(17)
    contenders = [c for c in CONTENDERS if threads == 1 or not c[3]]
    calls = {key: max(threads, int(CALLS[key] * scale)) for key, *_ in contenders}
    if job == "insert":
        new = orders(max(calls.values()), start=count)
        args = {key: split(new[:n], threads) for key, n in calls.items()}
    else:
        keys = rng.sample(range(count), max(calls.values()))
        args = {key: split(keys[:n], threads) for key, n in calls.items()}
    samples: dict[str, list[float]] = {key: [] for key, *_ in contenders}
    failed: dict[str, str] = {}
    for r in range(sec.warmup + sec.repeat):
        for key, _, prepare, _ in contenders:
            if key in failed:
                continue
            run = prepare(setup, job, threads)
            try:
                with Fd1Quiet():
                    seconds = timed_run(run, args[key])
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as e:  # noqa: BLE001 - a moxal error is reported
                failed[key] = f"{type(e).__name__}: {e}"
                continue
            finally:
                run.close()
                del run
            if r >= sec.warmup:
                samples[key].append(calls[key] / seconds)
    prefix = f"{job[:3]}{threads}"
    where = "1 thread" if threads == 1 else f"{threads} threads"
    for key, label, _, _ in contenders:
        fig_key = f"{prefix}_{key}"
        full = f"{label} ({job}, {where})"
        if key in failed:
            sec.value(fig_key, full, "/s", None,
                      "error" if key.startswith(("always", "process", "write", "memory"))
                      else "skipped", failed[key])
        else:
            sec.figures[fig_key] = harness.Figure(full, "/s", samples[key])
    sec.facts[f"calls a run, {job}, {where}"] = ", ".join(
        f"{key} {n:,}" for key, n in calls.items())


def rate_targets(sec: harness.Section) -> None:
    """The floors (and, marked aim, the aims) on changes per second."""
    for job, name in (("ins", "insert"), ("upd", "update")):
        t = [
            (f"{job}1_always", f"{job}1_sqlite_full", 1.0,
             f"{name}, always, 1 thread >= sqlite3 WAL FULL"),
            (f"{job}1_always", f"{job}1_sqlite_full", 1.5,
             f"aim: {name}, always, 1 thread >= 1.5x sqlite3 WAL FULL"),
            (f"{job}8_always", f"{job}8_sqlite_full", 3.0,
             f"{name}, always, 8 threads >= 3x sqlite3 WAL FULL (8 threads)"),
            (f"{job}8_always", f"{job}8_sqlite_full", 10.0,
             f"aim: {name}, always, 8 threads >= 10x sqlite3 WAL FULL (8 threads)"),
            (f"{job}1_process", f"{job}1_sqlite_normal", 5.0,
             f"{name}, process, 1 thread >= 5x sqlite3 WAL NORMAL"),
            (f"{job}1_process", f"{job}1_sqlite_normal", 10.0,
             f"aim: {name}, process, 1 thread >= 10x sqlite3 WAL NORMAL"),
            (f"{job}1_process", f"{job}1_memory", 0.5,
             f"aim: {name}, process, 1 thread >= half of moxal without a journal"),
        ]
        for num, den, bound, text in t:
            sec.higher(text, num, den, bound)


# ---------------------------------------------------------------------- open

# Opens argv[1] with journal=argv[2] in a fresh process and prints the
# milliseconds it took and how many orders of argv[3] are paid.
OPEN_CHILD = """
import gc, sys, time
import moxal
gc.collect()
start = time.perf_counter_ns()
db = moxal.Moxal(sys.argv[1], journal=sys.argv[2])
gc.collect(0)
elapsed = time.perf_counter_ns() - start
print(elapsed / 1e6, db.count(sys.argv[3], {"status": "paid"}))
"""


def bench_open(sec: harness.Section, setup: Setup, count: int) -> None:
    """Open with a journal of `count` updates, and after write_all folded it."""
    journaled = fresh_copy(setup.source, os.path.join(setup.scratch, "open-journaled"))
    db = moxal.Moxal(journaled, journal="process")
    for k in (1, 2, 3):
        db.find(NAME, {"order_id": k})
    change = {"status": {"$set": "paid"}}
    with Fd1Quiet():
        for k in range(count):
            db.update(NAME, change, {"order_id": k})
    del db
    journal_size = os.path.getsize(os.path.join(journaled, ".moxal-journal"))
    folded = fresh_copy(journaled, os.path.join(setup.scratch, "open-folded"))
    db = moxal.Moxal(folded, journal="process")
    db.write_all()
    del db
    sec.facts["journal before the fold"] = (f"{count:,} updates of one order, "
                                            f"{journal_size / 1e6:.1f} MB")
    sec.facts["journal after the fold"] = (
        f"{os.path.getsize(os.path.join(folded, '.moxal-journal')):,} bytes")

    contenders = [
        ("open_journal", f"moxal open, {count:,} orders + journal of {count:,} changes",
         journaled, "process"),
        ("open_folded_on", "moxal open of the folded files, journal='process'", folded,
         "process"),
        ("open_folded_off", "moxal open of the folded files, journal off", folded, "off"),
    ]
    # Each open runs in a process of its own, as a program opens its
    # directory when it starts: the heap of this long-lived process (which
    # ran the other jobs) would weigh on the opens that allocate most.
    samples: dict[str, list[float]] = {key: [] for key, *_ in contenders}
    for r in range(sec.warmup + sec.repeat):
        for key, _, source, journal in contenders:
            directory = fresh_copy(source, setup.run_dir())
            out = subprocess.run(
                [sys.executable, "-c", OPEN_CHILD, directory, journal, NAME],
                capture_output=True, text=True, check=True).stdout.split()
            elapsed_ms, paid = float(out[0]), int(out[1])
            if r == 0:
                sec.check(f"{key}: every order paid", paid == count)
            shutil.rmtree(directory, ignore_errors=True)
            if r >= sec.warmup:
                samples[key].append(elapsed_ms)
    for key, label, _, _ in contenders:
        sec.figures[key] = harness.Figure(label, "ms", samples[key])
    sec.at_most(f"open with a journal of {count:,} changes <= 3x the folded open (journal on)",
                "open_journal", "open_folded_on", 3)
    sec.at_most("aim: open with a journal <= 2x the folded open (journal on)",
                "open_journal", "open_folded_on", 2)
    sec.at_most("open with a journal <= 3x the folded open (journal off)",
                "open_journal", "open_folded_off", 3)


# ---------------------------------------------------------------- fold pause

def lookups_during(db: moxal.Moxal, count: int, fold: Callable[[], None]
                   ) -> tuple[list[float], list[float], float]:
    """Runs `fold` while another thread looks orders up by order_id in a
    loop. Returns the milliseconds of each lookup that overlapped the fold,
    of those before it, and the fold's own milliseconds."""
    spans: list[tuple[float, float]] = []
    stop = threading.Event()
    rng = random.Random(3)

    def look():
        while not stop.is_set():
            k = rng.randrange(count)
            start = time.perf_counter()
            db.find(NAME, {"order_id": k})
            spans.append((start, time.perf_counter()))

    looker = threading.Thread(target=look)
    looker.start()
    time.sleep(0.2)
    start = time.perf_counter()
    fold()
    end = time.perf_counter()
    time.sleep(0.05)
    stop.set()
    looker.join()
    during = [(b - a) * 1e3 for a, b in spans if b >= start and a <= end]
    before = [(b - a) * 1e3 for a, b in spans if b < start]
    return during, before, (end - start) * 1e3


def bench_fold(sec: harness.Section, setup: Setup, fold_source: str, fold_count: int) -> None:
    """The longest lookup while write_all folds `fold_count` orders, with the
    journal on and off; each run first changes 1,000 orders."""
    modes = [("on", "process"), ("off", "off")]
    dbs = {}
    for mode, journal in modes:
        directory = fresh_copy(fold_source, os.path.join(setup.scratch, f"fold-{mode}"))
        dbs[mode] = moxal.Moxal(directory, journal=journal)
        for k in (1, 2, 3):
            dbs[mode].find(NAME, {"order_id": k})
    results = {mode: {"max": [], "median": [], "fold": [], "idle": [], "n": []}
               for mode, _ in modes}
    rng = random.Random(23)
    for r in range(sec.warmup + sec.repeat):
        for mode, _ in modes:
            db = dbs[mode]
            with Fd1Quiet():
                for k in rng.sample(range(fold_count), 1000):
                    db.update(NAME, {"status": {"$set": f"r{r}"}}, {"order_id": k})
            gc.collect()
            during, before, fold_ms = lookups_during(db, fold_count, db.write_all)
            if r < sec.warmup:
                continue
            res = results[mode]
            res["max"].append(max(during) if during else fold_ms)
            res["median"].append(statistics.median(during) if during else fold_ms)
            res["fold"].append(fold_ms)
            res["idle"].append(statistics.median(before))
            res["n"].append(len(during))
    del dbs
    for mode, what in (("on", "journal='process'"), ("off", "journal off")):
        res = results[mode]
        sec.figures[f"fold_{mode}_max"] = harness.Figure(
            f"longest lookup during write_all, {what}", "ms", res["max"])
        sec.figures[f"fold_{mode}_median"] = harness.Figure(
            f"median lookup during write_all, {what}", "µs", [m * 1e3 for m in res["median"]])
        sec.figures[f"fold_{mode}_time"] = harness.Figure(
            f"write_all of {fold_count:,} orders, {what}", "ms", res["fold"])
        sec.facts[f"lookups during each fold, {what}"] = ", ".join(map(str, res["n"]))
        sec.facts[f"median lookup before the fold, {what}"] = (
            f"{statistics.median(res['idle']) * 1e3:,.1f} µs")
    sec.facts["longest lookup during any fold, journal on"] = f"{max(results['on']['max']):,.1f} ms"
    sec.below(f"aim: fold of {fold_count:,}: longest lookup wait <= 10 ms (journal on)",
              "fold_on_max", 10)


# -------------------------------------------------------------- group commit

def sync_child(directory: str, threads: int, calls: int, start: int) -> None:
    """Inserts `calls` orders at journal='always' from `threads` threads and
    prints the seconds it took (run under strace by sync_counts)."""
    db = moxal.Moxal(directory, journal="always")
    docs = orders(calls, start=start)
    run = Run([lambda d: db.insert(NAME, d)] * threads)
    seconds = timed_run(run, split(docs, threads)) if calls else 0.0
    print(json.dumps({"seconds": seconds}))


def sync_counts(sec: harness.Section, setup: Setup, count: int, calls: int) -> None:
    """fdatasync calls per insert at "always", counted by strace in a child."""
    strace = shutil.which("strace")
    if strace is None:
        sec.facts["fdatasync per insert"] = "SKIPPED: no strace"
        return
    counts = {}
    for threads, n in ((1, 0), (1, calls), (8, calls)):
        directory = fresh_copy(setup.source, setup.run_dir())
        out = os.path.join(setup.scratch, "strace.txt")
        cmd = [strace, "-f", "--seccomp-bpf", "-c", "-e", "trace=fdatasync,fsync", "-o", out,
               sys.executable, os.path.abspath(__file__), "--sync-child",
               directory, str(threads), str(n), str(count)]
        proc = subprocess.run(cmd, capture_output=True, text=True)
        if proc.returncode != 0:
            sec.facts["fdatasync per insert"] = f"FAILED: {proc.stderr.strip()[-300:]}"
            return
        with open(out) as f:
            table = f.read()
        syncs = sum(int(m.group(1)) for m in re.finditer(
            r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(?:fdatasync|fsync)\s*$",
            table, re.M))
        seconds = json.loads(proc.stdout.strip().splitlines()[-1])["seconds"]
        counts[(threads, n)] = (syncs, seconds)
        shutil.rmtree(directory, ignore_errors=True)
    base = counts[(1, 0)][0]
    for threads in (1, 8):
        syncs, seconds = counts[(threads, calls)]
        where = "1 thread" if threads == 1 else f"{threads} threads"
        sec.facts[f"syncs per insert, always, {where} (strace)"] = (
            f"{(syncs - base) / calls:.3f} ({syncs - base:,} fdatasync/fsync for {calls:,} "
            f"inserts; {calls / seconds:,.0f} inserts/s under strace)")
    sec.facts["syncs of open and close alone"] = str(base)


def ratio_facts(sec: harness.Section) -> None:
    for job in ("ins", "upd"):
        for key in ("always", "process", "sqlite_full"):
            one, eight = sec.figures.get(f"{job}1_{key}"), sec.figures.get(f"{job}8_{key}")
            if one and eight and one.median and eight.median:
                ratio = eight.median / one.median
                sec.facts[f"8 threads / 1 thread, {job}, {key}"] = f"{ratio:.2f}x"


# ---------------------------------------------------------------------- main

def bench_journal(sec: harness.Section, data_root: str, count: int, fold_count: int,
                  scale: float = 1.0, jobs: tuple = ("changes", "open", "fold", "sync")) -> None:
    """The whole section: fills `sec` with its figures, facts and targets."""
    scratch = os.path.join(data_root, "journal-scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    try:
        source = collection_dir(data_root, count)
        setup = Setup(source, scratch, orders(count))
        sec.facts["orders in place"] = (
            f"{count:,} ({os.path.getsize(os.path.join(source, NAME + '.json')) / 1e6:.1f} MB)")
        if "changes" in jobs:
            for job in ("insert", "update"):
                for threads in THREADS:
                    bench_changes(sec, setup, count, job, threads, scale)
            ratio_facts(sec)
            rate_targets(sec)
        if "sync" in jobs:
            sync_counts(sec, setup, count, max(8, int(CALLS["always"] * scale)))
        if "open" in jobs:
            bench_open(sec, setup, count)
        if "fold" in jobs:
            fold_source = collection_dir(data_root, fold_count)
            bench_fold(sec, setup, fold_source, fold_count)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


JOBS = ("changes", "sync", "open", "fold")


def main(argv: list[str] | None = None) -> int:
    if argv is None and len(sys.argv) > 1 and sys.argv[1] == "--sync-child":
        directory, threads, calls, start = sys.argv[2:6]
        sync_child(directory, int(threads), int(calls), int(start))
        return 0
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000, help="orders in place (100,000)")
    ap.add_argument("--fold-count", type=int, default=FOLD_COUNT,
                    help="orders of the fold pause job (1,000,000)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per figure (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs first (default 1)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="multiplies the calls timed per run (default 1)")
    ap.add_argument("--only", choices=JOBS, action="append",
                    help="run these jobs only (may be repeated)")
    ap.add_argument("--json", metavar="FILE", help="also write all figures to FILE")
    ap.add_argument("--data-dir", default=os.path.join(BENCH_DIR, "data"),
                    help="where the generated files and scratch files go")
    args = ap.parse_args(argv)
    gc.enable()
    machine = harness.machine_info(REPO_DIR)
    print(f"moxal journal bench: {args.count:,} orders in place, median of {args.repeat} runs "
          f"(+{args.warmup} warm-up), contenders in turn, gc on")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores, {machine['python']}, "
          f"sqlite {machine['sqlite']}, commit {machine['commit']}\n")
    sec = harness.Section("journal", "per-change durability: changes/s, open, fold pause",
                          args.repeat, args.warmup)
    bench_journal(sec, args.data_dir, args.count, args.fold_count, args.scale,
                  tuple(args.only or JOBS))
    sec.evaluate()
    print(sec.render() + "\n", flush=True)
    for e in sec.errors:
        print("ERROR:", e)
    if args.json:
        report = {"machine": machine,
                  "settings": {"count": args.count, "repeat": args.repeat,
                               "warmup": args.warmup, "fold_count": args.fold_count,
                               "scale": args.scale, "gc": "on"},
                  "sections": {"journal": sec.as_json()}}
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
        print(f"figures written to {args.json}")
    return 1 if sec.errors else 0


if __name__ == "__main__":
    sys.exit(main())
