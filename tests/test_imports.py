"""The import operations: sys.modules first, the import system only when it
cannot answer, and the from-import rules of the interpreter."""

import sys
import types

import numpy
import numpy.typing
import pytest
from helpers import assert_no_leak, run_python
from imports_helpers import spy_on_import_system


@pytest.fixture
def import_calls():
    calls = []
    undo = spy_on_import_system(calls)
    yield calls
    undo()


# ---- import_module ----------------------------------------------------------

@pytest.mark.parametrize("name, names, expected", [
    ("numpy", None, numpy),
    ("numpy.typing", None, numpy),               # `import numpy.typing` binds numpy
    ("numpy.typing", ("NDArray",), numpy.typing),
], ids=["numpy", "numpy.typing", "from-numpy.typing"])
def test_loaded_module_bypasses_the_import_system(probe, import_calls, name, names, expected):
    assert probe.import_module(name, names) is expected
    assert import_calls == []


def test_from_import_of_a_missing_name_runs_the_import_system(probe, import_calls, monkeypatch):
    # numpy.typing as loaded, but without NDArray: the from-list goes to the
    # import system, which may still find a submodule of that name.
    standin = types.ModuleType("numpy.typing")
    standin.__path__ = []
    monkeypatch.setitem(sys.modules, "numpy.typing", standin)
    assert probe.import_module("numpy.typing", ("NDArray",)) is standin
    assert ("_handle_fromlist", "numpy.typing") in import_calls
    assert ("_find_and_load", "numpy.typing.NDArray") in import_calls


def test_modules_not_loaded_are_imported(probe, tmp_path):
    out = run_python("""
        import sys
        import _kovi_probe
        assert "numpy" not in sys.modules
        top = _kovi_probe.import_module("numpy.typing")
        assert "numpy.typing" in sys.modules and top is sys.modules["numpy"]
        decoder = _kovi_probe.import_module("json.decoder", ("JSONDecoder",))
        assert decoder is sys.modules["json.decoder"]
        print(top.__name__, decoder.__name__)
    """, tmp_path)
    assert out.split() == ["numpy", "json.decoder"]


@pytest.mark.parametrize("name", ["kovi_blocked", "kovi_blocked.sub"])
def test_blocked_module_is_not_bound(probe, monkeypatch, name):
    # None in sys.modules blocks an import; it must not come back as the module.
    monkeypatch.setitem(sys.modules, "kovi_blocked", None)
    monkeypatch.setitem(sys.modules, "kovi_blocked.sub", types.ModuleType("kovi_blocked.sub"))
    with pytest.raises(ModuleNotFoundError, match="halted; None in sys.modules"):
        probe.import_module(name)


# ---- import_from ------------------------------------------------------------

def test_import_from_finds_a_loaded_submodule(probe, monkeypatch):
    package = types.ModuleType("kovi_probe_pkg")
    sub = types.ModuleType("kovi_probe_pkg.sub")
    monkeypatch.setitem(sys.modules, "kovi_probe_pkg.sub", sub)
    assert probe.import_from(package, "sub") is sub
    assert probe.import_from(numpy, "typing") is numpy.typing


def _raising_module():
    module = types.ModuleType("kovi_probe_raising")

    def __getattr__(name):
        raise ValueError("not an attribute error")
    module.__getattr__ = __getattr__
    return module


@pytest.mark.parametrize("make_source", [
    lambda: numpy,                        # plain missing attribute
    _raising_module,                      # the lookup fails otherwise
    lambda: types.SimpleNamespace(),      # not a module: no name to look under
], ids=["missing", "other-error", "not-a-module"])
def test_import_from_missing_name(probe, make_source):
    with pytest.raises(ImportError) as info:
        probe.import_from(make_source(), "no_such_name")
    assert type(info.value) is ImportError
    assert str(info.value) == "cannot import name no_such_name"
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_imports_keep_no_reference(probe, monkeypatch):
    package = types.ModuleType("kovi_probe_pkg")
    sub = types.ModuleType("kovi_probe_pkg.sub")
    standin = types.ModuleType("kovi_probe_standin")
    standin.__path__ = []
    monkeypatch.setitem(sys.modules, "kovi_probe_pkg.sub", sub)
    monkeypatch.setitem(sys.modules, "kovi_probe_standin", standin)
    monkeypatch.setitem(sys.modules, "kovi_blocked", None)
    cases = [
        (lambda: probe.import_module("numpy"), [numpy], None),
        (lambda: probe.import_module("numpy.typing"), [numpy, numpy.typing], None),
        (lambda: probe.import_module("numpy.typing", ("NDArray",)), [numpy.typing], None),
        (lambda: probe.import_module("kovi_probe_standin", ("x",)), [standin], None),
        (lambda: probe.import_module("kovi_blocked"), [], ModuleNotFoundError),
        (lambda: probe.import_from(numpy, "typing"), [numpy, numpy.typing], None),
        (lambda: probe.import_from(package, "sub"), [package, sub], None),
        (lambda: probe.import_from(numpy, "no_such_name"), [numpy], ImportError),
    ]
    for call, watched, expected in cases:
        assert_no_leak(call, watched, expected, calls=500)


# ---- the module's own imports (fresh interpreters) --------------------------

def test_module_imports_loaded_modules_without_the_import_system(tmp_path):
    out = run_python("""
        import math, numpy, numpy.typing, kovi._kinbody, kovi.kinematics
        from imports_helpers import spy_on_import_system
        calls = []
        spy_on_import_system(calls)
        import kovi.kinematics.poe_fk as poe_fk
        assert calls == [("_find_and_load", "kovi.kinematics.poe_fk"),
                         ("find_spec", "kovi.kinematics.poe_fk")], calls
        assert poe_fk.math is math and poe_fk.np is numpy
        assert poe_fk.NDArray is numpy.typing.NDArray
        assert poe_fk.KinBody is kovi._kinbody.KinBody
        # bound in the order of the source
        print(*[n for n in vars(poe_fk) if not n.startswith("__") or n in ("__all__", "__test__")])
    """, tmp_path)
    assert out.split() == ["math", "np", "NDArray", "KinBody", "__all__", "poe_forward_kinematics",
                           "__test__"]
