"""moxal against the pure-Python model of query_model.py, on random input.

Hypothesis makes documents (every number kind, bools, None, unusual strings
and keys), queries (for find, count and delete) and update queries (plain values, operator objects with
good and bad keywords, dotted paths that exist or not, nested path objects,
several clauses) and sequences of operations. moxal and the model must give
the same results and the same errors (type and message); a crash of moxal
ends the run. The update trace lines are checked too: two per clause built.

The normal suite runs a quick version. For a longer run raise the number of
examples (each stateful example is a run of up to 40 operations):

    MOXAL_FUZZ_EXAMPLES=5000 python -m pytest -q tests/test_model.py
"""

import contextlib
import copy
import math
import os
import shutil
import tempfile

from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import moxal
from conftest import PanicException, fd1_captured
from query_model import (
    COMPARISON,
    I64_MIN,
    PANIC,
    U64_MAX,
    UNWRAP,
    UPDATE,
    Failure,
    ModelDb,
    is_number,
    same,
)

EXAMPLES = int(os.environ.get("MOXAL_FUZZ_EXAMPLES", "80"))
SETTINGS = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@st.composite
def weighted(draw, *choices):
    """One of the strategies of the (weight, strategy) pairs, picked in
    proportion to the weights; shrinks towards the first."""
    n = draw(st.integers(0, sum(w for w, _ in choices) - 1))
    for w, strategy in choices:
        if n < w:
            return draw(strategy)
        n -= w
    raise AssertionError("unreachable")


def mostly(common, rare, weight=8):
    """`common` about `weight` times as often as `rare`."""
    return weighted((weight, common), (1, rare))


# ------------------------------------------------------------ strategies

# A small pool of keys, so that queries often meet the documents' fields,
# with the awkward ones: empty, a dot, "$" names, a keyword, non-ASCII, an
# upper-case letter (sorts first), control characters and quotes.
PLAIN_KEYS = ["a", "b", "B", "é"]
AWKWARD_KEYS = ["", ".", "a.b", "$x", "$gt", "zz", " ", "\x00", '"', "\\", "\n", "\U0001F600"]
pool_keys = weighted((3, st.sampled_from(PLAIN_KEYS)), (2, st.sampled_from(AWKWARD_KEYS)))
keys = mostly(pool_keys, st.text(max_size=3), weight=6)

# Integers beyond 2**53 lie between doubles: ordering must compare them
# exactly, with each other and with the doubles around them.
NUMBERS = [0, 0.0, -0.0, 1, 1.0, -1, -1.0, 0.5, 2, 5e-324, 2**53, 2**53 + 1, float(2**53),
           2**53 + 2, 2**63 - 1, 2**63, float(2**63), I64_MIN, I64_MIN + 1, -float(2**63),
           U64_MAX, float(U64_MAX), 1e308, -1e308]
numbers = weighted((2, st.sampled_from(NUMBERS)), (1, st.integers(I64_MIN, U64_MAX)),
                   (1, st.floats(allow_nan=False, allow_infinity=False)))
strings = st.one_of(st.sampled_from(["", ".", "$x", "a", "é", "x\x00y", "\u2028", "1"]),
                    st.text(max_size=5))
scalars = weighted((3, numbers), (1, strings), (1, st.booleans()))
# What conversion turns into None or refuses: non-finite floats, integers
# outside both integer kinds.
odd_scalars = st.sampled_from([math.inf, -math.inf, math.nan, 2**64, -(2**63) - 1,
                               2**128 - 1])


def nest(levels, leaf, in_lists):
    for _ in range(levels):
        leaf = [leaf] if in_lists else {"a": leaf}
    return leaf


# Chains about as deep as a document may be, on both sides of the limits.
deep = st.builds(nest, st.integers(118, 127), st.one_of(st.just(1), st.just({})),
                 st.booleans())


def values_of(leaves):
    return st.recursive(leaves, lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.dictionaries(keys, inner, max_size=3)),
        max_leaves=6)


values = values_of(mostly(scalars, st.none(), weight=6))
# Documents, and some that conversion refuses or changes: non-finite floats
# become None, integers outside both integer kinds and chains deeper than a
# file can hold are refused.
field_values = weighted((8, scalars), (1, st.none()), (3, values))
clean_documents = mostly(st.dictionaries(keys, field_values, min_size=1, max_size=5),
                         st.just({}))
odd_documents = st.dictionaries(
    keys, values_of(mostly(scalars, odd_scalars)) | deep, min_size=1, max_size=3)
documents = mostly(clean_documents, odd_documents)
# insert_many takes any values; non-objects make queried finds and updates
# of their collection fail. `odd_lists` is how often such lists come.
other_items = st.one_of(scalars, st.lists(scalars, max_size=2))


def many_documents(odd_lists):
    return weighted((30, st.lists(clean_documents, min_size=1, max_size=8)),
                    (odd_lists, st.lists(documents, max_size=4)),
                    (odd_lists, st.lists(mostly(clean_documents, other_items, 3), max_size=4)))


def fields_of(docs):
    """The dotted paths of the fields that the documents have, and the
    values there, so that queries often name fields that exist and values
    that they hold. Paths through arrays, with indexes for names, are
    among them: no query may reach into an array."""
    found = {}

    def walk(prefix, obj):
        items = obj.items() if type(obj) is dict else ((str(i), v) for i, v in enumerate(obj))
        for k, v in items:
            found.setdefault(prefix + k, []).append(v)
            if type(v) in (dict, list):
                walk(prefix + k + ".", v)

    for doc in docs:
        if type(doc) is dict:
            walk("", doc)
    return [(path, v) for path in sorted(found) for v in found[path]]


def clause(path, value, split):
    """A query member; `split` writes a dotted path as nested objects."""
    if split and "." in path:
        head, tail = path.split(".", 1)
        return head, {tail: value}
    return path, value


def kind_twin(v):
    """`v` as the other number kind, where there is one: equal as a double,
    yet a different value."""
    if type(v) is int:
        return [float(v)]
    if type(v) is float and v.is_integer() and I64_MIN <= int(v) <= U64_MAX:
        return [int(v)]
    return []


def neighbours(v):
    """The numbers next to `v`: where the ordering operators decide."""
    if type(v) is int:
        return [w for w in (v - 1, v + 1) if I64_MIN <= w <= U64_MAX]
    if type(v) is float:
        return [w for w in (math.nextafter(v, math.inf), math.nextafter(v, -math.inf))
                if math.isfinite(w)]
    return []


def held_clause(path_and_value, keyword, safe_keyword, implicit, split):
    """A query member naming a field that a document has, and its value (or
    a number next to it). A value that is not a number mostly goes with a
    keyword that takes any value, so that not every such query fails."""
    path, v = path_and_value
    if implicit and v is not None and type(v) not in (list, dict):
        return clause(path, v, split)
    return clause(path, {keyword if is_number(v) else safe_keyword: v}, split)


@st.composite
def window(draw, targets):
    """Both bounds of a range around a value a document holds (its kind
    twin and neighbours among them), now and then with an equality too:
    every operator of the dict must hold."""
    path, v = draw(targets)
    near = st.sampled_from([v, *kind_twin(v), *neighbours(v)])
    bound = weighted((4, near), (2, numbers), (1, scalars))
    ops = {draw(st.sampled_from(["$gt", "$gte"])): draw(bound),
           draw(st.sampled_from(["$lt", "$lte"])): draw(bound)}
    if draw(st.integers(0, 3)) == 0:
        ops[draw(st.sampled_from(["$eq", "$ne"]))] = draw(weighted((2, near), (1, scalars)))
    return clause(path, ops, draw(st.booleans()))


def query_strategy(table, bad_keywords, safe_keywords, docs):
    """Queries of one family, {path: clause value, ...}: mostly about the
    fields of one of the documents, with paths and values it has or nearly
    has; also paths that no document has and paths that are operators."""
    keyword = mostly(st.sampled_from(sorted(table)), st.sampled_from(bad_keywords))
    safe = mostly(st.sampled_from(safe_keywords), keyword, weight=3)
    known = sorted({path for path, _ in fields_of(docs)})
    plain = weighted((3, st.sampled_from(known)), (1, keys)) if known else keys
    operand = weighted((8, numbers), (6, scalars), (6, values), (2, st.none()),
                       (1, st.one_of(odd_scalars, deep)))
    paths = weighted(
        (8, plain),
        (1, st.lists(pool_keys, min_size=2, max_size=3).map(".".join)),
        (1, keyword),  # the key itself an operator: an empty path
        (1, st.builds(lambda k, kw: f"{k}.{kw}", plain, keyword)))
    with_operator = st.builds(lambda kw, v: {kw: v}, keyword, operand)
    # Several members: in a filter every operator counts, in an update
    # query only the first; a first member without "$" decides alone.
    several = st.dictionaries(st.one_of(keyword, pool_keys), operand, min_size=2, max_size=3)
    invalid = st.one_of(odd_scalars, st.none(), st.lists(scalars, max_size=2), st.just({}))
    leaf = weighted((8, scalars), (10, with_operator), (2, several), (1, invalid))
    clause_values = mostly(leaf, st.dictionaries(paths, leaf, min_size=1, max_size=2))
    anywhere = st.builds(clause, paths, clause_values, st.booleans())

    def about(doc):
        held = fields_of([doc])
        choices = [(3, st.sampled_from(held))]
        for nearby in (kind_twin, neighbours):
            pairs = [(path, w) for path, v in held for w in nearby(v)]
            choices += [(1, st.sampled_from(pairs))] if pairs else []
        targets = weighted(*choices)
        windows = [(1, window(targets))] if table is COMPARISON else []
        return weighted((2, st.builds(held_clause, targets, keyword, safe, st.booleans(),
                                      st.booleans())), *windows, (1, anywhere))

    objects = [d for d in docs if type(d) is dict and d]
    objects = objects[::len(objects) // 16 + 1]  # a spread of at most 16
    members = (st.sampled_from([about(d) for d in objects]) if objects
               else st.just(anywhere))
    chosen = members.flatmap(lambda clauses: st.lists(clauses, min_size=1, max_size=3))
    return mostly(chosen.map(dict), st.just({}), weight=20)


def queries(docs=()):
    return query_strategy(COMPARISON, ["$in", "$EQ", "$gt.x", "$", "$regex", "$set"],
                          ["$eq", "$ne"], docs)


def update_queries(docs=()):
    # Also a Set of a deep chain under a path that documents have: with the
    # longer chains and paths a document would become too deep to store.
    deep_paths = [path for path, _ in fields_of(docs) if "." in path] or ["a.a"]
    deep_sets = st.builds(lambda path, levels: {path: {"$set": nest(levels, 1, False)}},
                          st.sampled_from(deep_paths), st.integers(120, 125))
    return weighted(
        (12, query_strategy(UPDATE, ["$subtract", "$gt", "$", "$inc.x", "$SET"], sorted(UPDATE),
                            docs)),
        (1, deep_sets))


@st.composite
def pages(draw, docs=()):
    """find's sort, limit and skip: sort keys mostly on paths the documents
    have, in each of the three forms the argument takes."""
    known = sorted({path for path, _ in fields_of(docs)})
    path = weighted((4, st.sampled_from(known)), (1, keys)) if known else keys
    pairs = draw(st.lists(st.tuples(path, st.sampled_from([1, -1])), max_size=3,
                          unique_by=lambda p: p[0]))
    form = draw(st.sampled_from(["pairs", "dict", "str"]))
    if form == "str" and len(pairs) == 1 and pairs[0][1] == 1:
        sort = pairs[0][0]
    else:
        sort = dict(pairs) if form == "dict" else pairs
    page = {"sort": sort} if pairs or draw(st.booleans()) else {}
    for name in ("limit", "skip"):
        n = draw(st.integers(0, 6))
        if n or draw(st.booleans()):
            page[name] = n
    return page


def filters(docs=()):
    return weighted((2, st.none()), (1, st.just({})), (3, queries(docs)))


NAMES = ["c0", "c1", "é"]
names = mostly(st.sampled_from(NAMES),
               st.sampled_from(["nosuch", "", "..", "../x", "/abs", "a\0b", "x/../y"]),
               weight=10)

# Pairs of numbers whose hash feeds coincide although the values differ.
TWINS = {(int, 0): 0.0, (float, 0.0): 0, (int, 1): 5e-324, (float, 5e-324): 1,
         (int, -1): U64_MAX, (int, U64_MAX): -1}


def twin(v):
    """`v` with every number swapped for its hash twin."""
    if type(v) is dict:
        return {k: twin(x) for k, x in v.items()}
    if type(v) is list:
        return [twin(x) for x in v]
    return TWINS.get((type(v), v), v) if type(v) in (int, float) else v


# ------------------------------------------------------------ comparing

def moxal_outcome(call):
    try:
        return ("returned", call())
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # noqa: BLE001 (PanicException is a BaseException)
        return ("raised", type(e), str(e))


def model_outcome(call):
    try:
        return ("returned", call())
    except Failure as f:
        return ("raised", PanicException if f.kind == PANIC else ValueError, f.message)


def compare(what, got, want):
    """The outcomes must be the same; what happened is counted for
    --hypothesis-show-statistics."""
    if got[0] == want[0] == "returned":
        assert same(got[1], want[1]), f"moxal returned {got[1]!r}, the model {want[1]!r}"
        size = len(got[1]) if type(got[1]) is list else None
        event(f"{what}: returned" + ("" if size is None else " nothing" if size == 0 else " some"))
    else:
        assert got == want
        event(f"{what}: {got[1].__name__} {got[2].replace(UNWRAP, '')[:70]!r}")
    return got


def agree(what, moxal_call, model_call):
    """Runs both; they must return the same value or raise the same error."""
    return compare(what, moxal_outcome(moxal_call), model_outcome(model_call))


ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def fields_line(fields):
    """The trace line of a path, or None where its escaping is moxal's own
    choice (characters that are neither printable nor escaped above)."""
    if any(not ch.isprintable() and ch not in ESCAPES for name in fields for ch in name):
        return None
    quoted = ['"' + "".join(ESCAPES.get(ch, ch) for ch in name) + '"' for name in fields]
    return "Fields: [" + ", ".join(quoted) + "]"


def check_trace(text, clauses):
    """Two lines per update clause built: the operator, then the path."""
    lines = text.split("\n")
    assert lines.pop() == "" and len(lines) == 2 * len(clauses), text
    for clause, op_line, path_line in zip(clauses, lines[::2], lines[1::2]):
        assert op_line == f"Update operator found {clause.op.name}"
        expected = fields_line(clause.fields)
        assert path_line == expected if expected else path_line.startswith("Fields: [")


def update_both(db, model, name, update_query, maybe_query, return_result):
    """Updates in both: same outcome, and the trace lines of the clauses."""
    with fd1_captured() as out:
        got = moxal_outcome(lambda: db.update(name, update_query, maybe_query, return_result))
    before = copy.deepcopy(model.memory.get(name))
    want = model_outcome(lambda: model.update(name, update_query, maybe_query, return_result))
    compare("update", got, want)
    if before is not None and not same(before, model.memory[name]):
        event("update: changed documents")
    check_trace(out[0].decode("utf-8"), model.trace)


@contextlib.contextmanager
def both_databases():
    with tempfile.TemporaryDirectory() as d:
        yield moxal.Moxal(os.path.join(d, "db")), ModelDb()


# ------------------------------------------------------------ properties

@SETTINGS
@given(docs=many_documents(odd_lists=3), data=st.data())
def test_find_agrees_with_the_model(docs, data):
    with both_databases() as (db, model):
        agree("insert_many", lambda: db.insert_many("c", docs),
              lambda: model.insert_many("c", docs))
        for query in data.draw(st.lists(queries(docs), min_size=2, max_size=6)):
            for q in (query, query, twin(query)):  # a miss, a hit, an equal-hash query
                agree("find", lambda q=q: db.find("c", q), lambda q=q: model.find("c", q))


@SETTINGS
@given(docs=many_documents(odd_lists=3), data=st.data())
def test_pages_agree_with_the_model(docs, data):
    """Sorted and cut finds, each asked twice (a miss, then a hit), and the
    whole find of the same query between them (a page never answers for
    the whole result, nor the whole for a page)."""
    with both_databases() as (db, model):
        agree("insert_many", lambda: db.insert_many("c", docs),
              lambda: model.insert_many("c", docs))
        for _ in range(data.draw(st.integers(1, 4))):
            query = data.draw(weighted((1, st.none()), (1, st.just({})), (2, queries(docs))))
            page = data.draw(pages(docs))
            for p in (page, {}, page):
                agree("find page", lambda p=p, q=query: db.find("c", q, **p),
                      lambda p=p, q=query: model.find("c", q, **p))
            agree("count", lambda q=query: db.count("c", q), lambda q=query: model.count("c", q))


@SETTINGS
@given(docs=many_documents(odd_lists=3), data=st.data())
def test_count_and_delete_agree_with_the_model(docs, data):
    with both_databases() as (db, model):
        agree("insert_many", lambda: db.insert_many("c", docs),
              lambda: model.insert_many("c", docs))
        for query in data.draw(st.lists(queries(docs), min_size=1, max_size=4)):
            for q in (None, query, twin(query)):
                agree("count", lambda q=q: db.count("c", q), lambda q=q: model.count("c", q))
            moxal_outcome(lambda q=query: db.find("c", q))  # cached: the delete makes it stale
            agree("delete", lambda q=query: db.delete("c", q),
                  lambda q=query: model.delete("c", q))
            agree("find after delete", lambda q=query: db.find("c", q),
                  lambda q=query: model.find("c", q))
        agree("find all", lambda: db.find("c"), lambda: model.find("c"))


@SETTINGS
@given(docs=many_documents(odd_lists=3), return_result=st.booleans(), data=st.data())
def test_update_agrees_with_the_model(docs, return_result, data):
    with both_databases() as (db, model):
        agree("insert_many", lambda: db.insert_many("c", docs),
              lambda: model.insert_many("c", docs))
        update_query = data.draw(update_queries(docs), label="update_query")
        maybe_query = data.draw(filters(docs), label="maybe_query")
        update_both(db, model, "c", update_query, maybe_query, return_result)
        agree("find all", lambda: db.find("c"), lambda: model.find("c"))


class MoxalAgainstTheModel(RuleBasedStateMachine):
    """Random sequences of operations over a few collections. After every
    step each collection holds what the model holds."""

    def __init__(self):
        super().__init__()
        self.dir = tempfile.mkdtemp()
        self.db = moxal.Moxal(self.dir)
        self.model = ModelDb()
        self.recent = []  # queries found lately, asked again to hit the cache

    def teardown(self):
        shutil.rmtree(self.dir)

    @initialize(docs=many_documents(odd_lists=1))
    def fill(self, docs):
        for name in NAMES[:2]:
            agree("insert_many", lambda name=name: self.db.insert_many(name, docs),
                  lambda name=name: self.model.insert_many(name, docs))

    @rule(name=names, document=documents)
    def insert(self, name, document):
        agree("insert", lambda: self.db.insert(name, document),
              lambda: self.model.insert(name, document))

    @rule(name=names, docs=many_documents(odd_lists=1))
    def insert_many(self, name, docs):
        agree("insert_many", lambda: self.db.insert_many(name, docs),
              lambda: self.model.insert_many(name, docs))

    def docs(self, name):
        return self.model.memory.get(name, [])

    @rule(name=names, data=st.data())
    def find(self, name, data):
        query = data.draw(mostly(queries(self.docs(name)), st.none(), weight=3), label="query")
        page = data.draw(mostly(st.just({}), pages(self.docs(name)), weight=2), label="page")
        got = agree("find", lambda: self.db.find(name, query, **page),
                    lambda: self.model.find(name, query, **page))
        if query is not None and got[0] == "returned":
            self.recent = [(name, query, page)] + self.recent[:7]

    @rule(name=names, data=st.data())
    def count(self, name, data):
        query = data.draw(mostly(queries(self.docs(name)), st.none(), weight=3), label="query")
        agree("count", lambda: self.db.count(name, query), lambda: self.model.count(name, query))

    @rule(name=names, data=st.data())
    def delete(self, name, data):
        """Mostly a query found lately (cached, so the delete must make it
        stale), else a new one."""
        recent = [q for n, q, _ in self.recent if n == name]
        fresh = queries(self.docs(name))
        query = data.draw(mostly(st.sampled_from(recent), fresh, weight=2) if recent else fresh,
                          label="query")
        agree("delete", lambda: self.db.delete(name, query),
              lambda: self.model.delete(name, query))

    @precondition(lambda self: self.recent)
    @rule(data=st.data())
    def find_again(self, data):
        """A query found before, maybe cached, maybe stale by now; or its
        twin, which feeds the same hash."""
        name, query, page = data.draw(st.sampled_from(self.recent))
        q = data.draw(st.sampled_from([query, twin(query)]))
        agree("find again", lambda: self.db.find(name, q, **page),
              lambda: self.model.find(name, q, **page))

    @rule(name=names, return_result=st.booleans(), data=st.data())
    def update(self, name, return_result, data):
        update_query = data.draw(update_queries(self.docs(name)), label="update_query")
        maybe_query = data.draw(filters(self.docs(name)), label="maybe_query")
        update_both(self.db, self.model, name, update_query, maybe_query, return_result)

    @precondition(lambda self: self.recent)
    @rule(data=st.data())
    def update_found(self, data):
        """An update filtered by a query found before."""
        name, query, _ = data.draw(st.sampled_from(self.recent))
        update_query = data.draw(update_queries(self.docs(name)), label="update_query")
        update_both(self.db, self.model, name, update_query, query, False)

    @rule(action=st.sampled_from(["clear_cache", "write", "write_all", "reopen",
                                  "write_all_and_reopen", "drop_collection"]),
          name=names)
    def housekeeping(self, action, name):
        if action == "clear_cache":
            assert self.db.clear_cache() is None
        if action in ("write_all", "write_all_and_reopen"):
            agree("write_all", self.db.write_all, self.model.write_all)
        if action in ("reopen", "write_all_and_reopen"):
            # A new Moxal over the directory: what was written comes back.
            self.db = moxal.Moxal(self.dir)
            self.model.reopen()
        if action in ("write", "drop_collection"):
            agree(action, lambda: getattr(self.db, action)(name),
                  lambda: getattr(self.model, action)(name))

    @invariant()
    def collections_agree(self):
        for name in NAMES + ["nosuch"]:
            agree("find all", lambda name=name: self.db.find(name),
                  lambda name=name: self.model.find(name))


MoxalAgainstTheModel.TestCase.settings = settings(
    max_examples=max(EXAMPLES // 4, 10), stateful_step_count=40, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
test_operations_agree_with_the_model = MoxalAgainstTheModel.TestCase
