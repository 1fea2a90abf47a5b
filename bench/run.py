"""Throughput and latency of the data path. Run with `make bench`.

Every figure is the best of several repetitions after a warm-up (the machine
may be shared; the best run is the one least disturbed). Nothing here is a
test: the numbers are for reading, next to the goals printed with them.
"""

import gc
import statistics
import sys
import threading
from time import perf_counter_ns

from flowmesh.i_node import INode
from flowmesh.io_node import IONode
from flowmesh.o_node import ONode
from flowmesh.sources import SampledSource

REPEATS = 5
OUT = {"out": 1}


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


def best_ns_per_op(run, ops, repeats=REPEATS):
    """Smallest wall time of `run()` over the repeats, divided by `ops`."""
    run()  # warm-up
    best = None
    gc.disable()
    try:
        for _ in range(repeats):
            began = perf_counter_ns()
            run()
            elapsed = perf_counter_ns() - began
            best = elapsed if best is None else min(best, elapsed)
    finally:
        gc.enable()
    return best / ops


def wire(producer, consumers):
    for consumer in consumers:
        producer.connect("out", consumer, "in")
    for node in (*consumers, producer):
        node.start()


def unwire(producer, consumers):
    for node in (producer, *consumers):
        node.stop()


def cycle_cost(n=200_000):
    """One started output node, trivial handlers, one connected trivial input node."""
    producer, consumer = Producer(), Consumer()
    wire(producer, [consumer])
    cycle = producer._imp._cycle
    cycle()  # setup runs here, outside the timing

    def ours():
        for _ in range(n):
            cycle()

    p, c = producer._imp, consumer._imp
    pre, step, post = p.pre_step_handler, p.step_handler, p.post_step_handler
    c_pre, c_step = c.pre_step_handler, c.step_handler

    def by_hand():
        # The same work inlined: the producer's hooks and step, then the value
        # handed to the consumer as a frame and the consumer's hooks and step.
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

    rows = [
        ("_cycle, output node + 1 connected input", best_ns_per_op(ours, n), "ns/cycle"),
        ("hand-written Python loop, same handlers", best_ns_per_op(by_hand, n), "ns/cycle"),
    ]
    unwire(producer, [consumer])
    return rows


def push_cost(fanouts=(1, 4, 16), pushes=100_000):
    rows = []
    for running in (True, False):
        for k in fanouts:
            producer, consumers = Producer(), [Consumer() for _ in range(k)]
            wire(producer, consumers)
            producer._imp._cycle()  # consumers set up
            if not running:
                for consumer in consumers:
                    consumer.stop()
            push = producer._imp.get_output_port("out").push

            def run():
                for _ in range(pushes):
                    push(1)

            per_consumer = best_ns_per_op(run, pushes * k)
            what = "consumer cycle runs" if running else "consumer STOPPED, item dropped"
            rows.append((f"push, {k:2d} consumer(s), {what}", per_consumer, "ns/consumer"))
            unwire(producer, consumers)
    return rows


def graph(source, decoupled_at=None, length=5):
    passes = [Pass(decoupled=i == decoupled_at) for i in range(length)]
    tail = Counting()
    nodes = [source, *passes, tail]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    return nodes, tail


def run_graph(nodes, tail, expected, timeout=60):
    tail.expected, tail.seen = expected, 0
    tail.done.clear()
    for node in reversed(nodes):
        node.start()
    finished = tail.done.wait(timeout)
    for node in nodes:
        node.stop()
    if not finished:
        raise RuntimeError(f"only {tail.seen} of {expected} frames arrived")


def throughput(frames=50_000, repeats=3):
    rows = []
    for label, decoupled_at in (("push-through, one thread", None), ("one thread boundary", 2)):
        best = None
        for _ in range(repeats + 1):  # the first run warms up
            nodes, tail = graph(Numbers(frames=frames), decoupled_at)
            began = perf_counter_ns()
            run_graph(nodes, tail, frames)
            elapsed = perf_counter_ns() - began
            best = elapsed if best is None else min(best, elapsed)
        rows.append((f"source -> 5 IONodes -> sink, {label}", frames / (best / 1e9), "frames/s"))
    return rows


def latency(rate=1000, frames=2000):
    rows = []
    for label, decoupled_at in (("push-through", None), ("one thread boundary", 2)):
        nodes, tail = graph(Stamps(rate=rate, frames=frames), decoupled_at)
        tail.latencies = []
        run_graph(nodes, tail, frames)
        ordered = sorted(tail.latencies[frames // 10 :])  # the first frames warm up
        p50 = statistics.median(ordered)
        p99 = ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]
        rows.append((f"latency at {rate} Hz, {label}: p50", p50 / 1000, "us"))
        rows.append((f"latency at {rate} Hz, {label}: p99", p99 / 1000, "us"))
    return rows


def documents(elements=100):
    """Writing and reading a pipeline of `elements` connected nodes, per element."""
    import os
    import tempfile

    from flowmesh.pipeline import Pipeline
    from flowmesh.portable import Portable

    rows = []
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

            rows.append(("serialize", best_ns_per_op(pipeline.serialize, elements) / 1000, "us"))
            rows.append(("deserialize + close", best_ns_per_op(read, elements) / 1000, "us"))
            rows.append(
                (
                    "save (JSON, fsync)",
                    best_ns_per_op(lambda: pipeline.save(path), elements) / 1000,
                    "us",
                )
            )
            rows.append(("load + close", best_ns_per_op(load, elements) / 1000, "us"))
            pipeline.close()
            Portable.reset()
        finally:
            if saved_state is None:
                os.environ.pop("XDG_STATE_HOME", None)
            else:
                os.environ["XDG_STATE_HOME"] = saved_state
    return [(f"{name}, per element", value, unit) for name, value, unit in rows]


def main():
    sections = [
        ("1. Node cycle (goal: ours <= hand-written)", cycle_cost),
        ("2. Push per consumer (goal: <= 60 ns/consumer)", push_cost),
        ("3. Graph throughput and latency (source stamps in step, sink reads in step)", None),
        ("4. Documents, 100 connected elements (for reading; no goal)", documents),
    ]
    print(f"flowmesh bench, Python {sys.version.split()[0]}, best of {REPEATS} after warm-up")
    for title, measure in sections:
        print(f"\n{title}")
        rows = measure() if measure else throughput() + latency()
        width = max(len(name) for name, _, _ in rows)
        for name, value, unit in rows:
            print(f"  {name:<{width}}  {value:>12,.1f} {unit}")


if __name__ == "__main__":
    main()
