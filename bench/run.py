"""Cost of the data path, each figure beside its floor measured in the same run.

Run with `make bench` (add `BENCH_JSON=path` to keep the table as JSON, and
`bench/run.py --compare before.json after.json` to set two tables side by
side). Nothing here is a test: the figures are for reading.

The machine may be shared and noisy, so every row is measured in several
repeats; within a repeat flowmesh and its floor (plain Python calling the same
handler functions) run back to back, and what counts is the median over the
repeats of their ratio. The spread (min..max over the repeats) is printed
beside every median.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import queue
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from time import perf_counter_ns

from flowmesh.i_node import INode
from flowmesh.io_node import IONode
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource

REPEATS = 5
OUT = {"out": 1}


# ------------------------------------------------------------------ elements


class Producer(ONode):
    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return OUT


class Consumer(INode):
    def setup(self, data, context):
        return {}

    def step(self, data):
        return None


class Pass(IONode):
    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return {"out": data["in"]}


class Scale(IONode):
    """A pass-through that does a little numpy work on its frame."""

    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return {"out": data["in"] * 0.5}


class Counting(INode):
    """Signals when `expected` frames have arrived; optionally keeps latencies."""

    def __init__(self, **config):
        self.expected, self.seen, self.latencies = 0, 0, None
        self.done = threading.Event()
        super().__init__(**config)

    def setup(self, data, context):
        return {}

    def step(self, data):
        if self.latencies is not None:
            self.latencies.append(perf_counter_ns() - data["in"])
        self.seen += 1
        if self.seen == self.expected:
            self.done.set()
        return None


class Numbers(SampledSource):
    def step(self, data):
        return OUT


class Stamps(SampledSource):
    def step(self, data):
        return {"out": perf_counter_ns()}


# ------------------------------------------------------------------ statistics


def spread(values: list[float]) -> dict:
    return {
        "median": statistics.median(values),
        "min": min(values),
        "max": max(values),
        "samples": values,
    }


def row(
    name: str,
    unit: str,
    ours: list[float],
    floor: list[float] | None = None,
    goal: str = "",
    higher_is_better: bool = False,
) -> dict:
    """One table row: our figure, the floor's, and their ratio per repeat.

    The ratio is always ours / floor of the cost (time), so that 1.0 means
    "as cheap as plain Python" and smaller is better; for a rate (frames/s)
    that is floor / ours inverted, i.e. ours / floor of the rate.
    """
    entry = {"name": name, "unit": unit, "goal": goal, "ours": spread(ours)}
    if floor is not None:
        entry["floor"] = spread(floor)
        entry["ratio"] = spread([o / f for o, f in zip(ours, floor)])
        entry["ratio_kind"] = "ours/floor rate" if higher_is_better else "ours/floor time"
    return entry


def timed(run: Callable[[], None], collector: bool = False) -> int:
    """Wall time of `run`, the collector off unless `collector` (the rows at
    scale keep it on: what it costs grows with the heap a graph makes)."""
    gc.collect()
    if not collector:
        gc.disable()
    try:
        began = perf_counter_ns()
        run()
        return perf_counter_ns() - began
    finally:
        gc.enable()


def percentile(ordered: list[int], q: float) -> float:
    return ordered[min(len(ordered) - 1, int(len(ordered) * q))]


# ------------------------------------------------------------------ graphs


def line(source, length: int, decoupled_at: int | None = None, node=Pass, anticipate=False):
    passes = [
        node(decoupled=i == decoupled_at, anticipate=anticipate and i == decoupled_at)
        for i in range(length)
    ]
    tail = Counting()
    nodes = [source, *passes, tail]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    return nodes, tail


def lines(source, count: int, length: int, node=Pass):
    """`count` lines of `length` nodes, each fed by `source`; the tail of the
    last line is returned (every tail sees every frame)."""
    nodes, tail = [source], None
    for _ in range(count):
        chain, tail = line(source, length, node=node)
        nodes.extend(chain[1:])
    for n in nodes[1:]:
        if isinstance(n, Counting):
            n.expected = -1
    return nodes, tail


def start_all(nodes):
    for node in reversed(nodes):
        node.start()


def stop_all(nodes):
    for node in nodes:
        node.stop()


def run_threaded(nodes, tail, expected: int, timeout: float = 60) -> None:
    tail.expected, tail.seen = expected, 0
    tail.done.clear()
    start_all(nodes)
    finished = tail.done.wait(timeout)
    stop_all(nodes)
    if not finished:
        raise RuntimeError(f"only {tail.seen} of {expected} frames arrived")


def plain_chain(nodes, count: int = 1):
    """The handlers of `count` equal lines fed by one source as one plain
    function of no arguments: the source's step, then along each line each
    node's step with a fresh frame dict."""
    source, *rest = nodes
    first = source.step
    size = len(rest) // count
    chains = [rest[k * size : (k + 1) * size] for k in range(count)]
    chains = [([n.step for n in chain[:-1]], chain[-1].step) for chain in chains]
    if count == 1:
        ((steps, last),) = chains

        def message():
            value = first({})["out"]
            for step in steps:
                value = step({"in": value})["out"]
            last({"in": value})

        return message

    def fan_out():
        out = first({})["out"]
        for steps, last in chains:
            value = out
            for step in steps:
                value = step({"in": value})["out"]
            last({"in": value})

    return fan_out


# ------------------------------------------------------------------ rows


def throughput(frames=50_000) -> list[dict]:
    """source -> 5 IONodes -> sink, the source unpaced on its own thread,
    against a plain loop calling the same handlers."""
    ours, floor = [], []
    nodes, tail = line(Numbers(frames=frames), 5)
    message = plain_chain(nodes)
    tail.expected = -1  # the plain loop must not count as a finished run

    def plain():
        for _ in range(frames):
            message()

    run_threaded(nodes, tail, frames)  # warm-up
    for _ in range(REPEATS):
        ours.append(frames / (timed(lambda: run_threaded(nodes, tail, frames)) / 1e9))
        tail.expected = -1
        floor.append(frames / (timed(plain) / 1e9))
    return [
        row(
            "throughput, source -> 5 IONodes -> sink, push-through",
            "frames/s",
            ours,
            floor,
            goal="ratio >= 0.5",
            higher_is_better=True,
        )
    ]


class Numbered(SampledSource):
    """Each frame a fresh message carrying its number in the run."""

    def setup(self, data, context):
        self.sent = 0
        return {"out": {}}

    def step(self, data):
        self.sent += 1
        return {"out": {"n": self.sent}}


class Forward(IONode):
    """A pass-through that hands on a fresh message, as a real stage would."""

    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        return {"out": {"n": data["in"]["n"]}}


class Checking(Counting):
    """Counts the messages that arrive in order, each a new object."""

    def setup(self, data, context):
        self.last, self.previous, self.wrong = 0, None, 0
        return {}

    def step(self, data):
        message = data["in"]
        if message["n"] != self.last + 1 or message is self.previous:
            self.wrong += 1
        self.last, self.previous = message["n"], message
        return super().step(data)


def pipeline_throughput(frames=50_000) -> list[dict]:
    """An unpaced SampledSource -> 5 pass-throughs -> sink started and
    stopped by a Pipeline, fresh messages throughout, against a plain loop
    calling the same handlers with a fresh frame dict per stage."""
    ours, floor = [], []
    source, tail = Numbered(frames=frames), Checking()
    nodes = [source, *(Forward() for _ in range(5)), tail]
    pipeline = Pipeline("")
    for upstream, downstream in zip(nodes, nodes[1:]):
        pipeline.connect({"node": upstream, "port": "out"}, {"node": downstream, "port": "in"})
    message = plain_chain(nodes)

    def run():
        tail.expected, tail.seen = frames, 0
        tail.done.clear()
        pipeline.start()
        finished = tail.done.wait(60)
        pipeline.stop()
        if not finished or tail.wrong:
            raise RuntimeError(f"{tail.seen} of {frames} frames arrived, {tail.wrong} wrong")

    def plain():
        source.setup({}, {})
        tail.setup({}, {})
        tail.expected = -1
        for _ in range(frames):
            message()
        if tail.wrong or tail.last != frames:
            raise RuntimeError(f"the plain loop saw {tail.wrong} wrong messages")

    try:
        run()  # warm-up
        for _ in range(REPEATS):
            ours.append(frames / (timed(run) / 1e9))
            floor.append(frames / (timed(plain) / 1e9))
    finally:
        pipeline.close()
    return [
        row(
            "pipeline, sampled source -> 5 IONodes -> sink, fresh messages",
            "frames/s",
            ours,
            floor,
            goal="ratio >= 0.7",
            higher_is_better=True,
        )
    ]


def paced_plain(message, rate: int, frames: int, stop: threading.Event) -> None:
    """A plain 1 kHz loop paced the way a SampledSource paces its frames."""
    period = 1.0 / rate
    clock = time.monotonic
    t0 = clock()
    for k in range(frames):
        due = t0 + k * period
        while (delay := due - clock()) > 0.0:
            if stop.wait(delay):
                return
        message()


def latencies_of(tail, frames: int) -> tuple[float, float]:
    ordered = sorted(tail.latencies[frames // 10 :])  # the first frames warm up
    return statistics.median(ordered) / 1000, percentile(ordered, 0.99) / 1000


def latency(rate=1000, frames=2000) -> list[dict]:
    rows = []
    for label, decoupled_at in (("push-through", None), ("one thread boundary", 2)):
        ours50, ours99, floor50, floor99 = [], [], [], []
        nodes, tail = line(Stamps(rate=rate, frames=frames), 5, decoupled_at)
        for _ in range(REPEATS):
            tail.latencies = []
            run_threaded(nodes, tail, frames)
            p50, p99 = latencies_of(tail, frames)
            ours50.append(p50)
            ours99.append(p99)

            tail.latencies, tail.expected = [], -1
            if decoupled_at is None:
                paced_plain(plain_chain(nodes), rate, frames, threading.Event())
            else:
                plain_handoff(nodes, decoupled_at, rate, frames)
            p50, p99 = latencies_of(tail, frames)
            floor50.append(p50)
            floor99.append(p99)
        goals = {
            "push-through": ("<= 4 us", "<= 20 us"),
            "one thread boundary": ("<= 12 us", "<= 50 us"),
        }
        rows.append(
            row(f"latency at {rate} Hz, {label}, p50", "us", ours50, floor50, goals[label][0])
        )
        rows.append(
            row(f"latency at {rate} Hz, {label}, p99", "us", ours99, floor99, goals[label][1])
        )
    return rows


def plain_handoff(nodes, boundary: int, rate: int, frames: int) -> None:
    """The floor of a thread boundary: the same handlers, the chain cut before
    pass `boundary` by a queue.SimpleQueue read by a second thread."""
    source, *rest = nodes
    before = [node.step for node in rest[:boundary]]
    after = [node.step for node in rest[boundary:-1]]
    last = rest[-1].step
    handoff: queue.SimpleQueue = queue.SimpleQueue()
    done = object()

    def produce():
        value = source.step({})["out"]
        for step in before:
            value = step({"in": value})["out"]
        handoff.put(value)

    def consume():
        while (value := handoff.get()) is not done:
            for step in after:
                value = step({"in": value})["out"]
            last({"in": value})

    consumer = threading.Thread(target=consume)
    consumer.start()
    paced_plain(produce, rate, frames, threading.Event())
    handoff.put(done)
    consumer.join()


def cycle_pair(n: int):
    """One started output node with trivial handlers and one connected input
    node: (its `_cycle` n times, the same calls written by hand n times, stop)."""
    producer, consumer = Producer(), Consumer()
    producer.connect("out", consumer, "in")
    start_all([producer, consumer])
    cycle = producer._imp._cycle
    cycle()  # setup runs here, outside the timing

    def ours():
        for _ in range(n):
            cycle()

    p, c = producer._imp, consumer._imp
    pre, step, post = p.pre_step_handler, p.step_handler, p.post_step_handler
    c_pre, c_step = c.pre_step_handler, c.step_handler

    def by_hand():
        # The producer's hooks and step, then each value handed to the
        # consumer as a frame and the consumer's hooks and step.
        counter = c_counter = 0
        for _ in range(n):
            data = {}
            if pre(data):
                counter += 1
                continue
            output = step(data)
            if output is not None:
                post(output)
                for name in output:
                    frame = {"in": output[name]}
                    if not c_pre(frame):
                        c_step(frame)
                    c_counter += 1
            counter += 1

    return ours, by_hand, lambda: stop_all([producer, consumer])


def cycle_cost(n=200_000) -> list[dict]:
    ours, by_hand, stop = cycle_pair(n)
    ours_ns, floor_ns = [], []
    ours()
    for _ in range(REPEATS):
        ours_ns.append(timed(ours) / n)
        floor_ns.append(timed(by_hand) / n)
    stop()
    return [
        row(
            "_cycle, output node + 1 input node, vs by hand",
            "ns/cycle",
            ours_ns,
            floor_ns,
            "ratio <= 0.7",
        )
    ]


class LineRun:
    """source -> `length` nodes -> sink (`count` such lines fed by the one
    source), driven from this thread (the source's `_cycle` in a loop), beside
    the plain chain of its handlers."""

    def __init__(self, length: int, frames: int, node=Pass, source=Producer, count: int = 1):
        if count == 1:
            self.nodes, tail = line(source(), length, node=node)
        else:
            self.nodes, tail = lines(source(), count, length, node=node)
        self.hops = count * (length + 1)
        start_all(self.nodes)
        tail.expected = -1
        cycle = self.nodes[0]._imp._cycle
        message = plain_chain(self.nodes, count)
        cycle()  # setup

        def ours():
            for _ in range(frames):
                cycle()

        def plain():
            for _ in range(frames):
                message()

        self.ours, self.plain, self.frames = ours, plain, frames

    def ns_per_frame(self, run, inner=3, collector=False) -> float:
        """The least of `inner` timings: a repeat's figure, least disturbed."""
        return min(timed(run, collector) for _ in range(inner)) / self.frames

    def close(self):
        stop_all(self.nodes)


def per_frame_ns(
    length: int, frames: int, node=Pass, source=Producer
) -> tuple[list[float], list[float]]:
    run = LineRun(length, frames, node, source)
    ours, floor = [], []
    for _ in range(REPEATS):
        ours.append(run.ns_per_frame(run.ours))
        floor.append(run.ns_per_frame(run.plain))
    run.close()
    return ours, floor


def per_hop(frames=20_000) -> list[dict]:
    """What one more IONode in a line costs: (t(N) - t(0)) / N per frame, the
    two lines timed back to back in every repeat."""
    lengths = (1, 5, 20)
    runs = {n: LineRun(n, frames) for n in (0, *lengths)}
    ours = {n: [] for n in runs}
    floor = {n: [] for n in runs}
    for _ in range(REPEATS):
        for n, run in runs.items():
            ours[n].append(run.ns_per_frame(run.ours))
            floor[n].append(run.ns_per_frame(run.plain))
    for run in runs.values():
        run.close()
    rows = []
    for n in lengths:
        hop = [(o - b) / n for o, b in zip(ours[n], ours[0])]
        hop_floor = [(f - b) / n for f, b in zip(floor[n], floor[0])]
        rows.append(row(f"cost per hop, {n:2d} IONode(s) in a line", "ns/hop", hop, hop_floor))
    return rows


def per_hop_at_scale(hops=200_000) -> list[dict]:
    """The cost of a hop in graphs of 100 to 5,000 nodes, as one line and as
    10 lines fed by one source, against the plain chain of the same handlers;
    the collector stays on. A hop should cost about the same at every size:
    the last rows set 5,000 nodes against 100, timed in the same rounds (the
    ratio of each round, whose median resists a shared machine's swings)."""
    sizes = [(total, count) for total in (100, 1000, 5000) for count in (1, 10)]
    runs = {
        (total, count): LineRun(total // count, max(10, hops // total), count=count)
        for total, count in sizes
    }
    ours = {key: [] for key in sizes}
    floor = {key: [] for key in sizes}
    for _ in range(REPEATS):
        for key, run in runs.items():
            ours[key].append(run.ns_per_frame(run.ours, collector=True) / run.hops)
            floor[key].append(run.ns_per_frame(run.plain, collector=True) / run.hops)
    for run in runs.values():
        run.close()
    rows = []
    shapes = {1: "in a line", 10: "as 10 lines"}
    for total, count in sizes:
        name = f"cost per hop, {total:5,d} IONodes {shapes[count]}"
        rows.append(row(name, "ns/hop", ours[total, count], floor[total, count]))
    for count, shape in shapes.items():
        name = f"cost per hop at 5,000 IONodes {shape}, over that at 100"
        rows.append(row(name, "ns/hop", ours[5000, count], ours[100, count], "ratio <= 1.5"))
    return rows


def numpy_frames(frames=50_000) -> list[dict]:
    try:
        import numpy as np
    except ImportError:
        return []
    block = {"out": np.zeros((8, 32))}

    class Blocks(Producer):
        def step(self, data):
            return block

    ours, floor = per_frame_ns(5, frames, node=Scale, source=Blocks)
    return [
        row(
            "numpy frames 8 x 32, source -> 5 IONodes (x * 0.5) -> sink",
            "ns/frame",
            ours,
            floor,
        )
    ]


# ------------------------------------------------------------------ memory


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(what: str) -> dict:
    """Runs in a fresh interpreter so that other rows leave no trace in RSS."""
    kind, _, size = what.partition(":")
    if kind in ("nodes", "pipeline"):
        # A line headed by a source, started and run for a few frames: what
        # the frames leave behind (the depth of the delivery) counts too. A
        # small graph of the same kind runs first, so that what a process
        # pays once (imports, the monitoring thread's malloc arena) is not
        # spread over the nodes.
        count = int(size or 1000)
        if count > 2:
            memory_child(f"{kind}:2")
        gc.collect()
        before = rss_bytes()
        nodes = [Producer()] + [Pass() for _ in range(count - 1)]
        if kind == "nodes":
            for upstream, downstream in zip(nodes, nodes[1:]):
                upstream.connect("out", downstream, "in")
            start_all(nodes)
        else:
            from flowmesh.pipeline import Pipeline

            pipeline = Pipeline("")
            for upstream, downstream in zip(nodes, nodes[1:]):
                pipeline.connect(upstream, downstream)
            pipeline.start()
        cycle = nodes[0]._imp._cycle
        for _ in range(10):
            cycle()
        gc.collect()
        after = rss_bytes()
        if kind == "nodes":
            stop_all(nodes)
        else:
            pipeline.close()
        return {"per_node": (after - before) / count}
    nodes, tail = line(Producer(), 5)
    start_all(nodes)
    tail.expected = -1
    cycle = nodes[0]._imp._cycle
    for _ in range(10_000):
        cycle()
    gc.collect()
    early = rss_bytes()
    for _ in range(1_000_000 - 10_000):
        cycle()
    gc.collect()
    late = rss_bytes()
    stop_all(nodes)
    return {"early": early, "late": late, "frames": tail.seen}


def memory_run(what: str, cache: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--memory-child", what],
        check=True,
        capture_output=True,
        text=True,
        env=compiled_env(cache),
    )
    return json.loads(out.stdout.splitlines()[-1])


# A source, a pass-through and a sink, run for PEAK_FRAMES frames in a fresh
# interpreter that imports only what the program itself needs: as a pipeline
# of plain nodes, and as the same chain in plain Python (a thread calling the
# three handlers in turn). The figure is the process's peak RSS.
PEAK_FRAMES = 2000
PEAK_OURS = f"""
import time
from flowmesh import IONode, Pipeline, SampledSource, Sink
class Src(SampledSource):
    def step(self, data):
        return {{"out": 1}}
class Pass(IONode):
    def step(self, data):
        return {{"out": data["in"]}}
sink = Sink(name="z")
with Pipeline("") as p:
    p.connect(Src(name="a", rate=20000, frames={PEAK_FRAMES}), Pass(name="m"))
    p.connect(p.get_elements()[1], sink)
    p.start()
    while len(sink.values()) < {PEAK_FRAMES}:
        time.sleep(0.01)
    p.stop()
print(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
"""
PEAK_FLOOR = f"""
import threading
frames = []
def src():
    return {{"out": 1}}
def through(data):
    return {{"out": data["in"]}}
def sink(data):
    frames.append(data)
def run():
    for _ in range({PEAK_FRAMES}):
        sink({{"in": through({{"in": src()["out"]}})["out"]}})
worker = threading.Thread(target=run)
worker.start()
worker.join()
print(open("/proc/self/status").read().split("VmHWM:")[1].split()[0])
"""


def compiled_env(cache: str) -> dict:
    """The environment of a child that finds every module compiled in `cache`
    (after a first run fills it), as an installed package and interpreter
    have them. Compiling on import would count its passing peak, and the
    memory it frees would be reused by what is measured next: whether the
    interpreter's own modules happen to be compiled moved the per-node rows
    by 1.6 KiB."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    env["PYTHONPYCACHEPREFIX"] = cache
    return env


def peak_rss_mib(code: str, cache: str) -> float:
    out = subprocess.run(
        [sys.executable, "-c", code],
        check=True,
        capture_output=True,
        text=True,
        env=compiled_env(cache),
    ).stdout
    # VmHWM (KiB), not ru_maxrss: that one keeps the parent's peak across exec.
    return int(out.splitlines()[-1]) / 1024


def memory() -> list[dict]:
    sizes = (1000, 5000)
    per_node = {(kind, n): [] for kind in ("nodes", "pipeline") for n in sizes}
    early, late = [], []
    ours, floor = [], []
    with tempfile.TemporaryDirectory() as cache:
        peak_rss_mib(PEAK_OURS, cache)  # fills the cache of compiled modules
        for _ in range(REPEATS):
            ours.append(peak_rss_mib(PEAK_OURS, cache))
            floor.append(peak_rss_mib(PEAK_FLOOR, cache))
        memory_run("pipeline:2", cache)  # and what the rows below import
        for _ in range(3):
            for kind, n in per_node:
                per_node[kind, n].append(memory_run(f"{kind}:{n}", cache)["per_node"] / 1024)
            result = memory_run("frames", cache)
            if result["frames"] != 1_000_000:
                raise RuntimeError(f"{result['frames']} of 1000000 frames arrived")
            early.append(result["early"] / 2**20)
            late.append(result["late"] / 2**20)
    rows = [
        row(
            "Peak RSS of a plain 3-node pipeline process (excess over plain Python)",
            "MiB",
            [o - f for o, f in zip(ours, floor)],
            goal="<= 3 MiB",
        ),
        row("Peak RSS of that process, and of plain Python (ratio)", "MiB", ours, floor),
    ]
    for n in sizes:
        rows.append(
            row(f"RSS per node, {n:,d} IONodes in a line, started", "KiB", per_node["nodes", n])
        )
        rows.append(
            row(
                f"RSS per node, {n:,d} IONodes in a line, in a pipeline (ratio to bare)",
                "KiB",
                per_node["pipeline", n],
                per_node["nodes", n],
                "ratio <= 1.5",
            )
        )
    rows.append(
        row(
            "RSS after 10^6 frames, vs after 10^4 (ratio)",
            "MiB",
            late,
            early,
            "ratio <= 1.0 (+noise)",
        )
    )
    return rows


# ------------------------------------------------------------------ documents


def documents(elements=100) -> list[dict]:
    """Writing and reading a pipeline of `elements` connected nodes, per
    element (for reading; no floor, no goal)."""
    import tempfile

    from flowmesh.pipeline import Pipeline
    from flowmesh.portable import Portable

    figures = {
        "serialize": [],
        "deserialize + close": [],
        "save (JSON, fsync)": [],
        "load + close": [],
    }
    with tempfile.TemporaryDirectory() as directory:
        saved_state = os.environ.get("XDG_STATE_HOME")
        os.environ["XDG_STATE_HOME"] = directory  # the rebuilt pipelines' log files
        try:
            pipeline = Pipeline("")
            nodes = [Producer(name="p0")] + [Pass(name=f"n{k}") for k in range(1, elements)]
            for a, b in zip(nodes, nodes[1:]):
                pipeline.connect(a, b)
            document = pipeline.serialize()
            path = os.path.join(directory, "p.json")

            def read():
                Portable.reset()
                Pipeline.deserialize(document).close()

            def load():
                Portable.reset()
                Pipeline.load(path).close()

            runs = {
                "serialize": pipeline.serialize,
                "deserialize + close": read,
                "save (JSON, fsync)": lambda: pipeline.save(path),
                "load + close": load,
            }
            for run in runs.values():
                run()  # warm-up
            for _ in range(REPEATS):
                for name, run in runs.items():
                    figures[name].append(timed(run) / elements / 1000)
            pipeline.close()
            Portable.reset()
        finally:
            if saved_state is None:
                os.environ.pop("XDG_STATE_HOME", None)
            else:
                os.environ["XDG_STATE_HOME"] = saved_state
    return [
        row(f"documents, {elements} elements: {name}, per element", "us", v)
        for name, v in figures.items()
    ]


# ------------------------------------------------------------------ output


SECTIONS = [
    ("Throughput", throughput),
    ("Pipeline throughput", pipeline_throughput),
    ("Latency", latency),
    ("Node cycle", cycle_cost),
    ("Cost per hop", per_hop),
    ("Scale", per_hop_at_scale),
    ("Numpy frames", numpy_frames),
    ("Memory", memory),
    ("Documents", documents),
]


def fmt(stat: dict) -> str:
    return f"{stat['median']:>11,.2f} ({stat['min']:,.2f}..{stat['max']:,.2f})"


def print_table(rows: list[dict]) -> None:
    width = max(len(r["name"]) for r in rows)
    print(f"{'':<{width}}  {'ours: median (min..max)':>32}  {'floor':>32}  {'ratio':>26}  goal")
    for r in rows:
        floor = fmt(r["floor"]) if "floor" in r else ""
        ratio = fmt(r["ratio"]) if "ratio" in r else ""
        print(
            f"{r['name']:<{width}}  {fmt(r['ours']):>26} {r['unit']:<5}  "
            f"{floor:>32}  {ratio:>26}  {r['goal']}"
        )


def compare(before_path: str, after_path: str) -> None:
    with open(before_path) as f:
        before = {r["name"]: r for r in json.load(f)["rows"]}
    with open(after_path) as f:
        after = json.load(f)["rows"]
    print("| row | before | after | unit | ratio to floor before | after | goal |")
    print("|---|---|---|---|---|---|---|")
    for r in after:
        b = before.get(r["name"])
        cell = lambda x, k: f"{x[k]['median']:,.2f}" if x and k in x else "—"  # noqa: E731
        print(
            f"| {r['name']} | {cell(b, 'ours')} | {cell(r, 'ours')} | {r['unit']} "
            f"| {cell(b, 'ratio')} | {cell(r, 'ratio')} | {r['goal']} |"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", help="also write the table as JSON to this path")
    parser.add_argument("--only", nargs="*", help="section names to run (default: all)")
    parser.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        print(json.dumps(memory_child(args.memory_child)))
        return
    if args.compare:
        compare(*args.compare)
        return
    print(f"flowmesh bench, Python {sys.version.split()[0]}, {REPEATS} repeats, median (min..max)")
    rows = []
    for title, measure in SECTIONS:
        if args.only and title.split()[0].lower() not in [o.lower() for o in args.only]:
            continue
        print(f"\n{title}", flush=True)
        section = measure()
        print_table(section)
        rows.extend(section)
    if args.json:
        report = {
            "python": sys.version.split()[0],
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "load": os.getloadavg(),
            "repeats": REPEATS,
            "rows": rows,
        }
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
