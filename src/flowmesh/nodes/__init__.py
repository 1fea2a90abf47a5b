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
- `Resample`, `Decimate`, `Rereference`, `Select`, `BandPower`, `Scaler`: the
  signal nodes decoders put in front of a classifier (`signal`).
- `Classifier`: a scikit-learn estimator calibrated on labelled epochs, then
  predicting every epoch as it arrives (`decoding`; needs the extra "decode").

Every setting is a plain JSON value, so these nodes round-trip through saved
documents.
"""

# Public name -> the module that defines it. They load on first use, so that
# importing the package costs nothing until a node is wanted (numpy, scipy).
_EXPORTS = {
    "Filter": "filtering",
    "Epocher": "epochs",
    "Averager": "epochs",
    "Recorder": "recording",
    "Replay": "recording",
    "read_recording": "recording",
    "recording_ports": "recording",
    "write_recording": "recording",
    "Resample": "signal",
    "Decimate": "signal",
    "Rereference": "signal",
    "Select": "signal",
    "BandPower": "signal",
    "Scaler": "signal",
    "Classifier": "decoding",
    "load_model": "decoding",
    "save_model": "decoding",
}

__all__ = [
    "Filter",
    "Epocher",
    "Averager",
    "Recorder",
    "Replay",
    "read_recording",
    "Resample",
    "Decimate",
    "Rereference",
    "Select",
    "BandPower",
    "Scaler",
    "Classifier",
    "load_model",
    "save_model",
]


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    value = getattr(importlib.import_module(f".{module}", __name__), name)
    if isinstance(value, type):
        # Documents name a class by its module: they name this package, which
        # stays put when a class moves between its modules.
        value.__module__ = __name__
    globals()[name] = value  # later look-ups skip this function
    return value


def __dir__():
    return sorted({*globals(), *_EXPORTS})
