"""Nothing accumulates: every method and the constructor, on the success
path and on each error path, called a few hundred times after a warm-up,
leave behind no Python memory blocks, no open file descriptors, no resident
memory and no bytes held by malloc (where the C++ side allocates).

Under the sanitizer build and under valgrind only the Python block and file
descriptor counts mean anything (the sanitizer keeps freed memory in
quarantine; PYTHONMALLOC=malloc makes the block count 0): the memory checks
are skipped there, and valgrind itself judges leaks."""

import collections.abc
import ctypes
import gc
import os
import shutil
import sys
import warnings

import pytest

import moxal
from conftest import Map, PanicException, Seq, nest, write_file

UNDER_VALGRIND = os.environ.get("MOXAL_VALGRIND") == "1"
# Under valgrind each call is some fifty times slower, and valgrind does
# the judging: a few rounds only walk every path.
WARM_UP = 3 if UNDER_VALGRIND else 30
ROUNDS = 20 if UNDER_VALGRIND else 300
# Allowed growth over ROUNDS calls. A leak of one object or one malloc'd
# chunk per call overshoots each of these several times over; one-off
# caches of the interpreter stay well below.
MAX_BLOCKS = ROUNDS // 5
MAX_FDS = 0
MAX_RSS = 1 << 20
MAX_HEAP = 8 * ROUNDS  # a malloc chunk is at least 32 bytes

MEMORY_CHECKS = os.environ.get("MOXAL_SANITIZE") != "1" and not UNDER_VALGRIND

# Documents large enough that a leaked copy shows in resident memory.
BIG = "x" * 20000
DOCS = [{"i": i, "s": BIG, "tags": ["a", "b"], "sub": {"v": i * 1.5}} for i in range(3)]


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


def _malloc_in_use():
    """Bytes handed out by glibc's malloc (heap and mmap), or 0 elsewhere."""
    libc = ctypes.CDLL(None)
    if not hasattr(libc, "mallinfo2"):
        return 0
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def usage():
    """(Python blocks, open fds, resident bytes, malloc'd bytes)."""
    gc.collect()
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return (sys.getallocatedblocks(), len(os.listdir("/proc/self/fd")), rss,
            _malloc_in_use())


def growth(op, rounds=ROUNDS):
    """What `op` leaves behind over `rounds` calls, after a warm-up."""
    for _ in range(WARM_UP):
        op()
    before = usage()
    for _ in range(rounds):
        op()
    after = usage()
    return tuple(a - b for a, b in zip(after, before))


def excess(op, label="", attempts=3):
    """Every measure that grew past its allowance while running `op`, in
    each of up to `attempts` runs: a leak grows every time, while the
    interpreter's own caches fill once in a while and then stop."""
    for _ in range(attempts):
        found = excess_once(op, label)
        if not found:
            break
    return found


def excess_once(op, label):
    blocks, fds, rss, heap = growth(op)
    print(f"{label}: blocks {blocks:+d} fds {fds:+d} rss {rss:+d} heap {heap:+d}",
          file=sys.stderr)
    found = []
    if blocks > MAX_BLOCKS:
        found.append(f"{blocks} Python blocks left after {ROUNDS} calls")
    if fds > MAX_FDS:
        found.append(f"{fds} file descriptors left open")
    if MEMORY_CHECKS and rss > MAX_RSS:
        found.append(f"resident memory grew by {rss} bytes")
    if MEMORY_CHECKS and heap > MAX_HEAP:
        found.append(f"malloc'd memory grew by {heap} bytes")
    return found


def raises(exc_type, fn, *args, **kwargs):
    """Calls fn and checks it raised exactly `exc_type`."""
    try:
        fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        assert type(e) is exc_type, repr(e)
        return
    raise AssertionError(f"{fn} did not raise {exc_type.__name__}")


class Raising(Map):
    """A mapping that fails while being read (its exception and traceback
    must be released with the failed call)."""

    def __getitem__(self, key):
        raise KeyError(key)


class Shifty(Seq):
    """A sequence whose length differs between two reads."""

    calls = 0

    def __len__(self):
        self.calls += 1
        return 1 + self.calls % 2


class Env:
    """The files and objects the cases work on, under `root`."""

    def __init__(self, root):
        self.root = root
        self.dir = os.path.join(root, "db")
        self.db = moxal.Moxal(self.dir)
        self.db.insert_many("c", DOCS)
        self.db.write("c")
        self.empty = os.path.join(root, "empty")
        os.mkdir(self.empty)
        self.new_dir = os.path.join(root, "new")
        self.drop_all_dir = os.path.join(root, "dropall")
        self.array_doc = self.file("array.json", "[" + ",".join(['{"a":1}'] * 3) + "]")
        self.object_doc = self.file("object.json", '{"p":[{"a":1}],"q":{"b":2}}')
        self.bad_json = self.file("bad.json", '[{"a":')
        self.number_doc = self.file("number.json", "1")
        self.bad_name_doc = self.file("badname.json", '{"..":[]}')
        self.missing = os.path.join(root, "missing.json")
        self.late = os.path.join(self.empty, "late.json")
        # A database whose directory has gone since it was opened.
        self.gone = moxal.Moxal(os.path.join(root, "gone"))
        self.gone.insert("c", {"a": 1})
        shutil.rmtree(os.path.join(root, "gone"))
        # Directories the constructor fails on.
        self.bad_json_dir = self.dir_with("badjson", "x.json", "[1,")
        self.wrong_form_dir = self.dir_with("wrongform", "x.json", "1")
        self.dangling_dir = os.path.join(root, "dangling")
        os.mkdir(self.dangling_dir)
        os.symlink(os.path.join(root, "nowhere"), os.path.join(self.dangling_dir, "x.json"))
        self.non_utf8_dir = self.dir_with("nonutf8", "a.json", "[]")
        write_file(os.fsencode(self.non_utf8_dir) + b"/\xff.json", b"[]")
        # A database whose listing holds a name that is not UTF-8.
        self.odd_listing = moxal.Moxal(self.dir_with("oddlisting", "a.json", "[]"))
        write_file(os.fsencode(os.path.join(root, "oddlisting")) + b"/\xff", b"")

    def file(self, name, text):
        path = os.path.join(self.root, name)
        write_file(path, text)
        return path

    def dir_with(self, name, file_name, text):
        path = os.path.join(self.root, name)
        write_file(os.path.join(path, file_name), text)
        return path

    def fresh(self):
        """A new, empty database (the directory holds no collection)."""
        return moxal.Moxal(self.empty)


def new_then_remove(env):
    moxal.Moxal(env.new_dir)
    os.rmdir(env.new_dir)


def find_late(env):
    """find loading a collection that appeared on disk after opening."""
    db = env.fresh()
    write_file(env.late, '[{"a":1}]')
    assert db.find("late") == [{"a": 1}]
    db.drop_collection("late")


def delete_then_insert(env):
    """delete of one document, put back so every round deletes one."""
    assert env.db.delete("c", {"i": 1}) == 1
    env.db.insert("c", DOCS[1])


def changed_file(env):
    """The file of "c" as somebody else wrote it: write warns of it."""
    os.utime(os.path.join(env.dir, "c.json"), ns=(0, 0))


def write_warned(env, action, *args):
    """write (of "c"), or write_all without `args`, of a changed file."""
    changed_file(env)
    call = env.db.write if args else env.db.write_all
    with warnings.catch_warnings():
        warnings.simplefilter(action, moxal.ConcurrentWriteWarning)
        if action == "error":
            raises(moxal.ConcurrentWriteWarning, call, *args)
        else:
            call(*args)


def drop_all_ok(env):
    os.mkdir(env.drop_all_dir)
    db = moxal.Moxal(env.drop_all_dir)
    db.create_collection("a")
    db.drop_all()


def nested_call(method, args, message):
    """A mapping whose keys() calls back into the same object: the nested
    call gets the borrow error and the outer call carries on."""

    class CallsBack(collections.abc.Mapping):
        def __init__(self, db):
            self.db = db

        def keys(self):
            try:
                getattr(self.db, method)(*args)
            except RuntimeError as e:
                assert str(e) == message
            else:
                raise AssertionError("nested call was not refused")
            return ["k"]

        def __getitem__(self, key):
            return 1

        def __iter__(self):
            return iter(["k"])

        def __len__(self):
            return 1

    def op(env):
        db = env.fresh()
        db.insert("c", {"m": CallsBack(db)})
        assert db.find("c") == [{"m": {"k": 1}}]

    return op


LONG = "n" * 300  # a file name longer than the system allows
QUERY = {"sub.v": {"$gt": 1}}

CASES = {
    # The constructor.
    "new ok": lambda e: moxal.Moxal(e.dir),
    "new ok, makes the directory": new_then_remove,
    "new argument missing": lambda e: raises(TypeError, moxal.Moxal),
    "new argument not a str": lambda e: raises(TypeError, moxal.Moxal, 5),
    "new lone surrogate": lambda e: raises(UnicodeEncodeError, moxal.Moxal, "\udc80"),
    "new bad JSON": lambda e: raises(ValueError, moxal.Moxal, e.bad_json_dir),
    "new wrong stored form": lambda e: raises(PanicException, moxal.Moxal, e.wrong_form_dir),
    "new dangling link": lambda e: raises(OSError, moxal.Moxal, e.dangling_dir),
    "new file name not UTF-8": lambda e: raises(PanicException, moxal.Moxal, e.non_utf8_dir),
    # load_from_document.
    "load_from_document ok": lambda e: e.fresh().load_from_document(e.object_doc),
    "load_from_document no argument":
        lambda e: raises(TypeError, e.db.load_from_document),
    "load_from_document missing file":
        lambda e: raises(OSError, e.db.load_from_document, e.missing),
    "load_from_document bad JSON":
        lambda e: raises(ValueError, e.db.load_from_document, e.bad_json),
    "load_from_document not an object":
        lambda e: raises(PanicException, e.db.load_from_document, e.number_doc),
    "load_from_document invalid collection name":
        lambda e: raises(ValueError, e.fresh().load_from_document, e.bad_name_doc),
    # create_collection.
    "create_collection ok":
        lambda e: (e.db.create_collection("new"), e.db.drop_collection("new")),
    "create_collection exists": lambda e: e.db.create_collection("c"),
    "create_collection invalid name":
        lambda e: raises(ValueError, e.db.create_collection, "../x"),
    "create_collection OS error":
        lambda e: raises(OSError, e.db.create_collection, LONG),
    "create_collection not a str": lambda e: raises(TypeError, e.db.create_collection, b"c"),
    # insert.
    "insert ok": lambda e: e.fresh().insert("c", DOCS[0]),
    "insert ok, every kind of value": lambda e: e.fresh().insert("c", {
        "t": (1, 2.5, None, True), "s": {3}, "r": range(3), "n": float("nan"),
        "big": 2**64 - 1, "neg": -(2**63), "o": collections.OrderedDict(a=1)}),
    "insert unsupported type":
        lambda e: raises(PanicException, e.db.insert, "c", {"v": object()}),
    "insert mapping that raises":
        lambda e: raises(PanicException, e.db.insert, "c", {"v": Raising({"k": 0})}),
    "insert sequence length changes":
        lambda e: raises(PanicException, e.db.insert, "c", {"v": Shifty([0, 1])}),
    "insert number out of range":
        lambda e: raises(PanicException, e.db.insert, "c", {"v": 2**64}),
    "insert int too big": lambda e: raises(PanicException, e.db.insert, "c", {"v": 2**200}),
    "insert lone surrogate": lambda e: raises(PanicException, e.db.insert, "c", {"\udc80": 1}),
    "insert self-containing": lambda e: raises(PanicException, e.db.insert, "c", SELF),
    "insert too deep": lambda e: raises(PanicException, e.db.insert, "c", DEEP),
    "insert invalid name": lambda e: raises(ValueError, e.db.insert, "", {}),
    "insert not a dict": lambda e: raises(TypeError, e.db.insert, "c", []),
    "insert nested exclusive call":
        nested_call("find", ("c",), "Already borrowed"),
    "insert nested shared call":
        nested_call("collections", (), "Already mutably borrowed"),
    # insert_many.
    "insert_many ok": lambda e: e.fresh().insert_many("c", DOCS),
    "insert_many unsupported type":
        lambda e: raises(PanicException, e.db.insert_many, "c", [{}, {"v": object()}]),
    "insert_many not a list": lambda e: raises(TypeError, e.db.insert_many, "c", ({},)),
    "insert_many invalid name": lambda e: raises(ValueError, e.db.insert_many, "/x", []),
    # insert_many_from_document.
    "insert_many_from_document ok":
        lambda e: e.fresh().insert_many_from_document("c", e.array_doc),
    "insert_many_from_document missing file":
        lambda e: raises(OSError, e.db.insert_many_from_document, "c", e.missing),
    "insert_many_from_document bad JSON":
        lambda e: raises(ValueError, e.db.insert_many_from_document, "c", e.bad_json),
    "insert_many_from_document not an array":
        lambda e: raises(ValueError, e.db.insert_many_from_document, "c", e.object_doc),
    "insert_many_from_document invalid name":
        lambda e: raises(ValueError, e.db.insert_many_from_document, "a/../..", e.array_doc),
    # find.
    "find ok": lambda e: e.db.find("c"),
    "find ok, query, cold": lambda e: (e.db.clear_cache(), e.db.find("c", QUERY)),
    "find ok, query, cached": lambda e: e.db.find("c", QUERY),
    "find ok, loads from disk": find_late,
    "find not found on disk": lambda e: raises(ValueError, e.db.find, "nothere"),
    "find unknown operator":
        lambda e: raises(PanicException, e.db.find, "c", {"i": {"$nope": 1}}),
    "find empty object as a value":
        lambda e: raises(PanicException, e.db.find, "c", {"i": {}}),
    "find non-numeric operand":
        lambda e: raises(ValueError, e.db.find, "c", {"i": {"$gt": "x"}}),
    "find empty path": lambda e: raises(PanicException, e.db.find, "c", {"$gt": 1}),
    "find unsupported type in query":
        lambda e: raises(PanicException, e.db.find, "c", {"i": object()}),
    "find invalid name": lambda e: raises(ValueError, e.db.find, "..", None),
    "find query not a dict": lambda e: raises(TypeError, e.db.find, "c", [1]),
    "find too many arguments": lambda e: raises(TypeError, e.db.find, "c", None, 1),
    # count.
    "count ok": lambda e: e.db.count("c"),
    "count ok, query, cold": lambda e: (e.db.clear_cache(), e.db.count("c", QUERY)),
    "count ok, query, cached": lambda e: (e.db.find("c", QUERY), e.db.count("c", QUERY)),
    "count not found on disk": lambda e: raises(ValueError, e.db.count, "nothere"),
    "count unknown operator":
        lambda e: raises(PanicException, e.db.count, "c", {"i": {"$nope": 1}}),
    "count non-numeric operand":
        lambda e: raises(ValueError, e.db.count, "c", {"i": {"$gt": "x"}}),
    "count unsupported type in query":
        lambda e: raises(PanicException, e.db.count, "c", {"i": object()}),
    # delete.
    "delete ok": delete_then_insert,
    "delete ok, nothing matches": lambda e: e.db.delete("c", {"i": -1}),
    "delete not found on disk": lambda e: raises(ValueError, e.db.delete, "nothere", {}),
    "delete unknown operator":
        lambda e: raises(PanicException, e.db.delete, "c", {"i": {"$nope": 1}}),
    "delete non-numeric operand":
        lambda e: raises(ValueError, e.db.delete, "c", {"i": {"$gt": "x"}}),
    "delete unsupported type in query":
        lambda e: raises(PanicException, e.db.delete, "c", {"i": object()}),
    "delete query missing": lambda e: raises(TypeError, e.db.delete, "c"),
    # update.
    "update ok": lambda e: e.db.update("c", {"i": {"$inc": 1}}),
    "update ok, filter": lambda e: e.db.update("c", {"sub.v": {"$add": 1}}, QUERY),
    "update ok, return_result":
        lambda e: e.db.update("c", {"i": 5}, return_result=True),
    "update unknown operator":
        lambda e: raises(PanicException, e.db.update, "c", {"i": {"$nope": 1}}),
    "update non-numeric filter":
        lambda e: raises(PanicException, e.db.update, "c", {"i": 1}, {"i": {"$lt": "x"}}),
    "update empty path": lambda e: raises(PanicException, e.db.update, "c", {"$set": 1}),
    "update unsupported type":
        lambda e: raises(PanicException, e.db.update, "c", {"i": {"$set": object()}}),
    "update unsupported type in filter":
        lambda e: raises(PanicException, e.db.update, "c", {"i": 1}, {"i": Raising({"k": 0})}),
    "update not found": lambda e: raises(PanicException, e.db.update, "nothere", {"i": 1}),
    "update too deep":
        lambda e: raises(ValueError, e.db.update, "c", {"sub.v": {"$set": DEEP_VALUE}}),
    "update invalid name": lambda e: raises(ValueError, e.db.update, "", {"i": 1}),
    "update return_result None":
        lambda e: raises(TypeError, e.db.update, "c", {"i": 1}, None, None),
    # collections.
    "collections ok": lambda e: e.db.collections(),
    "collections directory gone": lambda e: raises(FileNotFoundError, e.gone.collections),
    "collections name not UTF-8": lambda e: raises(PanicException, e.odd_listing.collections),
    "collections with an argument": lambda e: raises(TypeError, e.db.collections, 1),
    # drop_collection.
    "drop_collection ok": lambda e: (e.db.insert("d", {}), e.db.drop_collection("d")),
    "drop_collection absent": lambda e: e.db.drop_collection("absent"),
    "drop_collection invalid name":
        lambda e: raises(ValueError, e.db.drop_collection, "a\0b"),
    "drop_collection OS error": lambda e: raises(OSError, e.db.drop_collection, LONG),
    # drop_all.
    "drop_all ok": drop_all_ok,
    "drop_all directory gone": lambda e: raises(PanicException, e.gone.drop_all),
    # write.
    "write ok": lambda e: e.db.write("c"),
    "write not in memory": lambda e: raises(ValueError, e.db.write, "nothere"),
    "write invalid name": lambda e: raises(ValueError, e.db.write, "/etc/x"),
    "write directory gone": lambda e: raises(OSError, e.gone.write, "c"),
    "write two arguments": lambda e: raises(TypeError, e.db.write, "c", "d"),
    "write warns": lambda e: write_warned(e, "ignore", "c"),
    "write warning as an error": lambda e: write_warned(e, "error", "c"),
    # write_all.
    "write_all ok": lambda e: e.db.write_all(),
    "write_all directory gone": lambda e: raises(OSError, e.gone.write_all),
    "write_all warns": lambda e: write_warned(e, "ignore"),
    "write_all warning as an error": lambda e: write_warned(e, "error"),
    # clear_cache.
    "clear_cache ok": lambda e: e.db.clear_cache(),
    "clear_cache with an argument": lambda e: raises(TypeError, e.db.clear_cache, 1),
}

SELF = {"a": []}
SELF["a"].append(SELF)
DEEP = nest(200, {}, key="d")
DEEP_VALUE = nest(124, [])  # as "sub.v", one level more than a document may nest


@pytest.fixture
def env(tmp_path):
    return Env(str(tmp_path))


@pytest.fixture
def quiet_stdout():
    """Sends file descriptor 1 (where update writes its trace lines) to
    /dev/null for the test, so hundreds of calls print nothing."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    yield
    os.dup2(saved, 1)
    os.close(saved)


@pytest.mark.parametrize("case", list(CASES))
def test_no_growth(env, quiet_stdout, case):
    op = CASES[case]
    op(env)  # the case does what it says before it is counted
    assert excess(lambda: op(env), case) == []


def _malloc_touched(size):
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    p = libc.malloc(size)
    ctypes.memset(p, 1, size)
    return p


@pytest.mark.parametrize("leak, what", [
    (lambda: object(), "Python blocks"),
    (lambda: os.dup(0), "file descriptors"),
    (lambda: _malloc_touched(64 * 1024), "resident memory"),
    (lambda: _malloc_touched(64), "malloc'd memory"),
])
def test_the_check_sees_a_leak(leak, what):
    """The measure is not blind: one small leak per call is caught."""
    if not MEMORY_CHECKS and what in ("resident memory", "malloc'd memory"):
        pytest.skip("memory is not measured here")
    if what == "Python blocks" and sys.getallocatedblocks() == 0:
        pytest.skip("the interpreter counts no blocks without its own allocator")
    kept = []
    try:
        found = excess(lambda: kept.append(leak()), "leaking " + what)
        assert any(what in f for f in found), found
    finally:
        if what == "file descriptors":
            for fd in kept:
                os.close(fd)


@pytest.mark.parametrize("gone", ["drop_collection", "delete", "dropped by another object",
                                  "deleted by another object"])
def test_cached_results_let_go_of_documents_that_are_gone(tmp_path, gone):
    """A collection dropped or emptied (by this object, or by another one
    sharing the directory's journal, which this one then catches up with)
    takes its cached results with it: rounds of inserting, finding and
    dropping leave nothing behind (each used to keep its round's documents
    until clear_cache)."""
    if not MEMORY_CHECKS or _malloc_in_use() == 0:
        pytest.skip("memory is not measured here")
    journal = "process" if "another" in gone else "off"
    db = moxal.Moxal(str(tmp_path), journal=journal)
    other = moxal.Moxal(str(tmp_path), journal=journal) if journal != "off" else db
    db.insert("keep", {"k": 1})
    docs = 5000  # about 1.2 MB of documents a round

    def round_(r):
        db.insert_many("c", [{"i": i, "r": r, "s": BIG[:200]} for i in range(docs)])
        assert len(db.find("c", {"r": r})) == docs
        if gone.startswith("drop"):
            other.drop_collection("c")
        else:
            other.delete("c", {})
        assert db.count("keep") == 1  # catches up with the other object's change

    round_(0)
    before = usage()
    for r in range(1, 11):
        round_(r)
    grown = usage()[3] - before[3]
    assert grown < docs * 200 * 2, f"malloc'd memory grew by {grown} bytes over 10 rounds"
