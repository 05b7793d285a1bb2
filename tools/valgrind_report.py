"""Summarises a memcheck log (tools/valgrind): memory errors (invalid reads
and writes, bad frees, use of uninitialised values...) and blocks definitely
lost, each split into those with a moxal frame on their stack and the rest
(the interpreter's own, which are not ours to judge). Prints every record of
ours in full and exits 1 when there is any.

    python tools/valgrind_report.py build/valgrind/memcheck.log
"""

import collections
import re
import sys

PREFIX = re.compile(r"^==\d+== ?")
LOST = re.compile(r"([\d,]+) bytes in ([\d,]+) blocks are definitely lost")


def records(lines):
    """The log's blank-line separated records, prefixes removed."""
    current = []
    for line in lines:
        if not PREFIX.match(line):
            continue  # output of the program itself, if any
        text = PREFIX.sub("", line.rstrip("\n"))
        if text.startswith(("More than ", "will still be recorded")):
            continue  # valgrind's note that it reports less detail from here
        if text.strip():
            current.append(text)
        elif current:
            yield current
            current = []
    if current:
        yield current


def stacks(record):
    """The record's stacks (the error's, and those of the block or value it
    concerns), each a list of frame lines."""
    found, current = [], []
    for line in record:
        if line.lstrip().startswith(("at 0x", "by 0x")):
            current.append(line)
        elif current:
            found.append(current)
            current = []
    if current:
        found.append(current)
    return found


def is_ours(record):
    """True when moxal's code is among the frames of some stack of the
    record above the first interpreter frame that runs Python code: the
    fault (or the allocation it concerns) happened in C code that moxal
    called, not in Python code that a hook of a test ran meanwhile."""
    for stack in stacks(record):
        for frame in stack:
            if "_PyEval_EvalFrameDefault" in frame:
                break
            if "moxal" in frame:
                return True
    return False


def has_stack(record):
    return any(line.lstrip().startswith("at 0x") for line in record)


def main(path):
    with open(path, errors="replace") as f:
        lines = f.readlines()
    errors = {"ours": [], "other": []}
    leaks = {"ours": [], "other": []}
    summary = [line for line in lines if "ERROR SUMMARY" in line or "definitely lost:" in line]
    for rec in records(lines):
        if not has_stack(rec):
            continue
        side = "ours" if is_ours(rec) else "other"
        if LOST.search(rec[0]):
            leaks[side].append(rec)
        elif "lost in loss record" not in rec[0]:
            errors[side].append(rec)

    def lost_bytes(recs):
        return sum(int(LOST.search(r[0]).group(1).replace(",", "")) for r in recs)

    for rec in errors["ours"] + leaks["ours"]:
        print("\n".join(rec), end="\n\n")
    print("memcheck summary (" + path + ")")
    for line in summary[-2:]:
        print("  valgrind: " + PREFIX.sub("", line).strip())
    print(f"  memory errors in moxal: {len(errors['ours'])}; "
          f"elsewhere: {len(errors['other'])}")
    kinds = collections.Counter(rec[0] for rec in errors["other"])
    for kind, n in sorted(kinds.items()):
        print(f"    elsewhere, {n} contexts: {kind}")
    print(f"  definitely lost in moxal: {len(leaks['ours'])} records, "
          f"{lost_bytes(leaks['ours'])} bytes; elsewhere: {len(leaks['other'])} records, "
          f"{lost_bytes(leaks['other'])} bytes")
    if not lines or not summary:
        print("  no memcheck summary in the log: did valgrind run to the end?")
        return 1
    return 1 if errors["ours"] or leaks["ours"] else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
