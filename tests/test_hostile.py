"""Re-entrancy and hostile objects: Python code that runs while moxal
converts an argument (methods of user mappings and sequences, __class__,
__repr__, __bool__, finalizers, collector callbacks) and calls back into the
same object, into another one, drops the last reference to the object,
raises, or changes the container being converted.

A nested call on the same object gets "Already borrowed" (or "Already
mutably borrowed" for collections, write and write_all) and the outer call
carries on; the object outlives its call; failures are clean exceptions and
leave nothing half done. Run under tools/test-sanitized too, where a use
after free would show."""

import gc
import os
import re
import sys
import threading

import pytest

import moxal
from conftest import UNWRAP, Map, PanicException, Seq

MAPPING = {"k": 1, "j": [2]}
SEQUENCE = [1, "two"]
# kind: (base class, content, what it converts to, hooks the conversion calls)
KINDS = {
    "abc.Mapping": (Map, MAPPING, MAPPING, ["keys", "values", "__len__", "__getitem__",
                                           "__iter__"]),
    "dict subclass": (dict, MAPPING, MAPPING, ["keys", "values", "__len__"]),
    "abc.Sequence": (Seq, SEQUENCE, SEQUENCE, ["__len__", "__getitem__"]),
    "list subclass": (list, SEQUENCE, SEQUENCE, ["__len__", "__getitem__"]),
    "tuple subclass": (tuple, SEQUENCE, SEQUENCE, ["__len__", "__getitem__"]),
    "set subclass": (set, {3}, [3], ["__iter__"]),
}
KIND_HOOKS = [(kind, hook) for kind, entry in KINDS.items() for hook in entry[3]]


def hooked(kind, hook, action, content=None):
    """An instance of `kind` holding `content` whose `hook` method runs
    action() and then does its usual work."""
    base, default, _, _ = KINDS[kind]

    def method(self, *args):
        action()
        return getattr(base, hook)(self, *args)

    cls = type(f"Hooked{hook}", (base,), {hook: method})
    return cls(default if content is None else content)


def refused(call, message, seen):
    """Makes a nested call that must fail with the borrow error `message`;
    records what happened in `seen`."""
    try:
        call()
    except RuntimeError as e:
        seen.append(str(e) == message or f"wrong message: {e}")
    else:
        seen.append("nested call was not refused")


def nested_same_object(db, seen):
    def action():
        refused(lambda: db.find("c"), "Already borrowed", seen)
        refused(db.collections, "Already mutably borrowed", seen)
    return action


# ---- Calls back into the same object ------------------------------------

@pytest.mark.parametrize("kind, hook", KIND_HOOKS)
def test_nested_call_from_a_conversion_hook_is_refused(db, kind, hook):
    seen = []
    db.insert("c", {"v": hooked(kind, hook, nested_same_object(db, seen))})
    assert seen and all(s is True for s in seen), seen
    assert db.find("c") == [{"v": KINDS[kind][2]}]


NESTED = [
    ("load_from_document", ("nowhere.json",), "Already borrowed"),
    ("create_collection", ("x",), "Already borrowed"),
    ("insert", ("x", {}), "Already borrowed"),
    ("insert_many", ("x", [{}]), "Already borrowed"),
    ("insert_many_from_document", ("x", "nowhere.json"), "Already borrowed"),
    ("find", ("c",), "Already borrowed"),
    ("count", ("c",), "Already borrowed"),
    ("update", ("c", {"a": 1}), "Already borrowed"),
    ("delete", ("c", {}), "Already borrowed"),
    ("drop_collection", ("c",), "Already borrowed"),
    ("drop_all", (), "Already borrowed"),
    ("clear_cache", (), "Already borrowed"),
    ("collections", (), "Already mutably borrowed"),
    ("write", ("c",), "Already mutably borrowed"),
    ("write_all", (), "Already mutably borrowed"),
]


@pytest.mark.parametrize("name, args, message", NESTED, ids=[n[0] for n in NESTED])
def test_every_method_is_refused_while_a_conversion_runs(db, db_dir, name, args, message):
    db.insert("c", {"a": 0})
    db.write("c")
    seen = []
    action = lambda: refused(lambda: getattr(db, name)(*args), message, seen)  # noqa: E731
    db.insert("c", {"v": hooked("abc.Mapping", "keys", action)})
    assert seen == [True]
    # The refused call did nothing: no collection made, dropped or written.
    assert sorted(os.listdir(db_dir)) == ["c.json"]
    assert db.find("c") == [{"a": 0}, {"v": MAPPING}]


def query_hook(db, seen, content):
    return hooked("abc.Mapping", "__iter__", nested_same_object(db, seen), content)


OUTER = {
    "insert": lambda db, h: db.insert("c", {"n": 9, "h": h({"x": 1})}),
    "insert_many": lambda db, h: db.insert_many("c", [{"n": 9}, h({"x": 1})]),
    "find": lambda db, h: db.find("c", {"n": h({"$gte": 2})}),
    "count": lambda db, h: db.count("c", {"n": h({"$gte": 2})}),
    "delete": lambda db, h: db.delete("c", {"n": h({"$gte": 2})}),
    "update query": lambda db, h: db.update("c", {"n": h({"$add": 1})}, None, True),
    "update filter": lambda db, h: db.update("c", {"n": 0}, {"n": h({"$gt": 1})}, True),
}
OUTER_RESULT = {
    "insert": None,
    "insert_many": None,
    "find": [{"n": 2}, {"n": 3}],
    "count": 2,
    "delete": 2,
    "update query": [{"n": 2.0}, {"n": 3.0}, {"n": 4.0}],
    "update filter": [{"n": 1}, {"n": 0}, {"n": 0}],
}


@pytest.mark.parametrize("outer", list(OUTER))
def test_every_converting_method_carries_on_after_a_refused_nested_call(db, outer):
    db.insert_many("c", [{"n": 1}, {"n": 2}, {"n": 3}])
    seen = []
    result = OUTER[outer](db, lambda content: query_hook(db, seen, content))
    assert seen and all(s is True for s in seen), seen
    assert result == OUTER_RESULT[outer]
    if outer.startswith("insert"):
        assert db.find("c")[3:] == ([{"h": {"x": 1}, "n": 9}] if outer == "insert"
                                    else [{"n": 9}, {"x": 1}])
    if outer == "delete":
        assert db.find("c") == [{"n": 1}]


TOP_LEVEL = {
    "insert": (lambda db, h: db.insert("c", h("dict subclass", {"n": 9})),
               [{"n": 1}, {"n": 9}]),
    "insert_many": (lambda db, h: db.insert_many("c", h("list subclass", [{"n": 8}, {"n": 9}])),
                    [{"n": 1}, {"n": 8}, {"n": 9}]),
    "find": (lambda db, h: db.find("c", h("dict subclass", {"n": 1})), [{"n": 1}]),
    "update": (lambda db, h: db.update("c", h("dict subclass", {"n": 2}), None, True),
               [{"n": 2}]),
}


@pytest.mark.parametrize("method", list(TOP_LEVEL))
def test_the_argument_itself_calling_back_is_refused(db, method):
    db.insert("c", {"n": 1})
    seen = []
    call, expected = TOP_LEVEL[method]
    call(db, lambda kind, content: hooked(kind, "__len__", nested_same_object(db, seen),
                                          content))
    assert seen and all(s is True for s in seen), seen
    assert db.find("c") == expected


def test_another_thread_runs_its_calls_while_a_hook_waits_for_it(db):
    """Python code in a hook may wait for another thread that calls the same
    object: the call converting its argument has not taken the object yet,
    so that thread's calls run (a nested call of its own is still refused)."""
    db.insert("c", {"n": 1})
    seen = []

    def from_a_thread():
        thread = threading.Thread(
            target=lambda: seen.append((db.find("c"), db.collections())))
        thread.start()
        thread.join(60)  # for good, if the object were taken already

    db.insert("c", {"v": hooked("abc.Mapping", "keys", from_a_thread)})
    assert seen == [([{"n": 1}], ["c"])]
    assert db.find("c") == [{"n": 1}, {"v": MAPPING}]


def test_numpy_like_bool_calling_back_is_refused(db):
    db.insert("c", {"n": 1})
    seen = []

    class bool_:  # noqa: N801 - the name moxal accepts as a NumPy boolean
        __module__ = "numpy"

        def __bool__(self):
            nested_same_object(db, seen)()
            return True

    assert db.update("c", {"n": 5}, None, bool_()) == [{"n": 5}]
    assert seen == [True, True]


# ---- Calls into another object --------------------------------------------

@pytest.mark.parametrize("kind, hook", KIND_HOOKS)
def test_a_hook_may_use_another_object(db, tmp_path, kind, hook):
    other = moxal.Moxal(str(tmp_path / "other"))
    other.create_collection("o")

    def action():
        other.insert("o", {"x": len(other.find("o"))})
        other.collections()
        other.write("o")
        other.clear_cache()

    db.insert("c", {"v": hooked(kind, hook, action)})
    assert db.find("c") == [{"v": KINDS[kind][2]}]
    calls = len(other.find("o"))
    assert calls >= 1
    assert other.find("o") == [{"x": i} for i in range(calls)]
    assert moxal.Moxal(str(tmp_path / "other")).find("o") == other.find("o")


# ---- Dropping the last reference to the object in use ---------------------

def churn():
    """Frees what can be freed and allocates over it, so that a freed
    object's memory is reused at once."""
    gc.collect()
    return [bytearray(64) for _ in range(2000)] + [{"x": i} for i in range(500)]


# The object is reached only through `holder` (no local name holds it), so
# once the hook empties `holder` only the running call keeps it alive.
THROUGH_HOLDER = {
    "insert": lambda holder, h: holder["db"].insert("c", {"n": 9, "h": h({"x": 1})}),
    "insert_many": lambda holder, h: holder["db"].insert_many("c", [{"n": 9}, h({"x": 1})]),
    "find": lambda holder, h: holder["db"].find("c", {"n": h({"$gte": 2})}),
    "count": lambda holder, h: holder["db"].count("c", {"n": h({"$gte": 2})}),
    "delete": lambda holder, h: holder["db"].delete("c", {"n": h({"$gte": 2})}),
    "update query": lambda holder, h: holder["db"].update("c", {"n": h({"$add": 1})}, None, True),
    "update filter":
        lambda holder, h: holder["db"].update("c", {"n": 0}, {"n": h({"$gt": 1})}, True),
}


@pytest.mark.parametrize("outer", list(THROUGH_HOLDER))
def test_dropping_the_last_reference_during_a_call(tmp_path, outer):
    holder = {"db": moxal.Moxal(str(tmp_path / "db"))}
    holder["db"].insert_many("c", [{"n": 1}, {"n": 2}, {"n": 3}])
    kept = []

    def drop():
        holder.pop("db", None)
        kept.append(churn())

    h = lambda content: hooked("abc.Mapping", "__iter__", drop, content)  # noqa: E731
    assert THROUGH_HOLDER[outer](holder, h) == OUTER_RESULT[outer]
    assert holder == {}
    kept.append(churn())  # the object is gone now; nothing may touch it


# ---- Hooks that raise -----------------------------------------------------

@pytest.mark.parametrize("kind, hook", KIND_HOOKS)
def test_a_raising_hook_gives_a_clean_panic(db, kind, hook):
    db.insert("c", {"before": 1})

    def action():
        raise ValueError("boom")

    with pytest.raises(PanicException) as info:
        db.insert("c", {"v": hooked(kind, hook, action)})
    assert re.fullmatch(
        re.escape(UNWRAP + "PyErr(PyErr { type: <class 'ValueError'>, value: ValueError('boom'), "
                  "traceback: Some(<traceback object at ") + r"0x[0-9a-f]+" + re.escape(">) })"),
        str(info.value)), str(info.value)
    assert db.find("c") == [{"before": 1}]
    db.insert("c", {"after": 2})  # nothing stayed borrowed


# ---- Containers that change while they are converted ----------------------

def panic_text(db, value):
    with pytest.raises(PanicException) as info:
        db.insert("c", {"v": value})
    return str(info.value)


def index_error(message="list index out of range", traceback="None"):
    return (UNWRAP + "PyErr(PyErr { type: <class 'IndexError'>, "
            f"value: IndexError('{message}'), traceback: {traceback} }})")


class Clearing(Seq):
    """A sequence whose length read clears `target` (and which is empty)."""

    def __init__(self, target):
        super().__init__([])
        self.target = target

    def __len__(self):
        self.target.clear()
        return 0


def test_list_cleared_by_its_own_element(db):
    outer = [None, 1, 2]
    outer[0] = Clearing(outer)
    assert panic_text(db, outer) == index_error()
    assert db.collections() == []


def test_list_grown_by_its_own_element_converts_the_first_length(db):
    outer = [1, None]

    class Growing(Seq):
        def __len__(self):
            outer.append("late")
            return 0

    outer[1] = Growing([])
    db.insert("c", {"v": outer})
    assert db.find("c") == [{"v": [1, []]}]


def test_dict_cleared_by_its_own_value_keeps_what_it_held(db):
    d = {"a": None, "b": 2, "c": "three"}
    d["a"] = Clearing(d)
    db.insert("c", d)
    assert db.find("c") == [{"a": [], "b": 2, "c": "three"}]


def test_mapping_whose_keys_list_is_cleared_midway(db):
    keys = ["a", "b"]

    class KeysCleared(Map):
        def keys(self):
            return keys  # the very list moxal walks

        def values(self):
            return [Clearing(keys), 2]

    assert panic_text(db, KeysCleared({"a": 0, "b": 0})) == index_error()


@pytest.mark.parametrize("length, outcome", [
    (3, "IndexError"),        # more pairs than keys: the missing key fails
    (1, {"a": 1}),            # fewer: only as many pairs as the length says
])
def test_mapping_whose_length_disagrees_with_its_keys(db, length, outcome):
    class Lying(Map):
        def __len__(self):
            return length

    value = Lying({"a": 1, "b": 2})
    if outcome == "IndexError":
        assert panic_text(db, value) == index_error()
    else:
        db.insert("c", {"v": value})
        assert db.find("c") == [{"v": outcome}]


def test_sequence_shrinking_during_item_access(db):
    class Shrinking(Seq):
        def __getitem__(self, i):
            self.items.pop()
            return self.items[i]

    text = panic_text(db, Shrinking([1, 2, 3]))
    assert text.startswith(UNWRAP + "PyErr(PyErr { type: <class 'IndexError'>, "
                                    "value: IndexError('list index out of range'), "
                                    "traceback: Some(<traceback object at ")


@pytest.mark.parametrize("base", [Seq, list])
def test_sequence_whose_length_changes_between_reads(db, base):
    class Shifty(base):
        reads = 0

        def __len__(self):
            Shifty.reads += 1
            return 2 if Shifty.reads == 1 else 3

    assert panic_text(db, Shifty([1, 2, 3])) == (
        UNWRAP + "IncorrectSequenceLength { expected: 2, got: 3 }")


def test_set_changed_by_its_own_member(db):
    s = set()

    class Member(Seq):
        def __hash__(self):
            return 1

        def __len__(self):
            s.add(len(s) + 100)
            return 0

    s.add(Member([]))
    s.add(7)
    assert panic_text(db, s) == (
        UNWRAP + "PyErr(PyErr { type: <class 'RuntimeError'>, "
        "value: RuntimeError('Set changed size during iteration'), traceback: None })")


# ---- Keys and names that are str subclasses with odd manners ---------------

class Unique(str):
    """Equal only to itself, hashed by identity: two can carry one text."""

    def __eq__(self, other):
        return self is other

    def __hash__(self):
        return id(self)

    def __str__(self):
        return "not the text"

    def __repr__(self):
        return "not the text"


def test_two_keys_with_one_text_the_later_wins(db):
    d = {Unique("a"): 1, "b": 0, Unique("a"): 2}
    assert len(d) == 3
    db.insert("c", d)

    class Pairs(Map):
        def keys(self):
            return [Unique("k"), Unique("k"), "k"]

        def values(self):
            return [1, 2, 3]

        def __len__(self):
            return 3

    db.insert("c", {"m": Pairs({})})
    assert db.find("c") == [{"a": 2, "b": 0}, {"m": {"k": 3}}]


def test_str_subclass_collection_name_is_its_text(db, db_dir):
    db.insert(Unique("c"), {"a": 1})
    db.write(Unique("c"))
    assert os.listdir(db_dir) == ["c.json"]
    assert db.find(Unique("c")) == [{"a": 1}]


# ---- Misbehaving __class__, __repr__ and __qualname__ ----------------------

def test_class_property_that_raises(db):
    class Raises:
        @property
        def __class__(self):
            raise KeyError("cls")

    text = panic_text(db, Raises())
    assert text.startswith(UNWRAP + "PyErr(PyErr { type: <class 'KeyError'>, "
                                    "value: KeyError('cls'), traceback: Some(")


def test_class_property_that_lies(db):
    class Lies:
        @property
        def __class__(self):
            return list

    assert panic_text(db, Lies()) == (
        UNWRAP + "PyErr(PyErr { type: <class 'TypeError'>, "
        "value: TypeError(\"object of type 'Lies' has no len()\"), traceback: None })")


def test_class_property_that_calls_back(db):
    seen = []

    class CallsBack:
        @property
        def __class__(self):
            nested_same_object(db, seen)()
            return CallsBack

    text = panic_text(db, CallsBack())
    assert text.endswith("UnsupportedType(\"test_class_property_that_calls_back.<locals>"
                         ".CallsBack\")")
    assert seen and all(s is True for s in seen)


class Unprintable(Exception):
    def __repr__(self):
        raise RuntimeError("no repr either")


class NotUtf8(Exception):
    def __repr__(self):
        return "\udc80"


@pytest.mark.parametrize("exc", [Unprintable, NotUtf8])
def test_exception_whose_repr_fails(db, exc):
    def action():
        raise exc("x")

    text = panic_text(db, hooked("abc.Sequence", "__len__", action))
    assert text.startswith(UNWRAP + f"PyErr(PyErr {{ type: <class '{__name__}.{exc.__name__}'>, "
                                    "value: <unprintable>, traceback: Some(")


def test_exception_whose_repr_calls_back(db):
    seen = []

    class Chatty(Exception):
        def __repr__(self):
            nested_same_object(db, seen)()
            return "Chatty()"

    def action():
        raise Chatty()

    text = panic_text(db, hooked("abc.Sequence", "__len__", action))
    assert "value: Chatty(), traceback: Some(" in text
    assert seen == [True, True]


# ---- Finalizers and collector callbacks -----------------------------------

class Finalized(dict):
    """A dict whose finalizer runs `on_del`."""

    def __del__(self):
        self.on_del()


def test_finalizer_run_by_a_conversion_calls_back(db):
    seen = []

    class Fresh(Seq):
        def __getitem__(self, i):
            d = Finalized(n=self.items[i])
            d.on_del = nested_same_object(db, seen)
            return d  # dropped by the conversion once converted: __del__ runs

    db.insert("c", {"v": Fresh([1, 2])})
    assert seen == [True] * 4
    assert db.find("c") == [{"v": [{"n": 1}, {"n": 2}]}]


def test_finalizer_in_a_failed_conversions_traceback_calls_back(db):
    """The failure's traceback holds the hook's frame; its locals are freed
    with the failure, while the call still holds its borrow."""
    seen = []

    def action():
        local = Finalized()
        local.on_del = nested_same_object(db, seen)
        raise ValueError("boom")

    assert "ValueError('boom')" in panic_text(db, hooked("abc.Sequence", "__len__", action))
    assert seen == [True, True]
    db.insert("c", {"after": 1})


def test_cyclic_garbage_collected_during_a_conversion_calls_back(db):
    seen = []

    def make_garbage_and_collect():
        d = Finalized()
        d.on_del = nested_same_object(db, seen)
        d["self"] = d  # a cycle: only the collector frees it
        del d
        gc.collect()

    db.insert("c", {"v": hooked("abc.Mapping", "keys", make_garbage_and_collect)})
    assert seen == [True, True]
    assert db.find("c") == [{"v": MAPPING}]


@pytest.fixture
def eager_collector():
    """The collector runs at nearly every container allocation, with the
    callbacks the test installs."""
    threshold = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    yield gc.callbacks
    gc.callbacks.clear()
    gc.set_threshold(*threshold)


def test_collector_callbacks_while_documents_are_made(db, eager_collector):
    db.insert_many("c", [{"n": i, "tags": [str(i)], "sub": {"s": "x"}} for i in range(200)])
    outcomes = []

    def callback(phase, info):
        if phase == "start":
            try:
                db.find("c", {"n": 1})
                outcomes.append("free")
            except RuntimeError as e:
                outcomes.append(str(e))

    eager_collector.append(callback)
    for query in (None, {"n": {"$gte": 0}}):
        got = db.find("c", query)
        assert [d["n"] for d in got] == list(range(200))
    db.update("c", {"sub.s": "y"}, None, True)
    # Converting user mappings allocates lists, so collections run inside.
    db.insert("d", {"m": [Map({"k": i}) for i in range(50)]})
    eager_collector.clear()
    # A collection while a call runs meets the borrow; the results are whole.
    assert "Already borrowed" in outcomes
    assert set(outcomes) <= {"free", "Already borrowed"}
    assert db.find("d") == [{"m": [{"k": i} for i in range(50)]}]
    assert gc.isenabled()
    assert all(d["sub"]["s"] == "y" for d in db.find("c"))


def test_shared_calls_nest_in_a_collector_callback(db, eager_collector):
    for i in range(30):
        db.create_collection(f"c{i}")
    outcomes = []

    def callback(phase, info):
        if phase != "start":
            return
        outcomes.append(("collections", len(db.collections())))
        try:
            db.clear_cache()
            outcomes.append(("clear_cache", "free"))
        except RuntimeError as e:
            outcomes.append(("clear_cache", str(e)))

    class Anchor:
        pass

    eager_collector.append(callback)
    kept = []
    for _ in range(10):
        # Empty the lists' free list and bring the collector's count to its
        # threshold: the list that collections() makes starts a collection
        # right inside the call (before 3.12, which collects only between
        # bytecodes).
        kept.append([[] for _ in range(100)])
        while gc.get_count()[0] != 1:
            kept.append(Anchor())
        names = db.collections()
        assert len(names) == 30
    eager_collector.clear()
    # Inside collections() (a shared borrow) another collections() runs and
    # clear_cache (exclusive) is refused; outside, both run.
    assert set(outcomes) <= {("collections", 30), ("clear_cache", "free"),
                             ("clear_cache", "Already borrowed")}
    if sys.version_info < (3, 12):
        assert ("clear_cache", "Already borrowed") in outcomes
    db.clear_cache()


@pytest.mark.parametrize("enabled", [True, False])
def test_find_leaves_the_collector_as_the_caller_had_it(db, enabled):
    db.insert_many("c", [{"n": i} for i in range(10)])
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        db.find("c")
        db.update("c", {"n": 1}, None, True)
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()
