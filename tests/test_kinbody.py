import math
import pickle
from fractions import Fraction

import numpy as np
import pytest
from helpers import load_twin

from kovi._kinbody import Joint, KinBody
from kovi.robots._samples import SAMPLE_BODIES, sample_body, sample_configuration

fk = load_twin().poe_forward_kinematics


# ---- independent DH chains, straight from the tables ----------------------

def rot_x(t):
    c, s = math.cos(t), math.sin(t)
    return np.array([[1, 0, 0, 0], [0, c, -s, 0], [0, s, c, 0], [0, 0, 0, 1.0]])


def rot_z(t):
    c, s = math.cos(t), math.sin(t)
    return np.array([[c, -s, 0, 0], [s, c, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])


def trans(x=0.0, y=0.0, z=0.0):
    T = np.eye(4)
    T[:3, 3] = x, y, z
    return T


def panda_dh(q):
    h = math.pi / 2
    a = [0, 0, 0, 0.0825, -0.0825, 0, 0.088]
    d = [0.333, 0, 0.316, 0, 0.384, 0, 0]
    alpha = [0, -h, h, h, -h, h, h]
    T = np.eye(4)
    for i in range(7):
        T = T @ rot_x(alpha[i]) @ trans(x=a[i]) @ rot_z(q[i]) @ trans(z=d[i])
    return T @ trans(z=0.107)


def ur5_dh(q):
    h = math.pi / 2
    a = [0, -0.425, -0.39225, 0, 0, 0]
    d = [0.089159, 0, 0, 0.10915, 0.09465, 0.0823]
    alpha = [h, 0, 0, h, -h, 0]
    T = np.eye(4)
    for i in range(6):
        T = T @ rot_z(q[i]) @ trans(z=d[i]) @ trans(x=a[i]) @ rot_x(alpha[i])
    return T


def scara_closed_form(q):
    # planar two-link arm, quill lowers the tool, yaw is the sum of the rotations
    T = rot_z(q[0] + q[1] + q[3])
    T[:3, 3] = (0.35 * math.cos(q[0]) + 0.30 * math.cos(q[0] + q[1]),
                0.35 * math.sin(q[0]) + 0.30 * math.sin(q[0] + q[1]),
                0.40 - q[2] - 0.06)
    return T


INDEPENDENT = {"panda": panda_dh, "ur5": ur5_dh, "scara": scara_closed_form}


@pytest.mark.parametrize("name", sorted(SAMPLE_BODIES))
def test_sample_body_matches_independent_chain(name):
    kb = sample_body(name)
    q0 = sample_configuration(name)
    assert q0.shape == (kb.dof,)
    rng = np.random.default_rng(1234)
    for q in [q0, np.zeros(kb.dof), *rng.uniform(-math.pi, math.pi, (4, kb.dof))]:
        np.testing.assert_allclose(fk(kb, q), INDEPENDENT[name](q), rtol=0, atol=1e-12)


@pytest.mark.parametrize("name, position", [
    ("panda", (0.088, 0.0, 0.333 + 0.316 + 0.384 - 0.107)),
    ("ur5", (-0.425 - 0.39225, -(0.10915 + 0.0823), 0.089159 - 0.09465)),
])
def test_zero_configuration_flange_position(name, position):
    kb = sample_body(name)
    np.testing.assert_allclose(fk(kb, np.zeros(kb.dof))[:3, 3], position, rtol=0, atol=1e-12)


def test_panda_ready_pose_flange():
    # libfranka's ready pose puts the flange 0.307 m ahead, 0.590 m up, pointing down
    T = fk(sample_body("panda"), sample_configuration("panda"))
    np.testing.assert_allclose(T[:3, 3], (0.30689, 0.0, 0.59028), atol=1e-5)
    np.testing.assert_allclose(T[:3, 2], (0.0, 0.0, -1.0), atol=1e-12)


# ---- validation ---------------------------------------------------------------

GOOD = dict(T_left=np.eye(4), axis=(0.0, 0.0, 1.0), T_right=np.eye(4), joint_type="revolute")
_ragged = [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0]]
_nan, _inf = np.eye(4), np.eye(4)
_nan[1, 3], _inf[2, 2] = np.nan, -np.inf


@pytest.mark.parametrize("field, value, exc", [
    ("T_left", np.eye(3), ValueError),
    ("T_left", np.zeros((4, 4, 1)), ValueError),
    ("T_left", _ragged, ValueError),
    ("T_left", _nan, ValueError),
    ("T_right", _inf, ValueError),
    ("T_right", np.eye(4) + 0j, TypeError),
    ("T_right", np.eye(4, dtype=bool), TypeError),
    ("T_right", [["1", "0", "0", "0"]] * 4, TypeError),
    ("T_right", np.array([[None] * 4] * 4), TypeError),
    ("axis", (0.0, 1.0), ValueError),
    ("axis", [[0.0], [0.0], [1.0]], ValueError),
    ("axis", (0.0, math.nan, 1.0), ValueError),
    ("axis", (0.0, 1j, 1.0), TypeError),
    ("axis", (0, 0, 10 ** 400), ValueError),
    ("joint_type", "rotary", ValueError),
    ("joint_type", "Revolute", ValueError),
    ("joint_type", None, TypeError),
    ("joint_type", 0, TypeError),
    # one rule for numbers: no bool, complex, str or bytes among them
    ("axis", [True, 0, 0], TypeError),
    ("axis", np.array(["1", 0, 0], dtype=object), TypeError),
    ("axis", np.array([b"1", 0, 0], dtype=object), TypeError),
    ("limits", (0.0, np.bool_(True)), TypeError),
    ("limits", (math.inf, math.inf), ValueError),
])
def test_bad_joint_field_names_joint_and_field(field, value, exc):
    with pytest.raises(exc) as info:
        Joint("elbow_7", **{**GOOD, field: value})
    assert "elbow_7" in str(info.value) and field in str(info.value)


def test_numbers_float_reads_are_accepted():
    class FloatLike:
        def __float__(self):
            return 0.5

    j = Joint("j", np.eye(4), [Fraction(1), 0, 0], np.eye(4), limits=(FloatLike(), 2**64))
    assert j.axis.tolist() == [1.0, 0.0, 0.0] and j.limits == (0.5, 2.0**64)


def forged_pickle(cls, state):
    # what a payload naming only the class and a state of its own unpickles to
    return pickle.loads(b"\x80\x02c" + f"kovi._kinbody\n{cls.__name__}\n".encode()
                        + b")\x81" + pickle.dumps(state, 2)[2:-1] + b"b.")


_fields = ["j", np.eye(4), np.array([0.0, 0.0, 1.0]), np.eye(4), "revolute", None]


@pytest.mark.parametrize("cls, state, error", [
    (Joint, ["j", _nan, *_fields[2:]], ValueError),
    (Joint, dict(zip(["name", "T_left", "axis", "T_right", "joint_type", "limits"],
                     ["j", np.eye(4), [0, 0, 2], np.eye(4), "revolute", None])), ValueError),
    (Joint, {"name": "j"}, TypeError),
    (KinBody, ["arm", (Joint("a", **GOOD),) * 2], ValueError),
    (KinBody, ["arm", ("a",)], TypeError),
])
def test_unpickling_goes_through_the_constructors(cls, state, error):
    with pytest.raises(error):
        forged_pickle(cls, state)


def test_an_unpickled_joint_is_a_checked_one():
    state = (None, {"name": "j", "T_left": np.eye(4)[:3].tolist(), "axis": (0, 0, 1),
                    "T_right": np.eye(4).tolist(), "joint_type": "prismatic", "limits": [0, 1]})
    j = forged_pickle(Joint, state)
    assert j.T_left.shape == (4, 4) and not j.T_left.flags.writeable
    assert j.limits == (0.0, 1.0)
    with pytest.raises(TypeError, match="immutable"):
        j.__init__("k", **GOOD)
    with pytest.raises(TypeError, match="immutable"):
        j.__setstate__(state)


@pytest.mark.parametrize("row", [np.eye(7), [0.0] * 10_000])
def test_a_bad_dh_row_is_shown_in_one_short_line(row):
    with pytest.raises(ValueError) as info:
        KinBody.from_dh([row])
    assert "\n" not in str(info.value) and len(str(info.value)) < 300


@pytest.mark.parametrize("entry", [None, "joint", GOOD])
def test_body_rejects_non_joint_entries_by_index(entry):
    good = Joint("a", **GOOD)
    with pytest.raises(TypeError, match=r"joints\[1\]"):
        KinBody("arm", [good, entry])


def test_body_rejects_duplicate_joint_names():
    with pytest.raises(ValueError, match=r"joints\[2\].*joints\[0\].*'a'"):
        KinBody("arm", [Joint("a", **GOOD), Joint("b", **GOOD), Joint("a", **GOOD)])


def test_stored_arrays_are_private_float64_read_only():
    src34 = np.asfortranarray(np.arange(12).reshape(3, 4))  # int, 3x4, not C-ordered
    axis = [0, 1, 0]
    j = Joint("j", src34, axis, src34.copy(), "prismatic")
    for arr, shape in [(j.T_left, (4, 4)), (j.T_right, (4, 4)), (j.axis, (3,))]:
        assert arr.dtype == np.float64 and arr.shape == shape
        assert arr.flags.c_contiguous and not arr.flags.writeable
    np.testing.assert_array_equal(j.T_left, np.vstack([np.arange(12).reshape(3, 4), [0, 0, 0, 1]]))
    src34[0, 0] = 99
    axis[0] = 5
    assert j.T_left[0, 0] == 0.0 and j.axis[0] == 0.0
    with pytest.raises(ValueError):
        j.T_left[0, 0] = 1.0
