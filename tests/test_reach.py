"""The package on every supported CPython: the core each version loads and
ships, and the parts of the compiled chain that differ between versions."""

import importlib.machinery
import importlib.metadata
from pathlib import Path

import numpy as np
import pytest
from helpers import NATIVE_CORE

import kovi
from kovi._chain import Chain, forward_kinematics


def test_the_installed_core_is_this_version_s():
    # 3.12: the extension, the source as text only (for its tracebacks);
    # elsewhere: the source itself, importable, and no extension
    import kovi.kinematics.poe_fk as core
    shipped = {Path(*f.parts[1:]).as_posix() for f in importlib.metadata.files("kovi")
               if f.parts[:2] in {("kovi", "kinematics"), ("kovi", "_source_text")}
               and "__pycache__" not in f.parts}
    extension = {f for f in shipped if f.startswith("kinematics/poe_fk.") and f.endswith(".so")}
    if NATIVE_CORE:
        assert isinstance(core.__spec__.loader, importlib.machinery.ExtensionFileLoader)
        assert shipped == {"kinematics/__init__.py", "_source_text/poe_fk.py.txt", *extension}
        assert len(extension) == 1
    else:
        assert Path(core.__file__) == Path(kovi.__file__).parent / "kinematics" / "poe_fk.py"
        assert shipped == {"kinematics/__init__.py", "kinematics/poe_fk.py"}


@pytest.mark.parametrize("call", [
    lambda q: forward_kinematics(kovi.robots.panda(), q),
    lambda q: Chain(kovi.robots.panda()).poses(q),
])
def test_a_ragged_sequence_keeps_numpy_s_error_as_cause(call):
    # the exception is handed on as one object on every version (before 3.12
    # made from the (type, value, traceback) triple)
    with pytest.raises(ValueError, match="got a ragged sequence") as caught:
        call([[0.0] * 7, [0.0]])
    cause = caught.value.__cause__
    assert type(cause) is ValueError and cause is caught.value.__context__
    assert "inhomogeneous" in str(cause)
