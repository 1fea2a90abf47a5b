"""Frames per second of a free-running chain with the monitor off and on,
and the trace bytes a page receives at 64 channels x 1 kHz.

    PYTHONPATH=src .venv/bin/python bench/monitor_overhead.py [seconds-per-run]
    PYTHONPATH=src .venv/bin/python bench/monitor_overhead.py --cpu [seconds] [pages]
    PYTHONPATH=src .venv/bin/python bench/monitor_overhead.py --paired CONFIGURATION [pairs]
    PYTHONPATH=src .venv/bin/python bench/monitor_overhead.py --versus-noise CONFIGURATION [pairs]

The chain is source -> pass -> sink, the source producing as fast as it can,
next to a 100 Hz branch of its own.
Each configuration runs REPEATS times, interleaved with the others (in a new
order each round) so that a disturbance of the shared machine spreads over
all of them; the table gives
the median and best frames per second and the median's difference from "off".
Monitor clients are real Server-Sent Events readers on loopback, in a process
of their own as a browser is; "showing a trace" clients also fetch the plotted
trace after every snapshot over one kept-alive connection, as the page does.
`--paired` runs one configuration (named as in the table) beside "off", pair
by pair, and prints the ratios of frames/s; `--paired off` gives the spread
that noise alone makes. `--versus-noise CONFIGURATION [pairs]` interleaves
the two and tests whether the configuration's ratios are lower. `--cpu` instead runs the chain
with `pages` (default 5) pages showing a trace of the measured path and
prints the CPU time each monitor thread took, as a share of one core: on the
GIL build every bit of it is taken from the pipeline.
The thread waking 50 times a second shows what any other Python thread's
wake-up costs a chain that holds the GIL: a hand-over, no more.
"handler timing on" keeps each node's time in its handlers (what a monitor
page or `flowmesh run` turns on) without a monitor; what that costs the data
path alone is measured apart, by cycling a line of nodes on one thread.
"""

import base64
import http.client
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

from flowmesh import monitor
from flowmesh.i_node import INode
from flowmesh.io_node import IONode
from flowmesh.monitor import figures, trace
from flowmesh.o_node import ONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink

REPEATS = 7
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 and not sys.argv[1].startswith("--") else 2.0


class Source(SampledSource):
    def step(self, data):
        return {"out": 1.0}


class Pass(IONode):
    def step(self, data):
        return {"out": data["in"]}


class Quiet(Sink):
    """Counts instead of keeping frames."""

    def step(self, data):
        return None


class Head(ONode):
    def step(self, data):
        return {"out": 1.0}


class Tail(INode):
    def step(self, data):
        return None


def handler_timing_cost(frames=200_000, rounds=9):
    """ns per frame of a line of 6 nodes cycled on this thread, with handler
    timing off and on: no thread switches here, so a few ns show."""
    nodes = [Head(), *[Pass() for _ in range(4)], Tail()]
    for upstream, downstream in zip(nodes, nodes[1:]):
        upstream.connect("out", downstream, "in")
    for node in reversed(nodes):
        node.start()
    cycle = nodes[0]._imp._cycle

    def per_frame():
        began = time.perf_counter()
        for _ in range(frames):
            cycle()
        return (time.perf_counter() - began) / frames * 1e9

    off, on = [], []
    try:
        for _ in range(rounds):
            off.append(per_frame())
            figures.watch_handlers(True)
            try:
                on.append(per_frame())
            finally:
                figures.watch_handlers(False)
    finally:
        for node in nodes:
            node.stop()
    return statistics.median(off), statistics.median(on)


def reader(port, stop):
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    sock.settimeout(0.5)
    try:
        while not stop.is_set():
            try:
                if not sock.recv(65536):
                    return
            except TimeoutError:
                pass
    finally:
        sock.close()


def trace_reader(port, stop, counted=None):
    """A page showing the trace, as app.js is: it takes the columns pushed
    ahead of each snapshot, and asks for them only when they do not continue
    what it has (at first, or after an update it missed)."""
    sock = socket.create_connection(("127.0.0.1", port))
    sock.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    stream = sock.makefile("rb")
    have, event, pushed = None, None, 0
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        while not stop.is_set():
            line = stream.readline()
            if not line:
                return
            if line.startswith(b"event: "):
                event = line[7:].strip()
                continue
            if not line.startswith(b"data: "):
                continue
            if event == b"trace":
                pushed += len(line)
                body = base64.b64decode(line[6:])
                _, _, _, count, start, _ = trace.TRACE_HEADER.unpack_from(body)
                if have is not None and start <= have + 1 and count:
                    have = start + count - 1
                continue
            size, pushed = len(line) + pushed, 0
            plot = json.loads(line[6:])["plot"]
            if plot and plot.get("last") is not None and have is None:
                connection.request("GET", f"/api/trace?from={plot['last'] - trace.COLUMNS}")
                body = connection.getresponse().read()
                _, _, _, count, start, _ = trace.TRACE_HEADER.unpack_from(body)
                if count:
                    have = start + count - 1
                size += len(body)
            if counted is not None:
                counted.append((time.monotonic(), size))
    finally:
        connection.close()
        stream.close()
        sock.close()


def pages(port, clients, traces):
    """The readers, in this process until its standard input closes."""
    stop = threading.Event()
    threads = [threading.Thread(target=reader, args=(port, stop)) for _ in range(clients)]
    threads += [threading.Thread(target=trace_reader, args=(port, stop)) for _ in range(traces)]
    for thread in threads:
        thread.start()
    print("ready", flush=True)
    sys.stdin.read()
    stop.set()
    for thread in threads:
        thread.join()


def open_pages(port, clients, traces):
    child = subprocess.Popen(
        [sys.executable, __file__, "--pages", str(port), str(clients), str(traces)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)},
    )
    child.stdout.readline()
    return child


def close_pages(child):
    child.stdin.close()
    child.wait(60)


def waking(hz, stop):
    """A Python thread that wakes `hz` times a second and does nothing else:
    each wake-up takes the GIL from the chain once."""
    while not stop.wait(1 / hz):
        pass


def run(clients=None, plot=None, traces=0, timing=False, waker=0):
    """Frames per second at the sink; `clients` None runs without a monitor."""
    pipeline = Pipeline(directory="")
    source, middle, sink = Source(name="source"), Pass(name="pass"), Quiet(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(middle)
    pipeline.connect(source, middle)
    pipeline.connect(middle, sink)
    # A slow branch of its own, so that plotting has a port off the measured path.
    pipeline.connect(Source(name="side", rate=100), Quiet(name="side sink"))
    mon, child = None, None
    if clients is not None:
        mon = monitor.serve(pipeline, port=0, announce=False)
        if plot is not None:
            mon.choose_plot(*plot)
        if clients or traces:
            child = open_pages(mon.port, clients, traces)
    if timing:
        figures.watch_handlers(True)
    stop = threading.Event()
    woken = threading.Thread(target=waking, args=(waker, stop)) if waker else None
    try:
        if woken is not None:
            woken.start()
        pipeline.start()
        time.sleep(0.3)  # warm-up
        c0, t0 = sink.get_counter(), time.perf_counter()
        time.sleep(SECONDS)
        c1, t1 = sink.get_counter(), time.perf_counter()
        pipeline.stop()
    finally:
        stop.set()
        if woken is not None:
            woken.join()
        if timing:
            figures.watch_handlers(False)
        if child is not None:
            close_pages(child)
        if mon is not None:
            mon.close()
        pipeline.close()
    return (c1 - c0) / (t1 - t0)


CONFIGURATIONS = [
    ("off", {}),
    ("on, no page", {"clients": 0}),
    ("on, 10 pages", {"clients": 10}),
    ("on, 50 pages", {"clients": 50}),
    ("on, 10 pages, plotting a side port", {"clients": 10, "plot": ("side", "out")}),
    ("on, 10 pages, plotting the measured path", {"clients": 10, "plot": ("pass", "out")}),
    (
        "on, 5 pages showing a trace of the measured path",
        {"clients": 0, "traces": 5, "plot": ("pass", "out")},
    ),
    ("handler timing on, no monitor", {"timing": True}),
    ("a Python thread waking 50 times a second", {"waker": 50}),
]


class Wide(SampledSource):
    """64 channels at 1 kHz, in frames of 10 samples."""

    def step(self, data):
        return {"out": np.random.default_rng(self.get_counter()).normal(size=(10, 64))}


def trace_rate(seconds=5.0):
    """Bytes per second one page showing a 64 x 1 kHz trace receives."""
    pipeline = Pipeline(directory="")
    sink = Quiet(name="sink")
    pipeline.add_node(sink)
    pipeline.connect(Wide(name="amp", rate=100), sink)
    stop, counted = threading.Event(), []
    with monitor.serve(pipeline, port=0, announce=False) as mon:
        pipeline.start()
        mon.choose_plot("amp", "out")
        thread = threading.Thread(target=trace_reader, args=(mon.port, stop, counted))
        thread.start()
        time.sleep(1.0 + seconds)
        stop.set()
        thread.join()
        pipeline.stop()
    pipeline.close()
    # After the first fetch, which catches up on what came before the page.
    (t0, _), (t1, _) = counted[1], counted[-1]
    return sum(size for _, size in counted[2:]) / (t1 - t0)


def native_thread_times():
    """CPU seconds of the thread no Python object stands for (the writer of
    the pages' streams), by (thread id, name)."""
    times = {}
    tick = os.sysconf("SC_CLK_TCK")
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                name = f.read().strip()
            if name != "flowmesh-streams":
                continue
            with open(f"/proc/self/task/{task}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue  # ended meanwhile
        times[int(task), name] = (int(fields[11]) + int(fields[12])) / tick
    return times


def thread_times():
    """CPU seconds of each Python thread but this one, by (ident, name)."""
    times = native_thread_times()
    for thread in threading.enumerate():
        if thread is threading.current_thread() or thread.ident is None:
            continue
        try:
            clock = time.pthread_getcpuclockid(thread.ident)
            times[thread.ident, thread.name] = time.clock_gettime(clock)
        except OSError:
            pass  # ended meanwhile
    return times


def monitor_share(seconds, traces):
    """CPU seconds per second of each monitor thread during one free run."""
    pipeline = Pipeline(directory="")
    source, middle, sink = Source(name="source"), Pass(name="pass"), Quiet(name="sink")
    pipeline.add_node(sink)
    pipeline.connect(source, middle)
    pipeline.connect(middle, sink)
    mon = monitor.serve(pipeline, port=0, announce=False)
    mon.choose_plot("pass", "out")
    child = open_pages(mon.port, 0, traces)
    try:
        pipeline.start()
        time.sleep(1.0)  # warm-up, every page connected
        before, t0 = thread_times(), time.perf_counter()
        time.sleep(seconds)
        after, t1 = thread_times(), time.perf_counter()
        pipeline.stop()
    finally:
        close_pages(child)
        mon.close()
        pipeline.close()
    shares = {}
    for (ident, name), cpu in after.items():
        if name == "flowmesh-streams":
            kind = "page streams (C++)"
        elif name.startswith("flowmesh-monitor-sampler"):
            kind = "sampler"
        elif name.startswith("flowmesh-monitor-"):
            kind = "server loop"
        elif "process_request_thread" in name:
            kind = "request handlers"
        else:
            continue  # the pipeline's
        delta = (cpu - before.get((ident, name), 0.0)) / (t1 - t0) * 100
        shares[kind] = shares.get(kind, 0.0) + delta
    return shares


def monitor_cpu(seconds=5.0, traces=5, repeats=3):
    """The monitor threads' CPU share of one core, median of `repeats` runs."""
    runs = [monitor_share(seconds, traces) for _ in range(repeats)]
    print(
        f"monitor threads' CPU, {traces} pages showing a trace, "
        f"median of {repeats} x {seconds:g} s:"
    )
    kinds = (
        "server loop",
        "sampler",
        "request handlers",
        "page streams (C++)",
    )
    for kind in kinds:
        share = statistics.median(run.get(kind, 0.0) for run in runs)
        print(f"  {kind:<32}{share:6.2f} % of a core")
    totals = sorted(sum(run.values()) for run in runs)
    print(
        f"  {'total':<32}{statistics.median(totals):6.2f} % of a core (runs: "
        + ", ".join(f"{t:.2f}" for t in totals)
        + ")"
    )


def paired(name, pairs=8):
    """Runs of configuration `name`, each paired with one with the monitor off
    (in a random order within the pair): the ratio of their frames/s, which a
    drift of the shared machine's speed upsets less than the table's medians."""
    options = dict(CONFIGURATIONS)[name]
    ratios = []
    for i in range(pairs):
        # By role, not name: "off" beside "off" measures what noise alone gives.
        rates = {}
        for tried in random.Random(i).sample([False, True], 2):
            rates[tried] = run(**(options if tried else {}))
        ratios.append(rates[True] / rates[False])
    print(f"{name}, {pairs} pairs of {SECONDS:g} s runs beside the monitor off:")
    print(
        f"  frames/s ratio: median {statistics.median(ratios):.3f} "
        f"(runs: {', '.join(f'{r:.3f}' for r in sorted(ratios))})"
    )


def versus_noise(name, pairs=16):
    """Pairs of configuration `name` beside "off", interleaved with pairs of
    "off" beside "off", so both meet the same state of the shared machine:
    whether the configuration's ratios are lower than what noise alone gives
    (one-sided Mann-Whitney U)."""
    from scipy.stats import mannwhitneyu

    options = dict(CONFIGURATIONS)[name]
    ratios = {name: [], "off": []}
    for i in range(pairs):
        for label in random.Random(i).sample([name, "off"], 2):
            rates = {}
            for tried in random.Random(i * 7 + len(label)).sample([False, True], 2):
                rates[tried] = run(**(options if tried and label != "off" else {}))
            ratios[label].append(rates[True] / rates[False])
    print(f"{name} beside off, and off beside off, {pairs} pairs each of {SECONDS:g} s runs:")
    for label, values in ratios.items():
        q1, median, q3 = statistics.quantiles(values, n=4)
        print(f"  {label:<50} median {median:.3f} (quartiles {q1:.3f}, {q3:.3f})")
    test = mannwhitneyu(ratios[name], ratios["off"], alternative="less")
    print(f"  lower than noise alone: one-sided Mann-Whitney p = {test.pvalue:.3f}")


def main():
    if sys.argv[1:2] == ["--paired"]:
        paired(sys.argv[2], *[int(n) for n in sys.argv[3:4]])
        return
    if sys.argv[1:2] == ["--versus-noise"]:
        versus_noise(sys.argv[2], *[int(n) for n in sys.argv[3:4]])
        return
    if sys.argv[1:2] == ["--pages"]:
        pages(*map(int, sys.argv[2:5]))
        return
    if sys.argv[1:2] == ["--cpu"]:
        numbers = [float(a) for a in sys.argv[2:4]]
        monitor_cpu(*numbers[:1], *[int(n) for n in numbers[1:]])
        return
    results = {name: [] for name, _ in CONFIGURATIONS}
    for round_ in range(REPEATS):
        # In a new order each round: a slowdown that builds up within a round
        # (the process's own, or the machine's) would otherwise weigh on the
        # configurations run last.
        for name, options in random.Random(round_).sample(CONFIGURATIONS, len(CONFIGURATIONS)):
            results[name].append(run(**options))
    base = statistics.median(results["off"])
    print(f"monitor overhead: {REPEATS} x {SECONDS:g} s per configuration, frames/s at the sink")
    print(f"{'configuration':<44}{'median':>12}{'best':>12}{'vs off':>10}")
    for name, _ in CONFIGURATIONS:
        median = statistics.median(results[name])
        change = (median - base) / base * 100
        print(f"{name:<44}{median:>12,.0f}{max(results[name]):>12,.0f}{change:>+9.1f}%")
    spread = (max(results["off"]) - min(results["off"])) / base * 100
    print(f"run-to-run spread with the monitor off: {spread:.1f}% (the noise floor)")
    off, on = handler_timing_cost()
    print(
        f"a line of 6 handlers cycled on one thread: {off:.0f} ns/frame, "
        f"{on:.0f} with handler timing on ({on - off:+.1f} ns)"
    )
    rate = trace_rate()
    bound = trace.bytes_per_second_bound()
    print(f"a page showing a 64 x 1 kHz trace receives {rate / 1000:.1f} kB/s (trace and")
    print(f"snapshots; the trace's bound is {bound / 1000:.1f} kB/s; the raw samples as")
    print("float64 would be 512 kB/s)")


if __name__ == "__main__":
    main()
