"""The implementation layer.

The C++ modules are loaded in dependency order; each reaches the classes of
the others only through this namespace.
"""

import os
import sys

# The extension modules share one shared object, which has an init function
# per module; this finder loads each module, by its own name, from that file,
# in place of the search for a file per module. Python keeps this machinery
# loaded, so the package imports nothing for it.
import _frozen_importlib_external as _bootstrap

MODULES = (
    "_base",
    "ledger",
    "worker",
    "vertex",
    "coupler",
    "_ports",
    "emitter",
    "cascade_out",
    "cascade_io",
    "conductor",
)


def _shared_object(directory):
    for suffix in _bootstrap.EXTENSION_SUFFIXES:
        path = os.path.join(directory, "_imp" + suffix)
        if os.path.isfile(path):
            return path
    raise ImportError(f"flowmesh: the compiled modules (_imp*.so) are missing from {directory}")


class _ModuleFinder:
    def __init__(self, package, path):
        self.package = package
        self.path = path
        self.names = frozenset(f"{package}.{name}" for name in MODULES)

    def find_spec(self, fullname, path=None, target=None):
        if fullname not in self.names:
            return None
        loader = _bootstrap.ExtensionFileLoader(fullname, self.path)
        return _bootstrap.spec_from_file_location(fullname, self.path, loader=loader)


def _install_finder():
    finder = _ModuleFinder(__name__, _shared_object(os.path.dirname(__file__)))
    # A package imported again (another copy, or after sys.modules was
    # cleared) replaces its earlier finder rather than queueing behind it.
    sys.meta_path[:] = [
        f
        for f in sys.meta_path
        if getattr(f, "package", None) != __name__ or type(f).__name__ != "_ModuleFinder"
    ]
    sys.meta_path.insert(0, finder)


_install_finder()

from .._lazy import exports
from ..constants import ConstantsImp
from ..logging import register_element_class
from ._base import Implementation

# Each module reads the names bound before it, so the order matters.
from .ledger import PortableImp
from .worker import ProcessingElementImp
from .vertex import NodeImp
from .coupler import PortImp
from ._ports import IPortImp, INodeImp, OPortImp, StreamsImp, TapImp
from .emitter import ONodeImp


class IONodeImp(ONodeImp, INodeImp):
    """A node with input and output ports.

    The two sides' constructors, starts, stops and resets each call the node's
    base directly rather than cooperatively, so this class runs both sides'
    parts itself; otherwise a restart would leave stale input state behind.
    """

    def __init__(self, config):
        INodeImp._check_input_ports(config)
        ONodeImp.__init__(self, config)
        INodeImp._init_input_side(self)

    def start(self):
        ONodeImp.start(self)  # an input-output node gets no setup thread
        INodeImp._start_input_side(self)

    def stop(self):
        INodeImp.stop(self)

    def reset_run_state(self):
        ONodeImp.reset_run_state(self)
        INodeImp._reset_input_side(self)

    # The node's own port lookup answers for its inputs (connect reaches the
    # outputs through ONodeImp's lookup, and get_output_port always does).
    get_port = INodeImp.get_port


from .conductor import PipelineImp

# Chains load with the first one a program makes: a graph of plain nodes
# needs neither their Python half nor their two extension modules.
_CHAINS = {
    "ChainImp": "_chain",
    "IChainImp": "_chain",
    "OChainImp": "cascade_out",
    "IOChainImp": "cascade_io",
}
__getattr__, __dir__ = exports(globals(), _CHAINS)

# Type checkers read this as typing.TYPE_CHECKING.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from ._chain import ChainImp, IChainImp
    from .cascade_io import IOChainImp
    from .cascade_out import OChainImp


def holding_chain(node):
    """The chain (facade) whose internal node `node` is, or None."""
    ref = getattr(getattr(node, "_imp", None), "_chain_holder", None)
    return ref() if callable(ref) else None


# The log names the element whose code wrote an entry or raised.
register_element_class(ProcessingElementImp)
