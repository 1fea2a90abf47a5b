"""`Epocher` cuts epochs of a signal around markers; `Averager` averages them."""

import numbers

import numpy as np

from ..configuration import (
    MAX_RATE,
    check_keys,
    check_list,
    check_number,
    check_str,
)
from ..constants import Constants
from ..io_node import IONode
from ._common import _ASYNC, _SYNC, _as_frame, _signal_rate


def _port_names(config, key):
    return [entry.get(config.Keys.NAME) for entry in config.get(key) or ()]


class Epocher(IONode):
    """Cuts a window of the signal around each marker and emits it as an event.

    Inputs: "signal" (SYNC, frames of shape (samples, channels)) and "marker"
    (ASYNC). A marker is a number (its time, on the signal's clock) or a dict
    with "time" or "sample" (the index of its onset sample) and, optionally,
    "label". Times need the signal's "t0" in its context.

    For each marker (whose label is among `labels`, when given) the node emits
    on "epoch", once the signal has reached the window's end, a dict: "data"
    (an array of shape (window, channels), the samples from `tmin` to before
    `tmax` seconds around the onset, minus their mean over `baseline` when
    that is [start, end] in seconds), "times" (seconds relative to the onset),
    "label", "onset" (sample index) and "time". Every epoch leaves in the
    cycle that completes it (several, in marker order, when one frame
    completes several windows, however close their markers). The signal is
    kept for `history` seconds, so a marker may arrive that much late. A
    marker whose window can never be complete gets no epoch, is logged as a
    WARNING and counted: in `dropped` when it came older than the kept
    signal, in `incomplete` when the run stopped before the signal reached
    its window's end (`missed()` gives both).
    """

    SIGNAL = "signal"
    MARKER = "marker"
    EPOCH = "epoch"

    class Configuration(IONode.Configuration):
        __slots__ = ()

        class Keys(IONode.Configuration.Keys):
            TMIN = "tmin"
            TMAX = "tmax"
            BASELINE = "baseline"
            RATE = "rate"
            HISTORY = "history"
            LABELS = "labels"

        def _set_defaults(self):
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:
                self[keys.INPUT_PORTS] = [
                    {keys.NAME: Epocher.SIGNAL, keys.TIMING: _SYNC},
                    {keys.NAME: Epocher.MARKER, keys.TIMING: _ASYNC},
                ]
            self.setdefault(keys.OUTPUT_PORTS, [{keys.NAME: Epocher.EPOCH, keys.TIMING: _ASYNC}])
            super()._set_defaults()
            self.setdefault(keys.TMIN, -0.1)
            self.setdefault(keys.TMAX, 0.6)
            self.setdefault(keys.BASELINE, None)
            self.setdefault(keys.RATE, None)
            self.setdefault(keys.HISTORY, 5.0)
            self.setdefault(keys.LABELS, None)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            tmin, tmax = self[keys.TMIN], self[keys.TMAX]
            check_number(keys.TMIN, tmin, -Epocher.MAX_SPAN)
            check_number(keys.TMAX, tmax, -Epocher.MAX_SPAN, maximum=Epocher.MAX_SPAN)
            if not tmin < tmax:
                raise ValueError(f"tmin must be below tmax, got {tmin}, {tmax}.")
            baseline = self[keys.BASELINE]
            check_list(keys.BASELINE, baseline, length=2, allow_none=True)
            if baseline is not None:
                for b in baseline:
                    check_number(keys.BASELINE, b, None)
                if not tmin <= baseline[0] < baseline[1] <= tmax:
                    raise ValueError(f"baseline {baseline} must lie inside [tmin, tmax].")
            rate = self[keys.RATE]
            check_number(keys.RATE, rate, strict=True, allow_none=True, maximum=MAX_RATE)
            check_number(keys.HISTORY, self[keys.HISTORY], strict=True, maximum=Epocher.MAX_SPAN)
            if rate is not None:
                Epocher.sizes(tmin, tmax, self[keys.HISTORY], rate)
            labels = self[keys.LABELS]
            check_list(keys.LABELS, labels, allow_none=True)
            for label in labels or ():
                check_str(keys.LABELS, label, allow_empty=True)
            for side, key, wanted in (
                ("input", keys.INPUT_PORTS, (Epocher.SIGNAL, Epocher.MARKER)),
                ("output", keys.OUTPUT_PORTS, (Epocher.EPOCH,)),
            ):
                names = _port_names(self, key)
                missing = [n for n in wanted if n not in names]
                if missing:
                    raise ValueError(f"Epocher needs the {side} ports {missing}, got {names}.")

    #: The longest `tmin`..`tmax` window and `history`, in seconds.
    MAX_SPAN = 3600.0
    #: The most samples a window may hold, and the signal kept.
    MAX_SAMPLES = 10_000_000

    def __init__(self, **config):
        self.dropped = 0
        self.incomplete = 0
        self._reset(None, None)
        super().__init__(**config)

    @staticmethod
    def sizes(tmin, tmax, history, rate):
        """(first sample offset, window length, samples kept) at `rate`;
        refuses a window of no sample, and sizes beyond `MAX_SAMPLES`."""
        start, stop = round(tmin * rate), round(tmax * rate)
        length = stop - start
        if not 1 <= length <= Epocher.MAX_SAMPLES:
            raise ValueError(
                f"tmin..tmax ({tmin:g} .. {tmax:g} s) holds {length} samples at {rate:g} Hz; "
                f"it needs 1 to {Epocher.MAX_SAMPLES}."
            )
        keep = max(int(history * rate), length)
        if keep > Epocher.MAX_SAMPLES:
            raise ValueError(
                f"history ({history:g} s) holds {keep} samples at {rate:g} Hz; "
                f"at most {Epocher.MAX_SAMPLES} are kept."
            )
        return start, length, keep

    def _reset(self, rate, t0):
        self._rate, self._t0 = rate, t0
        self._buffer = None  # the latest samples, shape (kept, channels)
        self._first = 0  # sample index of the buffer's first row
        self._received = 0  # samples received this run
        self._pending = []  # (window start, onset, marker) in arrival order
        self._ready = []  # epochs cut and not yet emitted, in marker order
        self._early = []  # markers that came before the signal's rate was known
        self._times = None

    def missed(self):
        """Markers of this run that got no epoch: {"dropped": came older than
        the kept signal, "incomplete": the run stopped before their window's end}."""
        return {"dropped": self.dropped, "incomplete": self.incomplete}

    def stop(self):
        super().stop()
        waiting = len(self._pending) + len(self._early)
        if waiting:
            self.incomplete += waiting
            self._pending, self._early = [], []
            self.log(
                f"{self.name or 'Epocher'}: {waiting} marker(s) got no epoch: the signal "
                "stopped before their windows were complete.",
                Constants.LogTypes.WARNING,
            )

    def setup(self, data, context):
        self.dropped = 0
        self.incomplete = 0
        self._reset(None, None)
        self._adopt_context(context.get(self.SIGNAL))
        out = {"rate": self._rate, "tmin": self.config["tmin"], "tmax": self.config["tmax"]}
        channels = (context.get(self.SIGNAL) or {}).get("channels")
        if channels is not None:
            out["channels"] = channels
        return {name: dict(out) for name in self._imp._output_ports}

    def _adopt_context(self, context):
        """Take the rate and t0; False while neither the settings nor the
        context give a rate (the signal's context may be on its way)."""
        keys = self.Configuration.Keys
        if self._rate is not None:
            return True
        if self.config[keys.RATE] is None and (context or {}).get("rate") is None:
            return False
        self._rate = _signal_rate(self, self.config[keys.RATE], context)
        self._t0 = (context or {}).get("t0")
        config = self.config
        start, self._length, self._keep = self.sizes(
            config[keys.TMIN], config[keys.TMAX], config[keys.HISTORY], self._rate
        )
        self._offset = start
        self._times = np.arange(start, start + self._length) / self._rate
        early, self._early = self._early, []
        for marker in early:
            self._add_marker(marker)
        return True

    def step(self, data):
        if self._rate is None:
            # Setup ran before the signal's context came (a marker was first).
            self._adopt_context(self.get_input_port(self.SIGNAL)._context)
        if self.MARKER in data:
            self._add_marker(data[self.MARKER])
        if self.SIGNAL in data:
            if self._rate is None:
                _signal_rate(self, None, None)  # raises: no rate anywhere
            self._add_frame(data[self.SIGNAL])
        ready, self._ready = self._ready, []
        if not ready:
            return None
        # One value per port leaves with the step's result: the earlier
        # epochs go out first, straight through the port.
        port = self.get_output_port(self.EPOCH)
        for epoch in ready[:-1]:
            port.push(epoch)
        return {self.EPOCH: ready[-1]}

    def _add_marker(self, marker):
        if self._rate is None:
            self._early.append(marker)
            return
        label = None
        if isinstance(marker, dict):
            label = marker.get("label")
            labels = self.config[self.Configuration.Keys.LABELS]
            if labels is not None and label not in labels:
                return
            if marker.get("sample") is not None:
                onset = int(marker["sample"])
            elif marker.get("time") is not None:
                onset = self._onset_of(marker["time"])
            else:
                raise ValueError(f"a marker needs 'time' or 'sample', got {marker!r}")
        elif isinstance(marker, numbers.Real) and not isinstance(marker, bool):
            onset = self._onset_of(marker)
        else:
            raise TypeError(f"a marker must be a number or a dict, got {type(marker).__name__}")
        start = onset + self._offset
        if start < self._first:
            self.dropped += 1
            self.log(
                f"Marker {label!r} at sample {onset} is older than the kept signal; dropped.",
                Constants.LogTypes.WARNING,
            )
            return
        self._pending.append((start, onset, marker))
        self._cut_complete()

    def _onset_of(self, t):
        if self._t0 is None:
            raise ValueError("a marker with a time needs the signal's 't0' in its context")
        return round((float(t) - self._t0) * self._rate)

    def _add_frame(self, value):
        frame = _as_frame(value)
        if frame.ndim == 1:
            frame = frame[:, None]
        if self._buffer is None:
            self._buffer = frame.copy()
        else:
            if frame.shape[1:] != self._buffer.shape[1:]:
                raise ValueError(
                    f"frame shape {frame.shape} does not match the earlier frames' "
                    f"{self._buffer.shape[1:]}"
                )
            self._buffer = np.concatenate((self._buffer, frame))
        self._received += frame.shape[0]
        # Before the trim: a window completed now may begin in what it drops.
        self._cut_complete()
        excess = self._buffer.shape[0] - self._keep
        if excess > 0:
            self._buffer = self._buffer[excess:]
            self._first += excess

    def _cut_complete(self):
        """Cut every pending window that the signal has reached the end of."""
        waiting = []
        for start, onset, marker in self._pending:
            if start + self._length <= self._received:
                self._ready.append(self._cut(start, onset, marker))
            else:
                waiting.append((start, onset, marker))
        self._pending = waiting

    def _cut(self, start, onset, marker):
        at = start - self._first
        data = self._buffer[at : at + self._length].copy()
        baseline = self.config[self.Configuration.Keys.BASELINE]
        if baseline is not None:
            mask = (self._times >= baseline[0]) & (self._times < baseline[1])
            if mask.any():
                data -= data[mask].mean(axis=0)
        is_dict = isinstance(marker, dict)
        return {
            "data": data,
            "times": self._times,
            "label": marker.get("label") if is_dict else None,
            "onset": onset,
            "time": marker.get("time") if is_dict else marker,
        }


class Averager(IONode):
    """The running average of the epochs that arrive on its ASYNC input.

    An epoch is an array or a dict holding one under "data" (as `Epocher`
    emits). With `label` set, only epochs of that label count. After every
    epoch counted the node emits a dict: "mean" (the average so far), "count",
    "times" (the epoch's, when it carries them) and "label". `mean()` and
    `count` give the same between runs. Setup clears the average.
    """

    class Configuration(IONode.Configuration):
        __slots__ = ()

        class Keys(IONode.Configuration.Keys):
            LABEL = "label"

        def _set_defaults(self):
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:
                self[keys.INPUT_PORTS] = [
                    {keys.NAME: Constants.Defaults.PORT_IN, keys.TIMING: _ASYNC}
                ]
            self.setdefault(
                keys.OUTPUT_PORTS, [{keys.NAME: Constants.Defaults.PORT_OUT, keys.TIMING: _ASYNC}]
            )
            super()._set_defaults()
            self.setdefault(keys.LABEL, None)

        def validate(self):
            super().validate()
            check_keys(self)
            check_str(self.Keys.LABEL, self[self.Keys.LABEL], allow_none=True, allow_empty=True)

    def __init__(self, **config):
        self._sum = None
        self.count = 0
        self._times = None
        super().__init__(**config)

    def setup(self, data, context):
        self._sum, self.count, self._times = None, 0, None
        incoming = next(iter(context.values()), None) or {}
        return {name: dict(incoming) for name in self._imp._output_ports}

    def mean(self):
        """The average of the epochs counted so far, or None before the first."""
        return None if self._sum is None else self._sum / self.count

    def step(self, data):
        (epoch,) = data.values()
        label = None
        if isinstance(epoch, dict):
            label = epoch.get("label")
            wanted = self.config[self.Configuration.Keys.LABEL]
            if wanted is not None and label != wanted:
                return None
            if epoch.get("times") is not None:
                self._times = epoch["times"]
            epoch = epoch["data"]
        values = np.asarray(epoch, dtype=np.float64)
        if self._sum is None:
            self._sum = values.copy()
        elif values.shape != self._sum.shape:
            raise ValueError(
                f"epoch shape {values.shape} differs from the earlier epochs' {self._sum.shape}"
            )
        else:
            self._sum += values
        self.count += 1
        result = {"mean": self.mean(), "count": self.count, "times": self._times, "label": label}
        return {name: result for name in self._imp._output_ports}
