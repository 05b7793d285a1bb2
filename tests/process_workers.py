"""The worker processes of tests/test_processes.py, each a Moxal of its own
on a directory that other processes share:

    python tests/process_workers.py KIND CONFIG

KIND is one of CHILDREN; CONFIG a JSON object (the directory, the journal
level, descriptors it inherited: "fd" the pipe its report lines go to).
Commands come on standard input, a line each; a worker whose input ends
(its parent is gone) exits. Kept apart from the tests so that the many
workers the kill test starts need not import pytest.
"""

import collections
import ctypes
import json
import os
import random
import sys
import threading
import time
import warnings

import moxal

KEYS = 5  # shared documents {"k": 0..KEYS-1, "n": count}
THREADS = 3  # per counting worker
FOLD_SHARE = 0.01  # of a counting thread's calls that are write_all
FOLD_DOCS = 120_000  # the collection the folder folds


class Commands:
    """The lines the parent sends on standard input, read by a thread of
    their own; the worker goes when its parent does (end of input)."""

    def __init__(self):
        self.stop = threading.Event()
        self.lines = collections.deque()
        self.arrived = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in sys.stdin:
            line = line.strip()
            if line == "stop":
                self.stop.set()
            with self.arrived:
                self.lines.append(line)
                self.arrived.notify_all()
        os._exit(3)

    def next(self):
        with self.arrived:
            self.arrived.wait_for(lambda: self.lines)
            return self.lines.popleft()


def reporter(fd):
    def report(line):
        try:
            os.write(fd, (line + "\n").encode())
        except OSError:  # the parent is gone
            os._exit(3)
    return report


def state_of(db):
    return {"c": db.find("c"), "ins": db.find("ins")}


def counter_child(cfg):
    """Runs THREADS threads of random calls until told to stop, then reports
    the state it sees when told to check."""
    report = reporter(cfg["fd"])
    commands = Commands()
    wid = cfg["wid"]
    try:
        db = moxal.Moxal(cfg["dir"], journal=cfg["level"])
    except BaseException as e:
        report("e - - open: %s" % ("%s: %s" % (type(e).__name__, e))[:300].replace("\n", " "))
        os._exit(2)
    report("ready")

    def work(t):
        rng = random.Random("%s/%d/%d" % (cfg["seed"], wid, t))
        k = 0
        while not commands.stop.is_set():
            r = rng.random()
            if r < FOLD_SHARE:
                op, arg = "fold", "-"
            elif r < 0.65:
                op, arg = "inc", rng.randrange(KEYS)
            else:
                op, arg = "ins", "%d.%d.%d" % (wid, t, k)
            report("b %d %d %s %s" % (t, k, op, arg))
            try:
                if op == "inc":
                    db.update("c", {"n": {"$inc": 1}}, {"k": arg})
                elif op == "ins":
                    db.insert("ins", {"id": arg})
                else:
                    db.write_all()
            except BaseException as e:  # PanicException included
                report("e %d %d %s" % (t, k, ("%s: %s" % (type(e).__name__, e))[:300]
                                       .replace("\n", " ")))
                return
            report("a %d %d" % (t, k))
            k += 1

    threads = [threading.Thread(target=work, args=(t,)) for t in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    report("stopped")
    while commands.next() != "check":
        pass
    with open(cfg["snap"], "w") as f:
        json.dump(state_of(db), f)
    report("checked")
    os._exit(0)


def ping_child(cfg):
    """Takes turns with another worker: on its turns, changes the shared
    document (or inserts one) and then tells the other through a pipe; on
    the other's, reads which round it was and looks for the change."""
    db = moxal.Moxal(cfg["dir"], journal=cfg["level"])
    role, out_fd, in_fd = cfg["role"], cfg["out"], cfg["in"]
    misses = []
    start = time.monotonic()
    for i in range(cfg["rounds"]):
        if i % 2 == role:
            if i % 5 == 0:
                db.insert("rw", {"r": i})
            else:
                db.update("rw", {"v": i}, {"k": 0})
            os.write(out_fd, b"%07d\n" % i)
        else:
            message = b""
            while len(message) < 8:
                chunk = os.read(in_fd, 8 - len(message))
                if not chunk:
                    os._exit(3)
                message += chunk
            assert int(message) == i, (message, i)
            if i % 5 == 0:
                seen = db.count("rw", {"r": i}) == 1
            else:
                seen = db.find("rw", {"k": 0}) == [{"k": 0, "v": i}]
            if not seen:
                misses.append(i)
    with open(cfg["result"], "w") as f:
        json.dump({"misses": misses, "seconds": time.monotonic() - start}, f)
    os._exit(0)


def folder_child(cfg):
    """Fills a collection, then folds when told, held at the fold's gate
    until told to go on."""
    report = reporter(cfg["fd"])
    commands = Commands()
    db = moxal.Moxal(cfg["dir"], journal="process")
    for first in range(0, FOLD_DOCS, 10_000):
        db.insert_many("big", [{"i": i, "s": "document %d" % i} for i in range(first,
                                                                              first + 10_000)])
    report("filled")
    folding = None
    while True:
        line = commands.next()
        if line == "fold":
            moxal._gate("fold", "close")
            failure = []

            def fold(failure=failure):
                try:
                    db.write_all()
                except BaseException as e:
                    failure.append(repr(e))
            folding = threading.Thread(target=fold)
            folding.start()
            while moxal._gate("fold", "holding") != 1:
                time.sleep(0.001)
            report("held")
        elif line == "go":
            moxal._gate("fold", "open")
            folding.join()
            report("folded %s" % json.dumps(failure))
        elif line == "check":
            report("state %s" % json.dumps({
                "big": db.count("big"), "small": db.count("small"),
                "last": db.find("big", {"i": FOLD_DOCS - 1}),
                "reloads": moxal._gate("reload", "passed")}))
            del db
            os._exit(0)


def failing_child(cfg):
    """Increments the shared counter when told, with the fault shim making
    one of its syncs fail; answers each command with a line of JSON."""
    report = reporter(cfg["fd"])
    commands = Commands()
    shim = ctypes.CDLL(cfg["shim"])
    db = moxal.Moxal(cfg["dir"], journal="always")
    shim.moxal_fault_arm()  # counts this process's syncs from here
    held = {}

    def inc():
        try:
            db.update("c", {"n": {"$inc": 1}}, {"k": 0})
            return "ok"
        except OSError as e:
            return "OSError: %s" % e

    report("ready")
    while True:
        line = commands.next()
        if line == "inc":
            report(json.dumps(inc()))
        elif line == "inc-held":
            # Held after its record is appended and committed, before its
            # sync: what other processes do meanwhile decides what it finds.
            moxal._gate("sync", "close")
            held["thread"] = threading.Thread(target=lambda: held.update(result=inc()))
            held["thread"].start()
            while moxal._gate("sync", "holding") != 1:
                time.sleep(0.001)
            report(json.dumps("held"))
        elif line == "go":
            moxal._gate("sync", "open")
            held["thread"].join()
            report(json.dumps(held["result"]))
        elif line == "find":
            try:
                report(json.dumps(db.find("c")))
            except OSError as e:
                report(json.dumps("OSError: %s" % e))
        elif line == "fired":
            report(json.dumps(shim.moxal_fault_fired()))
        elif line == "exit":
            del db
            os._exit(0)


CHILDREN = {"counter": counter_child, "ping": ping_child, "folder": folder_child,
            "failing": failing_child}


if __name__ == "__main__":
    # A write warning is a fault here, as in the tests (pyproject.toml).
    warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
    CHILDREN[sys.argv[1]](json.loads(sys.argv[2]))
