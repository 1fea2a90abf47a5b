"""Writing your own node: setup and step, contexts, several ports, a stream
(SYNC) and events (ASYNC) on one node.

    temperature (SYNC, 20 Hz) --> thermostat.reading
    setpoints (ASYNC events) ---> thermostat.setpoint
    thermostat.heater (SYNC) ---> heater (sink)
    thermostat.alarm (ASYNC) ---> alarms (sink)
"""

import math
import sys
import time

from flowmesh import Constants, EventSource, IONode, Pipeline, SampledSource, Sink

ASYNC = Constants.Timing.ASYNC


class Temperature(SampledSource):
    """A room warming up and cooling down (degrees Celsius)."""

    def setup(self, data, context):
        # The context travels downstream once per run, before the first frame.
        return {"out": {"unit": "degC", "rate": self.rate}}

    def step(self, data):
        t = self.get_counter() / self.rate
        return {"out": 20.0 + 3.0 * math.sin(2 * math.pi * 0.5 * t)}


class Thermostat(IONode):
    """Switches the heater on below the setpoint; raises an alarm event when
    the room is far too warm. Ports and their timing come from the
    configuration, so the defaults are set in the node's own record."""

    class Configuration(IONode.Configuration):
        def _set_defaults(self):
            self.setdefault(
                "input_ports", [{"name": "reading"}, {"name": "setpoint", "timing": ASYNC}]
            )
            self.setdefault(
                "output_ports", [{"name": "heater"}, {"name": "alarm", "timing": ASYNC}]
            )
            super()._set_defaults()
            self.setdefault("alarm_above", 22.5)

    def setup(self, data, context):
        # `context` maps each input port to the context that reached it.
        unit = (context.get("reading") or {}).get("unit", "?")
        self.setpoint = 19.0
        self.alarmed = False
        return {"heater": {"meaning": "1 = heating"}, "alarm": {"unit": unit}}

    def step(self, data):
        if "setpoint" in data:  # an event: one cycle of its own
            self.setpoint = data["setpoint"]
            return None
        reading = data["reading"]
        out = {"heater": int(reading < self.setpoint)}
        too_warm = reading > self.config["alarm_above"]
        if too_warm and not self.alarmed:
            out["alarm"] = f"too warm: {reading:.1f} (limit {self.config['alarm_above']})"
        self.alarmed = too_warm
        return out


def main(seconds):
    temperature = Temperature(name="temperature", rate=20)
    setpoints = EventSource(name="setpoints")
    thermostat = Thermostat(name="thermostat")
    heater = Sink(name="heater")
    alarms = Sink(name="alarms", input_ports=[{"name": "in", "timing": ASYNC}])

    with Pipeline() as pipeline:
        for node in (heater, alarms, thermostat, setpoints, temperature):
            pipeline.add_node(node)  # consumers first: they start first
        pipeline.connect(temperature, {"node": thermostat, "port": "reading"})
        pipeline.connect(setpoints, {"node": thermostat, "port": "setpoint"})
        pipeline.connect({"node": thermostat, "port": "heater"}, heater)
        pipeline.connect({"node": thermostat, "port": "alarm"}, alarms)
        pipeline.start()
        time.sleep(seconds / 2)
        setpoints.trigger(21.5)  # someone turns the knob
        time.sleep(seconds / 2)
        pipeline.stop()
        pipeline.raise_if_failed()

    on = sum(heater.values())
    print(f"heater on in {on} of {len(heater.values())} readings")
    print(f"thermostat context: {thermostat.get_context()}")
    print(f"heater sink saw: {heater.context}")
    print(f"alarms: {alarms.values()}")


if __name__ == "__main__":
    main(float(sys.argv[1]) if len(sys.argv) > 1 else 2.0)
