"""End-to-end latency over LSL: a sample pushed into an outlet in one process
to a flowmesh sink in another, beside the floor, a plain pylsl pull loop in
the subscriber's place. Run with `make bench` (or directly).

A publisher pushes 8 float32 channels at 1 kHz, as single samples or as
chunks of 10 every 10 ms, stamping every sample with the time of its push
(LSL's clock, the monotonic clock of this machine); the subscriber takes the
difference to the time it holds the sample. The flowmesh subscriber is an
LSLInlet feeding a sink node; the floor pulls with the same call the inlet
uses; both subscribe to the same stream at the same time. The flowmesh
subscriber also times its own share: from the inlet's step, right after the
pull, to the sink's step. Everything runs in a
private network namespace with a machine-only
liblsl configuration. Nothing here is a test: the figures are for reading,
beside the goal printed with them.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import lsl_sandbox  # noqa: E402

RATE = 1000
CHANNELS = 8
SECONDS = 8.0
WARM_UP = 1.0  # seconds of samples left out of the figures
REPEATS = 3


def publish(chunk):
    import numpy as np
    import pylsl

    info = pylsl.StreamInfo("bench", "EEG", CHANNELS, RATE, "float32", "bench-latency")
    outlet = pylsl.StreamOutlet(info)
    if not outlet.wait_for_consumers(60):
        sys.exit("no subscriber came")
    time.sleep(2.0)  # both subscribers connected and in their loops
    data = np.zeros((chunk, CHANNELS), dtype=np.float32)
    sample = data[0].tolist()
    clock = pylsl.local_clock
    period = chunk / RATE
    pushes = int(SECONDS * RATE / chunk)
    t0 = clock()
    for k in range(pushes):
        due = t0 + k * period
        while (left := due - clock()) > 0:
            if left > 0.0005:
                time.sleep(left - 0.0003)
        now = clock()
        if chunk == 1:
            outlet.push_sample(sample, now)
        else:
            outlet.push_chunk(data, [now] * chunk)
    time.sleep(1.0)  # the last samples reach the subscriber before the outlet goes
    return {"pushed": pushes * chunk}


def _summary(latencies):
    import numpy as np

    values = np.concatenate(latencies)[int(WARM_UP * RATE) :]
    return {
        "samples": int(values.size),
        "p50": float(np.percentile(values, 50)) * 1e6,
        "p99": float(np.percentile(values, 99)) * 1e6,
    }


def subscribe_floor():
    import pylsl

    found = pylsl.resolve_byprop("source_id", "bench-latency", 1, 30)
    if not found:
        sys.exit("stream not found")
    inlet = pylsl.StreamInlet(found[0], recover=True)
    inlet.open_stream(30)
    clock = pylsl.local_clock
    latencies, received, expected = [], 0, int(SECONDS * RATE)
    deadline = time.monotonic() + SECONDS + 60
    while received < expected and time.monotonic() < deadline:
        chunk, stamps = inlet.pull_chunk(
            timeout=0.1, max_samples=1024, min_samples=1, as_numpy=True
        )
        if len(stamps):
            latencies.append(clock() - stamps)
            received += len(stamps)
    return _summary(latencies)


def subscribe_flowmesh():
    import threading

    import numpy as np
    import pylsl

    from flowmesh.i_node import INode
    from flowmesh.lsl import LSLInlet
    from flowmesh.pipeline import Pipeline

    clock = pylsl.local_clock
    done = threading.Event()
    expected = int(SECONDS * RATE)
    handed = [0.0]  # when the inlet's step got the frame (the sink runs on the same thread)

    class Inlet(LSLInlet):
        def step(self, data):
            handed[0] = clock()
            return data

    class Latency(INode):
        def __init__(self, **config):
            self.latencies, self.own, self.received = [], [], 0
            super().__init__(**config)

        def setup(self, data, context):
            return {}

        def step(self, data):
            now = clock()
            stamps = data["timestamps"]
            self.latencies.append(now - stamps)
            self.own.append(np.full(len(stamps), now - handed[0]))
            self.received += len(stamps)
            if self.received >= expected:
                done.set()
            return None

    inlet = Inlet(name="inlet", source_id="bench-latency", resolve_timeout=30.0)
    sink = Latency(name="latency", input_ports=[{"name": "in"}, {"name": "timestamps"}])
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(sink)
        pipeline.connect(inlet, sink)
        pipeline.connect(
            {"node": inlet, "port": "timestamps"}, {"node": sink, "port": "timestamps"}
        )
        pipeline.start()
        done.wait(SECONDS + 60)
        pipeline.stop()
        pipeline.raise_if_failed()
    own = _summary(sink.own)
    return {**_summary(sink.latencies), "own p50": own["p50"], "own p99": own["p99"]}


def _role(*argv):
    command = [sys.executable, __file__, *argv]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _result(process):
    out, err = process.communicate(timeout=SECONDS + 120)
    lines = out.strip().splitlines()
    if process.returncode != 0 or not lines:
        raise RuntimeError(f"{process.args[2:]} failed:\n{err[-2000:]}")
    return json.loads(lines[-1])


def measure():
    """The best p50 and p99 of the repeats, per subscriber and chunk size.

    Both subscribers take the same stream at once, so that the publisher's
    timing and the machine's load at that moment are the same for the two."""
    table = {}
    for chunk in (1, 10):
        for _ in range(REPEATS):
            subscribers = {kind: _role("subscribe", kind) for kind in ("floor", "flowmesh")}
            _result(_role("publish", str(chunk)))
            for kind, subscriber in subscribers.items():
                figures = _result(subscriber)
                best = table.setdefault((chunk, kind), figures)
                for key in figures.keys() - {"samples"}:
                    best[key] = min(best[key], figures[key])
    return table


def report(table):
    print(
        f"\nLSL end-to-end latency, {RATE} Hz, {CHANNELS} float32 channels, push in one "
        f"process -> sink in another (best of {REPEATS}; goal: flowmesh adds <= 10% to the "
        "floor's p99)"
    )
    header = ("", "floor p50", "floor p99", "flowmesh p50", "flowmesh p99", "p99 added")
    print("  {:<16}{:>12}{:>12}{:>14}{:>14}{:>11}".format(*header))
    for chunk, label in ((1, "single samples"), (10, "chunks of 10")):
        floor, ours = table[(chunk, "floor")], table[(chunk, "flowmesh")]
        added = 100.0 * (ours["p99"] / floor["p99"] - 1.0)
        print(
            f"  {label:<16}{floor['p50']:>9,.0f} us{floor['p99']:>9,.0f} us"
            f"{ours['p50']:>11,.0f} us{ours['p99']:>11,.0f} us{added:>+10.1f}%"
        )
    print("  flowmesh's own share (inlet step -> sink step, on the pulling thread):")
    for chunk, label in ((1, "single samples"), (10, "chunks of 10")):
        ours = table[(chunk, "flowmesh")]
        print(f"  {label:<16}p50 {ours['own p50']:,.1f} us, p99 {ours['own p99']:,.1f} us")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("role", nargs="?", choices=["publish", "subscribe", "measure"])
    parser.add_argument("what", nargs="?")
    args = parser.parse_args()
    if args.role is None:  # the entry point: into a private namespace
        unavailable = lsl_sandbox.namespace_unavailable()
        if unavailable:
            print(f"\nLSL end-to-end latency: skipped ({unavailable})")
            return
        with tempfile.TemporaryDirectory(prefix="flowmesh-lsl-bench-") as directory:
            command = lsl_sandbox.in_namespace([sys.executable, __file__, "measure"])
            env = lsl_sandbox.environment(directory)
            subprocess.run(command, env=env, check=True)
        return
    lsl_sandbox.require_isolation()
    if args.role == "measure":
        report(measure())
    elif args.role == "publish":
        print(json.dumps(publish(int(args.what))))
    else:
        kind = subscribe_floor if args.what == "floor" else subscribe_flowmesh
        print(json.dumps(kind()))
    sys.stdout.flush()
    os._exit(0)  # liblsl's background threads need not be waited for


if __name__ == "__main__":
    main()
