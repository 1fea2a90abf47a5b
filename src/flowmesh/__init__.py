"""flowmesh: a real-time dataflow framework with a C++ implementation layer."""

from .documents import DocumentError

__version__ = "0.1.0"

__all__ = ["DocumentError"]
