"""The package on every supported CPython: the core each version loads and
ships, and the parts of the compiled chain that differ between versions."""

import importlib.machinery
import importlib.metadata
from pathlib import Path

import numpy as np
import pytest
from chains import random_kinbody
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


@pytest.mark.parametrize("seed, dof", [(0, 0), (1, 1), (2, 6), (3, 32)])
def test_checked_poses_are_the_core_s_bit_for_bit(seed, dof):
    # off 3.12 a KinBody's pose is composed by the checked entry itself
    from kovi.kinematics.poe_fk import poe_forward_kinematics as core
    kb, q = random_kinbody(np.random.default_rng(seed), dof)
    for row in [q, *np.random.default_rng(dof).uniform(-1e3, 1e3, (5, dof))]:
        assert forward_kinematics(kb, row).tobytes() == core(kb, row).tobytes()


@pytest.mark.parametrize("alter", [
    lambda kb: object.__setattr__(kb, "joints", list(kb.joints)),
    lambda kb: object.__setattr__(kb, "joints", (*kb.joints[:6], "elbow")),
])
def test_a_body_altered_behind_its_back_gets_the_core_s_answer(alter):
    # only a KinBody's own tuple of Joint records is read by the checked entry
    # itself; anything else is the core's to answer, pose or error alike
    from kovi.kinematics.poe_fk import poe_forward_kinematics as core
    kb, q = kovi.robots.panda(), np.array(kovi.robots.configuration("panda"))
    alter(kb)
    try:
        expected = core(kb, q)
    except Exception as error:
        with pytest.raises(type(error), match=f"^{error}$"):
            forward_kinematics(kb, q)
    else:
        assert forward_kinematics(kb, q).tobytes() == expected.tobytes()
