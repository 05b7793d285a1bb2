"""Objects of several processes sharing one directory's journal.

Every worker is a separate interpreter (tests/process_workers.py) with a
Moxal of its own on the shared directory:

- counting: four workers, three threads each, increment a handful of shared
  documents and insert documents with unique ids, and now and then fold the
  journal (write_all), for a couple of seconds. Each thread writes "b" (the
  call it begins) and "a" (acknowledged) lines to a pipe, one os.write each
  and shorter than PIPE_BUF, so the parent knows every acknowledged call and
  every call in flight. The state every worker sees at the end, and what a
  fresh object reads (while they still have the journal open, and after
  they are gone), must be exactly what the acknowledged calls made;
- killing: the same while workers are killed with SIGKILL at random moments
  (some inside a fold) and replaced by new ones, one worker living through
  it all; then a killed worker's call in flight may or may not count;
- read-your-writes: two workers take turns to change a document and tell
  the other, through a pipe, which must see the change at its next call;
- folds: a worker that is caught up applies another's fold without reading
  the state on disk again, and keeps answering while the other folds;
- a failed sync in one worker: its call changes nothing that another
  process can see.

The pytest suite runs KILLS kills per journal level. The long version:

    python tests/test_processes.py --kills 1000 --level always

(--level process, always or both, the default; --seed S; --workers N.) It
prints what the run saw and exits with status 1 when any state differed.
"""

import argparse
import collections
import gc
import json
import os
import random
import select
import shutil
import subprocess
import sys
import tempfile
import time

import pytest

import moxal
from process_workers import FOLD_DOCS, KEYS, state_of

LEVELS = ("process", "always")
TESTS = os.path.dirname(os.path.abspath(__file__))
WORKER_SCRIPT = os.path.join(TESTS, "process_workers.py")
FAULTS = os.path.join(TESTS, "faults")
WORKERS = 4
KILLS = int(os.environ.get("MOXAL_PROCESS_KILLS", "60"))  # per level
RYW_ROUNDS = 10_000
TIMEOUT = 120.0  # seconds for anything a worker must do (a sanitized build is slow)


# ---- the parent: workers and their reports ----

class Worker:
    """A child running one of process_workers.CHILDREN, whose report lines
    come through a pipe and whose commands go to its standard input."""

    def __init__(self, kind, cfg, err_path, env=None):
        read_fd, write_fd = os.pipe()
        cfg = dict(cfg, fd=write_fd)
        with open(err_path, "ab") as err:
            self.proc = subprocess.Popen(
                [sys.executable, WORKER_SCRIPT, kind, json.dumps(cfg)], pass_fds=(write_fd,),
                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,  # update's trace lines
                stderr=err, env=env)
        os.close(write_fd)
        self.fd = read_fd
        self.buf = b""
        self.eof = False
        self.err_path = err_path

    def send(self, line):
        try:
            self.proc.stdin.write((line + "\n").encode())
            self.proc.stdin.flush()
        except BrokenPipeError:  # it died: what it wrote says why
            pass

    def read(self, timeout):
        """The whole lines that arrive within `timeout` seconds."""
        if self.eof or not select.select([self.fd], [], [], max(0.0, timeout))[0]:
            return []
        return self.take(os.read(self.fd, 1 << 16))

    def take(self, data):
        if not data:
            self.eof = True
            return []
        self.buf += data
        *lines, self.buf = self.buf.split(b"\n")
        return [line.decode() for line in lines]

    def expect(self, prefix):
        """Waits for the next line; it must begin with `prefix`. The rest."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline and not self.eof:
            for line in self.read(deadline - time.monotonic()):
                assert line.startswith(prefix), (line, prefix, self.stderr())
                return line[len(prefix):].strip()
        raise AssertionError("no %r from the worker; its errors: %s" % (prefix, self.stderr()))

    def ask(self, command):
        self.send(command)
        return json.loads(self.expect(""))

    def stderr(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()[-3000:]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        try:
            self.proc.stdin.close()
        except BrokenPipeError:
            pass
        os.close(self.fd)


class CounterWorker(Worker):
    """A counter_child, and what its lines said: calls acknowledged, calls in
    flight."""

    def __init__(self, fleet, wid):
        self.wid = wid
        self.fleet = fleet
        cfg = {"dir": fleet.dir, "level": fleet.level, "wid": wid, "seed": fleet.seed,
               "snap": os.path.join(fleet.base, "snap-%d.json" % wid)}
        self.snap = cfg["snap"]
        super().__init__("counter", cfg, os.path.join(fleet.base, "err-%d.txt" % wid))
        self.started = time.monotonic()
        self.pending = {}  # thread -> (op, arg) begun, not acknowledged
        self.acks = 0
        self.ready = self.stopped = self.checked = False

    def parse(self, lines):
        for line in lines:
            word, *rest = line.split(" ", 4)
            if word == "ready":
                self.ready = True
            elif word == "b":
                self.pending[int(rest[0])] = (rest[2], rest[3])
            elif word == "a":
                self.fleet.acknowledged(*self.pending.pop(int(rest[0])))
                self.acks += 1
            elif word == "e":
                self.fleet.problems.append("worker %d: %s" % (self.wid, line))
            elif word == "stopped":
                self.stopped = True
            elif word == "checked":
                self.checked = True
            else:
                self.fleet.problems.append("worker %d sent %r" % (self.wid, line))

    def pump(self, timeout):
        self.parse(self.read(timeout))

    def kill(self):
        """SIGKILL; then what it wrote before it died, and its calls in flight
        may or may not have been made."""
        self.proc.kill()
        self.proc.wait()
        while not self.eof:
            self.parse(self.take(os.read(self.fd, 1 << 16)))
        for op, arg in self.pending.values():
            self.fleet.in_flight(op, arg)
        self.pending.clear()
        self.close()


class Fleet:
    """Counter workers on one directory, and the tally of what they did."""

    def __init__(self, base, level, seed):
        self.base = base
        self.dir = os.path.join(base, "db")
        self.level = level
        self.seed = seed
        self.workers = []
        self.next_wid = 0
        self.incs = collections.Counter()  # acknowledged, per key
        self.maybe_incs = collections.Counter()  # in flight in killed workers
        self.inserted = collections.Counter()  # acknowledged ids
        self.maybe_inserted = set()
        self.folds = 0
        self.problems = []
        db = moxal.Moxal(self.dir, journal=level)
        db.insert_many("c", [{"k": k, "n": 0} for k in range(KEYS)])
        db.create_collection("ins")
        del db

    def acknowledged(self, op, arg):
        if op == "inc":
            self.incs[int(arg)] += 1
        elif op == "ins":
            self.inserted[arg] += 1
        else:
            self.folds += 1

    def in_flight(self, op, arg):
        if op == "inc":
            self.maybe_incs[int(arg)] += 1
        elif op == "ins":
            self.maybe_inserted.add(arg)

    def spawn(self):
        w = CounterWorker(self, self.next_wid)
        self.next_wid += 1
        self.workers.append(w)
        return w

    def pump(self, timeout):
        """Reads what the workers write within `timeout` seconds."""
        fds = [w.fd for w in self.workers if not w.eof]
        ready = select.select(fds, [], [], max(0.0, timeout))[0] if fds else []
        for w in self.workers:
            if w.fd in ready:
                w.pump(0)

    def pump_until(self, done, what):
        deadline = time.monotonic() + TIMEOUT
        while not done():
            if time.monotonic() > deadline or any(w.eof and not w.checked for w in self.workers):
                raise AssertionError("waiting for %s: %s" % (what, self.describe()))
            self.pump(0.1)

    def run_for(self, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            self.pump(end - time.monotonic())

    def kill(self, w):
        w.kill()
        self.workers.remove(w)

    def describe(self):
        return "; ".join("worker %d (exit %s): %s" % (w.wid, w.proc.poll(), w.stderr()[-500:])
                         for w in self.workers) + " problems: %s" % self.problems[:5]

    def differences(self, state, who):
        """How `state` (as state_of returns it) differs from what the calls
        made: every acknowledged call, and any of those in flight."""
        out = []
        counts = {d["k"]: d["n"] for d in state["c"]}
        if sorted(counts) != list(range(KEYS)) or len(state["c"]) != KEYS:
            out.append("%s: the counters are %r" % (who, state["c"]))
        for k in range(KEYS):
            low = self.incs[k]
            if not low <= counts.get(k, -1) <= low + self.maybe_incs[k]:
                out.append("%s: counter %d is %r, acknowledged %d (+%d in flight)"
                           % (who, k, counts.get(k), low, self.maybe_incs[k]))
        ids = collections.Counter(d["id"] for d in state["ins"])
        twice = sorted(i for i, n in ids.items() if n > 1)
        missing = sorted(set(self.inserted) - set(ids))
        unknown = sorted(set(ids) - set(self.inserted) - self.maybe_inserted)
        if twice or missing or unknown:
            out.append("%s: inserts twice %s, missing %s, never made %s"
                       % (who, twice[:5], missing[:5], unknown[:5]))
        return out

    def finish(self):
        """Stops the workers, then compares what a fresh object sees (while
        they still have the journal open), what each of them sees, and what
        a fresh object sees after they are gone, with the calls."""
        assert all(v == 1 for v in self.inserted.values())
        for w in self.workers:
            w.send("stop")
        self.pump_until(lambda: all(w.stopped for w in self.workers), "the workers to stop")
        found = self.differences(state_of(moxal.Moxal(self.dir, journal=self.level)),
                                 "a fresh object beside the workers")
        gc.collect()
        for w in self.workers:
            w.send("check")
        self.pump_until(lambda: all(w.checked for w in self.workers), "the workers' states")
        for w in self.workers:
            with open(w.snap) as f:
                found += self.differences(json.load(f), "worker %d" % w.wid)
            assert w.proc.wait(TIMEOUT) == 0, w.stderr()
            w.close()
        self.workers = []
        found += self.differences(state_of(moxal.Moxal(self.dir, journal=self.level)),
                                  "a fresh object after the workers")
        gc.collect()
        return self.problems + found

    def close(self):
        for w in self.workers:
            w.close()
        self.workers = []


def count_for_a_while(base, level, seed, seconds=2.0):
    fleet = Fleet(base, level, seed)
    try:
        for _ in range(WORKERS):
            fleet.spawn()
        fleet.pump_until(lambda: all(w.ready for w in fleet.workers), "the workers to open")
        fleet.run_for(seconds)
        acks = [w.acks for w in fleet.workers]
        return fleet.finish(), acks, fleet.folds
    finally:
        fleet.close()


def kill_at_random(base, level, seed, kills, workers=WORKERS):
    """Runs `workers` workers and kills one, `kills` times, replacing each;
    the first worker lives through it all. Returns the differences found and
    a summary."""
    rng = random.Random("%s/%s" % (seed, level))
    fleet = Fleet(base, level, seed)
    summary = collections.Counter()
    started = time.monotonic()
    try:
        survivor = fleet.spawn()
        for _ in range(workers - 1):
            fleet.spawn()
        fleet.pump_until(lambda: all(w.ready for w in fleet.workers), "the workers to open")
        for _ in range(kills):
            others = [w for w in fleet.workers if w is not survivor]
            if rng.random() < 0.25:
                # Inside a fold, or close after one: a fold holds a lock of
                # its own, writes files and restarts the journal.
                deadline = time.monotonic() + 2.0
                folding = []
                while not folding and time.monotonic() < deadline:
                    fleet.pump(0.01)
                    folding = [w for w in others
                               if any(op == "fold" for op, _ in w.pending.values())]
                victim = folding[0] if folding else rng.choice(others)
                summary["aimed at a fold" if folding else "fold not seen"] += 1
                fleet.run_for(rng.uniform(0, 0.01))
            else:
                fleet.run_for(rng.uniform(0, 0.2))
                victim = rng.choice(others)
            summary["in flight"] += bool(victim.pending)
            summary["before ready"] += not victim.ready
            fleet.kill(victim)
            fleet.spawn()
        # The survivor, and every new worker, must go on working.
        since = {w: w.acks for w in fleet.workers}
        fleet.pump_until(lambda: all(w.ready and w.acks >= since[w] + 20 for w in fleet.workers),
                         "calls after the last kill")
        summary["survivor acks"] = survivor.acks
        problems = fleet.finish()
        summary.update(kills=kills, acks=sum(fleet.incs.values()) + sum(fleet.inserted.values()),
                       folds=fleet.folds, seconds=round(time.monotonic() - started, 1))
        return problems, summary
    finally:
        fleet.close()


# ---- pytest ----

@pytest.mark.parametrize("level", LEVELS)
def test_counting_processes_lose_and_repeat_no_call(tmp_path, level):
    problems, acks, folds = count_for_a_while(str(tmp_path), level, random.randrange(1 << 30))
    assert problems == []
    # Every worker made calls, some of them folds, while the others did.
    assert min(acks) >= 20, acks
    assert folds >= 1


@pytest.mark.parametrize("level", LEVELS)
def test_killed_processes_lose_no_acknowledged_call(tmp_path, level):
    seed = random.randrange(1 << 30)
    problems, summary = kill_at_random(str(tmp_path), level, seed, KILLS)
    # The kills must find calls in flight, and some inside folds, or they
    # prove little.
    assert summary["in flight"] >= KILLS // 3, summary
    assert summary["aimed at a fold"] >= 1, summary
    assert problems == [], "seed %d: %s" % (seed, summary)



def test_a_change_acknowledged_in_one_process_is_seen_by_the_next_call_of_another(tmp_path):
    """Two processes take turns: one acknowledges a change, tells the other
    through a pipe, and the other's next call must see it, both ways."""
    d = str(tmp_path / "db")
    db = moxal.Moxal(d, journal="process")
    db.insert("rw", {"k": 0, "v": -1})
    del db
    a_to_b, b_to_a = os.pipe(), os.pipe()
    workers = []
    for role, (out_fd, in_fd) in enumerate([(a_to_b[1], b_to_a[0]), (b_to_a[1], a_to_b[0])]):
        cfg = {"dir": d, "level": "process", "role": role, "rounds": RYW_ROUNDS,
               "out": out_fd, "in": in_fd, "result": str(tmp_path / ("ping-%d.json" % role))}
        with open(str(tmp_path / ("err-%d.txt" % role)), "wb") as err:
            workers.append(subprocess.Popen(
                [sys.executable, WORKER_SCRIPT, "ping", json.dumps(cfg)],
                pass_fds=(out_fd, in_fd), stdout=subprocess.DEVNULL, stderr=err))
    for fd in a_to_b + b_to_a:
        os.close(fd)
    for role, w in enumerate(workers):
        assert w.wait(TIMEOUT) == 0, open(str(tmp_path / ("err-%d.txt" % role))).read()
    for role in (0, 1):
        with open(str(tmp_path / ("ping-%d.json" % role))) as f:
            assert json.load(f)["misses"] == []
    db = moxal.Moxal(d, journal="process")
    assert db.find("rw", {"k": 0}) == [{"k": 0, "v": RYW_ROUNDS - 1}]
    assert db.count("rw") == 1 + RYW_ROUNDS // 5


def test_a_process_applies_anothers_fold_without_reading_everything_again(tmp_path):
    """One process folds a large collection, held at the start of its fold
    (files not yet written, the fold lock taken) while another keeps
    calling: every call answers meanwhile. Once the fold is done, the other
    process takes its record without reading the state on disk again, and
    its own write_all rewrites only what it changed."""
    d = str(tmp_path / "db")
    folder = Worker("folder", {"dir": d}, str(tmp_path / "err-folder.txt"))
    try:
        folder.expect("filled")
        db = moxal.Moxal(d, journal="process")
        assert db.count("big") == FOLD_DOCS
        reloads = moxal._gate("reload", "passed")
        folder.send("fold")
        folder.expect("held")
        for j in range(300):
            db.insert("small", {"j": j})
            i = (j * 397) % FOLD_DOCS
            assert db.find("big", {"i": i}) == [{"i": i, "s": "document %d" % i}]
            assert db.count("small") == j + 1
        folder.send("go")
        assert json.loads(folder.expect("folded")) == []  # write_all raised nothing
        big = os.stat(os.path.join(d, "big.json"))
        assert db.count("big") == FOLD_DOCS
        assert db.find("big", {"i": FOLD_DOCS - 1}) == [
            {"i": FOLD_DOCS - 1, "s": "document %d" % (FOLD_DOCS - 1)}]
        db.write_all()
        after = os.stat(os.path.join(d, "big.json"))
        assert (after.st_ino, after.st_mtime_ns) == (big.st_ino, big.st_mtime_ns)
        assert moxal._gate("reload", "passed") == reloads
        folder.send("check")
        seen = json.loads(folder.expect("state"))
        assert seen == {"big": FOLD_DOCS, "small": 300, "reloads": 0,
                        "last": [{"i": FOLD_DOCS - 1, "s": "document %d" % (FOLD_DOCS - 1)}]}
        assert folder.proc.wait(TIMEOUT) == 0
        del db
        assert moxal.Moxal(d).count("small") == 300  # all folded: opens without the journal
    finally:
        folder.close()


@pytest.fixture(scope="module")
def shim(tmp_path_factory):
    """The fault shim of tests/faults, compiled for this run."""
    cc = os.environ.get("CC") or shutil.which("cc") or shutil.which("gcc")
    if not cc or not shutil.which(cc):
        pytest.skip("no C compiler to build the fault shim")
    lib = str(tmp_path_factory.mktemp("shim") / "shim.so")
    build = subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", lib,
                            os.path.join(FAULTS, "shim.c"), "-ldl"],
                           capture_output=True, text=True)
    assert build.returncode == 0, build.stderr
    return lib


@pytest.mark.parametrize("meanwhile", ["nothing", "find", "inc"])
def test_a_failed_sync_in_one_process_leaves_others_only_acknowledged_changes(
        tmp_path, shim, meanwhile):
    """A worker whose sync fails (journal="always") raises OSError for its
    increment; while the increment waits for that sync, this process does
    `meanwhile`. Every state seen after the worker's call returned holds
    exactly the increments acknowledged, and both keep working."""
    d = str(tmp_path / "db")
    db = moxal.Moxal(d, journal="always")
    db.insert("c", {"k": 0, "n": 0})
    env = dict(os.environ, MOXAL_FAULT_DIR=d, MOXAL_FAULT_CALL="fsync", MOXAL_FAULT_NTH="1",
               MOXAL_FAULT_ERRNO="5")
    env["LD_PRELOAD"] = " ".join(p for p in (os.environ.get("LD_PRELOAD"), shim) if p)
    worker = Worker("failing", {"dir": d, "shim": shim}, str(tmp_path / "err.txt"), env=env)
    try:
        worker.expect("ready")
        acknowledged = 0
        assert worker.ask("inc-held") == "held"
        if meanwhile == "find":
            db.find("c")  # may see the increment: it is committed, not yet synced
        elif meanwhile == "inc":
            # Synced by this process, the worker's record with it.
            db.update("c", {"n": {"$inc": 1}}, {"k": 0})
            acknowledged += 1
        result = worker.ask("go")
        assert worker.ask("fired") == 1
        if meanwhile == "inc":
            assert result == "ok"  # its record was synced by the other's sync
            acknowledged += 1
        else:
            assert result.startswith("OSError: Error syncing the journal"), result
        assert db.find("c") == [{"k": 0, "n": acknowledged}]
        seen = worker.ask("find")
        if meanwhile == "inc":
            # Its call succeeded, but its sync did fail: the next call says
            # so (and changes nothing), as after a failed background sync.
            assert seen.startswith("OSError: Error syncing the journal"), seen
            seen = worker.ask("find")
        assert seen == [{"k": 0, "n": acknowledged}]
        db.update("c", {"n": {"$inc": 1}}, {"k": 0})
        assert worker.ask("inc") == "ok"
        acknowledged += 2
        assert worker.ask("find") == [{"k": 0, "n": acknowledged}]
        assert db.find("c") == [{"k": 0, "n": acknowledged}]
        worker.send("exit")
        assert worker.proc.wait(TIMEOUT) == 0
        del db
        assert moxal.Moxal(d, journal="always").find("c") == [{"k": 0, "n": acknowledged}]
    finally:
        worker.close()

# ---- command line ----

def main():
    ap = argparse.ArgumentParser(description="SIGKILL processes that share a journaled "
                                 "directory; check that no acknowledged call is lost.")
    ap.add_argument("--kills", type=int, default=1000, help="kills per level")
    ap.add_argument("--level", choices=LEVELS + ("both",), default="both")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--workers", type=int, default=WORKERS)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    failed = False
    for level in LEVELS if args.level == "both" else (args.level,):
        base = tempfile.mkdtemp(prefix="moxal-processes-")
        try:
            problems, summary = kill_at_random(base, level, seed, args.kills, args.workers)
        finally:
            shutil.rmtree(base, ignore_errors=True)
        print("%s (seed %d): %s" % (level, seed, dict(summary)))
        for p in problems:
            print("  " + p)
        failed |= bool(problems)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
