"""`Filter`: a digital filter whose state carries over from frame to frame."""

import numpy as np

from ..configuration import (
    MAX_RATE,
    check_bool,
    check_choice,
    check_int,
    check_keys,
    check_list,
    check_number,
)
from ..constants import Constants
from ..io_node import IONode
from ._common import _as_frame, _signal_rate


def _check_below_nyquist(key, value, highest, rate):
    nyquist = rate / 2
    if highest >= nyquist:
        raise ValueError(
            f"{key} {value} must lie below the Nyquist frequency ({nyquist:g} Hz at {rate:g} Hz)."
        )


class Filter(IONode):
    """A digital filter with state carried across frames.

    `kind` is "bandpass", "bandstop", "lowpass", "highpass" (Butterworth of
    `order`, designed by scipy as second-order sections) or "notch" (scipy's
    `iirnotch` at `frequencies` with quality factor `quality`). `frequencies`
    is one cut-off in Hz, or [low, high] for the band kinds. With `steady`
    true the state starts in the steady state of the first sample, so that a
    DC offset does not ring; otherwise it starts at zero.

    Frames go along axis 0, each column being one channel; the output is
    float64. Setup designs the filter and resets the state, so a new run (or
    the first after a failure) starts afresh, while a clean stop and start
    continues the stream.
    """

    KINDS = ("bandpass", "bandstop", "lowpass", "highpass", "notch")
    #: Beyond this a Butterworth design loses its precision and only costs time.
    MAX_ORDER = 32

    class Configuration(IONode.Configuration):
        __slots__ = ()

        class Keys(IONode.Configuration.Keys):
            KIND = "kind"
            FREQUENCIES = "frequencies"
            ORDER = "order"
            QUALITY = "quality"
            RATE = "rate"
            STEADY = "steady"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.KIND, "bandpass")
            self.setdefault(keys.FREQUENCIES, [1.0, 40.0])
            self.setdefault(keys.ORDER, 4)
            self.setdefault(keys.QUALITY, 30.0)
            self.setdefault(keys.RATE, None)
            self.setdefault(keys.STEADY, False)

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            kind = self[keys.KIND]
            check_choice(keys.KIND, kind, Filter.KINDS)
            freqs = self[keys.FREQUENCIES]
            if kind in ("bandpass", "bandstop"):
                check_list(keys.FREQUENCIES, freqs, length=2)
                for f in freqs:
                    check_number(keys.FREQUENCIES, f, strict=True)
                if not freqs[0] < freqs[1]:
                    raise ValueError(
                        f"frequencies must be [low, high] with low < high, got {freqs}."
                    )
                edges = freqs
            else:
                check_number(keys.FREQUENCIES, freqs, strict=True)
                edges = [freqs]
            check_int(keys.ORDER, self[keys.ORDER], 1, maximum=Filter.MAX_ORDER)
            check_number(keys.QUALITY, self[keys.QUALITY], strict=True)
            rate = self[keys.RATE]
            check_number(keys.RATE, rate, strict=True, allow_none=True, maximum=MAX_RATE)
            check_bool(keys.STEADY, self[keys.STEADY])
            if rate is not None:
                _check_below_nyquist(keys.FREQUENCIES, freqs, max(edges), rate)

    def __init__(self, **config):
        # Imported here, not on the first frame: it takes a good part of a second.
        from scipy import signal

        self._signal = signal
        self.sos = None
        self._zi = None
        super().__init__(**config)

    def design(self, rate):
        """The filter's second-order sections for sampling rate `rate`."""
        signal = self._signal
        keys = self.Configuration.Keys
        kind, freqs = self.config[keys.KIND], self.config[keys.FREQUENCIES]
        edges = freqs if isinstance(freqs, list) else [freqs]
        _check_below_nyquist(f"{self.name or 'Filter'}: frequencies", freqs, max(edges), rate)
        if kind == "notch":
            b, a = signal.iirnotch(freqs, self.config[keys.QUALITY], fs=rate)
            return signal.tf2sos(b, a)
        return signal.butter(self.config[keys.ORDER], freqs, btype=kind, fs=rate, output="sos")

    def setup(self, data, context):
        incoming = dict(context.get(Constants.Defaults.PORT_IN) or {})
        rate = _signal_rate(self, self.config[self.Configuration.Keys.RATE], incoming)
        self.sos = self.design(rate)
        self._zi = None
        keys = self.Configuration.Keys
        description = f"{self.config[keys.KIND]} {self.config[keys.FREQUENCIES]} Hz"
        incoming["filters"] = [*incoming.get("filters", []), description]
        incoming["rate"] = rate
        return {name: dict(incoming) for name in self._imp._output_ports}

    def step(self, data):
        signal = self._signal
        x = _as_frame(data[Constants.Defaults.PORT_IN])
        if x.shape[0] == 0:
            return {Constants.Defaults.PORT_OUT: x}
        zi = self._zi
        if zi is None:
            if self.config[self.Configuration.Keys.STEADY]:
                base = signal.sosfilt_zi(self.sos)
                zi = base.reshape(base.shape + (1,) * (x.ndim - 1)) * x[0]
            else:
                zi = np.zeros((self.sos.shape[0], 2) + x.shape[1:])
        elif zi.shape[2:] != x.shape[1:]:
            raise ValueError(
                f"{self.name or 'Filter'}: frame shape {x.shape} does not match the earlier "
                f"frames' channels {zi.shape[2:]}."
            )
        y, self._zi = signal.sosfilt(self.sos, x, axis=0, zi=zi)
        return {Constants.Defaults.PORT_OUT: y}
