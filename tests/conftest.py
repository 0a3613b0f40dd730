"""Fixtures: the native module, its pure-Python twin and the probe."""

import pytest
from helpers import REPO, load_probe, load_twin


@pytest.fixture(scope="session")
def native():
    import kovi.kinematics.poe_fk as module
    return module


@pytest.fixture(scope="session")
def twin():
    return load_twin()


@pytest.fixture
def fk(native):
    return native.poe_forward_kinematics


@pytest.fixture(scope="session")
def probe():
    return load_probe()


@pytest.fixture(autouse=True)
def _run_from_repository_root(monkeypatch):
    # Traceback entries name the source by its path relative to the root.
    monkeypatch.chdir(REPO)
