"""Scale: moxal over a large collection (1,000,000 generated documents, about
216 MB of JSON), the time and memory of each step, and whether memory grows
in proportion to the data.

    python bench/scale.py                       # 100,000 then 1,000,000 documents
    python bench/scale.py --counts 100000       # the quick sanity run
    python bench/scale.py --json bench/results/scale.json

For each size a fresh worker process opens the collection, finds every
document, finds with a selective query (address.city == 'Lyon', about 1%)
and a range query (age > T, about 15%), looks three documents up by `_id`
(the first lookup scans, the second builds the index, whose memory is what
that step retains, the third uses it), updates `score += 1` where age > T,
and writes the collection; a second fresh process reopens the written file
and checks it holds the update. The data comes from generate.py (the same
file bench.py uses, bench/data/nCOUNT/users.json); the written copy goes to
bench/data/scale-scratch/ and is removed at the end.

For each step the worker records the time (the young-generation collection
that follows the call included), the resident set size before and
after (a find's result is still alive at "after"), and the peak resident set
size during the step: the kernel's high-water mark (VmHWM), reset just before
the step through /proc/self/clear_refs. "retained" is after minus before,
"extra peak" is the peak minus before. The last table divides the sizes'
figures per document: for memory proportional to the data, the ratios of the
large run to the small one stay near 1.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
CITY = "Lyon"
RANGE_SHARE = 0.15
MB = 1_000_000  # figures in MB of 10^6 bytes


# ---------------------------------------------------------------- the worker

def memory_status() -> dict[str, int]:
    """VmRSS and VmHWM of this process, in bytes."""
    with open("/proc/self/status") as f:
        found = re.findall(r"^(VmRSS|VmHWM):\s+(\d+) kB", f.read(), re.M)
    return {k: int(v) * 1024 for k, v in found}


def reset_peak() -> bool:
    """Resets VmHWM to the current VmRSS; False where the kernel refuses."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def measure(steps: list, name: str, call):
    """Runs call() as one step; appends its figures; returns its result,
    which the caller keeps alive until it drops it."""
    gc.collect()
    before = memory_status()["VmRSS"]
    reset = reset_peak()
    start = time.perf_counter()
    result = call()
    gc.collect(0)  # the young collection a call leaves behind is part of its cost
    seconds = time.perf_counter() - start
    status = memory_status()
    steps.append({"step": name, "seconds": seconds, "rss_before": before,
                  "rss_after": status["VmRSS"], "peak": status["VmHWM"],
                  "peak_since_start": not reset})
    return result


def worker(directory: str, threshold: int, out_path: str) -> None:
    """Open, find, update and write; the figures go to out_path as JSON
    (stdout carries update's trace lines)."""
    import moxal
    steps: list = []
    db = measure(steps, "open", lambda: moxal.Moxal(directory))
    every = measure(steps, "find all", lambda: db.find("users"))
    count = len(every)
    ids = [every[i]["_id"] for i in (count // 3, count // 2, 2 * count // 3)]
    del every
    city = measure(steps, "find selective", lambda: db.find("users", {"address.city": CITY}))
    db.clear_cache()
    older = measure(steps, "find range", lambda: db.find("users", {"age": {"$gt": threshold}}))
    checks = {"count": count, "selective": len(city), "range": len(older),
              "range_score_sum": sum(d["score"] for d in older)}
    del city, older
    # Lookups by a unique field: the first scans, the second builds the
    # index (its memory is what the step retains), the third uses it.
    found = [measure(steps, step, lambda v=v: db.find("users", {"_id": v}))
             for step, v in zip(("lookup, scan", "lookup, build", "lookup, indexed"), ids)]
    checks["lookups"] = all(len(f) == 1 and f[0]["_id"] == v for f, v in zip(found, ids))
    del found
    measure(steps, "update", lambda: db.update("users", {"score": {"$add": 1}},
                                               {"age": {"$gt": threshold}}))
    measure(steps, "write", lambda: db.write("users"))
    with open(out_path, "w") as f:
        json.dump({"steps": steps, "checks": checks}, f)


def reopen_worker(directory: str, threshold: int, out_path: str) -> None:
    """Reopens the written collection; checks the update reached the file."""
    import moxal
    steps: list = []
    db = measure(steps, "reopen", lambda: moxal.Moxal(directory))
    older = db.find("users", {"age": {"$gt": threshold}})
    checks = {"count": len(db.find("users")), "range": len(older),
              "range_score_sum": sum(d["score"] for d in older)}
    with open(out_path, "w") as f:
        json.dump({"steps": steps, "checks": checks}, f)


# ---------------------------------------------------------------- the driver

def prepare(data_root: str, count: int) -> tuple[str, int]:
    """Makes bench/data/nCOUNT/users.json match the generator (as bench.py
    does) and returns its directory and the range query's threshold."""
    sys.path.insert(0, BENCH_DIR)
    import generate
    docs = generate.documents(count)
    ages = sorted(d["age"] for d in docs)
    # The smallest T with at most RANGE_SHARE of the ages above it.
    threshold = ages[min(len(ages) - 1, int(len(ages) * (1 - RANGE_SHARE)))]
    directory = os.path.join(data_root, f"n{count}")
    path = os.path.join(directory, "users.json")
    text = generate.compact(docs)
    del docs
    try:
        with open(path, "rb") as f:
            same = f.read() == text
    except FileNotFoundError:
        same = False
    if not same:
        os.makedirs(directory, exist_ok=True)
        with open(path, "wb") as f:
            f.write(text)
    return directory, threshold


def run_worker(mode: str, directory: str, threshold: int, out_path: str) -> dict:
    subprocess.run([sys.executable, os.path.abspath(__file__), mode, directory,
                    str(threshold), out_path], check=True, stdout=subprocess.DEVNULL)
    with open(out_path) as f:
        return json.load(f)


def run_size(data_root: str, count: int) -> dict:
    # Generating takes gigabytes for a million documents: a process of its own
    # gives them back before the workers start.
    prepared = subprocess.run([sys.executable, os.path.abspath(__file__), "--prepare",
                               data_root, str(count)], check=True, capture_output=True,
                              text=True).stdout.split()
    source, threshold = prepared[0], int(prepared[1])
    scratch = os.path.join(data_root, "scale-scratch")
    shutil.rmtree(scratch, ignore_errors=True)
    db_dir = os.path.join(scratch, "db")
    os.makedirs(db_dir)
    shutil.copyfile(os.path.join(source, "users.json"), os.path.join(db_dir, "users.json"))
    try:
        first = run_worker("--worker", db_dir, threshold, os.path.join(scratch, "a.json"))
        second = run_worker("--reopen", db_dir, threshold, os.path.join(scratch, "b.json"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    a, b = first["checks"], second["checks"]
    ok = (a["count"] == b["count"] == count and a["range"] == b["range"] and a["lookups"]
          and abs(b["range_score_sum"] - a["range_score_sum"] - a["range"]) < 1e-6 * count)
    return {"count": count, "file_bytes": os.path.getsize(os.path.join(source, "users.json")),
            "threshold": threshold, "steps": first["steps"] + second["steps"],
            "checks": {"first": a, "reopened": b, "update_written": ok}}


def render(run: dict) -> str:
    lines = [f"{run['count']:,} documents, {run['file_bytes'] / MB:.1f} MB of JSON "
             f"(selective: {run['checks']['first']['selective']:,} found, "
             f"age > {run['threshold']}: {run['checks']['first']['range']:,} found)",
             f"  {'step':<16}{'time s':>9}{'RSS before':>12}{'RSS after':>12}"
             f"{'peak RSS':>12}{'retained':>11}{'extra peak':>12}   (MB)"]
    for s in run["steps"]:
        lines.append(f"  {s['step']:<16}{s['seconds']:>9.3f}{s['rss_before'] / MB:>12.1f}"
                     f"{s['rss_after'] / MB:>12.1f}{s['peak'] / MB:>12.1f}"
                     f"{(s['rss_after'] - s['rss_before']) / MB:>11.1f}"
                     f"{(s['peak'] - s['rss_before']) / MB:>12.1f}"
                     + ("  (peak since start)" if s["peak_since_start"] else ""))
    lines.append(f"  check: update written and read back: "
                 f"{'ok' if run['checks']['update_written'] else 'FAILED'}")
    return "\n".join(lines)


def per_document(runs: list[dict]) -> str:
    """Retained and extra-peak bytes, and time, per document, for each size;
    then the ratio of the largest size to the smallest."""
    small, large = runs[0], runs[-1]
    lines = ["per document: " + " | ".join(
        f"{r['count']:,}: retained B, extra peak B, time us" for r in runs)
        + (f" | ratio {large['count']:,}/{small['count']:,}" if len(runs) > 1 else "")]
    for i, step in enumerate(small["steps"]):
        cells, per = [], []
        for r in runs:
            s = r["steps"][i]
            retained = (s["rss_after"] - s["rss_before"]) / r["count"]
            extra = (s["peak"] - s["rss_before"]) / r["count"]
            micros = s["seconds"] / r["count"] * 1e6
            per.append((retained, extra, micros))
            cells.append(f"{retained:8.1f} {extra:8.1f} {micros:7.2f}")
        row = f"  {step['step']:<16}" + " | ".join(cells)
        if len(runs) > 1:
            # Memory below 10 bytes per document is noise; times always count.
            row += " | " + " ".join(_ratio(per[-1][k], per[0][k], 10 if k < 2 else 0)
                                    for k in range(3))
        lines.append(row)
    return "\n".join(lines)


def _ratio(big: float, small: float, floor: float) -> str:
    return f"{big / small:5.2f}" if small > floor else "    -"


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--prepare":
        print(*prepare(sys.argv[2], int(sys.argv[3])))
        return
    if len(sys.argv) == 5 and sys.argv[1] in ("--worker", "--reopen"):
        (worker if sys.argv[1] == "--worker" else reopen_worker)(
            sys.argv[2], int(sys.argv[3]), sys.argv[4])
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--counts", default="100000,1000000",
                    help="comma-separated sizes, smallest first (default 100000,1000000)")
    ap.add_argument("--data-dir", default=os.path.join(BENCH_DIR, "data"))
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()
    runs = []
    for count in (int(c) for c in args.counts.split(",")):
        runs.append(run_size(args.data_dir, count))
        print(render(runs[-1]), flush=True)
    print(per_document(runs))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(runs, f, indent=1)
    sys.exit(0 if all(r["checks"]["update_written"] for r in runs) else 1)


if __name__ == "__main__":
    main()
