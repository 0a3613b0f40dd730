"""Chain.ik and Chain.ik_batch: every answer judged by the numpy FK of
tests/ik_oracle.py, never by the solver's own verdict."""

import math
import pickle
import time

import numpy as np
import pytest

import kovi
from chains import random_rigid_transform
from helpers import assert_answers_ctrl_c, assert_no_leak
from ik_oracle import fk, pose_error, random_configuration, within_limits
from kovi._kinbody import Joint, KinBody

TOL = 1e-9
# The oracle's arithmetic differs from the chain's by rounding: an answer
# the chain puts exactly at the tolerance may measure a few ulps above it.
ORACLE_TOL = TOL * (1 + 1e-6) + 1e-14


def random_body(rng, n, continuous=0.25):
    """n mixed joints, most with limits; a share of revolute ones without."""
    joints = []
    for i in range(n):
        axis = rng.normal(size=3)
        kind = "prismatic" if rng.random() < 0.3 else "revolute"
        if kind == "prismatic":
            limits = (-0.4, 0.4) if rng.random() < 0.8 else None
        else:
            low = rng.uniform(-math.pi, 0.0)
            limits = None if rng.random() < continuous else (low, low + rng.uniform(2.0, 2 * math.pi))
        joints.append(Joint(f"j{i}", random_rigid_transform(rng), axis / np.linalg.norm(axis),
                            random_rigid_transform(rng), kind, limits=limits))
    return KinBody(f"random{n}", joints)


def judged(kb, result, T, limits=True):
    """The oracle's verdict on one answer; a claimed success it rejects fails the test."""
    position, rotation = pose_error(T, fk(kb, result.q))
    good = position <= ORACLE_TOL and rotation <= ORACLE_TOL and (not limits or within_limits(kb, result.q))
    assert good or not result.success, (result, position, rotation)
    return good


@pytest.mark.parametrize("n", [1, 2, 3, 4, 6, 7, 9, 12])
def test_random_chains_reach_reachable_targets(n):
    rng = np.random.default_rng(100 + n)
    solved = tried = 0
    for _ in range(4):
        kb = random_body(rng, n)
        chain = kovi.Chain(kb)
        for _ in range(5):
            T = fk(kb, random_configuration(kb, rng))
            for q0 in (None, random_configuration(kb, rng)):
                result = chain.ik(T, q0)
                solved += judged(kb, result, T)
                tried += 1
                revolute = [j.joint_type == "revolute" and j.limits is None for j in kb.joints]
                assert all(-math.pi < v <= math.pi for v, r in zip(result.q, revolute) if r)
    assert solved >= 0.95 * tried


@pytest.mark.parametrize("robot", ["panda", "ur5", "scara"])
def test_sample_robots_from_random_and_near_seeds(robot):
    kb = getattr(kovi.robots, robot)()
    chain = kovi.Chain(kb)
    rng = np.random.default_rng(7)
    for _ in range(30):
        q = random_configuration(kb, rng)
        T = fk(kb, q)
        for q0 in (random_configuration(kb, rng), q + rng.uniform(-0.1, 0.1, size=len(q))):
            assert judged(kb, chain.ik(T, q0), T)


def free_spin(T, angle, axis):
    R = np.eye(4)
    c, s = math.cos(angle), math.sin(angle)
    i, j = [k for k in range(3) if k != axis]
    R[i, i], R[i, j], R[j, i], R[j, j] = c, -s, s, c
    return T @ R


@pytest.mark.parametrize("mask, free_axis", [
    ("position", None), ([2.0, 1.0, 1.0, 0.0, 0.0, 0.0], None),
    ("position+z", 2), ([1.0, 1.0, 1.0, 1.0, 0.0, 1.0], 1),
])
@pytest.mark.parametrize("n", [3, 5, 7])
def test_masks_judge_the_constrained_directions(mask, free_axis, n):
    rng = np.random.default_rng(n)
    kb = random_body(rng, n, continuous=0.0)
    chain = kovi.Chain(kb)
    solved = 0
    for _ in range(8):
        T = fk(kb, random_configuration(kb, rng))
        # Turned about a free direction: still reachable on the mask's terms.
        T = free_spin(T, rng.uniform(-3, 3), 2 if free_axis is None else free_axis)
        if free_axis is None:
            T[:3, :3] = random_rigid_transform(rng)[:3, :3]
        result = chain.ik(T, mask=mask)
        got = fk(kb, result.q)
        errors = [np.linalg.norm(got[:3, 3] - T[:3, 3])]
        if free_axis is not None:
            a, b = got[:3, free_axis], T[:3, free_axis]
            errors.append(math.atan2(np.linalg.norm(np.cross(a, b)), a @ b))
        good = max(errors) <= ORACLE_TOL and within_limits(kb, result.q)
        assert good or not result.success
        solved += good
    assert solved >= 6


def test_limits_off_and_seeds_outside_the_limits():
    kb = kovi.robots.panda()
    chain = kovi.Chain(kb)
    rng = np.random.default_rng(3)
    lower, upper = chain.limits.T
    for _ in range(10):
        T = fk(kb, random_configuration(kb, rng))
        # A seed past the limits is clamped into them.
        assert judged(kb, chain.ik(T, upper + 0.5), T)
        free = chain.ik(T, lower - 0.5, limits=False)
        assert judged(kb, free, T, limits=False)
        # Revolute values wrapped, or shifted by whole turns into the limits.
        assert free.success and np.all((np.abs(free.q) <= math.pi) | ((free.q >= lower) & (free.q <= upper)))


@pytest.mark.parametrize("robot", ["panda", "ur5"])
def test_unreachable_targets_fail_quickly_with_the_best_found(robot):
    kb = getattr(kovi.robots, robot)()
    chain = kovi.Chain(kb)
    T = np.eye(4)
    T[:3, 3] = [3.0, 0.0, 0.5]
    start = time.perf_counter()
    result = chain.ik(T, max_iterations=40, restarts=5)
    assert time.perf_counter() - start < 0.5
    assert not result.success and result.restarts == 5
    assert result.iterations <= 6 * 40
    # The best found: stretched out towards the target, far closer than the seed.
    assert result.position_error == pytest.approx(pose_error(T, fk(kb, result.q))[0], abs=1e-9)
    assert result.position_error < np.linalg.norm(T[:3, 3] - fk(kb, chain.ik(T, max_iterations=0,
                                                                           restarts=0).q)[:3, 3])


def test_same_bytes_across_calls_threads_and_single_solves():
    kb = kovi.robots.panda()
    chain = kovi.Chain(kb)
    rng = np.random.default_rng(11)
    Ts = chain.poses(np.array([random_configuration(kb, rng) for _ in range(40)]))
    Q1, ok1 = chain.ik_batch(Ts, seed=5)
    Q2, ok2 = chain.ik_batch(Ts, seed=5, threads=2)
    assert Q1.tobytes() == Q2.tobytes() and ok1.tobytes() == ok2.tobytes()
    assert ok1.sum() >= 39
    for i in (0, 17, 39):
        one = chain.ik(Ts[i], seed=5 + i)
        assert one.q.tobytes() == Q1[i].tobytes() and one.success == ok1[i]
        assert judged(kb, one, Ts[i]) == one.success
    again = chain.ik(Ts[3], seed=9)
    assert again.q.tobytes() == chain.ik(Ts[3], seed=9).q.tobytes()


def test_batch_seeds_and_warm_start_along_a_path():
    kb = kovi.robots.ur5()
    chain = kovi.Chain(kb)
    path = np.linspace(0.0, 1.0, 30)[:, None] * np.array([0.5, -0.4, 0.6, 0.3, -0.5, 0.2]) + 0.3
    Ts = chain.poses(path)
    Q, ok = chain.ik_batch(Ts, path[0], warm_start=True)
    assert ok.all() and all(judged(kb, kovi.IKResult(q, True, 0, 0, 0.0, 0.0), T) for q, T in zip(Q, Ts))
    # Each row seeded by the one before stays on the same branch as the path.
    assert np.abs(np.diff(Q, axis=0)).max() < 0.2
    Q_each, ok_each = chain.ik_batch(Ts, path + 0.01)
    assert ok_each.all() and np.allclose(Q_each, path, atol=1e-6)


def test_a_chain_longer_than_the_stack_space():
    rng = np.random.default_rng(40)
    kb = random_body(rng, 40)
    chain = kovi.Chain(kb)
    q = random_configuration(kb, rng)
    T = fk(kb, q)
    assert judged(kb, chain.ik(T, q + 0.01), T)
    Q, ok = chain.ik_batch(T[None], q + 0.01)
    assert ok[0] and judged(kb, kovi.IKResult(Q[0], True, 0, 0, 0.0, 0.0), T)


def test_result_unpacks_prints_and_pickles():
    chain = kovi.Chain(kovi.robots.scara())
    T = chain.pose([0.3, -0.5, 0.1, 0.2])
    result = chain.ik(T)
    q, success = result
    assert success and q is result.q
    assert repr(result).startswith("kovi.IKResult(success=True, q=[")
    copy = pickle.loads(pickle.dumps(result))
    assert copy.q.tobytes() == q.tobytes() and copy.iterations == result.iterations


def test_continuous_joints_come_back_wrapped():
    rng = np.random.default_rng(21)
    kb = random_body(rng, 6, continuous=1.0)
    kb = KinBody("wheels", [Joint(j.name, j.T_left, j.axis, j.T_right, "revolute") for j in kb.joints])
    chain = kovi.Chain(kb)
    for _ in range(10):
        T = fk(kb, rng.uniform(-3 * math.pi, 3 * math.pi, size=6))
        result = chain.ik(T)
        assert judged(kb, result, T) and np.all(np.abs(result.q) <= math.pi)


@pytest.mark.parametrize("tol", [1e-3, 1e-6, 1e-12])
def test_tolerance_bounds_both_errors_and_a_zero_budget_keeps_the_seed(tol):
    kb = kovi.robots.panda()
    chain = kovi.Chain(kb)
    q = kovi.robots.configuration("panda")
    T = fk(kb, q)
    result = chain.ik(T, q + 0.2, tol=tol)
    position, rotation = pose_error(T, fk(kb, result.q))
    assert result.success and position <= tol * 1.001 and rotation <= tol * 1.001
    assert result.position_error <= tol and result.rotation_error <= tol
    stay = chain.ik(T, q + 0.2, tol=tol, max_iterations=0, restarts=0)
    assert not stay.success and stay.iterations == 0 and np.array_equal(stay.q, q + 0.2)
    assert chain.ik(T, q, tol=tol, max_iterations=0).success


def test_inputs_in_any_real_array_form():
    kb = kovi.robots.ur5()
    chain = kovi.Chain(kb)
    q = kovi.robots.configuration("ur5")
    T = fk(kb, q)
    want = chain.ik(T, q + 0.1).q
    for form in (T.tolist(), np.asfortranarray(T), T.astype(np.float32)):
        got = chain.ik(form, tuple(q + 0.1)).q
        assert np.allclose(got, want, atol=1e-6)
    Ts = np.stack([T, fk(kb, q + 0.3)])
    Q0 = np.stack([q + 0.1, q + 0.2])
    Q, ok = chain.ik_batch(Ts, Q0, seed=4)
    for i in range(2):
        assert Q[i].tobytes() == chain.ik(Ts[i], Q0[i], seed=4 + i).q.tobytes()


def test_no_references_or_blocks_left_behind():
    chain = kovi.Chain(kovi.robots.panda())
    T = chain.pose(kovi.robots.configuration("panda"))
    q0 = kovi.robots.configuration("panda") + 0.05
    Ts = np.stack([T, T])
    assert_no_leak(lambda: chain.ik(T, q0), [T, q0, chain])
    assert_no_leak(lambda: chain.ik(T, q0, mask=[1.0, 1, 1, 0, 0, 0]), [T, q0])
    assert_no_leak(lambda: chain.ik(T, q0, tol=-1.0), [T, q0], ValueError)
    assert_no_leak(lambda: chain.ik_batch(Ts, q0, threads=2), [Ts, q0], calls=500)


INTERRUPTED_IK_BATCH = """
import sys, time
import numpy as np
import kovi

chain = kovi.Chain(kovi.robots.panda())
far = np.eye(4)
far[0, 3] = 5.0
start = time.perf_counter()
chain.ik_batch(np.broadcast_to(far, (20, 4, 4)))
rows = int(4.0 / ((time.perf_counter() - start) / 20))   # about 4 s of work
print(rows, flush=True)
try:
    chain.ik_batch(np.broadcast_to(far, (rows, 4, 4)), threads=int(sys.argv[1]))
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("threads", [1, 2])
def test_a_long_ik_batch_answers_ctrl_c(threads):
    assert_answers_ctrl_c(INTERRUPTED_IK_BATCH, str(threads))


NAN_T = np.eye(4)
NAN_T[0, 3] = np.nan


@pytest.mark.parametrize("kwargs, error, message", [
    ({"T": NAN_T}, ValueError, r"T is not a rigid transform: element \[0, 3\] is nan"),
    ({"T": np.diag([2.0, 1.0, 1.0, 1.0])}, ValueError, "not a rotation"),
    ({"T": np.eye(3)}, ValueError, r"expected T of shape \(4, 4\), got shape \(3, 3\)"),
    ({"q0": np.zeros(6)}, ValueError, r"q0 must have shape \(7,\), got shape \(6,\)"),
    ({"q0": [0, 0, 0, np.inf, 0, 0, 0]}, ValueError, r"q0\[3\] is inf"),
    ({"q0": ["a"] * 7}, TypeError, "q0 must hold real numbers"),
    ({"mask": [1, 1, 1, 1]}, ValueError, "mask must be 'pose', 'position'"),
    ({"mask": "orientation"}, ValueError, "mask must be 'pose'"),
    ({"mask": [1, 1, 1, 1, 0, 0]}, ValueError, "one rotation axis alone"),
    ({"mask": [0, 0, 0, 0, 0, 0]}, ValueError, "frees every direction"),
    ({"mask": [1, 1, 1, -1, 1, 1]}, ValueError, r"mask\[3\] must be a finite non-negative"),
    ({"tol": 0.0}, ValueError, "tol must be a positive number, got 0.0"),
    ({"tol": math.nan}, ValueError, "tol must be a positive number"),
    ({"tol": True}, TypeError, "tol must be a positive number, got bool"),
    ({"max_iterations": -1}, ValueError, "max_iterations must be a non-negative int"),
    ({"restarts": 2.0}, TypeError, "restarts must be a non-negative int, got float"),
    ({"seed": "1"}, TypeError, "seed must be an int, got str"),
    ({"limits": 1}, TypeError, "limits must be True or False, got 1"),
    ({"frame": "world"}, TypeError, "ik\\(\\) got an unexpected keyword argument 'frame'"),
])
def test_bad_arguments_say_what_came(kwargs, error, message):
    chain = kovi.Chain(kovi.robots.panda())
    kwargs = {"T": np.eye(4), **kwargs}
    with pytest.raises(error, match=message):
        chain.ik(**kwargs)


@pytest.mark.parametrize("call, error, message", [
    (lambda c: c.ik(), TypeError, r"missing 1 required positional argument: 'T'"),
    (lambda c: c.ik(np.eye(4), None, 1e-9), TypeError, "takes from 1 to 2 positional"),
    (lambda c: c.ik(np.eye(4), T=np.eye(4)), TypeError, "multiple values for argument 'T'"),
    (lambda c: c.ik_batch(np.eye(4)), ValueError, r"expected Ts of shape \(N, 4, 4\)"),
    (lambda c: c.ik_batch(np.tile(np.eye(4), (3, 1, 1)), np.zeros((2, 7))), ValueError,
     r"q0 must have shape \(7,\) or \(3, 7\), got shape \(2, 7\)"),
    (lambda c: c.ik_batch(np.tile(np.eye(4), (2, 1, 1)), np.full((2, 7), np.nan)), ValueError,
     r"q0\[0, 0\] is nan"),
    (lambda c: c.ik_batch(np.tile(np.eye(4), (2, 1, 1)), threads=0), ValueError,
     "threads must be a positive int"),
    (lambda c: c.ik_batch(np.tile(np.eye(4), (2, 1, 1)), threads=True), TypeError,
     "threads must be a positive int"),
    (lambda c: c.ik_batch(np.tile(np.eye(4), (2, 1, 1)), warm_start=None), TypeError,
     "warm_start must be True or False"),
    (lambda c: kovi.Chain.ik(kovi.Chain.__new__(kovi.Chain), np.eye(4)), TypeError,
     "never initialised"),
])
def test_bad_calls(call, error, message):
    with pytest.raises(error, match=message):
        call(kovi.Chain(kovi.robots.panda()))
