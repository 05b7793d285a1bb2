"""Python values in and out of the database: what each type becomes, and
what is refused and with which error."""

import collections
import math

import pytest
from hypothesis import given, settings, strategies as st

import moxal
from conftest import UNWRAP, Map, PanicException, Seq, nest


def roundtrip(db, value):
    db.insert("c", {"v": value})
    got = db.find("c")[-1]["v"]
    return got


class IntSub(int):
    pass


class StrSub(str):
    pass


class FloatSub(float):
    pass


class Odd:
    pass


# A qualified name that differs from the plain one and needs escaping.
Odd.__qualname__ = 'Outer.we"ird\n\\name'


@pytest.mark.parametrize(
    "value, expected",
    [
        (None, None),
        (True, True),
        (False, False),
        (0, 0),
        (1, 1),
        (18446744073709551615, 18446744073709551615),
        (-1, -1),
        (-9223372036854775808, -9223372036854775808),
        (1.0, 1.0),
        (1.5, 1.5),
        (-0.0, -0.0),
        (float("nan"), None),
        (float("inf"), None),
        (float("-inf"), None),
        ("", ""),
        ("h\u00e9llo \U0001F600 \x00 \t\"\\/", "h\u00e9llo \U0001F600 \x00 \t\"\\/"),
        ((1, 2), [1, 2]),
        ([], []),
        (set(), []),
        (frozenset([7]), [7]),
        (range(3), [0, 1, 2]),
        (Seq([1, "a"]), [1, "a"]),
        (Map({"b": 1, "a": 2}), {"a": 2, "b": 1}),
        (collections.OrderedDict([("z", 1), ("a", 2)]), {"a": 2, "z": 1}),
        (IntSub(5), 5),
        (StrSub("s"), "s"),
        (FloatSub(2.5), 2.5),
        ({"nested": {"deep": [1, {"x": None}]}}, {"nested": {"deep": [1, {"x": None}]}}),
    ],
)
def test_values_in_and_out(db, value, expected):
    got = roundtrip(db, value)
    assert got == expected
    assert type(got) is type(expected)
    if isinstance(expected, float) and expected == 0:
        assert math.copysign(1, got) == math.copysign(1, expected)


def test_keys_come_back_in_byte_order(db):
    db.insert("c", {"b": 1, "a": 2, "B": 3, "\u00e9": 4, "z": 5, "ab": 6, "": 7})
    [doc] = db.find("c")
    assert list(doc) == ["", "B", "a", "ab", "b", "z", "\u00e9"]


@pytest.mark.parametrize("width", [1, 5, 6, 10, 11, 40])
def test_documents_of_every_width_come_back_whole_and_usable(db, width):
    """Narrow and wide documents are built differently; either way every
    member comes back in byte order and the dict behaves as any other,
    non-str keys included."""
    keys = [f"k{i:02d}" for i in range(width)]
    db.insert("c", {k: {"v": i} if i % 3 == 0 else i for i, k in enumerate(reversed(keys))})
    [doc] = db.find("c")
    assert list(doc) == keys
    assert doc == {k: {"v": i} if i % 3 == 0 else i for i, k in enumerate(reversed(keys))}
    doc[1] = "one"
    doc["k00"] = None
    assert doc[1] == "one" and doc["k00"] is None and len(doc) == width + 1


def test_dict_subclass_and_mapping_go_through_keys_and_values(db):
    class Weird(dict):
        def keys(self):
            return ["k"]

        def values(self):
            return ["from values()"]

    db.insert("c", {"v": Weird(other=1)})
    assert db.find("c") == [{"v": {"k": "from values()"}}]


@pytest.mark.parametrize(
    "value, debug",
    [
        ({1: 2}, "UnexpectedType(\"'int' object cannot be converted to 'PyString'\")"),
        (b"x", 'Message("invalid type: byte array, expected any valid JSON value")'),
        (bytearray(b"x"), "UnexpectedType(\"'bytearray' object cannot be converted to 'PyBytes'\")"),
        (object(), 'UnsupportedType("object")'),
        (Seq, 'UnsupportedType("ABCMeta")'),
        (Odd(), 'UnsupportedType("Outer.we\\"ird\\n\\\\name")'),
        (2**64, 'Message("JSON number out of range")'),
        (2**128 - 1, 'Message("JSON number out of range")'),
        (-(2**63) - 1, 'Message("JSON number out of range")'),
        (-(2**127), 'Message("JSON number out of range")'),
        (2**128, "PyErr(PyErr { type: <class 'OverflowError'>, "
                 "value: OverflowError('int too big to convert'), traceback: None })"),
        (-(2**127) - 1, "PyErr(PyErr { type: <class 'OverflowError'>, "
                        "value: OverflowError('int too big to convert'), traceback: None })"),
        ("\udc80", "PyErr(PyErr { type: <class 'UnicodeEncodeError'>, value: "
                   "UnicodeEncodeError('utf-8', '\\udc80', 0, 1, 'surrogates not allowed'), "
                   "traceback: None })"),
    ],
)
def test_conversion_errors(db, value, debug):
    with pytest.raises(PanicException) as info:
        db.insert("c", {"v": value})
    assert str(info.value) == UNWRAP + debug
    assert db.collections() == []  # nothing was created


@pytest.mark.parametrize("call, where", [
    (lambda db: db.insert("c", {"a": {"b": [1, 2, {3}, b"x"]}}), "document['a']['b'][3]"),
    (lambda db: db.insert("c", {"it's": Map({"k": (1, object())})}), "document[\"it's\"]['k'][1]"),
    (lambda db: db.insert_many("c", [{}, {}, {}, {"items": [1, {"b": object()}]}]),
     "documents[3]['items'][1]['b']"),
    (lambda db: db.insert_many("c", [{}, object()]), "documents[1]"),
    (lambda db: db.update("c", {"v": {"$set": [object()]}}), "update_query['v']['$set'][0]"),
    (lambda db: db.update("c", {"v": {"$set": 1}}, {"k": [b"x"]}), "maybe_query['k'][0]"),
    (lambda db: db.find("c", {"a": {"$eq": [1, object()]}}), "maybe_query['a']['$eq'][1]"),
    (lambda db: db.delete("c", {"k": {"$ne": {"x": 2**64}}}), "query['k']['$ne']['x']"),
], ids=["insert", "mapping-and-tuple", "insert_many", "insert_many-item", "update",
        "update-filter", "find", "delete"])
def test_a_conversion_error_names_the_value_that_failed(db, call, where):
    db.insert("c", {"k": 1})
    with pytest.raises((PanicException, TypeError)) as info:
        call(db)
    assert info.value.__notes__ == ["in " + where]
    assert db.find("c") == [{"k": 1}]  # nothing changed


def test_debug_form_escapes_quotes_and_controls(db):
    class Shifty(Seq):
        def __len__(self):
            raise ValueError('a "b"\n\\')

    with pytest.raises(PanicException) as info:
        db.insert("c", {"v": Shifty([])})
    assert "ValueError('a \"b\"\\n\\\\')" in str(info.value)


def test_nested_too_deep_and_self_containing_values_are_refused(db_dir):
    db = moxal.Moxal(db_dir)
    # A document may nest 126 levels: its file wraps it in one more array.
    ok = {"v": nest(125)}
    db.insert("c", ok)
    too_deep = {"v": nest(126)}
    with pytest.raises(PanicException, match="nesting too deep: at most 126 levels"):
        db.insert("c", too_deep)
    # insert_many's list stands for the collection's own array.
    db.insert_many("c", [nest(126)])
    with pytest.raises(PanicException, match="nesting too deep: at most 127 levels"):
        db.insert_many("c", [nest(127)])
    looped = {}
    looped["me"] = looped
    with pytest.raises(PanicException, match="contains itself"):
        db.insert("c", looped)
    lst = [1]
    lst.append([lst])
    with pytest.raises(PanicException, match="contains itself"):
        db.insert_many("c", lst)
    # Very deep input never overflows the stack.
    with pytest.raises(PanicException, match="nesting too deep"):
        db.insert("c", {"v": nest(100000)})
    # What was accepted can be written and read back.
    db.write("c")
    assert len(moxal.Moxal(db_dir).find("c")) == 2


def test_a_value_shared_twice_is_not_a_cycle(db):
    shared = [1, 2]
    db.insert("c", {"a": shared, "b": shared, "c": [shared, shared]})
    assert db.find("c") == [{"a": [1, 2], "b": [1, 2], "c": [[1, 2], [1, 2]]}]


documents = st.recursive(
    st.none() | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda children: st.lists(children, max_size=4)
    | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=20,
)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.dictionaries(st.text(max_size=8), documents, max_size=5), max_size=5))
def test_documents_survive_insert_write_and_reopen(tmp_path_factory, docs):
    path = str(tmp_path_factory.mktemp("prop") / "db")
    db = moxal.Moxal(path)
    db.insert_many("c", docs)
    assert db.find("c") == docs
    db.write("c")
    reopened = moxal.Moxal(path).find("c")
    assert reopened == docs
    assert repr(reopened) == repr(_key_ordered(docs))


def _key_ordered(v):
    """`v` as moxal hands it back: dict keys in UTF-8 byte order."""
    if isinstance(v, dict):
        return {k: _key_ordered(v[k]) for k in sorted(v, key=lambda k: k.encode())}
    if isinstance(v, list):
        return [_key_ordered(x) for x in v]
    return v


def _near_misses():
    """Strings of 0 to 40 bytes that differ from a base string in one
    position each, ASCII and not: equal strings share objects in a result,
    so every byte of every length has to tell strings apart."""
    out = []
    for n in range(41):
        base = "k" * n
        out.append(base)
        for i in range(n):
            out.append(base[:i] + "j" + base[i + 1:])
            out.append(base[:i] + "\u00e9" + base[i + 1:])
    return out


def test_strings_that_nearly_match_come_back_as_they_went_in(db):
    strings = _near_misses()  # some 3,300, so the shared strings get replaced often
    docs = [{"v": s, "w": [s, strings[(i * 7) % len(strings)]], s: i}
            for i, s in enumerate(strings)]
    db.insert_many("c", docs)
    assert db.find("c") == docs
    assert db.find("c", {"v": strings[-1]}) == [docs[-1]]


def test_cycles_through_returned_containers_are_collected(db):
    """Results are left to the garbage collector like any other objects: a
    document made to hold itself, or a plain dict inside it made to, goes
    when the last outside reference does."""
    import gc
    import weakref

    class Marker:
        pass

    db.insert_many("c", [{"tags": ["a"], "address": {"city": "x"}}] * 3)
    found = db.find("c")
    markers = [Marker() for _ in found]
    refs = [weakref.ref(m) for m in markers]
    found[0]["tags"].append(found[0])
    found[0]["tags"].append(markers[0])
    found[1]["address"]["self"] = found[1]["address"]
    found[1]["address"]["m"] = markers[1]
    found[2]["me"] = found
    found[2]["m"] = markers[2]
    del found, markers
    gc.collect()
    assert [r() for r in refs] == [None, None, None]
