"""moxal under asyncio: FastAPI served by uvicorn.

    python examples/service_asyncio.py --serve [--port 8000] [--db orders-db] [--journal off]

A moxal call holds the thread that makes it until it returns. Made from an
`async def` it holds the event loop too, and every other request waits for
it; made through asyncio.to_thread it runs in a worker thread (moxal lets
go of the interpreter lock while it works) and the loop carries on.

With no arguments it starts a server on a free port over 100,000 orders and
measures /ping while another client has them saved, both ways.
"""

import argparse
import asyncio
import contextlib
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import uvicorn
from fastapi import FastAPI
from quiet_trace_lines import trace_lines_to

import moxal

FLUSH_EVERY = 3.0  # seconds
NOT_SHIPPED = {"status": {"$ne": "shipped"}}  # no index answers $ne: a scan


def create_app(db_dir, journal="process"):
    # With the journal every change is on disk when its request is answered,
    # and several worker processes (uvicorn --workers N) share the directory.
    db = moxal.Moxal(db_dir, journal=journal)

    async def flush_periodically():
        while True:
            await asyncio.sleep(FLUSH_EVERY)
            await asyncio.to_thread(db.write_all)

    @contextlib.asynccontextmanager
    async def lifespan(app):
        flusher = asyncio.create_task(flush_periodically())
        yield
        flusher.cancel()
        await asyncio.to_thread(db.write_all)  # on shutdown (SIGTERM, Ctrl-C)

    app = FastAPI(lifespan=lifespan)
    app.state.db = db

    @app.get("/ping")
    async def ping():
        return "pong"

    @app.post("/orders")
    async def add_order(order: dict):
        await asyncio.to_thread(db.insert, "orders", order)
        return order

    @app.get("/report")
    async def report():
        return await asyncio.to_thread(db.count, "orders", NOT_SHIPPED)

    @app.post("/save")
    async def save():
        await asyncio.to_thread(db.write_all)

    @app.post("/save-blocking")
    async def save_blocking():
        db.write_all()  # don't: every other request waits for the whole write

    return app


def get(base, path, method="GET"):
    request = urllib.request.Request(base + path, method=method)
    with urllib.request.urlopen(request, timeout=60) as response:
        return response.read()


def pings_during(base, path, rounds):
    """/ping round trips (seconds) while another client asks for `path`
    `rounds` times in a row."""
    busy, times = threading.Event(), []

    def ask():
        for _ in range(rounds):
            get(base, path, "POST")
        busy.set()

    asker = threading.Thread(target=ask)
    asker.start()
    while not busy.is_set():
        started = time.perf_counter()
        get(base, "/ping")
        times.append(time.perf_counter() - started)
    asker.join()
    return times


def serve(db_dir, sock, journal):
    server = uvicorn.Server(uvicorn.Config(create_app(db_dir, journal), log_level="warning"))
    server.run(sockets=[sock])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", action="store_true")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--db", default="orders-db")
    parser.add_argument("--journal", default="process", choices=["off", "process", "always"])
    args = parser.parse_args()
    trace_lines_to(os.devnull)
    if args.serve:
        sock = socket.create_server(("127.0.0.1", args.port))
        print(f"serving on http://127.0.0.1:{sock.getsockname()[1]}", flush=True)
        return serve(args.db, sock, args.journal)
    with tempfile.TemporaryDirectory() as d:
        db = moxal.Moxal(d)
        db.insert_many("orders", [{"id": i, "status": "shipped" if i % 7 == 0 else "open"}
                                  for i in range(100_000)])
        db.write_all()
        del db
        # The server in a process of its own, as it would be; without the
        # journal, so that each save writes all the orders (with it, a save
        # writes only what changed since the last).
        server = subprocess.Popen([sys.executable, __file__, "--serve", "--port", "0",
                                   "--db", d, "--journal", "off"], stdout=subprocess.PIPE,
                                  text=True)
        base = server.stdout.readline().split()[-1]
        print("open orders:", get(base, "/report").decode())
        for path in ("/save-blocking", "/save"):
            times = pings_during(base, path, rounds=10)
            print(f"/ping during {path}: median {statistics.median(times) * 1000:.2f} ms "
                  f"over {len(times)} pings")
        server.terminate()  # SIGTERM: uvicorn stops, and the lifespan writes
        server.wait(timeout=60)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
