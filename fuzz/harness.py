"""What the fuzz targets share: the test suite's helpers (the module's
pure-Python twin, the probe, the pose comparison), a Finding, and the
start of the fuzzer.

A target is a file fuzz_<name>.py beside this one with a seed corpus in
corpus/<name>/; it defines test_one_input(data) and ends with
harness.fuzz(test_one_input).  A finding is an uncaught exception (a broken
expectation raises an AssertionError), a crash or a sanitizer report;
fuzz/run.py runs the targets, with tests/ on the path, and collects them.
"""

import sys
import types

import atheris
from helpers import REPO, assert_same_pose, load_probe, load_twin  # noqa: F401 - for the targets


class Finding(AssertionError):
    """An input that broke what the target checks."""


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
