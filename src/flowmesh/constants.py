"""Constant groups shared by the facade and the implementation layer.

Values are string enumerations: they compare equal to their text (so a
document written as plain values reads back equal) and print as that text.
"""

from enum import StrEnum


class _States(StrEnum):
    STOPPED = "Stopped"
    RUNNING = "Running"


class _Conditions(StrEnum):
    HEALTHY = "Healthy"
    WARNING = "Warning"
    ERROR = "Error"


class _LogTypes(StrEnum):
    INFO = "INFO"
    WARNING = "WARNING"
    ERROR = "ERROR"


class _Timing(StrEnum):
    SYNC = "Sync"
    ASYNC = "Async"
    INHERITED = "Inherited"


class Constants:
    States = _States
    Conditions = _Conditions
    LogTypes = _LogTypes
    Timing = _Timing

    class Defaults:
        PORT_OUT = "out"
        PORT_IN = "in"

    class Keys:
        DECIMATION_FACTOR = "decimation_factor"
