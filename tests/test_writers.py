"""Several processes writing one database directory.

Two writers rewrite the same collection in a loop while this process reads
the collection file and opens the directory: every read must find one
writer's whole state (never a mixture, never no file), no write may fail,
and nothing may be left beside the collection file. A writer killed at
random moments must not spoil another's writes. Two processes creating the
same collections at once must both succeed without one replacing what the
other wrote. A write over what another process wrote says so first, with a
ConcurrentWriteWarning, which, made an error, keeps the other's data.

The pytest suite runs short versions. The long one, which prints its counts
(and exits with status 1 on any torn read, missing file or failed write):

    python tests/test_writers.py --rounds 2000

A write of a collection goes through a temporary file of its own. Where the
file system offers anonymous files, a killed write leaves nothing behind;
the only named moment is between naming the finished file and renaming it
over the collection file, and what could be left there ends in ".moxal-tmp".
"""

import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import tempfile
import time
import warnings

import pytest

import moxal

NAME = "c"
FILE = NAME + ".json"
DOCS = 2500  # about 0.7 MB of text
DEBRIS = re.compile(r"^c\.json\.[0-9a-f]{16}\.moxal-tmp$")


def state(writer, round_, count=DOCS):
    return [{"i": i, "w": writer, "r": round_, "pad": "p" * 250} for i in range(count)]


def whole_state(docs, count=DOCS):
    """(writer, round) when `docs` is one state of one writer, else None."""
    if not isinstance(docs, list) or len(docs) != count:
        return None
    w, r = docs[0].get("w"), docs[0].get("r")
    for i, d in enumerate(docs):
        if d != {"i": i, "w": w, "r": r, "pad": "p" * 250}:
            return None
    return w, r


# ---- children ----

def wait_for(path):
    while not os.path.exists(path):
        time.sleep(0.0005)


def writer(directory, tag, rounds, report):
    """Rewrites the collection `rounds` times with its own states."""
    db = moxal.Moxal(directory)
    wait_for(os.path.join(os.path.dirname(directory), "go"))
    failures = []
    # The writers replace each other's files on purpose: counted, not shown.
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always", moxal.ConcurrentWriteWarning)
        for r in range(rounds):
            db.update(NAME, {"w": tag, "r": r})
            try:
                db.write(NAME)
            except Exception as e:  # noqa: BLE001 - counted and reported
                failures.append("%s: %s" % (type(e).__name__, e))
    with open(report, "w") as f:
        json.dump({"failures": failures, "warnings": len(warned)}, f)


def creator(directory, tag, count, report):
    """Creates collections n0 .. n{count-1}; the writer "data" also fills
    and writes each one it created."""
    db = moxal.Moxal(directory)
    wait_for(os.path.join(os.path.dirname(directory), "go"))
    failures, written = [], []
    for k in range(count):
        name = "n%d" % k
        try:
            db.create_collection(name)
            if tag == "data" and name in db.collections() and db.find(name) == []:
                db.insert(name, {"by": tag})
                db.write(name)
                written.append(name)
        except BaseException as e:  # noqa: BLE001 - counted and reported
            failures.append("%s: %s" % (type(e).__name__, e))
    with open(report, "w") as f:
        json.dump({"failures": failures, "written": written}, f)


def spawn(role, *args):
    # update prints trace lines on standard output: not wanted here
    return subprocess.Popen([sys.executable, os.path.abspath(__file__), "--" + role,
                             *map(str, args)], stdout=subprocess.DEVNULL)


# ---- the parent ----

def prepare(base):
    d = os.path.join(base, "db")
    db = moxal.Moxal(d)
    db.insert_many(NAME, state("init", 0))
    db.write(NAME)
    return d


class Reader:
    """Reads the collection file and opens the directory, counting what it finds."""

    def __init__(self, directory):
        self.directory = directory
        self.counts = {"reads": 0, "torn": 0, "missing": 0, "opens": 0, "open_failures": 0}
        self.seen = set()

    def read_once(self):
        self.counts["reads"] += 1
        try:
            with open(os.path.join(self.directory, FILE), "rb") as f:
                text = f.read()
        except FileNotFoundError:
            self.counts["missing"] += 1
            return
        try:
            found = whole_state(json.loads(text))
        except ValueError:
            found = None
        if found is None:
            self.counts["torn"] += 1
        else:
            self.seen.add(found[0])

    def open_once(self):
        self.counts["opens"] += 1
        try:
            ok = whole_state(moxal.Moxal(self.directory).find(NAME)) is not None
        except BaseException:  # noqa: BLE001 - counted and reported
            ok = False
        if not ok:
            self.counts["open_failures"] += 1

    def step(self):
        self.read_once()
        if self.counts["reads"] % 20 == 0:
            self.open_once()


def leftovers(directory, keep=(FILE,)):
    return sorted(e for e in os.listdir(directory) if e not in keep)


def two_writers(rounds, base):
    d = prepare(base)
    reports = [os.path.join(base, "w%d.json" % k) for k in (1, 2)]
    procs = [spawn("writer", d, "w%d" % k, rounds, reports[k - 1]) for k in (1, 2)]
    reader = Reader(d)
    open(os.path.join(base, "go"), "w").close()
    while any(p.poll() is None for p in procs):
        reader.step()
    assert [p.returncode for p in procs] == [0, 0]
    reported = [json.load(open(r)) for r in reports]
    failures = sum((r["failures"] for r in reported), [])
    final = whole_state(moxal.Moxal(d).find(NAME))
    return dict(reader.counts, failed_writes=len(failures), failure_examples=failures[:3],
                writers_seen=sorted(reader.seen), final=final, left_behind=leftovers(d),
                warnings=sum(r["warnings"] for r in reported))


def killed_writer(kills, rounds, base, seed):
    """Writer w1 writes `rounds` times; meanwhile writer w2 is started over
    and over and killed at random moments. After every kill the file must
    hold one whole state and the directory must open."""
    rng = random.Random(seed)
    d = prepare(base)
    report = os.path.join(base, "w1.json")
    open(os.path.join(base, "go"), "w").close()
    steady = spawn("writer", d, "w1", rounds, report)
    reader = Reader(d)
    done = 0
    while done < kills or steady.poll() is None:
        victim = spawn("writer", d, "w2", 1000000, os.path.join(base, "w2.json"))
        time.sleep(rng.uniform(0.05, 0.4))  # past its start-up, into its writes
        victim.send_signal(signal.SIGKILL)
        victim.wait()
        done += 1
        reader.read_once()
        reader.open_once()
    assert steady.wait() == 0
    failures = json.load(open(report))["failures"]
    final = whole_state(moxal.Moxal(d).find(NAME))
    return dict(reader.counts, kills=done, failed_writes=len(failures),
                failure_examples=failures[:3], final=final, left_behind=leftovers(d))


def two_creators(count, base):
    d = os.path.join(base, "db")
    moxal.Moxal(d)
    reports = [os.path.join(base, "%s.json" % tag) for tag in ("empty", "data")]
    procs = [spawn("creator", d, tag, count, r) for tag, r in zip(("empty", "data"), reports)]
    open(os.path.join(base, "go"), "w").close()
    assert [p.wait() for p in procs] == [0, 0]
    empty, data = (json.load(open(r)) for r in reports)
    contents = {}
    for k in range(count):
        with open(os.path.join(d, "n%d.json" % k), "rb") as f:
            contents["n%d" % k] = f.read()
    lost = [n for n in data["written"] if contents[n] != b'[{"by":"data"}]']
    odd = [n for n, t in contents.items() if t not in (b"[]", b'[{"by":"data"}]')]
    return {"failures": empty["failures"] + data["failures"], "written": len(data["written"]),
            "lost": lost, "odd": odd,
            "left_behind": leftovers(d, keep=["n%d.json" % k for k in range(count)])}


# ---- pytest ----

def test_two_writers_and_a_reader(tmp_path):
    result = two_writers(int(os.environ.get("MOXAL_WRITER_ROUNDS", "200")), str(tmp_path))
    assert (result["torn"], result["missing"], result["open_failures"],
            result["failed_writes"], result["left_behind"]) == (0, 0, 0, 0, []), result
    assert result["reads"] > 0 and result["final"] is not None, result
    # Whichever writer renames its first file first, the other's next
    # write finds that file where its own was.
    assert result["warnings"] > 0, result


def test_a_writer_killed_at_random_moments(tmp_path):
    result = killed_writer(kills=15, rounds=100, base=str(tmp_path),
                           seed=random.randrange(1 << 30))
    assert (result["torn"], result["missing"], result["open_failures"],
            result["failed_writes"]) == (0, 0, 0, 0), result
    assert result["final"] is not None
    # Only a kill in the instant between naming and renaming leaves a file,
    # and its name says what it is.
    assert all(DEBRIS.match(e) for e in result["left_behind"]), result


def test_two_processes_create_the_same_collections(tmp_path):
    result = two_creators(150, str(tmp_path))
    assert (result["failures"], result["lost"], result["odd"], result["left_behind"]) \
        == ([], [], [], []), result


# A child process that opens the directory, inserts a document into a
# collection and writes it; it read the file first, so it has nothing to
# warn of (the warning is made an error, which would fail it).
CHILD_WRITES = """
import sys, warnings, moxal
warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
db = moxal.Moxal(sys.argv[1])
db.insert(sys.argv[2], {"by": "child"})
db.write(sys.argv[2])
"""


def child_writes(directory, name):
    run = subprocess.run([sys.executable, "-c", CHILD_WRITES, directory, name],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr


# A program whose write meets a file somebody else wrote since it read it;
# {setup} is the way the documentation gives to make the warning an error.
WRITE_OVER_ANOTHERS = """
import sys, warnings, moxal
{setup}
db = moxal.Moxal(sys.argv[1])
db.find("c")
other = moxal.Moxal(sys.argv[1])
other.insert("c", {{"by": "other"}})
other.write("c")
db.insert("c", {{"by": "me"}})
try:
    db.write("c")
except moxal.ConcurrentWriteWarning:
    sys.exit(3)
"""

DOCS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs")


def recommended_filters():
    """Every way the documentation gives to make the warning an error: code
    (a warnings call naming it), a -W option or PYTHONWARNINGS."""
    found = set()
    for page in sorted(os.listdir(DOCS)) + ["../README.md"]:
        if not page.endswith(".md"):
            continue
        with open(os.path.join(DOCS, page)) as f:
            text = f.read()
        for call in re.findall(r"warnings\.(?:simplefilter|filterwarnings)\([^)]*"
                               r"ConcurrentWriteWarning[^)]*\)", text):
            found.add(("code", call))
        for option in re.findall(r"-W ?([\w:.]*ConcurrentWriteWarning)", text):
            found.add(("-W", option))
        for value in re.findall(r"PYTHONWARNINGS=([\w:.]*ConcurrentWriteWarning)", text):
            found.add(("PYTHONWARNINGS", value))
    return sorted(found)


def test_every_documented_warning_filter_keeps_the_other_writers_data(tmp_path):
    ways = recommended_filters()
    assert ("code", 'warnings.simplefilter("error", moxal.ConcurrentWriteWarning)') in ways
    for how, text in ways:
        d = str(tmp_path / ("db%d" % ways.index((how, text))))
        moxal.Moxal(d).create_collection("c")
        setup = text if how == "code" else ""
        args = [sys.executable] + (["-W", text] if how == "-W" else [])
        env = dict(os.environ, PYTHONWARNINGS=text) if how == "PYTHONWARNINGS" else None
        run = subprocess.run(args + ["-c", WRITE_OVER_ANOTHERS.format(setup=setup), d],
                             capture_output=True, text=True, env=env, timeout=120)
        assert (how, text, run.returncode) == (how, text, 3), run.stderr
        with open(os.path.join(d, "c.json")) as f:
            assert json.load(f) == [{"by": "other"}]


@pytest.mark.parametrize("how", ["write", "write_all"])
def test_a_write_over_another_processs_data_warns_before_replacing_it(tmp_path, how):
    d = str(tmp_path / "db")
    path, other = os.path.join(d, "orders.json"), os.path.join(d, "other.json")
    db = moxal.Moxal(d)
    write = (lambda: db.write("orders")) if how == "write" else db.write_all

    def stored(p):
        with open(p) as f:
            return json.load(f)

    with warnings.catch_warnings():
        warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
        db.insert("orders", {"by": "parent", "n": 1})
        db.insert("other", {"x": 1})
        write()  # nobody else wrote: nothing to say
        child_writes(d, "orders")
        db.insert("orders", {"by": "parent", "n": 2})
        db.insert("other", {"x": 2})
        with pytest.raises(moxal.ConcurrentWriteWarning) as info:
            write()
    assert str(info.value).startswith(path + " was changed by somebody else")
    # Raised before anything was replaced: write_all checks every file first.
    assert stored(path) == [{"by": "parent", "n": 1}, {"by": "child"}]
    assert stored(other) == ([{"x": 1}] if how == "write_all" else [])
    with pytest.warns(moxal.ConcurrentWriteWarning) as record:
        write()
    assert [str(w.message).split(" ")[0] for w in record] == [path]  # not other.json
    # Replaced, as the warning said: the child's document is gone.
    assert stored(path) == [{"by": "parent", "n": 1}, {"by": "parent", "n": 2}]
    with warnings.catch_warnings():
        warnings.simplefilter("error", moxal.ConcurrentWriteWarning)
        write()
        # A file where the collection in memory had none: made by the child.
        db.insert("fresh", {"by": "parent"})
        os.remove(os.path.join(d, "fresh.json"))
        db.write_all()  # nothing there to lose
        os.remove(os.path.join(d, "fresh.json"))
        child_writes(d, "fresh")
        with pytest.raises(moxal.ConcurrentWriteWarning, match="fresh.json was changed"):
            db.write_all()


# ---- command line ----

def main():
    if sys.argv[1:2] == ["--writer"]:
        writer(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
        return
    if sys.argv[1:2] == ["--creator"]:
        creator(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
        return
    ap = argparse.ArgumentParser(description="Several writers over one directory; counts faults.")
    ap.add_argument("--rounds", type=int, default=2000, help="writes per writer")
    ap.add_argument("--kills", type=int, default=100)
    ap.add_argument("--creates", type=int, default=500)
    ap.add_argument("--seed", type=int, default=None)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    bad = False
    for label, run in (("two writers", lambda b: two_writers(args.rounds, b)),
                       ("killed writer", lambda b: killed_writer(args.kills, args.rounds // 4,
                                                                 b, seed)),
                       ("two creators", lambda b: two_creators(args.creates, b))):
        with tempfile.TemporaryDirectory(prefix="moxal-writers-") as base:
            started = time.monotonic()
            result = run(base)
            result["seconds"] = round(time.monotonic() - started, 1)
        print("%s: %s" % (label, json.dumps(result)))
        bad |= bool(result.get("torn") or result.get("missing") or result.get("failed_writes")
                    or result.get("open_failures") or result.get("failures")
                    or result.get("lost"))
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()
