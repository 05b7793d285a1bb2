"""One fault-injection scenario, run in a child process with the fault shim
preloaded (see shim.c and test_io_faults.py).

    python scenario.py SPEC_JSON

SPEC_JSON names the database directory (`dir`), the shim library (`shim`)
and the operation (`op`): write, write_small, write_link, create,
create_over_lost, insert, drop, drop_all or open. The child builds the operation's starting state with the shim
disarmed, records the state, arms the shim, runs the operation once, disarms
it, records the state again, then runs the operation a second time (the
retry, which must succeed) and prints one JSON object: the exception of the
first run (or null), the state before and after it, the calls the shim
counted, the state after the retry, and the symbolic links under the
directory (relative path -> what it points to) at the end.
"""

import ctypes
import hashlib
import json
import os
import sys
import time

import moxal


def documents(count, first=0):
    """Distinguishable documents, with enough text to fill several buffers."""
    return [{"i": first + i, "name": "d\u00e9j\u00e0 %d" % i, "pad": "x" * 150,
             "tags": [i % 7, None, True, 1.5]} for i in range(count)]


def files(directory):
    """Every file under `directory`: relative path -> sha256 of its bytes
    (the journal's lock file holds the state its objects share while they
    run, not data: only that it is there counts)."""
    found = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            if name.endswith(".moxal-journal.lock"):
                found[os.path.relpath(path, directory)] = "shared state"
                continue
            with open(path, "rb") as f:
                found[os.path.relpath(path, directory)] = hashlib.sha256(f.read()).hexdigest()
    return found


def outcome(call):
    """What call() returned or raised, in a comparable form."""
    try:
        return {"ok": call()}
    except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException
        return {"type": type(e).__name__, "message": str(e), "oserror": isinstance(e, OSError),
                "notes": getattr(e, "__notes__", [])}


def links(directory):
    """Every symbolic link under `directory`: relative path -> its target."""
    found = {}
    for root, dirs, names in os.walk(directory):
        for name in dirs + names:
            path = os.path.join(root, name)
            if os.path.islink(path):
                found[os.path.relpath(path, directory)] = os.readlink(path)
    return found


def memory(db, names):
    """What find() gives for each name: the documents in memory (a name not
    in memory whose file exists would be loaded; the scenarios avoid it)."""
    return {name: outcome(lambda name=name: db.find(name)) for name in names}


def setup(op, d):
    """The database for `op`, its starting state built, and the names to watch."""
    os.makedirs(d, exist_ok=True)
    db = moxal.Moxal(d)
    if op == "write":
        db.insert_many("c", documents(20))
        db.write("c")
        db.insert_many("c", documents(6000, first=20))  # in memory only: several chunks
        return db, ["c"], lambda: db.write("c")
    if op == "write_small":  # fits in one buffer: the only write is the last flush
        db.insert_many("c", documents(2))
        db.write("c")
        db.insert("c", {"new": 1})
        return db, ["c"], lambda: db.write("c")
    if op == "write_link":  # c.json is a link to the file that holds the collection
        db.insert_many("c", documents(20))
        db.write("c")
        os.makedirs(os.path.join(d, "data"))
        os.rename(os.path.join(d, "c.json"), os.path.join(d, "data", "c.json"))
        os.symlink(os.path.join("data", "c.json"), os.path.join(d, "c.json"))
        db.insert_many("c", documents(6000, first=20))
        return db, ["c"], lambda: db.write("c")
    if op == "open":  # three collection files, each opened once by a new Moxal
        for name in ("a", "c", "y"):
            db.insert_many(name, documents(2))
            db.write(name)
        names = ["a", "c", "y"]
        return db, names, lambda: memory(moxal.Moxal(d), names)
    if op == "create":
        return db, ["n"], lambda: db.create_collection("n")
    if op == "create_over_lost":  # in memory, but its file is gone
        db.insert_many("c", documents(3))
        os.remove(os.path.join(d, "c.json"))
        return db, ["c"], lambda: db.create_collection("c")
    if op == "insert":
        return db, ["n"], lambda: db.insert("n", {"a": 1})
    if op in ("drop", "drop_all"):
        for name in ("a", "c"):
            db.insert_many(name, documents(3))
            db.write(name)
            db.insert(name, {"unwritten": name})  # tells memory from the file
        if op == "drop":
            return db, ["a", "c"], lambda: db.drop_collection("c")
        return db, ["a", "c"], lambda: db.drop_all()
    if op == "journal_insert":  # the level that syncs each change before returning
        db = moxal.Moxal(d, journal="always")
        db.insert_many("c", documents(20))
        return db, ["c"], lambda: db.insert("c", {"new": 1})
    if op == "journal_update":
        db = moxal.Moxal(d, journal="always")
        db.insert_many("c", documents(20))
        return db, ["c"], lambda: db.update("c", {"name": {"$set": "changed"}}, {"i": 3})
    if op == "journal_background":  # synced in the background, about twice a second
        db = moxal.Moxal(d, journal="process")
        db.insert_many("c", documents(20))
        db.write_all()

        def insert_then_look():
            db.insert("c", {"new": 1})  # acknowledged: appended, not yet synced
            for _ in range(600):  # the background sync comes within a second
                if SHIM.moxal_fault_calls(b"fsync") > 0:
                    break
                time.sleep(0.05)
            return db.find("c")  # finds the failed sync
        return db, ["c"], insert_then_look
    if op == "journal_fold":  # write_all folding the journal into the file
        db = moxal.Moxal(d, journal="always")
        db.insert_many("c", documents(20))
        db.write_all()
        db.insert_many("c", documents(6000, first=20))
        return db, ["c"], lambda: db.write_all()
    raise SystemExit("unknown op " + op)


SHIM = None


def main():
    global SHIM
    request = json.loads(sys.argv[1])
    shim = SHIM = ctypes.CDLL(request["shim"])
    shim.moxal_fault_calls.argtypes = [ctypes.c_char_p]
    shim.moxal_fault_calls.restype = ctypes.c_long
    shim.moxal_fault_fired.restype = ctypes.c_long
    d = request["dir"]
    db, names, operation = setup(request["op"], d)
    report = {"files_before": files(d), "memory_before": memory(db, names)}
    shim.moxal_fault_arm()
    report["result"] = outcome(operation)
    shim.moxal_fault_disarm()
    report["calls"] = {k: shim.moxal_fault_calls(k.encode())
                       for k in ("open", "write", "fsync", "close", "rename", "unlink", "link",
                                 "pwrite")}
    report["fired"] = shim.moxal_fault_fired()
    report["files_after"] = files(d)
    report["memory_after"] = memory(db, names)
    report["retry"] = outcome(operation)
    report["files_retry"] = files(d) if os.path.isdir(d) else None
    report["memory_retry"] = memory(db, names)
    report["links"] = links(d) if os.path.isdir(d) else None
    print(json.dumps(report))


if __name__ == "__main__":
    main()
