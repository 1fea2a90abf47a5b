"""OChain: a chain whose last node's output ports are its own."""

from . import imp
from .chain import Chain, _check_port_list, _OutputSide


class OChain(_OutputSide, Chain):
    """A sequence of nodes used as one source element.

    The first node produces (an `ONode`, or an `IONode` whose
    `is_externally_fed()` is true); every later node takes input; the last
    node's output ports are the chain's, under ``output_ports`` in its
    configuration. See `flowmesh.chain` for how the nodes are built and how
    the chain round-trips through a document.
    """

    class Configuration(Chain.Configuration):
        __slots__ = ()

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.OUTPUT_PORTS, [])

        def validate(self):
            super().validate()
            _check_port_list(self, self.Keys.OUTPUT_PORTS)

    _imp_class = imp.OChainImp
