"""Per-frame self cost of each function: the difference of two callgrind
profiles (a run of N frames minus a run of 0), divided by N.

    python bench/callgrind_diff.py zero.out n.out N [rows]
"""

import re
import subprocess
import sys


def selfcost(path):
    out = subprocess.run(
        ["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
        capture_output=True,
        text=True,
    ).stdout
    costs = {}
    for line in out.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+(.*)", line)
        if m and "PROGRAM TOTALS" not in line:
            name = m.group(2)
            name = re.sub(r"\[.*?/([^/\]]+)\]$", r"[\1]", name)
            name = name.replace("(anonymous namespace)::", "").replace("???:", "")
            name = re.sub(r"\(_object\*.*?\)|\((?:\(|[^()])*\)(?=\s|'|$)", "()", name)
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


a, b, n = selfcost(sys.argv[1]), selfcost(sys.argv[2]), int(sys.argv[3])
d = {k: (b.get(k, 0) - a.get(k, 0)) / n for k in set(a) | set(b)}
tot = sum(d.values())
print(f"total per frame: {tot:,.0f} Ir")
for k, v in sorted(d.items(), key=lambda kv: -kv[1])[
    : int(sys.argv[4]) if len(sys.argv) > 4 else 45
]:
    if abs(v) < 1:
        continue
    print(f"{v:9,.0f}  {100 * v / tot:5.1f}%  {k[:150]}")
