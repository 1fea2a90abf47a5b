"""A tour of flowmesh in two short runs.

Run 1: a 200 Hz sine source is smoothed by a moving average and collected by a
sink; on the side, an event source sends labels into a node with two inputs,
which tags every sample with the latest label.

    sine (200 Hz) --> smooth --> tagger.signal --> tagged (sink)
    labels (events) ----------> tagger.label
    smooth -----------------------------------> smoothed (sink)

Run 2: a node that fails on its 50th frame. The pipeline's monitoring thread
notices, stops the run, calls our error handler and prints its banner; the
script then learns of it through raise_if_failed().
"""

import math
import tempfile
import time
from collections import deque

from flowmesh.constants import Constants
from flowmesh.io_node import IONode
from flowmesh.pipeline import Pipeline
from flowmesh.sources import EventSource, SampledSource, Sink


class Sine(SampledSource):
    """A 2 Hz sine wave sampled at the source's rate."""

    def setup(self, data, context):
        return {"out": {"signal": "sine 2 Hz", "rate": self.rate}}

    def step(self, data):
        t = self.get_counter() / self.rate
        return {"out": math.sin(2 * math.pi * 2 * t)}


class MovingAverage(IONode):
    class Configuration(IONode.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("window", 8)

    def setup(self, data, context):
        self.window = deque(maxlen=self.config["window"])
        return {"out": {**context["in"], "smoothing": f"moving average of {self.window.maxlen}"}}

    def step(self, data):
        self.window.append(data["in"])
        return {"out": sum(self.window) / len(self.window)}


class Tagger(IONode):
    """Pairs every sample (SYNC input) with the latest label (ASYNC input)."""

    def setup(self, data, context):
        self.label = "(none yet)"
        return {"out": {"fields": ["label", "value"]}}

    def step(self, data):
        if "label" in data:
            self.label = data["label"]
            return None
        return {"out": (self.label, data["signal"])}


class Fragile(IONode):
    def setup(self, data, context):
        return {"out": {}}

    def step(self, data):
        if self.get_counter() == 50:
            raise ValueError("sensor returned garbage at frame 50")
        return {"out": data["in"]}


def normal_run(log_dir):
    sine = Sine(name="sine", rate=200)
    smooth = MovingAverage(name="smooth")
    labels = EventSource(name="labels")
    tagger = Tagger(
        name="tagger",
        input_ports=[{"name": "signal"}, {"name": "label", "timing": Constants.Timing.ASYNC}],
    )
    smoothed, tagged = Sink(name="smoothed"), Sink(name="tagged")

    with Pipeline(directory=log_dir) as pipeline:
        # Elements start in the order they are added: consumers go first so that
        # the sine source's first frames find every node already running.
        for node in (smoothed, tagged, tagger, smooth, labels, sine):
            pipeline.add_node(node)
        pipeline.connect(sine, smooth)
        pipeline.connect(smooth, smoothed)
        pipeline.connect({"node": smooth, "port": "out"}, {"node": tagger, "port": "signal"})
        pipeline.connect({"node": labels, "port": "out"}, {"node": tagger, "port": "label"})
        pipeline.connect(tagger, tagged)

        pipeline.start()
        for label in ("warm-up", "recording", "pause", "recording"):
            labels.trigger(label)  # e.g. an operator pressing a button
            time.sleep(0.5)
        pipeline.stop()

    values = smoothed.values()
    print(f"sine produced {sine.get_counter()} frames in 2 s; the sink received {len(values)}")
    print("first smoothed values:", ", ".join(f"{v:+.3f}" for v in values[:6]))
    print("context seen by the sink:", smoothed.context)
    print("tagged samples, by label segment:")
    segments = []
    for label, value in tagged.values():
        if not segments or segments[-1][0] != label:
            segments.append((label, []))
        segments[-1][1].append(value)
    for label, seg in segments:
        print(f"  {label:<11} {len(seg):4d} samples, from {min(seg):+.3f} to {max(seg):+.3f}")


def failing_run(log_dir):
    source = Sine(name="sine", rate=500)
    fragile = Fragile(name="fragile")
    sink = Sink(name="sink")

    with Pipeline(directory=log_dir) as pipeline:
        pipeline.add_node(sink)
        pipeline.add_node(fragile)
        pipeline.connect(source, fragile)
        pipeline.connect(fragile, sink)
        pipeline.add_error_handler(lambda entry: print(f"error handler called: {entry['message']}"))
        pipeline.start()
        deadline = time.monotonic() + 10
        while pipeline.get_state() == Constants.States.RUNNING and time.monotonic() < deadline:
            time.sleep(0.05)
        # The monitoring thread stopped the run; stop() waits for it to finish
        # its report (handlers, banner) before we go on.
        pipeline.stop()
        print(
            f"pipeline is {pipeline.get_state()} / {pipeline.get_condition()}; "
            f"the sink got {len(sink.frames)} frames before the failure"
        )
        try:
            pipeline.raise_if_failed()
        except RuntimeError as e:
            print(f"raise_if_failed() raised: {e}")
            print(f"  caused by: {e.__cause__!r}")


def main():
    with tempfile.TemporaryDirectory(prefix="flowmesh-demo-") as log_dir:
        print("=== Run 1: a healthy pipeline ===")
        normal_run(log_dir)
        print("\n=== Run 2: a node fails ===")
        failing_run(log_dir)


if __name__ == "__main__":
    main()
