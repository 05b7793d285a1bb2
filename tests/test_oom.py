"""Running out of memory around conversions: the interpreter's allocations
(not moxal's own storage, which does not go through Python's allocator) are
made to fail one at a time with _testcapi.set_nomemory, at every position
over the whole of a call: insert, insert_many, find with and without a
query, update returning the documents, collections() and the constructor.

Every call either succeeds with the right result, or raises MemoryError
(directly, or inside the PanicException of a failed conversion), never
crashes, and leaves the database as it was: an update whose returned list
cannot be built changes nothing either.

Each sweep runs in a child process, so a crash shows as a failed test and
the interpreter's half-failed caches do not leak into the other tests:

    python tests/test_oom.py OPERATION DIRECTORY FIRST LAST

prints a JSON summary of the attempts from FIRST to LAST (failing the
allocation numbered start + 1 for each start)."""

import collections
import collections.abc
import gc
import json
import os
import subprocess
import sys

import pytest

try:
    import _testcapi
except ImportError:
    _testcapi = None

import moxal

HERE = os.path.dirname(os.path.abspath(__file__))


class Mapping(collections.abc.Mapping):
    """A user mapping: converting it allocates lists of keys and values.

    conftest's Map is the same, but the sweeps' child must not import
    conftest: that import raises a PanicException, and the child's first
    one must come inside a sweep, where making its type can fail too."""

    def __init__(self, d):
        self.d = d

    def __getitem__(self, key):
        return self.d[key]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def document(i):
    return {"i": i, "name": f"doc {i} \u00e9", "score": i * 0.5, "big": 2**63 + i,
            "neg": -i - 1, "tags": ["a", "b", (i, None)], "set": {True},
            "sub": {"x": {"y": [1, 2, {"z": "w"}]}, "m": Mapping({"k": i})}}


STORED = [{"i": i, "name": f"stored {i}", "tags": ["t"] * 3, "sub": {"v": i}}
          for i in range(4)]
QUERY = {"sub.v": {"$gte": 1}, "tags": {"$eq": ["t", "t", "t"]}, "name": {"$ne": "x"}}
# User mappings inside the update query and the filter, so converting them
# allocates before the update changes anything.
UPDATE = {"sub.v": Mapping({"$add": 10})}
FILTER = {"i": Mapping({"$gte": 1})}


def make_db(root):
    """A database directory holding collection "c" (STORED), and a few
    other collections, written to disk."""
    path = os.path.join(root, "db-\u00e9")  # not ASCII: its UTF-8 form is made
    db = moxal.Moxal(path)
    db.insert_many("c", STORED)
    for name in ("second", "third", "fourth \u00e9"):
        db.create_collection(name)
    db.write_all()
    return path


# Each operation: prepare(path) -> (the call to make under failing
# allocations, the Moxal whose collection "c" is checked afterwards).
def op_insert(path):
    db = moxal.Moxal(path)
    doc = document(7)
    return (lambda: db.insert("c", doc)), db


def op_insert_many(path):
    db = moxal.Moxal(path)
    docs = [document(i) for i in range(3)]
    return (lambda: db.insert_many("c", docs)), db


def op_find(path):
    db = moxal.Moxal(path)
    return (lambda: db.find("c")), db


def op_find_query(path):
    db = moxal.Moxal(path)
    return (lambda: db.find("c", QUERY)), db


def op_find_query_cached(path):
    db = moxal.Moxal(path)
    db.find("c", QUERY)
    return (lambda: db.find("c", QUERY)), db


def op_update(path):
    db = moxal.Moxal(path)
    return (lambda: db.update("c", UPDATE, FILTER, True)), db


def op_collections(path):
    db = moxal.Moxal(path)
    return db.collections, db


def op_new(path):
    path = "".join(list(path))  # a new str: its UTF-8 form is not made yet
    return (lambda: moxal.Moxal(path)), None


OPERATIONS = {
    "insert": op_insert,
    "insert_many": op_insert_many,
    "find": op_find,
    "find_query": op_find_query,
    "find_query_cached": op_find_query_cached,
    "update": op_update,
    "collections": op_collections,
    "new": op_new,
}


def success_result(op, path):
    """What the call returns and the collection holds without any fault."""
    call, db = OPERATIONS[op](path)
    result = call()
    if op == "new":
        return None, result.find("c")
    return (result if op != "insert" and op != "insert_many" else None), db.find("c")


def attempt(call, start, stop, box):
    """Calls `call` with the allocations numbered start + 1 to stop failing
    (stop 0: every one from start + 1 on); the outcome lands in `box`
    (result, exception) without allocating."""
    set_nomemory = _testcapi.set_nomemory
    remove = _testcapi.remove_mem_hooks
    set_nomemory(start, stop)
    try:
        box[0] = call()
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        box[1] = e
    finally:
        remove()


def carries_memory_error(e):
    """MemoryError, or a failed conversion's PanicException holding one."""
    if isinstance(e, MemoryError):
        return True
    return type(e).__name__ == "PanicException" and "MemoryError" in str(e)


def sweep(op, root, first, last, persistent):
    path = make_db(root)
    before = moxal.Moxal(path).find("c")
    result_ok, after_ok = success_result(op, path)
    summary = {"raised": collections.Counter(), "ok": 0, "problems": [], "last_ok": False,
               "last_raised": None}
    for start in range(first, last):
        call, db = OPERATIONS[op](path)
        box = [None, None]
        gc.collect()
        attempt(call, start, 0 if persistent else start + 1, box)
        result, error = box
        if op == "new":
            db, result = result, None
        now = db.find("c") if db is not None else moxal.Moxal(path).find("c")
        if not gc.isenabled():
            summary["problems"].append(f"{start}: the cyclic collector was left off")
            gc.enable()
        if error is None:
            summary["ok"] += 1
            if result != result_ok or now != after_ok:
                summary["problems"].append(f"{start}: succeeded with a wrong result")
        else:
            name = type(error).__name__
            summary["raised"][name] += 1
            summary["last_raised"] = start
            if not carries_memory_error(error):
                summary["problems"].append(f"{start}: {name}: {error}"[:300])
            # A failure leaves the database as it was.
            if now != before:
                summary["problems"].append(f"{start}: the database changed")
        summary["last_ok"] = error is None
    return summary


# ---- The tests: each operation swept in a child process ------------------

SWEEPS = {  # operation: allocation positions to try (about twice the call's)
    "insert": 60,
    "insert_many": 120,
    "find": 120,
    "find_query": 100,
    "find_query_cached": 100,
    "update": 160,
    "collections": 40,
    "new": 40,
}


def run_sweep(op, root, mode):
    run = subprocess.run([sys.executable, os.path.abspath(__file__), op, str(root), "0",
                          str(SWEEPS[op]), mode], capture_output=True, text=True)
    assert run.returncode == 0, f"child died ({run.returncode}): {run.stderr[-3000:]}"
    return json.loads(run.stdout)


@pytest.mark.skipif(_testcapi is None or not hasattr(_testcapi, "set_nomemory"),
                    reason="this interpreter has no _testcapi.set_nomemory")
@pytest.mark.parametrize("mode", ["single", "persistent"])
@pytest.mark.parametrize("op", list(SWEEPS))
def test_every_allocation_failure_raises_and_changes_nothing(tmp_path, op, mode):
    """single: one allocation fails; persistent: every one from there on."""
    summary = run_sweep(op, tmp_path, mode)
    print(f"{op} ({mode}): {SWEEPS[op]} positions, {summary['ok']} succeeded, "
          f"raised {dict(summary['raised'])}, last failing position "
          f"{summary['last_raised']}", file=sys.stderr)
    assert summary["problems"] == []
    assert sum(summary["raised"].values()) > 0, "no allocation failure reached the call"
    assert summary["last_ok"], "the sweep stopped before the end of the call"


# ---- moxal's own storage running out: an address-space limit -------------

# 40 documents, then a Set of a 40 MiB string under an address-space limit
# that leaves room to convert the update query but not for 40 changed
# documents: every changed document is a new blob, so the update runs out
# part of the way through. Then the same update with a short string.
LIMITED_UPDATE = r"""
import resource, sys, moxal
path, return_result, filtered = sys.argv[1], sys.argv[2] == "1", sys.argv[3] == "1"
db = moxal.Moxal(path)
db.insert_many("c", [{"i": i, "s": "x"} for i in range(40)])
before = db.find("c")
update_query = {"s": "y" * (40 << 20)}
maybe_query = {"i": {"$gte": 0}} if filtered else None

def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + (300 << 20), hard))
try:
    db.update("c", update_query, maybe_query, return_result)
    outcome = "no error"
except MemoryError:
    outcome = "MemoryError"
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
del update_query
changed = sum(a != b for a, b in zip(db.find("c"), before))
db.update("c", {"s": "z"}, maybe_query)  # works afterwards
print(outcome, changed, all(d["s"] == "z" for d in db.find("c")), file=sys.stderr)
"""


@pytest.mark.skipif(os.environ.get("MOXAL_SANITIZE") == "1",
                    reason="the sanitizer reserves address space beyond any useful limit")
@pytest.mark.parametrize("filtered", [False, True], ids=["no filter", "filter"])
@pytest.mark.parametrize("return_result", [False, True], ids=["in place", "returned"])
def test_an_update_that_runs_out_of_memory_changes_nothing(tmp_path, return_result, filtered):
    run = subprocess.run([sys.executable, "-c", LIMITED_UPDATE, str(tmp_path / "db"),
                          str(int(return_result)), str(int(filtered))],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stderr.split() == ["MemoryError", "0", "True"]
    # The failed update's trace lines are written all the same.
    assert run.stdout == 'Update operator found Set\nFields: ["s"]\n' * 2


if __name__ == "__main__":
    op_name, directory, lo, hi, mode = sys.argv[1:6]
    # update writes trace lines on file descriptor 1: keep them out of the
    # summary, which goes to the original standard output.
    out_fd = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    out = sweep(op_name, directory, int(lo), int(hi), mode == "persistent")
    os.write(out_fd, json.dumps(out).encode() + b"\n")
