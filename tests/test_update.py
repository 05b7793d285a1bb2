"""update: applying update queries, the filter, the trace lines, and updates
that are all or nothing."""

import os
import subprocess
import sys

import pytest

import moxal
from conftest import UNWRAP, UNWRAP_NONE, PanicException, nest, read_file, write_file

DOCS = [{"n": 1, "age": 20}, {"n": 5, "age": 40}, {"n": -2, "age": 60, "s": "x"}]


@pytest.fixture
def c(db):
    db.insert_many("c", DOCS)
    return db


def test_increment_everything(c, db_dir, capfd):
    assert c.update("c", {"n": {"$inc": 1}}) is None
    got = c.find("c")
    assert [d["n"] for d in got] == [2.0, 6.0, -1.0]
    assert all(type(d["n"]) is float for d in got)
    assert read_file(os.path.join(db_dir, "c.json")) == b"[]"  # not written
    assert capfd.readouterr().out == "Update operator found Increment\nFields: [\"n\"]\n"


def test_filter_and_return_result(c, capfd):
    everything = c.update("c", {"n": {"$add": 10}}, {"age": {"$gt": 30}}, True)
    assert everything == [{"age": 20, "n": 1}, {"age": 40, "n": 15.0},
                          {"age": 60, "n": 8.0, "s": "x"}]
    assert c.update("c", {"n": 0}, maybe_query={"age": 20}, return_result=True)[0]["n"] == 0
    c.update("c", {"n": {"$inc": 1}}, {"age": {"$gt": 30, "$lt": 50}})  # both bounds hold
    assert [d["n"] for d in c.find("c")] == [0, 16.0, 8.0]
    capfd.readouterr()


@pytest.mark.parametrize("no_filter", [None, {}])
def test_empty_filter_updates_everything(c, no_filter):
    c.update("c", {"age": {"$dec": 0}}, no_filter)
    assert [d["age"] for d in c.find("c")] == [19.0, 39.0, 59.0]


def test_return_result_accepts_numpy_booleans(c):
    for name in ("bool_", "bool"):
        fake = type(name, (), {"__module__": "numpy", "__bool__": lambda self: True})
        assert len(c.update("c", {"n": 1}, None, fake())) == 3
    other = type("bool_", (), {"__module__": "notnumpy"})
    with pytest.raises(TypeError, match="'bool_' object cannot be converted to 'PyBool'"):
        c.update("c", {"n": 1}, None, other())


def test_trace_lines_bypass_sys_stdout_and_come_once_per_clause(tmp_path):
    script = (
        "import io, sys, moxal\n"
        f"db = moxal.Moxal({str(tmp_path / 'db')!r})\n"
        "db.insert_many('c', [{'a': {'b': 1}, 'z': 1}] * 50)\n"
        "sys.stdout = io.StringIO()\n"
        "db.update('c', {'z': {'$delete': None}, 'a.b': 2})\n"
        "db.update('c', {'q': 1}, {'nothing': 'matches'})\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out == ('Update operator found Set\nFields: ["a", "b"]\n'
                   'Update operator found Delete\nFields: ["z"]\n'
                   'Update operator found Set\nFields: ["q"]\n')


@pytest.mark.parametrize("stdout", ["full", "closed pipe"])
def test_an_unwritable_standard_output_neither_fails_nor_hangs_an_update(tmp_path, stdout):
    # The trace lines are lost; the update itself must go through.
    script = (
        "import signal, moxal\n"
        "signal.signal(signal.SIGPIPE, signal.SIG_IGN)\n"
        f"db = moxal.Moxal({str(tmp_path / 'db')!r})\n"
        "db.insert('c', {'n': 1})\n"
        "for _ in range(2000):\n"
        "    db.update('c', {'n': {'$inc': 1}, 'x' * 50000: {'$delete': None}})\n"
        "db.write('c')\n"
    )
    if stdout == "full":
        with open("/dev/full", "wb") as full:
            run = subprocess.run([sys.executable, "-c", script], stdout=full, timeout=120)
    else:
        read_end, write_end = os.pipe()
        os.close(read_end)
        run = subprocess.run([sys.executable, "-c", script], stdout=write_end, timeout=120)
        os.close(write_end)
    assert run.returncode == 0
    assert moxal.Moxal(str(tmp_path / "db")).find("c") == [{"n": 2001.0}]


def test_update_of_a_missing_collection_is_an_internal_failure(db, capfd):
    with pytest.raises(PanicException) as info:
        db.update("nosuch", {"a": 1})
    assert str(info.value) == (
        UNWRAP + "PyErr { type: <class 'ValueError'>, value: ValueError(\"Collection with name "
        "'nosuch' not found on disk\"), traceback: None }")
    assert capfd.readouterr().out == ""


def test_update_loads_on_demand(db, db_dir, capfd):
    write_file(os.path.join(db_dir, "late.json"), '[{"v": 1}]')
    db.update("late", {"v": {"$inc": 1}})
    assert db.find("late") == [{"v": 2.0}]
    capfd.readouterr()


NONNUMERIC = (UNWRAP + "PyErr { type: <class 'ValueError'>, value: ValueError('Malformed query, "
              "non-numeric value found for operator GreaterThan'), traceback: None }")
EMPTY_PATH = "a clause has an empty field path: its query key is only an operator"


@pytest.mark.parametrize(
    "update_query, maybe_query, message",
    [
        # Each update query has a valid clause first (in key order), so an
        # update that changed documents step by step would leave traces.
        ({"n": {"$inc": 1}, "z": {"$regex": "x"}}, None,
         "Unknown update query operator found: $regex"),
        ({"n": {"$inc": 1}, "z": {"$subtract": 1}}, None,
         "Unknown update query operator found: $subtract"),
        ({"n": {"$inc": 1}, "z": None}, None, "Not Valid query"),
        ({"n": {"$inc": 1}}, {"age": {"$in": [1]}}, "Unknown query operator found: $in"),
        ({"n": {"$inc": 1}}, {"age": {}}, "Error while parsing query"),
        ({"n": {"$inc": 1}, 1: 1}, None,
         UNWRAP + "UnexpectedType(\"'int' object cannot be converted to 'PyString'\")"),
        # The filter matches the first two documents and fails at the third.
        ({"n": {"$inc": 1}}, {"w": {"$gt": 0}}, NONNUMERIC),
        ({"n": {"$inc": 1}, "$inc": 1}, None, EMPTY_PATH),
        ({"n": {"$inc": 1}}, {"age": {"$gt": 0}, "$gt": 1}, EMPTY_PATH),
    ],
)
def test_failed_updates_change_nothing_and_poison_nothing(db, capfd, update_query,
                                                          maybe_query, message):
    db.insert_many("c", [{"n": 1, "age": 20, "w": 1}, {"n": 5, "age": 40, "w": 2},
                         {"n": -2, "age": 60, "w": "str"}])
    before = db.find("c")
    with pytest.raises(PanicException) as info:
        db.update("c", update_query, maybe_query)
    assert str(info.value) == message
    assert db.find("c") == before
    # Everything works afterwards: update, insert, find, write.
    db.update("c", {"n": {"$inc": 1}})
    db.insert("c", {"n": 100})
    db.write("c")
    assert [d["n"] for d in db.find("c")] == [2.0, 6.0, -1.0, 100]
    capfd.readouterr()


def test_documents_that_are_not_objects(db, capfd):
    db.insert_many("m", [{"n": 1}, 5])
    for maybe_query in (None, {"n": 1}):
        with pytest.raises(PanicException) as info:
            db.update("m", {"n": {"$inc": 1}}, maybe_query)
        assert str(info.value) == UNWRAP_NONE
    assert db.find("m") == [{"n": 1}, 5]
    capfd.readouterr()


def test_empty_path_is_harmless_when_nothing_is_selected(db, capfd):
    db.create_collection("e")
    db.update("e", {"$inc": 1})
    db.insert("one", {"n": 1})
    db.update("one", {"$inc": 1}, {"n": 2})
    assert db.find("one") == [{"n": 1}]
    capfd.readouterr()


def test_set_that_would_nest_too_deeply_is_refused(db, db_dir, capfd):
    db.insert_many("c", [{"a": {"b": 1}}, {"x": 1}])
    with pytest.raises(ValueError, match="nesting limit of 127"):
        db.update("c", {"a.b": {"$set": nest(125, key="k")}})
    assert db.find("c") == [{"a": {"b": 1}}, {"x": 1}]
    # One level less fits, and the file it writes reads back.
    db.update("c", {"a.b": {"$set": nest(124, key="k")}})
    db.write("c")
    assert moxal.Moxal(db_dir).find("c")[0]["a"]["b"] == nest(124, key="k")
    # A deep operand whose target does not exist changes nothing: no error.
    db.update("c", {"a.nope": {"$set": nest(125, key="k")}})
    capfd.readouterr()


def test_update_never_creates_fields(c, capfd):
    c.update("c", {"m": 5, "x.y": 1, "n": {"$add": "2"}})
    assert c.find("c") == [dict(sorted(d.items())) for d in DOCS]
    capfd.readouterr()


def test_changes_are_not_visible_through_earlier_results(c, capfd):
    held = c.find("c", {"age": 40})
    c.update("c", {"n": {"$inc": 1}})
    assert held == [{"age": 40, "n": 5}]
    assert c.find("c", {"age": 40}) == [{"age": 40, "n": 6.0}]
    capfd.readouterr()


def test_a_failing_numpy_bool_is_reported_against_its_argument(c):
    def fail(self):
        raise TypeError("no truth value")

    fake = type("bool_", (), {"__module__": "numpy", "__bool__": fail})
    with pytest.raises(TypeError) as info:
        c.update("c", {"n": 2}, None, fake())
    assert str(info.value) == "argument 'return_result': no truth value"
    assert type(info.value.__cause__) is TypeError
    assert [d["n"] for d in c.find("c")] == [1, 5, -2]  # converted before any change
