"""An orders service: Flask on moxal, served by threads of one process or several.

    python examples/service_flask.py --serve [--port 8000] [--db orders-db]
    gunicorn -w 4 --threads 8 --chdir examples 'service_flask:create_app("orders-db")'

Under gunicorn, the worker processes share the directory through its
journal: each call sees every change any worker made before it, whichever
worker answers. With --preload the directory is opened once, before the
workers are forked, and each worker opens the journal again at its first
call.

With no arguments it starts itself on a free port, sends a few requests,
prints what came back and stops (docs/services.md walks through it).
"""

import argparse
import atexit
import functools
import json
import logging
import os
import signal
import sys
import tempfile
import threading
import time
import urllib.request
import uuid
import warnings

from flask import Flask, jsonify, request
from quiet_trace_lines import trace_lines_to
from werkzeug.serving import make_server

import moxal

OPERATORS = {"$eq", "$ne", "$gt", "$gte", "$lt", "$lte"}
log = logging.getLogger("orders")


def query_problem(query):
    """What is wrong with a client's query, or None: checked before it
    reaches moxal, which would raise PanicException for most of these."""
    if not isinstance(query, dict):
        return "a query is a JSON object"
    for path, condition in query.items():
        if not path or path.startswith("$"):
            return f"{path!r}: a query key is a field path"
        if condition is None or isinstance(condition, list):
            return f"{path}: compare null or a list with {{'$eq': ...}}"
        if isinstance(condition, dict):
            for op, operand in condition.items():  # all must hold: {"$gte": a, "$lt": b}
                if op not in OPERATORS:
                    return f"{path}: unknown operator {op}"
                number = isinstance(operand, (int, float)) and not isinstance(operand, bool)
                if op not in ("$eq", "$ne") and not number:
                    return f"{path}: {op} compares numbers only"
    return None


def number_arg(name):
    """A number from the query string ("?total=999" gives the text "999"),
    as a float: totals are stored as floats (see create_app)."""
    text = request.args.get(name)
    return None if text is None else float(text)


def guarded(view):
    """Answers 400 where moxal raises PanicException (a BaseException, which
    Flask does not handle: it would end the worker, and every write not yet
    flushed with it)."""
    @functools.wraps(view)
    def wrapper(*args, **kwargs):
        try:
            return view(*args, **kwargs)
        except moxal.PanicException as e:
            return jsonify(error=str(e)), 400
    return wrapper


def create_app(db_dir):
    # Every change is in the directory's journal before its request is
    # answered: a crash, a kill -9 or an out-of-memory kill loses nothing.
    db = moxal.Moxal(db_dir, journal="process")
    # Another process's data is never erased silently: a write over a file
    # somebody else wrote raises instead (and is logged below).
    warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
    app = Flask(__name__)
    app.db = db

    def flush():
        """Folds the journal into the collection files, for the tools that
        read them; moxal also does it by itself as the journal grows."""
        try:
            db.write_all()
        except moxal.ConcurrentWriteWarning as e:
            log.error("not written, another process writes here too: %s", e)
        except OSError:
            log.exception("not written")

    atexit.register(flush)  # when the process ends cleanly
    app.flush = flush

    @app.get("/ping")
    def ping():
        return "pong"

    @app.post("/orders")
    def add_order():
        body = request.get_json()
        order = {"id": uuid.uuid4().hex, "customer": str(body["customer"]),
                 "total": float(body["total"]), "status": "open", "created": time.time()}
        db.insert("orders", order)
        return jsonify(order), 201

    @app.get("/orders")
    @guarded
    def list_orders():
        query = {}
        if request.args.get("customer") is not None:
            query["customer"] = request.args["customer"]
        if (total := number_arg("total")) is not None:
            query["total"] = total
        window = {}
        if (low := number_arg("min_total")) is not None:
            window["$gte"] = low
        if (high := number_arg("max_total")) is not None:
            window["$lt"] = high
        if window:  # both bounds hold: one query, one range of an index
            query["total"] = window
        return jsonify(db.find("orders", query))

    @app.get("/orders/newest")
    def newest_orders():
        """A list page, newest first: ?page=0 the newest 20, ?page=1 the
        next 20. moxal sorts and cuts: only the page's orders are built."""
        per_page = max(1, min(int(request.args.get("per_page", 20)), 100))
        page = max(0, int(request.args.get("page", 0)))
        return jsonify(db.find("orders", sort=[("created", -1)], skip=page * per_page,
                               limit=per_page))

    @app.post("/orders/search")
    @guarded
    def search():
        query = request.get_json()
        if (problem := query_problem(query)) is not None:
            return jsonify(error=problem), 400
        return jsonify(db.find("orders", query))

    @app.get("/orders/count")
    @guarded
    def count():
        status = request.args.get("status")
        return jsonify(db.count("orders", None if status is None else {"status": status}))

    @app.post("/orders/<order_id>/add")
    def add_to_total(order_id):
        amount = float(request.get_json()["amount"])
        db.update("orders", {"total": {"$add": amount}}, {"id": order_id})
        return jsonify(db.find("orders", {"id": order_id}))

    @app.delete("/orders/<order_id>")
    def remove_order(order_id):
        return jsonify(removed=db.delete("orders", {"id": order_id}))

    return app


def call(base, method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    req = urllib.request.Request(base + path, data=data, method=method,
                                 headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=30) as response:
            return response.status, json.loads(response.read() or b"null")
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def demo():
    with tempfile.TemporaryDirectory() as d:
        app = create_app(d)
        server = make_server("127.0.0.1", 0, app, threaded=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        base = f"http://127.0.0.1:{server.server_port}"
        try:
            for customer, total in [("ann", 999), ("bob", 120), ("ann", 450)]:
                call(base, "POST", "/orders", {"customer": customer, "total": total})
            print("total=999:", len(call(base, "GET", "/orders?total=999")[1]), "order(s)")
            print("100 <= total < 600:",
                  [o["total"] for o in call(base, "GET", "/orders?min_total=100&max_total=600")[1]])
            print("a bad query:", call(base, "POST", "/orders/search", {"total": {"$in": [1]}}))
            print("open orders:", call(base, "GET", "/orders/count?status=open")[1])
            print("newest two:",
                  [o["total"] for o in call(base, "GET", "/orders/newest?per_page=2")[1]])
            first = call(base, "GET", "/orders?customer=bob")[1][0]["id"]
            print("delete:", call(base, "DELETE", f"/orders/{first}")[1])
        finally:
            server.shutdown()
        app.flush()
        atexit.unregister(app.flush)  # the directory goes with the demo
        print("on disk:", len(moxal.Moxal(d, journal="process").find("orders")), "order(s)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--serve", action="store_true")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--db", default="orders-db")
    args = parser.parse_args()
    trace_lines_to(os.devnull)  # update's trace lines, before any thread starts
    if not args.serve:
        return demo()
    app = create_app(args.db)
    # SIGTERM (a deploy, a container stop) ends the process as Ctrl-C does,
    # so that the journal is folded on the way out. (gunicorn's workers do
    # that themselves.)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    server = make_server("127.0.0.1", args.port, app, threaded=True)
    print(f"serving on http://127.0.0.1:{server.server_port}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
