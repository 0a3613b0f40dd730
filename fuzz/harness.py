"""What the fuzz targets share: the module, its pure-Python twin, the probe,
the pose comparison, and the start of the fuzzer.

A target is a file fuzz_<name>.py beside this one with a seed corpus in
corpus/<name>/; it defines test_one_input(data) and ends with
harness.fuzz(test_one_input).  A finding is an uncaught exception (a broken
expectation raises Finding), a crash or a sanitizer report; fuzz/run.py
runs the targets and collects them.
"""

import importlib.util
import os
import sys
import types
from pathlib import Path

import atheris
import numpy as np

REPO = Path(__file__).resolve().parents[1]
TWIN_SOURCE = REPO / "src" / "kovi" / "kinematics" / "poe_fk.py"


class Finding(AssertionError):
    """An input that broke what the target checks."""


def load_probe():
    """The test-only probe extension, from the directory KOVI_PROBE_PATH."""
    path = os.environ.get("KOVI_PROBE_PATH")
    if not path:
        sys.exit("KOVI_PROBE_PATH is not set: run the targets through fuzz/run.py")
    sys.path.insert(0, path)
    import _kovi_probe
    return _kovi_probe


def load_twin():
    """The pure-Python twin, under a name of its own: the import name
    kovi.kinematics.poe_fk is the native module."""
    spec = importlib.util.spec_from_file_location("kovi_poe_fk_twin", TWIN_SOURCE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def same_pose(got, want):
    """Whether two poses agree as promised: every non-NaN element with the
    same bits, NaN in exactly the same elements (a NaN's sign and payload
    depend on the order the compiler gives an addition's operands)."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    if got.shape != want.shape:
        return False
    got_nan, want_nan = np.isnan(got), np.isnan(want)
    same_bits = got.view(np.uint64) == want.view(np.uint64)
    return bool(np.array_equal(got_nan, want_nan) and same_bits[~got_nan].all())


def fuzz(test_one_input):
    """Instruments the functions of the target's module, so that the fuzzer
    sees the Python side's branches too, and runs the fuzzer on
    test_one_input with the command line's arguments; never returns."""
    module = sys.modules[test_one_input.__module__]
    for value in list(vars(module).values()):
        if isinstance(value, types.FunctionType) and value.__module__ == module.__name__:
            atheris.instrument_func(value)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
