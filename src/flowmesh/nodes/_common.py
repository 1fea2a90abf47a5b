"""What the signal nodes share: port timings, the sampling rate, frames."""

import numpy as np

from ..configuration import MAX_RATE, check_number
from ..constants import Constants

_SYNC = Constants.Timing.SYNC
_ASYNC = Constants.Timing.ASYNC


def _name(node):
    """How messages name a node: its name, or its class when it has none."""
    return node.name or type(node).__name__


def _signal_rate(node, configured, context):
    """The sampling rate from the setting or, when that is None, the context."""
    if configured is not None:
        return float(configured)
    rate = (context or {}).get("rate")
    if rate is None:
        raise ValueError(
            f"{_name(node)}: no sampling rate; set 'rate' or feed a "
            "signal whose context gives 'rate'."
        )
    check_number("the context's rate", rate, strict=True, maximum=MAX_RATE)
    return float(rate)


def _as_frame(value):
    """A frame as a float64 array of at least one dimension."""
    frame = np.asarray(value, dtype=np.float64)
    return frame.reshape(1) if frame.ndim == 0 else frame
