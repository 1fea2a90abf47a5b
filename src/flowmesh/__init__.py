"""flowmesh: a real-time dataflow framework with a C++ implementation layer.

Build a graph of nodes, connect their ports and run it as a `Pipeline`::

    from flowmesh import IONode, Pipeline, SampledSource, Sink

The public names load on first use, so ``import flowmesh`` stays cheap (the
extension modules load with the first class a program touches). Ready-made
nodes for signals and events are in `flowmesh.nodes`; the command line is
`flowmesh.commands`.
"""

from . import _lazy

# Type checkers read this as typing.TYPE_CHECKING; importing typing would
# cost more than the rest of this module.
TYPE_CHECKING = False

__version__ = "0.1.0"

# Public name -> the submodule that defines it.
_EXPORTS = {
    "Pipeline": "pipeline",
    "Node": "node",
    "INode": "i_node",
    "ONode": "o_node",
    "IONode": "io_node",
    "Chain": "chain",
    "OChain": "o_chain",
    "IChain": "i_chain",
    "IOChain": "io_chain",
    "node_entry": "chain",
    "SampledSource": "sources",
    "EventSource": "sources",
    "Sink": "sources",
    "Port": "port",
    "IPort": "i_port",
    "OPort": "o_port",
    "Portable": "portable",
    "ProcessingElement": "processing_element",
    "Configuration": "configuration",
    "Constants": "constants",
    "Context": "context",
    "Logger": "logging",
    "LogEntry": "logging",
    "DocumentError": "documents",
}

__all__ = [
    "Pipeline",
    "Node",
    "INode",
    "ONode",
    "IONode",
    "Chain",
    "OChain",
    "IChain",
    "IOChain",
    "node_entry",
    "SampledSource",
    "EventSource",
    "Sink",
    "Port",
    "IPort",
    "OPort",
    "Portable",
    "ProcessingElement",
    "Configuration",
    "Constants",
    "Context",
    "Logger",
    "LogEntry",
    "DocumentError",
    "__version__",
]


__getattr__, __dir__ = _lazy.exports(globals(), _EXPORTS)


if TYPE_CHECKING:
    from .chain import Chain, node_entry
    from .configuration import Configuration
    from .constants import Constants
    from .context import Context
    from .documents import DocumentError
    from .i_chain import IChain
    from .i_node import INode
    from .i_port import IPort
    from .io_chain import IOChain
    from .io_node import IONode
    from .logging import LogEntry, Logger
    from .node import Node
    from .o_chain import OChain
    from .o_node import ONode
    from .o_port import OPort
    from .pipeline import Pipeline
    from .port import Port
    from .portable import Portable
    from .processing_element import ProcessingElement
    from .sources import EventSource, SampledSource, Sink
