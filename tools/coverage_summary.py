"""Prints line and branch coverage per src/ directory from gcovr's JSON summary.

gcovr reports per file; what we watch is each layer (values, query,
conversion, lib) and the total, so this adds the files up by directory.
"""

import json
import sys
from collections import defaultdict


def main(path):
    with open(path) as f:
        files = json.load(f)["files"]
    sums = defaultdict(lambda: [0, 0, 0, 0])  # lines covered/total, branches covered/total
    for entry in files:
        parts = entry["filename"].split("/")
        directory = "/".join(parts[:2]) if parts[0] == "src" and len(parts) > 2 else "other"
        for key in (directory, "total"):
            s = sums[key]
            s[0] += entry["line_covered"]
            s[1] += entry["line_total"]
            s[2] += entry["branch_covered"]
            s[3] += entry["branch_total"]

    def pct(covered, total):
        return f"{100.0 * covered / total:6.1f}%" if total else "     -"

    print(f"{'directory':<18}{'lines':>22}{'branches':>22}")
    for key in sorted(k for k in sums if k != "total") + ["total"]:
        lc, lt, bc, bt = sums[key]
        print(f"{key:<18}{pct(lc, lt)} {lc:>6}/{lt:<7}{pct(bc, bt)} {bc:>6}/{bt:<7}")


if __name__ == "__main__":
    main(sys.argv[1])
