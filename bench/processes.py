"""Worker processes sharing one directory: the orders service under gunicorn.

    python bench/processes.py [--count N] [--seconds S] [--rounds R]
        [--workers 1 2 4] [--only http|micro] [--json bench/results/processes.json]

1. The orders service of examples/service_flask.py (Flask, moxal with
   journal="process") under gunicorn's threaded worker, 8 threads a worker,
   with 1, 2 and 4 worker processes, against the same service on sqlite3
   (bench/service_sqlite.py: expression indexes, WAL, synchronous=NORMAL),
   over COUNT orders in place. wrk sends the load over loopback
   (bench/processes.lua): 70% lookups of a customer's orders, 15% one-sided
   ranges of totals, 10% inserts, 5% updates of an order's total by id.
   Each round starts from a fresh copy, warms up (moxal builds its indexes
   from the queries it sees, in each worker), then measures for S seconds;
   the server is then stopped with SIGTERM, and the directory (or database)
   opened afresh: every insert that was answered must be there once.
2. The cost of a call when no other process wrote: a find by a unique key
   on an object with journal="process" whose directory another process
   holds open (doing nothing), against the same find on an object without
   the journal.
3. A lookup by a unique key while four other processes insert and update
   in the same directory (each at a steady rate, --writer-rate), against
   the same lookup with nobody writing.

Needs wrk (apt-get install wrk), flask and gunicorn.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import shutil
import signal
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.request

import moxal

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)
EXAMPLES = os.path.join(REPO_DIR, "examples")
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
import service_sqlite  # noqa: E402

THREADS = 8  # a worker's


def orders(count: int) -> list[dict]:
    """The orders in place: ids "%032x" of 0 .. count-1 (the load script
    names them so), ten orders a customer, totals uniform below 1000."""
    rng = random.Random(7)
    return [{"id": "%032x" % i, "customer": "c%05d" % (i % (count // 10)),
             "total": round(rng.uniform(0, 1000), 2), "status": "open"} for i in range(count)]


def sources(root: str, count: int) -> tuple[str, str]:
    """The moxal directory and the sqlite3 database the rounds copy."""
    docs = orders(count)
    directory = os.path.join(root, "moxal-source")
    db = moxal.Moxal(directory)
    db.insert_many("orders", docs)
    db.write_all()
    del db
    path = os.path.join(root, "sqlite-source.db")
    con = service_sqlite.connect(path)
    con.executescript(service_sqlite.SCHEMA)
    con.execute("BEGIN")
    con.executemany("INSERT INTO orders (doc) VALUES (?)",
                    [(json.dumps(d, separators=(",", ":")),) for d in docs])
    con.execute("COMMIT")
    con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    con.close()
    return directory, path


class Server:
    """A gunicorn serving one store, in a process group of its own."""

    def __init__(self, store: str, target: str, workers: int, scratch: str):
        if store == "moxal":
            app, chdir = f"service_flask:create_app({target!r})", EXAMPLES
        else:
            app, chdir = f"service_sqlite:create_app({target!r})", BENCH_DIR
        self.log = os.path.join(scratch, "gunicorn.log")
        env = dict(os.environ, XDG_RUNTIME_DIR=scratch)  # its control socket
        with open(self.log, "w") as err:
            # stdout: update's trace lines, unread.
            self.process = subprocess.Popen(
                [sys.executable, "-m", "gunicorn", "--worker-class", "gthread",
                 "--threads", str(THREADS), "--workers", str(workers), "--bind", "127.0.0.1:0",
                 "--chdir", chdir, "--backlog", "2048", app],
                stdout=subprocess.DEVNULL, stderr=err, env=env, start_new_session=True)
        deadline = time.monotonic() + 120
        self.base = None
        while self.base is None:
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("gunicorn did not start:\n" + open(self.log).read())
            found = re.search(r"Listening at: (http://\S+)", open(self.log).read())
            self.base = found and found.group(1)
            time.sleep(0.05)
        while True:
            try:
                with urllib.request.urlopen(self.base + "/ping", timeout=60) as r:
                    r.read()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def stop(self) -> None:
        """SIGTERM, as a deploy sends it: the workers finish their requests
        (the moxal service folds its journal on the way out)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=120)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        if "Traceback" in open(self.log).read():
            raise RuntimeError("the server failed:\n" + open(self.log).read())


def wrk(base: str, seconds: float, count: int, acks: str, connections: int) -> dict:
    """One wrk run of the request mix: requests a second, and the inserts
    answered (their customers written to `acks`)."""
    env = dict(os.environ, ORDERS=str(count), CUSTOMERS=str(count // 10), ACKS=acks,
               RUN=os.path.basename(acks))
    out = subprocess.run(
        ["wrk", "-t", "1", "-c", str(connections), "-d", f"{round(seconds)}s", "--timeout", "30s",
         "-s", os.path.join(BENCH_DIR, "processes.lua"), base],
        capture_output=True, text=True, env=env, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return {"rate": rate, "answered": int(re.search(r"inserts answered: (\d+)", out).group(1)),
            "errors": (errors.group(1) if errors else "") + (
                f" non-2xx {non2xx.group(1)}" if non2xx else ""),
            "failed": int(re.search(r"failed responses: (\d+)", out).group(1))}


def stored_customers(store: str, target: str) -> list[str]:
    """The customers of the inserted orders, as a fresh opening finds them."""
    if store == "moxal":
        docs = moxal.Moxal(target, journal="process").find("orders")
    else:
        con = sqlite3.connect(target)
        docs = [json.loads(r[0]) for r in con.execute("SELECT doc FROM orders")]
        con.close()
    return [d["customer"] for d in docs if d["customer"].startswith("n")]


def http_round(store: str, workers: int, source: str, scratch: str, args) -> dict:
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if store == "moxal":
        target = os.path.join(scratch, "orders")
        shutil.copytree(source, target)
    else:
        target = os.path.join(scratch, "orders.db")
        shutil.copyfile(source, target)
    server = Server(store, target, workers, scratch)
    connections = max(16, 2 * THREADS * workers)
    try:
        warm = wrk(server.base, args.warmup, args.count, os.path.join(scratch, "acks-warm"),
                   connections)
        run = wrk(server.base, args.seconds, args.count, os.path.join(scratch, "acks"),
                  connections)
    finally:
        server.stop()
    answered = []
    for name in ("acks-warm", "acks"):
        with open(os.path.join(scratch, name)) as f:
            answered += [line for line in f.read().split("\n") if line]
    stored = stored_customers(store, target)
    counts = {}
    for c in stored:
        counts[c] = counts.get(c, 0) + 1
    missing = sum(1 for c in answered if c not in counts)
    twice = sum(1 for c in answered if counts.get(c, 0) > 1)
    shutil.rmtree(scratch, ignore_errors=True)
    return dict(run, missing=missing, twice=twice, answered_all=len(answered),
                failed=warm["failed"] + run["failed"])


def bench_http(sec: harness.Section, root: str, args) -> None:
    moxal_source, sqlite_source = sources(root, args.count)
    samples: dict[tuple[str, int], list[float]] = {}
    for r in range(args.rounds):
        for workers in args.workers:
            for store in ("moxal", "sqlite3"):
                source = moxal_source if store == "moxal" else sqlite_source
                got = http_round(store, workers, source, os.path.join(root, "round"), args)
                samples.setdefault((store, workers), []).append(got["rate"])
                print(f"  round {r + 1}: {store:7} -w {workers}: {got['rate']:8,.0f} req/s; "
                      f"inserts answered {got['answered_all']:,}, missing after a fresh open "
                      f"{got['missing']}, stored twice {got['twice']}; failed responses "
                      f"{got['failed']}{'; wrk: ' + got['errors'] if got['errors'] else ''}",
                      flush=True)
                sec.facts[f"round {r + 1} {store} -w {workers}"] = (
                    f"{got['rate']:,.0f} req/s, {got['answered_all']} inserts answered, "
                    f"{got['missing']} missing, {got['twice']} twice, {got['failed']} failed")
                if got["missing"] or got["twice"] or got["failed"]:
                    sec.errors.append(f"{store} -w {workers} round {r + 1}: {got}")
    for (store, workers), values in samples.items():
        sec.figures[f"http_{store}_w{workers}"] = harness.Figure(
            f"{store} -w {workers}", "req/s", values)
    if {1, 4} <= set(args.workers):
        sec.higher("moxal -w 4 at least 1.5x sqlite3 -w 4", "http_moxal_w4", "http_sqlite3_w4",
                   1.5)
        sec.higher("aim: moxal -w 4 at least 3x sqlite3 -w 4", "http_moxal_w4",
                   "http_sqlite3_w4", 3.0)
        sec.higher("moxal -w 4 at least moxal -w 1", "http_moxal_w4", "http_moxal_w1", 1.0)
        sec.higher("aim: moxal -w 4 at least 1.5x moxal -w 1", "http_moxal_w4",
                   "http_moxal_w1", 1.5)


# A process that opens the directory and does nothing until its standard
# input closes; or one that inserts and updates at a steady rate until then.
HOLDER = textwrap.dedent("""
    import sys, moxal
    db = moxal.Moxal(sys.argv[1], journal="process")
    print("ready", flush=True)
    sys.stdin.read()
""")
WRITER = textwrap.dedent("""
    import os, random, sys, threading, time, moxal
    directory, k, rate, count = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    # update's trace lines (descriptor 1) to /dev/null: unread, they would
    # fill the pipe and stop this process. Its own lines go to the pipe.
    sys.stdout = os.fdopen(os.dup(1), "w")
    os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
    db = moxal.Moxal(directory, journal="process")
    done = threading.Event()
    threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    rng = random.Random(k)
    print("ready", flush=True)
    start, n = time.monotonic(), 0
    while not done.is_set():
        if n % 2:
            db.update("orders", {"total": {"$add": 1}}, {"id": "%032x" % rng.randrange(count)})
        else:
            db.insert("orders", {"id": f"w{k}-{n}", "customer": f"w{k}", "total": 1.0,
                                 "status": "open"})
        n += 1
        if rate > 0:
            time.sleep(max(0.0, start + n / rate - time.monotonic()))
    print(n, flush=True)
""")


def helper(code: str, *argv) -> subprocess.Popen:
    p = subprocess.Popen([sys.executable, "-c", code, *map(str, argv)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True)
    assert p.stdout.readline().strip() == "ready"
    return p


def finish(helpers: list[subprocess.Popen]) -> list[str]:
    outs = []
    for p in helpers:
        out, _ = p.communicate(timeout=120)
        outs.append(out.strip())
    return outs


def lookups(db: moxal.Moxal, keys: list[str], calls: int) -> tuple[float, float]:
    """ns a call of find by id over `calls` calls: wall clock, and the CPU
    time of this thread (what the call itself costs, however busy the
    machine is with other work)."""
    n = len(keys)
    wall, cpu = time.perf_counter_ns(), time.thread_time_ns()
    for i in range(calls):
        db.find("orders", {"id": keys[i % n]})
    return ((time.perf_counter_ns() - wall) / calls, (time.thread_time_ns() - cpu) / calls)


def lookups_for(db: moxal.Moxal, keys: list[str], calls: int,
                seconds: float) -> tuple[list[float], list[float]]:
    """Runs of `lookups` for `seconds` at least: their wall and CPU figures."""
    walls, cpus = [], []
    end = time.monotonic() + seconds
    while time.monotonic() < end or len(walls) < 3:
        wall, cpu = lookups(db, keys, calls)
        walls.append(wall)
        cpus.append(cpu)
    return walls, cpus


def bench_micro(sec: harness.Section, root: str, args) -> None:
    source = os.path.join(root, "moxal-source")
    if not os.path.isdir(source):
        sources(root, args.count)
    rng = random.Random(3)
    keys = ["%032x" % rng.randrange(args.count) for _ in range(1000)]
    calls = args.calls

    # (i) journal off, against journal="process" with another process holding
    # the directory open; their runs alternate, so that a busy spell of the
    # machine hits both.
    off_dir, shared_dir = os.path.join(root, "off"), os.path.join(root, "shared")
    for d in (off_dir, shared_dir):
        shutil.rmtree(d, ignore_errors=True)
        shutil.copytree(source, d)
    off = moxal.Moxal(off_dir)
    holder = helper(HOLDER, shared_dir)
    shared = moxal.Moxal(shared_dir, journal="process")
    runs = {"off": ([], []), "shared": ([], [])}
    for db in (off, shared):
        lookups(db, keys, calls)  # the index, the cache
    for _ in range(args.micro_repeat):
        for name, db in (("off", off), ("shared", shared)):
            wall, cpu = lookups(db, keys, calls)
            runs[name][0].append(wall)
            runs[name][1].append(cpu)
    finish([holder])
    del off, shared
    sec.figures["call_off"] = harness.Figure("journal off", "ns", runs["off"][1])
    sec.figures["call_shared"] = harness.Figure('"process", another process idle', "ns",
                                                runs["shared"][1])
    extra = statistics.median(runs["shared"][1]) - statistics.median(runs["off"][1])
    sec.figures["call_extra"] = harness.Figure("what sharing adds to a call", "ns", [extra])
    sec.facts["call cost, wall clock"] = (
        f"{statistics.median(runs['off'][0]):,.0f} ns off, "
        f"{statistics.median(runs['shared'][0]):,.0f} ns shared")
    sec.below("a call when no other process wrote: under 1 µs more than unshared",
              "call_extra", 1000)

    # (ii) the same lookup alone, then with four writers.
    directory = os.path.join(root, "writers")
    shutil.rmtree(directory, ignore_errors=True)
    shutil.copytree(source, directory)
    db = moxal.Moxal(directory, journal="process")
    lookups(db, keys, calls)
    alone, alone_cpu = lookups_for(db, keys, calls, args.micro_seconds)
    writers = [helper(WRITER, directory, k, args.writer_rate, args.count) for k in range(4)]
    start = time.monotonic()
    busy, busy_cpu = lookups_for(db, keys, calls, args.micro_seconds)
    elapsed = time.monotonic() - start
    changes = sum(int(n) for n in finish(writers))
    del db
    # CPU time: what the lookup itself costs (applying the others' changes
    # included), whatever else the machine runs; wall clock: what a caller
    # waits, four more busy processes on the machine included.
    sec.figures["lookup_alone"] = harness.Figure("find by id, nobody writing (CPU)", "ns",
                                                 alone_cpu)
    sec.figures["lookup_writers"] = harness.Figure("find by id, four processes writing (CPU)",
                                                   "ns", busy_cpu)
    sec.figures["lookup_alone_wall"] = harness.Figure("find by id, nobody writing (wall)", "ns",
                                                      alone)
    sec.figures["lookup_writers_wall"] = harness.Figure(
        "find by id, four processes writing (wall)", "ns", busy)
    sec.facts["writers"] = (f"{changes:,} inserts and updates in {elapsed:.1f} s "
                            f"({changes / elapsed:,.0f}/s; --writer-rate {args.writer_rate:g} "
                            "a process)")
    sec.at_most("a lookup with four writers within 2x of no writer (CPU time)", "lookup_writers",
                "lookup_alone", 2.0)
    sec.at_most("the same in wall clock", "lookup_writers_wall", "lookup_alone_wall", 2.0)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000, help="orders in place")
    ap.add_argument("--seconds", type=float, default=30, help="measured seconds a round")
    ap.add_argument("--warmup", type=float, default=5, help="seconds of load before that")
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--workers", type=int, nargs="+", default=[1, 2, 4])
    ap.add_argument("--calls", type=int, default=20_000, help="lookups a micro-benchmark run")
    ap.add_argument("--micro-repeat", type=int, default=15, help="runs of each call cost")
    ap.add_argument("--micro-seconds", type=float, default=8,
                    help="seconds of lookups alone, and as long with the writers")
    ap.add_argument("--writer-rate", type=float, default=1000,
                    help="changes a second of each writer process (0: as fast as it can)")
    ap.add_argument("--only", choices=["http", "micro"], action="append")
    ap.add_argument("--json", help="write the report there")
    args = ap.parse_args(argv)
    only = set(args.only or ["http", "micro"])
    if "http" in only and shutil.which("wrk") is None:
        print("wrk is needed (apt-get install wrk)", file=sys.stderr)
        return 2
    machine = harness.machine_info(REPO_DIR)
    sec = harness.Section("processes", "worker processes sharing one directory",
                          repeat=args.rounds, warmup=0)
    root = tempfile.mkdtemp(prefix="moxal-processes-")
    try:
        if "http" in only:
            print(f"orders service under gunicorn (gthread, {THREADS} threads a worker), "
                  f"{args.count:,} orders, {args.seconds:g} s a round after {args.warmup:g} s "
                  "of warm-up", flush=True)
            bench_http(sec, root, args)
        if "micro" in only:
            bench_micro(sec, root, args)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    sec.evaluate()
    print(sec.render())
    if args.json:
        settings = {"count": args.count, "repeat": args.rounds, "warmup": 1, "gc": "on",
                    "seconds": args.seconds, "workers": args.workers, "threads": THREADS,
                    "calls": args.calls, "micro_repeat": args.micro_repeat,
                    "micro_seconds": args.micro_seconds,
                    "writer_rate": args.writer_rate}
        with open(args.json, "w") as f:
            json.dump({"machine": machine, "settings": settings,
                       "sections": {"processes": sec.as_json()}}, f, indent=2)
        print("wrote", args.json)
    return 1 if sec.errors else 0


if __name__ == "__main__":
    sys.exit(main())
