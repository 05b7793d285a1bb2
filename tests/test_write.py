"""Writing collections to disk."""

import json
import os
import threading
import time
import warnings

import pytest

import moxal
from conftest import read_file, write_file


def test_exact_bytes_of_a_written_collection(db, db_dir):
    db.insert("c", {"b": 1, "a": [True, None]})
    db.insert("c", {"x": "y"})
    assert db.write("c") is None
    data = read_file(os.path.join(db_dir, "c.json"))
    assert data == b'[{"a":[true,null],"b":1},{"x":"y"}]'
    assert len(data) == 35
    assert sorted(os.listdir(db_dir)) == ["c.json"]  # no temporary file left


def test_numbers_and_strings_survive_writing(db, db_dir):
    values = [2.0, 2, -0.0, 0.1, 1e16, 1e-7, 18446744073709551615, -9223372036854775808,
              "\u00e9\U0001F600\x00\x1f\"\\/\x7f", 1.7976931348623157e308, 5e-324]
    db.insert("c", {"v": values})
    db.write("c")
    text = read_file(os.path.join(db_dir, "c.json"))
    assert text == ('[{"v":[2.0,2,-0.0,0.1,1e16,1e-7,18446744073709551615,'
                    '-9223372036854775808,"\u00e9\U0001F600\\u0000\\u001f\\"\\\\/\x7f",'
                    '1.7976931348623157e308,5e-324]}]').encode()
    [doc] = moxal.Moxal(db_dir).find("c")
    assert doc["v"] == values
    assert [type(v) for v in doc["v"]] == [type(v) for v in values]


def test_empty_collection_writes_two_bytes(db, db_dir):
    db.create_collection("e")
    write_file(os.path.join(db_dir, "e.json"), "garbage")
    with pytest.warns(moxal.ConcurrentWriteWarning):  # somebody else wrote the file
        db.write("e")
    assert read_file(os.path.join(db_dir, "e.json")) == b"[]"


def test_write_of_a_name_not_in_memory(db, db_dir):
    write_file(os.path.join(db_dir, "nope.json"), "[]")
    with pytest.raises(ValueError) as info:
        db.write("nope")
    assert str(info.value) == "Collection 'nope' not found in stored collections"
    assert read_file(os.path.join(db_dir, "nope.json")) == b"[]"


@pytest.mark.parametrize("how", ["write", "write_all"])
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444, 0o666])
def test_a_replaced_file_keeps_its_permission_bits(db, db_dir, how, mode):
    """A private file stays private, whatever the file-creation mask says."""
    paths = [os.path.join(db_dir, name + ".json") for name in ("c", "d")]
    db.insert("c", {"a": 1})
    db.insert("d", {"b": 2})
    for path in paths:
        os.chmod(path, mode)
    old = os.umask(0o022)
    try:
        db.write("c") if how == "write" else db.write_all()
    finally:
        os.umask(old)
    written = paths if how == "write_all" else paths[:1]
    assert [os.stat(p).st_mode & 0o777 for p in written] == [mode] * len(written)
    assert read_file(paths[0]) == b'[{"a":1}]'


@pytest.mark.parametrize("umask, mode", [(0o077, 0o600), (0o022, 0o644), (0, 0o666)])
def test_a_new_file_follows_the_umask(db, db_dir, umask, mode):
    """Files that did not exist: one made by an insert, one written after
    its file was removed from outside."""
    old = os.umask(umask)
    try:
        db.insert("c", {"a": 1})
        db.insert("d", {"b": 2})
        os.remove(os.path.join(db_dir, "d.json"))
        db.write("d")
    finally:
        os.umask(old)
    for name in ("c", "d"):
        assert os.stat(os.path.join(db_dir, name + ".json")).st_mode & 0o777 == mode


def test_write_all_writes_every_collection(db, db_dir):
    for name in ("a", "b", "c"):
        db.insert(name, {"n": name})
    assert db.write_all() is None
    for name in ("a", "b", "c"):
        assert read_file(os.path.join(db_dir, name + ".json")) == ('[{"n":"%s"}]' % name).encode()


def test_write_all_with_nothing_in_memory(db, db_dir):
    assert db.write_all() is None
    assert os.listdir(db_dir) == []


def test_write_all_reports_the_first_failure_after_writing_the_rest(db, db_dir):
    for name in ("a", "b", "c"):
        db.insert(name, {"n": name})
    os.remove(os.path.join(db_dir, "b.json"))
    os.makedirs(os.path.join(db_dir, "b.json", "inside"))  # rename cannot replace it
    with pytest.raises(OSError, match="^Error renaming file: "):
        db.write_all()
    assert read_file(os.path.join(db_dir, "a.json")) == b'[{"n":"a"}]'
    assert read_file(os.path.join(db_dir, "c.json")) == b'[{"n":"c"}]'
    assert sorted(os.listdir(db_dir)) == ["a.json", "b.json", "c.json"]


def test_write_into_a_missing_subdirectory(db, db_dir):
    os.makedirs(os.path.join(db_dir, "sub"))
    db.insert("sub/c", {"a": 1})
    os.remove(os.path.join(db_dir, "sub", "c.json"))
    os.rmdir(os.path.join(db_dir, "sub"))
    with pytest.raises(OSError) as info:
        db.write("sub/c")
    assert str(info.value) == ('Problem creating temporary file: Os { code: 2, kind: NotFound, '
                               'message: "No such file or directory" }')


def test_the_collection_file_is_replaced_not_rewritten(db, db_dir):
    """A reader holding the old file keeps seeing the old content: the new
    content arrives by rename, never by truncating the old file."""
    db.insert("c", {"v": 1})
    db.write("c")
    with open(os.path.join(db_dir, "c.json"), "rb") as old:
        db.insert("c", {"v": 2})
        db.write("c")
        assert old.read() == b'[{"v":1}]'
    assert read_file(os.path.join(db_dir, "c.json")) == b'[{"v":1},{"v":2}]'


@pytest.mark.parametrize("kind", ["symlink", "hardlink", "stale"])
def test_nothing_at_a_predictable_path_is_touched(db, db_dir, tmp_path, kind):
    """A write's temporary file is its own: whatever sits at a name beside
    the collection file (a link someone planted, a file some other program
    left) is neither written through nor removed."""
    outside = tmp_path / "outside.txt"
    outside.write_text("precious")
    planted = os.path.join(db_dir, "c.json.tmp")
    db.insert("c", {"v": 1})
    if kind == "symlink":
        os.symlink(str(outside), planted)
    elif kind == "hardlink":
        os.link(str(outside), planted)
    else:
        write_file(planted, "[{\"half\": ")
    db.write("c")
    assert outside.read_text() == "precious"
    assert os.path.lexists(planted)
    assert not os.path.islink(os.path.join(db_dir, "c.json"))
    assert read_file(os.path.join(db_dir, "c.json")) == b'[{"v":1}]'
    assert sorted(os.listdir(db_dir)) == ["c.json", "c.json.tmp"]



@pytest.mark.parametrize("hops, absolute, mode", [(1, True, 0o600), (3, False, 0o444),
                                                  (1, False, None)])
def test_write_through_symbolic_links(db, db_dir, tmp_path, hops, absolute, mode):
    """The file the links lead to is replaced (a reader of the old file keeps
    the old content) with its permission bits, or made with those the umask
    gives when the last link dangles; every link stays a link."""
    db.insert("c", {"v": 1})
    os.remove(os.path.join(db_dir, "c.json"))
    outside = tmp_path / "outside"
    outside.mkdir()
    chain = ([os.path.join(db_dir, "c.json")] + [str(outside / ("l%d" % i)) for i in range(1, hops)]
             + [str(outside / "target.json")])
    for at, to in zip(chain, chain[1:]):
        os.symlink(to if absolute else os.path.relpath(to, os.path.dirname(at)), at)
    links = {at: os.readlink(at) for at in chain[:-1]}
    target = chain[-1]
    if mode is not None:
        write_file(target, "[]")
        os.chmod(target, mode)
    umask = os.umask(0o027)
    try:
        with open(target if mode else os.devnull, "rb") as old:
            # A file put where the object's own was is somebody else's.
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always")
                db.write("c")
            assert [w.category for w in seen] == ([moxal.ConcurrentWriteWarning] if mode else [])
            assert old.read() == (b"[]" if mode else b"")
    finally:
        os.umask(umask)
    assert read_file(target) == b'[{"v":1}]'
    assert os.stat(target).st_mode & 0o777 == (mode or 0o640)
    assert {at: os.readlink(at) for at in chain[:-1]} == links
    assert os.listdir(db_dir) == ["c.json"]
    assert sorted(os.listdir(str(outside))) == sorted(os.path.basename(p) for p in chain[1:])


@pytest.mark.parametrize("point, message", [
    (lambda d: "c.json", 'Os { code: 40, kind: FilesystemLoop, '
                         'message: "Too many levels of symbolic links" }'),
    (lambda d: os.path.join(d, "missing", "c.json"), 'Os { code: 2, kind: NotFound, '
                                                     'message: "No such file or directory" }'),
], ids=["loop", "into a missing directory"])
def test_a_link_that_leads_nowhere_writable(db, db_dir, point, message):
    db.insert("c", {"v": 1})
    link = os.path.join(db_dir, "c.json")
    os.remove(link)
    os.symlink(point(db_dir), link)
    with pytest.raises(OSError) as info:
        db.write("c")
    assert str(info.value) == "Problem creating temporary file: " + message
    assert os.readlink(link) == point(db_dir)
    assert os.listdir(db_dir) == ["c.json"]


# ---- The warning of a write over somebody else's ---------------------------
# Each case starts from "c" inserted and written, does something, and names
# the object and collection to write then. Two-process cases are in
# test_writers.py.

def _reopened(db, d):
    return moxal.Moxal(d), "c"


def _loaded_on_demand(db, d):
    write_file(os.path.join(d, "late.json"), "[]")
    db.find("late")
    return db, "late"


def _created(db, d):
    db.create_collection("n")
    return db, "n"


def _inserted_into_a_new_collection(db, d):
    db.insert("n", {"a": 1})
    return db, "n"


def _dropped_and_inserted_again(db, d):
    db.drop_collection("c")
    db.insert("c", {"again": 1})
    return db, "c"


def _file_removed(db, d):
    os.remove(os.path.join(d, "c.json"))
    return db, "c"


def _permissions_changed(db, d):
    os.chmod(os.path.join(d, "c.json"), 0o600)
    return db, "c"


def _written_by_threads_at_once(db, d):
    def writes():
        for _ in range(20):
            db.write("c")
            db.write_all()

    threads = [threading.Thread(target=writes) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return db, "c"


def _edited_in_place(db, d):
    with open(os.path.join(d, "c.json"), "a") as f:
        f.write(" ")
    return db, "c"


def _replaced(db, d):
    write_file(os.path.join(d, "c.json"), '[{"by": "someone"}]')
    return db, "c"


def _appeared_where_none_was(db, d):
    os.remove(os.path.join(d, "c.json"))
    db.write_all()  # nothing there: nothing to say
    write_file(os.path.join(d, "c.json"), "[]")
    return db, "c"


def _read_at_a_whole_second(db, d):
    path = os.path.join(d, "c.json")
    os.utime(path, (int(time.time()), int(time.time())))
    return moxal.Moxal(d), "c"


def _same_size_in_the_same_second(db, d):
    # As on a file system with one-second timestamps: read at a whole-second
    # time, then rewritten in place with the same size within that second.
    path = os.path.join(d, "c.json")
    second = int(time.time())
    os.utime(path, (second, second))
    reopened = moxal.Moxal(d)
    with open(path, "r+b") as f:
        f.write(read_file(path).replace(b"1", b"2"))
    os.utime(path, (second, second))
    return reopened, "c"


def _written_by_another_object(db, d):
    other = moxal.Moxal(d)
    other.insert("c", {"by": "other"})
    other.write("c")
    return db, "c"


@pytest.mark.parametrize("how", ["write", "write_all"])
@pytest.mark.parametrize("change, warns", [
    (_reopened, False), (_loaded_on_demand, False), (_created, False),
    (_inserted_into_a_new_collection, False), (_dropped_and_inserted_again, False),
    (_file_removed, False), (_permissions_changed, False), (_written_by_threads_at_once, False),
    (_read_at_a_whole_second, False),
    (_edited_in_place, True), (_replaced, True), (_appeared_where_none_was, True),
    (_written_by_another_object, True), (_same_size_in_the_same_second, True),
], ids=lambda v: v.__name__.strip("_") if callable(v) else None)
def test_a_write_warns_only_of_a_file_somebody_else_wrote(db, db_dir, change, warns, how):
    db.insert("c", {"a": 1})
    db.write("c")
    target, name = change(db, db_dir)
    path = os.path.join(db_dir, name + ".json")
    before = read_file(path) if os.path.exists(path) else None
    write = (lambda: target.write(name)) if how == "write" else target.write_all
    with warnings.catch_warnings():
        warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
        if warns:
            # As an error it is raised before anything is replaced.
            with pytest.raises(moxal.ConcurrentWriteWarning) as info:
                write()
            assert str(info.value) == (
                f"{path} was changed by somebody else since this Moxal object last read or "
                "wrote it: writing replaces it, and what they wrote is lost")
            assert read_file(path) == before
            with pytest.warns(moxal.ConcurrentWriteWarning):
                warnings.simplefilter("always", moxal.ConcurrentWriteWarning)
                write()
            warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
        write()  # written now: nothing to say, also after a write
        write()
    assert json.loads(read_file(path)) == target.find(name)
