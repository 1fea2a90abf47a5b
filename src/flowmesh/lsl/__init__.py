"""A bridge to the Lab Streaming Layer (LSL): streams between processes and machines.

`LSLInlet` is a source that subscribes to an LSL stream; `LSLOutlet` is a sink
that publishes its input as one. Both are configured with plain JSON values, so
they are saved and loaded with a pipeline like any other node. They need the
optional dependency ``pylsl`` (``pip install 'flowmesh[lsl]'``).

Signals (regular-rate numeric streams) travel as frames: numpy arrays of shape
(samples, channels) in the stream's own dtype. Each frame of an inlet leaves on
the SYNC port "out" together with its samples' LSL timestamps, a 1-D float64
array, on the SYNC port "timestamps"; a node that wants both declares both
inputs and receives them in one cycle.

Events (string and irregular-rate streams, such as markers) travel one sample
per event on the ASYNC port "out" as a dict: ``{"label": text, "time": t}`` for
a one-channel string stream, ``{"value": v, "time": t}`` otherwise (``v`` a
number, or a list with one entry per channel). An outlet publishing events
takes the same dicts, plain strings or numbers; a ``"time"`` becomes the
sample's timestamp.

Timestamps are in seconds on LSL's clock, which on one machine is the
monotonic clock (`time.monotonic`). An inlet passes the sender's timestamps on
untouched unless told otherwise: `time_correction` maps them onto this
machine's clock (needed between machines), `dejitter` smooths them for a
regular-rate stream.

The context an inlet hands downstream describes the stream: "stream_name",
"stream_type", "source_id", "channel_count", "channel_format", "rate" (the
nominal rate in Hz, 0 for an irregular one), "hostname", "channels" when the
stream has channel labels and, for a signal, "t0": the timestamp of the first
sample of the run (a signal's node sets up with its first frame). An outlet
reads "channel_count", "channels", "rate" and "channel_format" from the
context of its input wherever its own configuration leaves them open.

Discovery uses multicast on the local network; see the README's LSL section.
"""

try:
    # Shared by every module here (tests keeping off the network patch it).
    import pylsl as pylsl
except ImportError as _missing:  # pragma: no cover - depends on the installation
    raise ImportError(
        "flowmesh.lsl needs the pylsl package: pip install 'flowmesh[lsl]'"
    ) from _missing

# Beyond __all__, the limits and the conversions and checks are handed on
# for code that uses them on its own.
from .inlet import LSLInlet
from .metadata import FORMATS, Metadata
from .metadata import MAX_BUFFER as MAX_BUFFER
from .metadata import MAX_CHANNELS as MAX_CHANNELS
from .metadata import MAX_CHUNK as MAX_CHUNK
from .metadata import MAX_WAIT as MAX_WAIT
from .metadata import check_stream as check_stream
from .metadata import stream_metadata as stream_metadata
from .outlet import LSLOutlet
from .resolution import first_stream as first_stream
from .resolution import stream_query as stream_query
from .samples import as_event_sample as as_event_sample
from .samples import as_samples as as_samples
from .samples import check_representable as check_representable

__all__ = ["LSLInlet", "LSLOutlet", "Metadata", "FORMATS"]

# Documents name a class by its module: they name this package, which stays
# put when a class moves between its modules.
for _cls in (LSLInlet, LSLOutlet):
    _cls.__module__ = __name__
del _cls
