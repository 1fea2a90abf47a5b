"""What threads buy: decoupled nodes working in parallel, and what running
without the GIL costs a single thread. Runs on any build of CPython; on a
free-threaded one the decoupled nodes' steps can run at the same time.

    bench/parallel.py [--nodes 1 2 ...] [--json PATH]   # this interpreter
    bench/parallel.py --compare GIL.json FT.json         # two builds side by side

`make bench-ft` runs it on the GIL and the free-threaded build of 3.13 and
compares them. Nothing here is a test: the figures are for reading. Each row
is the median over the repeats (spread min..max beside it).

Rows, each beside its floor:
- speed-up: one source fans every frame out to N decoupled nodes, each doing
  the same deterministic CPU work per step (pure Python, or numpy matrix
  products), each feeding a sink of its own; frames through all N nodes per
  second over the same with N = 1. The ideal is N; the floor beside it is N
  plain threads doing the same work with no flowmesh in between.
- push-through: source -> k IONodes -> sink on one thread, frames/s, beside a
  plain loop calling the same handlers; --compare sets each build's figure
  against the other's (what the free-threaded build costs one thread).
- hand-off latency at 1 kHz across one decoupled node, p50/p99, beside a
  plain queue.SimpleQueue hand-off.
"""

from __future__ import annotations

import os

# BLAS's own threads would blur what the nodes' threads do: one each.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402
import sysconfig  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402

from run import (  # noqa: E402
    REPEATS,
    Counting,
    LineRun,
    Numbers,
    Stamps,
    latencies_of,
    line,
    plain_handoff,
    print_table,
    row,
    start_all,
    stop_all,
    timed,
)

from flowmesh.io_node import IONode  # noqa: E402

STEP_SECONDS = 200e-6


def gil_enabled() -> bool:
    return getattr(sys, "_is_gil_enabled", lambda: True)()


# ------------------------------------------------------------------ work


def spin(rounds: int) -> int:
    """Pure-Python CPU work, the same every call; only locals are touched, so
    two threads running it share nothing."""
    acc = 0
    for i in range(rounds):
        acc = (acc + i * i) % 1_000_003
    return acc


class Products:
    """`rounds` products of two small matrices: numpy work whose Python part
    (calls, temporaries) is as large as its BLAS part."""

    def __init__(self):
        import numpy as np

        rng = np.random.default_rng(0)
        self.a = rng.standard_normal((48, 48))
        self.b = rng.standard_normal((48, 48))

    def __call__(self, rounds: int) -> float:
        a, b = self.a, self.b
        m = a
        for _ in range(rounds):
            m = (m @ b) * 0.01 + a
        return float(m[0, 0])


def calibrate(work, seconds: float = STEP_SECONDS) -> int:
    """The rounds of `work` that take about `seconds` on this interpreter."""
    rounds = 16
    while True:
        began = time.perf_counter()
        work(rounds)
        took = time.perf_counter() - began
        if took > 0.02:
            break
        rounds *= 2
    best = min(timed(lambda: work(rounds)) for _ in range(5)) / 1e9
    return max(1, round(rounds * seconds / best))


class Busy(IONode):
    """Does `rounds` of `work` per frame, then passes the frame on."""

    def __init__(self, work=None, rounds=0, **config):
        self.work, self.rounds = work, rounds
        super().__init__(**config)

    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        self.work(self.rounds)
        return {"out": data["in"]}


# ------------------------------------------------------------------ speed-up


class FanOut:
    """source -> `width` decoupled Busy nodes -> a Counting sink each."""

    def __init__(self, width: int, frames: int, work, rounds: int):
        self.frames = frames
        self.source = Numbers(frames=frames)
        self.tails, self.nodes = [], [self.source]
        for _ in range(width):
            busy, tail = Busy(work, rounds, decoupled=True), Counting()
            self.source.connect("out", busy, "in")
            busy.connect("out", tail, "in")
            self.nodes += [busy, tail]
            self.tails.append(tail)

    def run(self, timeout: float = 120) -> None:
        for tail in self.tails:
            tail.expected, tail.seen = self.frames, 0
            tail.done.clear()
        start_all(self.nodes)
        deadline = time.monotonic() + timeout
        finished = all(t.done.wait(max(0.0, deadline - time.monotonic())) for t in self.tails)
        stop_all(self.nodes)
        if not finished:
            seen = [t.seen for t in self.tails]
            raise RuntimeError(f"only {seen} of {self.frames} frames arrived")


def plain_threads(width: int, frames: int, work, rounds: int) -> None:
    """The floor: `width` threads doing the same work `frames` times each."""

    def body():
        for _ in range(frames):
            work(rounds)

    threads = [threading.Thread(target=body) for _ in range(width)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def speedup(label: str, work, widths: list[int], frames: int) -> list[dict]:
    rounds = calibrate(work)
    print(f"{rounds} rounds of {label} work per step, about {STEP_SECONDS * 1e6:.0f} us")
    graphs = {w: FanOut(w, frames, work, rounds) for w in widths}
    rate = {w: [] for w in widths}  # frames through the busy nodes per second
    floor = {w: [] for w in widths}
    for graph in graphs.values():
        graph.run()  # warm-up
    for _ in range(REPEATS):
        for w, graph in graphs.items():
            rate[w].append(w * frames / (timed(graph.run, collector=True) / 1e9))
            took = timed(lambda: plain_threads(w, frames, work, rounds), collector=True)
            floor[w].append(w * frames / (took / 1e9))
    rows = []
    for w in widths:
        if w == 1:
            rows.append(
                row(
                    f"{label}: frames/s through 1 decoupled node (floor: 1 plain thread)",
                    "frames/s",
                    rate[1],
                    floor[1],
                    higher_is_better=True,
                )
            )
            continue
        ours = [r / base for r, base in zip(rate[w], rate[1])]
        plain = [r / base for r, base in zip(floor[w], floor[1])]
        rows.append(
            row(
                f"{label}: speed-up, {w} decoupled nodes over 1 (floor: {w} plain threads)",
                "x",
                ours,
                plain,
                goal=f">= {0.9 * w:.1f} (ideal {w:.1f})",
                higher_is_better=True,
            )
        )
    return rows


# ------------------------------------------------------------------ one thread


def push_through(length: int = 5, frames: int = 20_000) -> list[dict]:
    run = LineRun(length, frames)
    ours, plain = [], []
    run.ns_per_frame(run.ours)  # warm-up
    for _ in range(REPEATS):
        ours.append(1e9 / run.ns_per_frame(run.ours))
        plain.append(1e9 / run.ns_per_frame(run.plain))
    run.close()
    return [
        row(
            f"push-through, source -> {length} IONodes -> sink, one thread",
            "frames/s",
            ours,
            plain,
            higher_is_better=True,
        )
    ]


def handoff_latency(rate: int = 1000, frames: int = 2000) -> list[dict]:
    nodes, tail = line(Stamps(rate=rate, frames=frames), 5, decoupled_at=2)
    ours50, ours99, floor50, floor99 = [], [], [], []
    for _ in range(REPEATS):
        tail.latencies, tail.expected, tail.seen = [], frames, 0
        tail.done.clear()
        start_all(nodes)
        finished = tail.done.wait(frames / rate + 60)
        stop_all(nodes)
        if not finished:
            raise RuntimeError(f"only {tail.seen} of {frames} frames arrived")
        p50, p99 = latencies_of(tail, frames)
        ours50.append(p50)
        ours99.append(p99)
        tail.latencies, tail.expected = [], -1
        plain_handoff(nodes, 2, rate, frames)
        p50, p99 = latencies_of(tail, frames)
        floor50.append(p50)
        floor99.append(p99)
    name = f"latency at {rate} Hz, one decoupled hand-off"
    return [
        row(f"{name}, p50 (floor: SimpleQueue)", "us", ours50, floor50, "<= 10 us (no GIL)"),
        row(f"{name}, p99 (floor: SimpleQueue)", "us", ours99, floor99, "<= 40 us (no GIL)"),
    ]


# ------------------------------------------------------------------ builds


def describe() -> dict:
    return {
        "python": sys.version.split()[0],
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "gil_enabled": gil_enabled(),
        "cpus": os.cpu_count(),
        "load": os.getloadavg(),
        "repeats": REPEATS,
    }


def title(build: dict) -> str:
    kind = "free-threaded" if build["free_threaded"] else "GIL"
    gil = "on" if build["gil_enabled"] else "off"
    return f"Python {build['python']} ({kind} build, GIL {gil} after the runs)"


def median(entry: dict, key: str) -> float:
    return entry[key]["median"]


def compare(gil_path: str, ft_path: str) -> None:
    """The free-threaded build's rows beside the GIL build's, and what one
    thread pays for the free-threaded build, ours against a plain loop's."""
    with open(gil_path) as f:
        gil = json.load(f)
    with open(ft_path) as f:
        ft = json.load(f)
    print(f"A: {title(gil['build'])}\nB: {title(ft['build'])}\n")
    before = {r["name"]: r for r in gil["rows"]}
    print("| row | A | B | unit | A: ratio to floor | B: ratio to floor | goal |")
    print("|---|---|---|---|---|---|---|")
    for r in ft["rows"]:
        b = before.get(r["name"])
        cell = lambda x, k: f"{median(x, k):,.2f}" if x and k in x else "-"  # noqa: E731
        print(
            f"| {r['name']} | {cell(b, 'ours')} | {cell(r, 'ours')} | {r['unit']} "
            f"| {cell(b, 'ratio')} | {cell(r, 'ratio')} | {r['goal']} |"
        )
    # One thread: B's cost over A's, for flowmesh and for the plain loop of
    # the same handlers; the goal is ours within 10% of the loop's.
    name = next(n for n in before if n.startswith("push-through"))
    mine = {r["name"]: r for r in ft["rows"]}.get(name)
    if mine:
        ours = median(before[name], "ours") / median(mine, "ours")
        plain = median(before[name], "floor") / median(mine, "floor")
        print(
            f"\none thread, time per frame B / A: flowmesh {ours:.2f}, plain loop {plain:.2f}, "
            f"flowmesh / plain {ours / plain:.2f} (goal <= 1.10)"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, nargs="*", default=[1, 2])
    parser.add_argument("--frames", type=int, default=1500, help="per decoupled node")
    parser.add_argument("--json", help="also write the rows as JSON to this path")
    parser.add_argument("--compare", nargs=2, metavar=("GIL_JSON", "FT_JSON"))
    args = parser.parse_args()
    if args.compare:
        compare(*args.compare)
        return
    widths = sorted({1, *args.nodes})
    sections = [
        ("Parallel pure-Python work", lambda: speedup("python", spin, widths, args.frames)),
    ]
    try:
        work = Products()
    except ImportError:
        print("numpy is not installed: the numpy rows are left out", file=sys.stderr)
    else:
        sections.append(
            ("Parallel numpy work", lambda: speedup("numpy", work, widths, args.frames))
        )
    sections += [("One thread", push_through), ("Hand-off latency", handoff_latency)]
    build = describe()
    print(f"flowmesh parallel bench, {title(build)}, {REPEATS} repeats, median (min..max)")
    rows = []
    for heading, measure in sections:
        print(f"\n{heading}", flush=True)
        section = measure()
        print_table(section)
        rows.extend(section)
    build["gil_enabled"] = gil_enabled()
    print(f"\nGIL {'enabled' if build['gil_enabled'] else 'disabled'} after the runs")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"build": build, "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
