"""IONode: a node with both input and output ports."""

from . import imp
from .i_node import INode
from .o_node import ONode


class IONode(ONode, INode):
    """A node fed through its input ports whose results leave through its
    output ports; the configuration takes both port lists."""

    class Configuration(ONode.Configuration, INode.Configuration):
        __slots__ = ()

    def _create_imp(self, config):
        return imp.IONodeImp(config)

    def is_externally_fed(self):
        """Whether this node produces data without being fed by its inputs, so
        that it can head a chain. A plain IONode cannot."""
        return False
