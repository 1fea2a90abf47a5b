"""flowmesh: a real-time dataflow framework with a C++ implementation layer."""

__version__ = "0.1.0"
