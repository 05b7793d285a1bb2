"""The web-service guide's examples (docs/services.md) against real servers
started here: the Flask service on a threaded WSGI server under a mixed load
from several clients, stopped by SIGTERM, and killed by SIGKILL under load
(its journal keeps every answered insert); the FastAPI service under uvicorn,
whose event loop keeps answering while moxal works in a thread; and the
recipe that keeps update's trace lines out of a threaded program's output.
"""

import http.client
import json
import os
import re
import signal
import subprocess
import sys
import threading
import urllib.error
import urllib.request

import pytest

import moxal

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def start(example, db_dir, log):
    """The example served on a free port: (process, base URL). Its log (a
    line per request) goes to the file `log`."""
    with open(log, "w") as err:
        process = subprocess.Popen(
            [sys.executable, os.path.join(EXAMPLES, example), "--serve", "--port", "0",
             "--db", db_dir], stdout=subprocess.PIPE, stderr=err, text=True)
    line = process.stdout.readline()
    assert line.startswith("serving on "), line + open(log).read()
    return process, line.split()[-1]


def call(base, method, path, body=None):
    data = None if body is None else json.dumps(body).encode()
    request = urllib.request.Request(base + path, data=data, method=method,
                                     headers={"Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            status, text = response.status, response.read()
    except urllib.error.HTTPError as e:
        status, text = e.code, e.read()
    try:
        return status, json.loads(text or b"null")
    except ValueError:
        return status, text.decode()


def stop(process, log):
    """SIGTERM, as a deploy sends it: the process must end cleanly (uvicorn
    raises the signal again once it has shut down). What it printed."""
    process.send_signal(signal.SIGTERM)
    out, _ = process.communicate(timeout=60)
    with open(log) as f:
        err = f.read()
    assert process.returncode in (0, -signal.SIGTERM) and "Traceback" not in err, err
    return out


def client(base, k, rounds, acknowledged, failures):
    """One client's mixed load: inserts, lookups, ranges, counts, an update
    and a delete of its own orders, and queries moxal would refuse."""
    mine = []
    for r in range(rounds):
        status, order = call(base, "POST", "/orders", {"customer": f"c{k}", "total": r})
        if status != 201:
            failures.append(("insert", status, order))
            continue
        mine.append(order["id"])
        checks = [
            (call(base, "GET", f"/orders?customer=c{k}"), lambda got: len(got) == len(mine)),
            (call(base, "GET", f"/orders?customer=c{k}&total={r}"), lambda got: len(got) == 1),
            (call(base, "GET", "/orders?min_total=0&max_total=1"),
             lambda got: all(0 <= o["total"] < 1 for o in got)),
            (call(base, "GET", "/orders/count?status=open"), lambda got: got >= len(mine)),
            (call(base, "GET", "/orders/newest?per_page=3"),
             lambda got: 1 <= len(got) <= 3 and [o["created"] for o in got] == sorted(
                 (o["created"] for o in got), reverse=True)),
            # Refused before moxal sees it, and by moxal (a number it cannot
            # store): 400 both, and the server carries on.
            (call(base, "POST", "/orders/search", {"total": {"$in": [1]}}), None),
            (call(base, "POST", "/orders/search", {"total": {"$gt": 2**70}}), None),
        ]
        for (status, got), ok in checks:
            if (status != 400) if ok is None else (status != 200 or not ok(got)):
                failures.append((k, r, status, got))
    status, after = call(base, "POST", f"/orders/{mine[0]}/add", {"amount": 1})
    for o in after if status == 200 else []:
        o.pop("created", None)
    if status != 200 or after != [{"customer": f"c{k}", "id": mine[0], "status": "open",
                                   "total": 1.0}]:
        failures.append(("add", status, after))
    status, removed = call(base, "DELETE", f"/orders/{mine[-1]}")
    if removed != {"removed": 1}:
        failures.append(("delete", status, removed))
    acknowledged[k] = mine[:-1]


def test_the_flask_service_under_a_mixed_load_then_sigterm(tmp_path):
    db_dir, log = str(tmp_path / "orders"), str(tmp_path / "log")
    process, base = start("service_flask.py", db_dir, log)
    try:
        acknowledged, failures = {}, []
        clients = [threading.Thread(target=client, args=(base, k, 15, acknowledged, failures))
                   for k in range(8)]
        for t in clients:
            t.start()
        for t in clients:
            t.join()
        assert failures == []
        assert call(base, "GET", "/ping") == (200, "pong")
    finally:
        out = stop(process, log)
    # Every acknowledged insert is on disk, written on the way out; the
    # deleted ones are not. Nothing of update's trace lines went to stdout.
    stored = moxal.Moxal(db_dir).find("orders")
    assert sorted(o["id"] for o in stored) == sorted(sum(acknowledged.values(), []))
    assert {type(o["total"]) for o in stored} == {float}
    assert "Update operator" not in out


def test_the_flask_service_killed_mid_load_loses_no_answered_insert(tmp_path):
    """SIGKILL, as an out-of-memory kill or a crash gives it: no handler
    runs, nothing is folded; the journal holds every insert that was
    answered, and reopening the directory gives them."""
    db_dir, log = str(tmp_path / "orders"), str(tmp_path / "log")
    process, base = start("service_flask.py", db_dir, log)
    answered, stop_clients = [], threading.Event()

    def insert(k):
        for r in range(10000):
            if stop_clients.is_set():
                return
            try:
                status, order = call(base, "POST", "/orders", {"customer": f"k{k}", "total": r})
            except (OSError, http.client.HTTPException):
                return  # the server is gone
            if status == 201:
                answered.append(order["id"])

    clients = [threading.Thread(target=insert, args=(k,)) for k in range(4)]
    for t in clients:
        t.start()
    while len(answered) < 200:
        assert process.poll() is None, open(log).read()
        threading.Event().wait(0.01)
    process.kill()
    process.wait()
    stop_clients.set()
    for t in clients:
        t.join()
    stored = {o["id"] for o in moxal.Moxal(db_dir, journal="process").find("orders")}
    assert set(answered) <= stored


def test_the_asyncio_service_writes_on_sigterm(tmp_path):
    db_dir, log = str(tmp_path / "orders"), str(tmp_path / "log")
    process, base = start("service_asyncio.py", db_dir, log)
    try:
        for i in range(5):
            assert call(base, "POST", "/orders", {"id": i, "status": "open"})[0] == 200
        assert call(base, "GET", "/report") == (200, 5)
    finally:
        stop(process, log)
    assert [o["id"] for o in moxal.Moxal(db_dir).find("orders")] == list(range(5))


def run_example(name, tmp_path):
    run = subprocess.run([sys.executable, os.path.join(EXAMPLES, name)], capture_output=True,
                         text=True, cwd=str(tmp_path), timeout=300)
    assert run.returncode == 0, run.stderr
    return run.stdout


def test_to_thread_keeps_the_event_loop_answering(tmp_path):
    # A direct call holds the loop for the whole write: about one /ping gets
    # through per write. Through to_thread the loop answers meanwhile.
    out = run_example("service_asyncio.py", tmp_path)
    pings = dict(re.findall(r"/ping during (\S+): median [\d.]+ ms over (\d+) pings", out))
    assert set(pings) == {"/save-blocking", "/save"}, out
    assert int(pings["/save"]) >= 3 * int(pings["/save-blocking"]), out


@pytest.mark.parametrize("attempt", range(3))
def test_the_trace_recipe_loses_no_line_of_other_threads(tmp_path, attempt):
    # 8 threads update (writing trace lines to descriptor 1, now /dev/null)
    # while 4 print: every printed line arrives, whole, and none of update's.
    lines = run_example("quiet_trace_lines.py", tmp_path).splitlines()
    printed = [f"printer {k} line {r}" for k in range(4) for r in range(200)]
    assert sorted(lines[:-1]) == sorted(printed)
    assert lines[-1] == "800 lines printed, counters at [200.0]"
