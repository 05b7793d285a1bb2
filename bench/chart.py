"""Draws the comparison of moxal with its peers from a benchmark report.

    python bench/chart.py REPORT.json [-o CHART.png] [--markdown] [--note TEXT]

REPORT.json is what `bench/bench.py --json REPORT.json` (or
`bench/journal.py` or `bench/processes.py --json REPORT.json`) writes. The chart has
one panel per operation (open, memory after open, insert, write, find every
document, a selective query, a range query, update; for the journal section
of bench/journal.py, changes per second of each job, the open with a
journal and the lookup waits during a fold; for bench/processes.py, the
service's requests a second by store and worker processes, and the cost of
a lookup), one bar per contender
with its median, moxal's bars in colour and the peers' in grey; under it the
machine, the date and the settings of the run. Each panel has its own
scale (linear, or logarithmic where the contenders differ a thousandfold:
the journal section's rates and waits), so bars compare within a panel, not
across panels.

With --markdown it also prints the figures as a Markdown table (the one
docs/performance.md shows beside the chart), from the same report.

Needs matplotlib (bench/requirements.txt).
"""

from __future__ import annotations

import argparse
import json
import os
import sys

MOXAL_COLOUR = "#2a6fbb"
PEER_COLOUR = "#a8a8a8"

def panels(report: dict) -> list[dict]:
    """The panels to draw, in order: each a title, a unit and its bars
    (label, median, is_moxal). Figures that could not be measured are left
    out."""
    out = []
    count = f"{report['settings']['count']:,}"
    for name, sec in report["sections"].items():
        figs = {k: f for k, f in sec["figures"].items() if f["status"] == "ok"}
        timed = {k: f for k, f in figs.items() if f["unit"] == "ms"}
        if name == "find":
            out.append(_panel(f"find every document ({count})", "ms", _prefixed(timed, "all_")))
            for prefix, fact in (("sel_", "selective query "), ("range_", "range query ")):
                out.append(_panel(f"find {_titled(sec['facts'], fact)}", "ms",
                                  _prefixed(timed, prefix)))
        elif name == "open":
            out.append(_panel(f"open a directory holding {count} documents", "ms", timed))
            out.append(_panel("memory after open (resident set growth)", "MB",
                              _prefixed(figs, "rss_")))
        elif name == "lookup":
            docs = sec["facts"].get("documents", "")
            for key in ("int", "str", "city", "newest", "window", "page", "after"):
                job = _prefixed(figs, key + "_")
                if job:
                    title = next(iter(job.values()))["label"]
                    title = title[title.index("(") + 1:-1] if "(" in title else key
                    out.append(_panel(f"lookup: {title}, {docs} documents", "µs",
                                      _relabelled(job)))
            out.append(_panel("the lookup that builds an index, and a scan", "ms",
                              {k: f for k, f in timed.items() if k in ("scan_moxal",
                                                                       "build_moxal")}))
        elif name == "journal":
            out.extend(_journal_panels(sec, count))
        elif name == "processes":
            out.extend(_processes_panels(sec, count))
        elif name == "update":
            out.append(_panel(f"update score += 1 where {_titled(sec['facts'], 'filter ')}",
                              "ms", timed))
        else:
            title = {"insert": f"insert {count} documents",
                     "write": f"write {count} documents durably"}.get(name, sec["title"])
            out.append(_panel(title, "ms", timed))
    return [p for p in out if p["bars"]]


def _journal_panels(sec: dict, count: str) -> list[dict]:
    """The journal section: changes per second of each job (log scale: the
    contenders differ a thousandfold), the open with and without a journal,
    and the lookup waits during a fold."""
    out = []
    figs = {k: f for k, f in sec["figures"].items() if f["status"] == "ok"}
    for job, what in (("ins", "insert one order"), ("upd", "update one order by key")):
        for threads in (1, 8):
            where = "1 thread" if threads == 1 else f"{threads} threads"
            panel = _panel(f"{what} a call, {where}", "/s",
                           _relabelled(_prefixed(figs, f"{job}{threads}_")))
            panel["log"], panel["axis"] = True, "changes per second"
            out.append(panel)
    out.append(_panel(f"open {count} orders: with a journal, and folded", "ms",
                      _prefixed(figs, "open_")))
    fold = {k: figs[k] for k in ("fold_on_max", "fold_on_time", "fold_off_max", "fold_off_time")
            if k in figs}
    folded = next((f["label"].split(", ")[0] for k, f in fold.items() if k.endswith("_time")),
                  "write_all")
    panel = _panel(f"lookups during {folded}", "ms", fold)
    panel["bars"] = [(label.replace("longest lookup during write_all", "longest lookup")
                      .replace(folded, "write_all itself"), v, True)
                     for label, v, _ in panel["bars"]]
    panel["log"] = True
    out.append(panel)
    return out


def _processes_panels(sec: dict, count: str) -> list[dict]:
    """The processes section: requests a second of the service by store and
    worker processes, and the costs of a lookup (ns)."""
    figs = {k: f for k, f in sec["figures"].items() if f["status"] == "ok"}
    http = _prefixed(figs, "http_")
    ordered = dict(sorted(http.items(), key=lambda kv: (not kv[0].startswith("http_moxal"),
                                                        int(kv[0].rsplit("_w", 1)[1]))))
    panel = _panel(f"orders service under gunicorn, {count} orders: requests a second",
                   "req/s", ordered)
    panel["axis"] = "requests a second (more is better)"
    out = [panel]
    for title, keys in (("find by id, no other process wrote (CPU time)",
                         ("call_off", "call_shared")),
                        ("find by id while four processes write",
                         ("lookup_alone", "lookup_writers", "lookup_alone_wall",
                          "lookup_writers_wall"))):
        panel = _panel(title, "ns", {k: figs[k] for k in keys if k in figs})
        panel["bars"] = [(label, v, True) for label, v, _ in panel["bars"]]  # all moxal's
        out.append(panel)
    return out


def _relabelled(figs: dict) -> dict:
    """The figures with their job (in parentheses) left out of the labels."""
    return {k: dict(f, label=f["label"].split(" (")[0]) for k, f in figs.items()}


def _prefixed(figs: dict, prefix: str) -> dict:
    return {k: f for k, f in figs.items() if k.startswith(prefix)}


def _titled(facts: dict, lead: str) -> str:
    """The query of the fact that starts with `lead`, with its share: the
    fact "range query age > 78": "15,333 of 100,000 documents (15.3%)" gives
    "age > 78 (15.3% match)"."""
    for key, value in facts.items():
        if key.startswith(lead):
            query = key[len(lead):]
            share = value[value.rindex("(") + 1:-1] if value.endswith(")") else ""
            return f"{query} ({share} match)" if share else query
    return "?"


def _panel(title: str, unit: str, figs: dict) -> dict:
    bars = [(_short(f["label"]), f["median"], key.endswith("moxal") or "moxal" in key
             or f["label"].startswith("moxal")) for key, f in figs.items()]
    return {"title": title, "unit": unit, "bars": bars}


def _short(label: str) -> str:
    """The label without a query in parentheses (the panel title has it)."""
    if label.endswith(")") and any(op in label[label.rindex("("):] for op in ("==", ">", "<")):
        label = label[:label.rindex("(")].rstrip()
    return label.replace("RSS growth ", "")


def footer(report: dict, note: str = "") -> str:
    m, s = report["machine"], report["settings"]
    date = m.get("date", "")[:10]
    text = (f"{m.get('cpu')}, {m.get('cores')} cores, {m.get('python')}, {m.get('platform')}\n"
            f"measured {date}, moxal {m.get('versions', {}).get('moxal')} "
            f"(commit {m.get('commit')}), {s['count']:,} documents, "
            f"median of {s['repeat']} runs, garbage collector {s['gc']}; "
            + ("changes/s: longer is better, ms: shorter is better (log scales where marked)"
               if "journal" in report["sections"] else
               "req/s: longer is better, ns: shorter is better"
               if "processes" in report["sections"] else "shorter is better"))
    return text + ("\n" + note if note else "")


def draw(report: dict, path: str, note: str = "") -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ps = panels(report)
    cols = 2
    rows = (len(ps) + cols - 1) // cols
    heights = [max(len(p["bars"]) for p in ps[r * cols:(r + 1) * cols]) for r in range(rows)]
    fig, axes = plt.subplots(rows, cols, figsize=(13, 0.42 * sum(heights) + 1.0 * rows + 1.2),
                             gridspec_kw={"height_ratios": heights}, squeeze=False)
    for i, (ax, p) in enumerate(zip(axes.flat, ps)):
        _draw_panel(ax, p, heights[i // cols])
    for ax in list(axes.flat)[len(ps):]:
        ax.axis("off")
    title = {("journal",): "moxal's journal and its peers",
             ("processes",): "moxal's worker processes sharing a directory, and sqlite3"}.get(
                 tuple(report["sections"]), "moxal and its peers")
    fig.suptitle(title, fontsize=14, fontweight="bold")
    fig.text(0.01, 0.005, footer(report, note), fontsize=8, color="#444444", va="bottom")
    fig.tight_layout(rect=(0, 0.06 if note else 0.045, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _draw_panel(ax, panel: dict, rows: int) -> None:
    labels = [b[0] for b in panel["bars"]]
    values = [b[1] for b in panel["bars"]]
    colours = [MOXAL_COLOUR if b[2] else PEER_COLOUR for b in panel["bars"]]
    y = range(len(labels))
    ax.barh(y, values, color=colours, height=0.7)
    ax.set_yticks(list(y), labels, fontsize=8.5)
    # Top to bottom, bars as thick as in the other panel of the row, and
    # centred when this panel has fewer.
    pad = (rows - len(labels)) / 2
    ax.set_ylim(len(labels) - 0.5 + pad, -0.5 - pad)
    ax.set_title(panel["title"], fontsize=10, loc="left")
    ax.tick_params(axis="x", labelsize=8)
    top = max(values)
    if panel.get("log"):
        ax.set_xscale("log")
        ax.set_xlabel(panel.get("axis", panel["unit"]) + " (log scale)", fontsize=8)
        ax.set_xlim(min(values) / 3, top * 12)
        for i, v in enumerate(values):
            ax.text(v * 1.12, i, _number(v, panel["unit"]), va="center", fontsize=8)
    else:
        ax.set_xlabel(panel["unit"], fontsize=8)
        ax.set_xlim(0, top * 1.22)
        for i, v in enumerate(values):
            ax.text(v + top * 0.01, i, _number(v, panel["unit"]), va="center", fontsize=8)
    for side in ("top", "right"):
        ax.spines[side].set_visible(False)


def _number(v: float, unit: str) -> str:
    if v < 0.1:
        return f"{v:.2g} {unit}"
    return f"{v:,.1f} {unit}" if v < 100 else f"{v:,.0f} {unit}"


def markdown(report: dict) -> str:
    """The figures as a Markdown table: operation, contender, median."""
    lines = ["| operation | contender | median |", "|---|---|---:|"]
    for p in panels(report):
        for i, (label, value, is_moxal) in enumerate(p["bars"]):
            name = f"**{label}**" if is_moxal else label
            lines.append(f"| {p['title'] if i == 0 else ''} | {name} | "
                         f"{_number(value, p['unit'])} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("report", help="the JSON file bench.py --json wrote")
    ap.add_argument("-o", "--output", default=None,
                    help="PNG to write (default: beside the report, chart.png)")
    ap.add_argument("--markdown", action="store_true", help="also print the table of figures")
    ap.add_argument("--note", default="", help="a line to add under the machine and date")
    args = ap.parse_args(argv)
    with open(args.report, encoding="utf-8") as f:
        report = json.load(f)
    out = args.output or os.path.join(os.path.dirname(os.path.abspath(args.report)), "chart.png")
    draw(report, out, args.note)
    print("wrote", out)
    if args.markdown:
        print(markdown(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
