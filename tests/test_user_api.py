"""The public package: its names, joint checks, DH tables against an
independent toolbox, tracebacks of an installed package, and its types."""

import copy
import importlib.metadata
import math
import pickle
import subprocess
import sys
import textwrap
import typing
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from helpers import REPO, SOURCE_PATH, needs_native_core

import kovi
import kovi._kinbody
from kovi import Joint, KinBody
from kovi.kinematics.poe_fk import poe_forward_kinematics as fk


def test_public_names_and_version():
    assert kovi.KinBody is kovi._kinbody.KinBody and kovi.Joint is kovi._kinbody.Joint
    assert issubclass(kovi.URDFError, ValueError)
    assert set(kovi.robots.NAMES) == set(kovi.robots.FRAMES) == {"panda", "ur5", "scara"}
    # one source: the version in the installed metadata is read from __init__.py
    assert kovi.__version__ == importlib.metadata.version("kovi")


# ---- axis and limits ---------------------------------------------------------

@pytest.mark.parametrize("axis, extra, outcome", [
    ((0, 0, 2), {}, r"axis \(0.0, 0.0, 2.0\) has length 2, not 1; pass normalize=True"),
    ((0, 0, 0), {"normalize": True}, r"axis \(0.0, 0.0, 0.0\) has zero length"),
    ((0, 0, 1 + 2e-9), {}, r"has length 1.000000002, not 1"),
    ((0, 1, 0), {"limits": (1.0, -1.0)}, r"limits must satisfy lower <= upper, got \(1.0, -1.0\)"),
    ((0, 1, 0), {"limits": (math.nan, 1.0)}, r"lower <= upper, got \(nan, 1.0\)"),
    ((0.6, 0.0, 0.8 + 5e-10), {}, (0.6, 0.0, 0.8 + 5e-10)),  # unit to 1e-9: kept as given
    ((3.0, 0.0, -4.0), {"normalize": True}, (0.6, 0.0, -0.8)),
    # unit to 1e-9 already: normalize keeps the bits too
    ((0.7071067811865475, 0.7071067811865475, 0.0), {"normalize": True},
     (0.7071067811865475, 0.7071067811865475, 0.0)),
])
def test_joint_axis_and_limits(axis, extra, outcome):
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=r"^joint 'elbow': .*" + outcome):
            Joint("elbow", np.eye(4), axis, np.eye(4), **extra)
    else:
        assert Joint("elbow", np.eye(4), axis, np.eye(4), **extra).axis.tolist() == list(outcome)


@pytest.mark.parametrize("kb, message", [
    ({"joints": []}, "'dict' object has no attribute 'joints'"),
    (SimpleNamespace(joints=[{"axis": (0, 0, 1)}]), "'dict' object has no attribute 'axis'"),
])
def test_body_of_plain_dicts_keeps_the_core_error(kb, message):
    with pytest.raises(AttributeError, match=f"^{message}$"):
        fk(kb, np.zeros(1))


# ---- DH tables against roboticstoolbox ---------------------------------------

H = math.pi / 2
UR5E = [(0.0, H, 0.1625, 0.0), (-0.425, 0.0, 0.0, 0.0), (-0.3922, 0.0, 0.0, 0.0),
        (0.0, H, 0.1333, 0.0), (0.0, -H, 0.0997, 0.0), (0.0, 0.0, 0.0996, 0.0)]
PANDA = [(0.0, 0.0, 0.333, 0.0), (0.0, -H, 0.0, 0.0), (0.0, H, 0.316, 0.0),
         (0.0825, H, 0.0, 0.0), (-0.0825, -H, 0.384, 0.0), (0.0, H, 0.0, 0.0),
         (0.088, H, 0.0, 0.0)]
# prismatic rows and theta offsets, in both conventions
MIXED = [(0.1, 0.3, 0.2, 0.4, "prismatic"), (0.25, -H, 0.05, -0.7), (0.0, H, 0.1, 1.1, "prismatic"),
         (-0.15, 0.2, 0.3, 2.5)]
BASE = np.array([[0.0, -1.0, 0.0, 0.1], [1.0, 0.0, 0.0, -0.2], [0.0, 0.0, 1.0, 0.3], [0, 0, 0, 1]])


def rtb_robot(rtb, sm, rows, convention, tool):
    links = []
    for a, alpha, d, offset, *kind in rows:
        mdh = convention == "modified"
        if kind == ["prismatic"]:
            cls = rtb.PrismaticMDH if mdh else rtb.PrismaticDH
            links.append(cls(theta=offset, a=a, alpha=alpha, offset=d))
        else:
            cls = rtb.RevoluteMDH if mdh else rtb.RevoluteDH
            links.append(cls(d=d, a=a, alpha=alpha, offset=offset))
    return rtb.DHRobot(links, base=sm.SE3(BASE, check=False),
                       tool=sm.SE3(np.eye(4) if tool is None else tool, check=False))


@pytest.mark.parametrize("rows, convention, tool", [
    (UR5E, "standard", None),
    (PANDA, "modified", np.array([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0.107], [0, 0, 0, 1.0]])),
    (MIXED, "standard", None),
    (MIXED, "modified", None),
])
def test_dh_body_matches_roboticstoolbox(rows, convention, tool):
    rtb = pytest.importorskip("roboticstoolbox")
    sm = pytest.importorskip("spatialmath")
    kb = KinBody.from_dh(rows, convention, base=BASE, tool=tool)
    assert kb.dof == len(rows) and kb.joint_names[0] == "joint1"
    assert [j.joint_type for j in kb.joints] == [(r[4:] or ["revolute"])[0] for r in rows]
    reference = rtb_robot(rtb, sm, rows, convention, tool)
    for q in np.random.default_rng(5).uniform(-2.5, 2.5, (20, len(rows))):
        np.testing.assert_allclose(fk(kb, q), reference.fkine(q).A, rtol=0, atol=1e-12)


@pytest.mark.parametrize("rows, convention, error", [
    ([(0, 0, 0)], "standard", r"DH rows\[0\] must be \(a, alpha, d, theta_offset"),
    ([(0, 0, 0, 0)], "craig", "convention must be 'standard' or 'modified'"),
    ([(0, 0, math.inf, 0)], "standard", r"DH rows\[0\]: d must be finite"),
])
def test_bad_dh_table(rows, convention, error):
    with pytest.raises(ValueError, match=error):
        KinBody.from_dh(rows, convention)


@pytest.mark.parametrize("extra", [{"base": BASE}, {"tool": BASE}])
def test_dh_base_or_tool_without_rows_is_refused(extra):
    with pytest.raises(ValueError, match="base and tool need at least one row"):
        KinBody.from_dh([], **extra)


def test_dh_table_as_an_array_is_the_same_body():
    q = np.random.default_rng(2).uniform(-2, 2, len(UR5E))
    as_array = KinBody.from_dh(np.array(UR5E), base=BASE)
    assert fk(as_array, q).tobytes() == fk(KinBody.from_dh(UR5E, base=BASE), q).tobytes()


@pytest.mark.parametrize("copy", [lambda kb: pickle.loads(pickle.dumps(kb)), copy.deepcopy])
def test_copies_are_checked_read_only_bodies(copy):
    kb = kovi.robots.panda()
    other = copy(kb)
    assert (type(other), other.name, other.joint_names) == (KinBody, kb.name, kb.joint_names)
    for a, b in zip(kb.joints, other.joints):
        assert a.limits == b.limits and a.joint_type == b.joint_type
        for field in ("T_left", "axis", "T_right"):
            assert getattr(b, field).tobytes() == getattr(a, field).tobytes()
            assert not getattr(b, field).flags.writeable


def test_names_are_stored_as_plain_str():
    class Name(str):
        def __str__(self):
            return "other"
    kb = KinBody(Name("arm"), [Joint(Name("elbow"), np.eye(4), (0, 0, 1), np.eye(4))])
    assert (type(kb.name), kb.name, type(kb.joints[0].name), kb.joints[0].name) == \
        (str, "arm", str, "elbow")


# ---- an installed user's view ----------------------------------------------------

def run_installed(code, cwd):
    """Runs `code` with the suite's interpreter, outside the checkout, as an
    installed user would; returns its standard output."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


@needs_native_core
def test_traceback_shows_the_failing_line_outside_the_checkout(tmp_path):
    # the entries name the source relative to the checkout, absent here
    out = run_installed("""
        import linecache, traceback
        import kovi
        from kovi.kinematics.poe_fk import poe_forward_kinematics
        assert not kovi.kinematics.poe_fk.__file__.endswith(".py")
        for _ in range(2):
            linecache.checkcache()
            try:
                poe_forward_kinematics(kovi.robots.panda(), [0.0] * 6)
            except IndexError:
                print(traceback.format_exc())
            linecache.checkcache()
    """, tmp_path)
    lines = (REPO / SOURCE_PATH).read_text().splitlines()
    entry = f'  File "{SOURCE_PATH}", line {{}}, in kovi.kinematics.poe_fk.poe_forward_kinematics\n'
    for line in (30, 155):
        assert out.count(entry.format(line) + "    " + lines[line - 1].strip() + "\n") == 2


def test_types_seen_by_mypy(tmp_path):
    pytest.importorskip("mypy")
    (tmp_path / "client.py").write_text(textwrap.dedent("""\
        import numpy as np
        from numpy.typing import NDArray
        import kovi
        from kovi.kinematics.poe_fk import poe_forward_kinematics
        kb = kovi.KinBody.from_urdf(kovi.robots.urdf_path("ur5"))
        pose: NDArray[np.float64] = poe_forward_kinematics(kb, np.zeros(6))
        ints: NDArray[np.int64] = poe_forward_kinematics(kb, np.zeros(6))
        poe_forward_kinematics("ur5", np.zeros(6))
        kovi.KinBody.from_dh([(0.0, 0.0, 0.1, 0.0)], convention="craig")
        chain: kovi.Chain = kovi.Chian(kb)
        jacobian: NDArray[np.float64] = kovi.Chain(kb).jacobian(np.zeros(6), frame="wrld")
        late: NDArray[np.float64] = kovi.forward_kinematics(kb, np.zeros(6))
    """))
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(REPO / "build" / "mypy-cache"), "client.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=300)
    # (line, error code) of each error: the result is a float64 array, not Any
    errors = [(int(line.split(":")[1]), line.rsplit("[", 1)[1].rstrip("]"))
              for line in done.stdout.splitlines() if ": error: " in line]
    # the frame's Literal comes from the native module's stub, which an
    # instrumented build does not generate
    stubbed = (Path(kovi.__file__).parent / "_chain.pyi").exists()
    assert errors == [(7, "assignment"), (8, "arg-type"), (9, "arg-type"), (10, "attr-defined"),
                      *[(11, "arg-type")] * stubbed], done.stdout


def test_public_classes_are_named_from_the_package():
    for cls in (kovi.Chain, kovi.Joint, kovi.KinBody):
        assert cls.__module__ == "kovi" and repr(cls) == f"<class 'kovi.{cls.__name__}'>"
    assert typing.get_type_hints(kovi.KinBody)["joints"] == tuple[kovi.Joint, ...]
    assert "kb: kovi.KinBody" in kovi.Chain.__init__.__doc__
