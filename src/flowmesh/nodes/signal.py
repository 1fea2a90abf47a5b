"""Signal nodes that decoders put in front of a classifier.

Every node here takes frames of shape (samples, channels) on its SYNC input
"in" (a 1-D frame is one channel) and emits float64 frames of shape (samples,
channels) on "out". The sampling rate is the node's `rate` setting or, when
that is None, the context's "rate"; channel labels come from the context's
"channels". Each node passes on a context that says what it did: the new
"rate" and "channels", and a "t0" moved by the delay a linear-phase filter
adds, so that marker times still meet the samples that show their response.

Nodes that keep state across frames (`Resample`, `Decimate`, `BandPower`,
`Scaler`) give, frame by frame, exactly what the same operation gives on the
whole signal at once; they refuse a frame whose channel count differs from
the first frame's, and a frame holding NaN or infinity (it would poison the
carried state for many frames, or for good), failing the node with a message
that says where. `Rereference` and `Select` keep no state: NaN passes through
them (a NaN in a reference channel makes that sample NaN in every channel).
A frame that completes no output sample (a short frame into `Decimate`,
say) gives no output. Setup resets the state, so every run starts afresh.
"""

import math

import numpy as np

from ..configuration import (
    MAX_RATE,
    check_choice,
    check_int,
    check_keys,
    check_list,
    check_number,
    check_str,
)
from ..constants import Constants
from ..io_node import IONode
from ._common import _as_frame, _name, _signal_rate
from .filtering import _check_below_nyquist

__all__ = ["Resample", "Decimate", "Rereference", "Select", "BandPower", "Scaler"]

_IN, _OUT = Constants.Defaults.PORT_IN, Constants.Defaults.PORT_OUT

#: The largest up or down factor of a `Resample`, and factor of a `Decimate`.
MAX_FACTOR = 1000
#: The longest window (seconds) of `BandPower` and `Scaler`.
MAX_WINDOW = 3600.0
#: The most samples a window may hold.
MAX_WINDOW_SAMPLES = 10_000_000


def _check_channel(key, value):
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(
            f"{key} entries must be channel labels (str) or indices (int), got {value!r}."
        )
    if isinstance(value, int) and value < 0:
        raise ValueError(f"{key} entries must be indices >= 0, got {value}.")
    if isinstance(value, str) and not value:
        raise ValueError(f"{key} entries must not be empty labels.")


def _resolve_channels(node, wanted, labels, count):
    """Indices of `wanted` (labels or indices) among `count` channels labelled
    `labels` (None when the context gives none)."""
    found = []
    for entry in wanted:
        if isinstance(entry, str):
            if labels is None:
                raise ValueError(
                    f"{_name(node)}: channel {entry!r} is named by label, but the signal's "
                    "context gives no 'channels'."
                )
            if entry not in labels:
                raise ValueError(f"{_name(node)}: no channel {entry!r} among {list(labels)}.")
            found.append(list(labels).index(entry))
        else:
            if entry >= count:
                raise ValueError(
                    f"{_name(node)}: channel index {entry} is out of range for {count} channels."
                )
            found.append(entry)
    return found


class _SignalNode(IONode):
    """A node from frames to frames with one SYNC input and one SYNC output.

    Subclasses define `_prepare(incoming)` (called by setup with the incoming
    context; returns the outgoing one) and `_process(x)` (a 2-D float64 frame
    in, a 2-D frame or None out).
    """

    #: Whether the node carries state across frames (and so refuses NaN).
    STATEFUL = True
    #: Whether the node needs the sampling rate.
    NEEDS_RATE = True

    class Configuration(IONode.Configuration):
        __slots__ = ()

        class Keys(IONode.Configuration.Keys):
            RATE = "rate"

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.RATE, None)

        def validate(self):
            super().validate()
            check_keys(self)
            check_number(
                self.Keys.RATE, self[self.Keys.RATE], strict=True, allow_none=True, maximum=MAX_RATE
            )

    def __init__(self, **config):
        self._rate = None
        self._labels = None
        self._channels = None
        super().__init__(**config)

    def setup(self, data, context):
        incoming = dict(context.get(_IN) or {})
        self._rate = None
        if self.NEEDS_RATE:
            self._rate = _signal_rate(self, self.config[self.Configuration.Keys.RATE], incoming)
            incoming["rate"] = self._rate
        labels = incoming.get("channels")
        self._labels = list(labels) if isinstance(labels, (list, tuple)) else None
        self._channels = None
        outgoing = self._prepare(incoming)
        return {name: dict(outgoing) for name in self._imp._output_ports}

    def step(self, data):
        x = _as_frame(data[_IN])
        if x.ndim == 1:
            x = x[:, None]
        if x.ndim != 2:
            raise ValueError(f"{_name(self)}: a frame must have 1 or 2 dimensions, got {x.shape}.")
        channels = x.shape[1]
        if self._channels is None:
            if self._labels is not None and len(self._labels) != channels:
                raise ValueError(
                    f"{_name(self)}: frames have {channels} channels, but the context labels "
                    f"{len(self._labels)}."
                )
            self._channels = channels
            self._first_frame(channels)
        elif channels != self._channels:
            raise ValueError(
                f"{_name(self)}: a frame has {channels} channels, the earlier frames had "
                f"{self._channels}."
            )
        if self.STATEFUL and not np.isfinite(x).all():
            row, column = np.argwhere(~np.isfinite(x))[0]
            raise ValueError(
                f"{_name(self)}: the frame holds {float(x[row, column])!r} (sample {row}, channel "
                f"{column}); a non-finite value would spoil the state carried to later frames."
            )
        y = self._process(x)
        # A frame that completes no output sample sends nothing on.
        return None if y is None or y.shape[0] == 0 else {_OUT: y}

    def _prepare(self, incoming):
        return incoming

    def _first_frame(self, channels):
        """Called with the channel count of the first frame of a run."""

    def _process(self, x):
        raise NotImplementedError


# ============================================================ resampling


class _Polyphase:
    """Causal polyphase FIR resampling by up/down, state carried across calls:
    the concatenated outputs equal ``scipy.signal.upfirdn(h, x, up, down)``
    up to the last output that the received samples determine."""

    def __init__(self, h, up, down):
        self.up, self.down = up, down
        self.taps = -(-len(h) // up)
        padded = np.zeros(self.taps * up)
        padded[: len(h)] = h
        self.bank = padded.reshape(self.taps, up).T  # bank[phase, m] = h[phase + m * up]
        self.history = None
        self.received = 0
        self.emitted = 0

    def __call__(self, x):
        taps, up, down = self.taps, self.up, self.down
        if self.history is None:
            self.history = np.zeros((taps - 1, x.shape[1]))
        segment = np.concatenate((self.history, x))
        base = self.received - (taps - 1)  # the absolute index of segment[0]
        self.received += x.shape[0]
        total = -(-self.received * up // down)
        k = np.arange(self.emitted, total)
        self.emitted = total
        self.history = segment[segment.shape[0] - (taps - 1) :]
        newest = k * down // up  # the latest input sample each output depends on
        rows = (newest - base)[:, None] - np.arange(taps)[None, :]
        return np.einsum("km,kmc->kc", self.bank[k * down % up], segment[rows])


def _window(value):
    """A window setting (a name, or [name, parameter...]) as scipy takes it."""
    return value if isinstance(value, str) else tuple(value)


def _check_window(key, value):
    if isinstance(value, list):
        if not value or not isinstance(value[0], str):
            raise TypeError(
                f"{key} must be a window name or [name, parameter, ...], got {value!r}."
            )
        for parameter in value[1:]:
            check_number(key, parameter, None)
    else:
        check_str(key, value)


class Resample(_SignalNode):
    """Changes the sampling rate by the rational factor `up`/`down` with a
    polyphase FIR filter (the one ``scipy.signal.resample_poly`` designs for
    the factor and `window`), its state carried across frames.

    After n input samples, ceil(n * up / down) output samples have left. The
    filter is linear-phase: the output stream is ``resample_poly``'s output
    delayed by `delay` output samples (the context's "delay", in seconds),
    and the context's "t0" moves back by that delay, so that a marker's time
    still falls on the samples that show its response.
    """

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            UP = "up"
            DOWN = "down"
            WINDOW = "window"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.UP, 1)
            self.setdefault(keys.DOWN, 1)
            self.setdefault(keys.WINDOW, ["kaiser", 5.0])

        def validate(self):
            super().validate()
            keys = self.Keys
            check_int(keys.UP, self[keys.UP], 1, maximum=MAX_FACTOR)
            check_int(keys.DOWN, self[keys.DOWN], 1, maximum=MAX_FACTOR)
            _check_window(keys.WINDOW, self[keys.WINDOW])

    def __init__(self, **config):
        from scipy import signal  # a good part of a second: not on the first frame

        self._signal = signal
        self._engine = None
        super().__init__(**config)

    def design(self):
        """(filter taps, factor up, factor down, delay in output samples),
        as ``resample_poly`` designs and aligns them."""
        keys = self.Configuration.Keys
        up, down = self.config[keys.UP], self.config[keys.DOWN]
        g = math.gcd(up, down)
        up, down = up // g, down // g
        if up == down == 1:
            return np.ones(1), 1, 1, 0
        half_len = 10 * max(up, down)
        h = self._signal.firwin(
            2 * half_len + 1, 1.0 / max(up, down), window=_window(self.config[keys.WINDOW])
        )
        h = h * up
        pre_pad = down - half_len % down
        return np.concatenate((np.zeros(pre_pad), h)), up, down, (half_len + pre_pad) // down

    def _prepare(self, incoming):
        h, up, down, delay = self.design()
        self._engine = _Polyphase(h, up, down)
        rate = self._rate * up / down
        incoming["rate"] = rate
        incoming["delay"] = incoming.get("delay", 0.0) + delay / rate
        if incoming.get("t0") is not None:
            incoming["t0"] = incoming["t0"] - delay / rate
        return incoming

    def _process(self, x):
        return self._engine(x)


class Decimate(_SignalNode):
    """Keeps every `factor`-th sample after an anti-aliasing filter: what
    ``scipy.signal.decimate(x, factor, n=order, ftype=ftype, zero_phase=False)``
    gives on the whole signal. `ftype` "fir" is a Hamming-window FIR of
    `order` (None: 20 x factor) taps + 1, linear-phase: the context's "t0"
    moves back by its delay (order / 2 input samples, also added to the
    context's "delay"); "iir" is a Chebyshev type I of `order` (None: 8),
    whose delay depends on frequency and is not compensated.
    """

    FTYPES = ("fir", "iir")
    #: Beyond this an FIR costs more than it could filter.
    MAX_ORDER = 100_000

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            FACTOR = "factor"
            FTYPE = "ftype"
            ORDER = "order"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.FACTOR, 2)
            self.setdefault(keys.FTYPE, "fir")
            self.setdefault(keys.ORDER, None)

        def validate(self):
            super().validate()
            keys = self.Keys
            check_int(keys.FACTOR, self[keys.FACTOR], 1, maximum=MAX_FACTOR)
            check_choice(keys.FTYPE, self[keys.FTYPE], Decimate.FTYPES)
            # An IIR design of high order is numerically useless.
            highest = Decimate.MAX_ORDER if self[keys.FTYPE] == "fir" else 32
            check_int(keys.ORDER, self[keys.ORDER], 1, maximum=highest, allow_none=True)

    def __init__(self, **config):
        from scipy import signal

        self._signal = signal
        self._engine = None
        self._sos = None
        self._zi = None
        self._position = 0
        super().__init__(**config)

    def _prepare(self, incoming):
        keys = self.Configuration.Keys
        q, order = self.config[keys.FACTOR], self.config[keys.ORDER]
        self._engine = self._sos = self._zi = None
        self._position = 0
        delay = 0.0
        if self.config[keys.FTYPE] == "fir":
            n = 20 * q if order is None else order
            b = self._signal.firwin(n + 1, 1.0 / q, window="hamming")
            self._engine = _Polyphase(b, 1, q)
            delay = n / 2 / self._rate
        else:
            self._sos = self._signal.cheby1(
                8 if order is None else order, 0.05, 0.8 / q, output="sos"
            )
        incoming["rate"] = self._rate / q
        if delay:
            incoming["delay"] = incoming.get("delay", 0.0) + delay
            if incoming.get("t0") is not None:
                incoming["t0"] = incoming["t0"] - delay
        return incoming

    def _process(self, x):
        if self._engine is not None:
            return self._engine(x)
        if self._zi is None:
            self._zi = np.zeros((self._sos.shape[0], 2, x.shape[1]))
        y, self._zi = self._signal.sosfilt(self._sos, x, axis=0, zi=self._zi)
        q = self.config[self.Configuration.Keys.FACTOR]
        first = -self._position % q  # the first row whose absolute index q divides
        self._position += x.shape[0]
        return y[first::q]


# ============================================================ channels


class Rereference(_SignalNode):
    """Subtracts a reference from every channel: the mean of all channels
    (`reference` "average", the common average) or of the channels it lists
    (labels from the context's "channels", or indices). The channels stay as
    they were (a single reference channel becomes zero); the context's
    "reference" says what was subtracted. Keeps no state: NaN passes through.
    """

    STATEFUL = False
    NEEDS_RATE = False

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            REFERENCE = "reference"

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.REFERENCE, "average")

        def validate(self):
            super().validate()
            key = self.Keys.REFERENCE
            reference = self[key]
            if isinstance(reference, list):
                if not reference:
                    raise ValueError(f"{key} must name at least one channel.")
                for entry in reference:
                    _check_channel(key, entry)
            elif reference != "average":
                raise ValueError(
                    f'{key} must be "average" or a list of channels, got {reference!r}.'
                )

    def __init__(self, **config):
        self._reference = None
        super().__init__(**config)

    def _prepare(self, incoming):
        reference = self.config[self.Configuration.Keys.REFERENCE]
        self._reference = None
        if reference != "average" and self._labels is not None:
            self._reference = _resolve_channels(self, reference, self._labels, len(self._labels))
        incoming["reference"] = reference
        return incoming

    def _first_frame(self, channels):
        reference = self.config[self.Configuration.Keys.REFERENCE]
        if reference != "average" and self._reference is None:
            self._reference = _resolve_channels(self, reference, None, channels)

    def _process(self, x):
        picked = x if self._reference is None else x[:, self._reference]
        return x - picked.mean(axis=1, keepdims=True)


class Select(_SignalNode):
    """Keeps the channels `channels` lists, in its order: labels from the
    context's "channels", or indices. The context's "channels" holds the
    labels kept (when the incoming one had labels). Keeps no state."""

    STATEFUL = False
    NEEDS_RATE = False

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            CHANNELS = "channels"

        def _set_defaults(self):
            super()._set_defaults()
            self.setdefault(self.Keys.CHANNELS, [0])

        def validate(self):
            super().validate()
            key = self.Keys.CHANNELS
            check_list(key, self[key])
            if not self[key]:
                raise ValueError(f"{key} must name at least one channel.")
            for entry in self[key]:
                _check_channel(key, entry)

    def __init__(self, **config):
        self._picked = None
        super().__init__(**config)

    def _prepare(self, incoming):
        wanted = self.config[self.Configuration.Keys.CHANNELS]
        self._picked = None
        if self._labels is not None:
            self._picked = _resolve_channels(self, wanted, self._labels, len(self._labels))
            incoming["channels"] = [self._labels[i] for i in self._picked]
        elif any(isinstance(entry, str) for entry in wanted):
            _resolve_channels(self, wanted, None, 0)  # raises: labels without labels
        return incoming

    def _first_frame(self, channels):
        if self._picked is None:
            wanted = self.config[self.Configuration.Keys.CHANNELS]
            self._picked = _resolve_channels(self, wanted, None, channels)

    def _process(self, x):
        return x[:, self._picked]


# ============================================================ band power


def _window_samples(owner, key, seconds, rate):
    n = round(seconds * rate)
    if not 1 <= n <= MAX_WINDOW_SAMPLES:
        raise ValueError(
            f"{owner}: {key} ({seconds:g} s) holds {n} samples at {rate:g} Hz; "
            f"it needs 1 to {MAX_WINDOW_SAMPLES}."
        )
    return n


class BandPower(_SignalNode):
    """The power in frequency bands over a sliding window, per channel.

    Every `step` seconds, once `window` seconds of signal have arrived, the
    last `window` seconds go through Welch's method (``scipy.signal.welch``:
    segments of `segment` seconds, None: half the window, half overlapping,
    Hann window, density scaling) and the power spectral density is summed
    over each band of `bands` ([low, high] in Hz, both ends included) times
    the frequency resolution. Each output row is one window; its columns are
    channel by band (channel 0's bands first), labelled "<channel> <low>-<high>
    Hz" in the context, whose "rate" is 1 / `step` and whose "t0" is the time
    of the first window's last sample. A frame that completes no window
    gives no output.
    """

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            BANDS = "bands"
            WINDOW = "window"
            STEP = "step"
            SEGMENT = "segment"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.BANDS, [[8.0, 13.0], [13.0, 30.0]])
            self.setdefault(keys.WINDOW, 1.0)
            self.setdefault(keys.STEP, 0.25)
            self.setdefault(keys.SEGMENT, None)

        def validate(self):
            super().validate()
            keys = self.Keys
            bands = self[keys.BANDS]
            check_list(keys.BANDS, bands)
            if not bands:
                raise ValueError(f"{keys.BANDS} must hold at least one band.")
            for band in bands:
                check_list(keys.BANDS, band, length=2)
                for edge in band:
                    check_number(keys.BANDS, edge)
                if not band[0] < band[1]:
                    raise ValueError(f"each band must be [low, high] with low < high, got {band}.")
            window = self[keys.WINDOW]
            check_number(keys.WINDOW, window, strict=True, maximum=MAX_WINDOW)
            check_number(keys.STEP, self[keys.STEP], strict=True, maximum=MAX_WINDOW)
            segment = self[keys.SEGMENT]
            check_number(keys.SEGMENT, segment, strict=True, allow_none=True, maximum=window)
            rate = self[keys.RATE]
            if rate is not None:
                BandPower.sizes("BandPower", self, rate)

    @staticmethod
    def sizes(owner, config, rate):
        """(window, step, segment) in samples at `rate`; refuses empty ones
        and bands at or above the Nyquist frequency."""
        keys = BandPower.Configuration.Keys
        window = _window_samples(owner, keys.WINDOW, config[keys.WINDOW], rate)
        step = _window_samples(owner, keys.STEP, config[keys.STEP], rate)
        segment = config[keys.SEGMENT]
        segment = (
            max(window // 2, 1)
            if segment is None
            else min(_window_samples(owner, keys.SEGMENT, segment, rate), window)
        )
        highest = max(band[1] for band in config[keys.BANDS])
        _check_below_nyquist(keys.BANDS, config[keys.BANDS], highest, rate)
        return window, step, segment

    def __init__(self, **config):
        from scipy import signal

        self._signal = signal
        self._history = None
        super().__init__(**config)

    def _prepare(self, incoming):
        keys = self.Configuration.Keys
        self._window, self._step, self._segment = self.sizes(_name(self), self.config, self._rate)
        self._history = None
        self._received = 0
        self._next_end = self._window  # samples received when the next window is complete
        freqs = np.fft.rfftfreq(self._segment, 1.0 / self._rate)
        self._df = freqs[1] - freqs[0] if len(freqs) > 1 else self._rate
        bands = self.config[keys.BANDS]
        self._masks = [(freqs >= low) & (freqs <= high) for low, high in bands]
        names = [f"{low:g}-{high:g} Hz" for low, high in bands]
        if self._labels is not None:
            incoming["channels"] = [f"{c} {b}" for c in self._labels for b in names]
        incoming["bands"] = [list(band) for band in bands]
        if incoming.get("t0") is not None:
            incoming["t0"] = incoming["t0"] + (self._window - 1) / self._rate
        incoming["rate"] = self._rate / self._step
        return incoming

    def _process(self, x):
        if self._history is None:
            self._history = np.zeros((0, x.shape[1]))
        segment = np.concatenate((self._history, x))
        base = self._received - self._history.shape[0]  # absolute index of segment[0]
        self._received += x.shape[0]
        ends = np.arange(self._next_end, self._received + 1, self._step)
        if len(ends):
            self._next_end = int(ends[-1]) + self._step
        # What the next window needs, no more.
        keep = min(segment.shape[0], max(self._window - (self._next_end - self._received), 0))
        self._history = segment[segment.shape[0] - keep :]
        if not len(ends):
            return None
        starts = ends - self._window - base
        windows = segment[starts[:, None] + np.arange(self._window)[None, :]]
        _, psd = self._signal.welch(
            windows, fs=self._rate, nperseg=self._segment, axis=1, detrend="constant"
        )  # shape (windows, frequencies, channels)
        powers = np.stack([psd[:, mask].sum(axis=1) * self._df for mask in self._masks], axis=2)
        return powers.reshape(len(ends), -1)  # (windows, channels x bands), channel-major


# ============================================================ scaling


class Scaler(_SignalNode):
    """Z-scores every channel: (x - mean) / standard deviation.

    `mode` "running": the statistics of the last `window` seconds up to and
    including each sample (fewer at the start of a run). "calibrated": the
    statistics of the first `calibration` seconds of the run, which give no
    output (the context's "t0" moves past them); every later sample is scaled
    by them. A standard deviation of zero gives 0 (the sample equals the mean).
    """

    MODES = ("running", "calibrated")

    class Configuration(_SignalNode.Configuration):
        __slots__ = ()

        class Keys(_SignalNode.Configuration.Keys):
            MODE = "mode"
            WINDOW = "window"
            CALIBRATION = "calibration"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.MODE, "running")
            self.setdefault(keys.WINDOW, 10.0)
            self.setdefault(keys.CALIBRATION, 10.0)

        def validate(self):
            super().validate()
            keys = self.Keys
            check_choice(keys.MODE, self[keys.MODE], Scaler.MODES)
            check_number(keys.WINDOW, self[keys.WINDOW], strict=True, maximum=MAX_WINDOW)
            check_number(keys.CALIBRATION, self[keys.CALIBRATION], strict=True, maximum=MAX_WINDOW)
            rate = self[keys.RATE]
            if rate is not None:
                for key in (keys.WINDOW, keys.CALIBRATION):
                    _window_samples("Scaler", key, self[key], rate)

    def __init__(self, **config):
        self._history = None
        super().__init__(**config)

    def _prepare(self, incoming):
        keys = self.Configuration.Keys
        self._running = self.config[keys.MODE] == "running"
        key = keys.WINDOW if self._running else keys.CALIBRATION
        self._length = _window_samples(_name(self), key, self.config[key], self._rate)
        self._history = None
        self._mean = self._scale = None
        if not self._running and incoming.get("t0") is not None:
            incoming["t0"] = incoming["t0"] + self._length / self._rate
        return incoming

    @staticmethod
    def _scaled(x, mean, std):
        safe = np.where(std > 0, std, 1.0)
        return np.where(std > 0, (x - mean) / safe, 0.0)

    def _process(self, x):
        if self._history is None:
            self._history = np.zeros((0, x.shape[1]))
        if not self._running:
            return self._calibrated(x)
        segment = np.concatenate((self._history, x))
        old = self._history.shape[0]
        # Sums over this call's stretch only, taken about its mean: no rounding
        # error builds up over a run, and a large offset cancels no precision.
        centre = segment.mean(axis=0)
        shifted = segment - centre
        zero = np.zeros((1, x.shape[1]))
        s1 = np.concatenate((zero, np.cumsum(shifted, axis=0)))
        s2 = np.concatenate((zero, np.cumsum(shifted * shifted, axis=0)))
        ends = np.arange(old + 1, segment.shape[0] + 1)
        starts = np.maximum(ends - self._length, 0)
        count = (ends - starts)[:, None]
        mean = (s1[ends] - s1[starts]) / count
        var = np.maximum((s2[ends] - s2[starts]) / count - mean * mean, 0.0)
        self._history = segment[max(segment.shape[0] - (self._length - 1), 0) :]
        return self._scaled(x, mean + centre, np.sqrt(var))

    def _calibrated(self, x):
        if self._mean is None:
            self._history = np.concatenate((self._history, x))
            if self._history.shape[0] < self._length:
                return None
            block, rest = self._history[: self._length], self._history[self._length :]
            self._mean, self._scale = block.mean(axis=0), block.std(axis=0)
            self._history = None
            x = rest
        return self._scaled(x, self._mean, self._scale)
