"""A chain: a run of nodes used as one element.

`Smoother` is an IOChain of moving averages; it is connected, started and
watched like one node, and it rebuilds its stages from its own configuration
(a plain number), so it can be saved in a document and loaded back.

    noisy (SampledSource) --> smoother [stage0 -> stage1 -> stage2] --> sink
"""

import random
import sys
import time
from collections import deque

from flowmesh import IOChain, IONode, Pipeline, SampledSource, Sink


class Noisy(SampledSource):
    """A constant 10.0 plus uniform noise."""

    def setup(self, data, context):
        self.random = random.Random(0)
        return {"out": {}}

    def step(self, data):
        return {"out": 10.0 + self.random.uniform(-1, 1)}


class MovingAverage(IONode):
    def setup(self, data, context):
        self.window = deque(maxlen=self.config.get("window", 5))
        return {"out": {}}

    def step(self, data):
        self.window.append(data["in"])
        return {"out": sum(self.window) / len(self.window)}


class Smoother(IOChain):
    """`stages` moving averages of `window` samples, one after the other."""

    class Configuration(IOChain.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("stages", 3)
            self.setdefault("window", 5)

    def build_nodes(self, config):
        return [
            MovingAverage(name=f"{config['name']}.stage{k}", window=config["window"])
            for k in range(config["stages"])
        ]


def main(seconds):
    source, smoother, sink = (
        Noisy(name="noisy", rate=200),
        Smoother(name="smoother"),
        Sink(name="sink"),
    )
    with Pipeline() as pipeline:
        pipeline.add_node(sink)
        pipeline.add_node(smoother)
        pipeline.connect(source, smoother)  # into the first stage's "in"
        pipeline.connect(smoother, sink)  # out of the last stage's "out"
        pipeline.start()
        time.sleep(seconds)
        pipeline.stop()
        pipeline.raise_if_failed()
    values = sink.values()[20:]
    spread = max(values) - min(values)
    print(f"stages: {[node.name for node in smoother.get_nodes()]}")
    print(f"{len(sink.values())} values; after warm-up they stay within {spread:.3f} (raw: 2.0)")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 1.0)
