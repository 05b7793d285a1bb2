"""Power cuts of a directory opened with journal="always".

A child process opens the directory with the journal at the level that
syncs every change, under the fault shim with its power-cut recorder on
(tests/faults/shim.c, MOXAL_POWER_DIR), and makes changes of every kind,
reporting each on a pipe before the call ("B", with the change) and once
the call has returned ("A"). After the child dies, the parent builds from
what the recorder kept (tests/faults/power.py) what a power cut at that
moment could have left: the strict image (only what was synced), images
where part of what was not synced reached the device too (a torn tail,
zeroed blocks, blocks rewritten in place), and one where every change of
names did. Each image must open with journal="always" and hold exactly the
acknowledged changes applied in order, plus any of the changes in flight
(begun, not acknowledged), each whole or not at all.

Expected states come from replaying the changes on a Moxal without the
journal, never from a model of what they do.

Two ways of choosing the moment:

- Random cuts: several threads make random changes, with a write_all now
  and then, and the parent kills the child with SIGKILL at a random moment.
  The threads change disjoint sets of collections, so changes of different
  threads commute and the order of the acknowledgements is an order the
  changes can be applied in; drop_all, which touches every collection, runs
  while no other change does. The next child continues on one of the
  images, so later cuts open journals that earlier cuts tore. The pytest
  suite runs MOXAL_POWER_CUTS cuts (6 by default, a few seconds); the long
  run is one command:

      python tests/test_journal_power.py --cuts 300

  (options: --threads N, --seed S, --max-delay SECONDS, --dir DIR to keep
  everything there, --stop-at-failure to stop at the first failing cut and
  keep its files). It prints how the cuts landed and what was checked, and
  exits with status 1 when any image failed.

- Cuts at every sync: one thread makes a fixed sequence of changes, and the
  child is cut just before its first sync, then (in a new run) before its
  second, and so on, and once after it closed the database.

Known faults of moxal that an image may show are named in KNOWN_ISSUES: the
random and swept cuts count an image explained by one of them apart, and
the test that reproduces each is expected to fail while it is listed.
Remove an entry once the fault is fixed.
"""

import argparse
import collections
import contextlib
import itertools
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

import pytest

import moxal

HERE = os.path.dirname(os.path.abspath(__file__))
CHILD = os.path.join(HERE, "faults", "power_child.py")
sys.path.insert(0, os.path.join(HERE, "faults"))
from power import Recording, compile_shim, preload_env  # noqa: E402
from power_child import (  # noqa: E402
    SCENARIOS,
    apply_change,
    names_dropped,
    names_made,
    state_of,
    universe,
)

# Faults of moxal that an image may show, by name: what each looks like.
# Empty while none is known; see the module's docstring.
KNOWN_ISSUES = {}


# ---- children ----

def start_child(mode, spec, shim, watched, shadow, kill_at=None, stderr=None):
    """Starts tests/faults/power_child.py in `mode`, recording `watched`
    into `shadow`; returns it and the file of its reports."""
    read_fd, write_fd = os.pipe()
    proc = subprocess.Popen(
        [sys.executable, CHILD, mode, json.dumps(spec), str(write_fd)],
        pass_fds=(write_fd,), stdout=subprocess.DEVNULL,  # update prints trace lines
        stderr=stderr, env=preload_env(shim, watched, shadow, kill_at))
    os.close(write_fd)
    return proc, os.fdopen(read_fd, "r")


def parse_reports(lines):
    """(acknowledged changes in order, changes in flight, child errors)."""
    begun, acked, errors = {}, [], []
    for line in lines:
        tag, _, rest = line.partition(" ")
        if tag == "B":
            cid, _, change = rest.partition(" ")
            begun[cid] = json.loads(change)
        elif tag == "A":
            acked.append(begun.pop(rest))
        elif tag == "E":
            errors.append(rest)
    return acked, list(begun.values()), errors


# ---- checking images ----

@contextlib.contextmanager
def trace_lines_dropped():
    """Sends descriptor 1 (update's trace lines) to /dev/null meanwhile;
    for the parent's replays, which run on one thread."""
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


class Expected:
    """The states that replays of changes on a Moxal without the journal
    give, from a starting state."""

    def __init__(self, start, names, scratch):
        self.start = start
        self.names = names
        self.scratch = scratch
        self.cache = {}

    def state(self, changes):
        key = json.dumps(changes)
        if key not in self.cache:
            d = tempfile.mkdtemp(dir=self.scratch)
            try:
                # Never empty, so drop_all never removes it.
                open(os.path.join(d, "keep.txt"), "w").close()
                db = moxal.Moxal(d)
                with trace_lines_dropped():
                    for name, docs in sorted(self.start.items()):
                        if docs is not None:
                            db.create_collection(name)
                            if docs:
                                db.insert_many(name, docs)
                    for i, change in enumerate(changes):
                        apply_change(db, change, os.path.join(d, "change%d.json" % i))
                self.cache[key] = state_of(db, self.names)
                del db
            finally:
                shutil.rmtree(d)
        return self.cache[key]

    def explain(self, found, files, acked, in_flight):
        """How `found` comes from the changes: (the in-flight changes applied,
        as indices; {name: known issue} for the names that only a known
        issue explains), or None. `files` holds what the image's collection
        files held before it was opened."""
        dropped = set()
        for change in acked + in_flight:
            names = names_dropped(change)
            dropped |= set(self.names) if names is None else names
        best = None
        for size in range(len(in_flight) + 1):
            for subset in itertools.combinations(range(len(in_flight)), size):
                want = self.state(acked + [in_flight[i] for i in subset])
                known = {}
                for name in self.names:
                    if found[name] == want[name]:
                        continue
                    if (want[name] is None and name in dropped and name in files
                            and files[name] == found[name]):
                        known[name] = "dropped-file-returns"
                    elif (want[name] is None and found[name] == [] and
                          any(name in names_made(c) for c in in_flight)):
                        known[name] = "created-without-record"
                    else:
                        break
                else:
                    if not known:
                        return subset, {}
                    best = best or (subset, known)
        return best


def collection_files(image, names):
    """What the image's collection files hold, read as JSON (None for a
    file that does not read)."""
    files = {}
    for name in names:
        try:
            with open(os.path.join(image, name + ".json"), "rb") as f:
                files[name] = json.loads(f.read())
        except FileNotFoundError:
            pass
        except ValueError:
            files[name] = None
    return files


VARIANTS = [  # (name, keyword arguments of Recording.image)
    ("synced", {}),
    ("torn", {"torn": True}),
    ("holes", {"torn": True, "holes": True}),
    ("names-now", {"names": "now", "torn": True}),
]


def check_image(recording, image, seed, kwargs, watched, expected, acked, in_flight):
    """Builds one image and checks it; returns what was found."""
    files = recording.image(image, random.Random(seed), watched=watched, **kwargs)
    result = {"unsynced_bytes": any(recording.unsynced(key) and
                                    data != recording.durable_content(key)[1]
                                    for key, data in files.values())}
    collections_before = collection_files(image, expected.names)
    try:
        db = moxal.Moxal(image, journal="always")
        found = state_of(db, expected.names)
        del db
    except BaseException as e:  # noqa: BLE001 - PanicException too
        result["open_error"] = "%s: %s" % (type(e).__name__, e)
        return result
    explained = expected.explain(found, collections_before, acked, in_flight)
    if explained is None:
        want = expected.state(acked)
        result["differs"] = {n: {"found": found[n], "acked_only": want[n]}
                             for n in expected.names if found[n] != want[n]}
        return result
    result["in_flight_applied"], result["known"] = len(explained[0]), explained[1]
    result["found"] = found
    return result


class Tally:
    def __init__(self):
        self.cuts = 0
        self.images = 0
        self.acked = 0              # acknowledged changes made before a cut
        self.acked_checked = 0      # ... times the images each was checked in
        self.in_flight = 0
        self.in_flight_applied = collections.Counter()  # variant -> found applied
        self.during_write_all = 0
        self.unsynced_images = 0    # images holding bytes that were never synced
        self.kinds = collections.Counter()
        self.known = collections.Counter()  # known issue -> images it explained
        self.known_examples = []
        self.failures = []

    def add(self, cut, variant, acked, in_flight, result):
        self.images += 1
        self.unsynced_images += result["unsynced_bytes"]
        if "found" not in result:
            self.failures.append(dict(result, cut=cut, variant=variant, acked=len(acked),
                                      in_flight=in_flight))
            return False
        self.acked_checked += len(acked)
        self.in_flight_applied[variant] += result["in_flight_applied"]
        for issue in set(result["known"].values()):
            self.known[issue] += 1
        if result["known"] and len(self.known_examples) < 5:
            self.known_examples.append({"cut": cut, "variant": variant, "names": result["known"],
                                        "in_flight": in_flight})
        return True

    def summary(self):
        return {"cuts": self.cuts, "images": self.images, "acked": self.acked,
                "acked_checked": self.acked_checked, "in_flight": self.in_flight,
                "in_flight_applied": dict(self.in_flight_applied),
                "cuts_during_write_all": self.during_write_all,
                "images_with_unsynced_bytes": self.unsynced_images,
                "changes_by_kind": dict(self.kinds),
                "known_issues": dict(self.known), "known_examples": self.known_examples,
                "failures": self.failures[:10], "failure_count": len(self.failures)}


# ---- random cuts ----

class Run:
    """Cuts in a chain, each child continuing on an image of the last cut."""

    def __init__(self, base, shim, threads, rng, max_delay, stop_at_failure=False):
        self.base = base
        self.shim = shim
        self.threads = threads
        self.rng = rng
        self.max_delay = max_delay
        self.stop_at_failure = stop_at_failure
        self.stopped = False
        self.names = universe(threads)
        self.tally = Tally()
        self.round = 0
        self.start = {n: None for n in self.names}
        self.dir = self.fresh_dir(0)

    def fresh_dir(self, r):
        d = os.path.join(self.base, "db%d" % r)
        os.mkdir(d)
        return d

    def cut(self):
        r = self.round
        shadow = os.path.join(self.base, "power%d" % r)
        scratch = os.path.join(self.base, "scratch%d" % r)
        os.mkdir(shadow)
        os.mkdir(scratch)
        spec = {"dir": self.dir, "threads": self.threads, "seed": self.rng.randrange(1 << 60),
                "scratch": scratch, "write_every": self.rng.randint(8, 40),
                "avoid": sorted(KNOWN_ISSUES)}
        err_path = os.path.join(self.base, "child%d.err" % r)
        with open(err_path, "wb") as err:
            proc, reports = start_child("random", spec, self.shim, self.dir, shadow,
                                        stderr=err)
        first = reports.readline()
        if first != "ready\n":
            proc.kill()
            proc.wait()
            with open(err_path) as f:
                raise RuntimeError("child failed to start: %r %s" % (first, f.read()[-3000:]))
        time.sleep(self.rng.uniform(0, self.max_delay))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        lines = reports.read().splitlines()
        reports.close()
        self.check(r, lines, shadow, scratch)
        self.round += 1

    def check(self, r, lines, shadow, scratch):
        t = self.tally
        t.cuts += 1
        acked, in_flight, errors = parse_reports(lines)
        if errors:
            t.failures.append({"cut": r, "child_error": errors[0]})
        if [line for line in lines if line in ("W", "w")][-1:] == ["W"]:
            t.during_write_all += 1
        t.acked += len(acked)
        t.in_flight += len(in_flight)
        t.kinds.update(c[0] for c in acked)
        expected = Expected(self.start, self.names, scratch)
        recording = Recording(shadow)
        chosen = self.rng.randrange(len(VARIANTS))
        seeds = [self.rng.randrange(1 << 60) for _ in VARIANTS]
        passed = {}
        for i, (variant, kwargs) in enumerate(VARIANTS):
            image = os.path.join(self.base, "img%d-%s" % (r, variant))
            result = check_image(recording, image, seeds[i], kwargs, self.dir, expected, acked,
                                 in_flight)
            result["image_seed"] = seeds[i]
            if t.add(r, variant, acked, in_flight, result):
                passed[variant] = (i, result["found"], bool(result["known"]))
        if self.stop_at_failure and t.failures:
            # Everything stays for a look: the recording builds the images
            # again (python tests/faults/power.py SHADOW DEST ... --seed S).
            with open(os.path.join(self.base, "changes%d.json" % r), "w") as f:
                json.dump({"start": self.start, "acked": acked, "in_flight": in_flight,
                           "watched": self.dir, "shadow": shadow}, f)
            self.stopped = True
            return
        # The next child goes on from an image that passed (one without a
        # known issue if any), built again.
        clean = [v for v, _ in VARIANTS if v in passed and not passed[v][2]]
        names = clean or [v for v, _ in VARIANTS if v in passed]
        old_dir = self.dir
        if names:
            i, found, _ = passed[names[chosen % len(names)]]
            self.dir = os.path.join(self.base, "db%d" % (r + 1))
            recording.image(self.dir, random.Random(seeds[i]), watched=old_dir, **VARIANTS[i][1])
            self.start = found
        else:
            self.dir = self.fresh_dir(r + 1)
            self.start = {n: None for n in self.names}
        for d in [shadow, scratch, old_dir] + [
                os.path.join(self.base, "img%d-%s" % (r, v)) for v, _ in VARIANTS]:
            shutil.rmtree(d, ignore_errors=True)


@contextlib.contextmanager
def work_dir(fallback=None):
    """A directory for databases, recordings and images, removed after: in
    memory (/dev/shm) where there is one. The recorder's model of what a
    power cut keeps does not depend on what the file system does with a
    sync, and there a sync costs nothing."""
    parent = "/dev/shm" if os.access("/dev/shm", os.W_OK) else fallback
    d = tempfile.mkdtemp(prefix="moxal-power-", dir=parent)
    try:
        yield d
    finally:
        shutil.rmtree(d, ignore_errors=True)


def with_shim(base, shim):
    if shim is None:
        shim = os.path.join(base, "shim.so")
        problem = compile_shim(shim)
        if problem:
            raise RuntimeError(problem)
    return shim


def run(cuts, threads, seed, max_delay, base=None, shim=None, stop_at_failure=False):
    """Runs `cuts` power cuts (fewer when `stop_at_failure` and one fails);
    returns the tally's summary."""
    with contextlib.ExitStack() as stack:
        if base is None:
            base = stack.enter_context(work_dir())
        os.makedirs(base, exist_ok=True)
        r = Run(base, with_shim(base, shim), threads, random.Random(seed), max_delay,
                stop_at_failure)
        for _ in range(cuts):
            r.cut()
            if r.stopped:
                break
        result = r.tally.summary()
        result.update(seed=seed, threads=threads)
        return result


# ---- cuts at every sync ----

def docs_for(tag, count):
    return [{"k": i, "v": i * 1.5, "s": "%s.%d" % (tag, i), "n": {"x": i}, "tag": "a"}
            for i in range(count)]


# Every kind of change, making and dropping collections, with folds between.
SCRIPT = [
    ["create_collection", "a"],
    ["insert", "a", docs_for("i", 1)[0]],
    ["insert_many", "a", docs_for("m", 3)],
    ["insert", "b", docs_for("b", 1)[0]],
    ["update", "a", {"v": {"$add": 1}}, {"k": {"$lt": 2}}],
    ["delete", "a", {"k": 1}],
    ["write_all"],
    ["insert_many_from_document", "c", docs_for("c", 2)],
    ["load_from_document", {"a": docs_for("l", 2), "d": docs_for("d", 1)[0]}],
    ["drop_collection", "b"],
    ["update", "c", {"tag": {"$delete": None}}, None],
    ["write_all"],
    ["insert", "a", docs_for("j", 1)[0]],
    ["drop_all"],
    ["insert", "e", docs_for("e", 1)[0]],
    ["update", "e", {"s": "set"}, {}],
]


def script_names(script):
    names = set()
    for change in script:
        names |= names_made(change)
        if change[0] in ("create_collection", "update", "delete", "drop_collection"):
            names.add(change[1])
    return sorted(names)


def sweep(script, base, shim, variants=VARIANTS, seed=0):
    """Runs `script` once per sync it makes, cut just before that sync, and
    once to its end; checks every image. Returns the tally's summary."""
    names = script_names(script)
    scratch = os.path.join(base, "scratch")
    os.makedirs(scratch, exist_ok=True)
    expected = Expected({n: None for n in names}, names, scratch)
    tally = Tally()
    rng = random.Random(seed)
    for kill_at in range(1, 10000):
        d, shadow = os.path.join(base, "db%d" % kill_at), os.path.join(base, "power%d" % kill_at)
        os.mkdir(d)
        os.mkdir(shadow)
        spec = {"dir": d, "changes": script, "scratch": scratch}
        proc, reports = start_child("script", spec, shim, d, shadow, kill_at=kill_at,
                                    stderr=subprocess.PIPE)
        lines = reports.read().splitlines()
        reports.close()
        _, err = proc.communicate()
        finished = proc.returncode == 0
        assert finished or proc.returncode == -signal.SIGKILL, err.decode()[-3000:]
        assert lines[:1] == ["ready"] or not finished, lines
        acked, in_flight, errors = parse_reports(lines)
        assert not errors, errors
        tally.cuts += 1
        tally.kinds.update(c[0] for c in acked)
        tally.acked += len(acked)
        tally.in_flight += len(in_flight)
        recording = Recording(shadow)
        for variant, kwargs in variants:
            image = os.path.join(base, "img%d-%s" % (kill_at, variant))
            result = check_image(recording, image, rng.randrange(1 << 60), kwargs, d, expected,
                                 acked, in_flight)
            tally.add(kill_at, variant, acked, in_flight, result)
            shutil.rmtree(image)
        shutil.rmtree(d)
        shutil.rmtree(shadow)
        if finished:
            assert lines[-1] == "closed" and len(acked) == len(script), lines
            break
    return tally.summary()


# ---- pytest ----

@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    lib = str(tmp_path_factory.mktemp("shim") / "shim.so")
    problem = compile_shim(lib)
    if problem and problem.startswith("no C compiler"):
        pytest.skip(problem)
    assert problem is None, problem
    return lib


def test_random_power_cuts_lose_nothing_acknowledged(shim, tmp_path):
    cuts = int(os.environ.get("MOXAL_POWER_CUTS", "6"))
    seed = random.randrange(1 << 30)
    with work_dir(str(tmp_path)) as base:
        result = run(cuts, threads=2, seed=seed, max_delay=0.4, base=base, shim=shim)
    assert result["failure_count"] == 0, result
    assert set(result["known_issues"]) <= set(KNOWN_ISSUES), result
    assert result["cuts"] == cuts and result["images"] == cuts * len(VARIANTS)
    # The cuts came after changes were made, or they prove little.
    assert result["acked"] >= cuts, result


def test_a_cut_before_every_sync(shim, tmp_path):
    with work_dir(str(tmp_path)) as base:
        result = sweep(SCRIPT, base, shim)
    assert result["failure_count"] == 0, result
    assert set(result["known_issues"]) <= set(KNOWN_ISSUES), result
    # Every change syncs at least once: a cut lands before each.
    assert result["cuts"] > len(SCRIPT), result
    assert result["images_with_unsynced_bytes"] > 0, result


def known(issue):
    return pytest.mark.xfail(issue in KNOWN_ISSUES, strict=True, raises=AssertionError,
                             reason=KNOWN_ISSUES.get(issue, ""))


@pytest.mark.parametrize("script, issue", [
    pytest.param([["insert", "c", {"a": 1}], ["drop_collection", "c"]], "dropped-file-returns",
                 marks=known("dropped-file-returns"), id="drop_collection"),
    pytest.param([["insert", "c", {"a": 1}], ["drop_all"]], "dropped-file-returns",
                 marks=known("dropped-file-returns"), id="drop_all"),
    pytest.param([["insert", "c", {"a": 1}]], "created-without-record",
                 marks=known("created-without-record"), id="insert"),
    pytest.param([["load_from_document", {"c": [{"a": 1}]}]], "created-without-record",
                 marks=known("created-without-record"), id="load_from_document"),
])
def test_known_issue_reproduced(shim, tmp_path, script, issue):
    """The smallest sequences that show each known issue, cut before every
    sync (only the strict image): every image must hold the acknowledged
    changes, and the one in flight whole or not at all."""
    with work_dir(str(tmp_path)) as base:
        result = sweep(script, base, shim, variants=VARIANTS[:1])
    assert result["failure_count"] == 0, result
    assert result["known_issues"] == {}, result["known_examples"]


@known("create-cancels-fold")
def test_create_collection_during_a_fold_keeps_the_collections_changes(tmp_path):
    """No power cut needed: a create_collection of a collection that exists,
    made while write_all folds the journal, must leave its changes alone.
    The fold of a large collection keeps the fold running while another
    thread calls create_collection in a loop; then a delete whose record
    names positions in the collection. Reopened, the directory must hold
    every change (it loses the inserts, or does not open, while the fault
    is there). A few rounds, in case one fold is too quick to be met."""
    for round_ in range(3):
        d = str(tmp_path / ("db%d" % round_))
        db = moxal.Moxal(d, journal="always")
        db.insert_many("big", [{"i": i, "pad": "x" * 40} for i in range(20000)])
        db.insert_many("c", [{"a": 1}, {"a": 2}, {"a": 3}])
        folding = threading.Event()
        calls = []

        def creator(db, folding, calls):
            folding.wait()
            while folding.is_set():
                db.create_collection("c")  # exists: changes nothing
                calls.append(1)

        thread = threading.Thread(target=creator, args=(db, folding, calls))
        thread.start()
        folding.set()
        db.write_all()
        folding.clear()
        thread.join()
        assert db.delete("c", {"a": 3}) == 1
        del db
        assert calls
        try:
            reopened = moxal.Moxal(d, journal="always")
            error = None
        except ValueError as e:
            error = str(e)
        assert error is None, error
        assert reopened.find("c") == [{"a": 1}, {"a": 2}]
        assert len(reopened.find("big")) == 20000
        del reopened


# ---- the recorder itself ----

BASE = b"base content"  # the file "a", there when recording starts

# What the strict image of each scenario of power_child.py holds (the
# "threads" scenario is checked otherwise).
STRICT_IMAGES = {
    "append-unsynced": {"a": BASE + b"x" * 5000},
    "new-files": {"a": BASE, "named": b""},
    "rename-without-directory-sync": {"a": BASE},
    "rename-with-directory-sync": {"a": b"new"},
    "anonymous-file-put-in-place": {"a": BASE, "c.json": b"[1,2]"},
    "unlink-without-directory-sync": {"a": BASE},
    "unlink-with-directory-sync": {},
    "hard-link": {"a": BASE + b"+more", "b": BASE + b"+more"},
    "rewrite-in-place": {"a": BASE},
    "truncate": {"a": BASE},
}


def read_tree(d):
    out = {}
    for name in sorted(os.listdir(d)):
        with open(os.path.join(d, name), "rb") as f:
            out[name] = f.read()
    return out


def record_scenario(shim, base, scenario, kill_at=None):
    """Runs the scenario in a child that records (cut before its sync
    `kill_at`, if given); returns the directory, as the child left it, and
    the recording."""
    d, shadow = os.path.join(base, "dir"), os.path.join(base, "shadow")
    os.makedirs(d)
    os.makedirs(shadow)
    with open(os.path.join(d, "a"), "wb") as f:
        f.write(BASE)
    spec = {"dir": d, "scenario": scenario}
    proc, reports = start_child("recorder", spec, shim, d, shadow, kill_at=kill_at,
                                stderr=subprocess.PIPE)
    reports.close()
    _, err = proc.communicate()
    assert proc.returncode == -signal.SIGKILL, err.decode()
    return d, Recording(shadow)


@pytest.mark.parametrize("scenario", sorted(set(SCENARIOS) - {"threads"}))
def test_the_recorder_keeps_only_what_was_synced(shim, tmp_path, scenario):
    d, recording = record_scenario(shim, str(tmp_path), scenario)
    latest = read_tree(d)  # read before any image rewrites the inodes
    strict = str(tmp_path / "strict")
    files = recording.image(strict)
    assert read_tree(strict) == STRICT_IMAGES[scenario]
    # The image's files are the inodes the process wrote (those the names
    # still have, where they kept them), with the times they had when last
    # synced.
    now = {name: os.stat(os.path.join(d, name)).st_ino for name in latest}
    renamed = {"rename-without-directory-sync": "a"}.get(scenario)
    for name, (key, _) in files.items():
        st = os.stat(os.path.join(strict, name))
        assert (st.st_dev, st.st_ino) == key
        assert (now.get(name) == st.st_ino) == (name in now and name != renamed)
        assert st.st_mtime_ns == recording.durable_content(key)[0]
    # Harsher images: each byte is what was synced or what was written
    # later (zeros too, past the synced end); the names as synced or as the
    # process left them.
    rng = random.Random(1)
    for i in range(24):
        image = str(tmp_path / ("harsh%d" % i))
        now = i % 2 == 1
        files = recording.image(image, rng, torn=True, holes=i % 4 >= 2,
                                names="now" if now else "synced", watched=d)
        assert set(files) == set(latest if now else STRICT_IMAGES[scenario])
        for key, data in files.values():
            durable = recording.durable_content(key)[1]
            newest = recording.current[key][1]
            assert len(durable) <= len(data) <= max(len(durable), len(newest))
            for at, byte in enumerate(data):
                assert byte in (durable[at:at + 1] + newest[at:at + 1] +
                                (b"\0" if at >= len(durable) else b""))
        shutil.rmtree(image)


def test_harsher_images_keep_unsynced_bytes(shim, tmp_path):
    """Not every harsher image is the strict one: they do hold bytes that
    were never synced, and zeros."""
    d, recording = record_scenario(shim, str(tmp_path), "append-unsynced")
    seen = set()
    rng = random.Random(2)
    for i in range(30):
        image = str(tmp_path / ("img%d" % i))
        files = recording.image(image, rng, torn=True, holes=True)
        tail = files["a"][1][len(BASE) + 5000:]
        seen.update({b"y": "written", b"\0": "zeros"}[bytes([b])] for b in set(tail))
        seen.add("whole" if len(tail) == 9000 else "prefix" if tail else "none")
        shutil.rmtree(image)
    assert seen == {"written", "zeros", "whole", "prefix", "none"}


def test_the_recorder_keeps_every_sync_of_several_threads(shim, tmp_path):
    """Three threads append lines to one file, each syncing it and then
    noting the line in a second file, synced too; two more make files and
    sync the directory. Cut at random syncs, every line noted as synced in
    the durable second file is in the durable first one."""
    rng = random.Random()
    total = 3 * 200 * 2 + 2 * 30 * 2
    with work_dir(str(tmp_path)) as base:
        for run_ in range(4):
            kill_at = rng.randrange(total // 4, total) if run_ else None
            check_threads_cut(shim, os.path.join(base, str(run_)), kill_at)


def check_threads_cut(shim, base, kill_at):
    _, recording = record_scenario(shim, base, "threads", kill_at)
    image = os.path.join(base, "strict")
    recording.image(image)
    tree = read_tree(image)
    done = tree["done"].splitlines()
    assert set(done) <= set(tree["a"][len(BASE):].splitlines())
    made = [n for n in tree if n.startswith("f")]
    assert all(tree[n] in (b"", b"x") for n in made)
    if kill_at is None:  # not cut: everything, whole
        assert len(done) == 600 and len(made) == 60
        assert all(tree[n] == b"x" for n in made)


# ---- command line ----

def main():
    ap = argparse.ArgumentParser(description="Power-cut a journaled child; check every image.")
    ap.add_argument("--cuts", type=int, default=300)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--max-delay", type=float, default=0.6,
                    help="the cut comes 0 to this many seconds after the child is ready")
    ap.add_argument("--dir", default=None, help="work there (kept) instead of a temporary one")
    ap.add_argument("--stop-at-failure", action="store_true",
                    help="stop after the first cut with a failing image, keeping its files "
                         "(with --dir)")
    ap.add_argument("--sweep", action="store_true",
                    help="cut before every sync of the fixed sequence instead")
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    started = time.monotonic()
    if args.sweep:
        with contextlib.ExitStack() as stack:
            base = args.dir or stack.enter_context(work_dir())
            os.makedirs(base, exist_ok=True)
            result = sweep(SCRIPT, base, with_shim(base, None), seed=seed)
    else:
        result = run(args.cuts, args.threads, seed, args.max_delay, args.dir,
                     stop_at_failure=args.stop_at_failure and args.dir is not None)
    result["seconds"] = round(time.monotonic() - started, 1)
    for key, value in result.items():
        print("%s: %s" % (key, value))
    sys.exit(1 if result["failure_count"] else 0)


if __name__ == "__main__":
    main()
