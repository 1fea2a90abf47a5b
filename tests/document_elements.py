"""Element classes for the document tests, importable by module name (a
document names each element's module and class, and reading imports them)."""

from flowmesh.chain import node_entry
from flowmesh.constants import Constants
from flowmesh.io_chain import IOChain
from flowmesh.io_node import IONode
from flowmesh.o_chain import OChain
from flowmesh.o_node import ONode
from flowmesh.sources import EventSource, SampledSource, Sink


class Counter(SampledSource):
    """Emits 1, 2, 3, ... on "out"."""

    def step(self, data):
        return {"out": self.get_counter() + 1}


class Double(IONode):
    def step(self, data):
        return {"out": data["in"] * 2}


class Events(EventSource):
    pass


def async_sink(**config):
    """A sink whose one input takes events."""
    port = {"name": "in", "type": "Any", "timing": Constants.Timing.ASYNC}
    return Sink(input_ports=[port], **config)


class Silent(ONode):
    """An output node that is never run."""

    def step(self, data):
        return None


class FailsAfterRegistering(ONode):
    """Registers its id (and its ports' ids), then fails its constructor."""

    def __init__(self, **config):
        super().__init__(**config)
        raise RuntimeError("constructor failed after registering")


KEPT = []


class KeepsABystander(ONode):
    """Builds an element that outlives the load (held elsewhere), then fails."""

    def __init__(self, **config):
        KEPT.append(Sink(name="bystander"))
        super().__init__(**config)
        raise RuntimeError("constructor failed")


class Interrupted(ONode):
    def __init__(self, **config):
        super().__init__(**config)
        raise KeyboardInterrupt


class Front(OChain):
    """An output chain: a counter and a doubler, its frame count a parameter."""

    class Configuration(OChain.Configuration):
        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault("frames", 3)

    def build_nodes(self, config):
        return [Counter(name="count", rate=0, frames=config["frames"]), Double(name="twice")]


class Quadruple(IOChain):
    def build_nodes(self, config):
        return [Double(name="first"), Double(name="second")]


def listed_front(**config):
    """An output chain rebuilt from the node entries in its configuration."""
    entries = [node_entry(Counter, name="c", rate=0, frames=2), node_entry(Double, name="d")]
    return OChain(nodes=entries, **config)
