"""Inserting documents: the four insert methods and implicit creation."""

import os
import time

import pytest

from conftest import UNWRAP_NONE, PanicException, read_file, write_file


def test_insert_appends_in_memory_only(db, db_dir):
    db.create_collection("c")
    assert db.insert("c", {"a": 1}) is None
    assert db.insert("c", {"b": 2}) is None
    assert db.find("c") == [{"a": 1}, {"b": 2}]
    assert read_file(os.path.join(db_dir, "c.json")) == b"[]"


def test_insert_creates_a_missing_collection_and_its_file(db, db_dir):
    db.insert("new", {"a": 1})
    assert read_file(os.path.join(db_dir, "new.json")) == b"[]"
    assert db.find("new") == [{"a": 1}]


def test_insert_where_a_file_exists_but_is_not_loaded(db, db_dir):
    write_file(os.path.join(db_dir, "late.json"), "[]")
    with pytest.raises(PanicException) as info:
        db.insert("late", {"a": 1})
    assert str(info.value) == UNWRAP_NONE
    assert read_file(os.path.join(db_dir, "late.json")) == b"[]"


def test_insert_many_appends_each_item_as_a_document(db):
    db.insert_many("c", [1, "x", [2, 3], {"k": True}])
    assert db.find("c") == [1, "x", [2, 3], {"k": True}]
    db.insert_many("c", [])
    assert len(db.find("c")) == 4
    db.insert_many("empty", [])
    assert db.find("empty") == []


def test_subclasses_of_dict_and_list_are_accepted(db):
    class D(dict):
        pass

    class L(list):
        pass

    db.insert("c", D(a=1))
    db.insert_many("c", L([{"b": 2}]))
    assert db.find("c") == [{"a": 1}, {"b": 2}]


def test_a_failed_conversion_inserts_nothing(db):
    db.insert_many("c", [{"ok": 1}])
    with pytest.raises(PanicException):
        db.insert_many("c", [{"ok": 2}, {"bad": object()}])
    assert db.find("c") == [{"ok": 1}]


def test_insert_many_from_document(db, tmp_path):
    doc = str(tmp_path / "docs.json")
    write_file(doc, '[{"b": 1, "a": 2}, [1, 2], 3]')
    db.insert_many_from_document("c", doc)
    assert db.find("c") == [{"a": 2, "b": 1}, [1, 2], 3]
    write_file(doc, "[]")
    db.insert_many_from_document("empty", doc)
    assert db.find("empty") == []


@pytest.mark.parametrize(
    "content, error, message, where",
    [
        ('{"a": 1}', ValueError, "Document is not an array", ""),
        ("[1,", ValueError, "Error deserializing JSON",
         ": the text is not JSON from line 1 column 4 (byte 3) on"),
        ("", ValueError, "Error deserializing JSON",
         ": the text is not JSON from line 1 column 1 (byte 0) on"),
        (None, OSError, "Error opening document No such file or directory (os error 2)", ""),
    ],
)
def test_insert_many_from_document_failures_create_nothing(db, db_dir, tmp_path,
                                                           content, error, message, where):
    doc = str(tmp_path / "docs.json")
    if content is not None:
        write_file(doc, content)
    with pytest.raises(error) as info:
        db.insert_many_from_document("c", doc)
    assert type(info.value) is error
    assert str(info.value) == message
    assert info.value.__notes__ == ["while reading " + doc + where]
    assert os.listdir(db_dir) == []


def test_relative_document_paths_follow_the_working_directory(db, tmp_path, monkeypatch):
    write_file(str(tmp_path / "work" / "docs.json"), '[{"a": 1}]')
    write_file(str(tmp_path / "work" / "all.json"), '{"b": [{"b": 1}]}')
    monkeypatch.chdir(str(tmp_path / "work"))
    db.insert_many_from_document("a", "docs.json")
    db.load_from_document("all.json")
    assert db.find("a") == [{"a": 1}]
    assert db.find("b") == [{"b": 1}]


def test_load_from_document(db, tmp_path):
    doc = str(tmp_path / "all.json")
    write_file(doc, '{"b": {"single": true}, "a": [{"x": 1}, {"x": 2}], "n": 5, "e": []}')
    db.insert("a", {"x": 0})
    db.load_from_document(doc)
    assert db.find("a") == [{"x": 0}, {"x": 1}, {"x": 2}]
    assert db.find("b") == [{"single": True}]
    assert db.find("n") == [5]
    assert db.find("e") == []
    write_file(doc, "{}")
    db.load_from_document(doc)  # changes nothing


@pytest.mark.parametrize("content", ["[1]", "1", '"s"', "null"])
def test_load_from_document_needs_an_object(db, db_dir, tmp_path, content):
    doc = str(tmp_path / "all.json")
    write_file(doc, content)
    with pytest.raises(PanicException) as info:
        db.load_from_document(doc)
    assert str(info.value) == UNWRAP_NONE
    assert info.value.__notes__ == ["while reading " + doc]
    assert os.listdir(db_dir) == []


def test_load_from_document_stops_at_a_collection_it_cannot_create(db, db_dir, tmp_path):
    write_file(os.path.join(db_dir, "b.json"), "[]")  # exists, not loaded
    doc = str(tmp_path / "all.json")
    write_file(doc, '{"a": [1], "b": [2], "c": [3]}')
    with pytest.raises(PanicException, match="None"):
        db.load_from_document(doc)
    assert db.find("a") == [1]
    with pytest.raises(ValueError):
        db.find("c")


def test_documents_of_an_insert_are_independent_copies(db):
    doc = {"a": [1, 2]}
    db.insert("c", doc)
    db.insert_many("c", [doc, doc])
    doc["a"].append(3)
    assert db.find("c") == [{"a": [1, 2]}] * 3


def test_import_of_a_large_standard_text(db, tmp_path):
    """A real-world text goes in through load_from_document and comes out
    equal to what the json module reads."""
    import json
    path = os.path.join(os.path.dirname(__file__), "..", "examples", "data", "twitter.json")
    with open(path, encoding="utf-8") as f:
        expected = json.load(f)
    db.load_from_document(path)
    for name, value in expected.items():
        got = db.find(name)
        assert got == (value if isinstance(value, list) else [value])


def test_one_insert_at_a_time_does_not_copy_the_collection(db):
    """Appending one document to a large collection costs about what it costs
    on a small one (room grows geometrically, not by one each time)."""
    def per_insert(name):
        start = time.perf_counter()
        for i in range(2000):
            db.insert(name, {"i": i})
        return (time.perf_counter() - start) / 2000

    db.insert_many("large", [{"i": i} for i in range(300_000)])
    db.insert("small", {"i": -1})
    # The best of three runs each: a busy machine may stop any one run for
    # a while. Copying 300,000 documents would cost hundreds of microseconds
    # per insert, well over the bound.
    small = min(per_insert("small") for _ in range(3))
    large = min(per_insert("large") for _ in range(3))
    assert large < 10 * small + 50e-6, (small, large)
