"""Failing file-system calls, one at a time, and full file systems.

Each shim scenario runs in a child process (tests/faults/scenario.py) with
tests/faults/shim.c preloaded: the Nth open, write, fsync, close, rename or
unlink under the database directory fails with a chosen error number. Every
failure must raise the documented exception with its exact message, leave
every file under the directory as it was (byte for byte, so no temporary
file either) and the documents in memory as they were, and the same
operation must succeed once the fault is gone. The full file systems are
tiny tmpfs mounts, used where mounting is allowed.

Under AddressSanitizer (tools/test-sanitized) the shim goes after the
sanitizer's runtime in LD_PRELOAD, which must come first.
"""

import errno
import hashlib
import json
import os
import shutil
import subprocess
import sys

import pytest

import moxal
from conftest import UNWRAP, UNWRAP_NONE, PanicException

FAULTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "faults")

# The kind names the detailed OS error text uses for the error numbers below.
KIND = {errno.EACCES: "PermissionDenied", errno.EPERM: "PermissionDenied",
        errno.EIO: "Uncategorized", errno.ENOSPC: "StorageFull",
        errno.EDQUOT: "FilesystemQuotaExceeded", errno.EROFS: "ReadOnlyFilesystem",
        errno.EFBIG: "FileTooLarge", errno.EXDEV: "CrossesDevices",
        errno.EBUSY: "ResourceBusy", errno.EMFILE: "Uncategorized",
        errno.EMLINK: "TooManyLinks"}

EMPTY_SHA = hashlib.sha256(b"[]").hexdigest()


def detail(err):
    return 'Os { code: %d, kind: %s, message: "%s" }' % (err, KIND[err], os.strerror(err))


def short(err):
    return "%s (os error %d)" % (os.strerror(err), err)


def os_error_type(err):
    """The Python type of an OS error passed on unchanged."""
    return {errno.EACCES: "PermissionError", errno.EPERM: "PermissionError",
            errno.ENOENT: "FileNotFoundError"}.get(err, "OSError")


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    """The shim, compiled for this run."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc or not shutil.which(cc):
        pytest.skip("no C compiler to build the fault shim")
    lib = str(tmp_path_factory.mktemp("shim") / "shim.so")
    build = subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", lib,
                            os.path.join(FAULTS, "shim.c"), "-ldl"],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    return lib


class Runner:
    """Runs scenarios in children, each over a directory of its own."""

    def __init__(self, shim, tmp_path):
        self.shim = shim
        self.tmp_path = tmp_path
        self.runs = 0

    def __call__(self, op, call="", nth=0, err=errno.EIO, mode="fail"):
        self.runs += 1
        d = str(self.tmp_path / ("db%d" % self.runs))
        env = dict(os.environ, MOXAL_FAULT_DIR=d, MOXAL_FAULT_CALL=call,
                   MOXAL_FAULT_NTH=str(nth), MOXAL_FAULT_ERRNO=str(err),
                   MOXAL_FAULT_MODE=mode)
        # A sanitizer runtime already preloaded stays first.
        env["LD_PRELOAD"] = " ".join(p for p in (os.environ.get("LD_PRELOAD"), self.shim) if p)
        request = json.dumps({"dir": d, "shim": self.shim, "op": op})
        child = subprocess.run([sys.executable, os.path.join(FAULTS, "scenario.py"), request],
                               env=env, capture_output=True, text=True, timeout=300)
        assert child.returncode == 0, child.stderr
        report = json.loads(child.stdout.splitlines()[-1])  # after any update trace lines
        report["dir"] = d
        return report


@pytest.fixture
def run(shim, tmp_path):
    return Runner(shim, tmp_path)


def failed_cleanly(report, exc_type, message):
    """The operation raised exactly this and changed nothing; the retry
    succeeded and left no temporary file."""
    assert report["fired"] == 1
    result = report["result"]
    assert (result.get("type"), result.get("message")) == (exc_type, message)
    assert report["files_after"] == report["files_before"]
    assert report["memory_after"] == report["memory_before"]
    assert report["retry"] == {"ok": None}
    assert not any(name.endswith(".moxal-tmp") for name in report["files_retry"] or {})


def written_as_in_memory(report, name="c"):
    """The collection file holds what memory holds, as a new Moxal reads it."""
    assert moxal.Moxal(report["dir"]).find(name) == report["memory_retry"][name]["ok"]


# ---- write ----

@pytest.mark.parametrize("err", [errno.EACCES, errno.EIO, errno.ENOSPC, errno.EDQUOT,
                                 errno.EROFS, errno.EMFILE])
def test_write_cannot_create_the_temporary_file(run, err):
    report = run("write", "open", 1, err)
    failed_cleanly(report, "OSError", "Problem creating temporary file: " + detail(err))
    assert report["calls"]["write"] == 0
    written_as_in_memory(report)


@pytest.mark.parametrize("op", ["write", "write_small"])
@pytest.mark.parametrize("mode, err", [("fail", errno.ENOSPC), ("fail", errno.EIO),
                                       ("fail", errno.EDQUOT), ("fail", errno.EFBIG),
                                       ("zero", 0)])
def test_write_fails_at_each_write_call(run, op, mode, err):
    """An error in the middle of the text is a serializing error, whose note
    says what the system said; one in the last flush of the buffer is an
    internal failure carrying the OS error. A write that accepts nothing
    fails the same ways."""
    writes = run(op)["calls"]["write"]
    assert writes >= (5 if op == "write" else 1)
    last = ('Error { kind: WriteZero, message: "failed to write the buffered data" }'
            if mode == "zero" else detail(err))
    said = "failed to write the buffered data" if mode == "zero" else short(err)
    for nth in range(1, writes + 1):
        report = run(op, "write", nth, err, mode)
        if nth < writes:
            failed_cleanly(report, "ValueError", "Error serializing JSON")
            path = os.path.join(report["dir"], "c.json")
            assert report["result"]["notes"] == [
                f"while writing the collection file {path}: {said}"]
        else:
            failed_cleanly(report, "PanicException", UNWRAP + last)
        assert report["calls"]["fsync"] == report["calls"]["rename"] == 0
        written_as_in_memory(report)


@pytest.mark.parametrize("mode, err", [("short", 0), ("fail", errno.EINTR)])
def test_short_and_interrupted_writes_are_resumed(run, mode, err):
    writes = run("write")["calls"]["write"]
    for nth in range(1, writes + 1):
        report = run("write", "write", nth, err, mode)
        assert report["fired"] == 1
        assert report["result"] == {"ok": None}
        assert report["calls"]["write"] == writes + 1
        assert report["memory_after"] == report["memory_before"]
        assert sorted(report["files_after"]) == ["c.json"]
        written_as_in_memory(report)


@pytest.mark.parametrize("call, err", [("fsync", errno.EIO), ("fsync", errno.ENOSPC),
                                       ("fsync", errno.EDQUOT), ("close", errno.EIO),
                                       ("close", errno.ENOSPC)])
def test_write_cannot_sync_the_temporary_file(run, call, err):
    report = run("write", call, 1, err)
    failed_cleanly(report, "OSError", "Error syncing file: " + detail(err))
    assert report["calls"]["rename"] == 0
    written_as_in_memory(report)


@pytest.mark.parametrize("err", [errno.EACCES, errno.EPERM, errno.EXDEV, errno.EBUSY,
                                 errno.EIO, errno.ENOSPC])
def test_write_cannot_rename(run, err):
    report = run("write", "rename", 1, err)
    failed_cleanly(report, "OSError", "Error renaming file: " + detail(err))
    # Only the write's own temporary name is removed; nothing else is.
    assert report["calls"]["unlink"] == 1
    written_as_in_memory(report)


@pytest.mark.parametrize("err", [errno.ENOSPC, errno.EDQUOT, errno.EMLINK, errno.EIO])
def test_write_cannot_name_the_finished_file(run, err):
    """The anonymous temporary file gets its name just before the rename."""
    report = run("write", "link", 1, err)
    failed_cleanly(report, "OSError", "Problem creating temporary file: " + detail(err))
    assert report["calls"]["rename"] == 0
    written_as_in_memory(report)


@pytest.mark.parametrize("op, name", [("write", "c"), ("create", "n")])
@pytest.mark.parametrize("err", [errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL])
def test_where_anonymous_files_are_refused_a_named_one_is_used(run, op, name, err):
    """The file system refuses O_TMPFILE (the first open): the write goes
    through a uniquely named file instead, and leaves nothing behind."""
    report = run(op, "open", 1, err)
    assert report["fired"] == 1
    assert report["result"] == {"ok": None}
    assert report["calls"]["link"] == 0
    assert sorted(report["files_after"]) == [name + ".json"]
    assert moxal.Moxal(report["dir"]).find(name) == report["memory_after"][name]["ok"]


@pytest.mark.parametrize("call", ["open", "fsync", "close"])
def test_failures_around_the_directory_sync_are_ignored(run, call):
    """The second open, fsync and close are those of the directory, after
    the rename: the write has happened and succeeds."""
    report = run("write", call, 2, errno.EIO)
    assert report["fired"] == 1
    assert report["result"] == {"ok": None}
    assert sorted(report["files_after"]) == ["c.json"]
    written_as_in_memory(report)


@pytest.mark.parametrize("call, err, exc_type, message", [
    ("open", errno.EACCES, "OSError", "Problem creating temporary file: " + detail(errno.EACCES)),
    ("rename", errno.EXDEV, "OSError", "Error renaming file: " + detail(errno.EXDEV)),
    ("open", errno.EOPNOTSUPP, None, None),  # no anonymous file: a named one
])
def test_write_through_a_link(run, call, err, exc_type, message):
    """The file the link leads to is replaced the same way, and the link
    stays; a failure leaves both as they were."""
    report = run("write_link", call, 1, err)
    if exc_type is None:
        assert (report["fired"], report["result"]) == (1, {"ok": None})
    else:
        failed_cleanly(report, exc_type, message)
    assert sorted(report["files_retry"]) == ["c.json", os.path.join("data", "c.json")]
    assert report["links"] == {"c.json": os.path.join("data", "c.json")}
    written_as_in_memory(report)


# ---- opening ----

@pytest.mark.parametrize("mode, err, result", [
    # Removed by another process after the listing: as if never listed.
    ("vanish", 0, None),
    # Missing for a moment, there again at once (removed and put back): opened again.
    ("fail", errno.ENOENT, "loaded"),
    ("fail", errno.EMFILE, ("OSError", "Error opening document " + short(errno.EMFILE))),
])
@pytest.mark.parametrize("nth", [1, 2, 3])
def test_a_collection_file_that_cannot_be_opened(run, mode, err, result, nth):
    report = run("open", "open", nth, err, mode)
    assert report["fired"] == 1
    if result == "loaded":
        assert report["result"]["ok"] == report["memory_before"]
        assert len(report["memory_before"]) == 3
    elif result is not None:
        assert (report["result"]["type"], report["result"]["message"]) == result
        assert report["files_after"] == report["files_before"]
    else:
        loaded = report["result"]["ok"]
        [gone] = set(report["files_before"]) - set(report["files_after"])
        gone = gone[:-len(".json")]
        assert loaded.pop(gone) == {"type": "ValueError", "oserror": False, "notes": [],
                                    "message": "Collection with name '%s' not found on disk" % gone}
        assert loaded == {name: report["memory_before"][name] for name in loaded}
        assert len(loaded) == 2


# ---- create_collection and the implicit creation of insert ----

CREATE_FAULTS = [("open", errno.EACCES), ("open", errno.EDQUOT), ("write", errno.ENOSPC),
                 ("write", errno.EIO), ("fsync", errno.EIO), ("close", errno.EIO),
                 ("link", errno.ENOSPC), ("rename", errno.EPERM), ("rename", errno.EROFS)]


@pytest.mark.parametrize("call, err", CREATE_FAULTS)
def test_create_collection_passes_the_os_error_on(run, call, err):
    report = run("create", call, 1, err)
    failed_cleanly(report, os_error_type(err), short(err))
    assert report["files_before"] == {}
    assert report["memory_after"]["n"]["message"] == "Collection with name 'n' not found on disk"
    assert report["files_retry"] == {"n.json": EMPTY_SHA}
    assert report["memory_retry"] == {"n": {"ok": []}}


@pytest.mark.parametrize("call, err", CREATE_FAULTS[::3])
def test_create_keeps_a_collection_in_memory_whose_file_is_gone(run, call, err):
    """The collection is there already: no file is made or touched, and its
    documents, never written, stay."""
    report = run("create_over_lost", call, 1, err)
    assert report["fired"] == 0 and report["result"] == report["retry"] == {"ok": None}
    assert report["files_after"] == report["files_retry"] == report["files_before"] == {}
    assert len(report["memory_retry"]["c"]["ok"]) == 3


@pytest.mark.parametrize("call, err", CREATE_FAULTS[::2])
def test_insert_that_cannot_create_its_collection(run, call, err):
    report = run("insert", call, 1, err)
    failed_cleanly(report, "PanicException", UNWRAP_NONE)
    assert report["files_retry"] == {"n.json": EMPTY_SHA}
    assert report["memory_retry"] == {"n": {"ok": [{"a": 1}]}}


# ---- drop_collection and drop_all ----

@pytest.mark.parametrize("err", [errno.EACCES, errno.EPERM, errno.EIO, errno.EROFS,
                                 errno.EBUSY])
def test_drop_that_cannot_remove_the_file(run, err):
    report = run("drop", "unlink", 1, err)
    failed_cleanly(report, os_error_type(err), short(err))
    assert {"unwritten": "c"} in report["memory_after"]["c"]["ok"]
    assert sorted(report["files_retry"]) == ["a.json"]
    assert report["memory_retry"]["c"]["type"] == "ValueError"


@pytest.mark.parametrize("err", [errno.ENOENT, errno.ENOTDIR, errno.EISDIR])
def test_drop_ignores_nothing_there(run, err):
    """These mean "no file to remove": the collection leaves memory (find
    then loads the file the shim kept, without the unwritten document)."""
    report = run("drop", "unlink", 1, err)
    assert report["fired"] == 1
    assert report["result"] == {"ok": None}
    assert report["files_after"] == report["files_before"]
    after = report["memory_after"]["c"]["ok"]
    assert len(after) == 3 and {"unwritten": "c"} not in after
    assert report["memory_after"]["a"] == report["memory_before"]["a"]


@pytest.mark.parametrize("nth", [1, 2])
def test_drop_all_keeps_what_it_could_not_remove(run, nth):
    report = run("drop_all", "unlink", nth, errno.EACCES)
    assert report["result"]["type"] == "PermissionError"
    assert report["result"]["message"] == short(errno.EACCES)
    [kept] = report["files_after"]
    kept = kept[:-len(".json")]
    assert report["files_after"][kept + ".json"] == report["files_before"][kept + ".json"]
    for name in ("a", "c"):
        if name == kept:
            assert report["memory_after"][name] == report["memory_before"][name]
        else:
            assert report["memory_after"][name]["type"] == "ValueError"
    assert report["retry"] == {"ok": None}
    assert report["files_retry"] is None  # the emptied directory is removed too


# ---- the journal ----

@pytest.mark.parametrize("op", ["journal_insert", "journal_update"])
@pytest.mark.parametrize("mode, err", [("fail", errno.ENOSPC), ("fail", errno.EIO),
                                       ("fail", errno.EDQUOT), ("zero", 0)])
def test_a_change_whose_record_cannot_be_appended_is_not_made(run, op, mode, err):
    report = run(op, "pwrite", 1, err, mode)
    last = ('Error { kind: WriteZero, message: "failed to write the buffered data" }'
            if mode == "zero" else detail(err))
    failed_cleanly(report, "OSError", "Error writing to the journal: " + last)
    assert report["calls"]["fsync"] == 0


@pytest.mark.parametrize("op", ["journal_insert", "journal_update"])
@pytest.mark.parametrize("mode, err", [("short", 0), ("fail", errno.EINTR)])
def test_short_and_interrupted_appends_are_resumed(run, op, mode, err):
    report = run(op, "pwrite", 1, err, mode)
    assert report["fired"] == 1 and report["result"] == {"ok": None}
    assert report["calls"]["pwrite"] == 2
    assert moxal.Moxal(report["dir"], journal="always").find("c") == \
        report["memory_retry"]["c"]["ok"]


@pytest.mark.parametrize("op", ["journal_insert", "journal_update"])
@pytest.mark.parametrize("err", [errno.EIO, errno.ENOSPC])
def test_a_change_whose_journal_sync_fails_is_not_made(run, op, err):
    """The record was appended but could not be synced: the call raises, and
    the object goes back to what the synced journal holds (at its next
    call), so the change is neither in memory nor in the journal."""
    report = run(op, "fsync", 1, err)
    failed_cleanly(report, "OSError", "Error syncing the journal: " + detail(err))
    assert moxal.Moxal(report["dir"], journal="always").find("c") == \
        report["memory_retry"]["c"]["ok"]


def test_a_failed_background_sync_is_told_by_the_next_call(run):
    """At the level that syncs in the background, a failed sync leaves
    nothing to trust past the last sync: the next call goes back to that
    state and says so; calls after it work."""
    report = run("journal_background", "fsync", 1, errno.EIO)
    assert report["fired"] == 1
    assert (report["result"]["type"], report["result"]["message"]) == (
        "OSError", "Error syncing the journal: " + detail(errno.EIO))
    assert report["memory_after"] == report["memory_before"]
    assert {"new": 1} in report["memory_retry"]["c"]["ok"]
    assert moxal.Moxal(report["dir"], journal="process").find("c") == \
        report["memory_retry"]["c"]["ok"]


@pytest.mark.parametrize("call, nth, err, message", [
    ("open", 1, errno.EACCES, "Problem creating temporary file: "),
    ("fsync", 1, errno.EIO, "Error syncing file: "),
    ("fsync", 2, errno.ENOSPC, "Error syncing the journal: "),  # the fold's record
    ("rename", 1, errno.EIO, "Error renaming file: "),
])
def test_a_fold_that_fails_keeps_everything_in_the_journal(run, call, nth, err, message):
    """write_all folding the journal fails at each of its steps: it raises,
    memory is as it was, the directory still opens to that state, and the
    fold succeeds once the fault is gone."""
    report = run("journal_fold", call, nth, err)
    assert report["fired"] == 1
    assert (report["result"]["type"], report["result"]["message"]) == ("OSError",
                                                                        message + detail(err))
    assert report["memory_after"] == report["memory_before"]
    assert report["retry"] == {"ok": None}
    assert moxal.Moxal(report["dir"]).find("c") == report["memory_retry"]["c"]["ok"]


# ---- full file systems ----

@pytest.fixture
def tiny_fs(tmp_path):
    """Mounts a tmpfs of the given size and inode count; skips where
    mounting is not allowed."""
    mounted = []

    def mount(size, inodes=64):
        mnt = tmp_path / ("mnt%d" % len(mounted))
        mnt.mkdir()
        options = "size=%s,nr_inodes=%d" % (size, inodes)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(mnt)],
                          capture_output=True).returncode != 0:
            pytest.skip("cannot mount a tmpfs here")
        mounted.append(mnt)
        return mnt

    yield mount
    for mnt in mounted:
        subprocess.run(["umount", str(mnt)], check=True)


def fill_space(path):
    """Writes to `path` until the file system has no byte left."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, b"\0" * 65536)
    except OSError as e:
        assert e.errno == errno.ENOSPC
    finally:
        os.close(fd)


def fill_inodes(directory):
    """Creates empty files until the file system has no inode left."""
    try:
        for i in range(10000):
            open(os.path.join(directory, "f%d" % i), "x").close()
    except OSError as e:
        assert e.errno == errno.ENOSPC
    else:
        raise AssertionError("inodes never ran out")


def test_write_on_a_full_file_system(tiny_fs):
    mnt = tiny_fs("512k")
    d = str(mnt / "db")
    db = moxal.Moxal(d)
    db.insert("c", {"old": 1})
    db.write("c")
    fill_space(str(mnt / "filler"))
    db.insert_many("c", [{"i": i, "pad": "y" * 200} for i in range(500)])
    before = db.find("c")
    with pytest.raises(ValueError, match="^Error serializing JSON\nwhile writing the collection file "):
        db.write("c")
    assert os.listdir(d) == ["c.json"]
    assert moxal.Moxal(d).find("c") == [{"old": 1}]
    assert db.find("c") == before
    os.remove(str(mnt / "filler"))
    db.write("c")
    assert moxal.Moxal(d).find("c") == before


def test_create_and_insert_on_a_full_file_system(tiny_fs):
    mnt = tiny_fs("64k")
    d = str(mnt / "db")
    db = moxal.Moxal(d)
    fill_space(str(mnt / "filler"))
    with pytest.raises(OSError) as info:
        db.create_collection("n")
    assert (type(info.value), str(info.value)) == (OSError, short(errno.ENOSPC))
    with pytest.raises(PanicException) as info:
        db.insert("m", {"a": 1})
    assert str(info.value) == UNWRAP_NONE
    assert os.listdir(d) == []
    os.remove(str(mnt / "filler"))
    db.insert("m", {"a": 1})
    assert os.listdir(d) == ["m.json"]


def test_write_through_a_link_to_another_file_system(tiny_fs, db, db_dir):
    """The temporary file goes beside the file the link leads to, so the
    rename never crosses file systems."""
    target = tiny_fs("1m") / "c.json"
    target.write_text("[]")
    db.insert("c", {"a": 1})
    os.remove(os.path.join(db_dir, "c.json"))
    os.symlink(str(target), os.path.join(db_dir, "c.json"))
    with pytest.warns(moxal.ConcurrentWriteWarning):
        db.write("c")
    assert os.readlink(os.path.join(db_dir, "c.json")) == str(target)
    assert json.loads(target.read_text()) == [{"a": 1}]
    assert os.listdir(str(target.parent)) == ["c.json"]


def test_no_inode_left(tiny_fs):
    mnt = tiny_fs("1m", inodes=16)
    d = str(mnt / "db")
    db = moxal.Moxal(d)
    db.insert("c", {"old": 1})
    db.write("c")
    db.insert("c", {"new": 2})
    fill_inodes(str(mnt))
    with pytest.raises(OSError) as info:
        db.write("c")
    assert str(info.value) == "Problem creating temporary file: " + detail(errno.ENOSPC)
    with pytest.raises(OSError) as info:
        db.create_collection("n")
    assert (type(info.value), str(info.value)) == (OSError, short(errno.ENOSPC))
    assert os.listdir(d) == ["c.json"]
    assert moxal.Moxal(d).find("c") == [{"old": 1}]
    os.remove(str(mnt / "f0"))
    db.write("c")
    assert moxal.Moxal(d).find("c") == [{"old": 1}, {"new": 2}]
