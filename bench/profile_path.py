"""A fixed amount of data-path work for an instruction-counting profiler.

    PYTHONPATH=src:bench valgrind --tool=callgrind --callgrind-out-file=path.out \
        .venv/bin/python bench/profile_path.py [frames] [length] [plain|cycle|cycle-plain]
    python bench/callgrind_diff.py zero.out path.out frames

Drives source -> `length` pass-through IONodes -> sink from this thread, so
that the instruction counts of one frame are those of the cycle alone
(subtract a run with 0 frames, divide by `frames`). With `plain`, the same
handlers are called by a plain Python loop instead: the floor. `cycle` and
`cycle-plain` run the node-cycle row of `make bench` (an output node and one
input node, by `_cycle` and by hand).
"""

import sys

from run import Pass, Producer, cycle_pair, line, plain_chain, start_all, stop_all


def main() -> None:
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    length = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    mode = sys.argv[3] if len(sys.argv) > 3 else ""
    if mode.startswith("cycle"):
        ours, by_hand, stop = cycle_pair(frames)
        (by_hand if mode == "cycle-plain" else ours)()
        stop()
        return
    nodes, tail = line(Producer(), length, node=Pass)
    start_all(nodes)
    tail.expected = -1
    cycle = nodes[0]._imp._cycle
    cycle()  # setup
    if mode == "plain":
        cycle = plain_chain(nodes)
    for _ in range(frames):
        cycle()
    stop_all(nodes)
    if tail.seen != frames + 1:
        raise SystemExit(f"{tail.seen} of {frames + 1} frames arrived")


if __name__ == "__main__":
    main()
