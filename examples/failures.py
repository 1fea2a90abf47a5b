"""Handling failures: a node that raises, an error handler, and
raise_if_failed() in the script.

A failure inside a run is not raised where it happens (that is another
thread): the node records it, the pipeline's monitoring thread stops the run,
calls the error handlers and prints a banner; the script asks with
raise_if_failed().
"""

import sys
import time

from flowmesh import Constants, IONode, Pipeline, SampledSource, Sink


class Sensor(SampledSource):
    def step(self, data):
        return {"out": self.get_counter()}


class Fragile(IONode):
    def step(self, data):
        if data["in"] == self.config["fail_at"]:
            raise ValueError(f"sensor returned garbage at frame {data['in']}")
        return {"out": data["in"]}


def main(seconds):
    sink = Sink(name="sink")
    fragile = Fragile(name="fragile", fail_at=20)
    with Pipeline() as pipeline:
        pipeline.add_node(sink)
        pipeline.add_node(fragile)
        pipeline.connect(Sensor(name="sensor", rate=100), fragile)
        pipeline.connect(fragile, sink)
        pipeline.add_error_handler(lambda entry: print(f"error handler: {entry['message']}"))
        pipeline.start()
        deadline = time.monotonic() + seconds
        while pipeline.get_state() == Constants.States.RUNNING and time.monotonic() < deadline:
            time.sleep(0.05)
        pipeline.stop()  # waits until the monitoring thread has reported
        print(f"state {pipeline.get_state()}, condition {pipeline.get_condition()}")
        print(f"the sink got {len(sink.frames)} frames before the failure")
        try:
            pipeline.raise_if_failed()
        except RuntimeError as e:
            print(f"raise_if_failed() raised: {e}")
            print(f"caused by: {e.__cause__!r}")
            return 0
    print("no failure?")
    return 1


if __name__ == "__main__":
    sys.exit(main(float(sys.argv[1]) if len(sys.argv) > 1 else 5.0))
