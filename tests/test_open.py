"""Opening a database directory and listing it."""

import contextlib
import json
import os
import re
import signal
import socket

import pytest

import moxal
from conftest import UNWRAP, UNWRAP_NONE, PanicException, write_file

LOADING = "while loading the collection file "


def large(middle, at=0.5):
    """A collection text of about 4.6 MB, enough to be read in two threads at
    once, with the text `middle` as the element at the fraction `at` of the
    array."""
    docs = ['{"i":%d,"s":"v%07d"}' % (i, i) for i in range(160_000)]
    docs.insert(int(len(docs) * at), middle)
    return "[" + ",".join(docs) + "]"


# Where the second thread starts: at an object, inside a string that holds
# what looks like the start of one, inside an array of objects.
LARGE_VALID = [(text, json.loads(text)) for text in (
    large('{"m":1}'), large('"' + "x},{" * 20_000 + '"'),
    large("[" + ",".join(['{"a":1}'] * 20_000) + "]"))]
# A broken document before the place where the second thread starts, and after.
LARGE_BROKEN = [large('{"i":tru}', at).encode() for at in (0.25, 0.75)]


def test_missing_directory_is_created_one_level(tmp_path):
    path = tmp_path / "db"
    db = moxal.Moxal(str(path))
    assert path.is_dir()
    assert db.collections() == []
    moxal.Moxal(str(tmp_path / "no" / "such" / "dir"))  # no error, no directory
    assert not (tmp_path / "no").exists()


def _removed(tmp_path):
    db = moxal.Moxal(str(tmp_path / "db"))
    os.rmdir(str(tmp_path / "db"))
    return db


@pytest.mark.parametrize("open_missing", [
    lambda tmp_path: moxal.Moxal(str(tmp_path / "no" / "such" / "dir")),
    _removed,
    lambda tmp_path: moxal.Moxal(""),
], ids=["too deep to create", "removed after opening", "empty name"])
def test_listing_a_missing_directory(tmp_path, open_missing):
    db = open_missing(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        db.collections()
    assert str(info.value) == "No such file or directory (os error 2)"
    assert info.value.errno is None and info.value.filename is None


def test_new_directory_mode_follows_umask(tmp_path):
    old = os.umask(0o027)
    try:
        moxal.Moxal(str(tmp_path / "db"))
    finally:
        os.umask(old)
    assert (tmp_path / "db").stat().st_mode & 0o777 == 0o750


def test_regular_file_is_not_a_directory(tmp_path):
    write_file(str(tmp_path / "f"), "x")
    with pytest.raises(OSError) as info:
        moxal.Moxal(str(tmp_path / "f"))
    assert type(info.value) is OSError
    assert str(info.value) == "Not a directory (os error 20)"


def test_only_json_files_load_and_listing_shows_every_stem(db_dir):
    for name in ("a.json", "b.JSON", ".json", "c.json.bak", "notes.txt"):
        write_file(os.path.join(db_dir, name), "[]" if name == "a.json" else "not json")
    db = moxal.Moxal(db_dir)
    listed = db.collections()
    assert sorted(listed) == sorted(["a", "b", ".json", "c.json", "notes"])
    assert listed == [os.path.splitext(n)[0] if not n.startswith(".") else n
                      for n in os.listdir(db_dir)]
    assert all(type(s) is str for s in listed)
    assert db.find("a") == []


@pytest.mark.parametrize(
    "content, documents",
    [
        ('[1,"a",null]', [1, "a", None]),
        ("[]", []),
        (' \n\t[{"b":1,"a":2}]\r\n ', [{"a": 2, "b": 1}]),
        # The form older versions created: one member named after the collection.
        ('{"x": [{"k": 1}], "other": 5}', [{"k": 1}]),
        ('{"x": []}', []),
        *LARGE_VALID,
    ],
)
def test_stored_forms(db_dir, content, documents):
    write_file(os.path.join(db_dir, "x.json"), content)
    db = moxal.Moxal(db_dir)
    assert db.find("x") == documents


@pytest.mark.parametrize(
    "content",
    ["1", '"x"', "null", "{}", '{"y": []}', '{"x": {}}', '{"x": 1}'],
)
def test_other_stored_content_is_an_internal_failure(db_dir, content):
    write_file(os.path.join(db_dir, "x.json"), content)
    with pytest.raises(PanicException) as info:
        moxal.Moxal(db_dir)
    assert str(info.value) == UNWRAP_NONE
    assert info.value.__notes__ == [LOADING + os.path.join(db_dir, "x.json")]


# Texts that do not parse, and where reading stops: (line, column, byte),
# the column in characters, as Python's json module counts.
BROKEN = [
    (b"", (1, 1, 0)), (b"   ", (1, 4, 3)), (b"\xef\xbb\xbf[]", (1, 1, 0)),
    (b"[1,2,]", (1, 6, 5)), (b"[1]x", (1, 4, 3)), (b"[\"\xff\"]", (1, 4, 3)),
    (b"[" * 128 + b"]" * 128, (1, 128, 127)), (b"[1e400]", (1, 7, 6)),
    (b'[{"a":\n  "\xc3\xa9\xc3\xa9", "b": nul}]', (2, 14, 22)),
    (b'[{"a": 1}\n\n {"b": 2}]', (3, 2, 12)),
]


@pytest.mark.parametrize("content, where", [*BROKEN, *((t, None) for t in LARGE_BROKEN)])
def test_unreadable_files_fail_the_constructor(db_dir, content, where):
    for name in ("a", "x", "z"):
        write_file(os.path.join(db_dir, name + ".json"), content if name == "x" else "[]")
    with pytest.raises(ValueError) as info:
        moxal.Moxal(db_dir)
    assert str(info.value) == "Error deserializing JSON"
    # The message stays as it is; the note says which file of the directory,
    # and where in it the text stops being JSON.
    [note] = info.value.__notes__
    m = re.fullmatch(re.escape(LOADING + os.path.join(db_dir, "x.json")) +
                     r": the text is not JSON from line (\d+) column (\d+) \(byte (\d+)\) on", note)
    assert m, note
    line, column, byte = map(int, m.groups())
    if where is None:  # a large text read in two threads: within the broken element
        start = content.index(b'{"i":tru}')
        assert start <= byte <= start + len(b'{"i":tru}') and (line, column) == (1, byte + 1)
    else:
        assert (line, column, byte) == where


@pytest.mark.parametrize("call, expected, note, file", [
    (lambda db, d: db.find("late"), ValueError, LOADING, "late.json"),
    (lambda db, d: db.update("late", {"a": 1}), PanicException, LOADING, "late.json"),
    (lambda db, d: db.insert_many_from_document("n", os.path.join(d, "missing.json")),
     OSError, "while reading ", "missing.json"),
    (lambda db, d: db.load_from_document(os.path.join(d, "late.json")), ValueError,
     "while reading ", "late.json"),
    (lambda db, d: db.write("c"), OSError, "while writing the collection file ", "c.json"),
], ids=["find", "update", "insert_many_from_document", "load_from_document", "write"])
def test_an_error_from_one_file_names_it_in_a_note(db, db_dir, call, expected, note, file):
    write_file(os.path.join(db_dir, "late.json"), "[1,")  # appears after opening, broken
    db.insert("c", {"a": 1})
    os.remove(os.path.join(db_dir, "c.json"))
    os.makedirs(os.path.join(db_dir, "c.json", "inside"))  # no rename can replace it
    with pytest.raises(expected) as info:
        call(db, db_dir)
    path = os.path.join(db_dir, file)
    # "[1," ends where a value should follow.
    where = ": the text is not JSON from line 1 column 4 (byte 3) on" if file == "late.json" else ""
    assert info.value.__notes__ == [note + path + where]
    assert path not in str(info.value)  # the message itself is unchanged


@contextlib.contextmanager
def interrupted_after(seconds):
    """Interrupts a call that blocks for longer (a system call waiting then
    fails with EINTR), so a test of something that must not block fails
    instead of hanging."""
    def expire(signum, frame):
        raise TimeoutError("blocked for %s seconds" % seconds)

    old = signal.signal(signal.SIGALRM, expire)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def _socket(path):
    # Bound by its name in its own directory: a socket path is short.
    cwd = os.getcwd()
    os.chdir(os.path.dirname(path))
    try:
        s = socket.socket(socket.AF_UNIX)
        s.bind(os.path.basename(path))
        s.close()
    finally:
        os.chdir(cwd)


ENXIO_OPEN = "Error opening document No such device or address (os error 6)"


def _link_to_fifo(path):
    os.mkfifo(path + ".fifo")
    os.symlink(os.path.basename(path) + ".fifo", path)


def _link_to_socket(path):
    _socket(path + ".sock")
    os.symlink(os.path.basename(path) + ".sock", path)


INVALID = ("ValueError", "Error deserializing JSON")
# A socket cannot be opened at all: that error is reported, as for a file
# that cannot be opened; whatever opens but is no regular file is refused
# as text that is not JSON.
NOT_REGULAR = {"directory": (os.makedirs, INVALID), "FIFO": (os.mkfifo, INVALID),
               "socket": (_socket, ("OSError", ENXIO_OPEN)),
               "link to a socket": (_link_to_socket, ("OSError", ENXIO_OPEN)),
               "link to a FIFO": (_link_to_fifo, INVALID),
               "link to a device": (lambda path: os.symlink(os.devnull, path), INVALID)}


@pytest.mark.parametrize("make, error", NOT_REGULAR.values(), ids=NOT_REGULAR.keys())
@pytest.mark.parametrize("when", ["opening", "find"])
def test_a_collection_file_that_is_not_a_regular_file(db_dir, make, error, when):
    """Fails at once: a FIFO without a writer neither blocks the constructor
    nor a find that loads it."""
    os.makedirs(db_dir)
    path = os.path.join(db_dir, "x.json")
    db = moxal.Moxal(db_dir) if when == "find" else None
    make(path)
    with interrupted_after(20), pytest.raises(Exception) as info:
        moxal.Moxal(db_dir) if db is None else db.find("x")
    assert (type(info.value).__name__, str(info.value)) == error
    assert info.value.__notes__ == [LOADING + path]


def test_directory_named_like_a_collection(db_dir):
    os.makedirs(os.path.join(db_dir, "x.json"))
    with pytest.raises(ValueError, match="^Error deserializing JSON\nwhile loading the collection file "):
        moxal.Moxal(db_dir)


def test_dangling_symlink(db_dir):
    os.makedirs(db_dir)
    os.symlink(os.path.join(db_dir, "missing"), os.path.join(db_dir, "x.json"))
    with pytest.raises(OSError) as info:
        moxal.Moxal(db_dir)
    assert type(info.value) is OSError
    assert str(info.value) == "Error opening document No such file or directory (os error 2)"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_permission(db_dir):
    write_file(os.path.join(db_dir, "x.json"), "[]")
    os.chmod(os.path.join(db_dir, "x.json"), 0)
    with pytest.raises(OSError) as info:
        moxal.Moxal(db_dir)
    assert type(info.value) is OSError
    assert str(info.value) == "Error opening document Permission denied (os error 13)"


def test_stem_with_dots(db_dir):
    write_file(os.path.join(db_dir, "a.b.json"), '[{"v": 1}]')
    db = moxal.Moxal(db_dir)
    assert db.find("a.b") == [{"v": 1}]
    assert db.collections() == ["a.b"]


def test_relative_name_follows_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    db = moxal.Moxal("rel")
    write_file("rel/a.json", "[]")
    assert db.collections() == ["a"]
    os.mkdir("elsewhere")
    monkeypatch.chdir("elsewhere")
    with pytest.raises(FileNotFoundError):
        db.collections()


def test_non_utf8_names(db_dir):
    os.makedirs(db_dir)
    raw = os.fsencode(db_dir) + b"/bad\xff.txt"
    with open(raw, "w"):
        pass
    db = moxal.Moxal(db_dir)  # not a .json file: never opened
    with pytest.raises(PanicException) as info:
        db.collections()
    assert str(info.value) == UNWRAP + '"bad\\xFF"'
    os.remove(raw)
    with open(os.fsencode(db_dir) + b"/\xfe.json", "w") as f:
        f.write("[]")
    with pytest.raises(PanicException) as info:
        moxal.Moxal(db_dir)
    assert str(info.value) == UNWRAP_NONE


def test_nul_in_directory_name():
    db = moxal.Moxal("a\0b")
    with pytest.raises(OSError) as info:
        db.collections()
    assert type(info.value) is OSError
    assert str(info.value) == "file name contained an unexpected NUL byte"


def test_documents_with_every_number_kind_load_exactly(db_dir):
    text = ("[{\"n\":[1,1.0,-0,0.5e1,18446744073709551615,18446744073709551616,"
            "-9223372036854775808,-9223372036854775809]}]")
    write_file(os.path.join(db_dir, "x.json"), text)
    [doc] = moxal.Moxal(db_dir).find("x")
    n = doc["n"]
    assert [type(v) for v in n] == [int, float, float, float, int, float, int, float]
    assert n == [1, 1.0, -0.0, 5.0, 18446744073709551615, 1.8446744073709552e19,
                 -9223372036854775808, -9.223372036854776e18]
