"""Frames per second of a free-running chain with the monitor off and on.

    PYTHONPATH=src .venv/bin/python bench/monitor_overhead.py [seconds-per-run]

The chain is source -> pass -> sink, the source producing as fast as it can,
next to a 100 Hz branch of its own.
Each configuration runs REPEATS times, interleaved with the others so that a
disturbance of the shared machine spreads over all of them; the table gives
the median and best frames per second and the median's difference from "off".
Monitor clients are real Server-Sent Events readers on loopback.
"""

import socket
import statistics
import sys
import threading
import time

from flowmesh import monitor
from flowmesh.io_node import IONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink

REPEATS = 7
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0


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


def run(clients=None, plot=None):
    """Frames per second at the sink; `clients` None runs without a monitor."""
    pipeline = Pipeline(directory="")
    source, middle, sink = Source(name="source"), Pass(name="pass"), Quiet(name="sink")
    pipeline.add_node(sink)
    pipeline.add_node(middle)
    pipeline.connect(source, middle)
    pipeline.connect(middle, sink)
    # A slow branch of its own, so that plotting has a port off the measured path.
    pipeline.connect(Source(name="side", rate=100), Quiet(name="side sink"))
    mon, stop, readers = None, threading.Event(), []
    if clients is not None:
        mon = monitor.serve(pipeline, port=0, announce=False)
        if plot is not None:
            mon.choose_plot(*plot)
        readers = [threading.Thread(target=reader, args=(mon.port, stop)) for _ in range(clients)]
        for thread in readers:
            thread.start()
    try:
        pipeline.start()
        time.sleep(0.3)  # warm-up
        c0, t0 = sink.get_counter(), time.perf_counter()
        time.sleep(SECONDS)
        c1, t1 = sink.get_counter(), time.perf_counter()
        pipeline.stop()
    finally:
        stop.set()
        for thread in readers:
            thread.join()
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
]


def main():
    results = {name: [] for name, _ in CONFIGURATIONS}
    for _ in range(REPEATS):
        for name, options in CONFIGURATIONS:
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


if __name__ == "__main__":
    main()
