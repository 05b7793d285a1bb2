"""The web-service guide's examples (docs/services.md) against real servers
started here: the Flask service on a threaded WSGI server under a mixed load
from several clients, stopped by SIGTERM, and killed by SIGKILL under load
(its journal keeps every answered insert); the same service under gunicorn
with one, two and four worker processes sharing the directory, stopped and
killed alike; the FastAPI service under uvicorn, whose event loop keeps
answering while moxal works in a thread; and the recipe that keeps update's
trace lines out of a threaded program's output.
"""

import http.client
import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
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
            # Both bounds hold: this client's order of this round only.
            (call(base, "POST", "/orders/search",
                  {"customer": f"c{k}", "total": {"$gte": r, "$lt": r + 1}}),
             lambda got, r=r: [o["total"] for o in got] == [r]),
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


def start_gunicorn(db_dir, tmp_path, workers, preload):
    """The Flask example under gunicorn's threaded worker, on a free port, in
    a process group of its own (so that a test can kill the master and its
    workers at once): (master process, base URL, access log). Returns once
    every worker has answered a request, so the load reaches all of them."""
    log, access = str(tmp_path / "gunicorn.log"), str(tmp_path / "access.log")
    # XDG_RUNTIME_DIR: gunicorn's control socket goes there, one per server.
    env = dict(os.environ, XDG_RUNTIME_DIR=str(tmp_path))
    with open(log, "w") as err:
        master = subprocess.Popen(
            [sys.executable, "-m", "gunicorn", "--worker-class", "gthread", "--threads", "4",
             "--workers", str(workers), "--bind", "127.0.0.1:0", "--chdir", EXAMPLES,
             "--access-logfile", access, "--access-logformat", "%(p)s %(m)s %(U)s %(s)s",
             *(["--preload"] if preload else []), f"service_flask:create_app({db_dir!r})"],
            stdout=subprocess.DEVNULL, stderr=err, env=env, start_new_session=True)
    base, deadline = None, time.monotonic() + 120
    while base is None:
        assert master.poll() is None and time.monotonic() < deadline, open(log).read()
        found = re.search(r"Listening at: (http://\S+)", open(log).read())
        base = found and found.group(1)
        time.sleep(0.05)
    while len(served_by(access)) < workers:
        assert master.poll() is None and time.monotonic() < deadline, open(log).read()
        pings = [threading.Thread(target=call, args=(base, "GET", "/ping")) for _ in range(4)]
        for t in pings:
            t.start()
        for t in pings:
            t.join()
    return master, base, access


def served_by(access_log):
    """The pids of the workers that answered a request."""
    with open(access_log) as f:
        return {line.split()[0] for line in f}


def group_gone(pgid, timeout=60):
    """Waits until no process of the group is left; whether none is."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pgid, 0)
        except ProcessLookupError:
            return True
        time.sleep(0.05)
    return False


def orders_client(base, k, keep_going, acknowledged, totals, unsure, failures):
    """Inserts orders of its own customer and, after each acknowledged one,
    looks it up by id and by customer (whichever worker answers must see
    it), and adds 1 to the total of an earlier order every other round.
    Stops at the first request the server does not answer (it is going):
    an update then unanswered may or may not have been made."""
    customer, mine = f"g{k}", []
    try:
        while keep_going():
            status, order = call(base, "POST", "/orders", {"customer": customer, "total": 0})
            if status != 201:
                failures.append(("insert", status, order))
                return
            mine.append(order["id"])
            acknowledged.append(order["id"])
            totals[order["id"]] = 0.0
            status, got = call(base, "POST", "/orders/search", {"id": order["id"]})
            if (status, got) != (200, [order]):
                failures.append(("by id", status, got, order))
            status, got = call(base, "GET", f"/orders?customer={customer}")
            if status != 200 or sorted(o["id"] for o in got) != sorted(mine):
                failures.append(("by customer", status, len(got), len(mine)))
            if len(mine) % 2 == 0:
                target = mine[len(mine) // 3]
                unsure[target] = totals[target] + 1
                status, got = call(base, "POST", f"/orders/{target}/add", {"amount": 1})
                del unsure[target]
                if status != 200 or [o["total"] for o in got] != [totals[target] + 1]:
                    failures.append(("add", status, got))
                totals[target] += 1
    except (OSError, http.client.HTTPException):
        return  # the server is going


@pytest.mark.parametrize("stop, workers, preload", [
    *((stop, workers, preload) for stop in ("sigterm", "sigkill-group")
      for workers in (1, 2, 4) for preload in (False, True)),
    ("sigkill-master", 2, True),
])
def test_the_flask_service_under_gunicorn_keeps_every_answered_change(tmp_path, stop, workers,
                                                                       preload):
    """Several worker processes (forked after the directory is opened, with
    --preload) serve one directory under a mixed load; the master is then
    stopped under that load. SIGTERM: the workers finish their requests and
    fold on the way out. SIGKILL of the master alone: the orphaned workers
    notice and shut down cleanly the same way. SIGKILL of the whole group:
    nothing is folded, the journal holds it all. Each answered insert is
    then in the directory exactly once, with every answered update."""
    db_dir = str(tmp_path / "orders")
    master, base, _ = start_gunicorn(db_dir, tmp_path, workers, preload)
    acknowledged, totals, unsure, failures = [], {}, {}, []
    stopping = threading.Event()
    clients = [threading.Thread(target=orders_client,
                                args=(base, k, lambda: not stopping.is_set(), acknowledged,
                                      totals, unsure, failures))
               for k in range(6)]
    try:
        for t in clients:
            t.start()
        deadline = time.monotonic() + 120
        while len(acknowledged) < 40 * workers and not failures:
            assert master.poll() is None and time.monotonic() < deadline, failures
            time.sleep(0.01)
        # Under load still: the clients go on until the server stops answering.
        if stop == "sigterm":
            master.send_signal(signal.SIGTERM)
        elif stop == "sigkill-master":
            master.kill()
        else:
            os.killpg(master.pid, signal.SIGKILL)
        master.wait(timeout=60)
        assert group_gone(master.pid), "workers outlived their master"
    finally:
        stopping.set()
        if master.poll() is None:
            os.killpg(master.pid, signal.SIGKILL)
            master.wait()
        for t in clients:
            t.join()
    assert failures == []
    log = open(tmp_path / "gunicorn.log").read()
    assert "Traceback" not in log, log
    if stop == "sigkill-group":
        stored = moxal.Moxal(db_dir, journal="process").find("orders")
    else:
        # Folded on the way out: the files alone hold every change.
        assert master.returncode == (0 if stop == "sigterm" else -signal.SIGKILL), log
        stored = moxal.Moxal(db_dir).find("orders")
    ids = [o["id"] for o in stored]
    assert len(ids) == len(set(ids))
    assert set(acknowledged) <= set(ids)
    assert len(ids) - len(acknowledged) <= 6  # at most an unanswered insert per client
    got = {o["id"]: o["total"] for o in stored}
    wrong = {i: (got[i], t) for i, t in totals.items()
             if got[i] != t and got[i] != unsure.get(i)}
    assert wrong == {}
