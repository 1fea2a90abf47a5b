"""Publishing and subscribing pipelines for the LSL tests, one process each.

Run only inside the sandbox of `lsl_sandbox` (a private network namespace with
a machine-only liblsl configuration); it refuses to run anywhere else.

    python lsl_roles.py publish [options]      a pipeline publishing a ramp or markers
    python lsl_roles.py subscribe [options]    a pipeline collecting a stream
    python lsl_roles.py scenario NAME          several of them, as a test needs

Each prints one JSON object as its last line of output. Sample i of a ramp is
[i, i + 0.25, i + 0.5, ...] (exact in float32), so every sample says where it
belongs; marker i is the label "m{i}" at time STAMP0 + i / 100.
"""

import argparse
import ctypes
import json
import logging
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
from lsl_sandbox import require_isolation

from flowmesh.constants import Constants
from flowmesh.lsl import LSLInlet, LSLOutlet
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource, Sink

STAMP0 = 1000.0
_ASYNC = Constants.Timing.ASYNC


class Ramp(SampledSource):
    """Frames of `frame` consecutive ramp samples, optionally with timestamps
    STAMP0 + i / sample_rate on the port "timestamps"."""

    class Configuration(SampledSource.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            for key, value in (("first", 0), ("frame", 1), ("channels", 3), ("sample_rate", 100)):
                self.setdefault(key, value)

    def setup(self, data, context):
        config = self.config
        description = {
            "rate": config["sample_rate"],
            "channels": [f"C{c}" for c in range(config["channels"])],
        }
        return {name: dict(description) for name in self._imp._output_ports}

    def step(self, data):
        config = self.config
        frame = config["frame"]
        start = config["first"] + self.get_counter() * frame
        index = np.arange(start, start + frame, dtype=np.float64)
        out = {"out": index[:, None] + 0.25 * np.arange(config["channels"])}
        if "timestamps" in self._imp._output_ports:
            out["timestamps"] = STAMP0 + index / config["sample_rate"]
        return out


class Messages(logging.Handler):
    """Keeps what the pipeline forwards to the standard logging module."""

    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))

    def of(self, level):
        return [m for lvl, m in self.records if lvl == level]


def _watch_log():
    handler = Messages()
    logger = logging.getLogger("flowmesh")
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    return handler


def _failure_of(node):
    failure = node.failure()
    return None if failure is None else {"type": type(failure).__name__, "message": str(failure)}


def publish(args):
    messages = _watch_log()
    outlet_config = {
        "name": "publisher",
        "stream_name": args.name,
        "stream_type": args.type or "EEG",
        "source_id": args.source_id,
        "wait_for_consumers": args.wait,
    }
    if args.markers:
        source = EventSource(name="markers")
        outlet = LSLOutlet(events=True, **outlet_config)
    else:
        ports = [{"name": "out"}] + ([{"name": "timestamps"}] if args.timestamps else [])
        source = Ramp(
            name="ramp",
            rate=args.rate / args.frame,
            frames=args.count // args.frame,
            output_ports=ports,
            first=args.first,
            frame=args.frame,
            channels=args.channels + args.bad_frame,  # one too many: refused
            sample_rate=args.rate,
        )
        labels = [f"C{c}" for c in range(args.channels)]
        if args.from_context:  # shape, rate and labels from the ramp's context
            outlet = LSLOutlet(timestamps=args.timestamps, **outlet_config)
        else:
            outlet = LSLOutlet(
                channel_format=args.format,
                channel_count=args.channels,
                rate=float(args.rate),
                channel_labels=labels if args.labels else None,
                timestamps=args.timestamps,
                **outlet_config,
            )
    began = time.monotonic()
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(outlet)
        pipeline.connect(source, outlet)
        if args.timestamps:
            pipeline.connect(
                {"node": source, "port": "timestamps"}, {"node": outlet, "port": "timestamps"}
            )
        pipeline.start()
        if args.markers:
            for i in range(args.first, args.first + args.count):
                source.trigger({"label": f"m{i}", "time": STAMP0 + i / 100})
                time.sleep(0.002)
        elif args.bad_frame:
            source.wait(5)
        else:
            source.wait()
        deadline = time.monotonic() + args.linger
        while time.monotonic() < deadline and outlet.get_condition() != Constants.Conditions.ERROR:
            time.sleep(0.05)
        pipeline.stop()
    return {
        "elapsed": time.monotonic() - began,
        "condition": str(outlet.get_condition()),
        "failure": _failure_of(outlet),
        "errors": messages.of("ERROR"),
    }


def burst(args):
    """Markers pushed by liblsl directly in one chunk, far faster than an
    events inlet emits them."""
    import pylsl

    info = pylsl.StreamInfo(args.name, args.type, 1, 0.0, "string", args.source_id)
    outlet = pylsl.StreamOutlet(info, 0, args.outlet_buffer)
    began = time.monotonic()
    if not outlet.wait_for_consumers(args.wait):
        return {"elapsed": time.monotonic() - began, "error": "no consumer"}
    first, count = args.first, args.count
    labels = [[f"m{i}"] for i in range(first, first + count)]
    outlet.push_chunk(labels, [STAMP0 + i / 100 for i in range(first, first + count)])
    time.sleep(args.linger)
    return {"elapsed": time.monotonic() - began}


def subscribe(args):
    messages = _watch_log()
    criteria = {
        key: value
        for key, value in (
            ("stream_name", args.name),
            ("stream_type", args.type),
            ("source_id", args.source_id),
        )
        if value is not None
    }
    inlet = LSLInlet(
        name="inlet",
        events=args.events,
        channel_count=args.channels,
        channel_format=args.format,
        resolve_timeout=args.resolve_timeout,
        lost_after=args.lost_after,
        time_correction=args.time_correction,
        dejitter=args.dejitter,
        **criteria,
        **json.loads(args.inlet_config),
    )
    if args.events:
        sink = Sink(name="sink", input_ports=[{"name": "in", "timing": _ASYNC}])
    else:
        sink = Sink(name="sink", input_ports=[{"name": "in"}, {"name": "timestamps"}])
    received = [0]
    enough = threading.Event()

    def count(frame):
        value = frame["in"]
        received[0] += 1 if args.events else len(value)
        if received[0] >= args.expect:
            enough.set()

    sink.callback = count
    began = time.monotonic()
    with Pipeline(directory="") as pipeline:
        pipeline.add_node(sink)
        pipeline.connect(inlet, sink)
        if not args.events:
            pipeline.connect(
                {"node": inlet, "port": "timestamps"}, {"node": sink, "port": "timestamps"}
            )
        pipeline.start()
        deadline = time.monotonic() + args.timeout
        while time.monotonic() < deadline and not enough.is_set():
            if inlet.get_condition() == Constants.Conditions.ERROR:
                break
            enough.wait(0.05)
        if enough.is_set():
            time.sleep(0.3)  # anything beyond the expected samples would be a duplicate
        elapsed = time.monotonic() - began
        pipeline.stop()
    frames = sink.frames
    result = {
        "elapsed": elapsed,
        "condition": str(inlet.get_condition()),
        "failure": _failure_of(inlet),
        "context": (sink.context or {}).get("in"),
        "warnings": messages.of("WARNING"),
        "infos": messages.of("INFO"),
        "lost": inlet.samples_lost() if hasattr(inlet, "samples_lost") else None,
    }
    if args.events:
        result["labels"] = [f["in"].get("label", f["in"].get("value")) for f in frames]
        result["times"] = [f["in"]["time"] for f in frames]
    else:
        data = [f["in"] for f in frames]
        stamps = [np.asarray(f["timestamps"]) for f in frames]
        result["shapes"] = [list(d.shape) for d in data]
        result["dtypes"] = sorted({str(d.dtype) for d in data})
        result["stamps_match"] = all(len(s) == len(d) for s, d in zip(stamps, data))
        rows = np.concatenate(data) if data else np.zeros((0, 1))
        result["values"] = rows[:, 0].tolist()
        result["rows_consistent"] = bool(
            np.array_equal(rows, rows[:, :1] + 0.25 * np.arange(rows.shape[1]))
        )
        result["stamps"] = np.concatenate(stamps).tolist() if stamps else []
    return result


# ------------------------------------------------------------------ scenarios


def _role(*argv):
    return [sys.executable, __file__, *map(str, argv)]


def _start(*argv):
    return subprocess.Popen(_role(*argv), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def _finish(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    lines = out.strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, json.JSONDecodeError):
        return {"crashed": process.returncode, "stdout": out[-2000:], "stderr": err[-4000:]}


def _run(*argv, timeout=120):
    return _finish(_start(*argv), timeout)


def scenario_delivery():
    """Signals in single samples, in frames with their own timestamps and
    labels from the context, with the clock corrected and de-jittered, and
    markers; all pairs at once."""
    cases = {
        "single": (["--frame", 1, "--labels"], []),
        "corrected": (["--frame", 4, "--labels"], ["--time-correction", "--dejitter"]),
        "frames": (["--frame", 8, "--timestamps", "--from-context"], []),
        "markers": (["--markers", "--type", "Markers"], ["--events", "--type", "Markers"]),
    }
    count = 400
    running = {}
    for case, (pub, sub) in cases.items():
        subscriber = _start(
            "subscribe", "--source-id", f"src-{case}", "--expect", count, "--timeout", 60, *sub
        )
        publisher = _start(
            "publish", "--name", f"ramp-{case}", "--source-id", f"src-{case}",
            "--count", count, "--rate", 500, "--wait", 30, "--linger", 1.0, *pub,
        )  # fmt: skip
        running[case] = (publisher, subscriber)
    return {
        case: {"publisher": _finish(p), "subscriber": _finish(s), "count": count}
        for case, (p, s) in running.items()
    }


def _published_twice(prefix, variants, twice, expect, timeout):
    """For every variant at once, a subscriber to the stream "prefix-variant"
    (expecting `expect` samples within `timeout` seconds) beside a thread
    calling `twice(name, value, publishers)`, which publishes it twice and
    appends the publishers' results; variant -> those results and the
    subscriber's."""
    running = {}
    for variant, value in variants.items():
        name = f"{prefix}-{variant}"
        subscriber = _start(
            "subscribe", "--name", name, "--expect", expect, "--timeout", timeout,
            "--lost-after", 0.5,
        )  # fmt: skip
        publishers = []
        thread = threading.Thread(target=twice, args=(name, value, publishers))
        thread.start()
        running[variant] = (subscriber, thread, publishers)
    results = {}
    for variant, (subscriber, thread, publishers) in running.items():
        thread.join()
        results[variant] = {"publishers": publishers, "subscriber": _finish(subscriber)}
    return results


def scenario_restart():
    """Publishers that go away and come back with the same source id, one
    stream with a source id and one without; both at once."""
    count = 300
    variants = {"with-source-id": "ramp-id", "without": ""}

    def twice(name, source_id, results):
        common = ["--name", name, "--source-id", source_id, "--count", count, "--rate", 500]
        results.append(_run("publish", "--first", 0, *common, "--wait", 30, "--linger", 1.5))
        # Long enough to count as lost: gone for longer than a presence
        # resolver remembers a stream (lsl.resolution._Presence.FORGET_AT_LEAST).
        time.sleep(4.0)
        results.append(_run("publish", "--first", count, *common, "--wait", 30, "--linger", 1.5))

    results = _published_twice("ramp", variants, twice, expect=2 * count, timeout=90)
    for result in results.values():
        result["count"] = 2 * count
    return results


def scenario_reshaped():
    """Publishers with a source id that come back with fewer channels, or
    with another format; both at once."""
    count = 200
    variants = {"channels": ["--channels", 5], "format": ["--format", "int16"]}

    def twice(name, again, results):
        common = ["--name", name, "--source-id", f"{name}-id", "--rate", 500]
        results.append(_run("publish", "--count", count, *common, "--wait", 30, "--linger", 1))
        time.sleep(1.0)
        results.append(_run("publish", "--count", 20 * count, *common, *again, "--linger", 1))

    return _published_twice("reshaped", variants, twice, expect=10 * count, timeout=30)


def scenario_missing():
    return _run(
        "subscribe", "--name", "nowhere", "--expect", 1, "--timeout", 30,
        "--resolve-timeout", 1.0,
    )  # fmt: skip


def scenario_refused():
    """Subscribers configured for something else than the streams they find,
    and a publisher fed frames of the wrong width."""
    signal = _start(
        "publish", "--name", "ramp", "--source-id", "ramp", "--count", 100000, "--rate", 100,
        "--linger", 0,
    )  # fmt: skip
    markers = _start("publish", "--markers", "--name", "marks", "--count", 1, "--linger", 60)
    subscribers = {
        "channels": ["--name", "ramp", "--channels", 4],
        "format": ["--name", "ramp", "--format", "int16"],
        "string": ["--name", "marks"],
    }
    results = {
        case: _run("subscribe", "--expect", 1, "--timeout", 30, *argv)
        for case, argv in subscribers.items()
    }
    for process in (signal, markers):
        process.kill()
        process.communicate()
    results["outlet"] = _run(
        "publish", "--name", "narrow", "--channels", 3, "--bad-frame", "--count", 10,
        "--linger", 5,
    )  # fmt: skip
    return results


def scenario_burst():
    """A burst of markers far faster than an events inlet emits them: with
    the default buffer, and with a buffer too small to hold it."""
    count = 100_000
    # A subscriber that cannot hold the burst will not see it all: it waits less.
    cases = {"default": ({}, 120), "small": ({"buffer_samples": 5_000}, 20)}
    running = {}
    for case, (config, timeout) in cases.items():
        subscriber = _start(
            "subscribe", "--events", "--type", "Markers", "--source-id", f"burst-{case}",
            "--expect", count, "--timeout", timeout, "--inlet-config", json.dumps(config),
        )  # fmt: skip
        publisher = _start(
            "publish", "--burst", "--name", f"burst-{case}", "--type", "Markers",
            "--source-id", f"burst-{case}", "--count", count, "--wait", 30, "--linger", 5,
            "--outlet-buffer", 2 * count // 100,
        )  # fmt: skip
        running[case] = (publisher, subscriber)
    return {
        case: {"publisher": _finish(p, 180), "subscriber": _finish(s, 180), "count": count}
        for case, (p, s) in running.items()
    }


def _never_outlive(parent, seconds):
    """End this process with its parent, and after `seconds` in any case, so
    that no publisher lingers after a test that went wrong."""
    pr_set_pdeathsig = 1
    ctypes.CDLL(None, use_errno=True).prctl(pr_set_pdeathsig, signal.SIGKILL)
    if os.getppid() != parent:  # the parent died before the request
        os._exit(1)
    timer = threading.Timer(seconds, os._exit, args=(2,))
    timer.daemon = True
    timer.start()


def _command(*argv, cwd):
    command = [sys.executable, "-m", "flowmesh", *map(str, argv)]
    return subprocess.Popen(
        command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def _outcome(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
    return {"code": process.returncode, "stdout": out[-3000:], "stderr": err[-3000:]}


def scenario_command(directory):
    """`flowmesh demo --lsl` beside `flowmesh run` of the subscribing example;
    then `flowmesh run` of the publishing example beside a subscriber."""
    from flowmesh.nodes import read_recording

    examples = Path(__file__).resolve().parent.parent / "examples"
    Path(directory).mkdir(parents=True, exist_ok=True)
    # Long enough for a few markers after both processes have started, also on
    # a loaded machine where starting one takes seconds.
    demo = _command("demo", "--lsl", "--duration", 10, "--output", "demo", cwd=directory)
    time.sleep(1.0)
    run = _command("run", examples / "lsl_subscriber.json", "--duration", 8, cwd=directory)
    result = {"subscriber": _outcome(run), "demo": _outcome(demo)}
    recording = Path(directory) / "lsl-average.npz"
    if recording.exists():
        averages = [cycle["in"] for cycle in read_recording(recording, allow_pickle=True)["cycles"]]
        if averages:
            last = averages[-1]
            trace = np.asarray(last["mean"]).mean(axis=1)
            times = np.asarray(last["times"])
            result["epochs"] = last["count"]
            result["peak"] = float(times[np.argmax(np.where(times > 0, trace, -np.inf))])
    publisher = _command("run", examples / "lsl_publisher.json", "--duration", 5, cwd=directory)
    result["example"] = {
        "subscriber": _finish(
            _start("subscribe", "--type", "EEG", "--channels", 8, "--expect", 500, "--timeout", 30)
        ),
        "publisher": _outcome(publisher),
    }
    return result


def main(argv=None):
    parser = argparse.ArgumentParser()
    parser.add_argument("role", choices=["publish", "subscribe", "scenario"])
    parser.add_argument("scenario", nargs="?")
    parser.add_argument("--name")
    parser.add_argument("--type")
    parser.add_argument("--source-id")
    parser.add_argument("--first", type=int, default=0)
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--frame", type=int, default=1)
    parser.add_argument("--rate", type=float, default=100.0)
    parser.add_argument("--channels", type=int)
    parser.add_argument("--format")
    parser.add_argument("--labels", action="store_true")
    parser.add_argument("--timestamps", action="store_true")
    parser.add_argument("--from-context", action="store_true")
    parser.add_argument("--markers", action="store_true")
    parser.add_argument("--bad-frame", action="store_true")
    parser.add_argument("--events", action="store_true")
    parser.add_argument("--time-correction", action="store_true")
    parser.add_argument("--dejitter", action="store_true")
    parser.add_argument("--burst", action="store_true")
    parser.add_argument("--outlet-buffer", type=int, default=360)
    parser.add_argument("--inlet-config", default="{}")  # further LSLInlet settings, JSON
    parser.add_argument("--wait", type=float, default=0.0)
    parser.add_argument("--linger", type=float, default=0.5)
    parser.add_argument("--expect", type=int, default=1)
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--resolve-timeout", type=float, default=10.0)
    parser.add_argument("--lost-after", type=float, default=2.0)
    parser.add_argument("--lifetime", type=float, default=180.0)
    args = parser.parse_args(argv)
    require_isolation()
    _never_outlive(parent=os.getppid(), seconds=args.lifetime)
    if args.role == "publish":
        if args.channels is None:
            args.channels = 3
        result = burst(args) if args.burst else publish(args)
    elif args.role == "subscribe":
        result = subscribe(args)
    else:
        name, *rest = args.scenario.split(":")
        result = globals()[f"scenario_{name}"](*rest)
    print(json.dumps(result))


if __name__ == "__main__":
    main()
