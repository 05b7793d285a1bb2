"""Prints line and branch coverage per src/ directory from gcovr's JSON report.

gcovr reports per file and per function; what we watch is each layer and
the total, so this adds the files up by directory. Headers are compiled
through each layer's include root in the build tree (build/.../layers/
<target>/<layer>/<file>), the same header once per layer that includes it:
such paths are taken back to src/<layer>/<file>, and a line (or branch)
counts as covered when any of its copies (and any instance of a template)
ran it.
"""

import json
import re
import sys
from collections import defaultdict

LAYER_ROOT = re.compile(r"^.*/layers/[^/]+/(?P<rest>[^/]+/[^/]+)$")


def source_path(name):
    m = LAYER_ROOT.match(name)
    return "src/" + m.group("rest") if m else name


def main(path):
    with open(path) as f:
        files = json.load(f)["files"]
    lines = {}  # (file, line) -> covered
    branches = {}  # (file, line, branch number) -> taken
    for entry in files:
        name = source_path(entry["file"])
        for line in entry["lines"]:
            if line.get("gcovr/excluded") or line.get("gcovr/noncode"):
                continue
            key = (name, line["line_number"])
            lines[key] = lines.get(key, False) or line["count"] > 0
            for b in line["branches"]:
                bkey = key + (b["branchno"],)
                branches[bkey] = branches.get(bkey, False) or b["count"] > 0
    sums = defaultdict(lambda: [0, 0, 0, 0])  # lines covered/total, branches covered/total
    for (name, _), covered in lines.items():
        for key in (directory_of(name), "total"):
            sums[key][0] += covered
            sums[key][1] += 1
    for (name, _, _), taken in branches.items():
        for key in (directory_of(name), "total"):
            sums[key][2] += taken
            sums[key][3] += 1

    def pct(covered, total):
        return f"{100.0 * covered / total:6.1f}%" if total else "     -"

    print(f"{'directory':<18}{'lines':>22}{'branches':>22}")
    for key in sorted(k for k in sums if k != "total") + ["total"]:
        lc, lt, bc, bt = sums[key]
        print(f"{key:<18}{pct(lc, lt)} {lc:>6}/{lt:<7}{pct(bc, bt)} {bc:>6}/{bt:<7}")


def directory_of(name):
    parts = name.split("/")
    return "/".join(parts[:2]) if parts[0] == "src" and len(parts) > 2 else "other"


if __name__ == "__main__":
    main(sys.argv[1])
