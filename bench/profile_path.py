"""A fixed amount of data-path work for an instruction-counting profiler.

    valgrind --tool=callgrind --callgrind-out-file=path.out \
        env PYTHONPATH=src:bench .venv/bin/python bench/profile_path.py [frames] [length] [plain]
    callgrind_annotate --inclusive=yes path.out | head -60

Drives source -> `length` pass-through IONodes -> sink from this thread, so
that the instruction counts of one frame are those of the cycle alone (divide
the inclusive counts by `frames`, or subtract a run with 0 frames). With
`plain`, the same handlers are called by a plain Python loop instead: the floor.
"""

import sys

from run import Pass, Producer, line, plain_chain, start_all, stop_all


def main() -> None:
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    length = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    nodes, tail = line(Producer(), length, node=Pass)
    start_all(nodes)
    tail.expected = -1
    cycle = nodes[0]._imp._cycle
    cycle()  # setup
    if len(sys.argv) > 3 and sys.argv[3] == "plain":
        cycle = plain_chain(nodes)
    for _ in range(frames):
        cycle()
    stop_all(nodes)
    if tail.seen != frames + 1:
        raise SystemExit(f"{tail.seen} of {frames + 1} frames arrived")


if __name__ == "__main__":
    main()
