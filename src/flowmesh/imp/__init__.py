"""The implementation layer.

The C++ modules are loaded in dependency order; each reaches the classes of
the others only through this namespace.
"""

from .._lazy import exports
from ..constants import ConstantsImp
from ..logging import register_element_class
from ._base import Implementation

# Each module reads the names bound before it, so the order matters.
from .ledger import PortableImp
from .worker import ProcessingElementImp
from .vertex import NodeImp
from .coupler import PortImp
from ._ports import IPortImp, INodeImp, OPortImp, TapImp
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
