"""Saving a pipeline as a document and loading it back.

A document is JSON: each element's class, module and configuration (with the
ids of its ports) and every connection. Loading imports the modules a
document names, so the nodes must be importable where it is loaded: here they
are flowmesh's own ready-made nodes. Loading runs code named by the document:
load only documents you trust, or restrict them with `allowed_modules`.

    ticks (SampledSource) --> smooth (Filter, low-pass) --> sink
"""

import math
import os
import sys
import tempfile
import time

from flowmesh import Pipeline, Portable, SampledSource, Sink
from flowmesh.nodes import Filter


class Ticks(SampledSource):
    """A 1 Hz square wave at 100 Hz; its context gives the sampling rate."""

    def setup(self, data, context):
        return {"out": {"rate": self.rate}}

    def step(self, data):
        return {"out": [math.copysign(1.0, math.sin(math.pi * self.get_counter() / 50 + 0.1))]}


def run(pipeline, seconds):
    pipeline.start()
    time.sleep(seconds)
    pipeline.stop()
    pipeline.raise_if_failed()


def main(seconds):
    folder = tempfile.mkdtemp(prefix="flowmesh-example-")
    path = os.path.join(folder, "smoothing.json")
    with Pipeline() as pipeline:
        sink = Sink(name="sink")
        smooth = Filter(name="smooth", kind="lowpass", frequencies=5.0, order=2)
        pipeline.add_node(sink)
        pipeline.add_node(smooth)
        pipeline.connect(Ticks(name="ticks", rate=100), smooth)
        pipeline.connect(smooth, sink)
        run(pipeline, seconds)
        pipeline.save(path)
        ids = [port.config["id"] for port in (smooth.get_output_port("out"),)]
    print(
        f"saved to {path} ({os.path.getsize(path)} bytes); the sink got {len(sink.frames)} frames"
    )

    # The ids in the document are still held by the objects above, should they
    # live on: a second copy in one process needs the registry cleared first.
    Portable.reset()
    # Ticks is defined in this script (module __main__), so it is allowed too.
    loaded = Pipeline.load(path, allowed_modules=["flowmesh", "__main__"])
    with loaded:
        names = [element.name for element in loaded.get_elements()]
        print(f"loaded back: {names}")
        smooth = next(e for e in loaded.get_elements() if e.name == "smooth")
        print(f"same port ids: {[smooth.get_output_port('out').config['id']] == ids}")
        run(loaded, seconds)
        sink = next(e for e in loaded.get_elements() if e.name == "sink")
        print(f"the loaded pipeline ran: its sink got {len(sink.frames)} frames")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 1.0)
