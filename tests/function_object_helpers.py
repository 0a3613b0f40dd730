"""Shared fixtures of the function-object tests.

The probe extension `_kovi_probe` (built by `make test`, never installed)
constructs function objects of the shared type with every calling
convention and kind; `KOVI_PROBE_PATH` says where it is.
"""

import os
import subprocess
import sys
import textwrap

import pytest

REGISTRY_NAME = "_kovi_rt_1_0_0"


@pytest.fixture(scope="module")
def probe():
    path = os.environ["KOVI_PROBE_PATH"]
    if path not in sys.path:
        sys.path.insert(0, path)
    import _kovi_probe

    return _kovi_probe


@pytest.fixture(scope="module")
def fk():
    from kovi.kinematics import poe_fk

    return poe_fk.poe_forward_kinematics


def run_fresh(code):
    """Runs `code` in a fresh interpreter (the registry is process-wide) and
    returns its standard output; fails with its standard error if it fails."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (os.environ["KOVI_PROBE_PATH"], env.get("PYTHONPATH")) if p
    )
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout
