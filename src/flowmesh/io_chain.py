"""IOChain: a chain of input-output nodes used as one element."""

from . import imp
from .chain import Chain, _check_port_list, _InputSide, _OutputSide


class IOChain(_OutputSide, _InputSide, Chain):
    """A sequence of `IONode` objects: the first node's input ports and the
    last node's output ports are the chain's (``input_ports`` and
    ``output_ports`` in its configuration). See `flowmesh.chain` for how the
    nodes are built and how the chain round-trips through a document.
    """

    class Configuration(Chain.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.INPUT_PORTS, [])
            self.setdefault(self.Keys.OUTPUT_PORTS, [])

        def validate(self):
            super().validate()
            _check_port_list(self, self.Keys.INPUT_PORTS)
            _check_port_list(self, self.Keys.OUTPUT_PORTS)

    _imp_class = imp.IOChainImp
