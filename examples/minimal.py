"""The smallest pipeline: a counter at 100 Hz, doubled, collected by a sink."""

import sys
import time

from flowmesh import IONode, Pipeline, SampledSource, Sink


class Counter(SampledSource):
    def step(self, data):
        return {"out": self.get_counter()}


class Double(IONode):
    def step(self, data):
        return {"out": 2 * data["in"]}


seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 1.0
counter, double, sink = Counter(name="counter", rate=100), Double(name="double"), Sink(name="sink")
with Pipeline() as pipeline:  # logs to ~/.local/state/flowmesh/logs
    pipeline.connect(counter, double)  # default ports: "out" -> "in"
    pipeline.connect(double, sink)
    pipeline.start()
    time.sleep(seconds)
    pipeline.stop()
    pipeline.raise_if_failed()
print(f"{len(sink.values())} values, the first ones:", sink.values()[:5])
