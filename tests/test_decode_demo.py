"""`flowmesh demo --decode` at a short duration: what it predicted online, and
the reloaded decoder predicting the same on the replayed recording."""

import pytest

pytest.importorskip("sklearn", reason="the decoding demo needs scikit-learn")
pytest.importorskip("skops", reason="the decoding demo needs skops")

from test_cli import assert_one_line_error, flowmesh  # noqa: E402

from flowmesh.commands import oddball  # noqa: E402
from flowmesh.pipeline import Pipeline  # noqa: E402
from flowmesh.portable import Portable  # noqa: E402


@pytest.mark.timeout(240)
def test_the_oddball_demo_decodes_online_and_its_document_predicts_the_same(tmp_path, capsys):
    outcome = oddball.experiment(str(tmp_path), duration=5.0, seed=3, calibration=20, interval=0.3)
    assert outcome.calibrated == 20
    predictions = outcome.predictions
    # About 16 epochs in 5 s at 0.3 s; a loaded machine may delay a few.
    assert len(predictions) >= 8
    shown = {p["marker"] for p in predictions}
    assert shown <= {oddball.TARGET, oddball.STANDARD}
    # Seeded noise, a response of several times its size: a margin for the
    # few epochs a short calibration may miss.
    assert outcome.accuracy >= 0.85, outcome.confusion()
    assert sum(outcome.confusion().values()) == len(predictions)
    assert outcome.mismatches() == []
    assert len(outcome.replayed) >= len(predictions) + 20
    # The decoder's document is one a stranger's loader admits.
    Portable.reset()
    with Pipeline.load(outcome.document, allowed_modules=["flowmesh", "sklearn"]) as loaded:
        decoder = next(e for e in loaded.get_elements() if e.name == "decoder")
        assert decoder.config["load"] is True
    oddball.summary(outcome)
    text = capsys.readouterr().out
    assert f"Online accuracy: {outcome.correct}/{len(predictions)}" in text


@pytest.mark.parametrize("flag", ["--fail", "--lsl"])
def test_decode_runs_alone(tmp_path, flag):
    done = flowmesh(tmp_path, "demo", "--decode", flag, "--output", "out")
    assert_one_line_error(done, 2, f"--decode does not take {flag}")
    assert not (tmp_path / "out").exists()
