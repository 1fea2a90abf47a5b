"""ONode: a node with output ports."""

from . import imp
from .constants import Constants
from .node import Node


def input_side_of(target):
    """The implementation object whose input ports `target` offers: a chain
    offers its first node's."""
    side = getattr(type(target), "_input_imp", None)
    return target._input_imp if side is not None else target._imp


class ONode(Node):
    """A node whose step results go out through its output ports.

    Ports are declared in the configuration under `output_ports` (a list of
    port configurations: name, type, timing); the default is one SYNC port
    named "out". `decimation_factor` N makes `is_decimation_step()` true in
    every N-th cycle.
    """

    class Configuration(Node.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(
                keys.OUTPUT_PORTS,
                [
                    {
                        keys.NAME: Constants.Defaults.PORT_OUT,
                        keys.TYPE: "Any",
                        keys.TIMING: Constants.Timing.SYNC,
                    }
                ],
            )
            self.setdefault(Constants.Keys.DECIMATION_FACTOR, 1)

        def validate(self):
            super().validate()
            key = Constants.Keys.DECIMATION_FACTOR
            factor = self[key]
            if isinstance(factor, bool) or not isinstance(factor, int) or factor < 1:
                raise ValueError(f"{key} must be an int >= 1, got {factor!r}.")

    def _create_imp(self, config):
        return imp.ONodeImp(config)

    def setup(self, data, context):
        """Default: an empty context for every output port."""
        return {name: {} for name in self._imp._output_ports}

    def connect(self, output_port, target, input_port):
        """Join `output_port` of this node to `input_port` of `target`."""
        self._imp.connect(output_port, input_side_of(target), input_port)

    def disconnect(self, output_port, target, input_port):
        """Undo `connect`."""
        self._imp.disconnect(output_port, input_side_of(target), input_port)

    def get_output_port(self, name):
        """The implementation object of the output port named `name`."""
        return self._imp.get_output_port(name)

    def is_decimation_step(self):
        """True in every N-th cycle, N being the decimation factor."""
        return self._imp.is_decimation_step()
