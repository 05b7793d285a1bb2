"""find's sort, limit and skip: the documented order across kinds, the
argument forms and their errors, pages through the result cache, and an
order index that gives large collections' pages without sorting them
(tests/test_model.py and tests/test_indexes.py compare pages with a model
and with scans on random input)."""

import random
import re

import pytest

from conftest import UNWRAP_NONE, PanicException

# One document per place of the order, ascending, with ties where the
# order puts values together: a missing field, then None, numbers by value
# whatever their kind, strings by UTF-8 bytes, dicts, lists, False, True.
ORDERED = [
    {"i": 0},
    {"i": 1, "v": None},
    {"i": 2, "v": -2**63},
    {"i": 3, "v": -1.5},
    {"i": 4, "v": 0},
    {"i": 5, "v": -0.0},  # ties with 0: collection order
    {"i": 6, "v": 1},
    {"i": 7, "v": 1.0},
    {"i": 8, "v": 2.0**53},
    {"i": 9, "v": 2**53 + 1},  # one past the double: exact order
    {"i": 10, "v": 2**64 - 1},
    {"i": 11, "v": 1e300},
    {"i": 12, "v": ""},
    {"i": 13, "v": "Z"},
    {"i": 14, "v": "a"},
    {"i": 15, "v": "é"},
    {"i": 16, "v": {}},
    {"i": 17, "v": {"a": 1}},
    {"i": 18, "v": {"a": 1, "b": 0}},
    {"i": 19, "v": {"b": 0}},
    {"i": 20, "v": []},
    {"i": 21, "v": [1]},
    {"i": 22, "v": [1, "a"]},
    {"i": 23, "v": ["a"]},
    {"i": 24, "v": False},
    {"i": 25, "v": True},
]
# Where each document's value sorts: its place, or its tie's.
RANK = {d["i"]: d["i"] for d in ORDERED} | {5: 4, 7: 6}


def order(docs):
    return [d["i"] for d in docs]


def test_one_total_order_across_kinds(db):
    docs = ORDERED[:]
    random.Random(5).shuffle(docs)
    db.insert_many("c", docs)
    # Ties keep collection order, whichever the direction.
    place = {d["i"]: n for n, d in enumerate(docs)}
    ascending = sorted(place, key=lambda i: (RANK[i], place[i]))
    descending = sorted(place, key=lambda i: (-RANK[i], place[i]))
    assert order(db.find("c", sort="v")) == ascending
    assert order(db.find("c", {}, sort=[("v", -1)])) == descending


@pytest.mark.parametrize("sort", [
    "v.w", [("v.w", 1)], [["v.w", 1]], (("v.w", 1),), {"v.w": 1},
])
def test_the_forms_of_sort_and_dotted_paths(db, sort):
    db.insert_many("c", [{"i": 0, "v": {"w": 2}}, {"i": 1, "v": 5}, {"i": 2, "v": {"w": 1}}])
    # {"v": 5} has no v.w: it sorts first.
    assert order(db.find("c", sort=sort)) == [1, 2, 0]


def test_later_keys_decide_among_ties_and_then_collection_order(db):
    docs = [{"i": i, "a": i % 2, "b": i % 3} for i in range(12)]
    db.insert_many("c", docs)
    got = db.find("c", sort=[("a", -1), ("b", 1)])
    assert order(got) == [3, 9, 1, 7, 5, 11, 0, 6, 4, 10, 2, 8]
    assert order(db.find("c", sort={"b": 1, "a": -1}, skip=2, limit=3)) == [0, 6, 1]


@pytest.mark.parametrize("query", [None, {}, {"i": {"$gte": 0}}])
@pytest.mark.parametrize("limit, skip, expected", [
    (0, 0, list(range(10))),  # limit 0: no limit
    (3, 0, [0, 1, 2]),
    (3, 8, [8, 9]),
    (0, 4, [4, 5, 6, 7, 8, 9]),
    (5, 10, []),
    (2**70, 2**70, []),  # beyond any size: as many as there are
])
def test_limit_and_skip_cut_collection_order(db, query, limit, skip, expected):
    db.insert_many("c", [{"i": i} for i in range(10)])
    assert order(db.find("c", query, limit=limit, skip=skip)) == expected
    assert order(db.find("c", query, sort=[("i", -1)], limit=limit, skip=skip)) == [
        9 - i for i in expected]


def test_without_sort_matching_stops_once_the_page_is_full(db):
    """A document after the page is not matched, so its error is not
    raised; with a sort every document is matched first."""
    db.insert_many("c", [{"v": 1}, {"v": 2}, {"v": "x"}, 5])
    assert db.find("c", {"v": {"$gt": 0}}, limit=2) == [{"v": 1}, {"v": 2}]
    with pytest.raises(ValueError, match="operator GreaterThan$"):
        db.find("c", {"v": {"$gt": 0}}, limit=3)
    with pytest.raises(ValueError, match="operator GreaterThan$"):
        db.find("c", {"v": {"$gt": 0}}, sort="v", limit=1)
    # Without a query a document that is not an object is returned as
    # find returns it, and sorts as one without the field.
    assert db.find("c", sort=[("v", -1)], limit=2) == [{"v": "x"}, {"v": 2}]
    assert db.find("c", sort="v", limit=1) == [5]
    with pytest.raises(PanicException, match=re.escape(UNWRAP_NONE)):
        db.find("c", {}, sort="v")


@pytest.mark.parametrize("kwargs, error, message", [
    ({"sort": 1}, TypeError, "argument 'sort': expected a field name, a list of (field, "
                             "direction) pairs or a dict, got 'int'"),
    ({"sort": ["v"]}, TypeError, "argument 'sort': item 0 is not a (field, direction) pair"),
    ({"sort": [("v", 1, 2)]}, TypeError, "argument 'sort': item 0 is not a (field, direction) "
                                         "pair"),
    ({"sort": [(1, 1)]}, TypeError, "argument 'sort': a field name must be a str, not 'int'"),
    ({"sort": {"v": "asc"}}, TypeError, "argument 'sort': the direction of 'v' must be 1 or -1, "
                                        "not 'str'"),
    ({"sort": [("v", True)]}, TypeError, "argument 'sort': the direction of 'v' must be 1 or "
                                         "-1, not 'bool'"),
    ({"sort": [("v", 0)]}, ValueError, "argument 'sort': the direction of 'v' must be 1 or -1, "
                                       "not 0"),
    ({"sort": [("v", 2**70)]}, ValueError, "argument 'sort': the direction of 'v' must be 1 or "
                                           "-1, not a larger int"),
    ({"limit": -1}, ValueError, "argument 'limit': must not be negative"),
    ({"skip": -2**70}, ValueError, "argument 'skip': must not be negative"),
    ({"limit": 2.0}, TypeError, "argument 'limit': expected an int, got 'float'"),
    ({"skip": None}, TypeError, "argument 'skip': expected an int, got 'NoneType'"),
    ({"limit": True}, TypeError, "argument 'limit': expected an int, got 'bool'"),
])
def test_bad_arguments(db, kwargs, error, message):
    db.insert("c", {"v": 1})
    with pytest.raises(error) as info:
        db.find("c", {"v": 1}, **kwargs)
    assert str(info.value) == message
    assert db.find("c", {"v": 1}) == [{"v": 1}]  # nothing was cached for the failed call


def test_pages_are_cached_apart_from_each_other_and_from_the_whole(db):
    db.insert_many("c", [{"i": i} for i in range(6)])
    q = {"i": {"$gte": 1}}
    calls = [({}, [1, 2, 3, 4, 5]), ({"limit": 2}, [1, 2]), ({"limit": 2, "skip": 1}, [2, 3]),
             ({"sort": [("i", -1)], "limit": 2}, [5, 4]), ({"sort": "i", "limit": 2}, [1, 2]),
             ({"sort": [("i", 1), ("x", 1)], "limit": 2}, [1, 2])]
    for _ in range(2):  # the second round answers from the cache
        for kwargs, expected in calls:
            assert order(db.find("c", q, **kwargs)) == expected
        assert db.count("c", q) == 5  # never the length of a cached page
    db.insert("c", {"i": 9})  # every cached page is stale now
    assert order(db.find("c", q, sort=[("i", -1)], limit=2)) == [9, 5]
    assert order(db.find("c", q, limit=2, skip=5)) == [9]


@pytest.mark.parametrize("changes", ["none", "updated", "inserted", "deleted"])
def test_pages_of_a_large_collection_through_its_order_index(db, changes):
    """Sorted pages of a collection large enough for indexes, asked often
    enough to build one, after changes its index takes in lazily; against
    Python's stable sort. Keys repeat, some documents lack the field, and
    integers beyond 2**53 share doubles."""
    rng = random.Random(3)
    big = 2**60
    docs = [{"i": i, "t": rng.choice([rng.randrange(50), big + rng.randrange(3), 7.5])}
            for i in range(3000)]
    for d in docs[::97]:
        del d["t"]
    db.insert_many("c", docs)
    for _ in range(2):
        db.find("c", sort="t", limit=1)  # the second builds the index
    if changes == "updated":
        db.update("c", {"t": {"$set": -1}}, {"i": {"$lt": 40}})
        for d in docs[:40]:
            if "t" in d:  # $set changes a field, adds none
                d["t"] = -1
    elif changes == "inserted":
        more = [{"i": 3000 + i, "t": big + 1} for i in range(30)] + [{"i": 4000}]
        db.insert_many("c", more)
        docs += more
    elif changes == "deleted":
        db.delete("c", {"t": big + 1})
        docs = [d for d in docs if d.get("t") != big + 1]

    def key(d):
        return (0, 0) if "t" not in d else (1, d["t"])

    ascending = sorted(docs, key=key)
    newest = sorted(docs, key=key, reverse=True)
    assert db.find("c", sort="t", limit=20) == ascending[:20]
    assert db.find("c", sort=[("t", -1)], limit=20, skip=100) == newest[100:120]
    assert db.find("c", {"t": {"$gte": 10}}, sort=[("t", -1)], limit=5) == [
        d for d in newest if "t" in d and d["t"] >= 10][:5]
    assert db.find("c", sort=[("t", -1), ("i", -1)], limit=50) == sorted(
        docs, key=lambda d: (key(d), d["i"]), reverse=True)[:50]
    assert db.find("c", sort=[("t", -1)]) == newest
