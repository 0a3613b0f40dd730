"""The pose is bit-for-bit that of the reference arithmetic, but for the
sign and payload of NaNs: NaN stands in exactly the same elements."""

import math
from types import SimpleNamespace

import numpy as np
import pytest
from chains import body, joint, random_chain
from helpers import assert_same_pose

IDENTITY = np.eye(4)
SUM_ORDER_LEFT = np.array([[1, 1, 1, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1.0]])


@pytest.mark.parametrize("seed", range(40))
def test_random_chains_match_the_twin_bit_for_bit(fk, twin, seed):
    rng = np.random.default_rng(seed)
    kb, q = random_chain(rng, int(rng.integers(0, 13)))
    assert_same_pose(fk(kb, q), twin.poe_forward_kinematics(kb, q))


@pytest.mark.parametrize("seed", range(20))
def test_nans_stand_where_the_twins_do(fk, twin, seed):
    # NaNs of both signs in the last T_right: where two meet in a sum, the
    # sign of the NaN that comes out may differ from the twin's.
    rng = np.random.default_rng(seed)
    kb, q = random_chain(rng, int(rng.integers(1, 8)))
    for _ in range(3):
        kb.joints[-1].T_right[rng.integers(3), rng.integers(4)] = rng.choice([math.nan, -math.nan])
    got = fk(kb, q)
    assert 0 < np.isnan(got).sum() < 16
    assert_same_pose(got, twin.poe_forward_kinematics(kb, q))


def test_sample_bodies_match_the_twin_bit_for_bit(fk, twin):
    from kovi.robots._samples import SAMPLE_BODIES, sample_configuration
    for name, make in SAMPLE_BODIES.items():
        kb, q = make(), sample_configuration(name)
        assert fk(kb, q).tobytes() == twin.poe_forward_kinematics(kb, q).tobytes(), name


def test_no_joints_gives_the_identity_and_never_reads_q(fk):
    pose = fk(body(), None)
    assert pose.tobytes() == IDENTITY.tobytes()


def test_quarter_turn_about_a_non_unit_axis_is_not_normalised(fk, native, monkeypatch):
    # cos and sin exactly 0.0 and 1.0, as bound methods of a math stand-in:
    # math is a global looked up at each use, its functions called as found
    class Trig:
        def cos(self, x):
            return 0.0

        def sin(self, x):
            return 1.0
    trig = Trig()
    monkeypatch.setattr(native, "math", SimpleNamespace(cos=trig.cos, sin=trig.sin))
    pose = fk(body(joint(axis=(0.0, 0.0, 2.0))), [0.5])
    assert np.array_equal(pose[:3, :3], [[0, -2, 0], [2, 0, 0], [0, 0, 4]])  # 2*2*(1 - c) + c


@pytest.mark.parametrize("axis, translation, q", [
    # ((1e16*1 + 1*1) + 1*1)*1 rounds back to 1e16 at each step; the other
    # grouping would give 10000000000000002.
    ((1e16, 1.0, 1.0), (0.0, 0.0, 0.0), 1.0),
    # the translation column of the composition adds left to right
    ((0.3, 0.7, 2.0), (1e16, 1.0, 1.0), 0.0),
], ids=["prismatic-translation", "composition"])
def test_sums_run_left_to_right(fk, axis, translation, q):
    T_right = np.eye(4)
    T_right[:3, 3] = translation
    kb = body(joint(SUM_ORDER_LEFT, axis, T_right, "prismatic"))
    assert fk(kb, [q])[0, 3] == 1e16


def test_joints_compose_in_index_order(fk):
    rng = np.random.default_rng(7)
    kb, q = random_chain(rng, 2)
    j0, j1 = kb.joints
    x0 = fk(body(j0), q[:1])
    x1 = fk(body(j1), q[1:])
    pose = fk(kb, q)
    assert np.allclose(pose, x0 @ x1, rtol=1e-12, atol=1e-9)
    assert not np.allclose(pose, x1 @ x0, rtol=1e-6, atol=1e-6)


def test_infinite_translation_reaches_only_column_3(fk):
    T_right = np.eye(4)
    T_right[0, 3] = math.inf
    rng = np.random.default_rng(3)
    kb, q = random_chain(rng, 3)
    kb.joints[1].T_right = T_right
    pose = fk(kb, q)
    assert np.isfinite(pose[:3, :3]).all()
    assert not np.isfinite(pose[:3, 3]).all()
    assert np.array_equal(pose[3], [0.0, 0.0, 0.0, 1.0])


def test_row_3_of_the_transforms_is_never_read(fk, twin):
    rng = np.random.default_rng(11)
    kb, q = random_chain(rng, 4)
    want = fk(kb, q)
    for j in kb.joints:
        j.T_left = j.T_left[:3].copy()                    # 3x4
        j.T_right = np.vstack([j.T_right[:3], [9, 9, 9, 9]])
    assert fk(kb, q).tobytes() == want.tobytes()
