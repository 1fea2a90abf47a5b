"""The Classifier: calibration, a fit off the data path, online prediction,
model files that load only trusted types, and the trust rules of documents."""

import json
import re
import sys
import threading

import numpy as np
import pytest
from support import wait_until

pytest.importorskip(
    "sklearn", reason="the Classifier needs scikit-learn: pip install 'flowmesh[decode]'"
)
pytest.importorskip("skops", reason="model files need skops: pip install 'flowmesh[decode]'")

from flowmesh import DocumentError
from flowmesh.constants import Constants
from flowmesh.documents import restricting
from flowmesh.nodes import Classifier, load_model, save_model
from flowmesh.pipeline import Pipeline
from flowmesh.portable import Portable
from flowmesh.sources import EventSource, Sink

TIMEOUT = 30.0
ASYNC = Constants.Timing.ASYNC
LDA = "sklearn.discriminant_analysis.LinearDiscriminantAnalysis"
HERE = __name__


def epochs(n, seed=0):
    """`n` epochs of 15 samples x 4 channels; "target" ones carry a bump."""
    rng = np.random.default_rng(seed)
    bump = np.exp(-0.5 * ((np.arange(15) - 8) / 2.0) ** 2)[:, None] * np.ones(4)
    out = []
    for i in range(n):
        label = "target" if rng.random() < 0.5 else "standard"
        data = rng.normal(0, 1, (15, 4)) + (3 * bump if label == "target" else 0)
        out.append({"data": data, "label": label, "time": 100.0 + i, "onset": 1000 * i})
    return out


class Gate:
    """Holds every fit of `Slow` until opened."""

    opened = threading.Event()


class Slow:
    """An estimator whose fit waits for `Gate` (a nearest-mean classifier)."""

    def __init__(self, fail=False):
        self.fail = fail

    def get_params(self, deep=True):
        return {"fail": self.fail}

    def set_params(self, **params):
        self.fail = params.get("fail", self.fail)
        return self

    def fit(self, X, y):
        assert Gate.opened.wait(TIMEOUT)
        if self.fail:
            raise (KeyboardInterrupt if self.fail == "interrupt" else ArithmeticError)("fit")
        self.classes_ = np.unique(y)
        self.means_ = np.stack([X[y == c].mean(axis=0) for c in self.classes_])
        return self

    def predict(self, X):
        d = ((X[:, None, :] - self.means_[None]) ** 2).sum(axis=2)
        return self.classes_[d.argmin(axis=1)]


class Pipe:
    """A classifier between two event sources and a sink."""

    def __init__(self, **config):
        self.node = Classifier(name="decoder", **config)
        self.epochs = EventSource(name="epochs")
        self.control = EventSource(name="control")
        self.sink = Sink(name="out", input_ports=[{"name": "in", "timing": ASYNC}])
        self.p = Pipeline(directory="")
        for element in (self.sink, self.node, self.epochs, self.control):
            self.p.add_node(element)
        self.p.connect(self.epochs, {"node": self.node, "port": "epoch"})
        self.p.connect(self.control, {"node": self.node, "port": "control"})
        self.p.connect({"node": self.node, "port": "prediction"}, self.sink)

    def __enter__(self):
        self.p.start()
        return self

    def __exit__(self, *exc):
        self.p.stop()
        self.p.close()

    def send(self, items):
        for item in items:
            self.epochs.trigger(item)

    def predictions(self, count):
        assert wait_until(lambda: len(self.sink.values()) >= count, TIMEOUT)
        return self.sink.values()


def test_calibrate_by_count_then_predict_every_epoch():
    data = epochs(80)
    with Pipe(calibration=40) as pipe:
        pipe.send([{"data": np.zeros((15, 4))}])  # no label: skipped while collecting
        pipe.send(data[:40])
        assert wait_until(lambda: pipe.node.phase == "predicting", TIMEOUT)
        pipe.send(data[40:])
        out = pipe.predictions(40)
    pipe.p.raise_if_failed()
    assert [o["time"] for o in out] == [e["time"] for e in data[40:]]
    assert [o["marker"] for o in out] == [e["label"] for e in data[40:]]
    correct = sum(o["label"] == o["marker"] for o in out)
    assert correct >= 36  # the bump is three times the noise
    for o in out:
        assert set(o["probabilities"]) == {"target", "standard"}
        assert max(o["probabilities"], key=o["probabilities"].get) == o["label"]
    node = pipe.node
    assert (node.collected, node.predicted, node.skipped, node.fits) == (40, 40, 1, 1)


def test_control_events_fit_and_start_a_new_calibration():
    data = epochs(30, seed=1)
    with Pipe() as pipe:  # no count: only "fit" fits
        pipe.control.trigger("fit")  # nothing to fit on: a warning, still collecting
        assert pipe.node.phase == "collecting" and pipe.node.fits == 0
        pipe.send(data[:20])
        assert pipe.node.phase == "collecting"
        pipe.control.trigger("fit")
        assert wait_until(lambda: pipe.node.phase == "predicting", TIMEOUT)
        pipe.send(data[20:25])
        pipe.predictions(5)
        pipe.control.trigger("collect")
        assert pipe.node.phase == "collecting" and pipe.node.model is None
        pipe.send(data[25:])
        assert len(pipe.sink.values()) == 5  # collected again, not predicted
        assert pipe.node.collected == 5
        pipe.control.trigger("refit")
        assert wait_until(lambda: pipe.p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
    with pytest.raises(RuntimeError) as caught:
        pipe.p.raise_if_failed()
    assert "unknown command 'refit'" in str(caught.value.__cause__)


@pytest.mark.parametrize("epoch", [{"label": "target"}, {"data": None, "label": "target"}])
def test_an_epoch_without_data_fails_the_node_clearly(epoch):
    with Pipe() as pipe:
        pipe.send([epoch])
        assert wait_until(lambda: pipe.p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
    with pytest.raises(RuntimeError) as caught:
        pipe.p.raise_if_failed()
    assert "an epoch without data" in str(caught.value.__cause__)
    assert pipe.node.collected == 0


def test_epochs_from_several_threads_during_a_fit_are_each_accounted_for_once():
    per_thread, threads = 30, 4
    data = epochs(per_thread * threads, seed=5)
    with Pipe(calibration=20, pending=1000) as pipe:
        senders = [
            threading.Thread(target=pipe.send, args=(data[i::threads],)) for i in range(threads)
        ]
        for t in senders:
            t.start()
        for t in senders:
            t.join(TIMEOUT)
        node = pipe.node
        total = lambda: node.collected + node.predicted + node.skipped  # noqa: E731
        assert wait_until(lambda: total() == len(data) and node.phase == "predicting", TIMEOUT)
        out = pipe.predictions(node.predicted)
    pipe.p.raise_if_failed()
    assert node.collected == 20 and node.skipped == 0
    assert len({o["time"] for o in out}) == len(out) == len(data) - 20


def slow_steps(fail=False):
    return [{"class": f"{HERE}.Slow", "params": {"fail": fail}}]


@pytest.fixture
def gate():
    Gate.opened.clear()
    yield Gate.opened
    Gate.opened.set()


def test_epochs_during_a_fit_wait_and_are_predicted_in_order_once_the_model_exists(gate):
    data = epochs(30, seed=2)
    with Pipe(steps=slow_steps(), calibration=10, pending=15) as pipe:
        pipe.send(data[:10])
        assert pipe.node.phase == "fitting"
        pipe.send(data[10:30])  # the data path goes on while the fit waits
        assert pipe.sink.values() == [] and pipe.node.skipped == 5
        gate.set()
        out = pipe.predictions(15)
    pipe.p.raise_if_failed()
    assert [o["time"] for o in out] == [e["time"] for e in data[15:30]]
    assert out[0]["probabilities"] is None  # the estimator has no predict_proba


def test_a_fit_outlived_by_its_run_is_dropped(gate):
    data = epochs(12, seed=4)
    with Pipe(steps=slow_steps(), calibration=10) as pipe:
        pipe.send(data)
        assert pipe.node.phase == "fitting"
    # Stopped while fitting: the waiting epochs are skipped, the late model unused.
    assert pipe.node.phase == "collecting" and pipe.node.skipped == 2
    gate.set()
    pipe.node._thread.join(TIMEOUT)
    assert pipe.node.model is None and pipe.node.fits == 0
    pipe.p.raise_if_failed()


@pytest.mark.parametrize("fail", ["estimator", "interrupt", "one class"])
def test_a_failing_fit_fails_the_node_with_the_estimators_error(gate, fail):
    gate.set()
    if fail != "one class":
        config, data = {"steps": slow_steps(fail=fail)}, epochs(4)
        error = KeyboardInterrupt if fail == "interrupt" else ArithmeticError
    else:
        steps = [{"class": "sklearn.linear_model.LogisticRegression"}]
        data = [dict(e, label="target") for e in epochs(4)]
        config, error = {"steps": steps}, ValueError
    with Pipe(calibration=4, **config) as pipe:
        pipe.send(data)
        assert wait_until(lambda: pipe.p.get_condition() == Constants.Conditions.ERROR, TIMEOUT)
    with pytest.raises(RuntimeError, match="in node 'decoder'") as caught:
        pipe.p.raise_if_failed()
    assert isinstance(caught.value.__cause__, error)


def test_a_saved_model_loads_at_start_and_predicts_the_same(tmp_path):
    model = str(tmp_path / "model.skops")
    data = epochs(60, seed=3)
    with Pipe(calibration=40, model=model) as pipe:
        pipe.send(data[:40])
        assert wait_until(lambda: pipe.node.phase == "predicting", TIMEOUT)
        pipe.send(data[40:])
        first = pipe.predictions(20)
    Portable.reset()
    with Pipe(model=model, load=True) as pipe:
        assert pipe.node.phase == "predicting"
        pipe.send(data[40:])
        again = pipe.predictions(20)
    assert [o["label"] for o in again] == [o["label"] for o in first]
    assert [o["probabilities"] for o in again] == [o["probabilities"] for o in first]


def test_an_untrusted_type_in_a_model_file_is_refused_unless_named(tmp_path, gate):
    gate.set()
    path = str(tmp_path / "slow.skops")
    x = np.array([[0.0], [1.0]])
    save_model(Slow().fit(x, np.array(["a", "b"])), path)
    with pytest.raises(ValueError, match=rf"types that are not trusted: {HERE}\.Slow"):
        load_model(path)
    with Pipeline(directory="") as p:
        p.add_node(Classifier(name="c", model=path, load=True))
        with pytest.raises(ValueError, match="not trusted"):
            p.start()
    assert load_model(path, trusted=[f"{HERE}.Slow"]).predict(x).tolist() == ["a", "b"]
    (tmp_path / "junk.skops").write_bytes(b"not a zip")
    with pytest.raises(ValueError, match="not a readable model file"):
        load_model(str(tmp_path / "junk.skops"))


@pytest.fixture
def tattletale(tmp_path, monkeypatch):
    """A module that leaves a file behind when imported."""
    marker = tmp_path / "imported"
    (tmp_path / "tattle.py").write_text(
        f"open({str(marker)!r}, 'w').close()\nclass Est:\n    def fit(self, X, y): return self\n"
    )
    monkeypatch.syspath_prepend(str(tmp_path))
    yield marker
    sys.modules.pop("tattle", None)


@pytest.mark.parametrize("where", ["steps", "trusted"])
def test_a_restricted_document_admits_no_estimator_outside_allowed_modules(tattletale, where):
    config = {"steps": [{"class": "tattle.Est"}]}
    if where == "trusted":
        config = {"trusted": ["tattle.Est"]}
    with restricting(["flowmesh", "sklearn"]):
        with pytest.raises(ValueError, match="allowed_modules does not admit"):
            Classifier(**config)
    assert not tattletale.exists()
    Classifier(**config)  # unrestricted: a trusted document may name any class
    assert where == "trusted" or tattletale.exists()


def test_a_document_naming_an_estimator_outside_allowed_modules_is_refused_before_import(
    tmp_path, tattletale
):
    def document(steps):
        path = tmp_path / "decoder.json"
        config = {"name": "decoder", "steps": steps}
        entry = {"class": "Classifier", "module": "flowmesh.nodes", "config": config}
        path.write_text(json.dumps({"format_version": 1, "nodes": [entry], "connections": []}))
        return str(path)

    allowed = ["flowmesh", "sklearn"]
    with pytest.raises(DocumentError, match=r"steps\[0\] names 'tattle.Est'.*Nothing was imported"):
        Pipeline.load(document([{"class": "tattle.Est"}]), allowed_modules=allowed)
    assert not tattletale.exists()
    lda = document([{"class": LDA}])
    with pytest.raises(DocumentError, match="sklearn.discriminant_analysis"):
        Pipeline.load(lda, allowed_modules=["flowmesh"])
    Portable.reset()
    with Pipeline.load(lda, allowed_modules=allowed) as loaded:
        assert type(loaded.get_elements()[0].estimator).__name__ == "LinearDiscriminantAnalysis"


@pytest.mark.parametrize(
    ("config", "error", "text"),
    [
        ({"stpes": []}, ValueError, "did you mean 'steps'"),
        ({"steps": []}, ValueError, "at least one estimator"),
        ({"steps": [LDA]}, TypeError, 'steps[0] must be {"class"'),
        ({"steps": [{"class": "LDA"}]}, ValueError, "dotted class name"),
        ({"steps": [{"class": LDA, "params": []}]}, TypeError, "params must be a dict"),
        ({"steps": [{"class": LDA, "params": {"colour": 1}}]}, TypeError, "unexpected keyword"),
        ({"steps": [{"class": "sklearn.nothing_here.X"}]}, ValueError, "cannot find"),
        ({"steps": [{"class": "json.JSONDecodeError"}]}, TypeError, "no estimator class"),
        ({"calibration": 1}, ValueError, "calibration must be >= 2"),
        ({"load": True}, ValueError, "load needs a model path"),
        ({"labels": [1.5]}, TypeError, "labels entries must be str or int"),
        ({"input_ports": [{"name": "epoch"}]}, ValueError, "needs the input ports ['control']"),
    ],
)
def test_bad_settings_are_refused_at_construction(config, error, text):
    with pytest.raises(error, match=re.escape(text)):
        Classifier(**config)


def test_the_classifier_round_trips_through_a_document(tmp_path):
    steps = [
        {"class": "sklearn.preprocessing.StandardScaler", "params": {}},
        {"class": "sklearn.linear_model.LogisticRegression", "params": {"C": 0.5}},
    ]
    document = tmp_path / "decoder.json"
    with Pipeline(directory="") as p:
        node = Classifier(name="decoder", steps=steps, calibration=10, labels=["a", "b"])
        p.add_node(node)
        p.save(str(document))
        config = dict(node.config)
    (entry,) = json.loads(document.read_text())["nodes"]
    assert entry["module"] == "flowmesh.nodes" and entry["config"]["steps"] == steps
    Portable.reset()
    with Pipeline.load(str(document), allowed_modules=["flowmesh", "sklearn"]) as loaded:
        (element,) = loaded.get_elements()
        assert dict(element.config) == config
        assert element.estimator.named_steps["logisticregression"].C == 0.5
