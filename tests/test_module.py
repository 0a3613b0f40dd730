"""Loading, creating and executing the module."""

import importlib
import importlib.machinery
import importlib.util
import math
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import numpy.typing
import pytest
from helpers import run_python

import kovi._kinbody

MODULE = "kovi.kinematics.poe_fk"


def test_the_native_module_is_the_one_imported(native):
    assert isinstance(native.__loader__, importlib.machinery.ExtensionFileLoader)
    assert native.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    assert native.__spec__.origin == native.__file__
    # The package ships the native module alone, none of its sources.
    shipped = {p.name for p in Path(native.__file__).parent.iterdir() if p.is_file()}
    assert shipped == {Path(native.__file__).name, "__init__.py"}


def test_module_attributes(native):
    assert native.__name__ == MODULE
    assert native.__package__ == "kovi.kinematics"
    assert not hasattr(native, "__path__")
    assert native.__all__ == ["poe_forward_kinematics"]
    assert native.__test__ == {}
    assert native.math is math
    assert native.np is numpy
    assert native.NDArray is numpy.typing.NDArray
    assert native.KinBody is kovi._kinbody.KinBody
    assert native.__builtins__ is __builtins__ or native.__builtins__ is sys.modules["builtins"]
    assert native.__doc__.startswith("Forward kinematics for POE-normalized kinematic chains.\n\n")
    assert native.__doc__.endswith("per call * 94 calls = ~850 us per IK saved.\n")


def test_module_docstring_is_the_twins(native, twin):
    assert native.__doc__ == twin.__doc__


def test_namespace_and_annotations_are_the_twins(native, twin):
    def names(module):
        return {n for n in vars(module) if not n.startswith("__") or n == "__all__"}
    assert names(native) == names(twin)
    assert native.poe_forward_kinematics.__annotations__ == \
        twin.poe_forward_kinematics.__annotations__ == {"kb": "KinBody", "q": "NDArray[np.float64]"}


def test_kovi_runtime_module_is_registered(native):
    assert type(sys.modules["kovi_runtime"]) is type(sys)


def test_executing_a_second_module_object_is_refused():
    out = run_python("""
        import _imp, importlib.util
        spec = importlib.util.find_spec("kovi.kinematics.poe_fk")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as exc:
            print(exc)
        print(first is not second, _imp.create_dynamic(spec) is first,
              "poe_forward_kinematics" in vars(first), "poe_forward_kinematics" in vars(second))
    """)
    assert out.splitlines() == [
        "Module 'poe_fk' has already been imported. Re-initialisation is not supported.",
        "True True True False"]


def test_function_docstring_is_the_twins(fk, twin):
    assert fk.__doc__ == twin.poe_forward_kinematics.__doc__
    assert len(fk.__doc__) == 551


def test_bindings_are_made_in_source_order():
    out = run_python("""
        import kovi.kinematics.poe_fk as m
        print(*[n for n in vars(m) if not n.startswith("__") or n in ("__all__", "__test__")])
    """)
    assert out.split() == ["math", "np", "NDArray", "KinBody", "__all__", "poe_forward_kinematics",
                     "__test__"]


def test_reimport_hands_back_the_same_module(native):
    function = native.poe_forward_kinematics
    del sys.modules[MODULE]
    try:
        again = importlib.import_module(MODULE)
    finally:
        sys.modules[MODULE] = native
    assert again is native
    assert again.poe_forward_kinematics is function


def test_reload_runs_nothing_again(native, monkeypatch):
    sentinel = object()
    monkeypatch.setattr(native, "np", sentinel)
    function = native.poe_forward_kinematics
    assert importlib.reload(native) is native
    assert native.np is sentinel
    assert native.poe_forward_kinematics is function


def test_failed_execution_reports_the_import_line_and_can_be_retried():
    out = run_python("""
        import sys, traceback, importlib.abc, importlib.util

        class Failing(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == "kovi._kinbody":
                    return importlib.util.spec_from_loader(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise RuntimeError("no bodies today")

        finder = Failing()
        sys.meta_path.insert(0, finder)
        try:
            import kovi.kinematics.poe_fk
        except RuntimeError as exc:
            names = [(f.name, f.lineno, f.filename) for f in traceback.extract_tb(exc.__traceback__)]
            init = [i for i, n in enumerate(names) if n[0] == "init kovi.kinematics.poe_fk"]
            loader = [i for i, n in enumerate(names) if n[0] == "exec_module"]
            print(names[init[0]], len(init), init[0] < loader[0])
        sys.meta_path.remove(finder)
        sys.modules.pop("kovi._kinbody", None)
        import kovi.kinematics.poe_fk as m
        print(sorted(k for k in vars(m) if not k.startswith("__")))
        print(m.poe_forward_kinematics(type('Body', (), {'joints': []})(), None).tolist())
    """)
    first, second, third = out.splitlines()
    assert first == "('init kovi.kinematics.poe_fk', 25, 'src/kovi/kinematics/poe_fk.py') 1 True"
    assert second == "['KinBody', 'NDArray', 'math', 'np', 'poe_forward_kinematics']"
    assert third == str(numpy.eye(4).tolist())


SUBINTERPRETER = """
    import _xxsubinterpreters as interpreters
    def load_in_subinterpreter():
        # A subinterpreter that shares the GIL: the interpreter's own checks
        # then let the load reach the module's create slot.
        interp = interpreters.create(isolated=False)
        try:
            interpreters.run_string(interp, "import kovi.kinematics.poe_fk")
            return "loaded"
        except interpreters.RunFailedError as exc:
            return str(exc)
        finally:
            interpreters.destroy(interp)
"""
REFUSAL = ("Interpreter change detected - this module can only be loaded into one interpreter "
           "per process.")


def test_a_second_interpreter_is_refused():
    out = run_python(SUBINTERPRETER + """
    import kovi.kinematics.poe_fk
    print(load_in_subinterpreter())
    """)
    assert out.strip() == f"<class 'ImportError'>: {REFUSAL}"


def test_the_first_interpreter_owns_the_module():
    out = run_python(SUBINTERPRETER + """
    load_in_subinterpreter()
    try:
        import kovi.kinematics.poe_fk
    except ImportError as exc:
        print(exc)
    """)
    assert out.strip() == REFUSAL


def test_execution_adds_itself_to_sys_modules_when_absent():
    out = run_python("""
        import sys, importlib.util
        spec = importlib.util.find_spec("kovi.kinematics.poe_fk")
        module = importlib.util.module_from_spec(spec)
        print("kovi.kinematics.poe_fk" in sys.modules)
        spec.loader.exec_module(module)
        print(sys.modules["kovi.kinematics.poe_fk"] is module)
    """)
    assert out.split() == ["False", "True"]


def test_spec_attributes_are_copied():
    out = run_python("""
        import _imp, importlib.util
        path = importlib.util.find_spec("kovi.kinematics.poe_fk").origin

        class Spec:
            # No "parent" at all; "origin" reads None once the create slot
            # has started (it reads "loader" first), the path before that.
            name = "kovi.kinematics.poe_fk"
            submodule_search_locations = None
            started = False

            @property
            def loader(self):
                self.started = True
                return "the loader"

            @property
            def origin(self):
                return None if self.started else path

        module = _imp.create_dynamic(Spec())
        d = vars(module)
        print(module.__name__, d["__loader__"], d["__file__"], d["__package__"], "__path__" in d)

        class Failing(Spec):
            @property
            def parent(self):
                raise KeyError("no parent")
        try:
            _imp.create_dynamic(Failing())
        except KeyError as exc:
            print("KeyError", exc)
    """)
    assert out.splitlines() == ["kovi.kinematics.poe_fk the loader None None False",
                                "KeyError 'no parent'"]


def test_only_the_init_function_is_exported(native):
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", native.__file__], capture_output=True,
                         text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines()] == ["PyInit_poe_fk"]
