"""A simulated subject for the demo: stimuli and the EEG that answers them.

`StimulusSource` shows a stimulus about once a second and emits a marker for
it; `SimulatedEEG` produces 8 channels at 250 Hz in frames of a few samples:
noise, a 10 Hz rhythm, 50 Hz mains hum and, at a fixed latency after every
stimulus, an evoked response. The two meet the way a screen and an amplifier
meet in a lab, through the subject: a stimulus source announces each
stimulus's time (monotonic clock) under its `subject` name, and an EEG of the
same `subject` adds the response to the samples that follow it. Both are
plain nodes, configured with JSON values, so a saved demo pipeline loads
wherever flowmesh is installed.
"""

import collections
import random
import threading
import time

import numpy as np

from .configuration import check_int, check_number, check_str
from .constants import Constants
from .sources import _LONGEST_WAIT, EventSource, SampledSource

__all__ = ["StimulusSource", "SimulatedEEG", "evoked_response"]

# subject name -> recent stimulus times; shared by the threads of both sources.
_stimuli = collections.defaultdict(collections.deque)
_stimuli_lock = threading.Lock()
# How long an announced stimulus is remembered: far beyond its response.
_MEMORY = 5.0


def _announce(subject, when):
    with _stimuli_lock:
        times = _stimuli[subject]
        times.append(when)
        while times and times[0] < when - _MEMORY:
            times.popleft()


def _recent(subject):
    with _stimuli_lock:
        return list(_stimuli.get(subject, ()))


#: The most channels and the highest sampling rate (Hz) of a `SimulatedEEG`.
MAX_CHANNELS = 1024
MAX_SAMPLE_RATE = 100_000
#: The most values (samples x channels) of one frame.
MAX_FRAME_VALUES = 1_000_000
#: The longest time between two stimuli, in seconds.
MAX_INTERVAL = min(86_400.0, _LONGEST_WAIT)

# Nothing of a response shows in the first 50 ms after its stimulus (the
# signal is on its way); it also keeps every sample that carries a response
# after the moment its stimulus was announced.
_ONSET = 0.05


def evoked_response(t, latency, amplitude):
    """The simulated response `t` seconds after a stimulus: a small negative
    wave at 100 ms and the main positive peak (`amplitude`) at `latency`;
    zero before 50 ms."""
    t = np.asarray(t, dtype=np.float64)
    main = np.exp(-0.5 * ((t - latency) / 0.04) ** 2)
    early = np.exp(-0.5 * ((t - 0.1) / 0.015) ** 2)
    return np.where(t >= _ONSET, amplitude * (main - 0.3 * early), 0.0)


class StimulusSource(EventSource):
    """Shows a stimulus every `interval` seconds (give or take `jitter`) and
    emits a marker for it: ``{"time": t, "label": label, "index": k}`` with `t`
    on the monotonic clock.

    With `oddball` a probability p, it runs an oddball experiment: each
    stimulus is a target (labelled `label`) with probability p, else a
    standard (labelled `standard_label`), and only targets reach the subject,
    so only they evoke a response."""

    class Configuration(EventSource.Configuration):
        __slots__ = ()

        class Keys(EventSource.Configuration.Keys):
            INTERVAL = "interval"
            JITTER = "jitter"
            LABEL = "label"
            SUBJECT = "subject"
            SEED = "seed"
            ODDBALL = "oddball"
            STANDARD_LABEL = "standard_label"

        def _set_defaults(self):
            super()._set_defaults()
            keys = self.Keys
            self.setdefault(keys.ODDBALL, None)
            self.setdefault(keys.STANDARD_LABEL, "standard")
            self.setdefault(keys.INTERVAL, 1.0)
            self.setdefault(keys.JITTER, 0.1)
            self.setdefault(keys.LABEL, "flash")
            self.setdefault(keys.SUBJECT, "demo")
            self.setdefault(keys.SEED, None)

        def validate(self):
            super().validate()
            keys = self.Keys
            interval, jitter = self[keys.INTERVAL], self[keys.JITTER]
            check_number(keys.INTERVAL, interval, strict=True, maximum=MAX_INTERVAL)
            check_number(keys.JITTER, jitter)
            if not jitter < interval:
                raise ValueError(f"need 0 <= jitter < interval, got {jitter} and {interval}.")
            check_str(keys.LABEL, self[keys.LABEL], allow_empty=True)
            check_str(keys.SUBJECT, self[keys.SUBJECT], allow_empty=True)
            check_int(keys.SEED, self[keys.SEED], 0, allow_none=True)
            oddball = self[keys.ODDBALL]
            check_number(keys.ODDBALL, oddball, strict=True, allow_none=True, maximum=1.0)
            check_str(keys.STANDARD_LABEL, self[keys.STANDARD_LABEL], allow_empty=True)

    def __init__(self, **config):
        self._timer = None
        self._halt = threading.Event()
        super().__init__(**config)

    def start(self):
        super().start()
        if self._timer is not None and self._timer.is_alive():
            return
        self._halt = threading.Event()
        self._timer = threading.Thread(
            target=self._show, args=(self._halt,), name=f"{self.name} stimuli", daemon=True
        )
        self._timer.start()

    def stop(self):
        self._halt.set()
        timer = self._timer
        if timer is not None and timer is not threading.current_thread():
            timer.join()
        super().stop()

    def _show(self, halt):
        keys = self.Configuration.Keys
        config = self.config
        rng = random.Random(config[keys.SEED])
        interval, jitter = config[keys.INTERVAL], config[keys.JITTER]
        oddball = config[keys.ODDBALL]
        k = 0
        try:
            while not halt.wait(interval + rng.uniform(-jitter, jitter)):
                when = time.monotonic()
                label = config[keys.LABEL]
                if oddball is not None and rng.random() >= oddball:
                    label = config[keys.STANDARD_LABEL]
                else:
                    _announce(config[keys.SUBJECT], when)
                self.trigger({"time": when, "label": label, "index": k})
                k += 1
        except BaseException as e:
            # This thread is the failure's last stop: make it the node's.
            self._imp.record_failure(e)
            if not isinstance(e, Exception):
                self._imp._condition = Constants.Conditions.ERROR
            self.log(e, Constants.LogTypes.ERROR)


class SimulatedEEG(SampledSource):
    """Synthetic EEG: `channels` channels at `sample_rate` Hz, `frame_size`
    samples per frame (arrays of shape (frame_size, channels), microvolts).

    Each channel holds white noise (`noise`, standard deviation), a 10 Hz
    rhythm (`alpha`) of its own phase, mains hum (`hum` at `hum_frequency`)
    and, for every stimulus of its `subject`, `evoked_response` scaled per
    channel (from 1.0 down to 0.5), with its peak at `latency` seconds.
    `fail_after` (seconds, or None) makes it raise, as a lost electrode would.
    Its context gives "rate", "channels", "unit" and "t0", the time of sample
    0 on the monotonic clock; each frame is delivered once its last sample is
    due.
    """

    class Configuration(SampledSource.Configuration):
        __slots__ = ()

        class Keys(SampledSource.Configuration.Keys):
            SAMPLE_RATE = "sample_rate"
            CHANNELS = "channels"
            FRAME_SIZE = "frame_size"
            LATENCY = "latency"
            EVOKED = "evoked"
            ALPHA = "alpha"
            NOISE = "noise"
            HUM = "hum"
            HUM_FREQUENCY = "hum_frequency"
            SUBJECT = "subject"
            SEED = "seed"
            FAIL_AFTER = "fail_after"

        def _set_defaults(self):
            keys = self.Keys
            self.setdefault(keys.SAMPLE_RATE, 250)
            self.setdefault(keys.FRAME_SIZE, 5)
            sample_rate, frame_size = self[keys.SAMPLE_RATE], self[keys.FRAME_SIZE]
            # Checked here: the frame rate below derives from them.
            check_int(keys.SAMPLE_RATE, sample_rate, 1, maximum=MAX_SAMPLE_RATE)
            check_int(keys.FRAME_SIZE, frame_size, 1, maximum=sample_rate)
            self.setdefault(keys.RATE, sample_rate / frame_size)
            super()._set_defaults()
            self.setdefault(keys.CHANNELS, 8)
            self.setdefault(keys.LATENCY, 0.3)
            self.setdefault(keys.EVOKED, 20.0)
            self.setdefault(keys.ALPHA, 8.0)
            self.setdefault(keys.NOISE, 3.0)
            self.setdefault(keys.HUM, 10.0)
            self.setdefault(keys.HUM_FREQUENCY, 50.0)
            self.setdefault(keys.SUBJECT, "demo")
            self.setdefault(keys.SEED, 5)
            self.setdefault(keys.FAIL_AFTER, None)

        def validate(self):
            super().validate()
            keys = self.Keys
            channels = self[keys.CHANNELS]
            check_int(keys.CHANNELS, channels, 1, maximum=MAX_CHANNELS)
            if channels * self[keys.FRAME_SIZE] > MAX_FRAME_VALUES:
                raise ValueError(
                    f"frame_size x channels must be <= {MAX_FRAME_VALUES}, got "
                    f"{self[keys.FRAME_SIZE]} x {channels}."
                )
            check_number(keys.LATENCY, self[keys.LATENCY], maximum=_MEMORY / 2)
            for key in (keys.EVOKED, keys.ALPHA, keys.HUM):
                check_number(key, self[key], None)
            check_number(keys.NOISE, self[keys.NOISE])
            nyquist = self[keys.SAMPLE_RATE] / 2
            check_number(keys.HUM_FREQUENCY, self[keys.HUM_FREQUENCY], maximum=nyquist)
            check_str(keys.SUBJECT, self[keys.SUBJECT], allow_empty=True)
            check_int(keys.SEED, self[keys.SEED], 0, allow_none=True)
            check_number(keys.FAIL_AFTER, self[keys.FAIL_AFTER], allow_none=True)

    def setup(self, data, context):
        keys = self.Configuration.Keys
        config = self.config
        self._rng = np.random.default_rng(config[keys.SEED])
        channels = config[keys.CHANNELS]
        self._phases = self._rng.uniform(0, 2 * np.pi, channels)
        self._weights = np.linspace(1.0, 0.5, channels)
        rate = config[keys.SAMPLE_RATE]
        # The frame due at t0 ends with the sample due then.
        self._sample0 = self.t0 - (config[keys.FRAME_SIZE] - 1) / rate
        return {
            "out": {
                "rate": rate,
                "channels": [f"EEG{i + 1}" for i in range(channels)],
                "unit": "uV",
                "t0": self._sample0,
            }
        }

    def step(self, data):
        keys = self.Configuration.Keys
        config = self.config
        rate, size = config[keys.SAMPLE_RATE], config[keys.FRAME_SIZE]
        first = self.get_counter() * size
        index = np.arange(first, first + size)
        t = index / rate
        fail_after = config[keys.FAIL_AFTER]
        if fail_after is not None and t[-1] >= fail_after:
            raise RuntimeError("electrode contact lost on channel EEG3")
        frame = self._rng.normal(0.0, config[keys.NOISE], (size, config[keys.CHANNELS]))
        frame += config[keys.ALPHA] * np.sin(2 * np.pi * 10.0 * t[:, None] + self._phases)
        frame += config[keys.HUM] * np.sin(2 * np.pi * config[keys.HUM_FREQUENCY] * t)[:, None]
        response = np.zeros(size)
        for when in _recent(config[keys.SUBJECT]):
            onset = round((when - self._sample0) * rate)
            response += evoked_response((index - onset) / rate, config[keys.LATENCY], 1.0)
        frame += config[keys.EVOKED] * response[:, None] * self._weights
        return {"out": frame}
