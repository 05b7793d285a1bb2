"""The orders service of docs/services.md under a load of window queries,
on moxal and on sqlite3 with expression indexes.

    python bench/service.py [--orders N] [--rounds R] [--seconds S] [--clients C]
                            [--example PATH] [--only moxal|sqlite3]

moxal serves examples/service_flask.py (Flask, its threaded server, the
journal at "process"); sqlite3 serves the same two routes from this file
(Flask, the same server, the orders as JSON text in a WAL database with
synchronous=NORMAL, a connection per thread, expression indexes on
`total`, `customer` and `id`). Both start from the same N orders (100,000
by default; totals spread evenly from 0 to N, so a window of width w holds
about w orders). C client threads (8) in this process send requests for S
seconds (45) per round, R rounds (3) per service, after an untimed warm-up
(which builds moxal's index): 70% windows `GET
/orders?min_total=a&max_total=b` of 50 to 500 orders, 15% lookups by
customer (about 20 orders each), 15% inserts. Every window's answer is
checked. The figure is requests a second over a round; the target is moxal
at least as fast as sqlite3 (the median rounds). `--example` serves
another copy of the example (an older version, say).
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "examples", "service_flask.py")
CUSTOMERS = 5000


def orders(n: int) -> list[dict]:
    rng = random.Random(5)
    return [{"id": f"{i:08x}", "customer": f"c{rng.randrange(CUSTOMERS)}",
             "total": round(rng.uniform(0, n), 2), "status": "open"} for i in range(n)]


# ------------------------------------------------------------ sqlite3 server

def sqlite_app(path: str):
    from flask import Flask, jsonify, request

    app = Flask(__name__)
    local = threading.local()

    def con() -> sqlite3.Connection:
        if not hasattr(local, "con"):
            local.con = sqlite3.connect(path, isolation_level=None, timeout=30)
            local.con.execute("PRAGMA synchronous=NORMAL")
        return local.con

    def number_arg(name):
        text = request.args.get(name)
        return None if text is None else float(text)

    @app.get("/orders")
    def list_orders():
        where, args = [], []
        if request.args.get("customer") is not None:
            where.append("json_extract(body, '$.customer') = ?")
            args.append(request.args["customer"])
        if (low := number_arg("min_total")) is not None:
            where.append("json_extract(body, '$.total') >= ?")
            args.append(low)
        if (high := number_arg("max_total")) is not None:
            where.append("json_extract(body, '$.total') < ?")
            args.append(high)
        sql = "SELECT body FROM orders" + (" WHERE " + " AND ".join(where) if where else "")
        return jsonify([json.loads(b) for (b,) in con().execute(sql, args)])

    @app.post("/orders")
    def add_order():
        import uuid

        body = request.get_json()
        order = {"id": uuid.uuid4().hex, "customer": str(body["customer"]),
                 "total": float(body["total"]), "status": "open"}
        con().execute("INSERT INTO orders(body) VALUES (?)", (json.dumps(order),))
        return jsonify(order), 201

    return app


def serve_sqlite(path: str, port: int) -> None:
    from werkzeug.serving import make_server

    server = make_server("127.0.0.1", port, sqlite_app(path), threaded=True)
    print(f"serving on http://127.0.0.1:{server.server_port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


def make_sqlite(path: str, docs: list[dict]) -> None:
    con = sqlite3.connect(path)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("CREATE TABLE orders(body TEXT)")
    con.executemany("INSERT INTO orders(body) VALUES (?)", ((json.dumps(d),) for d in docs))
    for field in ("total", "customer", "id"):
        con.execute(f"CREATE INDEX by_{field} ON orders(json_extract(body, '$.{field}'))")
    con.commit()
    con.close()


def make_moxal(path: str, docs: list[dict]) -> None:
    import moxal

    db = moxal.Moxal(path)
    db.insert_many("orders", docs)
    db.write_all()


# ------------------------------------------------------------ the load

def call(base: str, method: str, path: str, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    with urllib.request.urlopen(req, timeout=120) as response:
        return response.status, json.loads(response.read())


def client(base: str, seed: int, n: int, deadline: float, counts: list, errors: list) -> None:
    rng = random.Random(seed)
    done = 0
    while time.perf_counter() < deadline:
        pick = rng.random()
        try:
            if pick < 0.70:
                low = rng.uniform(0, n - 500)
                high = low + rng.uniform(50, 500)
                status, got = call(base, "GET", f"/orders?min_total={low}&max_total={high}")
                if status != 200 or not all(low <= o["total"] < high for o in got):
                    errors.append(("window", status, len(got)))
            elif pick < 0.85:
                status, got = call(base, "GET", f"/orders?customer=c{rng.randrange(CUSTOMERS)}")
                if status != 200:
                    errors.append(("customer", status))
            else:
                status, _ = call(base, "POST", "/orders",
                                 {"customer": f"c{rng.randrange(CUSTOMERS)}",
                                  "total": rng.uniform(0, n)})
                if status != 201:
                    errors.append(("insert", status))
        except (OSError, urllib.error.URLError, ValueError) as e:
            errors.append(("request", repr(e)))
        done += 1
    counts.append(done)


def load(base: str, n: int, seconds: float, clients: int, seed: int) -> tuple[float, list]:
    counts, errors = [], []
    start = time.perf_counter()
    threads = [threading.Thread(target=client, args=(base, seed * 100 + k, n, start + seconds,
                                                     counts, errors)) for k in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - start), errors


def start(command: list[str], log: str) -> tuple[subprocess.Popen, str]:
    with open(log, "w") as err:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=err, text=True)
    line = process.stdout.readline()
    if not line.startswith("serving on "):
        process.kill()
        raise RuntimeError(line + open(log).read()[-2000:])
    return process, line.split()[-1]


def run(name: str, command: list[str], args, work: str) -> list[float]:
    process, base = start(command, os.path.join(work, name + ".log"))
    try:
        load(base, args.orders, args.warmup, args.clients, seed=0)  # builds moxal's index
        rates = []
        for r in range(args.rounds):
            rate, errors = load(base, args.orders, args.seconds, args.clients, seed=r + 1)
            rates.append(rate)
            print(f"{name}: round {r + 1}: {rate:,.1f} requests/s"
                  + (f", {len(errors)} errors, first {errors[0]}" if errors else ""), flush=True)
            if errors:
                raise SystemExit(f"{name}: wrong or failed answers")
        return rates
    finally:
        process.terminate()
        process.wait(timeout=120)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--orders", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=45)
    ap.add_argument("--warmup", type=float, default=3)
    ap.add_argument("--clients", type=int, default=8)
    ap.add_argument("--example", default=EXAMPLE)
    ap.add_argument("--only", choices=["moxal", "sqlite3"], action="append")
    ap.add_argument("--serve-sqlite", metavar="FILE", help=argparse.SUPPRESS)
    ap.add_argument("--port", type=int, default=0, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve_sqlite:
        return serve_sqlite(args.serve_sqlite, args.port)
    only = args.only or ["moxal", "sqlite3"]
    work = tempfile.mkdtemp(prefix="moxal-service-")
    try:
        docs = orders(args.orders)
        medians = {}
        print(f"{args.orders:,} orders, {args.clients} clients, {args.rounds} rounds of "
              f"{args.seconds:g} s; Python {sys.version.split()[0]}", flush=True)
        if "moxal" in only:
            make_moxal(os.path.join(work, "moxal"), docs)
            command = [sys.executable, args.example, "--serve", "--port", "0",
                       "--db", os.path.join(work, "moxal")]
            medians["moxal"] = statistics.median(run("moxal", command, args, work))
        if "sqlite3" in only:
            make_sqlite(os.path.join(work, "orders.sqlite"), docs)
            command = [sys.executable, os.path.abspath(__file__), "--serve-sqlite",
                       os.path.join(work, "orders.sqlite")]
            medians["sqlite3"] = statistics.median(run("sqlite3", command, args, work))
        for name, rate in medians.items():
            print(f"{name}: median {rate:,.1f} requests/s")
        if len(medians) == 2:
            ratio = medians["moxal"] / medians["sqlite3"]
            print(f"{'PASS' if ratio >= 1 else 'FAIL'} moxal at least as fast as sqlite3 "
                  f"with indexes: {ratio:.2f}x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
