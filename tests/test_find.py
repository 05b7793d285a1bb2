"""find: with and without a query, loading on demand, and a result cache that
never answers with a stale or a wrong result; count and delete, which select
as find does and fail as it does for the same mistakes."""

import copy
import json
import os

import pytest

from conftest import UNWRAP, UNWRAP_NONE, PanicException, read_file, write_file

PEOPLE = [
    {"name": "Ann", "age": 30, "address": {"city": "Paris"}, "tags": ["x", "y"]},
    {"name": "Bob", "age": 41.5, "address": {"city": "Lyon"}},
    {"name": "Cid", "age": 30.0, "address": "nowhere"},
    {"name": "Dee"},
]


@pytest.fixture
def people(db):
    db.insert_many("p", PEOPLE)
    return db


def names(docs):
    return [d["name"] for d in docs]


def test_find_without_a_query(people):
    expected = [dict(sorted(d.items())) for d in PEOPLE]
    assert people.find("p") == expected
    assert people.find("p", None) == expected
    assert people.find(collection_name="p", maybe_query=None) == expected


QUERIES = [
        ({}, ["Ann", "Bob", "Cid", "Dee"]),
        ({"age": 30}, ["Ann"]),
        ({"age": 30.0}, ["Cid"]),
        ({"age": {"$gte": 30}}, ["Ann", "Bob", "Cid"]),
        ({"age": {"$gt": 30, "$lt": 35}}, []),  # every operator must hold
        ({"age": {"$gte": 30, "$lt": 41.5}}, ["Ann", "Cid"]),
        ({"age": {"$lte": 50, "$ne": 30}}, ["Bob", "Cid"]),
        ({"age": {"$eq": 30, "$gte": 30.0}}, ["Ann"]),
        ({"age": {"$gt": 40, "$lt": 31}}, []),  # contradictory bounds
        ({"age": {"$gte": 30, "x": 99}}, ["Ann", "Bob", "Cid"]),  # a plain member is ignored
        ({"age": {"$ne": 30}}, ["Bob", "Cid"]),  # a missing field never holds
        ({"address.city": "Paris"}, ["Ann"]),
        ({"address": {"city": {"$ne": "Paris"}}}, ["Bob"]),
        ({"tags": "x"}, []),
        ({"tags": {"$eq": ["x", "y"]}}, ["Ann"]),
        ({"name": "Bob", "age": {"$lt": 50}}, ["Bob"]),
]


@pytest.mark.parametrize("query, expected", QUERIES)
def test_find_with_a_query(people, query, expected):
    assert names(people.find("p", query)) == expected


@pytest.mark.parametrize("cached", [False, True])
@pytest.mark.parametrize("query, expected", QUERIES)
def test_count_and_delete_select_what_find_selects(people, query, expected, cached):
    if cached:
        people.find("p", query)  # count answers from the cached result
    assert people.count("p", query) == len(expected)
    assert people.count("p") == len(PEOPLE)
    assert people.delete("p", query) == len(expected)
    kept = [d["name"] for d in PEOPLE if d["name"] not in expected]
    assert names(people.find("p")) == kept
    assert people.count("p", query) == people.delete("p", query) == 0
    assert people.count("p") == len(kept)


BIG = [2**53 + 1, 2**63 - 1, 2**63, -(2**63), 2**64 - 1]
BIG_QUERIES = [
    {"$gt": 2**53}, {"$gte": 2**53 + 1}, {"$lt": 2**53 + 1}, {"$lte": 2**63 - 1},
    {"$gte": 2**63}, {"$lt": -(2**63) + 1}, {"$gt": -(2**63)}, {"$lt": 2**64 - 1},
    {"$gt": float(2**63)}, {"$gte": float(2**63)}, {"$lt": float(2**64)}, {"$lt": -float(2**63)},
    {"$gt": 2**53 + 0.5 + 2**52}, {"$lte": float(2**53)},
    {"$gte": 2**63 - 1, "$lt": 2**64 - 1}, {"$gt": float(2**53), "$lte": 2**63},
    {"$gt": -(2**63), "$lt": 2**53 + 1},
]
COMPARE = {"$gt": lambda a, b: a > b, "$gte": lambda a, b: a >= b,
           "$lt": lambda a, b: a < b, "$lte": lambda a, b: a <= b}


@pytest.mark.parametrize("filler", [0, 400], ids=["scanned", "indexed"])
def test_ordering_compares_integers_exactly(db, filler):
    """Integers beyond 2**53 against integers and floats, as Python compares
    them; in a collection large enough for an order index on "v" too (its
    second cold query builds it, the third uses it)."""
    db.insert_many("n", [{"v": i} for i in range(filler)] + [{"v": v} for v in BIG])
    for ops in BIG_QUERIES:
        expected = [v for v in [*range(filler), *BIG]
                    if all(COMPARE[op](v, bound) for op, bound in ops.items())]
        for _ in range(3):
            db.clear_cache()
            assert [d["v"] for d in db.find("n", {"v": ops})] == expected, ops
        assert db.count("n", {"v": ops}) == len(expected)


def call(db, method, name, query):
    """find, count or delete of `query` in collection `name`."""
    return getattr(db, method)(name, query)


SELECTING = ["find", "count", "delete"]


@pytest.mark.parametrize("query, other", [(None, {"name": "Ann"}), ({"name": "Ann"}, None)])
def test_a_find_result_is_a_new_copy_every_time(people, query, other):
    """Changing a result, at any depth, changes neither the stored documents
    nor the next result of the same query (the cached one, with a query)."""
    first = people.find("p", query)
    expected = copy.deepcopy(first)
    first[0]["address"]["city"] = "changed"
    first[0]["tags"].append("z")
    first[0]["new"] = 1
    first.append("junk")
    again = people.find("p", query)
    assert again == expected
    assert people.find("p", other)[0] == PEOPLE[0]


@pytest.mark.parametrize("method", SELECTING)
def test_non_numeric_ordering_is_a_value_error(people, method):
    with pytest.raises(ValueError) as info:
        call(people, method, "p", {"name": {"$gt": 3}})
    assert str(info.value) == "Malformed query, non-numeric value found for operator GreaterThan"
    with pytest.raises(ValueError, match="operator LessThan$"):
        call(people, method, "p", {"age": {"$lt": "x"}})
    assert people.count("p") == len(PEOPLE)


def test_a_delete_that_fails_removes_nothing(db):
    # The first document matches; the error comes from the second.
    db.insert_many("c", [{"v": 5}, {"v": "x"}, {"v": 7}])
    with pytest.raises(ValueError, match="operator GreaterThan$"):
        db.delete("c", {"v": {"$gt": 1}})
    assert db.find("c") == [{"v": 5}, {"v": "x"}, {"v": 7}]
    assert db.delete("c", {"v": {"$eq": "x"}}) == 1
    assert db.delete("c", {"v": {"$gt": 6}}) == 1
    assert db.find("c") == [{"v": 5}]


@pytest.mark.parametrize(
    "query, message",
    [
        ({"a": {"$regex": "x"}}, "Unknown query operator found: $regex"),
        ({"age": {"$in": [1, 2]}}, "Unknown query operator found: $in"),
        ({"age": None}, "Not Valid query"),
        ({"tags": ["x"]}, "Not Valid query"),
        ({"a": {}}, "Error while parsing query"),
    ],
)
@pytest.mark.parametrize("method", SELECTING)
def test_unparsable_queries_panic_and_are_not_cached(people, query, message, method):
    for _ in range(2):
        with pytest.raises(PanicException) as info:
            call(people, method, "p", query)
        assert str(info.value) == message
    assert people.count("p") == len(PEOPLE)


@pytest.mark.parametrize("method", SELECTING)
def test_query_conversion_errors_panic(people, method):
    with pytest.raises(PanicException) as info:
        call(people, method, "p", {1: 2})
    assert str(info.value) == (UNWRAP + "UnexpectedType(\"'int' object cannot be converted to 'PyString'\")")


@pytest.mark.parametrize("method, none", [("find", []), ("count", 0), ("delete", 0)])
def test_empty_path_clause_fails_only_when_evaluated(db, method, none):
    db.create_collection("empty")
    assert call(db, method, "empty", {"$gt": 5}) == none
    db.insert("one", {"a": 1})
    with pytest.raises(PanicException, match="empty field path"):
        call(db, method, "one", {"$gt": 5})
    assert db.count("one") == 1


@pytest.mark.parametrize("method", SELECTING)
def test_documents_that_are_not_objects(db, method):
    db.insert_many("mixed", [{"a": 1}, 5])
    assert db.find("mixed") == [{"a": 1}, 5]
    assert db.count("mixed") == 2  # without a query, as find without one
    for query in ({"a": 1}, {}):
        with pytest.raises(PanicException) as info:
            call(db, method, "mixed", query)
        assert str(info.value) == UNWRAP_NONE
    assert db.find("mixed") == [{"a": 1}, 5]


def test_same_query_on_two_collections(db):
    db.insert("a", {"k": 1, "from": "a"})
    db.insert("b", {"k": 1, "from": "b"})
    assert db.find("a", {"k": 1}) == [{"from": "a", "k": 1}]
    assert db.find("b", {"k": 1}) == [{"from": "b", "k": 1}]


def test_loading_on_demand(db, db_dir):
    write_file(os.path.join(db_dir, "app.json"), '[{"n": 1}]')
    assert db.find("app.users") == [{"n": 1}]
    # Now in memory: later changes to the file are not seen.
    write_file(os.path.join(db_dir, "app.json"), '[{"n": 2}]')
    assert db.find("app.users") == [{"n": 1}]
    write_file(os.path.join(db_dir, "old.json"), '{"old": [{"n": 3}]}')
    assert db.find("old", {"n": 3}) == [{"n": 3}]
    write_file(os.path.join(db_dir, "bad.json"), "[1,")
    with pytest.raises(ValueError, match="^Error deserializing JSON\nwhile loading the collection file "):
        db.find("bad")
    os.makedirs(os.path.join(db_dir, "dir.json"))
    with pytest.raises(ValueError, match="^Error deserializing JSON\nwhile loading the collection file "):
        db.find("dir")
    write_file(os.path.join(db_dir, "other.json"), '{"x": []}')
    with pytest.raises(PanicException) as info:
        db.find("other")
    assert str(info.value) == UNWRAP_NONE
    with pytest.raises(ValueError) as info:
        db.find("x", {"a": 1})
    assert str(info.value) == "Collection with name 'x' not found on disk"


@pytest.mark.parametrize("method, answer", [("count", 2), ("delete", 1)])
def test_count_and_delete_load_on_demand_and_fail_like_find(db, db_dir, method, answer):
    write_file(os.path.join(db_dir, "app.json"), '[{"n": 1}, {"n": 2}]')
    assert call(db, method, "app", {"n": 1} if method == "delete" else None) == answer
    with pytest.raises(ValueError) as info:
        call(db, method, "x", {"a": 1})
    assert str(info.value) == "Collection with name 'x' not found on disk"
    write_file(os.path.join(db_dir, "bad.json"), "[1,")
    with pytest.raises(ValueError, match="^Error deserializing JSON\nwhile loading the collection file "):
        call(db, method, "bad", {})
    # The file is not touched until write.
    assert json.loads(read_file(os.path.join(db_dir, "app.json"))) == [{"n": 1}, {"n": 2}]


def test_a_collection_loaded_on_demand_stays_after_a_failing_find(db, db_dir):
    write_file(os.path.join(db_dir, "late.json"), '[{"a": "s"}]')
    with pytest.raises(ValueError):
        db.find("late", {"a": {"$gt": 1}})
    os.remove(os.path.join(db_dir, "late.json"))
    assert db.find("late") == [{"a": "s"}]


# --- The cache never answers with a stale or a wrong result ----------------

def _insert(db, db_dir, doc):
    db.insert("c", {"v": 1, "new": True})


def _insert_many(db, db_dir, doc):
    db.insert_many("c", [{"v": 1, "new": True}])


def _insert_many_from_document(db, db_dir, doc):
    write_file(doc, '[{"v": 1, "new": true}]')
    db.insert_many_from_document("c", doc)


def _load_from_document(db, db_dir, doc):
    write_file(doc, '{"c": [{"v": 1, "new": true}]}')
    db.load_from_document(doc)


def _update(db, db_dir, doc):
    db.update("c", {"new": True})


def _create_after_drop(db, db_dir, doc):
    db.drop_collection("c")
    db.create_collection("c")
    db.insert("c", {"v": 1, "new": True})


def _reload_after_drop(db, db_dir, doc):
    db.drop_collection("c")
    write_file(os.path.join(db_dir, "c.json"), '[{"v": 1, "new": true}]')


@pytest.mark.parametrize(
    "change",
    [_insert, _insert_many, _insert_many_from_document, _load_from_document, _update,
     _create_after_drop, _reload_after_drop],
)
def test_changes_are_seen_by_the_next_find(db, db_dir, tmp_path, change):
    db.insert("c", {"v": 1, "new": False})
    assert db.find("c", {"v": 1}) == [{"new": False, "v": 1}]
    change(db, db_dir, str(tmp_path / "doc.json"))
    assert {"v": 1, "new": True} in db.find("c", {"v": 1})


@pytest.mark.parametrize("query", [{"v": 1}, {"v": {"$gte": 1}}, {}])
def test_a_delete_is_seen_by_the_next_find_and_count(db, query):
    db.insert_many("c", [{"v": 1, "k": 0}, {"v": 2}, {"v": 1, "k": 1}])
    for q in (query, {"v": 1}, {"v": 2}):
        db.find("c", q)  # cached
    removed = db.find("c", query)
    assert db.delete("c", {"k": 0}) == 1
    assert db.find("c", query) == [d for d in removed if d.get("k") != 0]
    assert db.count("c", query) == len(removed) - 1
    assert db.find("c", {"v": 2}) == [{"v": 2}]
    assert db.delete("c", {}) == 2
    assert db.find("c", query) == db.find("c") == [] and db.count("c", {"v": 2}) == 0
    db.insert("c", {"v": 2})
    assert db.find("c", {"v": 2}) == [{"v": 2}] and db.count("c") == 1


def test_a_dropped_collection_is_not_found_even_if_cached(db):
    db.insert("c", {"v": 1})
    db.find("c", {"v": 1})
    db.drop_collection("c")
    with pytest.raises(ValueError, match="^Collection with name 'c' not found on disk$"):
        db.find("c", {"v": 1})
    db.insert("d", {"v": 1})
    db.find("d", {"v": 1})
    db.drop_all()
    with pytest.raises(ValueError, match="not found on disk"):
        db.find("d", {"v": 1})


@pytest.mark.parametrize(
    "first, second",
    [(0, 0.0), (1, 5e-324), (-1, 2**64 - 1), (30, 30.0), (True, 1)],
)
def test_queries_that_feed_the_same_hash_are_told_apart(db, first, second):
    db.insert_many("c", [{"v": first}, {"v": second}])
    assert db.find("c", {"v": first}) == [{"v": first}]
    got = db.find("c", {"v": second})
    assert got == [{"v": second}] and type(got[0]["v"]) is type(second)
    assert db.find("c", {"v": first}) == [{"v": first}]


def test_key_order_of_the_query_does_not_matter(db):
    db.insert("c", {"a": 1, "b": 2})
    assert db.find("c", {"a": 1, "b": 2}) == db.find("c", {"b": 2, "a": 1}) == [{"a": 1, "b": 2}]


def test_many_distinct_queries_stay_correct_past_the_cache_capacity(db):
    db.insert_many("c", [{"i": i} for i in range(150)])
    for _ in range(2):
        for i in range(150):
            assert db.find("c", {"i": i}) == [{"i": i}]
    db.clear_cache()
    assert db.find("c", {"i": {"$lt": 2}}) == [{"i": 0}, {"i": 1}]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# Sanitizers and valgrind keep freed memory for a while to catch late uses.
MEMORY_CHECKS = os.environ.get("MOXAL_SANITIZE") != "1" and os.environ.get("MOXAL_VALGRIND") != "1"


def test_dropping_a_collection_lets_go_of_its_cached_results(db):
    """A cached result shares its documents with the collection; dropping
    the collection lets go of them at once (they used to stay until
    clear_cache)."""
    size = 64 << 20  # one block of its own, handed back to the system when freed
    assert db.clear_cache() is None  # on an empty cache
    db.insert("c", {"v": 1, "s": "x" * size})
    db.insert("d", {"v": 1})
    assert len(db.find("c", {"v": 1})) == len(db.find("d", {"v": 1})) == 1
    held = resident_bytes()
    db.drop_collection("c")
    assert not MEMORY_CHECKS or held - resident_bytes() > size // 2
    assert db.clear_cache() is None
    assert db.find("d", {"v": 1}) == [{"v": 1}]
