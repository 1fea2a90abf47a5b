"""IChain: an input-only chain, a sequence of nodes used as one sink."""

from . import imp
from .chain import Chain, _check_port_list, _InputSide


class IChain(_InputSide, Chain):
    """A sequence of input-capable nodes (`INode` or `IONode`) whose first
    node's input ports are the chain's (``input_ports`` in its
    configuration); whatever the nodes produce stays inside the chain. See
    `flowmesh.chain` for how the nodes are built and how the chain
    round-trips through a document.
    """

    class Configuration(Chain.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.INPUT_PORTS, [])

        def validate(self):
            super().validate()
            _check_port_list(self, self.Keys.INPUT_PORTS)

    _imp_class = imp.IChainImp
