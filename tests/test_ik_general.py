"""The general 6R arm (no family fits): every solution by a two-joint search.

Every answer is judged by ik_oracle's numpy FK, never by the solver.
"""

import json
import math

import numpy as np
import pytest
from ik_oracle import fk, reaches

import kovi
from kovi._chain import Chain
from kovi.cli import main


def random_arm(seed):
    """A standard-DH arm with every twist well away from 0 and pi, and
    every offset nonzero: no axes parallel, none meeting."""
    rng = np.random.default_rng(seed)
    a, d = rng.uniform(0.05, 0.5, 6), rng.uniform(0.05, 0.5, 6)
    alpha = rng.uniform(0.3, 1.3, 6) * rng.choice([-1, 1], 6)
    return kovi.KinBody.from_dh([(a[i], alpha[i], d[i], 0.0) for i in range(6)], "standard",
                                name=f"general{seed}")


def skewed_arm():
    """The skewed table once refused as having no closed form."""
    a, d = [0.1, 0.4, 0.05, 0.02, 0.03, 0.0], [0.3, 0.07, 0.02, 0.35, 0.04, 0.1]
    alpha = [1.1, 0.3, -1.0, 0.8, -1.3, 0.0]
    return kovi.KinBody.from_dh([(a[i], alpha[i], d[i], 0.0) for i in range(6)], "standard",
                                name="skewed")


ARMS = {"random1": lambda: random_arm(1), "random2": lambda: random_arm(2), "skewed": skewed_arm}


def angle_gap(rows, q):
    return np.abs((np.asarray(rows) - q + np.pi) % (2 * np.pi) - np.pi).max(axis=1)


@pytest.mark.parametrize("arm", ARMS)
def test_every_row_reaches_and_the_target_configuration_is_found(arm):
    kb = ARMS[arm]()
    chain = Chain(kb)
    assert chain.kinematic_family == "general 6R"
    rng = np.random.default_rng(11)
    poses, found = 150, 0
    for _ in range(poses):
        q = rng.uniform(-math.pi, math.pi, 6)
        T = fk(kb, q)
        rows = chain.ik_all(T)
        assert rows.shape[1] == 6 and len(rows) <= 16 and np.isfinite(rows).all()
        assert all(reaches(kb, row, T, 1e-9) for row in rows)
        found += len(rows) > 0 and angle_gap(rows, q).min() < 1e-7
    # Some 99.7% on such arms; a grid that lost its backward reading, or
    # seeds that stopped reaching their solution, fall to 90-97%.
    assert found >= 0.98 * poses


@pytest.mark.parametrize("threads", [1, 3])
def test_a_batch_gives_each_pose_what_a_single_solve_does(threads):
    kb = random_arm(2)
    chain = Chain(kb)
    rng = np.random.default_rng(5)
    Ts = chain.poses(rng.uniform(-math.pi, math.pi, (40, 6)))
    Ts[7, :3, 3] += 50.0  # out of reach: no rows
    solutions, counts = chain.ik_all_batch(Ts, threads=threads)
    assert solutions.shape == (40, 16, 6) and counts[7] == 0
    for T, rows, count in zip(Ts, solutions, counts, strict=True):
        single = chain.ik_all(T)
        assert np.array_equal(rows[:count], single) and np.isnan(rows[count:]).all()


def test_an_unreachable_target_gives_no_rows():
    chain = Chain(random_arm(1))
    T = np.eye(4)
    T[:3, 3] = [5.0, 0.0, 0.0]
    assert chain.ik_all(T).shape == (0, 6)


def jacobian_det(kb, q):
    """det of the 6x6 Jacobian by central differences of the numpy FK
    (body twist: rotation from R^T dR, position from R^T dp)."""
    T = fk(kb, q)
    J = np.empty((6, 6))
    for i in range(6):
        step = np.zeros(6)
        step[i] = 1e-6
        dT = (fk(kb, q + step) - fk(kb, q - step)) / 2e-6
        W = T[:3, :3].T @ dT[:3, :3]
        J[:, i] = np.concatenate([T[:3, :3].T @ dT[:3, 3], [W[2, 1], W[0, 2], W[1, 0]]])
    return np.linalg.det(J)


def test_a_singular_target_gives_finite_rows_that_reach():
    # A configuration on the singular set, det J = 0, by bisection between
    # two configurations of opposite sign: two solutions merge there.
    kb = random_arm(1)
    rng = np.random.default_rng(4)
    a = rng.uniform(-math.pi, math.pi, 6)
    for _ in range(100):
        b = rng.uniform(-math.pi, math.pi, 6)
        if jacobian_det(kb, a) * jacobian_det(kb, b) < 0:
            break
    lo, hi = a, b
    for _ in range(50):
        mid = (lo + hi) / 2
        if jacobian_det(kb, lo) * jacobian_det(kb, mid) <= 0:
            hi = mid
        else:
            lo = mid
    q = (lo + hi) / 2
    T = fk(kb, q)
    rows = Chain(kb).ik_all(T)
    assert len(rows) > 0 and np.isfinite(rows).all()
    assert all(reaches(kb, row, T, 1e-9) for row in rows)
    assert angle_gap(rows, q).min() < 1e-3


def reversed_body(kb):
    """The chain read end to base: its pose at q[::-1] is kb's inverse."""
    joints = [kovi.Joint(j.name, np.linalg.inv(j.T_right), -np.asarray(j.axis),
                         np.linalg.inv(j.T_left), "revolute") for j in reversed(kb.joints)]
    return kovi.KinBody(kb.name + "_reversed", joints)


def test_the_chain_read_backwards_has_the_same_solutions_reversed():
    # The search reads the chain both ways; a slip in either reading's
    # joint order or axis sign shows here as solutions that differ.
    kb = skewed_arm()
    forward, backward = Chain(kb), Chain(reversed_body(kb))
    assert backward.kinematic_family == "general 6R"
    rng = np.random.default_rng(9)
    shared = total = 0
    for _ in range(30):
        q = rng.uniform(-math.pi, math.pi, 6)
        T = fk(kb, q)
        rows, back = forward.ik_all(T), backward.ik_all(np.linalg.inv(T))[:, ::-1]
        assert angle_gap(rows, q).min() < 1e-7 and angle_gap(back, q).min() < 1e-7
        total += max(len(rows), len(back))
        shared += sum(angle_gap(rows, row).min() < 1e-7 for row in back)
    # A solution close to a singular pose, with a near twin, may be found
    # in one reading and not the other.
    assert shared >= 0.95 * total


def dh_urdf(table):
    """A URDF of a standard-DH table: joint i+1 sits at Tz(d) Tx(a) Rx(alpha)
    from joint i."""
    a, d, alpha = table
    links = "".join(f"<link name='l{i}'/>" for i in range(7))
    joints = "".join(
        f"<joint name='j{i}' type='revolute'><parent link='l{i}'/><child link='l{i + 1}'/>"
        f"<origin xyz='{a[i - 1] if i else 0} 0 {d[i - 1] if i else 0}' "
        f"rpy='{alpha[i - 1] if i else 0} 0 0'/><axis xyz='0 0 1'/>"
        f"<limit lower='-7' upper='7' effort='1' velocity='1'/></joint>" for i in range(6))
    tool = (f"<link name='tool'/><joint name='t' type='fixed'><parent link='l6'/><child link='tool'/>"
            f"<origin xyz='{a[5]} 0 {d[5]}' rpy='{alpha[5]} 0 0'/></joint>")
    return f"<robot name='general'>{links}{joints}{tool}</robot>"


def test_an_unpickled_chain_searches_alike_and_limits_hold():
    import pickle
    limits = [(-1.0, 2.5), (-2.0, 1.0), (0.5, 6.5), (-3.0, 0.0), (-1.5, 1.5), (-9.0, 9.0)]
    kb = kovi.KinBody("limited", [kovi.Joint(j.name, j.T_left, j.axis, j.T_right, "revolute",
                                             limits=lim)
                                  for j, lim in zip(random_arm(1).joints, limits)])
    chain = Chain(kb)
    again = pickle.loads(pickle.dumps(chain))
    rng = np.random.default_rng(13)
    low, high = np.array(limits).T
    for _ in range(10):
        q = rng.uniform(np.maximum(low, -math.pi), np.minimum(high, math.pi))
        T = fk(kb, q)
        rows = chain.ik_all(T)
        assert np.array_equal(again.ik_all(T), rows)
        assert ((rows >= low) & (rows <= high)).all()
        assert angle_gap(rows, q).min() < 1e-7
        # Without limits, rows out of them come back too, each value
        # wrapped or shifted into its joint's limits.
        free = chain.ik_all(T, limits=False)
        assert len(free) >= len(rows) and all(any((rows == r).all(1)) for r in free
                                              if ((r >= low) & (r <= high)).all())
        assert ((np.abs(free) <= math.pi) | ((free >= low) & (free <= high))).all()


def test_the_command_line_solves_a_general_arm(tmp_path, capsys):
    table = ([0.1, 0.4, 0.05, 0.02, 0.03, 0.0], [0.3, 0.07, 0.02, 0.35, 0.04, 0.1],
             [1.1, 0.3, -1.0, 0.8, -1.3, 0.0])
    path = tmp_path / "general.urdf"
    path.write_text(dh_urdf(table))
    kb = skewed_arm()
    q = [0.4, -0.7, 1.1, 0.3, -1.2, 2.0]
    T = fk(kb, q)
    status = main(["ik", str(path), "--pose", *map(repr, T.ravel().tolist()), "--json"])
    report = json.loads(capsys.readouterr().out)
    assert (status, report["method"], report["family"]) == (0, "search", "general 6R")
    assert angle_gap(report["solutions"], np.array(q)).min() < 1e-7
