"""Shared fixtures: the native module, its pure-Python twin and the probe."""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
TWIN_PATH = REPO / "src" / "kovi" / "kinematics" / "poe_fk.py"

# The test-only probe extension is built beside the package, never installed.
if os.environ.get("KOVI_PROBE_PATH"):
    sys.path.insert(0, os.environ["KOVI_PROBE_PATH"])


def load_twin():
    """The pure-Python twin, loaded from its file under a name of its own:
    the import name kovi.kinematics.poe_fk is the native module."""
    spec = importlib.util.spec_from_file_location("kovi_poe_fk_reference", TWIN_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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


@pytest.fixture(autouse=True)
def _run_from_repository_root(monkeypatch):
    # Traceback entries name the source by its path relative to the root.
    monkeypatch.chdir(REPO)
