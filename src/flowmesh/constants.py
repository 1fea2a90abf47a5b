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


class ConstantsImp:
    """Settings read by the implementation layer on every use (tests may change
    them); `flowmesh.imp` hands this class on under the same name."""

    ID_TO_BE_GENERATED = None
    # Seconds between monitoring passes; a value that is not a number of
    # seconds above 0 and up to a day falls back to 0.5 (logged once per run),
    # and one below a millisecond counts as a millisecond.
    MONITORING_INTERVAL = 0.5
    BACKLOG_WARNING = 100
    BACKLOG_ERROR = 1000
    QUEUE_BLOCK_TIMEOUT = 1.0  # longest wait of a thread delivering to a full queue
    # Longest wait of a node's stop for its queued items to run; the rest is
    # counted as dropped.
    STOP_DRAIN_TIMEOUT = 2.0


# The formats a recording exports to (through MNE); the command line offers
# them without importing the recording code.
EXPORT_FORMATS = ("edf", "brainvision", "fif")
