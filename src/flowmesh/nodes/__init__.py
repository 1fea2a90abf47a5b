"""Ready-made nodes for sampled signals and events.

A signal frame is a numpy array of shape (samples, channels); a 1-D array is
one channel. The sampling rate comes from a node's `rate` setting or, when
that is None, from the "rate" of the context that arrives with the signal.
A source of signal frames says in its context what later nodes need: "rate"
(Hz), "t0" (the time of sample 0 on the monotonic clock, for markers that carry
a time) and, when it has them, "channels".

- `Filter`: a digital filter (scipy second-order sections) whose state carries
  over from frame to frame, so that a stream filtered frame by frame equals the
  whole signal filtered at once.
- `Epocher`: cuts a window of the signal around every marker and emits it as an
  event.
- `Averager`: the running average of the epochs it has received.
- `Recorder` and `Replay`: every frame and event a node receives, written to an
  XDF file as the run goes (crash-safe, readable by pyxdf, MNE, EEGLAB), and
  any XDF file played back in real time, faster, or as fast as possible.

Every setting is a plain JSON value, so these nodes round-trip through saved
documents.
"""

from .epochs import Averager, Epocher
from .filtering import Filter
from .recording import Recorder, Replay, read_recording
from .recording import recording_ports as recording_ports
from .recording import write_recording as write_recording

__all__ = ["Filter", "Epocher", "Averager", "Recorder", "Replay", "read_recording"]

# Documents name a class by its module: they name this package, which stays
# put when a class moves between its modules.
for _cls in (Filter, Epocher, Averager, Recorder, Replay):
    _cls.__module__ = __name__
del _cls
