from typing import Any

from flowmesh.constants import Constants

from .ledger import PortableImp

class PortImp(PortableImp):
    """Base of input and output ports: the connection list, the effective
    timing, the joining rules."""

    timing: Constants.Timing
    _timing: Constants.Timing
    _connected_ports: tuple[PortImp, ...]
    _context: dict[str, Any] | None
    def connect(self, port: PortImp) -> None: ...
    def disconnect(self, port: PortImp) -> None: ...
    def is_connected(self) -> bool: ...
    def _describe(self) -> str: ...
