"""Timing, figures, targets and reports for the benchmark script (bench.py).

A section of the benchmark holds figures (timed contenders in milliseconds,
memory in megabytes) and targets, each a ratio between two figures with a
bound. Timings are medians of repeated runs, because the benchmark machines
are small and shared and single runs are noisy. Python's cyclic garbage
collector stays on while the clock runs, as it does for users; garbage left
by the previous run is collected before the clock starts, so that one run's
leftovers are not charged to the next. Every timed call ends with a
collection of the young generation inside the clock: a call that pauses the
collector while it builds its result leaves every new container for the
first collection after it, and that collection is part of what the call
costs its caller.

A moxal method that is not built yet raises NotImplementedError; its figure
is then marked skipped with a note, and the targets that need it print
SKIPPED, so the same script reports more as the methods land.
"""

from __future__ import annotations

import dataclasses
import datetime
import gc
import importlib.metadata
import os
import platform
import sqlite3
import statistics
import subprocess
import time
from typing import Callable

# prepare() runs untimed before every run and returns the callable to time.
Prepare = Callable[[], Callable[[], object]]


@dataclasses.dataclass
class Figure:
    """One measured quantity: its samples and whether it could be measured."""

    label: str
    unit: str  # "ms" for timings, "MB" (10^6 bytes) for memory and sizes
    samples: list[float] = dataclasses.field(default_factory=list)
    status: str = "ok"  # "ok", "skipped" (method not built yet) or "error"
    note: str = ""

    @property
    def median(self) -> float | None:
        if self.status != "ok" or not self.samples:
            return None
        return statistics.median(self.samples)

    def as_json(self) -> dict:
        return {"label": self.label, "unit": self.unit, "median": self.median,
                "samples": self.samples, "status": self.status, "note": self.note}


@dataclasses.dataclass
class Target:
    """A goal stated as `value op bound`, where value = numerator / denominator.

    For "moxal is N times faster than a peer" the numerator is the peer's
    time and the denominator moxal's; for "moxal takes at most N times the
    reference" it is the other way round.
    """

    text: str
    numerator: str  # figure keys within the section
    denominator: str  # "" for a bound in the numerator's own unit
    op: str  # ">=" or "<="
    bound: float
    status: str = "SKIPPED"
    value: float | None = None
    detail: str = ""

    def evaluate(self, figures: dict[str, Figure]) -> None:
        num = figures.get(self.numerator)
        den = figures.get(self.denominator) if self.denominator else None
        for fig in (num, den) if self.denominator else (num,):
            if fig is None or fig.status == "skipped":
                self.status, self.detail = "SKIPPED", _why_missing(fig)
                return
            if fig.status == "error":
                self.status, self.detail = "FAIL", f"{fig.label} raised: {fig.note}"
                return
        if den is None:  # a bound in the figure's own unit
            self.value = num.median
            met = self.value >= self.bound if self.op == ">=" else self.value <= self.bound
            self.status = "PASS" if met else "FAIL"
            self.detail = (f"{num.label} {num.median:,.1f} {num.unit}; "
                           f"needs {self.op} {self.bound:.3g} {num.unit}")
            return
        self.value = num.median / den.median
        met = self.value >= self.bound if self.op == ">=" else self.value <= self.bound
        self.status = "PASS" if met else "FAIL"
        self.detail = (f"{self.value:.2f}x ({num.label} {num.median:,.1f} {num.unit}"
                       f" / {den.label} {den.median:,.1f} {den.unit}; "
                       f"needs {self.op} {self.bound:.3g})")

    def as_json(self) -> dict:
        return {"text": self.text, "status": self.status, "value": self.value,
                "op": self.op, "bound": self.bound, "numerator": self.numerator,
                "denominator": self.denominator, "detail": self.detail}


def _why_missing(fig: Figure | None) -> str:
    if fig is None:
        return "figure not measured"
    return f"{fig.label}: {fig.note}"


def time_runs(prepare: Prepare, repeat: int, warmup: int) -> list[float]:
    """Milliseconds of each timed run (warm-up runs are not kept), each
    including the young-generation collection that follows the call.

    The callable's result is dropped only after the clock stops, so freeing
    a large result is not charged to the contender that built it.
    """
    samples = []
    for i in range(warmup + repeat):
        fn = prepare()
        gc.collect()
        start = time.perf_counter_ns()
        result = fn()
        gc.collect(0)
        elapsed = time.perf_counter_ns() - start
        del result, fn
        if i >= warmup:
            samples.append(elapsed / 1e6)
    return samples


class Section:
    """One section of the benchmark: its figures, facts and targets."""

    def __init__(self, name: str, title: str, repeat: int, warmup: int):
        self.name, self.title = name, title
        self.repeat, self.warmup = repeat, warmup
        self.figures: dict[str, Figure] = {}
        self.facts: dict[str, object] = {}  # measured side facts (shares, sizes)
        self.targets: list[Target] = []
        self.errors: list[str] = []  # moxal errors and failed result checks

    def peer(self, key: str, label: str, prepare: Prepare) -> Figure:
        """Times a peer; its failures stop the script, as they are bench bugs."""
        fig = Figure(label, "ms", time_runs(prepare, self.repeat, self.warmup))
        self.figures[key] = fig
        return fig

    def moxal(self, key: str, label: str, prepare: Prepare) -> Figure:
        """Times a moxal operation; a method not built yet skips the figure."""
        fig = Figure(label, "ms")
        try:
            fig.samples = time_runs(prepare, self.repeat, self.warmup)
        except NotImplementedError as e:
            fig.status, fig.note = "skipped", f"NotImplementedError: {e}"
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as e:  # noqa: BLE001 - moxal raises internal failures as one
            fig.status, fig.note = "error", f"{type(e).__name__}: {e}"
            self.errors.append(f"{label}: {fig.note}")
        self.figures[key] = fig
        return fig

    def value(self, key: str, label: str, unit: str, value: float | None,
              status: str = "ok", note: str = "") -> Figure:
        """Records a figure measured outside time_runs (memory, sizes); a
        value of None comes with the status "skipped" or "error" and a note."""
        fig = Figure(label, unit, [value] if value is not None else [], status, note)
        if status == "error":
            self.errors.append(f"{label}: {note}")
        self.figures[key] = fig
        return fig

    def faster(self, text: str, moxal_key: str, peer_key: str, factor: float) -> None:
        """Target: the peer takes at least `factor` times moxal's time."""
        self.targets.append(Target(text, peer_key, moxal_key, ">=", factor))

    def at_most(self, text: str, moxal_key: str, ref_key: str, factor: float) -> None:
        """Target: moxal's figure is at most `factor` times the reference."""
        self.targets.append(Target(text, moxal_key, ref_key, "<=", factor))

    def higher(self, text: str, key: str, other_key: str, factor: float) -> None:
        """Target: a rate (more is better) at least `factor` times another's."""
        self.targets.append(Target(text, key, other_key, ">=", factor))

    def below(self, text: str, key: str, bound: float) -> None:
        """Target: the figure's median is at most `bound`, in its own unit."""
        self.targets.append(Target(text, key, "", "<=", bound))

    def check(self, what: str, ok: bool, detail: str = "") -> None:
        """Records a result check (do the contenders agree?)."""
        self.facts[f"check: {what}"] = "ok" if ok else f"FAILED {detail}".strip()
        if not ok:
            self.errors.append(f"check failed: {what} {detail}".strip())

    def evaluate(self) -> None:
        for target in self.targets:
            target.evaluate(self.figures)

    def render(self) -> str:
        """The section's table, facts and target lines, as printed."""
        lines = [f"== {self.name}: {self.title} =="]
        width = max([len(f.label) for f in self.figures.values()] + [10])
        lines.append(f"  {'contender':<{width}}  {'median':>10}  {'min':>10}  {'max':>10}")
        for fig in self.figures.values():
            lines.append("  " + _row(fig, width))
        for name, fact in self.facts.items():
            lines.append(f"  {name}: {fact}")
        for target in self.targets:
            lines.append(f"  {target.status:<7}  {target.text}: {target.detail}")
        return "\n".join(lines)

    def as_json(self) -> dict:
        return {"title": self.title,
                "figures": {k: f.as_json() for k, f in self.figures.items()},
                "facts": self.facts,
                "targets": [t.as_json() for t in self.targets],
                "errors": self.errors}


def _row(fig: Figure, width: int) -> str:
    if fig.status != "ok":
        return f"{fig.label:<{width}}  {fig.status.upper():>10}  {fig.note}"
    cells = [f"{v:,.1f} {fig.unit}" for v in (fig.median, min(fig.samples), max(fig.samples))]
    return f"{fig.label:<{width}}  " + "  ".join(f"{c:>10}" for c in cells)


def machine_info(repo: str) -> dict:
    """What the figures were measured on, for comparing saved reports."""
    return {
        "cpu": _cpu_model(),
        "cores": os.cpu_count(),
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "platform": platform.platform(),
        "sqlite": sqlite3.sqlite_version,
        "versions": {name: _version(name) for name in ("moxal", "orjson", "tinydb")},
        "commit": _git_commit(repo),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
    }


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _version(dist: str) -> str | None:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return None


def _git_commit(repo: str) -> str | None:
    try:
        out = subprocess.run(["git", "-C", repo, "describe", "--always", "--dirty"],
                             capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
