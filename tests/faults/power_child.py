"""The children of tests/test_journal_power.py, and the changes they make.

    python power_child.py MODE SPEC_JSON REPORT_FD

run under the fault shim with its power-cut recorder on (shim.c,
MOXAL_POWER_DIR). MODE is one of:

- random: opens spec["dir"] with journal="always" and makes random changes
  from spec["threads"] threads until killed, with a write_all now and then;
- script: opens it and makes the changes of spec["changes"] in order, then
  closes it and ends;
- recorder: runs one scenario of plain file calls (SCENARIOS) and dies by
  SIGKILL, for the tests of the recorder itself.

Each change is reported on REPORT_FD before the call ("B ID CHANGE", the
change as JSON) and once it has returned ("A ID"), a line written whole; an
exception ends the child with "E ...". The same functions make and apply
the changes in the parent, on a Moxal without the journal, to compute the
states to expect. A change is a JSON list: the method's name and its
arguments, a document's content in place of the path of the file the
method reads.
"""

import contextlib
import ctypes
import json
import os
import random
import signal
import sys
import threading
import warnings

import moxal

PIPE_LINE = 4000  # a report line is written whole (under PIPE_BUF)


# ---- changes ----

def names_of(thread):
    """The collections one thread changes."""
    return ["t%d%s" % (thread, c) for c in "abc"]


def universe(threads):
    return [n for t in range(threads) for n in names_of(t)]


def document(rng, tag):
    return {"k": rng.randrange(50), "v": rng.choice([rng.randrange(100), rng.random() * 100]),
            "s": "%s \u00e9" % tag, "n": {"x": rng.randrange(10)},
            "tag": rng.choice(["a", "b", None, True, 1.5])}


UPDATES = [{"v": {"$inc": 1}}, {"v": {"$add": 2.5}}, {"v": {"$substract": 3}},
           {"s": "set"}, {"n.x": {"$dec": 1}}, {"tag": {"$delete": None}},
           {"v": 7, "s": "both"}]

MAKERS = ("insert", "insert_many", "insert_many_from_document", "load_from_document")


def make_change(rng, thread, n, present, avoid=()):
    """A random change by `thread` (its n-th) of its own collections, valid
    for those of them in `present` (those that exist); never drop_all.
    `avoid` names known faults whose trigger it leaves out."""
    mine = names_of(thread)
    name = rng.choice(mine)
    tag = "%d.%d" % (thread, n)
    docs = lambda count: [document(rng, "%s.%d" % (tag, i)) for i in range(count)]  # noqa: E731
    kind = rng.choices(
        ["insert", "insert_many", "update", "delete", "create_collection", "drop_collection",
         "insert_many_from_document", "load_from_document"],
        [22, 10, 20, 10, 6, 6, 7, 7])[0]
    if kind in ("update", "delete") and name not in present:
        kind = "insert"  # both refuse a collection that does not exist
    if kind == "create_collection" and name in present and "create-cancels-fold" in avoid:
        kind = "insert"
    if kind == "insert":
        return ["insert", name, docs(1)[0]]
    if kind in ("insert_many", "insert_many_from_document"):
        return [kind, name, docs(rng.randint(0, 4))]
    if kind == "update":
        query = rng.choice([None, {}, {"k": rng.randrange(50)}, {"k": {"$lt": rng.randrange(50)}},
                            {"n.x": rng.randrange(10)}])
        return ["update", name, rng.choice(UPDATES), query]
    if kind == "delete":
        return ["delete", name, rng.choice([{"k": rng.randrange(50)},
                                            {"k": {"$gte": rng.randrange(40, 50)}},
                                            {"tag": "a"}, {}])]
    if kind == "load_from_document":
        chosen = sorted(rng.sample(mine, rng.randint(1, 2)))
        return ["load_from_document",
                {c: docs(rng.randint(1, 3)) if rng.random() < 0.7 else docs(1)[0] for c in chosen}]
    return [kind, name]


def apply_change(db, change, doc_path):
    """Makes the change on `db`; `doc_path` is where a change that reads a
    file gets one, written here. write_all is a change that changes
    nothing."""
    kind, args = change[0], change[1:]
    if kind in ("insert_many_from_document", "load_from_document"):
        with open(doc_path, "w") as f:
            json.dump(args[-1], f)
        args = args[:-1] + [doc_path]
    return getattr(db, kind)(*args)


def names_made(change):
    """The collections a change names that it would make if missing."""
    if change[0] == "load_from_document":
        return set(change[1])
    return {change[1]} if change[0] in MAKERS else set()


def names_dropped(change):
    """The collections a change drops; None for every one."""
    if change[0] == "drop_all":
        return None
    return {change[1]} if change[0] == "drop_collection" else set()


def present_names(change, exists):
    """The set of collections that exist after the change, given those
    that existed before."""
    kind = change[0]
    if kind == "drop_all":
        return set()
    if kind == "drop_collection":
        return exists - {change[1]}
    if kind in ("write_all", "update", "delete"):
        return exists
    return exists | names_made(change) | ({change[1]} if kind == "create_collection" else set())


def state_of(db, names):
    """What find gives for each name: its documents, or None when the
    collection is not there."""
    state = {}
    for name in names:
        try:
            state[name] = db.find(name)
        except ValueError as e:
            if "not found on disk" not in str(e):
                raise
            state[name] = None
    return state


# ---- the children ----

def reporter(report_fd):
    def report(line):
        data = (line + "\n").encode()
        assert len(data) <= PIPE_LINE, line
        os.write(report_fd, data)
    return report


class Gate:
    """Shared for the changes of one thread's own collections, exclusive for
    drop_all; a waiting drop_all goes before new shared holders."""

    def __init__(self):
        self.cv = threading.Condition()
        self.readers = 0
        self.writer = False
        self.waiting = 0

    @contextlib.contextmanager
    def held(self, exclusive):
        with self.cv:
            if exclusive:
                self.waiting += 1
                while self.writer or self.readers:
                    self.cv.wait()
                self.waiting -= 1
                self.writer = True
            else:
                while self.writer or self.waiting:
                    self.cv.wait()
                self.readers += 1
        try:
            yield
        finally:
            with self.cv:
                if exclusive:
                    self.writer = False
                else:
                    self.readers -= 1
                self.cv.notify_all()


def random_child(spec, report_fd):
    """Makes random changes from several threads until killed."""
    warnings.simplefilter("ignore")
    report = reporter(report_fd)
    db = moxal.Moxal(spec["dir"], journal="always")
    threads = spec["threads"]
    state = state_of(db, universe(threads))
    # Each thread's collections that exist: its own to change, but drop_all
    # (exclusive) empties every thread's.
    exists = [{n for n in names_of(t) if state[n] is not None} for t in range(threads)]
    gate = Gate()
    seeds = random.Random(spec["seed"])
    rngs = [random.Random(seeds.randrange(1 << 60)) for _ in range(threads)]

    def run(t):
        rng = rngs[t]
        try:
            for n in range(1, 1 << 62):
                if t == 0 and n % spec["write_every"] == 0:
                    with gate.held(False):
                        report("W")
                        db.write_all()
                        report("w")
                drop_all = rng.random() < 0.015
                with gate.held(drop_all):
                    change = ["drop_all"] if drop_all else make_change(rng, t, n, exists[t],
                                                                       spec["avoid"])
                    cid = "%d.%d" % (t, n)
                    report("B %s %s" % (cid, json.dumps(change)))
                    apply_change(db, change, os.path.join(spec["scratch"], cid + ".json"))
                    report("A " + cid)
                    if drop_all:
                        for names in exists:
                            names.clear()
                    else:
                        exists[t] = present_names(change, exists[t])
        except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
            report("E %s: %s" % (type(e).__name__, str(e)[:2000].replace("\n", " | ")))
            os._exit(3)

    workers = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    report("ready")
    for w in workers:
        w.start()
    for w in workers:
        w.join()


def script_child(spec, report_fd):
    """Makes the changes of spec["changes"] in order, then closes the
    database and ends."""
    warnings.simplefilter("ignore")
    report = reporter(report_fd)
    db = moxal.Moxal(spec["dir"], journal="always")
    report("ready")
    for i, change in enumerate(spec["changes"]):
        report("B %d %s" % (i, json.dumps(change)))
        try:
            apply_change(db, change, os.path.join(spec["scratch"], "%d.json" % i))
        except BaseException as e:  # noqa: BLE001
            report("E %s: %s" % (type(e).__name__, str(e)[:2000].replace("\n", " | ")))
            os._exit(3)
        report("A %d" % i)
    del db
    report("closed")


# ---- the recorder's scenarios ----

def recorder_child(spec, report_fd):
    """Runs one scenario over spec["dir"] (which holds the file "a"), then
    dies by SIGKILL."""
    d = spec["dir"]
    path = lambda name: os.path.join(d, name)  # noqa: E731
    SCENARIOS[spec["scenario"]](d, path)
    os.kill(os.getpid(), signal.SIGKILL)


def _sync_dir(d):
    fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
    os.fsync(fd)
    os.close(fd)


def _append_unsynced(d, path):
    fd = os.open(path("a"), os.O_WRONLY | os.O_APPEND)
    os.write(fd, b"x" * 5000)
    os.fsync(fd)
    os.write(fd, b"y" * 9000)


def _new_files(d, path):
    named = os.open(path("named"), os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(named, b"never synced")
    _sync_dir(d)  # the name, not the content
    os.write(named, b" either")
    synced = os.open(path("synced"), os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(synced, b"content")
    os.fsync(synced)  # the content, not the name


def _rename(d, path, sync_dir):
    fd = os.open(path("t.tmp"), os.O_WRONLY | os.O_CREAT, 0o644)
    os.write(fd, b"new")
    os.fsync(fd)
    os.rename(path("t.tmp"), path("a"))
    if sync_dir:
        _sync_dir(d)


def _anonymous(d, path):
    """What moxal does to put a file in place."""
    fd = os.open(d, os.O_TMPFILE | os.O_WRONLY, 0o666)
    os.write(fd, b"[1,2]")
    os.fsync(fd)
    handle = os.open("/proc/self/fd/%d" % fd, os.O_PATH)
    os.close(fd)
    libc = ctypes.CDLL(None, use_errno=True)  # the shim's linkat and renameat2
    at_fdcwd, at_symlink_follow, rename_noreplace = -100, 0x400, 1
    tmp, final = path("c.json.1234.moxal-tmp").encode(), path("c.json").encode()
    assert libc.linkat(at_fdcwd, b"/proc/self/fd/%d" % handle, at_fdcwd, tmp,
                       at_symlink_follow) == 0
    assert libc.renameat2(at_fdcwd, tmp, at_fdcwd, final, rename_noreplace) == 0
    _sync_dir(d)


def _unlink(d, path, sync_dir):
    os.unlink(path("a"))
    if sync_dir:
        _sync_dir(d)


def _hard_link(d, path):
    os.link(path("a"), path("b"))
    _sync_dir(d)
    fd = os.open(path("b"), os.O_WRONLY | os.O_APPEND)
    os.write(fd, b"+more")
    os.fdatasync(fd)
    os.write(fd, b"+lost")


def _rewrite_in_place(d, path):
    fd = os.open(path("a"), os.O_WRONLY)
    os.pwrite(fd, b"HINT", 4)


def _truncate(d, path):
    fd = os.open(path("a"), os.O_WRONLY)
    os.ftruncate(fd, 2)


def _threads(d, path):
    """Threads appending to one file and syncing it, and making files and
    syncing the directory."""
    fd = os.open(path("a"), os.O_WRONLY | os.O_APPEND)
    done = os.open(path("done"), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    _sync_dir(d)

    def appender(t):
        for i in range(200):
            os.write(fd, b"%d:%d\n" % (t, i))
            os.fdatasync(fd)
            # Its sync has returned: noted in "done", synced in turn.
            os.write(done, b"%d:%d\n" % (t, i))
            os.fsync(done)

    def maker(t):
        for i in range(30):
            f = os.open(path("f%d-%d" % (t, i)), os.O_WRONLY | os.O_CREAT, 0o644)
            os.write(f, b"x")
            os.fsync(f)
            os.close(f)
            _sync_dir(d)

    workers = [threading.Thread(target=appender, args=(t,)) for t in range(3)]
    workers += [threading.Thread(target=maker, args=(t,)) for t in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()


SCENARIOS = {
    "append-unsynced": _append_unsynced,
    "new-files": _new_files,
    "rename-without-directory-sync": lambda d, path: _rename(d, path, False),
    "rename-with-directory-sync": lambda d, path: _rename(d, path, True),
    "anonymous-file-put-in-place": _anonymous,
    "unlink-without-directory-sync": lambda d, path: _unlink(d, path, False),
    "unlink-with-directory-sync": lambda d, path: _unlink(d, path, True),
    "hard-link": _hard_link,
    "rewrite-in-place": _rewrite_in_place,
    "truncate": _truncate,
    "threads": _threads,
}


def main():
    children = {"random": random_child, "script": script_child, "recorder": recorder_child}
    children[sys.argv[1]](json.loads(sys.argv[2]), int(sys.argv[3]))


if __name__ == "__main__":
    main()
