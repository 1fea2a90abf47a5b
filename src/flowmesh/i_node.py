"""INode: a node with input ports."""

from . import imp
from .constants import Constants
from .node import Node


class INode(Node):
    """A node fed through its input ports.

    Ports are declared in the configuration under `input_ports` (a list of
    port configurations: name, type, timing); the default is one SYNC port
    named "in". A cycle runs once every SYNC or INHERITED input holds an item
    (one frame: input-port name to item), and once per item at an ASYNC
    input. By default the cycle runs on the thread that delivered the item
    completing the frame; `decoupled=True` gives the node a worker thread of
    its own, started and stopped with the node. A failure that no cycle
    contains (SystemExit, KeyboardInterrupt) on that worker is kept as the
    node's failure and logged as ERROR; it is not raised again on any thread,
    but a pipeline stops the run and `Pipeline.raise_if_failed` raises it.
    """

    class Configuration(Node.Configuration):
        class Keys(Node.Configuration.Keys):
            DECOUPLED = "decoupled"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:  # absent or None: one SYNC port "in"
                self[keys.INPUT_PORTS] = [
                    {
                        keys.NAME: Constants.Defaults.PORT_IN,
                        keys.TYPE: "Any",
                        keys.TIMING: Constants.Timing.SYNC,
                    }
                ]
            self.setdefault(keys.DECOUPLED, False)

        def validate(self):
            super().validate()
            key = self.Keys.DECOUPLED
            if not isinstance(self[key], bool):
                raise TypeError(f"{key} must be a bool, got {type(self[key]).__name__}.")

    def _create_imp(self, config):
        return imp.INodeImp(config)

    def get_input_port(self, name):
        """The implementation object of the input port named `name`."""
        return self._imp.get_input_port(name)
