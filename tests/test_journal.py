"""The journal: every change kept in the directory as it is made.

A directory opened with journal="process" or "always" replays its journal
when it is opened again, giving the state the acknowledged calls made;
write and write_all fold it into the collection files, while other calls go
on. Killed processes and power cuts are tested in test_journal_kills.py and
test_journal_power.py; failing system calls in test_io_faults.py.
"""

import json
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import moxal
from conftest import fd1_captured, read_file, wait_until, write_file

LEVELS = ["process", "always"]
JOURNAL = ".moxal-journal"


def script(db, tmp_path):
    """Every kind of change, on `db` (files to import go to `tmp_path`)."""
    write_file(str(tmp_path / "array.json"), json.dumps([{"a": i} for i in range(3)]))
    write_file(str(tmp_path / "import.json"),
               json.dumps({"c": [{"i": 1}, {"i": 2}], "fresh": {"single": True}}))
    db.insert("c", {"n": 1, "s": "x"})
    db.insert_many("c", [{"n": i, "s": "y" * i} for i in range(2, 40)])
    db.update("c", {"n": {"$inc": 1}}, {"n": {"$gt": 30}})  # patched in place
    db.update("c", {"s": "a much longer string than before"}, {"n": 5})  # a new version
    db.update("c", {"t": {"$set": [1, {"u": None}]}})  # every document
    assert db.delete("c", {"n": {"$lt": 10}}) == 9
    db.insert_many_from_document("d", str(tmp_path / "array.json"))
    db.load_from_document(str(tmp_path / "import.json"))
    db.create_collection("empty")
    db.insert("gone", {"x": 1})
    db.drop_collection("gone")
    db.create_collection("gone")  # the same name again, made afresh
    db.insert("gone", {"x": 2})


def state(db, names=("c", "d", "fresh", "empty", "gone")):
    return {name: db.find(name) for name in names}


def files_of(directory):
    """The collection files' bytes, by name."""
    return {n: read_file(os.path.join(directory, n))
            for n in sorted(os.listdir(directory)) if n.endswith(".json")}


@pytest.mark.parametrize("level", LEVELS)
def test_every_change_is_replayed_exactly(tmp_path, level):
    """Reopened, the directory holds what memory held; folded, the files are
    byte for byte those a journal-free run writes; replaying prints no trace
    line."""
    with fd1_captured():
        plain = moxal.Moxal(str(tmp_path / "plain"))
        script(plain, tmp_path)
        journaled = moxal.Moxal(str(tmp_path / "j"), journal=level)
        script(journaled, tmp_path)
    assert state(journaled) == state(plain)
    del journaled
    with fd1_captured() as out:
        reopened = moxal.Moxal(str(tmp_path / "j"), journal=level)
        after = state(reopened)
    assert out == [b""]
    assert after == state(plain)
    reopened.write_all()
    plain.write_all()
    assert files_of(str(tmp_path / "j")) == files_of(str(tmp_path / "plain"))
    # Folded, the journal holds nothing: the files alone are the state.
    assert os.path.getsize(str(tmp_path / "j" / JOURNAL)) == 64
    del reopened
    assert state(moxal.Moxal(str(tmp_path / "j"))) == state(plain)


def test_the_journals_files_are_not_collections(db_dir):
    db = moxal.Moxal(db_dir, journal="process")
    db.insert("a", {"x": 1})
    db.insert("b", {"x": 2})
    assert sorted(db.collections()) == ["a", "b"]
    assert sorted(os.listdir(db_dir)) == [JOURNAL, JOURNAL + ".lock", "a.json", "b.json"]
    db.drop_all()
    # The journal stays, and with it the directory; nothing comes back.
    assert sorted(os.listdir(db_dir)) == [JOURNAL, JOURNAL + ".lock"]
    assert db.collections() == []
    del db
    reopened = moxal.Moxal(db_dir, journal="process")
    assert reopened.collections() == []
    with pytest.raises(ValueError, match="not found on disk"):
        reopened.find("a")


def test_a_directory_with_changes_in_its_journal_needs_the_journal(db_dir):
    db = moxal.Moxal(db_dir, journal="process")
    db.insert("c", {"x": 1})
    db.write("c")
    db.insert("c", {"x": 2})  # only in the journal
    del db
    with pytest.raises(ValueError, match='^This directory has a journal holding changes.*'
                                         'journal="process" or journal="always"'):
        moxal.Moxal(db_dir)
    db = moxal.Moxal(db_dir, journal="always")
    db.write_all()
    del db
    assert moxal.Moxal(db_dir).find("c") == [{"x": 1}, {"x": 2}]


SHARED = "open the directory with journal=.process. or journal=.always. to share it"


@pytest.mark.parametrize("change", [
    lambda db: db.write("c"),
    lambda db: db.write_all(),
    lambda db: db.create_collection("new"),
    lambda db: db.insert("new", {"x": 1}),
    lambda db: db.drop_collection("c"),
    lambda db: db.drop_all(),
])
def test_an_object_without_the_journal_changes_no_file_while_others_share_it(db_dir, change):
    """An object without the journal would not see the others' changes, and
    its write would undo them: while an object (of any process) has the
    directory open with the journal, it cannot open it, and one opened
    before cannot change its files; it reads what it had."""
    plain = moxal.Moxal(db_dir)
    plain.insert("c", {"x": 1})
    plain.write("c")
    shared = moxal.Moxal(db_dir, journal="process")
    shared.insert("c", {"x": 2})
    with pytest.raises(OSError, match=SHARED):
        moxal.Moxal(db_dir)
    with pytest.raises(OSError, match=SHARED):
        change(plain)
    assert plain.find("c") == [{"x": 1}]
    assert sorted(os.listdir(db_dir)) == [JOURNAL, JOURNAL + ".lock", "c.json"]
    del shared
    change(plain)  # nobody shares it any more


@pytest.mark.parametrize("value, error", [("sometimes", ValueError), (True, TypeError),
                                          (None, TypeError)])
def test_the_journal_argument(db_dir, value, error):
    with pytest.raises(error, match="journal"):
        moxal.Moxal(db_dir, journal=value)
    with pytest.raises(TypeError, match="positional"):
        moxal.Moxal(db_dir, "process")


def journaled_with_records(db_dir, count):
    """A directory whose journal holds `count` inserts (of the collection c)
    after its header, and the journal's path."""
    db = moxal.Moxal(db_dir, journal="process")
    for i in range(count):
        db.insert("c", {"i": i, "pad": "p" * 50})
    del db  # syncs, and notes in the header that everything is synced
    return os.path.join(db_dir, JOURNAL)


@pytest.mark.parametrize("tear", ["partial", "garbage", "zeros"])
def test_a_torn_end_is_cut_off(db_dir, tear):
    """What a process killed while appending leaves (the start of a record),
    or a power cut (bytes the device never wrote): the whole records before
    it are the state, and the file is cut back to them."""
    path = journaled_with_records(db_dir, 5)
    whole = os.path.getsize(path)
    record = read_file(path)[-(whole - 64) // 5:]  # the last record's bytes
    with open(path, "ab") as f:
        f.write({"partial": record[:len(record) // 2], "garbage": os.urandom(100),
                 "zeros": bytes(4096)}[tear])
    expected = 5
    db = moxal.Moxal(db_dir, journal="always")
    assert [d["i"] for d in db.find("c")] == list(range(expected))
    assert os.path.getsize(path) <= whole
    db.insert("c", {"i": "after"})
    del db
    assert [d["i"] for d in moxal.Moxal(db_dir, journal="process").find("c")][-1] == "after"


@pytest.mark.parametrize("where", [0.2, 0.6])
def test_damage_before_the_synced_end_is_an_error_that_changes_nothing(db_dir, where):
    path = journaled_with_records(db_dir, 20)
    data = bytearray(read_file(path))
    at = 64 + int((len(data) - 64) * where)
    data[at] ^= 0x40
    write_file(path, bytes(data))
    with pytest.raises(ValueError, match="^Damaged journal") as e:
        moxal.Moxal(db_dir, journal="process")
    assert any(path in note for note in e.value.__notes__)
    assert read_file(path) == bytes(data)


def test_a_forked_child_works_as_a_process_of_its_own(db_dir):
    """A child forked after the object was opened (a server's workers forked
    from a parent that opened it) opens the journal again at its first call
    and shares the directory with its parent."""
    db = moxal.Moxal(db_dir, journal="process")
    db.insert("c", {"x": 1})
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            db.insert("c", {"x": "child"})
            code = 0 if db.find("c") == [{"x": 1}, {"x": "child"}] else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert db.find("c") == [{"x": 1}, {"x": "child"}]
    db.insert("c", {"x": 2})
    del db
    assert moxal.Moxal(db_dir, journal="process").find("c") == [
        {"x": 1}, {"x": "child"}, {"x": 2}]


def test_a_write_planned_after_another_processs_fold_holds_that_folds_changes(db_dir):
    """A child's write_all caught up, then another process folded the
    journal (restarting it past what the child had applied) before the
    child's fold began: the child's fold must write the state as it is now,
    not the one it caught up with, whose files would lack the changes only
    the other fold's files hold."""
    db = moxal.Moxal(db_dir, journal="process")
    db.insert("c", {"x": "parent"})
    to_child_r, to_child_w = os.pipe()
    to_parent_r, to_parent_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            child = moxal.Moxal(db_dir, journal="process")
            child.insert("c", {"x": "child"})
            moxal._gate("plan-write", "close")  # after catching up, before the fold lock
            writer = threading.Thread(target=child.write_all)
            writer.start()
            while moxal._gate("plan-write", "holding") != 1:
                time.sleep(0.001)
            os.write(to_parent_w, b"h")
            os.read(to_child_r, 1)
            moxal._gate("plan-write", "open")
            writer.join()
            code = 0 if child.count("c") == 3 else 2
        finally:
            os._exit(code)
    assert os.read(to_parent_r, 1) == b"h"
    db.insert("c", {"x": "meanwhile"})
    db.write_all()  # folds, and restarts the journal past the child's position
    os.write(to_child_w, b"g")
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    for fd in (to_child_r, to_child_w, to_parent_r, to_parent_w):
        os.close(fd)
    expected = [{"x": "parent"}, {"x": "child"}, {"x": "meanwhile"}]
    assert db.find("c") == expected
    del db
    assert moxal.Moxal(db_dir, journal="process").find("c") == expected


def test_a_write_waiting_for_another_objects_fold_leaves_its_own_objects_fold_alone(
        db_dir, gate):
    """Thread A's write_all finds another object's fold in progress and is to
    wait for it; meanwhile that fold ends and thread C's write_all (same
    object) begins a fold. A's waiting must not end C's hold on the fold
    lock: a third object's write_all then waits, and never folds at the
    same time as C's (two folds at once restart the journal under each
    other)."""
    x = moxal.Moxal(db_dir, journal="process")
    y = moxal.Moxal(db_dir, journal="process")
    x.insert("a", {"n": 1})
    y.insert("b", {"n": 1})
    gate("fold")
    gate("fold-wait")
    threads = [threading.Thread(target=y.write_all)]
    threads[-1].start()
    wait_until(lambda: moxal._gate("fold", "holding") == 1, "the other object's fold")
    threads.append(threading.Thread(target=x.write_all))  # A
    threads[-1].start()
    wait_until(lambda: moxal._gate("fold-wait", "holding") == 1, "A to wait")
    moxal._gate("fold", "open")
    threads[0].join()
    moxal._gate("fold", "close")
    x.insert("a", {"n": 2})
    threads.append(threading.Thread(target=x.write_all))  # C
    threads[-1].start()
    wait_until(lambda: moxal._gate("fold", "holding") == 1, "C's fold")
    moxal._gate("fold-wait", "open")  # A waits on
    z = moxal.Moxal(db_dir, journal="process")
    z.insert("b", {"n": 2})
    threads.append(threading.Thread(target=z.write_all))
    threads[-1].start()
    wait_until(lambda: moxal._gate("fold-wait", "passed") >= 2
               or moxal._gate("fold", "holding") > 1, "the third object's write_all")
    for _ in range(100):  # a while, for a fold that should not come
        assert moxal._gate("fold", "holding") == 1
        time.sleep(0.005)
    moxal._gate("fold", "open")
    for t in threads:
        t.join()
    del x, y, z
    db = moxal.Moxal(db_dir, journal="process")
    assert (db.find("a"), db.find("b")) == ([{"n": 1}, {"n": 2}], [{"n": 1}, {"n": 2}])


@pytest.mark.parametrize("first", [True, False], ids=["first", "joining"])
def test_changes_made_while_an_object_opens_reach_it(db_dir, gate, first):
    """Another process changes the directory right after an opening object
    read the state, before the opening returns (a worker forked from a
    server's parent opens the journal at its first call, while the others
    serve): the opened object's next call applies that change."""
    before = None if first else moxal.Moxal(db_dir, journal="process")
    if before is not None:
        before.insert("c", {"x": 0})
    opened = []
    # The other process is started first, and changes the directory when
    # told: no fork may happen while the opening waits at the gate, inside
    # its work (a fork waits for every such piece of work to end).
    other = subprocess.Popen([sys.executable, "-c", "import sys, moxal\n"
                              "sys.stdin.readline()\n"
                              "moxal.Moxal(sys.argv[1], journal='process').insert('c', {'x': 1})",
                              db_dir], stdin=subprocess.PIPE, text=True)
    gate("joined")  # in this process only: the other process opens freely
    opener = threading.Thread(
        target=lambda: opened.append(moxal.Moxal(db_dir, journal="process")))
    opener.start()
    wait_until(lambda: moxal._gate("joined", "holding") == 1, "the opening")
    other.communicate("go\n", timeout=120)
    assert other.returncode == 0
    moxal._gate("joined", "open")
    opener.join()
    expected = [{"x": 1}] if first else [{"x": 0}, {"x": 1}]
    assert opened[0].find("c") == expected
    opened[0].insert("c", {"x": 2})
    opened.clear()  # the object goes
    assert moxal.Moxal(db_dir, journal="process").find("c") == expected + [{"x": 2}]




def test_calls_go_on_while_write_folds(db_dir, gate):
    """The fold writes the files without holding the object: while it is
    held at its start, other threads find, count and change documents."""
    db = moxal.Moxal(db_dir, journal="process")
    db.insert_many("c", [{"k": i} for i in range(1000)])
    gate("fold")
    writer = threading.Thread(target=db.write_all)
    writer.start()
    wait_until(lambda: moxal._gate("fold", "holding") == 1, "the fold")
    assert db.find("c", {"k": 42}) == [{"k": 42}]
    db.insert("c", {"k": "during"})
    assert db.count("c") == 1001
    moxal._gate("fold", "open")
    writer.join()
    # The file holds the documents as they were when the fold began; the
    # journal, the insert made meanwhile.
    assert len(json.loads(read_file(os.path.join(db_dir, "c.json")))) == 1000
    del db
    assert moxal.Moxal(db_dir, journal="process").count("c") == 1001


def test_threads_that_wait_for_a_sync_share_the_next(db_dir, gate):
    """Eight threads insert at the level that syncs every change, while the
    first sync is held: the seven others append, and one sync serves them
    all."""
    db = moxal.Moxal(db_dir, journal="always")
    db.insert("c", {"t": "first"})  # made: a change that makes a collection syncs at once
    gate("sync")
    moxal._gate("sync-wait", "close")  # counts from here; never holds a thread
    moxal._gate("sync-wait", "open")
    threads = [threading.Thread(target=db.insert, args=("c", {"t": t})) for t in range(8)]
    for t in threads:
        t.start()
    wait_until(lambda: moxal._gate("sync", "holding") == 1, "the first sync")
    wait_until(lambda: moxal._gate("sync-wait", "passed") >= 7, "the others to wait")
    moxal._gate("sync", "open")
    for t in threads:
        t.join()
    assert moxal._gate("sync", "passed") == 2
    assert db.count("c") == 9


def best_of(runs, work):
    """The shortest of `runs` timings of `work()`, in seconds."""
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        work()
        best = min(best, time.perf_counter() - start)
    return best


def test_replaying_one_insert_after_another_costs_in_proportion_to_them(db_dir):
    """Fifty thousand inserts of one document each, replayed onto a
    collection of a hundred thousand, cost about what loading them from the
    file does: a list grown by exactly one element at a time copies itself
    whole each time, which made this open take over twenty times longer
    than the open of the same documents folded into the file."""
    db = moxal.Moxal(db_dir, journal="process")
    db.insert_many("c", [{"i": i} for i in range(100000)])
    db.write_all()
    for i in range(50000):
        db.insert("c", {"j": i})
    del db
    journaled = best_of(3, lambda: moxal.Moxal(db_dir, journal="process"))
    moxal.Moxal(db_dir, journal="process").write_all()
    folded = best_of(3, lambda: moxal.Moxal(db_dir, journal="process"))
    assert journaled < 5 * folded + 0.1, (journaled, folded)


def test_the_journal_is_folded_when_it_grows(db_dir):
    """Past its bound (16 MiB plus twice the collection files) the journal
    is folded in the background: the file takes the documents, the journal
    starts afresh from where the fold began, and the calls made meanwhile
    are kept."""
    db = moxal.Moxal(db_dir, journal="process")
    doc = {"pad": "x" * 100000}
    inserted = 250  # 25 MB: one fold starts at about 17 MB
    for i in range(inserted):
        db.insert("big", dict(doc, i=i))
    del db  # waits for the fold
    folded = os.path.getsize(os.path.join(db_dir, "big.json"))
    assert folded > 16 << 20
    assert os.path.getsize(os.path.join(db_dir, JOURNAL)) < inserted * 100100 - folded
    reopened = moxal.Moxal(db_dir, journal="process")
    assert [d["i"] for d in reopened.find("big")] == list(range(inserted))


def test_random_changes_reopened_at_random_points_match_a_journal_free_run(tmp_path):
    """Random sequences of changes, the journaled directory closed and
    reopened now and then (with either level), against the same sequence on
    a directory without a journal written at the end."""
    rng = random.Random(int(os.environ.get("MOXAL_SEED", random.randrange(1 << 30))))
    names = ["a", "b", "c"]

    def change(db, op):
        kind, name, arg = op
        if kind == "insert":
            db.insert(name, arg)
        elif kind == "insert_many":
            db.insert_many(name, arg)
        elif kind == "update":
            db.update(name, arg[0], arg[1])
        elif kind == "delete":
            db.delete(name, arg)
        elif kind == "create":
            db.create_collection(name)
        elif kind == "drop":
            db.drop_collection(name)
        elif kind == "write":
            db.write(name)

    def random_op():
        name = rng.choice(names)
        kind = rng.choice(["insert", "insert", "insert_many", "update", "update", "delete",
                           "create", "drop", "write"])
        def doc():
            return {"k": rng.randrange(8),
                    "v": rng.choice([1, 2.5, "s" * rng.randrange(30), None, [1, {"z": True}]])}

        if kind == "insert":
            return kind, name, doc()
        if kind == "insert_many":
            return kind, name, [doc() for _ in range(rng.randrange(5))]
        if kind == "update":
            clause = rng.choice([{"v": {"$inc": 1}}, {"v": "new"}, {"w": {"$set": rng.random()}},
                                 {"v": {"$delete": 1}}, {"k": {"$add": 2}}])
            return kind, name, (clause, rng.choice([None, {"k": rng.randrange(8)},
                                                    {"k": {"$gt": 3}}]))
        if kind == "delete":
            return kind, name, rng.choice([{"k": rng.randrange(8)}, {"k": {"$lt": 2}}])
        return kind, name, None

    for round_ in range(12):
        level = rng.choice(LEVELS)
        jdir, pdir = str(tmp_path / ("j%d" % round_)), str(tmp_path / ("p%d" % round_))
        journaled, plain = moxal.Moxal(jdir, journal=level), moxal.Moxal(pdir)
        ops = [random_op() for _ in range(60)]
        with fd1_captured():
            for i, op in enumerate(ops):
                outcomes = []
                for target in (journaled, plain):
                    try:
                        change(target, op)
                        outcomes.append(None)
                    except (ValueError, moxal.PanicException) as e:
                        outcomes.append(str(e))
                assert outcomes[0] == outcomes[1], (op, outcomes)
                if rng.random() < 0.15:
                    del journaled
                    journaled = moxal.Moxal(jdir, journal=rng.choice(LEVELS))
                    for name in names:
                        try:
                            expected = plain.find(name)
                        except ValueError:
                            expected = "missing"
                        try:
                            got = journaled.find(name)
                        except ValueError:
                            got = "missing"
                        assert got == expected, (round_, i, name)
            journaled.write_all()
            plain.write_all()
        assert files_of(jdir) == files_of(pdir), round_
