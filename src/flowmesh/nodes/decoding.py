"""The decoder: a scikit-learn estimator calibrated on labelled epochs, then
predicting every epoch as it arrives."""

import importlib
import threading

import numpy as np

from ..configuration import check_bool, check_int, check_keys, check_list, check_str
from ..constants import Constants
from ..documents import admitted, allowed_prefixes, replacing
from ..io_node import IONode

__all__ = ["Classifier", "load_model", "save_model"]

_ASYNC = Constants.Timing.ASYNC


def _refuse_unadmitted(what, dotted, prefixes):
    module = dotted.rpartition(".")[0]
    if prefixes is not None and not admitted(module, prefixes):
        allowed = ", ".join(prefixes) or "nothing"
        raise ValueError(
            f"{what} names '{dotted}', whose module allowed_modules does not admit "
            f"(allowed: {allowed}). Nothing was imported."
        )


def _check_dotted(key, value):
    check_str(key, value)
    module, _, name = value.rpartition(".")
    if not module or not all(part.isidentifier() for part in value.split(".")):
        raise ValueError(f"{key} must be a dotted class name (module.Class), got {value!r}.")


def _estimator_class(dotted):
    module, _, name = dotted.rpartition(".")
    try:
        found = getattr(importlib.import_module(module), name)
    except (ImportError, AttributeError) as e:
        hint = ""
        if isinstance(e, ImportError) and module.partition(".")[0] == "sklearn":
            hint = " (scikit-learn is an extra: pip install 'flowmesh[decode]')"
        raise ValueError(f"cannot find the estimator class '{dotted}': {e}{hint}") from e
    if not isinstance(found, type) or not callable(getattr(found, "fit", None)):
        raise TypeError(f"'{dotted}' is no estimator class (a class with fit).")
    return found


def save_model(model, path):
    """Write a fitted model to `path` in skops' format, atomically."""
    import skops.io

    with replacing(path) as stream:
        skops.io.dump(model, stream)


def load_model(path, trusted=()):
    """A model read from `path` (skops' format). Reading builds only the types
    skops trusts (scikit-learn's, numpy's, ...) and those named in `trusted`
    (dotted names); it never unpickles, and a file holding any other type is
    refused, naming the types, before anything of it is built."""
    import skops.io

    with open(path, "rb") as f:
        data = f.read()
    try:
        untrusted = skops.io.get_untrusted_types(data=data)
    except Exception as e:
        raise ValueError(f"{path}: not a readable model file ({e}).") from e
    refused = [t for t in untrusted if t not in trusted]
    if refused:
        raise ValueError(
            f"{path}: the model file holds types that are not trusted: {', '.join(refused)}. "
            "Name them in the classifier's 'trusted' setting only if you trust their code."
        )
    import io

    return skops.io.load(io.BytesIO(data), trusted=list(untrusted))


def _plain(value):
    """A numpy scalar as the Python value it holds."""
    return value.item() if isinstance(value, np.generic) else value


class Classifier(IONode):
    """A scikit-learn estimator (or pipeline of them) trained on labelled
    epochs, then predicting every epoch as it arrives.

    `steps` lists the estimator as plain values: one or more
    ``{"class": "sklearn.module.Class", "params": {...}}``, the last the
    classifier, joined as a scikit-learn pipeline when there are several. A
    document loaded with `allowed_modules` may name only classes of admitted
    modules (checked before anything is imported), and in `trusted` only
    types of admitted modules.

    Inputs: "epoch" (ASYNC; an epoch as `Epocher` emits it, a dict with
    "data" and "label", or a bare array) and "control" (ASYNC; "fit" or
    "collect"). Output "prediction" (ASYNC): a dict with "label" (the
    predicted class), "probabilities" (class -> probability, when the
    estimator has `predict_proba`, else None), "time" and "onset" (the
    epoch's marker time and onset sample) and "marker" (the epoch's own
    label, when it has one). The features of an epoch are its data,
    flattened.

    Phases (`phase`):
    - "collecting": every epoch with a label (among `labels`, when given) is
      kept for training; an epoch without one is skipped. After
      `calibration` epochs (None: never by count), or on "fit", the node
      fits.
    - "fitting": a copy of the estimator is fitted on its own thread, so the
      data path never waits for it. Epochs arriving meanwhile wait (up to
      `pending`, the oldest skipped beyond that) and are predicted, in order,
      as soon as the model exists. A fit that raises fails the node with the
      estimator's error.
    - "predicting": every epoch is predicted. "fit" fits again on the epochs
      collected; "collect" drops the model and collects anew.

    `skipped` counts the epochs neither collected nor predicted (`collected`
    and `predicted` the others). With `model` (a path) the fitted model is
    written there after every fit, in skops' format; with `load` true it is
    read from there when the node starts instead (see `load_model`: only
    trusted types, never pickle) and the node predicts from the first epoch.
    Every start begins a new run: collected epochs and a model fitted in an
    earlier run are dropped.
    """

    EPOCH = "epoch"
    CONTROL = "control"
    PREDICTION = "prediction"
    COMMANDS = ("fit", "collect")
    #: The most epochs one calibration may hold.
    MAX_CALIBRATION = 1_000_000

    class Configuration(IONode.Configuration):
        __slots__ = ()

        class Keys(IONode.Configuration.Keys):
            STEPS = "steps"
            CALIBRATION = "calibration"
            LABELS = "labels"
            PENDING = "pending"
            MODEL = "model"
            LOAD = "load"
            TRUSTED = "trusted"

        def _set_defaults(self):
            keys = self.Keys
            if self.get(keys.INPUT_PORTS) is None:
                self[keys.INPUT_PORTS] = [
                    {keys.NAME: Classifier.EPOCH, keys.TIMING: _ASYNC},
                    {keys.NAME: Classifier.CONTROL, keys.TIMING: _ASYNC},
                ]
            self.setdefault(
                keys.OUTPUT_PORTS, [{keys.NAME: Classifier.PREDICTION, keys.TIMING: _ASYNC}]
            )
            super()._set_defaults()
            self.setdefault(
                keys.STEPS,
                [
                    {
                        "class": "sklearn.discriminant_analysis.LinearDiscriminantAnalysis",
                        "params": {"solver": "lsqr", "shrinkage": "auto"},
                    }
                ],
            )
            self.setdefault(keys.CALIBRATION, None)
            self.setdefault(keys.LABELS, None)
            self.setdefault(keys.PENDING, 100)
            self.setdefault(keys.MODEL, None)
            self.setdefault(keys.LOAD, False)
            self.setdefault(keys.TRUSTED, [])

        def validate(self):
            super().validate()
            check_keys(self)
            keys = self.Keys
            prefixes = allowed_prefixes()
            steps = self[keys.STEPS]
            check_list(keys.STEPS, steps)
            if not steps:
                raise ValueError(f"{keys.STEPS} must hold at least one estimator.")
            for i, step in enumerate(steps):
                where = f"{keys.STEPS}[{i}]"
                if not isinstance(step, dict) or set(step) - {"class", "params"}:
                    raise TypeError(
                        f'{where} must be {{"class": "module.Class", "params": {{...}}}}, '
                        f"got {step!r}."
                    )
                _check_dotted(f"{where}.class", step.get("class"))
                params = step.get("params", {})
                if not isinstance(params, dict) or not all(type(k) is str for k in params):
                    raise TypeError(f"{where}.params must be a dict of str keys, got {params!r}.")
                _refuse_unadmitted(where, step["class"], prefixes)
            check_int(
                keys.CALIBRATION,
                self[keys.CALIBRATION],
                2,
                maximum=Classifier.MAX_CALIBRATION,
                allow_none=True,
            )
            labels = self[keys.LABELS]
            check_list(keys.LABELS, labels, allow_none=True)
            for label in labels or ():
                if isinstance(label, bool) or not isinstance(label, (str, int)):
                    raise TypeError(f"{keys.LABELS} entries must be str or int, got {label!r}.")
            check_int(keys.PENDING, self[keys.PENDING], 0, maximum=Classifier.MAX_CALIBRATION)
            check_str(keys.MODEL, self[keys.MODEL], allow_none=True)
            check_bool(keys.LOAD, self[keys.LOAD])
            if self[keys.LOAD] and self[keys.MODEL] is None:
                raise ValueError("load needs a model path to load from.")
            check_list(keys.TRUSTED, self[keys.TRUSTED])
            for i, dotted in enumerate(self[keys.TRUSTED]):
                _check_dotted(f"{keys.TRUSTED}[{i}]", dotted)
                _refuse_unadmitted(f"{keys.TRUSTED}[{i}]", dotted, prefixes)
            for side, key, wanted in (
                ("input", keys.INPUT_PORTS, (Classifier.EPOCH, Classifier.CONTROL)),
                ("output", keys.OUTPUT_PORTS, (Classifier.PREDICTION,)),
            ):
                names = [entry.get(keys.NAME) for entry in self.get(key) or ()]
                missing = [n for n in wanted if n not in names]
                if missing:
                    raise ValueError(f"Classifier needs the {side} ports {missing}, got {names}.")

    def __init__(self, **config):
        self._lock = threading.Lock()
        self.model = None
        self._reset()
        super().__init__(**config)
        self.estimator = self.build()

    # ------------------------------------------------------------ settings

    def build(self):
        """A new, unfitted estimator from `steps`."""
        estimators = []
        for step in self.config[self.Configuration.Keys.STEPS]:
            cls = _estimator_class(step["class"])
            try:
                estimators.append(cls(**step.get("params", {})))
            except TypeError as e:
                raise TypeError(f"{step['class']}: {e}") from e
        if len(estimators) == 1:
            return estimators[0]
        from sklearn.pipeline import make_pipeline

        return make_pipeline(*estimators)

    # ------------------------------------------------------------ run

    def _reset(self):
        self.phase = "collecting"
        self.model = None
        self.collected = 0
        self.predicted = 0
        self.skipped = 0
        self.fits = 0
        self._features, self._labels = [], []
        self._waiting = []
        self._generation = 0
        self._done = None  # (generation, model) of a finished fit, for the node's cycle
        self._thread = None

    def start(self):
        keys = self.Configuration.Keys
        with self._lock:
            self._reset()
        if self.config[keys.LOAD]:
            # Read before the run begins: a refused file fails the start.
            self.model = load_model(self.config[keys.MODEL], self.config[keys.TRUSTED])
            if not callable(getattr(self.model, "predict", None)):
                raise TypeError(f"{self.config[keys.MODEL]}: the model has no predict method.")
            self.phase = "predicting"
        super().start()

    def stop(self):
        super().stop()
        with self._lock:
            self._generation += 1  # a fit still running is of no use now
            if self._waiting:
                self.skipped += len(self._waiting)
                self._waiting = []
            if self.phase == "fitting":
                self.phase = "collecting"

    def setup(self, data, context):
        incoming = dict(context.get(self.EPOCH) or {})
        steps = self.config[self.Configuration.Keys.STEPS]
        incoming["estimator"] = [step["class"] for step in steps]
        return {name: dict(incoming) for name in self._imp._output_ports}

    def step(self, data):
        if self.CONTROL in data:
            return self._command(data[self.CONTROL])
        epoch = data[self.EPOCH]
        if self.phase == "predicting":
            return self._emit([self._predict(epoch)])
        if self.phase == "fitting":
            self._waiting.append(epoch)
            excess = len(self._waiting) - self.config[self.Configuration.Keys.PENDING]
            if excess > 0:
                self.skipped += excess
                del self._waiting[:excess]
            return None
        self._collect(epoch)
        calibration = self.config[self.Configuration.Keys.CALIBRATION]
        if calibration is not None and self.collected >= calibration:
            self._fit()
        return None

    def _command(self, command):
        if command is _FITTED:
            return self._install()
        if command == "fit":
            self._fit()
        elif command == "collect":
            with self._lock:
                self._generation += 1
            self.skipped += len(self._waiting)
            self._waiting = []
            self.model, self.phase = None, "collecting"
            self._features, self._labels, self.collected = [], [], 0
        else:
            raise ValueError(
                f"{self.name or 'Classifier'}: unknown command {command!r}; "
                f"the commands are {', '.join(self.COMMANDS)}."
            )
        return None

    def _collect(self, epoch):
        label = epoch.get("label") if isinstance(epoch, dict) else None
        labels = self.config[self.Configuration.Keys.LABELS]
        if label is None or (labels is not None and label not in labels):
            self.skipped += 1
            return
        features = self._features_of(epoch)
        if self._features and features.shape != self._features[0].shape:
            raise ValueError(
                f"{self.name or 'Classifier'}: an epoch of {features.size} values differs from "
                f"the earlier epochs' {self._features[0].size}."
            )
        self._features.append(features)
        self._labels.append(label)
        self.collected += 1

    def _features_of(self, epoch):
        data = epoch.get("data") if isinstance(epoch, dict) else epoch
        if data is None:
            # numpy would make one NaN of it, and a model would take it.
            raise ValueError(f"{self.name or 'Classifier'}: an epoch without data: {epoch!r}.")
        return np.asarray(data, dtype=np.float64).ravel()

    def _fit(self):
        if not self._features:
            # A command that came early, not a broken run: the data path goes on.
            self.log(
                f"{self.name or 'Classifier'}: no labelled epoch to fit on yet; still collecting.",
                Constants.LogTypes.WARNING,
            )
            return
        from sklearn.base import clone

        X, y = np.stack(self._features), np.asarray(self._labels)
        estimator = clone(self.estimator)
        with self._lock:
            self._generation += 1
            generation = self._generation
        self.phase = "fitting"
        self._thread = threading.Thread(
            target=self._fit_on_thread,
            args=(estimator, X, y, generation),
            name=f"{self.name or 'Classifier'} fit",
            daemon=True,
        )
        self._thread.start()

    def _fit_on_thread(self, estimator, X, y, generation):
        keys = self.Configuration.Keys
        try:
            estimator.fit(X, y)
            if self.config[keys.MODEL] is not None and not self.config[keys.LOAD]:
                save_model(estimator, self.config[keys.MODEL])
        except BaseException as e:
            with self._lock:
                current = generation == self._generation
            if current:
                # This thread is the failure's last stop: make it the node's.
                self._imp.record_failure(e)
                self._imp._condition = Constants.Conditions.ERROR
                self.log(e, Constants.LogTypes.ERROR)
            return
        with self._lock:
            if generation != self._generation:
                return
            self._done = (generation, estimator)
        # The node's own cycle takes the model over, in order with the epochs.
        self.get_input_port(self.CONTROL).push(_FITTED)

    def _install(self):
        with self._lock:
            done, self._done = self._done, None
            if done is None or done[0] != self._generation:
                return None
        self.model = done[1]
        self.phase = "predicting"
        self.fits += 1
        waiting, self._waiting = self._waiting, []
        return self._emit([self._predict(epoch) for epoch in waiting])

    def _predict(self, epoch):
        model = self.model
        x = self._features_of(epoch)[None, :]
        label = _plain(model.predict(x)[0])
        probabilities = None
        if hasattr(model, "predict_proba"):
            p = model.predict_proba(x)[0]
            probabilities = {_plain(c): float(v) for c, v in zip(model.classes_, p, strict=True)}
        self.predicted += 1
        is_dict = isinstance(epoch, dict)
        return {
            "label": label,
            "probabilities": probabilities,
            "time": epoch.get("time") if is_dict else None,
            "onset": epoch.get("onset") if is_dict else None,
            "marker": epoch.get("label") if is_dict else None,
        }

    def _emit(self, predictions):
        if not predictions:
            return None
        # One value per port leaves with the step's result: the earlier ones
        # go out first, straight through the port.
        port = self.get_output_port(self.PREDICTION)
        for prediction in predictions[:-1]:
            port.push(prediction)
        return {self.PREDICTION: predictions[-1]}


class _Fitted:
    def __repr__(self):
        return "<fit finished>"


_FITTED = _Fitted()
