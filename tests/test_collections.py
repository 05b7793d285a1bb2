"""Creating and dropping collections, and which names a collection may have."""

import json
import os

import pytest

import moxal
from conftest import UNWRAP, PanicException, read_file, write_file


def test_create_collection_writes_an_empty_array(db, db_dir):
    assert db.create_collection("users") is None
    assert read_file(os.path.join(db_dir, "users.json")) == b"[]"
    assert db.find("users") == []
    # A collection created and never written opens again, empty.
    assert moxal.Moxal(db_dir).find("users") == []
    assert os.listdir(db_dir) == ["users.json"]  # no temporary file left


def test_create_collection_where_something_exists_does_nothing(db, db_dir):
    write_file(os.path.join(db_dir, "late.json"), '[{"a": 1}]')
    db.create_collection("late")  # file appeared after opening: left alone
    assert read_file(os.path.join(db_dir, "late.json")) == b'[{"a": 1}]'
    assert db.find("late") == [{"a": 1}]  # loaded on demand from the file
    os.makedirs(os.path.join(db_dir, "dir.json"))
    db.create_collection("dir")
    assert os.path.isdir(os.path.join(db_dir, "dir.json"))


@pytest.mark.parametrize("journal", ["off", "process"])
def test_create_collection_keeps_a_collection_in_memory(db_dir, journal):
    """Even when its file is gone: its documents were never written."""
    db = moxal.Moxal(db_dir, journal=journal)
    db.insert_many("c", [{"n": n} for n in range(1000)])
    os.remove(os.path.join(db_dir, "c.json"))
    db.create_collection("c")
    assert db.count("c") == 1000
    assert not os.path.exists(os.path.join(db_dir, "c.json"))
    db.write("c")
    assert moxal.Moxal(db_dir, journal=journal).count("c") == 1000


@pytest.mark.parametrize(
    "name, file, reopened_as",
    [("app.users", "app.json", "app"), ("a/b", os.path.join("a", "b.json"), "a/b"),
     (".hidden", ".hidden.json", ".hidden")],
)
def test_collection_file_path(db, db_dir, name, file, reopened_as):
    os.makedirs(os.path.join(db_dir, "a"))
    db.create_collection(name)
    assert read_file(os.path.join(db_dir, file)) == b"[]"
    db.insert(name, {"k": 1})
    assert db.find(name) == [{"k": 1}]
    db.write(name)
    assert read_file(os.path.join(db_dir, file)) == b'[{"k":1}]'
    assert moxal.Moxal(db_dir).find(reopened_as) == [{"k": 1}]


def test_create_collection_in_a_missing_directory(db, db_dir):
    db.drop_all()
    assert not os.path.exists(db_dir)
    with pytest.raises(FileNotFoundError) as info:
        db.create_collection("x")
    assert str(info.value) == "No such file or directory (os error 2)"
    with pytest.raises(FileNotFoundError):
        db.create_collection("sub/x")


def test_drop_collection(db, db_dir):
    db.create_collection("a")
    db.insert("a", {"x": 1})
    assert db.drop_collection("a") is None
    assert not os.path.exists(os.path.join(db_dir, "a.json"))
    with pytest.raises(ValueError, match="^Collection with name 'a' not found on disk$"):
        db.find("a")
    # Neither in memory nor on disk: fine.
    assert db.drop_collection("nothing") is None
    # A file without a collection in memory is removed all the same.
    write_file(os.path.join(db_dir, "f.json"), "[]")
    db.drop_collection("f")
    assert not os.path.exists(os.path.join(db_dir, "f.json"))
    # A directory where the file would be is left and is no error.
    os.makedirs(os.path.join(db_dir, "d.json"))
    db.drop_collection("d")
    assert os.path.isdir(os.path.join(db_dir, "d.json"))


def test_drop_collection_treats_a_file_in_place_of_a_directory_as_nothing(db, db_dir):
    write_file(os.path.join(db_dir, "plain"), "x")
    assert db.drop_collection("plain/x") is None  # ENOTDIR: nothing there


def test_drop_all(db, db_dir):
    for name in ("a", "b"):
        db.insert(name, {"n": name})
    write_file(os.path.join(db_dir, "notes.txt"), "keep")
    db.insert("notes", {"n": 1})  # its file would be notes.json
    db.insert("memory_only", {"n": 1})
    os.remove(os.path.join(db_dir, "memory_only.json"))
    assert db.drop_all() is None
    assert sorted(os.listdir(db_dir)) == ["notes.txt"]
    for name in ("a", "b", "notes"):
        with pytest.raises(ValueError):
            db.find(name)
    # No entry names it, so it stays.
    assert db.find("memory_only") == [{"n": 1}]


def test_drop_all_removes_an_emptied_directory_and_then_fails(db, db_dir):
    db.insert("a", {})
    db.drop_all()
    assert not os.path.exists(db_dir)
    with pytest.raises(PanicException) as info:
        db.drop_all()
    assert str(info.value).startswith(
        UNWRAP + "PyErr { type: <class 'FileNotFoundError'>, "
        "value: FileNotFoundError('No such file or directory (os error 2)')")


INVALID_NAMES = ["", "/tmp/x", "..", "../x", "a/../b", "a/..", "nul\0name"]

NAMED_CALLS = [
    ("create_collection", ()),
    ("drop_collection", ()),
    ("insert", ({"a": 1},)),
    ("insert_many", ([{"a": 1}],)),
    ("insert_many_from_document", ("doc.json",)),
    ("write", ()),
    ("find", ()),
    ("find", ({"a": 1},)),
    ("count", ()),
    ("count", ({"a": 1},)),
    ("update", ({"a": 1},)),
    ("delete", ({},)),
]


@pytest.mark.parametrize("name", INVALID_NAMES)
@pytest.mark.parametrize("method, rest", NAMED_CALLS)
def test_names_that_leave_the_directory_are_refused(db, tmp_path, capfd, name, method, rest):
    with pytest.raises(ValueError) as info:
        getattr(db, method)(name, *rest)
    assert str(info.value) == f"Invalid collection name '{name}'"
    assert os.listdir(tmp_path) == ["db"]
    assert os.listdir(str(tmp_path / "db")) == []
    assert capfd.readouterr().out == ""  # refused before update prints its trace


def test_load_from_document_checks_each_member_name(db, db_dir, tmp_path):
    doc = str(tmp_path / "import.json")
    write_file(doc, '{"a": [{"x": 1}], "b/../../evil": [{"x": 2}], "z": [{"x": 3}]}')
    with pytest.raises(ValueError, match=r"^Invalid collection name 'b/\.\./\.\./evil'$"):
        db.load_from_document(doc)
    assert db.find("a") == [{"x": 1}]  # members before it stay inserted
    assert not os.path.exists(str(tmp_path / "evil.json"))
    with pytest.raises(ValueError):
        db.find("z")


# ---- Names of one file ------------------------------------------------------
# Several names lead to one file (the extension is replaced, "." and empty
# path components name nothing). A collection whose file is that of another
# collection in memory is refused: two collections writing one file would
# erase each other's documents.

ALIASES = [("c", "./c"), ("c", "c.json"), ("c", "c.txt"), ("c", ".//c"), ("c", "c/"),
           ("app.users", "app"), ("app.users", "app.orders"), ("sub/c", "sub/./c.json")]
ALIAS_CALLS = [call for call in NAMED_CALLS if call[0] != "write"]


def alias_message(alias, name, path):
    return f"Collection '{alias}' has the file of the collection '{name}' ({path})"


@pytest.mark.parametrize("journal", ["off", "process"])
@pytest.mark.parametrize("file_there", [True, False], ids=["file", "file_removed"])
@pytest.mark.parametrize("name, alias", ALIASES)
def test_a_second_name_for_the_file_of_a_collection_is_refused(
        db_dir, tmp_path, monkeypatch, capfd, journal, file_there, name, alias):
    os.makedirs(os.path.join(db_dir, "sub"))
    monkeypatch.chdir(tmp_path)
    write_file("doc.json", '[{"a": 1}]')
    db = moxal.Moxal(db_dir, journal=journal)
    db.insert_many(name, [{"n": 1}, {"n": 2}])
    db.write(name)
    stem = name.rsplit(".", 1)[0]  # reopened, app.json loads as app
    path = os.path.join(db_dir, stem + ".json")
    if not file_there:
        os.remove(path)
    for method, rest in ALIAS_CALLS:
        with pytest.raises(ValueError) as info:
            getattr(db, method)(alias, *rest)
        assert (method, str(info.value)) == (method, alias_message(alias, name, path))
    assert capfd.readouterr().out == ""  # refused before update prints its trace
    assert db.find(name) == [{"n": 1}, {"n": 2}]
    assert os.path.exists(path) == file_there
    db.write_all()
    assert moxal.Moxal(db_dir, journal=journal).find(stem) == [{"n": 1}, {"n": 2}]


@pytest.mark.parametrize("journal", ["off", "process"])
def test_load_from_document_refuses_a_second_name_for_one_file(db_dir, tmp_path, journal):
    db = moxal.Moxal(db_dir, journal=journal)
    db.insert("kept", {"n": 0})
    doc = str(tmp_path / "import.json")
    write_file(doc, '{"a": [{"n": 1}], "a.json": [{"n": 2}], "b": [{"n": 3}]}')
    with pytest.raises(ValueError) as info:
        db.load_from_document(doc)
    assert str(info.value) == alias_message("a.json", "a", os.path.join(db_dir, "a.json"))
    write_file(doc, '{"kept.x": [{"n": 4}]}')
    with pytest.raises(ValueError, match="^Collection 'kept.x' has the file of the collection"):
        db.load_from_document(doc)
    db.write_all()
    reopened = moxal.Moxal(db_dir, journal=journal)
    assert (reopened.find("a"), reopened.find("kept")) == ([{"n": 1}], [{"n": 0}])
    with pytest.raises(ValueError):
        reopened.find("b")  # members after the refused one are not inserted


@pytest.mark.parametrize("journal", ["off", "process"])
def test_files_whose_names_lead_to_one_file_load_once(db_dir, journal):
    """a.b.json would be the collection a.b, whose file is a.json: with an
    a.json there, only a loads, and a.b.json stays as it is."""
    write_file(os.path.join(db_dir, "a.json"), '[{"from": "a"}]')
    write_file(os.path.join(db_dir, "a.b.json"), '[{"from": "a.b"}]')
    write_file(os.path.join(db_dir, "x.y.json"), '[{"from": "x.y"}]')  # no x.json: loads
    db = moxal.Moxal(db_dir, journal=journal)
    assert db.find("a") == [{"from": "a"}]
    assert db.find("x.y") == [{"from": "x.y"}]
    with pytest.raises(ValueError) as info:
        db.find("a.b")
    assert str(info.value) == alias_message("a.b", "a", os.path.join(db_dir, "a.json"))
    db.write_all()
    assert json.loads(read_file(os.path.join(db_dir, "a.json"))) == [{"from": "a"}]
    assert read_file(os.path.join(db_dir, "a.b.json")) == b'[{"from": "a.b"}]'
