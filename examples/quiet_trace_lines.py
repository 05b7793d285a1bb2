"""Keeping update's trace lines out of a program's output, with threads.

update writes its trace lines straight to file descriptor 1. Swapping the
descriptor around each call is not safe in a threaded program: another
thread's output goes where descriptor 1 points at that moment, and two
overlapping swaps can leave it pointing at /dev/null for good. Instead,
once at start-up, before any thread starts, descriptor 1 is pointed at
/dev/null (or a log file) for the life of the process, and the program's
own output, sys.stdout, gets a duplicate of the original standard output.

    python examples/quiet_trace_lines.py

runs 8 threads updating while 4 others print, and says what came through.
"""

import io
import os
import sys
import tempfile
import threading

import moxal


def trace_lines_to(path):
    """Sends descriptor 1, and so update's trace lines, to `path` for good;
    print() and sys.stdout keep writing where standard output went.
    Call it once, before starting threads. Child processes inherit
    descriptor 1: pass them stdout=sys.stdout where their output matters."""
    sys.stdout.flush()
    kept = os.dup(1)
    target = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
    os.dup2(target, 1)
    os.close(target)
    # write_through: each write goes straight on to the byte buffer, whose
    # lock keeps the lines of several threads whole.
    sys.stdout = io.TextIOWrapper(open(kept, "wb"), encoding=sys.stdout.encoding,
                                  errors=sys.stdout.errors,
                                  line_buffering=sys.stdout.line_buffering, write_through=True)


def main(updaters=8, printers=4, rounds=200):
    trace_lines_to(os.devnull)
    with tempfile.TemporaryDirectory() as d:
        db = moxal.Moxal(d)
        db.insert_many("counters", [{"id": i, "n": 0} for i in range(updaters)])

        def update(i):
            for _ in range(rounds):
                db.update("counters", {"n": {"$inc": 1}}, {"id": i})

        def say(k):
            for r in range(rounds):
                # One write per line: print() writes the text and the end of
                # line apart, and other threads' writes may come between.
                sys.stdout.write(f"printer {k} line {r}\n")

        threads = [threading.Thread(target=update, args=(i,)) for i in range(updaters)]
        threads += [threading.Thread(target=say, args=(k,)) for k in range(printers)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        counts = {c["n"] for c in db.find("counters")}
    print(f"{printers * rounds} lines printed, counters at {sorted(counts)}")


if __name__ == "__main__":
    main()
