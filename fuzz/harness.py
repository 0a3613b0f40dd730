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


def fuzz(test_one_input, modules=()):
    """Instruments the functions and methods of the target's module and of
    `modules` (the code under test, where it is Python), so that the fuzzer
    sees their branches too, and runs the fuzzer on test_one_input with the
    command line's arguments; never returns."""
    for module in (sys.modules[test_one_input.__module__], *modules):
        for function in functions_of(module):
            atheris.instrument_func(function)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


def functions_of(module):
    """The Python functions defined in a module, its classes' methods
    (properties' getters too) included."""
    def own(value):
        return isinstance(value, types.FunctionType) and value.__module__ == module.__name__

    for value in list(vars(module).values()):
        if own(value):
            yield value
        elif isinstance(value, type) and value.__module__ == module.__name__:
            for member in vars(value).values():
                member = getattr(member, "__func__", getattr(member, "fget", member))
                if own(member):
                    yield member
