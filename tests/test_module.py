"""Loading, creating and executing the module, and what it binds."""

import importlib
import importlib.machinery
import inspect
import math
import shutil
import subprocess
import sys
from pathlib import Path

import numpy
import numpy.typing
import pytest
from helpers import DEF_LINE, FUNCTION_NAME, INIT_NAME, SOURCE_PATH, run_python, source_line

import kovi._kinbody

MODULE = "kovi.kinematics.poe_fk"
ANNOTATIONS = {"kb": "KinBody", "q": "NDArray[np.float64]"}


def test_the_native_module_is_the_one_imported(native):
    assert isinstance(native.__loader__, importlib.machinery.ExtensionFileLoader)
    assert native.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    assert native.__spec__.origin == native.__file__
    # The package ships the native module alone, none of its sources.
    shipped = {p.name for p in Path(native.__file__).parent.iterdir() if p.is_file()}
    assert shipped == {Path(native.__file__).name, "__init__.py"}


def test_module_attributes(native, twin):
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
    assert type(sys.modules["kovi_runtime"]) is type(sys)
    assert native.__doc__ == twin.__doc__

    def names(module):
        return {n for n in vars(module) if not n.startswith("__") or n == "__all__"}
    assert names(native) == names(twin)


def test_function_attributes(native, twin, fk):
    assert fk.__name__ == fk.func_name == fk.__qualname__ == "poe_forward_kinematics"
    assert fk.__module__ == MODULE
    assert fk.__globals__ is fk.func_globals is vars(native)
    assert fk.__closure__ is fk.func_closure is fk.__defaults__ is fk.__kwdefaults__ is None
    assert fk.__code__ is fk.func_code
    assert fk.__doc__ == twin.poe_forward_kinematics.__doc__ and len(fk.__doc__) == 551
    annotations = fk.__annotations__
    assert annotations == twin.poe_forward_kinematics.__annotations__ == ANNOTATIONS
    assert fk.__annotations__ is annotations
    assert str(inspect.signature(fk)) == "(kb: 'KinBody', q: 'NDArray[np.float64]')"


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


# ---- failing execution (fresh interpreters) ---------------------------------

def registry_holding(name, value):
    """Set-up: a registry "_kovi_rt_1_0_0" whose entry `name` is `value`."""
    return f"""
        registry = types.ModuleType("_kovi_rt_1_0_0")
        registry.{name} = entry = {value}
        sys.modules["_kovi_rt_1_0_0"] = registry
        def undo():
            assert registry.{name} is entry
            del sys.modules["_kovi_rt_1_0_0"]
    """


FAILING_KINBODY_IMPORT = """
    class Failing(importlib.abc.MetaPathFinder, importlib.abc.Loader):
        def find_spec(self, name, path, target=None):
            if name == "kovi._kinbody":
                return importlib.util.spec_from_loader(name, self)
        def create_module(self, spec):
            return None
        def exec_module(self, module):
            raise RuntimeError("no bodies today")
    sys.meta_path.insert(0, Failing())
    def undo():
        del sys.meta_path[0]
        sys.modules.pop("kovi._kinbody", None)
"""

MISSING_KINBODY = """
    import kovi._kinbody
    KinBody = kovi._kinbody.KinBody
    del kovi._kinbody.KinBody
    def undo():
        kovi._kinbody.KinBody = KinBody
"""


def import_refused(name):
    """Set-up: `name` cannot be imported (None in sys.modules)."""
    return f"""
        saved = sys.modules.get({name!r})
        sys.modules[{name!r}] = None
        def undo():
            if saved is None:
                del sys.modules[{name!r}]
            else:
                sys.modules[{name!r}] = saved
    """


def halted(name):
    return f"ModuleNotFoundError: import of {name} halted; None in sys.modules"


WRONG_SIZE = "Shared kovi type kovi_function_or_method has the wrong size, try recompiling"
WRONG_LAYOUT = "Shared kovi type kovi_function_or_method has the wrong layout, try recompiling"
# 160 bytes like the function type, but 18 slots: no dictionary, weak-reference
# list or vector call entry where the module reads them.
SAME_SIZE_IMPOSTOR = "type('Impostor', (), {'__slots__': tuple('s%d' % i for i in range(18))})"
MODULE_LINE = source_line('"""Forward kinematics')
KINBODY_LINE = source_line("from kovi._kinbody import KinBody")


# The registry's failures come right after the module dict got __builtins__:
# the first steps that add a traceback entry.
@pytest.mark.parametrize("setup, raised, line, innermost", [
    (registry_holding("kovi_function_or_method", 42),
     "TypeError: Shared kovi type kovi_function_or_method is not a type object", MODULE_LINE,
     INIT_NAME),
    (registry_holding("_common_types_metatype", 42),
     "TypeError: Shared kovi type _common_types_metatype is not a type object", MODULE_LINE,
     INIT_NAME),
    (registry_holding("kovi_function_or_method", "type('Impostor', (), {})"),
     f"TypeError: {WRONG_SIZE}", MODULE_LINE, INIT_NAME),
    (registry_holding("kovi_function_or_method", "type('Impostor', (), {'__slots__': ('a',)})"),
     f"TypeError: {WRONG_SIZE}", MODULE_LINE, INIT_NAME),
    (registry_holding("kovi_function_or_method", SAME_SIZE_IMPOSTOR),
     f"TypeError: {WRONG_LAYOUT}", MODULE_LINE, INIT_NAME),
    (import_refused("math"), halted("math"), source_line("import math"), INIT_NAME),
    (import_refused("numpy"), halted("numpy"), source_line("import numpy as np"), INIT_NAME),
    (import_refused("numpy.typing"), halted("numpy.typing"),
     source_line("from numpy.typing import NDArray"), INIT_NAME),
    (FAILING_KINBODY_IMPORT, "RuntimeError: no bodies today", KINBODY_LINE, "exec_module"),
    (MISSING_KINBODY, "ImportError: cannot import name KinBody", KINBODY_LINE, INIT_NAME),
], ids=["function-type-not-a-type", "metatype-not-a-type", "function-type-too-small",
        "function-type-too-large", "function-type-laid-out-otherwise", "math-import-fails", "numpy-import-fails",
        "numpy-typing-import-fails", "kinbody-import-fails", "kinbody-name-missing"])
def test_failed_execution_reports_its_line_and_can_be_retried(setup, raised, line, innermost):
    out = run_python(f"""
        import importlib.abc, importlib.util, sys, traceback, types
        exec({inspect.cleandoc(setup)!r})
        try:
            import kovi.kinematics.poe_fk
        except Exception as exc:
            print(type(exc).__name__ + ":", exc)
            tb = traceback.extract_tb(exc.__traceback__)
            at = [i for i, e in enumerate(tb) if e.filename == {SOURCE_PATH!r}]
            print([(tb[i].name, tb[i].lineno) for i in at], tb[-1].name)
        undo()
        import kovi.kinematics.poe_fk as m
        print(sorted(k for k in vars(m) if not k.startswith("__")),
              m.poe_forward_kinematics(types.SimpleNamespace(joints=[]), None).tolist())
        try:
            m.poe_forward_kinematics(object(), [])
        except AttributeError as exc:
            print([(e.filename, e.name, e.lineno) for e in traceback.extract_tb(exc.__traceback__)[1:]])
    """)
    assert out.splitlines() == [
        raised,
        f"{[(INIT_NAME, line)]} {innermost}",
        f"['KinBody', 'NDArray', 'math', 'np', 'poe_forward_kinematics'] {numpy.eye(4).tolist()}",
        str([(SOURCE_PATH, FUNCTION_NAME, DEF_LINE),
             (SOURCE_PATH, FUNCTION_NAME, source_line("joints = kb.joints"))]),
    ]


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


@pytest.mark.parametrize("code, expected", [
    ("import kovi.kinematics.poe_fk\nprint(load_in_subinterpreter())",
     f"<class 'ImportError'>: {REFUSAL}"),
    # The first interpreter to load the module owns it.
    ("load_in_subinterpreter()\n"
     "try:\n    import kovi.kinematics.poe_fk\nexcept ImportError as exc:\n    print(exc)",
     REFUSAL),
], ids=["main-first", "subinterpreter-first"])
def test_a_second_interpreter_is_refused(code, expected):
    assert run_python(inspect.cleandoc(SUBINTERPRETER) + "\n" + code).strip() == expected


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
