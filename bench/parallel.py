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
  plain loop calling the same handlers.
- hand-off latency at 1 kHz across one decoupled node, p50/p99, beside a
  plain queue.SimpleQueue hand-off: in a line of five, and from a source
  straight to an anticipating sink; beside them, how often the machine
  stalls a thread that never blocks, and for how long.

What the free-threaded build costs one thread is the push-through time per
frame on build B over build A, for flowmesh beside the same for the plain
loop; the goal is flowmesh's within 10 % of the loop's. --compare measures it
afresh rather than from the two runs' rows, which ran minutes apart on a
machine whose load moves more than that distance:

- wall and CPU time: `rounds` rounds, each running one child process of
  either build (GIL, FT; the next round FT, GIL, so that a drift in load
  falls on both), each child timing flowmesh and the plain loop back to back
  (wall time, and time.thread_time_ns of the measuring thread, which a
  descheduled thread does not accrue). Per round, the ratio of ratios
  (B/A of flowmesh over B/A of the loop); the row is its median with the
  quartiles.
- instructions (where valgrind is installed): callgrind's count per frame
  (a run of N frames less a run of none, PYTHONHASHSEED=0) of flowmesh and
  of the plain loop on each build, and the same ratio of ratios. It does not
  move with the load; it weighs a locked instruction like any other.

The interpreters are those that wrote the two JSON files.
"""

from __future__ import annotations

import os

# BLAS's own threads would blur what the nodes' threads do: one each.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import json  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import sysconfig  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

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
    run_threaded,
    start_all,
    stop_all,
    timed,
)

import flowmesh  # noqa: E402
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


def stalls(seconds: float = 1.0, longer_than_ns: int = 15_000) -> tuple[float, float]:
    """What the machine takes from a thread that never blocks: gaps longer
    than `longer_than_ns` between two readings of the clock, per second, and
    their median length in us. Every frame whose path a gap falls on is late
    by it, whatever runs the path."""
    gaps = []
    clock = time.perf_counter_ns
    last = clock()
    end = last + int(seconds * 1e9)
    while last < end:
        now = clock()
        if now - last > longer_than_ns:
            gaps.append(now - last)
        last = now
    return len(gaps) / seconds, (statistics.median(gaps) / 1000 if gaps else 0.0)


def paced(nodes, tail, rate: int, frames: int) -> tuple[float, float, float]:
    """One paced run of `nodes`: p50, p99 and the CPU time of the whole
    process per second of the run (which polling adds to)."""
    tail.latencies = []
    began, cpu = time.perf_counter(), time.process_time()
    run_threaded(nodes, tail, frames, frames / rate + 60)
    share = (time.process_time() - cpu) / (time.perf_counter() - began)
    return (*latencies_of(tail, frames), share)


def plain(nodes, boundary: int, rate: int, frames: int) -> tuple[float, float]:
    """p50 and p99 of the same handlers cut at `boundary` by a SimpleQueue."""
    tail = nodes[-1]
    tail.latencies, tail.expected = [], -1
    plain_handoff(nodes, boundary, rate, frames)
    return latencies_of(tail, frames)


def handoff_latency(rate: int = 1000, frames: int = 2000) -> list[dict]:
    """p50/p99 across a decoupled node whose worker sleeps between frames,
    and across one that anticipates them (beside the CPU time of the whole
    process per second of the run, which the polling adds to); the same
    boundary with one handler either side (a source straight to an
    anticipating sink); and the stalls of the machine, which set the tail of
    any path a few microseconds long. Each beside its SimpleQueue floor."""
    lines = {a: line(Stamps(rate=rate, frames=frames), 5, 2, anticipate=a) for a in (False, True)}
    direct = [Stamps(rate=rate, frames=frames), Counting(decoupled=True, anticipate=True)]
    direct[0].connect("out", direct[1], "in")
    ours = {a: ([], [], []) for a in lines}
    boundary = ([], [], [])
    floor50, floor99, direct50, direct99 = [], [], [], []
    stall_rate, stall_length = [], []
    for _ in range(REPEATS):
        for column, value in zip((stall_rate, stall_length), stalls()):
            column.append(value)
        for anticipate, (nodes, tail) in lines.items():
            for column, value in zip(ours[anticipate], paced(nodes, tail, rate, frames)):
                column.append(value)
        for column, value in zip((floor50, floor99), plain(lines[False][0], 2, rate, frames)):
            column.append(value)
        for column, value in zip(boundary, paced(direct, direct[1], rate, frames)):
            column.append(value)
        for column, value in zip((direct50, direct99), plain(direct, 0, rate, frames)):
            column.append(value)
    name = f"latency at {rate} Hz, one decoupled hand-off"
    rows = []
    for anticipate, label in ((False, ""), (True, ", anticipating")):
        p50, p99, share = ours[anticipate]
        rows += [
            row(
                f"{name}{label}, p50 (floor: SimpleQueue)", "us", p50, floor50, "<= 10 us (no GIL)"
            ),
            row(
                f"{name}{label}, p99 (floor: SimpleQueue)", "us", p99, floor99, "<= 40 us (no GIL)"
            ),
            row(f"CPU of the run{label}, cores", "cores", share),
        ]
    p50, p99, _ = boundary
    name = f"latency at {rate} Hz, source -> anticipating decoupled sink"
    rows += [
        row(f"{name}, p50 (floor: SimpleQueue)", "us", p50, direct50, "<= 10 us (no GIL)"),
        row(f"{name}, p99 (floor: SimpleQueue)", "us", p99, direct99, "<= 40 us (no GIL)"),
        row("stalls over 15 us a spinning thread sees", "per s", stall_rate),
        row("median length of those stalls", "us", stall_length),
    ]
    return rows


# ------------------------------------------------------------------ builds


def describe() -> dict:
    return {
        "python": sys.version.split()[0],
        "free_threaded": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
        "gil_enabled": gil_enabled(),
        "cpus": os.cpu_count(),
        "load": os.getloadavg(),
        "repeats": REPEATS,
        "executable": sys.executable,
    }


def title(build: dict) -> str:
    kind = "free-threaded" if build["free_threaded"] else "GIL"
    gil = "on" if build["gil_enabled"] else "off"
    return f"Python {build['python']} ({kind} build, GIL {gil} after the runs)"


def median(entry: dict, key: str) -> float:
    return entry[key]["median"]


def one_thread_times(length: int, frames: int, inner: int = 5) -> dict:
    """ns per frame of flowmesh's line and of the plain loop, wall and CPU
    time of this thread, each the least of `inner` back-to-back timings."""
    import gc

    run = LineRun(length, frames)
    taken = {"ours": run.ours, "plain": run.plain}
    best = {f"{k}_{clock}": float("inf") for k in taken for clock in ("wall", "cpu")}
    run.ours()  # warm-up
    run.plain()
    for _ in range(inner):
        for kind, body in taken.items():
            gc.collect()
            gc.disable()
            try:
                wall, cpu = time.perf_counter_ns(), time.thread_time_ns()
                body()
                cpu, wall = time.thread_time_ns() - cpu, time.perf_counter_ns() - wall
            finally:
                gc.enable()
            best[f"{kind}_wall"] = min(best[f"{kind}_wall"], wall / frames)
            best[f"{kind}_cpu"] = min(best[f"{kind}_cpu"], cpu / frames)
    run.close()
    return best


def child_env() -> dict:
    env = dict(os.environ)
    src = str(Path(flowmesh.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join([src, str(Path(__file__).resolve().parent)])
    return env


def one_thread_child(python: str, length: int, frames: int) -> dict:
    out = subprocess.run(
        [python, __file__, "--one-thread", str(length), str(frames)],
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=600,
    )
    if out.returncode != 0:
        raise RuntimeError(f"{python}: one-thread child failed\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def ratio_of_ratios(a: dict, b: dict, clock: str) -> tuple[float, float, float]:
    """B over A for flowmesh, for the plain loop, and the first over the second."""
    ours = b[f"ours_{clock}"] / a[f"ours_{clock}"]
    plain = b[f"plain_{clock}"] / a[f"plain_{clock}"]
    return ours, plain, ours / plain


def quartiles(values: list[float]) -> tuple[float, float, float]:
    if len(values) == 1:
        return values[0], values[0], values[0]
    q1, q2, q3 = statistics.quantiles(values, n=4, method="inclusive")
    return q1, q2, q3


def interleaved(gil_python: str, ft_python: str, rounds: int, length: int, frames: int) -> dict:
    """Per-round ratios of the two builds' children, run alternately."""
    per_clock = {"wall": [], "cpu": []}
    for i in range(rounds):
        order = [("A", gil_python), ("B", ft_python)]
        if i % 2:
            order.reverse()
        got = {name: one_thread_child(python, length, frames) for name, python in order}
        for clock, ratios in per_clock.items():
            ratios.append(ratio_of_ratios(got["A"], got["B"], clock))
        print(".", end="", flush=True)
    print()
    return per_clock


def callgrind_total(path: str) -> int:
    """The instructions a callgrind profile counted, from its totals line."""
    with open(path) as f:
        for text in f:
            if text.startswith(("totals:", "summary:")):
                return int(text.split()[1])
    raise ValueError(f"{path}: no totals line")


def instructions_per_frame(python: str, length: int, frames: int, plain: bool) -> float:
    profile = Path(__file__).resolve().parent / "profile_path.py"
    env = child_env() | {"PYTHONHASHSEED": "0"}
    totals = []
    with tempfile.TemporaryDirectory() as tmp:
        for n in (0, frames):
            out = os.path.join(tmp, f"cg{n}.out")
            command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}"]
            command += [python, str(profile), str(n), str(length)] + (["plain"] if plain else [])
            subprocess.run(command, env=env, capture_output=True, check=True, timeout=1800)
            totals.append(callgrind_total(out))
    return (totals[1] - totals[0]) / frames


def instruction_ratios(gil_python: str, ft_python: str, length: int, frames: int) -> dict:
    ir = {
        (build, kind): instructions_per_frame(python, length, frames, kind == "plain")
        for build, python in (("A", gil_python), ("B", ft_python))
        for kind in ("ours", "plain")
    }
    return {f"{kind}_{build}": v for (build, kind), v in ir.items()}


def compare(gil_path: str, ft_path: str, rounds: int = 9, instructions: bool = True) -> None:
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
    pythons = gil["build"].get("executable"), ft["build"].get("executable")
    if not all(pythons) or rounds < 1:
        return
    length, frames = 5, 20_000
    print(
        f"\nOne thread, source -> {length} IONodes -> sink: time per frame B / A, "
        f"{rounds} interleaved rounds of a child process per build (goal: flowmesh / plain <= 1.10)"
    )
    print("| clock | flowmesh B/A | plain loop B/A | flowmesh / plain: median (quartiles) |")
    print("|---|---|---|---|")
    for clock, ratios in interleaved(*pythons, rounds, length, frames).items():
        mid = [statistics.median(r[k] for r in ratios) for k in range(2)]
        q1, q2, q3 = quartiles([r[2] for r in ratios])
        print(f"| {clock} | {mid[0]:.2f} | {mid[1]:.2f} | {q2:.2f} ({q1:.2f}..{q3:.2f}) |")
    if not instructions:
        return
    if not shutil.which("valgrind"):
        print("valgrind is not installed: no instruction counts")
        return
    ir = instruction_ratios(*pythons, length, 2000)
    ours, plain = ir["ours_B"] / ir["ours_A"], ir["plain_B"] / ir["plain_A"]
    print(
        f"| instructions (callgrind) | {ours:.3f} ({ir['ours_A']:,.0f} -> {ir['ours_B']:,.0f}) "
        f"| {plain:.3f} ({ir['plain_A']:,.0f} -> {ir['plain_B']:,.0f}) | {ours / plain:.3f} |"
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, nargs="*", default=[1, 2])
    parser.add_argument("--frames", type=int, default=1500, help="per decoupled node")
    parser.add_argument("--json", help="also write the rows as JSON to this path")
    parser.add_argument("--compare", nargs=2, metavar=("GIL_JSON", "FT_JSON"))
    parser.add_argument("--rounds", type=int, default=9, help="--compare's one-thread rounds")
    parser.add_argument(
        "--no-instructions", action="store_true", help="--compare without callgrind's counts"
    )
    parser.add_argument("--one-thread", nargs=2, type=int, metavar=("LENGTH", "FRAMES"))
    parser.add_argument("--handoff", action="store_true", help="only the hand-off latency rows")
    args = parser.parse_args()
    if args.one_thread:
        print(json.dumps(one_thread_times(*args.one_thread)))
        return
    if args.compare:
        compare(*args.compare, rounds=args.rounds, instructions=not args.no_instructions)
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
    if args.handoff:
        sections = sections[-1:]
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
