"""Benchmarks of moxal against its peers: json, orjson, sqlite3 and TinyDB.

    python bench/bench.py [--count N] [--repeat R] [--only SECTION] [--json FILE]

One run times every section (open, insert, write, find, update, delete and
count, and lookup on a collection of its own: lookups.py; the journal
section, journal.py, only with --only journal) on the same
deterministic documents from bench/generate.py, prints a table per section
and a PASS/FAIL/SKIPPED line per performance target, and can save every
figure with the machine's description as JSON for charting. Figures are
medians of repeated runs with Python's cyclic garbage collector on, as users
run, each timed call followed inside the clock by the young-generation
collection it leaves behind (gc.collect(0)). A moxal method not built yet
(NotImplementedError) skips its figures with a note instead of stopping the
script, so it reports more as methods land. The exit status is 1 when moxal
raised any other error or the contenders' results disagree, 0 otherwise
(failed targets included).
"""

from __future__ import annotations

import argparse
import bisect
import copy
import dataclasses
import gc
import json
import os
import shutil
import sqlite3
import subprocess
import sys

import orjson
from tinydb import Query, TinyDB
from tinydb.operations import add
from tinydb.storages import MemoryStorage

import generate
import harness
import journal
import lookups
import moxal

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)
SECTIONS = ("open", "insert", "write", "find", "update", "delete", "lookup")
# Run only when asked (--only journal): minutes of disk syncs, and a
# collection of a million documents of its own.
ON_REQUEST = ("journal",)

# The selective query's value: one city among the generator's 100, about 1%.
CITY = "Lyon"
# The range query keeps about this share of the documents.
RANGE_SHARE = 0.15


@dataclasses.dataclass
class Data:
    """The benchmark's collection: its file, its text and where to scribble."""

    dir: str  # holds users.json and nothing else, so Moxal(dir) opens only it
    path: str
    text: bytes
    count: int
    scratch: str  # a fresh directory for files the benchmark writes

    def docs(self) -> list[dict]:
        """A new list of the documents as Python dicts (same text, new objects)."""
        return orjson.loads(self.text)


def prepare_data(data_root: str, count: int) -> Data:
    """Generates the documents and keeps their file up to date in data_root.

    The file is rewritten only when its bytes differ from the generator's,
    so it always matches the generator of this checkout.
    """
    directory = os.path.join(data_root, f"n{count}")
    path = os.path.join(directory, "users.json")
    text = generate.compact(generate.documents(count))
    if not _same_bytes(path, text):
        os.makedirs(directory, exist_ok=True)
        with open(path, "wb") as f:
            f.write(text)
    scratch = os.path.join(data_root, "scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    return Data(directory, path, text, count, scratch)


def _same_bytes(path: str, text: bytes) -> bool:
    try:
        with open(path, "rb") as f:
            return f.read() == text
    except FileNotFoundError:
        return False


def fresh_dir(path: str) -> str:
    """Empties (or makes) a directory and returns its path."""
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    return path


# ---------------------------------------------------------------- peers' tools

def sqlite_loaded(text: bytes) -> sqlite3.Connection:
    """An in-memory sqlite3 database whose table docs holds one row per document."""
    con = sqlite3.connect(":memory:")
    con.execute("CREATE TABLE docs(body TEXT)")
    con.execute("INSERT INTO docs SELECT value FROM json_each(?)", (text.decode(),))
    con.commit()
    return con


def sqlite_select(con: sqlite3.Connection, where: str, params: tuple) -> list[dict]:
    """The matching documents as Python dicts, as a program would want them."""
    rows = con.execute(f"SELECT body FROM docs WHERE {where}", params)
    return [json.loads(body) for (body,) in rows]


def tinydb_loaded(docs: list[dict]) -> TinyDB:
    db = TinyDB(storage=MemoryStorage)
    db.insert_multiple(docs)
    return db


def durable_write(path: str, data: bytes) -> None:
    """Writes data to path as a database must: into a temporary file that is
    flushed and synced, renamed over the target, then the directory synced so
    that the rename itself survives a crash."""
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.rename(tmp, path)
    dir_fd = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


def range_threshold(docs: list[dict], share: float) -> int:
    """The age T for which `age > T` keeps the share of documents nearest `share`."""
    ages = sorted(d["age"] for d in docs)

    def kept(t: int) -> float:  # share of ages above t
        return (len(ages) - bisect.bisect_right(ages, t)) / len(ages)
    return min(range(ages[0], ages[-1] + 1), key=lambda t: abs(kept(t) - share))


def share_text(matched: int, total: int) -> str:
    return f"{matched:,} of {total:,} documents ({100 * matched / total:.1f}%)"


# -------------------------------------------------------------------- sections

def bench_open(sec: harness.Section, data: Data) -> None:
    """Opening the collection: moxal parses it into its own storage; the
    peers build Python objects (json, orjson) or an sqlite3 table from it."""
    sec.moxal("moxal", "moxal Moxal(dir)", lambda: lambda: moxal.Moxal(data.dir))
    sec.peer("json", "json.load", lambda: lambda: _json_load(data.path))
    sec.peer("orjson", "orjson.loads(read())", lambda: lambda: _orjson_load(data.path))
    sec.peer("sqlite3", "sqlite3 json_each import", lambda: lambda: _sqlite_import(data.path))

    for contender in ("moxal", "json", "orjson", "sqlite3"):
        key, label = f"rss_{contender}", f"RSS growth {contender}"
        try:
            sec.value(key, label, "MB", rss_growth(contender, data.dir))
        except ProbeFailed as e:
            if contender != "moxal":
                raise  # a peer's failure is a bug of this script
            sec.value(key, label, "MB", None, "skipped" if e.not_built else "error", str(e))
    sec.value("text_size", "JSON text size", "MB", len(data.text) / 1e6)

    sec.faster("moxal open >= 10x faster than json.load", "moxal", "json", 10)
    sec.at_most("moxal open RSS <= 1/3 of json.load's", "rss_moxal", "rss_json", 1 / 3)
    sec.at_most("moxal open RSS <= 2x the JSON text size", "rss_moxal", "text_size", 2)


def _json_load(path: str) -> object:
    with open(path) as f:
        return json.load(f)


def _orjson_load(path: str) -> object:
    with open(path, "rb") as f:
        return orjson.loads(f.read())


def _sqlite_import(path: str) -> sqlite3.Connection:
    with open(path, "rb") as f:
        return sqlite_loaded(f.read())


class ProbeFailed(Exception):
    """The memory probe's process failed; not_built when moxal said so."""

    def __init__(self, message: str, not_built: bool):
        super().__init__(message)
        self.not_built = not_built


def rss_growth(contender: str, directory: str) -> float:
    """Megabytes the contender's process grew by loading the collection,
    measured in a fresh interpreter so earlier loads do not pollute it."""
    probe = os.path.join(BENCH_DIR, "rss_probe.py")
    out = subprocess.run([sys.executable, probe, contender, directory],
                         capture_output=True, text=True)
    if out.returncode != 0:
        last = (out.stderr.strip().splitlines() or ["no output"])[-1]
        raise ProbeFailed(last, "NotImplementedError" in last)
    report = json.loads(out.stdout)
    return (report["after"] - report["before"]) / 1e6


def bench_insert(sec: harness.Section, data: Data) -> None:
    """Adding the documents as a list of dicts to an empty collection."""
    docs = data.docs()
    target_dir = os.path.join(data.scratch, "insert")

    def moxal_insert():
        db = moxal.Moxal(fresh_dir(target_dir))
        return lambda: db.insert_many("users", docs)

    def sqlite_insert():
        con = sqlite3.connect(":memory:")
        con.execute("CREATE TABLE docs(body TEXT)")

        def run():
            con.executemany("INSERT INTO docs(body) VALUES (?)",
                            ((json.dumps(d),) for d in docs))
            con.commit()
            return con
        return run

    def tinydb_insert():
        db = TinyDB(storage=MemoryStorage)
        return lambda: db.insert_multiple(docs)

    sec.moxal("moxal", "moxal insert_many", moxal_insert)
    sec.peer("tinydb", "TinyDB insert_multiple", tinydb_insert)
    sec.peer("deepcopy", "copy.deepcopy(list)", lambda: lambda: copy.deepcopy(docs))
    sec.peer("sqlite3", "sqlite3 executemany(json.dumps)", sqlite_insert)
    if sec.figures["moxal"].status == "ok":
        db = moxal.Moxal(fresh_dir(target_dir))
        db.insert_many("users", docs)
        sec.check("moxal holds the inserted documents", db.find("users") == docs)
    sec.faster("insert_many >= 2x faster than TinyDB insert_multiple", "moxal", "tinydb", 2)


def bench_write(sec: harness.Section, data: Data) -> None:
    """Writing the whole collection to its file durably (tmp, fsync, rename)."""
    moxal_dir = fresh_dir(os.path.join(data.scratch, "write-moxal"))
    shutil.copy(data.path, moxal_dir)
    peers_dir = fresh_dir(os.path.join(data.scratch, "write-peers"))
    docs = data.docs()
    con = sqlite_loaded(data.text)
    db = moxal.Moxal(moxal_dir)

    def to(name: str) -> str:
        return os.path.join(peers_dir, name + ".json")

    def sqlite_text() -> bytes:
        (text,) = con.execute("SELECT json_group_array(json(body)) FROM docs").fetchone()
        return text.encode()

    fig = sec.moxal("moxal", "moxal write", lambda: lambda: db.write("users"))
    sec.peer("orjson", "orjson.dumps + durable write",
             lambda: lambda: durable_write(to("orjson"), orjson.dumps(docs)))
    sec.peer("json", "json.dumps + durable write",
             lambda: lambda: durable_write(
                 to("json"), json.dumps(docs, separators=(",", ":")).encode()))
    sec.peer("sqlite3", "sqlite3 json_group_array + durable write",
             lambda: lambda: durable_write(to("sqlite3"), sqlite_text()))

    # Every file written must hold the same documents.
    for name in ("orjson", "json", "sqlite3"):
        sec.check(f"{name} file holds the documents", _file_docs(to(name)) == docs)
    if fig.status == "ok":
        sec.check("moxal file holds the documents",
                  _file_docs(os.path.join(moxal_dir, "users.json")) == docs)

    sec.faster("write >= 1.5x faster than orjson path", "moxal", "orjson", 1.5)
    sec.faster("write >= 5x faster than json path", "moxal", "json", 5)


def _file_docs(path: str) -> object:
    with open(path, "rb") as f:
        return orjson.loads(f.read())


def bench_find(sec: harness.Section, data: Data) -> None:
    """Finding documents: all of them, a selective query and a range query."""
    db = moxal.Moxal(data.dir)
    # Both build 100,000 dicts: time them before the peers' copies of the
    # documents exist, as each garbage collection walks every live object.
    sec.moxal("all_moxal", "moxal find() all", lambda: lambda: db.find("users"))
    sec.peer("all_orjson", "orjson.loads(text)", lambda: lambda: orjson.loads(data.text))
    docs = data.docs()
    _check_all(sec, db, docs)
    con = sqlite_loaded(data.text)
    tiny = tinydb_loaded(docs)
    sec.faster("find without query faster than orjson.loads (aim 3x)",
               "all_moxal", "all_orjson", 1)

    city = [d for d in docs if d["address"]["city"] == CITY]
    sec.facts[f"selective query address.city == {CITY!r}"] = share_text(len(city), len(docs))
    _bench_query(sec, "sel", f"city == {CITY!r}", db, con, tiny,
                 moxal_query={"address.city": CITY},
                 listcomp=lambda: [d for d in docs if d["address"]["city"] == CITY],
                 sql=("json_extract(body, '$.address.city') = ?", (CITY,)),
                 tinydb_query=Query().address.city == CITY)
    sec.faster("selective cold >= 3x faster than list comprehension",
               "sel_moxal_cold", "sel_listcomp", 3)
    sec.faster("selective warm >= 10x faster than list comprehension",
               "sel_moxal_warm", "sel_listcomp", 10)

    t = range_threshold(docs, RANGE_SHARE)
    older = sum(d["age"] > t for d in docs)
    sec.facts[f"range query age > {t}"] = share_text(older, len(docs))
    _bench_query(sec, "range", f"age > {t}", db, con, tiny,
                 moxal_query={"age": {"$gt": t}},
                 listcomp=lambda: [d for d in docs if d["age"] > t],
                 sql=("json_extract(body, '$.age') > ?", (t,)),
                 tinydb_query=Query().age > t, warm=False)
    sec.at_most("range cold <= 1.5x the list comprehension",
                "range_moxal_cold", "range_listcomp", 1.5)
    sec.faster("range cold >= 5x faster than sqlite3", "range_moxal_cold", "range_sqlite3", 5)


def _check_all(sec: harness.Section, db: moxal.Moxal, docs: list[dict]) -> None:
    if sec.figures["all_moxal"].status == "ok":
        sec.check("moxal find() returns the documents", db.find("users") == docs)


def _bench_query(sec, prefix, what, db, con, tiny, *, moxal_query, listcomp, sql,
                 tinydb_query, warm=True) -> None:
    """Times one query (`what` names it in labels) for every contender and
    checks that they all find the documents the list comprehension finds."""
    def cold():
        db.clear_cache()
        return lambda: db.find("users", moxal_query)

    def cached():
        db.find("users", moxal_query)  # makes sure the next find is a cache hit
        return lambda: db.find("users", moxal_query)

    def tinydb_cold():
        tiny.clear_cache()  # TinyDB caches query results too
        return lambda: tiny.search(tinydb_query)

    figs = [sec.moxal(f"{prefix}_moxal_cold", f"moxal find cold ({what})", cold)]
    if warm:
        figs.append(sec.moxal(f"{prefix}_moxal_warm", f"moxal find warm ({what})", cached))
    sec.peer(f"{prefix}_listcomp", f"list comprehension ({what})", lambda: listcomp)
    sec.peer(f"{prefix}_sqlite3", f"sqlite3 json_extract ({what})",
             lambda: lambda: sqlite_select(con, *sql))
    sec.peer(f"{prefix}_tinydb", f"TinyDB search ({what})", tinydb_cold)

    expected = listcomp()
    sec.check(f"sqlite3 and TinyDB find the same for {what}",
              sqlite_select(con, *sql) == expected and tiny.search(tinydb_query) == expected)
    if any(f.status == "ok" for f in figs):
        sec.check(f"moxal finds the same for {what}", db.find("users", moxal_query) == expected)


def bench_update(sec: harness.Section, data: Data) -> None:
    """score += 1 where age > T, in place. moxal's runs repeat on the same
    collection, so each run adds one more to the same scores: the timing is
    what matters, not the data."""
    docs = data.docs()
    t = range_threshold(docs, RANGE_SHARE)
    con = sqlite_loaded(data.text)
    tiny = tinydb_loaded(data.docs())
    db = moxal.Moxal(data.dir)
    sec.facts[f"filter age > {t}"] = share_text(sum(d["age"] > t for d in docs), len(docs))
    sec.facts["note"] = "every run adds 1 again to the same scores (in memory): only time matters"

    def python_loop():
        for d in docs:
            if d["age"] > t:
                d["score"] += 1

    def sqlite_update():
        con.execute("UPDATE docs SET body = json_set(body, '$.score', "
                    "json_extract(body, '$.score') + 1) WHERE json_extract(body, '$.age') > ?",
                    (t,))
        con.commit()

    fig = sec.moxal("moxal", f"moxal update age > {t}",
                    lambda: lambda: db.update("users", {"score": {"$add": 1}}, {"age": {"$gt": t}}))
    sec.peer("loop", "Python loop in place", lambda: python_loop)
    sec.peer("sqlite3", "sqlite3 UPDATE json_set", lambda: sqlite_update)
    sec.peer("tinydb", "TinyDB update",
             lambda: lambda: tiny.update(add("score", 1), Query().age > t))
    all_fig = sec.moxal("moxal_all", "moxal update all (no filter)",
                        lambda: lambda: db.update("users", {"score": {"$add": 1}}, None))
    if all_fig.status == "ok":
        sec.facts["moxal update all, per document"] = f"{all_fig.median * 1e6 / data.count:,.1f} ns"
    if fig.status == "ok":
        _check_update(sec, data, t)

    sec.faster("filtered update >= 3x faster than the Python loop", "moxal", "loop", 3)
    sec.faster("filtered update >= 10x faster than sqlite3", "moxal", "sqlite3", 10)


def _check_update(sec: harness.Section, data: Data, t: int) -> None:
    """One update on a freshly opened collection changes exactly the expected scores."""
    db = moxal.Moxal(data.dir)
    db.update("users", {"score": {"$add": 1}}, {"age": {"$gt": t}})
    expected = data.docs()
    for d in expected:
        if d["age"] > t:
            d["score"] = float(d["score"] + 1)
    sec.check("moxal update changes the expected scores", db.find("users") == expected)


def bench_delete(sec: harness.Section, data: Data) -> None:
    """Deleting one document by its _id, and counting documents, all or
    those of a selective query. Each timed delete removes another document;
    the peers hold the same documents, without indexes of their own."""
    docs = data.docs()
    ids = iter([d["_id"] for d in docs[::-7]])  # far apart, none deleted twice
    con, tiny = sqlite_loaded(data.text), tinydb_loaded(data.docs())
    fresh = {"db": None}

    def moxal_first_delete():
        fresh["db"] = moxal.Moxal(data.dir)  # no index yet: the delete scans
        victim = next(ids)
        return lambda: fresh["db"].delete("users", {"_id": victim})

    db = moxal.Moxal(data.dir)
    for d in docs[:2]:  # two lookups by _id: an index answers from then on
        db.find("users", {"_id": d["_id"]})

    def moxal_delete():
        victim = next(ids)
        return lambda: db.delete("users", {"_id": victim})

    def sqlite_delete():
        victim = next(ids)
        return lambda: (con.execute("DELETE FROM docs WHERE json_extract(body, '$._id') = ?",
                                    (victim,)), con.commit())

    def tinydb_delete():
        victim = next(ids)
        return lambda: tiny.remove(Query()._id == victim)

    sec.moxal("del_moxal_first", "moxal delete one (first by _id: a scan)", moxal_first_delete)
    sec.moxal("del_moxal", "moxal delete one (by _id, indexed)", moxal_delete)
    sec.peer("del_sqlite3", "sqlite3 DELETE WHERE json_extract", sqlite_delete)
    sec.peer("del_tinydb", "TinyDB remove", tinydb_delete)
    _bench_count(sec, db, con, tiny)
    left = len(docs) - sec.repeat - sec.warmup
    sec.check("each contender deleted one document a run",
              db.count("users") == left and len(tiny) == left
              and con.execute("SELECT count(*) FROM docs").fetchone()[0] == left)
    sec.faster("delete one >= 10x faster than sqlite3 (no index)", "del_moxal", "del_sqlite3",
               10)
    sec.faster("count of a selective query >= 2x faster than len(find())",
               "count_sel_moxal", "count_sel_find", 2)
    sec.faster("count of a broad query >= 10x faster than len(find())", "count_ne_moxal",
               "count_ne_find", 10)


def _bench_count(sec: harness.Section, db, con, tiny) -> None:
    where = ("json_extract(body, '$.address.city') = ?", (CITY,))

    def tinydb_count():
        tiny.clear_cache()  # TinyDB caches query results
        return lambda: tiny.count(Query().address.city == CITY)

    def cold(call):
        def prepare():
            db.clear_cache()
            return call
        return prepare

    sec.moxal("count_moxal", "moxal count() all", lambda: lambda: db.count("users"))
    sec.moxal("count_find", "moxal len(find()) all", lambda: lambda: len(db.find("users")))
    sec.peer("count_sqlite3", "sqlite3 count(*)",
             lambda: lambda: con.execute("SELECT count(*) FROM docs").fetchone())
    sec.peer("count_tinydb", "TinyDB len()", lambda: lambda: len(tiny))
    db.find("users", {"address.city": CITY})
    db.find("users", {"address.city": "Rome"})  # an index on the path from now on
    sec.moxal("count_sel_moxal", f"moxal count(city == {CITY!r}) cold",
              cold(lambda: db.count("users", {"address.city": CITY})))
    sec.moxal("count_sel_find", f"moxal len(find(city == {CITY!r})) cold",
              cold(lambda: len(db.find("users", {"address.city": CITY}))))
    sec.peer("count_sel_sqlite3", f"sqlite3 count(*) where city == {CITY!r}",
             lambda: lambda: con.execute(f"SELECT count(*) FROM docs WHERE {where[0]}",
                                         where[1]).fetchone())
    sec.peer("count_sel_tinydb", f"TinyDB count(city == {CITY!r})", tinydb_count)
    others = {"address.city": {"$ne": CITY}}  # no index answers $ne: a scan
    sec.moxal("count_ne_moxal", f"moxal count(city != {CITY!r}) cold",
              cold(lambda: db.count("users", others)))
    sec.moxal("count_ne_find", f"moxal len(find(city != {CITY!r})) cold",
              cold(lambda: len(db.find("users", others))))
    expected = con.execute(f"SELECT count(*) FROM docs WHERE {where[0]}", where[1]).fetchone()[0]
    sec.check("every contender counts the same",
              db.count("users", {"address.city": CITY}) == expected
              == tiny.count(Query().address.city == CITY))


def bench_lookup(sec: harness.Section, data: Data) -> None:
    """Finds of a few documents by a value not asked before (lookups.py), on
    a collection of LOOKUP_COUNT documents of its own."""
    docs = lookups.documents(LOOKUP_COUNT)
    directory = fresh_dir(os.path.join(data.scratch, "lookup"))
    generate.write_collection(directory, docs)
    sec.facts["documents"] = f"{len(docs):,}"
    lookups.bench_lookup(sec, directory, docs, sec.repeat)


def bench_journal(sec: harness.Section, data: Data) -> None:
    """Per-change durability on orders of its own (journal.py)."""
    journal.bench_journal(sec, os.path.dirname(data.scratch), data.count, journal.FOLD_COUNT)


LOOKUP_COUNT = 200_000

BENCHES = {
    "open": ("opening the collection file", bench_open),
    "insert": ("insert_many of the documents into an empty collection", bench_insert),
    "write": ("writing the collection file durably", bench_write),
    "find": ("all documents, a selective query, a range query", bench_find),
    "update": ("update score += 1 in place", bench_update),
    "delete": ("delete one document, count documents", bench_delete),
    "lookup": ("lookups of a few documents by a value not asked before", bench_lookup),
    "journal": ("per-change durability: changes/s, open, fold pause", bench_journal),
}


# ------------------------------------------------------------------------ main

def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--count", type=int, default=100_000, help="documents (default 100,000)")
    ap.add_argument("--repeat", type=int, default=5, help="timed runs per figure (default 5)")
    ap.add_argument("--warmup", type=int, default=1, help="untimed runs first (default 1)")
    ap.add_argument("--only", choices=SECTIONS + ON_REQUEST,
                    help="run one section (journal runs only when asked)")
    ap.add_argument("--lookup-count", type=int, default=LOOKUP_COUNT,
                    help="documents of the lookup section (default 200,000)")
    ap.add_argument("--json", metavar="FILE", help="also write all figures to FILE")
    ap.add_argument("--data-dir", default=os.path.join(BENCH_DIR, "data"),
                    help="where the generated file and scratch files go")
    return ap.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    global LOOKUP_COUNT
    LOOKUP_COUNT = args.lookup_count
    gc.enable()  # the collector stays on: users run with it
    machine = harness.machine_info(REPO_DIR)
    data = prepare_data(args.data_dir, args.count)
    print(f"moxal bench: {data.count:,} documents, {len(data.text) / 1e6:.1f} MB of JSON, "
          f"median of {args.repeat} runs (+{args.warmup} warm-up), gc on, "
          "gc.collect(0) after each call counted")
    print(f"machine: {machine['cpu']}, {machine['cores']} cores, {machine['python']}, "
          f"sqlite {machine['sqlite']}, commit {machine['commit']}\n")

    sections = []
    for name in ([args.only] if args.only else SECTIONS):
        title, bench = BENCHES[name]
        sec = harness.Section(name, title, args.repeat, args.warmup)
        bench(sec, data)
        gc.collect()  # drop the section's databases before the next one
        sec.evaluate()
        print(sec.render() + "\n", flush=True)
        sections.append(sec)
    shutil.rmtree(data.scratch, ignore_errors=True)

    errors = [e for sec in sections for e in sec.errors]
    for e in errors:
        print("ERROR:", e)
    if args.json:
        save_report(args, machine, sections)
    return 1 if errors else 0


def save_report(args: argparse.Namespace, machine: dict, sections: list) -> None:
    report = {"machine": machine,
              "settings": {"count": args.count, "repeat": args.repeat,
                           "warmup": args.warmup, "gc": "on, gc.collect(0) timed"},
              "sections": {sec.name: sec.as_json() for sec in sections}}
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(report, f, indent=2)
    print(f"figures written to {args.json}")


if __name__ == "__main__":
    sys.exit(main())
