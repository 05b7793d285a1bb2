"""Lookups: finds that select a few documents, each with a value not asked
before (so the result cache never answers), as a program looks documents
up by key. A section of bench.py (`--only lookup`), on a collection of its
own (200,000 documents by default, `--lookup-count`).

The documents are generate.py's users with three fields more: `n`, a unique
integer; `created`, a time that mostly grows with the position; and
`address.city` spread over 2,000 values (about 100 documents each). The
five jobs:

  one document by a unique integer    {"n": v}
  one document by a unique string     {"_id": v}
  ~100 documents by a nested field    {"address.city": v}
  the newest ~50-1,000 documents      {"created": {"$gt": t}}
  ~50-1,000 documents of a window     {"created": {"$gte": t0, "$lt": t1}}

Two list pages too, sorted on `created` (an order index for moxal, the
expression index for sqlite3):

  the newest 20 after the first ~0-1,000     sort created -1, skip s, limit 20
  the 20 before a time t (keyset paging)     {"created": {"$lt": t}}, same sort

against sqlite3's ORDER BY ... LIMIT 20 (OFFSET s) and, in Python,
heapq.nlargest over the documents as dicts (what a program does without
a sort in find; fetching them from moxal first would cost more still).

Contenders: moxal (its indexes built by the first lookups, which are warm-up
runs), sqlite3 holding the documents as JSON text with an expression index
on the field asked about (json.loads paid for each row it returns), a list
comprehension over the documents as Python dicts, and TinyDB; for the
window also moxal in two steps, the way a window had to be asked when only
the first operator of a field counted (the lower bound in moxal, the upper
in Python). Each timed
run makes several lookups, each followed by gc.collect(0); the figure is
the time of one lookup in microseconds, the median of the runs. Also timed:
the lookup that builds moxal's index, against one that scans; and lookups
that cycle over nine fields (one more than the indexes a collection keeps),
against the same lookups with indexes switched off (moxal_scan, the module
a build with -C cmake.define.MOXAL_SCAN_MODULE=ON installs beside moxal; the
figure is skipped without it).
"""

from __future__ import annotations

import gc
import importlib.machinery
import importlib.util
import os
import random
import sqlite3
import time

from tinydb import Query, TinyDB
from tinydb.storages import MemoryStorage

import generate
import harness
import moxal

CITIES_PER_NAME = 20  # generate.py's 100 city names become 2,000 values


def documents(count: int) -> list[dict]:
    docs = generate.documents(count, seed=7)
    rng = random.Random(7)
    created = 1_700_000_000
    for i, d in enumerate(docs):
        d["n"] = i
        created += rng.randrange(1, 60)
        d["created"] = created - rng.randrange(0, 600)  # roughly in order
        d["address"]["city"] = f"{d['address']['city']}-{i % CITIES_PER_NAME}"
    return docs


class Job:
    """One kind of lookup: how each contender asks it, and the values."""

    def __init__(self, key, title, field, values, moxal_query, sql, match, tinydb_query,
                 per_run):
        self.key, self.title, self.field = key, title, field
        self.values = values  # a list to pop from: each value asked once
        self.moxal_query, self.sql, self.match = moxal_query, sql, match
        self.tinydb_query, self.per_run = tinydb_query, per_run


def jobs(docs: list[dict]) -> list[Job]:
    rng = random.Random(11)
    n = len(docs)
    ints = rng.sample(range(n), min(n, 4000))
    ids = [docs[i]["_id"] for i in rng.sample(range(n), min(n, 4000))]
    cities = sorted({d["address"]["city"] for d in docs})
    rng.shuffle(cities)
    times = sorted(d["created"] for d in docs)
    # Thresholds that keep between 50 and 1,000 of the newest documents.
    newest = [times[-rng.randrange(50, 1000)] for _ in range(4000)]
    # Windows of 50 to 1,000 documents anywhere in the collection.
    windows = []
    for _ in range(4000):
        start = rng.randrange(0, n - 1000)
        windows.append((times[start], times[start + rng.randrange(50, 1000)]))
    return [
        Job("int", "one document by a unique integer field", "n", ints,
            lambda v: {"n": v}, "json_extract(body, '$.n') = ?",
            lambda d, v: d["n"] == v, lambda v: Query().n == v, 200),
        Job("str", "one document by a unique string field", "_id", ids,
            lambda v: {"_id": v}, "json_extract(body, '$._id') = ?",
            lambda d, v: d["_id"] == v, lambda v: Query()._id == v, 200),
        Job("city", "~100 documents by a nested field (address.city)", "address.city", cities,
            lambda v: {"address.city": v}, "json_extract(body, '$.address.city') = ?",
            lambda d, v: d["address"]["city"] == v, lambda v: Query().address.city == v, 20),
        Job("newest", "the newest ~50-1,000 documents (created > t)", "created", newest,
            lambda v: {"created": {"$gt": v}}, "json_extract(body, '$.created') > ?",
            lambda d, v: d["created"] > v, lambda v: Query().created > v, 20),
        Job("window", "~50-1,000 documents of a window (t0 <= created < t1)", "created", windows,
            lambda v: {"created": {"$gte": v[0], "$lt": v[1]}},
            "json_extract(body, '$.created') >= ? AND json_extract(body, '$.created') < ?",
            lambda d, v: v[0] <= d["created"] < v[1],
            lambda v: (Query().created >= v[0]) & (Query().created < v[1]), 20),
    ]


def per_lookup_us(lookup, values: list, per_run: int, repeat: int) -> list[float]:
    """Microseconds per lookup, one figure per run of `per_run` lookups."""
    samples = []
    for _ in range(repeat):
        batch = [values.pop() for _ in range(per_run)]
        gc.collect()
        start = time.perf_counter()
        for v in batch:
            lookup(v)
            gc.collect(0)
        samples.append((time.perf_counter() - start) * 1e6 / per_run)
    return samples


def sqlite_with_index(docs_text: bytes, field: str) -> sqlite3.Connection:
    con = sqlite3.connect(":memory:")
    con.execute("CREATE TABLE docs(body TEXT)")
    con.execute("INSERT INTO docs SELECT value FROM json_each(?)", (docs_text.decode(),))
    con.execute(f"CREATE INDEX by_field ON docs(json_extract(body, '$.{field}'))")
    con.commit()
    return con


def bench_lookup(sec: harness.Section, directory: str, docs: list[dict], repeat: int) -> None:
    import json

    text = generate.compact(docs)
    tiny = TinyDB(storage=MemoryStorage)
    tiny.insert_multiple(docs)
    for job in jobs(docs):
        db = moxal.Moxal(directory)
        values = job.values

        def moxal_lookup(v, db=db, job=job):
            return db.find("users", job.moxal_query(v))

        # The first lookups scan and build the index: the build's own cost
        # is measured below, on a fresh object.
        for _ in range(3):
            moxal_lookup(values.pop())
        con = sqlite_with_index(text, job.field)

        def sqlite_lookup(v, con=con, job=job):
            rows = con.execute(f"SELECT body FROM docs WHERE {job.sql}",
                               v if isinstance(v, tuple) else (v,))
            return [json.loads(body) for (body,) in rows]

        def two_steps(v, db=db):
            found = db.find("users", {"created": {"$gte": v[0]}})
            return [d for d in found if d["created"] < v[1]]

        v = values[-1]
        expected = [d for d in docs if job.match(d, v)]
        in_order = sorted(sqlite_lookup(v), key=lambda d: d["n"])  # sqlite3: index order
        sec.check(f"{job.key}: every contender finds the same",
                  moxal_lookup(v) == expected == in_order == tiny.search(job.tinydb_query(v)))
        slow = max(1, job.per_run // 100)
        contenders = [
            ("moxal", "moxal find", moxal_lookup, job.per_run),
            ("sqlite3", "sqlite3 with an expression index", sqlite_lookup, job.per_run),
            ("listcomp", "list comprehension",
             lambda v, job=job: [d for d in docs if job.match(d, v)], slow),
            ("tinydb", "TinyDB search",
             lambda v, job=job: (tiny.clear_cache(), tiny.search(job.tinydb_query(v))), slow),
        ]
        if job.key == "window":
            sec.check("window: moxal in two steps finds the same", two_steps(v) == expected)
            contenders.append(("twosteps", "moxal in two steps", two_steps, slow))
        for name, label, lookup, per_run in contenders:
            fig = harness.Figure(f"{label} ({job.title})", "µs")
            fig.samples = per_lookup_us(lookup, values, per_run, repeat)
            sec.figures[f"{job.key}_{name}"] = fig
        con.close()
        del db
    _bench_pages(sec, directory, docs, text, repeat)
    _bench_build(sec, directory, repeat)
    _bench_cycle(sec, directory + "-cycle", docs, repeat)
    for key, floor in (("int", 2), ("str", 2), ("city", 1), ("newest", 1), ("window", 1)):
        sec.faster(f"{key}: at least {floor}x faster than sqlite3 with an index",
                   f"{key}_moxal", f"{key}_sqlite3", floor)
    sec.at_most("the lookup that builds an index <= 1.5x a scan", "build_moxal",
                "scan_moxal", 1.5)
    sec.at_most("lookups cycling over nine fields: no slower than without indexes",
                "cycle_moxal", "cycle_scan", 1.0)
    for key in ("page", "after"):
        sec.faster(f"{key}: at least as fast as sqlite3 ORDER BY ... LIMIT 20 with an index",
                   f"{key}_moxal", f"{key}_sqlite3", 1)


def _bench_pages(sec: harness.Section, directory: str, docs: list[dict], text: bytes,
                 repeat: int) -> None:
    """Pages of 20 sorted on `created`, newest first (see the docstring)."""
    import heapq
    import json

    db = moxal.Moxal(directory)
    try:
        db.find("users", sort=[("created", -1)], limit=1)
    except TypeError as e:  # a moxal without sort: the figures are skipped
        for key in ("page", "after"):
            for name in ("moxal", "sqlite3", "python"):
                fig = harness.Figure(f"{name} {key}", "µs", status="skipped", note=str(e))
                sec.figures[f"{key}_{name}"] = fig
        return
    con = sqlite_with_index(text, "created")
    rng = random.Random(13)
    times = sorted(d["created"] for d in docs)
    created = lambda d: d["created"]  # noqa: E731
    by_created = "json_extract(body, '$.created')"
    pages = {
        "page": ("the newest 20 after the first ~0-1,000 (skip s)",
                 [20 * rng.randrange(50) for _ in range(6000)],
                 lambda s: db.find("users", sort=[("created", -1)], skip=s, limit=20),
                 lambda s: con.execute(f"SELECT body FROM docs ORDER BY {by_created} DESC "
                                       "LIMIT 20 OFFSET ?", (s,)),
                 lambda s: heapq.nlargest(s + 20, docs, key=created)[s:]),
        "after": ("the 20 before a time t (keyset paging)",
                  [times[-rng.randrange(20, len(times))] for _ in range(6000)],
                  lambda t: db.find("users", {"created": {"$lt": t}}, sort=[("created", -1)],
                                    limit=20),
                  lambda t: con.execute(f"SELECT body FROM docs WHERE {by_created} < ? "
                                        f"ORDER BY {by_created} DESC LIMIT 20", (t,)),
                  lambda t: heapq.nlargest(20, (d for d in docs if d["created"] < t),
                                           key=created)),
    }
    for key, (title, values, moxal_page, sqlite_rows, python_page) in pages.items():
        def sqlite_page(v, rows=sqlite_rows):
            return [json.loads(body) for (body,) in rows(v)]

        for _ in range(3):  # the second builds moxal's order index
            moxal_page(values.pop())
        v = values[-1]
        # Ties on `created` keep stored order in moxal and heapq; sqlite3
        # walks its index backwards, ties too: the same times, in order.
        got = moxal_page(v)
        sec.check(f"{key}: every contender gives the same page",
                  got == python_page(v) and len(got) == 20 and
                  [created(d) for d in got] == [created(d) for d in sqlite_page(v)])
        for name, label, page, per_run in (
                ("moxal", "moxal find sorted, limit 20", moxal_page, 200),
                ("sqlite3", "sqlite3 ORDER BY ... LIMIT 20, an expression index", sqlite_page,
                 200),
                ("python", "heapq.nlargest over the dicts", python_page, 2)):
            fig = harness.Figure(f"{label} ({title})", "µs")
            fig.samples = per_lookup_us(page, values, per_run, repeat)
            sec.figures[f"{key}_{name}"] = fig
    con.close()


def _bench_build(sec: harness.Section, directory: str, repeat: int) -> None:
    """The first lookup on a path scans; the second builds the index."""
    scans, builds = [], []
    for r in range(repeat):
        db = moxal.Moxal(directory)
        for samples, v in ((scans, r), (builds, r + 1000)):
            gc.collect()
            start = time.perf_counter()
            db.find("users", {"n": v})
            gc.collect(0)
            samples.append((time.perf_counter() - start) * 1e3)
        del db
    sec.figures["scan_moxal"] = harness.Figure("moxal lookup that scans (n == v)", "ms", scans)
    sec.figures["build_moxal"] = harness.Figure("moxal lookup that builds the index (n == v)",
                                               "ms", builds)


# Lookups that cycle over one field more than a collection keeps indexes of.
CYCLE_FIELDS = 9
CYCLES_PER_RUN = 3


def scan_module():
    """moxal with its indexes switched off: the module MOXAL_SCAN_MODULE
    names (the test build makes one), else moxal_scan if installed, else
    None."""
    path = os.environ.get("MOXAL_SCAN_MODULE")
    if path:
        loader = importlib.machinery.ExtensionFileLoader("moxal_scan", path)
        spec = importlib.util.spec_from_file_location("moxal_scan", path, loader=loader)
        module = importlib.util.module_from_spec(spec)
        loader.exec_module(module)
        return module
    try:
        import moxal_scan
    except ImportError:
        return None
    return moxal_scan


def _bench_cycle(sec: harness.Section, directory: str, docs: list[dict], repeat: int) -> None:
    """Each lookup by the next of nine fields (k0 ... k8, unique integers),
    a value not asked before; moxal against itself without indexes."""
    n = len(docs)
    cycle_docs = [dict(d, **{f"k{j}": i * CYCLE_FIELDS + j for j in range(CYCLE_FIELDS)})
                  for i, d in enumerate(docs)]
    generate.write_collection(directory, cycle_docs)
    del cycle_docs
    modules = [("moxal", "moxal", moxal), ("scan", "moxal without indexes", scan_module())]
    per_run = CYCLE_FIELDS * CYCLES_PER_RUN
    positions = random.Random(5).sample(range(n), per_run * (repeat + 2))
    # (field, value): the fields in turn, each value asked once.
    lookups_asked = [(f"k{i % CYCLE_FIELDS}", p * CYCLE_FIELDS + i % CYCLE_FIELDS)
                     for i, p in enumerate(positions)]
    answers = {}
    for key, label, module in modules:
        fig = harness.Figure(f"{label} (lookups cycling over {CYCLE_FIELDS} fields)", "µs")
        sec.figures[f"cycle_{key}"] = fig
        if module is None:
            fig.status, fig.note = "skipped", "no moxal_scan (build with MOXAL_SCAN_MODULE=ON)"
            continue
        db = module.Moxal(directory)
        asked = list(lookups_asked)

        def lookup(field_value, db=db):
            field, value = field_value
            return db.find("users", {field: value})

        # Two cycles first: they scan, and build what indexes they build.
        for _ in range(2 * CYCLE_FIELDS):
            lookup(asked.pop())
        answers[key] = [lookup(fv) for fv in asked[:CYCLE_FIELDS]]
        fig.samples = per_lookup_us(lookup, asked, per_run, repeat)
        del db
    if len(answers) == 2:
        sec.check("cycle: with and without indexes, the same documents",
                  answers["moxal"] == answers["scan"])
