"""The implementation layer.

The C++ modules are loaded in dependency order; each reaches the classes of
the others only through this namespace.
"""

from ._base import Implementation


class ConstantsImp:
    """Settings read by the implementation on every use (tests may change them)."""

    ID_TO_BE_GENERATED = None
    MONITORING_INTERVAL = 0.5
    BACKLOG_WARNING = 100
    BACKLOG_ERROR = 1000


def _load(name, *attrs):
    import importlib

    module = importlib.import_module(f"{__name__}.{name}")
    for attr in attrs:
        globals()[attr] = getattr(module, attr)


_load("ledger", "PortableImp")
_load("worker", "ProcessingElementImp")
_load("vertex", "NodeImp")
_load("coupler", "PortImp")
_load("_ports", "OPortImp", "IPortImp", "INodeImp")
_load("emitter", "ONodeImp")


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


_load("conductor", "PipelineImp")
