"""bench/chart.py reads the report bench/bench.py writes: a report made with
the harness itself gives the expected panels and table, and (where
matplotlib is installed) a PNG."""

import json
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import chart  # noqa: E402
import harness  # noqa: E402


def section(name, figures, facts=()):
    sec = harness.Section(name, name, repeat=1, warmup=0)
    for key, label, unit, value in figures:
        if value is None:
            sec.value(key, label, unit, None, status="skipped", note="not built")
        else:
            sec.value(key, label, unit, value)
    sec.facts.update(dict(facts))
    return sec.as_json()


def report():
    sections = {
        "open": section("open", [("moxal", "moxal Moxal(dir)", "ms", 40.0),
                                 ("json", "json.load", "ms", 400.0),
                                 ("rss_moxal", "RSS growth moxal", "MB", 30.0),
                                 ("rss_json", "RSS growth json", "MB", 110.0),
                                 ("text_size", "JSON text size", "MB", 21.6)]),
        "find": section("find", [("all_moxal", "moxal find() all", "ms", 90.0),
                                 ("all_orjson", "orjson.loads(text)", "ms", 440.0),
                                 ("sel_moxal_cold", "moxal find cold (city == 'Lyon')", "ms", 5.0),
                                 ("sel_listcomp", "list comprehension (city == 'Lyon')",
                                  "ms", 26.0),
                                 ("range_moxal_cold", "moxal find cold (age > 78)", "ms", None),
                                 ("range_listcomp", "list comprehension (age > 78)", "ms", 20.0)],
                        facts={"selective query address.city == 'Lyon'":
                               "1,057 of 100,000 documents (1.1%)",
                               "range query age > 78": "15,333 of 100,000 documents (15.3%)"}),
    }
    machine = {"cpu": "Test CPU", "cores": 2, "python": "CPython 3.x", "platform": "Linux",
               "versions": {"moxal": "0.1.0"}, "commit": "abc1234",
               "date": "2026-01-02T03:04:05+00:00"}
    settings = {"count": 100000, "repeat": 5, "warmup": 1, "gc": "on"}
    # Through JSON, as chart.py reads it.
    return json.loads(json.dumps({"machine": machine, "settings": settings,
                                  "sections": sections}))


def test_panels_follow_the_report():
    got = [(p["title"], p["unit"], p["bars"]) for p in chart.panels(report())]
    assert got == [
        ("open a directory holding 100,000 documents", "ms",
         [("moxal Moxal(dir)", 40.0, True), ("json.load", 400.0, False)]),
        ("memory after open (resident set growth)", "MB",
         [("moxal", 30.0, True), ("json", 110.0, False)]),
        ("find every document (100,000)", "ms",
         [("moxal find() all", 90.0, True), ("orjson.loads(text)", 440.0, False)]),
        ("find address.city == 'Lyon' (1.1% match)", "ms",
         [("moxal find cold", 5.0, True), ("list comprehension", 26.0, False)]),
        # the figure that could not be measured is left out
        ("find age > 78 (15.3% match)", "ms", [("list comprehension", 20.0, False)]),
    ]


def test_markdown_table_and_footer():
    table = chart.markdown(report()).splitlines()
    assert table[:3] == ["| operation | contender | median |", "|---|---|---:|",
                         "| open a directory holding 100,000 documents | **moxal Moxal(dir)** "
                         "| 40.0 ms |"]
    assert "|  | json.load | 400 ms |" in table
    assert len(table) == 2 + 9
    text = chart.footer(report(), "noisy machine")
    assert "Test CPU, 2 cores" in text and "measured 2026-01-02" in text
    assert text.endswith("\nnoisy machine")


def test_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "chart.png"
    chart.draw(report(), str(out))
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def journal_report():
    rates = [(f"{job}{t}_{key}", f"{label} ({what}, {t} thread{'s' if t > 1 else ''})",
              "/s", value)
             for job, what in (("ins", "insert"), ("upd", "update")) for t in (1, 8)
             for key, label, value in (("always", "moxal journal='always'", 6000.0),
                                       ("sqlite_full", "sqlite3 WAL synchronous=FULL", 4000.0))]
    fold = [("open_journal", "moxal open, 100,000 orders + journal of 100,000 changes", "ms",
             130.0),
            ("open_folded_on", "moxal open of the folded files, journal='process'", "ms", 17.0),
            ("fold_on_max", "longest lookup during write_all, journal='process'", "ms", 30.0),
            ("fold_on_median", "median lookup during write_all, journal='process'", "µs", 4.0),
            ("fold_on_time", "write_all of 1,000,000 orders, journal='process'", "ms", 400.0),
            ("fold_off_max", "longest lookup during write_all, journal off", "ms", None)]
    rep = json.loads(json.dumps(report()))
    rep["sections"] = {"journal": section("journal", rates + fold)}
    return rep


def test_journal_panels():
    got = [(p["title"], p["unit"], p["bars"], p.get("log", False))
           for p in chart.panels(journal_report())]
    assert [g[0] for g in got] == [
        "insert one order a call, 1 thread",
        "insert one order a call, 8 threads",
        "update one order by key a call, 1 thread",
        "update one order by key a call, 8 threads",
        "open 100,000 orders: with a journal, and folded",
        "lookups during write_all of 1,000,000 orders"]
    assert got[0][1:] == ("/s", [("moxal journal='always'", 6000.0, True),
                                        ("sqlite3 WAL synchronous=FULL", 4000.0, False)], True)
    assert got[4][3] is False and len(got[4][2]) == 2
    # the median (µs) is not drawn, nor what could not be measured
    assert got[5][2] == [("longest lookup, journal='process'", 30.0, True),
                         ("write_all itself, journal='process'", 400.0, True)]
    assert "changes/s: longer is better" in chart.footer(journal_report())


def test_journal_png(tmp_path):
    pytest.importorskip("matplotlib")
    out = tmp_path / "journal.png"
    chart.draw(journal_report(), str(out))
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def processes_report():
    figures = [("http_sqlite3_w4", "sqlite3 -w 4", "req/s", 900.0),
               ("http_moxal_w4", "moxal -w 4", "req/s", 2700.0),
               ("http_moxal_w1", "moxal -w 1", "req/s", 1500.0),
               ("http_sqlite3_w1", "sqlite3 -w 1", "req/s", None),
               ("call_off", "find by id, journal off", "ns", 2300.0),
               ("call_shared", "find by id, shared", "ns", 2400.0),
               ("call_extra", "what sharing adds to a call", "ns", 100.0),
               ("lookup_alone", "find by id, nobody writing", "ns", 3000.0)]
    rep = json.loads(json.dumps(report()))
    rep["sections"] = {"processes": section("processes", figures)}
    return rep


def test_processes_panels():
    """moxal's rates first, by worker processes; the lookups are all moxal's
    (blue); the difference of two figures is not drawn."""
    got = [(p["title"], p["bars"]) for p in chart.panels(processes_report())]
    assert got == [
        ("orders service under gunicorn, 100,000 orders: requests a second",
         [("moxal -w 1", 1500.0, True), ("moxal -w 4", 2700.0, True),
          ("sqlite3 -w 4", 900.0, False)]),
        ("find by id, no other process wrote (CPU time)",
         [("find by id, journal off", 2300.0, True), ("find by id, shared", 2400.0, True)]),
        ("find by id while four processes write",
         [("find by id, nobody writing", 3000.0, True)]),
    ]
    assert "req/s: longer is better" in chart.footer(processes_report())
