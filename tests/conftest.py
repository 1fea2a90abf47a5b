"""Fixtures shared by the test modules; the helper classes and functions they
share are in support.py. A module that wants a fixture for every test names
it once: `pytestmark = pytest.mark.usefixtures("fresh_registry")`."""

import logging

import pytest

from flowmesh import imp
from flowmesh.portable import Portable


@pytest.fixture
def fresh_registry():
    """An empty id registry before and after the test: nodes of earlier tests
    live on in reference cycles until collected, holding their ids."""
    Portable.reset()
    yield
    Portable.reset()


@pytest.fixture
def isolated_state(tmp_path, monkeypatch, fresh_registry):
    """Log files go below the test's own directory; the id registry is fresh."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))


@pytest.fixture
def fast_monitor(request, monkeypatch):
    """The monitoring thread looks every MONITORING_INTERVAL seconds of the
    test module (0.02 unless it says), and the console banner is written as
    to a plain terminal whatever the environment asks for."""
    interval = getattr(request.module, "MONITORING_INTERVAL", 0.02)
    monkeypatch.setattr(imp.ConstantsImp, "MONITORING_INTERVAL", interval)
    for name in ("NO_COLOR", "TERM"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def log_records(caplog):
    """A function returning (level name, text) of every entry written to any
    pipeline's log so far."""
    caplog.set_level(logging.INFO, logger="flowmesh")
    return lambda: [(r.levelname, r.getMessage()) for r in caplog.records if r.name == "flowmesh"]


@pytest.fixture
def log_lines(log_records):
    """The same, the texts alone."""
    return lambda: [text for _, text in log_records()]
