"""Shared helpers of the tests of the runtime operations.

The operations without a Python surface are reached through the test-only
probe extension ``_kovi_probe`` (built by ``make test``, never installed);
``KOVI_PROBE_PATH`` names the directory it was built into.
"""

from __future__ import annotations

import gc
import importlib.util
import os
import sys
from pathlib import Path

import pytest

TWIN_PATH = Path(__file__).resolve().parents[1] / "src" / "kovi" / "kinematics" / "poe_fk.py"


def load_probe():
    path = os.environ.get("KOVI_PROBE_PATH")
    if not path:
        pytest.skip("KOVI_PROBE_PATH is not set; run the suite with `make test`")
    if path not in sys.path:
        sys.path.insert(0, path)
    import _kovi_probe

    return _kovi_probe


def load_twin():
    """The pure-Python poe_forward_kinematics, loaded under a name of its own."""
    found = importlib.util.spec_from_file_location("kovi_poe_fk_reference", TWIN_PATH)
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod.poe_forward_kinematics


def outcome(fn, *args):
    """("value", result) or ("error", exception type) of fn(*args)."""
    try:
        return "value", fn(*args)
    except Exception as exc:  # noqa: BLE001 - the type is the outcome
        return "error", type(exc)


def assert_no_leak(call, watched, expected=None, calls=2000):
    """Runs call() many times and checks that it neither keeps references to
    the watched objects nor leaves allocated objects behind.

    `expected` is the exception type each call must raise, or None for
    success.  Watched objects must not be immortal (no small ints, None or
    interned strings).
    """

    def once():
        if expected is None:
            call()
            return
        try:
            call()
        except expected:
            return
        raise AssertionError(f"{call} did not raise {expected.__name__}")

    for _ in range(20):  # warm caches and free lists
        once()
    gc.collect()
    refs_before = [sys.getrefcount(obj) for obj in watched]
    blocks_before = sys.getallocatedblocks()
    for _ in range(calls):
        once()
    gc.collect()
    blocks_after = sys.getallocatedblocks()
    refs_after = [sys.getrefcount(obj) for obj in watched]
    assert refs_after == refs_before
    # One leaked object per call would add `calls` blocks.
    assert blocks_after - blocks_before < calls // 4
