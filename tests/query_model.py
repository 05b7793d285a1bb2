"""A small, slow, obviously-correct model of moxal written in plain Python.

It holds documents as Python values with moxal's value model, parses and
evaluates queries, applies update queries, and plays the database methods
that the property tests drive (insert, insert_many, find, count, update,
delete, write, reopen, drop). Each method returns what moxal should return, or raises
`Failure` with the exception moxal should raise. The tests run both and
compare; the model keeps no result cache, since a correct cache is invisible.

Value model: None, bool, int (non-negative below 2**64, or negative down to
-2**63), finite float, str, list, dict with keys in UTF-8 byte order. A bool
is never a number; 1 and 1.0 are different values, but ordering compares
numbers by their exact values, as Python compares int and float.
"""

import copy
import math
from dataclasses import dataclass

from conftest import UNWRAP, UNWRAP_NONE

U64_MAX = 2**64 - 1
I64_MIN = -(2**63)
MAX_NESTING = 127  # containers a JSON text may open, the file's array included
MAX_DOCUMENT_DEPTH = MAX_NESTING - 1

EMPTY_PATH = "a clause has an empty field path: its query key is only an operator"
TOO_DEEP = ("Update refused: it would nest a document deeper than the JSON nesting "
            "limit of 127 levels (its collection's array included)")

PANIC = "panic"  # PanicException
VALUE = "value"  # ValueError


class Failure(Exception):
    """What moxal should raise: kind PANIC or VALUE, and the message."""

    def __init__(self, kind, message):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def wrapped_value_error(message):
    """The internal failure that carries a ValueError's description."""
    return Failure(PANIC, UNWRAP + "PyErr { type: <class 'ValueError'>, value: "
                   f"{ValueError(message)!r}, traceback: None }}")


# ---------------------------------------------------------------- values

def key_order(items):
    """A dict of `items` with its keys in UTF-8 byte order."""
    return dict(sorted(items, key=lambda kv: kv[0].encode("utf-8")))


def to_value(obj, max_depth, depth=0):
    """Python object -> value, as moxal converts its inputs; a conversion
    error is an internal failure. Only the types the tests generate."""
    if obj is None or type(obj) in (bool, str):
        return obj
    if type(obj) is int:
        if I64_MIN <= obj <= U64_MAX:
            return obj
        assert -(2**127) <= obj < 2**128, "the model knows the 128-bit range only"
        raise Failure(PANIC, UNWRAP + 'Message("JSON number out of range")')
    if type(obj) is float:
        return obj if math.isfinite(obj) else None
    if depth + 1 > max_depth:
        raise Failure(PANIC, UNWRAP + f'Message("nesting too deep: at most {max_depth} '
                      'levels of lists and dicts can be stored")')
    if type(obj) in (list, tuple):
        return [to_value(x, max_depth, depth + 1) for x in obj]
    if type(obj) is dict:
        return key_order([(k, to_value(v, max_depth, depth + 1)) for k, v in obj.items()])
    raise TypeError(f"the model does not convert {type(obj).__name__}")


def is_number(v):
    return type(v) in (int, float)


def equal(a, b):
    """Value equality: same kind, same number kind, same value."""
    if type(a) is not type(b):
        return False
    if type(a) is list:
        return len(a) == len(b) and all(equal(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(equal(a[k], b[k]) for k in a)
    return a == b  # ints exactly, floats by IEEE (0.0 == -0.0)


def same(a, b):
    """True when two Python results are identical: types, key order, and the
    sign of zero included. Used to compare moxal's output with the model's."""
    if type(a) is not type(b):
        return False
    if type(a) is float:
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if type(a) is list:
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if type(a) is dict:
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def depth(v):
    """Containers on the deepest path of `v` (a scalar has none)."""
    if type(v) is list:
        return 1 + max((depth(x) for x in v), default=0)
    if type(v) is dict:
        return 1 + max((depth(x) for x in v.values()), default=0)
    return 0


# ---------------------------------------------------------------- operators

@dataclass(frozen=True)
class Operator:
    """An operator as the query language documents it: the name messages and
    trace lines give it, and its effect on a field's value f with the
    operand v. A comparison's effect is whether the clause holds, or None
    where it needs numbers and does not have them; an update's is the
    field's new value, KEEP or DELETE."""

    name: str
    effect: object


KEEP = object()  # the field keeps its value
DELETE = object()  # the member goes


def ordering(compare):
    """Numbers only, compared exactly (2**53 + 1 > 2**53 == float(2**53))."""
    return lambda f, v: compare(f, v) if is_number(f) and is_number(v) else None


def arithmetic(compute, uses_operand=True):
    """On a number field (and a number operand where it is used): the result
    as a float, or None where it overflowed; anything else is left alone."""
    def effect(f, v):
        if not is_number(f) or (uses_operand and not is_number(v)):
            return KEEP
        result = compute(float(f), float(v) if uses_operand else None)
        return result if math.isfinite(result) else None
    return effect


COMPARISON = {
    "$eq": Operator("Equal", equal),
    "$ne": Operator("NotEqual", lambda f, v: not equal(f, v)),
    "$gt": Operator("GreaterThan", ordering(lambda f, v: f > v)),
    "$gte": Operator("GreaterThanEqual", ordering(lambda f, v: f >= v)),
    "$lt": Operator("LessThan", ordering(lambda f, v: f < v)),
    "$lte": Operator("LessThanEqual", ordering(lambda f, v: f <= v)),
}
UPDATE = {
    "$set": Operator("Set", lambda f, v: copy.deepcopy(v)),  # whatever either holds
    "$add": Operator("Add", arithmetic(lambda f, v: f + v)),
    "$substract": Operator("Substract", arithmetic(lambda f, v: f - v)),
    "$inc": Operator("Increment", arithmetic(lambda f, _: f + 1, uses_operand=False)),
    "$dec": Operator("Decrement", arithmetic(lambda f, _: f - 1, uses_operand=False)),
    "$delete": Operator("Delete", lambda f, v: DELETE),
}


# ---------------------------------------------------------------- parsing

@dataclass
class Clause:
    fields: list
    value: object
    op: Operator


def parse_query(key, value, fields):
    """Appends the path names (and an operator keyword) found under `key`
    to `fields`; returns the operand and the other (keyword, operand) pairs
    of the operator dict it came from, in key order."""
    fields.extend(key.split("."))
    if value is None or type(value) is list:
        raise Failure(PANIC, "Not Valid query")
    if type(value) is not dict:
        return value, []
    if not value:
        raise Failure(PANIC, "Error while parsing query")
    k, v = next(iter(value.items()))  # first member in key order decides
    if k.startswith("$"):
        fields.append(k)  # never split
        return v, [(kw, x) for kw, x in list(value.items())[1:] if kw.startswith("$")]
    return parse_query(k, v, fields)  # the other members are ignored


def parse_engine(query, table, built):
    """Clauses of a query value (a dict in key order), appended to `built`
    one by one, so that on failure `built` holds those made before it. In
    a filter every operator of an operator dict is a clause on its path; in
    an update query only the first."""
    implicit, unknown = ((table["$eq"], "Unknown query operator found: ") if table is COMPARISON
                         else (table["$set"], "Unknown update query operator found: "))
    for key, value in query.items():
        fields = []
        operand, others = parse_query(key, value, fields)
        op = implicit
        if fields[-1].startswith("$"):
            keyword = fields.pop()
            if keyword not in table:
                raise Failure(PANIC, unknown + keyword)
            op = table[keyword]
        built.append(Clause(fields, operand, op))
        for keyword, other in others if table is COMPARISON else ():
            if keyword not in table:
                raise Failure(PANIC, unknown + keyword)
            built.append(Clause(list(fields), other, table[keyword]))
    return built


# ---------------------------------------------------------------- matching

MISSING = object()


def parent_of(doc, fields):
    """The object holding the target of `fields`, or None when the walk
    meets a missing member or a non-object (arrays are never entered)."""
    cur = doc
    for name in fields[:-1]:
        cur = cur.get(name)
        if type(cur) is not dict:
            return None
    return cur


def holds(clause, doc):
    if not clause.fields:
        raise Failure(PANIC, EMPTY_PATH)
    parent = parent_of(doc, clause.fields)
    field = MISSING if parent is None else parent.get(clause.fields[-1], MISSING)
    if field is MISSING:
        return False
    result = clause.op.effect(field, clause.value)
    if result is None:
        raise Failure(VALUE, "Malformed query, non-numeric value found for operator "
                      + clause.op.name)
    return result


def matches(clauses, doc):
    """And of the clauses in order; the first that fails stops."""
    return all(holds(c, doc) for c in clauses)


# ---------------------------------------------------------------- sorting

def sort_key(v):
    """The place of a value (or MISSING) in find's sort order: kinds as
    missing < None < numbers < str < dict < list < False < True; numbers by
    exact value (Python compares int and float exactly), strings by UTF-8
    bytes, dicts member by member (key bytes, then value), lists element by
    element, a prefix first."""
    if v is MISSING:
        return (0,)
    if v is None:
        return (1,)
    if type(v) is bool:
        return (7,) if v else (6,)
    if type(v) in (int, float):
        return (2, v)
    if type(v) is str:
        return (3, v.encode("utf-8"))
    if type(v) is dict:
        return (4, tuple((k.encode("utf-8"), sort_key(x)) for k, x in v.items()))
    return (5, tuple(sort_key(x) for x in v))


def field_at(doc, path):
    """The value at the dotted `path` of `doc`, or MISSING (also for a
    document that is not an object)."""
    fields = path.split(".")
    parent = parent_of(doc, fields) if type(doc) is dict else None
    return MISSING if parent is None else parent.get(fields[-1], MISSING)


def sort_pairs(sort):
    """find's sort argument as (path, direction) pairs."""
    if sort is None:
        return []
    if type(sort) is str:
        return [(sort, 1)]
    if type(sort) is dict:
        return list(sort.items())
    return [tuple(pair) for pair in sort]


def sort_page(docs, sort, limit, skip):
    """The page of `docs` (the matches, in collection order) that find
    returns: stable sorts, the last key first."""
    for path, direction in reversed(sort_pairs(sort)):
        docs = sorted(docs, key=lambda d, p=path: sort_key(field_at(d, p)), reverse=direction < 0)
    return docs[skip:skip + limit] if limit else docs[skip:]


# ---------------------------------------------------------------- updating

def apply_clause(clause, doc):
    """One update clause, in place; a clause that does not apply is skipped:
    nothing is ever created."""
    parent = parent_of(doc, clause.fields)
    last = clause.fields[-1]
    if parent is None or last not in parent:
        return
    new = clause.op.effect(parent[last], clause.value)
    if new is DELETE:
        del parent[last]
    elif new is not KEEP:
        parent[last] = new  # the key keeps its place


def apply(clauses, doc):
    """The clauses in order, each seeing what the ones before it did."""
    for clause in clauses:
        if not clause.fields:
            raise Failure(PANIC, EMPTY_PATH)
        apply_clause(clause, doc)
    return doc


# ---------------------------------------------------------------- database

def check_name(name):
    """Collection names that could reach outside the directory are refused."""
    if name == "" or name.startswith("/") or "\0" in name or ".." in name.split("/"):
        raise Failure(VALUE, f"Invalid collection name '{name}'")


class ModelDb:
    """The database: collections in memory and their files' contents. Every
    name here is a plain file name, so a collection and its file agree."""

    def __init__(self):
        self.memory = {}  # name -> list of values
        self.disk = {}  # name -> list of values, as last written
        self.trace = []  # the update clauses whose trace lines the last update wrote

    def _loaded(self, name):
        if name not in self.memory:
            raise Failure(VALUE, f"Collection with name '{name}' not found on disk")
        return self.memory[name]

    def _append(self, name, values):
        if name not in self.memory:  # made, with its file, on first insert
            self.memory[name] = []
            self.disk[name] = []
        self.memory[name].extend(values)

    def insert(self, name, document):
        check_name(name)
        self._append(name, [to_value(document, MAX_DOCUMENT_DEPTH)])

    def insert_many(self, name, documents):
        check_name(name)
        self._append(name, to_value(documents, MAX_NESTING))

    def find(self, name, query=None, *, sort=None, limit=0, skip=0):
        """Without a sort, matching stops once skip + limit documents
        matched; with one, every document is matched, then the matches
        sorted."""
        check_name(name)
        docs = self._loaded(name)
        end = skip + limit if limit and not sort_pairs(sort) else None
        if query is None:
            result = docs
        else:
            clauses = parse_engine(to_value(query, MAX_NESTING), COMPARISON, [])
            result = []
            for doc in docs:
                if end is not None and len(result) == end:
                    break
                if type(doc) is not dict:
                    raise Failure(PANIC, UNWRAP_NONE)
                if matches(clauses, doc):
                    result.append(doc)
        return copy.deepcopy(sort_page(result, sort, limit, skip))

    def count(self, name, query=None):
        """How many documents find returns, with find's errors."""
        return len(self.find(name, query))

    def delete(self, name, query):
        """Removes what find(name, query) returns, all or nothing: every
        document is checked before any goes."""
        check_name(name)
        docs = self._loaded(name)
        clauses = parse_engine(to_value(query, MAX_NESTING), COMPARISON, [])
        kept = []
        for doc in docs:
            if type(doc) is not dict:
                raise Failure(PANIC, UNWRAP_NONE)
            if not matches(clauses, doc):
                kept.append(doc)
        removed = len(docs) - len(kept)
        docs[:] = kept
        return removed

    def update(self, name, update_query, maybe_query=None, return_result=False):
        """All or nothing: every check runs before any document changes."""
        self.trace = []
        check_name(name)
        try:
            docs = self._loaded(name)
        except Failure as f:
            raise wrapped_value_error(f.message) from None
        changes = parse_engine(to_value(update_query, MAX_NESTING), UPDATE, self.trace)
        selected = self._select(docs, maybe_query)
        if selected and any(not c.fields for c in changes):
            raise Failure(PANIC, EMPTY_PATH)
        changed = {i: apply(changes, copy.deepcopy(docs[i])) for i in selected}
        if any(depth(d) > MAX_DOCUMENT_DEPTH for d in changed.values()):
            raise Failure(VALUE, TOO_DEEP)
        for i, d in changed.items():
            docs[i] = d
        return copy.deepcopy(docs) if return_result else None

    def _select(self, docs, maybe_query):
        """Indexes of the documents the update changes."""
        if maybe_query is None:
            if any(type(d) is not dict for d in docs):
                raise Failure(PANIC, UNWRAP_NONE)
            return list(range(len(docs)))
        clauses = parse_engine(to_value(maybe_query, MAX_NESTING), COMPARISON, [])
        selected = []
        for i, doc in enumerate(docs):
            if type(doc) is not dict:
                raise Failure(PANIC, UNWRAP_NONE)
            try:
                if matches(clauses, doc):
                    selected.append(i)
            except Failure as f:
                if f.kind == VALUE:
                    raise wrapped_value_error(f.message) from None
                raise
        return selected

    def write(self, name):
        check_name(name)
        if name not in self.memory:
            raise Failure(VALUE, f"Collection '{name}' not found in stored collections")
        self.disk[name] = copy.deepcopy(self.memory[name])

    def write_all(self):
        for name in self.memory:
            self.disk[name] = copy.deepcopy(self.memory[name])

    def drop_collection(self, name):
        check_name(name)
        self.memory.pop(name, None)
        self.disk.pop(name, None)

    def reopen(self):
        """A new database object over the directory: every file loaded."""
        self.memory = copy.deepcopy(self.disk)
