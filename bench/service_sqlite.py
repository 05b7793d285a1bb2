"""The orders service of examples/service_flask.py on sqlite3: the peer of
bench/processes.py, with the routes the benchmark's load uses.

    gunicorn -w 4 --threads 8 --chdir bench 'service_sqlite:create_app("orders.db")'

Built as a fair peer: each order is a JSON document in one column, with
expression indexes on the fields the queries use (id, customer, total), in
write-ahead-log mode with synchronous=NORMAL (a killed process loses no
commit, a power cut may lose the last ones, as moxal's journal="process");
one connection per thread, one transaction per change; reads return the
stored JSON text as it is, without parsing and serialising it again.
"""

import sqlite3
import threading
import uuid

from flask import Flask, Response, jsonify, request

SCHEMA = """
CREATE TABLE IF NOT EXISTS orders (doc TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS orders_id ON orders (json_extract(doc, '$.id'));
CREATE INDEX IF NOT EXISTS orders_customer ON orders (json_extract(doc, '$.customer'));
CREATE INDEX IF NOT EXISTS orders_total ON orders (json_extract(doc, '$.total'));
"""


def connect(path):
    con = sqlite3.connect(path, isolation_level=None, check_same_thread=False, timeout=60)
    con.execute("PRAGMA journal_mode=WAL")
    con.execute("PRAGMA synchronous=NORMAL")
    return con


def create_app(path):
    connect(path).executescript(SCHEMA)
    local = threading.local()
    app = Flask(__name__)

    def db():
        if not hasattr(local, "con"):
            local.con = connect(path)
        return local.con

    def documents(sql, *args):
        rows = db().execute(sql, args).fetchall()
        return Response("[" + ",".join(r[0] for r in rows) + "]", mimetype="application/json")

    @app.get("/ping")
    def ping():
        return "pong"

    @app.post("/orders")
    def add_order():
        body = request.get_json()
        order = {"id": uuid.uuid4().hex, "customer": str(body["customer"]),
                 "total": float(body["total"]), "status": "open"}
        response = jsonify(order)
        db().execute("INSERT INTO orders (doc) VALUES (?)", (response.get_data(as_text=True),))
        response.status_code = 201
        return response

    @app.get("/orders")
    def list_orders():
        if request.args.get("customer") is not None:
            return documents("SELECT doc FROM orders WHERE json_extract(doc, '$.customer') = ?",
                             request.args["customer"])
        low = float(request.args["min_total"])
        return documents("SELECT doc FROM orders WHERE json_extract(doc, '$.total') >= ?", low)

    @app.post("/orders/<order_id>/add")
    def add_to_total(order_id):
        amount = float(request.get_json()["amount"])
        db().execute("UPDATE orders SET doc = json_set(doc, '$.total', "
                     "json_extract(doc, '$.total') + ?) WHERE json_extract(doc, '$.id') = ?",
                     (amount, order_id))
        return documents("SELECT doc FROM orders WHERE json_extract(doc, '$.id') = ?", order_id)

    return app
