"""What recording to XDF costs: throughput beside a plain-write floor, the
latency it adds to the data path, and memory over a long run.

Run with `make bench` (or `PYTHONPATH=src .venv/bin/python bench/recording.py`).
Nothing here is a test: the figures are for reading. Files go to a temporary
directory that is removed at the end.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import sys
import tempfile
import time

import numpy as np

from flowmesh.i_node import INode
from flowmesh.nodes import Recorder
from flowmesh.pipeline import Pipeline
from flowmesh.sources import SampledSource, Sink


class Discard(INode):
    """Takes every frame and does nothing: the pipeline's own cost."""

    def setup(self, data, context):
        return {}

    def step(self, data):
        return None


class Frames(SampledSource):
    """`count` frames of one array (samples x channels), as fast as taken
    (or at `rate` frames/s); each frame carries its send time on "sent"."""

    def __init__(self, frame, count, **config):
        self._frame = frame
        super().__init__(frames=count, output_ports=[{"name": "out"}, {"name": "sent"}], **config)

    def setup(self, data, context):
        return {"out": {"rate": 1000.0}, "sent": {}}

    def step(self, data):
        return {"out": self._frame, "sent": time.perf_counter_ns()}


def _rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def throughput(directory, samples, frame_size=32, channels=64, repeats=3):
    frame = np.random.default_rng(0).normal(size=(frame_size, channels)).astype(np.float32)
    count = samples // frame_size
    ratios, rates, floors, drops, alone = [], [], [], [], []
    for r in range(repeats):
        path = os.path.join(directory, f"t{r}.xdf")
        source = Frames(frame, count, name="source")
        recorder = Recorder(name="rec", path=path, queue_size=count + 1)
        with Pipeline(directory=directory) as p:
            p.add_node(recorder)
            p.connect({"node": source, "port": "out"}, recorder)
            began = time.perf_counter()
            p.start()
            source.wait(600)
            p.stop()  # returns once every queued item is in the file
            took = time.perf_counter() - began
        drops.append(recorder.dropped)
        os.remove(path)
        floor_path = os.path.join(directory, f"f{r}.bin")
        began = time.perf_counter()
        with open(floor_path, "wb") as f:
            for _ in range(count):
                f.write(frame.tobytes())
            f.flush()
            os.fsync(f.fileno())
        floor = time.perf_counter() - began
        os.remove(floor_path)
        source = Frames(frame, count, name="source")
        with Pipeline(directory=directory) as p:
            p.connect({"node": source, "port": "out"}, Discard(name="discard"))
            began = time.perf_counter()
            p.start()
            source.wait(600)
            p.stop()
            alone.append(count * frame_size / (time.perf_counter() - began))
        rates.append(count * frame_size / took)
        floors.append(count * frame_size / floor)
        ratios.append(floor / took)
    return {
        "samples/s": statistics.median(rates),
        "floor samples/s": statistics.median(floors),
        "ratio": statistics.median(ratios),
        "spread": (min(ratios), max(ratios)),
        "dropped": max(drops),
        "pipeline alone": statistics.median(alone),
    }


def latency(directory, seconds, recorder, channels=64):
    """(p99, median) in us of the source's send to the sink's callback;
    `recorder` names the file of a Recorder joined first, "" joins a node
    that does nothing instead (the floor of any node of Python), None none."""
    frame = np.zeros((1, channels), np.float32)
    source = Frames(frame, int(seconds * 1000), name="source", rate=1000.0)
    seen = []
    sink = Sink(
        name="sink",
        input_ports=[{"name": "sent"}],
        callback=lambda d: seen.append(time.perf_counter_ns() - d["sent"]),
    )
    with Pipeline(directory=directory) as p:
        if recorder is not None:
            # Joined first: the sink hears of a frame after the recorder did.
            if recorder:
                path = os.path.join(directory, recorder)
                node = Recorder(name="rec", path=path, overwrite=True)
            else:
                node = Discard(name="rec")
            p.add_node(node)
            p.connect({"node": source, "port": "out"}, node)
        p.add_node(sink)
        p.connect({"node": source, "port": "sent"}, {"node": sink, "port": "sent"})
        p.start()
        source.wait(seconds * 10 + 60)
        p.stop()
    lat = np.asarray(seen[100:], dtype=np.float64) / 1e3  # us, warm-up left out
    return float(np.percentile(lat, 99)), float(np.median(lat))


def memory(directory, small, large, channels=8):
    frame = np.zeros((1, channels), np.float32)
    out = {}
    for count in (small, large):
        gc.collect()
        path = os.path.join(directory, f"m{count}.xdf")
        source = Frames(frame, count, name="source")
        recorder = Recorder(name="rec", path=path)
        with Pipeline(directory=directory) as p:
            p.add_node(recorder)
            p.connect({"node": source, "port": "out"}, recorder)
            p.start()
            source.wait(3600)
            # Once the writer has caught up: what stays, not what is in flight
            # (in its queue, or in the rings of the inputs it collects from).
            while recorder._writer.queue or recorder.recorded + recorder.dropped < count:
                time.sleep(0.01)
            gc.collect()
            out[count] = _rss()
            p.stop()
        os.remove(path)
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller runs")
    args = parser.parse_args(argv)
    quick = args.quick
    with tempfile.TemporaryDirectory(prefix="flowmesh-bench-") as directory:
        print("Recorder throughput, 64 channels float32, as fast as taken")
        for frame_size in (32, 1000):
            t = throughput(directory, 100_000 if quick else 600_000, frame_size)
            print(
                f"  frames of {frame_size:4}: recorder {t['samples/s']:11,.0f} samples/s   "
                f"floor (file.write of tobytes) {t['floor samples/s']:11,.0f} samples/s   "
                f"ratio {t['ratio']:.2f} ({t['spread'][0]:.2f}..{t['spread'][1]:.2f})   "
                f"dropped {t['dropped']}   (the pipeline alone, into a node that does "
                f"nothing: {t['pipeline alone']:,.0f} samples/s)"
            )
        # A p99 of one run is its 1 % slowest frames, and the machine's load
        # drifts between runs: short runs, many rounds, the kinds in a
        # different order each round, and each kind's p99 over that of the
        # run without a recorder in the same round.
        seconds, rounds = (2, 3) if quick else (4, 9)
        kinds = {
            "no recorder": None,
            "empty node": "",
            "XDF recorder": "lat.xdf",
            "npz recorder": "lat.npz",
        }
        runs = {kind: [] for kind in kinds}
        order = list(kinds)
        for r in range(rounds):
            for kind in order[r % len(order) :] + order[: r % len(order)]:
                runs[kind].append(latency(directory, seconds, kinds[kind]))
        print(
            f"Push-through latency at 1 kHz (64 channels, {rounds} rounds of {seconds} s, "
            "median of rounds; per round: p99 over that without a recorder)"
        )
        base = [r[0] for r in runs["no recorder"]]
        for kind, rows in runs.items():
            p99 = statistics.median(r[0] for r in rows)
            median = statistics.median(r[1] for r in rows)
            ratios = [r[0] / b for r, b in zip(rows, base, strict=True)]
            each = " ".join(f"{r[0]:.0f}" for r in rows)
            print(
                f"  {kind:13} p99 {p99:7.1f} us ({100 * (statistics.median(ratios) - 1):+6.1f} %, "
                f"{100 * (min(ratios) - 1):+.0f}..{100 * (max(ratios) - 1):+.0f})   "
                f"median {median:6.1f} us   p99 per round: {each}"
            )
        small, large = (10_000, 100_000) if quick else (10_000, 1_000_000)
        m = memory(directory, small, large)
        print("Memory (RSS) with a recorder, frames of 1 x 8 float32, as fast as taken")
        print(
            f"  after {small:,} frames {m[small] / 2**20:7.1f} MiB   after {large:,} frames "
            f"{m[large] / 2**20:7.1f} MiB   growth {(m[large] - m[small]) / 2**20:+.1f} MiB"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
