"""Helpers shared by the test modules.

Internals without a Python surface are reached through the test-only probe
extension `_kovi_probe`, built by `make test` beside the package (never
installed); `KOVI_PROBE_PATH` names the directory it was built into.
"""

import gc
import importlib.util
import os
import signal
import subprocess
import sys
import textwrap
import time
import traceback
from pathlib import Path

import numpy as np
import pytest

REPO = Path(__file__).resolve().parents[1]
SOURCE_PATH = "src/kovi/kinematics/poe_fk.py"
FUNCTION_NAME = "kovi.kinematics.poe_fk.poe_forward_kinematics"
INIT_NAME = "init kovi.kinematics.poe_fk"
PROBE_PATH = os.environ.get("KOVI_PROBE_PATH")
# The core is the native extension on CPython 3.12 only; elsewhere the
# package ships its Python source as kovi.kinematics.poe_fk.
NATIVE_CORE = sys.version_info[:2] == (3, 12)
needs_native_core = pytest.mark.skipif(
    not NATIVE_CORE, reason="the native core and its probe are built for CPython 3.12 only")

if PROBE_PATH and PROBE_PATH not in sys.path:
    sys.path.insert(0, PROBE_PATH)


def source_line(start):
    """The number of the one line of the module's source whose statement (or
    the part of one on that line) begins with `start`: the line a traceback
    entry of that step reports."""
    lines = (REPO / SOURCE_PATH).read_text(encoding="utf-8").splitlines()
    found = [number for number, text in enumerate(lines, 1) if text.strip().startswith(start)]
    assert len(found) == 1, (start, found)
    return found[0]


DEF_LINE = source_line("def poe_forward_kinematics(")


def load_twin():
    """The pure-Python twin, loaded from its file under a name of its own:
    the import name kovi.kinematics.poe_fk is the native module."""
    spec = importlib.util.spec_from_file_location("kovi_poe_fk_reference", REPO / SOURCE_PATH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load_probe():
    if not NATIVE_CORE:
        pytest.skip("the probe is built on the native core's support, for CPython 3.12 only")
    if not PROBE_PATH:
        pytest.fail("KOVI_PROBE_PATH is not set: run the suite with `make test`", pytrace=False)
    import _kovi_probe
    return _kovi_probe


def run_python(code, cwd=REPO):
    """Runs `code` in a fresh interpreter that can import the probe and the
    test helpers, and returns its standard output; fails with its standard
    error."""
    env = dict(os.environ)
    paths = (PROBE_PATH, str(REPO / "tests"), env.get("PYTHONPATH"))
    env["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def traceback_entries(exc):
    """(file name, function name, line) of each traceback entry, outermost first."""
    return [(f.f_code.co_filename, f.f_code.co_name, line)
            for f, line in traceback.walk_tb(exc.__traceback__)]


def failure_line(exc):
    """The body line that a failed call reports, after checking that the
    call added exactly its two entries: the def line, then the body's line."""
    entries = [e for e in traceback_entries(exc) if e[1] == FUNCTION_NAME]
    assert len(entries) == 2 and entries[0] == (SOURCE_PATH, FUNCTION_NAME, DEF_LINE), entries
    assert entries[1][0] == SOURCE_PATH
    return entries[1][2]


def assert_same_pose(got, want):
    """`got` is the pose `want` as far as IEEE 754 fixes it: every element
    that is not NaN has the same bits, and NaN stands in exactly the same
    elements.  A NaN's sign and payload are left open: with two NaN
    operands, the one an addition keeps depends on the order of its
    operands, which the compiler may swap."""
    assert got.dtype == want.dtype == np.float64 and got.shape == want.shape
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan), (got, want)
    assert np.array_equal(got.view(np.uint64)[~nan], want.view(np.uint64)[~nan]), (got, want)


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


def assert_answers_ctrl_c(script, *args):
    """Runs `script` (which prints a positive number once its long call is
    about to start, then "interrupted" if that call raises KeyboardInterrupt),
    sends it SIGINT half a second in, and checks it answered within a second."""
    child = subprocess.Popen([sys.executable, "-c", script, *args], stdout=subprocess.PIPE,
                             text=True, cwd=REPO,
                             env={**os.environ, "PYTHONPATH": str(REPO / "tests")})
    try:
        assert int(child.stdout.readline()) > 0
        time.sleep(0.5)  # well inside the call
        child.send_signal(signal.SIGINT)
        sent = time.perf_counter()
        out, _ = child.communicate(timeout=30)
        answered = time.perf_counter() - sent
    finally:
        child.kill()
    assert out.strip() == "interrupted" and answered < 1.0
