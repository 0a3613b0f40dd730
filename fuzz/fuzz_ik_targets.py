"""Closed-form inverse kinematics of the targets a caller may hand over.

The input picks an arm (the UR5, a Puma 560 from its DH table, the Panda
with joint 7 locked at a value of the input's choosing, a UR5 with axis 4
tilted, solved by a one-joint search, a general 6R, solved by a two-joint
search), a tolerance, and
a target: the pose of joint values of its choosing (singular ones, with a
joint at exactly 0 or pi, among them), that pose moved a little, or
sixteen numbers of its choosing.  A target that is not a finite rigid
transform must raise ValueError; any other must give finite rows, each
of whose poses (the chain's, the ones ik_all promises it checked) is
within tol of the target, with limits respected and in ascending order,
and, for the closed forms, the pose of reachable joint values (limits
aside) at least one row (a search may miss a target at a singular
configuration).
"""

import math

import atheris
import numpy as np

import harness
import kovi
from kovi._chain import Chain

H = math.pi / 2
PUMA = kovi.KinBody.from_dh([(0.0, H, 0.0, 0.0), (0.4318, 0.0, 0.0, 0.0), (0.0203, -H, 0.15005, 0.0),
                             (0.0, H, 0.4318, 0.0), (0.0, -H, 0.0, 0.0), (0.0, 0.0, 0.0, 0.0)],
                            "standard", name="puma560")
BENT_UR5 = kovi.KinBody.from_dh([(0.0, H, 0.089159, 0.0), (-0.425, 0.0, 0.0, 0.0),
                                 (-0.39225, 0.4, 0.0, 0.0), (0.0, H, 0.10915, 0.0),
                                 (0.0, -H, 0.09465, 0.0), (0.0, 0.0, 0.0823, 0.0)],
                                "standard", name="bent_ur5")
GENERAL = kovi.KinBody.from_dh([(0.28, 0.63, 0.422, 0.0), (0.478, -1.088, 0.234, 0.0),
                                (0.115, 0.603, 0.297, 0.0), (0.477, -0.753, 0.062, 0.0),
                                (0.19, -0.434, 0.389, 0.0), (0.24, 0.703, 0.292, 0.0)],
                               "standard", name="general")
# (chain, locked joint or None, solved in closed form)
ARMS = [(Chain(kovi.robots.ur5()), None, True), (Chain(PUMA), None, True),
        (Chain(kovi.robots.panda()), 6, True), (Chain(BENT_UR5), None, False),
        (Chain(GENERAL), None, False)]
SPECIAL = [0.0, math.pi, -math.pi, H, -H, 1e-12, -1e-9]


def pose_error(T, P):
    M = T[:3, :3].T @ P[:3, :3]
    sine = np.array([M[2, 1] - M[1, 2], M[0, 2] - M[2, 0], M[1, 0] - M[0, 1]])
    return (float(np.linalg.norm(P[:3, 3] - T[:3, 3])),
            math.atan2(float(np.linalg.norm(sine)), float(np.trace(M) - 1.0)))


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    chain, lock, closed_form = ARMS[fdp.ConsumeIntInRange(0, len(ARMS) - 1)]
    tol = [1e-9, 1e-7, 1e-4][fdp.ConsumeIntInRange(0, 2)]
    q = np.array([SPECIAL[fdp.ConsumeIntInRange(0, len(SPECIAL) - 1)] if fdp.ConsumeBool()
                  else fdp.ConsumeFloatInRange(-7.0, 7.0) for _ in range(chain.dof)])
    locked = None if lock is None else {lock: float(q[lock])}
    kind = fdp.ConsumeIntInRange(0, 2)
    T = chain.pose(q)
    if kind == 1:
        T[:3, 3] += [fdp.ConsumeFloatInRange(-1.0, 1.0) for _ in range(3)]
    elif kind == 2:
        T = np.array([fdp.ConsumeRegularFloat() for _ in range(16)]).reshape(4, 4)
    limits = fdp.ConsumeBool()
    try:
        rows = chain.ik_all(T, locked=locked, limits=limits, tol=tol)
    except ValueError:
        if kind != 2:
            raise
        return
    if rows.ndim != 2 or rows.shape[1] != chain.dof or len(rows) > 16 or not np.isfinite(rows).all():
        raise harness.Finding(f"bad rows {rows!r}")
    for row in rows:
        # Near 1e-9 rad the error itself is known to some 1e-16 only
        # (differences of rotation entries): a row the chain found within
        # tol may be a hair over by numpy's rounding.
        if max(pose_error(T, chain.pose(row))) > tol + 1e-14:
            raise harness.Finding(f"row {row!r} misses {T!r} by more than {tol}")
        if limits and not all(lo <= v <= hi for v, (lo, hi) in zip(row, chain.limits)):
            raise harness.Finding(f"row {row!r} outside the limits")
    if [tuple(r) for r in rows] != sorted(tuple(r) for r in rows):
        raise harness.Finding("rows out of order")
    if closed_form and kind == 0 and not limits and len(rows) == 0:
        raise harness.Finding(f"no solution for the pose of {q!r}")


if __name__ == "__main__":
    harness.fuzz(test_one_input)
